/*
 * io_manager_test.cpp - the I/O manager stand-in: request packets and their completion, the
 * verifier's request checks, buffered control requests across the user/kernel boundary,
 * probes, device interfaces and properties, the error log, files and impersonation.
 */
#include <gtest/gtest.h>

#include <ntifs.h>
#include <standin/io.h>
#include <standin/kernel.h>

#include "support/test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace {

/* ---- A two-level device stack: a "lower" driver whose behaviour each test chooses and an
 * "upper" one that passes requests down. ---- */

enum class LowerMode { Complete, CompleteTwice, PendWithoutMark, PendMarked, Overreport, Leak };

struct LowerState {
    LowerMode Mode = LowerMode::Complete;
    ULONG Information = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    PIRP Held = nullptr;
    UCHAR LastMajor = 0xFF;
    ULONG LastCode = 0;
    PMDL LastMdl = nullptr;
    ULONG CreateCount = 0;
    ULONG CloseCount = 0;
    /* Application memory the driver probes and writes, as a pass-through's data buffer: the
     * first UserWritten bytes, of which the first UserFromPool come from a fresh pool block. */
    UCHAR *UserTarget = nullptr;
    ULONG UserLength = 0;
    ULONG UserWritten = 0;
    ULONG UserFromPool = 0;
};

LowerState gLower;

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    gLower.LastMajor = stack->MajorFunction;
    gLower.LastMdl = Irp->MdlAddress;
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        gLower.CreateCount++;
    } else if (stack->MajorFunction == IRP_MJ_CLOSE) {
        gLower.CloseCount++;
    }
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
        stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        gLower.LastCode = stack->Parameters.DeviceIoControl.IoControlCode;
        ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        auto *buffer = static_cast<UCHAR *>(Irp->AssociatedIrp.SystemBuffer);
        /* Only a buffered request's system buffer has room for the output. */
        bool buffered = (gLower.LastCode & 3) == METHOD_BUFFERED;
        if (gLower.Mode != LowerMode::Leak && buffer != nullptr && buffered) {
            for (ULONG i = 0; i < out; i++) {
                buffer[i] = (UCHAR)(0x40 + i);
            }
        }
    }
    if (gLower.UserTarget != nullptr) {
        ProbeForWrite(gLower.UserTarget, gLower.UserLength, 1);
        auto *fresh = static_cast<UCHAR *>(
            ExAllocatePoolWithTag(NonPagedPool, gLower.UserLength, HostPoolTag("Test")));
        memset(gLower.UserTarget, 0x42, gLower.UserWritten);
        memcpy(gLower.UserTarget, fresh, gLower.UserFromPool);
        ExFreePool(fresh);
    }
    Irp->IoStatus.Status = gLower.Status;
    Irp->IoStatus.Information = gLower.Information;
    switch (gLower.Mode) {
    case LowerMode::CompleteTwice:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return gLower.Status;
    case LowerMode::PendWithoutMark:
        __atomic_store_n(&gLower.Held, Irp, __ATOMIC_SEQ_CST);
        return STATUS_PENDING;
    case LowerMode::PendMarked:
        IoMarkIrpPending(Irp);
        __atomic_store_n(&gLower.Held, Irp, __ATOMIC_SEQ_CST);
        return STATUS_PENDING;
    default:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return gLower.Status;
    }
}

std::vector<std::string> gCompletionOrder;

NTSTATUS NTAPI UpperCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    gCompletionOrder.push_back(static_cast<const char *>(Context));
    EXPECT_NE(DeviceObject, nullptr);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI UpperDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(DeviceObject->DeviceExtension);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, UpperCompletion, (PVOID) "upper", TRUE, TRUE, TRUE);
    return IoCallDriver(lower, Irp);
}

const GUID kTestInterface = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID kOtherInterface = {0x87654321, 0x4321, 0x8765, {8, 7, 6, 5, 4, 3, 2, 1}};

class IoManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        VerifierReports().clear();
        gLower = LowerState();
        gCompletionOrder.clear();
        HostVerifierSetFailureHandler(CollectVerifierReport);
        HostClearAllFaults();
        lowerDriver = HostCreateDriverObject("\\Driver\\TestLower");
        upperDriver = HostCreateDriverObject("\\Driver\\TestUpper");
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
            lowerDriver->MajorFunction[i] = LowerDispatch;
            upperDriver->MajorFunction[i] = UpperDispatch;
        }
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\TestLower0");
        ASSERT_EQ(IoCreateDevice(lowerDriver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo),
                  STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(IoCreateDevice(upperDriver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN,
                                 0, FALSE, &fdo),
                  STATUS_SUCCESS);
        PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(fdo, pdo);
        ASSERT_EQ(below, pdo);
        *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension) = below;
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        irpsBefore = HostOutstandingIrpCount();
    }

    void TearDown() override {
        IoDetachDevice(pdo);
        IoDeleteDevice(fdo);
        IoDeleteDevice(pdo);
        HostDeleteDriverObject(upperDriver);
        HostDeleteDriverObject(lowerDriver);
        HostClearAllFaults();
        HostVerifierSetFailureHandler(nullptr);
    }

    /* Registers and enables an interface for the test stack's PDO; returns its link. */
    std::string EnableInterface(const GUID *Class) {
        UNICODE_STRING link;
        EXPECT_EQ(IoRegisterDeviceInterface(pdo, Class, nullptr, &link), STATUS_SUCCESS);
        EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        std::string text;
        for (USHORT i = 0; i < link.Length / sizeof(WCHAR); i++) {
            text += (char)link.Buffer[i];
        }
        links.push_back(link);
        return text;
    }

    void DisableInterfaces() {
        for (UNICODE_STRING &link : links) {
            (void)IoSetDeviceInterfaceState(&link, FALSE);
            RtlFreeUnicodeString(&link);
        }
        links.clear();
    }

    PDRIVER_OBJECT lowerDriver = nullptr;
    PDRIVER_OBJECT upperDriver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    LONG irpsBefore = 0;
    std::vector<UNICODE_STRING> links;
};

/* ---- Requests ---- */

TEST_F(IoManagerTest, BuiltRequestRunsCompletionRoutinesAndIsFreedByTheIoManager) {
    HostThreadScope scope("test");
    UCHAR in[4] = {1, 2, 3, 4};
    UCHAR out[16];
    memset(out, 0xEE, sizeof(out));
    gLower.Information = 6;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
    PIRP irp = IoBuildDeviceIoControlRequest(code, fdo, in, sizeof(in), out, sizeof(out), FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, fdo->StackSize);
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_SUCCESS);
    EXPECT_EQ(gLower.LastMajor, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(gLower.LastCode, code);
    ASSERT_EQ(gCompletionOrder.size(), 1u);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    /* Exactly Information bytes come back; the rest of the caller's buffer is untouched. */
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(out[i], 0x40 + i);
    }
    EXPECT_EQ(out[6], 0xEE);
    EXPECT_EQ(HostOutstandingIrpCount(), irpsBefore);
    EXPECT_TRUE(VerifierReports().empty());
}

TEST_F(IoManagerTest, InternalRequestsAndDirectCodesGetTheirMajorFunctionAndMdl) {
    HostThreadScope scope("test");
    std::vector<UCHAR> data(2048);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x001B0011 /* execute in */, pdo, nullptr, 0,
                                             data.data(), (ULONG)data.size(), TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    PMDL mdl = irp->MdlAddress;
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), (PVOID)data.data());
    EXPECT_EQ(MmGetMdlByteCount(mdl), 2048u);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(HostOutstandingMdlCount(), 1);
    (void)IoCallDriver(pdo, irp);
    EXPECT_EQ(gLower.LastMajor, IRP_MJ_SCSI);
    EXPECT_EQ(gLower.LastMdl, mdl);
    /* The I/O manager frees the MDL with the request. */
    EXPECT_EQ(HostOutstandingMdlCount(), 0);
    EXPECT_EQ(HostOutstandingIrpCount(), irpsBefore);
}

TEST_F(IoManagerTest, PagesThatCannotBeLockedRaiseAndLeaveNothingAllocated) {
    HostThreadScope scope("test");
    UCHAR data[512];
    HOST_FAULT fault{0, 1, 0, STATUS_INSUFFICIENT_RESOURCES};
    HostSetFault(HostFaultLockPages, &fault);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS raised = STATUS_SUCCESS;
    try {
        (void)IoBuildDeviceIoControlRequest(0x001B0012, pdo, nullptr, 0, data, sizeof(data), TRUE,
                                            &event, &iosb);
    } catch (const HOST_RAISED_STATUS &status) {
        raised = status.Status;
    }
    EXPECT_EQ(raised, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(HostOutstandingIrpCount(), irpsBefore);
    EXPECT_EQ(HostOutstandingMdlCount(), 0);

    /* An application buffer that is no longer valid cannot be locked either. */
    void *user = HostUserAlloc(4096, TRUE);
    HostUserInvalidate(user);
    raised = STATUS_SUCCESS;
    try {
        (void)IoBuildDeviceIoControlRequest(0x001B0011, pdo, nullptr, 0, user, 512, TRUE, &event,
                                            &iosb);
    } catch (const HOST_RAISED_STATUS &status) {
        raised = status.Status;
    }
    EXPECT_EQ(raised, STATUS_ACCESS_VIOLATION);
    HostUserFree(user);
}

TEST_F(IoManagerTest, VerifierCatchesDoubleCompletionAndUnmarkedPending) {
    HostThreadScope scope("test");
    PIRP irp = IoAllocateIrp(fdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    gLower.Mode = LowerMode::CompleteTwice;
    (void)IoCallDriver(pdo, irp);
    EXPECT_TRUE(VerifierReported("completed twice"));
    IoFreeIrp(irp);

    VerifierReports().clear();
    irp = IoAllocateIrp(fdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    gLower.Mode = LowerMode::PendWithoutMark;
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    gLower.Held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(gLower.Held, IO_NO_INCREMENT);
    EXPECT_TRUE(VerifierReported("without IoMarkIrpPending"));
    IoFreeIrp(irp);

    /* Marked and completed later through an upper driver: no report, and the upper completion
     * routine sees PendingReturned. */
    VerifierReports().clear();
    irp = IoAllocateIrp(fdo->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    gLower.Mode = LowerMode::PendMarked;
    EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_PENDING);
    EXPECT_TRUE(gCompletionOrder.empty());
    IoCompleteRequest(gLower.Held, IO_NO_INCREMENT);
    EXPECT_EQ(gCompletionOrder.size(), 1u);
    EXPECT_TRUE(irp->PendingReturned);
    EXPECT_TRUE(VerifierReports().empty());
    IoFreeIrp(irp);
    EXPECT_EQ(HostOutstandingIrpCount(), irpsBefore);
}

/* ---- User/kernel boundary ---- */

TEST_F(IoManagerTest, InterfacesAreEnumeratedByClassAndOpenedThroughTheirStack) {
    EXPECT_EQ(HostDeviceInterfaceCount(&kTestInterface, TRUE), 0u);
    std::string link = EnableInterface(&kTestInterface);
    UNICODE_STRING other;
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kOtherInterface, nullptr, &other), STATUS_SUCCESS);
    EXPECT_EQ(HostDeviceInterfaceCount(&kTestInterface, TRUE), 1u);
    EXPECT_EQ(HostDeviceInterfaceCount(&kOtherInterface, FALSE), 1u);
    EXPECT_EQ(HostDeviceInterfaceCount(&kOtherInterface, TRUE), 0u);
    char found[256];
    ASSERT_TRUE(HostDeviceInterfaceLink(&kTestInterface, 0, found, sizeof(found)));
    EXPECT_EQ(link, found);
    EXPECT_NE(link.find("{12345678-1234-5678-0102-030405060708}"), std::string::npos);
    EXPECT_FALSE(HostDeviceInterfaceLink(&kTestInterface, 1, found, sizeof(found)));
    /* Enabling twice is reported as such; disabling an interface that is off fails. */
    EXPECT_EQ(IoSetDeviceInterfaceState(&links[0], TRUE), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&other, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);

    HANDLE handle = nullptr;
    EXPECT_EQ(HostOpenDevice(&kOtherInterface, 0, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(HostOpenDevice(&kTestInterface, 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(HostDeviceOfHandle(handle), fdo); /* the top of the stack */
    EXPECT_EQ(gLower.CreateCount, 1u);
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
    EXPECT_EQ(gLower.CloseCount, 1u);
    EXPECT_EQ(HostOpenDeviceHandleCount(), 0);

    DisableInterfaces();
    RtlFreeUnicodeString(&other);
    EXPECT_EQ(HostDeviceInterfaceCount(&kTestInterface, TRUE), 0u);
    EXPECT_EQ(HostOpenDevice(&kTestInterface, 0, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoManagerTest, BufferedControlRequestsCopyInformationBytesAndFlagOverreports) {
    EnableInterface(&kTestInterface);
    HANDLE handle = nullptr;
    ASSERT_EQ(HostOpenDevice(&kTestInterface, 0, &handle), STATUS_SUCCESS);
    ULONG code = CTL_CODE(0xCD, 0x871, METHOD_BUFFERED, FILE_ANY_ACCESS);
    UCHAR out[8];
    memset(out, 0xEE, sizeof(out));
    ULONG returned = 99;
    gLower.Information = 3;
    EXPECT_EQ(HostDeviceIoControl(handle, code, "in", 2, out, sizeof(out), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(out[0], 0x40);
    EXPECT_EQ(out[2], 0x42);
    EXPECT_EQ(out[3], 0xEE);
    EXPECT_TRUE(VerifierReports().empty());

    gLower.Information = 9; /* more than the 8-byte output buffer */
    returned = 0;
    (void)HostDeviceIoControl(handle, code, nullptr, 0, out, sizeof(out), &returned);
    EXPECT_TRUE(VerifierReported("larger than the output buffer"));
    EXPECT_EQ(returned, 8u);

    /* Returned bytes the driver never wrote carry the fresh-pool fill. */
    VerifierReports().clear();
    gLower.Mode = LowerMode::Leak;
    gLower.Information = 8;
    (void)HostDeviceIoControl(handle, code, "ab", 2, out, sizeof(out), &returned);
    EXPECT_TRUE(VerifierReported("fresh-pool pattern"));

    /* Application buffers the caller does not own are refused before any request. */
    auto *region = static_cast<UCHAR *>(HostUserAlloc(64, FALSE));
    gLower.LastMajor = 0xFF;
    EXPECT_EQ(HostDeviceIoControl(handle, code, nullptr, 0, region, 8, &returned),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(HostDeviceIoControl(handle, code, region, 8, out, sizeof(out), &returned),
              STATUS_SUCCESS);
    HostUserInvalidate(region);
    EXPECT_EQ(HostDeviceIoControl(handle, code, region, 8, out, sizeof(out), &returned),
              STATUS_ACCESS_VIOLATION);
    HostUserFree(region);

    /* An error status returns no data. */
    VerifierReports().clear();
    gLower.Mode = LowerMode::Complete;
    gLower.Status = STATUS_INVALID_PARAMETER;
    gLower.Information = 0;
    memset(out, 0xEE, sizeof(out));
    EXPECT_EQ(HostDeviceIoControl(handle, code, nullptr, 0, out, sizeof(out), &returned),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(returned, 0u);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_TRUE(VerifierReports().empty());
    gLower.Status = STATUS_SUCCESS;
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
    DisableInterfaces();
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("IoSb")), 0u);
}

/* Application memory that a driver probed for writing is checked for fresh pool like the
 * system buffer: only what the driver put there counts, not what the application had. */
TEST_F(IoManagerTest, FreshPoolWrittenToProbedApplicationMemoryIsReported) {
    EnableInterface(&kTestInterface);
    HANDLE handle = nullptr;
    ASSERT_EQ(HostOpenDevice(&kTestInterface, 0, &handle), STATUS_SUCCESS);
    ULONG code = CTL_CODE(0xCD, 0x873, METHOD_BUFFERED, FILE_ANY_ACCESS);
    auto *data = static_cast<UCHAR *>(HostUserAlloc(64, TRUE));
    ULONG returned = 0;

    memset(data, HOST_POOL_FRESH_FILL, 64);
    gLower.UserTarget = data;
    gLower.UserLength = 64;
    gLower.UserWritten = 32;
    EXPECT_EQ(HostDeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_EQ(data[0], 0x42);
    EXPECT_EQ(data[63], HOST_POOL_FRESH_FILL);
    EXPECT_TRUE(VerifierReports().empty());

    memset(data, 0, 64);
    gLower.UserFromPool = 8;
    EXPECT_EQ(HostDeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
    EXPECT_TRUE(VerifierReported("application's buffer"));
    EXPECT_TRUE(VerifierReported("fresh-pool pattern"));

    gLower.UserTarget = nullptr;
    HostUserFree(data);
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
    DisableInterfaces();
}

TEST_F(IoManagerTest, ApplicationWaitsForARequestCompletedLaterOnAnotherThread) {
    EnableInterface(&kTestInterface);
    HANDLE handle = nullptr;
    ASSERT_EQ(HostOpenDevice(&kTestInterface, 0, &handle), STATUS_SUCCESS);
    gLower.Mode = LowerMode::PendMarked;
    gLower.Information = 4;
    UCHAR out[4] = {0, 0, 0, 0};
    ULONG returned = 0;
    std::thread completer([] {
        /* Completes the held request once the application is waiting for it. */
        while (__atomic_load_n(&gLower.Held, __ATOMIC_SEQ_CST) == nullptr) {
            std::this_thread::yield();
        }
        usleep(20000);
        IoCompleteRequest(gLower.Held, IO_NO_INCREMENT);
    });
    ULONG code = CTL_CODE(0xCD, 0x872, METHOD_BUFFERED, FILE_ANY_ACCESS);
    EXPECT_EQ(HostDeviceIoControl(handle, code, nullptr, 0, out, sizeof(out), &returned),
              STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(out[3], 0x43);
    EXPECT_TRUE(VerifierReports().empty());

    /* An output buffer described by an MDL is written in place. */
    gLower.Mode = LowerMode::Complete;
    gLower.Information = 4;
    UCHAR direct[4] = {0, 0, 0, 0};
    EXPECT_EQ(HostDeviceIoControl(handle, CTL_CODE(0xCD, 0x873, METHOD_OUT_DIRECT, FILE_ANY_ACCESS),
                                  "x", 1, direct, sizeof(direct), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(gLower.LastMdl != nullptr, true);
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(HostOutstandingMdlCount(), 0);
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
    DisableInterfaces();
    EXPECT_EQ(HostOutstandingIrpCount(), irpsBefore);
}

TEST_F(IoManagerTest, ProbesAcceptOnlyValidApplicationMemory) {
    auto probe = [](const void *address, SIZE_T length, ULONG alignment, bool write) {
        try {
            if (write) {
                ProbeForWrite(const_cast<void *>(address), length, alignment);
            } else {
                ProbeForRead(address, length, alignment);
            }
        } catch (const HOST_RAISED_STATUS &raised) {
            return raised.Status;
        }
        return STATUS_SUCCESS;
    };
    auto *writable = static_cast<UCHAR *>(HostUserAlloc(8192, TRUE));
    auto *readOnly = static_cast<UCHAR *>(HostUserAlloc(100, FALSE));
    ASSERT_NE(writable, nullptr);
    ASSERT_NE(readOnly, nullptr);
    EXPECT_LE((uintptr_t)writable + 8192, 0x80000000u);
    EXPECT_EQ(HostUserPointer(HostUserAddress(writable)), writable);

    EXPECT_EQ(probe(writable, 8192, 1, true), STATUS_SUCCESS);
    EXPECT_EQ(probe(writable + 100, 50, 4, false), STATUS_SUCCESS);
    EXPECT_EQ(probe(writable, 8193, 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe(writable + 1, 8, 4, false), STATUS_DATATYPE_MISALIGNMENT);
    EXPECT_EQ(probe(readOnly, 100, 1, false), STATUS_SUCCESS);
    EXPECT_EQ(probe(readOnly, 100, 1, true), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe(readOnly + 50, 51, 1, false), STATUS_ACCESS_VIOLATION);
    UCHAR kernel[16];
    EXPECT_EQ(probe(kernel, sizeof(kernel), 1, false), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(probe((void *)(uintptr_t)0x1000, 4, 1, false), STATUS_ACCESS_VIOLATION);
    /* A zero length never raises, whatever the address. */
    EXPECT_EQ(probe(nullptr, 0, 4, true), STATUS_SUCCESS);
    EXPECT_EQ(probe(kernel + 1, 0, 4, false), STATUS_SUCCESS);

    HostUserInvalidate(writable);
    EXPECT_EQ(probe(writable, 1, 1, false), STATUS_ACCESS_VIOLATION);
    writable[0] = 1; /* still mapped: a racing copy does not crash the host */
    HostUserFree(writable);
    HostUserFree(readOnly);
}

/* ---- Device properties and the error log ---- */

TEST_F(IoManagerTest, DevicePropertiesReportTheirLength) {
    HostSetDevicePropertyString(pdo, DevicePropertyFriendlyName, "KORVO DESKTOP");
    WCHAR buffer[64];
    ULONG length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof(buffer), buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 14u * sizeof(WCHAR));
    EXPECT_EQ(buffer[0], u'K');
    EXPECT_EQ(buffer[13], 0);
    length = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, 8, buffer, &length),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 14u * sizeof(WCHAR));
    EXPECT_EQ(
        IoGetDeviceProperty(pdo, (DEVICE_REGISTRY_PROPERTY)0x40, sizeof(buffer), buffer, &length),
        STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyManufacturer, sizeof(buffer), buffer, &length),
              STATUS_OBJECT_NAME_NOT_FOUND);
    /* The object name is known for every named physical device object. */
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, sizeof(buffer),
                                  buffer, &length),
              STATUS_SUCCESS);
    EXPECT_EQ(length, 19u * sizeof(WCHAR));
}

TEST_F(IoManagerTest, ErrorLogEntriesAreFreshPoolAndKeepTheirDumpWords) {
    HostErrorLogClear();
    auto *entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(fdo, 56));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(((UCHAR *)entry)[0], HOST_POOL_FRESH_FILL);
    EXPECT_EQ(((UCHAR *)entry)[55], HOST_POOL_FRESH_FILL);
    memset(entry, 0, 56);
    entry->ErrorCode = (NTSTATUS)0x802A0002;
    entry->DumpDataSize = 12;
    entry->DumpData[0] = 7;
    entry->DumpData[1] = 0;
    entry->DumpData[2] = 1;
    EXPECT_EQ(HostErrorLogPendingEntries(), 1);
    IoWriteErrorLogEntry(entry);
    EXPECT_EQ(HostErrorLogPendingEntries(), 0);
    ASSERT_EQ(HostErrorLogCount(), 1u);
    HOST_ERROR_LOG_ENTRY logged;
    ASSERT_TRUE(HostErrorLogGet(0, &logged));
    EXPECT_EQ(logged.Packet.ErrorCode, (NTSTATUS)0x802A0002);
    EXPECT_EQ(logged.IoObject, (PVOID)fdo);
    ASSERT_EQ(logged.DumpWordCount, 3u);
    EXPECT_EQ(logged.DumpData[0], 7u);
    EXPECT_EQ(logged.DumpData[2], 1u);
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("IoEl")), 0u);

    /* A dump size beyond the entry is clipped to what the entry holds. */
    entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(fdo, 52));
    ASSERT_NE(entry, nullptr);
    entry->DumpDataSize = 40;
    IoWriteErrorLogEntry(entry);
    ASSERT_TRUE(HostErrorLogGet(1, &logged));
    EXPECT_EQ(logged.DumpWordCount, 3u); /* 52 bytes: the packet's own word plus two */

    EXPECT_EQ(IoAllocateErrorLogEntry(fdo, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    HOST_FAULT fault{0, 1, 0, 0};
    HostSetFault(HostFaultErrorLogEntry, &fault);
    EXPECT_EQ(IoAllocateErrorLogEntry(fdo, 52), nullptr);
    EXPECT_EQ(HostFaultHits(HostFaultErrorLogEntry), 1u);
    entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(fdo, 52));
    ASSERT_NE(entry, nullptr);
    IoWriteErrorLogEntry(entry);
    IoWriteErrorLogEntry(entry);
    EXPECT_TRUE(VerifierReported("IoWriteErrorLogEntry"));
    HostErrorLogClear();
}

/* ---- Files and impersonation ---- */

class FileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cdw_io_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        HostClearDriveLetters();
        HostMapDriveLetter('d', dir.c_str());
        HostClearAllFaults();
    }
    void TearDown() override {
        HostClearDriveLetters();
        HostClearAllFaults();
        std::string command = "rm -rf '" + dir + "'";
        (void)system(command.c_str());
    }

    void WriteFile(const char *Name, size_t Size, mode_t Mode = 0644) {
        std::string path = dir + "/" + Name;
        int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, Mode);
        ASSERT_GE(fd, 0);
        std::vector<UCHAR> data(Size);
        for (size_t i = 0; i < Size; i++) {
            data[i] = (UCHAR)(i * 7);
        }
        ASSERT_EQ(write(fd, data.data(), Size), (ssize_t)Size);
        close(fd);
        chmod(path.c_str(), Mode);
    }

    NTSTATUS Open(const char16_t *Name, ULONG Options, HANDLE *Handle) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, Name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
        IO_STATUS_BLOCK iosb;
        return ZwCreateFile(Handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &iosb, NULL,
                            FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                            Options, NULL, 0);
    }

    /* The same open with the access check forced against the calling thread. */
    static NTSTATUS OpenChecked(const char16_t *Name) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, Name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
        IO_STATUS_BLOCK iosb;
        HANDLE handle = nullptr;
        NTSTATUS status = IoCreateFile(&handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &iosb,
                                       NULL, FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, 0,
                                       NULL, 0, CreateFileTypeNone, NULL, IO_FORCE_ACCESS_CHECK);
        if (NT_SUCCESS(status)) {
            ZwClose(handle);
        }
        return status;
    }

    /* Synchronous read of Length bytes at Offset. */
    static NTSTATUS Read(HANDLE Handle, void *Buffer, ULONG Length, LONGLONG Offset,
                         IO_STATUS_BLOCK *Iosb) {
        LARGE_INTEGER offset;
        offset.QuadPart = Offset;
        return ZwReadFile(Handle, NULL, NULL, NULL, Iosb, Buffer, Length, &offset, NULL);
    }

    std::string dir;
};

TEST_F(FileTest, NamesMapThroughDriveLettersAndStatusesFollowThePlatform) {
    WriteFile("Disc.ISO", 1000);
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"\\??\\D:\\Disc.ISO", FILE_SYNCHRONOUS_IO_NONALERT, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    /* Names are case-insensitive, as on the platform. */
    EXPECT_EQ(Open(u"\\??\\d:\\disc.iso", FILE_SYNCHRONOUS_IO_NONALERT, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\??\\D:\\missing.iso", 0, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(Open(u"\\??\\Q:\\disc.iso", 0, &handle), STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(Open(u"D:\\disc.iso", 0, &handle), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(Open(u"\\??\\D:\\..\\etc\\passwd", 0, &handle), STATUS_OBJECT_NAME_INVALID);

    std::u16string absolute = u"\\??\\";
    for (char c : dir + "/Disc.ISO") {
        absolute += (char16_t)c;
    }
    EXPECT_EQ(Open(absolute.c_str(), 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

    HOST_FAULT fault{1, 1, 0, STATUS_ACCESS_DENIED};
    HostSetFault(HostFaultFileOpen, &fault);
    EXPECT_EQ(Open(u"\\??\\D:\\Disc.ISO", 0, &handle), STATUS_SUCCESS); /* skipped */
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Open(u"\\??\\D:\\Disc.ISO", 0, &handle), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Open(u"\\??\\D:\\Disc.ISO", 0, &handle), STATUS_SUCCESS); /* count used up */
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(HostOpenFileCount(), 0);
}

TEST_F(FileTest, ReadsAreShortAtTheEndAndFailPastIt) {
    WriteFile("image.bin", 1536 + 100);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\D:\\image.bin", FILE_SYNCHRONOUS_IO_NONALERT, &handle), STATUS_SUCCESS);
    std::vector<UCHAR> buffer(4096);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(Read(handle, buffer.data(), 1024, 1024, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 612u);
    EXPECT_EQ(buffer[0], (UCHAR)(1024 * 7));
    EXPECT_EQ(Read(handle, buffer.data(), 512, 1636, &iosb), STATUS_END_OF_FILE);
    EXPECT_EQ(iosb.Information, 0u);

    HOST_FAULT fault{0, 1, 0, STATUS_DEVICE_DATA_ERROR};
    HostSetFault(HostFaultFileRead, &fault);
    EXPECT_EQ(Read(handle, buffer.data(), 512, 0, &iosb), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(Read(handle, buffer.data(), 512, 0, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Read(handle, buffer.data(), 512, 0, &iosb), STATUS_INVALID_HANDLE);
}

TEST_F(FileTest, UnbufferedReadsWantSectorAlignment) {
    WriteFile("image.bin", 4096 + 300);
    HANDLE handle = nullptr;
    ASSERT_EQ(Open(u"\\??\\D:\\image.bin",
                   FILE_SYNCHRONOUS_IO_NONALERT | FILE_NO_INTERMEDIATE_BUFFERING, &handle),
              STATUS_SUCCESS);
    void *aligned = nullptr;
    ASSERT_EQ(posix_memalign(&aligned, 4096, 8192), 0);
    auto *bytes = static_cast<UCHAR *>(aligned);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(Read(handle, bytes, 1024, 512, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 1024u);
    EXPECT_EQ(bytes[0], (UCHAR)(512 * 7));
    EXPECT_EQ(Read(handle, bytes, 512, 100, &iosb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Read(handle, bytes, 500, 0, &iosb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Read(handle, bytes + 1, 512, 0, &iosb), STATUS_INVALID_PARAMETER);
    /* The tail of a file that is not a whole number of sectors comes back short. */
    EXPECT_EQ(Read(handle, bytes, 1024, 4096, &iosb), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 300u);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    free(aligned);
}

TEST_F(FileTest, ImpersonationOpensWithTheClientsIdentity) {
    if (!HostCanImpersonate()) {
        GTEST_SKIP() << "impersonation of another identity needs root";
    }
    WriteFile("private.iso", 2048, 0600); /* readable by its owner (root) only */
    chmod(dir.c_str(), 0755);

    /* The application thread of user 65534 captures its context... */
    SECURITY_CLIENT_CONTEXT context;
    HostSetThreadIdentity(65534, 65534, nullptr, 0);
    SECURITY_QUALITY_OF_SERVICE qos = {sizeof(SECURITY_QUALITY_OF_SERVICE), SecurityImpersonation,
                                       SECURITY_STATIC_TRACKING, FALSE};
    ASSERT_EQ(SeCreateClientSecurity((PETHREAD)KeGetCurrentThread(), &qos, FALSE, &context),
              STATUS_SUCCESS);
    HostResetThreadIdentity();
    EXPECT_EQ(HostLiveTokenCount(), 1);
    EXPECT_EQ(SeTokenType(context.ClientToken), TokenImpersonation);

    /* ...and a worker thread that impersonates it cannot read what the client cannot read when
       the open is checked; a kernel-mode open is not checked, impersonated or not. */
    NTSTATUS impersonated = STATUS_UNSUCCESSFUL;
    NTSTATUS unchecked = STATUS_UNSUCCESSFUL;
    NTSTATUS reverted = STATUS_UNSUCCESSFUL;
    NTSTATUS again = STATUS_UNSUCCESSFUL;
    HOST_IDENTITY during{};
    std::thread worker([&] {
        HANDLE handle = nullptr;
        SeImpersonateClient(&context, NULL);
        HostGetEffectiveFileIdentity(&during);
        impersonated = OpenChecked(u"\\??\\D:\\private.iso");
        unchecked = Open(u"\\??\\D:\\private.iso", 0, &handle);
        if (NT_SUCCESS(unchecked)) {
            ZwClose(handle);
        }
        again = OpenChecked(u"\\??\\D:\\private.iso");
        PsRevertToSelf();
        reverted = OpenChecked(u"\\??\\D:\\private.iso");
    });
    worker.join();
    EXPECT_EQ(during.Uid, 65534u);
    EXPECT_EQ(impersonated, STATUS_ACCESS_DENIED);
    EXPECT_EQ(unchecked, STATUS_SUCCESS);
    EXPECT_EQ(again, STATUS_ACCESS_DENIED) << "the unchecked open keeps the impersonation";
    EXPECT_EQ(reverted, STATUS_SUCCESS);

    /* The test thread itself was never affected. */
    HANDLE handle = nullptr;
    EXPECT_EQ(Open(u"\\??\\D:\\private.iso", 0, &handle), STATUS_SUCCESS);
    ZwClose(handle);

    SeDeleteClientSecurity(&context);
    EXPECT_EQ(HostLiveTokenCount(), 0);
}

TEST_F(FileTest, ClientContextCaptureCanFail) {
    HOST_FAULT fault{0, 1, 0, STATUS_NO_TOKEN};
    HostSetFault(HostFaultClientSecurity, &fault);
    SECURITY_CLIENT_CONTEXT context;
    SECURITY_QUALITY_OF_SERVICE qos = {sizeof(SECURITY_QUALITY_OF_SERVICE), SecurityImpersonation,
                                       SECURITY_STATIC_TRACKING, FALSE};
    EXPECT_EQ(SeCreateClientSecurity((PETHREAD)KeGetCurrentThread(), &qos, FALSE, &context),
              STATUS_NO_TOKEN);
    EXPECT_EQ(HostLiveTokenCount(), 0);
}

} // namespace
