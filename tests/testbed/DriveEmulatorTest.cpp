// The emulator on its own, driven with byte blocks as the kernel would pass
// them: its answers must match what libata hands to user space.
#include "DriveEmulator.h"

#include <cerrno>
#include <chrono>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <thread>

using emu::DriveEmulator;
using emu::DriveSpec;
using emu::Fault;
using emu::Op;
using emu::SgRequest;
using testing::ElementsAre;

namespace {

unsigned byteSum(const std::vector<std::uint8_t>& data)
{
    unsigned sum = 0;
    for (std::uint8_t b : data)
        sum += b;
    return sum & 0xFF;
}

// READ LOG EXT of one page through ATA PASS-THROUGH (16) with CK_COND.
struct ReadLogExt {
    std::uint8_t cdb[16] = {0x85, 0x09, 0x2E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x2F, 0};
    std::uint8_t data[512] = {};
    std::uint8_t sense[32] = {};
    SgRequest request;

    ReadLogExt(std::uint8_t log, std::uint8_t page)
    {
        cdb[8] = log;
        cdb[10] = page;
        request.interfaceId = 'S';
        request.direction = -3;
        request.cdb = cdb;
        request.cdbLength = 16;
        request.data = data;
        request.dataLength = sizeof data;
        request.sense = sense;
        request.senseCapacity = sizeof sense;
    }
};

std::vector<std::uint8_t> driveCmd(DriveEmulator& drive, std::uint8_t log, std::uint8_t feature, std::uint8_t count,
                                   emu::IoctlResult& result)
{
    std::vector<std::uint8_t> block(4 + count * 512u, 0xEE);
    block[0] = 0xB0;
    block[1] = log;
    block[2] = feature;
    block[3] = count;
    result = drive.driveCmd(block.data(), block.size());
    return block;
}

TEST(DriveEmulator, IdentityHasTextInReadingOrderOnlyThroughTheKernel)
{
    DriveSpec spec;
    spec.model = "ABCD";
    spec.serial = "SN12";
    spec.firmware = "F1";
    DriveEmulator drive(spec);
    std::vector<std::uint8_t> raw = drive.identifyRaw();
    std::uint8_t kernel[512];
    ASSERT_EQ(drive.getIdentity(kernel, sizeof kernel).result, 0);

    EXPECT_EQ(std::string(reinterpret_cast<char*>(kernel) + 54, 6), "ABCD  ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(raw.data()) + 54, 6), "BADC  ");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(kernel) + 20, 4), "SN12");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(kernel) + 46, 4), "F1  ");
    EXPECT_EQ(kernel[434], 0x01);
    EXPECT_EQ(kernel[435], 0x00);
    EXPECT_EQ(raw[510], 0xA5);
    EXPECT_EQ(byteSum(raw), 0u) << "IDENTIFY integrity word";
}

TEST(DriveEmulator, SmartDataSectorHoldsTheAttributeTable)
{
    DriveSpec spec;
    spec.attributes = {{9, 0x0032, 100, 99, 0x010203040506}, {230, 0x0013, 97, 95, 0}};
    DriveEmulator drive(spec);
    std::vector<std::uint8_t> sector = drive.smartDataSector();
    EXPECT_THAT(std::vector<std::uint8_t>(sector.begin() + 2, sector.begin() + 14),
                ElementsAre(9, 0x32, 0x00, 100, 99, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01, 0));
    EXPECT_EQ(sector[14], 230);
    EXPECT_EQ(sector[26], 0) << "unused entries are empty";
    EXPECT_EQ(byteSum(sector), 0u);

    drive.removeAttribute(230);
    drive.setAttribute({9, 0x0032, 100, 99, 7});
    sector = drive.smartDataSector();
    EXPECT_EQ(sector[2 + 5], 7);
    EXPECT_EQ(sector[14], 0);
}

TEST(DriveEmulator, DriveCmdReturnsRegistersForNonDataAndEioForAborts)
{
    DriveEmulator drive{DriveSpec()};
    emu::IoctlResult result;
    std::vector<std::uint8_t> enable = driveCmd(drive, 0x01, 0xD8, 0, result);
    EXPECT_EQ(result.result, 0);
    EXPECT_THAT(std::vector<std::uint8_t>(enable.begin(), enable.begin() + 4), ElementsAre(0x50, 0x00, 0x00, 0x00));

    std::vector<std::uint8_t> directory = driveCmd(drive, 0x00, 0xD5, 1, result);
    EXPECT_EQ(result.result, 0);
    EXPECT_EQ(directory[4 + 8], 8) << "log 04h has 8 pages";

    driveCmd(drive, 0x04, 0xD5, 9, result);
    EXPECT_EQ(result.result, -1) << "more pages than the log holds";
    EXPECT_EQ(result.error, EIO);
    driveCmd(drive, 0x0A, 0xD5, 1, result);
    EXPECT_EQ(result.error, EIO) << "a log the drive does not have";
}

TEST(DriveEmulator, ReadLogExtAnswersWithDescriptorSenseOnSuccess)
{
    DriveSpec spec;
    spec.percentageUsed = 42;
    spec.percentageUsedFlags = 0xE0;
    DriveEmulator drive(spec);
    ReadLogExt read(0x04, 7);
    ASSERT_EQ(drive.sgIo(read.request).result, 0);
    EXPECT_EQ(read.request.status, 0x02);
    EXPECT_EQ(read.request.driverStatus, 0x08);
    EXPECT_EQ(read.request.senseWritten, 22);
    EXPECT_THAT(std::vector<std::uint8_t>(read.sense, read.sense + 22),
                ElementsAre(0x72, 0x01, 0x00, 0x1D, 0, 0, 0, 0x0E, 0x09, 0x0C, 0x01, 0x00, 0x00, 0x01, 0x00, 0x04,
                            0x00, 0x07, 0x00, 0x00, 0x00, 0x50));
    EXPECT_EQ(read.data[2], 7);
    EXPECT_EQ(read.data[8], 42);
    EXPECT_EQ(read.data[15], 0xE0);

    drive.setPercentageUsed(43);
    ReadLogExt again(0x04, 7);
    drive.sgIo(again.request);
    EXPECT_EQ(again.data[8], 43) << "figures change while the drive runs";
}

TEST(DriveEmulator, AbortedPassThroughUsesFixedSenseOfEitherKernel)
{
    // The layouts Debian's kernels produced for an aborted READ LOG EXT of
    // an emulated AHCI drive (status 0x41 there, 0x51 here).
    struct Case {
        emu::AbortSense style;
        std::vector<std::uint8_t> sense;
    } cases[] = {
        {emu::AbortSense::Fixed61,
         {0x70, 0, 0x0B, 0, 0, 0, 0, 0x0A, 0x04, 0x51, 0x00, 0x01, 0, 0, 0, 0, 0x80, 0}},
        {emu::AbortSense::Fixed612,
         {0xF0, 0, 0x0B, 0x04, 0x51, 0x00, 0x01, 0x0A, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        DriveSpec spec;
        spec.deviceStatistics = false;
        DriveEmulator drive(spec);
        drive.setAbortSense(c.style);
        ReadLogExt read(0x04, 7);
        ASSERT_EQ(drive.sgIo(read.request).result, 0);
        EXPECT_EQ(read.request.status, 0x02);
        EXPECT_EQ(std::vector<std::uint8_t>(read.sense, read.sense + 18), c.sense);
        EXPECT_EQ(read.data[0], 0) << "no data moves";
    }
}

TEST(DriveEmulator, DeviceStatisticsKnobsShapeTheLog)
{
    DriveSpec spec;
    spec.deviceStatisticsPages = 7;
    spec.page7Number = 6;
    DriveEmulator drive(spec);
    EXPECT_EQ(drive.logPage(0x00, 0)[8], 7);
    ReadLogExt page6(0x04, 6);
    drive.sgIo(page6.request);
    EXPECT_EQ(page6.sense[21], 0x50);
    ReadLogExt page7(0x04, 7);
    drive.sgIo(page7.request);
    EXPECT_EQ(page7.sense[0], 0x70) << "page 7 is past the end of a 7-page log";

    DriveSpec eight;
    eight.page7Number = 6;
    DriveEmulator renumbered(eight);
    EXPECT_EQ(renumbered.logPage(0x04, 7)[2], 6);
}

TEST(DriveEmulator, UsbBridgeRejectsPassThroughAsIllegalRequest)
{
    DriveEmulator drive{DriveSpec()};
    drive.setUsbBridge(true);
    ReadLogExt read(0x00, 0);
    ASSERT_EQ(drive.sgIo(read.request).result, 0);
    EXPECT_EQ(read.sense[0], 0x70);
    EXPECT_EQ(read.sense[2], 0x05);
    EXPECT_EQ(read.request.senseWritten, 18);
}

TEST(DriveEmulator, FaultsHitTheirCommandsAsOftenAsAsked)
{
    DriveEmulator drive{DriveSpec()};
    Fault once;
    once.ioctlErrno = ENODEV;
    once.times = 1;
    drive.setFault(Op::SmartReadData, once);
    emu::IoctlResult result;
    driveCmd(drive, 0, 0xD0, 1, result);
    EXPECT_EQ(result.result, -1);
    EXPECT_EQ(result.error, ENODEV);
    driveCmd(drive, 0, 0xD0, 1, result);
    EXPECT_EQ(result.result, 0) << "the fault was for one command";

    Fault onlyLog4;
    onlyLog4.abort = true;
    onlyLog4.logAddress = 4;
    drive.setFault(Op::SmartReadLog, onlyLog4);
    driveCmd(drive, 0, 0xD5, 1, result);
    EXPECT_EQ(result.result, 0);
    driveCmd(drive, 4, 0xD5, 8, result);
    EXPECT_EQ(result.error, EIO);

    std::vector<emu::CommandRecord> sent = drive.commands();
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[3].op, Op::SmartReadLog);
    EXPECT_EQ(sent[3].logAddress, 4);
    EXPECT_EQ(sent[3].count, 8);
}

TEST(DriveEmulator, SlowAndHungCommandsHoldTheCallerUntilReleased)
{
    DriveEmulator drive{DriveSpec()};
    Fault slow;
    slow.delay = std::chrono::milliseconds(50);
    drive.setFault(Op::GetIdentity, slow);
    std::uint8_t block[512];
    auto start = std::chrono::steady_clock::now();
    drive.getIdentity(block, sizeof block);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));

    Fault hang;
    hang.hang = true;
    drive.setFault(Op::GetIdentity, hang);
    std::atomic<bool> answered{false};
    std::thread caller([&] {
        drive.getIdentity(block, sizeof block);
        answered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(answered);
    drive.release();
    caller.join();
    EXPECT_TRUE(answered);
}

} // namespace
