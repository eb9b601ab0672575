/*
 * cachedrive_table_test.cpp - the driver-wide cache-drive table: find-or-create by address,
 * letters in either case, lookups in creation order, letters that name no drive, the blocking
 * lock between threads, and the release of every record at unload.
 */
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "../driver/writer.h"
#include <standin/kernel.h>

namespace {

/* The table as DriverEntry leaves it. */
class CacheDriveTable : public ::testing::Test {
protected:
    void SetUp() override {
        HostClockUseVirtual();
        InitializeListHead(&CacheDriveList);
        KeInitializeSpinLock(&CacheDriveListLock);
        CacheDriveCount = 0;
        HostDebugLogClear();
    }
    void TearDown() override {
        TesselCacheDriveFreeAll();
        EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn"))) << HostPoolReport();
        EXPECT_EQ(0u, HostSpinLocksHeld());
    }

    /* The record found for Letter; a miss must leave NULL, never the caller's old value. */
    static PCACHE_DRIVE Locate(CHAR Letter, NTSTATUS Expected = STATUS_SUCCESS) {
        PCACHE_DRIVE drive = reinterpret_cast<PCACHE_DRIVE>(static_cast<uintptr_t>(0x1234));
        EXPECT_EQ(Expected, TesselCacheDriveLocate(Letter, &drive)) << int(Letter);
        return drive;
    }

    static bool LoggedWithRecord(const std::string &Before, PCACHE_DRIVE Drive,
                                 const std::string &After) {
        char record[16];
        snprintf(record, sizeof(record), "%08X", (unsigned)(uintptr_t)Drive);
        return HostDebugLogContains((Before + record + After).c_str());
    }

    /* Lets every other known thread run until it blocks or ends. */
    static void LetOthersRun() {
        LARGE_INTEGER delay;
        delay.QuadPart = CDW_RELATIVE_MS(1);
        (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
};

} // namespace

TEST_F(CacheDriveTable, EmptyTableFindsNothingLocksNothingAndUnloadEmptiesIt) {
    /* Without records every lookup succeeds with no record (recording without locking). */
    EXPECT_EQ(nullptr, Locate('d'));
    EXPECT_EQ(nullptr, Locate('#'));
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(nullptr));
    TesselCacheDriveRelease(nullptr);
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('E', 0x0001));
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(nullptr));
    TesselCacheDriveRelease(nullptr);

    /* Unload: every record goes (the fixture checks the pool). */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('N', 2));
    TesselCacheDriveFreeAll();
    EXPECT_EQ(0u, CacheDriveCount);
    EXPECT_TRUE(IsListEmpty(&CacheDriveList));
}

TEST_F(CacheDriveTable, CreateJoinsLettersByAddressAndLookupsFindTheFirstRecordInEitherCase) {
    const CHAR outside[] = {
        '@', '[', '`', '{', '0', ':', '\0', '\\', static_cast<CHAR>(0xC4), static_cast<CHAR>(0xFF)};
    for (CHAR c : outside) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, TesselCacheDriveCreate(c, 7)) << int(c);
    }
    EXPECT_EQ(0u, CacheDriveCount);

    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('a', 0x0102));
    PCACHE_DRIVE first = Locate('A');
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(0x0102, first->Address);
    EXPECT_TRUE(LoggedWithRecord("Burnkit: TesselCacheDriveCreate - created ", first,
                                 "H using drive 'a' at address 0102H\n"))
        << HostDebugLog();

    /* A second letter at the same address joins the record; the same pair again changes
     * nothing. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('Z', 0x0102));
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('a', 0x0102));
    EXPECT_EQ(1u, CacheDriveCount);
    EXPECT_EQ(first, Locate('z'));
    EXPECT_TRUE(LoggedWithRecord("added drive 'Z' at address 0102H to ", first, "H\n"))
        << HostDebugLog();
    for (int i = 0; i < 26; i++) {
        EXPECT_EQ(i == 0 || i == 25, first->DriveLetters[i] != FALSE) << i;
    }

    /* Another address is another record; a letter in both is found in the first. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('H', 0xA00F));
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('A', 0xA00F));
    EXPECT_EQ(2u, CacheDriveCount);
    PCACHE_DRIVE second = Locate('h');
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(0xA00F, second->Address);
    EXPECT_TRUE(second->DriveLetters[0]);
    EXPECT_TRUE(HostDebugLogContains("at address A00FH\n")) << HostDebugLog();
    EXPECT_EQ(first, Locate('a'));
    for (CHAR c : outside) {
        EXPECT_EQ(nullptr, Locate(c, STATUS_OBJECT_NAME_NOT_FOUND));
    }
    EXPECT_EQ(nullptr, Locate('y', STATUS_OBJECT_NAME_NOT_FOUND));
}

TEST_F(CacheDriveTable, LockMakesSecondTakerWaitAndReleaseWakesOne) {
    HostThreadScope scope("test");
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('C', 0x10));
    PCACHE_DRIVE drive = Locate('c');
    ASSERT_NE(nullptr, drive);

    /* A release of a free lock leaves it free. */
    TesselCacheDriveRelease(drive);
    EXPECT_FALSE(drive->bLocked);
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive));
    EXPECT_TRUE(drive->bLocked);
    EXPECT_EQ(0, KeReadStateEvent(&drive->LockEvent));

    std::atomic<int> acquired{0}, started{0};
    auto taker = [&] {
        HostThreadScope takerScope("taker");
        started++;
        EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive));
        acquired++;
    };
    std::thread t1(taker);
    std::thread t2(taker);
    while (started.load() < 2) {
        std::this_thread::yield();
    }
    LetOthersRun();
    EXPECT_EQ(0, acquired.load()) << "a held cache drive was taken twice";

    /* One release: every waiter wakes, exactly one gets the lock. */
    for (int taken = 1; taken <= 2; taken++) {
        TesselCacheDriveRelease(drive);
        LetOthersRun();
        EXPECT_EQ(taken, acquired.load());
        EXPECT_TRUE(drive->bLocked);
    }
    t1.join();
    t2.join();

    /* The lock has no owner: a release by anybody frees it. */
    TesselCacheDriveRelease(drive);
    EXPECT_FALSE(drive->bLocked);
    EXPECT_NE(0, KeReadStateEvent(&drive->LockEvent));
}
