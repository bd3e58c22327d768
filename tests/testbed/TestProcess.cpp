#include "TestProcess.h"

#include "MockBed.h"
#include "Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace emu {

namespace {

const char* const kPreload = "libumockdev-preload.so.0";

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VEXLOR_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VEXLOR_THREAD_SANITIZER 1
#endif

// Under ThreadSanitizer, this process hands the emulators to umockdev's
// worker thread through GLib, which is not instrumented, so every hand-over
// looks like a race here. The library's own threads run in the scenario
// children, which keep reporting with the options this process was given.
void quietThreadSanitizerHere()
{
#ifdef VEXLOR_THREAD_SANITIZER
    const char* given = getenv("TSAN_OPTIONS");
    std::string options = given != nullptr ? given : "";
    setenv("VEXLOR_SCENARIO_TSAN_OPTIONS", options.c_str(), 1);
    setenv("TSAN_OPTIONS", (options + " report_bugs=0").c_str(), 1);
#endif
}

[[noreturn]] void reexecWithPreload(char** argv)
{
    // A sanitizer runtime must stay first in LD_PRELOAD; umockdev goes after
    // it, with the lock that makes its descriptor table safe just before it.
    const char* existing = getenv("LD_PRELOAD");
    std::string ours = std::string(VEXLOR_UMOCKDEV_LOCK_LIBRARY) + ":" + kPreload;
    std::string preload = existing != nullptr && *existing != '\0' ? std::string(existing) + ":" + ours : ours;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    const char* asan = getenv("ASAN_OPTIONS");
    std::string asanOptions = std::string(asan != nullptr ? asan : "") + ":verify_asan_link_order=0";
    setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
    setenv("VEXLOR_TEST_PRELOADED", "1", 1);
    quietThreadSanitizerHere();
    execv("/proc/self/exe", argv);
    perror("re-executing the tests under umockdev");
    _exit(127);
}

} // namespace

bool enterTestProcess(int argc, char** argv, int& exitCode)
{
    if (isScenarioInvocation(argc, argv)) {
        exitCode = runScenarioMain(argc, argv);
        return true;
    }
    if (!inMockEnvironment()) {
        if (getenv("VEXLOR_TEST_PRELOADED") != nullptr) {
            fprintf(stderr, "%s could not be preloaded; install umockdev\n", kPreload);
            exitCode = 1;
            return true;
        }
        reexecWithPreload(argv);
    }
    if (readFile("/proc/self/maps").find(VEXLOR_UMOCKDEV_LOCK_LIBRARY) == std::string::npos) {
        fprintf(stderr, "%s could not be preloaded; build it first\n", VEXLOR_UMOCKDEV_LOCK_LIBRARY);
        exitCode = 1;
        return true;
    }
    return false;
}

} // namespace emu
