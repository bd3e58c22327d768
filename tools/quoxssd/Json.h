// The drives as a JSON array, and the UTF-8 that JSON and the metrics want.
#ifndef VEXLOR_TOOLS_QUOXSSD_JSON_H
#define VEXLOR_TOOLS_QUOXSSD_JSON_H

#include "Report.h"

#include <cstdio>
#include <string>

namespace quoxssd {

// Drives report their names as raw bytes: each byte that does not start a
// well-formed UTF-8 sequence becomes U+FFFD, the replacement character.
std::string validUtf8(const std::string& text);

void printJson(FILE* out, const DriveReports& reports);

} // namespace quoxssd

#endif
