/*
 * simrecorder.cpp - the simulated MMC recorder: a drive model that executes SCSI request
 * blocks against a disc file, with a drive buffer drained on the stand-in clock, autosense,
 * a frozen queue, a fault script and a command log. The behaviour is described in
 * standin/simrecorder.h.
 */
#include <standin/simrecorder.h>
#include <standin/kernel.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr ULONG kDiscBlockSize = 2048;
constexpr LONGLONG kTicksPerSecond = 10000000; /* 100 ns units */

struct FaultState {
    SIM_FAULT Fault;
    ULONG Fired;
};

/* What one command ended with, before it is written into the request block. */
struct Outcome {
    UCHAR SrbStatus = SRB_STATUS_SUCCESS;
    UCHAR ScsiStatus = SCSISTAT_GOOD;
    UCHAR SenseKey = 0;
    UCHAR Asc = 0;
    UCHAR Ascq = 0;
    ULONG Transferred = 0;
    bool Freeze = false;
    bool Injected = false;
};

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

/* A data-in command moved Moved bytes of the Requested ones. */
Outcome DataIn(ULONG Moved, ULONG Requested) {
    Outcome o = Good(Moved);
    if (Moved != Requested) {
        o.SrbStatus = SRB_STATUS_DATA_OVERRUN;
    }
    return o;
}

ULONG Be32(const UCHAR *p) {
    return ((ULONG)p[0] << 24) | ((ULONG)p[1] << 16) | ((ULONG)p[2] << 8) | p[3];
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

/* Copies Length bytes to Dest; nothing when there is nothing to copy or nowhere to put it. */
void CopyOut(void *Dest, const void *Src, size_t Length) {
    if (Dest != nullptr && Length != 0) {
        memcpy(Dest, Src, Length);
    }
}

void PadCopy(CHAR *Dest, size_t Size, const CHAR *Src) {
    size_t n = strnlen(Src, Size);
    memcpy(Dest, Src, n);
    memset(Dest + n, ' ', Size - n);
}

bool WriteAll(int Fd, const void *Buffer, size_t Length, off_t Offset) {
    const UCHAR *p = static_cast<const UCHAR *>(Buffer);
    while (Length > 0) {
        ssize_t n = pwrite(Fd, p, Length, Offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        Length -= (size_t)n;
        Offset += n;
    }
    return true;
}

/* Reads Length bytes; what lies beyond the end of the file reads as zeros. */
bool ReadAll(int Fd, void *Buffer, size_t Length, off_t Offset) {
    UCHAR *p = static_cast<UCHAR *>(Buffer);
    while (Length > 0) {
        ssize_t n = pread(Fd, p, Length, Offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            memset(p, 0, Length);
            return true;
        }
        p += n;
        Length -= (size_t)n;
        Offset += n;
    }
    return true;
}

int OpenAnonymous() {
    const char *dir = getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/simrecorder-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd >= 0) {
        unlink(name.data());
    }
    return fd;
}

} // namespace

struct _SIM_RECORDER_MODEL {
    std::mutex Lock;
    SIM_RECORDER_CONFIG Config{};
    CHAR Vendor[8]{};
    CHAR Product[16]{};
    CHAR Revision[4]{};
    std::string DiscPath;
    std::string SidePath;
    int DiscFd = -1;
    int SideFd = -1;

    /* Size of every written block (0: never written), indexed by block address. */
    std::vector<uint16_t> BlockSizes;
    ULONG BlocksWritten = 0;

    /* Drive buffer: Level bytes at LastTime, draining at Rate bytes per second. */
    ULONGLONG Rate = 0;
    ULONG Level = 0;
    LONGLONG LastTime = 0;
    bool Recording = false;
    ULONG PendingRoom = 0; /* size of the last write refused for want of room */
    bool Protection = true;

    bool HaveSense = false;
    UCHAR Sense[SENSE_BUFFER_SIZE]{};
    bool UnitAttention = false;
    bool Frozen = false;
    KEVENT Released; /* signalled while the queue is not frozen */
    ULONG FlushGeneration = 0;
    ULONG CommandNumber = 0;

    std::vector<FaultState> Faults;

    std::vector<SIM_LOG_ENTRY> Log;
    ULONG LogHead = 0; /* index of the oldest entry */
    ULONG LogCount = 0;
    bool Logging = true;

    SIM_RECORDER_COUNTERS Counters{};

    SIM_RECORDER *Owner = nullptr;

    ULONG LevelAt(LONGLONG Now) const {
        if (Rate == 0 || Now <= LastTime) {
            return Rate == 0 ? 0 : Level;
        }
        unsigned __int128 drained =
            (unsigned __int128)Rate * (ULONGLONG)(Now - LastTime) / kTicksPerSecond;
        return drained >= Level ? 0 : Level - (ULONG)drained;
    }

    /* The moment the buffer runs (or ran) empty. */
    LONGLONG EmptyTime() const {
        if (Rate == 0) {
            return LastTime;
        }
        unsigned __int128 ticks = ((unsigned __int128)Level * kTicksPerSecond + Rate - 1) / Rate;
        return LastTime + (LONGLONG)ticks;
    }

    void SetSpeed(ULONG Multiple) {
        LONGLONG now = HostClockNow();
        Level = LevelAt(now);
        LastTime = now;
        Config.SpeedMultiple = Multiple;
        Rate = (ULONGLONG)Multiple *
               (Config.Dvd ? SIM_DVD_1X_BYTES_PER_SECOND : SIM_CD_1X_BYTES_PER_SECOND);
        if (Rate == 0) {
            Level = 0;
        }
    }

    bool OpenSide() {
        if (SideFd >= 0) {
            return true;
        }
        if (SidePath.empty()) {
            SideFd = OpenAnonymous();
        } else {
            SideFd = open(SidePath.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        }
        return SideFd >= 0;
    }

    bool StoreBlocks(ULONG Lba, ULONG Blocks, ULONG BlockSize, const UCHAR *Data) {
        if (BlockSize == kDiscBlockSize) {
            if (!WriteAll(DiscFd, Data, (size_t)Blocks * BlockSize, (off_t)Lba * kDiscBlockSize)) {
                return false;
            }
        } else {
            if (!OpenSide()) {
                return false;
            }
            if (BlockSize == SIM_MAX_BLOCK_SIZE) {
                if (!WriteAll(SideFd, Data, (size_t)Blocks * BlockSize,
                              (off_t)Lba * SIM_MAX_BLOCK_SIZE)) {
                    return false;
                }
            } else {
                for (ULONG i = 0; i < Blocks; i++) {
                    if (!WriteAll(SideFd, Data + (size_t)i * BlockSize, BlockSize,
                                  (off_t)(Lba + i) * SIM_MAX_BLOCK_SIZE)) {
                        return false;
                    }
                }
            }
        }
        ULONG end = Lba + Blocks;
        if (BlockSizes.size() < end) {
            BlockSizes.resize(std::max<size_t>(end, BlockSizes.size() * 2));
        }
        std::fill(BlockSizes.begin() + Lba, BlockSizes.begin() + end, (uint16_t)BlockSize);
        BlocksWritten = std::max(BlocksWritten, end);
        return true;
    }

    ULONG StoredSize(ULONG Lba) const { return Lba < BlockSizes.size() ? BlockSizes[Lba] : 0; }

    /* Reads one block's bytes (a never-written block reads as 2048 zeros). */
    bool LoadBlock(ULONG Lba, UCHAR *Buffer, ULONG Size) {
        ULONG stored = StoredSize(Lba);
        if (stored == 0) {
            memset(Buffer, 0, Size);
            return true;
        }
        if (stored == kDiscBlockSize) {
            return ReadAll(DiscFd, Buffer, Size, (off_t)Lba * kDiscBlockSize);
        }
        if (SideFd < 0) {
            memset(Buffer, 0, Size);
            return true;
        }
        return ReadAll(SideFd, Buffer, Size, (off_t)Lba * SIM_MAX_BLOCK_SIZE);
    }

    const FaultState *MatchFault(ULONG Number, const UCHAR *Cdb, UCHAR CdbLength) {
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

    void AddLog(const SIM_LOG_ENTRY &Entry) {
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

    Outcome Inquiry(SCSI_REQUEST_BLOCK *Srb) {
        const UCHAR *cdb = Srb->Cdb;
        if (cdb[1] & 0x01) {
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
        }
        UCHAR data[INQUIRYDATABUFFERSIZE] = {};
        data[0] = Config.DeviceType & 0x1F;
        data[1] = 0x80; /* removable medium */
        data[2] = 0x05;
        data[3] = 0x02; /* response data format */
        data[4] = INQUIRYDATABUFFERSIZE - 5;
        memcpy(data + 8, Vendor, 8);
        memcpy(data + 16, Product, 16);
        memcpy(data + 32, Revision, 4);
        ULONG allocation = ((ULONG)cdb[3] << 8) | cdb[4];
        ULONG n = std::min<ULONG>({(ULONG)sizeof(data), allocation, Srb->DataTransferLength});
        if (Srb->DataBuffer == nullptr) {
            n = 0;
        }
        CopyOut(Srb->DataBuffer, data, n);
        return DataIn(n, Srb->DataBuffer ? Srb->DataTransferLength : 0);
    }

    Outcome RequestSense(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now) {
        UCHAR data[SENSE_BUFFER_SIZE] = {};
        if (HaveSense) {
            memcpy(data, Sense, sizeof(data));
            HaveSense = false;
        } else {
            data[0] = SCSI_SENSE_ERRORCODE_FIXED_CURRENT;
            data[7] = SENSE_BUFFER_SIZE - 8;
            if (PendingRoom != 0 && !HasRoom(PendingRoom, Now)) {
                data[2] = SCSI_SENSE_NOT_READY;
                data[12] = SCSI_ADSENSE_LUN_NOT_READY;
                data[13] = SCSI_SENSEQ_LONG_WRITE_IN_PROGRESS;
            }
        }
        ULONG n =
            std::min<ULONG>({(ULONG)sizeof(data), (ULONG)Srb->Cdb[4], Srb->DataTransferLength});
        if (Srb->DataBuffer == nullptr) {
            n = 0;
        }
        CopyOut(Srb->DataBuffer, data, n);
        return DataIn(n, Srb->DataBuffer ? Srb->DataTransferLength : 0);
    }

    bool HasRoom(ULONG Bytes, LONGLONG Now) const {
        ULONG level = LevelAt(Now);
        return level == 0 || (ULONGLONG)level + Bytes <= Config.BufferBytes;
    }

    Outcome TestUnitReady(LONGLONG Now) {
        if (PendingRoom != 0 && !HasRoom(PendingRoom, Now)) {
            Counters.NotReadyAnswers++;
            return CheckCondition(SCSI_SENSE_NOT_READY, SCSI_ADSENSE_LUN_NOT_READY,
                                  SCSI_SENSEQ_LONG_WRITE_IN_PROGRESS);
        }
        return Good(0);
    }

    Outcome Write(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now) {
        const UCHAR *cdb = Srb->Cdb;
        if (Srb->CdbLength < 10) {
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
        }
        ULONG lba = Be32(cdb + 2);
        ULONG blocks = Be16(cdb + 7);
        ULONG length = Srb->DataTransferLength;
        if (blocks == 0) {
            return Good(0);
        }
        if (Srb->DataBuffer == nullptr || length == 0 || length % blocks != 0 ||
            length / blocks > SIM_MAX_BLOCK_SIZE) {
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
        }
        /* Without a configured capacity the medium is the largest one a recorder takes (a
         * dual-layer DVD): a command's address, not the host's memory, is what runs out. */
        const ULONGLONG capacity =
            Config.CapacityBlocks != 0 ? Config.CapacityBlocks : SIM_LARGEST_MEDIUM_BLOCKS;
        if ((ULONGLONG)lba + blocks > capacity) {
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK, 0);
        }
        ULONG level = LevelAt(Now);
        if (Recording && Rate != 0 && level == 0 && Now > EmptyTime()) {
            if (Counters.Underruns++ == 0) {
                Counters.FirstUnderrunLba = lba;
                Counters.FirstUnderrunEmptyTime = EmptyTime();
                Counters.FirstUnderrunTime = Now;
            }
            if (!Protection) {
                Recording = false;
                Level = 0;
                LastTime = Now;
                return CheckCondition(SCSI_SENSE_MEDIUM_ERROR, SCSI_ADSENSE_WRITE_ERROR,
                                      SCSI_SENSEQ_LOSS_OF_STREAMING);
            }
        }
        if (Rate != 0 && level != 0 && (ULONGLONG)level + length > Config.BufferBytes) {
            PendingRoom = length;
            Counters.NotReadyAnswers++;
            return CheckCondition(SCSI_SENSE_NOT_READY, SCSI_ADSENSE_LUN_NOT_READY,
                                  SCSI_SENSEQ_LONG_WRITE_IN_PROGRESS);
        }
        if (!StoreBlocks(lba, blocks, length / blocks,
                         static_cast<const UCHAR *>(Srb->DataBuffer))) {
            return CheckCondition(SCSI_SENSE_MEDIUM_ERROR, SCSI_ADSENSE_WRITE_ERROR, 0);
        }
        if (Recording) {
            Counters.MinFill = std::min(Counters.MinFill, level);
        }
        Recording = true;
        PendingRoom = 0;
        Counters.Writes++;
        Counters.BytesWritten += length;
        if (Rate != 0) {
            Level = level + length;
            LastTime = Now;
            Counters.MaxFill = std::max(Counters.MaxFill, Level);
        }
        return Good(length);
    }

    Outcome Read(SCSI_REQUEST_BLOCK *Srb) {
        const UCHAR *cdb = Srb->Cdb;
        if (Srb->CdbLength < 10) {
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
        }
        ULONG lba = Be32(cdb + 2);
        ULONG blocks = Be16(cdb + 7);
        if (blocks == 0) {
            return Good(0);
        }
        if ((ULONGLONG)lba + blocks > BlocksWritten) {
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_BLOCK, 0);
        }
        if (Srb->DataBuffer == nullptr) {
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_INVALID_CDB, 0);
        }
        UCHAR *out = static_cast<UCHAR *>(Srb->DataBuffer);
        ULONG room = Srb->DataTransferLength;
        ULONG moved = 0;
        ULONG needed = 0;
        UCHAR block[SIM_MAX_BLOCK_SIZE];
        for (ULONG i = 0; i < blocks; i++) {
            ULONG size = StoredSize(lba + i);
            size = size == 0 ? kDiscBlockSize : size;
            needed += size;
            if (moved >= room) {
                continue;
            }
            ULONG n = std::min(size, room - moved);
            bool ok =
                n == size ? LoadBlock(lba + i, out + moved, size) : LoadBlock(lba + i, block, size);
            if (!ok) {
                return CheckCondition(SCSI_SENSE_MEDIUM_ERROR, 0x11, 0); /* unrecovered read */
            }
            if (n != size) {
                memcpy(out + moved, block, n);
            }
            moved += n;
        }
        Outcome o = Good(moved);
        if (moved != room || needed != moved) {
            o.SrbStatus = SRB_STATUS_DATA_OVERRUN;
        }
        return o;
    }

    Outcome ReadCapacity(SCSI_REQUEST_BLOCK *Srb) {
        UCHAR data[8];
        PutBe32(data, BlocksWritten == 0 ? 0 : BlocksWritten - 1);
        PutBe32(data + 4, kDiscBlockSize);
        ULONG n = std::min<ULONG>(sizeof(data), Srb->DataTransferLength);
        if (Srb->DataBuffer == nullptr) {
            n = 0;
        }
        CopyOut(Srb->DataBuffer, data, n);
        return DataIn(n, Srb->DataBuffer ? Srb->DataTransferLength : 0);
    }

    Outcome ReadBufferCapacity(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now) {
        UCHAR data[12] = {};
        ULONG level = LevelAt(Now);
        ULONG blank = Config.BufferBytes > level ? Config.BufferBytes - level : 0;
        data[1] = 10;
        if (Srb->Cdb[1] & 0x01) {
            data[3] = 0x01; /* block data returned */
            PutBe32(data + 8, blank / kDiscBlockSize);
        } else {
            PutBe32(data + 4, Config.BufferBytes);
            PutBe32(data + 8, blank);
        }
        ULONG allocation = Be16(Srb->Cdb + 7);
        ULONG n = std::min<ULONG>({(ULONG)sizeof(data), allocation, Srb->DataTransferLength});
        if (Srb->DataBuffer == nullptr) {
            n = 0;
        }
        CopyOut(Srb->DataBuffer, data, n);
        return DataIn(n, Srb->DataBuffer ? Srb->DataTransferLength : 0);
    }

    /* Waits, without the lock, until the buffer has drained; ends the recording. */
    Outcome SynchronizeCache(std::unique_lock<std::mutex> &Held, bool Immediate) {
        while (!Immediate) {
            LONGLONG now = HostClockNow();
            if (LevelAt(now) == 0) {
                break;
            }
            LONGLONG wait = std::max<LONGLONG>(EmptyTime() - now, 1);
            Held.unlock();
            LARGE_INTEGER interval;
            interval.QuadPart = -wait;
            (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
            Held.lock();
        }
        Recording = false;
        PendingRoom = 0;
        Counters.Synchronizes++;
        return Good(0);
    }

    Outcome Dispatch(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now, std::unique_lock<std::mutex> &Held) {
        switch (Srb->Cdb[0]) {
        case SCSIOP_TEST_UNIT_READY:
            return TestUnitReady(Now);
        case SCSIOP_REQUEST_SENSE:
            return RequestSense(Srb, Now);
        case SCSIOP_INQUIRY:
            return Inquiry(Srb);
        case SCSIOP_READ_CAPACITY:
            return ReadCapacity(Srb);
        case SCSIOP_READ:
            return Read(Srb);
        case SCSIOP_WRITE:
            return Write(Srb, Now);
        case SCSIOP_SYNCHRONIZE_CACHE:
            return SynchronizeCache(Held, (Srb->Cdb[1] & 0x02) != 0);
        case SCSIOP_READ_BUFFER_CAPACITY:
            return ReadBufferCapacity(Srb, Now);
        default:
            return CheckCondition(SCSI_SENSE_ILLEGAL_REQUEST, SCSI_ADSENSE_ILLEGAL_COMMAND, 0);
        }
    }

    Outcome Inject(const SIM_FAULT &Fault, SCSI_REQUEST_BLOCK *Srb, LONGLONG Now,
                   std::unique_lock<std::mutex> &Held) {
        Outcome o;
        switch (Fault.Kind) {
        case SimFaultSense:
            o = CheckCondition(Fault.SenseKey, Fault.Asc, Fault.Ascq);
            break;
        case SimFaultSrbStatus:
            o = Failed((UCHAR)SRB_STATUS(Fault.SrbStatus));
            break;
        case SimFaultBusReset:
            o = Failed(SRB_STATUS_BUS_RESET);
            UnitAttention = true;
            break;
        case SimFaultDataOverrun:
            o = Dispatch(Srb, Now, Held);
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
    bool WaitForRelease(std::unique_lock<std::mutex> &Held, const SCSI_REQUEST_BLOCK *Srb) {
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

    void ExecuteScsi(SCSI_REQUEST_BLOCK *Srb) {
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
            } else if (UnitAttention && opcode != SCSIOP_INQUIRY &&
                       opcode != SCSIOP_REQUEST_SENSE) {
                UnitAttention = false;
                o = CheckCondition(SCSI_SENSE_UNIT_ATTENTION, SCSI_ADSENSE_BUS_RESET, 0);
            } else {
                o = Dispatch(Srb, now, held);
            }
        }
        Finish(Srb, o, number, now, requested);
    }

    void Finish(SCSI_REQUEST_BLOCK *Srb, Outcome &o, ULONG Number, LONGLONG Now, ULONG Requested) {
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

    void Execute(SCSI_REQUEST_BLOCK *Srb) {
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
            UnitAttention = true;
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
};

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
        m->SidePath = m->DiscPath + ".blocks";
        m->DiscFd = open(m->DiscPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    } else {
        m->DiscFd = OpenAnonymous();
    }
    if (m->DiscFd < 0) {
        delete m;
        return nullptr;
    }
    m->Protection = Config->UnderrunProtection != FALSE;
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
    if (m->DiscFd >= 0) {
        close(m->DiscFd);
    }
    if (m->SideFd >= 0) {
        close(m->SideFd);
    }
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
    *Counters = m->Counters;
    Counters->BufferBytes = m->Config.BufferBytes;
    Counters->BufferLevel = m->LevelAt(now);
    Counters->BlocksWritten = m->BlocksWritten;
    Counters->QueueFrozen = m->Frozen;
    Counters->Recording = m->Recording;
}

ULONG HostSimReadBlock(PSIM_RECORDER Recorder, ULONG Lba, void *Buffer, ULONG BufferLength) {
    SIM_RECORDER_MODEL *m = ModelOf(Recorder);
    std::lock_guard<std::mutex> held(m->Lock);
    ULONG size = m->StoredSize(Lba);
    if (size == 0) {
        return 0;
    }
    UCHAR block[SIM_MAX_BLOCK_SIZE];
    if (!m->LoadBlock(Lba, block, size)) {
        return 0;
    }
    CopyOut(Buffer, block, std::min(size, BufferLength));
    return size;
}

const char *HostSimDiscFile(PSIM_RECORDER Recorder) {
    return ModelOf(Recorder)->DiscPath.c_str();
}

} // extern "C"
