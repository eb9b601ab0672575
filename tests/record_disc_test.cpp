/*
 * record_disc_test.cpp - the three record-disc requests as the application sends them: every
 * refusal (short or out-of-bounds blocks, blocks that describe something else, too few cache
 * buffers, a busy device, a dead recording thread) and the order of those answers, concurrent
 * requests, what each request copies into the device, the refill threshold, the cache-drive
 * lookup, the client capture and its release, and cache requests racing a recording.
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
#include <tuple>
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

template <typename BLOCK> BLOCK NamedBlock(const char *Name, ULONG NumTracks) {
    BLOCK block;
    memset(&block, 0, sizeof(block));
    memcpy(block.imageName, Name, std::min(strlen(Name), sizeof(block.imageName)));
    block.numTracks = NumTracks;
    return block;
}

/* Blocks filled the way an application fills them: every entry of the track table is used
   for something recognisable, numTracks says how many count. */
RECORD_DISC_REQUEST PlainBlock(const char *Name, ULONG NumTracks = 1) {
    RECORD_DISC_REQUEST block = NamedBlock<RECORD_DISC_REQUEST>(Name, NumTracks);
    for (ULONG i = 0; i < MAX_TRACKS; i++) {
        block.tracks[i] = TrackEntry(i + 1, 2048, 1000 * i, 4 * 1000 * i, 10 + i);
    }
    return block;
}

RECORD_DISC_EX_REQUEST ExBlock(const char *Name) {
    RECORD_DISC_EX_REQUEST block = NamedBlock<RECORD_DISC_EX_REQUEST>(Name, 1);
    block.tracks[0] = TrackEntry(7, 2352, 0x1234, 0x40, 0x99);
    return block;
}

RECORD_DISC_EX2_REQUEST Ex2Block(const char *Name, ULONG NumTracks = 1) {
    RECORD_DISC_EX2_REQUEST block = NamedBlock<RECORD_DISC_EX2_REQUEST>(Name, NumTracks);
    for (ULONG i = 0; i < MAX_TRACKS; i++) {
        block.tracks[i] = TrackEntry(50 + i, 2336, 500 + i, 600 + i, 700 + i);
    }
    return block;
}

template <typename BLOCK> std::vector<UCHAR> Bytes(const BLOCK &Block) {
    const UCHAR *bytes = reinterpret_cast<const UCHAR *>(&Block);
    return std::vector<UCHAR>(bytes, bytes + sizeof(Block));
}

const char *const Missing = "\\??\\D:\\missing.img";
const ULONG Plain = IOCTL_RECORDER_RECORD_DISC, Ex = IOCTL_RECORDER_RECORD_DISC_EX,
            Ex2 = IOCTL_RECORDER_RECORD_DISC_EX2;
const ULONG Codes[] = {Plain, Ex, Ex2};

std::string RequestName(ULONG Code) {
    return Code == Plain ? "CdRecorderRecordDisc"
           : Code == Ex  ? "CdRecorderRecordDiscEx"
                         : "CdRecorderRecordDiscEx2";
}

/* A change to a valid one-track block (-1: left as it is): numTracks, the entry whose block
   size or length changes, the pre-gap, a name field filled without terminator, bytes cut off
   the end of the block. */
struct Shape {
    explicit Shape(ULONG NumTracks = 1, ULONG Track = 0, LONG BlockSize = -1, LONG NBlocks = -1,
                   ULONG NPregapBlocks = 0, ULONG PregapBlockSize = 0, char FillName = 0,
                   size_t Cut = 0)
        : numTracks(NumTracks), track(Track), blockSize(BlockSize), nBlocks(NBlocks),
          nPregapBlocks(NPregapBlocks), pregapBlockSize(PregapBlockSize), fillName(FillName),
          cut(Cut) {}
    ULONG numTracks, track;
    LONG blockSize, nBlocks;
    ULONG nPregapBlocks, pregapBlockSize;
    char fillName;
    size_t cut;
};

template <typename BLOCK> std::vector<UCHAR> Shaped(BLOCK Block, const Shape &S) {
    Block.numTracks = S.numTracks;
    if (S.blockSize >= 0) {
        Block.tracks[S.track].blockSize = static_cast<ULONG>(S.blockSize);
    }
    if (S.nBlocks >= 0) {
        Block.tracks[S.track].nBlocks = static_cast<ULONG>(S.nBlocks);
    }
    Block.nPregapBlocks = S.nPregapBlocks;
    Block.pregapBlockSize = S.pregapBlockSize;
    if (S.fillName != 0) {
        memset(Block.imageName, S.fillName, sizeof(Block.imageName));
    }
    std::vector<UCHAR> bytes = Bytes(Block);
    bytes.resize(bytes.size() - S.cut);
    return bytes;
}

std::vector<UCHAR> Block(ULONG Code, const Shape &S = Shape()) {
    return Code == Plain ? Shaped(PlainBlock(Missing), S)
           : Code == Ex  ? Shaped(ExBlock(Missing), S)
                         : Shaped(Ex2Block(Missing), S);
}

/* The device's state when a refused request arrives. */
enum Device { Ready, Recording, ReaderClosing, PassPending, WriterRunning, TooFewBuffers, Dead };

/* A request that must be refused, and the one message it prints after "Burnkit[0]: <request>"
   ("" for none). */
struct Refusal {
    ULONG code;
    Shape shape;
    Device device;
    NTSTATUS status;
    std::string message;
};

const char *const Invalid = " - invalid parameter block";

/* Driver loaded, one recorder plugged in and opened, 16 cache buffers, the virtual clock. */
class RecordDisc : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        Unit *unit = PlugRecorder();
        ASSERT_NE(nullptr, unit->Fdo);
        ext = CdwWriterExtension(unit->Fdo);
        handle = OpenRecorder();
        ASSERT_NE(nullptr, handle);
        Allocate(16);
        ClearLog();
    }

    /* Lets the last recording end before the harness removes the unit and unloads. */
    void TearDown() override {
        if (ext != nullptr) {
            EXPECT_TRUE(WaitRecordingIdle(ext, 600)) << "recording did not end";
        }
        DriverHarness::TearDown();
        EXPECT_EQ(0u, HostVerifierFailureCount());
    }

    void Allocate(ULONG Count) { ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, Count)); }

    NTSTATUS Send(ULONG Code, const std::vector<UCHAR> &Block) {
        return SendRecordBlock(handle, Code, Block);
    }

    /* Sends a block that must be accepted and waits until the recording has ended. */
    void Accept(ULONG Code, const std::vector<UCHAR> &Block) {
        ASSERT_EQ(STATUS_SUCCESS, Send(Code, Block)) << HostDebugLog();
        EXPECT_TRUE(WaitRecordingIdle(ext, 600)) << "recording did not end";
    }

    PCACHE_DRIVE CacheDrive(CHAR Letter, USHORT Address) {
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate(Letter, Address));
        PCACHE_DRIVE drive = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveLocate(Letter, &drive));
        return drive;
    }

    /* Sends each refused request in its device state: it gets its status and message and
       leaves the device, the cache-drive link, the threshold and the client contexts alone. */
    void ExpectRefused(const std::vector<Refusal> &Rows) {
        PCACHE_DRIVE drive = CacheDrive('q', 9);
        ext->RecordCacheDrive = drive;
        const ULONG threshold = ext->refillThreshold;
        const LONG tokens = HostLiveTokenCount();
        for (const Refusal &row : Rows) {
            SCOPED_TRACE(testing::Message() << RequestName(row.code) << " in state " << row.device
                                            << " refused with " << row.message);
            const ULONG statusBefore = row.device == Recording ? RECSTAT_IN_PROCESS : RECSTAT_IDLE;
            ext->Status.recordingStatus = statusBefore;
            ext->bReadThreadBusy = row.device == ReaderClosing;
            ext->bWritePassPending = row.device == PassPending;
            ext->bWriteThreadProcRunning = row.device == WriterRunning;
            ext->numCacheBuffers = row.device == TooFewBuffers ? 15 : 16;
            ext->bThreadFailed = row.device == Dead;
            ClearLog();
            EXPECT_EQ(row.status, Send(row.code, Block(row.code, row.shape)));
            std::vector<std::string> expected;
            if (!row.message.empty()) {
                expected.push_back("Burnkit[0]: " + RequestName(row.code) + row.message + "\n");
            }
            EXPECT_EQ(expected, HostDebugMessages());
            EXPECT_EQ(statusBefore, ext->Status.recordingStatus);
            EXPECT_EQ(row.device == ReaderClosing, ext->bReadThreadBusy != FALSE);
            EXPECT_EQ(drive, ext->RecordCacheDrive);
            EXPECT_EQ(threshold, ext->refillThreshold);
            EXPECT_EQ(0u, ext->ReadParams.numTracks);
            EXPECT_EQ(tokens, HostLiveTokenCount());
        }
        ext->Status.recordingStatus = RECSTAT_IDLE;
        ext->bReadThreadBusy = ext->bWritePassPending = ext->bWriteThreadProcRunning = FALSE;
        ext->bThreadFailed = FALSE;
        ext->numCacheBuffers = 16;
    }

    HANDLE handle = nullptr;
    PWriterExtension ext = nullptr;
};

} // namespace

TEST_F(RecordDisc, BlocksThatAreShortOrWouldOverrunOrDescribeSomethingElseAreRefused) {
    const NTSTATUS bad = STATUS_INVALID_PARAMETER;
    std::vector<Refusal> rows = {
        {Plain, Shape(0), Ready, bad, Invalid},
        {Plain, Shape(101), Ready, bad, Invalid},
        {Plain, Shape(3, 2, 2449), Ready, bad, Invalid},
        {Plain, Shape(3, 2, 0), Ready, bad, Invalid},
        {Plain, Shape(1, 0, -1, -1, 5, 2449), Ready, bad, Invalid}, /* pre-gap blocks */
        {Plain, Shape(1, 0, -1, -1, 5, 0), Ready, bad, Invalid},
        {Plain, Shape(1, 0, -1, -1, 0, 0, 'a'), Ready, bad, Invalid},
        {Ex, Shape(2), Ready, bad, Invalid},
        {Ex, Shape(0), Ready, bad, Invalid},
        {Ex, Shape(1, 0, -1, -1, 0, 0, 'b'), Ready, bad, Invalid},
        {Ex2, Shape(2, 1, 5000), Ready, bad, Invalid},
        {Ex2, Shape(1, 0, -1, -1, 0, 0, 'c'), Ready, bad, Invalid},
        {Plain, Shape(1, 0, -1, -1, 150, 2352), Ready, bad,
         " - pre-gap block size 2352 differs from the first track's block size 2048"},
        {Ex2, Shape(1, 0, -1, -1, 1, 2048), Ready, bad,
         " - pre-gap block size 2048 differs from the first track's block size 2336"},
        {Plain, Shape(2, 1, -1, 0), Ready, bad, " - track 2 of 2 has no blocks"},
        {Plain, Shape(3, 1, -1, 0), Ready, bad, " - track 2 of 3 has no blocks"},
        {Ex, Shape(1, 0, -1, 0), Ready, bad, " - track 1 of 1 has no blocks"},
    };
    for (ULONG code : Codes) {
        const size_t minimum = Block(code).size();
        rows.push_back({code, Shape(1, 0, -1, -1, 0, 0, 0, 1), Ready, bad,
                        " - InputBufferLength too short, is " + std::to_string(minimum - 1) +
                            ", should be " + std::to_string(minimum) + " bytes"});
    }
    ExpectRefused(rows);

    /* Accepted: longer blocks; what is not used is not checked (entries past numTracks, the
       pre-gap size without a pre-gap); a name that fills its field up to the terminator; a
       pre-gap in the first track's block size. */
    for (ULONG code : Codes) {
        std::vector<UCHAR> longer = Block(code);
        longer.resize(longer.size() + 13, 0x5A);
        Accept(code, longer);
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
    }
    RECORD_DISC_REQUEST plain = PlainBlock(Missing, 2);
    plain.tracks[2].blockSize = 0;
    plain.pregapBlockSize = 9999;
    Accept(Plain, Bytes(plain));
    RECORD_DISC_EX_REQUEST ex = ExBlock(Missing);
    memset(ex.imageName, 'x', sizeof(ex.imageName));
    memcpy(ex.imageName, "\\??\\D:\\", 7);
    ex.imageName[259] = '\0';
    Accept(Ex, Bytes(ex));
    EXPECT_EQ(259u * 2, ext->ReadParams.imageFileName.Length);
    Accept(Plain, Block(Plain, Shape(1, 0, -1, -1, 150, 2048)));
    EXPECT_EQ(150u, ext->ReadParams.nPregapBlocks);
}

TEST_F(RecordDisc, BuffersAndBusyAnswerBeforeTheBlockIsJudged) {
    const std::string noBuffers = " - Not enough cache buffers allocated - 15 allocated";
    const NTSTATUS busy = STATUS_DEVICE_BUSY, none = STATUS_MEMORY_NOT_ALLOCATED;
    std::vector<Refusal> rows = {
        {Plain, Shape(0), Recording, busy, ""}, /* busy wins over an out-of-bounds block */
        {Plain, Shape(1, 0, -1, -1, 150, 2352), Recording, busy, ""}, /* a pre-gap mismatch */
        {Ex, Shape(1, 0, -1, 0), Recording, busy, ""},                /* an empty track */
        {Plain, Shape(0), TooFewBuffers, none, noBuffers}, /* missing buffers win as well */
        {Ex2, Shape(1, 0, -1, -1, 1, 2048), TooFewBuffers, none, noBuffers},
    };
    for (ULONG code : Codes) {
        for (Device device : {Recording, ReaderClosing, PassPending, WriterRunning}) {
            rows.push_back({code, Shape(), device, busy, ""});
        }
        rows.push_back({code, Shape(), TooFewBuffers, none, noBuffers});
        rows.push_back({code, Shape(), Dead, STATUS_DEVICE_NOT_READY,
                        " - recording thread has ended, device cannot record"});
    }
    ExpectRefused(rows);
    for (ULONG code : Codes) {
        Accept(code, Block(code));
    }
}

TEST_F(RecordDisc, ConcurrentRequestsStartExactlyOneRecording) {
    PCACHE_DRIVE drive = CacheDrive('D', 1);
    const std::vector<UCHAR> block = Bytes(PlainBlock(Missing));
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE(round);
        ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive)); /* the reader waits at open */
        std::atomic<int> ready{0}, accepted{0}, busy{0};
        std::vector<std::thread> senders;
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
        EXPECT_EQ(RECSTAT_IN_PROCESS, ext->Status.recordingStatus);
        TesselCacheDriveRelease(drive);
        EXPECT_TRUE(WaitRecordingIdle(ext, 600));
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
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
    /* The Ex block: one entry, its own name and offset, reads always through the cache. */
    RECORD_DISC_EX_REQUEST ex = ExBlock("\\??\\D:\\ex-none.img");
    ex.imageByteOffset = 0x800;
    ex.initialBlocksWritten = 7;
    ex.modeWord = 0x2;
    /* The Ex2 block: the name at its end, the 32-byte field ignored. */
    RECORD_DISC_EX2_REQUEST ex2 =
        Ex2Block("\\??\\D:\\a-much-longer-name-than-31-characters.img", 2);
    memcpy(ex2.Unused0 + 4, "\\??\\Q:\\ignored.img", 19);
    ex2.bChecksumOnly = 1;
    TRACK_ENTRY afterEx[MAX_TRACKS]; /* entries 1 to 99 keep what the plain request left */
    memcpy(afterEx, plain.tracks, sizeof(afterEx));
    afterEx[0] = ex.tracks[0];

    /* What the reader gets (impersonation, buffered read, byte offset, pre-gap start, size and
       length, tracks, descriptor flag and number), what the writer gets (mode, flags,
       checksum-only, abort, block size) and the status record (blocks, buffers, packets,
       cancel) with the refill threshold (refillPercent 0 keeps it). */
    using Reader = std::tuple<int, int, ULONG, ULONG, ULONG, ULONG, ULONG, int, int>;
    using Writer = std::tuple<ULONG, ULONG, int, int, ULONG, ULONG, ULONG, ULONG, int, ULONG>;
    const struct {
        ULONG code;
        std::vector<UCHAR> block;
        const char *name;
        const TRACK_ENTRY *tracks;
        Reader reader;
        Writer writer;
        const char *message;
    } rows[] = {
        {Plain, Bytes(plain), "\\??\\D:\\none.img", plain.tracks,
         Reader(0, 1, 0, 0x11, 2048, 0x13, 3, 1, 42),
         Writer(5, 0x01020300, 1, 0, 2048, 0x1234, 16, 0, 0, 4), nullptr},
        {Ex, Bytes(ex), "\\??\\D:\\ex-none.img", afterEx, Reader(1, 1, 0x800, 0, 0, 0, 1, 0, 0),
         Writer(2, 0, 0, 0, 2352, 7, 16, 0, 0, 4),
         "Burnkit[0]: CdRecorderRecordDiscEx (\\??\\D:\\ex-none.img) - 1st track start block = "
         "0x00001234, nBlocks = 0x00000099\n"},
        {Ex2, Bytes(ex2), "\\??\\D:\\a-much-longer-name-than-31-characters.img", ex2.tracks,
         Reader(0, 0, 0, 0, 0, 0, 2, 0, 0), Writer(0, 0, 1, 0, 2336, 0, 16, 0, 0, 4),
         "Burnkit[0]: CdRecorderRecordDiscEx2 (\\??\\D:\\a-much-longer-name-than-31-characters"
         ".img) - 1st track start block = 0x000001F4, nBlocks = 0x000002BC, hdStartBlock = "
         "0x00000258\n"},
    };
    PCACHE_DRIVE drive = CacheDrive('D', 3);
    const READ_PARAMS &rp = ext->ReadParams;
    for (const auto &row : rows) {
        SCOPED_TRACE(RequestName(row.code));
        ext->WriteParams.bAbort = TRUE;
        ext->Status.bCancel = TRUE;
        ext->Status.packetsQueued = 5;
        ext->ReadParams.hImageFile = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x44));
        ClearLog();
        Accept(row.code, row.block);
        if (row.message != nullptr) {
            EXPECT_TRUE(HostDebugLogContains(row.message)) << HostDebugLog();
        }
        EXPECT_STREQ(row.name, rp.imageName);
        /* The Unicode name is what the reader opens: the recordings check its contents. */
        EXPECT_EQ(strlen(row.name) * 2, rp.imageFileName.Length);
        EXPECT_EQ(rp.imageFileNameBuffer, rp.imageFileName.Buffer);
        EXPECT_EQ(nullptr, rp.hImageFile);
        EXPECT_EQ(row.reader, Reader(rp.bImpersonate, rp.bBufferedRead, rp.imageByteOffset,
                                     rp.pregapStartBlock, rp.pregapBlockSize, rp.nPregapBlocks,
                                     rp.numTracks, rp.bWriteTdb, rp.tdbTrackNumber));
        EXPECT_EQ(0, memcmp(row.tracks, rp.tracks, sizeof(rp.tracks)));
        EXPECT_EQ(row.writer, Writer(ext->WriteParams.writeMode, ext->recordFlags,
                                     ext->WriteParams.bChecksumOnly, ext->WriteParams.bAbort,
                                     ext->WriteParams.blockSize, ext->Status.blocksWritten,
                                     ext->Status.buffersOrChecksum, ext->Status.packetsQueued,
                                     ext->Status.bCancel, ext->refillThreshold));
        EXPECT_EQ(drive, ext->RecordCacheDrive) << "only the plain request looks it up";
        EXPECT_FALSE(ext->bClientContextCaptured);
    }
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
        Accept(Ex2, Bytes(block));
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
        HostSetFault(HostFaultClientSecurity, &fault);
        ClearLog();
        EXPECT_EQ(static_cast<NTSTATUS>(0xC0000022), Send(code, Block(code)));
        EXPECT_TRUE(HostDebugLogContains(("Burnkit[0]: " + RequestName(code) +
                                          " - SeCreateClientSecurity failed, Status = "
                                          "0xC0000022\n")
                                             .c_str()))
            << HostDebugLog();
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bReadThreadBusy);
        Sleep(1000);
        EXPECT_FALSE(HostDebugLogContains("ZwCreateFile")) << "the read thread was not woken";
        EXPECT_EQ(tokens, HostLiveTokenCount());
        HostClearFault(HostFaultClientSecurity);

        /* Captured contexts are given back when the recording ends, also after an open
           failure; the device takes the next request. */
        Accept(code, Block(code));
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bClientContextCaptured);
        EXPECT_EQ(tokens, HostLiveTokenCount());
    }
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
        EXPECT_TRUE(WaitRecordingIdle(ext, 600));
        EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus) << "no recording was started";
    }

    /* Once the buffers are freed, a recording is refused for them ... */
    ClearLog();
    EXPECT_EQ(STATUS_MEMORY_NOT_ALLOCATED,
              Send(IOCTL_RECORDER_RECORD_DISC_EX2, Bytes(Ex2Block(Missing))));
    EXPECT_EQ(std::vector<std::string>{"Burnkit[0]: CdRecorderRecordDiscEx2 - Not enough cache "
                                       "buffers allocated - 0 allocated\n"},
              HostDebugMessages());
    EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus);

    /* ... and once there are buffers again, recordings start. */
    Allocate(16);
    Accept(IOCTL_RECORDER_RECORD_DISC, Bytes(PlainBlock(Missing)));
    EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
}
