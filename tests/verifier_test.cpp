/*
 * verifier_test.cpp - the rules the stand-in's verifier enforces beyond the single calls:
 * lock order over time (a cycle is reported although it never deadlocked), the IRQL of the
 * routines that only run at PASSIVE_LEVEL, fills at DISPATCH_LEVEL and the pools' size.
 */
#include <gtest/gtest.h>

#include <ntddk.h>
#include <standin/io.h>
#include <standin/kernel.h>

#include "test_support.h"

#include <thread>

namespace {

class VerifierTest : public ::testing::Test {
protected:
    void SetUp() override {
        VerifierReports().clear();
        HostVerifierSetFailureHandler(CollectVerifierReport);
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

/* Runs Body at DISPATCH_LEVEL. */
template <typename Body> void AtDispatch(Body &&body) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    body();
    KeLowerIrql(old);
}

UNICODE_STRING gEmpty = {0, 0, nullptr};

} // namespace

TEST_F(VerifierTest, LockOrderCycleIsReportedAlthoughItNeverDeadlocked) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer sees spin locks as mutexes and reports this cycle itself";
#endif
    KSPIN_LOCK a, b, c;
    auto fresh = [&] {
        for (PKSPIN_LOCK lock : {&a, &b, &c}) {
            KeInitializeSpinLock(lock);
        }
    };
    fresh();
    const ULONG cyclesBefore = HostLockOrderCycles();

    /* a -> b and b -> c on other threads, then c -> a here, long after: no deadlock ever
     * happened, and the cycle is found through the graph. */
    std::thread([&] { TakeInOrder(&a, &b); }).join();
    std::thread([&] { TakeInOrder(&b, &c); }).join();
    EXPECT_FALSE(VerifierReported("lock order cycle"));
    TakeInOrder(&c, &a);
    EXPECT_TRUE(VerifierReported("lock order cycle"));
    EXPECT_EQ(cyclesBefore + 1, HostLockOrderCycles());

    /* A lock initialized again is a new lock: its history is gone. */
    VerifierReports().clear();
    fresh();
    TakeInOrder(&b, &a);
    EXPECT_FALSE(VerifierReported("lock order cycle"));
}

TEST_F(VerifierTest, BlockingLocksJoinTheOrderGraph) {
    int cacheLock = 0, tableLock = 0;

    /* Blocking locks nest freely; only the reversed order is a fault. */
    HostLockOrderAcquire(&cacheLock, "cache lock");
    HostLockOrderAcquire(&tableLock, "table lock");
    HostLockOrderRelease(&tableLock);
    HostLockOrderRelease(&cacheLock);
    EXPECT_TRUE(VerifierReports().empty());

    std::thread([&] {
        HostLockOrderAcquire(&tableLock, nullptr);
        HostLockOrderAcquire(&cacheLock, nullptr);
        HostLockOrderRelease(&cacheLock);
        HostLockOrderRelease(&tableLock);
    }).join();
    ASSERT_TRUE(VerifierReported("lock order cycle"));
    EXPECT_TRUE(VerifierReported("cache lock")) << VerifierReports()[0];

    /* Releasing a blocking lock the thread does not hold is a fault of its own. */
    VerifierReports().clear();
    HostLockOrderRelease(&cacheLock);
    EXPECT_TRUE(VerifierReported("does not hold it"));
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
        {"RtlFreeUnicodeString", [] { RtlFreeUnicodeString(&gEmpty); }},
        {"ZwClose", [] { (void)ZwClose(nullptr); }},
        {"ZwReadFile called at IRQL 2", [] { HostVerifierCheckPassive("ZwReadFile"); }},
        {"PAGED_CODE", [] { PAGED_CODE(); }},
        {"ExAllocatePoolWithTag(PagedPool, 16, 'Test') at IRQL 2",
         [] { ExFreePool(ExAllocatePoolWithTag(PagedPool, 16, HostPoolTag("Test"))); }},
    };
    for (const Call &call : calls) {
        SCOPED_TRACE(call.Name);
        VerifierReports().clear();
        AtDispatch(call.Run);
        ASSERT_FALSE(VerifierReports().empty());
        EXPECT_NE(std::string::npos, VerifierReports()[0].find(call.Name)) << VerifierReports()[0];
        EXPECT_NE(std::string::npos, VerifierReports()[0].find("IRQL 2")) << VerifierReports()[0];
    }
    /* Non-paged pool is fine at DISPATCH_LEVEL, and PAGED_CODE at PASSIVE_LEVEL. */
    VerifierReports().clear();
    AtDispatch([] { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, HostPoolTag("Test"))); });
    PAGED_CODE();
    EXPECT_TRUE(VerifierReports().empty());
}

/* Fills at DISPATCH_LEVEL are measured; fills at PASSIVE_LEVEL are not. */
TEST_F(VerifierTest, FillsAtDispatchLevelAreMeasured) {
    static UCHAR buffer[3 * PAGE_SIZE];
    HostResetLargestFillAtDispatch();
    RtlZeroMemory(buffer, sizeof(buffer));
    EXPECT_EQ(0u, HostLargestFillAtDispatch());
    AtDispatch([] {
        RtlFillMemory(buffer, PAGE_SIZE, 0x5A);
        RtlZeroMemory(buffer, 100);
    });
    EXPECT_EQ((SIZE_T)PAGE_SIZE, HostLargestFillAtDispatch());
}

/* The pools are as large as on the 32-bit platform: a request the application sized (a
 * pass-through of 4 GiB) fails as it would there, instead of taking the host's memory. */
TEST_F(VerifierTest, PoolsHaveThePlatformsSize) {
    const ULONG tag = HostPoolTag("Test");
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 0xFFFFFFFFu, tag));
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(PagedPool, 600u << 20, tag));
    void *big = ExAllocatePoolWithTag(NonPagedPool, 200u << 20, tag);
    ASSERT_NE(nullptr, big);
    EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPool, 100u << 20, tag));
    ExFreePool(big);
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 100u << 20, tag)); /* room again */
    EXPECT_TRUE(VerifierReports().empty());
}
