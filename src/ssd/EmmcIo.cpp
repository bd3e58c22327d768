#include "EmmcIo.h"

#include "Utils.h"
#include "log.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace {

const char* const kBlockDirectory = "/sys/block/";
// Every attribute read here is one short line; anything longer is not one.
const size_t kMaxAttribute = 256;
const unsigned kBandExceeded = 0x0B;
const std::uint8_t kPercentExceeded = 101;
const std::uint8_t kNoFigure = 255;

// The attribute's text without its line end; false when it cannot be read
// or is too long to be what the kernel writes there.
bool readAttribute(const std::string& name, const char* attribute, std::string& text)
{
    std::string path = std::string(kBlockDirectory) + name + "/device/" + attribute;
    std::unique_ptr<FILE, int (*)(FILE*)> file(fopen(path.c_str(), "re"), fclose);
    if (!file)
        return false;
    char buffer[kMaxAttribute + 1];
    size_t length = fread(buffer, 1, sizeof buffer, file.get());
    if (length > kMaxAttribute || ferror(file.get()))
        return false;
    text.assign(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return true;
}

// "0x" and one or two hexadecimal digits, as the kernel prints a register byte.
bool parseRegisterByte(const std::string& token, unsigned& value)
{
    if (token.size() < 3 || token.size() > 4 || token[0] != '0' || (token[1] != 'x' && token[1] != 'X'))
        return false;
    if (!std::all_of(token.begin() + 2, token.end(), [](char c) { return isxdigit(static_cast<unsigned char>(c)); }))
        return false;
    value = static_cast<unsigned>(strtoul(token.c_str() + 2, nullptr, 16));
    return true;
}

// The register bytes of a line of blank-separated "0x.." tokens; false
// unless there are exactly `count` of them and nothing else.
bool parseRegisterBytes(const std::string& text, unsigned* values, size_t count)
{
    std::istringstream tokens(text);
    std::string token;
    size_t found = 0;
    while (tokens >> token) {
        if (found == count || !parseRegisterByte(token, values[found]))
            return false;
        ++found;
    }
    return found == count;
}

// 01h-0Ah: up to 10 % ... up to 100 %; 0Bh: exceeded; 00h and the
// reserved values: no estimate (0).
unsigned bandPercent(std::uint8_t band)
{
    if (band >= 1 && band <= 10)
        return band * 10u;
    if (band == kBandExceeded)
        return kPercentExceeded;
    return 0;
}

} // namespace

bool EmmcIo::isEmmc(const std::string& name)
{
    std::string type;
    if (!readAttribute(name, "type", type)) {
        Log(LEVEL_DEBUG, "EmmcIo::isEmmc - %s: no card type, skipped", name.c_str());
        return false;
    }
    return type == "MMC";
}

bool EmmcIo::getIdentity(const std::string& name, IdentifyData& identifyData)
{
    std::string model;
    std::string serial;
    std::string firmware;
    if (!readAttribute(name, "name", model) || !readAttribute(name, "serial", serial)
        || !readAttribute(name, "fwrev", firmware)) {
        Log(LEVEL_ERROR, "EmmcIo::getIdentity - cannot read the card registers of %s", name.c_str());
        return false;
    }
    Utils::trim(model);
    Utils::trim(serial);
    Utils::trim(firmware);
    identifyData.bus = DriveBus::Emmc;
    identifyData.isSsd = true;
    identifyData.model = model;
    identifyData.serial_no = serial;
    identifyData.fw_rev = firmware;
    Log(LEVEL_DEBUG, "EmmcIo::getIdentity - %s: model [%s] serial [%s] firmware [%s]", name.c_str(), model.c_str(),
        serial.c_str(), firmware.c_str());
    return true;
}

bool EmmcIo::parseLifeTime(const std::string& text, EmmcLife& life)
{
    unsigned bands[2];
    if (!parseRegisterBytes(text, bands, 2) || bands[0] > 0xFF || bands[1] > 0xFF)
        return false;
    life.lifeTimeA = static_cast<std::uint8_t>(bands[0]);
    life.lifeTimeB = static_cast<std::uint8_t>(bands[1]);
    return true;
}

bool EmmcIo::parsePreEol(const std::string& text, std::uint8_t& preEol)
{
    unsigned value;
    if (!parseRegisterBytes(text, &value, 1) || value > 0xFF)
        return false;
    preEol = static_cast<std::uint8_t>(value);
    return true;
}

std::uint8_t EmmcIo::percentageUsedOf(const EmmcLife& life)
{
    unsigned worse = std::max(bandPercent(life.lifeTimeA), bandPercent(life.lifeTimeB));
    return worse == 0 ? kNoFigure : static_cast<std::uint8_t>(worse);
}

bool EmmcIo::getLife(const std::string& name, EmmcLife& life)
{
    std::string text;
    EmmcLife read;
    if (!readAttribute(name, "life_time", text)) {
        Log(LEVEL_ERROR, "EmmcIo::getLife - cannot read the life-time estimate of %s", name.c_str());
        return false;
    }
    if (!parseLifeTime(text, read)) {
        Log(LEVEL_ERROR, "EmmcIo::getLife - malformed life-time estimate of %s: [%s]", name.c_str(), text.c_str());
        return false;
    }
    // Older kernels and cards have no pre-EOL state; the estimate stands alone.
    if (readAttribute(name, "pre_eol_info", text) && !parsePreEol(text, read.preEol))
        Log(LEVEL_ERROR, "EmmcIo::getLife - malformed pre-EOL state of %s: [%s]", name.c_str(), text.c_str());
    life = read;
    return true;
}
