/*
 * record_disc_test.cpp - the three record-disc requests as the application sends them: length
 * and parameter-block checks, the cache-buffer minimum, the busy rule (also for concurrent
 * requests and a reader still closing), what each request copies into the device, the refill
 * threshold, the cache-drive lookup, the client capture and its release, and a device whose
 * recording thread has died.
 *
 * Most recordings here name an image that does not exist, so the read thread ends them at once
 * with RECSTAT_OPEN_FAILED and what the request wrote stays in the device record to be checked.
 */
#include <gtest/gtest.h>

#include <algorithm>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "../driver/writer.h"
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/simrecorder.h>

#include "support/driver_harness.h"
#include "support/recording_scenario.h"
#include "support/test_support.h"

namespace {

/* Blocks filled the way an application fills them: every entry of the track table is used
   for something recognisable, numTracks says how many count. */
RECORD_DISC_REQUEST PlainBlock(const char *Name, ULONG NumTracks = 1) {
    RECORD_DISC_REQUEST block;
    memset(&block, 0, sizeof(block));
    memcpy(block.imageName, Name, std::min(strlen(Name), sizeof(block.imageName)));
    block.numTracks = NumTracks;
    for (ULONG i = 0; i < MAX_TRACKS; i++) {
        block.tracks[i] = TrackEntry(i + 1, 2048, 1000 * i, 4 * 1000 * i, 10 + i);
    }
    return block;
}

RECORD_DISC_EX_REQUEST ExBlock(const char *Name) {
    RECORD_DISC_EX_REQUEST block;
    memset(&block, 0, sizeof(block));
    memcpy(block.imageName, Name, std::min(strlen(Name), sizeof(block.imageName)));
    block.numTracks = 1;
    block.tracks[0] = TrackEntry(7, 2352, 0x1234, 0x40, 0x99);
    return block;
}

RECORD_DISC_EX2_REQUEST Ex2Block(const char *Name, ULONG NumTracks = 1) {
    RECORD_DISC_EX2_REQUEST block;
    memset(&block, 0, sizeof(block));
    memcpy(block.imageName, Name, std::min(strlen(Name), sizeof(block.imageName)));
    block.numTracks = NumTracks;
    for (ULONG i = 0; i < MAX_TRACKS; i++) {
        block.tracks[i] = TrackEntry(50 + i, 2336, 500 + i, 600 + i, 700 + i);
    }
    return block;
}

template <typename BLOCK> std::vector<UCHAR> Bytes(const BLOCK &Block, size_t Extra = 0) {
    std::vector<UCHAR> bytes(sizeof(Block) + Extra, 0xEE);
    memcpy(bytes.data(), &Block, sizeof(Block));
    return bytes;
}

/* Driver loaded, one recorder plugged in and opened, 16 cache buffers, the virtual clock. */
class RecordDisc : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        dir = ScratchDir();
        Unit *unit = PlugRecorder();
        fdo = unit->Fdo;
        ASSERT_NE(nullptr, fdo);
        ext = CdwWriterExtension(fdo);
        handle = OpenRecorder();
        ASSERT_NE(nullptr, handle);
        Allocate(16);
        ClearLog();
    }

    /* Lets the last recording end before the harness removes the unit and unloads. */
    void TearDown() override {
        WaitIdle();
        HostResetThreadIdentity();
        DriverHarness::TearDown();
        EXPECT_EQ(0u, HostVerifierFailureCount());
    }

    void Allocate(ULONG Count) { ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, Count)); }

    NTSTATUS Send(ULONG Code, const std::vector<UCHAR> &Block) {
        return SendRecordBlock(handle, Code, Block);
    }

    void WaitIdle() {
        if (ext != nullptr) {
            EXPECT_TRUE(WaitRecordingIdle(ext, 600)) << "recording did not end";
        }
    }

    /* Sends a block that must be accepted and waits until the recording has ended. */
    void Accept(ULONG Code, const std::vector<UCHAR> &Block) {
        ASSERT_EQ(STATUS_SUCCESS, Send(Code, Block)) << HostDebugLog();
        WaitIdle();
    }

    PCACHE_DRIVE CacheDrive(CHAR Letter, USHORT Address) {
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate(Letter, Address));
        PCACHE_DRIVE drive = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveLocate(Letter, &drive));
        return drive;
    }

    std::string dir;
    PDEVICE_OBJECT fdo = nullptr;
    HANDLE handle = nullptr;
    PWriterExtension ext = nullptr;
};

const char *const Missing = "\\??\\D:\\missing.img";

} // namespace

TEST_F(RecordDisc, ShortBlocksAreRefusedAndLongerOnesAccepted) {
    struct Case {
        ULONG code;
        std::vector<UCHAR> block;
        const char *name;
    } cases[] = {
        {IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing)), "CdRecorderRecordDisc"},
        {IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ExBlock(Missing)), "CdRecorderRecordDiscEx"},
        {IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(Ex2Block(Missing)), "CdRecorderRecordDiscEx2"},
    };
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t minimum = c.block.size();
        std::vector<UCHAR> shortBlock(c.block.begin(), c.block.end() - 1);
        ClearLog();
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(c.code, shortBlock));
        const std::string message =
            std::string("Burnkit[0]: ") + c.name + " - InputBufferLength too short, is " +
            std::to_string(minimum - 1) + ", should be " + std::to_string(minimum) + " bytes\n";
        EXPECT_EQ(std::vector<std::string>{message}, HostDebugMessages());
        EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus);

        std::vector<UCHAR> longer = c.block;
        longer.resize(minimum + 13, 0x5A);
        Accept(c.code, longer);
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
        ext->Status.recordingStatus = RECSTAT_IDLE;
    }
}

TEST_F(RecordDisc, BlocksThatWouldOverrunAreRefusedBeforeAnythingChanges) {
    PCACHE_DRIVE drive = CacheDrive('q', 9);
    ext->RecordCacheDrive = drive;
    const ULONG threshold = ext->refillThreshold;

    std::vector<std::pair<ULONG, std::vector<UCHAR>>> refused;
    RECORD_DISC_REQUEST plain = PlainBlock(Missing, 0);
    plain.refillPercent = 50;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC, Bytes(plain)});
    plain.numTracks = 101;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC, Bytes(plain)});
    plain.numTracks = 3;
    plain.tracks[2].blockSize = 2449;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC, Bytes(plain)});
    plain.tracks[2].blockSize = 0;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC, Bytes(plain)});
    plain = PlainBlock(Missing, 1);
    plain.nPregapBlocks = 5;
    plain.pregapBlockSize = 2449;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC, Bytes(plain)});
    plain.pregapBlockSize = 0;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC, Bytes(plain)});
    plain = PlainBlock(Missing, 1);
    memset(plain.imageName, 'a', sizeof(plain.imageName)); /* no terminator in the field */
    refused.push_back({IOCTL_RECORDER_RECORD_DISC, Bytes(plain)});

    RECORD_DISC_EX_REQUEST ex = ExBlock(Missing);
    ex.numTracks = 2;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ex)});
    ex.numTracks = 0;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ex)});
    ex = ExBlock(Missing);
    memset(ex.imageName, 'b', sizeof(ex.imageName));
    refused.push_back({IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ex)});

    RECORD_DISC_EX2_REQUEST ex2 = Ex2Block(Missing, 2);
    ex2.tracks[1].blockSize = 5000;
    refused.push_back({IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(ex2)});
    ex2 = Ex2Block(Missing, 1);
    memset(ex2.imageName, 'c', sizeof(ex2.imageName));
    refused.push_back({IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(ex2)});

    const LONG tokens = HostLiveTokenCount();
    for (size_t i = 0; i < refused.size(); i++) {
        SCOPED_TRACE(i);
        ClearLog();
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(refused[i].first, refused[i].second));
        const char *name = refused[i].first == IOCTL_RECORDER_RECORD_DISC ? "CdRecorderRecordDisc"
                           : refused[i].first == IOCTL_RECORDER_RECORD_DISC_EX
                               ? "CdRecorderRecordDiscEx"
                               : "CdRecorderRecordDiscEx2";
        EXPECT_EQ(std::vector<std::string>{std::string("Burnkit[0]: ") + name +
                                           " - invalid parameter block\n"},
                  HostDebugMessages());
        EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bReadThreadBusy);
        EXPECT_EQ(drive, ext->RecordCacheDrive);
        EXPECT_EQ(threshold, ext->refillThreshold);
        EXPECT_EQ(0u, ext->ReadParams.numTracks);
        EXPECT_EQ(tokens, HostLiveTokenCount());
    }

    /* What is not used is not checked: entries past numTracks, the pre-gap size without a
       pre-gap, a name that fills its field up to the terminator. */
    plain = PlainBlock(Missing, 2);
    plain.tracks[2].blockSize = 0;
    plain.pregapBlockSize = 9999;
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(plain));
    ex = ExBlock(Missing);
    memset(ex.imageName, 'x', sizeof(ex.imageName));
    memcpy(ex.imageName, "\\??\\D:\\", 7);
    ex.imageName[259] = '\0';
    Accept(IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ex));
    EXPECT_EQ(259u * 2, ext->ReadParams.imageFileName.Length);
    EXPECT_EQ(tokens, HostLiveTokenCount());
}

TEST_F(RecordDisc, SixteenCacheBuffersAreTheMinimum) {
    ULONG returned = 0;
    ASSERT_EQ(STATUS_SUCCESS, HostDeviceIoControl(handle, IOCTL_RECORDER_DEALLOCATE_CACHE, nullptr,
                                                  0, nullptr, 0, &returned));
    ClearLog();
    EXPECT_EQ(STATUS_MEMORY_NOT_ALLOCATED,
              Send(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(Ex2Block(Missing))));
    EXPECT_EQ(std::vector<std::string>{"Burnkit[0]: CdRecorderRecordDiscEx2 - Not enough cache "
                                       "buffers allocated - 0 allocated\n"},
              HostDebugMessages());
    EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus);

    Allocate(16);
    ext->numCacheBuffers = 15; /* the count the request looks at */
    ClearLog();
    EXPECT_EQ(STATUS_MEMORY_NOT_ALLOCATED,
              Send(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing))));
    EXPECT_TRUE(HostDebugLogContains(
        "Burnkit[0]: CdRecorderRecordDisc - Not enough cache buffers allocated - 15 allocated\n"));
    ext->numCacheBuffers = 16;
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing)));
}

TEST_F(RecordDisc, BusyWhileInProcessOrWhileTheReaderIsClosing) {
    PCACHE_DRIVE drive = CacheDrive('D', 1);
    CacheDrive('E', 2);
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive)); /* keeps the reader at its open */
    ASSERT_EQ(STATUS_SUCCESS, Send(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing))));
    EXPECT_EQ(RECSTAT_IN_PROCESS, ext->Status.recordingStatus);

    ClearLog();
    EXPECT_EQ(STATUS_DEVICE_BUSY,
              Send(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock("\\??\\E:\\other.img"))));
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ExBlock(Missing))));
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(Ex2Block(Missing))));
    EXPECT_TRUE(HostDebugMessages().empty()) << HostDebugLog();
    EXPECT_EQ(drive, ext->RecordCacheDrive);
    EXPECT_STREQ(Missing, ext->ReadParams.imageName);
    TesselCacheDriveRelease(drive);
    WaitIdle();
    EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);

    /* A reader that has not yet closed the last recording keeps the device busy. */
    ext->bReadThreadBusy = TRUE;
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(Ex2Block(Missing))));
    EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
    ext->bReadThreadBusy = FALSE;
    Accept(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(Ex2Block(Missing)));
}

TEST_F(RecordDisc, ConcurrentRequestsStartExactlyOneRecording) {
    PCACHE_DRIVE drive = CacheDrive('D', 1);
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive));
        std::atomic<int> ready{0}, accepted{0}, busy{0};
        std::vector<std::thread> senders;
        const std::vector<UCHAR> block = Bytes(PlainBlock(Missing));
        for (int i = 0; i < 6; i++) {
            senders.emplace_back([&] {
                HostThreadScope sender("sender");
                ready++;
                while (ready.load() < 6) {
                }
                UCHAR out[4];
                ULONG returned = 0;
                const NTSTATUS status =
                    HostDeviceIoControl(handle, IOCTL_RECORDER_RECORD_DISC, block.data(),
                                        static_cast<ULONG>(block.size()), out, 4, &returned);
                (status == STATUS_SUCCESS ? accepted : busy)++;
                EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_DEVICE_BUSY) << status;
            });
        }
        for (std::thread &sender : senders) {
            sender.join();
        }
        EXPECT_EQ(1, accepted.load());
        EXPECT_EQ(5, busy.load());
        TesselCacheDriveRelease(drive);
        WaitIdle();
    }
}

TEST_F(RecordDisc, EachRequestCopiesItsBlockIntoTheDevice) {
    /* The plain block: every field, all 100 entries. */
    RECORD_DISC_REQUEST plain = PlainBlock("\\??\\D:\\none.img", 3);
    plain.bBufferedRead = 1;
    plain.bChecksumOnly = 1;
    plain.pregapStartBlock = 0x11;
    plain.pregapBlockSize = 2048; /* a pre-gap has the first track's block size */
    plain.nPregapBlocks = 0x13;
    plain.initialBlocksWritten = 0x1234;
    plain.modeWord = 0x01020305;
    plain.refillPercent = 25;
    plain.bWriteTdb = 1;
    plain.tdbTrackNumber = 42;
    PCACHE_DRIVE drive = CacheDrive('D', 3);
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(plain));

    const READ_PARAMS &rp = ext->ReadParams;
    EXPECT_STREQ("\\??\\D:\\none.img", rp.imageName);
    ASSERT_EQ(15u * 2, rp.imageFileName.Length);
    for (int i = 0; i < 15; i++) {
        EXPECT_EQ(static_cast<WCHAR>(plain.imageName[i]), rp.imageFileName.Buffer[i]) << i;
    }
    EXPECT_EQ(rp.imageFileNameBuffer, rp.imageFileName.Buffer);
    EXPECT_FALSE(rp.bImpersonate);
    EXPECT_EQ(nullptr, rp.hImageFile);
    EXPECT_EQ(0u, rp.imageByteOffset);
    EXPECT_TRUE(rp.bBufferedRead);
    EXPECT_EQ(0x11u, rp.pregapStartBlock);
    EXPECT_EQ(2048u, rp.pregapBlockSize);
    EXPECT_EQ(0x13u, rp.nPregapBlocks);
    EXPECT_EQ(3u, rp.numTracks);
    EXPECT_TRUE(rp.bWriteTdb);
    EXPECT_EQ(42, rp.tdbTrackNumber);
    EXPECT_EQ(0, memcmp(plain.tracks, rp.tracks, sizeof(plain.tracks)));
    EXPECT_EQ(5u, ext->WriteParams.writeMode);
    EXPECT_EQ(0x01020300u, ext->recordFlags);
    EXPECT_TRUE(ext->WriteParams.bChecksumOnly);
    EXPECT_FALSE(ext->WriteParams.bAbort);
    EXPECT_EQ(2048u, ext->WriteParams.blockSize);
    EXPECT_EQ(0x1234u, ext->Status.blocksWritten);
    EXPECT_EQ(16u, ext->Status.buffersOrChecksum);
    EXPECT_EQ(0u, ext->Status.packetsQueued);
    EXPECT_EQ(4u, ext->refillThreshold);
    EXPECT_EQ(drive, ext->RecordCacheDrive);
    EXPECT_FALSE(ext->bClientContextCaptured);

    /* The Ex block: one entry, its own name and offset, reads always through the cache. */
    RECORD_DISC_EX_REQUEST ex = ExBlock("\\??\\D:\\ex-none.img");
    ex.imageByteOffset = 0x800;
    ex.initialBlocksWritten = 7;
    ex.modeWord = 0x2;
    ext->Status.bCancel = TRUE;
    ClearLog();
    Accept(IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ex));
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: CdRecorderRecordDiscEx (\\??\\D:\\ex-none.img) - "
                                     "1st track start block = 0x00001234, nBlocks = 0x00000099\n"))
        << HostDebugLog();
    EXPECT_TRUE(rp.bImpersonate);
    EXPECT_TRUE(rp.bBufferedRead);
    EXPECT_FALSE(ext->WriteParams.bChecksumOnly);
    EXPECT_EQ(0x800u, rp.imageByteOffset);
    EXPECT_EQ(0, memcmp(&ex.tracks[0], &rp.tracks[0], sizeof(TRACK_ENTRY)));
    EXPECT_EQ(0, memcmp(&plain.tracks[1], &rp.tracks[1], 99 * sizeof(TRACK_ENTRY)))
        << "entries 1 to 99 keep what the plain request left";
    EXPECT_EQ(2352u, ext->WriteParams.blockSize);
    EXPECT_EQ(2u, ext->WriteParams.writeMode);
    EXPECT_EQ(0u, ext->recordFlags);
    EXPECT_EQ(4u, ext->refillThreshold) << "refillPercent 0 keeps the threshold";
    EXPECT_FALSE(ext->Status.bCancel);
    EXPECT_EQ(drive, ext->RecordCacheDrive);

    /* The Ex2 block: the name at its end, the 32-byte field ignored, the cache drive kept. */
    RECORD_DISC_EX2_REQUEST ex2 =
        Ex2Block("\\??\\D:\\a-much-longer-name-than-31-characters.img", 2);
    memcpy(ex2.Unused0 + 4, "\\??\\Q:\\ignored.img", 19);
    ex2.bChecksumOnly = 1;
    ClearLog();
    Accept(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(ex2));
    EXPECT_TRUE(HostDebugLogContains(
        "Burnkit[0]: CdRecorderRecordDiscEx2 (\\??\\D:\\a-much-longer-name-than-31-characters.img) "
        "- 1st track start block = 0x000001F4, nBlocks = 0x000002BC, hdStartBlock = 0x00000258\n"))
        << HostDebugLog();
    EXPECT_STREQ("\\??\\D:\\a-much-longer-name-than-31-characters.img", rp.imageName);
    EXPECT_FALSE(rp.bImpersonate);
    EXPECT_EQ(0u, rp.imageByteOffset);
    EXPECT_TRUE(ext->WriteParams.bChecksumOnly);
    EXPECT_EQ(0, memcmp(ex2.tracks, rp.tracks, sizeof(ex2.tracks)));
    EXPECT_EQ(drive, ext->RecordCacheDrive);
}

TEST_F(RecordDisc, RefillPercentSetsTheThresholdOnlyFromTenToNinetyNine) {
    struct Step {
        ULONG buffers, percent, threshold;
    } steps[] = {{16, 0, 30}, {16, 10, 1},  {96, 9, 1},  {96, 100, 1},       {16, 50, 8},
                 {17, 50, 8}, {96, 99, 95}, {96, 10, 9}, {96, 0xFFFFFFFF, 9}};
    for (const Step &step : steps) {
        SCOPED_TRACE(step.percent);
        Allocate(step.buffers);
        RECORD_DISC_EX2_REQUEST block = Ex2Block(Missing);
        block.refillPercent = step.percent;
        Accept(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(block));
        EXPECT_EQ(step.threshold, ext->refillThreshold);
        EXPECT_EQ(step.buffers, ext->Status.buffersOrChecksum);
    }
}

TEST_F(RecordDisc, PlainRequestLooksUpTheImagesCacheDrive) {
    /* Empty table: no lookup failure, no cache drive. */
    ext->RecordCacheDrive = reinterpret_cast<PCACHE_DRIVE>(static_cast<uintptr_t>(0x10));
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing)));
    EXPECT_EQ(nullptr, ext->RecordCacheDrive);
    EXPECT_FALSE(HostDebugLogContains("TesselCacheDriveLocate"));

    /* A table without the letter: reported, no cache drive, the recording goes on. */
    PCACHE_DRIVE e = CacheDrive('E', 5);
    ClearLog();
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing)));
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: CdRecorderRecordDisc - TesselCacheDriveLocate "
                                     "failed for drive 'D', Status = 0xC0000034\n"))
        << HostDebugLog();
    EXPECT_TRUE(HostDebugLogContains("ZwCreateFile failed")) << "the read thread still ran";
    EXPECT_EQ(nullptr, ext->RecordCacheDrive);

    /* Letter of either case finds its drive; the other requests leave the link alone. */
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock("\\??\\e:\\x.img")));
    EXPECT_EQ(e, ext->RecordCacheDrive);
    Accept(IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ExBlock(Missing)));
    EXPECT_EQ(e, ext->RecordCacheDrive);
    EXPECT_FALSE(e->bLocked);
}

TEST_F(RecordDisc, ClientCaptureFailureAndRelease) {
    const LONG tokens = HostLiveTokenCount();
    HOST_FAULT fault = {0, 1, 0, static_cast<NTSTATUS>(0xC0000022)};
    for (ULONG code : {IOCTL_RECORDER_RECORD_DISC_EX, IOCTL_RECORDER_RECORD_DISC_EX2}) {
        SCOPED_TRACE(code);
        const bool isEx = code == IOCTL_RECORDER_RECORD_DISC_EX;
        HostSetFault(HostFaultClientSecurity, &fault);
        ClearLog();
        EXPECT_EQ(static_cast<NTSTATUS>(0xC0000022),
                  Send(code, isEx ? Bytes(ExBlock(Missing)) : Bytes(Ex2Block(Missing))));
        EXPECT_TRUE(
            HostDebugLogContains(isEx ? "Burnkit[0]: CdRecorderRecordDiscEx - "
                                        "SeCreateClientSecurity failed, Status = 0xC0000022\n"
                                      : "Burnkit[0]: CdRecorderRecordDiscEx2 - "
                                        "SeCreateClientSecurity failed, Status = 0xC0000022\n"))
            << HostDebugLog();
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bReadThreadBusy);
        Sleep(1000);
        EXPECT_FALSE(HostDebugLogContains("ZwCreateFile")) << "the read thread was not woken";
        EXPECT_EQ(tokens, HostLiveTokenCount());
        HostClearFault(HostFaultClientSecurity);

        /* Captured contexts are given back when the recording ends, also after an open
           failure; the device takes the next request. */
        Accept(code, isEx ? Bytes(ExBlock(Missing)) : Bytes(Ex2Block(Missing)));
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bClientContextCaptured);
        EXPECT_EQ(tokens, HostLiveTokenCount());
    }

    /* An Ex2 recording that completes gives its context back too. */
    std::vector<UCHAR> image(64 * 2048, 0x3C);
    FILE *file = fopen((dir + "/real.img").c_str(), "wb");
    ASSERT_NE(nullptr, file);
    fwrite(image.data(), 1, image.size(), file);
    fclose(file);
    RECORD_DISC_EX2_REQUEST block = Ex2Block("\\??\\D:\\real.img");
    block.tracks[0] = TrackEntry(1, 2048, 0, 0, 64);
    Accept(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(block));
    EXPECT_EQ(RECSTAT_COMPLETE, ext->Status.recordingStatus) << HostDebugLog();
    EXPECT_EQ(tokens, HostLiveTokenCount());
}

TEST_F(RecordDisc, DeviceWhoseRecordingThreadDiedRefusesRecordings) {
    ext->bThreadFailed = TRUE;
    const ULONG codes[] = {IOCTL_RECORDER_RECORD_DISC, IOCTL_RECORDER_RECORD_DISC_EX,
                           IOCTL_RECORDER_RECORD_DISC_EX2};
    const char *names[] = {"CdRecorderRecordDisc", "CdRecorderRecordDiscEx",
                           "CdRecorderRecordDiscEx2"};
    const std::vector<UCHAR> blocks[] = {Bytes(PlainBlock(Missing)), Bytes(ExBlock(Missing)),
                                         Bytes(Ex2Block(Missing))};
    for (int i = 0; i < 3; i++) {
        ClearLog();
        EXPECT_EQ(STATUS_DEVICE_NOT_READY, Send(codes[i], blocks[i]));
        EXPECT_EQ(std::vector<std::string>{std::string("Burnkit[0]: ") + names[i] +
                                           " - recording thread has ended, device cannot "
                                           "record\n"},
                  HostDebugMessages());
        EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bReadThreadBusy);
    }
    ext->bThreadFailed = FALSE;
}

TEST_F(RecordDisc, BuffersAndBusyAnswerBeforeTheBlockIsJudged) {
    PCACHE_DRIVE drive = CacheDrive('q', 9);
    ext->RecordCacheDrive = drive;
    const ULONG threshold = ext->refillThreshold;

    enum DeviceState { Ready, Recording, TooFewBuffers };
    struct Row {
        const char *what;
        ULONG code;
        std::vector<UCHAR> block;
        DeviceState device;
        NTSTATUS status;
        const char *message; /* nullptr: nothing is printed */
    };
    RECORD_DISC_REQUEST pregap = PlainBlock(Missing);
    pregap.nPregapBlocks = 150;
    pregap.pregapBlockSize = 2352; /* the track's blocks are 2048 bytes */
    RECORD_DISC_EX2_REQUEST pregapEx2 = Ex2Block(Missing);
    pregapEx2.nPregapBlocks = 1;
    pregapEx2.pregapBlockSize = 2048; /* the track's blocks are 2336 bytes */
    RECORD_DISC_REQUEST emptyLast = PlainBlock(Missing, 2);
    emptyLast.tracks[1].nBlocks = 0;
    RECORD_DISC_REQUEST emptyMiddle = PlainBlock(Missing, 3);
    emptyMiddle.tracks[1].nBlocks = 0;
    RECORD_DISC_EX_REQUEST emptyEx = ExBlock(Missing);
    emptyEx.tracks[0].nBlocks = 0;
    const RECORD_DISC_REQUEST noTracks = PlainBlock(Missing, 0);

    const Row rows[] = {
        {"pre-gap of another block size", IOCTL_RECORDER_RECORD_DISC, Bytes(pregap), Ready,
         STATUS_INVALID_PARAMETER,
         "Burnkit[0]: CdRecorderRecordDisc - pre-gap block size 2352 differs from the first "
         "track's block size 2048\n"},
        {"pre-gap of another block size (Ex2)", IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(pregapEx2),
         Ready, STATUS_INVALID_PARAMETER,
         "Burnkit[0]: CdRecorderRecordDiscEx2 - pre-gap block size 2048 differs from the first "
         "track's block size 2336\n"},
        {"last track of no blocks", IOCTL_RECORDER_RECORD_DISC, Bytes(emptyLast), Ready,
         STATUS_INVALID_PARAMETER,
         "Burnkit[0]: CdRecorderRecordDisc - track 2 of 2 has no blocks\n"},
        {"middle track of no blocks", IOCTL_RECORDER_RECORD_DISC, Bytes(emptyMiddle), Ready,
         STATUS_INVALID_PARAMETER,
         "Burnkit[0]: CdRecorderRecordDisc - track 2 of 3 has no blocks\n"},
        {"only track of no blocks (Ex)", IOCTL_RECORDER_RECORD_DISC_EX, Bytes(emptyEx), Ready,
         STATUS_INVALID_PARAMETER,
         "Burnkit[0]: CdRecorderRecordDiscEx - track 1 of 1 has no blocks\n"},
        {"busy wins over an out-of-bounds block", IOCTL_RECORDER_RECORD_DISC, Bytes(noTracks),
         Recording, STATUS_DEVICE_BUSY, nullptr},
        {"busy wins over a pre-gap of another size", IOCTL_RECORDER_RECORD_DISC, Bytes(pregap),
         Recording, STATUS_DEVICE_BUSY, nullptr},
        {"busy wins over an empty track", IOCTL_RECORDER_RECORD_DISC_EX, Bytes(emptyEx), Recording,
         STATUS_DEVICE_BUSY, nullptr},
        {"missing buffers win over an out-of-bounds block", IOCTL_RECORDER_RECORD_DISC,
         Bytes(noTracks), TooFewBuffers, STATUS_MEMORY_NOT_ALLOCATED,
         "Burnkit[0]: CdRecorderRecordDisc - Not enough cache buffers allocated - 15 "
         "allocated\n"},
        {"missing buffers win over a pre-gap of another size", IOCTL_RECORDER_RECORD_DISC_EX2,
         Bytes(pregapEx2), TooFewBuffers, STATUS_MEMORY_NOT_ALLOCATED,
         "Burnkit[0]: CdRecorderRecordDiscEx2 - Not enough cache buffers allocated - 15 "
         "allocated\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const ULONG statusBefore = row.device == Recording ? RECSTAT_IN_PROCESS : RECSTAT_IDLE;
        ext->Status.recordingStatus = statusBefore;
        ext->numCacheBuffers = row.device == TooFewBuffers ? 15 : 16;
        ClearLog();
        EXPECT_EQ(row.status, Send(row.code, row.block));
        const std::vector<std::string> expected = row.message == nullptr
                                                      ? std::vector<std::string>{}
                                                      : std::vector<std::string>{row.message};
        EXPECT_EQ(expected, HostDebugMessages());
        EXPECT_EQ(statusBefore, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bReadThreadBusy);
        EXPECT_EQ(drive, ext->RecordCacheDrive);
        EXPECT_EQ(threshold, ext->refillThreshold);
        EXPECT_EQ(0u, ext->ReadParams.numTracks);
        ext->numCacheBuffers = 16;
        ext->Status.recordingStatus = RECSTAT_IDLE;
    }

    /* The pre-gap in the first track's block size is recorded. */
    pregap.pregapBlockSize = 2048;
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(pregap));
    EXPECT_EQ(150u, ext->ReadParams.nPregapBlocks);
}

namespace {

/* A record-disc request sent from inside a cache request, when that request prints Trigger:
   after it has changed the buffers and before it has finished. */
struct NestedRecordRequest {
    HANDLE handle = nullptr;
    std::vector<UCHAR> block;
    std::string trigger;
    bool sent = false;
    NTSTATUS status = STATUS_SUCCESS;
};
NestedRecordRequest nested;

void SendRecordRequestOnTrigger(const char *Message) {
    if (!nested.sent && strstr(Message, nested.trigger.c_str()) != nullptr) {
        nested.sent = true;
        nested.status = SendRecordBlock(nested.handle, IOCTL_RECORDER_RECORD_DISC, nested.block);
    }
}

} // namespace

TEST_F(RecordDisc, NoRecordingStartsWhileACacheRequestChangesTheBuffers) {
    struct Step {
        const char *what;
        ULONG code;
        ULONG count;
        const char *trigger;
    } steps[] = {
        {"growing", IOCTL_RECORDER_ALLOCATE_CACHE, 24, "24 buffers requested, 24 allocated"},
        {"shrinking", IOCTL_RECORDER_ALLOCATE_CACHE, 16, "16 buffers already allocated"},
        {"freeing", IOCTL_RECORDER_DEALLOCATE_CACHE, 0, "16 buffers deallocated"},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        nested = NestedRecordRequest();
        nested.handle = handle;
        nested.block = Bytes(PlainBlock(Missing));
        nested.trigger = step.trigger;
        HostDebugSetSink(SendRecordRequestOnTrigger);
        ULONG count = step.count;
        const NTSTATUS status =
            step.code == IOCTL_RECORDER_ALLOCATE_CACHE
                ? Ioctl(handle, step.code, &count, sizeof(count), &count, sizeof(count)).Status
                : Ioctl(handle, step.code, nullptr, 0, nullptr, 0).Status;
        HostDebugSetSink(nullptr);
        EXPECT_EQ(STATUS_SUCCESS, status);
        ASSERT_TRUE(nested.sent) << HostDebugLog();
        EXPECT_EQ(STATUS_DEVICE_BUSY, nested.status);
        WaitIdle();
        EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus) << "no recording was started";
    }

    /* Once the cache request is done, recordings start again. */
    Allocate(16);
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing)));
    EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
}
