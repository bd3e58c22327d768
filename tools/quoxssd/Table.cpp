#include "Table.h"

#include <algorithm>

namespace quoxssd {

namespace {

// Columns as a terminal shows them: one per character, not per byte.
size_t displayWidth(const std::string& text)
{
    size_t width = 0;
    for (unsigned char c : text)
        width += (c & 0xC0) != 0x80;
    return width;
}

} // namespace

void printTable(FILE* out, const DriveReports& reports)
{
    if (reports.empty()) {
        fputs("No SSDs found.\n", out);
        return;
    }
    std::vector<std::vector<std::string>> rows = {
        {"DEVICE", "MODEL", "SERIAL", "FIRMWARE", "HOURS", "USED", "LEFT", "SOURCE", "STATUS"}};
    for (const DriveReport& report : reports) {
        const SsdInformation& ssd = report.ssd;
        rows.push_back({ssd.physicalDrive, ssd.driveModel, ssd.driveSerialNumber, ssd.driveFirmwareVersion,
                        hoursText(report), wearText(report), LifeEstimator::text(report.estimate),
                        sourceText(ssd.percentageUsedSource), statusText(report)});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], displayWidth(row[i]));
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size())
                line += std::string(widths[i] - displayWidth(row[i]) + 2, ' ');
        }
        fprintf(out, "%s\n", line.c_str());
    }
}

} // namespace quoxssd
