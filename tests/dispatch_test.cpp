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

constexpr ULONG kCdromReadToc = 0x00024000;              /* IOCTL_CDROM_READ_TOC */
constexpr ULONG kCdromTypeRecorderFunction = 0x000221C4; /* device type 2, function 0x871 */
constexpr ULONG kUnhandledPrivate = 0x00CD21E4;          /* device type 0xCD, function 0x879 */
constexpr ULONG kMountManagerCode = 0x004D0000;          /* a mount-manager query */

class DispatchTest : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        unit = PlugRecorder();
        ASSERT_NE(nullptr, unit->Fdo);
        handle = OpenRecorder();
        ASSERT_NE(nullptr, handle);
        baseline = HostClassRemoveLockCount(unit->Fdo);
    }

    Unit *unit = nullptr;
    HANDLE handle = nullptr;
    LONG baseline = 0;
};

} // namespace

TEST_F(DispatchTest, FindNewDevicesCodesSucceedWithoutOutputWhateverTheBuffers) {
    const ULONG codes[] = {IOCTL_CDROM_FIND_NEW_DEVICES, IOCTL_DISK_FIND_NEW_DEVICES,
                           IOCTL_STORAGE_FIND_NEW_DEVICES};
    UCHAR buffer[100];
    for (ULONG code : codes) {
        memset(buffer, 0xAB, sizeof(buffer));
        IoctlResult none = Ioctl(handle, code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(STATUS_SUCCESS, none.Status) << std::hex << code;
        EXPECT_EQ(0u, none.Returned);

        IoctlResult both = Ioctl(handle, code, buffer, sizeof(buffer), buffer, sizeof(buffer));
        EXPECT_EQ(STATUS_SUCCESS, both.Status) << std::hex << code;
        EXPECT_EQ(0u, both.Returned);
        EXPECT_EQ(0xAB, buffer[0]) << "no output may be copied back";
        EXPECT_EQ(baseline, HostClassRemoveLockCount(unit->Fdo));
    }
}

TEST_F(DispatchTest, CdromClassCodesAreRefusedByDeviceType) {
    UCHAR toc[804] = {};
    IoctlResult readToc = Ioctl(handle, kCdromReadToc, nullptr, 0, toc, sizeof(toc));
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, readToc.Status);
    EXPECT_EQ(0u, readToc.Returned);

    /* The device type decides, not the function: function 0x871 of type 2 is no recorder code. */
    UCHAR block[60] = {};
    IoctlResult lookalike = IoctlInOut(handle, kCdromTypeRecorderFunction, block, sizeof(block));
    EXPECT_EQ(STATUS_NOT_IMPLEMENTED, lookalike.Status);
    EXPECT_EQ(0u, lookalike.Returned);
    EXPECT_EQ(baseline, HostClassRemoveLockCount(unit->Fdo));
}

TEST_F(DispatchTest, ForeignAndUnhandledCodesReachTheClassLibraryAndThePort) {
    /* The SCSI address query must pass through the driver to the port, which answers it. */
    SCSI_ADDRESS address = {};
    IoctlResult getAddress =
        Ioctl(handle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address, sizeof(address));
    EXPECT_EQ(STATUS_SUCCESS, getAddress.Status);
    EXPECT_EQ(sizeof(SCSI_ADDRESS), getAddress.Returned);
    SIM_RECORDER_CONFIG config = RecorderConfig();
    EXPECT_EQ(config.PortNumber, address.PortNumber);
    EXPECT_EQ(config.TargetId, address.TargetId);

    /* A storage-class query is answered below the driver too. */
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<UCHAR> descriptor(512);
    IoctlResult storage = Ioctl(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query),
                                descriptor.data(), (ULONG)descriptor.size());
    EXPECT_EQ(STATUS_SUCCESS, storage.Status);
    EXPECT_GE(storage.Returned, sizeof(STORAGE_DEVICE_DESCRIPTOR));

    /* A private function without handler and a mount-manager code are not the driver's: they
     * must not come back as the CD-ROM refusal, and nothing may be printed by the dispatch. */
    ClearLog();
    IoctlResult unhandled = Ioctl(handle, kUnhandledPrivate, nullptr, 0, nullptr, 0);
    EXPECT_NE(STATUS_NOT_IMPLEMENTED, unhandled.Status);
    EXPECT_FALSE(NT_SUCCESS(unhandled.Status));
    IoctlResult mount = Ioctl(handle, kMountManagerCode, nullptr, 0, nullptr, 0);
    EXPECT_NE(STATUS_NOT_IMPLEMENTED, mount.Status);
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
    const ULONG lengths[] = {0, 1, 3, 7, 59, 64, 2071, 2400};
    std::vector<UCHAR> buffer(4096);
    for (ULONG code : codes) {
        for (ULONG length : lengths) {
            memset(buffer.data(), 0, buffer.size());
            IoctlResult r = IoctlInOut(handle, code, buffer.data(), length);
            EXPECT_LE(r.Returned, length) << std::hex << code << std::dec << " length " << length;
            EXPECT_EQ(baseline, HostClassRemoveLockCount(unit->Fdo))
                << std::hex << code << std::dec << " length " << length;
        }
    }
    EXPECT_EQ(0u, HostVerifierFailureCount());
}
