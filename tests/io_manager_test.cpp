/*
 * io_manager_test.cpp - the I/O manager stand-in's contracts the driver relies on: request
 * packets and their completion, control requests across the user/kernel boundary, probes,
 * the error log and files; and the verifier's checks of requests and of what
 * goes back to the application.
 */
#include <gtest/gtest.h>

#include <ntifs.h>
#include <standin/io.h>
#include <standin/kernel.h>

#include "support/test_support.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

/* ---- A device whose driver behaves as each test chooses ---- */

enum class LowerMode { Complete, CompleteTwice, PendWithoutMark, PendMarked, Leak, FromPool };

struct LowerState {
    LowerMode Mode = LowerMode::Complete;
    ULONG Information = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    PIRP Held = nullptr;
    /* 64 bytes of application memory the driver probes and writes, as a pass-through's data
     * buffer: the first 32 bytes, of which the first UserFromPool come from a fresh pool
     * block. */
    UCHAR *UserTarget = nullptr;
    ULONG UserFromPool = 0;
};

LowerState gLower;

const ULONG kCode = CTL_CODE(0xCD, 0x871, METHOD_BUFFERED, FILE_ANY_ACCESS);

/* Writes Length bytes at Target: a pattern, or a fresh pool block's content when FromPool. */
void Answer(UCHAR *Target, ULONG Length, bool FromPool) {
    auto *fresh =
        static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, Length + 1, HostPoolTag("Test")));
    for (ULONG i = 0; i < Length; i++) {
        Target[i] = FromPool ? fresh[i] : (UCHAR)(0x40 + i);
    }
    ExFreePool(fresh);
}

NTSTATUS NTAPI LowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    auto *system = static_cast<UCHAR *>(Irp->AssociatedIrp.SystemBuffer);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && system != nullptr &&
        gLower.Mode != LowerMode::Leak) {
        Answer(system, stack->Parameters.DeviceIoControl.OutputBufferLength,
               gLower.Mode == LowerMode::FromPool);
    }
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && gLower.UserTarget != nullptr) {
        ProbeForWrite(gLower.UserTarget, 64, 1);
        memset(gLower.UserTarget, 0x42, 32);
        Answer(gLower.UserTarget, gLower.UserFromPool, true);
    }
    Irp->IoStatus.Status = gLower.Status;
    Irp->IoStatus.Information = gLower.Information;
    if (gLower.Mode == LowerMode::PendMarked) {
        IoMarkIrpPending(Irp);
    }
    if (gLower.Mode == LowerMode::PendMarked || gLower.Mode == LowerMode::PendWithoutMark) {
        gLower.Held = Irp;
        return STATUS_PENDING;
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    if (gLower.Mode == LowerMode::CompleteTwice) {
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
    return gLower.Status;
}

const GUID kTestInterface = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

/* The device above, and a directory mapped as drive D: holding image.bin of 4396 bytes. */
class IoManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        VerifierReports().clear();
        gLower = LowerState();
        HostVerifierSetFailureHandler(CollectVerifierReport);
        driver = HostCreateDriverObject("\\Driver\\TestLower");
        for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
            driver->MajorFunction[i] = LowerDispatch;
        }
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, u"\\Device\\TestLower0");
        ASSERT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo),
                  STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;

        char pattern[] = "/tmp/cdw_io_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        HostMapDriveLetter('d', dir.c_str());
        std::vector<UCHAR> data(4096 + 300, 0x5A);
        std::ofstream(dir + "/image.bin", std::ios::binary)
            .write(reinterpret_cast<const char *>(data.data()), data.size());
    }

    void TearDown() override {
        if (handle != nullptr) {
            EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
            (void)IoSetDeviceInterfaceState(&link, FALSE);
            RtlFreeUnicodeString(&link);
        }
        IoDeleteDevice(pdo);
        HostDeleteDriverObject(driver);
        HostVerifierSetFailureHandler(nullptr);
        EXPECT_EQ(HostOutstandingIrpCount(), 0);
        HostClearDriveLetters();
        std::filesystem::remove_all(dir);
    }

    /* Enables an interface for the device and opens it, as an application does. */
    void OpenDevice() {
        ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &link), STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        ASSERT_EQ(HostOpenDevice(&kTestInterface, 0, &handle), STATUS_SUCCESS);
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    HANDLE handle = nullptr;
    UNICODE_STRING link{};
    std::string dir;
};

/* ---- Requests ---- */

/* A built request that the lower driver pends sets the caller's event and status block when it
 * completes, copies back exactly Information bytes and is freed by the I/O manager. */
TEST_F(IoManagerTest, BuiltRequestSetsTheEventAndIsFreedByTheIoManager) {
    HostThreadScope scope("test");
    gLower.Mode = LowerMode::PendMarked;
    gLower.Information = 6;
    UCHAR out[16];
    memset(out, 0xEE, sizeof(out));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x00CD2200, pdo, nullptr, 0, out, sizeof(out), FALSE,
                                             &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    IoCompleteRequest(gLower.Held, IO_NO_INCREMENT);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_EQ(out[5], 0x45);
    EXPECT_EQ(out[6], 0xEE) << "a byte beyond Information came back";
    EXPECT_TRUE(VerifierReports().empty());
}

TEST_F(IoManagerTest, VerifierCatchesDoubleCompletionAndUnmarkedPending) {
    HostThreadScope scope("test");
    for (LowerMode mode : {LowerMode::CompleteTwice, LowerMode::PendWithoutMark}) {
        gLower.Mode = mode;
        PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
        if (IoCallDriver(pdo, irp) == STATUS_PENDING) {
            IoCompleteRequest(gLower.Held, IO_NO_INCREMENT);
        }
        IoFreeIrp(irp);
    }
    EXPECT_TRUE(VerifierReported("completed twice"));
    EXPECT_TRUE(VerifierReported("without IoMarkIrpPending"));
}

/* ---- User/kernel boundary ---- */

/* A buffered request returns Information bytes of the system buffer, none on an error status
 * (where the count still comes back);
 * the verifier flags an Information beyond the output buffer and returned bytes that carry the
 * fresh-pool fill, except where the application sent that fill itself. */
TEST_F(IoManagerTest, BufferedControlRequestsReturnInformationBytesAndNoKernelMemory) {
    OpenDevice();
    struct Row {
        const char *Name;
        LowerMode Mode;
        NTSTATUS Status;
        ULONG Information, Returned;
        int InPlaceFill;    /* -1: input "ab"; else in = out, filled with this byte */
        const char *Report; /* nullptr: none */
    };
    const char *leak = "returned bytes still carry the fresh-pool pattern";
    const Row rows[] = {
        {"answered", LowerMode::Complete, STATUS_SUCCESS, 3, 3, -1, nullptr},
        {"error status", LowerMode::Complete, STATUS_INVALID_PARAMETER, 3, 3, -1, nullptr},
        {"overreport", LowerMode::Complete, STATUS_SUCCESS, 9, 8, -1, "larger than the output"},
        {"never written", LowerMode::Leak, STATUS_SUCCESS, 8, 8, -1, leak},
        {"pool over the input", LowerMode::FromPool, STATUS_SUCCESS, 8, 8, 0, leak},
        {"own fill", LowerMode::Leak, STATUS_SUCCESS, 8, 8, HOST_POOL_FRESH_FILL, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        VerifierReports().clear();
        gLower.Mode = row.Mode;
        gLower.Status = row.Status;
        gLower.Information = row.Information;
        UCHAR out[8];
        const bool inPlace = row.InPlaceFill >= 0;
        memset(out, inPlace ? row.InPlaceFill : 0xEE, sizeof(out));
        ULONG returned = 99;
        EXPECT_EQ(HostDeviceIoControl(handle, kCode, inPlace ? (const void *)out : "ab",
                                      inPlace ? sizeof(out) : 2, out, sizeof(out), &returned),
                  row.Status);
        EXPECT_EQ(returned, row.Returned);
        EXPECT_TRUE(row.Report ? VerifierReported(row.Report) : VerifierReports().empty());
        const ULONG copied = NT_ERROR(row.Status) ? 0 : row.Returned;
        if (row.Mode == LowerMode::Complete && copied < sizeof(out)) {
            EXPECT_EQ(out[copied], 0xEE) << "a byte beyond Information came back";
            EXPECT_EQ(out[0], copied > 0 ? 0x40 : 0xEE);
        }
    }
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("IoSb")), 0u);
}

/* Application memory that a driver probed for writing is checked for fresh pool like the
 * system buffer: only what the driver put there counts, not what the application had. */
TEST_F(IoManagerTest, FreshPoolWrittenToProbedApplicationMemoryIsReported) {
    OpenDevice();
    auto *data = static_cast<UCHAR *>(HostUserAlloc(64, TRUE));
    ULONG returned = 0;
    memset(data, HOST_POOL_FRESH_FILL, 64);
    gLower.UserTarget = data;
    EXPECT_EQ(HostDeviceIoControl(handle, kCode, nullptr, 0, nullptr, 0, &returned),
              STATUS_SUCCESS);
    EXPECT_TRUE(VerifierReports().empty());

    gLower.UserFromPool = 8;
    EXPECT_EQ(HostDeviceIoControl(handle, kCode, nullptr, 0, nullptr, 0, &returned),
              STATUS_SUCCESS);
    EXPECT_TRUE(VerifierReported("application's buffer"));
    EXPECT_TRUE(VerifierReported("fresh-pool pattern"));
    HostUserFree(data);
}

/* Probes pass a valid application range and a zero length, wherever it points; memory that
 * is no application's raises. (Read-only, invalidated and overlong ranges are attacked through
 * the driver's pass-through.) */
TEST_F(IoManagerTest, ProbesAcceptOnlyApplicationMemory) {
    auto *user = static_cast<UCHAR *>(HostUserAlloc(8192, TRUE));
    UCHAR kernel[16];
    for (bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        auto probe = [write](const void *Address, SIZE_T Length) {
            try {
                write ? ProbeForWrite(const_cast<void *>(Address), Length, 1)
                      : ProbeForRead(Address, Length, 1);
            } catch (const HOST_RAISED_STATUS &raised) {
                return raised.Status;
            }
            return STATUS_SUCCESS;
        };
        EXPECT_EQ(probe(user, 8192), STATUS_SUCCESS);
        EXPECT_EQ(probe(kernel, sizeof(kernel)), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(probe((void *)(uintptr_t)0x1000, 4), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(probe(nullptr, 0), STATUS_SUCCESS);
        EXPECT_EQ(probe(kernel, 0), STATUS_SUCCESS);
    }
    HostUserFree(user);
}

/* ---- The error log ---- */

/* An entry comes as fresh pool (what the driver leaves unset shows), an entry beyond the
 * maximum size is refused, and an entry written twice is stopped. */
TEST_F(IoManagerTest, ErrorLogEntriesAreFreshPoolAndWrittenOnce) {
    EXPECT_EQ(IoAllocateErrorLogEntry(pdo, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    auto *entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(pdo, 56));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(((UCHAR *)entry)[55], HOST_POOL_FRESH_FILL);
    memset(entry, 0, 56);
    entry->ErrorCode = (NTSTATUS)0x802A0002;
    IoWriteErrorLogEntry(entry);
    EXPECT_TRUE(VerifierReports().empty());
    IoWriteErrorLogEntry(entry);
    EXPECT_TRUE(VerifierReported("IoWriteErrorLogEntry"));
}

/* ---- Files ---- */

/* Reads come back short at the end of the file and fail past it; an unbuffered read wants
 * whole sectors at a sector offset into aligned memory. */
TEST_F(IoManagerTest, ReadsAreShortAtTheEndFailPastItAndUnbufferedOnesWantAlignment) {
    alignas(4096) static UCHAR bytes[8192];
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\??\\D:\\image.bin");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
    struct Row {
        const char *Name;
        bool Unbuffered;
        LONGLONG Offset;
        ULONG Length, BufferOffset;
        NTSTATUS Status;
        ULONG Information;
    };
    const Row rows[] = {
        {"short at the end", false, 4096, 1024, 0, STATUS_SUCCESS, 300},
        {"past the end", false, 4396, 512, 0, STATUS_END_OF_FILE, 0},
        {"unbuffered sectors", true, 512, 1024, 0, STATUS_SUCCESS, 1024},
        {"unbuffered short at the end", true, 4096, 1024, 0, STATUS_SUCCESS, 300},
        {"unbuffered odd offset", true, 100, 512, 0, STATUS_INVALID_PARAMETER, 0},
        {"unbuffered odd length", true, 0, 500, 0, STATUS_INVALID_PARAMETER, 0},
        {"unbuffered odd buffer", true, 0, 512, 1, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        HANDLE file = nullptr;
        IO_STATUS_BLOCK iosb;
        const ULONG unbuffered = row.Unbuffered ? FILE_NO_INTERMEDIATE_BUFFERING : 0;
        ASSERT_EQ(ZwCreateFile(&file, SYNCHRONIZE | FILE_READ_DATA, &attributes, &iosb, NULL,
                               FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN,
                               FILE_SYNCHRONOUS_IO_NONALERT | unbuffered, NULL, 0),
                  STATUS_SUCCESS);
        iosb.Information = 0xFFFF;
        LARGE_INTEGER offset;
        offset.QuadPart = row.Offset;
        EXPECT_EQ(ZwReadFile(file, NULL, NULL, NULL, &iosb, bytes + row.BufferOffset, row.Length,
                             &offset, NULL),
                  row.Status);
        if (row.Status != STATUS_INVALID_PARAMETER) {
            EXPECT_EQ(iosb.Information, row.Information);
        }
        EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
    }
}

} // namespace
