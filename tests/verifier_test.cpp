/*
 * verifier_test.cpp - the rules the stand-in's verifier enforces beyond the single calls:
 * lock order over time (a cycle is reported although it never deadlocked), the IRQL of the
 * routines that only run at PASSIVE_LEVEL, fills at DISPATCH_LEVEL and the pools' size.
 */
#include <gtest/gtest.h>

#include <ntddk.h>
#include <standin/io.h>
#include <standin/kernel.h>

#include <string.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> gReports;

void CollectReport(const char *Report) {
    gReports.push_back(Report);
}

bool Reported(const char *Text) {
    for (const std::string &report : gReports) {
        if (report.find(Text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class VerifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        gReports.clear();
        HostVerifierSetFailureHandler(CollectReport);
    }
    void TearDown() override { HostVerifierSetFailureHandler(nullptr); }
};

/* Takes First then Second (the nesting itself is a stop the handler lets pass). */
void TakeInOrder(PKSPIN_LOCK First, PKSPIN_LOCK Second) {
    KIRQL outer, inner;
    KeAcquireSpinLock(First, &outer);
    KeAcquireSpinLock(Second, &inner);
    KeReleaseSpinLock(Second, inner);
    KeReleaseSpinLock(First, outer);
}

} // namespace

TEST_F(VerifierTest, LockOrderCycleIsReportedAlthoughItNeverDeadlocked) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer sees spin locks as mutexes and reports this cycle itself";
#endif
    KSPIN_LOCK a, b, c;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    const ULONG cyclesBefore = HostLockOrderCycles();

    /* a -> b on one thread, then b -> a on another, long after: no deadlock ever happened. */
    std::thread first([&] { TakeInOrder(&a, &b); });
    first.join();
    EXPECT_FALSE(Reported("lock order cycle"));
    std::thread second([&] { TakeInOrder(&b, &a); });
    second.join();
    EXPECT_TRUE(Reported("lock order cycle"));
    EXPECT_EQ(cyclesBefore + 1, HostLockOrderCycles());

    /* A longer cycle a -> b -> c -> a is found through the graph. */
    gReports.clear();
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    TakeInOrder(&a, &b);
    TakeInOrder(&b, &c);
    EXPECT_FALSE(Reported("lock order cycle"));
    TakeInOrder(&c, &a);
    EXPECT_TRUE(Reported("lock order cycle"));

    /* A lock initialized again is a new lock: its history is gone. */
    gReports.clear();
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
    TakeInOrder(&b, &a);
    EXPECT_FALSE(Reported("lock order cycle"));
    EXPECT_EQ(0u, HostSpinLocksHeld());
}

TEST_F(VerifierTest, BlockingLocksJoinTheOrderGraph) {
    int cacheLock = 0, tableLock = 0;

    /* Blocking locks nest freely; only the reversed order is a fault. */
    HostLockOrderAcquire(&cacheLock, "cache lock");
    HostLockOrderAcquire(&tableLock, "table lock");
    HostLockOrderRelease(&tableLock);
    HostLockOrderRelease(&cacheLock);
    EXPECT_TRUE(gReports.empty());

    std::thread other([&] {
        HostLockOrderAcquire(&tableLock, nullptr);
        HostLockOrderAcquire(&cacheLock, nullptr);
        HostLockOrderRelease(&cacheLock);
        HostLockOrderRelease(&tableLock);
    });
    other.join();
    ASSERT_TRUE(Reported("lock order cycle"));
    EXPECT_TRUE(Reported("cache lock")) << gReports[0];

    /* Releasing a blocking lock the thread does not hold is a fault of its own. */
    gReports.clear();
    HostLockOrderRelease(&cacheLock);
    EXPECT_TRUE(Reported("does not hold it"));
    HostLockOrderForget(&cacheLock);
    HostLockOrderForget(&tableLock);
}

TEST_F(VerifierTest, PassiveLevelRoutinesAndPagedPoolStopAtDispatchLevel) {
    struct Call {
        const char *Name;
        void (*Run)();
    };
    const Call calls[] = {
        {"IoBuildDeviceIoControlRequest",
         [] {
             (void)IoBuildDeviceIoControlRequest(0, nullptr, nullptr, 0, nullptr, 0, FALSE, nullptr,
                                                 nullptr);
         }},
        {"IoDeleteDevice", [] { IoDeleteDevice(nullptr); }},
        {"IoDetachDevice", [] { IoDetachDevice(nullptr); }},
        {"PsRevertToSelf", [] { PsRevertToSelf(); }},
        {"RtlFreeUnicodeString",
         [] {
             UNICODE_STRING empty = {0, 0, nullptr};
             RtlFreeUnicodeString(&empty);
         }},
        {"ZwClose", [] { (void)ZwClose(nullptr); }},
        {"ZwReadFile called at IRQL 2", [] { HostVerifierCheckPassive("ZwReadFile"); }},
        {"PAGED_CODE", [] { PAGED_CODE(); }},
        {"ExAllocatePoolWithTag(PagedPool, 16, 'Test') at IRQL 2",
         [] { ExFreePool(ExAllocatePoolWithTag(PagedPool, 16, HostPoolTag("Test"))); }},
    };
    for (const Call &call : calls) {
        SCOPED_TRACE(call.Name);
        gReports.clear();
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        call.Run();
        KeLowerIrql(old);
        ASSERT_FALSE(gReports.empty());
        EXPECT_NE(std::string::npos, gReports[0].find(call.Name)) << gReports[0];
        EXPECT_NE(std::string::npos, gReports[0].find("IRQL 2")) << gReports[0];
    }
    /* Non-paged pool is fine at DISPATCH_LEVEL, and PAGED_CODE at PASSIVE_LEVEL. */
    gReports.clear();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, HostPoolTag("Test")));
    KeLowerIrql(old);
    PAGED_CODE();
    EXPECT_TRUE(gReports.empty());
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("Test")), 0u);
}

/* Fills at DISPATCH_LEVEL are measured; fills at PASSIVE_LEVEL are not. */
TEST_F(VerifierTest, FillsAtDispatchLevelAreMeasured) {
    static UCHAR buffer[3 * PAGE_SIZE];
    HostResetLargestFillAtDispatch();
    RtlZeroMemory(buffer, sizeof(buffer));
    EXPECT_EQ(0u, HostLargestFillAtDispatch());
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    RtlFillMemory(buffer, PAGE_SIZE, 0x5A);
    RtlZeroMemory(buffer, 100);
    KeLowerIrql(old);
    EXPECT_EQ((SIZE_T)PAGE_SIZE, HostLargestFillAtDispatch());
    EXPECT_EQ(0, buffer[99]);
    EXPECT_EQ(0x5A, buffer[100]);
    HostResetLargestFillAtDispatch();
    EXPECT_EQ(0u, HostLargestFillAtDispatch());
}

/* The pools are as large as on the 32-bit platform: a request the application sized (a
 * pass-through of 4 GiB) fails as it would there, instead of taking the host's memory. */
TEST_F(VerifierTest, PoolsHaveThePlatformsSize) {
    EXPECT_EQ(nullptr,
              ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 0xFFFFFFFFu, HostPoolTag("Test")));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(PagedPool, 600u << 20, HostPoolTag("Test")));
    void *big = ExAllocatePoolWithTag(NonPagedPool, 200u << 20, HostPoolTag("Test"));
    ASSERT_NE(nullptr, big);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 100u << 20, HostPoolTag("Test")));
    ExFreePool(big);
    void *again = ExAllocatePoolWithTag(NonPagedPool, 100u << 20, HostPoolTag("Test"));
    EXPECT_NE(nullptr, again);
    ExFreePool(again);
    EXPECT_TRUE(gReports.empty());
}
