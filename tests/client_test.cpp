/*
 * client_test.cpp - the client library against the driver in the host stand-in: finding and
 * opening devices and the typed requests the tool's runs do not reach (what the requests do:
 * the driver's own tests; cache buffers, status, cancel and the record-disc requests: ToolTest).
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
    EXPECT_NE(CdwDeviceLink(CdwDeviceKind::Recorder, 0), CdwDeviceLink(CdwDeviceKind::Recorder, 1));
    EXPECT_EQ(CdwDeviceLink(CdwDeviceKind::Recorder, 2), "");

    CdwDevice r1, d0, missing;
    EXPECT_TRUE(CdwSucceeded(r1.Open(CdwDeviceKind::Recorder, 1)));
    EXPECT_TRUE(CdwSucceeded(d0.Open(CdwDeviceKind::DesktopUnit, 0)));
    EXPECT_EQ(missing.Open(CdwDeviceKind::Recorder, 2), kNotFound);

    /* The desktop unit answers the pass-through request with its own identity; a reply
       shorter than the buffer comes back with the length the device sent. */
    CdwScsiResult inquiry;
    CdwScsiCommand shortReply = CdwInquiryCommand(36);
    shortReply.transferLength = 96;
    ASSERT_TRUE(CdwSucceeded(d0.ExecScsi(shortReply, &inquiry)));
    ASSERT_TRUE(inquiry.Good());
    ASSERT_EQ(inquiry.data.size(), 36u);
    EXPECT_EQ(std::string(inquiry.data.begin() + 8, inquiry.data.begin() + 23), "KORVO   DESKTOP");
    CdwScsiCommand tooLong = CdwTestUnitReadyCommand();
    tooLong.cdbLength = 17;
    EXPECT_FALSE(CdwSucceeded(d0.ExecScsi(tooLong, &inquiry)));

    /* A moved device keeps its handle; closing twice is harmless. */
    CdwDevice moved = std::move(r1);
    EXPECT_FALSE(r1.IsOpen());
    EXPECT_TRUE(moved.IsOpen());
    EXPECT_TRUE(CdwSucceeded(moved.Close()));
    EXPECT_TRUE(CdwSucceeded(moved.Close()));
    RECORDING_STATUS s;
    EXPECT_FALSE(CdwSucceeded(moved.QueryStatus(&s)));
}

TEST_F(ClientTest, CacheDriveRequestsAndPropertyStrings) {
    PlugRecorder();
    CdwDevice r;
    ASSERT_TRUE(CdwSucceeded(r.Open(CdwDeviceKind::Recorder, 0)));

    /* No cache drive bound yet: the lock request has nothing to lock. */
    EXPECT_EQ(r.LockCacheDrive(), kUnsuccessful);
    EXPECT_TRUE(CdwSucceeded(r.CreateCacheDrive('E', 7)));
    EXPECT_TRUE(CdwSucceeded(r.InitCacheLock('e')));
    EXPECT_TRUE(CdwSucceeded(r.LockCacheDrive()));
    EXPECT_TRUE(CdwSucceeded(r.UnlockCacheDrive()));
    EXPECT_EQ(r.InitCacheLock('Q'), kNotFound);

    /* A string property comes back as UTF-8, its length counted in UTF-16. */
    std::string name;
    ASSERT_TRUE(CdwSucceeded(r.QueryPropertyString(9 /* friendly name */, &name)));
    EXPECT_NE(name.find("CDWSIM"), std::string::npos) << name;
    CD_RECORDER_PROPERTIES props;
    ASSERT_TRUE(CdwSucceeded(r.QueryProperties(9, &props)));
    EXPECT_NE(props.DeviceObject, 0u);
    EXPECT_NE(props.PDO, 0u);
    EXPECT_EQ(props.Length, 2 * (name.size() + 1));
}
