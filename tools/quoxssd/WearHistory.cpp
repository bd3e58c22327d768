#include "WearHistory.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <vector>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

const char* const WearHistory::kDefaultPath = "/var/lib/vexlor/history";

namespace {

const mode_t kFileMode = 0640;
const mode_t kFolderMode = 0750;

std::string folderOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string why(const std::string& what, const std::string& path)
{
    if (errno == ELOOP)
        return what + " " + path + ": it is a symbolic link, which is not followed";
    return what + " " + path + ": " + strerror(errno);
}

bool readAll(int fd, std::string& text)
{
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        text.append(buffer, static_cast<size_t>(got));
    }
}

bool writeAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0)
            return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// A whole decimal number without sign or blanks.
bool parseNumber(const std::string& text, std::uint64_t& number)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    number = strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

// The fields of a CSV line; false when a quoted field is not closed or is
// followed by anything but a comma.
bool splitCsv(const std::string& line, std::vector<std::string>& fields)
{
    std::string field;
    size_t at = 0;
    for (;;) {
        if (at < line.size() && line[at] == '"') {
            ++at;
            for (;;) {
                if (at >= line.size())
                    return false;
                if (line[at] == '"') {
                    if (at + 1 < line.size() && line[at + 1] == '"') {
                        field += '"';
                        at += 2;
                        continue;
                    }
                    ++at;
                    break;
                }
                field += line[at++];
            }
            if (at < line.size() && line[at] != ',')
                return false;
        } else {
            size_t comma = line.find(',', at);
            size_t end = comma == std::string::npos ? line.size() : comma;
            field = line.substr(at, end - at);
            if (field.find('"') != std::string::npos)
                return false;
            at = end;
        }
        fields.push_back(field);
        field.clear();
        if (at >= line.size())
            return true;
        ++at;   // the comma
    }
}

// Calls `each` with every line of `text`, the last one also without its
// line end.
void forEachLine(const std::string& text, const std::function<void(const std::string&)>& each)
{
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        each(text.substr(start, end - start));
        start = end + 1;
    }
}

// The length of the file up to the end of its last line: what follows is a
// line cut short (a full disk, a crash mid-write), not a sample.
bool wholeLines(int fd, off_t size, off_t& whole)
{
    const off_t chunk = 4096;
    char buffer[chunk];
    whole = size;
    while (whole > 0) {
        off_t from = std::max<off_t>(0, whole - chunk);
        if (pread(fd, buffer, whole - from, from) != whole - from)
            return false;
        for (off_t at = whole - from; at > 0; --at) {
            if (buffer[at - 1] == '\n') {
                whole = from + at;
                return true;
            }
        }
        whole = from;
    }
    return true;
}

// The samples a rewrite keeps, in file order: of every drive (by serial)
// what its estimate rests on, that is its first sample, every sample where
// its figure or its clock changed course and the one before it; the last
// of each day; and everything within a few days of the newest sample.
std::vector<bool> worthKeeping(const std::vector<WearSample>& samples, std::int64_t newest)
{
    const std::int64_t day = 24 * 3600;
    const std::int64_t keptWhole = 3 * day;
    std::vector<bool> keep(samples.size(), false);
    std::map<std::string, size_t> previous;
    for (size_t i = 0; i < samples.size(); ++i) {
        const WearSample& sample = samples[i];
        auto found = previous.find(sample.serial);
        if (found == previous.end()) {
            keep[i] = true;
        } else {
            const WearSample& before = samples[found->second];
            bool turned = sample.used != before.used || sample.hasHours != before.hasHours
                || sample.hours < before.hours || sample.time < before.time;
            keep[i] = keep[i] || turned;
            if (turned || sample.time / day != before.time / day)
                keep[found->second] = true;
        }
        keep[i] = keep[i] || sample.time >= newest - keptWhole;
        previous[sample.serial] = i;
    }
    for (const auto& last : previous)
        keep[last.second] = true;
    return keep;
}

} // namespace

std::string WearHistory::serialKey(const std::string& serial)
{
    std::string key = serial;
    for (char& c : key)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return key;
}

std::string WearHistory::formatLine(const WearSample& sample)
{
    std::string serial = serialKey(sample.serial);
    bool quote = serial.find_first_of(",\"") != std::string::npos
        || (!serial.empty() && (serial.front() == ' ' || serial.back() == ' '));
    if (quote) {
        std::string quoted = "\"";
        for (char c : serial) {
            if (c == '"')
                quoted += '"';
            quoted += c;
        }
        serial = quoted + "\"";
    }
    return std::to_string(sample.time) + "," + serial + "," + (sample.hasHours ? std::to_string(sample.hours) : "")
        + "," + std::to_string(sample.used) + "\n";
}

bool WearHistory::parseLine(const std::string& line, WearSample& sample)
{
    std::vector<std::string> fields;
    if (!splitCsv(line, fields) || fields.size() != 4)
        return false;
    std::uint64_t time;
    std::uint64_t used;
    WearSample parsed;
    if (!parseNumber(fields[0], time) || time > static_cast<std::uint64_t>(INT64_MAX) || !parseNumber(fields[3], used)
        || used > 255)
        return false;
    parsed.time = static_cast<std::int64_t>(time);
    parsed.serial = fields[1];
    parsed.used = static_cast<unsigned>(used);
    if (!fields[2].empty()) {
        if (!parseNumber(fields[2], parsed.hours))
            return false;
        parsed.hasHours = true;
    }
    sample = parsed;
    return true;
}

bool WearHistory::load(std::vector<WearSample>& samples, std::string& error) const
{
    int fd = open(m_path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return true;
        error = why("cannot read the history", m_path);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "cannot read the history " + m_path + ": it is not a regular file";
        close(fd);
        return false;
    }
    std::string text;
    if (!readAll(fd, text)) {
        error = why("cannot read the history", m_path);
        close(fd);
        return false;
    }
    close(fd);
    size_t lastEnd = text.rfind('\n');
    size_t whole = lastEnd == std::string::npos ? 0 : lastEnd + 1;
    size_t number = 0;
    forEachLine(text.substr(0, whole), [&](const std::string& line) {
        ++number;
        WearSample sample;
        if (parseLine(line, sample))
            samples.push_back(sample);
        else if (!line.empty())
            fprintf(stderr, "quoxssd: warning: %s line %zu is not a sample, skipped\n", m_path.c_str(), number);
    });
    // A cut line (or one still being written) is not read as a sample.
    if (whole < text.size())
        fprintf(stderr, "quoxssd: warning: %s line %zu is cut short, skipped\n", m_path.c_str(), number + 1);
    return true;
}

bool WearHistory::rewrite(int directory, const std::string& keptText, std::string& error) const
{
    std::string temporary = nameOf(m_path) + ".new." + std::to_string(getpid());
    int fd = openat(directory, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) {
        error = why("cannot write", folderOf(m_path) + "/" + temporary);
        return false;
    }
    bool ok = writeAll(fd, keptText) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || renameat(directory, temporary.c_str(), directory, nameOf(m_path).c_str()) != 0) {
        error = why("cannot replace the history", m_path);
        unlinkat(directory, temporary.c_str(), 0);
        return false;
    }
    // The rename itself must reach the disk before the old samples count as gone.
    fsync(directory);
    return true;
}

bool WearHistory::append(const std::vector<WearSample>& samples, std::string& error) const
{
    std::string folder = folderOf(m_path);
    if (mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        error = why("cannot create", folder);
        return false;
    }
    int directory = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        error = why("cannot open", folder);
        return false;
    }
    // One recorder at a time: a rewrite must not lose another's samples.
    int locked;
    while ((locked = flock(directory, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        error = why("cannot lock", folder);
        close(directory);
        return false;
    }
    std::string text;
    for (const WearSample& sample : samples)
        text += formatLine(sample);
    int fd = openat(directory, nameOf(m_path).c_str(), O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK,
                    kFileMode);
    bool ok = fd >= 0;
    if (!ok)
        error = why("cannot write the history", m_path);
    struct stat status {};
    if (ok && (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))) {
        error = "cannot write the history " + m_path + ": it is not a regular file";
        ok = false;
    }
    off_t whole = 0;
    if (ok && (!wholeLines(fd, status.st_size, whole) || (whole < status.st_size && ftruncate(fd, whole) != 0))) {
        error = why("cannot mend the history", m_path);
        ok = false;
    }
    if (ok && static_cast<std::size_t>(whole) + text.size() > kMaxBytes) {
        std::string oldText;
        ok = lseek(fd, 0, SEEK_SET) == 0 && readAll(fd, oldText);
        if (!ok)
            error = why("cannot read the history", m_path);
        if (ok) {
            // What the estimates need of the good samples, then the new
            // ones; if that is still more than half the cap, the oldest of
            // it goes. What is not a sample goes now.
            std::vector<WearSample> old;
            forEachLine(oldText, [&old](const std::string& line) {
                WearSample sample;
                if (parseLine(line, sample))
                    old.push_back(sample);
            });
            std::int64_t newest = 0;
            for (const WearSample& sample : old)
                newest = std::max(newest, sample.time);
            for (const WearSample& sample : samples)
                newest = std::max(newest, sample.time);
            std::vector<bool> keep = worthKeeping(old, newest);
            std::vector<std::string> kept;
            size_t size = text.size();
            for (size_t i = 0; i < old.size(); ++i) {
                if (keep[i]) {
                    kept.push_back(formatLine(old[i]));
                    size += kept.back().size();
                }
            }
            size_t first = 0;
            for (; first < kept.size() && size > kMaxBytes / 2; ++first)
                size -= kept[first].size();
            std::string keptText;
            for (size_t i = first; i < kept.size(); ++i)
                keptText += kept[i];
            ok = rewrite(directory, keptText + text, error);
        }
    } else if (ok && !writeAll(fd, text)) {
        error = why("cannot write the history", m_path);
        ok = false;
    }
    if (fd >= 0)
        close(fd);
    close(directory);
    return ok;
}
