// A fake machine for the libraries under test: sysfs block entries, /dev
// nodes answered by drive emulators, and the DMI BIOS version, all through
// umockdev. The process must run with libumockdev-preload.so.0 preloaded
// (the test main sees to it); children inherit the testbed.
//
// Create the bed before the code under test starts threads and destroy it
// after they stopped: umockdev sets and unsets environment variables.
#ifndef VEXLOR_TESTBED_MOCK_BED_H
#define VEXLOR_TESTBED_MOCK_BED_H

#include "DriveEmulator.h"
#include "NvmeEmulator.h"

#include <map>
#include <memory>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace emu {

class DriveWorker;

// The registers of an eMMC card (or SD card) as sysfs texts, so that a test
// can give any bytes, broken ones included. An empty text leaves the
// attribute out.
struct EmmcSpec {
    std::string type = "MMC";
    std::string name = "EMMC32";
    std::string serial = "0x1a2b3c4d";
    std::string fwrev = "0x0200000000000000";
    std::string lifeTime = "0x02 0x01";
    std::string preEol = "0x01";
};

class MockBed {
public:
    MockBed();
    ~MockBed();
    MockBed(const MockBed&) = delete;
    MockBed& operator=(const MockBed&) = delete;

    // A SATA disk "name" (sda, sdb, ...) with its /dev node answered by an emulator.
    DriveEmulator& addDrive(const std::string& name, const DriveSpec& spec, bool removable = false);
    // An NVMe controller "nvme<C>" with its namespaces nvme<C>n1, n2, ...
    // (as many as it is given), every node answered by one emulator.
    NvmeEmulator& addNvmeDrive(const std::string& controller, const NvmeSpec& spec, bool removable = false);
    // An eMMC card or SD card "mmcblk<N>": the block device and the card's
    // registers as the kernel's MMC driver shows them under device/.
    void addEmmcDrive(const std::string& name, const EmmcSpec& spec);
    // A block device with no drive behind it (sr0, loop0, nvme0n1, mmcblk0).
    void addBlockDevice(const std::string& name, bool removable = false);
    void setBiosVersion(const std::string& version);
    // Replaces a block device's sysfs attribute with exactly these bytes.
    void setAttribute(const std::string& name, const std::string& attribute, const std::string& content);
    // The same for an attribute of the device behind the block device
    // (/sys/block/<name>/device/<attribute>).
    void setDeviceAttribute(const std::string& name, const std::string& attribute, const std::string& content);
    // Removes the drive's node, so that opening it fails as for a drive that
    // went away. False when the host itself has a node of that name, where a
    // removed emulated node would let the open reach a real disk.
    bool unplug(const std::string& name);
    // Brings an unplugged drive's node back, as for a drive that returned.
    bool replug(const std::string& name);

    DriveEmulator& drive(const std::string& name);
    NvmeEmulator& nvme(const std::string& controller);
    std::string rootDir() const;

    // What answers behind one node: the emulator, the thread its commands
    // run on, and umockdev's handler.
    struct Attached {
        std::unique_ptr<DriveEmulator> emulator;
        NvmeEmulator* nvme = nullptr;    // owned by the bed, for NVMe namespaces
        std::uint32_t nsid = 0;
        std::unique_ptr<DriveWorker> worker;
        UMockdevIoctlBase* handler = nullptr;
        ~Attached();
    };

private:
    void addFromString(const std::string& description);
    // A /sys/block entry and its /dev node.
    void addBlockEntry(const std::string& name, const std::string& path, bool removable);

    UMockdevTestbed* m_testbed;
    // Hands the node's ioctls to `attached`'s worker; takes the attachment.
    void attach(const std::string& name, std::unique_ptr<Attached> attached);

    // Controllers outlive the attachments of their namespaces.
    std::map<std::string, std::unique_ptr<NvmeEmulator>> m_nvme;
    std::map<std::string, std::unique_ptr<Attached>> m_drives;
    std::map<std::string, std::string> m_sysfsPaths;
    std::map<std::string, std::string> m_cardPaths;   // eMMC block device -> card
};

// True when this process runs under the umockdev preload library.
bool inMockEnvironment();

} // namespace emu

#endif
