#include "Config.h"

Config* Config::s_instance = nullptr;
std::once_flag Config::s_created;
