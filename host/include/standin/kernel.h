/*
 * standin/kernel.h - host-only control and inspection API of the kernel stand-in's core:
 * the clock and the scheduler of stand-in waits, the verifier, pool accounting and fault
 * injection, system threads, the handle table and object references, and the captured
 * debug output. Used by tests, tools, benchmarks and the other parts of the stand-in; the
 * driver never includes it.
 */
#pragma once

#include <ntddk.h>

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

/* ------------------------------------------------------------------------------------------ */
/* Clock                                                                                      */
/* ------------------------------------------------------------------------------------------ */

/*
 * Real mode (the default, for the tool) follows the monotonic clock and waits for real.
 * Virtual mode (tests) stands still while any known thread runs; when every known thread is
 * blocked in a stand-in wait and one of the waits has a deadline, the clock jumps to the
 * earliest deadline and those waits time out. The clock never goes backwards when the mode
 * changes.
 */
void HostClockUseVirtual();
void HostClockUseReal();
bool HostClockIsVirtual();

/* Current clock reading in 100 ns units (an arbitrary origin; differences are what count). */
LONGLONG HostClockNow();

/* Moves the clock forward by Delta (100 ns units) and times out the waits that expired. */
void HostClockAdvance(LONGLONG Delta);

/* ------------------------------------------------------------------------------------------ */
/* Known threads                                                                              */
/* ------------------------------------------------------------------------------------------ */

/*
 * Makes the calling application or test thread known to the scheduler for the lifetime of the
 * object: while known and not blocked in a stand-in wait it counts as running, so the virtual
 * clock does not move past its work. Scopes nest; inside a system thread a scope changes
 * nothing. Destroy a scope on the thread that made it (a verifier stop otherwise). A thread
 * that is not known still may wait: while blocked it counts as blocked, and
 * while it runs it does not hold the clock.
 */
class HostThreadScope {
public:
    explicit HostThreadScope(const char *Name = nullptr);
    ~HostThreadScope();
    HostThreadScope(const HostThreadScope &) = delete;
    HostThreadScope &operator=(const HostThreadScope &) = delete;

private:
    void *Thread_; /* the thread that made the scope; it must also destroy it */
};

/*
 * Thread priorities. KeSetPriorityThread always records the priority; with real-time
 * priorities on, a thread that raises itself into the real-time range (16 to 31) also gets the
 * host's round-robin real-time class at 1 to 16 in the same order, so that it runs ahead of
 * the application's threads and other processes as it would on the platform. Off by default
 * (tests keep every thread in the normal class so that none of theirs is starved); it needs
 * the privilege to raise priorities, without which the threads stay in the normal class and
 * HostRealTimeThreads() counts none. Changes apply to later priority changes only.
 */
void HostUseRealTimePriorities(bool On);
/* Threads that this process put into the host's real-time class so far. */
ULONG HostRealTimeThreads();

/* Known threads that are currently running (not blocked in a stand-in wait). */
int HostSchedulerRunning();

/* Text listing every thread blocked in a stand-in wait, with its wait object and deadline. */
std::string HostSchedulerReport();

/*
 * Number of deadlocks found on the virtual clock: an application thread (or any thread not
 * known to the scheduler) and every known thread blocked in waits without a deadline, with
 * nothing moving for 2 s of real time. Each time the stand-in prints "all threads blocked
 * forever" with the wait objects to stderr. Idle system threads alone are no deadlock.
 */
ULONG HostSchedulerDeadlockCount();

/* ------------------------------------------------------------------------------------------ */
/* Verifier                                                                                   */
/* ------------------------------------------------------------------------------------------ */

/*
 * The verifier is always on. A violation (wait or delay at DISPATCH_LEVEL, paged allocation
 * at DISPATCH_LEVEL, PAGED_CODE at DISPATCH_LEVEL, a second spin lock while one is held, the
 * release of a lock not held, an IRQL lowered above the current level, a free of memory that
 * is not pool, a call other than a wait right after KeSetEvent with Wait = TRUE, ...) produces a
 * one-line report starting "HOST VERIFIER STOP: ". By default the report goes to stderr and the
 * process aborts. With a handler installed, the handler gets the report instead (no stand-in lock
 * is held while it runs; it may throw); if it returns, the offending call goes on as sensibly as it
 * can (a recursive acquire of the same spin lock and the release of a lock not held do nothing, a
 * free of a non-pool pointer frees nothing).
 */
typedef void (*HOST_VERIFIER_FAILURE_HANDLER)(const char *Report);

/* Installs Handler (NULL restores the aborting default); returns the previous handler. */
HOST_VERIFIER_FAILURE_HANDLER HostVerifierSetFailureHandler(HOST_VERIFIER_FAILURE_HANDLER Handler);

/* Reports a violation found by another part of the stand-in (printf-style). */
void HostVerifierStop(const char *Format, ...) __attribute__((format(printf, 1, 2)));

/* Stops unless the calling thread runs at PASSIVE_LEVEL; What names the call (a file call,
 * an IRP sent to a port, ...). */
void HostVerifierCheckPassive(const char *What);

/* Stops unless the calling thread runs at or below MaxIrql. */
void HostVerifierCheckIrql(const char *What, KIRQL MaxIrql);

/* Violations reported so far (whether or not a handler caught them). */
ULONG HostVerifierFailureCount();

/* Spin locks the calling thread holds right now. */
ULONG HostSpinLocksHeld();

/*
 * The largest single memory fill (RtlZeroMemory, RtlFillMemory) made at DISPATCH_LEVEL or
 * above since the last reset, in bytes: work that holds up the processor with a spin lock held.
 */
SIZE_T HostLargestFillAtDispatch();
void HostResetLargestFillAtDispatch();

/*
 * Lock order. Every spin lock taken while another is held, and every lock named here, enters
 * a graph of "taken while holding"; an order that closes a cycle is a verifier stop ("lock
 * order cycle: ...") even when the two orders never met at run time. Parts of the stand-in
 * that hold blocking locks of their own announce them with HostLockOrderAcquire (after the
 * lock is taken; Name may be NULL) and HostLockOrderRelease; HostLockOrderForget drops the
 * history of a lock whose storage goes away (initializing a spin lock does that by itself).
 */
void HostLockOrderAcquire(const void *Lock, const char *Name);
void HostLockOrderRelease(const void *Lock);
void HostLockOrderForget(const void *Lock);
/* Order cycles found so far. */
ULONG HostLockOrderCycles();

/* ------------------------------------------------------------------------------------------ */
/* Pool                                                                                       */
/* ------------------------------------------------------------------------------------------ */

/* The tag whose four characters appear in memory in the given order: HostPoolTag("BrnX"). */
constexpr ULONG HostPoolTag(const char (&Name)[5]) {
    return (ULONG)(uint8_t)Name[0] | ((ULONG)(uint8_t)Name[1] << 8) |
           ((ULONG)(uint8_t)Name[2] << 16) | ((ULONG)(uint8_t)Name[3] << 24);
}

/* The four characters of a tag in memory order ("BrnX"), non-printing ones as '.'. */
std::string HostPoolTagName(ULONG Tag);

/* Fresh allocations are filled with this byte, freed ones with HOST_POOL_FREED_FILL. */
#define HOST_POOL_FRESH_FILL 0xD1
#define HOST_POOL_FREED_FILL 0xDF

/* Bytes / allocations still allocated with Tag (Tag 0: all tags). */
size_t HostPoolBytesInUse(ULONG Tag = 0);
size_t HostPoolCountInUse(ULONG Tag = 0);

/* Successful allocations since the process started (for benchmarks). */
uint64_t HostPoolTotalAllocations();

/* Whether P is the start of a live pool allocation; its size and tag when it is. */
bool HostPoolLookup(const void *P, size_t *Size = nullptr, ULONG *Tag = nullptr);

/* What is still allocated, one line per tag; empty when nothing is. */
std::string HostPoolReport();

/* The Nth following allocation (1 = the next one) fails; with Tag nonzero only allocations with
 * that tag are counted. */
void HostPoolFailNth(ULONG N, ULONG Tag = 0);

/* The next Count allocations with Tag fail (Count -1: every one until cleared). */
void HostPoolFailTag(ULONG Tag, LONG Count = -1);

/* Each allocation (with Tag, or any when Tag is 0) fails with probability Permille/1000,
 * drawn from a generator seeded with Seed. */
void HostPoolFailRandom(uint32_t Seed, ULONG Permille, ULONG Tag = 0);

/* Removes every injected failure. */
void HostPoolClearFailures();

/* Allocations failed by injection so far. */
ULONG HostPoolInjectedFailures();

/* ------------------------------------------------------------------------------------------ */
/* System threads                                                                             */
/* ------------------------------------------------------------------------------------------ */

/* System threads started and not yet ended. */
ULONG HostThreadsAlive();

/*
 * Waits (a stand-in wait: the virtual clock may move) until every system thread has ended, at
 * most Timeout (100 ns units). Returns true when none is alive; otherwise prints the threads
 * that never ended to stderr and returns false.
 */
bool HostWaitAllSystemThreads(LONGLONG Timeout = 600LL * 10000000LL);

/* One line per live system thread: start routine, context, what it waits on. */
std::string HostSystemThreadsReport();

/* The next PsCreateSystemThread fails with Status without starting a thread. */
void HostFailNextThreadCreate(NTSTATUS Status);

/* ------------------------------------------------------------------------------------------ */
/* Handles and object references                                                              */
/* ------------------------------------------------------------------------------------------ */

/* Handle kinds of the handle table that ZwClose serves. */
#define HOST_HANDLE_THREAD 1UL
#define HOST_HANDLE_FILE 2UL
#define HOST_HANDLE_OTHER 3UL

typedef void (*HOST_HANDLE_CLOSE)(void *Object);

/* Enters Object in the handle table; ZwClose removes it and calls Close(Object) (outside any
 * stand-in lock). Never returns NULL. */
HANDLE HostHandleCreate(ULONG Kind, void *Object, HOST_HANDLE_CLOSE Close);

/* The object of a live handle of that Kind, or NULL. The caller keeps the handle open while
 * it uses the object. */
void *HostHandleObject(HANDLE Handle, ULONG Kind);

/* Live handles of Kind (0: all kinds). */
ULONG HostHandlesOpen(ULONG Kind = 0);

/*
 * Reference counting for ObfReferenceObject / ObfDereferenceObject. Thread objects are tracked
 * by the stand-in itself; other parts track their objects (device objects, file objects) here.
 * When the count drops to zero Destroy(Object) runs (outside any stand-in lock); without a
 * Destroy routine the object stays tracked at zero. Dereferencing an untracked object or one at
 * zero is a verifier stop.
 */
typedef void (*HOST_OBJECT_DESTROY)(void *Object);
void HostObjectTrack(void *Object, LONG References, HOST_OBJECT_DESTROY Destroy);
void HostObjectUntrack(void *Object);

/* Current reference count of a tracked object, -1 when untracked. */
LONG HostObjectReferences(const void *Object);

/* ------------------------------------------------------------------------------------------ */
/* Debug output                                                                               */
/* ------------------------------------------------------------------------------------------ */

/* Everything DbgPrint wrote, as one text, and as one string per DbgPrint call. */
std::string HostDebugLog();
std::vector<std::string> HostDebugMessages();
void HostDebugLogClear();
bool HostDebugLogContains(const char *Text);

/* Non-overlapping occurrences of Text in the captured output. */
size_t HostDebugLogCount(const char *Text);

/* Echo each message to stderr as well (default: environment variable CDW_DEBUG=1). */
void HostDebugLogSetEcho(bool Echo);

/* Also passes each message to Sink (NULL: none); for the tool's debug view. */
typedef void (*HOST_DEBUG_SINK)(const char *Message);
void HostDebugSetSink(HOST_DEBUG_SINK Sink);

/* ------------------------------------------------------------------------------------------ */
/* Shutdown                                                                                   */
/* ------------------------------------------------------------------------------------------ */

/*
 * Checks at driver unload: gives system threads a short grace (5 s on the stand-in clock) to
 * end, then reports pool still allocated by tag, system threads still alive and handles still
 * open. Prints the report to stderr when something is left, stores it in *Report when given,
 * and returns whether everything was clean.
 */
bool HostKernelShutdownCheck(std::string *Report = nullptr);
