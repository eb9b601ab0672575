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

    static PCACHE_DRIVE Locate(CHAR Letter, NTSTATUS *Status = nullptr) {
        PCACHE_DRIVE drive = reinterpret_cast<PCACHE_DRIVE>(static_cast<uintptr_t>(0x1234));
        const NTSTATUS status = TesselCacheDriveLocate(Letter, &drive);
        if (Status != nullptr) {
            *Status = status;
        }
        return drive;
    }

    static std::string Hex8(const void *P) {
        char text[16];
        snprintf(text, sizeof(text), "%08X", (unsigned)(uintptr_t)P);
        return text;
    }

    /* Lets every other known thread run until it blocks or ends. */
    static void LetOthersRun() {
        LARGE_INTEGER delay;
        delay.QuadPart = CDW_RELATIVE_MS(1);
        (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
};

} // namespace

TEST_F(CacheDriveTable, EmptyTableFindsNothingAndLocksNothing) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(nullptr, Locate('d', &status));
    EXPECT_EQ(STATUS_SUCCESS, status);
    EXPECT_EQ(nullptr, Locate('#', &status));
    EXPECT_EQ(STATUS_SUCCESS, status);

    /* Acquire and release of NULL return at once, also with a table. */
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(nullptr));
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(nullptr));
    TesselCacheDriveRelease(nullptr);
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('E', 0x0001));
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(nullptr));
    TesselCacheDriveRelease(nullptr);
}

TEST_F(CacheDriveTable, CreateFindsOrCreatesByAddressAndLettersIgnoreCase) {
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('D', 0x0102));
    EXPECT_EQ(1u, CacheDriveCount);
    PCACHE_DRIVE first = Locate('d');
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(first, Locate('D'));
    EXPECT_EQ(0x0102, first->Address);
    EXPECT_FALSE(first->bLocked);
    EXPECT_EQ(0, KeReadStateEvent(&first->LockEvent));
    EXPECT_TRUE(HostDebugLogContains(("Burnkit: TesselCacheDriveCreate - created " + Hex8(first) +
                                      "H using drive 'D' at address 0102H\n")
                                         .c_str()))
        << HostDebugLog();

    /* A second letter at the same address joins the record. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('e', 0x0102));
    EXPECT_EQ(1u, CacheDriveCount);
    EXPECT_EQ(first, Locate('E'));
    EXPECT_TRUE(HostDebugLogContains(("Burnkit: TesselCacheDriveCreate - added drive 'e' at "
                                      "address 0102H to " +
                                      Hex8(first) + "H\n")
                                         .c_str()))
        << HostDebugLog();

    /* The same letter and address again changes nothing. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('D', 0x0102));
    EXPECT_EQ(1u, CacheDriveCount);
    for (int i = 0; i < 26; i++) {
        EXPECT_EQ(i == 3 || i == 4, first->DriveLetters[i] != FALSE) << i;
    }

    /* Another address is another record. */
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('F', 0xA00F));
    EXPECT_EQ(2u, CacheDriveCount);
    PCACHE_DRIVE second = Locate('f');
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    EXPECT_EQ(0xA00F, second->Address);
    EXPECT_TRUE(HostDebugLogContains("at address A00FH\n")) << HostDebugLog();
}

TEST_F(CacheDriveTable, LookupsReturnFirstRecordAndMissesLeaveNull) {
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('G', 1));
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('H', 2));
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('g', 2)); /* G now in both records */
    PCACHE_DRIVE byH = Locate('H');
    ASSERT_NE(nullptr, byH);
    EXPECT_EQ(2, byH->Address);
    PCACHE_DRIVE byG = Locate('g');
    ASSERT_NE(nullptr, byG);
    EXPECT_EQ(1, byG->Address);
    EXPECT_TRUE(byH->DriveLetters['g' - 'a']);

    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(nullptr, Locate('z', &status));
    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status);
}

TEST_F(CacheDriveTable, CharactersOutsideTheAlphabetNeverIndexTheTable) {
    const CHAR outside[] = {
        '@', '[', '`', '{', '0', ':', '\0', '\\', static_cast<CHAR>(0xC4), static_cast<CHAR>(0xFF)};
    for (CHAR c : outside) {
        EXPECT_EQ(STATUS_INVALID_PARAMETER, TesselCacheDriveCreate(c, 7)) << int(c);
    }
    EXPECT_EQ(0u, CacheDriveCount);
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn")));

    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('a', 7));
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('Z', 7));
    for (CHAR c : outside) {
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(nullptr, Locate(c, &status)) << int(c);
        EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, status) << int(c);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, TesselCacheDriveCreate(c, 7)) << int(c);
    }
    PCACHE_DRIVE drive = Locate('A');
    ASSERT_NE(nullptr, drive);
    EXPECT_EQ(drive, Locate('z'));
    for (int i = 1; i < 25; i++) {
        EXPECT_FALSE(drive->DriveLetters[i]) << i;
    }
}

TEST_F(CacheDriveTable, CreationFailsCleanlyWithoutPool) {
    HostPoolFailTag(HostPoolTag("ScUn"), 1);
    HostDebugLogClear();
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, TesselCacheDriveCreate('Q', 3));
    EXPECT_EQ(0u, CacheDriveCount);
    EXPECT_TRUE(HostDebugMessages().empty()) << HostDebugLog();
    HostPoolClearFailures();
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('Q', 3));
    EXPECT_EQ(1u, CacheDriveCount);
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

    std::atomic<int> acquired{0};
    std::atomic<int> started{0};
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
    TesselCacheDriveRelease(drive);
    LetOthersRun();
    EXPECT_EQ(1, acquired.load());
    EXPECT_TRUE(drive->bLocked);

    TesselCacheDriveRelease(drive);
    LetOthersRun();
    EXPECT_EQ(2, acquired.load());
    t1.join();
    t2.join();

    /* The lock has no owner: a release by anybody frees it. */
    TesselCacheDriveRelease(drive);
    EXPECT_FALSE(drive->bLocked);
    EXPECT_NE(0, KeReadStateEvent(&drive->LockEvent));
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveAcquire(drive));
    TesselCacheDriveRelease(drive);
}

TEST_F(CacheDriveTable, FreeAllEmptiesTheTable) {
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('M', 1));
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('N', 2));
    ASSERT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('O', 3));
    EXPECT_EQ(3u, HostPoolCountInUse(HostPoolTag("ScUn")));
    TesselCacheDriveFreeAll();
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn")));
    EXPECT_EQ(0u, CacheDriveCount);
    EXPECT_TRUE(IsListEmpty(&CacheDriveList));
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(nullptr, Locate('M', &status));
    EXPECT_EQ(STATUS_SUCCESS, status);
}
