/*
 * simrecorder_test.cpp - the simulated recorder driven by request blocks without the driver:
 * what it refuses as a real recorder does (sense per command), drive buffer and drain on the
 * virtual clock, underruns, the disc file, autosense and the frozen queue, the fault script and
 * the command log.
 */
#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <standin/io.h>
#include <standin/simrecorder.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr LONGLONG kSecond = 10000000;
constexpr ULONG kCd1x = SIM_CD_1X_BYTES_PER_SECOND;

using Cdb = std::vector<UCHAR>;
constexpr ULONG kInvalid = 0xFF000000;

struct Reply {
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    ULONG Transferred;
    UCHAR Sense[SENSE_BUFFER_SIZE];
};

ULONG Be32(const UCHAR *p) {
    return (ULONG)(p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

Cdb Write10(ULONG Lba, USHORT Blocks, UCHAR Opcode = SCSIOP_WRITE) {
    return {Opcode,     0, (UCHAR)(Lba >> 24),   (UCHAR)(Lba >> 16), (UCHAR)(Lba >> 8),
            (UCHAR)Lba, 0, (UCHAR)(Blocks >> 8), (UCHAR)Blocks,      0};
}

const Cdb kTestUnitReady = {0, 0, 0, 0, 0, 0};
const Cdb kSynchronizeCache = {SCSIOP_SYNCHRONIZE_CACHE, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Cdb kCloseSession = {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0};

/* One command of a script: the block, the data it sends or the length it reads, the time that
 * passes before it, and the answer expected: 0 GOOD, the sense 0xKKAAQQ of a CHECK CONDITION,
 * or kInvalid: refused by the port as an invalid request (no CHECK CONDITION). */
struct Step {
    Cdb Block;
    std::vector<UCHAR> Out;
    ULONG In;
    LONGLONG Before;
    ULONG Sense;
};

Step C(Cdb Block, ULONG Sense = 0) {
    return {std::move(Block), {}, 0, 0, Sense};
}
Step W(ULONG Lba, USHORT Blocks, ULONG Sense = 0, ULONG BlockSize = 2048) {
    return {Write10(Lba, Blocks), std::vector<UCHAR>((size_t)Blocks * BlockSize, 0x5A), 0, 0,
            Sense};
}
Step R(ULONG Lba, USHORT Blocks, ULONG Sense = 0) {
    return {Write10(Lba, Blocks, SCSIOP_READ), {}, Blocks * 2048u, 0, Sense};
}
Step Later(LONGLONG Time, Step S) {
    S.Before = Time;
    return S;
}
/* MODE SELECT(10) of the write parameters page (BUFE set). */
Step Page05(UCHAR WriteType, UCHAR DataBlockType, UCHAR MultiSession = 0) {
    std::vector<UCHAR> list(8 + 52, 0);
    UCHAR *page = list.data() + 8;
    page[0] = 0x05;
    page[1] = 0x32;
    page[2] = (UCHAR)(0x40 | WriteType);
    page[3] = (UCHAR)((MultiSession << 6) | 0x04);
    page[4] = DataBlockType;
    return {{SCSIOP_MODE_SELECT10, 0x10, 0, 0, 0, 0, 0, 0, (UCHAR)list.size(), 0}, list, 0, 0, 0};
}

class SimRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        HostClockUseVirtual();
        scope_ = new HostThreadScope("simrecorder test");
        char pattern[] = "/tmp/simrec-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        HostSimDefaultConfig(&config_);
        config_.NoPortDevice = TRUE;
        discPath_ = dir_ + "/disc.img";
        config_.DiscFile = discPath_.c_str();
    }

    void TearDown() override {
        Destroy();
        unlink((dir_ + "/link.img").c_str());
        rmdir(dir_.c_str());
        delete scope_;
    }

    void Create() {
        rec_ = HostCreateSimulatedRecorder(&config_);
        ASSERT_NE(rec_, nullptr);
    }

    /* The recorder gone, and its disc file with it. */
    void Destroy() {
        if (rec_ != nullptr) {
            HostDestroySimulatedRecorder(rec_);
            rec_ = nullptr;
        }
        for (const char *suffix : {"", ".blocks", ".meta"}) {
            unlink((discPath_ + suffix).c_str());
        }
    }

    /* A new recorder with a new blank medium (for each row of a table). */
    void Fresh() {
        Destroy();
        Create();
    }

    /* Sends one EXECUTE_SCSI block as a class driver fills it. */
    Reply Send(const Cdb &Block, void *Data = nullptr, ULONG Length = 0, bool Out = false,
               ULONG ExtraFlags = 0) {
        SCSI_REQUEST_BLOCK srb;
        memset(&srb, 0, sizeof(srb));
        Reply r;
        memset(&r, 0xEE, sizeof(r));
        srb.Length = sizeof(srb);
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.CdbLength = (UCHAR)Block.size();
        memcpy(srb.Cdb, Block.data(), Block.size());
        srb.SenseInfoBuffer = r.Sense;
        srb.SenseInfoBufferLength = SENSE_BUFFER_SIZE;
        srb.DataBuffer = Data;
        srb.DataTransferLength = Data ? Length : 0;
        srb.SrbFlags = (Data ? (Out ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN) : 0) |
                       SRB_FLAGS_DISABLE_SYNCH_TRANSFER | ExtraFlags;
        srb.TimeOutValue = 300;
        HostSimExecuteSrb(rec_, &srb);
        r.SrbStatus = srb.SrbStatus;
        r.ScsiStatus = srb.ScsiStatus;
        r.Transferred = srb.DataTransferLength;
        return r;
    }

    Reply Run(Step S) {
        HostClockAdvance(S.Before);
        std::vector<UCHAR> in(S.In);
        return S.Out.empty() ? Send(S.Block, S.In ? in.data() : nullptr, S.In)
                             : Send(S.Block, S.Out.data(), (ULONG)S.Out.size(), true);
    }

    Reply WriteBlocks(ULONG Lba, USHORT Blocks, ULONG BlockSize = 2048, UCHAR Fill = 0x5A) {
        Step s = W(Lba, Blocks, 0, BlockSize);
        std::fill(s.Out.begin(), s.Out.end(), Fill);
        return Run(s);
    }

    UCHAR Function(UCHAR Function) {
        SCSI_REQUEST_BLOCK srb;
        memset(&srb, 0, sizeof(srb));
        srb.Length = sizeof(srb);
        srb.Function = Function;
        HostSimExecuteSrb(rec_, &srb);
        return srb.SrbStatus;
    }
    UCHAR ReleaseQueue() { return Function(SRB_FUNCTION_RELEASE_QUEUE); }

    /* A write sent from another thread while the queue is frozen; returns after 1 s. */
    std::thread HeldWrite(std::atomic<UCHAR> *Status) {
        std::atomic<bool> started{false};
        std::thread waiter([this, Status, &started] {
            HostThreadScope scope("waiter");
            started = true;
            *Status = WriteBlocks(0, 1).SrbStatus;
        });
        while (!started) {
            std::this_thread::yield();
        }
        LARGE_INTEGER second;
        second.QuadPart = -kSecond;
        KeDelayExecutionThread(KernelMode, FALSE, &second);
        return waiter;
    }

    SIM_MEDIUM_INFO Medium() {
        SIM_MEDIUM_INFO info;
        HostSimGetMediumInfo(rec_, &info);
        return info;
    }

    SIM_RECORDER_COUNTERS Counters() {
        SIM_RECORDER_COUNTERS c;
        HostSimGetCounters(rec_, &c);
        return c;
    }

    /* Runs a step and checks its answer; a refused write leaves the next writable address. */
    void Expect(const Step &S);

    std::string dir_;
    std::string discPath_;
    SIM_RECORDER_CONFIG config_;
    PSIM_RECORDER rec_ = nullptr;
    HostThreadScope *scope_ = nullptr;
};

void ExpectCheckCondition(const Reply &R, ULONG Sense) {
    EXPECT_EQ(R.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(R.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(R.Sense[0], 0x70);
    EXPECT_EQ(R.Sense[7], 10);
    EXPECT_EQ((ULONG)((R.Sense[2] & 0x0F) << 16 | R.Sense[12] << 8 | R.Sense[13]), Sense);
}

void SimRecorderTest::Expect(const Step &S) {
    const LONG nwa = Medium().NextWritable;
    Reply r = Run(S);
    if (S.Sense == 0) {
        EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS) << "opcode " << (int)S.Block[0];
        return;
    }
    if (S.Sense == kInvalid) {
        EXPECT_EQ(r.SrbStatus, SRB_STATUS_INVALID_REQUEST | SRB_STATUS_QUEUE_FROZEN);
    } else {
        ExpectCheckCondition(r, S.Sense);
    }
    if (S.Block[0] == SCSIOP_WRITE) {
        EXPECT_EQ(Medium().NextWritable, nwa);
    }
    EXPECT_EQ(ReleaseQueue(), SRB_STATUS_SUCCESS);
}

/* ---- what a recorder refuses ------------------------------------------------------------ */

/* Scripts on a blank 64-block CD-R (page 05 as after power-on: track-at-once, 2048-byte
 * Mode 1) behind a port taking 64 KiB at most, each command with the answer a real recorder
 * (or port) gives. */
TEST_F(SimRecorderTest, RecorderAnswersWhatARealOneAnswers) {
    const Cdb prevent = {0x1E, 0, 0, 0, 0x01, 0}, allow = {0x1E, 0, 0, 0, 0x00, 0};
    const Cdb eject = {0x1B, 0, 0, 0, 0x02, 0}, load = {0x1B, 0, 0, 0, 0x03, 0};
    const struct {
        const char *Name;
        ULONG Speed;
        bool UnderrunProtection;
        std::vector<Step> Steps;
    } rows[] = {
        {"unknown opcode", 0, true, {C({0xEE, 0, 0, 0, 0, 0}, 0x052000)}},
        {"out of order", 0, true, {W(0, 8), W(16, 8, 0x052102)}},
        {"rewrite of write-once", 0, true, {W(0, 8), C(kSynchronizeCache), W(0, 8, 0x052102)}},
        {"address near 2^32", 0, true, {W(0xFFFFFF00u, 16, 0x052102)}},
        {"block size not page 05's", 0, true, {W(0, 2, 0x052400, 2352)}},
        {"past the capacity", 0, true, {W(0, 32), W(32, 16), W(48, 17, 0x052100)}},
        {"beyond the adapter's transfer limit", 0, true, {W(0, 33, kInvalid), W(0, 32)}},
        {"read beyond what was written",
         0,
         true,
         {W(0, 8), C(kSynchronizeCache), R(4, 4), R(4, 5, 0x052100)}},
        /* Closed, a write-once disc takes no more and cannot be blanked. */
        {"closed disc",
         0,
         true,
         {W(0, 8), C(kSynchronizeCache), C(kCloseSession), W(8, 1, 0x053005),
          C({0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0x053005)}},
        /* The tray: removal prevented refuses the eject; no medium after it; a load is
           announced. */
        {"tray",
         0,
         true,
         {C(prevent), C(eject, 0x055302), C(allow), C(eject), C(kTestUnitReady, 0x023A00),
          W(0, 1, 0x023A00), C(load), C(kTestUnitReady, 0x062800), C(kTestUnitReady)}},
        /* Underruns at 1x without protection: the next write fails with loss of streaming
           and the medium takes no more; an empty buffer after SYNCHRONIZE CACHE is none. */
        {"underrun without protection",
         1,
         false,
         {W(0, 16), Later(2 * kSecond, W(16, 16, 0x030C09)), W(16, 16, 0x053005)}},
        {"no underrun after synchronize",
         1,
         false,
         {W(0, 16), C(kSynchronizeCache), Later(5 * kSecond, W(16, 16))}},
    };
    config_.CapacityBlocks = 64;
    config_.MaximumTransferLength = 64 * 1024;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.Name);
        config_.SpeedMultiple = row.Speed;
        config_.UnderrunProtection = row.UnderrunProtection;
        Fresh();
        for (const Step &step : row.Steps) {
            Expect(step);
        }
    }
    /* A disc file that is a symbolic link is not opened. */
    std::string link = dir_ + "/link.img";
    ASSERT_EQ(symlink(discPath_.c_str(), link.c_str()), 0);
    config_.DiscFile = link.c_str();
    EXPECT_EQ(HostCreateSimulatedRecorder(&config_), nullptr);
    config_.DiscFile = discPath_.c_str();
}

/* ---- identity, sense, frozen queue ------------------------------------------------------ */

/* A CHECK CONDITION freezes the queue. A block that bypasses it executes; any other waits, and
 * runs when another thread releases the queue, is refused when it flushes it, or when nobody
 * releases it within the time-out. */
TEST_F(SimRecorderTest, FrozenQueueHoldsBlocksUntilReleasedOrFlushed) {
    config_.FrozenQueueTimeout = 5 * kSecond;
    Create();
    ExpectCheckCondition(Send({SCSIOP_MODE_SENSE, 0, 0x2A, 0, 0, 0}), 0x052000);
    EXPECT_TRUE(Counters().QueueFrozen);
    Reply r = Send(kTestUnitReady, nullptr, 0, false, SRB_FLAGS_BYPASS_FROZEN_QUEUE);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    LONGLONG before = HostClockNow();
    EXPECT_EQ(WriteBlocks(0, 1).SrbStatus, SRB_STATUS_REQUEST_FLUSHED); /* no frozen bit */
    EXPECT_GE(HostClockNow() - before, 5 * kSecond);

    std::atomic<UCHAR> status{0};
    std::thread waiter = HeldWrite(&status);
    EXPECT_EQ(Counters().Writes, 0u);
    before = HostClockNow();
    EXPECT_EQ(ReleaseQueue(), SRB_STATUS_SUCCESS);
    waiter.join();
    EXPECT_EQ(status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Counters().Writes, 1u);
    EXPECT_EQ(HostClockNow(), before);

    ExpectCheckCondition(Send({0xEE, 0, 0, 0, 0, 0}), 0x052000);
    waiter = HeldWrite(&status);
    EXPECT_EQ(Function(SRB_FUNCTION_FLUSH_QUEUE), SRB_STATUS_SUCCESS);
    waiter.join();
    EXPECT_EQ(status, SRB_STATUS_REQUEST_FLUSHED);
    EXPECT_EQ(Counters().Writes, 1u);
    EXPECT_FALSE(Counters().QueueFrozen);
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.QueueFreezes, 2u);
    EXPECT_EQ(c.QueueReleases, 2u); /* the flush releases it too */
}

TEST_F(SimRecorderTest, NoAutosenseWithoutSenseBufferAndRequestSenseReturnsIt) {
    Create();
    SCSI_REQUEST_BLOCK srb;
    memset(&srb, 0, sizeof(srb));
    srb.Length = sizeof(srb);
    srb.CdbLength = 6;
    srb.Cdb[0] = 0xEE;
    srb.SrbFlags = SRB_FLAGS_NO_QUEUE_FREEZE;
    HostSimExecuteSrb(rec_, &srb);
    EXPECT_EQ(srb.SrbStatus, SRB_STATUS_ERROR); /* neither autosense nor frozen */
    EXPECT_EQ(srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_FALSE(Counters().QueueFrozen);

    UCHAR sense[18];
    Reply r = Send({SCSIOP_REQUEST_SENSE, 0, 0, 0, sizeof(sense), 0}, sense, sizeof(sense));
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(sense[0], 0x70);
    EXPECT_EQ(sense[2], SCSI_SENSE_ILLEGAL_REQUEST);
    EXPECT_EQ(sense[12], 0x20);
    /* Fetched once; then no sense. */
    Send({SCSIOP_REQUEST_SENSE, 0, 0, 0, sizeof(sense), 0}, sense, sizeof(sense));
    EXPECT_EQ(sense[2], SCSI_SENSE_NO_SENSE);
}

/* ---- drive buffer and drain --------------------------------------------------------------- */

/* A full buffer answers NOT READY, LONG WRITE IN PROGRESS until the drain at the write speed
 * makes room; READ BUFFER CAPACITY shows the fill. */
TEST_F(SimRecorderTest, FullBufferAnswersLongWriteUntilDrainMakesRoom) {
    config_.SpeedMultiple = 1;
    config_.BufferBytes = 64 * 1024;
    Create();
    auto blank = [&] {
        UCHAR data[12];
        const Cdb capacity = {SCSIOP_READ_BUFFER_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 12, 0};
        EXPECT_EQ(Send(capacity, data, sizeof(data)).SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(data[1], 10);
        EXPECT_EQ(Be32(data + 4), 64u * 1024);
        return Be32(data + 8);
    };
    EXPECT_EQ(blank(), 64u * 1024);
    Expect(W(0, 16));
    Expect(W(16, 16)); /* exactly full */
    EXPECT_EQ(blank(), 0u);
    Expect(W(32, 16, 0x020408));
    Expect(C(kTestUnitReady, 0x020408));
    HostClockAdvance(kSecond / 10); /* 1x CD drains 15360 bytes in 100 ms */
    EXPECT_EQ(blank(), 15360u);

    /* 32 KiB drain at 1x CD in 32768 / 153600 s; just short of it there is still no room. */
    LONGLONG drain = (32768LL * kSecond + kCd1x - 1) / kCd1x - kSecond / 10;
    Expect(Later(drain - kSecond / 100, C(kTestUnitReady, 0x020408)));
    Expect(Later(kSecond / 100, C(kTestUnitReady)));
    Expect(W(32, 16));

    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.NotReadyAnswers, 3u);
    EXPECT_EQ(c.Writes, 3u);
    EXPECT_EQ(c.MaxFill, 64u * 1024);
    EXPECT_EQ(c.Underruns, 0u);
}

TEST_F(SimRecorderTest, UnderrunIsCountedWithProtectionAndWritingGoesOn) {
    config_.SpeedMultiple = 1;
    Create();
    Expect(W(0, 16));
    Expect(Later(kSecond / 10, W(16, 16))); /* 15360 bytes drained: still data in the buffer */
    EXPECT_EQ(Counters().Underruns, 0u);
    EXPECT_EQ(Counters().MinFill, 32768u - 15360u);
    Expect(Later(2 * kSecond, W(32, 16))); /* the buffer runs empty between two writes */
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.Underruns, 1u);
    EXPECT_EQ(c.MinFill, 0u);
    EXPECT_EQ(c.Writes, 3u);
}

/* SYNCHRONIZE CACHE returns once the buffer has drained at the write speed. (A test write leaves
 * the medium blank: ToolTest.EachMediumIsRecordedAsItsRecordersWantAndFoundAgain.) */
TEST_F(SimRecorderTest, SynchronizeCacheReturnsWhenDrained) {
    config_.SpeedMultiple = 2;
    Create();
    Expect(W(0, 32));
    LONGLONG before = HostClockNow();
    Expect(C(kSynchronizeCache));
    const LONGLONG drain = (32LL * 2048 * kSecond) / (2 * kCd1x);
    EXPECT_GE(HostClockNow() - before, drain);
    EXPECT_LT(HostClockNow() - before, drain + kSecond / 100);
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.BufferLevel, 0u);
    EXPECT_FALSE(c.Recording);
    EXPECT_EQ(c.Synchronizes, 1u);
    Expect(C(kCloseSession));
    EXPECT_EQ(Medium().Status, 2u);
    EXPECT_EQ(Medium().RecordedEnd, 32u);
}

/* ---- disc file ---------------------------------------------------------------------------- */

/* Session-at-once: after the cue sheet the first write is the pre-gap at -150, and each
 * address takes the block size of its track (data 2048, audio 2352). */
TEST_F(SimRecorderTest, CueSheetStartsAtPregapAndFixesEachAddressBlockSize) {
    Create();
    Expect(Page05(2, 8));
    /* lead-in; track 1 index 0 at 00:00:00 and index 1 at 00:02:00 (block 0), data; track 2
       audio from block 10; lead-out at block 13 */
    std::vector<UCHAR> cue = {0x41, 0x00, 0x00, 0x10, 0,    0,    0,    0,    0x41, 0x01,
                              0x00, 0x10, 0,    0,    0,    0,    0x41, 0x01, 0x01, 0x10,
                              0,    0,    2,    0,    0x01, 0x02, 0x01, 0x00, 0,    0,
                              2,    10,   0x01, 0xAA, 0x01, 0x00, 0,    0,    2,    13};
    Expect({{0x5D, 0, 0, 0, 0, 0, 0, 0, (UCHAR)cue.size(), 0}, cue, 0, 0, 0});
    Expect(W(0, 1, 0x052102));
    for (LONG lba = -150; lba < 0; lba += 30) {
        ASSERT_EQ(WriteBlocks((ULONG)lba, 30, 2048, 0).SrbStatus, SRB_STATUS_SUCCESS) << lba;
    }
    ASSERT_EQ(WriteBlocks(0, 10, 2048, 0x11).SrbStatus, SRB_STATUS_SUCCESS);
    /* The audio track's blocks in the data size are refused; in their own size taken. */
    Expect(W(10, 3, 0x052400));
    ASSERT_EQ(WriteBlocks(10, 3, 2352, 0x22).SrbStatus, SRB_STATUS_SUCCESS);
    Expect(C(kSynchronizeCache));

    UCHAR block[SIM_MAX_BLOCK_SIZE];
    EXPECT_EQ(HostSimReadBlock(rec_, 9, block, sizeof(block)), 2048u);
    EXPECT_EQ(block[0], 0x11);
    EXPECT_EQ(HostSimReadBlock(rec_, 12, block, sizeof(block)), 2352u);
    EXPECT_EQ(block[2351], 0x22);
    /* Written to its lead-out, the session at once closed the disc at SYNCHRONIZE CACHE. */
    EXPECT_EQ(Medium().Tracks, 2u);
    EXPECT_EQ(Medium().Status, 2u);
}

/* ---- fault script and command log --------------------------------------------------------- */

/* A fault at a command number hits that command only, unexecuted, and the log shows it; one at
 * a block hits each write covering it, as often as asked, and no read. */
TEST_F(SimRecorderTest, FaultsHitTheirCommandOrTheWritesCoveringTheirBlockOnly) {
    Create();
    ULONG id = HostSimFaultSenseAtCommand(rec_, 3, SCSI_SENSE_HARDWARE_ERROR, 0x44, 0x01);
    HostSimFaultSenseAtBlock(rec_, 20, SCSI_SENSE_NOT_READY, 0x04, 0x08, 2);
    EXPECT_EQ(HostSimUnreachedFaults(rec_), 2u);
    for (const Step &s : {C(kTestUnitReady), W(0, 1), W(1, 1, 0x044401), W(1, 15), R(0, 16),
                          W(16, 16, 0x020408), W(16, 16, 0x020408), W(16, 16)}) {
        Expect(s);
    }
    EXPECT_EQ(HostSimFaultFired(rec_, id), 1u);
    EXPECT_EQ(HostSimUnreachedFaults(rec_), 0u);
    EXPECT_EQ(Counters().Writes, 3u);
    SIM_LOG_ENTRY e;
    ASSERT_TRUE(HostSimLogEntry(rec_, 2, &e));
    EXPECT_EQ(e.Number, 3u);
    EXPECT_TRUE(e.Injected);
    ASSERT_TRUE(HostSimLogEntry(rec_, 3, &e));
    EXPECT_FALSE(e.Injected);
}

/* A reset announces itself by unit attention (INQUIRY does not take it). A bus reset costs
 * nothing; a power-on or device reset loses the blocks still in the drive buffer and the
 * write parameters, so the next writable address goes back to the first block not on the
 * medium. */
TEST_F(SimRecorderTest, ResetsLoseBufferedBlocksAndWriteParametersUnlessBusReset) {
    struct Case {
        SIM_FAULT_KIND Kind;
        UCHAR Ascq;
        bool Kept;
    } cases[] = {{SimFaultBusReset, 0x02, true},
                 {SimFaultPowerOnReset, 0x01, false},
                 {SimFaultDeviceReset, 0x03, false}};
    config_.SpeedMultiple = 1;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Ascq);
        Fresh();
        Expect(Page05(1, 8, 3)); /* multi-session */
        Expect(W(0, 16));        /* 0.2 s in the buffer */
        SIM_FAULT f;
        HostSimInitFault(&f, SimFaultAtCommand, c.Kind);
        f.CommandNumber = 3;
        HostSimAddFault(rec_, &f);
        EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_BUS_RESET | SRB_STATUS_QUEUE_FROZEN);
        ReleaseQueue();
        Expect({{SCSIOP_INQUIRY, 0, 0, 0, 36, 0}, {}, 36, 0, 0});
        Expect(C(kTestUnitReady, 0x062900 | c.Ascq));
        Expect(C(kSynchronizeCache));
        UCHAR block[2048];
        EXPECT_EQ(HostSimReadBlock(rec_, 15, block, sizeof(block)), c.Kept ? 2048u : 0u);
        EXPECT_EQ(Medium().NextWritable, c.Kept ? 16 : 0);
        UCHAR sense[8 + 52];
        ASSERT_EQ(Send({SCSIOP_MODE_SENSE10, 0, 0x05, 0, 0, 0, 0, 0, sizeof(sense), 0}, sense,
                       sizeof(sense))
                      .SrbStatus,
                  SRB_STATUS_SUCCESS);
        EXPECT_EQ(sense[8 + 3] >> 6, c.Kept ? 3 : 0);
    }
}

/* A write whose data did not all arrive is not executed; one that moved all of it is. */
TEST_F(SimRecorderTest, InjectedDataOverrunLeavesGivenLengthAndExecutesAWholeWrite) {
    Create();
    SIM_FAULT f;
    HostSimInitFault(&f, SimFaultAtBlock, SimFaultDataOverrun);
    f.BlockAddress = 5;
    for (ULONG transferred : {4096u, 8u * 2048}) {
        f.TransferredLength = transferred;
        HostSimAddFault(rec_, &f);
        Reply r = WriteBlocks(0, 8);
        EXPECT_EQ(r.SrbStatus, SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN);
        EXPECT_EQ(r.Transferred, transferred);
        ReleaseQueue();
        const bool whole = transferred == 8 * 2048;
        UCHAR block[2048];
        EXPECT_EQ(HostSimReadBlock(rec_, 0, block, sizeof(block)), whole ? 2048u : 0u);
        EXPECT_EQ(HostSimReadBlock(rec_, 7, block, sizeof(block)), whole ? 2048u : 0u);
        EXPECT_EQ(Medium().NextWritable, whole ? 8 : 0);
    }
}

} // namespace
