#include "CoreScenario.h"

#include "ssd.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <regex>
#include <set>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace core {

namespace {

using Clock = std::chrono::steady_clock;

std::mutex outputLock;
std::condition_variable eventArrived;
int eventCount = 0;

// Listeners alive right now, by serial number: a call to any other one is a
// call to a listener its client already destroyed (whose memory a newer
// listener may be using by then).
std::mutex aliveLock;
std::set<long> alive;
std::atomic<long> nextSerial{0};
std::atomic<long> stormCalls{0};
std::atomic<long> staleCalls{0};

class RecordingListener : public ISsdListener {
public:
    explicit RecordingListener(const char* tag)
        : m_tag(tag)
    {
    }

    void SsdFailureImminent(std::string model, std::string serial, std::string drive,
                            unsigned char percentageUsed) override
    {
        std::lock_guard<std::mutex> guard(outputLock);
        printf("%s [%s] [%s] %s pu=%u\n", m_tag, model.c_str(), serial.c_str(), drive.c_str(),
               static_cast<unsigned>(percentageUsed));
        fflush(stdout);
        ++eventCount;
        eventArrived.notify_all();
    }

private:
    const char* m_tag;
};

class StormListener : public ISsdListener {
public:
    StormListener()
        : m_serial(++nextSerial)
    {
        std::lock_guard<std::mutex> guard(aliveLock);
        alive.insert(m_serial);
    }
    ~StormListener() override
    {
        std::lock_guard<std::mutex> guard(aliveLock);
        alive.erase(m_serial);
    }
    StormListener(const StormListener&) = delete;
    StormListener& operator=(const StormListener&) = delete;
    void SsdFailureImminent(std::string, std::string, std::string, unsigned char) override
    {
        ++stormCalls;
        checkAlive();
        // Widen the window in which an unregistration meets this call.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        checkAlive();
    }

private:
    void checkAlive()
    {
        std::lock_guard<std::mutex> guard(aliveLock);
        if (alive.count(m_serial) == 0)
            ++staleCalls;
    }

    long m_serial;
};

RecordingListener recorder("event");
RecordingListener otherRecorder("other_event");

std::vector<std::string> fields(const std::string& action)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = action.find(':', start)) != std::string::npos; start = at + 1)
        parts.push_back(action.substr(start, at - start));
    parts.push_back(action.substr(start));
    return parts;
}

// A number from /proc/self/status, such as "VmRSS:  1234 kB".
long long statusField(const std::string& status, const std::string& name)
{
    std::smatch m;
    if (std::regex_search(status, m, std::regex(name + ":\\s*(\\d+)")))
        return std::stoll(m[1]);
    return -1;
}

std::string recordLines(const SsdInformationList& list)
{
    std::string lines;
    for (const SsdInformation& r : list) {
        char line[512];
        snprintf(line, sizeof line, "rec %s [%s] [%s] [%s] poh=%llu pu=%u src=%u fi=%d\n", r.physicalDrive.c_str(),
                 r.driveModel.c_str(), r.driveSerialNumber.c_str(), r.driveFirmwareVersion.c_str(),
                 static_cast<unsigned long long>(r.poweredOnHours), static_cast<unsigned>(r.percentageUsed),
                 static_cast<unsigned>(r.percentageUsedSource), r.failureImminent ? 1 : 0);
        lines += line;
    }
    return lines;
}

void printRecords(const SsdInformationList& list)
{
    std::lock_guard<std::mutex> guard(outputLock);
    fputs(recordLines(list).c_str(), stdout);
}

} // namespace

SCENARIO(core)
{
    // The library announces its logger without a line end; start a new line.
    printf("\n");
    SsdApi api;
    for (const std::string& action : args) {
        std::vector<std::string> f = fields(action);
        if (f[0] == "init") {
            SSD_CODE code = api.initialiseSsdDriver();
            std::lock_guard<std::mutex> guard(outputLock);
            printf("init=%d\n", static_cast<int>(code));
        } else if (f[0] == "list") {
            SsdInformationList list;
            auto start = Clock::now();
            SSD_CODE code = api.getSsdInformationList(list);
            auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
            printRecords(list);
            std::lock_guard<std::mutex> guard(outputLock);
            printf("list=%d count=%zu list_ms=%lld\n", static_cast<int>(code), list.size(),
                   static_cast<long long>(took));
        } else if (f[0] == "listuntil") {
            // Snapshots until one holds the text n times (a figure the drives
            // were given meanwhile), then prints that one.
            std::string text = action.substr(f[0].size() + f[1].size() + f[2].size() + 3);
            auto end = Clock::now() + std::chrono::milliseconds(std::stoi(f[1]));
            SsdInformationList list;
            for (;;) {
                list.clear();
                api.getSsdInformationList(list);
                if (emu::occurrences(recordLines(list), text) >= std::stoul(f[2]) || Clock::now() >= end)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            printRecords(list);
            std::lock_guard<std::mutex> guard(outputLock);
            printf("list=0 count=%zu\n", list.size());
        } else if (f[0] == "listtwice") {
            SsdInformationList list;
            api.getSsdInformationList(list);
            api.getSsdInformationList(list);
            std::lock_guard<std::mutex> guard(outputLock);
            printf("twice=%zu\n", list.size());
        } else if (f[0] == "listen") {
            api.registerSsdListener(&recorder);
        } else if (f[0] == "listen_other") {
            api.registerSsdListener(&otherRecorder);
        } else if (f[0] == "unlisten") {
            api.unregisterSsdListener();
        } else if (f[0] == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(f[1])));
        } else if (f[0] == "touch") {
            emu::writeFile(f[1], "");
        } else if (f[0] == "await") {
            bool found = emu::waitForFile(f[1], std::chrono::milliseconds(std::stoi(f[2])));
            std::lock_guard<std::mutex> guard(outputLock);
            printf("await=%d\n", found ? 1 : 0);
        } else if (f[0] == "log") {
            std::string text = action.substr(f[0].size() + f[1].size() + f[2].size() + 3);
            bool found = emu::waitForText(emu::kScenarioLogPath, text, std::chrono::milliseconds(std::stoi(f[2])),
                                          std::stoul(f[1]));
            std::lock_guard<std::mutex> guard(outputLock);
            printf("log=%d\n", found ? 1 : 0);
        } else if (f[0] == "childfds") {
            // A program started now, with no environment to preload anything,
            // lists the descriptors it inherited.
            fflush(stdout);
            pid_t child = fork();
            if (child == 0) {
                char* const noEnvironment[] = {nullptr};
                execle("/bin/ls", "ls", "-l", "/proc/self/fd", static_cast<char*>(nullptr), noEnvironment);
                _exit(127);
            }
            int status = 0;
            waitpid(child, &status, 0);
            std::lock_guard<std::mutex> guard(outputLock);
            printf("childfds=%d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        } else if (f[0] == "events") {
            std::unique_lock<std::mutex> guard(outputLock);
            int wanted = std::stoi(f[1]);
            eventArrived.wait_for(guard, std::chrono::milliseconds(std::stoi(f[2])),
                                  [wanted] { return eventCount >= wanted; });
            printf("events=%d\n", eventCount);
        } else if (f[0] == "snapshots") {
            auto end = Clock::now() + std::chrono::milliseconds(std::stoi(f[1]));
            std::vector<long long> latencies;
            while (Clock::now() < end) {
                SsdInformationList list;
                auto start = Clock::now();
                api.getSsdInformationList(list);
                latencies.push_back(
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
            }
            std::sort(latencies.begin(), latencies.end());
            std::lock_guard<std::mutex> guard(outputLock);
            printf("snapshots=%zu median_us=%lld max_us=%lld\n", latencies.size(),
                   latencies.empty() ? 0 : latencies[latencies.size() / 2], latencies.empty() ? 0 : latencies.back());
        } else if (f[0] == "status") {
            SsdReadStatusList statuses;
            SSD_CODE code = api.getSsdReadStatusList(statuses);
            std::lock_guard<std::mutex> guard(outputLock);
            for (const SsdReadStatus& status : statuses)
                printf("readstatus %s=%d\n", status.physicalDrive.c_str(), status.lastReadSucceeded ? 1 : 0);
            printf("status=%d count=%zu\n", static_cast<int>(code), statuses.size());
        } else if (f[0] == "rss") {
            std::string status = emu::readFile("/proc/self/status");
            long long rss = statusField(status, "VmRSS");
            long long threads = statusField(status, "Threads");
            std::lock_guard<std::mutex> guard(outputLock);
            printf("rss_kb=%lld threads=%lld\n", rss, threads);
        } else if (f[0] == "storm") {
            // Each listener is destroyed as soon as unregistering returns.
            // Its memory is kept until the end, so that a late call finds
            // the destroyed listener rather than a newer one in its place.
            auto end = Clock::now() + std::chrono::milliseconds(std::stoi(f[1]));
            std::vector<std::unique_ptr<unsigned char[]>> storage;
            while (Clock::now() < end) {
                storage.emplace_back(new unsigned char[sizeof(StormListener)]);
                auto* listener = new (storage.back().get()) StormListener();
                api.registerSsdListener(listener);
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                api.unregisterSsdListener();
                listener->~StormListener();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            std::lock_guard<std::mutex> guard(outputLock);
            printf("storm_calls=%ld storm_stale=%ld\n", stormCalls.load(), staleCalls.load());
        } else {
            fprintf(stderr, "unknown action %s\n", action.c_str());
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}

std::vector<Record> records(const std::string& out)
{
    std::vector<Record> found;
    std::regex line("rec (\\S+) \\[(.*)\\] \\[(.*)\\] \\[(.*)\\] poh=(\\d+) pu=(\\d+) src=(\\d+) fi=(\\d)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        Record r;
        r.drive = m[1];
        r.model = m[2];
        r.serial = m[3];
        r.firmware = m[4];
        r.hours = std::stoull(m[5]);
        r.percentageUsed = static_cast<unsigned>(std::stoul(m[6]));
        r.source = static_cast<unsigned>(std::stoul(m[7]));
        r.failureImminent = m[8] == "1";
        found.push_back(r);
    }
    return found;
}

std::vector<Event> events(const std::string& out, const std::string& tag)
{
    std::vector<Event> found;
    std::regex line("(?:^|\n)" + tag + " \\[(.*)\\] \\[(.*)\\] (\\S+) pu=(\\d+)");
    for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        found.push_back({m[1], m[2], m[3], static_cast<unsigned>(std::stoul(m[4]))});
    }
    return found;
}

} // namespace core
