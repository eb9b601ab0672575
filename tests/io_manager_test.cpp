/*
 * io_manager_test.cpp - the I/O manager stand-in's contracts the driver relies on: request
 * packets and their completion, control requests across the user/kernel boundary, probes,
 * the error log, files and impersonation; and the verifier's checks of requests and of what
 * goes back to the application.
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

/* ---- A device whose driver behaves as each test chooses ---- */

enum class LowerMode { Complete, CompleteTwice, PendWithoutMark, PendMarked, Leak, FromPool };

struct LowerState {
    LowerMode Mode = LowerMode::Complete;
    ULONG Information = 0;
    NTSTATUS Status = STATUS_SUCCESS;
    PIRP Held = nullptr;
    UCHAR LastMajor = 0xFF;
    PMDL LastMdl = nullptr;
    /* Application memory the driver probes and writes, as a pass-through's data buffer: the
     * first UserWritten bytes, of which the first UserFromPool come from a fresh pool block. */
    UCHAR *UserTarget = nullptr;
    ULONG UserLength = 0;
    ULONG UserWritten = 0;
    ULONG UserFromPool = 0;
};

LowerState gLower;

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
    gLower.LastMajor = stack->MajorFunction;
    gLower.LastMdl = Irp->MdlAddress;
    auto *system = static_cast<UCHAR *>(Irp->AssociatedIrp.SystemBuffer);
    if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL && system != nullptr &&
        gLower.Mode != LowerMode::Leak) {
        Answer(system, stack->Parameters.DeviceIoControl.OutputBufferLength,
               gLower.Mode == LowerMode::FromPool);
    }
    if (gLower.UserTarget != nullptr) {
        ProbeForWrite(gLower.UserTarget, gLower.UserLength, 1);
        memset(gLower.UserTarget, 0x42, gLower.UserWritten);
        Answer(gLower.UserTarget, gLower.UserFromPool, true);
    }
    Irp->IoStatus.Status = gLower.Status;
    Irp->IoStatus.Information = gLower.Information;
    switch (gLower.Mode) {
    case LowerMode::CompleteTwice:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return gLower.Status;
    case LowerMode::PendMarked:
        IoMarkIrpPending(Irp);
        [[fallthrough]];
    case LowerMode::PendWithoutMark:
        gLower.Held = Irp;
        return STATUS_PENDING;
    default:
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return gLower.Status;
    }
}

const GUID kTestInterface = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};

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
        irpsBefore = HostOutstandingIrpCount();
    }

    void TearDown() override {
        if (handle != nullptr) {
            EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
            (void)IoSetDeviceInterfaceState(&link, FALSE);
            RtlFreeUnicodeString(&link);
        }
        IoDeleteDevice(pdo);
        HostDeleteDriverObject(driver);
        HostClearAllFaults();
        HostVerifierSetFailureHandler(nullptr);
        EXPECT_EQ(HostOutstandingIrpCount(), irpsBefore);
        EXPECT_EQ(HostOutstandingMdlCount(), 0);
    }

    /* Enables an interface for the device and opens it, as an application does. */
    void OpenDevice() {
        ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestInterface, nullptr, &link), STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        ASSERT_EQ(HostOpenDevice(&kTestInterface, 0, &handle), STATUS_SUCCESS);
    }

    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    LONG irpsBefore = 0;
    HANDLE handle = nullptr;
    UNICODE_STRING link{};
};

/* ---- Requests ---- */

/* A built request, answered at once or pended and completed later, sets the caller's event
 * and status block, copies back exactly Information bytes and is freed by the I/O manager. */
TEST_F(IoManagerTest, BuiltRequestSetsTheEventAndIsFreedByTheIoManager) {
    HostThreadScope scope("test");
    for (LowerMode mode : {LowerMode::Complete, LowerMode::PendMarked}) {
        SCOPED_TRACE(mode == LowerMode::Complete ? "answered at once" : "pended");
        gLower.Mode = mode;
        gLower.Information = 6;
        UCHAR in[4] = {1, 2, 3, 4};
        UCHAR out[16];
        memset(out, 0xEE, sizeof(out));
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        PIRP irp = IoBuildDeviceIoControlRequest(0x00CD2200, pdo, in, sizeof(in), out, sizeof(out),
                                                 FALSE, &event, &iosb);
        ASSERT_NE(irp, nullptr);
        const bool pended = mode == LowerMode::PendMarked;
        EXPECT_EQ(IoCallDriver(pdo, irp), pended ? STATUS_PENDING : STATUS_SUCCESS);
        EXPECT_EQ(gLower.LastMajor, IRP_MJ_DEVICE_CONTROL);
        if (pended) {
            EXPECT_EQ(KeReadStateEvent(&event), 0);
            IoCompleteRequest(gLower.Held, IO_NO_INCREMENT);
        }
        EXPECT_NE(KeReadStateEvent(&event), 0);
        EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, 6u);
        EXPECT_EQ(out[5], 0x45);
        EXPECT_EQ(out[6], 0xEE) << "a byte beyond Information came back";
        EXPECT_EQ(HostOutstandingIrpCount(), irpsBefore);
    }
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

/* A buffered request returns Information bytes of the system buffer, none on an error status;
 * the verifier flags an Information beyond the output buffer and returned bytes that carry the
 * fresh-pool fill, except where the application sent that fill itself. */
TEST_F(IoManagerTest, BufferedControlRequestsReturnInformationBytesAndNoKernelMemory) {
    OpenDevice();
    const ULONG code = CTL_CODE(0xCD, 0x871, METHOD_BUFFERED, FILE_ANY_ACCESS);
    struct Row {
        const char *Name;
        LowerMode Mode;
        NTSTATUS Status;
        ULONG Information;
        int InPlaceFill; /* -1: input "ab"; else in = out, filled with this byte */
        ULONG Returned;
        const char *Report; /* nullptr: none */
    };
    const Row rows[] = {
        {"answered", LowerMode::Complete, STATUS_SUCCESS, 3, -1, 3, nullptr},
        {"error status", LowerMode::Complete, STATUS_INVALID_PARAMETER, 0, -1, 0, nullptr},
        {"overreport", LowerMode::Complete, STATUS_SUCCESS, 9, -1, 8,
         "larger than the output buffer"},
        {"never written", LowerMode::Leak, STATUS_SUCCESS, 8, -1, 8,
         "returned bytes still carry the fresh-pool pattern"},
        {"pool over the input", LowerMode::FromPool, STATUS_SUCCESS, 8, 0, 8,
         "returned bytes still carry the fresh-pool pattern"},
        {"application's own fill", LowerMode::Leak, STATUS_SUCCESS, 8, HOST_POOL_FRESH_FILL, 8,
         nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.Name);
        VerifierReports().clear();
        gLower.Mode = row.Mode;
        gLower.Status = row.Status;
        gLower.Information = row.Information;
        UCHAR out[8];
        memset(out, row.InPlaceFill < 0 ? 0xEE : row.InPlaceFill, sizeof(out));
        const void *in = row.InPlaceFill < 0 ? static_cast<const void *>("ab") : out;
        ULONG returned = 99;
        const ULONG inLength = row.InPlaceFill < 0 ? 2 : sizeof(out);
        EXPECT_EQ(HostDeviceIoControl(handle, code, in, inLength, out, sizeof(out), &returned),
                  row.Status);
        EXPECT_EQ(returned, row.Returned);
        if (row.Report != nullptr) {
            EXPECT_TRUE(VerifierReported(row.Report));
        } else {
            EXPECT_TRUE(VerifierReports().empty());
        }
        if (row.Mode == LowerMode::Complete && row.Returned < sizeof(out)) {
            EXPECT_EQ(out[row.Returned], 0xEE) << "a byte beyond Information came back";
        }
        if (row.Returned == 3) {
            EXPECT_EQ(out[2], 0x42);
        }
    }
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("IoSb")), 0u);
}

/* Application memory that a driver probed for writing is checked for fresh pool like the
 * system buffer: only what the driver put there counts, not what the application had. */
TEST_F(IoManagerTest, FreshPoolWrittenToProbedApplicationMemoryIsReported) {
    OpenDevice();
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
}

/* Probes pass a valid application range and a zero length, wherever it points; memory that
 * is no application's raises. (Read-only, invalidated and overlong ranges are attacked through
 * the driver's pass-through.) */
TEST_F(IoManagerTest, ProbesAcceptOnlyApplicationMemory) {
    auto *user = static_cast<UCHAR *>(HostUserAlloc(8192, TRUE));
    UCHAR kernel[16];
    auto probe = [](const void *Address, SIZE_T Length, bool Write) {
        try {
            if (Write) {
                ProbeForWrite(const_cast<void *>(Address), Length, 1);
            } else {
                ProbeForRead(Address, Length, 1);
            }
        } catch (const HOST_RAISED_STATUS &raised) {
            return raised.Status;
        }
        return STATUS_SUCCESS;
    };
    for (bool write : {false, true}) {
        SCOPED_TRACE(write ? "write" : "read");
        EXPECT_EQ(probe(user, 8192, write), STATUS_SUCCESS);
        EXPECT_EQ(probe(kernel, sizeof(kernel), write), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(probe((void *)(uintptr_t)0x1000, 4, write), STATUS_ACCESS_VIOLATION);
        EXPECT_EQ(probe(nullptr, 0, write), STATUS_SUCCESS);
        EXPECT_EQ(probe(kernel, 0, write), STATUS_SUCCESS);
    }
    HostUserFree(user);
}

/* ---- The error log ---- */

/* An entry comes as fresh pool (what the driver leaves unset shows), an entry beyond the
 * maximum size is refused, and an entry written twice is stopped. */
TEST_F(IoManagerTest, ErrorLogEntriesAreFreshPoolAndWrittenOnce) {
    HostErrorLogClear();
    EXPECT_EQ(IoAllocateErrorLogEntry(pdo, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    auto *entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(pdo, 56));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(((UCHAR *)entry)[0], HOST_POOL_FRESH_FILL);
    EXPECT_EQ(((UCHAR *)entry)[55], HOST_POOL_FRESH_FILL);
    memset(entry, 0, 56);
    entry->ErrorCode = (NTSTATUS)0x802A0002;
    IoWriteErrorLogEntry(entry);
    HOST_ERROR_LOG_ENTRY logged;
    ASSERT_TRUE(HostErrorLogGet(0, &logged));
    EXPECT_EQ(logged.Packet.ErrorCode, (NTSTATUS)0x802A0002);
    EXPECT_EQ(logged.IoObject, (PVOID)pdo);
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("IoEl")), 0u);
    EXPECT_TRUE(VerifierReports().empty());
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
    }
    void TearDown() override {
        HostClearDriveLetters();
        std::string command = "rm -rf '" + dir + "'";
        (void)system(command.c_str());
        EXPECT_EQ(HostOpenFileCount(), 0);
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

    /* Opens Name for reading; with Checked, the access check is forced against the caller. */
    static NTSTATUS Open(const char16_t *Name, ULONG Options, HANDLE *Handle,
                         bool Checked = false) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, Name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, NULL, NULL);
        IO_STATUS_BLOCK iosb;
        if (Checked) {
            return IoCreateFile(Handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &iosb, NULL,
                                FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ, FILE_OPEN, Options, NULL, 0,
                                CreateFileTypeNone, NULL, IO_FORCE_ACCESS_CHECK);
        }
        return ZwCreateFile(Handle, SYNCHRONIZE | FILE_READ_DATA, &attributes, &iosb, NULL,
                            FILE_ATTRIBUTE_NORMAL, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                            Options, NULL, 0);
    }

    /* The status of opening Name (closed again at once). */
    static NTSTATUS OpenStatus(const char16_t *Name, bool Checked = false) {
        HANDLE handle = nullptr;
        NTSTATUS status = Open(Name, 0, &handle, Checked);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        }
        return status;
    }

    std::string dir;
};

/* Reads come back short at the end of the file and fail past it; an unbuffered read wants
 * whole sectors at a sector offset into aligned memory. */
TEST_F(FileTest, ReadsAreShortAtTheEndFailPastItAndUnbufferedOnesWantAlignment) {
    WriteFile("image.bin", 4096 + 300);
    void *aligned = nullptr;
    ASSERT_EQ(posix_memalign(&aligned, 4096, 8192), 0);
    auto *bytes = static_cast<UCHAR *>(aligned);
    struct Row {
        const char *Name;
        bool Unbuffered;
        LONGLONG Offset;
        ULONG Length;
        ULONG BufferOffset;
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
        HANDLE handle = nullptr;
        ULONG options = FILE_SYNCHRONOUS_IO_NONALERT;
        options |= row.Unbuffered ? FILE_NO_INTERMEDIATE_BUFFERING : 0;
        ASSERT_EQ(Open(u"\\??\\D:\\image.bin", options, &handle), STATUS_SUCCESS);
        IO_STATUS_BLOCK iosb;
        iosb.Information = 0xFFFF;
        LARGE_INTEGER offset;
        offset.QuadPart = row.Offset;
        EXPECT_EQ(ZwReadFile(handle, NULL, NULL, NULL, &iosb, bytes + row.BufferOffset, row.Length,
                             &offset, NULL),
                  row.Status);
        if (row.Status != STATUS_INVALID_PARAMETER) {
            EXPECT_EQ(iosb.Information, row.Information);
        }
        if (NT_SUCCESS(row.Status)) {
            EXPECT_EQ(bytes[row.BufferOffset], (UCHAR)(row.Offset * 7));
        }
        EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
        IO_STATUS_BLOCK closed;
        EXPECT_EQ(ZwReadFile(handle, NULL, NULL, NULL, &closed, bytes, 512, &offset, NULL),
                  STATUS_INVALID_HANDLE);
    }
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
    EXPECT_EQ(SeTokenType(context.ClientToken), TokenImpersonation);

    /* ...and a worker thread that impersonates it cannot read what the client cannot read when
       the open is checked; a kernel-mode open is not checked, impersonated or not. */
    const char16_t *name = u"\\??\\D:\\private.iso";
    NTSTATUS impersonated = 0, unchecked = 0, again = 0, reverted = 0;
    HOST_IDENTITY during{};
    std::thread worker([&] {
        SeImpersonateClient(&context, NULL);
        HostGetEffectiveFileIdentity(&during);
        impersonated = OpenStatus(name, true);
        unchecked = OpenStatus(name);
        again = OpenStatus(name, true);
        PsRevertToSelf();
        reverted = OpenStatus(name, true);
    });
    worker.join();
    EXPECT_EQ(during.Uid, 65534u);
    EXPECT_EQ(impersonated, STATUS_ACCESS_DENIED);
    EXPECT_EQ(unchecked, STATUS_SUCCESS);
    EXPECT_EQ(again, STATUS_ACCESS_DENIED) << "the unchecked open keeps the impersonation";
    EXPECT_EQ(reverted, STATUS_SUCCESS);
    EXPECT_EQ(OpenStatus(name), STATUS_SUCCESS) << "the test thread itself was never affected";

    SeDeleteClientSecurity(&context);
    EXPECT_EQ(HostLiveTokenCount(), 0);
}

} // namespace
