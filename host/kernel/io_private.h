/*
 * io_private.h - internals shared by the I/O manager, security, file and user/kernel boundary
 * sources of the host stand-in (host/kernel/io_*.cpp, se_*.cpp, zw_*.cpp, user_*.cpp) and the
 * class-library stand-in. Not a public header.
 */
#pragma once

#include <ntddk.h>
#include <standin/io.h>
#include <standin/kernel.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hostio {

/* The I/O manager's record of one device object (DEVICE_OBJECT::DeviceObjectExtension). */
struct DeviceRecord {
    static constexpr uint32_t kMagic = 0x44766963; /* "Dvic" */
    uint32_t Magic = kMagic;
    PDEVICE_OBJECT Device = nullptr;
    std::string Name;
    PDEVICE_OBJECT AttachedTo = nullptr; /* the device directly below (after attaching) */
    bool DeleteCalled = false;
    std::atomic<long> References{1};
    uint64_t Serial = 0;
    std::map<ULONG, std::vector<uint8_t>> Properties;
    /* Class library: the claim of a port device. */
    bool Claimed = false;
};

/* The record of a device object; stops on a pointer that is no live device object. */
DeviceRecord *Record(PDEVICE_OBJECT Device);

/* Object references of device objects (ObfReferenceObject / ObfDereferenceObject route here). */
void ReferenceDevice(PDEVICE_OBJECT Device);
void DereferenceDevice(PDEVICE_OBJECT Device);
bool IsDeviceObject(const void *Object);

/* Token objects (SeCreateClientSecurity). */
bool IsTokenObject(const void *Object);
void ReferenceToken(void *Token);
void DereferenceToken(void *Token);

/*
 * A file open made as the kernel: for its lifetime the calling thread's file-system identity
 * is the process's, also while the thread impersonates a client (a kernel-mode open makes no
 * access check unless forced). The thread's impersonated identity comes back at the end.
 */
struct KernelFileIdentityScope {
    KernelFileIdentityScope();
    ~KernelFileIdentityScope();
    KernelFileIdentityScope(const KernelFileIdentityScope &) = delete;
    KernelFileIdentityScope &operator=(const KernelFileIdentityScope &) = delete;
    bool Switched;
};

/* Ends the calling thread's impersonation when the thread ends, as the platform does. */
void DropImpersonationAtThreadEnd();

/* Global lock of the I/O manager's tables (devices, interfaces, handles). */
std::recursive_mutex &IoLock();

/* Length of a UTF-16 string in characters (without terminator). */
size_t Wcslen(const WCHAR *Text);
std::string ToUtf8(const WCHAR *Text, size_t Length);
std::u16string ToUtf16(const char *Utf8);

/* Top-level (application) completion hook of an IRP built by the user/kernel boundary. */
bool IrpIsApplicationRequest(PIRP Irp);

/* Application memory: where a range lies. NotUser: its start is in no application region. */
enum class UserRange { NotUser, Valid, Invalid };
UserRange ClassifyUserRange(const void *Address, size_t Length, bool ForWrite);

/* IRP kinds: how the final completion treats the packet. */
enum class IrpKind { Driver, Threaded, Application };
void SetIrpKind(PIRP Irp, IrpKind Kind);

} // namespace hostio
