// Entry point of every test program. It makes sure the process runs under
// the umockdev preload library (re-executing itself if not), and lets a
// scenario child run its scenario instead of the test suite.
#include "MockBed.h"
#include "Scenario.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

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

int main(int argc, char** argv)
{
    if (emu::isScenarioInvocation(argc, argv))
        return emu::runScenarioMain(argc, argv);
    if (!emu::inMockEnvironment()) {
        if (getenv("VEXLOR_TEST_PRELOADED") != nullptr) {
            fprintf(stderr, "%s could not be preloaded; install umockdev\n", kPreload);
            return 1;
        }
        reexecWithPreload(argv);
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
