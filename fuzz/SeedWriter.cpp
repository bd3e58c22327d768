// Writes the seed corpora of the fuzz targets from what the drive emulator
// answers, in a few shapes of drive.
//
//   vexlor-fuzz-seeds <corpus directory>
#include "DriveEmulator.h"
#include "NvmeEmulator.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

void write(const std::filesystem::path& directory, const std::string& name, const std::vector<std::uint8_t>& bytes)
{
    std::filesystem::create_directories(directory);
    std::ofstream out(directory / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void write(const std::filesystem::path& directory, const std::string& name, const std::string& text)
{
    write(directory, name, std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> concat(std::vector<std::uint8_t> first, const std::vector<std::uint8_t>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    std::filesystem::path root = argv[1];

    emu::DriveSpec plain;
    emu::DriveSpec vendor;
    vendor.model = "SanDisk SSD P4 64GB";
    vendor.attributes.push_back({230, 0x0013, 97, 97, 0});
    emu::DriveSpec spinning;
    spinning.rotationRate = 7200;
    spinning.deviceStatistics = false;
    emu::DriveSpec wrongPage;
    wrongPage.page7Number = 6;
    wrongPage.deviceStatisticsPages = 4;
    const std::vector<std::pair<std::string, emu::DriveSpec>> drives = {
        {"plain", plain}, {"vendor", vendor}, {"spinning", spinning}, {"wrong-page", wrongPage}};

    for (const auto& [name, spec] : drives) {
        emu::DriveEmulator drive(spec);
        write(root / "identify", name, drive.identifyKernel());
        write(root / "smart_data", name, drive.smartDataSector());
        write(root / "device_statistics", name, concat(drive.logPage(0x00, 0), drive.logPage(0x04, 7)));
    }

    // NVMe controllers: Identify Controller followed by the health log.
    emu::NvmeSpec fresh;
    emu::NvmeSpec worn;
    worn.percentageUsed = 255;
    worn.criticalWarning = 0x04;
    worn.powerOnHoursHigh = 1;
    for (const auto& [name, spec] : std::vector<std::pair<std::string, emu::NvmeSpec>>{{"fresh", fresh}, {"worn", worn}}) {
        emu::NvmeEmulator controller(spec);
        write(root / "nvme", name, concat(controller.identifyController(), controller.healthLog()));
    }

    // eMMC registers as the kernel prints them: life time, newline, pre-EOL.
    write(root / "emmc", "fresh", std::string("0x01 0x01\n0x01\n"));
    write(root / "emmc", "exceeded", std::string("0x0b 0x0A\n0x03\n"));
    write(root / "emmc", "undefined", std::string("0x00 0x00\n"));

    // The sense data of a completed and of an aborted READ LOG EXT.
    for (const auto& [name, sabotage] : std::vector<std::pair<std::string, bool>>{{"good", false}, {"aborted", true}}) {
        emu::DriveEmulator drive(plain);
        if (sabotage) {
            emu::Fault abort;
            abort.abort = true;
            drive.setFault(emu::Op::ReadLogExt, abort);
        }
        std::uint8_t cdb[16] = {0x85, 0x09, 0x0E, 0, 0, 0, 1, 0, 0x04, 0, 7, 0, 0, 0, 0x2F, 0};
        std::vector<std::uint8_t> data(512);
        std::vector<std::uint8_t> sense(32);
        emu::SgRequest request;
        request.interfaceId = 'S';
        request.direction = -3;   // from the device
        request.cdb = cdb;
        request.cdbLength = sizeof cdb;
        request.data = data.data();
        request.dataLength = static_cast<unsigned>(data.size());
        request.sense = sense.data();
        request.senseCapacity = static_cast<unsigned>(sense.size());
        request.timeout = 20000;
        drive.sgIo(request);
        write(root / "sat_sense", name, sense);
    }

    write(root / "ini_file", "sample", "[Settings]\nPollRate=10\nPercentUsedThreshold=95\nSptLogAccess=0\n"
                                       "DebugIndications=0\nDebugTraceAttributes=0\nDebugTraceLogs=0\n");
    write(root / "ini_file", "crlf-negative", "PollRate=-5\r\nPercentUsedThreshold=101\r\nSptLogAccess=t\r\nPollRate=");
    write(root / "ini_line", "poll", "PollRate=30 seconds\n");
    write(root / "ini_line", "threshold", "PercentUsedThreshold=-90\n");
    write(root / "ini_line", "flag", "DebugTraceLogs=True");
    write(root / "log_conf", "sample", "FileName=/var/log/vexlor/vexlor.log\nLevel=4\nMaxLength=10485760\nIsConsole=0\n");
    write(root / "log_conf", "crlf", "Level=9\r\nMaxLength=18446744073709551615\r\nFileName=\r\n");
    write(root / "log_line", "plain", std::string("\x03") + "SsdDevice::getSsdData - model %s at %d%%");
    write(root / "log_line", "utf8", std::string("\x0C") + "Mod\xC3\xA8le \xE2\x82\xAC \xFF\xFE bad");
    write(root / "provider_keys", "own-id", std::string("\x05\x00", 2) + "EMULATED SATA SSD 64GB___EMU00000001___sda");
    write(root / "provider_keys", "enumerate", std::string("\x0D\x00", 2) + std::string("x\0root/cimv2", 11));
    write(root / "provider_keys", "null-key", std::string("\x01\x00", 2));
    return 0;
}
