/*
 * guard_contract_pe.cpp - the guard's contract on the platform's own exception dispatch: a
 * user-mode 32-bit PE program built from the driver's guard source (driver/seh_x86.cpp,
 * driver/guard.h), run under Wine, where the dispatcher walks FS:[0] as the kernel's does.
 *
 * Statuses are raised with RtlRaiseStatus, the routine behind the platform's probes, and with
 * RaiseException for a status of the application's making. Prints one line per case and exits
 * with the number of failures.
 */
#include <windows.h>
#include <winternl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "guard.h"

namespace {

typedef VOID(NTAPI *RTL_RAISE_STATUS)(NTSTATUS Status);
RTL_RAISE_STATUS RaiseStatusRoutine;

} // namespace

static void GuardContractRaise(NTSTATUS Status) {
    RaiseStatusRoutine(Status);
}

static PVOID GuardContractChainHead() {
    PVOID head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

#include "guard_contract.h"

namespace {

using namespace guard_contract;

/* RaiseException with parameters: the status and nothing else reaches the guard's caller. */
const char *RaiseExceptionWithParameters() {
    ULONG_PTR parameters[3] = {1, 2, 3};
    NTSTATUS code = Untouched;
    PVOID chain = GuardContractChainHead();
    BOOLEAN completed =
        CdwGuarded([&] { RaiseException((DWORD)ApplicationStatus, 0, 3, parameters); }, &code);
    if (completed || code != ApplicationStatus) {
        return "RaiseException's status was not taken";
    }
    if (GuardContractChainHead() != chain) {
        return "the handler chain was not restored after RaiseException";
    }
    return NULL;
}

/*
 * A foreign record registered inside the body, whose handler declines: the guard's unwinding
 * calls it exactly once, with the unwinding flag, and removes it from the chain.
 */
struct ForeignRecord {
    ForeignRecord *Next;
    PVOID Handler;
};

int ForeignDispatchCalls;
int ForeignUnwindCalls;

extern "C" int __cdecl ForeignHandler(EXCEPTION_RECORD *Record, PVOID, PVOID, PVOID) {
    if ((Record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
        ForeignUnwindCalls++;
    } else {
        ForeignDispatchCalls++;
    }
    return ExceptionContinueSearch;
}

__attribute__((noinline)) void RaiseUnderForeignRecord() {
    ForeignRecord record;
    record.Handler = reinterpret_cast<PVOID>(&ForeignHandler);
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(record.Next) : : "memory");
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(&record) : "memory");
    GuardContractRaise(AccessViolation);
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(record.Next) : "memory");
}

const char *UnwindsForeignRecord() {
    ForeignDispatchCalls = 0;
    ForeignUnwindCalls = 0;
    PVOID chain = GuardContractChainHead();
    NTSTATUS code = Untouched;
    BOOLEAN completed = CdwGuarded([&] { RaiseUnderForeignRecord(); }, &code);
    if (completed || code != AccessViolation) {
        return "the raise under a declining record was not taken by the guard";
    }
    if (ForeignDispatchCalls != 1 || ForeignUnwindCalls != 1) {
        return "the declining record was not asked once and unwound once";
    }
    if (GuardContractChainHead() != chain) {
        return "the handler chain was not restored after unwinding a foreign record";
    }
    return NULL;
}

const Case PlatformCases[] = {
    {"RaiseExceptionWithParameters", RaiseExceptionWithParameters, false},
    {"UnwindsForeignRecord", UnwindsForeignRecord, false},
};

int RunCases(const Case *First, const Case *End) {
    int failures = 0;
    for (const Case *c = First; c != End; c++) {
        const char *failure = c->Run();
        printf("%s %s%s%s\n", failure == NULL ? "ok  " : "FAIL", c->Name,
               failure == NULL ? "" : ": ", failure == NULL ? "" : failure);
        fflush(stdout);
        if (failure != NULL) {
            failures++;
        }
    }
    return failures;
}

} // namespace

int main() {
    /* Set by the runner when the program does not run under a CPU emulator. */
    const char *faultCodes = getenv("CDW_FAULT_CODES");
    FaultCodesExact = faultCodes != NULL && strcmp(faultCodes, "exact") == 0;
    printf("fault codes %s\n", FaultCodesExact ? "checked" : "not checked (emulated)");
    RaiseStatusRoutine = reinterpret_cast<RTL_RAISE_STATUS>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlRaiseStatus")));
    if (RaiseStatusRoutine == NULL) {
        printf("FAIL ntdll.dll has no RtlRaiseStatus\n");
        return 1;
    }
    int failures = RunCases(Cases, Cases + sizeof(Cases) / sizeof(Cases[0]));
    failures +=
        RunCases(PlatformCases, PlatformCases + sizeof(PlatformCases) / sizeof(PlatformCases[0]));
    printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
    return failures;
}
