/*
 * kernel_core_test.cpp - the kernel stand-in's contracts the driver relies on: events and
 * time-outs, system threads and their objects, spin locks and IRQL, pool and strings, and the
 * verifier's stops when they are misused.
 */
#include <ntddk.h>
#include <standin/kernel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sched.h>

namespace {

constexpr LONGLONG kSecond = 10000000LL; /* 100 ns units */
constexpr LONGLONG kMillisecond = 10000LL;

/* ---- verifier capture ---------------------------------------------------------------------- */

struct VerifierStopped {
    std::string Report;
};

std::mutex g_reportsLock;
std::vector<std::string> g_reports;

void RecordReport(const char *Report) {
    std::lock_guard<std::mutex> lock(g_reportsLock);
    g_reports.push_back(Report);
}

/* Records the report and unwinds out of the offending call. */
void ThrowingHandler(const char *Report) {
    RecordReport(Report);
    throw VerifierStopped{Report};
}

/* Records the report and lets the offending call go on. */
void RecordingHandler(const char *Report) {
    RecordReport(Report);
}

std::vector<std::string> Reports() {
    std::lock_guard<std::mutex> lock(g_reportsLock);
    return g_reports;
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

struct Job {
    std::function<void()> Body;
};

VOID RunJob(PVOID Context) {
    static_cast<Job *>(Context)->Body();
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
        {
            std::lock_guard<std::mutex> lock(g_reportsLock);
            g_reports.clear();
        }
        previous_ = HostVerifierSetFailureHandler(ThrowingHandler);
    }

    void TearDown() override {
        EXPECT_TRUE(HostWaitAllSystemThreads(3600 * kSecond)) << HostSystemThreadsReport();
        jobs_.clear();
        HostVerifierSetFailureHandler(previous_);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(HostSpinLocksHeld(), 0u);
    }

    /* Starts a system thread running Body and closes its handle at once: fire and forget. */
    void StartDetached(std::function<void()> Body) {
        jobs_.push_back(std::make_unique<Job>(Job{std::move(Body)}));
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                       RunJob, jobs_.back().get()),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    }

    /* Polls (1 ms stand-in delays) until Condition holds; fails after 10^6 polls. */
    template <typename Condition> void PollUntil(Condition &&condition) {
        LARGE_INTEGER interval = Relative(kMillisecond);
        for (int i = 0; i < 1000000; ++i) {
            if (condition()) {
                return;
            }
            ASSERT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
        }
        FAIL() << "condition never became true";
    }

    /* Threads blocked in a stand-in wait on Object. */
    static size_t WaitersOn(const void *Object) {
        char needle[64];
        snprintf(needle, sizeof needle, " %p", Object);
        std::string report = HostSchedulerReport();
        size_t count = 0;
        for (size_t at = report.find(needle); at != std::string::npos;
             at = report.find(needle, at + 1)) {
            ++count;
        }
        return count;
    }

    HOST_VERIFIER_FAILURE_HANDLER previous_ = nullptr;
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
                EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                          STATUS_SUCCESS);
                released.fetch_add(1);
            });
        }
        PollUntil([&] { return WaitersOn(&event) == 2; });
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
        PollUntil([&] { return released.load() >= 1; });
        LARGE_INTEGER settle = Relative(500 * kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &settle);
        EXPECT_EQ(released.load(), sync ? 1 : 2);
        EXPECT_EQ(KeReadStateEvent(&event) != 0, !sync);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        PollUntil([&] { return released.load() == 2; });
        ASSERT_TRUE(HostWaitAllSystemThreads(60 * kSecond));

        /* Nobody waits now: the set stays pending until a wait or a clear takes it. */
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(&event) != 0, !sync);
        KeClearEvent(&event);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    }
}

TEST_F(KernelCore, ADeadlockOnTheVirtualClockIsReported) {
    KEVENT never, release;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    StartDetached([&] { KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, nullptr); });
    ULONG before = HostSchedulerDeadlockCount();
    /* An application thread waits for an event nobody will set, with no time-out. */
    std::thread stuck([&] {
        HostThreadScope scope("stuck application");
        KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    });
    for (int i = 0; i < 3000 && HostSchedulerDeadlockCount() == before; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(HostSchedulerDeadlockCount(), before + 1);
    EXPECT_NE(HostSchedulerReport().find("stuck application in KeWaitForSingleObject"),
              std::string::npos);
    KeSetEvent(&never, IO_NO_INCREMENT, FALSE);
    stuck.join();
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
}

/* ---- system threads ------------------------------------------------------------------------ */

TEST_F(KernelCore, PsTerminateSystemThreadPassesThroughRaisedStatusGuards) {
    HostThreadScope scope("test");
    std::atomic<bool> guardCaught{false}, afterTerminate{false}, afterGuard{false};
    std::atomic<NTSTATUS> raised{0};
    StartDetached([&] {
        try {
            ExRaiseStatus(STATUS_ACCESS_VIOLATION);
        } catch (const HOST_RAISED_STATUS &status) {
            raised = status.Status;
        }
        try {
            PsTerminateSystemThread(STATUS_SUCCESS);
            afterTerminate = true;
        } catch (const HOST_RAISED_STATUS &) {
            guardCaught = true;
        }
        afterGuard = true;
    });
    ASSERT_TRUE(HostWaitAllSystemThreads(60 * kSecond));
    EXPECT_EQ(raised.load(), STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(afterTerminate.load());
    EXPECT_FALSE(guardCaught.load()) << "a raised-status guard swallowed the termination";
    EXPECT_FALSE(afterGuard.load());
}

TEST_F(KernelCore, UnhandledRaisedStatusInASystemThreadIsStopped) {
    HostVerifierSetFailureHandler(RecordingHandler);
    StartDetached([] { ExRaiseStatus(STATUS_INVALID_PARAMETER); });
    ASSERT_TRUE(HostWaitAllSystemThreads(60 * kSecond));
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].find("unhandled raised status 0xC000000D"), std::string::npos)
        << reports[0];
}

/* ---- IRQL, spin locks and the verifier ----------------------------------------------------- */

TEST_F(KernelCore, SpinLocksRaiseToDispatchLevelAndExcludeOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KfAcquireSpinLock(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KfReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    long counter = 0; /* deliberately not atomic: the spin lock must protect it */
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            ++counter;
            KeReleaseSpinLock(&lock, irql);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);

    /* A lock another thread holds cannot be released from here. */
    std::atomic<bool> taken{false}, done{false};
    std::thread holder([&] {
        KIRQL irql = KfAcquireSpinLock(&lock);
        taken = true;
        while (!done.load()) {
            sched_yield();
        }
        KfReleaseSpinLock(&lock, irql);
    });
    while (!taken.load()) {
        sched_yield();
    }
    std::string foreign = StopOf([&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); });
    done = true;
    holder.join();
    EXPECT_NE(foreign.find("held by another thread"), std::string::npos) << foreign;
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
    std::string forever =
        StopOf([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    std::string delay = StopOf([&] { KeDelayExecutionThread(KernelMode, FALSE, &timeout); });
    /* Polling with a zero time-out is allowed at DISPATCH_LEVEL. */
    std::string polled = StopOf([&] {
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll),
                  STATUS_SUCCESS);
    });
    KfReleaseSpinLock(&lock, old);

    EXPECT_NE(wait.find("KeWaitForSingleObject called at IRQL 2"), std::string::npos) << wait;
    EXPECT_NE(wait.find("while holding spin lock"), std::string::npos) << wait;
    EXPECT_NE(forever.find("KeWaitForSingleObject"), std::string::npos) << forever;
    EXPECT_NE(delay.find("KeDelayExecutionThread called at IRQL 2"), std::string::npos) << delay;
    EXPECT_EQ(polled, "");

    /* KeSetEvent with Wait = TRUE returns at DISPATCH_LEVEL and owes a wait as the very next
     * call, which gives the caller's level back; any other call is stopped. */
    KEVENT signal;
    KeInitializeEvent(&signal, NotificationEvent, FALSE);
    std::string waited = StopOf([&] {
        KeSetEvent(&signal, 0, TRUE);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS);
    });
    EXPECT_EQ(waited, "");
    std::string skipped = StopOf([&] {
        KeSetEvent(&signal, 0, TRUE);
        KeClearEvent(&signal);
    });
    EXPECT_NE(skipped.find("KeClearEvent called after KeSetEvent with Wait = TRUE"),
              std::string::npos)
        << skipped;
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(Reports().size(), 4u);
}

TEST_F(KernelCore, SecondAndRecursiveSpinLocksAreStopped) {
    KSPIN_LOCK first, second;
    KeInitializeSpinLock(&first);
    KeInitializeSpinLock(&second);

    KIRQL old = KfAcquireSpinLock(&first);
    std::string nested = StopOf([&] { KfAcquireSpinLock(&second); });
    EXPECT_NE(nested.find("acquired while holding spin lock"), std::string::npos) << nested;
    EXPECT_EQ(second, 0u) << "the second lock must not have been taken";

    /* A recursive acquire is reported and does not deadlock the thread. */
    HostVerifierSetFailureHandler(RecordingHandler);
    EXPECT_EQ(KfAcquireSpinLock(&first), DISPATCH_LEVEL);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find("recursive"), std::string::npos) << reports[1];
    HostVerifierSetFailureHandler(ThrowingHandler);
    KfReleaseSpinLock(&first, old);
}

/* Each misuse is stopped with a report that names it. */
TEST_F(KernelCore, MisusesOfEventsLocksPoolAndHandlesAreStopped) {
    KEVENT zeroed; /* as in a zero-filled device extension */
    memset(&zeroed, 0, sizeof zeroed);
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
        std::string report = StopOf(row.Misuse);
        EXPECT_NE(report.find(row.Report), std::string::npos) << report;
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    EXPECT_EQ(Reports().size(), std::size(rows));
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("Mine")), 0u)
        << "a block is freed even when the tag is wrong";
}

/* ---- pool and strings ---------------------------------------------------------------------- */

TEST_F(KernelCore, PoolIsAccountedByTagAndLeftoversAreReportedAtShutdown) {
    HostThreadScope scope("test");
    const ULONG buffers = HostPoolTag("BrnX");
    const ULONG scsi = HostPoolTag("ScUn");
    PVOID a = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 156672, buffers);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 100, scsi);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 28, scsi);
    ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
    EXPECT_EQ((ULONG_PTR)a % PAGE_SIZE, 0u) << "cache-aligned pool must be page-aligned";
    EXPECT_EQ(((UCHAR *)b)[0], HOST_POOL_FRESH_FILL);
    EXPECT_EQ(((UCHAR *)b)[99], HOST_POOL_FRESH_FILL);
    EXPECT_EQ(HostPoolBytesInUse(buffers), 156672u);
    EXPECT_EQ(HostPoolCountInUse(scsi), 2u);
    ExFreePool(b);
    std::string report = HostPoolReport();
    EXPECT_NE(report.find("'BrnX' (0x586E7242): 1 allocation(s), 156672 bytes"), std::string::npos)
        << report;
    EXPECT_NE(report.find("'ScUn' (0x6E556353): 1 allocation(s), 28 bytes"), std::string::npos)
        << report;

    /* A system thread that never ends is a leftover too. */
    KEVENT stop;
    KeInitializeEvent(&stop, SynchronizationEvent, FALSE);
    StartDetached([&] { KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_FALSE(HostWaitAllSystemThreads(5 * kSecond));
    EXPECT_NE(HostSystemThreadsReport().find("synchronization event"), std::string::npos);
    std::string shutdown;
    EXPECT_FALSE(HostKernelShutdownCheck(&shutdown));
    EXPECT_NE(shutdown.find("'BrnX'"), std::string::npos) << shutdown;
    EXPECT_NE(shutdown.find("system thread"), std::string::npos) << shutdown;

    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(HostWaitAllSystemThreads(60 * kSecond));
    ExFreePoolWithTag(a, buffers);
    ExFreePool(c);
    EXPECT_EQ(HostPoolReport(), "");
    EXPECT_TRUE(HostKernelShutdownCheck(&shutdown)) << shutdown;
}

/* The conversion into the caller's buffer needs room for the terminating null. */
TEST_F(KernelCore, AnsiToUnicodeConversionFillsTheCallersBufferOrOverflows) {
    ANSI_STRING ansi;
    RtlInitString(&ansi, "\\??\\D:\\dis\xE9.iso");
    WCHAR buffer[16];
    for (USHORT room : {30, 32}) { /* 15 characters and the null, or only the characters */
        SCOPED_TRACE(room);
        buffer[0] = u'#';
        UNICODE_STRING unicode = {0, room, buffer};
        size_t poolBefore = HostPoolCountInUse();
        EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE),
                  room == 32 ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(HostPoolCountInUse(), poolBefore) << "no allocation into the caller's buffer";
        EXPECT_EQ(unicode.Length, room == 32 ? 30 : 0);
        EXPECT_EQ(buffer[0], room == 32 ? u'\\' : u'#');
    }
    EXPECT_EQ(std::u16string(buffer), u"\\??\\D:\\dis\u00E9.iso") << "bytes above 0x7F one to one";
}

} // namespace
