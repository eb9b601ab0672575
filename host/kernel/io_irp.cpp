/*
 * io_irp.cpp - I/O request packets of the host stand-in: allocation, MDLs, IofCallDriver,
 * IofCompleteRequest with completion routines, IoBuildDeviceIoControlRequest, and the
 * verifier's checks on requests (a request completed twice, STATUS_PENDING returned without
 * IoMarkIrpPending, requests still outstanding).
 */
#include "io_private.h"

#include <deque>
#include <stdlib.h>

namespace {

constexpr uint32_t kIrpLive = 0x49727021;  /* "Irp!" */
constexpr uint32_t kIrpFreed = 0x49727046; /* "IrpF" */
constexpr uint32_t kMdlLive = 0x4D646C21;  /* "Mdl!" */
constexpr uint32_t kMdlFreed = 0x4D646C46; /* "MdlF" */
constexpr size_t kQuarantine = 512;

struct HostIrp {
    uint32_t Magic;
    hostio::IrpKind Kind;
    bool Completing;
    bool CopyOut;           /* threaded buffered request: copy the system buffer out */
    PVOID UserOutput;       /* caller's output buffer of a threaded request */
    ULONG UserOutputLength; /* its length */
    IRP Irp;
    IO_STACK_LOCATION Stack[1];
};

struct HostMdl {
    uint32_t Magic;
    MDL Mdl;
};

/* A dispatch routine running for an IRP at one stack location (for the pending check). */
struct CallFrame {
    PIRP Irp;
    CHAR Location;
    bool Recorded;
    bool Marked;
};

/* A location whose dispatch returned STATUS_PENDING before the packet reached it on the way
 * up: it must be marked pending by the time completion unwinds it. */
struct PendingClaim {
    PIRP Irp;
    CHAR Location;
    PDEVICE_OBJECT Device;
    UCHAR Major;
};

std::mutex gIrpLock;
std::vector<CallFrame *> gFrames;
std::vector<PendingClaim> gClaims;
/* Never destroyed: the freed packets it keeps stay reachable until the process ends. */
std::deque<void *> &gQuarantine = *new std::deque<void *>();
std::atomic<long> gIrpsOutstanding{0};
std::atomic<long> gMdlsOutstanding{0};

HostIrp *HostIrpOf(PIRP Irp) {
    return CONTAINING_RECORD(Irp, HostIrp, Irp);
}

/* Keeps freed packets mapped a while so a late use is seen as such, not as a crash. */
void Quarantine(void *Block) {
    void *victim = nullptr;
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        gQuarantine.push_back(Block);
        if (gQuarantine.size() > kQuarantine) {
            victim = gQuarantine.front();
            gQuarantine.pop_front();
        }
    }
    free(victim);
}

HostIrp *CheckedIrp(PIRP Irp, const char *What) {
    if (Irp == nullptr) {
        HostVerifierStop("%s: NULL IRP", What);
        return nullptr;
    }
    HostIrp *host = HostIrpOf(Irp);
    if (host->Magic == kIrpFreed) {
        HostVerifierStop("%s: IRP %p used after it was freed (completed twice or freed twice)",
                         What, (void *)Irp);
        return nullptr;
    }
    if (host->Magic != kIrpLive) {
        HostVerifierStop("%s: %p is not an IRP of the I/O manager", What, (void *)Irp);
        return nullptr;
    }
    return host;
}

void ReportUnmarked(PDEVICE_OBJECT Device, UCHAR Major, PIRP Irp) {
    HostVerifierStop("IofCallDriver: dispatch routine of device %p (major 0x%02X) returned "
                     "STATUS_PENDING for IRP %p without IoMarkIrpPending",
                     (void *)Device, (unsigned)Major, (void *)Irp);
}

void RecordPendingMark(PIRP Irp, CHAR Location, UCHAR Control) {
    bool marked = (Control & SL_PENDING_RETURNED) != 0;
    PendingClaim unmarked{nullptr, 0, nullptr, 0};
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        for (CallFrame *frame : gFrames) {
            if (frame->Irp == Irp && frame->Location == Location && !frame->Recorded) {
                frame->Recorded = true;
                frame->Marked = marked;
            }
        }
        for (size_t i = 0; i < gClaims.size(); i++) {
            if (gClaims[i].Irp == Irp && gClaims[i].Location == Location) {
                if (!marked) {
                    unmarked = gClaims[i];
                }
                gClaims.erase(gClaims.begin() + (long)i);
                break;
            }
        }
    }
    if (unmarked.Irp != nullptr) {
        ReportUnmarked(unmarked.Device, unmarked.Major, unmarked.Irp);
    }
}

void ForgetClaims(PIRP Irp) {
    std::lock_guard<std::mutex> guard(gIrpLock);
    for (size_t i = gClaims.size(); i-- > 0;) {
        if (gClaims[i].Irp == Irp) {
            gClaims.erase(gClaims.begin() + (long)i);
        }
    }
}

void FreeMdlChain(PIRP Irp) {
    PMDL mdl = Irp->MdlAddress;
    Irp->MdlAddress = nullptr;
    while (mdl != nullptr) {
        PMDL next = mdl->Next;
        IoFreeMdl(mdl);
        mdl = next;
    }
}

} // namespace

namespace hostio {

void SetIrpKind(PIRP Irp, IrpKind Kind) {
    HostIrpOf(Irp)->Kind = Kind;
}

bool IrpIsApplicationRequest(PIRP Irp) {
    return HostIrpOf(Irp)->Kind == IrpKind::Application;
}

} // namespace hostio

extern "C" {

USHORT NTAPI IoSizeOfIrp(CCHAR StackSize) {
    return (USHORT)(sizeof(IRP) + (size_t)(UCHAR)StackSize * sizeof(IO_STACK_LOCATION));
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&Irp->ThreadListEntry);
    Irp->Tail.Overlay.CurrentStackLocation = HostIrpOf(Irp)->Stack + (UCHAR)StackSize;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultIrpAllocation, &injected)) {
        return nullptr;
    }
    if (StackSize < 1) {
        HostVerifierStop("IoAllocateIrp: stack size %d", (int)StackSize);
        StackSize = 1;
    }
    size_t size = offsetof(HostIrp, Stack) + (size_t)(UCHAR)StackSize * sizeof(IO_STACK_LOCATION);
    auto *host = static_cast<HostIrp *>(calloc(1, size));
    if (host == nullptr) {
        return nullptr;
    }
    host->Magic = kIrpLive;
    host->Kind = hostio::IrpKind::Driver;
    PIRP irp = &host->Irp;
    irp->Size = IoSizeOfIrp(StackSize);
    irp->StackCount = StackSize;
    irp->CurrentLocation = (CHAR)(StackSize + 1);
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = host->Stack + (UCHAR)StackSize;
    irp->Tail.Overlay.Thread = PsGetCurrentThread();
    irp->RequestorMode = KernelMode;
    gIrpsOutstanding++;
    return irp;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
    HostIrp *host = CheckedIrp(Irp, "IoFreeIrp");
    if (host == nullptr) {
        return;
    }
    ForgetClaims(Irp);
    host->Magic = kIrpFreed;
    gIrpsOutstanding--;
    Quarantine(host);
}

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                         BOOLEAN ChargeQuota, PIRP Irp) {
    UNREFERENCED_PARAMETER(ChargeQuota);
    auto *host = static_cast<HostMdl *>(calloc(1, sizeof(HostMdl)));
    if (host == nullptr) {
        return nullptr;
    }
    host->Magic = kMdlLive;
    PMDL mdl = &host->Mdl;
    ULONG_PTR va = (ULONG_PTR)VirtualAddress;
    mdl->Size = (SHORT)sizeof(MDL);
    mdl->StartVa = (PVOID)(va & ~(ULONG_PTR)(PAGE_SIZE - 1));
    mdl->ByteOffset = (ULONG)(va & (PAGE_SIZE - 1));
    mdl->ByteCount = Length;
    mdl->MappedSystemVa = VirtualAddress;
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr) {
                last = last->Next;
            }
            last->Next = mdl;
        }
    }
    gMdlsOutstanding++;
    return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
    if (Mdl == nullptr) {
        HostVerifierStop("IoFreeMdl: NULL MDL");
        return;
    }
    HostMdl *host = CONTAINING_RECORD(Mdl, HostMdl, Mdl);
    if (host->Magic == kMdlFreed) {
        HostVerifierStop("IoFreeMdl: MDL %p freed twice", (void *)Mdl);
        return;
    }
    if (host->Magic != kMdlLive) {
        HostVerifierStop("IoFreeMdl: %p is not an MDL of the I/O manager", (void *)Mdl);
        return;
    }
    host->Magic = kMdlFreed;
    gMdlsOutstanding--;
    Quarantine(host);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    HostVerifierCheckIrql("IofCallDriver", DISPATCH_LEVEL);
    HostIrp *host = CheckedIrp(Irp, "IofCallDriver");
    if (host == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceObject == nullptr) {
        HostVerifierStop("IofCallDriver: NULL device object for IRP %p", (void *)Irp);
        return STATUS_INVALID_PARAMETER;
    }
    if (host->Completing) {
        HostVerifierStop("IofCallDriver: IRP %p sent on after it was completed", (void *)Irp);
    }
    if (Irp->CurrentLocation <= 1) {
        HostVerifierStop("IofCallDriver: no more stack locations in IRP %p (stack count %d) "
                         "for device %p",
                         (void *)Irp, (int)Irp->StackCount, (void *)DeviceObject);
        return STATUS_INVALID_PARAMETER;
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = DeviceObject;
    stack->Control &= (UCHAR)~SL_PENDING_RETURNED;

    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch =
        (driver != nullptr && stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION)
            ? driver->MajorFunction[stack->MajorFunction]
            : nullptr;
    if (dispatch == nullptr) {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    UCHAR major = stack->MajorFunction;
    CallFrame frame{Irp, Irp->CurrentLocation, false, false};
    {
        std::lock_guard<std::mutex> guard(gIrpLock);
        gFrames.push_back(&frame);
    }
    struct FrameRemover {
        CallFrame *Frame;
        ~FrameRemover() {
            std::lock_guard<std::mutex> guard(gIrpLock);
            for (size_t i = 0; i < gFrames.size(); i++) {
                if (gFrames[i] == Frame) {
                    gFrames.erase(gFrames.begin() + (long)i);
                    break;
                }
            }
        }
    } remover{&frame};

    NTSTATUS status = dispatch(DeviceObject, Irp);

    if (status == STATUS_PENDING) {
        /* Marked now, or (for a request passed down whose completion routine propagates the
         * pending state) marked by the time completion unwinds this location. */
        bool unmarked = false;
        {
            std::lock_guard<std::mutex> guard(gIrpLock);
            if (frame.Recorded) {
                unmarked = !frame.Marked;
            } else if ((__atomic_load_n(&stack->Control, __ATOMIC_SEQ_CST) & SL_PENDING_RETURNED) ==
                       0) {
                gClaims.push_back(PendingClaim{Irp, frame.Location, DeviceObject, major});
            }
        }
        if (unmarked) {
            ReportUnmarked(DeviceObject, major, Irp);
        }
    }
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    UNREFERENCED_PARAMETER(PriorityBoost);
    HostVerifierCheckIrql("IofCompleteRequest", DISPATCH_LEVEL);
    HostIrp *host = CheckedIrp(Irp, "IofCompleteRequest");
    if (host == nullptr) {
        return;
    }
    if (host->Completing) {
        HostVerifierStop("IofCompleteRequest: IRP %p completed twice", (void *)Irp);
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        HostVerifierStop("IofCompleteRequest: IRP %p completed with STATUS_PENDING", (void *)Irp);
    }
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        HostVerifierStop("IofCompleteRequest: IRP %p has a corrupt stack location", (void *)Irp);
        return;
    }
    host->Completing = true;

    /* Unwind the stack locations from the current one up, calling completion routines. */
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        UCHAR control = __atomic_load_n(&stack->Control, __ATOMIC_SEQ_CST);
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        RecordPendingMark(Irp, Irp->CurrentLocation, control);
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;

        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;

        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke =
            routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                   (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                   (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount
                                        ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                        : nullptr;
            NTSTATUS result = routine(device, Irp, context);
            if (result == STATUS_MORE_PROCESSING_REQUIRED) {
                /* The routine owns the packet again: it may complete or free it later. */
                CheckedIrp(Irp, "IofCompleteRequest")->Completing = false;
                return;
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    /* Final completion, as the I/O manager does it for the packet's kind. */
    switch (host->Kind) {
    case hostio::IrpKind::Threaded: {
        if (host->CopyOut && !NT_ERROR(Irp->IoStatus.Status)) {
            ULONG_PTR info = Irp->IoStatus.Information;
            if (info > host->UserOutputLength) {
                HostVerifierStop("IofCompleteRequest: IRP %p returns Information %lu larger than "
                                 "the output buffer (%lu bytes)",
                                 (void *)Irp, (unsigned long)info,
                                 (unsigned long)host->UserOutputLength);
                info = host->UserOutputLength;
            }
            if (info > 0 && host->UserOutput != nullptr) {
                memcpy(host->UserOutput, Irp->AssociatedIrp.SystemBuffer, info);
            }
        }
        if ((Irp->Flags & IRP_DEALLOCATE_BUFFER) && Irp->AssociatedIrp.SystemBuffer != nullptr) {
            ExFreePool(Irp->AssociatedIrp.SystemBuffer);
            Irp->AssociatedIrp.SystemBuffer = nullptr;
        }
        FreeMdlChain(Irp);
        PIO_STATUS_BLOCK iosb = Irp->UserIosb;
        PKEVENT event = Irp->UserEvent;
        IO_STATUS_BLOCK status = Irp->IoStatus;
        IoFreeIrp(Irp);
        if (iosb != nullptr) {
            *iosb = status;
        }
        if (event != nullptr) {
            KeSetEvent(event, 0, FALSE);
        }
        break;
    }
    case hostio::IrpKind::Application:
    case hostio::IrpKind::Driver: {
        PIO_STATUS_BLOCK iosb = Irp->UserIosb;
        PKEVENT event = Irp->UserEvent;
        if (iosb != nullptr) {
            *iosb = Irp->IoStatus;
        }
        if (event != nullptr) {
            KeSetEvent(event, 0, FALSE);
        }
        break;
    }
    }
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                         PVOID InputBuffer, ULONG InputBufferLength,
                                         PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    HostVerifierCheckPassive("IoBuildDeviceIoControlRequest");
    if (DeviceObject == nullptr) {
        HostVerifierStop("IoBuildDeviceIoControlRequest: NULL device object");
        return nullptr;
    }
    PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    HostIrp *host = HostIrpOf(irp);
    host->Kind = hostio::IrpKind::Threaded;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction =
        InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        ULONG size =
            InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size > 0) {
            PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, size, HostPoolTag("IoSb"));
            if (buffer == nullptr) {
                IoFreeIrp(irp);
                return nullptr;
            }
            if (InputBuffer != nullptr && InputBufferLength > 0) {
                memcpy(buffer, InputBuffer, InputBufferLength);
            }
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer != nullptr && OutputBufferLength > 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                host->CopyOut = true;
                host->UserOutput = OutputBuffer;
                host->UserOutputLength = OutputBufferLength;
            }
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT: {
        if (InputBuffer != nullptr && InputBufferLength > 0) {
            PVOID buffer =
                ExAllocatePoolWithTag(NonPagedPool, InputBufferLength, HostPoolTag("IoSb"));
            if (buffer == nullptr) {
                IoFreeIrp(irp);
                return nullptr;
            }
            memcpy(buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        }
        if (OutputBuffer != nullptr && OutputBufferLength > 0) {
            /* Locking the pages of the buffer: raises when that cannot be done. */
            NTSTATUS lockStatus = STATUS_SUCCESS;
            bool fail = HostFaultShouldFail(HostFaultLockPages, &lockStatus);
            if (!fail &&
                hostio::ClassifyUserRange(OutputBuffer, OutputBufferLength,
                                          METHOD_FROM_CTL_CODE(IoControlCode) ==
                                              METHOD_OUT_DIRECT) == hostio::UserRange::Invalid) {
                fail = true;
                lockStatus = STATUS_ACCESS_VIOLATION;
            }
            PMDL mdl =
                fail ? nullptr : IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                if (irp->AssociatedIrp.SystemBuffer != nullptr) {
                    ExFreePool(irp->AssociatedIrp.SystemBuffer);
                }
                IoFreeIrp(irp);
                ExRaiseStatus(fail ? (lockStatus != 0 ? lockStatus : STATUS_INSUFFICIENT_RESOURCES)
                                   : STATUS_INSUFFICIENT_RESOURCES);
            }
        }
        irp->UserBuffer = OutputBuffer;
        break;
    }
    case METHOD_NEITHER:
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    }
    return irp;
}

} // extern "C"

LONG HostOutstandingIrpCount(void) {
    return (LONG)gIrpsOutstanding.load();
}

LONG HostOutstandingMdlCount(void) {
    return (LONG)gMdlsOutstanding.load();
}
