// Runs a piece of test code in a fresh process that sees its own
// /etc/vexlor and /var/log/vexlor, so that the libraries' process-wide state
// (logger, configuration) starts anew for every scenario.
//
//   SCENARIO(identify) {                 // runs in the child
//       ...call the library, print what the test should see...
//       return 0;
//   }
//   TEST_F(SomeTest, X) {
//       emu::Scenario s("identify");
//       s.logConf("Level=4\n");
//       emu::ScenarioResult r = s.run();
//       EXPECT_TRUE(r.logHas("model: X"));
//   }
//
// The child is this test program again (fork, private mount namespace,
// exec), so it keeps the umockdev testbed of the parent. Needs root.
#ifndef VEXLOR_TESTBED_SCENARIO_H
#define VEXLOR_TESTBED_SCENARIO_H

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace emu {

// How long a wait for something a scenario is bound to do may take: long
// enough for a machine whose cores are busy with other work.
constexpr std::chrono::milliseconds kGenerousWait{30000};

using ScenarioFunction = int (*)(const std::vector<std::string>& args);

struct ScenarioRegistrar {
    ScenarioRegistrar(const char* name, ScenarioFunction function);
};

#define SCENARIO(name)                                                                      \
    static int scenario_##name(const std::vector<std::string>& args);                        \
    static const emu::ScenarioRegistrar scenarioRegistrar_##name(#name, scenario_##name);   \
    static int scenario_##name([[maybe_unused]] const std::vector<std::string>& args)

// One line of the log file, split into its columns.
struct LogLine {
    std::string time;
    std::string process;
    std::string thread;
    std::string level;
    std::string message;
};

struct ScenarioResult {
    int exitCode = -1;        // -1 when the child did not exit normally
    int signal = 0;           // the signal that ended it, if any
    bool timedOut = false;
    double cpuSeconds = 0;    // user and system time the child used
    std::string out;          // standard output
    std::string err;          // standard error
    std::string log;          // /var/log/vexlor/vexlor.log as the child left it

    // The log's lines without their CR LF; a cut last line is kept.
    std::vector<std::string> logLines() const;
    std::vector<LogLine> parsedLog() const;
    std::vector<std::string> messages() const;
    bool logHas(const std::string& text) const;
    std::size_t logCount(const std::string& text) const;
};

class Scenario {
public:
    explicit Scenario(std::string name);
    ~Scenario();
    Scenario(const Scenario&) = delete;
    Scenario& operator=(const Scenario&) = delete;

    Scenario& args(std::vector<std::string> arguments);
    Scenario& ini(const std::string& content);       // /etc/vexlor/vexlor.ini
    Scenario& logConf(const std::string& content);   // /etc/vexlor/log.conf
    Scenario& logFile(const std::string& content);   // /var/log/vexlor/vexlor.log before the run
    Scenario& timeout(std::chrono::milliseconds limit);
    // Runs this program (absolute path first) in the scenario's place, with
    // the same private directories and drives.
    Scenario& command(std::vector<std::string> argv);
    // Lets the child write to this process's standard output and error
    // instead of capturing them.
    Scenario& passOutputThrough();
    // The child's process id while run() is waiting for it.
    pid_t childPid() const { return m_child; }
    // For a test's `meanwhile`: waits at most `limit` until the child's
    // standard output or error, or its log, holds `text` (`count` times);
    // whether it did.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit = kGenerousWait) const;
    bool waitForLog(const std::string& text, std::chrono::milliseconds limit = kGenerousWait,
                    std::size_t count = 1) const;

    // Where the child's /etc/vexlor, /var/log/vexlor and /var/lib/vexlor
    // live on the host.
    const std::string& etcDir() const { return m_etc; }
    const std::string& logDir() const { return m_log; }
    const std::string& libDir() const { return m_lib; }

    ScenarioResult run();
    // Runs `meanwhile` on this thread while the child runs, for example to
    // change a drive's figures under the library's feet.
    ScenarioResult run(const std::function<void()>& meanwhile);

private:
    std::string m_name;
    std::vector<std::string> m_args;
    std::vector<std::string> m_command;
    bool m_passOutput = false;
    pid_t m_child = -1;
    std::chrono::milliseconds m_timeout{60000};
    std::string m_root;
    std::string m_etc;
    std::string m_log;
    std::string m_lib;
};

// True when this process can host scenarios (root, mount namespaces).
bool canRunScenarios(std::string& why);

// The child side: runs the scenario named on the command line.
int runScenarioMain(int argc, char** argv);
bool isScenarioInvocation(int argc, char** argv);

// The scenario's own log file, as the child sees it.
extern const char* const kScenarioLogPath;

// How often `piece` stands in `text`, without overlaps.
std::size_t occurrences(const std::string& text, const std::string& piece);

// Waits at most `limit` until the file holds `text` `count` times; whether
// it did. A file that does not exist yet holds nothing.
bool waitForText(const std::string& path, const std::string& text, std::chrono::milliseconds limit,
                 std::size_t count = 1);

// The number after "<key>=" in a scenario's output, or -1.
long long numberAfter(const std::string& out, const std::string& key);

std::string readFile(const std::string& path);
// A path in the temporary folder that no other test process uses, so that
// two runs of the suite on one machine keep apart.
std::string privateTempPath(const std::string& name);
// Waits at most `limit` for `path` to exist, as a hand-over between a
// scenario and its test; whether it came.
bool waitForFile(const std::string& path, std::chrono::milliseconds limit);

// The descriptors this process has open, sockets aside: the libraries open
// none, while umockdev's preload library keeps its own, and keeps one more
// for good whenever the open of a node it answers for fails.
int openFileDescriptors();
// The fewest of them seen over `window`: a drive's node is open only while
// one of its commands runs.
int restingFileDescriptors(std::chrono::milliseconds window);
void writeFile(const std::string& path, const std::string& content);
// Writes the content whole at once, so that a reader at the same time sees
// the old content or the new one, never an empty file.
void replaceFile(const std::string& path, const std::string& content);

} // namespace emu

#endif
