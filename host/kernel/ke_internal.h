/*
 * ke_internal.h - private shared state of the kernel stand-in's core (scheduler, threads,
 * verifier, objects). Not for use outside host/kernel.
 */
#pragma once

#include <ntddk.h>
#include <standin/kernel.h>

#include <condition_variable>
#include <mutex>
#include <stdarg.h>
#include <string>

namespace hostk {

constexpr LONGLONG kNoDeadline = INT64_MAX;

/* Dispatcher header types (the event types are the EVENT_TYPE values). */
constexpr UCHAR kNotificationEventType = NotificationEvent;
constexpr UCHAR kSynchronizationEventType = SynchronizationEvent;
constexpr UCHAR kThreadObjectType = 6;

constexpr ULONG kMaxHeldSpinLocks = 8;

struct Waiter;

/* Per host thread: IRQL, spin locks held, what the scheduler knows about it. */
struct ThreadState {
    std::condition_variable Wake;
    int ScopeDepth = 0;  /* HostThreadScope nesting (application / test threads) */
    bool System = false; /* a system thread between start and end */
    KIRQL Irql = PASSIVE_LEVEL;
    PKSPIN_LOCK Held[kMaxHeldSpinLocks] = {};
    ULONG HeldCount = 0;
    bool WaitOwed = false; /* KeSetEvent with Wait = TRUE returned; a wait must come next */
    KIRQL IrqlAfterWait = PASSIVE_LEVEL; /* the IRQL that the owed wait gives back */
    struct _KTHREAD *ThreadObject = nullptr;
    Waiter *Waiting = nullptr; /* guarded by the scheduler lock */
    std::string Name;

    bool Known() const { return System || ScopeDepth > 0; }
};

/* The calling thread's state (created on first use, freed at thread exit). */
ThreadState *Self();

/* The one lock of every event, wait, timer and thread record. */
std::mutex &SchedulerLock();

/* Scheduler entry points used by the thread code; all with SchedulerLock held. */
void SchedulerThreadStarts(); /* a known thread counts as running from now */
void SchedulerThreadStops();  /* a known thread no longer runs (ended / left) */
void SchedulerSignalAll(DISPATCHER_HEADER *Header); /* set a notification-style object */
std::string SchedulerDescribeWait(const ThreadState *Thread);

/* A stand-in wait of at most Duration (100 ns units) on Object, for the host API. */
NTSTATUS WaitObjectFor(DISPATCHER_HEADER *Object, LONGLONG Duration, const char *What);

/* Waits until no system thread is alive, at most Timeout; quiet. */
bool WaitForSystemThreads(LONGLONG Timeout);

/* Joins the host threads of system threads that have ended, so that their exit is complete
 * (waits at most PatienceMs of real time for one that is on its way out). */
void JoinEndedHostThreads(int PatienceMs);

/* Tracking of the calling thread's own object (non-system threads). */
void ThreadStateExit(ThreadState *State);

/* Verifier helpers. */
void VerifierStopV(const char *Format, va_list Arguments);
/* Gives back the IRQL that KeSetEvent with Wait = TRUE raised; TRUE when a wait was owed. */
bool VerifierTakeOwedWait(ThreadState *Self);
/* Stops a call (Routine) made in place of a wait that KeSetEvent with Wait = TRUE owed. */
void VerifierCheckNoOwedWait(ThreadState *Self, const char *Routine);

/* Lock order (ke_lockorder.cpp): records the spin locks Thread holds as taken before Lock and
 * reports an order cycle; forgets a lock's history when it is initialized again; announces
 * spin locks to ThreadSanitizer as mutexes (nothing in other builds). */
void LockOrderSpinAcquire(ThreadState *Thread, PKSPIN_LOCK Lock);
void LockOrderSpinInitialize(PKSPIN_LOCK Lock);
void TsanSpinPreLock(PKSPIN_LOCK Lock);
void TsanSpinPostLock(PKSPIN_LOCK Lock);
void TsanSpinPreUnlock(PKSPIN_LOCK Lock);
void TsanSpinPostUnlock(PKSPIN_LOCK Lock);

} // namespace hostk

/* Thread objects: the dispatcher header comes first so that waits treat them like events. */
struct _KTHREAD {
    DISPATCHER_HEADER Header;
    KPRIORITY Priority;
    BOOLEAN System;
    PKSTART_ROUTINE StartRoutine;
    PVOID StartContext;
    NTSTATUS ExitStatus;
    ULONG Id;
    LIST_ENTRY AliveLink;        /* live system threads, under the scheduler lock */
    hostk::ThreadState *Running; /* while the host thread runs, under the scheduler lock */
};
