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
        firstHandle = OpenUnit(first);
        secondHandle = OpenUnit(second);
    }

    /* Length bytes of Filler with the letter and the address in their places (no input at
     * all for the lock and unlock requests); no answer may carry data. */
    NTSTATUS Request(HANDLE Handle, ULONG Code, char Letter = 0, USHORT Address = 0,
                     ULONG Length = sizeof(CACHE_DRIVE_REQUEST), UCHAR Filler = 0) {
        UCHAR in[16];
        memset(in, Filler, sizeof(in));
        in[offsetof(CACHE_DRIVE_REQUEST, DriveLetter)] = (UCHAR)Letter;
        memcpy(in + offsetof(CACHE_DRIVE_REQUEST, Address), &Address, sizeof(Address));
        const bool noInput =
            Code == IOCTL_RECORDER_LOCK_CACHE_DRIVE || Code == IOCTL_RECORDER_UNLOCK_CACHE_DRIVE;
        UCHAR out[8];
        IoctlResult result = Ioctl(Handle, Code, noInput ? NULL : in, noInput ? 0 : Length, out,
                                   noInput ? 0 : sizeof(out));
        EXPECT_EQ(0u, result.Returned);
        return result.Status;
    }
    NTSTATUS Create(char Letter, USHORT Address, HANDLE Handle = nullptr, ULONG Length = 8,
                    UCHAR Filler = 0) {
        return Request(Handle != nullptr ? Handle : firstHandle, IOCTL_RECORDER_CREATE_CACHE_DRIVE,
                       Letter, Address, Length, Filler);
    }
    NTSTATUS Bind(HANDLE Handle, char Letter, ULONG Length = 8, UCHAR Filler = 0,
                  USHORT Address = 0) {
        return Request(Handle, IOCTL_RECORDER_INIT_CACHE_LOCK, Letter, Address, Length, Filler);
    }
    NTSTATUS Lock(HANDLE Handle) { return Request(Handle, IOCTL_RECORDER_LOCK_CACHE_DRIVE); }
    NTSTATUS Unlock(HANDLE Handle) { return Request(Handle, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE); }

    PCACHE_DRIVE Drive(char Letter, NTSTATUS Expected = STATUS_SUCCESS) {
        PCACHE_DRIVE drive = nullptr;
        EXPECT_EQ(Expected, TesselCacheDriveLocate(Letter, &drive));
        return drive;
    }
    static PCACHE_DRIVE Bound(Unit *U) { return CdwWriterExtension(U->Fdo)->DownloadCacheDrive; }

    /* A lock request from its own application thread must wait until Unlocker unlocks. */
    void ExpectLockWaitsForUnlock(HANDLE Locker, HANDLE Unlocker) {
        std::atomic<NTSTATUS> status{STATUS_PENDING};
        std::thread locker([&] {
            HostThreadScope scope("locker");
            ULONG returned = 0;
            status = HostDeviceIoControl(Locker, IOCTL_RECORDER_LOCK_CACHE_DRIVE, NULL, 0, NULL, 0,
                                         &returned);
        });
        Sleep(5000);
        EXPECT_EQ(STATUS_PENDING, status.load()) << "the second lock must wait";
        EXPECT_EQ(STATUS_SUCCESS, Unlock(Unlocker));
        locker.join();
        EXPECT_EQ(STATUS_SUCCESS, status.load());
    }

    Unit *first = nullptr;
    Unit *second = nullptr;
    HANDLE firstHandle = nullptr;
    HANDLE secondHandle = nullptr;
};

TEST_F(CacheDriveRequests, ShortInputsAreRefusedOnlyTheirFieldsAreReadAndAnyDeviceCreates) {
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Create('E', 1, firstHandle, 7));
    EXPECT_TRUE(IsListEmpty(&CacheDriveList));
    EXPECT_FALSE(Logged("CdRec[0]: InitCacheLock - InputBufferLength too small\n"));

    /* Eight bytes with every other byte set, through a desktop unit: only the letter and the
     * address count. */
    PlugDesktopUnit();
    EXPECT_EQ(STATUS_SUCCESS, Create('e', 0x1234, OpenDesktopUnit(), 8, 0xFF));
    PCACHE_DRIVE drive = Drive('E');
    ASSERT_NE(nullptr, drive);
    EXPECT_EQ(0x1234, drive->Address);

    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    EXPECT_EQ(drive, Bound(first));
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Bind(firstHandle, 'X', 7));
    EXPECT_TRUE(Logged("CdRec[0]: InitCacheLock - InputBufferLength too small\n"));
    EXPECT_EQ(drive, Bound(first)) << "link unchanged";

    /* A longer input is fine; the address of a bind is not read. */
    EXPECT_EQ(STATUS_SUCCESS, Bind(secondHandle, 'E', 12, 0xFF, 0xBEEF));
    EXPECT_EQ(drive, Bound(second));

    HostPoolFailTag(HostPoolTag("ScUn"), 1);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Create('L', 10));
    HostPoolClearFailures();
    EXPECT_EQ(1u, CacheDriveCount);
    EXPECT_EQ(nullptr, Drive('L', STATUS_OBJECT_NAME_NOT_FOUND));
    EXPECT_EQ(STATUS_SUCCESS, Create('L', 10));
}

TEST_F(CacheDriveRequests, BindingReleasesThePreviousDriveWhoeverHoldsItAndUnboundLocksFail) {
    /* No cache drive exists: the bind succeeds and leaves the recorder unbound. */
    EXPECT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    EXPECT_EQ(nullptr, Bound(first));
    EXPECT_FALSE(Logged("TesselCacheDriveLocate failed"));
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Unlock(secondHandle));
    EXPECT_TRUE(Logged("CdRec[1]: UnlockCacheDrive - DownloadCacheDrive is NULL\n"));

    ASSERT_EQ(STATUS_SUCCESS, Create('E', 1));
    ASSERT_EQ(STATUS_SUCCESS, Create('F', 2));
    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    PCACHE_DRIVE e = Drive('E');
    PCACHE_DRIVE f = Drive('F');

    /* Held as a read thread holds it, not through any request. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(e));
    EXPECT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'F'));
    EXPECT_FALSE(e->bLocked);
    EXPECT_EQ(f, Bound(first));

    /* Rebinding to the same drive frees it too. */
    ASSERT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    EXPECT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'f'));
    EXPECT_FALSE(f->bLocked);

    /* A letter that names no drive unbinds after the release. */
    ASSERT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, Bind(firstHandle, 'X'));
    EXPECT_TRUE(
        Logged("Burnkit[0]: InitCacheLock - TesselCacheDriveLocate failed, Status = 0xC0000034\n"));
    EXPECT_EQ(nullptr, Bound(first));
    EXPECT_FALSE(f->bLocked);
    EXPECT_EQ(STATUS_UNSUCCESSFUL, Lock(firstHandle));
    EXPECT_TRUE(Logged("CdRec[0]: LockCacheDrive - DownloadCacheDrive is NULL\n"));
}

TEST_F(CacheDriveRequests, LockOnOneRecorderWaitsForAnUnlockOnEither) {
    ASSERT_EQ(STATUS_SUCCESS, Create('E', 1));
    ASSERT_EQ(STATUS_SUCCESS, Create('G', 1)); /* a second volume of the same disk */
    ASSERT_EQ(STATUS_SUCCESS, Bind(firstHandle, 'E'));
    ASSERT_EQ(STATUS_SUCCESS, Bind(secondHandle, 'g'));
    PCACHE_DRIVE drive = Drive('E');
    ASSERT_EQ(drive, Bound(second));

    /* Unlocks without a lock leave the drive free. */
    EXPECT_EQ(STATUS_SUCCESS, Unlock(firstHandle));
    EXPECT_EQ(STATUS_SUCCESS, Unlock(firstHandle));
    EXPECT_FALSE(drive->bLocked);

    ASSERT_EQ(STATUS_SUCCESS, Lock(firstHandle));
    EXPECT_TRUE(drive->bLocked);
    ExpectLockWaitsForUnlock(secondHandle, firstHandle);
    EXPECT_TRUE(drive->bLocked) << "now held through the second recorder";
    /* And the other way round: the unlock may come through the recorder that did not lock. */
    ExpectLockWaitsForUnlock(firstHandle, firstHandle);
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
    HANDLE otherHandle = OpenUnit(PlugRecorder());
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
    HANDLE handle = OpenUnit(PlugRecorder());
    ASSERT_EQ(STATUS_SUCCESS, Bind(handle, 'E'));
    EXPECT_EQ(STATUS_SUCCESS, Lock(handle));
    EXPECT_EQ(STATUS_SUCCESS, Unlock(handle));
}

} // namespace
