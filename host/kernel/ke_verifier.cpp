/*
 * ke_verifier.cpp - IRQL, spin locks and the always-on verifier of the kernel stand-in.
 *
 * The IRQL is a property of the calling host thread. A spin lock is a real lock on the
 * KSPIN_LOCK storage (the owner's thread record is stored in it with atomic acquire / release
 * operations, so race detectors see the ordering). The verifier turns every misuse the driver
 * could commit at raised IRQL into a report that stops the process, or reaches the test's
 * failure handler.
 */
#include "ke_internal.h"

#include <atomic>

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace {

std::atomic<HOST_VERIFIER_FAILURE_HANDLER> g_handler{nullptr};
std::atomic<ULONG> g_failures{0};

ULONG_PTR OwnerValue(hostk::ThreadState *Self) {
    return (ULONG_PTR)Self;
}

bool HeldBySelf(hostk::ThreadState *Self, PKSPIN_LOCK Lock) {
    for (ULONG i = 0; i < Self->HeldCount; ++i) {
        if (Self->Held[i] == Lock) {
            return true;
        }
    }
    return false;
}

void ForgetHeld(hostk::ThreadState *Self, PKSPIN_LOCK Lock) {
    for (ULONG i = 0; i < Self->HeldCount; ++i) {
        if (Self->Held[i] == Lock) {
            Self->Held[i] = Self->Held[Self->HeldCount - 1];
            --Self->HeldCount;
            return;
        }
    }
}

/*
 * Takes the lock; the caller has checked that this thread does not hold it.
 * On the platform the holder runs at DISPATCH_LEVEL and cannot be preempted; here it can be,
 * and a waiter in the host's real-time class that only yields gives the processor to other
 * real-time threads, never to a holder in the normal class (an application thread in a control
 * request). After a short while of yielding the waiter therefore sleeps briefly between tries,
 * which lets any holder run.
 */
void SpinAcquire(hostk::ThreadState *Self, PKSPIN_LOCK Lock) {
    hostk::LockOrderSpinAcquire(Self, Lock);
    hostk::TsanSpinPreLock(Lock);
    for (unsigned tries = 0;; ++tries) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(Lock, &expected, OwnerValue(Self), false, __ATOMIC_ACQUIRE,
                                        __ATOMIC_RELAXED)) {
            break;
        }
        if (tries < 64) {
            sched_yield();
        } else {
            const timespec pause = {0, 20 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    hostk::TsanSpinPostLock(Lock);
    if (Self->HeldCount < hostk::kMaxHeldSpinLocks) {
        Self->Held[Self->HeldCount++] = Lock;
    }
}

/* Checks before any acquire: no lock held yet, no recursion. FALSE: do not acquire. */
bool CheckAcquire(hostk::ThreadState *Self, PKSPIN_LOCK Lock, const char *Routine) {
    if (Lock == nullptr) {
        HostVerifierStop("%s with a NULL spin lock", Routine);
        return false;
    }
    if (Self->HeldCount > 0) {
        bool recursive = HeldBySelf(Self, Lock);
        HostVerifierStop("%s: spin lock %p acquired while holding spin lock %p%s", Routine,
                         (void *)Lock, (void *)Self->Held[Self->HeldCount - 1],
                         recursive ? " (the same lock: recursive acquire)" : "");
        if (recursive) {
            return false;
        }
    }
    return true;
}

/* Checks before a release; FALSE: do not release. */
bool CheckRelease(hostk::ThreadState *Self, PKSPIN_LOCK Lock, const char *Routine) {
    if (Lock == nullptr) {
        HostVerifierStop("%s with a NULL spin lock", Routine);
        return false;
    }
    ULONG_PTR owner = __atomic_load_n(Lock, __ATOMIC_RELAXED);
    if (owner != OwnerValue(Self) || !HeldBySelf(Self, Lock)) {
        HostVerifierStop("%s: spin lock %p released but not held by this thread (%s)", Routine,
                         (void *)Lock, owner == 0 ? "not held at all" : "held by another thread");
        return false;
    }
    return true;
}

} // namespace

namespace hostk {

void VerifierStopV(const char *Format, va_list Arguments) {
    char text[1024];
    vsnprintf(text, sizeof text, Format, Arguments);
    char report[1100];
    snprintf(report, sizeof report, "HOST VERIFIER STOP: %s\n", text);
    g_failures.fetch_add(1);
    HOST_VERIFIER_FAILURE_HANDLER handler = g_handler.load();
    if (handler != nullptr) {
        handler(report);
        return;
    }
    fputs(report, stderr);
    fflush(stderr);
    abort();
}

bool VerifierTakeOwedWait(ThreadState *Self) {
    if (!Self->WaitOwed) {
        return false;
    }
    Self->WaitOwed = false;
    Self->Irql = Self->IrqlAfterWait;
    return true;
}

void VerifierCheckNoOwedWait(ThreadState *Self, const char *Routine) {
    if (VerifierTakeOwedWait(Self)) {
        HostVerifierStop("%s called after KeSetEvent with Wait = TRUE (the next call must be a "
                         "wait)",
                         Routine);
    }
}

} // namespace hostk

using namespace hostk;

HOST_VERIFIER_FAILURE_HANDLER HostVerifierSetFailureHandler(HOST_VERIFIER_FAILURE_HANDLER Handler) {
    return g_handler.exchange(Handler);
}

void HostVerifierStop(const char *Format, ...) {
    va_list arguments;
    va_start(arguments, Format);
    VerifierStopV(Format, arguments);
    va_end(arguments);
}

void HostVerifierCheckPassive(const char *What) {
    HostVerifierCheckIrql(What, PASSIVE_LEVEL);
}

void HostVerifierCheckIrql(const char *What, KIRQL MaxIrql) {
    ThreadState *self = Self();
    VerifierCheckNoOwedWait(self, What);
    if (self->Irql > MaxIrql) {
        if (self->HeldCount > 0) {
            HostVerifierStop("%s called at IRQL %u (above %u) while holding spin lock %p", What,
                             (unsigned)self->Irql, (unsigned)MaxIrql,
                             (void *)self->Held[self->HeldCount - 1]);
        } else {
            HostVerifierStop("%s called at IRQL %u (above %u)", What, (unsigned)self->Irql,
                             (unsigned)MaxIrql);
        }
    }
}

ULONG HostVerifierFailureCount() {
    return g_failures.load();
}

ULONG HostSpinLocksHeld() {
    return Self()->HeldCount;
}

namespace {
std::atomic<SIZE_T> g_largestFillAtDispatch{0};
} // namespace

SIZE_T HostLargestFillAtDispatch() {
    return g_largestFillAtDispatch.load();
}

void HostResetLargestFillAtDispatch() {
    g_largestFillAtDispatch.store(0);
}

extern "C" {

VOID HostRtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill) {
    if (Length != 0 && Self()->Irql >= DISPATCH_LEVEL) {
        SIZE_T seen = g_largestFillAtDispatch.load();
        while (Length > seen && !g_largestFillAtDispatch.compare_exchange_weak(seen, Length)) {
        }
    }
    memset(Destination, Fill, Length);
}

KIRQL KeGetCurrentIrql(void) {
    return Self()->Irql;
}

KIRQL KfRaiseIrql(KIRQL NewIrql) {
    ThreadState *self = Self();
    VerifierCheckNoOwedWait(self, "KeRaiseIrql");
    KIRQL old = self->Irql;
    if (NewIrql < old) {
        HostVerifierStop("KeRaiseIrql to IRQL %u below the current IRQL %u", (unsigned)NewIrql,
                         (unsigned)old);
        return old;
    }
    self->Irql = NewIrql;
    return old;
}

VOID KfLowerIrql(KIRQL NewIrql) {
    ThreadState *self = Self();
    VerifierCheckNoOwedWait(self, "KeLowerIrql");
    if (NewIrql > self->Irql) {
        HostVerifierStop("KeLowerIrql to IRQL %u above the current IRQL %u", (unsigned)NewIrql,
                         (unsigned)self->Irql);
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && self->HeldCount > 0) {
        HostVerifierStop("KeLowerIrql to IRQL %u while holding spin lock %p", (unsigned)NewIrql,
                         (void *)self->Held[self->HeldCount - 1]);
    }
    self->Irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
    return KfRaiseIrql(DISPATCH_LEVEL);
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    LockOrderSpinInitialize(SpinLock);
    __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    ThreadState *self = Self();
    VerifierCheckNoOwedWait(self, "KfAcquireSpinLock");
    KIRQL old = self->Irql;
    if (old > DISPATCH_LEVEL) {
        HostVerifierStop("KfAcquireSpinLock at IRQL %u (above DISPATCH_LEVEL)", (unsigned)old);
    }
    if (!CheckAcquire(self, SpinLock, "KfAcquireSpinLock")) {
        return old;
    }
    if (self->Irql < DISPATCH_LEVEL) {
        self->Irql = DISPATCH_LEVEL;
    }
    SpinAcquire(self, SpinLock);
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    ThreadState *self = Self();
    VerifierCheckNoOwedWait(self, "KfReleaseSpinLock");
    if (!CheckRelease(self, SpinLock, "KfReleaseSpinLock")) {
        return;
    }
    ForgetHeld(self, SpinLock);
    TsanSpinPreUnlock(SpinLock);
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
    TsanSpinPostUnlock(SpinLock);
    if (NewIrql > self->Irql) {
        HostVerifierStop("KfReleaseSpinLock: IRQL %u to restore is above the current IRQL %u",
                         (unsigned)NewIrql, (unsigned)self->Irql);
        return;
    }
    if (NewIrql < DISPATCH_LEVEL && self->HeldCount > 0) {
        HostVerifierStop("KfReleaseSpinLock lowers IRQL to %u while spin lock %p is still held",
                         (unsigned)NewIrql, (void *)self->Held[self->HeldCount - 1]);
    }
    self->Irql = NewIrql;
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadState *self = Self();
    VerifierCheckNoOwedWait(self, "KeAcquireSpinLockAtDpcLevel");
    if (self->Irql < DISPATCH_LEVEL) {
        HostVerifierStop("KeAcquireSpinLockAtDpcLevel at IRQL %u (below DISPATCH_LEVEL)",
                         (unsigned)self->Irql);
    }
    if (!CheckAcquire(self, SpinLock, "KeAcquireSpinLockAtDpcLevel")) {
        return;
    }
    SpinAcquire(self, SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    ThreadState *self = Self();
    VerifierCheckNoOwedWait(self, "KeReleaseSpinLockFromDpcLevel");
    if (!CheckRelease(self, SpinLock, "KeReleaseSpinLockFromDpcLevel")) {
        return;
    }
    ForgetHeld(self, SpinLock);
    TsanSpinPreUnlock(SpinLock);
    __atomic_store_n(SpinLock, (ULONG_PTR)0, __ATOMIC_RELEASE);
    TsanSpinPostUnlock(SpinLock);
}

VOID KeEnterCriticalRegion(void) {
    HostVerifierCheckIrql("KeEnterCriticalRegion", APC_LEVEL);
}

VOID KeLeaveCriticalRegion(void) {
    HostVerifierCheckIrql("KeLeaveCriticalRegion", APC_LEVEL);
}

VOID HostPagedCodeCheck(PCSTR Function) {
    ThreadState *self = Self();
    if (self->Irql > APC_LEVEL) {
        HostVerifierStop("PAGED_CODE: pageable routine %s runs at IRQL %u", Function,
                         (unsigned)self->Irql);
    }
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    HostVerifierStop("ASSERT failed: %s%s%s at %s:%u", (const char *)FailedAssertion,
                     Message != nullptr ? " - " : "", Message != nullptr ? Message : "",
                     (const char *)FileName, (unsigned)LineNumber);
}

} // extern "C"
