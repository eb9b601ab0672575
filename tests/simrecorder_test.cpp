/*
 * simrecorder_test.cpp - the simulated recorder driven by request blocks without the driver:
 * what it refuses as a real recorder does (sense per command), drive buffer and drain on the
 * virtual clock, underruns, the disc file, autosense and the frozen queue, the fault script and
 * resets.
 */
#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <standin/io.h>
#include <standin/simrecorder.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr LONGLONG kSecond = 10000000;
constexpr ULONG kCd1x = SIM_CD_1X_BYTES_PER_SECOND;

using Cdb = std::vector<UCHAR>;
constexpr ULONG kInvalid = 0xFF000000;

struct Reply {
    UCHAR SrbStatus, ScsiStatus;
    ULONG Transferred;
    UCHAR Sense[SENSE_BUFFER_SIZE];
    std::vector<UCHAR> In; /* the data read, of a step */
};

Cdb Write10(ULONG Lba, USHORT Blocks, UCHAR Opcode = SCSIOP_WRITE) {
    return {Opcode,     0, (UCHAR)(Lba >> 24),   (UCHAR)(Lba >> 16), (UCHAR)(Lba >> 8),
            (UCHAR)Lba, 0, (UCHAR)(Blocks >> 8), (UCHAR)Blocks,      0};
}

const Cdb kTestUnitReady = {0, 0, 0, 0, 0, 0};
const Cdb kSynchronizeCache = {SCSIOP_SYNCHRONIZE_CACHE, 0, 0, 0, 0, 0, 0, 0, 0, 0};
const Cdb kCloseSession = {0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0};

/* One command of a script: the block, the data it sends or the length it reads, the answer
 * expected (0 GOOD, the sense 0xKKAAQQ of a CHECK CONDITION, or kInvalid: refused by the port as
 * an invalid request, no CHECK CONDITION) and the time that passes before it. */
struct Step {
    Cdb Block;
    std::vector<UCHAR> Out;
    ULONG In = 0, Sense = 0;
    LONGLONG Before = 0;
};

Step C(Cdb Block, ULONG Sense = 0) {
    return {std::move(Block), {}, 0, Sense};
}
Step W(ULONG Lba, USHORT Blocks, ULONG Sense = 0, ULONG BlockSize = 2048) {
    return {Write10(Lba, Blocks), std::vector<UCHAR>((size_t)Blocks * BlockSize, 0x5A), 0, Sense};
}
Step R(ULONG Lba, USHORT Blocks, ULONG Sense = 0) {
    return {Write10(Lba, Blocks, SCSIOP_READ), {}, Blocks * 2048u, Sense};
}
Step Later(LONGLONG Time, Step S) {
    S.Before = Time;
    return S;
}
/* MODE SELECT(10) of the write parameters page (BUFE set). */
Step Page05(UCHAR WriteType, UCHAR DataBlockType, UCHAR MultiSession = 0) {
    std::vector<UCHAR> list(8 + 52, 0);
    list[8] = 0x05;
    list[9] = 0x32;
    list[10] = (UCHAR)(0x40 | WriteType);
    list[11] = (UCHAR)((MultiSession << 6) | 0x04);
    list[12] = DataBlockType;
    return {{SCSIOP_MODE_SELECT10, 0x10, 0, 0, 0, 0, 0, 0, (UCHAR)list.size(), 0}, list};
}

class SimRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        HostClockUseVirtual();
        char pattern[] = "/tmp/simrec-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        HostSimDefaultConfig(&config_);
        config_.NoPortDevice = TRUE;
    }

    void TearDown() override {
        Destroy();
        std::filesystem::remove_all(dir_);
    }

    /* A new recorder with a new blank medium in a disc file of its own. */
    void Create() {
        Destroy();
        discPath_ = dir_ + "/disc" + std::to_string(discs_++) + ".img";
        config_.DiscFile = discPath_.c_str();
        rec_ = HostCreateSimulatedRecorder(&config_);
        ASSERT_NE(rec_, nullptr);
    }

    void Destroy() {
        if (rec_ != nullptr)
            HostDestroySimulatedRecorder(rec_);
        rec_ = nullptr;
    }

    /* Sends one EXECUTE_SCSI block as a class driver fills it. */
    Reply Send(const Cdb &Block, void *Data = nullptr, ULONG Length = 0, bool Out = false) {
        SCSI_REQUEST_BLOCK srb = {};
        Reply r{};
        memset(r.Sense, 0xEE, sizeof(r.Sense));
        srb.Length = sizeof(srb);
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.CdbLength = (UCHAR)Block.size();
        memcpy(srb.Cdb, Block.data(), Block.size());
        srb.SenseInfoBuffer = r.Sense;
        srb.SenseInfoBufferLength = SENSE_BUFFER_SIZE;
        srb.DataBuffer = Data;
        srb.DataTransferLength = Data ? Length : 0;
        srb.SrbFlags = (Data ? (Out ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN) : 0) |
                       SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
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
        Reply r = S.Out.empty() ? Send(S.Block, S.In ? in.data() : nullptr, S.In)
                                : Send(S.Block, S.Out.data(), (ULONG)S.Out.size(), true);
        r.In = std::move(in);
        return r;
    }

    UCHAR ReleaseQueue() {
        SCSI_REQUEST_BLOCK srb = {};
        srb.Length = sizeof(srb);
        srb.Function = SRB_FUNCTION_RELEASE_QUEUE;
        HostSimExecuteSrb(rec_, &srb);
        return srb.SrbStatus;
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

    /* Bytes of block Lba on the medium (0: not there, or still in the drive buffer). */
    ULONG OnMedium(ULONG Lba) {
        UCHAR block[SIM_MAX_BLOCK_SIZE];
        return HostSimReadBlock(rec_, Lba, block, sizeof(block));
    }

    /* Runs a step and checks its answer; a refused command leaves the next writable address. */
    void Expect(const Step &S);

    std::string dir_;
    std::string discPath_;
    int discs_ = 0;
    SIM_RECORDER_CONFIG config_;
    PSIM_RECORDER rec_ = nullptr;
    HostThreadScope scope_{"simrecorder test"};
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
    EXPECT_EQ(Medium().NextWritable, nwa);
    EXPECT_EQ(ReleaseQueue(), SRB_STATUS_SUCCESS);
}

/* ---- what a recorder refuses ------------------------------------------------------------ */

/* Scripts on a blank 64-block CD-R (page 05 as after power-on: track-at-once, 2048-byte
 * Mode 1) behind a port taking 64 KiB at most, each command with the answer a real recorder
 * (or port) gives. */
TEST_F(SimRecorderTest, RecorderAnswersWhatARealOneAnswers) {
    const Cdb prevent = {0x1E, 0, 0, 0, 0x01, 0}, allow = {0x1E, 0, 0, 0, 0x00, 0};
    const Cdb eject = {0x1B, 0, 0, 0, 0x02, 0}, load = {0x1B, 0, 0, 0, 0x03, 0};
    const Cdb blank = {0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const struct {
        const char *Name;
        std::vector<Step> Steps;
        bool Unprotected1x = false; /* at 1x without underrun protection */
    } rows[] = {
        {"unknown opcode", {C({0xEE, 0, 0, 0, 0, 0}, 0x052000)}},
        {"out of order", {W(0, 8), W(16, 8, 0x052102)}},
        {"rewrite of write-once", {W(0, 8), C(kSynchronizeCache), W(0, 8, 0x052102)}},
        {"address near 2^32", {W(0xFFFFFF00u, 16, 0x052102)}},
        {"block size not page 05's", {W(0, 2, 0x052400, 2352)}},
        {"past the capacity", {W(0, 32), W(32, 16), W(48, 17, 0x052100)}},
        {"beyond the adapter's transfer limit", {W(0, 33, kInvalid), W(0, 32)}},
        {"read past the written end", {W(0, 8), C(kSynchronizeCache), R(4, 4), R(4, 5, 0x052100)}},
        /* Closed, a write-once disc takes no more and cannot be blanked. */
        {"closed disc",
         {W(0, 8), C(kSynchronizeCache), C(kCloseSession), W(8, 1, 0x053005), C(blank, 0x053005)}},
        /* The tray: removal prevented refuses the eject; no medium after it; a load is
           announced. */
        {"tray",
         {C(prevent), C(eject, 0x055302), C(allow), C(eject), C(kTestUnitReady, 0x023A00),
          W(0, 1, 0x023A00), C(load), C(kTestUnitReady, 0x062800), C(kTestUnitReady)}},
        /* Underruns at 1x without protection: the next write fails with loss of streaming
           and the medium takes no more; an empty buffer after SYNCHRONIZE CACHE is none. */
        {"underrun", {W(0, 16), Later(kSecond, W(16, 16, 0x030C09)), W(16, 16, 0x053005)}, true},
        {"after synchronize", {W(0, 16), C(kSynchronizeCache), Later(kSecond, W(16, 16))}, true},
    };
    config_.CapacityBlocks = 64;
    for (const auto &row : rows) {
        SCOPED_TRACE(row.Name);
        config_.SpeedMultiple = row.Unprotected1x ? 1 : 0;
        config_.UnderrunProtection = !row.Unprotected1x;
        Create();
        for (const Step &step : row.Steps)
            Expect(step);
    }
    /* A disc file that is a symbolic link is not opened. */
    std::string link = dir_ + "/link.img";
    ASSERT_EQ(symlink(discPath_.c_str(), link.c_str()), 0);
    config_.DiscFile = link.c_str();
    EXPECT_EQ(HostCreateSimulatedRecorder(&config_), nullptr);
}

/* ---- frozen queue -------------------------------------------------------------------------- */

/* A CHECK CONDITION freezes the queue: any other block waits, and runs at once when another
 * thread releases the queue. */
TEST_F(SimRecorderTest, FrozenQueueHoldsBlocksUntilReleased) {
    Create();
    ExpectCheckCondition(Send({SCSIOP_MODE_SENSE, 0, 0x2A, 0, 0, 0}), 0x052000);

    std::atomic<bool> started{false};
    std::atomic<UCHAR> status{0};
    std::thread waiter([&] {
        HostThreadScope scope("waiter");
        started = true;
        status = Run(W(0, 1)).SrbStatus;
    });
    while (!started)
        std::this_thread::yield();
    LARGE_INTEGER second;
    second.QuadPart = -kSecond;
    KeDelayExecutionThread(KernelMode, FALSE, &second);
    EXPECT_EQ(Counters().Writes, 0u);
    LONGLONG before = HostClockNow();
    EXPECT_EQ(ReleaseQueue(), SRB_STATUS_SUCCESS);
    waiter.join();
    EXPECT_EQ(status, SRB_STATUS_SUCCESS);
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.Writes, 1u);
    EXPECT_EQ(HostClockNow(), before);
    EXPECT_EQ(c.QueueFreezes, 1u);
    EXPECT_EQ(c.QueueReleases, 1u);
}

/* ---- drive buffer and drain --------------------------------------------------------------- */

/* The drive buffer drains at the write speed: full, it answers NOT READY, LONG WRITE IN
 * PROGRESS until the drain makes room (READ BUFFER CAPACITY shows the room); running empty
 * between two writes is an underrun, counted under protection, and writing goes on;
 * SYNCHRONIZE CACHE returns once it has drained, the blocks then on the medium. */
TEST_F(SimRecorderTest, DriveBufferDrainsAtTheWriteSpeed) {
    config_.SpeedMultiple = 1;
    config_.BufferBytes = 64 * 1024;
    Create();
    auto room = [&] {
        Reply r = Run({{SCSIOP_READ_BUFFER_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 12, 0}, {}, 12});
        EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
        const UCHAR *data = r.In.data();
        EXPECT_EQ(data[1], 10);
        EXPECT_EQ((ULONG)(data[4] << 24 | data[5] << 16 | data[6] << 8 | data[7]), 64u * 1024);
        return (ULONG)(data[8] << 24 | data[9] << 16 | data[10] << 8 | data[11]);
    };
    Expect(W(0, 16));
    Expect(W(16, 16)); /* exactly full */
    EXPECT_EQ(room(), 0u);
    Expect(W(32, 16, 0x020408));
    Expect(C(kTestUnitReady, 0x020408));
    HostClockAdvance(kSecond / 10); /* 1x CD drains 15360 bytes in 100 ms */
    EXPECT_EQ(room(), 15360u);

    /* 32 KiB drain at 1x CD in 32768 / 153600 s; just short of it there is still no room. */
    LONGLONG drain = (32768LL * kSecond + kCd1x - 1) / kCd1x - kSecond / 10;
    Expect(Later(drain - kSecond / 100, C(kTestUnitReady, 0x020408)));
    Expect(Later(kSecond / 100, C(kTestUnitReady)));
    Expect(W(32, 16));
    EXPECT_EQ(Counters().Underruns, 0u);
    Expect(Later(kSecond, W(48, 16))); /* 64 KiB drained in less than half a second */
    EXPECT_EQ(Counters().Underruns, 1u);

    EXPECT_EQ(OnMedium(63), 0u);
    LONGLONG before = HostClockNow();
    Expect(C(kSynchronizeCache));
    drain = 32768LL * kSecond / kCd1x;
    EXPECT_GE(HostClockNow() - before, drain);
    EXPECT_LT(HostClockNow() - before, drain + kSecond / 100);
    EXPECT_EQ(OnMedium(63), 2048u);
}

/* ---- disc file ---------------------------------------------------------------------------- */

/* Session-at-once: after the cue sheet the first write is the pre-gap at -150, and each
 * address takes the block size of its track (data 2048, audio 2352). (What the disc is then:
 * ToolTest.EachMediumIsRecordedAsItsRecordersWantAndFoundAgain.) */
TEST_F(SimRecorderTest, CueSheetStartsAtPregapAndFixesEachAddressBlockSize) {
    Create();
    Expect(Page05(2, 8));
    /* lead-in; track 1 index 0 at 00:00:00 and index 1 at 00:02:00 (block 0), data; track 2
       audio from block 10; lead-out at block 13 */
    std::vector<UCHAR> cue = {0x41, 0x00, 0x00, 0x10, 0,    0,    0,    0,    0x41, 0x01,
                              0x00, 0x10, 0,    0,    0,    0,    0x41, 0x01, 0x01, 0x10,
                              0,    0,    2,    0,    0x01, 0x02, 0x01, 0x00, 0,    0,
                              2,    10,   0x01, 0xAA, 0x01, 0x00, 0,    0,    2,    13};
    Expect({{0x5D, 0, 0, 0, 0, 0, 0, 0, (UCHAR)cue.size(), 0}, cue});
    Expect(W(0, 1, 0x052102));
    for (LONG lba = -150; lba < 0; lba += 30)
        Expect(W((ULONG)lba, 30));
    Expect(W(0, 10));
    /* The audio track's blocks in the data size are refused; in their own size taken. */
    Expect(W(10, 3, 0x052400));
    Expect(W(10, 3, 0, 2352));
    Expect(C(kSynchronizeCache));
    EXPECT_EQ(OnMedium(12), 2352u);
}

/* ---- fault script and command log --------------------------------------------------------- */

/* A fault at a command number hits that command only, unexecuted; one at
 * a block hits each write covering it, as often as asked, and no read. A data overrun leaves the
 * length that moved, and a write whose data did not all arrive is not executed. */
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

    SIM_FAULT f;
    HostSimInitFault(&f, SimFaultAtBlock, SimFaultDataOverrun);
    f.BlockAddress = 37;
    for (ULONG transferred : {4096u, 8u * 2048}) {
        const bool whole = transferred == 8 * 2048;
        f.TransferredLength = transferred;
        HostSimAddFault(rec_, &f);
        Reply r = Run(W(32, 8));
        EXPECT_EQ(r.SrbStatus, SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN);
        EXPECT_EQ(r.Transferred, transferred);
        ReleaseQueue();
        EXPECT_EQ(Medium().NextWritable, whole ? 40 : 32);
    }
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
        Create();
        Expect(Page05(1, 8, 3)); /* multi-session */
        Expect(W(0, 16));        /* 0.2 s in the buffer */
        SIM_FAULT f;
        HostSimInitFault(&f, SimFaultAtCommand, c.Kind);
        f.CommandNumber = 3;
        HostSimAddFault(rec_, &f);
        EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_BUS_RESET | SRB_STATUS_QUEUE_FROZEN);
        ReleaseQueue();
        Expect({{SCSIOP_INQUIRY, 0, 0, 0, 36, 0}, {}, 36});
        Expect(C(kTestUnitReady, 0x062900 | c.Ascq));
        Expect(C(kSynchronizeCache));
        EXPECT_EQ(OnMedium(15), c.Kept ? 2048u : 0u);
        EXPECT_EQ(Medium().NextWritable, c.Kept ? 16 : 0);
        Reply page = Run({{SCSIOP_MODE_SENSE10, 0, 0x05, 0, 0, 0, 0, 0, 60, 0}, {}, 60});
        ASSERT_EQ(page.SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(page.In[8 + 3] >> 6, c.Kept ? 3 : 0);
    }
}

} // namespace
