/*
 * kernel_core_test.cpp - the kernel stand-in's contracts the driver relies on: events and
 * time-outs, system threads and their objects, spin locks and IRQL, pool and strings, and the
 * verifier's stops when they are misused.
 */
#include <ntddk.h>
#include <standin/kernel.h>

#include <gtest/gtest.h>

#include "test_support.h"

#include <atomic>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using testing::IsSubstring;

namespace {

constexpr LONGLONG kSecond = 10000000LL; /* 100 ns units */
constexpr LONGLONG kMillisecond = 10000LL;

/* ---- verifier capture ---------------------------------------------------------------------- */

struct VerifierStopped {
    std::string Report;
};

/* Collects the report and unwinds out of the offending call. */
void ThrowingHandler(const char *Report) {
    CollectVerifierReport(Report);
    throw VerifierStopped{Report};
}

/* Runs Body and returns the verifier report it caused ("" when none). */
template <typename Body> std::string StopOf(Body &&body) {
    try {
        body();
    } catch (const VerifierStopped &stopped) {
        return stopped.Report;
    }
    return "";
}

using Job = std::function<void()>;

VOID RunJob(PVOID Context) {
    (*static_cast<Job *>(Context))();
}

LARGE_INTEGER Relative(LONGLONG Units) {
    LARGE_INTEGER t;
    t.QuadPart = -Units;
    return t;
}

class KernelCore : public ::testing::Test {
protected:
    void SetUp() override {
        HostClockUseVirtual();
        VerifierReports().clear();
        HostVerifierSetFailureHandler(ThrowingHandler);
    }

    void TearDown() override {
        EXPECT_TRUE(HostWaitAllSystemThreads(3600 * kSecond)) << HostSystemThreadsReport();
        HostVerifierSetFailureHandler(nullptr);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(HostSpinLocksHeld(), 0u);
    }

    /* Starts a system thread running Body and closes its handle at once: fire and forget. */
    void StartDetached(Job Body) {
        jobs_.push_back(std::make_unique<Job>(std::move(Body)));
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       RunJob, jobs_.back().get()),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }

    /* Waits on the virtual clock, which moves on only when every other known thread is
     * blocked: the system threads have run as far as they can when this returns. */
    static void Settle() {
        LARGE_INTEGER settle = Relative(500 * kMillisecond);
        ASSERT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &settle), STATUS_SUCCESS);
    }

    std::vector<std::unique_ptr<Job>> jobs_;
};

/* ---- events and time-outs ------------------------------------------------------------------ */

/* With two waiters, one set releases one waiter of a synchronization event and resets it, but
 * every waiter of a notification event, which stays set; a set with nobody waiting stays until
 * a wait consumes it (synchronization) or the event is cleared (notification). */
TEST_F(KernelCore, EventsReleaseOneOrAllWaitersByTheirType) {
    HostThreadScope scope("test");
    for (EVENT_TYPE type : {SynchronizationEvent, NotificationEvent}) {
        const bool sync = type == SynchronizationEvent;
        SCOPED_TRACE(sync ? "synchronization" : "notification");
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        std::atomic<int> released{0};
        for (int i = 0; i < 2; ++i) {
            StartDetached([&] {
                KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
                released.fetch_add(1);
            });
        }
        Settle();
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        Settle();
        EXPECT_EQ(released.load(), sync ? 1 : 2);
        EXPECT_EQ(KeReadStateEvent(&event) != 0, !sync);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        ASSERT_TRUE(HostWaitAllSystemThreads(60 * kSecond));

        /* Nobody waits now: the set stays pending until a wait or a clear takes it. */
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(&event) != 0, !sync);
        KeClearEvent(&event);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
}

/* ---- system threads ------------------------------------------------------------------------ */

/* The termination never returns, not even into a raised-status guard around it; a raised status
 * that nothing handles is stopped. */
TEST_F(KernelCore, SystemThreadTerminationPassesGuardsAndAnUnhandledRaiseIsStopped) {
    HostVerifierSetFailureHandler(CollectVerifierReport);
    std::atomic<bool> returned{false};
    StartDetached([&] {
        try {
            PsTerminateSystemThread(STATUS_SUCCESS);
        } catch (const HOST_RAISED_STATUS &) {
        }
        returned = true;
    });
    StartDetached([] { ExRaiseStatus(STATUS_INVALID_PARAMETER); });
    ASSERT_TRUE(HostWaitAllSystemThreads(60 * kSecond));
    EXPECT_FALSE(returned.load()) << "the thread went on after its termination";
    EXPECT_EQ(VerifierReports().size(), 1u);
    EXPECT_TRUE(VerifierReported("unhandled raised status 0xC000000D"));
}

/* ---- IRQL, spin locks and the verifier ----------------------------------------------------- */

/* A spin lock excludes other threads, and a lock another thread holds cannot be released from
 * here. (That it raises to DISPATCH_LEVEL shows in the stops below.) */
TEST_F(KernelCore, SpinLocksExcludeOtherThreadsAndOnlyTheHolderReleasesThem) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0; /* deliberately not atomic: the spin lock must protect it */
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL irql = KfAcquireSpinLock(&lock);
            ++counter;
            KfReleaseSpinLock(&lock, irql);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);

    KIRQL old = KfAcquireSpinLock(&lock);
    std::string foreign;
    std::thread([&] { foreign = StopOf([&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); }); }).join();
    KfReleaseSpinLock(&lock, old);
    EXPECT_PRED_FORMAT2(IsSubstring, "held by another thread", foreign);
    EXPECT_EQ(lock, 0u);
}

TEST_F(KernelCore, WaitsAndDelaysAtDispatchLevelAreStopped) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER timeout = Relative(kSecond);
    LARGE_INTEGER poll = Relative(0);

    KIRQL old = KfAcquireSpinLock(&lock);
    std::string wait =
        StopOf([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout); });
    std::string delay = StopOf([&] { KeDelayExecutionThread(KernelMode, FALSE, &timeout); });
    /* Polling with a zero time-out is allowed at DISPATCH_LEVEL. */
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    KfReleaseSpinLock(&lock, old);
    EXPECT_PRED_FORMAT2(IsSubstring, "KeWaitForSingleObject called at IRQL 2", wait);
    EXPECT_PRED_FORMAT2(IsSubstring, "while holding spin lock", wait);
    EXPECT_PRED_FORMAT2(IsSubstring, "KeDelayExecutionThread called at IRQL 2", delay);

    /* KeSetEvent with Wait = TRUE returns at DISPATCH_LEVEL and owes a wait as the very next
     * call, which gives the caller's level back; any other call is stopped. */
    KEVENT signal;
    KeInitializeEvent(&signal, NotificationEvent, FALSE);
    KeSetEvent(&signal, 0, TRUE);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    std::string skipped = StopOf([&] {
        KeSetEvent(&signal, 0, TRUE);
        KeClearEvent(&signal);
    });
    EXPECT_PRED_FORMAT2(IsSubstring, "KeClearEvent called after KeSetEvent with Wait = TRUE",
                        skipped);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(VerifierReports().size(), 3u);
}

TEST_F(KernelCore, SecondAndRecursiveSpinLocksAreStopped) {
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);
    KIRQL old = KfAcquireSpinLock(&first);
    EXPECT_PRED_FORMAT2(IsSubstring, "acquired while holding spin lock",
                        StopOf([&] { KfAcquireSpinLock(&second); }));
    EXPECT_EQ(second, 0u) << "the second lock must not have been taken";

    /* A recursive acquire is reported and does not deadlock the thread. */
    HostVerifierSetFailureHandler(CollectVerifierReport);
    EXPECT_EQ(KfAcquireSpinLock(&first), DISPATCH_LEVEL);
    ASSERT_EQ(VerifierReports().size(), 2u);
    EXPECT_PRED_FORMAT2(IsSubstring, "recursive", VerifierReports()[1]);
    HostVerifierSetFailureHandler(ThrowingHandler);
    KfReleaseSpinLock(&first, old);
}

/* Each misuse is stopped with a report that names it. */
TEST_F(KernelCore, MisusesOfEventsLocksPoolAndHandlesAreStopped) {
    KEVENT zeroed{}; /* as in a zero-filled device extension */
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    int local = 0;
    PVOID freed = ExAllocatePoolWithTag(NonPagedPool, 8, HostPoolTag("Mine"));
    PVOID mine = ExAllocatePoolWithTag(NonPagedPool, 8, HostPoolTag("Mine"));
    ExFreePool(freed);
    HANDLE closed = HostHandleCreate(HOST_HANDLE_FILE, &local, [](void *) {});
    EXPECT_EQ(ZwClose(closed), STATUS_SUCCESS);
    struct Row {
        std::function<void()> Misuse;
        const char *Report;
    };
    const Row rows[] = {
        {[&] { KeSetEvent(&zeroed, IO_NO_INCREMENT, FALSE); }, "never initialized"},
        {[&] { KeWaitForSingleObject(&zeroed, Executive, KernelMode, FALSE, nullptr); },
         "never initialized"},
        {[&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); }, "not held at all"},
        {[] { KeLowerIrql(DISPATCH_LEVEL); }, "KeLowerIrql to IRQL 2 above the current IRQL 0"},
        {[&] { ExFreePool(freed); }, "not allocated pool"},
        {[&] { ExFreePool(&local); }, "not allocated pool"},
        {[&] { ExFreePoolWithTag(mine, HostPoolTag("Else")); }, "allocated with tag 'Mine'"},
        {[&] { ZwClose(closed); }, "not an open handle"},
        {[&] { ObDereferenceObject(&local); }, "not a known object"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Report);
        EXPECT_PRED_FORMAT2(IsSubstring, row.Report, StopOf(row.Misuse));
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    EXPECT_EQ(VerifierReports().size(), std::size(rows));
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("Mine")), 0u)
        << "a block is freed even when the tag is wrong";
}

/* ---- pool and strings ---------------------------------------------------------------------- */

/* Pool comes with the fresh-pool fill, cache-aligned pool on a page; pool and system threads
 * left over fail the shutdown check, which names them. */
TEST_F(KernelCore, PoolAndThreadsLeftOverFailTheShutdownCheck) {
    HostThreadScope scope("test");
    const ULONG tag = HostPoolTag("BrnX");
    PVOID a = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 156672, tag);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 100, tag);
    ASSERT_TRUE(a != nullptr && b != nullptr);
    EXPECT_EQ((ULONG_PTR)a % PAGE_SIZE, 0u) << "cache-aligned pool must be page-aligned";
    EXPECT_EQ(((UCHAR *)b)[99], HOST_POOL_FRESH_FILL);
    ExFreePool(b);

    KEVENT stop;
    KeInitializeEvent(&stop, SynchronizationEvent, FALSE);
    StartDetached([&] { KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr); });
    std::string shutdown;
    EXPECT_FALSE(HostKernelShutdownCheck(&shutdown));
    EXPECT_PRED_FORMAT2(IsSubstring, "'BrnX' (0x586E7242): 1 allocation(s), 156672 bytes",
                        shutdown);
    EXPECT_PRED_FORMAT2(IsSubstring, "system thread", shutdown);
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    ExFreePoolWithTag(a, tag);
    EXPECT_TRUE(HostKernelShutdownCheck(&shutdown)) << shutdown;
}

/* The conversion into the caller's buffer needs room for the terminating null. */
TEST_F(KernelCore, AnsiToUnicodeConversionFillsTheCallersBufferOrOverflows) {
    ANSI_STRING ansi;
    RtlInitString(&ansi, "\\??\\D:\\dis\xE9.iso");
    WCHAR buffer[16];
    const size_t poolBefore = HostPoolCountInUse();
    for (USHORT room : {30, 32}) { /* the 15 characters only, or with the null */
        SCOPED_TRACE(room);
        buffer[0] = u'#';
        UNICODE_STRING unicode = {0, room, buffer};
        EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE),
                  room == 32 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(unicode.Length, room == 32 ? 30 : 0);
        EXPECT_EQ(buffer[0], room == 32 ? u'\\' : u'#');
    }
    EXPECT_EQ(HostPoolCountInUse(), poolBefore) << "no allocation into the caller's buffer";
    EXPECT_EQ(std::u16string(buffer), u"\\??\\D:\\dis\u00E9.iso") << "bytes above 0x7F one to one";
}

} // namespace
