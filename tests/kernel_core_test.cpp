/*
 * kernel_core_test.cpp - the kernel stand-in's core as the driver relies on it: events and
 * waits on the virtual clock, system threads and their termination, IRQL and spin locks under
 * the verifier, pool accounting and failure injection, strings, handles and debug output.
 */
#include <ntddk.h>
#include <standin/kernel.h>

#include <gtest/gtest.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
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

/* ---- system threads from lambdas ---------------------------------------------------------- */

struct Job {
    std::function<void()> Body;
};

VOID RunJob(PVOID Context) {
    static_cast<Job *>(Context)->Body();
}

class KernelCore : public ::testing::Test {
protected:
    void SetUp() override {
        HostClockUseVirtual();
        HostPoolClearFailures();
        {
            std::lock_guard<std::mutex> lock(g_reportsLock);
            g_reports.clear();
        }
        previous_ = HostVerifierSetFailureHandler(ThrowingHandler);
    }

    void TearDown() override {
        EXPECT_TRUE(HostWaitAllSystemThreads(3600 * kSecond)) << HostSystemThreadsReport();
        jobs_.clear();
        HostPoolClearFailures();
        HostVerifierSetFailureHandler(previous_);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        EXPECT_EQ(HostSpinLocksHeld(), 0u);
    }

    /* Starts a system thread running Body; returns its handle. */
    HANDLE Start(std::function<void()> Body) {
        jobs_.push_back(std::make_unique<Job>(Job{std::move(Body)}));
        HANDLE handle = nullptr;
        NTSTATUS status = PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr,
                                               nullptr, RunJob, jobs_.back().get());
        EXPECT_EQ(status, STATUS_SUCCESS);
        return handle;
    }

    /* Starts a system thread and keeps only its handle closed: fire and forget. */
    void StartDetached(std::function<void()> Body) { EXPECT_EQ(ZwClose(Start(Body)), 0); }

    /* Polls (1 ms stand-in delays) until Condition holds; fails after 10^6 polls. */
    template <typename Condition> void PollUntil(Condition &&condition) {
        LARGE_INTEGER interval;
        interval.QuadPart = -kMillisecond;
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

LARGE_INTEGER Relative(LONGLONG Units) {
    LARGE_INTEGER t;
    t.QuadPart = -Units;
    return t;
}

/* ---- events -------------------------------------------------------------------------------- */

TEST_F(KernelCore, SynchronizationEventReleasesOneWaiterAndStaysSetWithoutWaiters) {
    HostThreadScope scope("test");
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;

    /* A set with nobody waiting stays pending until exactly one wait consumes it. */
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    /* With two waiters, each set releases exactly one of them. */
    std::atomic<int> released{0};
    for (int i = 0; i < 2; ++i) {
        StartDetached([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            released.fetch_add(1);
        });
    }
    PollUntil([&] { return WaitersOn(&event) == 2; });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    PollUntil([&] { return released.load() == 1; });
    LARGE_INTEGER settle = Relative(500 * kMillisecond);
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    EXPECT_EQ(released.load(), 1);
    EXPECT_EQ(WaitersOn(&event), 1u);
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait must reset the event";
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    PollUntil([&] { return released.load() == 2; });
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(KernelCore, NotificationEventReleasesAllWaitersAndStaysSetUntilCleared) {
    HostThreadScope scope("test");
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> released{0};
    for (int i = 0; i < 3; ++i) {
        StartDetached([&] {
            EXPECT_EQ(KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr),
                      STATUS_SUCCESS);
            released.fetch_add(1);
        });
    }
    PollUntil([&] { return WaitersOn(&event) == 3; });
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    PollUntil([&] { return released.load() == 3; });
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&event), 0) << "a wait must not reset a notification event";

    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
}

TEST_F(KernelCore, EventsThatWereNeverInitializedAreStopped) {
    KEVENT event;
    memset(&event, 0, sizeof event); /* a zero-filled device extension */
    std::string report = StopOf([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    EXPECT_NE(report.find("never initialized"), std::string::npos) << report;
    report = StopOf([&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_NE(report.find("never initialized"), std::string::npos) << report;
}

/* ---- virtual clock ------------------------------------------------------------------------- */

TEST_F(KernelCore, LongRelativeTimeoutsExpireOnTheVirtualClock) {
    HostThreadScope scope("test");
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);

    LONGLONG start = HostClockNow();
    LARGE_INTEGER timeout = Relative(300 * kSecond);
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_GE(HostClockNow() - start, 300 * kSecond);

    /* The same from a system thread, while this thread waits for it without a time-out. */
    start = HostClockNow();
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    HANDLE handle = Start([&] {
        LARGE_INTEGER t = Relative(500 * kSecond);
        result = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
    });
    PVOID thread = nullptr;
    ASSERT_EQ(
        ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObDereferenceObject(thread);
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    EXPECT_GE(HostClockNow() - start, 500 * kSecond);

    /* A delay moves the clock by at least its interval too. */
    start = HostClockNow();
    LARGE_INTEGER delay = Relative(30 * kSecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    EXPECT_GE(HostClockNow() - start, 30 * kSecond);
}

TEST_F(KernelCore, TheClockJumpsToTheEarliestDeadlineFirst) {
    HostThreadScope scope("test");
    LONGLONG start = HostClockNow();
    std::atomic<LONGLONG> shortEnded{0}, longEnded{0};
    StartDetached([&] {
        LARGE_INTEGER t = Relative(10 * kSecond);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        longEnded = HostClockNow();
    });
    StartDetached([&] {
        LARGE_INTEGER t = Relative(5 * kSecond);
        KeDelayExecutionThread(KernelMode, FALSE, &t);
        shortEnded = HostClockNow();
    });
    ASSERT_TRUE(HostWaitAllSystemThreads(3600 * kSecond));
    EXPECT_GE(shortEnded.load() - start, 5 * kSecond);
    EXPECT_LT(shortEnded.load() - start, 10 * kSecond) << "the clock skipped the 5 s deadline";
    EXPECT_GE(longEnded.load() - start, 10 * kSecond);
}

TEST_F(KernelCore, TheClockStandsStillWhileAKnownThreadRuns) {
    HostThreadScope scope("test");
    std::atomic<bool> busy{true};
    std::atomic<bool> observed{false};
    std::atomic<LONGLONG> seenWhileBusy{-1}, seenLater{-1};
    /* A system thread busy outside the stand-in (not in a stand-in wait). */
    StartDetached([&] {
        while (busy.load()) {
            sched_yield();
        }
    });
    LONGLONG start = HostClockNow();
    /* An observer outside the scheduler looks at the clock while this thread sleeps. */
    std::atomic<bool> delayEnded{false};
    std::thread observer([&] {
        while (HostSchedulerReport().find("KeDelayExecutionThread") == std::string::npos) {
            if (delayEnded.load()) {
                busy = false; /* the delay ended without waiting for the busy thread */
                return;
            }
            sched_yield();
        }
        seenWhileBusy = HostClockNow();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        seenLater = HostClockNow();
        observed = true;
        busy = false;
    });
    LARGE_INTEGER delay = Relative(10 * kSecond);
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
    delayEnded = true;
    observer.join();
    EXPECT_TRUE(observed.load());
    EXPECT_EQ(seenWhileBusy.load(), start) << "the clock moved past a running thread's work";
    EXPECT_EQ(seenLater.load(), start);
    EXPECT_GE(HostClockNow() - start, 10 * kSecond);
}

TEST_F(KernelCore, AbsoluteTimeoutsAndManualAdvancesMoveTheVirtualClock) {
    HostThreadScope scope("test");
    KEVENT never;
    KeInitializeEvent(&never, SynchronizationEvent, FALSE);
    LARGE_INTEGER now, deadline;
    KeQuerySystemTime(&now);
    deadline.QuadPart = now.QuadPart + 60 * kSecond;
    LONGLONG start = HostClockNow();
    EXPECT_EQ(KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &deadline),
              STATUS_TIMEOUT);
    EXPECT_GE(HostClockNow() - start, 60 * kSecond);
    LARGE_INTEGER later;
    KeQuerySystemTime(&later);
    EXPECT_GE(later.QuadPart - now.QuadPart, 60 * kSecond);

    /* While this thread runs the clock only moves when told to. */
    std::atomic<NTSTATUS> result{STATUS_PENDING};
    StartDetached([&] {
        LARGE_INTEGER t = Relative(10 * kSecond);
        result = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &t);
    });
    PollUntil([&] { return WaitersOn(&never) == 1; });
    start = HostClockNow();
    HostClockAdvance(20 * kSecond);
    EXPECT_EQ(HostClockNow() - start, 20 * kSecond);
    ASSERT_TRUE(HostWaitAllSystemThreads(60 * kSecond));
    EXPECT_EQ(result.load(), STATUS_TIMEOUT);
    EXPECT_EQ(HostClockNow() - start, 20 * kSecond) << "the advance itself must time the wait out";
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

TEST_F(KernelCore, ThreadObjectsAreReferencedWaitableAndFreedAfterTheLastReference) {
    HostThreadScope scope("test");
    KEVENT go;
    KeInitializeEvent(&go, SynchronizationEvent, FALSE);
    HANDLE handle = Start([&] {
        KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY + 15);
        KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
    });
    EXPECT_EQ(HostThreadsAlive(), 1u);

    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle((HANDLE)(ULONG_PTR)0x7777, THREAD_ALL_ACCESS, nullptr,
                                        KernelMode, &thread, nullptr),
              STATUS_INVALID_HANDLE);
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                        &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(HostObjectReferences(thread), 3) << "handle, running thread, our reference";
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(HostObjectReferences(thread), 2);

    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeQueryPriorityThread((PKTHREAD)thread), 31);
    EXPECT_EQ(HostThreadsAlive(), 0u);
    PollUntil([&] { return HostObjectReferences(thread) == 1; });
    ObDereferenceObject(thread);
    EXPECT_EQ(HostObjectReferences(thread), -1) << "freed at the last reference";

    /* A closed handle is gone for good. */
    std::string report = StopOf([&] { ZwClose(handle); });
    EXPECT_NE(report.find("not an open handle"), std::string::npos) << report;
}

/* Real-time priorities reach the host scheduler only when asked for, in the platform's order,
   and only for the real-time range. */
TEST_F(KernelCore, RealTimePrioritiesMapToTheHostsRealTimeClassOnlyWhenAskedFor) {
    HostThreadScope scope("test");
    struct Seen {
        int Policy = -1;
        int Priority = -1;
    };
    /* Raises a fresh system thread to First, then sets Then (0: nothing), and reports. */
    auto raiseTo = [&](KPRIORITY First, KPRIORITY Then = 0) {
        Seen seen;
        HANDLE handle = Start([&seen, First, Then] {
            KeSetPriorityThread(KeGetCurrentThread(), First);
            if (Then != 0) {
                KeSetPriorityThread(KeGetCurrentThread(), Then);
            }
            sched_param param{};
            pthread_getschedparam(pthread_self(), &seen.Policy, &param);
            seen.Priority = param.sched_priority;
        });
        PVOID thread = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode,
                                            &thread, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr),
                  STATUS_SUCCESS);
        ObDereferenceObject(thread);
        return seen;
    };

    const ULONG before = HostRealTimeThreads();
    Seen off = raiseTo(31);
    EXPECT_EQ(off.Policy, SCHED_OTHER) << "off by default";
    EXPECT_EQ(HostRealTimeThreads(), before);

    HostUseRealTimePriorities(true);
    Seen top = raiseTo(31);
    Seen low = raiseTo(LOW_REALTIME_PRIORITY);
    Seen variable = raiseTo(LOW_REALTIME_PRIORITY - 1);
    Seen lowered = raiseTo(31, 8);
    HostUseRealTimePriorities(false);
    EXPECT_EQ(variable.Policy, SCHED_OTHER);
    EXPECT_EQ(lowered.Policy, SCHED_OTHER) << "back in the normal class below the real-time range";
    if (top.Policy == SCHED_OTHER) {
        EXPECT_EQ(HostRealTimeThreads(), before);
        GTEST_SKIP() << "this process may not raise thread priorities";
    }
    EXPECT_EQ(top.Policy, SCHED_RR);
    EXPECT_EQ(top.Priority, 16);
    EXPECT_EQ(low.Policy, SCHED_RR);
    EXPECT_EQ(low.Priority, 1);
    EXPECT_EQ(HostRealTimeThreads(), before + 3);
}

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
    EXPECT_EQ(HostThreadsAlive(), 0u);
}

TEST_F(KernelCore, ThreadCreationFailuresAndThreadsThatNeverEndAreReported) {
    HostThreadScope scope("test");
    HostFailNextThreadCreate(STATUS_INSUFFICIENT_RESOURCES);
    HANDLE handle = nullptr;
    std::atomic<bool> ran{false};
    Job job{[&] { ran = true; }};
    EXPECT_EQ(
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RunJob, &job),
        STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(HostThreadsAlive(), 0u);

    KEVENT stop;
    KeInitializeEvent(&stop, SynchronizationEvent, FALSE);
    StartDetached([&] { KeWaitForSingleObject(&stop, Executive, KernelMode, FALSE, nullptr); });
    EXPECT_FALSE(HostWaitAllSystemThreads(5 * kSecond));
    std::string report = HostSystemThreadsReport();
    EXPECT_NE(report.find("synchronization event"), std::string::npos) << report;
    std::string shutdown;
    EXPECT_FALSE(HostKernelShutdownCheck(&shutdown));
    EXPECT_NE(shutdown.find("system thread"), std::string::npos) << shutdown;

    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(HostWaitAllSystemThreads(60 * kSecond));
    EXPECT_FALSE(ran.load());
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
}

TEST_F(KernelCore, WaitsAndDelaysAtDispatchLevelAreStopped) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER timeout = Relative(kSecond);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;

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
    KIRQL inner = KfAcquireSpinLock(&first);
    EXPECT_EQ(inner, DISPATCH_LEVEL);
    auto reports = Reports();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[1].find("recursive"), std::string::npos) << reports[1];
    HostVerifierSetFailureHandler(ThrowingHandler);

    KfReleaseSpinLock(&first, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(HostSpinLocksHeld(), 0u);
}

TEST_F(KernelCore, ReleasingALockNotHeldAndWrongIrqlsAreStopped) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::string unheld = StopOf([&] { KfReleaseSpinLock(&lock, PASSIVE_LEVEL); });
    EXPECT_NE(unheld.find("not held at all"), std::string::npos) << unheld;

    /* Held by another thread: the release is refused. */
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

    std::string lower = StopOf([] { KeLowerIrql(DISPATCH_LEVEL); });
    EXPECT_NE(lower.find("KeLowerIrql to IRQL 2 above the current IRQL 0"), std::string::npos)
        << lower;

    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    std::string paged = StopOf([] { PAGED_CODE(); });
    std::string pool = StopOf([] { ExAllocatePoolWithTag(PagedPool, 16, HostPoolTag("Test")); });
    std::string passive = StopOf([] { HostVerifierCheckPassive("ZwReadFile"); });
    KeLowerIrql(old);
    EXPECT_NE(paged.find("PAGED_CODE"), std::string::npos) << paged;
    EXPECT_NE(pool.find("ExAllocatePoolWithTag(PagedPool, 16, 'Test') at IRQL 2"),
              std::string::npos)
        << pool;
    EXPECT_NE(passive.find("ZwReadFile called at IRQL 2"), std::string::npos) << passive;
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("Test")), 0u);

    /* Non-paged pool is fine at DISPATCH_LEVEL, and PAGED_CODE at PASSIVE_LEVEL. */
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 16, HostPoolTag("Test"));
    EXPECT_NE(p, nullptr);
    ExFreePool(p);
    KeLowerIrql(old);
    EXPECT_EQ(StopOf([] { PAGED_CODE(); }), "");
}

/* ---- pool ---------------------------------------------------------------------------------- */

TEST_F(KernelCore, PoolIsAccountedByTagAndLeftoversAreReported) {
    const ULONG buffers = HostPoolTag("BrnX");
    const ULONG scsi = HostPoolTag("ScUn");
    uint64_t total = HostPoolTotalAllocations();
    PVOID a = ExAllocatePoolWithTag(NonPagedPoolCacheAligned, 156672, buffers);
    PVOID b = ExAllocatePoolWithTag(NonPagedPool, 100, scsi);
    PVOID c = ExAllocatePoolWithTag(NonPagedPool, 28, scsi);
    ASSERT_TRUE(a != nullptr && b != nullptr && c != nullptr);
    EXPECT_EQ(HostPoolTotalAllocations() - total, 3u);
    EXPECT_EQ((ULONG_PTR)a % PAGE_SIZE, 0u) << "cache-aligned pool must be page-aligned";
    EXPECT_EQ(((UCHAR *)b)[0], HOST_POOL_FRESH_FILL);
    EXPECT_EQ(((UCHAR *)b)[99], HOST_POOL_FRESH_FILL);
    EXPECT_EQ(HostPoolBytesInUse(buffers), 156672u);
    EXPECT_EQ(HostPoolBytesInUse(scsi), 128u);
    EXPECT_EQ(HostPoolCountInUse(scsi), 2u);

    ExFreePool(b);
    std::string report = HostPoolReport();
    EXPECT_NE(report.find("'BrnX' (0x586E7242): 1 allocation(s), 156672 bytes"), std::string::npos)
        << report;
    EXPECT_NE(report.find("'ScUn' (0x6E556353): 1 allocation(s), 28 bytes"), std::string::npos)
        << report;
    std::string shutdown;
    EXPECT_FALSE(HostKernelShutdownCheck(&shutdown));
    EXPECT_NE(shutdown.find("'BrnX'"), std::string::npos) << shutdown;

    ExFreePoolWithTag(a, buffers);
    ExFreePool(c);
    EXPECT_EQ(HostPoolReport(), "");
    EXPECT_TRUE(HostKernelShutdownCheck(&shutdown)) << shutdown;
}

TEST_F(KernelCore, FreeingWhatIsNotPoolIsStopped) {
    PVOID p = ExAllocatePoolWithTag(NonPagedPool, 8, HostPoolTag("Dbl "));
    ExFreePool(p);
    std::string twice = StopOf([&] { ExFreePool(p); });
    EXPECT_NE(twice.find("not allocated pool"), std::string::npos) << twice;
    int local = 0;
    std::string stack = StopOf([&] { ExFreePool(&local); });
    EXPECT_NE(stack.find("not allocated pool"), std::string::npos) << stack;

    PVOID q = ExAllocatePoolWithTag(NonPagedPool, 8, HostPoolTag("Mine"));
    std::string tag = StopOf([&] { ExFreePoolWithTag(q, HostPoolTag("Else")); });
    EXPECT_NE(tag.find("allocated with tag 'Mine'"), std::string::npos) << tag;
    EXPECT_FALSE(HostPoolLookup(q)) << "the block is freed even when the tag is wrong";
}

TEST_F(KernelCore, PoolFailuresCanBeInjectedByCountTagAndProbability) {
    const ULONG tag = HostPoolTag("Inj1");
    const ULONG other = HostPoolTag("Inj2");
    std::vector<PVOID> blocks;
    auto alloc = [&](ULONG t) {
        PVOID p = ExAllocatePoolWithTag(NonPagedPool, 32, t);
        if (p != nullptr) {
            blocks.push_back(p);
        }
        return p != nullptr;
    };
    ULONG injected = HostPoolInjectedFailures();

    HostPoolFailNth(3);
    EXPECT_TRUE(alloc(tag));
    EXPECT_TRUE(alloc(other));
    EXPECT_FALSE(alloc(tag)) << "the third allocation must fail";
    EXPECT_TRUE(alloc(tag)) << "only once";

    HostPoolFailNth(2, other);
    EXPECT_TRUE(alloc(tag));
    EXPECT_TRUE(alloc(other));
    EXPECT_TRUE(alloc(tag));
    EXPECT_FALSE(alloc(other)) << "the second allocation with that tag must fail";

    HostPoolFailTag(tag, 2);
    EXPECT_FALSE(alloc(tag));
    EXPECT_TRUE(alloc(other));
    EXPECT_FALSE(alloc(tag));
    EXPECT_TRUE(alloc(tag));

    HostPoolFailTag(tag);
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(alloc(tag));
    }
    HostPoolClearFailures();
    EXPECT_TRUE(alloc(tag));
    EXPECT_EQ(HostPoolInjectedFailures() - injected, 9u);

    /* Random failures are reproducible from their seed and follow the probability. */
    auto pattern = [&](uint32_t seed) {
        HostPoolFailRandom(seed, 300);
        std::string outcomes;
        for (int i = 0; i < 1000; ++i) {
            outcomes += alloc(tag) ? '.' : 'x';
        }
        HostPoolClearFailures();
        return outcomes;
    };
    std::string first = pattern(42);
    EXPECT_EQ(first, pattern(42));
    EXPECT_NE(first, pattern(43));
    size_t failures = std::count(first.begin(), first.end(), 'x');
    EXPECT_GT(failures, 200u);
    EXPECT_LT(failures, 400u);
    HostPoolFailRandom(7, 1000, other);
    EXPECT_TRUE(alloc(tag)) << "only the chosen tag fails";
    EXPECT_FALSE(alloc(other));
    HostPoolClearFailures();

    for (PVOID p : blocks) {
        ExFreePool(p);
    }
    EXPECT_EQ(HostPoolCountInUse(tag) + HostPoolCountInUse(other), 0u);
}

/* ---- strings and memory -------------------------------------------------------------------- */

TEST_F(KernelCore, AnsiToUnicodeConversionFillsTheCallersBufferOrOverflows) {
    ANSI_STRING ansi;
    RtlInitString(&ansi, "\\??\\D:\\disc.iso");
    EXPECT_EQ(ansi.Length, 15);
    EXPECT_EQ(ansi.MaximumLength, 16);

    WCHAR buffer[16];
    UNICODE_STRING unicode;
    unicode.Buffer = buffer;
    unicode.Length = 0;
    unicode.MaximumLength = sizeof buffer; /* 15 characters and the null */
    size_t poolBefore = HostPoolCountInUse();
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(HostPoolCountInUse(), poolBefore) << "no allocation into the caller's buffer";
    EXPECT_EQ(unicode.Length, 30);
    EXPECT_EQ(unicode.Buffer, buffer);
    EXPECT_EQ(std::u16string(buffer), u"\\??\\D:\\disc.iso");

    /* No room for the terminating null: overflow, buffer untouched. */
    for (auto &c : buffer) {
        c = u'#';
    }
    unicode.MaximumLength = 30;
    unicode.Length = 0;
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(buffer[0], u'#');
    EXPECT_EQ(unicode.Length, 0);

    /* Allocated from pool and freed again. */
    UNICODE_STRING allocated;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&allocated, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(allocated.Length, 30);
    EXPECT_TRUE(HostPoolLookup(allocated.Buffer));
    EXPECT_EQ(std::u16string(allocated.Buffer), u"\\??\\D:\\disc.iso");
    RtlFreeUnicodeString(&allocated);
    EXPECT_EQ(allocated.Buffer, nullptr);
    EXPECT_EQ(HostPoolCountInUse(), poolBefore);

    /* Bytes above 0x7F convert one to one. */
    char latin[] = {'\xE9', 0};
    RtlInitAnsiString(&ansi, latin);
    unicode.MaximumLength = sizeof buffer;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], (WCHAR)0xE9);

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\CdWriter0");
    EXPECT_EQ(name.Length, 34);
    EXPECT_EQ(name.MaximumLength, 36);
}

TEST_F(KernelCore, CompareMemoryReturnsTheEqualPrefixLength) {
    const char a[] = "KORVO   DESKTOP";
    const char b[] = "KORVO   DESKTQP";
    EXPECT_EQ(RtlCompareMemory(a, b, 15), 13u);
    EXPECT_EQ(RtlCompareMemory(a, a, 15), 15u);
    EXPECT_EQ(RtlCompareMemory(a, "X", 1), 0u);
    EXPECT_TRUE(RtlEqualMemory(a, b, 13));
    EXPECT_FALSE(RtlEqualMemory(a, b, 14));
}

/* ---- debug output and handles -------------------------------------------------------------- */

TEST_F(KernelCore, DebugOutputIsCapturedPerCall) {
    HostDebugLogClear();
    DbgPrint("Burnkit[%d]: CdRecorderInitDevice - ", 3);
    DbgPrint("no line feed");
    DbgPrint("Burnkit: Exception 0x%08X in ReadThread\n", (unsigned)STATUS_ACCESS_VIOLATION);
    std::string long_text(2000, 'z');
    DbgPrint("%s\n", long_text.c_str());
    auto messages = HostDebugMessages();
    ASSERT_EQ(messages.size(), 4u);
    EXPECT_EQ(messages[0], "Burnkit[3]: CdRecorderInitDevice - ");
    EXPECT_EQ(messages[2], "Burnkit: Exception 0xC0000005 in ReadThread\n");
    EXPECT_EQ(messages[3].size(), 2001u);
    EXPECT_TRUE(HostDebugLogContains("InitDevice - no line feed"));
    EXPECT_EQ(HostDebugLogCount("Burnkit"), 2u);
    HostDebugLogClear();
    EXPECT_EQ(HostDebugLog(), "");
}

int g_closed = 0;
void CountClose(void *Object) {
    g_closed += *(int *)Object;
}

TEST_F(KernelCore, HandlesCloseOnceAndObjectsCountReferences) {
    int weight = 5;
    ULONG open = HostHandlesOpen(HOST_HANDLE_FILE);
    HANDLE h = HostHandleCreate(HOST_HANDLE_FILE, &weight, CountClose);
    EXPECT_EQ(HostHandleObject(h, HOST_HANDLE_FILE), &weight);
    EXPECT_EQ(HostHandleObject(h, HOST_HANDLE_THREAD), nullptr);
    EXPECT_EQ(HostHandlesOpen(HOST_HANDLE_FILE), open + 1);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(h, 0, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    g_closed = 0;
    EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
    EXPECT_EQ(g_closed, 5);
    EXPECT_NE(StopOf([&] { ZwClose(h); }), "");
    EXPECT_EQ(g_closed, 5);

    static int destroyed;
    destroyed = 0;
    int device = 0;
    HostObjectTrack(&device, 1, [](void *) { ++destroyed; });
    EXPECT_EQ(ObfReferenceObject(&device), 2);
    EXPECT_EQ(ObfDereferenceObject(&device), 1);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(ObfDereferenceObject(&device), 0);
    EXPECT_EQ(destroyed, 1);
    std::string report = StopOf([&] { ObDereferenceObject(&device); });
    EXPECT_NE(report.find("not a known object"), std::string::npos) << report;
}

} // namespace
