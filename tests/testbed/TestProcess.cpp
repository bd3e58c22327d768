#include "TestProcess.h"

#include "MockBed.h"
#include "Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEXLOR_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VEXLOR_ADDRESS_SANITIZER 1
#endif

#ifdef VEXLOR_ADDRESS_SANITIZER
// umockdev's preload library keeps a record for each descriptor of a node it
// emulates, and with many threads opening and closing nodes at once it can
// lose one, which LeakSanitizer then counts when the process exits. That
// record is the preload's, not ours (the tests and the soak count the
// descriptors themselves). Only what the preload allocates for itself, with
// its own allocation helpers, is passed over: a leak of ours through a call
// that the preload wraps is still reported.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:mallocx\nleak:strdupx\n";
}
#endif

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
    // A sanitizer runtime must stay first in LD_PRELOAD; umockdev goes after it.
    const char* existing = getenv("LD_PRELOAD");
    std::string preload = existing != nullptr && *existing != '\0' ? std::string(existing) + ":" + kPreload : kPreload;
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
    return false;
}

} // namespace emu
