/*
 * client_test.cpp - the client library against the driver in the host stand-in: finding and
 * opening devices and every typed control request (recordings through each record-disc request:
 * ToolTest).
 *
 * The library's sources are compiled into this test directly (tests do not link cdw_client).
 */
#include "client/cdw_client.h"
#include "client/image_layout.h"
#include "client/record_request.h"
#include "client/scsi_text.h"

#include "driver_harness.h"

namespace {

class ClientTest : public DriverHarness {};

const CdwStatus kNotFound = static_cast<CdwStatus>(0xC0000034u);
const CdwStatus kUnsuccessful = static_cast<CdwStatus>(0xC0000001u);

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
    /* A reply shorter than the buffer comes back with the length the device sent. */
    CdwScsiCommand shortReply = CdwInquiryCommand(36);
    shortReply.transferLength = 96;
    ASSERT_TRUE(CdwSucceeded(d0.ExecScsi(shortReply, &inquiry)));
    ASSERT_TRUE(inquiry.Good());
    EXPECT_EQ(inquiry.data.size(), 36u);

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

    /* Inquiry, refused commands and data both ways through the pass-through request: ToolTest
       (scsi command and --verify) and PassThrough. */
    CdwScsiResult result;
    ASSERT_TRUE(CdwSucceeded(r.ExecScsi(CdwReadBufferCapacityCommand(), &result)));
    uint32_t length = 0, blank = 0;
    ASSERT_TRUE(CdwParseBufferCapacity(result.data, &length, &blank));
    EXPECT_EQ(length, 2u << 20);
    EXPECT_EQ(blank, length);

    CdwScsiCommand tooLong = CdwTestUnitReadyCommand();
    tooLong.cdbLength = 17;
    EXPECT_FALSE(CdwSucceeded(r.ExecScsi(tooLong, &result)));
}
