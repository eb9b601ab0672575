/*
 * dispatch_test.cpp - routing of control requests: the find-new-devices codes, the CD-ROM
 * refusal, codes left to the class library, and one completion and one remove-lock release
 * for every request, whatever its buffers.
 */
#include "support/driver_harness.h"

#include <string.h>

#include <vector>

#include "../driver/writer.h"

namespace {

class DispatchTest : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        unit = PlugRecorder();
        ASSERT_NE(nullptr, unit->Fdo);
        handle = OpenRecorder();
        baseline = HostClassRemoveLockCount(unit->Fdo);
    }

    Unit *unit = nullptr;
    HANDLE handle = nullptr;
    LONG baseline = 0;
};

} // namespace

TEST_F(DispatchTest, FindNewDevicesSucceedAndCdromCodesAreRefusedWithoutOutput) {
    const std::pair<ULONG, NTSTATUS> rows[] = {
        {IOCTL_CDROM_FIND_NEW_DEVICES, STATUS_SUCCESS},
        {IOCTL_DISK_FIND_NEW_DEVICES, STATUS_SUCCESS},
        {IOCTL_STORAGE_FIND_NEW_DEVICES, STATUS_SUCCESS},
        {0x00024000, STATUS_NOT_IMPLEMENTED}, /* IOCTL_CDROM_READ_TOC */
        /* The device type decides, not the function: function 0x871 of type 2 is no recorder
           code. */
        {0x000221C4, STATUS_NOT_IMPLEMENTED},
    };
    UCHAR buffer[900];
    for (const auto &[code, status] : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << code);
        IoctlResult none = Ioctl(handle, code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(std::make_pair(status, 0u), std::make_pair(none.Status, none.Returned));
        memset(buffer, 0xAB, sizeof(buffer));
        IoctlResult both = Ioctl(handle, code, buffer, 60, buffer, sizeof(buffer));
        EXPECT_EQ(std::make_pair(status, 0u), std::make_pair(both.Status, both.Returned));
        EXPECT_EQ(0xAB, buffer[0]) << "no output may be copied back";
        EXPECT_EQ(baseline, HostClassRemoveLockCount(unit->Fdo));
    }
}

TEST_F(DispatchTest, ForeignAndUnhandledCodesReachTheClassLibraryAndThePort) {
    /* The SCSI address query must pass through the driver to the port, which answers it. */
    SCSI_ADDRESS address = {};
    IoctlResult getAddress =
        Ioctl(handle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address));
    EXPECT_EQ(std::make_pair(STATUS_SUCCESS, ULONG(sizeof(SCSI_ADDRESS))),
              std::make_pair(getAddress.Status, getAddress.Returned));
    const SIM_RECORDER_CONFIG config = RecorderConfig();
    EXPECT_EQ(std::make_pair(config.PortNumber, config.TargetId),
              std::make_pair(address.PortNumber, address.TargetId));

    /* A private function without handler (type 0xCD, function 0x879) and a mount-manager code
     * are not the driver's: not the CD-ROM refusal, and nothing printed by the dispatch. */
    ClearLog();
    const NTSTATUS unhandled = Ioctl(handle, 0x00CD21E4, nullptr, 0, nullptr, 0).Status;
    EXPECT_TRUE(!NT_SUCCESS(unhandled) && unhandled != STATUS_NOT_IMPLEMENTED) << unhandled;
    EXPECT_NE(STATUS_NOT_IMPLEMENTED, Ioctl(handle, 0x004D0000, nullptr, 0, nullptr, 0).Status);
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(baseline, HostClassRemoveLockCount(unit->Fdo));
}

TEST_F(DispatchTest, EveryPrivateRequestIsCompletedOnceAndReleasesItsRemoveLock) {
    /* Empty, short and long buffers: every handler must answer with some status, never
     * crash, and leave the remove lock as it found it (the verifier stops on a double
     * completion or a release without acquire). The lock requests are left out: a lock
     * request waits while the cache drive is held, by design. */
    const ULONG codes[] = {IOCTL_RECORDER_EXEC_SCSI_OPERATION, IOCTL_RECORDER_QUERY_PARAMETERS,
                           IOCTL_RECORDER_RECORD_DISC,         IOCTL_RECORDER_RECORDING_STATUS,
                           IOCTL_RECORDER_CREATE_CACHE_DRIVE,  IOCTL_RECORDER_INIT_CACHE_LOCK,
                           IOCTL_RECORDER_UNLOCK_CACHE_DRIVE,  IOCTL_RECORDER_RECORD_DISC_EX,
                           IOCTL_RECORDER_ALLOCATE_CACHE,      IOCTL_RECORDER_DEALLOCATE_CACHE,
                           IOCTL_RECORDER_RECORD_DISC_EX2,     IOCTL_RECORDER_QUERY_PROPERTIES};
    for (ULONG code : codes) {
        for (ULONG length : {0, 1, 3, 7, 59, 64, 2071, 2400}) {
            SCOPED_TRACE(testing::Message() << std::hex << code << " length 0x" << length);
            std::vector<UCHAR> buffer(4096);
            IoctlResult r = IoctlInOut(handle, code, buffer.data(), length);
            EXPECT_LE(r.Returned, length);
            EXPECT_EQ(baseline, HostClassRemoveLockCount(unit->Fdo));
        }
    }
    EXPECT_EQ(0u, HostVerifierFailureCount());
}
