/*
 * simrecorder.cpp - the simulated MMC recorder's request blocks: autosense, the frozen queue,
 * resets and unit attentions, the fault script and the command log, and the host set-up API.
 * The medium and the write path are in sim_medium.cpp, the MMC commands in sim_mmc.cpp; the
 * behaviour is described in standin/simrecorder.h and host/port/README.md.
 */
#include "sim_model.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

using namespace sim;

namespace sim {

Outcome Good(ULONG Transferred) {
    Outcome o;
    o.Transferred = Transferred;
    return o;
}

Outcome CheckCondition(UCHAR Key, UCHAR Asc, UCHAR Ascq) {
    Outcome o;
    o.SrbStatus = SRB_STATUS_ERROR;
    o.ScsiStatus = SCSISTAT_CHECK_CONDITION;
    o.SenseKey = Key;
    o.Asc = Asc;
    o.Ascq = Ascq;
    o.Freeze = true;
    return o;
}

Outcome Failed(UCHAR SrbStatus) {
    Outcome o;
    o.SrbStatus = SrbStatus;
    o.Freeze = true;
    return o;
}

Outcome ReplyData(SCSI_REQUEST_BLOCK *Srb, const void *Data, ULONG Length, ULONG Allocation) {
    ULONG n = std::min<ULONG>({Length, Allocation, Srb->DataTransferLength});
    if (Srb->DataBuffer == nullptr) {
        n = 0;
    }
    if (n != 0) {
        memcpy(Srb->DataBuffer, Data, n);
    }
    Outcome o = Good(n);
    if (n != (Srb->DataBuffer ? Srb->DataTransferLength : 0)) {
        o.SrbStatus = SRB_STATUS_DATA_OVERRUN;
    }
    return o;
}

ULONG Be32(const UCHAR *p) {
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | p[3];
}
ULONG Be24(const UCHAR *p) {
    return ((ULONG)p[0] << 16) | ((ULONG)p[1] << 8) | p[2];
}
ULONG Be16(const UCHAR *p) {
    return ((ULONG)p[0] << 8) | p[1];
}
void PutBe32(UCHAR *p, ULONG v) {
    p[0] = (UCHAR)(v >> 24);
    p[1] = (UCHAR)(v >> 16);
    p[2] = (UCHAR)(v >> 8);
    p[3] = (UCHAR)v;
}
void PutBe16(UCHAR *p, ULONG v) {
    p[0] = (UCHAR)(v >> 8);
    p[1] = (UCHAR)v;
}
void PutMsf(UCHAR *p, LONG Lba) {
    LONG frames = Lba + 150;
    if (frames < 0) {
        frames += 450000; /* lead-in addresses count back from 100:00:00 */
    }
    p[0] = 0;
    p[1] = (UCHAR)(frames / 4500);
    p[2] = (UCHAR)(frames / 75 % 60);
    p[3] = (UCHAR)(frames % 75);
}
LONG MsfToLba(UCHAR M, UCHAR S, UCHAR F) {
    return ((LONG)M * 60 + S) * 75 + F - 150;
}

} // namespace sim

namespace {

void PadCopy(CHAR *Dest, size_t Size, const CHAR *Src) {
    size_t n = strnlen(Src, Size);
    memcpy(Dest, Src, n);
    memset(Dest + n, ' ', Size - n);
}

} // namespace

const FaultState *_SIM_RECORDER_MODEL::MatchFault(ULONG Number, const UCHAR *Cdb, UCHAR CdbLength) {
    UCHAR opcode = Cdb[0];
    for (FaultState &f : Faults) {
        ULONG repeat = f.Fault.RepeatCount == 0 ? 1 : f.Fault.RepeatCount;
        if (f.Fired >= repeat) {
            continue;
        }
        bool match = false;
        if (f.Fault.Trigger == SimFaultAtCommand) {
            match = Number >= f.Fault.CommandNumber &&
                    (f.Fault.Opcode == SIM_ANY_OPCODE || f.Fault.Opcode == opcode);
        } else {
            LONG wanted = f.Fault.Opcode == SIM_ANY_OPCODE ? SCSIOP_WRITE : f.Fault.Opcode;
            if (wanted == opcode && CdbLength >= 10) {
                ULONG lba = Be32(Cdb + 2);
                ULONG blocks = std::max<ULONG>(Be16(Cdb + 7), 1);
                match = f.Fault.BlockAddress >= lba &&
                        (ULONGLONG)f.Fault.BlockAddress < (ULONGLONG)lba + blocks;
            }
        }
        if (match) {
            f.Fired++;
            return &f;
        }
    }
    return nullptr;
}

void _SIM_RECORDER_MODEL::AddLog(const SIM_LOG_ENTRY &Entry) {
    if (!Logging || Log.empty()) {
        return;
    }
    ULONG capacity = (ULONG)Log.size();
    if (LogCount < capacity) {
        Log[(LogHead + LogCount) % capacity] = Entry;
        LogCount++;
    } else {
        Log[LogHead] = Entry;
        LogHead = (LogHead + 1) % capacity;
    }
}

Outcome _SIM_RECORDER_MODEL::Inject(const SIM_FAULT &Fault, SCSI_REQUEST_BLOCK *Srb, LONGLONG Now,
                                    std::unique_lock<std::mutex> &Held) {
    Outcome o;
    switch (Fault.Kind) {
    case SimFaultSense:
        o = CheckCondition(Fault.SenseKey, Fault.Asc, Fault.Ascq);
        if (Fault.SenseKey == SCSI_SENSE_UNIT_ATTENTION && Fault.Asc == 0x29 &&
            Fault.Ascq != 0x02) {
            PowerOnReset(); /* the recorder reports its own reset: it lost its buffer */
        }
        break;
    case SimFaultSrbStatus:
        o = Failed((UCHAR)SRB_STATUS(Fault.SrbStatus));
        break;
    case SimFaultBusReset:
        o = Failed(SRB_STATUS_BUS_RESET);
        AttentionAsc = 0x29;
        AttentionAscq = 0x02;
        break;
    case SimFaultPowerOnReset:
    case SimFaultDeviceReset:
        o = Failed(SRB_STATUS_BUS_RESET);
        PowerOnReset();
        AttentionAsc = 0x29;
        AttentionAscq = Fault.Kind == SimFaultPowerOnReset ? 0x01 : 0x03;
        break;
    case SimFaultDataOverrun:
        if ((Srb->SrbFlags & SRB_FLAGS_DATA_OUT) &&
            Fault.TransferredLength < Srb->DataTransferLength) {
            o = Good(); /* the recorder never got the whole data: nothing is executed */
        } else {
            o = Dispatch(Srb, Now, Held);
        }
        o.SrbStatus = SRB_STATUS_DATA_OVERRUN;
        o.ScsiStatus = SCSISTAT_GOOD;
        o.SenseKey = o.Asc = o.Ascq = 0;
        o.Transferred = Fault.TransferredLength;
        o.Freeze = true;
        break;
    }
    if (Fault.NoQueueFreeze) {
        o.Freeze = false;
    }
    o.Injected = true;
    return o;
}

/*
 * Holds a block back while the queue is frozen, as a port queues requests until the class
 * driver releases its queue: waits (without the lock) up to FrozenQueueTimeout on the
 * stand-in clock. Returns true when the queue was flushed meanwhile.
 */
bool _SIM_RECORDER_MODEL::WaitForRelease(std::unique_lock<std::mutex> &Held,
                                         const SCSI_REQUEST_BLOCK *Srb) {
    if ((Srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE) || Config.FrozenQueueTimeout <= 0) {
        return false;
    }
    ULONG generation = FlushGeneration;
    LONGLONG deadline = HostClockNow() + Config.FrozenQueueTimeout;
    while (Frozen && generation == FlushGeneration) {
        LONGLONG now = HostClockNow();
        if (now >= deadline) {
            break;
        }
        Held.unlock();
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(deadline - now);
        (void)KeWaitForSingleObject(&Released, Executive, KernelMode, FALSE, &timeout);
        Held.lock();
    }
    return generation != FlushGeneration;
}

void _SIM_RECORDER_MODEL::ExecuteScsi(SCSI_REQUEST_BLOCK *Srb) {
    std::unique_lock<std::mutex> held(Lock);
    bool flushed = WaitForRelease(held, Srb);
    LONGLONG now = HostClockNow();
    ULONG number = ++CommandNumber;
    Counters.Commands++;
    ULONG requested = Srb->DataTransferLength;
    UCHAR opcode = Srb->Cdb[0];
    Outcome o;
    if (flushed || (Frozen && !(Srb->SrbFlags & SRB_FLAGS_BYPASS_FROZEN_QUEUE))) {
        o.SrbStatus = SRB_STATUS_REQUEST_FLUSHED;
        Counters.RefusedWhileFrozen++;
    } else if (Srb->CdbLength == 0 || Srb->CdbLength > 16 ||
               Srb->DataTransferLength > Config.MaximumTransferLength) {
        o = Failed(SRB_STATUS_INVALID_REQUEST);
    } else {
        if (opcode != SCSIOP_REQUEST_SENSE) {
            HaveSense = false;
        }
        const FaultState *fault = MatchFault(number, Srb->Cdb, Srb->CdbLength);
        if (fault != nullptr) {
            SIM_FAULT copy = fault->Fault;
            o = Inject(copy, Srb, now, held);
        } else if (AttentionAsc != 0 && opcode != SCSIOP_INQUIRY &&
                   opcode != SCSIOP_REQUEST_SENSE && opcode != 0x4A) {
            o = CheckCondition(SCSI_SENSE_UNIT_ATTENTION, AttentionAsc, AttentionAscq);
            AttentionAsc = AttentionAscq = 0;
        } else {
            o = Dispatch(Srb, now, held);
        }
    }
    Finish(Srb, o, number, now, requested);
}

void _SIM_RECORDER_MODEL::Finish(SCSI_REQUEST_BLOCK *Srb, Outcome &o, ULONG Number, LONGLONG Now,
                                 ULONG Requested) {
    UCHAR status = o.SrbStatus;
    Srb->ScsiStatus = o.ScsiStatus;
    Srb->DataTransferLength = o.Transferred;
    if (o.ScsiStatus == SCSISTAT_CHECK_CONDITION) {
        UCHAR sense[SENSE_BUFFER_SIZE] = {};
        sense[0] = SCSI_SENSE_ERRORCODE_FIXED_CURRENT;
        sense[2] = o.SenseKey & 0x0F;
        sense[7] = SENSE_BUFFER_SIZE - 8;
        sense[12] = o.Asc;
        sense[13] = o.Ascq;
        memcpy(Sense, sense, sizeof(sense));
        HaveSense = true;
        if (Srb->SenseInfoBuffer != nullptr && Srb->SenseInfoBufferLength != 0 &&
            !(Srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE)) {
            memcpy(Srb->SenseInfoBuffer, sense,
                   std::min<size_t>(sizeof(sense), Srb->SenseInfoBufferLength));
            status |= SRB_STATUS_AUTOSENSE_VALID;
        }
    }
    if (o.Freeze && !(Srb->SrbFlags & SRB_FLAGS_NO_QUEUE_FREEZE)) {
        Frozen = true;
        KeClearEvent(&Released);
        Counters.QueueFreezes++;
        status |= SRB_STATUS_QUEUE_FROZEN;
    }
    Srb->SrbStatus = status;
    if (Logging && !Log.empty()) {
        SIM_LOG_ENTRY e{};
        e.Number = Number;
        e.Time = Now;
        memcpy(e.Cdb, Srb->Cdb, sizeof(e.Cdb));
        e.CdbLength = Srb->CdbLength;
        e.SrbFlags = Srb->SrbFlags;
        e.DataLength = Requested;
        e.Transferred = o.Transferred;
        e.SrbStatus = status;
        e.ScsiStatus = o.ScsiStatus;
        if (o.ScsiStatus == SCSISTAT_CHECK_CONDITION) {
            e.SenseKey = o.SenseKey;
            e.Asc = o.Asc;
            e.Ascq = o.Ascq;
        }
        e.Injected = o.Injected;
        AddLog(e);
    }
}

void _SIM_RECORDER_MODEL::Execute(SCSI_REQUEST_BLOCK *Srb) {
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
        if (Frozen) {
            Frozen = false;
            Counters.QueueReleases++;
        }
        KeSetEvent(&Released, IO_NO_INCREMENT, FALSE);
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        return;
    }
    case SRB_FUNCTION_RESET_BUS:
    case SRB_FUNCTION_RESET_DEVICE:
    case SRB_FUNCTION_RESET_LOGICAL_UNIT: {
        std::lock_guard<std::mutex> held(Lock);
        AttentionAsc = 0x29;
        AttentionAscq = 0x02;
        if (Srb->Function != SRB_FUNCTION_RESET_BUS) {
            PowerOnReset();
            AttentionAscq = 0x03;
        }
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        return;
    }
    case SRB_FUNCTION_CLAIM_DEVICE:
    case SRB_FUNCTION_RELEASE_DEVICE:
        Srb->SrbStatus = SRB_STATUS_SUCCESS;
        return;
    default:
        Srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
        return;
    }
}

namespace {

void OpsExecuteSrb(void *Context, SCSI_REQUEST_BLOCK *Srb) {
    static_cast<SIM_RECORDER_MODEL *>(Context)->Execute(Srb);
}

NTSTATUS OpsGetAddress(void *Context, SCSI_ADDRESS *Address) {
    SIM_RECORDER_MODEL *m = static_cast<SIM_RECORDER_MODEL *>(Context);
    if (m->Config.AddressNotSupported) {
        return STATUS_NOT_SUPPORTED;
    }
    Address->Length = sizeof(SCSI_ADDRESS);
    Address->PortNumber = m->Config.PortNumber;
    Address->PathId = m->Config.PathId;
    Address->TargetId = m->Config.TargetId;
    Address->Lun = m->Config.Lun;
    return STATUS_SUCCESS;
}

void OpsDescribe(void *Context, HOST_PORT_IDENTITY *Identity) {
    SIM_RECORDER_MODEL *m = static_cast<SIM_RECORDER_MODEL *>(Context);
    memcpy(Identity->Vendor, m->Vendor, sizeof(Identity->Vendor));
    memcpy(Identity->Product, m->Product, sizeof(Identity->Product));
    memcpy(Identity->Revision, m->Revision, sizeof(Identity->Revision));
    Identity->MaximumTransferLength = m->Config.MaximumTransferLength;
    Identity->MaximumPhysicalPages = m->Config.MaximumPhysicalPages;
    Identity->AlignmentMask = m->Config.AlignmentMask;
    Identity->DescriptorSize = m->Config.DescriptorSize;
    Identity->DeviceType = m->Config.DeviceType;
    Identity->RemovableMedia = TRUE;
    Identity->BusType = BusTypeScsi;
}

SIM_RECORDER_MODEL *ModelOf(PSIM_RECORDER Recorder) {
    return Recorder->Model;
}

} // namespace

extern "C" {

void HostSimDefaultConfig(SIM_RECORDER_CONFIG *Config) {
    memset(Config, 0, sizeof(*Config));
    strcpy(Config->Vendor, "CDWSIM  ");
    strcpy(Config->Product, "SIMULATED CD-RW ");
    strcpy(Config->Revision, "1.00");
    Config->DeviceType = READ_ONLY_DIRECT_ACCESS_DEVICE;
    Config->MaximumTransferLength = 64 * 1024;
    Config->MaximumPhysicalPages = 17;
    Config->AlignmentMask = 0;
    Config->BufferBytes = 2 * 1024 * 1024;
    Config->UnderrunProtection = TRUE;
    Config->LogCapacity = 16384;
    Config->FrozenQueueTimeout = 30 * 10000000LL;
}

void HostSimDesktopUnitConfig(SIM_RECORDER_CONFIG *Config) {
    strcpy(Config->Vendor, "KORVO   ");
    strcpy(Config->Product, "DESKTOP UNIT    ");
}

PSIM_RECORDER HostCreateSimulatedRecorder(const SIM_RECORDER_CONFIG *Config) {
    SIM_RECORDER_MODEL *m = new SIM_RECORDER_MODEL;
    m->Config = *Config;
    m->Config.DiscFile = nullptr;
    if (m->Config.BufferBytes == 0) {
        m->Config.BufferBytes = 2 * 1024 * 1024;
    }
    if (m->Config.MaximumTransferLength == 0) {
        m->Config.MaximumTransferLength = 64 * 1024;
    }
    PadCopy(m->Vendor, sizeof(m->Vendor), Config->Vendor);
    PadCopy(m->Product, sizeof(m->Product), Config->Product);
    PadCopy(m->Revision, sizeof(m->Revision), Config->Revision);
    if (Config->DiscFile != nullptr && Config->DiscFile[0] != '\0') {
        m->DiscPath = Config->DiscFile;
    }
    std::string error;
    if (!m->OpenMedium(&error)) {
        m->CloseFiles();
        delete m;
        return nullptr;
    }
    m->Params.Bufe = Config->UnderrunProtection != FALSE;
    m->Protection = m->Params.Bufe;
    m->MaxSpeedMultiple =
        Config->MaxSpeedMultiple != 0 ? Config->MaxSpeedMultiple : Config->SpeedMultiple;
    m->Log.resize(Config->LogCapacity);
    m->Logging = Config->LogCapacity != 0;
    m->Counters.MinFill = MAXULONG;
    KeInitializeEvent(&m->Released, NotificationEvent, TRUE);
    m->SetSpeed(Config->SpeedMultiple);

    PSIM_RECORDER r = new SIM_RECORDER;
    r->Model = m;
    m->Owner = r;
    r->Pdo = nullptr;
    r->Ops.Context = m;
    r->Ops.ExecuteSrb = OpsExecuteSrb;
    r->Ops.GetAddress = OpsGetAddress;
    r->Ops.Describe = OpsDescribe;
    if (!Config->NoPortDevice) {
        r->Pdo = HostCreatePortDevice(&r->Ops);
        if (r->Pdo == nullptr) {
            HostDestroySimulatedRecorder(r);
            return nullptr;
        }
    }
    return r;
}

void HostDestroySimulatedRecorder(PSIM_RECORDER Recorder) {
    if (Recorder == nullptr) {
        return;
    }
    if (Recorder->Pdo != nullptr) {
        HostDeletePortDevice(Recorder->Pdo);
    }
    SIM_RECORDER_MODEL *m = Recorder->Model;
    m->CloseFiles();
    delete m;
    delete Recorder;
}

PSIM_RECORDER HostSimRecorderOfDevice(PDEVICE_OBJECT PortDevice) {
    const HOST_PORT_OPS *ops = HostPortDeviceOps(PortDevice);
    if (ops == nullptr || ops->ExecuteSrb != OpsExecuteSrb) {
        return nullptr;
    }
    return static_cast<SIM_RECORDER_MODEL *>(ops->Context)->Owner;
}

void HostSimExecuteSrb(PSIM_RECORDER Recorder, SCSI_REQUEST_BLOCK *Srb) {
    ModelOf(Recorder)->Execute(Srb);
}

void HostSimSetSpeed(PSIM_RECORDER Recorder, ULONG SpeedMultiple) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->SetSpeed(SpeedMultiple);
}

void HostSimSetUnderrunProtection(PSIM_RECORDER Recorder, BOOLEAN On) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Protection = On != FALSE;
    m->Params.Bufe = m->Protection;
}

void HostSimSetLogging(PSIM_RECORDER Recorder, BOOLEAN On) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Logging = On != FALSE;
}

void HostSimInitFault(SIM_FAULT *Fault, SIM_FAULT_TRIGGER Trigger, SIM_FAULT_KIND Kind) {
    memset(Fault, 0, sizeof(*Fault));
    Fault->Trigger = Trigger;
    Fault->Kind = Kind;
    Fault->Opcode = SIM_ANY_OPCODE;
    Fault->RepeatCount = 1;
}

ULONG HostSimAddFault(PSIM_RECORDER Recorder, const SIM_FAULT *Fault) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Faults.push_back(FaultState{*Fault, 0});
    return (ULONG)m->Faults.size() - 1;
}

ULONG HostSimFaultSenseAtCommand(PSIM_RECORDER Recorder, ULONG CommandNumber, UCHAR SenseKey,
                                 UCHAR Asc, UCHAR Ascq) {
    SIM_FAULT f;
    HostSimInitFault(&f, SimFaultAtCommand, SimFaultSense);
    f.CommandNumber = CommandNumber;
    f.SenseKey = SenseKey;
    f.Asc = Asc;
    f.Ascq = Ascq;
    return HostSimAddFault(Recorder, &f);
}

ULONG HostSimFaultSenseAtBlock(PSIM_RECORDER Recorder, ULONG BlockAddress, UCHAR SenseKey,
                               UCHAR Asc, UCHAR Ascq, ULONG RepeatCount) {
    SIM_FAULT f;
    HostSimInitFault(&f, SimFaultAtBlock, SimFaultSense);
    f.BlockAddress = BlockAddress;
    f.SenseKey = SenseKey;
    f.Asc = Asc;
    f.Ascq = Ascq;
    f.RepeatCount = RepeatCount;
    return HostSimAddFault(Recorder, &f);
}

ULONG HostSimFaultStatusAtCommand(PSIM_RECORDER Recorder, ULONG CommandNumber, UCHAR SrbStatus,
                                  BOOLEAN FreezeQueue) {
    SIM_FAULT f;
    HostSimInitFault(&f, SimFaultAtCommand, SimFaultSrbStatus);
    f.CommandNumber = CommandNumber;
    f.SrbStatus = SrbStatus;
    f.NoQueueFreeze = !FreezeQueue;
    return HostSimAddFault(Recorder, &f);
}

ULONG HostSimFaultFired(PSIM_RECORDER Recorder, ULONG FaultId) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    return FaultId < m->Faults.size() ? m->Faults[FaultId].Fired : 0;
}

ULONG HostSimUnreachedFaults(PSIM_RECORDER Recorder) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    ULONG unreached = 0;
    for (const FaultState &f : m->Faults) {
        ULONG repeat = f.Fault.RepeatCount == 0 ? 1 : f.Fault.RepeatCount;
        if (f.Fired < repeat) {
            unreached++;
        }
    }
    return unreached;
}

void HostSimClearFaults(PSIM_RECORDER Recorder) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Faults.clear();
}

ULONG HostSimLogCount(PSIM_RECORDER Recorder) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    return m->LogCount;
}

BOOLEAN HostSimLogEntry(PSIM_RECORDER Recorder, ULONG Index, SIM_LOG_ENTRY *Entry) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    if (Index >= m->LogCount) {
        return FALSE;
    }
    *Entry = m->Log[(m->LogHead + Index) % m->Log.size()];
    return TRUE;
}

void HostSimClearLog(PSIM_RECORDER Recorder) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->LogHead = 0;
    m->LogCount = 0;
}

void HostSimGetCounters(PSIM_RECORDER Recorder, SIM_RECORDER_COUNTERS *Counters) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    LONGLONG now = HostClockNow();
    std::lock_guard<std::mutex> held(m->Lock);
    m->Drain(now);
    *Counters = m->Counters;
    Counters->BufferBytes = m->Config.BufferBytes;
    Counters->BufferLevel = m->LevelAt(now);
    Counters->BlocksWritten = m->EndWritten;
    Counters->QueueFrozen = m->Frozen;
    Counters->Recording = m->Recording;
}

ULONG HostSimReadBlock(PSIM_RECORDER Recorder, ULONG Lba, void *Buffer, ULONG BufferLength) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Drain(HostClockNow());
    ULONG size = m->StoredSize((LONG)Lba);
    if (size == 0) {
        return 0;
    }
    UCHAR block[SIM_MAX_BLOCK_SIZE];
    if (!m->LoadBlock((LONG)Lba, block, size)) {
        return 0;
    }
    if (Buffer != nullptr) {
        memcpy(Buffer, block, std::min(size, BufferLength));
    }
    return size;
}

BOOLEAN HostSimPrepareLayout(PSIM_RECORDER Recorder, const SIM_LAYOUT_SEGMENT *Segments,
                             ULONG Count) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Drain(HostClockNow());
    if (!m->PrepareLayout(Segments, Count, false)) {
        return FALSE;
    }
    m->Params.TestWrite = false;
    m->Params.MultiSession = 3;
    m->Params.Bufe = true;
    m->Protection = true;
    return TRUE;
}

void HostSimInsertBlankMedium(PSIM_RECORDER Recorder) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Buffer.clear();
    m->Level = 0;
    m->InBytes = 0;
    m->LastTime = HostClockNow();
    m->Recording = false;
    m->PendingRoom = 0;
    m->TestActive = false;
    m->NewBlankMedium();
    if (m->DiscFd >= 0) {
        (void)ftruncate(m->DiscFd, 0);
    }
    if (m->SideFd >= 0) {
        (void)ftruncate(m->SideFd, 0);
    }
    m->SaveMeta();
    m->MediaEvent = 2;
}

void HostSimGetMediumInfo(PSIM_RECORDER Recorder, SIM_MEDIUM_INFO *Info) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    m->Drain(HostClockNow());
    memset(Info, 0, sizeof(*Info));
    Info->Profile = m->Loaded ? m->Profile : 0;
    Info->Status = (UCHAR)m->Status;
    Info->Damaged = m->Damaged;
    Info->Sessions = m->Sessions;
    Info->Tracks = (ULONG)m->Tracks.size();
    Info->NextWritable = m->WritableStart();
    Info->Capacity = m->Capacity;
    Info->RecordedEnd = (ULONG)std::max<LONG>(m->RecordedEnd(), 0);
}

const char *HostSimDiscFile(PSIM_RECORDER Recorder) {
    return ModelOf(Recorder)->DiscPath.c_str();
}

} // extern "C"
