/*
 * ke_sched.cpp - the clock, the scheduler of stand-in waits, events and delays.
 *
 * One lock guards every event, wait and timer. Each known thread (system threads, and
 * application threads inside a HostThreadScope) is either running or blocked in a stand-in
 * wait; `g_running` counts the running ones. A signal takes its waiters off the wait lists and
 * counts them as running at once, under the lock, so the scheduler never sees "everyone
 * blocked" while a wake is still on its way. In virtual mode, when nobody runs and a blocked
 * wait has a deadline, the clock jumps to the earliest deadline and those waits time out.
 * A thread that is not known counts as blocked while it waits and as running from the moment it
 * is woken until it has left the wait.
 */
#include "ke_internal.h"

#include <chrono>
#include <system_error>
#include <thread>

#include <stdarg.h>
#include <stdio.h>

namespace hostk {

enum WaitState { kWaiting, kSatisfied, kTimedOut };

struct Waiter {
    LIST_ENTRY ObjectLink;  /* in the object's WaitListHead (objects only) */
    LIST_ENTRY BlockedLink; /* in g_blocked */
    ThreadState *Thread;
    DISPATCHER_HEADER *Object; /* NULL for a delay */
    LONGLONG Deadline;
    WaitState State;
    const char *What;
};

namespace {

std::mutex g_lock;
LIST_ENTRY g_blocked = {&g_blocked, &g_blocked};
int g_running = 0;
bool g_virtual = false;
LONGLONG g_virtualNow = 0;
LONGLONG g_realOffset = 0;
ULONG g_deadlocks = 0;
uint64_t g_progress = 1;
uint64_t g_reportedProgress = 0;

LONGLONG RealNow() {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return (LONGLONG)(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
}

LONGLONG NowLocked() {
    return g_virtual ? g_virtualNow : RealNow() + g_realOffset;
}

/* Takes a waiter off its lists and counts its thread as running again. */
void WakeLocked(Waiter *W, WaitState State) {
    RemoveEntryList(&W->BlockedLink);
    if (W->Object != nullptr) {
        RemoveEntryList(&W->ObjectLink);
    }
    W->State = State;
    ++g_running;
    ++g_progress;
    W->Thread->Wake.notify_one();
}

void NotifyAllBlockedLocked() {
    for (PLIST_ENTRY e = g_blocked.Flink; e != &g_blocked; e = e->Flink) {
        CONTAINING_RECORD(e, Waiter, BlockedLink)->Thread->Wake.notify_one();
    }
}

void ExpireLocked() {
    LONGLONG now = NowLocked();
    PLIST_ENTRY e = g_blocked.Flink;
    while (e != &g_blocked) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, BlockedLink);
        e = e->Flink;
        if (w->Deadline <= now) {
            WakeLocked(w, kTimedOut);
        }
    }
}

const char *ObjectKind(const DISPATCHER_HEADER *Header) {
    switch (Header->Type) {
    case kNotificationEventType:
        return "notification event";
    case kSynchronizationEventType:
        return "synchronization event";
    case kThreadObjectType:
        return "thread";
    default:
        return "object";
    }
}

std::string DescribeWaiterLocked(const Waiter *W) {
    char line[256];
    const char *who = W->Thread->Name.empty() ? "thread" : W->Thread->Name.c_str();
    if (W->Object != nullptr) {
        snprintf(line, sizeof line, "%s in %s on %s %p", who, W->What, ObjectKind(W->Object),
                 (void *)W->Object);
    } else {
        snprintf(line, sizeof line, "%s in %s", who, W->What);
    }
    std::string text = line;
    if (W->Deadline != kNoDeadline) {
        snprintf(line, sizeof line, ", time-out in %lld ms",
                 (long long)((W->Deadline - NowLocked()) / 10000));
        text += line;
    } else {
        text += ", no time-out";
    }
    if (!W->Thread->Known()) {
        text += " (thread not known to the scheduler)";
    }
    return text;
}

/*
 * Whether nobody can ever run again: virtual mode, no known thread running, every blocked wait
 * without a deadline, and an application thread among the waiters (system threads idling on
 * their events is the normal state of an idle device).
 */
bool StuckLocked() {
    if (!g_virtual || g_running > 0 || IsListEmpty(&g_blocked)) {
        return false;
    }
    bool applicationBlocked = false;
    for (PLIST_ENTRY e = g_blocked.Flink; e != &g_blocked; e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, BlockedLink);
        if (w->Deadline != kNoDeadline) {
            return false;
        }
        if (!w->Thread->System) {
            applicationBlocked = true;
        }
    }
    return applicationBlocked;
}

/*
 * Deadlock watchdog. A thread the scheduler does not know (one about to enter a
 * HostThreadScope, say) may still wake everybody, so "all threads blocked forever" is reported
 * only when nothing has moved for kDeadlockGrace of real time.
 */
constexpr auto kDeadlockGrace = std::chrono::seconds(2);
bool g_watchdogStarted = false;
uint64_t g_suspect = 0; /* g_progress when the scheduler got stuck; 0: not stuck */

std::condition_variable &WatchdogWake() {
    static std::condition_variable *wake = new std::condition_variable; /* never destroyed */
    return *wake;
}

void ReportDeadlockLocked() {
    g_reportedProgress = g_progress;
    ++g_deadlocks;
    std::string report = "HOST KERNEL: all threads blocked forever:\n";
    for (PLIST_ENTRY e = g_blocked.Flink; e != &g_blocked; e = e->Flink) {
        report += "  " + DescribeWaiterLocked(CONTAINING_RECORD(e, Waiter, BlockedLink));
        report += "\n";
    }
    fputs(report.c_str(), stderr);
    fflush(stderr);
}

void WatchdogMain() {
    std::unique_lock<std::mutex> lock(g_lock);
    for (;;) {
        while (g_suspect == 0) {
            WatchdogWake().wait(lock);
        }
        uint64_t suspect = g_suspect;
        auto until = std::chrono::steady_clock::now() + kDeadlockGrace;
        while (g_progress == suspect &&
               WatchdogWake().wait_until(lock, until) == std::cv_status::no_timeout) {
        }
        g_suspect = 0;
        if (g_progress == suspect && g_reportedProgress != g_progress && StuckLocked()) {
            ReportDeadlockLocked();
        }
    }
}

void SuspectDeadlockLocked() {
    if (g_reportedProgress == g_progress || g_suspect == g_progress || !StuckLocked()) {
        return;
    }
    g_suspect = g_progress;
    if (!g_watchdogStarted) {
        try {
            std::thread(WatchdogMain).detach();
            g_watchdogStarted = true;
        } catch (const std::system_error &) {
            g_suspect = 0;
            ReportDeadlockLocked();
            return;
        }
    }
    WatchdogWake().notify_one();
}

/* Virtual mode: jump the clock when every known thread is blocked. */
void MaybeAdvanceLocked() {
    if (!g_virtual || g_running > 0 || IsListEmpty(&g_blocked)) {
        return;
    }
    LONGLONG earliest = kNoDeadline;
    for (PLIST_ENTRY e = g_blocked.Flink; e != &g_blocked; e = e->Flink) {
        Waiter *w = CONTAINING_RECORD(e, Waiter, BlockedLink);
        if (w->Deadline < earliest) {
            earliest = w->Deadline;
        }
    }
    if (earliest == kNoDeadline) {
        SuspectDeadlockLocked();
        return;
    }
    if (earliest > g_virtualNow) {
        g_virtualNow = earliest;
    }
    ExpireLocked();
}

bool IsSignalled(const DISPATCHER_HEADER *Header) {
    return Header->SignalState > 0;
}

void ConsumeLocked(DISPATCHER_HEADER *Header) {
    if (Header->Type == kSynchronizationEventType) {
        Header->SignalState = 0;
    }
}

/*
 * The one wait of the stand-in. Deadline is an absolute clock reading or kNoDeadline.
 * Returns STATUS_SUCCESS when the object satisfied the wait, STATUS_TIMEOUT otherwise.
 */
NTSTATUS WaitLocked(std::unique_lock<std::mutex> &Lock, DISPATCHER_HEADER *Object,
                    LONGLONG Deadline, const char *What) {
    if (Object != nullptr && IsSignalled(Object)) {
        ConsumeLocked(Object);
        return STATUS_SUCCESS;
    }
    if (Deadline != kNoDeadline && Deadline <= NowLocked()) {
        return STATUS_TIMEOUT;
    }
    ThreadState *self = Self();
    Waiter w;
    w.Thread = self;
    w.Object = Object;
    w.Deadline = Deadline;
    w.State = kWaiting;
    w.What = What;
    if (Object != nullptr) {
        InsertTailList(&Object->WaitListHead, &w.ObjectLink);
    }
    InsertTailList(&g_blocked, &w.BlockedLink);
    self->Waiting = &w;
    if (self->Known()) {
        --g_running;
    }
    MaybeAdvanceLocked();
    while (w.State == kWaiting) {
        if (!g_virtual && w.Deadline != kNoDeadline) {
            LONGLONG now = NowLocked();
            if (now >= w.Deadline) {
                WakeLocked(&w, kTimedOut);
                break;
            }
            LONGLONG remaining = w.Deadline - now;
            const LONGLONG chunk = 1000LL * 10000000LL; /* re-check at least every 1000 s */
            if (remaining > chunk) {
                remaining = chunk;
            }
            self->Wake.wait_for(Lock, std::chrono::nanoseconds(remaining * 100));
        } else {
            self->Wake.wait(Lock);
        }
    }
    self->Waiting = nullptr;
    if (!self->Known()) {
        --g_running;
        MaybeAdvanceLocked();
    }
    return w.State == kSatisfied ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

LONGLONG SystemTimeBase() {
    /* 100 ns units between 1601-01-01 and 1970-01-01. */
    const LONGLONG epochDelta = 116444736000000000LL;
    static const LONGLONG base = [] {
        auto since = std::chrono::system_clock::now().time_since_epoch();
        LONGLONG wall =
            (LONGLONG)(std::chrono::duration_cast<std::chrono::nanoseconds>(since).count() / 100);
        return wall + epochDelta - HostClockNow();
    }();
    return base;
}

/* Turns a kernel time-out (negative relative, positive absolute system time) into a deadline. */
LONGLONG DeadlineLocked(LONGLONG Timeout, LONGLONG Base) {
    LONGLONG now = NowLocked();
    LONGLONG relative = Timeout < 0 ? -(Timeout + 1) + 1 : Timeout - (Base + now);
    if (relative <= 0) {
        return now;
    }
    if (relative > kNoDeadline - 1 - now) {
        return kNoDeadline - 1;
    }
    return now + relative;
}

void CheckDispatcherObject(const DISPATCHER_HEADER *Header, const char *Routine) {
    if (Header == nullptr) {
        HostVerifierStop("%s called with a NULL object", Routine);
        return;
    }
    UCHAR type;
    bool initialized;
    {
        /* The wait list changes under the lock; read it there, report outside it. */
        std::lock_guard<std::mutex> lock(g_lock);
        type = Header->Type;
        initialized = Header->WaitListHead.Flink != nullptr;
    }
    if (!initialized || (type != kNotificationEventType && type != kSynchronizationEventType &&
                         type != kThreadObjectType)) {
        HostVerifierStop("%s on object %p that was never initialized (type %u)", Routine,
                         (const void *)Header, (unsigned)type);
    }
}

void CheckEvent(const KEVENT *Event, const char *Routine) {
    CheckDispatcherObject(&Event->Header, Routine);
    if (Event->Header.Type == kThreadObjectType) {
        HostVerifierStop("%s on thread object %p instead of an event", Routine,
                         (const void *)Event);
    }
}

} // namespace

std::mutex &SchedulerLock() {
    return g_lock;
}

void SchedulerThreadStarts() {
    ++g_running;
    ++g_progress;
}

void SchedulerThreadStops() {
    --g_running;
    MaybeAdvanceLocked();
}

void SchedulerSignalAll(DISPATCHER_HEADER *Header) {
    Header->SignalState = 1;
    while (!IsListEmpty(&Header->WaitListHead)) {
        WakeLocked(CONTAINING_RECORD(Header->WaitListHead.Flink, Waiter, ObjectLink), kSatisfied);
    }
}

std::string SchedulerDescribeWait(const ThreadState *Thread) {
    if (Thread == nullptr) {
        return "ended";
    }
    if (Thread->Waiting == nullptr) {
        return "running";
    }
    return "blocked: " + DescribeWaiterLocked(Thread->Waiting);
}

/* ------------------------------------------------------------------------------------------ */
/* Per-thread state                                                                           */
/* ------------------------------------------------------------------------------------------ */

namespace {

struct ThreadStateHolder {
    ThreadState *State = nullptr;
    ~ThreadStateHolder() {
        if (State != nullptr) {
            ThreadStateExit(State);
            delete State;
            State = nullptr;
        }
    }
};

thread_local ThreadStateHolder t_holder;

} // namespace

ThreadState *Self() {
    if (t_holder.State == nullptr) {
        t_holder.State = new ThreadState;
    }
    return t_holder.State;
}

} // namespace hostk

using namespace hostk;

/* ------------------------------------------------------------------------------------------ */
/* Host API: clock and scheduler                                                              */
/* ------------------------------------------------------------------------------------------ */

void HostClockUseVirtual() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (!g_virtual) {
        g_virtualNow = RealNow() + g_realOffset;
        g_virtual = true;
        NotifyAllBlockedLocked();
        MaybeAdvanceLocked();
    }
}

void HostClockUseReal() {
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_virtual) {
        g_realOffset = g_virtualNow - RealNow();
        g_virtual = false;
        NotifyAllBlockedLocked();
    }
}

bool HostClockIsVirtual() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_virtual;
}

LONGLONG HostClockNow() {
    std::lock_guard<std::mutex> lock(g_lock);
    return NowLocked();
}

void HostClockAdvance(LONGLONG Delta) {
    if (Delta <= 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_virtual) {
        g_virtualNow += Delta;
        ExpireLocked();
    } else {
        g_realOffset += Delta;
        NotifyAllBlockedLocked();
    }
}

HostThreadScope::HostThreadScope(const char *Name) : Thread_(Self()) {
    ThreadState *self = Self();
    std::lock_guard<std::mutex> lock(g_lock);
    if (self->System) {
        return;
    }
    if (self->ScopeDepth++ == 0) {
        if (Name != nullptr) {
            self->Name = Name;
        }
        SchedulerThreadStarts();
    }
}

HostThreadScope::~HostThreadScope() {
    ThreadState *self = Self();
    if (self != Thread_) {
        HostVerifierStop("HostThreadScope destroyed by another thread than the one that made it");
        return;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    if (self->System || self->ScopeDepth == 0) {
        return;
    }
    if (--self->ScopeDepth == 0) {
        SchedulerThreadStops();
    }
}

int HostSchedulerRunning() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_running;
}

std::string HostSchedulerReport() {
    std::lock_guard<std::mutex> lock(g_lock);
    std::string report;
    for (PLIST_ENTRY e = g_blocked.Flink; e != &g_blocked; e = e->Flink) {
        report += DescribeWaiterLocked(CONTAINING_RECORD(e, Waiter, BlockedLink));
        report += "\n";
    }
    return report;
}

ULONG HostSchedulerDeadlockCount() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_deadlocks;
}

/* ------------------------------------------------------------------------------------------ */
/* Events, waits, delays, time                                                                */
/* ------------------------------------------------------------------------------------------ */

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Type != NotificationEvent && Type != SynchronizationEvent) {
        HostVerifierStop("KeInitializeEvent with event type %d", (int)Type);
    }
    std::lock_guard<std::mutex> lock(g_lock);
    Event->Header.Type = (UCHAR)Type;
    Event->Header.Absolute = 0;
    Event->Header.Size = (UCHAR)(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    UNREFERENCED_PARAMETER(Increment);
    HostVerifierCheckIrql("KeSetEvent", DISPATCH_LEVEL);
    CheckEvent(Event, "KeSetEvent");
    if (Wait) {
        /* The platform returns at DISPATCH_LEVEL still holding the dispatcher lock, which only
         * a wait as the caller's very next call gives back. */
        ThreadState *self = Self();
        self->WaitOwed = true;
        self->IrqlAfterWait = self->Irql;
        self->Irql = DISPATCH_LEVEL;
    }
    std::lock_guard<std::mutex> lock(g_lock);
    DISPATCHER_HEADER *header = &Event->Header;
    LONG previous = header->SignalState;
    if (header->Type == kSynchronizationEventType) {
        if (previous == 0 && !IsListEmpty(&header->WaitListHead)) {
            /* One waiter takes the event; it stays not signalled. */
            WakeLocked(CONTAINING_RECORD(header->WaitListHead.Flink, Waiter, ObjectLink),
                       kSatisfied);
        } else {
            header->SignalState = 1;
        }
    } else {
        SchedulerSignalAll(header);
    }
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    VerifierCheckNoOwedWait(Self(), "KeClearEvent");
    CheckEvent(Event, "KeClearEvent");
    std::lock_guard<std::mutex> lock(g_lock);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    HostVerifierCheckIrql("KeResetEvent", DISPATCH_LEVEL);
    CheckEvent(Event, "KeResetEvent");
    std::lock_guard<std::mutex> lock(g_lock);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    VerifierCheckNoOwedWait(Self(), "KeReadStateEvent");
    CheckEvent(Event, "KeReadStateEvent");
    std::lock_guard<std::mutex> lock(g_lock);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    UNREFERENCED_PARAMETER(WaitReason);
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    /* The wait that KeSetEvent with Wait = TRUE owed starts at the caller's own IRQL. */
    (void)VerifierTakeOwedWait(Self());
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    /* A zero time-out only polls, which the platform allows at DISPATCH_LEVEL. */
    HostVerifierCheckIrql(poll ? "KeWaitForSingleObject (zero time-out)" : "KeWaitForSingleObject",
                          poll ? DISPATCH_LEVEL : APC_LEVEL);
    DISPATCHER_HEADER *header = (DISPATCHER_HEADER *)Object;
    CheckDispatcherObject(header, "KeWaitForSingleObject");
    if (header == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    LONGLONG base = Timeout != nullptr && Timeout->QuadPart > 0 ? SystemTimeBase() : 0;
    std::unique_lock<std::mutex> lock(g_lock);
    LONGLONG deadline = Timeout == nullptr ? kNoDeadline : DeadlineLocked(Timeout->QuadPart, base);
    return WaitLocked(lock, header, deadline, "KeWaitForSingleObject");
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                PLARGE_INTEGER Interval) {
    UNREFERENCED_PARAMETER(WaitMode);
    UNREFERENCED_PARAMETER(Alertable);
    HostVerifierCheckIrql("KeDelayExecutionThread", APC_LEVEL);
    if (Interval == nullptr) {
        HostVerifierStop("KeDelayExecutionThread called without an interval");
        return STATUS_INVALID_PARAMETER;
    }
    if (Interval->QuadPart == 0) {
        std::this_thread::yield();
        return STATUS_SUCCESS;
    }
    LONGLONG base = Interval->QuadPart > 0 ? SystemTimeBase() : 0;
    std::unique_lock<std::mutex> lock(g_lock);
    (void)WaitLocked(lock, nullptr, DeadlineLocked(Interval->QuadPart, base),
                     "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    LONGLONG base = SystemTimeBase();
    CurrentTime->QuadPart = base + HostClockNow();
}

ULONGLONG KeQueryInterruptTime(void) {
    return (ULONGLONG)HostClockNow();
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(MicroSeconds);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::yield();
    }
}

} // extern "C"

/* Internal: the wait used by HostWaitAllSystemThreads and friends, for another file. */
namespace hostk {
NTSTATUS WaitObjectFor(DISPATCHER_HEADER *Object, LONGLONG Duration, const char *What) {
    std::unique_lock<std::mutex> lock(g_lock);
    LONGLONG deadline = DeadlineLocked(-Duration, 0);
    return WaitLocked(lock, Object, deadline, What);
}
} // namespace hostk
