#include "Scenario.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sched.h>
#include <sstream>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace emu {

namespace {

const char* const kScenarioFlag = "--scenario";
const char* const kLogFileName = "vexlor.log";


std::map<std::string, ScenarioFunction>& registry()
{
    static std::map<std::string, ScenarioFunction> scenarios;
    return scenarios;
}

// What the child needs, prepared before fork so that the child only makes
// system calls (the parent has other threads, whose locks a forked child
// must not touch).
struct ChildPlan {
    bool redirectOutput = true;
    std::string outPath, errPath;
    struct Mount {
        std::string parent;      // /etc
        std::string target;      // /etc/vexlor
        std::string source;      // the scenario's directory
        std::string overlayOptions;
    };
    std::vector<Mount> mounts;
    std::string executable;
    std::vector<std::string> argv;
    std::vector<std::string> environment;
};

[[noreturn]] void childFail(const char* step)
{
    char message[256];
    int length = snprintf(message, sizeof message, "scenario setup failed at %s: %s\n", step, strerror(errno));
    if (length > 0)
        (void)!write(STDERR_FILENO, message, static_cast<size_t>(length));
    _exit(127);
}

bool pathExists(const std::string& path)
{
    return syscall(SYS_faccessat, AT_FDCWD, path.c_str(), F_OK) == 0;
}

[[noreturn]] void runChild(const ChildPlan& plan, const std::vector<char*>& argv, const std::vector<char*>& envp)
{
    setpgid(0, 0);
    if (plan.redirectOutput) {
        int out = open(plan.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(plan.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0)
            childFail("redirecting output");
        close(out);
        close(err);
    }
    if (unshare(CLONE_NEWNS) != 0)
        childFail("unshare");
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        childFail("making mounts private");
    for (const ChildPlan::Mount& m : plan.mounts) {
        if (!pathExists(m.target)) {
            // Give the parent directory a writable layer in this namespace
            // only, so the mount point exists without touching the host.
            if (mount("overlay", m.parent.c_str(), "overlay", 0, m.overlayOptions.c_str()) != 0)
                childFail("overlay mount");
            // A scenario run again finds the mount point its first run made
            // in the writable layer.
            if (syscall(SYS_mkdirat, AT_FDCWD, m.target.c_str(), 0755) != 0 && errno != EEXIST)
                childFail("creating a mount point");
        }
        if (mount(m.source.c_str(), m.target.c_str(), nullptr, MS_BIND, nullptr) != 0)
            childFail("bind mount");
    }
    execve(plan.executable.c_str(), argv.data(), envp.data());
    childFail("exec");
}

} // namespace

ScenarioRegistrar::ScenarioRegistrar(const char* name, ScenarioFunction function)
{
    registry()[name] = function;
}

const char* const kScenarioLogPath = "/var/log/vexlor/vexlor.log";

std::size_t occurrences(const std::string& text, const std::string& piece)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + piece.size()))
        ++count;
    return count;
}

bool waitForText(const std::string& path, const std::string& text, std::chrono::milliseconds limit,
                 std::size_t count)
{
    auto end = std::chrono::steady_clock::now() + limit;
    bool found;
    while (!(found = occurrences(readFile(path), text) >= count) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return found;
}

bool waitForFile(const std::string& path, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    bool found;
    while (!(found = access(path.c_str(), F_OK) == 0) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return found;
}

int openFileDescriptors()
{
    int count = 0;
    if (DIR* directory = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(directory)) {
            char target[64] = {};
            std::string link = std::string("/proc/self/fd/") + entry->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 && strncmp(target, "socket:", 7) != 0)
                ++count;
        }
        closedir(directory);
    }
    return count;
}

int restingFileDescriptors(std::chrono::milliseconds window)
{
    int fewest = openFileDescriptors();
    auto end = std::chrono::steady_clock::now() + window;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(7));
        fewest = std::min(fewest, openFileDescriptors());
    }
    return fewest;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string privateTempPath(const std::string& name)
{
    return testing::TempDir() + "/vexlor-" + std::to_string(getpid()) + "-" + name;
}

void writeFile(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

void replaceFile(const std::string& path, const std::string& content)
{
    std::string fresh = path + ".new";
    writeFile(fresh, content);
    if (rename(fresh.c_str(), path.c_str()) != 0)
        throw std::runtime_error("cannot replace " + path);
}

long long numberAfter(const std::string& out, const std::string& key)
{
    std::smatch match;
    if (std::regex_search(out, match, std::regex("(?:^|\\s)" + key + "=(-?\\d+)")))
        return std::stoll(match[1]);
    return -1;
}

bool canRunScenarios(std::string& why)
{
    if (geteuid() != 0) {
        why = "scenarios need root for their private mount namespace";
        return false;
    }
    return true;
}

bool isScenarioInvocation(int argc, char** argv)
{
    return argc >= 3 && strcmp(argv[1], kScenarioFlag) == 0;
}

int runScenarioMain(int argc, char** argv)
{
    auto found = registry().find(argv[2]);
    if (found == registry().end()) {
        fprintf(stderr, "unknown scenario %s\n", argv[2]);
        return 127;
    }
    std::vector<std::string> args(argv + 3, argv + argc);
    int code = found->second(args);
    fflush(stdout);
    return code;
}

Scenario::Scenario(std::string name)
    : m_name(std::move(name))
{
    char pattern[] = "/tmp/vexlor-scenario-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    m_root = pattern;
    m_etc = m_root + "/etc";
    m_log = m_root + "/log";
    m_lib = m_root + "/lib";
    for (const char* dir : {"/etc", "/log", "/lib", "/etc-upper", "/etc-work", "/var-log-upper", "/var-log-work",
                            "/var-lib-upper", "/var-lib-work"})
        std::filesystem::create_directory(m_root + dir);
}

Scenario::~Scenario()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
}

Scenario& Scenario::args(std::vector<std::string> arguments)
{
    m_args = std::move(arguments);
    return *this;
}

Scenario& Scenario::ini(const std::string& content)
{
    writeFile(m_etc + "/vexlor.ini", content);
    return *this;
}

Scenario& Scenario::logConf(const std::string& content)
{
    writeFile(m_etc + "/log.conf", content);
    return *this;
}

Scenario& Scenario::logFile(const std::string& content)
{
    writeFile(m_log + "/" + kLogFileName, content);
    return *this;
}

Scenario& Scenario::command(std::vector<std::string> argv)
{
    m_command = std::move(argv);
    return *this;
}

Scenario& Scenario::passOutputThrough()
{
    m_passOutput = true;
    return *this;
}

Scenario& Scenario::timeout(std::chrono::milliseconds limit)
{
    m_timeout = limit;
    return *this;
}

bool Scenario::waitForOutput(const std::string& text, std::chrono::milliseconds limit) const
{
    auto end = std::chrono::steady_clock::now() + limit;
    bool found;
    while (!(found = (readFile(m_root + "/stdout") + readFile(m_root + "/stderr")).find(text) != std::string::npos)
           && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return found;
}

bool Scenario::waitForLog(const std::string& text, std::chrono::milliseconds limit, std::size_t count) const
{
    return waitForText(m_log + "/" + kLogFileName, text, limit, count);
}

ScenarioResult Scenario::run()
{
    return run([] {});
}

ScenarioResult Scenario::run(const std::function<void()>& meanwhile)
{
    ChildPlan plan;
    plan.redirectOutput = !m_passOutput;
    plan.outPath = m_root + "/stdout";
    plan.errPath = m_root + "/stderr";
    plan.mounts.push_back({"/etc", "/etc/vexlor", m_etc,
                           "lowerdir=/etc,upperdir=" + m_root + "/etc-upper,workdir=" + m_root + "/etc-work"});
    plan.mounts.push_back({"/var/log", "/var/log/vexlor", m_log,
                           "lowerdir=/var/log,upperdir=" + m_root + "/var-log-upper,workdir=" + m_root
                               + "/var-log-work"});
    plan.mounts.push_back({"/var/lib", "/var/lib/vexlor", m_lib,
                           "lowerdir=/var/lib,upperdir=" + m_root + "/var-lib-upper,workdir=" + m_root
                               + "/var-lib-work"});
    // VEXLOR_SCENARIO_WRAPPER runs every scenario under a tool given by its
    // absolute path, for example "/usr/bin/valgrind --error-exitcode=9".
    if (const char* wrapper = getenv("VEXLOR_SCENARIO_WRAPPER")) {
        std::istringstream words(wrapper);
        for (std::string word; words >> word;)
            plan.argv.push_back(word);
    }
    if (m_command.empty()) {
        plan.argv.push_back(std::filesystem::read_symlink("/proc/self/exe"));
        plan.argv.insert(plan.argv.end(), {kScenarioFlag, m_name});
        plan.argv.insert(plan.argv.end(), m_args.begin(), m_args.end());
    } else {
        plan.argv.insert(plan.argv.end(), m_command.begin(), m_command.end());
    }
    plan.executable = plan.argv.front();
    std::vector<char*> argv;
    for (std::string& arg : plan.argv)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    // A scenario reports ThreadSanitizer findings even where this process
    // does not (see the test main).
    const char* scenarioTsan = getenv("VEXLOR_SCENARIO_TSAN_OPTIONS");
    for (char** variable = environ; *variable != nullptr; ++variable)
        if (scenarioTsan == nullptr || strncmp(*variable, "TSAN_OPTIONS=", 13) != 0)
            plan.environment.emplace_back(*variable);
    if (scenarioTsan != nullptr)
        plan.environment.push_back(std::string("TSAN_OPTIONS=") + scenarioTsan);
    std::vector<char*> envp;
    for (std::string& variable : plan.environment)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0)
        throw std::runtime_error("fork failed");
    if (child == 0)
        runChild(plan, argv, envp);
    m_child = child;
    meanwhile();

    ScenarioResult result;
    auto deadline = std::chrono::steady_clock::now() + m_timeout;
    int status = 0;
    struct rusage usage {};
    for (;;) {
        pid_t done = wait4(child, &status, WNOHANG, &usage);
        if (done == child)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(-child, SIGKILL);
            kill(child, SIGKILL);
            wait4(child, &status, 0, &usage);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    result.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    m_child = -1;
    result.out = readFile(plan.outPath);
    result.err = readFile(plan.errPath);
    result.log = readFile(m_log + "/" + kLogFileName);
    return result;
}

std::vector<std::string> ScenarioResult::logLines() const
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(log.substr(start));
            break;
        }
        lines.push_back(log.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

std::vector<LogLine> ScenarioResult::parsedLog() const
{
    std::vector<LogLine> parsed;
    for (const std::string& line : logLines()) {
        LogLine entry;
        std::size_t tab1 = line.find('\t');
        std::size_t blank = line.find(' ', tab1 == std::string::npos ? 0 : tab1);
        std::size_t tab2 = line.find('\t', tab1 == std::string::npos ? 0 : tab1 + 1);
        std::size_t tab3 = tab2 == std::string::npos ? std::string::npos : line.find('\t', tab2 + 1);
        if (tab1 == std::string::npos || blank == std::string::npos || tab2 == std::string::npos
            || tab3 == std::string::npos) {
            entry.message = line;
        } else {
            entry.time = line.substr(0, tab1);
            entry.process = line.substr(tab1 + 1, blank - tab1 - 1);
            entry.thread = line.substr(blank + 1, tab2 - blank - 1);
            entry.level = line.substr(tab2 + 1, tab3 - tab2 - 1);
            entry.message = line.substr(tab3 + 1);
        }
        parsed.push_back(entry);
    }
    return parsed;
}

std::vector<std::string> ScenarioResult::messages() const
{
    std::vector<std::string> texts;
    for (const LogLine& line : parsedLog())
        texts.push_back(line.message);
    return texts;
}

bool ScenarioResult::logHas(const std::string& text) const
{
    return logCount(text) > 0;
}

std::size_t ScenarioResult::logCount(const std::string& text) const
{
    std::size_t count = 0;
    for (const std::string& message : messages())
        if (message.find(text) != std::string::npos)
            ++count;
    return count;
}

} // namespace emu
