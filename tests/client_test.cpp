/*
 * client_test.cpp - the client library against the driver in the host stand-in: finding and
 * opening devices, every typed control request, and whole recordings started through each
 * record-disc request.
 *
 * The library's sources are compiled into this test directly (tests do not link cdw_client).
 */
#include "client/cdw_client.h"
#include "client/image_layout.h"
#include "client/record_request.h"
#include "client/scsi_text.h"

#include "driver_harness.h"

#include <fstream>
#include <sstream>

namespace {

class ClientTest : public DriverHarness {
protected:
    /* Polls the status record until the recording has left IN_PROCESS (bounded). */
    RECORDING_STATUS WaitForOutcome(CdwDevice &device) {
        RECORDING_STATUS s = {};
        for (int i = 0; i < 6000; i++) {
            EXPECT_TRUE(CdwSucceeded(device.QueryStatus(&s)));
            if (s.recordingStatus != RECSTAT_IN_PROCESS)
                return s;
            Sleep(50);
        }
        ADD_FAILURE() << "the recording did not end";
        return s;
    }

    static std::string ReadHostFile(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

const CdwStatus kNotFound = static_cast<CdwStatus>(0xC0000034u);
const CdwStatus kUnsuccessful = static_cast<CdwStatus>(0xC0000001u);
const CdwStatus kDeviceBusy = static_cast<CdwStatus>(0x80000011u);

} // namespace

TEST_F(ClientTest, FindsAndOpensRecordersAndDesktopUnitsByClass) {
    PlugRecorder();
    PlugDesktopUnit();
    PlugRecorder();
    EXPECT_EQ(CdwCountDevices(CdwDeviceKind::Recorder), 2u);
    EXPECT_EQ(CdwCountDevices(CdwDeviceKind::DesktopUnit), 1u);
    std::string link0 = CdwDeviceLink(CdwDeviceKind::Recorder, 0);
    std::string link1 = CdwDeviceLink(CdwDeviceKind::Recorder, 1);
    EXPECT_FALSE(link0.empty());
    EXPECT_NE(link0, link1);
    EXPECT_EQ(CdwDeviceLink(CdwDeviceKind::Recorder, 2), "");

    CdwDevice r0, r1, d0, missing;
    EXPECT_TRUE(CdwSucceeded(r0.Open(CdwDeviceKind::Recorder, 0)));
    EXPECT_TRUE(CdwSucceeded(r1.Open(CdwDeviceKind::Recorder, 1)));
    EXPECT_TRUE(CdwSucceeded(d0.Open(CdwDeviceKind::DesktopUnit, 0)));
    EXPECT_EQ(missing.Open(CdwDeviceKind::Recorder, 2), kNotFound);
    EXPECT_FALSE(missing.IsOpen());
    EXPECT_EQ(d0.Kind(), CdwDeviceKind::DesktopUnit);

    /* The desktop unit answers the pass-through request with its own identity. */
    CdwScsiResult inquiry;
    ASSERT_TRUE(CdwSucceeded(d0.ExecScsi(CdwInquiryCommand(), &inquiry)));
    ASSERT_TRUE(inquiry.Good());
    EXPECT_EQ(std::string(inquiry.data.begin() + 8, inquiry.data.begin() + 23), "KORVO   DESKTOP");

    /* A moved device keeps its handle; closing twice is harmless. */
    CdwDevice moved = std::move(r1);
    EXPECT_FALSE(r1.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    EXPECT_TRUE(CdwSucceeded(moved.Close()));
    EXPECT_TRUE(CdwSucceeded(moved.Close()));
    RECORDING_STATUS s;
    EXPECT_FALSE(CdwSucceeded(moved.QueryStatus(&s)));
}

TEST_F(ClientTest, CacheBuffersAndCacheDriveRequests) {
    PlugRecorder();
    PlugRecorder();
    CdwDevice a, b;
    ASSERT_TRUE(CdwSucceeded(a.Open(CdwDeviceKind::Recorder, 0)));
    ASSERT_TRUE(CdwSucceeded(b.Open(CdwDeviceKind::Recorder, 1)));

    uint32_t allocated = 0;
    EXPECT_TRUE(CdwSucceeded(a.AllocateCache(10, &allocated)));
    EXPECT_EQ(allocated, MIN_CACHE_BUFFERS);
    EXPECT_TRUE(CdwSucceeded(a.AllocateCache(500, &allocated)));
    EXPECT_EQ(allocated, MAX_CACHE_BUFFERS);
    EXPECT_TRUE(CdwSucceeded(a.AllocateCache(20, &allocated)));
    EXPECT_EQ(allocated, 20u);
    EXPECT_TRUE(CdwSucceeded(a.DeallocateCache()));

    /* No cache drive bound yet: the lock request has nothing to lock. */
    EXPECT_EQ(a.LockCacheDrive(), kUnsuccessful);
    EXPECT_TRUE(CdwSucceeded(a.CreateCacheDrive('E', 7)));
    EXPECT_TRUE(CdwSucceeded(a.InitCacheLock('e')));
    EXPECT_TRUE(CdwSucceeded(b.InitCacheLock('E')));
    EXPECT_TRUE(CdwSucceeded(a.LockCacheDrive()));
    /* The lock belongs to the cache drive: unlocking through the other recorder frees it. */
    EXPECT_TRUE(CdwSucceeded(b.UnlockCacheDrive()));
    EXPECT_TRUE(CdwSucceeded(a.LockCacheDrive()));
    EXPECT_TRUE(CdwSucceeded(a.UnlockCacheDrive()));
    EXPECT_EQ(b.InitCacheLock('Q'), kNotFound);
    EXPECT_EQ(b.LockCacheDrive(), kUnsuccessful);
}

TEST_F(ClientTest, StatusCancelQueriesAndPassThrough) {
    PlugRecorder();
    CdwDevice r;
    ASSERT_TRUE(CdwSucceeded(r.Open(CdwDeviceKind::Recorder, 0)));

    RECORDING_STATUS s;
    ASSERT_TRUE(CdwSucceeded(r.QueryStatus(&s)));
    EXPECT_EQ(s.recordingStatus, RECSTAT_IDLE);
    EXPECT_EQ(s.buffersOrChecksum, 60u);
    EXPECT_EQ(s.bCancel, 0);
    /* The cancel request returns the record from before the cancel; the next one shows it. */
    ASSERT_TRUE(CdwSucceeded(r.Cancel(&s)));
    EXPECT_EQ(s.bCancel, 0);
    ASSERT_TRUE(CdwSucceeded(r.QueryStatus(&s)));
    EXPECT_EQ(s.bCancel, 1);

    CD_RECORDER_PARAMETERS p;
    ASSERT_TRUE(CdwSucceeded(r.QueryParameters(&p)));
    EXPECT_EQ(p.MaximumTransferLength, 65536u);
    EXPECT_EQ(p.MaximumPhysicalPages, 17u);
    std::string name;
    ASSERT_TRUE(CdwSucceeded(r.QueryPropertyString(9 /* friendly name */, &name)));
    EXPECT_NE(name.find("CDWSIM"), std::string::npos) << name;
    CD_RECORDER_PROPERTIES props;
    ASSERT_TRUE(CdwSucceeded(r.QueryProperties(9, &props)));
    EXPECT_NE(props.DeviceObject, 0u);
    EXPECT_NE(props.PDO, 0u);
    EXPECT_EQ(props.Length, 2 * (name.size() + 1));

    CdwScsiResult result;
    ASSERT_TRUE(CdwSucceeded(r.ExecScsi(CdwTestUnitReadyCommand(), &result)));
    EXPECT_TRUE(result.Good());
    EXPECT_TRUE(result.data.empty());
    ASSERT_TRUE(CdwSucceeded(r.ExecScsi(CdwInquiryCommand(), &result)));
    ASSERT_EQ(result.data.size(), 36u);
    EXPECT_EQ(std::string(result.data.begin() + 8, result.data.begin() + 32),
              "CDWSIM  SIMULATED CD-RW ");
    ASSERT_TRUE(CdwSucceeded(r.ExecScsi(CdwReadBufferCapacityCommand(), &result)));
    uint32_t length = 0, blank = 0;
    ASSERT_TRUE(CdwParseBufferCapacity(result.data, &length, &blank));
    EXPECT_EQ(length, 2u << 20);
    EXPECT_EQ(blank, length);

    /* A command the recorder refuses: no data, the sense in the block. */
    CdwScsiCommand bad = CdwInquiryCommand();
    bad.cdb[0] = 0xFF;
    ASSERT_TRUE(CdwSucceeded(r.ExecScsi(bad, &result)));
    EXPECT_FALSE(result.Good());
    EXPECT_EQ(result.scsiStatus, 0x02);
    EXPECT_EQ(result.SenseKey(), 5);
    EXPECT_EQ(result.Asc(), 0x20);
    EXPECT_TRUE(result.data.empty());

    /* Data out: one block written through the pass-through request lands on the disc. */
    std::string block(2048, 'x');
    CdwScsiCommand write;
    write.cdb[0] = 0x2A;
    write.cdb[5] = 3; /* block 3 */
    write.cdb[8] = 1;
    write.cdbLength = 10;
    write.dataOut = true;
    write.transferLength = 2048;
    write.outData = block.data();
    ASSERT_TRUE(CdwSucceeded(r.ExecScsi(write, &result)));
    EXPECT_TRUE(result.Good());
    ASSERT_TRUE(CdwSucceeded(r.ExecScsi(CdwRead10Command(3, 1, 2048), &result)));
    ASSERT_TRUE(result.Good());
    EXPECT_EQ(std::string(result.data.begin(), result.data.end()), block);

    CdwScsiCommand tooLong = CdwTestUnitReadyCommand();
    tooLong.cdbLength = 17;
    EXPECT_FALSE(CdwSucceeded(r.ExecScsi(tooLong, &result)));
}

TEST_F(ClientTest, RecordsThroughEachRequestAndRefusesASecondWhileBusy) {
    SIM_RECORDER_CONFIG config = RecorderConfig();
    Unit *unit = PlugRecorder(config);
    std::string image = MakeImageFile("images/disc.iso", 700 * 2048, 3);
    std::string bytes = ReadHostFile(image);
    CdwImageLayout layout;
    std::string error;
    ASSERT_TRUE(CdwLayoutFromPlainImage(image, CdwHostFileSize, &layout, &error)) << error;

    CdwDevice r;
    ASSERT_TRUE(CdwSucceeded(r.Open(CdwDeviceKind::Recorder, 0)));
    uint32_t allocated = 0;
    ASSERT_TRUE(CdwSucceeded(r.AllocateCache(16, &allocated)));
    ASSERT_TRUE(CdwSucceeded(r.CreateCacheDrive('D', 1)));
    ASSERT_TRUE(CdwSucceeded(r.InitCacheLock('D')));

    for (CdwRequestKind kind : {CdwRequestKind::Disc, CdwRequestKind::Ex, CdwRequestKind::Ex2}) {
        SCOPED_TRACE(CdwRequestKindName(kind));
        HostSimClearLog(unit->Sim);
        CdwRecordOptions options;
        options.objectName = CdwObjectName('D', "images/disc.iso");
        ASSERT_TRUE(CdwSucceeded(CdwStartRecording(r, kind, layout, options, &error))) << error;
        RECORDING_STATUS s = WaitForOutcome(r);
        EXPECT_EQ(CdwOutcomeName(s.recordingStatus), "COMPLETE");
        /* All blocks but those of the last packet are counted. */
        EXPECT_EQ(s.blocksWritten, 700u - 700u % 64);
        for (uint32_t lba : {0u, 350u, 699u}) {
            CdwScsiResult result;
            ASSERT_TRUE(CdwSucceeded(r.ExecScsi(CdwRead10Command(lba, 1, 2048), &result)));
            ASSERT_TRUE(result.Good());
            ASSERT_EQ(result.data.size(), 2048u);
            EXPECT_EQ(memcmp(result.data.data(), bytes.data() + lba * 2048, 2048), 0) << lba;
        }
    }

    /* Checksum-only mode: the byte sum of the image comes back instead of a disc. */
    CdwRecordOptions sumOptions;
    sumOptions.objectName = CdwObjectName('D', "images/disc.iso");
    sumOptions.checksumOnly = true;
    ASSERT_TRUE(
        CdwSucceeded(CdwStartRecording(r, CdwRequestKind::Disc, layout, sumOptions, &error)));
    RECORDING_STATUS s = WaitForOutcome(r);
    EXPECT_EQ(s.recordingStatus, RECSTAT_COMPLETE);
    uint32_t sum = 0;
    for (unsigned char c : bytes)
        sum += c;
    EXPECT_EQ(s.buffersOrChecksum, sum);

    /* A slow recorder keeps the recording in process: a second request is refused. */
    HostSimSetSpeed(unit->Sim, 1);
    CdwRecordOptions options;
    options.objectName = CdwObjectName('D', "images/disc.iso");
    ASSERT_TRUE(CdwSucceeded(CdwStartRecording(r, CdwRequestKind::Disc, layout, options, &error)));
    EXPECT_EQ(CdwStartRecording(r, CdwRequestKind::Ex2, layout, options, &error), kDeviceBusy);
    ASSERT_TRUE(CdwSucceeded(r.Cancel()));
    s = WaitForOutcome(r);
    EXPECT_EQ(CdwOutcomeName(s.recordingStatus), "ABORTED");
    /* The pass still flushes the drive after its outcome shows; freeing the buffers waits for
       the pass to end. */
    CdwStatus freed = r.DeallocateCache();
    for (int i = 0; i < 1000 && !CdwSucceeded(freed); i++) {
        Sleep(100);
        freed = r.DeallocateCache();
    }
    EXPECT_TRUE(CdwSucceeded(freed));

    /* A block the request cannot carry is refused before anything is sent. */
    options.objectName = CdwObjectName('D', std::string(40, 'n'));
    EXPECT_EQ(CdwStartRecording(r, CdwRequestKind::Disc, layout, options, &error),
              static_cast<CdwStatus>(0xC000000Du));
    EXPECT_NE(error.find("does not fit"), std::string::npos) << error;
}
