/*
 * sim_model.h - the simulated recorder's state, shared by its three sources: simrecorder.cpp
 * (request blocks, queue, fault script, log, the set-up API), sim_medium.cpp (the medium, its
 * disc file, the drive buffer and the write path) and sim_mmc.cpp (the MMC commands).
 */
#pragma once

#include <standin/simrecorder.h>
#include <standin/kernel.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

constexpr ULONG kDataBlock = 2048;
constexpr LONGLONG kTicksPerSecond = 10000000; /* 100 ns units */
constexpr LONG kFirstPregap = -150;            /* 00:00:00, the first track's pre-gap */

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

Outcome Good(ULONG Transferred = 0);
Outcome CheckCondition(UCHAR Key, UCHAR Asc, UCHAR Ascq);
Outcome Failed(UCHAR SrbStatus);
/* Copies up to the smaller of Length, Allocation and the request's buffer; a short copy is a
   data overrun (underrun of the transfer). */
Outcome ReplyData(SCSI_REQUEST_BLOCK *Srb, const void *Data, ULONG Length, ULONG Allocation);

/* Refusals the model answers in several places. */
inline Outcome InvalidCdb() {
    return CheckCondition(0x05, 0x24, 0x00);
}
inline Outcome InvalidParameter() {
    return CheckCondition(0x05, 0x26, 0x00);
}
inline Outcome SequenceError() {
    return CheckCondition(0x05, 0x2C, 0x00);
}
inline Outcome InvalidWriteAddress() {
    return CheckCondition(0x05, 0x21, 0x02);
}
inline Outcome OutOfRange() {
    return CheckCondition(0x05, 0x21, 0x00);
}
inline Outcome IllegalMode() {
    return CheckCondition(0x05, 0x64, 0x00);
}
inline Outcome CannotWriteMedium() {
    return CheckCondition(0x05, 0x30, 0x05);
}
inline Outcome NoMedium() {
    return CheckCondition(0x02, 0x3A, 0x00);
}

ULONG Be32(const UCHAR *p);
ULONG Be24(const UCHAR *p);
ULONG Be16(const UCHAR *p);
void PutBe32(UCHAR *p, ULONG v);
void PutBe16(UCHAR *p, ULONG v);
/* 00 M S F of an address (MMC's MSF form of an LBA: LBA + 150 frames). */
void PutMsf(UCHAR *p, LONG Lba);
LONG MsfToLba(UCHAR M, UCHAR S, UCHAR F);

enum class DiscStatus : UCHAR { Blank = 0, Appendable = 1, Complete = 2 };

/* A track of the medium. Start is its first block (index 1); a track reserved by a cue sheet
   or RESERVE TRACK has a fixed Size, an open track-at-once track grows with its writes. */
struct Track {
    ULONG Number = 0;
    ULONG Session = 0;
    LONG Start = 0;
    ULONG Size = 0;     /* blocks reserved (Fixed) or written so far */
    ULONG Recorded = 0; /* blocks on the medium from Start on */
    UCHAR Mode = 4;     /* track mode (the TOC's control nibble): 4 data, 0 audio */
    UCHAR DataMode = 1; /* 1 or 2; 0x0F for audio */
    bool Fixed = false;
    bool Closed = false;
};

/* A run of equally sized blocks on the medium (what the metadata file records). */
struct Run {
    LONG Start;
    ULONG Count;
    ULONG Size;
};

/* One address range of a prepared layout (cue sheet, reservation). */
struct Segment {
    LONG Start;
    ULONG Count;
    ULONG Size;
    UCHAR Track;
    UCHAR Index; /* 0: the track's pre-gap */
    bool Audio;
    UCHAR Form; /* cue sheet data form, or page 05 data block type */
};

/* Page 05 as the recorder holds it. */
struct WriteParameters {
    UCHAR WriteType = 1; /* 0 packet/incremental, 1 track-at-once, 2 session-at-once/DAO */
    bool TestWrite = false;
    bool Bufe = true;
    UCHAR MultiSession = 0; /* 0 close the disc, 3 leave it appendable */
    UCHAR TrackMode = 4;
    UCHAR DataBlockType = 8; /* 2048-byte Mode 1 */
    UCHAR SessionFormat = 0;
    UCHAR Raw[52] = {}; /* page as last selected (MCN, ISRC, subheader are kept) */
};

/* Blocks of one accepted WRITE(10) still in the drive buffer. */
struct Pending {
    LONG Lba;
    std::vector<ULONG> Sizes;
    std::vector<UCHAR> Data;
    ULONGLONG EndMark; /* buffer stream position after its last byte */
    bool Test;
    ULONG Committed = 0; /* blocks of it already on the medium */
};

struct FaultState {
    SIM_FAULT Fault;
    ULONG Fired;
};

} // namespace sim

struct _SIM_RECORDER_MODEL {
    std::mutex Lock;
    SIM_RECORDER_CONFIG Config{};
    CHAR Vendor[8]{};
    CHAR Product[16]{};
    CHAR Revision[4]{};
    std::string DiscPath;
    int DiscFd = -1;
    int SideFd = -1;

    /* ---- medium (sim_medium.cpp) ---- */
    bool Loaded = true; /* a medium is in the drive */
    USHORT Profile = 0x0009;
    ULONG Capacity = SIM_CD80_BLOCKS;
    sim::DiscStatus Status = sim::DiscStatus::Blank;
    bool Damaged = false;
    ULONG Sessions = 0;       /* sessions begun */
    bool SessionOpen = false; /* the last one is still open */
    LONG SessionStart = 0;    /* first user block of the session being written / next one */
    std::vector<sim::Track> Tracks;
    std::vector<sim::Run> Runs;
    std::vector<sim::Segment> Plan; /* cue sheet or reservation in force */
    bool PlanFromCue = false;
    bool CloseAtDrain = false;   /* SYNCHRONIZE CACHE came: end a planned session once drained */
    bool PlanTracksMade = false; /* the plan's tracks exist on the medium */
    bool TestActive = false;     /* a test write is under way ... */
    LONG TestNwa = 0;            /* ... and the medium's writable address before it */
    /* A reservation made for a test write (DVD-R disc at once): the medium as it was before
       it, restored when the test ends and kept out of the description meanwhile. */
    bool TestReservation = false;
    struct {
        sim::DiscStatus Status;
        ULONG Sessions;
        bool SessionOpen;
        std::vector<sim::Track> Tracks;
        LONG Nwa;
    } BeforeTest{};
    LONG Nwa = 0;         /* next writable address, buffered blocks included */
    ULONG EndWritten = 0; /* highest accepted block + 1 */
    bool MetaDirty = false;

    bool IsCd() const { return Profile == 0x0009 || Profile == 0x000A; }
    bool IsDvd() const { return !IsCd(); }

    /* ---- write parameters and drive (sim_mmc.cpp) ---- */
    sim::WriteParameters Params;
    ULONG SpeedMultiple = 0;
    ULONG MaxSpeedMultiple = 0;
    bool Prevent = false;
    bool MediumChanged = false; /* 06/28/00 pending */
    UCHAR MediaEvent = 0;       /* GET EVENT STATUS NOTIFICATION media event code */

    /* ---- drive buffer ---- */
    ULONGLONG Rate = 0;
    ULONG Level = 0;
    LONGLONG LastTime = 0;
    ULONGLONG InBytes = 0; /* bytes ever put into the buffer */
    std::deque<sim::Pending> Buffer;
    bool Recording = false;
    ULONG PendingRoom = 0; /* size of the last write refused for want of room */
    bool Protection = true;

    /* ---- request blocks (simrecorder.cpp) ---- */
    bool HaveSense = false;
    UCHAR Sense[SENSE_BUFFER_SIZE]{};
    UCHAR AttentionAsc = 0; /* pending unit attention (0: none) */
    UCHAR AttentionAscq = 0;
    bool Frozen = false;
    KEVENT Released; /* signalled while the queue is not frozen */
    ULONG FlushGeneration = 0;
    ULONG CommandNumber = 0;
    std::vector<sim::FaultState> Faults;
    std::vector<SIM_LOG_ENTRY> Log;
    ULONG LogHead = 0;
    ULONG LogCount = 0;
    bool Logging = true;
    SIM_RECORDER_COUNTERS Counters{};
    SIM_RECORDER *Owner = nullptr;

    /* sim_medium.cpp */
    bool OpenMedium(std::string *Error);
    void NewBlankMedium();
    bool LoadMeta();
    void SaveMeta();
    void CloseFiles();
    ULONG LevelAt(LONGLONG Now) const;
    LONGLONG EmptyTime() const;
    LONGLONG RoomTime(ULONG Bytes) const;
    bool HasRoom(ULONG Bytes, LONGLONG Now) const;
    void SetSpeed(ULONG Multiple);
    void Drain(LONGLONG Now);
    void LoseBuffer();
    void PowerOnReset();
    sim::Outcome WaitDrained(std::unique_lock<std::mutex> &Held);
    ULONG SizeInForce(LONG Lba, const sim::Segment **Seg) const;
    sim::Outcome Write(SCSI_REQUEST_BLOCK *Srb, std::unique_lock<std::mutex> &Held);
    bool CommitBlocks(LONG Lba, ULONG Count, ULONG Size, const UCHAR *Data);
    ULONG StoredSize(LONG Lba) const;
    bool LoadBlock(LONG Lba, UCHAR *Buffer, ULONG Size);
    LONG WritableStart() const; /* where the next track of the open or next session starts */
    sim::Track *OpenTrack();
    void CloseTrack();
    void CloseSession(bool Finalize);
    void EndPlannedSession();
    void EndTestReservation();
    LONG RecordedEnd() const;
    bool PrepareLayout(const SIM_LAYOUT_SEGMENT *Segments, ULONG Count, bool FromCue);

    /* sim_mmc.cpp */
    sim::Outcome Dispatch(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now,
                          std::unique_lock<std::mutex> &Held);
    sim::Outcome Inquiry(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome RequestSense(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now);
    sim::Outcome TestUnitReady(LONGLONG Now);
    sim::Outcome Read10(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ReadCd(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ReadCapacity(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ReadBufferCapacity(SCSI_REQUEST_BLOCK *Srb, LONGLONG Now);
    sim::Outcome SynchronizeCache(SCSI_REQUEST_BLOCK *Srb, std::unique_lock<std::mutex> &Held);
    sim::Outcome ReadDiscInformation(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ReadTrackInformation(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ReadToc(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome GetConfiguration(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome GetEventStatus(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ModeSense(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ModeSelect(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome SendCueSheet(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome ReserveTrack(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome CloseTrackSession(SCSI_REQUEST_BLOCK *Srb, std::unique_lock<std::mutex> &Held);
    sim::Outcome Blank(SCSI_REQUEST_BLOCK *Srb, std::unique_lock<std::mutex> &Held);
    sim::Outcome SetCdSpeed(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome SetStreaming(SCSI_REQUEST_BLOCK *Srb);
    sim::Outcome StartStopUnit(SCSI_REQUEST_BLOCK *Srb, std::unique_lock<std::mutex> &Held);
    sim::Outcome PreventAllow(SCSI_REQUEST_BLOCK *Srb);
    void ChooseWriteSpeed(ULONG KiloBytesPerSecond);
    ULONG OneXKiloBytes() const { return IsCd() && !Config.Dvd ? 176 : 1385; }
    void BuildPage05(UCHAR *Page) const;
    ULONG BuildPage2A(UCHAR *Page) const;

    /* simrecorder.cpp */
    const sim::FaultState *MatchFault(ULONG Number, const UCHAR *Cdb, UCHAR CdbLength);
    void AddLog(const SIM_LOG_ENTRY &Entry);
    sim::Outcome Inject(const SIM_FAULT &Fault, SCSI_REQUEST_BLOCK *Srb, LONGLONG Now,
                        std::unique_lock<std::mutex> &Held);
    bool WaitForRelease(std::unique_lock<std::mutex> &Held, const SCSI_REQUEST_BLOCK *Srb);
    void ExecuteScsi(SCSI_REQUEST_BLOCK *Srb);
    void Finish(SCSI_REQUEST_BLOCK *Srb, sim::Outcome &o, ULONG Number, LONGLONG Now,
                ULONG Requested);
    void Execute(SCSI_REQUEST_BLOCK *Srb);
};
