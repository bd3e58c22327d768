// The fake machine as a program sees it through the preload library.
#include "MockBed.h"
#include "Scenario.h"

#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/ioctl.h>
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
    // Long enough for the child to be inside the hung command, not on its
    // way there, when it is killed.
    scenario.args({"/dev/sda"}).timeout(std::chrono::milliseconds(1500));
    emu::ScenarioResult hung = scenario.run();
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

} // namespace
