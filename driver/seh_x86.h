/*
 * seh_x86.h - the frame-based exception guard of the 32-bit x86 Windows build.
 *
 * CdwSehGuard registers an exception record on the current thread's handler chain (FS:[0]),
 * calls Body(Context) and unlinks the record again. When anything raises inside Body (a probe
 * of an application address, ExRaiseStatus, a fault on a pageable address at PASSIVE_LEVEL),
 * the record's handler takes the exception: it unwinds the frames registered inside Body with
 * RtlUnwind, unlinks its own record and resumes in CdwSehGuard, which stores the exception
 * code in *ExceptionCode and returns FALSE. A body that returns normally gives TRUE.
 *
 * What it relies on and asks of its users:
 * - Body is entered through a call, never inlined into the guard, so the resume point is
 *   reached only from a call (GCC's __builtin_setjmp receiver).
 * - Nothing in Body's frames is cleaned up on the resume path: no object with a destructor
 *   may be alive where a raise can happen (take spin-lock guards around code that cannot
 *   raise only), and a local written in Body and read after a FALSE return must be read
 *   through memory (the callers' locals are captured by reference, so they are).
 * - A fault at DISPATCH_LEVEL or above, or on an invalid kernel address, stops the system
 *   before any handler runs: application memory is touched only at PASSIVE_LEVEL.
 *
 * The header needs only BOOLEAN, LONG and PVOID, so that the kernel build and a user-mode
 * test program of the same source can both include it.
 */
#pragma once

#if defined(_WIN32) && defined(__i386__)

typedef void(__cdecl *CDW_GUARD_BODY)(PVOID Context);

extern "C" BOOLEAN __cdecl CdwSehGuard(CDW_GUARD_BODY Body, PVOID Context, LONG *ExceptionCode);

#endif
