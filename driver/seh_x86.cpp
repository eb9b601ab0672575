/*
 * seh_x86.cpp - the frame-based exception guard of the 32-bit x86 Windows build.
 *
 * The platform dispatches an exception by walking the current thread's chain of registration
 * records, which starts at FS:[0]; each record is {previous record, handler} and lies on the
 * thread's stack. CdwSehGuard puts one record on the chain around its body. Its handler takes
 * every exception raised inside: RtlUnwind calls the handlers of the records registered after
 * it (an inner guard, the dispatcher's own) with the unwinding flag and removes them, the
 * handler then unlinks its own record and resumes in CdwSehGuard through the __builtin_setjmp
 * buffer kept beside the record.
 *
 * The same source builds the driver and the user-mode test program of the guard: it includes
 * no platform header and uses only the exception record's first two fields and RtlUnwind,
 * which the x86 kernel and the user-mode system library both export.
 */
#if defined(_WIN32) && defined(__i386__)

typedef unsigned char BOOLEAN;
typedef long LONG;
typedef unsigned long ULONG;
typedef void *PVOID;

#include "seh_x86.h"

namespace {

/* The leading fields of the platform's EXCEPTION_RECORD: all the handler reads. */
struct CdwExceptionRecord {
    LONG ExceptionCode;
    ULONG ExceptionFlags;
};

const ULONG CdwExceptionUnwinding = 0x2;  /* EXCEPTION_UNWINDING */
const ULONG CdwExceptionExitUnwind = 0x4; /* EXCEPTION_EXIT_UNWIND */
const int CdwExceptionContinueSearch = 1; /* ExceptionContinueSearch */

/*
 * The registration record: the two words the dispatcher walks, then the guard's own state.
 * It lives in CdwSehGuard's frame, so it lies on the current stack, 4-byte aligned, as the
 * dispatcher requires.
 */
struct CdwSehRegistration {
    CdwSehRegistration *Next;
    PVOID Handler;
    PVOID Resume[5]; /* __builtin_setjmp buffer: frame pointer, resume address, stack pointer */
    volatile LONG Code;
};

inline CdwSehRegistration *CdwChainHead() {
    CdwSehRegistration *head;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

inline void CdwSetChainHead(CdwSehRegistration *head) {
    __asm__ __volatile__("movl %0, %%fs:0" : : "r"(head) : "memory");
}

} // namespace

extern "C" {

/*
 * RtlUnwind(TargetFrame, TargetIp, ExceptionRecord, ReturnValue) returns to TargetIp with
 * EBX, ESI and EDI not preserved for its caller (on the kernel's implementation it continues
 * from a captured context). CdwUnwindTo saves every register the compiler expects to survive
 * a call, including EBP, and gives RtlUnwind the address right after the call to return to.
 */
__attribute__((naked,
               noinline)) void __cdecl CdwUnwindTo(CdwSehRegistration * /* TargetFrame */,
                                                   CdwExceptionRecord * /* ExceptionRecord */) {
    __asm__("pushl %ebp\n\t"
            "pushl %ebx\n\t"
            "pushl %esi\n\t"
            "pushl %edi\n\t"
            "pushl $0\n\t"       /* ReturnValue */
            "pushl 28(%esp)\n\t" /* ExceptionRecord: past 5 words, return address, TargetFrame */
            "pushl $1f\n\t"      /* TargetIp */
            "pushl 32(%esp)\n\t" /* TargetFrame: past 7 words and the return address */
            "call _RtlUnwind@16\n"
            "1:\n\t"
            "popl %edi\n\t"
            "popl %esi\n\t"
            "popl %ebx\n\t"
            "popl %ebp\n\t"
            "ret");
}

/*
 * The record's handler, called by the dispatcher with the cdecl convention. Unwind calls
 * (an outer frame taking an exception after this guard ended, which cannot happen while the
 * record is linked, or an exit unwind) are declined; every exception raised inside the body
 * is taken.
 */
int __cdecl CdwSehHandler(CdwExceptionRecord *ExceptionRecord, PVOID EstablisherFrame,
                          PVOID ContextRecord, PVOID DispatcherContext) {
    (void)ContextRecord;
    (void)DispatcherContext;
    if ((ExceptionRecord->ExceptionFlags & (CdwExceptionUnwinding | CdwExceptionExitUnwind)) != 0) {
        return CdwExceptionContinueSearch;
    }
    CdwSehRegistration *registration = static_cast<CdwSehRegistration *>(EstablisherFrame);
    registration->Code = ExceptionRecord->ExceptionCode;
    CdwUnwindTo(registration, ExceptionRecord);
    CdwSetChainHead(registration->Next);
    __builtin_longjmp(registration->Resume, 1);
}

/*
 * Runs Body(Context) with the record linked; see seh_x86.h. Never inlined: the resume point
 * belongs to this frame, and Body is called through a volatile pointer so that the compiler
 * sees a call between the setjmp and the unlinking, whatever Body is.
 */
__attribute__((noinline))
BOOLEAN __cdecl CdwSehGuard(CDW_GUARD_BODY Body, PVOID Context, LONG *ExceptionCode) {
    CdwSehRegistration registration;
    registration.Handler = reinterpret_cast<PVOID>(&CdwSehHandler);
    registration.Next = CdwChainHead();
    registration.Code = 0;
    if (__builtin_setjmp(registration.Resume) != 0) {
        /* Resumed by the handler, which has unwound and unlinked the record. */
        *ExceptionCode = registration.Code;
        return 0;
    }
    CdwSetChainHead(&registration);
    CDW_GUARD_BODY volatile entry = Body;
    entry(Context);
    CdwSetChainHead(registration.Next);
    return 1;
}

} // extern "C"

#endif
