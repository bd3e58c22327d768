#include "MockBed.h"

#include "Scenario.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <unistd.h>
#include <umockdev.h>

namespace emu {

namespace {

const unsigned long kHdioGetIdentity = 0x030D;
const unsigned long kHdioDriveCmd = 0x031F;
const unsigned long kSgIo = 0x2285;
// linux/nvme_ioctl.h: _IO('N', 0x40) and _IOWR('N', 0x41, 72-byte command).
const unsigned long kNvmeIoctlId = 0x4E40;
const unsigned long kNvmeIoctlAdminCmd = 0xC0484E41;

// The kernel's sg_io_hdr (scsi/sg.h) on 64-bit Linux, written out here so
// that the emulator does not take the layout from where the library does.
struct SgIoHeaderAbi {
    int interface_id;
    int dxfer_direction;
    unsigned char cmd_len;
    unsigned char mx_sb_len;
    unsigned short iovec_count;
    unsigned int dxfer_len;
    void* dxferp;
    unsigned char* cmdp;
    void* sbp;
    unsigned int timeout;
    unsigned int flags;
    int pack_id;
    void* usr_ptr;
    unsigned char status;
    unsigned char masked_status;
    unsigned char msg_status;
    unsigned char sb_len_wr;
    unsigned short host_status;
    unsigned short driver_status;
    int resid;
    unsigned int duration;
    unsigned int info;
};
static_assert(sizeof(SgIoHeaderAbi) == 88, "sg_io_hdr is 88 bytes on 64-bit Linux");
static_assert(offsetof(SgIoHeaderAbi, dxferp) == 16 && offsetof(SgIoHeaderAbi, cmdp) == 24
                  && offsetof(SgIoHeaderAbi, sbp) == 32 && offsetof(SgIoHeaderAbi, status) == 64,
              "sg_io_hdr pointer and status offsets");

// The error's text, freeing the error.
std::string takeMessage(GError* error)
{
    std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr)
        g_error_free(error);
    return message;
}

// Owns a resolved piece of the caller's memory.
struct Resolved {
    UMockdevIoctlData* data = nullptr;
    ~Resolved()
    {
        if (data != nullptr)
            g_object_unref(data);
    }
    Resolved() = default;
    Resolved(const Resolved&) = delete;
    Resolved& operator=(const Resolved&) = delete;
};

bool resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length, Resolved& out)
{
    GError* error = nullptr;
    out.data = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error != nullptr) {
        fprintf(stderr, "testbed: cannot reach ioctl memory: %s\n", takeMessage(error).c_str());
        return false;
    }
    return out.data != nullptr;
}

// One ioctl taken from a client: the caller's memory already resolved on
// umockdev's thread, the drive's part still to run. The client waits until
// the request is completed.
struct PendingIoctl {
    UMockdevIoctlClient* client = nullptr;
    Resolved header, cdb, data, sense, block;
    std::function<IoctlResult()> execute;
    PendingIoctl() = default;
    PendingIoctl(const PendingIoctl&) = delete;
    PendingIoctl& operator=(const PendingIoctl&) = delete;
    ~PendingIoctl()
    {
        if (client != nullptr)
            g_object_unref(client);
    }
};

bool prepareDriveCmd(DriveEmulator& emulator, UMockdevIoctlData* argument, PendingIoctl& pending)
{
    // The block's length is in its header; resolve the header, read it, then
    // start over with the whole block (resolve caches by offset).
    std::uint8_t pointer[sizeof(void*)];
    std::copy(argument->data, argument->data + sizeof pointer, pointer);
    std::size_t length;
    {
        Resolved header;
        if (!resolve(argument, 0, 4, header))
            return false;
        length = DriveEmulator::driveCmdLength(header.data->data);
    }
    GError* error = nullptr;
    if (!umockdev_ioctl_data_reload(argument, &error)) {
        fprintf(stderr, "testbed: reload failed: %s\n", takeMessage(error).c_str());
        return false;
    }
    std::copy(pointer, pointer + sizeof pointer, argument->data);
    if (!resolve(argument, 0, length, pending.block))
        return false;
    UMockdevIoctlData* block = pending.block.data;
    pending.execute = [&emulator, block] {
        return emulator.driveCmd(block->data, static_cast<std::size_t>(block->data_len));
    };
    return true;
}

bool prepareSgIo(DriveEmulator& emulator, UMockdevIoctlData* argument, PendingIoctl& pending)
{
    if (!resolve(argument, 0, sizeof(SgIoHeaderAbi), pending.header))
        return false;
    UMockdevIoctlData* header = pending.header.data;
    const auto* fields = reinterpret_cast<const SgIoHeaderAbi*>(header->data);
    if (fields->cmdp == nullptr || !resolve(header, offsetof(SgIoHeaderAbi, cmdp), fields->cmd_len, pending.cdb))
        return false;
    if (fields->dxfer_len > 0
        && (fields->dxferp == nullptr
            || !resolve(header, offsetof(SgIoHeaderAbi, dxferp), fields->dxfer_len, pending.data)))
        return false;
    if (fields->mx_sb_len > 0
        && (fields->sbp == nullptr
            || !resolve(header, offsetof(SgIoHeaderAbi, sbp), fields->mx_sb_len, pending.sense)))
        return false;
    PendingIoctl* self = &pending;
    pending.execute = [&emulator, self] {
        // The resolved pieces may have moved the header's bytes; read it again.
        auto* abi = reinterpret_cast<SgIoHeaderAbi*>(self->header.data->data);
        SgRequest request;
        request.interfaceId = abi->interface_id;
        request.direction = abi->dxfer_direction;
        request.cdb = self->cdb.data->data;
        request.cdbLength = abi->cmd_len;
        request.data = self->data.data != nullptr ? self->data.data->data : nullptr;
        request.dataLength = self->data.data != nullptr ? abi->dxfer_len : 0;
        request.sense = self->sense.data != nullptr ? self->sense.data->data : nullptr;
        request.senseCapacity = self->sense.data != nullptr ? abi->mx_sb_len : 0;
        request.timeout = abi->timeout;
        IoctlResult result = emulator.sgIo(request);
        if (result.result == 0) {
            abi->status = request.status;
            abi->masked_status = request.maskedStatus;
            abi->sb_len_wr = request.senseWritten;
            abi->host_status = request.hostStatus;
            abi->driver_status = request.driverStatus;
            abi->resid = request.resid;
            abi->duration = 1;
        }
        return result;
    };
    return true;
}

bool prepareNvmeAdmin(NvmeEmulator& emulator, std::uint32_t nsid, UMockdevIoctlData* argument,
                      PendingIoctl& pending)
{
    if (!resolve(argument, 0, NvmeEmulator::kCommandSize, pending.header))
        return false;
    UMockdevIoctlData* header = pending.header.data;
    std::uint32_t length = NvmeEmulator::dataLengthOf(header->data);
    if (length > 0 && !resolve(header, NvmeEmulator::kDataAddressOffset, length, pending.data))
        return false;
    PendingIoctl* self = &pending;
    pending.execute = [&emulator, self, nsid, length] {
        std::uint8_t* data = self->data.data != nullptr ? self->data.data->data : nullptr;
        return emulator.adminCommand(self->header.data->data, data, data != nullptr ? length : 0, nsid);
    };
    return true;
}

} // namespace

// Runs a drive's commands one after another on a thread of the drive's own,
// as a real drive's queue does, so that a slow or hung drive holds up only
// its own callers and never the other drives.
class DriveWorker {
public:
    DriveWorker() : m_thread([this] { run(); }) {}
    ~DriveWorker()
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_thread.join();
    }
    DriveWorker(const DriveWorker&) = delete;
    DriveWorker& operator=(const DriveWorker&) = delete;

    void post(std::unique_ptr<PendingIoctl> pending)
    {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_queue.push_back(std::move(pending));
        }
        m_changed.notify_all();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> guard(m_lock);
        for (;;) {
            m_changed.wait(guard, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            std::unique_ptr<PendingIoctl> pending = std::move(m_queue.front());
            m_queue.pop_front();
            guard.unlock();
            IoctlResult result = pending->execute();
            // Thread-safe; syncs the resolved memory back to the caller.
            umockdev_ioctl_client_complete(pending->client, result.result, result.error);
            pending.reset();
            guard.lock();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::unique_ptr<PendingIoctl>> m_queue;
    bool m_stopping = false;
    std::thread m_thread;
};

namespace {

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData)
{
    auto& drive = *static_cast<MockBed::Attached*>(userData);
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = umockdev_ioctl_client_get_arg(client);
    auto pending = std::make_unique<PendingIoctl>();
    bool prepared = false;
    if (drive.nvme != nullptr) {
        // The namespace id of the node, as the kernel answers it.
        if (request == kNvmeIoctlId) {
            umockdev_ioctl_client_complete(client, static_cast<glong>(drive.nsid), 0);
            return TRUE;
        }
        if (request != kNvmeIoctlAdminCmd) {
            umockdev_ioctl_client_complete(client, -1, ENOTTY);
            return TRUE;
        }
        prepared = prepareNvmeAdmin(*drive.nvme, drive.nsid, argument, *pending);
    } else if (request == kHdioGetIdentity) {
        DriveEmulator* emulator = drive.emulator.get();
        prepared = resolve(argument, 0, DriveEmulator::kSector, pending->block);
        UMockdevIoctlData* block = pending->block.data;
        pending->execute = [emulator, block] {
            return emulator->getIdentity(block->data, static_cast<std::size_t>(block->data_len));
        };
    } else if (request == kHdioDriveCmd) {
        prepared = prepareDriveCmd(*drive.emulator, argument, *pending);
    } else if (request == kSgIo) {
        prepared = prepareSgIo(*drive.emulator, argument, *pending);
    } else {
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
    if (!prepared) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    pending->client = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    drive.worker->post(std::move(pending));
    return TRUE;
}

// The node as the host itself has it, past the preload's redirection.
bool hostHasNode(const std::string& path)
{
    return syscall(SYS_faccessat, AT_FDCWD, path.c_str(), F_OK) == 0;
}

} // namespace

bool inMockEnvironment()
{
    // Whether the preload library is mapped into this process.
    return readFile("/proc/self/maps").find("libumockdev-preload") != std::string::npos;
}

MockBed::Attached::~Attached() = default;

MockBed::MockBed()
    : m_testbed(umockdev_testbed_new())
{
    if (m_testbed == nullptr)
        throw std::runtime_error("umockdev testbed could not be created");
}

MockBed::~MockBed()
{
    for (auto& [name, attached] : m_drives) {
        // No new command after the detach; the worker then finishes those
        // it holds, which the release has freed from any hang.
        if (attached->emulator)
            attached->emulator->release();
        else
            attached->nvme->release();
        umockdev_testbed_detach_ioctl(m_testbed, ("/dev/" + name).c_str(), nullptr);
        attached->worker.reset();
        g_object_unref(attached->handler);
    }
    g_object_unref(m_testbed);
}

void MockBed::addFromString(const std::string& description)
{
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(m_testbed, description.c_str(), &error))
        throw std::runtime_error("umockdev rejected a device: " + takeMessage(error));
}

void MockBed::addBlockEntry(const std::string& name, const std::string& path, bool removable)
{
    m_sysfsPaths[name] = path;
    addFromString("P: " + path + "\n"
                  "N: " + name + "\n"
                  "E: DEVNAME=/dev/" + name + "\n"
                  "E: DEVTYPE=disk\n"
                  "E: SUBSYSTEM=block\n"
                  "A: removable=" + (removable ? "1" : "0") + "\\n\n"
                  "A: size=125045424\\n\n");
}

DriveEmulator& MockBed::addDrive(const std::string& name, const DriveSpec& spec, bool removable)
{
    std::size_t index = m_drives.size();
    std::string host = std::to_string(index);
    std::string target = host + ":0:0:0";
    addBlockEntry(name,
                  "/devices/pci0000:00/0000:00:1f.2/ata" + std::to_string(index + 1) + "/host" + host + "/target"
                      + host + ":0:0/" + target + "/block/" + name,
                  removable);
    auto attached = std::make_unique<Attached>();
    attached->emulator = std::make_unique<DriveEmulator>(spec);
    DriveEmulator& emulator = *attached->emulator;
    attach(name, std::move(attached));
    return emulator;
}

void MockBed::attach(const std::string& name, std::unique_ptr<Attached> attached)
{
    attached->worker = std::make_unique<DriveWorker>();
    attached->handler = umockdev_ioctl_base_new();
    g_signal_connect(attached->handler, "handle-ioctl", G_CALLBACK(onIoctl), attached.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, ("/dev/" + name).c_str(), attached->handler, &error)) {
        g_object_unref(attached->handler);
        throw std::runtime_error("cannot attach the emulator to /dev/" + name + ": " + takeMessage(error));
    }
    m_drives.emplace(name, std::move(attached));
}

NvmeEmulator& MockBed::addNvmeDrive(const std::string& controller, const NvmeSpec& spec, bool removable)
{
    auto emulator = std::make_unique<NvmeEmulator>(spec);
    NvmeEmulator& answering = *emulator;
    m_nvme.emplace(controller, std::move(emulator));
    std::string number = controller.substr(4);
    for (std::uint32_t nsid = 1; nsid <= spec.namespaces; ++nsid) {
        std::string name = controller + "n" + std::to_string(nsid);
        addBlockEntry(name, "/devices/pci0000:00/0000:00:1d." + number + "/nvme/" + controller + "/" + name,
                      removable);
        auto attached = std::make_unique<Attached>();
        attached->nvme = &answering;
        attached->nsid = nsid;
        attach(name, std::move(attached));
    }
    return answering;
}

void MockBed::addEmmcDrive(const std::string& name, const EmmcSpec& spec)
{
    std::string host = "mmc" + name.substr(6);
    std::string card = "/devices/platform/" + host + "/" + host + ":0001";
    std::string attributes;
    const std::pair<const char*, const std::string*> registers[] = {
        {"type", &spec.type},   {"name", &spec.name},         {"serial", &spec.serial},
        {"fwrev", &spec.fwrev}, {"life_time", &spec.lifeTime}, {"pre_eol_info", &spec.preEol},
    };
    for (const auto& [attribute, text] : registers)
        if (!text->empty())
            attributes += std::string("A: ") + attribute + "=" + *text + "\\n\n";
    // The card first, so that the block device below it finds its parent.
    addFromString("P: " + card + "\nE: SUBSYSTEM=mmc\nE: MMC_TYPE=" + spec.type + "\n" + attributes);
    addBlockEntry(name, card + "/block/" + name, false);
    // The kernel links a block device to the device behind it; umockdev
    // does not, so the link is made here, as the kernel words it.
    std::string link = rootDir() + "/sys" + card + "/block/" + name + "/device";
    if (symlink(("../../../" + host + ":0001").c_str(), link.c_str()) != 0)
        throw std::runtime_error("cannot link " + link + ": " + strerror(errno));
    m_cardPaths[name] = card;
}

void MockBed::addBlockDevice(const std::string& name, bool removable)
{
    std::string path;
    if (name.rfind("nvme", 0) == 0)
        path = "/devices/pci0000:00/0000:00:1d.0/nvme/nvme0/" + name;
    else if (name.rfind("mmcblk", 0) == 0)
        path = "/devices/platform/mmc0/mmc0:0001/block/" + name;
    else if (name.rfind("sr", 0) == 0)
        path = "/devices/pci0000:00/0000:00:1f.2/ata9/host9/target9:0:0/9:0:0:0/block/" + name;
    else
        path = "/devices/virtual/block/" + name;
    addBlockEntry(name, path, removable);
}

void MockBed::setBiosVersion(const std::string& version)
{
    const char* dmi = "/sys/devices/virtual/dmi/id";
    addFromString("P: /devices/virtual/dmi/id\nE: SUBSYSTEM=dmi\nA: bios_version=\n");
    // Exactly the bytes given: the kernel's file ends in a newline, which the
    // caller includes or leaves out on purpose.
    umockdev_testbed_set_attribute(m_testbed, dmi, "bios_version", version.c_str());
}

void MockBed::setAttribute(const std::string& name, const std::string& attribute, const std::string& content)
{
    auto found = m_sysfsPaths.find(name);
    if (found == m_sysfsPaths.end())
        throw std::out_of_range("no block device " + name);
    umockdev_testbed_set_attribute(m_testbed, ("/sys" + found->second).c_str(), attribute.c_str(), content.c_str());
}

bool MockBed::unplug(const std::string& name)
{
    std::string node = "/dev/" + name;
    if (hostHasNode(node))
        return false;
    std::string emulated = rootDir() + node;
    // Put aside rather than removed, so that replug() can bring it back.
    return rename(emulated.c_str(), (emulated + ".unplugged").c_str()) == 0 || errno == ENOENT;
}

bool MockBed::replug(const std::string& name)
{
    std::string emulated = rootDir() + "/dev/" + name;
    return rename((emulated + ".unplugged").c_str(), emulated.c_str()) == 0;
}

void MockBed::setDeviceAttribute(const std::string& name, const std::string& attribute, const std::string& content)
{
    auto found = m_cardPaths.find(name);
    if (found == m_cardPaths.end())
        throw std::out_of_range("no eMMC device " + name);
    umockdev_testbed_set_attribute(m_testbed, ("/sys" + found->second).c_str(), attribute.c_str(), content.c_str());
}

NvmeEmulator& MockBed::nvme(const std::string& controller)
{
    auto found = m_nvme.find(controller);
    if (found == m_nvme.end())
        throw std::out_of_range("no emulated NVMe controller " + controller);
    return *found->second;
}

DriveEmulator& MockBed::drive(const std::string& name)
{
    auto found = m_drives.find(name);
    if (found == m_drives.end())
        throw std::out_of_range("no emulated drive " + name);
    return *found->second->emulator;
}

std::string MockBed::rootDir() const
{
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    std::string result(root);
    g_free(root);
    return result;
}

} // namespace emu
