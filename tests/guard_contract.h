/*
 * guard_contract.h - the contract of the exception guard, CdwGuarded, as cases that both builds
 * run: the host's GoogleTest (the stand-in raises C++ exceptions) and the user-mode PE program
 * run under Wine (the frame-based guard of the x86 Windows build, same source as the driver's).
 *
 * The including file supplies, before including this one, CdwGuarded (guard.h), NTSTATUS and:
 *
 *   void GuardContractRaise(NTSTATUS Status);
 *       raises Status the way the platform's probes do; does not return.
 *   PVOID GuardContractChainHead();
 *       the head of the current thread's handler chain (FS:[0]); NULL where there is none.
 *
 * Every case returns NULL when the contract held, else what went wrong.
 */
#pragma once

namespace guard_contract {

const NTSTATUS AccessViolation = (NTSTATUS)0xC0000005L;
const NTSTATUS DatatypeMisalignment = (NTSTATUS)0x80000002L;
/* A status of the application's making: customer bit set, facility and code of our choosing. */
const NTSTATUS ApplicationStatus = (NTSTATUS)0xE0CD0042L;
/* Stored in the code before a guard, to see that a completed body leaves it alone. */
const NTSTATUS Untouched = (NTSTATUS)0x1234ABCDL;

/*
 * Raises Status Depth calls down, so that the unwinding has frames to pass. The call goes
 * through a pointer: it never returns, which the compiler would take for endless recursion.
 */
__attribute__((noinline)) inline void RaiseDeep(NTSTATUS Status, int Depth) {
    if (Depth > 0) {
        void (*volatile next)(NTSTATUS, int) = &RaiseDeep;
        next(Status, Depth - 1);
        __asm__ __volatile__("" ::: "memory"); /* not a tail call */
        return;
    }
    GuardContractRaise(Status);
}

/* A raise inside the body ends it: the guard gives FALSE and the raised code, once. */
inline const char *RaiseStatus(NTSTATUS Status, int Depth) {
    PVOID chain = GuardContractChainHead();
    NTSTATUS code = Untouched;
    int entered = 0;
    bool passedRaise = false;
    BOOLEAN completed = CdwGuarded(
        [&] {
            entered++;
            RaiseDeep(Status, Depth);
            passedRaise = true;
        },
        &code);
    if (completed) {
        return "the guard reported a body that raised as completed";
    }
    if (code != Status) {
        return "the guard reported another code than the one raised";
    }
    if (entered != 1 || passedRaise) {
        return "the body did not run exactly once up to the raise";
    }
    if (GuardContractChainHead() != chain) {
        return "the handler chain was not restored after the raise";
    }
    return NULL;
}

inline const char *RaiseAccessViolation() {
    return RaiseStatus(AccessViolation, 0);
}
inline const char *RaiseMisalignmentDeep() {
    return RaiseStatus(DatatypeMisalignment, 6);
}
inline const char *RaiseApplicationStatus() {
    return RaiseStatus(ApplicationStatus, 1);
}

/* A body that returns: TRUE, the code left alone, the body's writes kept, the chain restored. */
inline const char *BodyReturns() {
    PVOID chain = GuardContractChainHead();
    NTSTATUS code = Untouched;
    int result = 0;
    PVOID chainInside = NULL;
    BOOLEAN completed = CdwGuarded(
        [&] {
            result = 42;
            chainInside = GuardContractChainHead();
        },
        &code);
    if (!completed || code != Untouched || result != 42) {
        return "a body that returned was not reported as completed with its result";
    }
    if (chain != NULL && chainInside == chain) {
        return "the guard ran its body without a record of its own on the chain";
    }
    if (GuardContractChainHead() != chain) {
        return "the handler chain was not restored after a completed body";
    }
    return NULL;
}

/*
 * Guards inside guards: the inner one takes its body's raise and the outer body goes on; a
 * raise in the outer body after the inner guard ended is the outer guard's; an inner guard
 * that completes leaves the outer one working.
 */
inline const char *NestedGuards() {
    PVOID chain = GuardContractChainHead();
    NTSTATUS outerCode = Untouched;
    NTSTATUS innerCode = Untouched;
    NTSTATUS secondInnerCode = Untouched;
    BOOLEAN innerCompleted = TRUE;
    BOOLEAN secondInnerCompleted = FALSE;
    PVOID outerChain = NULL;
    PVOID chainAfterInner = NULL;
    int stage = 0;
    BOOLEAN outerCompleted = CdwGuarded(
        [&] {
            outerChain = GuardContractChainHead();
            innerCompleted = CdwGuarded([&] { RaiseDeep(DatatypeMisalignment, 2); }, &innerCode);
            chainAfterInner = GuardContractChainHead();
            stage = 1;
            secondInnerCompleted = CdwGuarded([&] { stage = 2; }, &secondInnerCode);
            GuardContractRaise(ApplicationStatus);
            stage = 3;
        },
        &outerCode);
    if (innerCompleted || innerCode != DatatypeMisalignment) {
        return "the inner guard did not take its body's raise with its code";
    }
    if (chainAfterInner != outerChain) {
        return "the inner guard did not restore the outer guard's chain";
    }
    if (!secondInnerCompleted || secondInnerCode != Untouched) {
        return "an inner guard after a caught raise did not complete";
    }
    if (outerCompleted || outerCode != ApplicationStatus || stage != 2) {
        return "the outer guard did not take the raise after its inner guards";
    }
    if (GuardContractChainHead() != chain) {
        return "the handler chain was not restored after nested guards";
    }
    return NULL;
}

/* The shape of a request's frame: locals set before the guard serve its recovery. */
__attribute__((noinline)) inline const char *RecoveryOnce(int Round) {
    volatile int before[4] = {Round, Round * 3, Round * 7, Round * 11};
    int a = Round + 1, b = Round + 2, c = Round + 3;
    int recoveries = 0;
    NTSTATUS status = Untouched;
    NTSTATUS code;
    if (!CdwGuarded(
            [&] {
                if (Round % 3 == 0) {
                    status = 0;
                    return;
                }
                GuardContractRaise(Round % 2 ? AccessViolation : ApplicationStatus);
            },
            &code)) {
        recoveries++;
        status = code;
    }
    bool raised = Round % 3 != 0;
    if (recoveries != (raised ? 1 : 0)) {
        return "the recovery after the guard did not run exactly when the body raised";
    }
    if (status != (raised ? (Round % 2 ? AccessViolation : ApplicationStatus) : 0)) {
        return "the recovery did not get the raised status";
    }
    if (before[0] != Round || before[1] != Round * 3 || before[2] != Round * 7 ||
        before[3] != Round * 11 || a != Round + 1 || b != Round + 2 || c != Round + 3) {
        return "the caller's locals were changed by the guard";
    }
    return NULL;
}

/* Many guards in a row, raising and not: the chain and the caller's frame stay as they were. */
inline const char *RecoveryRepeated() {
    PVOID chain = GuardContractChainHead();
    for (int round = 1; round <= 300; round++) {
        const char *failure = RecoveryOnce(round);
        if (failure != NULL) {
            return failure;
        }
        if (GuardContractChainHead() != chain) {
            return "the handler chain drifted over repeated guards";
        }
    }
    return NULL;
}

/*
 * Whether a hardware fault is reported with its own code. A program run under a user-mode CPU
 * emulator can see its faults reported with other codes; its runner says when it is not.
 */
inline bool FaultCodesExact = false;

/*
 * A body with no call in it that stores to address 0: the raw copy to an application address.
 * Its code is checked only where faults keep their codes (see FaultCodesExact).
 */
inline const char *StoreToBadAddress() {
    PVOID chain = GuardContractChainHead();
    PVOID volatile bad = NULL;
    NTSTATUS code = Untouched;
    BOOLEAN completed = CdwGuarded([&] { *static_cast<volatile int *>(bad) = 1; }, &code);
    if (completed || code == Untouched) {
        return "a store to address 0 was not caught";
    }
    if (FaultCodesExact && code != AccessViolation) {
        return "a store to address 0 was reported with another code than an access violation";
    }
    if (GuardContractChainHead() != chain) {
        return "the handler chain was not restored after a fault";
    }
    return NULL;
}

struct Case {
    const char *Name;
    const char *(*Run)();
    bool HardwareFault; /* needs the platform's fault dispatch: not on the host */
};

const Case Cases[] = {
    {"BodyReturns", BodyReturns, false},
    {"RaiseAccessViolation", RaiseAccessViolation, false},
    {"RaiseMisalignmentDeep", RaiseMisalignmentDeep, false},
    {"RaiseApplicationStatus", RaiseApplicationStatus, false},
    {"NestedGuards", NestedGuards, false},
    {"RecoveryRepeated", RecoveryRepeated, false},
    {"StoreToBadAddress", StoreToBadAddress, true},
};

} // namespace guard_contract
