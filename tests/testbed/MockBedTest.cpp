// The fake machine as a program sees it through the preload library.
#include "MockBed.h"
#include "Scenario.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

using testing::UnorderedElementsAre;

namespace {

std::set<std::string> listDirectory(const char* path)
{
    std::set<std::string> names;
    DIR* dir = opendir(path);
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir))
        if (entry->d_name[0] != '.')
            names.insert(entry->d_name);
    closedir(dir);
    return names;
}

// Opens the node and asks for its identity, as the library would.
SCENARIO(identity_ioctl)
{
    int fd = open(args.at(0).c_str(), O_RDONLY);
    if (fd < 0)
        return 2;
    unsigned char block[512] = {};
    int result = ioctl(fd, 0x030D, block);
    close(fd);
    printf("result=%d\n", result);
    return 0;
}

// The process's sockets; each emulated descriptor has one to the emulator.
int openSockets()
{
    int count = 0;
    for (const std::string& name : listDirectory("/proc/self/fd")) {
        char target[64] = {};
        std::string link = "/proc/self/fd/" + name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && std::strncmp(target, "socket:", 7) == 0)
            ++count;
    }
    return count;
}

// For each node given, one thread asks it for its identity over and over,
// opening and closing it each time as the library does, while two more only
// open and close it, as fast as they can. Counts the commands that failed,
// the answers that were not the node's own, and the emulator connections
// left behind once every node is closed.
SCENARIO(identity_among_opens_and_closes)
{
    int socketsBefore = openSockets();
    constexpr int kRounds = 1000;
    std::atomic<int> failed{0};
    std::atomic<int> strangers{0};
    std::atomic<int> asking{static_cast<int>(args.size())};
    std::vector<std::thread> threads;
    for (const std::string& node : args) {
        threads.emplace_back([&node, &failed, &strangers, &asking] {
            std::array<unsigned char, 512> own{};
            bool known = false;
            for (int round = 0; round < kRounds; ++round) {
                std::array<unsigned char, 512> block{};
                int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0 || ioctl(fd, 0x030D, block.data()) != 0) {
                    ++failed;
                } else if (!known) {
                    own = block;
                    known = true;
                } else if (block != own) {
                    ++strangers;
                }
                if (fd >= 0)
                    close(fd);
            }
            --asking;
        });
        for (int churner = 0; churner < 2; ++churner) {
            threads.emplace_back([&node, &asking] {
                while (asking > 0) {
                    int fd = open(node.c_str(), O_RDONLY | O_CLOEXEC);
                    if (fd >= 0)
                        close(fd);
                }
            });
        }
    }
    for (std::thread& thread : threads)
        thread.join();
    printf("failed=%d strangers=%d leaked=%d\n", failed.load(), strangers.load(), openSockets() - socketsBefore);
    return 0;
}

TEST(MockBed, ShowsBlockDevicesWithTheirRemovableFlagAndTheBiosVersion)
{
    emu::MockBed bed;
    bed.addDrive("sda", emu::DriveSpec());
    bed.addDrive("sdb", emu::DriveSpec(), true);
    bed.addBlockDevice("sr0", true);
    bed.addBlockDevice("loop0");
    bed.addBlockDevice("nvme0n1");
    bed.addBlockDevice("mmcblk0");
    bed.setBiosVersion("XB123-45\n");

    EXPECT_EQ(listDirectory("/sys/block"),
              (std::set<std::string>{"sda", "sdb", "sr0", "loop0", "nvme0n1", "mmcblk0"}));
    EXPECT_EQ(emu::readFile("/sys/block/sda/removable"), "0\n");
    EXPECT_EQ(emu::readFile("/sys/block/sdb/removable"), "1\n");
    EXPECT_EQ(emu::readFile("/sys/block/sr0/removable"), "1\n");
    EXPECT_EQ(emu::readFile("/sys/block/nvme0n1/removable"), "0\n");
    EXPECT_EQ(emu::readFile("/sys/devices/virtual/dmi/id/bios_version"), "XB123-45\n");
    EXPECT_EQ(access("/dev/sda", F_OK), 0);
    EXPECT_EQ(access("/dev/mmcblk0", F_OK), 0);
}

TEST(MockBed, HungDriveIsEndedByTheScenarioTimeout)
{
    std::string why;
    if (!emu::canRunScenarios(why))
        GTEST_SKIP() << why;
    emu::MockBed bed;
    emu::DriveEmulator& drive = bed.addDrive("sda", emu::DriveSpec());
    emu::Fault hang;
    hang.hang = true;
    drive.setFault(emu::Op::GetIdentity, hang);

    emu::Scenario scenario("identity_ioctl");
    // The time limit runs from when the child is inside the hung command,
    // not on its way there.
    scenario.args({"/dev/sda"}).timeout(std::chrono::milliseconds(1500));
    emu::ScenarioResult hung = scenario.run([&drive] {
        auto deadline = std::chrono::steady_clock::now() + emu::kGenerousWait;
        while (drive.commands().empty() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    });
    EXPECT_TRUE(hung.timedOut);
    EXPECT_EQ(hung.signal, SIGKILL);
    EXPECT_EQ(drive.commands().size(), 1u) << "the command reached the drive";

    drive.release();
    drive.clearFaults();
    emu::Scenario again("identity_ioctl");
    again.args({"/dev/sda"});
    emu::ScenarioResult answered = again.run();
    EXPECT_EQ(answered.exitCode, 0) << answered.err;
    EXPECT_THAT(answered.out, testing::HasSubstr("result=0\n"));
}

// Every thread gets its own drive's answer to every command, and closing a
// node ends its connection to the emulator, however the threads' opens and
// closes interleave.
TEST(MockBed, ManyThreadsOpeningAndClosingNodesAtOnceEachReachTheirOwnDrive)
{
    std::string why;
    if (!emu::canRunScenarios(why))
        GTEST_SKIP() << why;
    emu::MockBed bed;
    std::vector<std::string> nodes;
    for (const char* name : {"sda", "sdb", "sdc", "sdd"}) {
        emu::DriveSpec spec;
        spec.serial = std::string("EMU-") + name;
        bed.addDrive(name, spec);
        nodes.push_back(std::string("/dev/") + name);
    }
    emu::Scenario scenario("identity_among_opens_and_closes");
    // A guard against a hang, not a bound on speed: on a busy machine the
    // thousands of opens take minutes.
    scenario.args(nodes).timeout(std::chrono::minutes(5));
    emu::ScenarioResult r = scenario.run();
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_THAT(r.out, testing::HasSubstr("failed=0 strangers=0 leaked=0\n")) << r.err;
}

} // namespace
