#include "Json.h"

namespace quoxssd {

namespace {

std::string jsonString(const std::string& raw)
{
    const std::string text = validUtf8(raw);
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

} // namespace

std::string validUtf8(const std::string& text)
{
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string valid;
    for (size_t at = 0; at < text.size();) {
        auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
        unsigned char lead = byte(at);
        size_t length = 0;
        unsigned char low = 0x80, high = 0xBF;   // the range of the second byte
        if (lead < 0x80) {
            length = 1;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        }
        bool wellFormed = length > 0 && at + length <= text.size();
        for (size_t i = 1; wellFormed && i < length; ++i) {
            unsigned char next = byte(at + i);
            wellFormed = i == 1 ? next >= low && next <= high : next >= 0x80 && next <= 0xBF;
        }
        if (wellFormed) {
            valid.append(text, at, length);
            at += length;
        } else {
            valid += kReplacement;
            ++at;
        }
    }
    return valid;
}

void printJson(FILE* out, const DriveReports& reports)
{
    fputs("[", out);
    for (size_t i = 0; i < reports.size(); ++i) {
        const DriveReport& report = reports[i];
        const SsdInformation& ssd = report.ssd;
        const LifeEstimate& estimate = report.estimate;
        bool estimated = estimate.basis != EstimateBasis::None;
        fprintf(out,
                "%s\n  {\"device\": %s, \"model\": %s, \"serial\": %s, \"firmware\": %s, "
                "\"power_on_hours\": %s, \"percentage_used\": %s, \"percentage_used_source\": %u, "
                "\"source\": %s, \"failure_imminent\": %s, \"read_ok\": %s, \"estimated_hours_left\": %s, "
                "\"estimate_basis\": %s, \"estimate_clock\": %s}",
                i == 0 ? "" : ",", jsonString(ssd.physicalDrive).c_str(), jsonString(ssd.driveModel).c_str(),
                jsonString(ssd.driveSerialNumber).c_str(), jsonString(ssd.driveFirmwareVersion).c_str(),
                hasHours(report) ? std::to_string(ssd.poweredOnHours).c_str() : "null",
                hasWearFigure(report) ? std::to_string(ssd.percentageUsed).c_str() : "null",
                static_cast<unsigned>(ssd.percentageUsedSource), jsonString(sourceText(ssd.percentageUsedSource)).c_str(),
                ssd.failureImminent ? "true" : "false", report.readSucceeded ? "true" : "false", estimated ? estimateHours(estimate).c_str() : "null",
                estimated ? jsonString(LifeEstimator::basisName(estimate.basis)).c_str() : "null",
                estimated ? jsonString(LifeEstimator::clockName(estimate)).c_str() : "null");
    }
    fputs(reports.empty() ? "]\n" : "\n]\n", out);
}

} // namespace quoxssd
