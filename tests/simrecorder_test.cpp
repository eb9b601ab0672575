/*
 * simrecorder_test.cpp - the simulated recorder driven by request blocks without the driver:
 * drive buffer and drain on the virtual clock, underruns, the disc file, autosense and the
 * frozen queue, the fault script and the command log; then the same recorder through its port
 * device (address, storage descriptors, request blocks in IRPs).
 */
#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <standin/io.h>
#include <standin/simrecorder.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr LONGLONG kSecond = 10000000;
constexpr ULONG kCd1x = SIM_CD_1X_BYTES_PER_SECOND;

struct Reply {
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    ULONG Transferred;
    UCHAR Sense[SENSE_BUFFER_SIZE];

    UCHAR Key() const { return Sense[2] & 0x0F; }
    UCHAR Asc() const { return Sense[12]; }
    UCHAR Ascq() const { return Sense[13]; }
};

std::vector<UCHAR> Write10(ULONG Lba, USHORT Blocks) {
    return {SCSIOP_WRITE, 0, (UCHAR)(Lba >> 24),   (UCHAR)(Lba >> 16), (UCHAR)(Lba >> 8),
            (UCHAR)Lba,   0, (UCHAR)(Blocks >> 8), (UCHAR)Blocks,      0};
}

std::vector<UCHAR> Read10(ULONG Lba, USHORT Blocks) {
    std::vector<UCHAR> cdb = Write10(Lba, Blocks);
    cdb[0] = SCSIOP_READ;
    return cdb;
}

const std::vector<UCHAR> kTestUnitReady = {0, 0, 0, 0, 0, 0};
const std::vector<UCHAR> kSynchronizeCache = {SCSIOP_SYNCHRONIZE_CACHE, 0, 0, 0, 0, 0, 0, 0, 0, 0};

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
        if (rec_ != nullptr) {
            HostDestroySimulatedRecorder(rec_);
        }
        unlink(discPath_.c_str());
        unlink((discPath_ + ".blocks").c_str());
        unlink((discPath_ + ".meta").c_str());
        unlink((dir_ + "/link.img").c_str());
        rmdir(dir_.c_str());
        delete scope_;
    }

    void Create() {
        rec_ = HostCreateSimulatedRecorder(&config_);
        ASSERT_NE(rec_, nullptr);
    }

    /* Sends one EXECUTE_SCSI block as a class driver fills it. */
    Reply Send(const std::vector<UCHAR> &Cdb, void *Data = nullptr, ULONG Length = 0,
               bool Out = false, ULONG ExtraFlags = 0) {
        SCSI_REQUEST_BLOCK srb;
        memset(&srb, 0, sizeof(srb));
        Reply r;
        memset(&r, 0xEE, sizeof(r));
        srb.Length = sizeof(srb);
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.CdbLength = (UCHAR)Cdb.size();
        memcpy(srb.Cdb, Cdb.data(), Cdb.size());
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

    Reply WriteBlocks(ULONG Lba, USHORT Blocks, ULONG BlockSize = 2048, UCHAR Fill = 0x5A) {
        std::vector<UCHAR> data((size_t)Blocks * BlockSize, Fill);
        return Send(Write10(Lba, Blocks), data.data(), (ULONG)data.size(), true);
    }

    UCHAR ReleaseQueue() {
        SCSI_REQUEST_BLOCK srb;
        memset(&srb, 0, sizeof(srb));
        srb.Length = sizeof(srb);
        srb.Function = SRB_FUNCTION_RELEASE_QUEUE;
        HostSimExecuteSrb(rec_, &srb);
        return srb.SrbStatus;
    }

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

    /* MODE SELECT(10) of the write parameters page. */
    Reply SelectPage05(UCHAR WriteType, UCHAR DataBlockType, UCHAR MultiSession = 0,
                       bool Bufe = true, bool TestWrite = false) {
        UCHAR list[8 + 52] = {};
        UCHAR *page = list + 8;
        page[0] = 0x05;
        page[1] = 0x32;
        page[2] = (UCHAR)((Bufe ? 0x40 : 0) | (TestWrite ? 0x10 : 0) | WriteType);
        page[3] = (UCHAR)((MultiSession << 6) | 0x04);
        page[4] = DataBlockType;
        return Send({SCSIOP_MODE_SELECT10, 0x10, 0, 0, 0, 0, 0, 0, sizeof(list), 0}, list,
                    sizeof(list), true);
    }

    LONG NextWritable() {
        SIM_MEDIUM_INFO info;
        HostSimGetMediumInfo(rec_, &info);
        return info.NextWritable;
    }

    SIM_RECORDER_COUNTERS Counters() {
        SIM_RECORDER_COUNTERS c;
        HostSimGetCounters(rec_, &c);
        return c;
    }

    std::string dir_;
    std::string discPath_;
    SIM_RECORDER_CONFIG config_;
    PSIM_RECORDER rec_ = nullptr;
    HostThreadScope *scope_ = nullptr;
};

void ExpectCheckCondition(const Reply &R, UCHAR Key, UCHAR Asc, UCHAR Ascq) {
    EXPECT_EQ(R.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(R.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(R.Sense[0], 0x70);
    EXPECT_EQ(R.Sense[7], 10);
    EXPECT_EQ(R.Key(), Key);
    EXPECT_EQ(R.Asc(), Asc);
    EXPECT_EQ(R.Ascq(), Ascq);
}

/* ---- identity, sense, frozen queue ------------------------------------------------------ */

TEST_F(SimRecorderTest, InquiryReportsConfiguredIdentityAsCdDevice) {
    strcpy(config_.Vendor, "ACME");
    strcpy(config_.Product, "BURNER");
    strcpy(config_.Revision, "2.1");
    Create();
    UCHAR data[36];
    Reply r = Send({SCSIOP_INQUIRY, 0, 0, 0, sizeof(data), 0}, data, sizeof(data));
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.Transferred, 36u);
    EXPECT_EQ(data[0], READ_ONLY_DIRECT_ACCESS_DEVICE);
    EXPECT_EQ(data[4], 31);
    EXPECT_EQ(std::string((char *)data + 8, 8), "ACME    ");
    EXPECT_EQ(std::string((char *)data + 16, 16), "BURNER          ");
    EXPECT_EQ(std::string((char *)data + 32, 4), "2.1 ");

    /* A larger buffer than the data: short transfer reported as overrun, queue not frozen. */
    UCHAR big[96];
    r = Send({SCSIOP_INQUIRY, 0, 0, 0, sizeof(big), 0}, big, sizeof(big));
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(r.Transferred, 36u);
    EXPECT_FALSE(Counters().QueueFrozen);
}

TEST_F(SimRecorderTest, UnknownOpcodeFreezesQueueUntilReleased) {
    config_.FrozenQueueTimeout = 0;
    Create();
    Reply r = Send({SCSIOP_MODE_SENSE, 0, 0x2A, 0, 0, 0});
    ExpectCheckCondition(r, SCSI_SENSE_ILLEGAL_REQUEST, 0x20, 0x00);
    EXPECT_TRUE(Counters().QueueFrozen);

    /* Frozen: refused without execution, and without the frozen bit of its own. */
    LONGLONG before = HostClockNow();
    r = Send(kTestUnitReady);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_REQUEST_FLUSHED);
    r = WriteBlocks(0, 1);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_REQUEST_FLUSHED);
    EXPECT_EQ(Counters().Writes, 0u);
    EXPECT_EQ(HostClockNow(), before);

    /* A block that bypasses the frozen queue executes. */
    r = Send(kTestUnitReady, nullptr, 0, false, SRB_FLAGS_BYPASS_FROZEN_QUEUE);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);

    EXPECT_EQ(ReleaseQueue(), SRB_STATUS_SUCCESS);
    r = Send(kTestUnitReady);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.QueueFreezes, 1u);
    EXPECT_EQ(c.QueueReleases, 1u);
    EXPECT_EQ(c.RefusedWhileFrozen, 2u);
}

TEST_F(SimRecorderTest, BlockArrivingWhileFrozenWaitsForReleaseOrTimesOut) {
    config_.FrozenQueueTimeout = 5 * kSecond;
    Create();
    ExpectCheckCondition(Send({0xEE, 0, 0, 0, 0, 0}), SCSI_SENSE_ILLEGAL_REQUEST, 0x20, 0);

    /* Nobody releases: refused after the time-out on the clock. */
    LONGLONG before = HostClockNow();
    EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_REQUEST_FLUSHED);
    EXPECT_GE(HostClockNow() - before, 5 * kSecond);

    /* Another thread releases the queue after 1 s: the held block then executes. */
    std::atomic<UCHAR> status{0};
    std::thread waiter = HeldWrite(&status);
    EXPECT_EQ(Counters().Writes, 0u);
    before = HostClockNow();
    ReleaseQueue();
    waiter.join();
    EXPECT_EQ(status, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Counters().Writes, 1u);
    EXPECT_EQ(HostClockNow(), before);
}

TEST_F(SimRecorderTest, FlushQueueRefusesHeldBlocks) {
    Create();
    ExpectCheckCondition(Send({0xEE, 0, 0, 0, 0, 0}), SCSI_SENSE_ILLEGAL_REQUEST, 0x20, 0);
    std::atomic<UCHAR> status{0};
    std::thread waiter = HeldWrite(&status);
    SCSI_REQUEST_BLOCK srb;
    memset(&srb, 0, sizeof(srb));
    srb.Length = sizeof(srb);
    srb.Function = SRB_FUNCTION_FLUSH_QUEUE;
    HostSimExecuteSrb(rec_, &srb);
    EXPECT_EQ(srb.SrbStatus, SRB_STATUS_SUCCESS);
    waiter.join();
    EXPECT_EQ(status, SRB_STATUS_REQUEST_FLUSHED);
    EXPECT_EQ(Counters().Writes, 0u);
    EXPECT_FALSE(Counters().QueueFrozen);
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

TEST_F(SimRecorderTest, TransferBeyondAdapterLimitIsInvalidRequest) {
    config_.MaximumTransferLength = 32 * 1024;
    Create();
    Reply r = WriteBlocks(0, 17);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_INVALID_REQUEST | SRB_STATUS_QUEUE_FROZEN);
    ReleaseQueue();
    EXPECT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);
}

/* ---- drive buffer and drain --------------------------------------------------------------- */

TEST_F(SimRecorderTest, FullBufferAnswersLongWriteUntilDrainMakesRoom) {
    config_.SpeedMultiple = 1;
    config_.BufferBytes = 64 * 1024;
    Create();
    ASSERT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(WriteBlocks(16, 16).SrbStatus, SRB_STATUS_SUCCESS); /* exactly full */
    EXPECT_EQ(Counters().BufferLevel, 64u * 1024);

    ExpectCheckCondition(WriteBlocks(32, 16), SCSI_SENSE_NOT_READY, 0x04, 0x08);
    ReleaseQueue();
    ExpectCheckCondition(Send(kTestUnitReady), SCSI_SENSE_NOT_READY, 0x04, 0x08);
    ReleaseQueue();

    /* 32 KiB drain at 1x CD in 32768 / 153600 s; just short of it there is still no room. */
    LONGLONG drain = (32768LL * kSecond + kCd1x - 1) / kCd1x;
    HostClockAdvance(drain - kSecond / 100);
    ExpectCheckCondition(Send(kTestUnitReady), SCSI_SENSE_NOT_READY, 0x04, 0x08);
    ReleaseQueue();
    HostClockAdvance(kSecond / 100);
    EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(WriteBlocks(32, 16).SrbStatus, SRB_STATUS_SUCCESS);

    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.NotReadyAnswers, 3u);
    EXPECT_EQ(c.Writes, 3u);
    EXPECT_EQ(c.MaxFill, 64u * 1024);
    EXPECT_EQ(c.Underruns, 0u);
}

TEST_F(SimRecorderTest, ReadBufferCapacityShowsFillAndDrain) {
    config_.SpeedMultiple = 4;
    config_.BufferBytes = 1024 * 1024;
    Create();
    WriteBlocks(0, 30);
    UCHAR data[12];
    Reply r = Send({SCSIOP_READ_BUFFER_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 12, 0}, data, sizeof(data));
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data[1], 10);
    ULONG total = (data[4] << 24) | (data[5] << 16) | (data[6] << 8) | data[7];
    ULONG blank = (data[8] << 24) | (data[9] << 16) | (data[10] << 8) | data[11];
    EXPECT_EQ(total, 1024u * 1024);
    EXPECT_EQ(blank, 1024u * 1024 - 30 * 2048);

    HostClockAdvance(kSecond / 10); /* 4x CD drains 61440 bytes in 100 ms */
    Send({SCSIOP_READ_BUFFER_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 12, 0}, data, sizeof(data));
    blank = (data[8] << 24) | (data[9] << 16) | (data[10] << 8) | data[11];
    EXPECT_EQ(blank, 1024u * 1024);
}

TEST_F(SimRecorderTest, SynchronizeCacheReturnsWhenDrainedOnTheClock) {
    config_.SpeedMultiple = 2;
    Create();
    WriteBlocks(0, 32);
    LONGLONG before = HostClockNow();
    Reply r = Send(kSynchronizeCache);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    LONGLONG drain = (32LL * 2048 * kSecond) / (2 * kCd1x);
    EXPECT_GE(HostClockNow() - before, drain);
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.BufferLevel, 0u);
    EXPECT_FALSE(c.Recording);
    EXPECT_EQ(c.Synchronizes, 1u);
}

TEST_F(SimRecorderTest, SpeedZeroNeverFillsOrWaits) {
    config_.SpeedMultiple = 0;
    config_.BufferBytes = 4096;
    Create();
    for (ULONG i = 0; i < 8; i++) {
        ASSERT_EQ(WriteBlocks(i * 16, 16).SrbStatus, SRB_STATUS_SUCCESS);
    }
    HostClockAdvance(10 * kSecond);
    EXPECT_EQ(WriteBlocks(128, 16).SrbStatus, SRB_STATUS_SUCCESS);
    LONGLONG before = HostClockNow();
    EXPECT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(HostClockNow(), before);
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.Underruns, 0u);
    EXPECT_EQ(c.NotReadyAnswers, 0u);
    EXPECT_EQ(c.BufferLevel, 0u);
}

TEST_F(SimRecorderTest, SynchronizeCacheDoesNotHoldTheRecorderWhileItWaits) {
    config_.SpeedMultiple = 1;
    Create();
    WriteBlocks(0, 32); /* 64 KiB: about 0.43 s to drain at 1x */
    std::atomic<bool> done{false};
    std::atomic<UCHAR> syncStatus{0};
    std::atomic<bool> started{false};
    std::thread syncer([&] {
        HostThreadScope scope("synchronizer");
        started = true;
        syncStatus = Send(kSynchronizeCache).SrbStatus;
        done = true;
    });
    while (!started) {
        std::this_thread::yield();
    }
    /* Commands of another thread go on while the flush waits for the drain (a flush that kept
       the recorder locked would stop this thread, and with it the clock, for good). */
    int polls = 0;
    while (!done && polls < 10000) {
        EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_SUCCESS);
        LARGE_INTEGER interval;
        interval.QuadPart = -kSecond / 1000;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        polls++;
    }
    syncer.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(syncStatus, SRB_STATUS_SUCCESS);
    EXPECT_GE(polls, 400); /* 1 ms apart during the 0.43 s drain */
    EXPECT_EQ(Counters().BufferLevel, 0u);
}

/* ---- underruns ---------------------------------------------------------------------------- */

TEST_F(SimRecorderTest, UnderrunIsCountedWithProtectionAndWritingGoesOn) {
    config_.SpeedMultiple = 1;
    Create();
    ASSERT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);
    HostClockAdvance(kSecond / 10); /* 15360 bytes drained: still data in the buffer */
    ASSERT_EQ(WriteBlocks(16, 16).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Counters().Underruns, 0u);
    EXPECT_EQ(Counters().MinFill, 32768u - 15360u);

    HostClockAdvance(2 * kSecond); /* the buffer runs empty between two writes */
    EXPECT_EQ(WriteBlocks(32, 16).SrbStatus, SRB_STATUS_SUCCESS);
    SIM_RECORDER_COUNTERS c = Counters();
    EXPECT_EQ(c.Underruns, 1u);
    EXPECT_EQ(c.MinFill, 0u);
    EXPECT_EQ(c.Writes, 3u);
}

TEST_F(SimRecorderTest, UnderrunWithoutProtectionFailsNextWriteWithLossOfStreaming) {
    config_.SpeedMultiple = 1;
    config_.UnderrunProtection = FALSE;
    Create();
    ASSERT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);
    HostClockAdvance(2 * kSecond);
    ExpectCheckCondition(WriteBlocks(16, 16), SCSI_SENSE_MEDIUM_ERROR, 0x0C, 0x09);
    EXPECT_EQ(Counters().Underruns, 1u);
    EXPECT_FALSE(Counters().Recording);
    ReleaseQueue();
    /* Block 16 was not recorded, and the medium takes no more writes. */
    UCHAR block[2048];
    EXPECT_EQ(HostSimReadBlock(rec_, 16, block, sizeof(block)), 0u);
    SIM_MEDIUM_INFO info;
    HostSimGetMediumInfo(rec_, &info);
    EXPECT_TRUE(info.Damaged);
    ExpectCheckCondition(WriteBlocks(16, 16), SCSI_SENSE_ILLEGAL_REQUEST, 0x30, 0x05);
}

/* A test write goes through the buffer and the drain, and leaves the medium as it was. */
TEST_F(SimRecorderTest, TestWriteLeavesTheMediumBlank) {
    config_.SpeedMultiple = 4;
    Create();
    ASSERT_EQ(SelectPage05(1, 8, 0, true, true).SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(WriteBlocks(16, 16).SrbStatus, SRB_STATUS_SUCCESS);
    LONGLONG before = HostClockNow();
    ASSERT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_GT(HostClockNow(), before);
    ASSERT_EQ(Send({0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}).SrbStatus, SRB_STATUS_SUCCESS);
    SIM_MEDIUM_INFO info;
    HostSimGetMediumInfo(rec_, &info);
    EXPECT_EQ(info.Status, 0);
    EXPECT_EQ(info.NextWritable, 0);
    EXPECT_EQ(info.RecordedEnd, 0u);
}

TEST_F(SimRecorderTest, EmptyBufferAfterSynchronizeIsNoUnderrun) {
    config_.SpeedMultiple = 1;
    config_.UnderrunProtection = FALSE;
    Create();
    WriteBlocks(0, 16);
    EXPECT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);
    HostClockAdvance(5 * kSecond);
    EXPECT_EQ(WriteBlocks(16, 16).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Counters().Underruns, 0u);
}

/* ---- disc file ---------------------------------------------------------------------------- */

TEST_F(SimRecorderTest, RecordingOf2048ByteBlocksIsByteIdenticalToImage) {
    Create();
    std::vector<UCHAR> image(100 * 2048);
    for (size_t i = 0; i < image.size(); i++) {
        image[i] = (UCHAR)(i * 7 + i / 2048);
    }
    for (ULONG lba = 0; lba < 100; lba += 16) {
        USHORT n = (USHORT)std::min<ULONG>(16, 100 - lba);
        Reply r = Send(Write10(lba, n), image.data() + lba * 2048, n * 2048, true);
        ASSERT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    }
    ASSERT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);
    std::ifstream f(discPath_, std::ios::binary);
    std::vector<UCHAR> disc((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(disc == image);

    UCHAR cap[8];
    Reply r = Send({SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0}, cap, sizeof(cap));
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ((cap[0] << 24) | (cap[1] << 16) | (cap[2] << 8) | cap[3], 99);
    EXPECT_EQ((cap[4] << 24) | (cap[5] << 16) | (cap[6] << 8) | cap[7], 2048);

    std::vector<UCHAR> back(10 * 2048);
    r = Send(Read10(40, 10), back.data(), (ULONG)back.size());
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(std::equal(back.begin(), back.end(), image.begin() + 40 * 2048));

    /* Beyond what was written. */
    ExpectCheckCondition(Send(Read10(95, 10), back.data(), (ULONG)back.size()),
                         SCSI_SENSE_ILLEGAL_REQUEST, 0x21, 0x00);
}

/* Session-at-once: after the cue sheet the first write is the pre-gap at -150, and each
 * address takes the block size of its track (data 2048, audio 2352). */
TEST_F(SimRecorderTest, CueSheetStartsAtPregapAndFixesEachAddressBlockSize) {
    Create();
    ASSERT_EQ(SelectPage05(2, 8).SrbStatus, SRB_STATUS_SUCCESS);
    /* lead-in; track 1 index 0 at 00:00:00 and index 1 at 00:02:00 (block 0), data; track 2
       audio from block 10; lead-out at block 13 */
    UCHAR cue[] = {0x41, 0x00, 0x00, 0x10, 0,    0,    0, 0, 0x41, 0x01, 0x00, 0x10, 0,    0, 0,
                   0,    0x41, 0x01, 0x01, 0x10, 0,    0, 2, 0,    0x01, 0x02, 0x01, 0x00, 0, 0,
                   2,    10,   0x01, 0xAA, 0x01, 0x00, 0, 0, 2,    13};
    ASSERT_EQ(Send({0x5D, 0, 0, 0, 0, 0, 0, 0, sizeof(cue), 0}, cue, sizeof(cue), true).SrbStatus,
              SRB_STATUS_SUCCESS);
    ExpectCheckCondition(WriteBlocks(0, 1), SCSI_SENSE_ILLEGAL_REQUEST, 0x21, 0x02);
    ReleaseQueue();
    for (LONG lba = -150; lba < 0; lba += 30) {
        ASSERT_EQ(WriteBlocks((ULONG)lba, 30, 2048, 0).SrbStatus, SRB_STATUS_SUCCESS) << lba;
    }
    ASSERT_EQ(WriteBlocks(0, 10, 2048, 0x11).SrbStatus, SRB_STATUS_SUCCESS);
    /* The audio track's blocks in the data size are refused; in their own size taken. */
    ExpectCheckCondition(WriteBlocks(10, 3, 2048), SCSI_SENSE_ILLEGAL_REQUEST, 0x24, 0x00);
    ReleaseQueue();
    ASSERT_EQ(WriteBlocks(10, 3, 2352, 0x22).SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);

    UCHAR block[SIM_MAX_BLOCK_SIZE];
    EXPECT_EQ(HostSimReadBlock(rec_, 9, block, sizeof(block)), 2048u);
    EXPECT_EQ(block[0], 0x11);
    EXPECT_EQ(HostSimReadBlock(rec_, 12, block, sizeof(block)), 2352u);
    EXPECT_EQ(block[2351], 0x22);
    SIM_MEDIUM_INFO info;
    HostSimGetMediumInfo(rec_, &info);
    EXPECT_EQ(info.Tracks, 2u);
    /* Written to its lead-out, the session at once closed the disc at SYNCHRONIZE CACHE. */
    EXPECT_EQ(info.Status, 2u);
}

/* What a recorder refuses, each with its sense, and the medium's next writable address left
 * where it was. The steps before run on a blank 32-block CD-R (page 05 as after power-on:
 * track-at-once, 2048-byte Mode 1). */
struct Refusal {
    const char *Name;
    std::vector<std::pair<ULONG, USHORT>> Before; /* accepted writes (address, blocks) */
    bool Synchronize;                             /* then SYNCHRONIZE CACHE */
    bool CloseSession;                            /* then CLOSE SESSION (finalize) */
    ULONG Lba;                                    /* the refused write */
    USHORT Blocks;
    ULONG BlockSize;
    UCHAR Key, Asc, Ascq;
};

TEST_F(SimRecorderTest, RecorderRefusesWhatARealOneRefuses) {
    const Refusal cases[] = {
        {"out of order", {{0, 8}}, false, false, 16, 8, 2048, 5, 0x21, 0x02},
        {"rewrite of write-once", {{0, 8}}, true, false, 0, 8, 2048, 5, 0x21, 0x02},
        {"address near 2^32", {}, false, false, 0xFFFFFF00u, 16, 2048, 5, 0x21, 0x02},
        {"block size not page 05's", {}, false, false, 0, 2, 2352, 5, 0x24, 0x00},
        {"past the capacity", {{0, 16}, {16, 8}}, false, false, 24, 9, 2048, 5, 0x21, 0x00},
        {"closed disc", {{0, 8}}, true, true, 8, 1, 2048, 5, 0x30, 0x05},
    };
    config_.CapacityBlocks = 32;
    for (const Refusal &c : cases) {
        SCOPED_TRACE(c.Name);
        rec_ = HostCreateSimulatedRecorder(&config_);
        ASSERT_NE(rec_, nullptr);
        for (const auto &w : c.Before) {
            ASSERT_EQ(WriteBlocks(w.first, w.second).SrbStatus, SRB_STATUS_SUCCESS);
        }
        if (c.Synchronize) {
            ASSERT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);
        }
        if (c.CloseSession) {
            ASSERT_EQ(Send({0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}).SrbStatus, SRB_STATUS_SUCCESS);
        }
        const LONG nwa = NextWritable();
        ExpectCheckCondition(WriteBlocks(c.Lba, c.Blocks, c.BlockSize), c.Key, c.Asc, c.Ascq);
        EXPECT_EQ(NextWritable(), nwa);
        HostDestroySimulatedRecorder(rec_);
        rec_ = nullptr;
        unlink(discPath_.c_str());
    }
}

/* A closed disc is still closed for the next recorder that opens its file, which refusing a
 * write leaves as it was; a disc file that is a symbolic link is not opened. */
TEST_F(SimRecorderTest, MediumPersistsInItsDiscFileAndALinkIsRefused) {
    Create();
    ASSERT_EQ(WriteBlocks(0, 8, 2048, 0x77).SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(Send({0x5B, 0, 0x02, 0, 0, 0, 0, 0, 0, 0}).SrbStatus, SRB_STATUS_SUCCESS);
    HostDestroySimulatedRecorder(rec_);
    rec_ = nullptr;

    Create();
    SIM_MEDIUM_INFO info;
    HostSimGetMediumInfo(rec_, &info);
    EXPECT_EQ(info.Status, 2);
    EXPECT_EQ(info.Tracks, 1u);
    EXPECT_EQ(info.RecordedEnd, 8u);
    ExpectCheckCondition(WriteBlocks(info.NextWritable, 1), SCSI_SENSE_ILLEGAL_REQUEST, 0x30, 0x05);
    std::ifstream f(discPath_, std::ios::binary | std::ios::ate);
    EXPECT_EQ((long)f.tellg(), 8L * 2048);

    ASSERT_EQ(symlink(discPath_.c_str(), (dir_ + "/link.img").c_str()), 0);
    std::string link = dir_ + "/link.img";
    config_.DiscFile = link.c_str();
    EXPECT_EQ(HostCreateSimulatedRecorder(&config_), nullptr);
}

/* Each medium as an application finds it through the MMC replies: its current profile, a
 * blank disc with the invisible track at block 0, then one recorded, closed track in the TOC. */
TEST_F(SimRecorderTest, EachMediumAnswersWithItsProfileStateAndTracks) {
    struct Case {
        SIM_MEDIUM Medium;
        USHORT Profile;
        bool Erasable;
        UCHAR WriteType; /* page 05 before writing; 0xFF: none (DVD+R) */
        UCHAR Close;     /* CLOSE TRACK/SESSION function that finalizes */
    } cases[] = {{SimMediumCdR, 0x0009, false, 1, 2},
                 {SimMediumCdRw, 0x000A, true, 1, 2},
                 {SimMediumDvdMinusR, 0x0011, false, 0, 2},
                 {SimMediumDvdPlusR, 0x001B, false, 0xFF, 6}};
    auto be32 = [](const UCHAR *p) { return (ULONG)(p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3]); };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.Profile);
        config_.Medium = c.Medium;
        rec_ = HostCreateSimulatedRecorder(&config_);
        ASSERT_NE(rec_, nullptr);
        UCHAR config[8];
        Send({0x46, 0x01, 0, 0, 0, 0, 0, 0, sizeof(config), 0}, config, sizeof(config));
        EXPECT_EQ(config[6] << 8 | config[7], c.Profile);
        UCHAR disc[34];
        const std::vector<UCHAR> discInfo = {0x51, 0, 0, 0, 0, 0, 0, 0, sizeof(disc), 0};
        ASSERT_EQ(Send(discInfo, disc, sizeof(disc)).SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(disc[2] & 0x03, 0); /* blank */
        EXPECT_EQ((disc[2] & 0x10) != 0, c.Erasable);
        UCHAR track[48];
        ASSERT_EQ(Send({0x52, 0x01, 0, 0, 0, 0xFF, 0, 0, sizeof(track), 0}, track, sizeof(track))
                      .SrbStatus,
                  SRB_STATUS_SUCCESS);
        EXPECT_EQ(track[7] & 0x01, 1); /* next writable address valid */
        EXPECT_EQ(be32(track + 12), 0u);
        SIM_MEDIUM_INFO info;
        HostSimGetMediumInfo(rec_, &info);
        EXPECT_EQ(be32(track + 16), info.Capacity); /* free blocks */

        if (c.WriteType != 0xFF) {
            ASSERT_EQ(SelectPage05(c.WriteType, 8).SrbStatus, SRB_STATUS_SUCCESS);
        }
        ASSERT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);
        ASSERT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);
        ASSERT_EQ(
            Send({0x52, 0x01, 0, 0, 0, 1, 0, 0, sizeof(track), 0}, track, sizeof(track)).SrbStatus,
            SRB_STATUS_SUCCESS);
        EXPECT_EQ(be32(track + 12), 16u); /* the open track's next writable address */
        EXPECT_EQ(be32(track + 28), 15u); /* last recorded address */
        ASSERT_EQ(Send({0x5B, 0, 0x01, 0, 0, 1, 0, 0, 0, 0}).SrbStatus, SRB_STATUS_SUCCESS);
        ASSERT_EQ(Send({0x5B, 0, c.Close, 0, 0, 0, 0, 0, 0, 0}).SrbStatus, SRB_STATUS_SUCCESS);
        ASSERT_EQ(Send(discInfo, disc, sizeof(disc)).SrbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(disc[2] & 0x03, 2); /* complete */
        UCHAR toc[4 + 2 * 8];
        ASSERT_EQ(Send({0x43, 0, 0, 0, 0, 0, 1, 0, sizeof(toc), 0}, toc, sizeof(toc)).SrbStatus,
                  SRB_STATUS_SUCCESS);
        EXPECT_EQ(toc[2], 1);
        EXPECT_EQ(toc[3], 1);
        EXPECT_EQ(toc[4 + 2], 1);
        EXPECT_EQ(be32(toc + 4 + 4), 0u);
        EXPECT_EQ(toc[12 + 2], 0xAA);
        EXPECT_EQ(be32(toc + 12 + 4), 16u); /* lead-out */
        /* Only the rewritable medium can be blanked, and is then blank again. */
        Reply blank = Send({0xA1, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
        if (c.Erasable) {
            EXPECT_EQ(blank.SrbStatus, SRB_STATUS_SUCCESS);
            ASSERT_EQ(Send(discInfo, disc, sizeof(disc)).SrbStatus, SRB_STATUS_SUCCESS);
            EXPECT_EQ(disc[2] & 0x03, 0);
        } else {
            ExpectCheckCondition(blank, SCSI_SENSE_ILLEGAL_REQUEST, 0x30, 0x05);
            ReleaseQueue();
        }
        HostDestroySimulatedRecorder(rec_);
        rec_ = nullptr;
        unlink(discPath_.c_str());
    }
}

/* The tray: removal prevented refuses the eject; no medium after it; a load is announced. */
TEST_F(SimRecorderTest, EjectAndLoadAsARecorderDoes) {
    Create();
    const std::vector<UCHAR> eject = {0x1B, 0, 0, 0, 0x02, 0}, load = {0x1B, 0, 0, 0, 0x03, 0};
    ASSERT_EQ(Send({0x1E, 0, 0, 0, 0x01, 0}).SrbStatus, SRB_STATUS_SUCCESS);
    ExpectCheckCondition(Send(eject), SCSI_SENSE_ILLEGAL_REQUEST, 0x53, 0x02);
    ReleaseQueue();
    ASSERT_EQ(Send({0x1E, 0, 0, 0, 0x00, 0}).SrbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(Send(eject).SrbStatus, SRB_STATUS_SUCCESS);
    ExpectCheckCondition(Send(kTestUnitReady), SCSI_SENSE_NOT_READY, 0x3A, 0x00);
    ReleaseQueue();
    ExpectCheckCondition(WriteBlocks(0, 1), SCSI_SENSE_NOT_READY, 0x3A, 0x00);
    ReleaseQueue();
    ASSERT_EQ(Send(load).SrbStatus, SRB_STATUS_SUCCESS);
    ExpectCheckCondition(Send(kTestUnitReady), SCSI_SENSE_UNIT_ATTENTION, 0x28, 0x00);
    ReleaseQueue();
    EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_SUCCESS);
}

/* A new recorder with no disc file holds a blank 80-minute CD-R. */
TEST_F(SimRecorderTest, DefaultMediumIsABlank80MinuteCdR) {
    Create();
    SIM_MEDIUM_INFO info;
    HostSimGetMediumInfo(rec_, &info);
    EXPECT_EQ(info.Profile, 0x0009);
    EXPECT_EQ(info.Status, 0);
    EXPECT_EQ(info.Capacity, SIM_CD80_BLOCKS);
    EXPECT_EQ(info.NextWritable, 0);
}

/* ---- fault script and command log --------------------------------------------------------- */

TEST_F(SimRecorderTest, FaultAtCommandNumberHitsThatCommandOnly) {
    Create();
    ULONG id = HostSimFaultSenseAtCommand(rec_, 3, SCSI_SENSE_HARDWARE_ERROR, 0x44, 0x01);
    EXPECT_EQ(HostSimUnreachedFaults(rec_), 1u);
    EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(WriteBlocks(0, 1).SrbStatus, SRB_STATUS_SUCCESS);
    ExpectCheckCondition(WriteBlocks(1, 1), SCSI_SENSE_HARDWARE_ERROR, 0x44, 0x01);
    ReleaseQueue();
    EXPECT_EQ(WriteBlocks(1, 1).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(HostSimFaultFired(rec_, id), 1u);
    EXPECT_EQ(HostSimUnreachedFaults(rec_), 0u);

    SIM_LOG_ENTRY e;
    ASSERT_EQ(HostSimLogCount(rec_), 4u);
    ASSERT_TRUE(HostSimLogEntry(rec_, 2, &e));
    EXPECT_EQ(e.Number, 3u);
    EXPECT_TRUE(e.Injected);
    EXPECT_EQ(e.Cdb[0], SCSIOP_WRITE);
    EXPECT_EQ(e.CdbLength, 10);
    EXPECT_EQ(e.DataLength, 2048u);
    EXPECT_EQ(e.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(e.SenseKey, SCSI_SENSE_HARDWARE_ERROR);
    EXPECT_EQ(e.Asc, 0x44);
    ASSERT_TRUE(HostSimLogEntry(rec_, 0, &e));
    EXPECT_EQ(e.SrbFlags, (ULONG)SRB_FLAGS_DISABLE_SYNCH_TRANSFER);
    EXPECT_FALSE(e.Injected);
    /* The injected write was not executed; block 1 holds the retry's data only once. */
    EXPECT_EQ(Counters().Writes, 2u);
}

TEST_F(SimRecorderTest, FaultAtBlockHitsEachWriteCoveringItRepeatCountTimes) {
    Create();
    HostSimFaultSenseAtBlock(rec_, 20, SCSI_SENSE_NOT_READY, 0x04, 0x08, 2);
    EXPECT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);
    /* A READ covering the block does not match the (write) fault. */
    std::vector<UCHAR> data(16 * 2048);
    EXPECT_EQ(Send(Read10(0, 16), data.data(), (ULONG)data.size()).SrbStatus, SRB_STATUS_SUCCESS);
    ExpectCheckCondition(WriteBlocks(16, 16), SCSI_SENSE_NOT_READY, 0x04, 0x08);
    ReleaseQueue();
    ExpectCheckCondition(WriteBlocks(16, 16), SCSI_SENSE_NOT_READY, 0x04, 0x08);
    ReleaseQueue();
    EXPECT_EQ(WriteBlocks(16, 16).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(HostSimUnreachedFaults(rec_), 0u);
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
        rec_ = HostCreateSimulatedRecorder(&config_);
        ASSERT_NE(rec_, nullptr);
        ASSERT_EQ(SelectPage05(1, 8, 3).SrbStatus, SRB_STATUS_SUCCESS); /* multi-session */
        ASSERT_EQ(WriteBlocks(0, 16).SrbStatus, SRB_STATUS_SUCCESS);    /* 0.2 s in the buffer */
        SIM_FAULT f;
        HostSimInitFault(&f, SimFaultAtCommand, c.Kind);
        f.CommandNumber = 3;
        HostSimAddFault(rec_, &f);
        EXPECT_EQ(Send(kTestUnitReady).SrbStatus, SRB_STATUS_BUS_RESET | SRB_STATUS_QUEUE_FROZEN);
        ReleaseQueue();
        UCHAR inq[36];
        EXPECT_EQ(Send({SCSIOP_INQUIRY, 0, 0, 0, 36, 0}, inq, 36).SrbStatus, SRB_STATUS_SUCCESS);
        ExpectCheckCondition(Send(kTestUnitReady), SCSI_SENSE_UNIT_ATTENTION, 0x29, c.Ascq);
        ReleaseQueue();

        ASSERT_EQ(Send(kSynchronizeCache).SrbStatus, SRB_STATUS_SUCCESS);
        UCHAR block[2048];
        EXPECT_EQ(HostSimReadBlock(rec_, 15, block, sizeof(block)), c.Kept ? 2048u : 0u);
        EXPECT_EQ(NextWritable(), c.Kept ? 16 : 0);
        UCHAR sense[8 + 52];
        ASSERT_EQ(Send({SCSIOP_MODE_SENSE10, 0, 0x05, 0, 0, 0, 0, 0, sizeof(sense), 0}, sense,
                       sizeof(sense))
                      .SrbStatus,
                  SRB_STATUS_SUCCESS);
        EXPECT_EQ(sense[8 + 3] >> 6, c.Kept ? 3 : 0);
        HostDestroySimulatedRecorder(rec_);
        rec_ = nullptr;
        unlink(discPath_.c_str());
    }
}

/* A write whose data did not all arrive is not executed; one that moved all of it is. */
TEST_F(SimRecorderTest, InjectedDataOverrunLeavesGivenLengthAndExecutesAWholeWrite) {
    Create();
    SIM_FAULT f;
    HostSimInitFault(&f, SimFaultAtBlock, SimFaultDataOverrun);
    f.BlockAddress = 5;
    f.TransferredLength = 4096;
    HostSimAddFault(rec_, &f);
    Reply r = WriteBlocks(0, 8);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(r.Transferred, 4096u);
    ReleaseQueue();
    UCHAR block[2048];
    EXPECT_EQ(HostSimReadBlock(rec_, 0, block, sizeof(block)), 0u);
    EXPECT_EQ(NextWritable(), 0);

    f.TransferredLength = 8 * 2048;
    HostSimAddFault(rec_, &f);
    r = WriteBlocks(0, 8);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_DATA_OVERRUN | SRB_STATUS_QUEUE_FROZEN);
    ReleaseQueue();
    EXPECT_EQ(HostSimReadBlock(rec_, 7, block, sizeof(block)), 2048u);
}

TEST_F(SimRecorderTest, CommandLogKeepsTimesAndIsARing) {
    config_.LogCapacity = 4;
    Create();
    for (int i = 0; i < 6; i++) {
        Send(kTestUnitReady);
        HostClockAdvance(kSecond);
    }
    ASSERT_EQ(HostSimLogCount(rec_), 4u);
    SIM_LOG_ENTRY first, last;
    ASSERT_TRUE(HostSimLogEntry(rec_, 0, &first));
    ASSERT_TRUE(HostSimLogEntry(rec_, 3, &last));
    EXPECT_FALSE(HostSimLogEntry(rec_, 4, &last));
    EXPECT_EQ(first.Number, 3u);
    EXPECT_EQ(last.Number, 6u);
    EXPECT_EQ(last.Time - first.Time, 3 * kSecond);

    HostSimSetLogging(rec_, FALSE);
    Send(kTestUnitReady);
    EXPECT_EQ(HostSimLogCount(rec_), 4u);
    HostSimClearLog(rec_);
    EXPECT_EQ(HostSimLogCount(rec_), 0u);
}

/* ---- through the port device -------------------------------------------------------------- */

class PortDeviceTest : public SimRecorderTest {
protected:
    void SetUp() override {
        SimRecorderTest::SetUp();
        config_.NoPortDevice = FALSE;
    }

    void TearDown() override {
        /* Every request the port received was completed (and so freed by the I/O manager). */
        EXPECT_EQ(HostOutstandingIrpCount(), 0);
        EXPECT_EQ(HostOutstandingMdlCount(), 0);
        SimRecorderTest::TearDown();
    }

    NTSTATUS Control(ULONG Code, void *In, ULONG InLength, void *Out, ULONG OutLength,
                     ULONG_PTR *Information, bool Internal = false,
                     SCSI_REQUEST_BLOCK *Srb = nullptr) {
        KEVENT event;
        IO_STATUS_BLOCK iosb;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(Code, rec_->Pdo, In, InLength, Out, OutLength,
                                                 Internal, &event, &iosb);
        if (irp == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        if (Srb != nullptr) {
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            next->MajorFunction = IRP_MJ_SCSI;
            next->MinorFunction = 1;
            next->Parameters.Scsi.Srb = Srb;
            Srb->OriginalRequest = irp;
        }
        NTSTATUS status = IofCallDriver(rec_->Pdo, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        *Information = iosb.Information;
        return status;
    }
};

TEST_F(PortDeviceTest, StorageDescriptorsCarryIdentityAndAdapterLimits) {
    config_.MaximumTransferLength = 128 * 1024;
    config_.MaximumPhysicalPages = 33;
    config_.AlignmentMask = 3;
    Create();
    UCHAR buffer[512];
    ULONG_PTR info = 0;
    auto query = [&](STORAGE_PROPERTY_ID Id, ULONG OutLength) {
        STORAGE_PROPERTY_QUERY q;
        memset(&q, 0, sizeof(q));
        q.PropertyId = Id;
        q.QueryType = PropertyStandardQuery;
        memcpy(buffer, &q, sizeof(q));
        return Control(IOCTL_STORAGE_QUERY_PROPERTY, buffer, sizeof(q), buffer, OutLength, &info);
    };

    /* Header first, as the class library asks, then the whole descriptor. */
    STORAGE_DESCRIPTOR_HEADER header;
    ASSERT_EQ(query(StorageDeviceProperty, sizeof(header)), STATUS_SUCCESS);
    EXPECT_EQ(info, sizeof(header));
    memcpy(&header, buffer, sizeof(header));
    ASSERT_GT(header.Size, sizeof(STORAGE_DEVICE_DESCRIPTOR));
    ASSERT_LE(header.Size, sizeof(buffer));
    ASSERT_EQ(query(StorageDeviceProperty, header.Size), STATUS_SUCCESS);
    EXPECT_EQ(info, header.Size);
    STORAGE_DEVICE_DESCRIPTOR *d = (STORAGE_DEVICE_DESCRIPTOR *)buffer;
    EXPECT_EQ(d->DeviceType, READ_ONLY_DIRECT_ACCESS_DEVICE);
    EXPECT_TRUE(d->RemovableMedia);
    EXPECT_EQ(d->BusType, BusTypeScsi);
    EXPECT_STREQ((char *)buffer + d->VendorIdOffset, "CDWSIM  ");
    EXPECT_STREQ((char *)buffer + d->ProductIdOffset, "SIMULATED CD-RW ");
    EXPECT_STREQ((char *)buffer + d->ProductRevisionOffset, "1.00");
    EXPECT_EQ(d->SerialNumberOffset, 0u);

    ASSERT_EQ(query(StorageAdapterProperty, sizeof(buffer)), STATUS_SUCCESS);
    EXPECT_EQ(info, sizeof(STORAGE_ADAPTER_DESCRIPTOR));
    STORAGE_ADAPTER_DESCRIPTOR *a = (STORAGE_ADAPTER_DESCRIPTOR *)buffer;
    EXPECT_EQ(a->Size, sizeof(STORAGE_ADAPTER_DESCRIPTOR));
    EXPECT_EQ(a->MaximumTransferLength, 128u * 1024);
    EXPECT_EQ(a->MaximumPhysicalPages, 33u);
    EXPECT_EQ(a->AlignmentMask, 3u);

    EXPECT_EQ(query(StorageDeviceIdProperty, sizeof(buffer)), STATUS_NOT_SUPPORTED);
}

TEST_F(PortDeviceTest, RequestBlocksArriveThroughExecuteControlCodes) {
    Create();
    std::vector<UCHAR> data(4 * 2048, 0x3C);
    SCSI_REQUEST_BLOCK srb;
    UCHAR sense[18];
    memset(&srb, 0, sizeof(srb));
    srb.Length = sizeof(srb);
    srb.CdbLength = 10;
    std::vector<UCHAR> cdb = Write10(0, 4);
    memcpy(srb.Cdb, cdb.data(), 10);
    srb.SenseInfoBuffer = sense;
    srb.SenseInfoBufferLength = sizeof(sense);
    srb.SrbFlags = SRB_FLAGS_DATA_OUT | SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
    srb.DataBuffer = data.data();
    srb.DataTransferLength = (ULONG)data.size();
    ULONG_PTR info = 0;
    NTSTATUS status = Control(IOCTL_SCSI_EXECUTE_OUT, nullptr, 0, data.data(), (ULONG)data.size(),
                              &info, true, &srb);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(srb.SrbStatus, SRB_STATUS_SUCCESS);
    UCHAR block[2048];
    EXPECT_EQ(HostSimReadBlock(rec_, 3, block, sizeof(block)), 2048u);
    EXPECT_EQ(block[0], 0x3C);

    /* A failing command: autosense and frozen queue through the IRP path; release by SRB. */
    memset(&srb, 0, sizeof(srb));
    srb.Length = sizeof(srb);
    srb.CdbLength = 6;
    srb.Cdb[0] = 0xEE;
    srb.SenseInfoBuffer = sense;
    srb.SenseInfoBufferLength = sizeof(sense);
    srb.SrbFlags = SRB_FLAGS_DISABLE_SYNCH_TRANSFER;
    status = Control(IOCTL_SCSI_EXECUTE_NONE, nullptr, 0, nullptr, 0, &info, true, &srb);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(srb.SrbStatus,
              SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(sense[2], SCSI_SENSE_ILLEGAL_REQUEST);

    memset(&srb, 0, sizeof(srb));
    srb.Length = sizeof(srb);
    srb.Function = SRB_FUNCTION_RELEASE_QUEUE;
    status = Control(IOCTL_SCSI_EXECUTE_NONE, nullptr, 0, nullptr, 0, &info, true, &srb);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(Counters().QueueFrozen);
}

} // namespace
