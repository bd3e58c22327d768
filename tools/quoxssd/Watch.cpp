#include "Watch.h"

#include "Output.h"
#include "Table.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <set>

namespace quoxssd {

namespace {

sigset_t stopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

std::string now()
{
    char text[32];
    time_t seconds = time(nullptr);
    struct tm local {};
    localtime_r(&seconds, &local);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    return text;
}

// The wear an event carries, read as the drive's source means it: a 255
// from an NVMe drive is 255 % or more, from the others no figure.
std::string eventWearText(SsdApi& api, const std::string& drive, unsigned char percentageUsed)
{
    DriveReport asEvent;
    asEvent.ssd.percentageUsed = percentageUsed;
    SsdInformationList ssds;
    api.getSsdInformationList(ssds);
    for (const SsdInformation& ssd : ssds)
        if (ssd.physicalDrive == drive)
            asEvent.ssd.percentageUsedSource = ssd.percentageUsedSource;
    return wearText(asEvent);
}

// Prints failure-imminent lines: the library's events as they come, and at
// the start every drive already past its threshold that no event named.
// For the journal, each line starts with its priority: events crit (2) on
// standard error, the rest info (6).
class EventPrinter : public ISsdListener {
public:
    EventPrinter(SsdApi& api, bool journal) : m_api(api), m_journal(journal) {}

    void SsdFailureImminent(std::string model, std::string serial, std::string drive,
                            unsigned char percentageUsed) override
    {
        std::string used = eventWearText(m_api, drive, percentageUsed);
        std::lock_guard<std::mutex> guard(reportLock);
        // A drive whose read passed the threshold just before the start
        // report saw it sends its event just after: it has its line.
        if (m_named.insert(drive).second)
            printEvent(drive, model, serial, used, "");
    }

    // A drive past its threshold before the watch began: its event fired
    // while the library was finding the drives, before anyone listened.
    void reportAtStart(const DriveReport& found)
    {
        const SsdInformation& ssd = found.ssd;
        std::lock_guard<std::mutex> guard(reportLock);
        if (m_named.insert(ssd.physicalDrive).second)
            printEvent(ssd.physicalDrive, ssd.driveModel, ssd.driveSerialNumber, wearText(found), " (found at start)");
    }

    void info(const std::string& text)
    {
        std::lock_guard<std::mutex> guard(reportLock);
        fprintf(report(), "%s%s %s\n", m_journal ? "<6>" : "", now().c_str(), text.c_str());
        fflush(report());
    }

private:
    void printEvent(const std::string& drive, const std::string& model, const std::string& serial,
                    const std::string& used, const char* note)
    {
        FILE* out = m_journal ? stderr : report();
        fprintf(out, "%s%s FAILURE IMMINENT %s model=%s serial=%s used=%s%s\n", m_journal ? "<2>" : "", now().c_str(),
                drive.c_str(), model.c_str(), serial.c_str(), used.c_str(), note);
        fflush(out);
    }

    SsdApi& m_api;
    bool m_journal;
    std::set<std::string> m_named;   // by an event or by the start report: once each
};

void printTimedTable(SsdApi& api, const std::vector<WearSample>& history)
{
    DriveReports reports = gather(api, history);
    std::lock_guard<std::mutex> guard(reportLock);
    fprintf(report(), "%s\n", now().c_str());
    printTable(report(), reports);
    fflush(report());
}

} // namespace

void blockStopSignals()
{
    sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int watch(SsdApi& api, int interval, bool journal, const std::vector<WearSample>& history)
{
    const sigset_t signals = stopSignals();
    EventPrinter printer(api, journal);
    // Listening first, then looking: a drive that passes its threshold in
    // between is named by its event, and only once.
    api.registerSsdListener(&printer);
    printer.info("watching for failure-imminent events (SIGINT or SIGTERM to stop)");
    for (const DriveReport& found : gather(api, history))
        if (found.ssd.failureImminent)
            printer.reportAtStart(found);
    for (;;) {
        struct timespec wait = {interval > 0 ? interval : 3600, 0};
        int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal == SIGINT || signal == SIGTERM)
            break;
        if (signal < 0 && errno == EAGAIN && interval > 0)
            printTimedTable(api, history);
    }
    // Returns only when no event is still being printed.
    api.unregisterSsdListener();
    printer.info("stopped");
    return kExitFine;
}

} // namespace quoxssd
