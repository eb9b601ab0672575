/*
 * recording_e2e_test.cpp - the read side of the recording pipeline and whole recordings.
 *
 * First the track descriptor blocks on their own, then recordings from image files onto the
 * simulated recorder through the application's control requests, each checked against the
 * disc's bytes and the final status record: plain and multi-format tracks, pre-gaps with
 * descriptors, short images, write modes, and every way a recording can end early.
 */
#include <sys/stat.h>

#include <fstream>
#include <deque>
#include <random>

#include "support/driver_harness.h"
#include "support/recorder_setup.h"
#include "support/recording_scenario.h"
#include "support/test_support.h"

namespace {

/* Before, followed by a block holding only a track descriptor at Offset: "TDI", the pre-gap
   length's hundreds and rest, 0x01, the track three times, byte 9 (0x80 with the low nibble
   of what was there, or left alone in 2352-byte blocks), 0xFF three times. */
std::vector<UCHAR> DescriptorBlock(ULONG BlockSize, ULONG Offset, UCHAR Hundreds, UCHAR Rest,
                                   UCHAR Track, UCHAR Byte9, std::vector<UCHAR> Before = {}) {
    Before.resize(Before.size() + BlockSize, 0);
    const UCHAR bytes[] = {0x54,  0x44,  0x49,  Hundreds, Rest, 0x01, Track,
                           Track, Track, Byte9, 0xFF,     0xFF, 0xFF};
    std::copy(bytes, bytes + sizeof(bytes), Before.end() - BlockSize + Offset);
    return Before;
}

} // namespace

TEST(TrackDescriptor, NumbersAreBcdAndKeepLowNibbleOfByte9) {
    /* Track, pre-gap, the BCD bytes they become, byte 9 from what was there; the header offset
       follows the block size (2048, 2336 and 2352 are checked on the disc as well), nothing is
       written past the last block, and 0 blocks write nothing. */
    const struct {
        UCHAR track, pregap, hundreds, rest, trackBcd;
        ULONG blockSize, blocks;
        UCHAR byte9Before, byte9After;
    } rows[] = {
        {99, 44, 0x00, 0x44, 0x99, 2048, 1, 0x00, 0x80},
        {12, 0, 0x00, 0x00, 0x12, 2048, 1, 0x00, 0x80},
        {7, 200, 0x02, 0x00, 0x07, 2048, 1, 0x00, 0x80},
        {1, 150, 0x01, 0x50, 0x01, 2048, 1, 0x3A, 0x8A},
        {1, 150, 0x01, 0x50, 0x01, 2352, 1, 0x3A, 0x3A},
        {1, 150, 0x01, 0x50, 0x01, 2056, 3, 0x00, 0x80},
        {1, 150, 0x01, 0x50, 0x01, 2048, 0, 0x00, 0x00},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << "row " << &row - rows);
        const ULONG offset = row.blockSize == 2352 ? 24 : row.blockSize == 2056 ? 8 : 0;
        std::vector<UCHAR> blocks(std::max(row.blocks, 1u) * row.blockSize + 64, 0), expected;
        for (ULONG k = 0; k < row.blocks; k++) {
            blocks[k * row.blockSize + offset + 9] = row.byte9Before;
            expected = DescriptorBlock(row.blockSize, offset, row.hundreds, row.rest, row.trackBcd,
                                       row.byte9After, expected);
        }
        expected.resize(blocks.size(), 0);
        FormatTrackDescriptor(blocks.data(), row.blocks, row.blockSize, row.track, row.pregap);
        EXPECT_EQ(expected, blocks);
    }
}

/* ---- whole recordings ----------------------------------------------------------------------- */

namespace {

const LONGLONG OneSecond = 10000000LL;

/* One simulated recorder, plugged in, started and opened by the application. */
struct Recorder {
    PSIM_RECORDER sim = nullptr;
    HANDLE handle = nullptr;
    PWriterExtension ext = nullptr;
    std::string discFile;
};

/* A record-disc request is laid out as the plain block. */
using Layout = RECORD_DISC_REQUEST;

template <typename BLOCK> std::vector<UCHAR> Bytes(const BLOCK &Block) {
    return std::vector<UCHAR>(reinterpret_cast<const UCHAR *>(&Block),
                              reinterpret_cast<const UCHAR *>(&Block) + sizeof(Block));
}

std::vector<UCHAR> RandomBytes(size_t Length, unsigned Seed) {
    std::mt19937 generator(Seed);
    std::vector<UCHAR> bytes(Length);
    std::generate(bytes.begin(), bytes.end(), [&] { return UCHAR(generator() >> 13); });
    return bytes;
}

/* Driver loaded, a scratch directory mapped as drive D:, the virtual clock, one recorder. */
class Recording : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        dir = ScratchDir();
        chmod(dir.c_str(), 0755); /* an impersonated reader must reach the images */
        AddRecorder();
        ClearLog();
    }

    /* Lets every recording end before the harness removes the units and unloads. */
    void TearDown() override {
        for (Recorder &r : recorders) {
            WaitIdle(r, 3000);
        }
        DriverHarness::TearDown();
        EXPECT_EQ(0u, HostVerifierFailureCount());
    }

    /* Plugs in and opens another recorder (rec is the first) with 16 cache buffers and the
       given drive speed. */
    Recorder &AddRecorder(ULONG Speed = 0, ULONG DriveBufferBytes = 0) {
        Recorder &r = recorders.size() == 1 && rec.sim == nullptr ? rec : recorders.emplace_back();
        const ULONG index = static_cast<ULONG>(recorders.size() - 1);
        SIM_RECORDER_CONFIG config = RecorderConfig();
        r.discFile = dir + "/disc-" + std::to_string(index) + ".img";
        config.DiscFile = r.discFile.c_str();
        config.SpeedMultiple = Speed;
        config.BufferBytes = DriveBufferBytes != 0 ? DriveBufferBytes : config.BufferBytes;
        Unit *unit = PlugRecorder(config);
        r.sim = unit->Sim;
        r.ext = CdwWriterExtension(unit->Fdo);
        r.handle = OpenRecorder(index);
        EXPECT_EQ(unit->Fdo, HostDeviceOfHandle(r.handle));
        EXPECT_EQ(STATUS_SUCCESS, AllocateCache(r.handle, 16));
        return r;
    }

    /* Writes Bytes as the image Name on drive D: and lays it out as one track of Blocks blocks
       from block 0. */
    Layout OneTrack(const std::string &Name, const std::vector<UCHAR> &Bytes, ULONG Blocks,
                    ULONG BlockSize = 2048, mode_t Mode = 0644) {
        const std::string path = dir + "/" + Name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(Bytes.data()), std::streamsize(Bytes.size()));
        chmod(path.c_str(), Mode);
        Layout layout = {};
        snprintf(layout.imageName, sizeof(layout.imageName), "\\??\\D:\\%s", Name.c_str());
        layout.numTracks = 1;
        layout.tracks[0] = TrackEntry(1, BlockSize, 0, 0, Blocks);
        return layout;
    }

    /* Sends L as a plain request, or as an Ex request of its name and first track reading from
       byte ExOffset. */
    static NTSTATUS Send(Recorder &Rec, const Layout &L, LONG ExOffset = -1) {
        if (ExOffset < 0) {
            return SendRecordBlock(Rec.handle, IOCTL_RECORDER_RECORD_DISC, Bytes(L));
        }
        RECORD_DISC_EX_REQUEST ex = {};
        memcpy(ex.imageName, L.imageName, sizeof(L.imageName));
        ex.numTracks = 1;
        ex.tracks[0] = L.tracks[0];
        ex.imageByteOffset = static_cast<ULONG>(ExOffset);
        return SendRecordBlock(Rec.handle, IOCTL_RECORDER_RECORD_DISC_EX, Bytes(ex));
    }

    static RECORDING_STATUS Status(Recorder &Rec, bool Cancel = false) {
        return QueryRecordingStatus(Rec.handle, Cancel);
    }

    static RecordingState State(Recorder &Rec) { return ReadRecordingState(Rec.ext); }

    /* Waits until both threads are back at rest; at most Seconds on the virtual clock. */
    static bool WaitIdle(Recorder &Rec, LONGLONG Seconds = 1200) {
        const bool idle = WaitRecordingIdle(Rec.ext, Seconds);
        EXPECT_TRUE(idle) << "recording did not end; status " << State(Rec).RecordingStatus;
        return idle;
    }

    /* Waits until Condition holds, at most Seconds on the virtual clock. */
    template <typename Condition> bool WaitFor(Condition &&Done, LONGLONG Seconds = 1200) {
        for (const LONGLONG end = HostClockNow() + Seconds * OneSecond; !Done(); Sleep(10)) {
            if (HostClockNow() > end) {
                return false;
            }
        }
        return true;
    }

    /* Records L and waits for the end; returns the final status. */
    RECORDING_STATUS Record(Recorder &Rec, const Layout &L, LONG ExOffset = -1) {
        EXPECT_EQ(STATUS_SUCCESS, Send(Rec, L, ExOffset));
        WaitIdle(Rec);
        return Status(Rec);
    }

    static std::vector<UCHAR> DiscBlock(Recorder &Rec, ULONG Lba) {
        std::vector<UCHAR> block(SIM_MAX_BLOCK_SIZE);
        block.resize(HostSimReadBlock(Rec.sim, Lba, block.data(), SIM_MAX_BLOCK_SIZE));
        return block;
    }

    /* Blocks [StartLba, StartLba+Blocks) of the disc hold Image from byte ImageOffset on,
       zeros past its end. */
    static void ExpectDiscHolds(Recorder &Rec, ULONG StartLba, ULONG Blocks, ULONG BlockSize,
                                const std::vector<UCHAR> &Image, size_t ImageOffset) {
        for (ULONG b = 0; b < Blocks; b++) {
            const size_t at = std::min(ImageOffset + size_t(b) * BlockSize, Image.size());
            std::vector<UCHAR> expected(BlockSize, 0);
            std::copy(Image.begin() + at, Image.begin() + std::min(at + BlockSize, Image.size()),
                      expected.begin());
            ASSERT_TRUE(expected == DiscBlock(Rec, StartLba + b)) << "block " << StartLba + b;
        }
    }

    std::string dir;
    std::deque<Recorder> recorders;
    Recorder &rec = recorders.emplace_back();
};

} // namespace

/* ---- recordings that complete ------------------------------------------------------------- */

TEST_F(Recording, OneTrackIsoImageLandsByteForByte) {
    const ULONG blocks = 2048 + 37; /* 4 MiB and a short last packet */
    std::vector<UCHAR> image = RandomBytes(static_cast<size_t>(blocks) * 2048, 1);
    Layout layout = OneTrack("iso.img", image, blocks);
    layout.initialBlocksWritten = 100;
    layout.refillPercent = 10; /* a threshold of 1: refills only when the ring runs empty */

    RECORDING_STATUS status = Record(rec, layout);
    EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus) << HostDebugLog();
    EXPECT_EQ(100u + blocks - 37, status.blocksWritten) << "the last packet is not counted";
    EXPECT_EQ(0, status.bReadStarted);
    EXPECT_EQ(image, ReadHostFile(rec.discFile));

    /* Whole commands of 16 blocks, the last one short; no flush after a completed pass. */
    std::vector<SIM_LOG_ENTRY> writes = SimCommands(rec.sim, 0x2A);
    ASSERT_EQ((blocks + 15) / 16, writes.size());
    EXPECT_EQ(16u * 2048, writes[0].DataLength);
    EXPECT_EQ(5u * 2048, writes.back().DataLength);
    EXPECT_TRUE(SimCommands(rec.sim, 0x35).empty());
    EXPECT_EQ(0, HostOpenFileCount());
    EXPECT_FALSE(HostDebugLogContains("failed")) << HostDebugLog();
}

TEST_F(Recording, TracksOfDifferentFormatsChangeTheBlockSize) {
    /* Track 1: 100 blocks of 2048; track 2 (another format): 70 of 2352; track 3 (same format
       as track 2): 3 blocks of 2352 read as 14 units; track 4 (the format of track 3 again,
       but its own block size): 70 blocks of 2336. */
    const ULONG track3Unit = (100 * 2048 + 70 * 2352) / 512;
    const ULONG track4Unit = track3Unit + 14;
    std::vector<UCHAR> image = RandomBytes(size_t(track4Unit) * 512 + 70 * 2336, 2);
    Layout layout = OneTrack("mixed.img", image, 100);
    layout.numTracks = 4;
    layout.tracks[1] = TrackEntry(2, 2352, 100, 400, 70);
    layout.tracks[2] = TrackEntry(2, 2352, 170, track3Unit, 3);
    layout.tracks[3] = TrackEntry(2, 2336, 173, track4Unit, 70);

    RECORDING_STATUS status = Record(rec, layout);
    EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus) << HostDebugLog();
    for (const TRACK_ENTRY &t : layout.tracks) {
        ExpectDiscHolds(rec, t.startBlock, t.nBlocks, t.blockSize, image, t.hdStartBlock * 512);
    }

    /* Transfer lengths follow the block size of each track. */
    for (const SIM_LOG_ENTRY &write : SimCommands(rec.sim, 0x2A)) {
        const ULONG lba = CdbLba(write), size = lba < 100 ? 2048 : lba < 173 ? 2352 : 2336;
        EXPECT_EQ(CdbBlocks(write) * size, write.DataLength) << lba;
    }
    /* Only the last packet of the last track ends the pass: blocks of every other packet
       count (64 + 36 + 64 + 6 + 3 + 64, then the last packet of 6 is not added). */
    EXPECT_EQ(237u, status.blocksWritten);
}

TEST_F(Recording, BlockSizesThatAreNotAMultipleOfEightAreReadFromTheirPlace) {
    /* 64 blocks of such a size end inside a 512-byte unit, so every packet after the first
       starts inside one; plain requests read unbuffered or buffered, Ex requests at a byte
       offset. */
    for (ULONG blockSize : {2324u, 2332u, 2340u, 2447u}) {
        std::vector<UCHAR> image = RandomBytes(1536 + 200 * blockSize, blockSize);
        for (int way = 0; way < 3; way++) {
            SCOPED_TRACE(testing::Message() << blockSize << " way " << way);
            /* Ex: from byte 1000 + 1 unit = 1512; plain: from unit 3 = byte 1536. */
            Layout layout =
                OneTrack("odd-" + std::to_string(blockSize) + ".img", image, 200, blockSize);
            layout.tracks[0].hdStartBlock = way == 2 ? 1 : 3;
            layout.bBufferedRead = way == 1;
            ASSERT_EQ(RECSTAT_COMPLETE, Record(rec, layout, way == 2 ? 1000 : -1).recordingStatus)
                << HostDebugLog();
            ExpectDiscHolds(rec, 0, 200, blockSize, image, way == 2 ? 1512 : 1536);
        }
    }
}

TEST_F(Recording, PregapBlocksCarryTrackDescriptors) {
    /* A pre-gap of each block size before a track of 10 blocks, and the pre-gap length rule:
       145 blocks are described as 150, 300 as 44 and 1024 as 0 (the length is a byte); 1024
       blocks fill the 16 packets of the ring. */
    const struct {
        ULONG blockSize, blocks, start;
        UCHAR track, hundreds, rest;
    } rows[] = {
        {2048, 150, 0, 1, 0x01, 0x50},    {2336, 150, 0, 1, 0x01, 0x50},
        {2352, 150, 0, 1, 0x01, 0x50},    {2048, 145, 1000, 7, 0x01, 0x50},
        {2048, 300, 1000, 7, 0x00, 0x44}, {2048, 1024, 0, 1, 0x00, 0x00},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(testing::Message() << row.blocks << " blocks of " << row.blockSize);
        const ULONG header = row.blockSize == 2048 ? 0 : (row.blockSize == 2336 ? 8 : 24);
        std::vector<UCHAR> image = RandomBytes(10 * row.blockSize, 3);
        Layout layout = OneTrack("pregap.img", image, 10, row.blockSize);
        layout.pregapStartBlock = row.start;
        layout.pregapBlockSize = row.blockSize;
        layout.nPregapBlocks = row.blocks;
        layout.bWriteTdb = 1;
        layout.tdbTrackNumber = row.track;
        layout.tracks[0].startBlock = row.start + row.blocks;
        HostSimClearLog(rec.sim);
        HostResetLargestFillAtDispatch();
        RECORDING_STATUS status = Record(rec, layout);
        EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus) << HostDebugLog();
        /* The pre-gap's buffers are cleared at PASSIVE_LEVEL, not under the ring's spin lock:
           nothing as large as a page is cleared at DISPATCH_LEVEL (the ring's slots are). */
        EXPECT_LT(HostLargestFillAtDispatch(), (SIZE_T)PAGE_SIZE);
        for (ULONG lba = row.start; lba < row.start + row.blocks; lba++) {
            ASSERT_EQ(DescriptorBlock(row.blockSize, header, row.hundreds, row.rest, row.track,
                                      row.blockSize == 2352 ? 0x00 : 0x80),
                      DiscBlock(rec, lba))
                << lba;
        }
        ExpectDiscHolds(rec, row.start + row.blocks, 10, row.blockSize, image, 0);
        /* The pre-gap's packets and the track's are all counted but the last. */
        EXPECT_EQ(row.blocks, status.blocksWritten);
        /* Packets of 64 from the pre-gap start, each written in commands of 16 blocks. */
        const std::vector<SIM_LOG_ENTRY> writes = SimCommands(rec.sim, 0x2A);
        for (ULONG off = 0, w = 0; off < row.blocks; off += 16, w++) {
            ASSERT_LT(w, writes.size());
            EXPECT_EQ(std::make_pair(row.start + off, std::min(16u, row.blocks - off)),
                      std::make_pair(CdbLba(writes[w]), CdbBlocks(writes[w])));
        }
    }
}

TEST_F(Recording, ImageEndingInsideItsFinalBlockIsPaddedAndEarlierFails) {
    const struct {
        size_t imageBytes;
        ULONG blocks;
        UCHAR bufferedRead;
        ULONG expected;
    } cases[] = {
        {10000, 5, 1, RECSTAT_COMPLETE},          /* 4 blocks and 1808 bytes: padded */
        {64 * 2048 + 1, 65, 0, RECSTAT_COMPLETE}, /* one byte of the final block */
        {10000, 6, 1, RECSTAT_READ_FAILED},       /* a whole block missing */
        {65 * 2048, 128, 0, RECSTAT_READ_FAILED}, /* 63 blocks missing in the last packet */
        {65 * 2048, 128, 1, RECSTAT_READ_FAILED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.imageBytes << " bytes as " << c.blocks << " blocks");
        std::vector<UCHAR> image = RandomBytes(c.imageBytes, 5);
        Layout layout = OneTrack("short.img", image, c.blocks);
        layout.bBufferedRead = c.bufferedRead;
        ClearLog();
        EXPECT_EQ(c.expected, Record(rec, layout).recordingStatus) << HostDebugLog();
        EXPECT_EQ(c.expected != RECSTAT_COMPLETE,
                  HostDebugLogContains("(\\??\\D:\\short.img) - image ends inside the track"));
        if (c.expected == RECSTAT_COMPLETE) {
            ExpectDiscHolds(rec, 0, c.blocks, 2048, image, 0); /* bytes past the image are 0 */
        }
    }
}

/* ---- recordings that end early ------------------------------------------------------------ */

TEST_F(Recording, CancelWhileWritingAbortsFlushesAndStopsTheReader) {
    Recorder &slow = AddRecorder(1, 256 * 1024);
    std::vector<UCHAR> image = RandomBytes(2048 * 2048, 10);
    Layout layout = OneTrack("cancel.img", image, 2048);
    layout.refillPercent = 50;
    ASSERT_EQ(STATUS_SUCCESS, Send(slow, layout));
    ASSERT_TRUE(WaitFor([&] { return State(slow).BlocksWritten >= 256; }));

    EXPECT_EQ(0, Status(slow, true).bCancel) << "the cancelling request shows the flag before";
    const ULONG commandsAtCancel = HostSimLogCount(slow.sim);
    EXPECT_EQ(1, Status(slow).bCancel);
    ASSERT_TRUE(WaitIdle(slow));

    RECORDING_STATUS status = Status(slow);
    EXPECT_EQ(RECSTAT_ABORTED, status.recordingStatus);
    EXPECT_LT(status.blocksWritten, 2048u);
    const std::vector<SIM_LOG_ENTRY> flushes = SimCommands(slow.sim, 0x35);
    EXPECT_TRUE(!flushes.empty() && flushes.back().Number > commandsAtCancel)
        << "the drive's cache is flushed after a cancel";
    EXPECT_TRUE(HostDebugLogContains(
        "ReadTrack - recordingStatus != RECSTAT_IN_PROCESS or abort flag set, aborting\n"));
    EXPECT_TRUE(HostDebugLogContains("ReadThread - ReadTrack failed, setting bAbort"));
    EXPECT_TRUE(slow.ext->WriteParams.bAbort);
    EXPECT_EQ(0, HostOpenFileCount());
    ExpectDiscHolds(slow, 0, status.blocksWritten, 2048, image, 0);

    /* The device records again afterwards. */
    EXPECT_EQ(RECSTAT_COMPLETE,
              Record(slow, OneTrack("again.img", RandomBytes(100 * 2048, 11), 100)).recordingStatus)
        << HostDebugLog();
}

TEST_F(Recording, ReadFailureEndsReadFailedWithOrWithoutAWritePass) {
    Layout layout = OneTrack("bad.img", RandomBytes(2048 * 2048, 16), 2048);
    layout.refillPercent = 50;

    /* The 21st read fails: the write pass runs and ends on the reader's abort. */
    HOST_FAULT fault = {20, 1, 0, static_cast<NTSTATUS>(0xC000009C)};
    HostSetFault(HostFaultFileRead, &fault);
    EXPECT_EQ(RECSTAT_READ_FAILED, Record(rec, layout).recordingStatus) << HostDebugLog();
    EXPECT_EQ(1u, HostFaultHits(HostFaultFileRead));
    EXPECT_TRUE(HostDebugLogContains(
        "ReadTrack(\\??\\D:\\bad.img) - ZwReadFile failed, Status = 0xC000009C, Offset = "
        "0x00280000, Length = 0x00020000\n"));
    EXPECT_TRUE(HostDebugLogContains(
        "Burnkit[0]: more info: packet.numBlocks = 0x00000040, curHdReadBlock = 0x00001400, "
        "hdBlocksToRead = 0x00000100, numCdBlocks = 0x00000800, blocksWritten = 0x00000500\n"));
    EXPECT_TRUE(HostDebugLogContains("WriteThreadProc - WriteParams.bAbort set, terminating\n"));

    /* The 2nd read fails: the write pass never starts. */
    HostClearAllFaults();
    HostSimClearLog(rec.sim);
    HOST_FAULT early = {1, 1, 0, static_cast<NTSTATUS>(0xC000009C)};
    HostSetFault(HostFaultFileRead, &early);
    EXPECT_EQ(RECSTAT_READ_FAILED, Record(rec, layout).recordingStatus);
    EXPECT_EQ(0u, HostSimLogCount(rec.sim));
    EXPECT_EQ(0, HostOpenFileCount());
}

TEST_F(Recording, ImpersonatedReadsFollowTheCallersRights) {
    if (!HostCanImpersonate()) {
        GTEST_SKIP() << "changing the file-system identity needs root";
    }
    std::vector<UCHAR> file = RandomBytes(4096 + 300 * 2048, 19);
    Layout open = OneTrack("open.img", file, 300),
           secret = OneTrack("secret.img", file, 300, 2048, 0600);
    const LONG tokens = HostLiveTokenCount();

    /* An image the caller may not read ends OPEN_FAILED before any read or command, and the
       reader takes the next recording. */
    HostSetThreadIdentity(65534, 65534, nullptr, 0);
    EXPECT_EQ(RECSTAT_OPEN_FAILED, Record(rec, secret, 0).recordingStatus);
    EXPECT_TRUE(HostDebugLogContains("ReadThread - ZwCreateFile failed, Status = 0x"));
    EXPECT_EQ(0u, HostSimLogCount(rec.sim));
    EXPECT_EQ(0, Status(rec).bReadStarted);
    EXPECT_EQ(tokens, HostLiveTokenCount()) << "the client context is released";

    EXPECT_EQ(RECSTAT_COMPLETE, Record(rec, open, 4096).recordingStatus) << HostDebugLog();
    HostResetThreadIdentity();
    ExpectDiscHolds(rec, 0, 300, 2048, file, 4096);
    EXPECT_EQ(tokens, HostLiveTokenCount());
}

TEST_F(Recording, RecordersSharingACacheDriveTakeTurns) {
    Recorder *recs[2] = {&AddRecorder(4, 256 * 1024), &AddRecorder(4, 256 * 1024)};
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('D', 0x0001));
    PCACHE_DRIVE drive = nullptr;
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveLocate('d', &drive));
    std::vector<UCHAR> images[2];
    for (int i = 0; i < 2; i++) {
        images[i] = RandomBytes(2048 * 2048, 20 + i);
        Layout layout = OneTrack("image" + std::to_string(i) + ".img", images[i], 2048);
        layout.refillPercent = 50;
        ASSERT_EQ(STATUS_SUCCESS, Send(*recs[i], layout));
    }

    /* Both record at the same time, their fill bursts taking turns on the drive. */
    auto recording = [&](int I) {
        return State(*recs[I]).BlocksWritten > 0 &&
               State(*recs[I]).RecordingStatus == RECSTAT_IN_PROCESS;
    };
    ASSERT_TRUE(WaitFor([&] { return recording(0) && recording(1); }));

    /* A download in the middle of the recordings: no reader fills its ring meanwhile. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive));
    auto tail = [](Recorder *Rec) {
        CdwSpinLockGuard guard(&Rec->ext->CirQueLock);
        return Rec->ext->CirQue.tail;
    };
    const ULONG tails[2] = {tail(recs[0]), tail(recs[1])};
    Sleep(3000);
    EXPECT_EQ(std::make_pair(tails[0], tails[1]), std::make_pair(tail(recs[0]), tail(recs[1])));
    EXPECT_TRUE(recording(0) && recording(1));
    TesselCacheDriveRelease(drive);

    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(WaitIdle(*recs[i]));
        EXPECT_EQ(RECSTAT_COMPLETE, Status(*recs[i]).recordingStatus) << HostDebugLog();
        SynchronizeRecorder(recs[i]->sim); /* the application's flush after COMPLETE */
        EXPECT_EQ(images[i], ReadHostFile(recs[i]->discFile));
    }
    EXPECT_FALSE(drive->bLocked);
}

TEST_F(Recording, PregapLongerThanTheRingEndsQueueError) {
    std::vector<UCHAR> image = RandomBytes(10 * 2048, 23);
    Layout layout = OneTrack("long-pregap.img", image, 10);
    layout.nPregapBlocks = 16 * 64 + 1; /* one block more than 16 packets hold */
    layout.pregapBlockSize = 2048;
    layout.tracks[0].startBlock = 16 * 64 + 1;
    EXPECT_EQ(RECSTAT_QUEUE_ERROR, Record(rec, layout).recordingStatus);
    EXPECT_TRUE(HostDebugLogContains(
        "ReadThread - CirQueInsertPacket failed, Head = 0, Tail = 0, #Elements = 16, !Empty = 1"))
        << HostDebugLog();
    EXPECT_EQ(0u, HostSimLogCount(rec.sim)) << "the write pass never starts";
    EXPECT_EQ(0, HostOpenFileCount());
    /* Exactly 16 packets fit: the pre-gap of 1024 blocks with the descriptors. */
}

TEST_F(Recording, NoNewRecordingWhileTheLastWritePassStillRuns) {
    /* The reader gives up (refill time-out) while the write pass idles after its 100th
       packet: the recording's final status is set, but the pass still runs. */
    Layout stalled = OneTrack("stalled.img", RandomBytes(140 * 64 * 512, 24), 140 * 64, 512);
    stalled.modeWord = RECORD_FLAG_TEST_HANG;
    const LONGLONG start = HostClockNow();
    ASSERT_EQ(STATUS_SUCCESS, Send(rec, stalled));
    ASSERT_TRUE(WaitFor([&] { return State(rec).RecordingStatus != RECSTAT_IN_PROCESS; }));
    ASSERT_EQ(RECSTAT_REFILL_TIMEOUT, State(rec).RecordingStatus) << HostDebugLog();
    EXPECT_GE(HostClockNow() - start, 300 * OneSecond);
    EXPECT_TRUE(HostDebugLogContains("ReadTrack - timeout waiting for CirQueRefillEvent\n"));
    EXPECT_TRUE(HostDebugLogContains("WriteThreadProc - test hang in WriteThread\n"));
    ASSERT_TRUE(State(rec).WriterRunning);
    /* Its 100 packets: the block-size packet and 99 of data. */
    EXPECT_EQ(99u * 64, Status(rec).blocksWritten);

    /* Another recording is refused until that pass has ended, by every request. */
    std::vector<UCHAR> image = RandomBytes(100 * 2048, 25);
    Layout next = OneTrack("next.img", image, 100);
    next.tracks[0].startBlock = 10000;
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(rec, next));
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(rec, next, 0));
    EXPECT_EQ(RECSTAT_REFILL_TIMEOUT, State(rec).RecordingStatus);
    EXPECT_FALSE(HostDebugLogContains("next.img")) << "nothing of the refused request was taken";

    /* The reader has given up; a cancel releases the idling writer, which reports it. */
    (void)Status(rec, true);
    ASSERT_TRUE(WaitIdle(rec));
    EXPECT_TRUE(rec.ext->WriteParams.bAbort);
    EXPECT_EQ(RECSTAT_ABORTED, Status(rec).recordingStatus);
    EXPECT_TRUE(HostDebugLogContains("ReadThread - ReadTrack failed, setting bAbort for Write"));
    const ULONG stalledWrites = static_cast<ULONG>(SimCommands(rec.sim, 0x2A).size());

    /* Then the next recording writes exactly its own blocks. */
    EXPECT_EQ(RECSTAT_COMPLETE, Record(rec, next).recordingStatus) << HostDebugLog();
    ExpectDiscHolds(rec, 10000, 100, 2048, image, 0);
    std::vector<SIM_LOG_ENTRY> writes = SimCommands(rec.sim, 0x2A);
    ASSERT_EQ(stalledWrites + 7, writes.size()) << "100 blocks in commands of 16";
    for (size_t i = stalledWrites; i < writes.size(); i++) {
        EXPECT_EQ(10000u + 16 * (i - stalledWrites), CdbLba(writes[i]));
    }
}
