/*
 * cachedrive_requests_test.cpp - the application's cache-drive requests: registering volumes,
 * binding a recorder to its download drive, and the lock and unlock requests, with two
 * recorders sharing one cache drive and a recorder removed while the application holds the
 * lock through it.
 */
#include "support/driver_harness.h"

#include <string.h>

#include <atomic>
#include <thread>

#include "../driver/writer.h"

namespace {

class CacheDriveRequests : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        first = PlugRecorder();
        second = PlugRecorder();
        ASSERT_NE(nullptr, first->Fdo);
        ASSERT_NE(nullptr, second->Fdo);
        firstHandle = OpenUnit(first);
        secondHandle = OpenUnit(second);
    }

    IoctlResult Request(HANDLE Handle, ULONG Code, char Letter = 0, USHORT Address = 0,
                        ULONG Length = sizeof(CACHE_DRIVE_REQUEST), UCHAR Filler = 0) {
        UCHAR in[16];
        memset(in, Filler, sizeof(in));
        in[offsetof(CACHE_DRIVE_REQUEST, DriveLetter)] = (UCHAR)Letter;
        memcpy(in + offsetof(CACHE_DRIVE_REQUEST, Address), &Address, sizeof(Address));
        UCHAR out[8];
        return Ioctl(Handle, Code, in, Length, out, sizeof(out));
    }

    NTSTATUS Create(char Letter, USHORT Address, HANDLE Handle = nullptr) {
        IoctlResult result = Request(Handle != nullptr ? Handle : firstHandle,
                                     IOCTL_RECORDER_CREATE_CACHE_DRIVE, Letter, Address);
        EXPECT_EQ(0u, result.Returned);
        return result.Status;
    }

    NTSTATUS Bind(HANDLE Handle, char Letter) {
        IoctlResult result = Request(Handle, IOCTL_RECORDER_INIT_CACHE_LOCK, Letter);
        EXPECT_EQ(0u, result.Returned);
        return result.Status;
    }

    NTSTATUS Lock(HANDLE Handle) {
        IoctlResult result = Ioctl(Handle, IOCTL_RECORDER_LOCK_CACHE_DRIVE, NULL, 0, NULL, 0);
        EXPECT_EQ(0u, result.Returned);
        return result.Status;
    }

    NTSTATUS Unlock(HANDLE Handle) {
        IoctlResult result = Ioctl(Handle, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE, NULL, 0, NULL, 0);
        EXPECT_EQ(0u, result.Returned);
        return result.Status;
    }

    PCACHE_DRIVE Drive(char Letter) {
        PCACHE_DRIVE drive = nullptr;
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveLocate(Letter, &drive));
        return drive;
    }

    Unit *first = nullptr;
    Unit *second = nullptr;
    HANDLE firstHandle = nullptr;
    HANDLE secondHandle = nullptr;
};

/* Sends a lock request from its own application thread and notes when it returns. */
class BackgroundLock {
public:
    explicit BackgroundLock(HANDLE Handle)
        : thread_([this, Handle] {
              HostThreadScope scope("locker");
              ULONG returned = 0;
              status_ = HostDeviceIoControl(Handle, IOCTL_RECORDER_LOCK_CACHE_DRIVE, NULL, 0, NULL,
                                            0, &returned);
              done_ = true;
          }) {}
    ~BackgroundLock() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool Done() const { return done_; }
    NTSTATUS Join() {
        thread_.join();
        return status_;
    }

private:
    std::atomic<bool> done_{false};
    NTSTATUS status_ = STATUS_PENDING;
    std::thread thread_;
};

TEST_F(CacheDriveRequests, ShortInputsAreRefusedAndOnlyTheirFieldsAreRead) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Request(firstHandle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, 'E', 1, 7).Status);
    EXPECT_TRUE(IsListEmpty(&CacheDriveList));
    EXPECT_FALSE(Logged("CdRec[0]: InitCacheLock - InputBufferLength too small\n"));

    /* Eight bytes with every other byte set: only the letter and the address count. */
    EXPECT_EQ(STATUS_SUCCESS,
              Request(firstHandle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, 'e', 0x1234, 8, 0xFF).Status);
    PCACHE_DRIVE drive = Drive('E');
    ASSERT_NE(nullptr, drive);
    EXPECT_EQ(0x1234, drive->Address);

    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    EXPECT_EQ(drive, CdwWriterExtension(first->Fdo)->DownloadCacheDrive);
    EXPECT_EQ(STATUS_INVALID_PARAMETER,
              Request(firstHandle, IOCTL_RECORDER_INIT_CACHE_LOCK, 'X', 0, 7).Status);
    EXPECT_TRUE(Logged("CdRec[0]: InitCacheLock - InputBufferLength too small\n"));
    EXPECT_EQ(drive, CdwWriterExtension(first->Fdo)->DownloadCacheDrive) << "link unchanged";

    /* A longer input is fine; the address of a bind is not read. */
    EXPECT_EQ(STATUS_SUCCESS,
              Request(secondHandle, IOCTL_RECORDER_INIT_CACHE_LOCK, 'E', 0xBEEF, 12, 0xFF).Status);
    EXPECT_EQ(drive, CdwWriterExtension(second->Fdo)->DownloadCacheDrive);
}

TEST_F(CacheDriveRequests, UnboundRecorderCannotLockOrUnlock) {
    /* No cache drive exists: the bind succeeds and leaves the recorder unbound. */
    EXPECT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    EXPECT_EQ(nullptr, CdwWriterExtension(first->Fdo)->DownloadCacheDrive);
    EXPECT_FALSE(Logged("TesselCacheDriveLocate failed"));

    EXPECT_EQ(STATUS_UNSUCCESSFUL, Lock(firstHandle));
    EXPECT_TRUE(Logged("CdRec[0]: LockCacheDrive - DownloadCacheDrive is NULL\n"));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Unlock(secondHandle));
    EXPECT_TRUE(Logged("CdRec[1]: UnlockCacheDrive - DownloadCacheDrive is NULL\n"));
}

TEST_F(CacheDriveRequests, UnknownLetterUnbindsAndReleasesThePreviousDrive) {
    ASSERT_EQ(STATUS_SUCCESS, Create('E', 1));
    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    ASSERT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    PCACHE_DRIVE drive = Drive('E');
    ASSERT_TRUE(drive->bLocked);

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Bind(firstHandle, 'X'));
    EXPECT_TRUE(
        Logged("Burnkit[0]: InitCacheLock - TesselCacheDriveLocate failed, Status = 0xC0000034\n"));
    EXPECT_EQ(nullptr, CdwWriterExtension(first->Fdo)->DownloadCacheDrive);
    EXPECT_FALSE(drive->bLocked);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Lock(firstHandle));
}

TEST_F(CacheDriveRequests, RebindingFreesTheDriveWhoeverHoldsIt) {
    ASSERT_EQ(STATUS_SUCCESS, Create('E', 1));
    ASSERT_EQ(STATUS_SUCCESS, Create('F', 2));
    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    PCACHE_DRIVE e = Drive('E');

    /* Held as a read thread holds it, not through any request. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(e));
    EXPECT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'F'));
    EXPECT_FALSE(e->bLocked);
    EXPECT_EQ(Drive('F'), CdwWriterExtension(first->Fdo)->DownloadCacheDrive);

    /* Rebinding to the same drive frees it too. */
    ASSERT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    EXPECT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'f'));
    EXPECT_FALSE(Drive('F')->bLocked);
}

TEST_F(CacheDriveRequests, UnlockWithoutLockLeavesTheDriveFree) {
    ASSERT_EQ(STATUS_SUCCESS, Create('E', 1));
    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    EXPECT_EQ(STATUS_SUCCESS, Unlock(firstHandle));
    EXPECT_EQ(STATUS_SUCCESS, Unlock(firstHandle));
    EXPECT_FALSE(Drive('E')->bLocked);
    EXPECT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    EXPECT_TRUE(Drive('E')->bLocked);
    EXPECT_EQ(STATUS_SUCCESS, Unlock(firstHandle));
}

TEST_F(CacheDriveRequests, LockOnOneRecorderWaitsForAnUnlockOnEither) {
    ASSERT_EQ(STATUS_SUCCESS, Create('E', 1));
    ASSERT_EQ(STATUS_SUCCESS, Create('G', 1)); /* a second volume of the same disk */
    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    ASSERT_EQ(STATUS_SUCCESS, Bind(secondHandle, 'g'));
    PCACHE_DRIVE drive = Drive('E');
    ASSERT_EQ(drive, CdwWriterExtension(second->Fdo)->DownloadCacheDrive);

    ASSERT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    {
        BackgroundLock waiter(secondHandle);
        Sleep(5000);
        EXPECT_FALSE(waiter.Done()) << "the second lock must wait";
        EXPECT_EQ(STATUS_SUCCESS, Unlock(firstHandle));
        EXPECT_EQ(STATUS_SUCCESS, waiter.Join());
    }
    EXPECT_TRUE(drive->bLocked) << "now held through the second recorder";

    /* And the other way round: the unlock may come through the recorder that did not lock. */
    {
        BackgroundLock waiter(firstHandle);
        Sleep(5000);
        EXPECT_FALSE(waiter.Done());
        EXPECT_EQ(STATUS_SUCCESS, Unlock(firstHandle));
        EXPECT_EQ(STATUS_SUCCESS, waiter.Join());
    }
    EXPECT_EQ(STATUS_SUCCESS, Unlock(secondHandle));
    EXPECT_FALSE(drive->bLocked);
}

TEST_F(CacheDriveRequests, RemovalGivesBackALockTakenThroughTheRemovedRecorder) {
    ASSERT_EQ(STATUS_SUCCESS, Create('E', 1));
    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    ASSERT_EQ(STATUS_SUCCESS, Bind(secondHandle, 'E'));
    PCACHE_DRIVE drive = Drive('E');

    /* Taken through the first recorder, released through the second: nothing to give back. */
    ASSERT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    ASSERT_EQ(STATUS_SUCCESS, Unlock(secondHandle));
    ASSERT_EQ(STATUS_SUCCESS, Lock(secondHandle));

    /* A lock on another disk, taken and given back through a third recorder, leaves the
     * second recorder's record alone. */
    ASSERT_EQ(STATUS_SUCCESS, Create('F', 2));
    Unit *other = PlugRecorder();
    ASSERT_NE(nullptr, other->Fdo);
    HANDLE otherHandle = OpenUnit(other);
    ASSERT_EQ(STATUS_SUCCESS, Bind(otherHandle, 'F'));
    ASSERT_EQ(STATUS_SUCCESS, Lock(otherHandle));
    ASSERT_EQ(STATUS_SUCCESS, Unlock(otherHandle));

    /* Taken through the second recorder and left held when it goes away. */
    ASSERT_EQ(STATUS_SUCCESS, Close(firstHandle));
    ASSERT_EQ(STATUS_SUCCESS, RemoveUnit(first));
    EXPECT_TRUE(drive->bLocked) << "the first recorder's removal keeps the second's lock";
    EXPECT_FALSE(Logged("locked through this device"));

    ASSERT_EQ(STATUS_SUCCESS, Close(secondHandle));
    ASSERT_EQ(STATUS_SUCCESS, RemoveUnit(second));
    ASSERT_FALSE(drive->bLocked) << "a later lock would wait for ever";
    EXPECT_TRUE(Logged("Burnkit[1]: CdRecorderTearDown - releasing cache drive"));

    /* A new recorder on the same disk is not kept waiting. */
    Unit *third = PlugRecorder();
    ASSERT_NE(nullptr, third->Fdo);
    HANDLE handle = OpenUnit(third);
    ASSERT_EQ(STATUS_SUCCESS, Bind(handle, 'E'));
    EXPECT_EQ(STATUS_SUCCESS, Lock(handle));
    EXPECT_EQ(STATUS_SUCCESS, Unlock(handle));
}

TEST_F(CacheDriveRequests, CreateWorksThroughAnyDeviceAndReportsMissingMemory) {
    Unit *desktop = PlugDesktopUnit();
    ASSERT_NE(nullptr, desktop->Fdo);
    HANDLE handle = OpenDesktopUnit();
    EXPECT_EQ(STATUS_SUCCESS, Create('K', 9, handle));
    EXPECT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'k'));
    EXPECT_EQ(Drive('K'), CdwWriterExtension(first->Fdo)->DownloadCacheDrive);

    HostPoolFailTag(HostPoolTag("ScUn"), 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Create('L', 10));
    HostPoolClearFailures();
    PCACHE_DRIVE missing = nullptr;
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, TesselCacheDriveLocate('L', &missing));
    EXPECT_EQ(STATUS_SUCCESS, Create('L', 10));
}

} // namespace
