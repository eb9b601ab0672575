/*
 * platform.h - the one header through which every driver source reaches the platform.
 *
 * It includes the kernel, SCSI and class-library headers by their DDK names, adds the few
 * documented constants that some header sets lack, and supplies the small helpers every
 * subsystem shares: the structured exception guard (guard.h), the spin-lock scope guard and the
 * code placement markers. Nothing here depends on which header set answers the DDK names.
 */
#pragma once

#if defined(_WIN32) && defined(__GNUC__)
/* The DDK's wdm.h and the compiler's intrinsics both define these two; let the compiler win. */
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntifs.h>
#include <ntddk.h>
#include <ntddscsi.h>
#include <ntddstor.h>
extern "C" {
#include <classpnp.h>
}
#include <srb.h>
#include <scsi.h>

#if defined(_WIN32) && defined(__GNUC__)
/*
 * The cross toolchain's stdio.h turns sprintf into an inline wrapper around its own C
 * runtime. A driver must call the kernel's export instead, so bind the name to it.
 */
extern "C" int __cdecl NtoskrnlSprintf(char *Buffer, const char *Format, ...) __asm__("_sprintf");
#define sprintf NtoskrnlSprintf
#endif

/* Documented control codes that some DDK header sets do not carry. */
#ifndef IOCTL_SCSI_EXECUTE_IN
#define IOCTL_SCSI_EXECUTE_IN 0x001B0011
#endif
#ifndef IOCTL_SCSI_EXECUTE_OUT
#define IOCTL_SCSI_EXECUTE_OUT 0x001B0012
#endif
#ifndef IOCTL_SCSI_EXECUTE_NONE
#define IOCTL_SCSI_EXECUTE_NONE 0x001B0013
#endif
#ifndef IOCTL_CDROM_FIND_NEW_DEVICES
#define IOCTL_CDROM_FIND_NEW_DEVICES 0x00024818
#endif
#ifndef IOCTL_DISK_FIND_NEW_DEVICES
#define IOCTL_DISK_FIND_NEW_DEVICES 0x00074818
#endif
#ifndef IOCTL_STORAGE_FIND_NEW_DEVICES
#define IOCTL_STORAGE_FIND_NEW_DEVICES 0x002D4818
#endif
#ifndef STATUS_MEMORY_NOT_ALLOCATED
#define STATUS_MEMORY_NOT_ALLOCATED ((NTSTATUS)0xC00000A0L)
#endif

/*
 * Code placement. DriverEntry and its data are discarded after initialization (INIT);
 * pageable routines live in PAGE. The Microsoft compiler takes alloc_text pragmas, the GNU
 * toolchain a section attribute; the host build has no sections to place.
 */
#if defined(_WIN32) && defined(__GNUC__)
#define CDW_INIT_CODE __attribute__((section("INIT")))
#define CDW_PAGED_CODE __attribute__((section("PAGE")))
#else
#define CDW_INIT_CODE
#define CDW_PAGED_CODE
#endif

/* The structured exception guard, CdwGuarded: see guard.h. */
#include "guard.h"

/*
 * The frame of a control request handled in the caller's thread. Information starts at 0 and
 * Body runs guarded, leaving its result in *Status. A raised status clears Information again,
 * is printed with ExceptionFormat (which takes the device number and the code; NULL: silent)
 * and becomes the result. The result is stored in the request, which the dispatch completes,
 * and returned.
 */
template <typename Body>
inline NTSTATUS CdwGuardedRequest(PIRP Irp, NTSTATUS *Status, const char *ExceptionFormat,
                                  ULONG DeviceNumber, Body &&body) {
    NTSTATUS code;
    Irp->IoStatus.Information = 0;
    if (!CdwGuarded(body, &code)) {
        if (ExceptionFormat != NULL) {
            DbgPrint(ExceptionFormat, DeviceNumber, code);
        }
        Irp->IoStatus.Information = 0;
        *Status = code;
    }
    Irp->IoStatus.Status = *Status;
    return *Status;
}

/*
 * Holds one spin lock for the lifetime of the object (or until Release), raising to
 * DISPATCH_LEVEL while held. The driver never holds two at once and never waits, reads a
 * file or sends a command while holding one.
 */
struct CdwSpinLockGuard {
    explicit CdwSpinLockGuard(PKSPIN_LOCK Lock) : lock(Lock), oldIrql(KfAcquireSpinLock(Lock)) {}
    ~CdwSpinLockGuard() { Release(); }
    void Release() {
        if (lock != NULL) {
            KfReleaseSpinLock(lock, oldIrql);
            lock = NULL;
        }
    }
    CdwSpinLockGuard(const CdwSpinLockGuard &) = delete;
    CdwSpinLockGuard &operator=(const CdwSpinLockGuard &) = delete;

    PKSPIN_LOCK lock;
    KIRQL oldIrql;
};

/* Relative time-outs in 100-nanosecond units, negative as the kernel expects them. */
#define CDW_RELATIVE_MS(ms) (-(LONGLONG)(ms)*10000LL)
