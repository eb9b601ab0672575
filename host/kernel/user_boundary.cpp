/*
 * user_boundary.cpp - the user/kernel boundary of the host stand-in: application memory
 * regions below 2 GiB and the probes that check addresses against them, and the application
 * side of the I/O manager (open a device through its interface, close it, send control
 * requests with the platform's buffering methods).
 */
#include "io_private.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>

namespace {

struct Region {
    size_t Size;
    size_t MappedSize;
    bool Writable;
    bool Valid;
};

constexpr uint32_t kHandleMagic = 0x41707048; /* "AppH" */

struct AppHandle {
    uint32_t Magic;
    PDEVICE_OBJECT Top;
    FILE_OBJECT File;
    std::string Link;
};

std::mutex gRegionLock;
std::map<uintptr_t, Region> gRegions;
std::mutex gHandleLock;
std::vector<AppHandle *> gHandles;

/*
 * Application memory a driver probed for writing while it served a control request of this
 * thread, with its contents at the first probe: after the request the verifier looks there
 * for fresh pool, as it does in the returned system buffer. Only the first kProbedSnapshotLimit
 * bytes of a range are watched.
 */
struct ProbedRange {
    uintptr_t Start;
    std::vector<uint8_t> Before;
};
constexpr size_t kProbedSnapshotLimit = 16u << 20;
thread_local std::vector<ProbedRange> *tProbedRanges = nullptr;

void RememberProbedRange(uintptr_t Start, SIZE_T Length) {
    if (tProbedRanges == nullptr) {
        return;
    }
    size_t watched = Length < kProbedSnapshotLimit ? Length : kProbedSnapshotLimit;
    for (const ProbedRange &range : *tProbedRanges) {
        if (range.Start == Start && range.Before.size() >= watched) {
            return;
        }
    }
    const auto *bytes = reinterpret_cast<const uint8_t *>(Start);
    tProbedRanges->push_back(ProbedRange{Start, std::vector<uint8_t>(bytes, bytes + watched)});
}

AppHandle *Lookup(HANDLE Handle) {
    std::lock_guard<std::mutex> guard(gHandleLock);
    for (AppHandle *handle : gHandles) {
        if (handle == Handle && handle->Magic == kHandleMagic) {
            return handle;
        }
    }
    return nullptr;
}

/* Region containing Address (valid or not), or end(). */
std::map<uintptr_t, Region>::iterator FindRegion(uintptr_t Address) {
    auto it = gRegions.upper_bound(Address);
    if (it == gRegions.begin()) {
        return gRegions.end();
    }
    --it;
    if (Address >= it->first && Address < it->first + it->second.MappedSize) {
        return it;
    }
    return gRegions.end();
}

[[noreturn]] void ApplicationError(const char *Text, const void *Address) {
    fprintf(stderr, "HOST APPLICATION ERROR: %s (%p)\n", Text, Address);
    abort();
}

void Probe(const volatile void *Address, SIZE_T Length, ULONG Alignment, bool ForWrite) {
    HostVerifierCheckIrql(ForWrite ? "ProbeForWrite" : "ProbeForRead", APC_LEVEL);
    if (Length == 0) {
        return;
    }
    uintptr_t start = (uintptr_t)Address;
    if (Alignment != 0 && (start & (Alignment - 1)) != 0) {
        ExRaiseStatus(STATUS_DATATYPE_MISALIGNMENT);
    }
    if (start + Length < start || hostio::ClassifyUserRange((const void *)start, Length,
                                                            ForWrite) != hostio::UserRange::Valid) {
        ExRaiseStatus(STATUS_ACCESS_VIOLATION);
    }
    if (ForWrite) {
        RememberProbedRange(start, Length);
    }
}

/* Sends an application request to Device and waits for its completion; frees nothing. */
NTSTATUS SendAndWait(PDEVICE_OBJECT Device, PIRP Irp, IO_STATUS_BLOCK *IoStatus) {
    HostThreadScope scope("application");
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoStatus->Status = STATUS_PENDING;
    IoStatus->Information = 0;
    Irp->UserEvent = &done;
    Irp->UserIosb = IoStatus;
    NTSTATUS status = IofCallDriver(Device, Irp);
    if (status == STATUS_PENDING) {
        (void)KeWaitForSingleObject(&done, Executive, UserMode, FALSE, NULL);
        return IoStatus->Status;
    }
    if (KeReadStateEvent(&done) == 0) {
        HostVerifierStop("dispatch routine of device %p returned 0x%08X for IRP %p without "
                         "completing it and without STATUS_PENDING",
                         (void *)Device, (unsigned)status, (void *)Irp);
        (void)KeWaitForSingleObject(&done, Executive, UserMode, FALSE, NULL);
    }
    return status;
}

PIRP BuildApplicationIrp(AppHandle *Handle, UCHAR MajorFunction) {
    PIRP irp = IoAllocateIrp(Handle->Top->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    hostio::SetIrpKind(irp, hostio::IrpKind::Application);
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &Handle->File;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = MajorFunction;
    next->FileObject = &Handle->File;
    return irp;
}

NTSTATUS OpenLink(const std::string &Link, HANDLE *Handle) {
    *Handle = nullptr;
    PDEVICE_OBJECT pdo = HostDeviceInterfacePdo(Link.c_str());
    if (pdo == nullptr || !HostDeviceInterfaceEnabled(Link.c_str())) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto *handle = new AppHandle();
    handle->Magic = kHandleMagic;
    handle->Link = Link;
    handle->Top = IoGetAttachedDeviceReference(pdo);
    handle->File.Type = 5;
    handle->File.Size = (SHORT)sizeof(FILE_OBJECT);
    handle->File.DeviceObject = handle->Top;
    handle->File.ReadAccess = TRUE;
    handle->File.WriteAccess = TRUE;
    PIRP irp = BuildApplicationIrp(handle, IRP_MJ_CREATE);
    if (irp == nullptr) {
        ObfDereferenceObject(handle->Top);
        delete handle;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = SendAndWait(handle->Top, irp, &iosb);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status)) {
        ObfDereferenceObject(handle->Top);
        delete handle;
        return status;
    }
    {
        std::lock_guard<std::mutex> guard(gHandleLock);
        gHandles.push_back(handle);
    }
    *Handle = handle;
    return status;
}

/* A run of four fresh-pool bytes in what the driver returned that the application did not
 * send itself: returned bytes over the copied input count as well, unless the input carried
 * the fill at that place. */
bool CarriesFreshPool(const uint8_t *Buffer, const uint8_t *Input, ULONG InputLength, ULONG To) {
    ULONG run = 0;
    for (ULONG i = 0; i < To; i++) {
        bool sent = Input != nullptr && i < InputLength && Input[i] == HOST_POOL_FRESH_FILL;
        run = Buffer[i] == HOST_POOL_FRESH_FILL && !sent ? run + 1 : 0;
        if (run >= 4) {
            return true;
        }
    }
    return false;
}

} // namespace

namespace hostio {

UserRange ClassifyUserRange(const void *Address, size_t Length, bool ForWrite) {
    std::lock_guard<std::mutex> guard(gRegionLock);
    uintptr_t start = (uintptr_t)Address;
    auto it = FindRegion(start);
    if (it == gRegions.end()) {
        return UserRange::NotUser;
    }
    const Region &region = it->second;
    if (!region.Valid || start + Length < start || start + Length > it->first + region.Size ||
        (ForWrite && !region.Writable)) {
        return UserRange::Invalid;
    }
    return UserRange::Valid;
}

} // namespace hostio

extern "C" {

VOID NTAPI ProbeForRead(const volatile VOID *Address, SIZE_T Length, ULONG Alignment) {
    Probe(Address, Length, Alignment, false);
}

VOID NTAPI ProbeForWrite(volatile VOID *Address, SIZE_T Length, ULONG Alignment) {
    Probe(Address, Length, Alignment, true);
}

} // extern "C"

void *HostUserAlloc(size_t Size, BOOLEAN Writable) {
    size_t mapped = (Size + PAGE_SIZE - 1) & ~(size_t)(PAGE_SIZE - 1);
    if (mapped == 0) {
        mapped = PAGE_SIZE;
    }
    void *p = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT,
                   -1, 0);
    if (p == MAP_FAILED) {
        return nullptr;
    }
    if ((uintptr_t)p + mapped > 0x80000000ULL) {
        munmap(p, mapped);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(gRegionLock);
    gRegions[(uintptr_t)p] = Region{Size, mapped, Writable != FALSE, true};
    return p;
}

void HostUserFree(void *Address) {
    size_t mapped = 0;
    {
        std::lock_guard<std::mutex> guard(gRegionLock);
        auto it = gRegions.find((uintptr_t)Address);
        if (it == gRegions.end()) {
            ApplicationError("HostUserFree of an address that is no region start", Address);
        }
        mapped = it->second.MappedSize;
        gRegions.erase(it);
    }
    munmap(Address, mapped);
}

void HostUserInvalidate(void *Address) {
    std::lock_guard<std::mutex> guard(gRegionLock);
    auto it = FindRegion((uintptr_t)Address);
    if (it == gRegions.end()) {
        ApplicationError("HostUserInvalidate of an address in no region", Address);
    }
    it->second.Valid = false;
}

void HostUserSetWritable(void *Address, BOOLEAN Writable) {
    std::lock_guard<std::mutex> guard(gRegionLock);
    auto it = FindRegion((uintptr_t)Address);
    if (it == gRegions.end()) {
        ApplicationError("HostUserSetWritable of an address in no region", Address);
    }
    it->second.Writable = Writable != FALSE;
}

uint32_t HostUserAddress(const void *Address) {
    if ((uintptr_t)Address > 0xFFFFFFFFULL) {
        ApplicationError("an address that does not fit 32 bits handed to the driver as one",
                         Address);
    }
    return (uint32_t)(uintptr_t)Address;
}

void *HostUserPointer(uint32_t Address) {
    return (void *)(uintptr_t)Address;
}

BOOLEAN HostUserRangeValid(const void *Address, size_t Length, BOOLEAN ForWrite) {
    return hostio::ClassifyUserRange(Address, Length, ForWrite != FALSE) ==
           hostio::UserRange::Valid;
}

NTSTATUS HostOpenDevice(const GUID *Class, ULONG Index, HANDLE *Handle) {
    char link[512];
    if (Handle == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Handle = nullptr;
    if (!HostDeviceInterfaceLink(Class, Index, link, sizeof(link))) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    return OpenLink(link, Handle);
}

NTSTATUS HostOpenDeviceByLink(const char *Link, HANDLE *Handle) {
    if (Handle == nullptr || Link == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return OpenLink(Link, Handle);
}

NTSTATUS HostCloseDevice(HANDLE Handle) {
    AppHandle *handle = Lookup(Handle);
    if (handle == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    {
        std::lock_guard<std::mutex> guard(gHandleLock);
        for (size_t i = 0; i < gHandles.size(); i++) {
            if (gHandles[i] == handle) {
                gHandles.erase(gHandles.begin() + (long)i);
                break;
            }
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    /* Cleanup first (its status does not matter; a driver without a cleanup routine answers
     * STATUS_INVALID_DEVICE_REQUEST), then close. */
    PIRP cleanup = BuildApplicationIrp(handle, IRP_MJ_CLEANUP);
    if (cleanup != nullptr) {
        IO_STATUS_BLOCK iosb;
        (void)SendAndWait(handle->Top, cleanup, &iosb);
        IoFreeIrp(cleanup);
    }
    PIRP irp = BuildApplicationIrp(handle, IRP_MJ_CLOSE);
    if (irp != nullptr) {
        IO_STATUS_BLOCK iosb;
        status = SendAndWait(handle->Top, irp, &iosb);
        IoFreeIrp(irp);
    } else {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    ObfDereferenceObject(handle->Top);
    handle->Magic = 0;
    delete handle;
    return status;
}

PDEVICE_OBJECT HostDeviceOfHandle(HANDLE Handle) {
    AppHandle *handle = Lookup(Handle);
    return handle != nullptr ? handle->Top : nullptr;
}

LONG HostOpenDeviceHandleCount(void) {
    std::lock_guard<std::mutex> guard(gHandleLock);
    return (LONG)gHandles.size();
}

NTSTATUS HostDeviceIoControl(HANDLE Handle, ULONG IoControlCode, const void *InputBuffer,
                             ULONG InputBufferLength, void *OutputBuffer, ULONG OutputBufferLength,
                             ULONG *BytesReturned) {
    if (BytesReturned != nullptr) {
        *BytesReturned = 0;
    }
    AppHandle *handle = Lookup(Handle);
    if (handle == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if ((InputBuffer == nullptr && InputBufferLength != 0) ||
        (OutputBuffer == nullptr && OutputBufferLength != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    /* The I/O manager probes the caller's buffers as it captures them. */
    if ((InputBufferLength > 0 && hostio::ClassifyUserRange(InputBuffer, InputBufferLength,
                                                            false) == hostio::UserRange::Invalid) ||
        (OutputBufferLength > 0 && hostio::ClassifyUserRange(OutputBuffer, OutputBufferLength,
                                                             true) == hostio::UserRange::Invalid)) {
        return STATUS_ACCESS_VIOLATION;
    }
    PIRP irp = BuildApplicationIrp(handle, IRP_MJ_DEVICE_CONTROL);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    PVOID systemBuffer = nullptr;
    ULONG systemLength = 0;
    if (method == METHOD_BUFFERED) {
        systemLength =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    } else if (method != METHOD_NEITHER) {
        systemLength = InputBufferLength;
    }
    if (systemLength > 0) {
        systemBuffer = ExAllocatePoolWithTag(NonPagedPool, systemLength, HostPoolTag("IoSb"));
        if (systemBuffer == nullptr) {
            IoFreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (InputBufferLength > 0) {
            memcpy(systemBuffer, InputBuffer, InputBufferLength);
        }
        irp->AssociatedIrp.SystemBuffer = systemBuffer;
        irp->Flags |= IRP_BUFFERED_IO;
    }
    if ((method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) && OutputBufferLength > 0) {
        if (IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp) == nullptr) {
            ExFreePool(systemBuffer);
            IoFreeIrp(irp);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void *>(InputBuffer);
    }
    irp->UserBuffer = OutputBuffer;

    IO_STATUS_BLOCK iosb;
    std::vector<ProbedRange> probed;
    std::vector<ProbedRange> *outerProbed = tProbedRanges;
    tProbedRanges = &probed;
    NTSTATUS status = SendAndWait(handle->Top, irp, &iosb);
    tProbedRanges = outerProbed;
    /* What the driver wrote to application memory it probed (a pass-through's data buffer). */
    for (const ProbedRange &range : probed) {
        const auto *now = reinterpret_cast<const uint8_t *>(range.Start);
        const ULONG length = (ULONG)range.Before.size();
        if (hostio::ClassifyUserRange(now, length, false) == hostio::UserRange::Valid &&
            CarriesFreshPool(now, range.Before.data(), length, length)) {
            HostVerifierStop("DeviceIoControl 0x%08X on device %p: the application's buffer at "
                             "%p written by the driver carries the fresh-pool pattern "
                             "(uninitialized kernel memory handed out)",
                             (unsigned)IoControlCode, (void *)handle->Top, (const void *)now);
        }
    }
    ULONG_PTR information = iosb.Information;
    if (information > OutputBufferLength && method != METHOD_NEITHER) {
        HostVerifierStop("DeviceIoControl 0x%08X on device %p: Information %lu is larger than "
                         "the output buffer (%lu bytes)",
                         (unsigned)IoControlCode, (void *)handle->Top, (unsigned long)information,
                         (unsigned long)OutputBufferLength);
        information = OutputBufferLength;
    }
    if (method == METHOD_BUFFERED && !NT_ERROR(iosb.Status) && information > 0) {
        const auto *bytes = static_cast<const uint8_t *>(systemBuffer);
        if (CarriesFreshPool(bytes, static_cast<const uint8_t *>(InputBuffer), InputBufferLength,
                             (ULONG)information)) {
            HostVerifierStop("DeviceIoControl 0x%08X on device %p: returned bytes still carry the "
                             "fresh-pool pattern (uninitialized kernel memory handed out)",
                             (unsigned)IoControlCode, (void *)handle->Top);
        }
        memcpy(OutputBuffer, systemBuffer, information);
    }
    if (systemBuffer != nullptr) {
        ExFreePool(systemBuffer);
    }
    PMDL mdl = irp->MdlAddress;
    irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        PMDL nextMdl = mdl->Next;
        IoFreeMdl(mdl);
        mdl = nextMdl;
    }
    IoFreeIrp(irp);
    if (BytesReturned != nullptr) {
        *BytesReturned = (ULONG)information;
    }
    return status;
}
