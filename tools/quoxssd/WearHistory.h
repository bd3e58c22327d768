// The wear history of a machine's drives: one line per sample in a plain
// CSV file that `quoxssd record` appends to, and from which the recent rate
// of wear is taken.
#ifndef VEXLOR_TOOLS_WEAR_HISTORY_H
#define VEXLOR_TOOLS_WEAR_HISTORY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One reading of one drive: Unix time, serial number, power-on hours (none
// for drives that keep no count) and percentage used.
struct WearSample {
    std::int64_t time = 0;
    std::string serial;
    bool hasHours = false;
    std::uint64_t hours = 0;
    unsigned used = 0;
};

class WearHistory {
public:
    static const char* const kDefaultPath;
    // Once the file would grow past this, it is thinned.
    static const std::size_t kMaxBytes = 1024 * 1024;

    explicit WearHistory(std::string path) : m_path(std::move(path)) {}

    // Every good sample of the file, oldest first; a missing file has none.
    // A corrupt line, or a last line without its line end, is skipped with
    // a warning on standard error. False, with `error` saying why, when the
    // file cannot be read safely.
    bool load(std::vector<WearSample>& samples, std::string& error) const;
    // Adds the samples in one write, creating the folder (0750) and the
    // file (0640) if need be, never through a symbolic link, after cutting
    // off a last line that has no line end. When the file would pass its
    // cap, it is rewritten (a temporary file renamed over it) with what the
    // estimates need of its good samples: per serial the first, those where
    // the figure or the hours changed course and the ones just before them,
    // the last of each day, and all of the last three days; then the new
    // ones. Should that fill more than half the cap, the oldest kept go.
    bool append(const std::vector<WearSample>& samples, std::string& error) const;

    // "time,serial,hours,used"; the serial is quoted as CSV wants it where
    // it has a comma, a quote or blanks at either end.
    static std::string formatLine(const WearSample& sample);
    // A serial number as the history keeps it: control characters (a line
    // end would split the sample) become '?'.
    static std::string serialKey(const std::string& serial);
    static bool parseLine(const std::string& line, WearSample& sample);

private:
    bool rewrite(int directory, const std::string& keptText, std::string& error) const;

    std::string m_path;
};

#endif
