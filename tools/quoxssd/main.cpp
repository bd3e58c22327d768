// quoxssd: the SSD wear of this machine, for administrators and monitoring.
//
//   quoxssd [list]                 table of every SSD
//   quoxssd --json                 the same as a JSON array
//   quoxssd --prometheus [FILE]    metrics in the text exposition format
//   quoxssd watch [--interval N] [--journal]
//                                  failure-imminent events as they happen
//   quoxssd record                 one wear sample per drive into the history
//   quoxssd --version              the tool's and the loaded library's version
// Each takes --history FILE (default /var/lib/vexlor/history), where the
// recent rate of wear for the remaining-life estimate comes from.
//
// Exit status: 0 every SSD is fine (or there are none), 1 at least one is
// past its wear threshold, 2 otherwise when a drive's latest read failed or
// the drives cannot be read, 64 usage error.
// It uses only the public API of libquoxssd. This file reads the command
// line and hands over to the mode's own file; every mode but --version
// starts from the same gathering of the drives (Report.h).
#include "Json.h"
#include "Output.h"
#include "Prometheus.h"
#include "Record.h"
#include "Report.h"
#include "Table.h"
#include "Version.h"
#include "Watch.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace quoxssd {

namespace {

const char* usageText =
    "Usage: quoxssd [list | --json | --prometheus [FILE] | watch [--interval N] [--journal]\n"
    "               | record | --version | --help] [--history FILE]\n"
    "\n"
    "Shows the wear of every fixed SATA SSD of this machine (and of its NVMe and eMMC\n"
    "drives where vexlor.ini switches them on), as the drives report it.\n"
    "\n"
    "  list                 a table of the SSDs (the default)\n"
    "  --json               the same records as a JSON array\n"
    "  --prometheus [FILE]  metrics in the Prometheus text format; with FILE, written\n"
    "                       atomically there (for node_exporter's textfile collector)\n"
    "  watch                print a line for every failure-imminent event until\n"
    "                       SIGINT or SIGTERM, and at the start one for every drive\n"
    "                       already past its threshold; --interval N also prints the\n"
    "                       table every N seconds; --journal prefixes the lines with\n"
    "                       their journal priority (events crit, on standard error)\n"
    "  record               append one wear sample per drive to the history\n"
    "  --history FILE       the history (default /var/lib/vexlor/history), whose\n"
    "                       recent rate of wear the remaining-life estimate prefers\n"
    "  --version            the tool's version and the monitoring library's stamp\n"
    "  --help               this text\n"
    "\n"
    "A drive whose latest read failed shows READ FAILED, with its last good figures\n"
    "or \u2014 where it has given none yet.\n"
    "\n"
    "Exit status: 0 all SSDs fine or none found, 1 at least one SSD past its wear\n"
    "threshold, 2 otherwise when an SSD's latest read failed or the drives cannot\n"
    "be read, 64 usage error.\n"
    "Configuration: /etc/vexlor/vexlor.ini and /etc/vexlor/log.conf. Run as root.\n";

int usage(const std::string& problem)
{
    fprintf(stderr, "quoxssd: %s\n%s", problem.c_str(), usageText);
    return kExitUsage;
}

enum class Mode { List, Json, Prometheus, Watch, Record, Version };

struct Options {
    Mode mode = Mode::List;
    std::string prometheusFile;
    std::string historyPath = WearHistory::kDefaultPath;
    int interval = 0;
    bool journal = false;
};

// Set when the command line is all read and the tool is to go on.
const int kGoOn = -1;

// Takes --history FILE, wherever it stands, out of the arguments.
int takeHistory(int argc, char** argv, Options& options, std::vector<std::string>& args)
{
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--history") {
            args.push_back(argv[i]);
        } else if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            return usage("--history takes a file");
        } else {
            options.historyPath = argv[++i];
        }
    }
    return kGoOn;
}

// A mode is only the first argument.
bool takeMode(const std::string& arg, Options& options)
{
    static const struct {
        const char* name;
        Mode mode;
    } modes[] = {{"list", Mode::List},   {"--json", Mode::Json},     {"--prometheus", Mode::Prometheus},
                 {"watch", Mode::Watch}, {"record", Mode::Record}, {"--version", Mode::Version}};
    for (const auto& mode : modes) {
        if (arg == mode.name) {
            options.mode = mode.mode;
            return true;
        }
    }
    return false;
}

int takeInterval(const std::string& text, Options& options)
{
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value <= 0 || value > 86400)
        return usage("--interval takes a number of seconds from 1 to 86400");
    options.interval = static_cast<int>(value);
    return kGoOn;
}

int parse(int argc, char** argv, Options& options)
{
    std::vector<std::string> args;
    int status = takeHistory(argc, argv, options, args);
    for (size_t i = 0; status == kGoOn && i < args.size(); ++i) {
        const std::string& arg = args[i];
        bool watching = options.mode == Mode::Watch;
        if (arg == "--help" || arg == "-h") {
            fputs(usageText, report());
            fflush(report());
            return kExitFine;
        }
        if (i == 0 && takeMode(arg, options)) {
            if (options.mode == Mode::Prometheus && i + 1 < args.size())
                options.prometheusFile = args[++i];
        } else if (arg == "--interval" && watching && i + 1 < args.size()) {
            status = takeInterval(args[++i], options);
        } else if (arg == "--journal" && watching) {
            options.journal = true;
        } else {
            status = usage("unexpected argument: " + arg);
        }
    }
    return status;
}

// The mode on the drives as gathered at the start.
int run(const Options& options, SsdApi& api, const WearHistory& history, const std::vector<WearSample>& samples,
        const DriveReports& reports)
{
    switch (options.mode) {
    case Mode::List:
        printTable(report(), reports);
        break;
    case Mode::Json:
        printJson(report(), reports);
        break;
    case Mode::Prometheus:
        if (!exportPrometheus(reports, options.prometheusFile))
            return kExitCannotRead;
        break;
    case Mode::Watch:
        return watch(api, options.interval, options.journal, samples);
    case Mode::Record:
        return record(api, history, options.historyPath);
    case Mode::Version:
        break;
    }
    fflush(report());
    return exitStatusFor(reports);
}

int runTool(int argc, char** argv)
{
    Options options;
    int status = parse(argc, argv, options);
    if (status != kGoOn)
        return status;
    if (options.mode == Mode::Version)
        return printVersion();
    if (options.mode == Mode::Watch)
        blockStopSignals();

    SsdApi api;
    status = startCore(api);
    if (status != kExitFine)
        return status;
    WearHistory history(options.historyPath);
    std::vector<WearSample> samples =
        options.mode == Mode::Record ? std::vector<WearSample>() : loadHistory(history);
    DriveReports reports = gather(api, samples);
    status = checkAccess(reports);
    if (status != kExitFine)
        return status;
    return run(options, api, history, samples, reports);
}

} // namespace

} // namespace quoxssd

int main(int argc, char** argv)
{
    return quoxssd::runTool(argc, argv);
}
