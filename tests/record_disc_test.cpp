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
#include <atomic>
#include <thread>
#include <tuple>

#include "support/driver_harness.h"
#include "support/recording_scenario.h"
#include "support/test_support.h"

namespace {

/* Blocks filled the way an application fills them: every entry of the track table is used
   for something recognisable, numTracks says how many count. */
template <typename BLOCK>
BLOCK NamedBlock(const char *Name, ULONG NumTracks, TRACK_ENTRY (*Entry)(ULONG)) {
    BLOCK block;
    memset(&block, 0, sizeof(block));
    memcpy(block.imageName, Name, std::min(strlen(Name), sizeof(block.imageName)));
    block.numTracks = NumTracks;
    for (ULONG i = 0; i < sizeof(block.tracks) / sizeof(block.tracks[0]); i++) {
        block.tracks[i] = Entry(i);
    }
    return block;
}

RECORD_DISC_REQUEST PlainBlock(const char *Name, ULONG NumTracks = 1) {
    return NamedBlock<RECORD_DISC_REQUEST>(Name, NumTracks, [](ULONG i) {
        return TrackEntry(i + 1, 2048, 1000 * i, 4000 * i, 10 + i);
    });
}

RECORD_DISC_EX_REQUEST ExBlock(const char *Name) {
    return NamedBlock<RECORD_DISC_EX_REQUEST>(
        Name, 1, [](ULONG) { return TrackEntry(7, 2352, 0x1234, 0x40, 0x99); });
}

RECORD_DISC_EX2_REQUEST Ex2Block(const char *Name, ULONG NumTracks = 1) {
    return NamedBlock<RECORD_DISC_EX2_REQUEST>(Name, NumTracks, [](ULONG i) {
        return TrackEntry(50 + i, 2336, 500 + i, 600 + i, 700 + i);
    });
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

/* The message a request prints: "Burnkit[0]: <request><What>". */
std::string Said(ULONG Code, const std::string &What) {
    return "Burnkit[0]: " + RequestName(Code) + What + "\n";
}

/* A change to a valid one-track block (-1: left as it is): numTracks, the entry whose block
   size or length changes, the pre-gap, a name field filled without terminator, bytes cut off
   the end of the block. */
struct Change {
    LONG numTracks, track, blockSize, nBlocks, nPregapBlocks, pregapBlockSize, fillName, cut;
};
Change Shape(LONG NumTracks = 1, LONG Track = 0, LONG BlockSize = -1, LONG NBlocks = -1,
             LONG NPregapBlocks = 0, LONG PregapBlockSize = 0, LONG FillName = 0, LONG Cut = 0) {
    return {NumTracks, Track, BlockSize, NBlocks, NPregapBlocks, PregapBlockSize, FillName, Cut};
}

template <typename BLOCK> std::vector<UCHAR> Shaped(BLOCK Block, const Change &S) {
    Block.numTracks = S.numTracks;
    TRACK_ENTRY &entry = Block.tracks[S.track];
    entry.blockSize = S.blockSize >= 0 ? static_cast<ULONG>(S.blockSize) : entry.blockSize;
    entry.nBlocks = S.nBlocks >= 0 ? static_cast<ULONG>(S.nBlocks) : entry.nBlocks;
    Block.nPregapBlocks = S.nPregapBlocks;
    Block.pregapBlockSize = S.pregapBlockSize;
    if (S.fillName != 0) {
        memset(Block.imageName, S.fillName, sizeof(Block.imageName));
    }
    std::vector<UCHAR> bytes = Bytes(Block);
    bytes.resize(bytes.size() - S.cut);
    return bytes;
}

std::vector<UCHAR> Block(ULONG Code, const Change &S = Shape()) {
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
    Change shape;
    NTSTATUS status;
    std::string message;
    Device device = Ready;
};

const NTSTATUS Bad = STATUS_INVALID_PARAMETER;
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
        ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, 16));
        ClearLog();
    }

    /* Lets the last recording end before the harness removes the unit and unloads. */
    void TearDown() override {
        EXPECT_TRUE(ext == nullptr || WaitRecordingIdle(ext, 600)) << "recording did not end";
        DriverHarness::TearDown();
        EXPECT_EQ(0u, HostVerifierFailureCount());
    }

    /* Sends a block that must be accepted and waits until the recording has ended. */
    void Accept(ULONG Code, const std::vector<UCHAR> &Block) {
        ASSERT_EQ(STATUS_SUCCESS, SendRecordBlock(handle, Code, Block)) << HostDebugLog();
        EXPECT_TRUE(WaitRecordingIdle(ext, 600)) << "recording did not end";
    }

    PCACHE_DRIVE CacheDrive(CHAR Letter, USHORT Address) {
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate(Letter, Address));
        PCACHE_DRIVE drive = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveLocate(Letter, &drive));
        return drive;
    }

    void SetDevice(Device State) {
        ext->Status.recordingStatus = State == Recording ? RECSTAT_IN_PROCESS : RECSTAT_IDLE;
        ext->bReadThreadBusy = State == ReaderClosing;
        ext->bWritePassPending = State == PassPending;
        ext->bWriteThreadProcRunning = State == WriterRunning;
        ext->numCacheBuffers = State == TooFewBuffers ? 15 : 16;
        ext->bThreadFailed = State == Dead;
    }

    /* Sends each refused request in its device state: it gets its status and message and
       leaves the device, the cache-drive link, the threshold and the client contexts alone. */
    void ExpectRefused(const std::vector<Refusal> &Rows) {
        PCACHE_DRIVE drive = CacheDrive('q', 9);
        ext->RecordCacheDrive = drive;
        const ULONG threshold = ext->refillThreshold;
        const LONG tokens = HostLiveTokenCount();
        for (const Refusal &row : Rows) {
            SCOPED_TRACE(testing::Message() << RequestName(row.code) << " state " << row.device);
            SetDevice(row.device);
            ClearLog();
            EXPECT_EQ(row.status, SendRecordBlock(handle, row.code, Block(row.code, row.shape)));
            EXPECT_EQ(row.message.empty() ? "" : Said(row.code, row.message), HostDebugLog());
            EXPECT_EQ(std::make_tuple(row.device == Recording ? RECSTAT_IN_PROCESS : RECSTAT_IDLE,
                                      row.device == ReaderClosing, drive, threshold, 0u, tokens),
                      std::make_tuple(ext->Status.recordingStatus, ext->bReadThreadBusy != FALSE,
                                      ext->RecordCacheDrive, ext->refillThreshold,
                                      ext->ReadParams.numTracks, HostLiveTokenCount()));
        }
        SetDevice(Ready);
    }

    HANDLE handle = nullptr;
    PWriterExtension ext = nullptr;
};

} // namespace

TEST_F(RecordDisc, BlocksThatAreShortOrWouldOverrunOrDescribeSomethingElseAreRefused) {
    std::vector<Refusal> rows = {
        {Plain, Shape(0), Bad, Invalid},
        {Plain, Shape(101), Bad, Invalid},
        {Plain, Shape(3, 2, 2449), Bad, Invalid},
        {Plain, Shape(3, 2, 0), Bad, Invalid},
        {Plain, Shape(1, 0, -1, -1, 5, 2449), Bad, Invalid}, /* pre-gap blocks */
        {Plain, Shape(1, 0, -1, -1, 5, 0), Bad, Invalid},
        {Plain, Shape(1, 0, -1, -1, 0, 0, 'a'), Bad, Invalid},
        {Ex, Shape(2), Bad, Invalid},
        {Ex, Shape(1, 0, -1, -1, 0, 0, 'b'), Bad, Invalid},
        {Ex2, Shape(2, 1, 5000), Bad, Invalid},
        {Ex2, Shape(1, 0, -1, -1, 0, 0, 'c'), Bad, Invalid},
        {Plain, Shape(1, 0, -1, -1, 150, 2352), Bad,
         " - pre-gap block size 2352 differs from the first track's block size 2048"},
        {Ex2, Shape(1, 0, -1, -1, 1, 2048), Bad,
         " - pre-gap block size 2048 differs from the first track's block size 2336"},
        {Plain, Shape(3, 1, -1, 0), Bad, " - track 2 of 3 has no blocks"},
        {Ex, Shape(1, 0, -1, 0), Bad, " - track 1 of 1 has no blocks"},
    };
    for (ULONG code : Codes) {
        const size_t minimum = Block(code).size();
        rows.push_back({code, Shape(1, 0, -1, -1, 0, 0, 0, 1), Bad,
                        " - InputBufferLength too short, is " + std::to_string(minimum - 1) +
                            ", should be " + std::to_string(minimum) + " bytes"});
    }
    ExpectRefused(rows);

    /* Accepted: longer blocks; what is not used is not checked (entries past numTracks, the
       pre-gap size without a pre-gap); a pre-gap in the first track's block size. The cache
       table holds no D: drive: the plain request reports that, drops the link and goes on. */
    for (ULONG code : Codes) {
        std::vector<UCHAR> longer = Block(code);
        longer.resize(longer.size() + 13, 0x5A);
        Accept(code, longer);
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
    }
    EXPECT_TRUE(HostDebugLogContains("Burnkit[0]: CdRecorderRecordDisc - TesselCacheDriveLocate "
                                     "failed for drive 'D', Status = 0xC0000034\n"));
    EXPECT_EQ(nullptr, ext->RecordCacheDrive);
    Accept(Plain, Block(Plain, Shape(2, 2, 0, -1, 0, 9999)));
    Accept(Plain, Block(Plain, Shape(1, 0, -1, -1, 150, 2048)));
    EXPECT_EQ(150u, ext->ReadParams.nPregapBlocks);
    /* A name whose terminator is the first or the last byte of its field: an empty name is
       taken, and the reader fails to open it. */
    for (size_t nul : {size_t(0), sizeof(RECORD_DISC_EX_REQUEST::imageName) - 1}) {
        RECORD_DISC_EX_REQUEST ex = ExBlock(Missing);
        memset(ex.imageName, 'x', sizeof(ex.imageName));
        ex.imageName[nul] = '\0';
        Accept(Ex, Bytes(ex));
        EXPECT_EQ(nul * 2, ext->ReadParams.imageFileName.Length);
    }
}

TEST_F(RecordDisc, BuffersAndBusyAnswerBeforeTheBlockIsJudged) {
    const std::string noBuffers = " - Not enough cache buffers allocated - 15 allocated";
    const NTSTATUS busy = STATUS_DEVICE_BUSY, none = STATUS_MEMORY_NOT_ALLOCATED;
    std::vector<Refusal> rows = {
        {Plain, Shape(0), busy, "", Recording}, /* busy wins over an out-of-bounds block */
        {Plain, Shape(1, 0, -1, -1, 150, 2352), busy, "", Recording}, /* a pre-gap mismatch */
        {Ex, Shape(1, 0, -1, 0), busy, "", Recording},                /* an empty track */
        {Plain, Shape(0), none, noBuffers, TooFewBuffers}, /* missing buffers win as well */
        {Ex2, Shape(1, 0, -1, -1, 1, 2048), none, noBuffers, TooFewBuffers},
    };
    for (ULONG code : Codes) {
        for (Device device : {Recording, ReaderClosing, PassPending, WriterRunning}) {
            rows.push_back({code, Shape(), busy, "", device});
        }
        rows.push_back({code, Shape(), none, noBuffers, TooFewBuffers});
        rows.push_back({code, Shape(), STATUS_DEVICE_NOT_READY,
                        " - recording thread has ended, device cannot record", Dead});
    }
    ExpectRefused(rows);
    for (ULONG code : Codes) {
        Accept(code, Block(code));
    }
}

TEST_F(RecordDisc, ConcurrentRequestsStartExactlyOneRecording) {
    PCACHE_DRIVE drive = CacheDrive('D', 1);
    const std::vector<UCHAR> block = Block(Plain);
    for (int round = 0; round < 5; round++) {
        ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive)) << round; /* reader waits */
        std::atomic<int> ready{0}, accepted{0}, busy{0};
        std::vector<std::thread> senders;
        for (int i = 0; i < 6; i++) {
            senders.emplace_back([&] {
                HostThreadScope sender("sender");
                for (ready++; ready.load() < 6;) {
                }
                UCHAR out[4];
                ULONG returned = 0;
                const NTSTATUS status =
                    HostDeviceIoControl(handle, Plain, block.data(),
                                        static_cast<ULONG>(block.size()), out, 4, &returned);
                accepted += status == STATUS_SUCCESS;
                busy += status == STATUS_DEVICE_BUSY;
            });
        }
        for (std::thread &sender : senders) {
            sender.join();
        }
        EXPECT_EQ(std::make_pair(1, 5), std::make_pair(accepted.load(), busy.load()));
        EXPECT_EQ(RECSTAT_IN_PROCESS, ext->Status.recordingStatus);
        TesselCacheDriveRelease(drive);
        EXPECT_TRUE(WaitRecordingIdle(ext, 600));
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
    }
}

TEST_F(RecordDisc, EachRequestCopiesItsBlockIntoTheDevice) {
    /* The plain block: every field, all 100 entries. */
    RECORD_DISC_REQUEST plain = PlainBlock("\\??\\d:\\none.img", 3); /* either case */
    plain.bBufferedRead = plain.bChecksumOnly = plain.bWriteTdb = 1;
    plain.pregapStartBlock = 0x11;
    plain.pregapBlockSize = 2048; /* a pre-gap has the first track's block size */
    plain.nPregapBlocks = 0x13;
    plain.initialBlocksWritten = 0x1234;
    plain.modeWord = 0x01020305;
    plain.refillPercent = 25;
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
       checksum-only, block size) and the first blocks counted. */
    using Reader = std::tuple<int, int, ULONG, ULONG, ULONG, ULONG, ULONG, int, int>;
    using Writer = std::tuple<ULONG, ULONG, int, ULONG, ULONG>;
    const struct {
        ULONG code;
        std::vector<UCHAR> block;
        const char *name;
        const TRACK_ENTRY *tracks;
        Reader reader;
        Writer writer;
        const char *message;
    } rows[] = {
        {Plain, Bytes(plain), plain.imageName, plain.tracks,
         Reader(0, 1, 0, 0x11, 2048, 0x13, 3, 1, 42), Writer(5, 0x01020300, 1, 2048, 0x1234), ""},
        {Ex, Bytes(ex), ex.imageName, afterEx, Reader(1, 1, 0x800, 0, 0, 0, 1, 0, 0),
         Writer(2, 0, 0, 2352, 7),
         "Ex (\\??\\D:\\ex-none.img) - 1st track start block = 0x00001234, nBlocks = 0x00000099"},
        {Ex2, Bytes(ex2), ex2.imageName, ex2.tracks, Reader(0, 0, 0, 0, 0, 0, 2, 0, 0),
         Writer(0, 0, 1, 2336, 0),
         "Ex2 (\\??\\D:\\a-much-longer-name-than-31-characters.img) - 1st track start block = "
         "0x000001F4, nBlocks = 0x000002BC, hdStartBlock = 0x00000258"},
    };
    PCACHE_DRIVE drive = CacheDrive('D', 3);
    const READ_PARAMS &rp = ext->ReadParams;
    const LONG tokens = HostLiveTokenCount();
    for (const auto &row : rows) {
        SCOPED_TRACE(RequestName(row.code));
        ext->WriteParams.bAbort = ext->Status.bCancel = TRUE;
        ext->Status.packetsQueued = 5;
        ext->ReadParams.hImageFile = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x44));
        ClearLog();
        Accept(row.code, row.block);
        EXPECT_TRUE(!*row.message || HostDebugLogContains(row.message)) << HostDebugLog();
        EXPECT_STREQ(row.name, rp.imageName);
        /* The Unicode name is what the reader opens: the recordings check its contents. */
        EXPECT_EQ(strlen(row.name) * 2, rp.imageFileName.Length);
        EXPECT_EQ(rp.imageFileNameBuffer, rp.imageFileName.Buffer);
        EXPECT_EQ(row.reader, Reader(rp.bImpersonate, rp.bBufferedRead, rp.imageByteOffset,
                                     rp.pregapStartBlock, rp.pregapBlockSize, rp.nPregapBlocks,
                                     rp.numTracks, rp.bWriteTdb, rp.tdbTrackNumber));
        EXPECT_EQ(0, memcmp(row.tracks, rp.tracks, sizeof(rp.tracks)));
        EXPECT_EQ(row.writer, Writer(ext->WriteParams.writeMode, ext->recordFlags,
                                     ext->WriteParams.bChecksumOnly, ext->WriteParams.blockSize,
                                     ext->Status.blocksWritten));
        /* Cleared for the new recording: abort, packets, cancel, the image handle; buffers
           counted; the threshold from refillPercent 25 (0 keeps it); the cache drive the plain
           request found (the others leave the link alone), not locked; client contexts given
           back. */
        EXPECT_EQ(std::make_tuple(0, 16u, 0u, 0, HANDLE(nullptr), 4u, drive, 0, 0, tokens),
                  std::make_tuple(int(ext->WriteParams.bAbort), ext->Status.buffersOrChecksum,
                                  ext->Status.packetsQueued, int(ext->Status.bCancel),
                                  rp.hImageFile, ext->refillThreshold, ext->RecordCacheDrive,
                                  int(drive->bLocked), int(ext->bClientContextCaptured),
                                  HostLiveTokenCount()));
    }
}

TEST_F(RecordDisc, RefillPercentSetsTheThresholdOnlyFromTenToNinetyNine) {
    /* Buffers, refillPercent, the threshold after. */
    const ULONG steps[][3] = {{16, 0, 30}, {16, 10, 1},  {96, 9, 1},  {96, 100, 1},
                              {17, 50, 8}, {96, 99, 95}, {96, 10, 9}, {96, 0xFFFFFFFF, 9}};
    for (const auto &step : steps) {
        ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, step[0]));
        RECORD_DISC_EX2_REQUEST block = Ex2Block(Missing);
        block.refillPercent = step[1];
        Accept(Ex2, Bytes(block));
        EXPECT_EQ(step[2], ext->refillThreshold) << step[1];
        EXPECT_EQ(step[0], ext->Status.buffersOrChecksum);
    }
}

TEST_F(RecordDisc, ClientCaptureFailureAndRelease) {
    const LONG tokens = HostLiveTokenCount();
    HOST_FAULT fault = {0, 1, 0, static_cast<NTSTATUS>(0xC0000022)};
    for (ULONG code : {Ex, Ex2}) {
        SCOPED_TRACE(code);
        HostSetFault(HostFaultClientSecurity, &fault);
        ClearLog();
        EXPECT_EQ(static_cast<NTSTATUS>(0xC0000022), SendRecordBlock(handle, code, Block(code)));
        EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
        EXPECT_FALSE(ext->bReadThreadBusy);
        Sleep(1000); /* the read thread was not woken: nothing else is printed */
        EXPECT_EQ(Said(code, " - SeCreateClientSecurity failed, Status = 0xC0000022"),
                  HostDebugLog());
        EXPECT_EQ(tokens, HostLiveTokenCount());
        HostClearFault(HostFaultClientSecurity);
        Accept(code, Block(code)); /* the device takes the next request */
    }
}

namespace {

/* A plain record-disc request sent from inside a cache request once that request prints the
   trigger: after it has changed the buffers and before it has finished. */
struct NestedRecordRequest {
    HANDLE handle;
    const char *trigger;
    bool sent;
    NTSTATUS status;
} nested;

void SendRecordRequestOnTrigger(const char *Message) {
    if (!nested.sent && strstr(Message, nested.trigger) != nullptr) {
        nested.sent = true;
        nested.status = SendRecordBlock(nested.handle, Plain, Block(Plain));
    }
}

} // namespace

TEST_F(RecordDisc, NoRecordingStartsWhileACacheRequestChangesTheBuffers) {
    const struct {
        ULONG code, count;
        const char *trigger;
    } steps[] = {{IOCTL_RECORDER_ALLOCATE_CACHE, 24, "24 buffers requested, 24 allocated"},
                 {IOCTL_RECORDER_ALLOCATE_CACHE, 16, "16 buffers already allocated"},
                 {IOCTL_RECORDER_DEALLOCATE_CACHE, 0, "16 buffers deallocated"}};
    for (const auto &step : steps) {
        SCOPED_TRACE(step.trigger);
        nested = {handle, step.trigger, false, STATUS_SUCCESS};
        HostDebugSetSink(SendRecordRequestOnTrigger);
        ULONG count = step.count;
        EXPECT_EQ(STATUS_SUCCESS, IoctlInOut(handle, step.code, &count, count ? 4 : 0).Status);
        HostDebugSetSink(nullptr);
        ASSERT_TRUE(nested.sent) << HostDebugLog();
        EXPECT_EQ(STATUS_DEVICE_BUSY, nested.status);
        EXPECT_TRUE(WaitRecordingIdle(ext, 600));
        EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus) << "no recording was started";
    }

    /* Once the buffers are freed, a recording is refused for them ... */
    ClearLog();
    EXPECT_EQ(STATUS_MEMORY_NOT_ALLOCATED, SendRecordBlock(handle, Ex2, Block(Ex2)));
    EXPECT_EQ(Said(Ex2, " - Not enough cache buffers allocated - 0 allocated"), HostDebugLog());
    EXPECT_EQ(RECSTAT_IDLE, ext->Status.recordingStatus);

    /* ... and once there are buffers again, recordings start. */
    ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, 16));
    Accept(Plain, Block(Plain));
    EXPECT_EQ(RECSTAT_OPEN_FAILED, ext->Status.recordingStatus);
}
