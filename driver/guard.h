/*
 * guard.h - the structured exception guard, CdwGuarded.
 *
 * Runs Body and reports whether it completed. When the platform raises a status inside it
 * (a bad application address met by a probe, an injected fault), the guard stops the body,
 * stores the raised code in *ExceptionCode and returns FALSE, and the caller's recovery runs.
 *
 * Host stand-in: statuses are raised as C++ exceptions of one type, which is the only type
 * caught here (a thread termination passes through); scope guards inside the body run their
 * destructors on the way out.
 *
 * 32-bit x86 Windows: a frame-based guard (seh_x86.h). Body runs in its own function, entered
 * through a pointer from CdwSehGuard with the guard's record on the thread's handler chain.
 * Nothing inside the body is destroyed on the way out, so no object with a destructor (a
 * spin-lock guard) may be alive where anything can raise.
 *
 * Needs BOOLEAN, NTSTATUS and PVOID from the including file, so that the driver and the
 * user-mode test program of the guard share it.
 */
#pragma once

#if defined(NTDDK_STANDIN_RAISES_CXX_EXCEPTIONS)

template <typename Body>
[[nodiscard]] inline BOOLEAN CdwGuarded(Body &&body, NTSTATUS *ExceptionCode) {
    try {
        body();
    } catch (const HOST_RAISED_STATUS &raised) {
        *ExceptionCode = raised.Status;
        return FALSE;
    }
    return TRUE;
}

#elif defined(_WIN32) && defined(__i386__)

#include "seh_x86.h"

/* The body object's type, without the reference that a forwarded lvalue carries. */
template <typename T> struct CdwGuardedBodyType { typedef T Type; };
template <typename T> struct CdwGuardedBodyType<T &> { typedef T Type; };

/* The body's own function, entered only by CdwSehGuard; Context is the body object. */
template <typename BodyObject> void __cdecl CdwGuardedBody(PVOID Context) {
    (*static_cast<BodyObject *>(Context))();
}

template <typename Body>
[[nodiscard]] inline BOOLEAN CdwGuarded(Body &&body, NTSTATUS *ExceptionCode) {
    LONG code = 0;
    if (CdwSehGuard(&CdwGuardedBody<typename CdwGuardedBodyType<Body>::Type>, (PVOID)&body,
                    &code)) {
        return TRUE;
    }
    *ExceptionCode = (NTSTATUS)code;
    return FALSE;
}

#else
#error "no structured exception guard for this target"
#endif
