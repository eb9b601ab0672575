/*
 * sgport.cpp - the storage port over the Linux SCSI generic driver: request blocks to SG_IO
 * and back, the frozen queue, exclusive opens and the search for recorders. The mapping is
 * described in standin/sgport.h.
 */
#include <standin/sgport.h>
#include <standin/kernel.h>
#include <scsi.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <scsi/sg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace {

/* Host (transport) status codes of the Linux SCSI midlayer. */
constexpr unsigned short kDidOk = 0x00;
constexpr unsigned short kDidNoConnect = 0x01;
constexpr unsigned short kDidBusBusy = 0x02;
constexpr unsigned short kDidTimeOut = 0x03;
constexpr unsigned short kDidBadTarget = 0x04;
constexpr unsigned short kDidAbort = 0x05;
constexpr unsigned short kDidParity = 0x06;
constexpr unsigned short kDidReset = 0x08;
constexpr unsigned short kDidImmRetry = 0x0C;
constexpr unsigned short kDidRequeue = 0x0D;
constexpr unsigned short kDidTransportDisrupted = 0x0E;
constexpr unsigned short kDidTransportFailfast = 0x0F;
constexpr unsigned short kDriverTimeout = 0x06; /* low nibble of driver_status */

constexpr UCHAR kCheckCondition = 0x02;
constexpr ULONG kMaximumTransfer = 64 * 1024;
constexpr LONGLONG kDefaultFrozenTimeout = 30LL * 10000000;

int RealIoctl(void *, int Fd, unsigned long Request, void *Argument) {
    int r;
    do {
        r = ioctl(Fd, Request, Argument);
    } while (r < 0 && errno == EINTR);
    return r < 0 ? -errno : 0;
}

std::string ReadLine(const std::string &Path) {
    std::ifstream in(Path);
    std::string line;
    std::getline(in, line);
    return line;
}

/* sgN of a /dev path (the device file's own name, or its character device numbers). */
std::string SgName(const char *Path) {
    const char *base = strrchr(Path, '/');
    base = base ? base + 1 : Path;
    struct stat st;
    if (stat(Path, &st) == 0 && S_ISCHR(st.st_mode)) {
        char link[64];
        snprintf(link, sizeof(link), "/sys/dev/char/%u:%u", major(st.st_rdev), minor(st.st_rdev));
        char target[512];
        ssize_t n = readlink(link, target, sizeof(target) - 1);
        if (n > 0) {
            target[n] = 0;
            const char *name = strrchr(target, '/');
            return name ? name + 1 : target;
        }
    }
    return base;
}

/* The sr (or other block) device of an sg device, from the device tree; "" when none. */
std::string BlockNameOf(const std::string &Sg) {
    std::string dir = "/sys/class/scsi_generic/" + Sg + "/device/block";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return "";
    }
    std::string name;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] != '.') {
            name = e->d_name;
            break;
        }
    }
    closedir(d);
    return name;
}

/* True when the block device Name (e.g. sr0) is mounted somewhere. */
bool IsMounted(const std::string &Name) {
    if (Name.empty()) {
        return false;
    }
    std::string dev = ReadLine("/sys/class/block/" + Name + "/dev"); /* "11:0" */
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        /* id parent major:minor root mount-point ... - fstype source options */
        size_t a = line.find(' ');
        size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
        size_t c = b == std::string::npos ? b : line.find(' ', b + 1);
        if (c != std::string::npos && !dev.empty() && line.compare(b + 1, c - b - 1, dev) == 0) {
            return true;
        }
        size_t dash = line.find(" - ");
        if (dash != std::string::npos) {
            size_t src = line.find(' ', dash + 3);
            size_t end = src == std::string::npos ? src : line.find(' ', src + 1);
            if (src != std::string::npos && line.substr(src + 1, end - src - 1) == "/dev/" + Name) {
                return true;
            }
        }
    }
    return false;
}

/* "No permission" text naming the device's group and the capability. */
std::string PermissionText(const char *Path) {
    std::string text = std::string("no permission to open ") + Path + " for writing: ";
    struct stat st;
    if (stat(Path, &st) == 0) {
        struct group *g = getgrgid(st.st_gid);
        if (g != nullptr && st.st_gid != 0) {
            return text + "add the user to group \"" + g->gr_name +
                   "\" (and log in again), or run with CAP_SYS_RAWIO";
        }
    }
    return text + "run as root, or give the user read and write access to it";
}

void Copy(char *Dest, size_t Size, const std::string &Text) {
    snprintf(Dest, Size, "%s", Text.c_str());
}

void CutBlanks(char *Text) {
    size_t n = strlen(Text);
    while (n > 0 && Text[n - 1] == ' ') {
        Text[--n] = 0;
    }
}

} // namespace

struct _HOST_SG_PORT {
    int Fd = -1;
    HOST_SG_IOCTL Ioctl = RealIoctl;
    void *IoctlContext = nullptr;
    std::string Path;
    std::string BlockName;
    HOST_PORT_IDENTITY Identity{};
    sg_scsi_id Address{};
    bool HaveAddress = false;
    PDEVICE_OBJECT Pdo = nullptr;
    HOST_PORT_OPS Ops{};

    std::mutex Lock; /* Frozen, FlushGeneration, Released; one command at a time */
    std::mutex CommandLock;
    bool Frozen = false;
    ULONG FlushGeneration = 0;
    KEVENT Released;
    LONGLONG FrozenTimeout = kDefaultFrozenTimeout;

    /* Waits (without Lock) for a release; true when the queue was flushed or it timed out. */
    bool WaitForRelease(std::unique_lock<std::mutex> &Held) {
        ULONG generation = FlushGeneration;
        LONGLONG deadline = HostClockNow() + FrozenTimeout;
        while (Frozen && generation == FlushGeneration) {
            LONGLONG now = HostClockNow();
            if (now >= deadline) {
                return true;
            }
            Held.unlock();
            LARGE_INTEGER timeout;
            timeout.QuadPart = -(deadline - now);
            (void)KeWaitForSingleObject(&Released, Executive, KernelMode, FALSE, &timeout);
            Held.lock();
        }
        return generation != FlushGeneration;
    }

    void ExecuteScsi(SCSI_REQUEST_BLOCK *Srb);
    void Execute(SCSI_REQUEST_BLOCK *Srb);
};

namespace {

/* SRB status of a transport outcome, or 0 when the transport delivered the command. */
UCHAR HostStatusToSrb(unsigned short HostStatus, unsigned short DriverStatus) {
    switch (HostStatus) {
    case kDidOk:
        return (DriverStatus & 0x0F) == kDriverTimeout ? SRB_STATUS_TIMEOUT : 0;
    case kDidNoConnect:
    case kDidTransportFailfast:
        return SRB_STATUS_SELECTION_TIMEOUT;
    case kDidBadTarget:
        return SRB_STATUS_NO_DEVICE;
    case kDidTimeOut:
        return SRB_STATUS_TIMEOUT;
    case kDidReset:
        return SRB_STATUS_BUS_RESET;
    case kDidAbort:
        return SRB_STATUS_ABORTED;
    case kDidBusBusy:
    case kDidImmRetry:
    case kDidRequeue:
    case kDidTransportDisrupted:
        return SRB_STATUS_BUSY;
    case kDidParity:
        return SRB_STATUS_PARITY_ERROR;
    default:
        return SRB_STATUS_ERROR;
    }
}

UCHAR IoctlErrorToSrb(int Error) {
    switch (Error) {
    case ENODEV:
    case ENXIO:
        return SRB_STATUS_NO_DEVICE;
    case EBUSY:
    case EAGAIN:
        return SRB_STATUS_BUSY;
    default:
        return SRB_STATUS_INVALID_REQUEST;
    }
}

void ExecuteSrbOp(void *Context, SCSI_REQUEST_BLOCK *Srb) {
    static_cast<HOST_SG_PORT *>(Context)->Execute(Srb);
}

NTSTATUS GetAddressOp(void *Context, SCSI_ADDRESS *Address) {
    HOST_SG_PORT *port = static_cast<HOST_SG_PORT *>(Context);
    if (!port->HaveAddress) {
        return STATUS_NOT_SUPPORTED;
    }
    Address->PortNumber = (UCHAR)port->Address.host_no;
    Address->PathId = (UCHAR)port->Address.channel;
    Address->TargetId = (UCHAR)port->Address.scsi_id;
    Address->Lun = (UCHAR)port->Address.lun;
    return STATUS_SUCCESS;
}

void DescribeOp(void *Context, HOST_PORT_IDENTITY *Identity) {
    *Identity = static_cast<HOST_SG_PORT *>(Context)->Identity;
}

/* INQUIRY through the port's seam into Data (96 bytes); returns the bytes moved or -errno. */
int Inquire(HOST_SG_IOCTL Ioctl, void *Context, int Fd, UCHAR *Data, ULONG Length) {
    UCHAR cdb[6] = {0x12, 0, 0, 0, (UCHAR)Length, 0};
    UCHAR sense[32];
    sg_io_hdr_t h;
    memset(&h, 0, sizeof(h));
    h.interface_id = 'S';
    h.dxfer_direction = SG_DXFER_FROM_DEV;
    h.cmd_len = sizeof(cdb);
    h.mx_sb_len = sizeof(sense);
    h.dxfer_len = Length;
    h.dxferp = Data;
    h.cmdp = cdb;
    h.sbp = sense;
    h.timeout = 10000;
    int r = Ioctl(Context, Fd, SG_IO, &h);
    if (r < 0) {
        return r;
    }
    if (h.host_status != 0 || h.status != 0 || (h.driver_status & 0x0F) != 0) {
        return -EIO;
    }
    return (int)Length - std::max(h.resid, 0);
}

void FillIdentity(HOST_PORT_IDENTITY *Id, const UCHAR *Inquiry) {
    memset(Id, 0, sizeof(*Id));
    Id->DeviceType = Inquiry[0] & 0x1F;
    Id->RemovableMedia = (Inquiry[1] & 0x80) ? TRUE : FALSE;
    memcpy(Id->Vendor, Inquiry + 8, sizeof(Id->Vendor));
    memcpy(Id->Product, Inquiry + 16, sizeof(Id->Product));
    memcpy(Id->Revision, Inquiry + 32, sizeof(Id->Revision));
    Id->MaximumTransferLength = kMaximumTransfer;
    Id->MaximumPhysicalPages = kMaximumTransfer / 4096 + 1;
    Id->AlignmentMask = 0;
    Id->BusType = BusTypeScsi;
}

} // namespace

void _HOST_SG_PORT::ExecuteScsi(SCSI_REQUEST_BLOCK *Srb) {
    {
        std::unique_lock<std::mutex> held(Lock);
        if (Frozen && !(Srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE) && WaitForRelease(held)) {
            Srb->SrbStatus = SRB_STATUS_REQUEST_FLUSHED;
            Srb->ScsiStatus = 0;
            Srb->DataTransferLength = 0;
            return;
        }
    }
    UCHAR status;
    UCHAR scsiStatus = 0;
    ULONG requested = Srb->DataTransferLength;
    ULONG transferred = 0;
    bool shortDataIn = false;
    if (Srb->CdbLength == 0 || Srb->CdbLength > 16 || requested > kMaximumTransfer ||
        (requested != 0 && Srb->DataBuffer == nullptr)) {
        status = SRB_STATUS_INVALID_REQUEST;
    } else {
        UCHAR sense[32];
        sg_io_hdr_t h;
        memset(&h, 0, sizeof(h));
        h.interface_id = 'S';
        if (requested == 0) {
            h.dxfer_direction = SG_DXFER_NONE;
        } else if (Srb->SrbFlags & SRB_FLAGS_DATA_IN) {
            h.dxfer_direction = SG_DXFER_FROM_DEV;
        } else {
            h.dxfer_direction = SG_DXFER_TO_DEV;
        }
        h.cmd_len = Srb->CdbLength;
        h.cmdp = Srb->Cdb;
        h.dxfer_len = requested;
        h.dxferp = requested != 0 ? Srb->DataBuffer : nullptr;
        h.mx_sb_len = sizeof(sense);
        h.sbp = sense;
        h.timeout = std::max<ULONG>(Srb->TimeOutValue, 1) * 1000;
        int r;
        {
            std::lock_guard<std::mutex> one(CommandLock);
            r = Ioctl(IoctlContext, Fd, SG_IO, &h);
        }
        if (r < 0) {
            status = IoctlErrorToSrb(-r);
        } else if ((status = HostStatusToSrb(h.host_status, h.driver_status)) != 0) {
            /* the transport's outcome wins over any status byte */
        } else if (h.status != 0) {
            status = SRB_STATUS_ERROR;
            scsiStatus = h.status;
            if (h.status == kCheckCondition && h.sb_len_wr > 0 && Srb->SenseInfoBuffer != nullptr &&
                Srb->SenseInfoBufferLength != 0 && !(Srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE)) {
                UCHAR n = (UCHAR)std::min<ULONG>(h.sb_len_wr, Srb->SenseInfoBufferLength);
                memcpy(Srb->SenseInfoBuffer, sense, n);
                Srb->SenseInfoBufferLength = n;
                status |= SRB_STATUS_AUTOSENSE_VALID;
            }
        } else {
            ULONG resid = h.resid > 0 ? std::min<ULONG>((ULONG)h.resid, requested) : 0;
            transferred = requested - resid;
            status = resid == 0 ? SRB_STATUS_SUCCESS : SRB_STATUS_DATA_OVERRUN;
            shortDataIn = resid != 0 && h.dxfer_direction == SG_DXFER_FROM_DEV;
        }
        if (SRB_STATUS(status) != SRB_STATUS_SUCCESS &&
            SRB_STATUS(status) != SRB_STATUS_DATA_OVERRUN) {
            transferred = 0;
        }
    }
    Srb->ScsiStatus = scsiStatus;
    Srb->DataTransferLength = transferred;
    if (SRB_STATUS(status) != SRB_STATUS_SUCCESS && !shortDataIn &&
        !(Srb->SrbFlags & SRB_FLAGS_NO_QUEUE_FREEZE)) {
        std::lock_guard<std::mutex> held(Lock);
        Frozen = true;
        KeClearEvent(&Released);
        status |= SRB_STATUS_QUEUE_FROZEN;
    }
    Srb->SrbStatus = status;
}

void _HOST_SG_PORT::Execute(SCSI_REQUEST_BLOCK *Srb) {
    switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
        ExecuteScsi(Srb);
        return;
    case SRB_FUNCTION_RELEASE_QUEUE:
    case SRB_FUNCTION_FLUSH_QUEUE: {
        std::lock_guard<std::mutex> held(Lock);
        if (Srb->Function == SRB_FUNCTION_FLUSH_QUEUE) {
            FlushGeneration++;
        }
        Frozen = false;
        KeSetEvent(&Released, IO_NO_INCREMENT, FALSE);
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        return;
    }
    case SRB_FUNCTION_CLAIM_DEVICE:
    case SRB_FUNCTION_RELEASE_DEVICE:
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        return;
    case SRB_FUNCTION_RESET_BUS:
    case SRB_FUNCTION_RESET_DEVICE:
    case SRB_FUNCTION_RESET_LOGICAL_UNIT: {
        int how =
            Srb->Function == SRB_FUNCTION_RESET_BUS ? SG_SCSI_RESET_BUS : SG_SCSI_RESET_DEVICE;
        std::lock_guard<std::mutex> one(CommandLock);
        int r = Ioctl(IoctlContext, Fd, SG_SCSI_RESET, &how);
        Srb->SrbStatus = r == 0 ? SRB_STATUS_SUCCESS : IoctlErrorToSrb(-r);
        return;
    }
    default:
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return;
    }
}

extern "C" {

HOST_SG_PORT *HostSgAttach(int Fd, const char *Name, HOST_SG_IOCTL Ioctl, void *IoctlContext,
                           BOOLEAN AnyType, HOST_SG_OPEN_RESULT *Result) {
    HOST_SG_OPEN_RESULT ignored;
    if (Result == nullptr) {
        Result = &ignored;
    }
    HOST_SG_IOCTL io = Ioctl != nullptr ? Ioctl : RealIoctl;
    UCHAR inquiry[96];
    memset(inquiry, 0, sizeof(inquiry));
    int n = Inquire(io, IoctlContext, Fd, inquiry, sizeof(inquiry));
    if (n < 36) {
        *Result = n == -ENODEV || n == -ENXIO ? HostSgNoDevice : HostSgFailed;
        if (Fd >= 0) {
            close(Fd);
        }
        return nullptr;
    }
    if (!AnyType && (inquiry[0] & 0x1F) != 5) {
        *Result = HostSgNotRecorder;
        if (Fd >= 0) {
            close(Fd);
        }
        return nullptr;
    }
    HOST_SG_PORT *port = new HOST_SG_PORT;
    port->Fd = Fd;
    port->Ioctl = io;
    port->IoctlContext = IoctlContext;
    port->Path = Name != nullptr ? Name : "";
    FillIdentity(&port->Identity, inquiry);
    port->HaveAddress = io(IoctlContext, Fd, SG_GET_SCSI_ID, &port->Address) == 0;
    KeInitializeEvent(&port->Released, NotificationEvent, FALSE);
    port->Ops.Context = port;
    port->Ops.ExecuteSrb = ExecuteSrbOp;
    port->Ops.GetAddress = GetAddressOp;
    port->Ops.Describe = DescribeOp;
    port->Pdo = HostCreatePortDevice(&port->Ops);
    if (port->Pdo == nullptr) {
        *Result = HostSgFailed;
        HostSgClose(port);
        return nullptr;
    }
    *Result = HostSgOpened;
    return port;
}

HOST_SG_PORT *HostSgOpen(const char *Path, HOST_SG_OPEN_RESULT *Result, char *Message,
                         size_t MessageSize) {
    HOST_SG_OPEN_RESULT ignored;
    if (Result == nullptr) {
        Result = &ignored;
    }
    char none[1];
    if (Message == nullptr || MessageSize == 0) {
        Message = none;
        MessageSize = sizeof(none);
    }
    std::string sg = SgName(Path);
    std::string block = BlockNameOf(sg);
    if (IsMounted(block)) {
        *Result = HostSgMounted;
        Copy(Message, MessageSize,
             std::string(Path) + " is mounted as /dev/" + block + ": unmount it first");
        return nullptr;
    }
    int fd = open(Path, O_RDWR | O_EXCL | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == EACCES || e == EPERM) {
            *Result = HostSgNoPermission;
            Copy(Message, MessageSize, PermissionText(Path));
        } else if (e == EBUSY) {
            *Result = HostSgBusy;
            Copy(Message, MessageSize,
                 std::string(Path) + " is in use by another process (it is open exclusively)");
        } else if (e == ENOENT || e == ENODEV || e == ENXIO) {
            *Result = HostSgNoDevice;
            Copy(Message, MessageSize, std::string(Path) + ": no such device");
        } else if (e == EROFS) {
            *Result = HostSgNoPermission;
            Copy(Message, MessageSize, std::string(Path) + " cannot be opened for writing");
        } else {
            *Result = HostSgFailed;
            Copy(Message, MessageSize, std::string("cannot open ") + Path + ": " + strerror(e));
        }
        return nullptr;
    }
    int version = 0;
    if (RealIoctl(nullptr, fd, SG_GET_VERSION_NUM, &version) != 0 || version < 30000) {
        close(fd);
        *Result = HostSgNotSg;
        Copy(Message, MessageSize,
             std::string(Path) + " is not a SCSI generic (sg) device of version 3 or later");
        return nullptr;
    }
    HOST_SG_PORT *port = HostSgAttach(fd, Path, nullptr, nullptr, FALSE, Result);
    if (port == nullptr) {
        if (*Result == HostSgNotRecorder) {
            Copy(Message, MessageSize,
                 std::string(Path) + " is not a CD/DVD recorder (peripheral type is not 5)");
        } else if (*Result == HostSgNoDevice) {
            Copy(Message, MessageSize, std::string(Path) + ": the device is gone");
        } else {
            Copy(Message, MessageSize, std::string(Path) + " does not answer INQUIRY");
        }
        return nullptr;
    }
    port->BlockName = block;
    Message[0] = 0;
    return port;
}

PDEVICE_OBJECT HostSgPdo(HOST_SG_PORT *Port) {
    return Port->Pdo;
}

const char *HostSgPath(HOST_SG_PORT *Port) {
    return Port->Path.c_str();
}

const char *HostSgBlockName(HOST_SG_PORT *Port) {
    return Port->BlockName.c_str();
}

void HostSgSetFrozenQueueTimeout(HOST_SG_PORT *Port, LONGLONG Timeout) {
    std::lock_guard<std::mutex> held(Port->Lock);
    Port->FrozenTimeout = Timeout;
}

void HostSgExecuteSrb(HOST_SG_PORT *Port, SCSI_REQUEST_BLOCK *Srb) {
    HostVerifierCheckPassive("request block sent to the SG_IO port");
    Port->Execute(Srb);
}

void HostSgClose(HOST_SG_PORT *Port) {
    if (Port == nullptr) {
        return;
    }
    if (Port->Pdo != nullptr) {
        HostDeletePortDevice(Port->Pdo);
    }
    if (Port->Fd >= 0) {
        close(Port->Fd);
    }
    delete Port;
}

ULONG HostSgFind(const char *Directory, HOST_SG_FOUND *Found, ULONG Max) {
    DIR *d = opendir(Directory);
    if (d == nullptr) {
        return 0;
    }
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        if (strncmp(e->d_name, "sg", 2) == 0 && e->d_name[2] >= '0' && e->d_name[2] <= '9') {
            names.push_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return a.size() != b.size() ? a.size() < b.size() : a < b;
    });
    ULONG count = 0;
    for (const std::string &name : names) {
        HOST_SG_FOUND f;
        memset(&f, 0, sizeof(f));
        std::string path = std::string(Directory) + "/" + name;
        Copy(f.Path, sizeof(f.Path), path);
        std::string sg = SgName(path.c_str());
        Copy(f.BlockName, sizeof(f.BlockName), BlockNameOf(sg));
        std::string sys = "/sys/class/scsi_generic/" + sg + "/device/";
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        UCHAR inquiry[96];
        memset(inquiry, 0, sizeof(inquiry));
        int n = fd >= 0 ? Inquire(RealIoctl, nullptr, fd, inquiry, sizeof(inquiry)) : -errno;
        if (fd >= 0) {
            close(fd);
        }
        if (n >= 36) {
            f.DeviceType = inquiry[0] & 0x1F;
            memcpy(f.Vendor, inquiry + 8, 8);
            memcpy(f.Product, inquiry + 16, 16);
            memcpy(f.Revision, inquiry + 32, 4);
            f.Problem = HostSgOpened;
        } else {
            std::string type = ReadLine(sys + "type");
            f.DeviceType = type.empty() ? 0x1F : (UCHAR)atoi(type.c_str());
            Copy(f.Vendor, sizeof(f.Vendor), ReadLine(sys + "vendor"));
            Copy(f.Product, sizeof(f.Product), ReadLine(sys + "model"));
            Copy(f.Revision, sizeof(f.Revision), ReadLine(sys + "rev"));
            if (n == -EACCES || n == -EPERM) {
                f.Problem = HostSgNoPermission;
                Copy(f.Message, sizeof(f.Message), PermissionText(path.c_str()));
            } else if (n == -EBUSY) {
                f.Problem = HostSgBusy;
                Copy(f.Message, sizeof(f.Message), path + " is in use by another process");
            } else {
                f.Problem = HostSgFailed;
                Copy(f.Message, sizeof(f.Message), path + " does not answer INQUIRY");
            }
        }
        CutBlanks(f.Vendor);
        CutBlanks(f.Product);
        CutBlanks(f.Revision);
        if (f.DeviceType != 5) {
            continue;
        }
        if (count < Max) {
            Found[count] = f;
        }
        count++;
    }
    return count;
}

} // extern "C"
