// The core when memory runs out or a client's listener throws: nothing may
// leave the public API as an exception, and monitoring goes on afterwards.
//
// This program replaces the global allocation functions, so that a scenario
// can make any one allocation fail, or all of them for a while. The
// libraries' own allocations come here too: the executable's definitions
// take precedence over the C++ runtime's.
#include "CoreTestSupport.h"
#include "TestBroker.h"
#include "ssd.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace {

// -1: allocations succeed; n >= 0: the allocation after n more fails.
std::atomic<long> g_failAfter{-1};
std::atomic<bool> g_failAll{false};
std::atomic<long> g_failed{0};
std::atomic<long> g_allocations{0};

bool failThisAllocation()
{
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (g_failAll.load(std::memory_order_relaxed)) {
        g_failed.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    if (g_failAfter.load(std::memory_order_relaxed) < 0)
        return false;
    // Exactly one thread takes the count from 0 to -1: that allocation fails.
    long before = g_failAfter.fetch_sub(1, std::memory_order_relaxed);
    if (before == 0) {
        g_failed.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    // A thread that raced past the failing one went below -1: back to "off".
    if (before < 0)
        g_failAfter.store(-1, std::memory_order_relaxed);
    return false;
}

void* allocate(std::size_t size, std::size_t alignment, bool mayThrow)
{
    void* memory = nullptr;
    if (!failThisAllocation()) {
        if (size == 0)
            size = 1;
        if (alignment <= alignof(std::max_align_t))
            memory = std::malloc(size);
        else
            memory = std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    }
    if (memory == nullptr && mayThrow)
        throw std::bad_alloc();
    return memory;
}

} // namespace

void* operator new(std::size_t size) { return allocate(size, 0, true); }
void* operator new[](std::size_t size) { return allocate(size, 0, true); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0, false); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0, false); }
void* operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a), true); }
void* operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a), true); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return allocate(size, static_cast<std::size_t>(a), false);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return allocate(size, static_cast<std::size_t>(a), false);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

// Prints the drives of a snapshot as "drives=<n> distinct=<n>".
void printDrives(SsdApi& api)
{
    SsdInformationList list;
    SSD_CODE code = api.getSsdInformationList(list);
    std::set<std::string> names;
    for (const SsdInformation& record : list)
        names.insert(record.physicalDrive);
    printf("list=%d drives=%zu distinct=%zu\n", static_cast<int>(code), list.size(), names.size());
}

// args[0]: the allocation of the initialisation that fails, counted from 1;
// 0 fails none and reports how many there were.
SCENARIO(oom_init)
{
    long failing = std::stol(args.at(0));
    SsdApi api;
    g_allocations = 0;
    if (failing > 0)
        g_failAfter = failing - 1;
    SSD_CODE code = api.initialiseSsdDriver();
    g_failAfter = -1;
    printf("\ninit=%d failed=%ld allocations=%ld\n", static_cast<int>(code), g_failed.load(), g_allocations.load());
    if (code != SSD_OK)
        printf("retry=%d\n", static_cast<int>(api.initialiseSsdDriver()));
    printDrives(api);
    return 0;
}

class FlagListener : public ISsdListener {
public:
    void SsdFailureImminent(std::string, std::string, std::string drive, unsigned char percentageUsed) override
    {
        printf("event %s pu=%u\n", drive.c_str(), static_cast<unsigned>(percentageUsed));
        fflush(stdout);
        ++events;
    }
    std::atomic<int> events{0};
};

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return condition();
}

// Memory runs out for a while: first every allocation fails, for a
// snapshot; then, for some seconds, single allocations at changing places
// fail, while the drives are polled. args[0]: the file to create once
// memory is back.
SCENARIO(oom_exhausted)
{
    SsdApi api;
    FlagListener listener;
    printf("\ninit=%d\n", static_cast<int>(api.initialiseSsdDriver()));
    api.registerSsdListener(&listener);
    SsdInformationList list;
    list.emplace_back();
    list[0].physicalDrive = "kept";

    g_failAll = true;
    SSD_CODE code = api.getSsdInformationList(list);
    g_failAll = false;
    printf("exhausted_list=%d size=%zu first=%s\n", static_cast<int>(code), list.size(),
           list[0].physicalDrive.c_str());

    // Long enough for every drive to be polled twice.
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    for (long place = 0; std::chrono::steady_clock::now() < end; place = (place + 1) % 40) {
        long idle = -1;
        g_failAfter.compare_exchange_strong(idle, place);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    g_failAfter = -1;
    printf("failed=%ld\n", g_failed.load());

    emu::writeFile(args.at(0), "");
    bool delivered = waitFor([&] { return listener.events > 0; }, emu::kGenerousWait);
    printf("delivered=%d\n", delivered ? 1 : 0);
    api.unregisterSsdListener();
    printDrives(api);
    return 0;
}

// Snapshots, each with one allocation failing at a changing place: each
// must give all the drives or leave the list as it was.
SCENARIO(oom_snapshots)
{
    SsdApi api;
    printf("\ninit=%d\n", static_cast<int>(api.initialiseSsdDriver()));
    int failures = 0;
    int partial = 0;
    for (long place = 0; place < 60; ++place) {
        SsdInformationList list;
        list.emplace_back();
        g_failAfter = place;
        SSD_CODE code = api.getSsdInformationList(list);
        g_failAfter = -1;
        failures += code == SSD_INTERNAL_ERROR;
        bool whole = (code == SSD_OK && list.size() == 3) || (code == SSD_INTERNAL_ERROR && list.size() == 1);
        partial += !whole;
    }
    printf("snapshot_failures=%d partial=%d\n", failures, partial);
    return 0;
}

class ThrowingListener : public ISsdListener {
public:
    void SsdFailureImminent(std::string, std::string, std::string, unsigned char) override
    {
        ++calls;
        throw std::runtime_error("client failure");
    }
    std::atomic<int> calls{0};
};

// A listener that throws at every event, with an event at every poll.
SCENARIO(throwing_listener)
{
    SsdApi api;
    ThrowingListener listener;
    printf("\ninit=%d\n", static_cast<int>(api.initialiseSsdDriver()));
    api.registerSsdListener(&listener);
    bool repeated = waitFor([&] { return listener.calls >= 3; }, emu::kGenerousWait);
    auto start = std::chrono::steady_clock::now();
    api.unregisterSsdListener();
    long long took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    printf("repeated=%d unregister_ms=%lld\n", repeated ? 1 : 0, took);
    return 0;
}

using InstanceFactory = CMPIInstanceMI* (*)(const CMPIBroker*, const CMPIContext*, CMPIStatus*);

// The CIM provider when memory runs out: as it is created, and while it
// enumerates. Nothing may unwind into the object manager, which is C.
SCENARIO(oom_provider)
{
    void* library = dlopen(VEXLOR_PROVIDER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    auto factory = library != nullptr
        ? reinterpret_cast<InstanceFactory>(dlsym(library, "SsdProvider_Create_InstanceMI"))
        : nullptr;
    if (factory == nullptr)
        return 3;
    cimom::TestBroker broker;
    cimom::TestBroker::actAsObjectManagerThread();
    auto enumerate = [&](CMPIInstanceMI* mi) {
        const CMPIContext* context = broker.requestContext();
        const CMPIResult* result = broker.newResult();
        const CMPIObjectPath* path = broker.path("root/cimv2", "ZUL_SSDLifeMonitor");
        g_failAll = true;
        CMPIStatus status = mi->ft->enumInstances(mi, context, result, path, nullptr);
        g_failAll = false;
        return status.rc;
    };
    const CMPIContext* context = broker.requestContext();
    g_failAll = true;
    CMPIInstanceMI* starved = factory(broker.broker(), context, nullptr);
    g_failAll = false;
    printf("\nstarved_mi=%d\n", starved != nullptr ? 1 : 0);
    // No provider came of it: requests are refused until one is created.
    const CMPIResult* refused = broker.newResult();
    CMPIStatus status = starved->ft->enumInstances(starved, broker.requestContext(), refused,
                                                   broker.path("root/cimv2", "ZUL_SSDLifeMonitor"), nullptr);
    // The provider library announces its logger, without a newline, on first use.
    printf("\nrefused_rc=%d\n", static_cast<int>(status.rc));

    CMPIInstanceMI* mi = factory(broker.broker(), broker.requestContext(), nullptr);
    printf("starved_enum_rc=%d\n", static_cast<int>(enumerate(mi)));
    const CMPIResult* result = broker.newResult();
    status = mi->ft->enumInstances(mi, broker.requestContext(), result, broker.path("root/cimv2", "ZUL_SSDLifeMonitor"),
                                   nullptr);
    printf("enum_rc=%d instances=%zu\n", static_cast<int>(status.rc), broker.result(result).instances.size());
    return 0;
}

class ExceptionSafetyTest : public core::CoreTest {
protected:
    void SetUp() override
    {
        core::CoreTest::SetUp();
        bed().addDrive("sda", core::ssd("Drive A", "SER-A", 3));
        bed().addDrive("sdb", core::ssd("Drive B", "SER-B", 4));
    }

    emu::ScenarioResult runScenario(const std::string& name, std::vector<std::string> arguments,
                                    const std::string& ini, const std::function<void()>& meanwhile = [] {})
    {
        m_scenarioName = name;
        return run(std::move(arguments), ini, meanwhile);
    }
};

TEST_F(ExceptionSafetyTest, InitialisationSurvivesAnAllocationFailureAnywhere)
{
    emu::ScenarioResult counted = runScenario("oom_init", {"0"}, "PollRate=1000\n");
    long total = emu::numberAfter(counted.out, "allocations");
    ASSERT_GT(total, 20) << counted.out;
    EXPECT_EQ(emu::numberAfter(counted.out, "drives"), 2);

    // About 40 failure points spread over the whole initialisation, the
    // first ones (configuration, BIOS version) each on their own.
    long step = std::max(1L, total / 40);
    for (long failing = 1; failing <= total; failing += failing < 10 ? 1 : step) {
        SCOPED_TRACE("failing allocation " + std::to_string(failing) + " of " + std::to_string(total));
        emu::ScenarioResult r = runScenario("oom_init", {std::to_string(failing)}, "PollRate=1000\n");
        long init = emu::numberAfter(r.out, "init");
        ASSERT_TRUE(init == SSD_OK || init == SSD_INTERNAL_ERROR) << r.out;
        if (init == SSD_INTERNAL_ERROR) {
            // A failed initialisation leaves nothing behind: a retry finds every drive once.
            EXPECT_EQ(emu::numberAfter(r.out, "retry"), SSD_OK) << r.out;
            EXPECT_EQ(emu::numberAfter(r.out, "drives"), 2) << r.out;
        } else {
            // A drive that could not be set up is left out, and said so.
            long drives = emu::numberAfter(r.out, "drives");
            EXPECT_TRUE(drives == 2 || (drives == 1 && r.logHas("failed to add SSD Device"))) << r.out;
        }
        EXPECT_EQ(emu::numberAfter(r.out, "distinct"), emu::numberAfter(r.out, "drives")) << r.out;
    }
}

TEST_F(ExceptionSafetyTest, ExhaustedMemoryFailsASnapshotAndPollingCarriesOn)
{
    std::string flag = emu::privateTempPath("memory-back");
    std::remove(flag.c_str());
    emu::DriveEmulator& sda = bed().drive("sda");
    emu::ScenarioResult r = runScenario("oom_exhausted", {flag}, "PollRate=1\n", [&] {
        emu::waitForFile(flag, emu::kGenerousWait);
        sda.setPercentageUsed(97);
    });
    std::remove(flag.c_str());

    EXPECT_EQ(emu::numberAfter(r.out, "init"), SSD_OK);
    EXPECT_EQ(emu::numberAfter(r.out, "exhausted_list"), SSD_INTERNAL_ERROR) << r.out;
    EXPECT_EQ(emu::numberAfter(r.out, "size"), 1) << "a failed snapshot leaves the list as it was";
    EXPECT_NE(r.out.find("first=kept"), std::string::npos) << r.out;
    EXPECT_GT(emu::numberAfter(r.out, "failed"), 0);
    // The drives' threads outlived the polls that ran short of memory.
    EXPECT_EQ(emu::numberAfter(r.out, "delivered"), 1) << r.out;
    EXPECT_NE(r.out.find("event sda pu=97"), std::string::npos) << r.out;
    EXPECT_EQ(emu::numberAfter(r.out, "list"), SSD_OK);
    EXPECT_EQ(emu::numberAfter(r.out, "drives"), 2);
}

TEST_F(ExceptionSafetyTest, ASnapshotShortOfMemoryGivesEveryDriveOrNone)
{
    emu::ScenarioResult r = runScenario("oom_snapshots", {}, "PollRate=1000\n");

    EXPECT_EQ(emu::numberAfter(r.out, "init"), SSD_OK);
    EXPECT_GT(emu::numberAfter(r.out, "snapshot_failures"), 0) << r.out;
    EXPECT_EQ(emu::numberAfter(r.out, "partial"), 0) << r.out;
}

TEST_F(ExceptionSafetyTest, TheProviderShortOfMemoryAnswersWithAStatus)
{
    emu::ScenarioResult r = runScenario("oom_provider", {}, "PollRate=1000\n");

    EXPECT_EQ(emu::numberAfter(r.out, "starved_mi"), 1) << r.out;
    EXPECT_EQ(emu::numberAfter(r.out, "refused_rc"), CMPI_RC_ERR_METHOD_NOT_AVAILABLE) << r.out;
    long starved = emu::numberAfter(r.out, "starved_enum_rc");
    EXPECT_NE(starved, CMPI_RC_OK) << r.out;
    EXPECT_GT(starved, 0) << r.out;
    // Memory back, the same provider answers in full.
    EXPECT_EQ(emu::numberAfter(r.out, "enum_rc"), CMPI_RC_OK) << r.out;
    EXPECT_EQ(emu::numberAfter(r.out, "instances"), 2) << r.out;
}

TEST_F(ExceptionSafetyTest, AThrowingListenerNeitherStopsPollingNorBlocksItsUnregistration)
{
    emu::ScenarioResult r = runScenario("throwing_listener", {}, "PollRate=1\nDebugIndications=1\n");

    EXPECT_EQ(emu::numberAfter(r.out, "init"), SSD_OK);
    EXPECT_EQ(emu::numberAfter(r.out, "repeated"), 1) << r.out;
    // A relay left counted would hold the unregistration for good; a poll
    // in progress holds it for one drive read at most.
    long long took = emu::numberAfter(r.out, "unregister_ms");
    EXPECT_GE(took, 0) << r.out;
    EXPECT_LT(took, 10000) << r.out;
    EXPECT_TRUE(r.logHas("SsdManager::SsdDeviceFailureImminent - the listener failed"));
}

} // namespace
