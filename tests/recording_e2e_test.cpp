/*
 * recording_e2e_test.cpp - the read side of the recording pipeline and whole recordings.
 *
 * First the track descriptor blocks on their own, then recordings from image files onto the
 * simulated recorder through the application's control requests, each checked against the
 * disc's bytes and the final status record: plain and multi-format tracks, pre-gaps with
 * descriptors, short images, checksum-only passes, write modes, and every way a recording
 * can end early.
 */
#include <gtest/gtest.h>

#include <algorithm>

#include <string.h>

#include <vector>

#include "../driver/writer.h"

namespace {

std::vector<UCHAR> StampedBlocks(ULONG BlockSize, ULONG Blocks, UCHAR Track, UCHAR Pregap) {
    std::vector<UCHAR> blocks(BlockSize * Blocks + 64, 0);
    FormatTrackDescriptor(blocks.data(), Blocks, BlockSize, Track, Pregap);
    return blocks;
}

const UCHAR DescriptorTrack1Pregap150[13] = {0x54, 0x44, 0x49, 0x01, 0x50, 0x01, 0x01,
                                             0x01, 0x01, 0x80, 0xFF, 0xFF, 0xFF};

/* Checks that block K of Blocks holds Descriptor at Offset and zeros everywhere else. */
void ExpectOnlyDescriptor(const std::vector<UCHAR> &Blocks, ULONG BlockSize, ULONG K, ULONG Offset,
                          const UCHAR *Descriptor) {
    const UCHAR *block = Blocks.data() + K * BlockSize;
    for (ULONG i = 0; i < BlockSize; i++) {
        const UCHAR expected = (i >= Offset && i < Offset + 13) ? Descriptor[i - Offset] : 0;
        ASSERT_EQ(expected, block[i]) << "block " << K << " byte " << i;
    }
}

} // namespace

/* 2048, 2336 and 2352-byte blocks: PregapRecording checks them on the disc. */
TEST(TrackDescriptor, HeaderOffsetFollowsBlockSize) {
    for (ULONG k = 0; k < 3; k++) {
        ExpectOnlyDescriptor(StampedBlocks(2056, 3, 1, 150), 2056, k, 8, DescriptorTrack1Pregap150);
    }
    /* Nothing is written past the last block, and 0 blocks write nothing. */
    std::vector<UCHAR> one = StampedBlocks(2048, 1, 1, 150);
    EXPECT_EQ(std::vector<UCHAR>(64, 0), std::vector<UCHAR>(one.begin() + 2048, one.end()));
    std::vector<UCHAR> none = StampedBlocks(2048, 0, 1, 150);
    EXPECT_EQ(std::vector<UCHAR>(none.size(), 0), none);
}

TEST(TrackDescriptor, NumbersAreBcdAndKeepLowNibbleOfByte9) {
    std::vector<UCHAR> blocks = StampedBlocks(2048, 1, 99, 44);
    const UCHAR expected[13] = {0x54, 0x44, 0x49, 0x00, 0x44, 0x01, 0x99,
                                0x99, 0x99, 0x80, 0xFF, 0xFF, 0xFF};
    ExpectOnlyDescriptor(blocks, 2048, 0, 0, expected);

    /* Track, pre-gap, and the three BCD bytes they become. */
    const UCHAR numbers[][5] = {{12, 0, 0x00, 0x00, 0x12}, {7, 200, 0x02, 0x00, 0x07}};
    for (const UCHAR *row : numbers) {
        std::vector<UCHAR> stamped = StampedBlocks(2048, 1, row[0], row[1]);
        EXPECT_EQ(row[2], stamped[3]) << "pre-gap " << int(row[1]);
        EXPECT_EQ(row[3], stamped[4]) << "pre-gap " << int(row[1]);
        EXPECT_EQ(row[4], stamped[6]) << "track " << int(row[0]);
    }

    /* Byte 9 keeps its low nibble and gains the high bit, except in 2352-byte blocks. */
    std::vector<UCHAR> dirty(2 * 2352, 0);
    dirty[9] = 0x3A;
    dirty[2352 + 24 + 9] = 0x3A;
    FormatTrackDescriptor(dirty.data(), 1, 2048, 1, 150);
    EXPECT_EQ(0x8A, dirty[9]);
    FormatTrackDescriptor(dirty.data() + 2352, 1, 2352, 1, 150);
    EXPECT_EQ(0x3A, dirty[2352 + 24 + 9]);
}

/* ---- whole recordings ----------------------------------------------------------------------- */

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>

#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/simrecorder.h>

#include "support/driver_harness.h"
#include "support/recording_scenario.h"
#include "support/recorder_setup.h"
#include "support/test_support.h"

namespace {

const LONGLONG OneSecond = 10000000LL;

/* One simulated recorder, plugged in, started and opened by the application. */
struct Recorder {
    DriverHarness::Unit *unit = nullptr;
    PSIM_RECORDER sim = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    HANDLE handle = nullptr;
    PWriterExtension ext = nullptr;
    std::string discFile;
};

/* The track layout and options of one record-disc request, in any of the three blocks. */
struct Layout {
    std::string name;
    std::vector<TRACK_ENTRY> tracks;
    UCHAR bufferedRead = 0;
    ULONG pregapStartBlock = 0;
    ULONG pregapBlockSize = 0;
    ULONG nPregapBlocks = 0;
    ULONG initialBlocksWritten = 0;
    ULONG modeWord = 0;
    ULONG refillPercent = 0;
    UCHAR writeTdb = 0;
    UCHAR tdbTrackNumber = 0;
    ULONG imageByteOffset = 0;
};

/* A block of type BLOCK with the layout's fields that every block carries. */
template <typename BLOCK> std::vector<UCHAR> SharedBlock(const Layout &L, BLOCK **Block) {
    std::vector<UCHAR> bytes(sizeof(BLOCK), 0);
    auto *block = reinterpret_cast<BLOCK *>(bytes.data());
    memcpy(block->imageName, L.name.c_str(), std::min(L.name.size(), sizeof(block->imageName)));
    block->pregapStartBlock = L.pregapStartBlock;
    block->pregapBlockSize = L.pregapBlockSize;
    block->nPregapBlocks = L.nPregapBlocks;
    block->numTracks = static_cast<uint32_t>(L.tracks.size());
    block->initialBlocksWritten = L.initialBlocksWritten;
    block->modeWord = L.modeWord;
    const size_t tableLength = sizeof(block->tracks) / sizeof(block->tracks[0]);
    for (size_t i = 0; i < L.tracks.size() && i < tableLength; i++) {
        block->tracks[i] = L.tracks[i];
    }
    block->refillPercent = L.refillPercent;
    block->bWriteTdb = L.writeTdb;
    block->tdbTrackNumber = L.tdbTrackNumber;
    *Block = block;
    return bytes;
}

std::vector<UCHAR> PlainBlock(const Layout &L) {
    RECORD_DISC_REQUEST *block;
    std::vector<UCHAR> bytes = SharedBlock(L, &block);
    block->bBufferedRead = L.bufferedRead;
    return bytes;
}

std::vector<UCHAR> ExBlock(const Layout &L) {
    RECORD_DISC_EX_REQUEST *block;
    std::vector<UCHAR> bytes = SharedBlock(L, &block);
    block->imageByteOffset = L.imageByteOffset;
    return bytes;
}

std::vector<UCHAR> RandomBytes(size_t Length, unsigned Seed) {
    std::vector<UCHAR> bytes(Length);
    std::mt19937 generator(Seed);
    for (size_t i = 0; i < Length; i++) {
        bytes[i] = static_cast<UCHAR>(generator() >> 13);
    }
    return bytes;
}

/* Driver loaded, a scratch directory mapped as drive D:, the virtual clock. */
class Recording : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        dir = ScratchDir();
        chmod(dir.c_str(), 0755); /* an impersonated reader must reach the images */
        ClearLog();
    }

    /* Lets every recording end before the harness removes the units and unloads. */
    void TearDown() override {
        for (auto &rec : recorders) {
            WaitIdle(*rec, 3000);
            EXPECT_EQ(0u, HostSimUnreachedFaults(rec->unit->Sim));
        }
        recorders.clear();
        DriverHarness::TearDown();
        EXPECT_EQ(0u, HostVerifierFailureCount());
    }

    /* Plugs in and opens a recorder with Buffers cache buffers and the given drive speed. */
    Recorder &AddRecorder(ULONG Buffers = 16, ULONG Speed = 0, ULONG DriveBufferBytes = 0) {
        auto rec = std::make_unique<Recorder>();
        SIM_RECORDER_CONFIG config = RecorderConfig();
        rec->discFile = dir + "/disc-" + std::to_string(recorders.size()) + ".img";
        config.DiscFile = rec->discFile.c_str();
        config.SpeedMultiple = Speed;
        if (DriveBufferBytes != 0) {
            config.BufferBytes = DriveBufferBytes;
        }
        rec->unit = PlugRecorder(config);
        rec->sim = rec->unit->Sim;
        rec->fdo = rec->unit->Fdo;
        EXPECT_NE(nullptr, rec->fdo);
        rec->ext = CdwWriterExtension(rec->fdo);
        rec->handle = OpenRecorder(static_cast<ULONG>(recorders.size()));
        EXPECT_EQ(rec->fdo, HostDeviceOfHandle(rec->handle));
        ULONG count = 0;
        EXPECT_EQ(STATUS_SUCCESS, AllocateCache(rec->handle, Buffers, &count));
        EXPECT_EQ(Buffers, count);
        recorders.push_back(std::move(rec));
        return *recorders.back();
    }

    std::string WriteImage(const std::string &Name, const std::vector<UCHAR> &Bytes,
                           mode_t Mode = 0644) {
        std::string path = dir + "/" + Name;
        FILE *file = fopen(path.c_str(), "wb");
        EXPECT_NE(nullptr, file);
        if (!Bytes.empty()) {
            EXPECT_EQ(Bytes.size(), fwrite(Bytes.data(), 1, Bytes.size(), file));
        }
        fclose(file);
        chmod(path.c_str(), Mode);
        return "\\??\\D:\\" + Name;
    }

    static NTSTATUS Send(Recorder &Rec, ULONG Code, const std::vector<UCHAR> &Block) {
        return SendRecordBlock(Rec.handle, Code, Block);
    }

    static RECORDING_STATUS Status(Recorder &Rec, bool Cancel = false) {
        return QueryRecordingStatus(Rec.handle, Cancel);
    }

    /* What the threads publish, read the way the driver reads it: under StatusLock. */
    struct DeviceState {
        struct {
            ULONG recordingStatus;
            ULONG blocksWritten;
            UCHAR bReadStarted;
        } status;
        bool readerBusy;
        bool writerRunning;
    };
    static DeviceState State(Recorder &Rec) {
        CdwSpinLockGuard guard(&Rec.ext->StatusLock);
        DeviceState state;
        state.status.recordingStatus = Rec.ext->Status.recordingStatus;
        state.status.blocksWritten = Rec.ext->Status.blocksWritten;
        state.status.bReadStarted = Rec.ext->Status.bReadStarted;
        state.readerBusy = Rec.ext->bReadThreadBusy != FALSE;
        state.writerRunning = Rec.ext->bWriteThreadProcRunning != FALSE;
        return state;
    }
    static ULONG RingTail(Recorder &Rec) {
        CdwSpinLockGuard guard(&Rec.ext->CirQueLock);
        return Rec.ext->CirQue.tail;
    }

    static bool Idle(Recorder &Rec) {
        const DeviceState state = State(Rec);
        return state.status.recordingStatus != RECSTAT_IN_PROCESS && !state.readerBusy &&
               !state.writerRunning;
    }

    /* Waits until both threads are back at rest; at most Seconds on the virtual clock. */
    static bool WaitIdle(Recorder &Rec, LONGLONG Seconds = 1200) {
        const bool idle = WaitRecordingIdle(Rec.ext, Seconds);
        EXPECT_TRUE(idle) << "recording did not end; status " << State(Rec).status.recordingStatus;
        return idle;
    }

    /* Records L with the plain request and waits for the end; returns the final status. */
    RECORDING_STATUS RecordPlain(Recorder &Rec, const Layout &L) {
        EXPECT_EQ(STATUS_SUCCESS, Send(Rec, IOCTL_RECORDER_RECORD_DISC, PlainBlock(L)));
        WaitIdle(Rec);
        return Status(Rec);
    }

    static std::vector<SIM_LOG_ENTRY> Log(Recorder &Rec, UCHAR Opcode) {
        return SimCommands(Rec.sim, Opcode);
    }

    static std::vector<UCHAR> DiscBlock(Recorder &Rec, ULONG Lba) {
        std::vector<UCHAR> block(SIM_MAX_BLOCK_SIZE);
        block.resize(HostSimReadBlock(Rec.sim, Lba, block.data(), SIM_MAX_BLOCK_SIZE));
        return block;
    }

    /* Blocks [StartLba, StartLba+Blocks) of the disc hold Image from byte ImageOffset on. */
    static void ExpectDiscHolds(Recorder &Rec, ULONG StartLba, ULONG Blocks, ULONG BlockSize,
                                const std::vector<UCHAR> &Image, size_t ImageOffset) {
        for (ULONG b = 0; b < Blocks; b++) {
            std::vector<UCHAR> block = DiscBlock(Rec, StartLba + b);
            ASSERT_EQ(BlockSize, block.size()) << "block " << StartLba + b;
            for (ULONG i = 0; i < BlockSize; i++) {
                const size_t at = ImageOffset + static_cast<size_t>(b) * BlockSize + i;
                const UCHAR expected = at < Image.size() ? Image[at] : 0;
                ASSERT_EQ(expected, block[i]) << "block " << StartLba + b << " byte " << i;
            }
        }
    }

    std::string dir;
    std::vector<std::unique_ptr<Recorder>> recorders;
};

} // namespace

/* ---- recordings that complete ------------------------------------------------------------- */

TEST_F(Recording, OneTrackIsoImageLandsByteForByte) {
    Recorder &rec = AddRecorder(16);
    const ULONG blocks = 2048 + 37; /* 4 MiB and a short last packet */
    std::vector<UCHAR> image = RandomBytes(static_cast<size_t>(blocks) * 2048, 1);
    Layout layout;
    layout.name = WriteImage("iso.img", image);
    layout.tracks.push_back(TrackEntry(1, 2048, 0, 0, blocks));
    layout.initialBlocksWritten = 100;
    layout.refillPercent = 10; /* a threshold of 1: refills only when the ring runs empty */

    RECORDING_STATUS status = RecordPlain(rec, layout);
    EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus) << HostDebugLog();
    EXPECT_EQ(100u + blocks - 37, status.blocksWritten) << "the last packet is not counted";
    EXPECT_EQ(0, status.bReadStarted);
    EXPECT_EQ(image, ReadHostFile(rec.discFile));

    /* Whole commands of 16 blocks, the last one short; no flush after a completed pass. */
    std::vector<SIM_LOG_ENTRY> writes = Log(rec, 0x2A);
    ASSERT_EQ((blocks + 15) / 16, writes.size());
    EXPECT_EQ(16u * 2048, writes[0].DataLength);
    EXPECT_EQ(5u * 2048, writes.back().DataLength);
    EXPECT_TRUE(Log(rec, 0x35).empty());
    EXPECT_EQ(0, HostOpenFileCount());
    EXPECT_FALSE(HostDebugLogContains("failed")) << HostDebugLog();
}

TEST_F(Recording, TracksOfDifferentFormatsChangeTheBlockSize) {
    Recorder &rec = AddRecorder(16);
    /* Track 1: 100 blocks of 2048; track 2 (another format): 70 of 2352; track 3 (same format
       as track 2): 3 blocks of 2352 read as 14 units; track 4 (the format of track 3 again,
       but its own block size): 70 blocks of 2336. */
    const ULONG track3Unit = (100 * 2048 + 70 * 2352) / 512;
    const ULONG track4Unit = track3Unit + 14;
    std::vector<UCHAR> image = RandomBytes(size_t(track4Unit) * 512 + 70 * 2336, 2);
    Layout layout;
    layout.name = WriteImage("mixed.img", image);
    layout.tracks.push_back(TrackEntry(1, 2048, 0, 0, 100));
    layout.tracks.push_back(TrackEntry(2, 2352, 100, 400, 70));
    layout.tracks.push_back(TrackEntry(2, 2352, 170, track3Unit, 3));
    layout.tracks.push_back(TrackEntry(2, 2336, 173, track4Unit, 70));

    RECORDING_STATUS status = RecordPlain(rec, layout);
    EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus) << HostDebugLog();
    ExpectDiscHolds(rec, 0, 100, 2048, image, 0);
    ExpectDiscHolds(rec, 100, 70, 2352, image, 400 * 512);
    ExpectDiscHolds(rec, 170, 3, 2352, image, static_cast<size_t>(track3Unit) * 512);
    ExpectDiscHolds(rec, 173, 70, 2336, image, static_cast<size_t>(track4Unit) * 512);

    /* Transfer lengths follow the block size of each track. */
    for (const SIM_LOG_ENTRY &write : Log(rec, 0x2A)) {
        const ULONG lba = (ULONG(write.Cdb[2]) << 24) | (ULONG(write.Cdb[3]) << 16) |
                          (ULONG(write.Cdb[4]) << 8) | write.Cdb[5];
        const ULONG count = (ULONG(write.Cdb[7]) << 8) | write.Cdb[8];
        EXPECT_EQ(count * (lba < 100 ? 2048u : lba < 173 ? 2352u : 2336u), write.DataLength) << lba;
    }
    /* Only the last packet of the last track ends the pass: blocks of every other packet
       count (64 + 36 + 64 + 6 + 3 + 64, then the last packet of 6 is not added). */
    EXPECT_EQ(237u, status.blocksWritten);
}

TEST_F(Recording, BlockSizesThatAreNotAMultipleOfEightAreReadFromTheirPlace) {
    /* 64 blocks of such a size end inside a 512-byte unit, so every packet after the first
       starts inside one; plain requests read unbuffered or buffered, Ex requests at a byte
       offset. */
    Recorder &rec = AddRecorder(16);
    for (ULONG blockSize : {2324u, 2332u, 2340u, 2447u}) {
        std::vector<UCHAR> image = RandomBytes(1536 + 200 * blockSize, blockSize);
        const std::string name = WriteImage("odd-" + std::to_string(blockSize) + ".img", image);
        for (int way = 0; way < 3; way++) {
            SCOPED_TRACE(testing::Message() << blockSize << " way " << way);
            Layout layout;
            layout.name = name;
            HostSimClearLog(rec.sim);
            if (way == 2) {
                layout.imageByteOffset = 1000;
                layout.tracks.push_back(TrackEntry(1, blockSize, 0, 1, 200)); /* byte 1512 */
                ASSERT_EQ(STATUS_SUCCESS,
                          Send(rec, IOCTL_RECORDER_RECORD_DISC_EX, ExBlock(layout)));
                ASSERT_TRUE(WaitIdle(rec));
            } else {
                layout.bufferedRead = static_cast<UCHAR>(way);
                layout.tracks.push_back(TrackEntry(1, blockSize, 0, 3, 200)); /* byte 1536 */
                RecordPlain(rec, layout);
            }
            ASSERT_EQ(RECSTAT_COMPLETE, Status(rec).recordingStatus) << HostDebugLog();
            ExpectDiscHolds(rec, 0, 200, blockSize, image, way == 2 ? 1512 : 1536);
        }
    }
}

class PregapRecording : public Recording, public ::testing::WithParamInterface<ULONG> {};

TEST_P(PregapRecording, PregapBlocksCarryTrackDescriptors) {
    const ULONG blockSize = GetParam();
    const ULONG header = blockSize == 2048 ? 0 : (blockSize == 2336 ? 8 : 24);
    Recorder &rec = AddRecorder(16);
    std::vector<UCHAR> image = RandomBytes(10 * blockSize, 3);
    Layout layout;
    layout.name = WriteImage("pregap.img", image);
    layout.pregapStartBlock = 0;
    layout.pregapBlockSize = blockSize;
    layout.nPregapBlocks = 150;
    layout.writeTdb = 1;
    layout.tdbTrackNumber = 1;
    layout.tracks.push_back(TrackEntry(1, blockSize, 150, 0, 10));

    HostResetLargestFillAtDispatch();
    RECORDING_STATUS status = RecordPlain(rec, layout);
    EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus) << HostDebugLog();
    /* The pre-gap's buffers are cleared at PASSIVE_LEVEL, not under the ring's spin lock:
       nothing as large as a page is cleared at DISPATCH_LEVEL (the ring's slots are). */
    EXPECT_LT(HostLargestFillAtDispatch(), (SIZE_T)PAGE_SIZE);
    UCHAR expected[13];
    memcpy(expected, DescriptorTrack1Pregap150, 13);
    if (blockSize == 2352) {
        expected[9] = 0x00;
    }
    for (ULONG lba = 0; lba < 150; lba++) {
        std::vector<UCHAR> block = DiscBlock(rec, lba);
        ASSERT_EQ(blockSize, block.size()) << lba;
        ExpectOnlyDescriptor(block, blockSize, 0, header, expected);
    }
    ExpectDiscHolds(rec, 150, 10, blockSize, image, 0);
    /* The pre-gap's packets (64, 64, 22) and the track's are all counted but the last. */
    EXPECT_EQ(150u, status.blocksWritten);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, PregapRecording, ::testing::Values(2048u, 2336u, 2352u));

TEST_F(Recording, PregapLengthRuleAndPacketSplit) {
    Recorder &rec = AddRecorder(16);
    std::vector<UCHAR> image = RandomBytes(2048, 4);
    const std::string name = WriteImage("one.img", image);
    struct Case {
        ULONG blocks;
        UCHAR hundreds, rest;
        std::vector<ULONG> packets;
    } cases[] = {{145, 0x01, 0x50, {64, 64, 17}}, {300, 0x00, 0x44, {64, 64, 64, 64, 44}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.blocks);
        HostSimClearLog(rec.sim);
        Layout layout;
        layout.name = name;
        layout.pregapStartBlock = 1000;
        layout.pregapBlockSize = 2048;
        layout.nPregapBlocks = c.blocks;
        layout.writeTdb = 1;
        layout.tdbTrackNumber = 7;
        layout.tracks.push_back(TrackEntry(1, 2048, 1000 + c.blocks, 0, 1));
        RECORDING_STATUS status = RecordPlain(rec, layout);
        EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus) << HostDebugLog();
        std::vector<UCHAR> last = DiscBlock(rec, 1000 + c.blocks - 1);
        ASSERT_EQ(2048u, last.size());
        EXPECT_EQ(c.hundreds, last[3]);
        EXPECT_EQ(c.rest, last[4]);
        EXPECT_EQ(0x07, last[6]);
        ExpectDiscHolds(rec, 1000 + c.blocks, 1, 2048, image, 0);

        /* Packets at the pre-gap start, +64, +128 ...: the commands split each packet. */
        ULONG lba = 1000;
        std::vector<SIM_LOG_ENTRY> writes = Log(rec, 0x2A);
        size_t w = 0;
        for (ULONG packet : c.packets) {
            for (ULONG left = packet; left > 0;) {
                const ULONG count = left < 16 ? left : 16;
                ASSERT_LT(w, writes.size());
                EXPECT_EQ(lba, (ULONG(writes[w].Cdb[4]) << 8) | writes[w].Cdb[5]);
                EXPECT_EQ(count, writes[w].Cdb[8]);
                lba += count;
                left -= count;
                w++;
            }
        }
    }
}

TEST_F(Recording, ImageEndingInsideItsFinalBlockIsPaddedAndEarlierFails) {
    Recorder &rec = AddRecorder(16);
    struct Case {
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
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.imageBytes << " bytes as " << c.blocks << " blocks");
        std::vector<UCHAR> image = RandomBytes(c.imageBytes, 5);
        Layout layout;
        layout.name = WriteImage("short.img", image);
        layout.tracks.push_back(TrackEntry(1, 2048, 0, 0, c.blocks));
        layout.bufferedRead = c.bufferedRead;
        ClearLog();
        RECORDING_STATUS status = RecordPlain(rec, layout);
        EXPECT_EQ(c.expected, status.recordingStatus) << HostDebugLog();
        if (c.expected == RECSTAT_COMPLETE) {
            ExpectDiscHolds(rec, 0, c.blocks, 2048, image, 0); /* bytes past the image are 0 */
        } else {
            EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: ReadTrack(\\??\\D:\\short.img) - image "
                                             "ends inside the track, Offset = 0x"))
                << HostDebugLog();
        }
    }
}

/* ---- recordings that end early ------------------------------------------------------------ */

namespace {

/* A 4 MiB image of 2048-byte blocks on drive D:. */
struct BigImage {
    std::vector<UCHAR> bytes;
    Layout layout;
};

} // namespace

class RecordingEndings : public Recording {
protected:
    BigImage MakeBigImage(const char *Name, unsigned Seed, ULONG Blocks = 2048) {
        BigImage image;
        image.bytes = RandomBytes(static_cast<size_t>(Blocks) * 2048, Seed);
        image.layout.name = WriteImage(Name, image.bytes);
        image.layout.tracks.push_back(TrackEntry(1, 2048, 0, 0, Blocks));
        image.layout.refillPercent = 50;
        return image;
    }

    /* Waits until Condition holds, at most Seconds on the virtual clock. */
    template <typename Condition> bool WaitFor(Condition &&Done, LONGLONG Seconds = 1200) {
        const LONGLONG end = HostClockNow() + Seconds * OneSecond;
        while (!Done()) {
            if (HostClockNow() > end) {
                return false;
            }
            Sleep(10);
        }
        return true;
    }

    /* Registers drive D: as a cache drive and returns its record. */
    PCACHE_DRIVE CacheDriveD() {
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('D', 0x0001));
        PCACHE_DRIVE drive = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveLocate('d', &drive));
        EXPECT_NE(nullptr, drive);
        return drive;
    }
};

TEST_F(RecordingEndings, CancelWhileWritingAbortsFlushesAndStopsTheReader) {
    Recorder &rec = AddRecorder(16, 1, 256 * 1024);
    BigImage image = MakeBigImage("cancel.img", 10);
    ASSERT_EQ(STATUS_SUCCESS, Send(rec, IOCTL_RECORDER_RECORD_DISC, PlainBlock(image.layout)));
    ASSERT_TRUE(WaitFor([&] { return State(rec).status.blocksWritten >= 256; }));

    RECORDING_STATUS asked = Status(rec, true);
    EXPECT_EQ(0, asked.bCancel) << "the cancelling request shows the flag from before";
    const ULONG commandsAtCancel = HostSimLogCount(rec.sim);
    EXPECT_EQ(1, Status(rec).bCancel);
    ASSERT_TRUE(WaitIdle(rec));

    RECORDING_STATUS status = Status(rec);
    EXPECT_EQ(RECSTAT_ABORTED, status.recordingStatus);
    EXPECT_LT(status.blocksWritten, 2048u);
    bool flushed = false;
    for (const SIM_LOG_ENTRY &entry : Log(rec, 0x35)) {
        flushed = flushed || entry.Number > commandsAtCancel;
    }
    EXPECT_TRUE(flushed) << "the drive's cache is flushed after a cancel";
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: ReadTrack - recordingStatus != "
                                     "RECSTAT_IN_PROCESS or abort flag set, aborting\n"))
        << HostDebugLog();
    EXPECT_TRUE(HostDebugLogContains(
        "Burnkit[0]: ReadThread - ReadTrack failed, setting bAbort for WriteThread\n"));
    EXPECT_TRUE(rec.ext->WriteParams.bAbort);
    EXPECT_EQ(0, HostOpenFileCount());
    ExpectDiscHolds(rec, 0, status.blocksWritten, 2048, image.bytes, 0);

    /* The device records again afterwards. */
    ClearLog();
    BigImage again = MakeBigImage("again.img", 11, 100);
    EXPECT_EQ(RECSTAT_COMPLETE, RecordPlain(rec, again.layout).recordingStatus) << HostDebugLog();
}

TEST_F(RecordingEndings, CancelBeforeTheWritePassStartsEndsAborted) {
    Recorder &rec = AddRecorder(16);
    PCACHE_DRIVE drive = CacheDriveD();
    BigImage image = MakeBigImage("early.img", 12, 200);
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive)); /* the application downloads */
    ASSERT_EQ(STATUS_SUCCESS, Send(rec, IOCTL_RECORDER_RECORD_DISC, PlainBlock(image.layout)));
    EXPECT_EQ(drive, rec.ext->RecordCacheDrive);
    Sleep(60 * 1000);
    EXPECT_EQ(RECSTAT_IN_PROCESS, State(rec).status.recordingStatus);
    EXPECT_EQ(0, State(rec).status.bReadStarted) << "the reader waits for the cache drive";
    (void)Status(rec, true);
    TesselCacheDriveRelease(drive);
    ASSERT_TRUE(WaitIdle(rec));
    EXPECT_EQ(RECSTAT_ABORTED, Status(rec).recordingStatus);
    EXPECT_TRUE(Log(rec, 0x2A).empty());
    EXPECT_FALSE(drive->bLocked);
}

TEST_F(RecordingEndings, ImageThatCannotBeOpenedEndsOpenFailed) {
    Recorder &rec = AddRecorder(16);
    Layout layout;
    layout.name = "\\??\\D:\\missing.img";
    layout.tracks.push_back(TrackEntry(1, 2048, 0, 0, 10));
    RECORDING_STATUS status = RecordPlain(rec, layout);
    EXPECT_EQ(RECSTAT_OPEN_FAILED, status.recordingStatus);
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: ReadThread - ZwCreateFile failed, Status = 0x"))
        << HostDebugLog();
    EXPECT_EQ(0u, HostSimLogCount(rec.sim));
    EXPECT_EQ(0, State(rec).status.bReadStarted);

    /* The reader is back at rest and takes the next recording. */
    BigImage image = MakeBigImage("present.img", 15, 64);
    EXPECT_EQ(RECSTAT_COMPLETE, RecordPlain(rec, image.layout).recordingStatus);
}

TEST_F(RecordingEndings, ReadFailureEndsReadFailedWithOrWithoutAWritePass) {
    Recorder &rec = AddRecorder(16);
    BigImage image = MakeBigImage("bad.img", 16);

    /* The 21st read fails: the write pass runs and ends on the reader's abort. */
    HOST_FAULT fault = {20, 1, 0, static_cast<NTSTATUS>(0xC000009C)};
    HostSetFault(HostFaultFileRead, &fault);
    RECORDING_STATUS status = RecordPlain(rec, image.layout);
    EXPECT_EQ(RECSTAT_READ_FAILED, status.recordingStatus) << HostDebugLog();
    EXPECT_EQ(1u, HostFaultHits(HostFaultFileRead));
    EXPECT_TRUE(HostDebugLogContains(
        "Burnkit[0]: ReadTrack(\\??\\D:\\bad.img) - ZwReadFile failed, Status = 0xC000009C, "
        "Offset = 0x00280000, Length = 0x00020000\n"))
        << HostDebugLog();
    EXPECT_TRUE(HostDebugLogContains(
        "Burnkit[0]: more info: packet.numBlocks = 0x00000040, curHdReadBlock = 0x00001400, "
        "hdBlocksToRead = 0x00000100, numCdBlocks = 0x00000800, blocksWritten = 0x00000500\n"));
    EXPECT_TRUE(HostDebugLogContains(
        "Burnkit[0]: WriteThreadProc - WriteParams.bAbort set, terminating\n"));

    /* The 2nd read fails: the write pass never starts. */
    HostClearAllFaults();
    HostSimClearLog(rec.sim);
    HOST_FAULT early = {1, 1, 0, static_cast<NTSTATUS>(0xC000009C)};
    HostSetFault(HostFaultFileRead, &early);
    status = RecordPlain(rec, image.layout);
    EXPECT_EQ(RECSTAT_READ_FAILED, status.recordingStatus);
    EXPECT_EQ(0u, HostSimLogCount(rec.sim));
    EXPECT_EQ(0, HostOpenFileCount());
}

TEST_F(RecordingEndings, StalledWriterRunsTheReaderIntoRefillTimeout) {
    Recorder &rec = AddRecorder(16);
    /* 140 packets of 64 blocks of 512 bytes; the writer idles after its 100th packet. */
    std::vector<UCHAR> bytes = RandomBytes(140 * 64 * 512, 18);
    Layout layout;
    layout.name = WriteImage("hang.img", bytes);
    layout.tracks.push_back(TrackEntry(1, 512, 0, 0, 140 * 64));
    layout.modeWord = RECORD_FLAG_TEST_HANG;
    const LONGLONG start = HostClockNow();
    ASSERT_EQ(STATUS_SUCCESS, Send(rec, IOCTL_RECORDER_RECORD_DISC, PlainBlock(layout)));
    ASSERT_TRUE(WaitFor([&] { return State(rec).status.recordingStatus != RECSTAT_IN_PROCESS; }));
    EXPECT_EQ(RECSTAT_REFILL_TIMEOUT, State(rec).status.recordingStatus) << HostDebugLog();
    EXPECT_GE(HostClockNow() - start, 300 * OneSecond);
    EXPECT_TRUE(
        HostDebugLogContains("Burnkit[0]: ReadTrack - timeout waiting for CirQueRefillEvent\n"));
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: WriteThreadProc - test hang in WriteThread\n"));

    /* The reader has given up; a cancel releases the idling writer, which reports it. */
    (void)Status(rec, true);
    ASSERT_TRUE(WaitIdle(rec));
    EXPECT_TRUE(rec.ext->WriteParams.bAbort);
    EXPECT_EQ(RECSTAT_ABORTED, Status(rec).recordingStatus);
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: ReadThread - ReadTrack failed, setting bAbort "
                                     "for WriteThread\n"));
}

TEST_F(RecordingEndings, ImpersonatedReadsFollowTheCallersRights) {
    if (!HostCanImpersonate()) {
        GTEST_SKIP() << "changing the file-system identity needs root";
    }
    Recorder &rec = AddRecorder(16);
    std::vector<UCHAR> file = RandomBytes(4096 + 300 * 2048, 19);
    Layout secret;
    secret.name = WriteImage("secret.img", file, 0600);
    secret.tracks.push_back(TrackEntry(1, 2048, 0, 0, 300));
    Layout open = secret;
    open.name = WriteImage("open.img", file, 0644);
    open.imageByteOffset = 4096;
    const LONG tokens = HostLiveTokenCount();

    HostSetThreadIdentity(65534, 65534, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, Send(rec, IOCTL_RECORDER_RECORD_DISC_EX, ExBlock(secret)));
    ASSERT_TRUE(WaitIdle(rec));
    EXPECT_EQ(RECSTAT_OPEN_FAILED, Status(rec).recordingStatus);
    EXPECT_EQ(tokens, HostLiveTokenCount()) << "the client context is released";

    EXPECT_EQ(STATUS_SUCCESS, Send(rec, IOCTL_RECORDER_RECORD_DISC_EX, ExBlock(open)));
    ASSERT_TRUE(WaitIdle(rec));
    HostResetThreadIdentity();
    EXPECT_EQ(RECSTAT_COMPLETE, Status(rec).recordingStatus) << HostDebugLog();
    ExpectDiscHolds(rec, 0, 300, 2048, file, 4096);
    EXPECT_EQ(tokens, HostLiveTokenCount());
}

TEST_F(RecordingEndings, RecordersSharingACacheDriveTakeTurns) {
    Recorder &first = AddRecorder(16, 4, 256 * 1024);
    Recorder &second = AddRecorder(16, 4, 256 * 1024);
    PCACHE_DRIVE drive = CacheDriveD();
    BigImage one = MakeBigImage("one.img", 20);
    BigImage two = MakeBigImage("two.img", 21);

    /* While the application downloads, neither recorder reads. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive));
    ASSERT_EQ(STATUS_SUCCESS, Send(first, IOCTL_RECORDER_RECORD_DISC, PlainBlock(one.layout)));
    ASSERT_EQ(STATUS_SUCCESS, Send(second, IOCTL_RECORDER_RECORD_DISC, PlainBlock(two.layout)));
    Sleep(60 * 1000);
    for (Recorder *rec : {&first, &second}) {
        EXPECT_EQ(RECSTAT_IN_PROCESS, State(*rec).status.recordingStatus);
        EXPECT_EQ(0, State(*rec).status.bReadStarted);
        EXPECT_EQ(0u, HostSimLogCount(rec->sim));
    }
    TesselCacheDriveRelease(drive);

    /* Both then record at the same time, their fill bursts taking turns on the drive. */
    auto bothRecording = [&] {
        return State(first).status.blocksWritten > 0 && State(second).status.blocksWritten > 0 &&
               State(first).status.recordingStatus == RECSTAT_IN_PROCESS &&
               State(second).status.recordingStatus == RECSTAT_IN_PROCESS;
    };
    ASSERT_TRUE(WaitFor(bothRecording));

    /* A download in the middle of the recordings: no reader fills its ring meanwhile. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive));
    const ULONG tails[2] = {RingTail(first), RingTail(second)};
    Sleep(3000);
    EXPECT_EQ(tails[0], RingTail(first));
    EXPECT_EQ(tails[1], RingTail(second));
    EXPECT_TRUE(bothRecording());
    TesselCacheDriveRelease(drive);

    bool together = false;
    ASSERT_TRUE(WaitFor([&] {
        together = together || bothRecording();
        return Idle(first) && Idle(second);
    }));
    EXPECT_TRUE(together);
    EXPECT_EQ(RECSTAT_COMPLETE, Status(first).recordingStatus) << HostDebugLog();
    EXPECT_EQ(RECSTAT_COMPLETE, Status(second).recordingStatus);
    SynchronizeRecorder(first.sim); /* the applications' flush after COMPLETE */
    SynchronizeRecorder(second.sim);
    EXPECT_EQ(one.bytes, ReadHostFile(first.discFile));
    EXPECT_EQ(two.bytes, ReadHostFile(second.discFile));
    EXPECT_FALSE(drive->bLocked);
}

TEST_F(RecordingEndings, PregapLongerThanTheRingEndsQueueError) {
    Recorder &rec = AddRecorder(16);
    BigImage image = MakeBigImage("long-pregap.img", 23, 10);
    image.layout.nPregapBlocks = 16 * 64 + 1; /* one block more than 16 packets hold */
    image.layout.pregapBlockSize = 2048;
    image.layout.tracks[0].startBlock = 16 * 64 + 1;
    RECORDING_STATUS status = RecordPlain(rec, image.layout);
    EXPECT_EQ(RECSTAT_QUEUE_ERROR, status.recordingStatus);
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: ReadThread - CirQueInsertPacket failed, Head = "
                                     "0, Tail = 0, #Elements = 16, !Empty = 1\n"))
        << HostDebugLog();
    EXPECT_EQ(0u, HostSimLogCount(rec.sim)) << "the write pass never starts";
    EXPECT_EQ(0, HostOpenFileCount());

    /* Exactly 16 packets fit. */
    image.layout.nPregapBlocks = 16 * 64;
    image.layout.tracks[0].startBlock = 16 * 64;
    EXPECT_EQ(RECSTAT_COMPLETE, RecordPlain(rec, image.layout).recordingStatus) << HostDebugLog();
    ExpectDiscHolds(rec, 16 * 64, 10, 2048, image.bytes, 0);
}

TEST_F(RecordingEndings, NoNewRecordingWhileTheLastWritePassStillRuns) {
    Recorder &rec = AddRecorder(16);
    /* The reader gives up (refill time-out) while the write pass idles after its 100th
       packet: the recording's final status is set, but the pass still runs. */
    std::vector<UCHAR> bytes = RandomBytes(140 * 64 * 512, 24);
    Layout stalled;
    stalled.name = WriteImage("stalled.img", bytes);
    stalled.tracks.push_back(TrackEntry(1, 512, 0, 0, 140 * 64));
    stalled.modeWord = RECORD_FLAG_TEST_HANG;
    ASSERT_EQ(STATUS_SUCCESS, Send(rec, IOCTL_RECORDER_RECORD_DISC, PlainBlock(stalled)));
    ASSERT_TRUE(WaitFor([&] { return State(rec).status.recordingStatus != RECSTAT_IN_PROCESS; }));
    ASSERT_EQ(RECSTAT_REFILL_TIMEOUT, State(rec).status.recordingStatus) << HostDebugLog();
    ASSERT_TRUE(State(rec).writerRunning);

    /* Another recording is refused until that pass has ended, by every request. */
    BigImage next = MakeBigImage("next.img", 25, 100);
    next.layout.tracks[0].startBlock = 10000;
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(rec, IOCTL_RECORDER_RECORD_DISC, PlainBlock(next.layout)));
    EXPECT_EQ(STATUS_DEVICE_BUSY, Send(rec, IOCTL_RECORDER_RECORD_DISC_EX, ExBlock(next.layout)));
    EXPECT_EQ(RECSTAT_REFILL_TIMEOUT, State(rec).status.recordingStatus);
    EXPECT_FALSE(HostDebugLogContains("next.img")) << "nothing of the refused request was taken";

    (void)Status(rec, true);
    ASSERT_TRUE(WaitIdle(rec));
    EXPECT_EQ(RECSTAT_ABORTED, Status(rec).recordingStatus);
    const ULONG stalledWrites = static_cast<ULONG>(Log(rec, 0x2A).size());

    /* Then the next recording writes exactly its own blocks. */
    EXPECT_EQ(RECSTAT_COMPLETE, RecordPlain(rec, next.layout).recordingStatus) << HostDebugLog();
    ExpectDiscHolds(rec, 10000, 100, 2048, next.bytes, 0);
    std::vector<SIM_LOG_ENTRY> writes = Log(rec, 0x2A);
    ASSERT_EQ(stalledWrites + 7, writes.size()) << "100 blocks in commands of 16";
    for (size_t i = stalledWrites; i < writes.size(); i++) {
        EXPECT_EQ(10000u + 16 * (i - stalledWrites), CdbLba(writes[i]));
    }
}
