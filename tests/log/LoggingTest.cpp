// The logger of both libraries, each scenario in a fresh process with its
// own log.conf and log directory.
#include "Scenario.h"
#include "ScenarioTest.h"
#include "LogRecord.h"
#include "log.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <clocale>
#include <condition_variable>
#include <cstdio>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <mutex>
#include <numeric>
#include <set>
#include <regex>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

const char* const kLogPath = "/var/log/vexlor/vexlor.log";

using LogQuickFunction = void (*)(LOG_LEVEL, const char*);

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at; (at = text.find(separator, start)) != std::string::npos; start = at + 1)
        parts.push_back(text.substr(start, at - start));
    parts.push_back(text.substr(start));
    return parts;
}

LOG_LEVEL level(const std::string& text)
{
    return static_cast<LOG_LEVEL>(std::stoi(text));
}

// A line whose message states its own length, so a torn or mixed line shows.
std::string selfDescribing(const char* library, int thread, int index, size_t fill)
{
    char head[64];
    snprintf(head, sizeof head, "%s t=%d i=%d n=%zu ", library, thread, index, fill);
    return head + std::string(fill, static_cast<char>('a' + (thread + index) % 26));
}

// Runs `lines` lines on each of `threads` threads through `logQuick`.
void hammer(LogQuickFunction logQuick, const char* library, int threads, int lines)
{
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([=] {
            for (int i = 0; i < lines; ++i)
                logQuick(LEVEL_ERROR, selfDescribing(library, t, i, i % 5 == 0 ? 4000 : 40 + i % 300).c_str());
        });
    for (std::thread& worker : workers)
        worker.join();
}

// The reading end of a FIFO the "reader" action opened, or -1.
int fifoReader = -1;

// Each argument is one action, fields separated by ':'.
SCENARIO(logging)
{
    for (const std::string& action : args) {
        std::vector<std::string> f = split(action, ':');
        const std::string& verb = f[0];
        if (verb == "log") {
            Log(level(f[1]), "%s", f[2].c_str());
        } else if (verb == "quick") {
            LogQuick(level(f[1]), action.substr(f[0].size() + f[1].size() + 2).c_str());
        } else if (verb == "format") {
            Log(LEVEL_ERROR, "int=%d hex=0x%08x str=%s", 42, 0xBEEFu, "text");
        } else if (verb == "long") {
            Log(LEVEL_ERROR, "%s", std::string(std::stoul(f[1]), 'x').c_str());
        } else if (verb == "wlog") {
            WLog(LEVEL_ERROR, L"wide %d %ls", 7, L"text");
        } else if (verb == "wlog-accent") {
            WLog(LEVEL_ERROR, L"caf\u00e9 %ls", L"cr\u00e8me");
        } else if (verb == "wlog-bytes") {
            // A narrow argument the locale may not be able to convert.
            WLog(LEVEL_ERROR, L"before %s after", f[1] == "latin1" ? "caf\xe9" : "caf\xc3\xa9");
        } else if (verb == "locale") {
            if (setlocale(LC_ALL, f[1].c_str()) == nullptr)
                return 3;
        } else if (verb == "truncate") {
            if (truncate(kLogPath, 0) != 0)
                return 4;
        } else if (verb == "errno") {
            errno = EBADF;
            Log(LEVEL_ERROR, "errno test");
            LogQuick(LEVEL_ERROR, "errno test");
            WLog(LEVEL_ERROR, L"errno test");
            printf("errno=%d\n", errno);
        } else if (verb == "pid") {
            printf("pid=%08x\n", static_cast<unsigned>(getpid()));
        } else if (verb == "race") {
            // Many threads log their first line at the same moment.
            std::mutex lock;
            std::condition_variable go;
            bool started = false;
            std::vector<std::thread> workers;
            for (int t = 0; t < std::stoi(f[1]); ++t)
                workers.emplace_back([&] {
                    std::unique_lock<std::mutex> guard(lock);
                    go.wait(guard, [&] { return started; });
                    guard.unlock();
                    LogQuick(LEVEL_ERROR, "first");
                });
            {
                std::lock_guard<std::mutex> guard(lock);
                started = true;
            }
            go.notify_all();
            for (std::thread& worker : workers)
                worker.join();
        } else if (verb == "lines") {
            // lines:<count>:<length>, each line numbered.
            for (int i = 0; i < std::stoi(f[1]); ++i)
                Log(LEVEL_ERROR, "line %03d %s", i, std::string(std::stoul(f[2]), 'z').c_str());
        } else if (verb == "tmpfs") {
            // A small file system of this scenario's own over a directory.
            std::string options = "size=" + f[2];
            if (mount("tmpfs", f[1].c_str(), "tmpfs", 0, options.c_str()) != 0)
                return 7;
        } else if (verb == "reader") {
            // Holds a FIFO open for reading, so that opening it to write succeeds.
            fifoReader = open(f[1].c_str(), O_RDONLY | O_NONBLOCK);
            if (fifoReader < 0)
                return 11;
        } else if (verb == "drain") {
            char buffer[4096];
            ssize_t got = 0;
            ssize_t total = 0;
            while (fifoReader >= 0 && (got = read(fifoReader, buffer, sizeof buffer)) > 0)
                total += got;
            printf("\nfifo_bytes=%zd\n", total);
        } else if (verb == "readonly") {
            // The directory read-only, in this scenario's namespace only.
            if (mount(f[1].c_str(), f[1].c_str(), "none", MS_BIND, nullptr) != 0
                || mount("none", f[1].c_str(), "none", MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
                return 10;
        } else if (verb == "fill") {
            // fill:<path>: as many bytes as the file system takes.
            FILE* filler = fopen(f[1].c_str(), "w");
            if (filler == nullptr)
                return 8;
            std::string block(1024, '.');
            while (fwrite(block.data(), 1, block.size(), filler) == block.size() && fflush(filler) == 0) {
            }
            fclose(filler);
        } else if (verb == "unlink") {
            unlink(f[1].c_str());
        } else if (verb == "symlink") {
            // Puts a symbolic link to f[1] where the log file is.
            if (unlink(kLogPath) != 0 || symlink(f[1].c_str(), kLogPath) != 0)
                return 9;
        } else if (verb == "copy") {
            emu::writeFile(f[2], emu::readFile(f[1]));
        } else if (verb == "both") {
            // The provider library carries a logger of its own; both append
            // to the same file from many threads.
            void* provider = dlopen(VEXLOR_PROVIDER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
            if (provider == nullptr) {
                fprintf(stderr, "%s\n", dlerror());
                return 5;
            }
            auto providerLogQuick = reinterpret_cast<LogQuickFunction>(dlsym(provider, "_Z8LogQuick9LOG_LEVELPKc"));
            if (providerLogQuick == nullptr || providerLogQuick == &LogQuick)
                return 6;
            int threads = std::stoi(f[1]);
            int lines = std::stoi(f[2]);
            std::thread core([=] { hammer(&LogQuick, "core", threads, lines); });
            std::thread prov([=] { hammer(providerLogQuick, "prov", threads, lines); });
            core.join();
            prov.join();
        }
    }
    fflush(stdout);
    return 0;
}

class LoggingTest : public emu::ScenarioTest {
protected:
    emu::ScenarioResult run(emu::Scenario& scenario, std::vector<std::string> actions)
    {
        scenario.args(std::move(actions));
        emu::ScenarioResult result = scenario.run();
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result;
    }

    emu::ScenarioResult run(const std::string& logConf, std::vector<std::string> actions)
    {
        emu::Scenario scenario("logging");
        if (!logConf.empty())
            scenario.logConf(logConf);
        return run(scenario, std::move(actions));
    }

    const std::vector<std::string> allLevels{"log:1:error", "log:2:info", "log:3:debug", "log:4:trace"};

    // The lines of the scenario's own messages, leaving out what the core
    // library logs about itself as it loads and unloads.
    static std::vector<emu::LogLine> callersLines(const emu::ScenarioResult& r, const std::set<std::string>& messages)
    {
        std::vector<emu::LogLine> lines;
        for (const emu::LogLine& line : r.parsedLog())
            if (messages.count(line.message) != 0)
                lines.push_back(line);
        return lines;
    }
};

TEST_F(LoggingTest, LineCarriesTimeProcessThreadLevelAndMessageEndingInCrLf)
{
    emu::ScenarioResult r = run("Level=4\n", {"pid", "log:1:one", "log:2:two", "log:3:three", "log:4:four"});
    std::regex line("\\d{2}/\\d{2}/\\d{4} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}\tP\\[[0-9a-f]{8}\\] T\\[[0-9a-f]{8}\\]\t"
                    "(Error|Info |Debug|Trace)\t[^\r\n]+\r\n");
    // The core library logs its own lifecycle too; every line has the format.
    std::vector<std::string> lines;
    for (const std::string& text : r.logLines())
        lines.push_back(text + "\r\n");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(r.log.size(), std::accumulate(lines.begin(), lines.end(), size_t{0},
                                            [](size_t sum, const std::string& text) { return sum + text.size(); }))
        << "every line ends in CR LF";
    for (const std::string& text : lines)
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    std::vector<emu::LogLine> ours = callersLines(r, {"one", "two", "three", "four"});
    ASSERT_EQ(ours.size(), 4u) << r.log;
    EXPECT_EQ(ours[0].level, "Error");
    EXPECT_EQ(ours[1].level, "Info ");
    EXPECT_EQ(ours[2].level, "Debug");
    EXPECT_EQ(ours[3].level, "Trace");
    for (const emu::LogLine& parsed : ours)
        EXPECT_THAT(r.out, HasSubstr("pid=" + parsed.process.substr(2, 8)));
    EXPECT_THAT(r.out, HasSubstr("Logger created"));

    // The date reads day first: a line of the 25th of March leaves no doubt.
    setenv("TZ", "UTC0", 1);
    tzset();
    std::string message = "dated";
    LogRecord dated(LEVEL_INFO, message);
    dated.m_TimeStamp.time = 1774442096;
    dated.m_TimeStamp.millitm = 7;
    std::string stamped;
    dated.GetLogLine(stamped);
    EXPECT_EQ(stamped.substr(0, 24), "25/03/2026 12:34:56.007\t") << stamped;
}

TEST_F(LoggingTest, ConfiguredLevelFiltersMessages)
{
    struct Case {
        const char* conf;
        std::vector<std::string> expected;
    } cases[] = {
        {"", {"error", "info"}},
        {"Level=4\n", {"error", "info", "debug", "trace"}},
        {"Level=1\n", {"error"}},
        {"Level=0\n", {}},
        {"Level=9\n", {"error", "info"}},
        {"Level=-1\n", {"error", "info"}},
        {"Level=three\n", {"error", "info"}},
        {"Level=4\nLevel=3\n", {"error", "info", "debug"}},
        {"Level =4\n", {"error", "info"}},
        {" Level=4\n", {"error", "info"}},
        {"level=4\n", {"error", "info"}},
        {"Level=3\r\n", {"error", "info", "debug"}},
        {"# comment\n\n=4\nLevel\n[section]\nLevel=4", {"error", "info", "debug", "trace"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        emu::ScenarioResult r = run(c.conf, allLevels);
        std::vector<std::string> messages;
        for (const emu::LogLine& line : callersLines(r, {"error", "info", "debug", "trace"}))
            messages.push_back(line.message);
        EXPECT_EQ(messages, c.expected);
        if (c.expected.empty()) {
            EXPECT_EQ(r.log, "") << "level 0 logs nothing at all";
        }
    }
}

TEST_F(LoggingTest, ConsoleEchoFollowsIsConsoleAndCanOnlyBeSwitchedOn)
{
    struct Case {
        const char* conf;
        bool echo;
    } cases[] = {
        {"", false}, {"IsConsole=1\n", true}, {"IsConsole=T\n", true}, {"IsConsole=true\n", true},
        {"IsConsole=yes\n", false}, {"IsConsole=0\n", false}, {"IsConsole=\n", false},
        {"IsConsole=1\nIsConsole=0\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        emu::ScenarioResult r = run(c.conf, {"log:1:echoed"});
        EXPECT_EQ(r.err.find("\techoed\r\n") != std::string::npos, c.echo) << r.err;
        EXPECT_TRUE(r.logHas("echoed"));
    }
}

TEST_F(LoggingTest, PercentSignsReachFileAndConsoleUnchanged)
{
    emu::ScenarioResult r = run("IsConsole=1\n", {"quick:1:100% done %s %n %x"});
    EXPECT_THAT(r.messages(), ElementsAre("100% done %s %n %x"));
    EXPECT_THAT(r.err, HasSubstr("\t100% done %s %n %x\r\n"));
    EXPECT_EQ(r.err, r.log);
}

TEST_F(LoggingTest, FormattedAndWideMessages)
{
    emu::ScenarioResult r = run("", {"format", "wlog", "wlog-accent", "locale:C.UTF-8", "wlog-accent"});
    EXPECT_THAT(r.messages(), ElementsAre("int=42 hex=0x0000beef str=text", "wide 7 text", "caf\xc3\xa9 cr\xc3\xa8me"))
        << "the accented message cannot be encoded in the C locale and is dropped";
}

TEST_F(LoggingTest, WideMessageWithAnArgumentTheLocaleCannotConvertIsDroppedWhole)
{
    emu::ScenarioResult r = run("", {"wlog-bytes:latin1", "locale:C.UTF-8", "wlog-bytes:latin1", "wlog-bytes:utf8"});
    EXPECT_THAT(r.messages(), ElementsAre("before caf\xc3\xa9 after")) << "no half line for either invalid argument";
}

TEST_F(LoggingTest, LongMessagesAreCutTo4095Characters)
{
    emu::ScenarioResult r = run("", {"long:5000", "long:4095", "long:10"});
    std::vector<std::string> messages = r.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], std::string(4095, 'x'));
    EXPECT_EQ(messages[1], std::string(4095, 'x'));
    EXPECT_EQ(messages[2], std::string(10, 'x'));
    EXPECT_EQ(r.log.substr(r.log.size() - 2), "\r\n");
}

TEST_F(LoggingTest, FileNameRedirectsTheLogUnlessEmpty)
{
    emu::Scenario redirected("logging");
    redirected.logConf("FileName=/var/log/vexlor/other.log\n");
    emu::ScenarioResult r = run(redirected, {"log:1:elsewhere"});
    EXPECT_TRUE(r.log.empty());
    EXPECT_THAT(emu::readFile(redirected.logDir() + "/other.log"), HasSubstr("\telsewhere\r\n"));

    emu::ScenarioResult empty = run("FileName=\n", {"log:1:default"});
    EXPECT_TRUE(empty.logHas("default"));
}

TEST_F(LoggingTest, LoggingLeavesErrnoAlone)
{
    emu::ScenarioResult r = run("", {"errno"});
    EXPECT_THAT(r.out, HasSubstr("errno=" + std::to_string(EBADF)));
}

TEST_F(LoggingTest, SizeCapStopsFileLoggingUntilRestart)
{
    // MaxLength below 4096 is raised to 4096; the cap is checked before each
    // line, so the line that crosses it is still written.
    for (bool emptiedMeanwhile : {false, true}) {
        SCOPED_TRACE(emptiedMeanwhile ? "file emptied after the cap was hit" : "file left alone");
        emu::Scenario capped("logging");
        capped.logConf("MaxLength=100\nIsConsole=1\n");
        capped.logFile(std::string(4000, '#'));
        std::vector<std::string> actions{"long:200", "log:1:dropped"};
        if (emptiedMeanwhile)
            actions.push_back("truncate");
        actions.push_back("log:1:still dropped");
        emu::ScenarioResult r = run(capped, actions);
        EXPECT_THAT(r.err, HasSubstr("\tstill dropped\r\n")) << "the console echo goes on";
        if (emptiedMeanwhile) {
            EXPECT_EQ(r.log, "");
            continue;
        }
        ASSERT_GT(r.log.size(), 4000u);
        EXPECT_EQ(r.log.substr(0, 4000), std::string(4000, '#'));
        std::string written = r.log.substr(4000);
        EXPECT_EQ(written.find("\r\n"), written.size() - 2) << "exactly one line was added";
        EXPECT_THAT(written, HasSubstr("\tError\t" + std::string(200, 'x') + "\r\n"));
    }
}

TEST_F(LoggingTest, FileAlreadyOverTheCapAtStartIsNeverWritten)
{
    struct Case {
        const char* conf;
        size_t existing;
    } cases[] = {{"MaxLength=4096\n", 4096}, {"MaxLength=5000\n", 6000}, {"MaxLength=junk\nMaxLength=4096\n", 4096}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.conf);
        emu::Scenario full("logging");
        full.logConf(c.conf);
        full.logFile(std::string(c.existing, '#'));
        emu::ScenarioResult r = run(full, {"log:1:first", "truncate", "log:1:after emptying"});
        EXPECT_TRUE(r.log.empty()) << r.log;
    }
    emu::Scenario notNumber("logging");
    notNumber.logConf("MaxLength=junk\n");
    notNumber.logFile(std::string(4096, '#'));
    EXPECT_TRUE(run(notNumber, {"log:1:written"}).logHas("written")) << "an unparsable cap keeps 10 MiB";
}

TEST_F(LoggingTest, CreatesTheFileWithMode0640AndRefusesASymbolicLink)
{
    emu::Scenario created("logging");
    run(created, {"log:1:x"});
    struct stat status {};
    ASSERT_EQ(stat((created.logDir() + "/vexlor.log").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);

    emu::Scenario planted("logging");
    std::string victim = planted.logDir() + "/victim";
    emu::writeFile(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), (planted.logDir() + "/vexlor.log").c_str()), 0);
    run(planted, {"log:1:must not land", "log:1:nor this"});
    EXPECT_EQ(emu::readFile(victim), "precious\n");
}

TEST_F(LoggingTest, SingletonIsCreatedOnceWhenThreadsLogFirstTogether)
{
    emu::ScenarioResult r = run("", {"race:16"});
    EXPECT_EQ(r.out, "Logger created");
    EXPECT_EQ(r.logCount("first"), 16u);
}

TEST_F(LoggingTest, BothLibrariesLoggersShareOneFileWithoutInterleaving)
{
    const int threads = 4;
    const int lines = 150;
    emu::ScenarioResult r = run("", {"both:4:150"});
    // Each library announces its own logger.
    EXPECT_EQ(r.out, "Logger createdLogger created");
    std::regex shape("(core|prov) t=(\\d+) i=(\\d+) n=(\\d+) ([a-z]*)");
    std::map<std::string, int> perLibrary;
    for (const emu::LogLine& line : r.parsedLog()) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line.message, match, shape)) << line.message.substr(0, 200);
        EXPECT_EQ(match[5].length(), std::stol(match[4])) << "torn line";
        EXPECT_EQ(line.level, "Error");
        ++perLibrary[match[1]];
    }
    EXPECT_EQ(perLibrary["core"], threads * lines);
    EXPECT_EQ(perLibrary["prov"], threads * lines);
}

TEST_F(LoggingTest, LogThatCannotBeOpenedCostsOnlyItsLines)
{
    // A missing folder, a "folder" that is a file, a read-only folder, a
    // FIFO with no reader, which would block an open for writing, and with
    // it every thread that logs, and a FIFO that someone reads, which must
    // not get the log either.
    struct Case {
        const char* what;
        const char* fileName;
        const char* setUp;
    } cases[] = {
        {"missing folder", "/var/log/vexlor/missing/vexlor.log", "log:4:nothing yet"},
        {"folder is a file", "/var/log/vexlor/plain/vexlor.log", "log:4:nothing yet"},
        {"read-only folder", "/var/log/vexlor/sealed/vexlor.log", "readonly:/var/log/vexlor/sealed"},
        {"FIFO", "/var/log/vexlor/pipe", "log:4:nothing yet"},
        {"FIFO with a reader", "/var/log/vexlor/pipe", "reader:/var/log/vexlor/pipe"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        emu::Scenario scenario("logging");
        emu::writeFile(scenario.logDir() + "/plain", "a file\n");
        ASSERT_EQ(mkfifo((scenario.logDir() + "/pipe").c_str(), 0600), 0);
        ASSERT_EQ(mkdir((scenario.logDir() + "/sealed").c_str(), 0755), 0);
        scenario.logConf(std::string("IsConsole=1\nFileName=") + c.fileName + "\n")
            .timeout(emu::kGenerousWait);
        emu::ScenarioResult r = run(scenario, {c.setUp, "log:1:first", "lines:3:10", "log:1:last", "drain"});
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(emu::numberAfter(r.out, "fifo_bytes"), 0) << "only a regular file takes the log";
        EXPECT_THAT(r.err, HasSubstr("\tlast\r\n")) << "the console echo goes on";
        EXPECT_EQ(emu::readFile(scenario.logDir() + "/plain"), "a file\n");
        EXPECT_FALSE(std::filesystem::exists(scenario.logDir() + "/sealed/vexlor.log"));
    }
}

TEST_F(LoggingTest, FullDiskLosesLinesButNeverGluesTwoTogether)
{
    emu::Scenario scenario("logging");
    std::string small = scenario.logDir() + "/small";
    ASSERT_EQ(mkdir(small.c_str(), 0755), 0);
    scenario.logConf("FileName=/var/log/vexlor/small/vexlor.log\n").timeout(emu::kGenerousWait);
    // 64 KiB: a filler takes the room, lines fail, some partway through;
    // then the room comes back.
    emu::ScenarioResult r = run(scenario, {"tmpfs:/var/log/vexlor/small:64k", "log:1:before",
                                           "fill:/var/log/vexlor/small/filler", "lines:40:3000",
                                           "unlink:/var/log/vexlor/small/filler", "log:1:space is back",
                                           "copy:/var/log/vexlor/small/vexlor.log:/var/log/vexlor/copy"});
    emu::ScenarioResult copy;
    copy.log = emu::readFile(scenario.logDir() + "/copy");
    std::vector<std::string> lines = copy.logLines();
    ASSERT_GE(lines.size(), 2u) << copy.log.substr(0, 300);
    EXPECT_TRUE(copy.logHas("before"));
    // The disk filled up partway through a line at least once.
    bool cut = false;
    for (const std::string& line : lines)
        cut |= line.find("\tline ") != std::string::npos && std::count(line.begin(), line.end(), 'z') < 3000;
    EXPECT_TRUE(cut) << "no line was cut short: the test did not reach its case";
    // Whatever was cut, the line after the full disk starts a line of its own.
    std::vector<emu::LogLine> parsed = copy.parsedLog();
    ASSERT_FALSE(parsed.empty());
    EXPECT_EQ(parsed.back().message, "space is back") << lines.back().substr(0, 200);
    EXPECT_EQ(parsed.back().level, "Error");
    for (const std::string& line : lines)
        EXPECT_EQ(std::count(line.begin(), line.end(), '\t') <= 3, true) << "two lines in one: " << line.substr(0, 120);
}

TEST_F(LoggingTest, LogReplacedByASymbolicLinkWhileRunningIsNotFollowed)
{
    emu::Scenario scenario("logging");
    emu::writeFile(scenario.logDir() + "/victim", "precious\n");
    emu::ScenarioResult r = run(scenario, {"log:1:first", "symlink:/var/log/vexlor/victim", "lines:5:100",
                                           "log:1:after"});
    EXPECT_EQ(emu::readFile(scenario.logDir() + "/victim"), "precious\n");
}

TEST_F(LoggingTest, DamagedConfigurationFilesLeaveTheDefaultsAndTheirGoodLinesStillCount)
{
    std::string garbage;
    for (int i = 0; i < 2048; ++i)
        garbage += static_cast<char>((i * 97 + 3) % 256);
    struct Case {
        const char* what;
        std::string conf;
        const char* written;   // where "probe" lands, or null for nowhere
        bool traced;           // whether a trace line is written
    } cases[] = {
        {"binary garbage", garbage, "vexlor.log", false},
        {"garbage, then good lines", garbage + "\nLevel=4\nFileName=/var/log/vexlor/other.log\n", "other.log", true},
        {"a NUL in the file name", std::string("FileName=/var/log/vexlor/a\0b\nLevel=4\n", 37), "vexlor.log", true},
        {"a 6 MB line", "Junk=" + std::string(6 << 20, 'q') + "\nLevel=4\n", "vexlor.log", true},
        {"no newline at the end", "Level=4", "vexlor.log", true},
        {"level off", "Level=0", nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        emu::Scenario scenario("logging");
        scenario.logConf(c.conf);
        run(scenario, {"log:1:probe", "log:4:traced"});
        for (const char* name : {"vexlor.log", "other.log", "a"}) {
            std::string content = emu::readFile(scenario.logDir() + "/" + name);
            bool expected = c.written != nullptr && std::string(c.written) == name;
            EXPECT_EQ(content.find("\tprobe\r\n") != std::string::npos, expected) << name;
            if (expected) {
                EXPECT_EQ(content.find("\ttraced\r\n") != std::string::npos, c.traced) << name;
            }
        }
    }
}

} // namespace
