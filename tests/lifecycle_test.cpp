/*
 * lifecycle_test.cpp - the driver's frame: registration, creation and numbering of devices,
 * desktop units, initialization, removal (also during a recording), teardown, start-I/O and
 * unload.
 */
#include "support/driver_harness.h"
#include "support/recorder_setup.h"
#include "support/test_support.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "../driver/writer.h"

namespace {

const LONGLONG OneSecond = 10000000LL;

PWriterExtension Writer(DriverHarness::Unit *U) {
    return CdwWriterExtension(U->Fdo);
}

std::string Hex(NTSTATUS Status) {
    char text[16];
    snprintf(text, sizeof(text), "%X", (unsigned)Status);
    return text;
}

/* The dump words of an event-log entry (the device number first). */
std::vector<ULONG> Dump(const HOST_ERROR_LOG_ENTRY &Entry) {
    return std::vector<ULONG>(Entry.DumpData, Entry.DumpData + Entry.DumpWordCount);
}

class Lifecycle : public DriverHarness {
protected:
    NTSTATUS Allocate(HANDLE Handle, ULONG Count) { return AllocateCache(Handle, Count); }
    RECORDING_STATUS Status(HANDLE Handle) { return QueryRecordingStatus(Handle); }
    ULONG Interfaces(const GUID *Class) { return HostDeviceInterfaceCount(Class, TRUE); }
    size_t BufferPool() { return HostPoolCountInUse(HostPoolTag("BrnX")); }

    std::vector<NTSTATUS> EventIds() {
        std::vector<NTSTATUS> ids;
        for (const HOST_ERROR_LOG_ENTRY &entry : Events()) {
            ids.push_back(entry.Packet.ErrorCode);
        }
        return ids;
    }

    /* What the recorders hold of the system: threads, cache buffers, enabled interfaces. */
    std::string Held() {
        char text[80];
        snprintf(text, sizeof(text), "threads %u, buffers %u, interfaces %u", HostThreadsAlive(),
                 (unsigned)BufferPool(), Interfaces(&HarnessRecorderInterface));
        return text;
    }

    /* A recorder with Count cache buffers, its handle closed unless Handle is given. */
    Unit *PlugWithBuffers(ULONG Count, HANDLE *Handle = nullptr) {
        Unit *unit = PlugRecorder();
        HANDLE handle = OpenUnit(unit);
        EXPECT_EQ(STATUS_SUCCESS, Allocate(handle, Count));
        if (Handle != nullptr) {
            *Handle = handle;
        } else {
            EXPECT_EQ(STATUS_SUCCESS, Close(handle));
        }
        return unit;
    }

    void SetRecordingStatus(Unit *U, ULONG Value) {
        CdwSpinLockGuard guard(&Writer(U)->StatusLock);
        Writer(U)->Status.recordingStatus = Value;
    }

    NTSTATUS CacheDriveRequest(HANDLE Handle, ULONG Code, char Letter = 0, USHORT Address = 0) {
        CACHE_DRIVE_REQUEST request = {};
        request.DriveLetter = Letter;
        request.Address = Address;
        return Ioctl(Handle, Code, &request, sizeof(request), NULL, 0).Status;
    }
};

/* ---- creation and numbering ---------------------------------------------------------------- */

TEST_F(Lifecycle, NumbersRunAcrossRecordersAndDesktopUnitsAndOnlyRecordersRecord) {
    Unit *first = PlugRecorder();
    Unit *desktop = PlugDesktopUnit();
    Unit *second = PlugRecorder();
    EXPECT_EQ(2u, RecorderCount);
    EXPECT_EQ(1u, DesktopUnitCount);
    ULONG number = 0;
    for (Unit *unit : {first, desktop, second}) {
        ASSERT_NE(nullptr, unit->Fdo);
        EXPECT_EQ("\\Device\\CdWriter" + std::to_string(number), HostDeviceName(unit->Fdo));
        EXPECT_EQ(number++, CdwDeviceNumber(unit->Fdo));
        EXPECT_EQ(STATUS_SUCCESS, unit->AddStatus);
        EXPECT_EQ(STATUS_SUCCESS, unit->StartStatus);
        auto *fdo = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(unit->Fdo->DeviceExtension);
        EXPECT_EQ(unit->Pdo, fdo->LowerPdo);
        EXPECT_EQ(unit->Fdo, fdo->CommonExtension.DeviceObject);
        EXPECT_EQ(fdo, fdo->CommonExtension.PartitionZeroExtension);
        EXPECT_EQ((ULONG)SRB_FLAGS_DISABLE_SYNCH_TRANSFER, fdo->SrbFlags);
        EXPECT_NE(nullptr, fdo->CommonExtension.LowerDeviceObject);
        EXPECT_NE(0u, unit->Fdo->Flags & DO_DIRECT_IO);
        EXPECT_NE(0u, unit->Fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
        EXPECT_EQ(0u, unit->Fdo->Flags & DO_DEVICE_INITIALIZING);
        /* Attaching makes room for the port's stack; the driver adds one of its own. */
        EXPECT_EQ(unit->Pdo->StackSize + 2, unit->Fdo->StackSize);
        EXPECT_EQ(REINIT_CHECK_VALUE, Writer(unit)->reinitCheckValue);
        EXPECT_EQ(unit == desktop, Writer(unit)->bDesktopUnit != FALSE);
    }

    /* Two interface classes, threads for the recorders only, one event per device. */
    EXPECT_EQ(2u, Interfaces(&HarnessRecorderInterface));
    EXPECT_EQ(1u, Interfaces(&HarnessDesktopInterface));
    EXPECT_EQ(4u, HostThreadsAlive());
    std::vector<HOST_ERROR_LOG_ENTRY> initialized = EventsWithId(MSG_DEVICE_INITIALIZED);
    ASSERT_EQ(3u, initialized.size());
    for (ULONG i = 0; i < 3; i++) {
        EXPECT_EQ(std::vector<ULONG>{i}, Dump(initialized[i]));
    }
    EXPECT_EQ(3u, LoggedCount("Burnkit: CdRecorderStartDevice\n"));

    /* A desktop unit takes no cache buffers and its record stays zero. */
    HANDLE handle = OpenDesktopUnit();
    ASSERT_NE(nullptr, handle);
    EXPECT_NE(STATUS_SUCCESS, Allocate(handle, 16));
    EXPECT_EQ(0u, Writer(desktop)->numCacheBuffers);
    EXPECT_EQ(0u, BufferPool());
    RECORDING_STATUS status = Status(handle);
    const UCHAR zero[sizeof(RECORDING_STATUS)] = {};
    EXPECT_EQ(0, memcmp(&status, zero, sizeof(status))) << "a desktop unit's record stays zero";
    /* Its removal touches no event of the desktop unit and disables its interface. */
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_SUCCESS, QueryRemoveUnit(desktop));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(desktop));
    EXPECT_EQ(0u, Interfaces(&HarnessDesktopInterface));
    EXPECT_EQ(4u, HostThreadsAlive());
}

TEST_F(Lifecycle, DesktopIdentityNeedsVendorAndProductInFull) {
    SIM_RECORDER_CONFIG korvoOther = DesktopUnitConfig();
    strcpy(korvoOther.Product, "DESKTAP UNIT");
    SIM_RECORDER_CONFIG otherDesktop = DesktopUnitConfig();
    strcpy(otherDesktop.Vendor, "KORVOX");
    SIM_RECORDER_CONFIG shortVendor = DesktopUnitConfig();
    strcpy(shortVendor.Vendor, "KORV");
    /* A descriptor that ends one byte into the product name, and one that ends just after it
     * (the vendor's 8 bytes and a terminator come first). */
    const ULONG productEnd = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) + 9 + 7;
    SIM_RECORDER_CONFIG cutShort = DesktopUnitConfig();
    cutShort.DescriptorSize = productEnd - 1;
    SIM_RECORDER_CONFIG cutAtEnd = DesktopUnitConfig();
    cutAtEnd.DescriptorSize = productEnd;

    /* The last row: a desktop unit whose descriptor cannot be read is an ordinary recorder. */
    const struct {
        SIM_RECORDER_CONFIG config;
        bool unreadable;
        bool desktop;
    } rows[] = {{korvoOther, false, false},  {otherDesktop, false, false},
                {shortVendor, false, false}, {cutShort, false, false},
                {cutAtEnd, false, true},     {DesktopUnitConfig(), true, false}};
    for (const auto &row : rows) {
        HOST_FAULT fault = {};
        fault.Count = 1;
        fault.Status = STATUS_IO_DEVICE_ERROR;
        if (row.unreadable) {
            HostSetFault(HostFaultGetDescriptor, &fault);
        }
        Unit *unit = PlugRecorder(row.config);
        ASSERT_NE(nullptr, unit->Fdo);
        EXPECT_EQ(row.desktop, Writer(unit)->bDesktopUnit != FALSE)
            << row.config.Vendor << "/" << row.config.Product << " cut at "
            << row.config.DescriptorSize;
    }
    EXPECT_EQ(1u, HostFaultHits(HostFaultGetDescriptor));
    EXPECT_EQ(1u, LoggedCount("Burnkit: ClassGetDescriptor failed"));
    EXPECT_EQ(5u, RecorderCount);
    EXPECT_EQ(1u, DesktopUnitCount);
    EXPECT_EQ(10u, HostThreadsAlive());
    EXPECT_EQ(5u, Interfaces(&HarnessRecorderInterface));
}

TEST_F(Lifecycle, FailedCreationLeavesItsNumberToTheNextDevice) {
    /* Claim refused: nothing created; device object not created, or not attached: the claim is
     * given back (and the device object deleted). The add-device routine reports success. */
    const struct {
        HOST_FAULT_POINT point;
        NTSTATUS status;
        std::string logged;
    } rows[] = {
        {HostFaultClaimDevice, STATUS_DEVICE_BUSY,
         "Burnkit: ClassClaimDevice 0 failed! " + Hex(STATUS_DEVICE_BUSY) + "H\n"},
        {HostFaultCreateDeviceObject, STATUS_INSUFFICIENT_RESOURCES,
         "ClassCreateDeviceObjects failed for '\\Device\\CdWriter0'\n"},
        {HostFaultAttachDevice, STATUS_INSUFFICIENT_RESOURCES,
         "Burnkit: IoAttachDeviceToDeviceStack failed"},
    };
    std::vector<Unit *> failed;
    for (const auto &row : rows) {
        HOST_FAULT once = {};
        once.Count = 1;
        once.Status = row.status;
        HostSetFault(row.point, &once);
        failed.push_back(PlugRecorder());
        EXPECT_EQ(nullptr, failed.back()->Fdo);
        EXPECT_EQ(STATUS_SUCCESS, failed.back()->AddStatus);
        EXPECT_TRUE(Logged(row.logged.c_str())) << DebugLog();
    }
    EXPECT_EQ(0, HostDriverDeviceCount(Driver()));
    EXPECT_EQ(0u, RecorderCount + DesktopUnitCount);

    /* The next device is number 0; the port devices given back can be claimed again. */
    Unit *next = PlugRecorder();
    ASSERT_NE(nullptr, next->Fdo);
    EXPECT_STREQ("\\Device\\CdWriter0", HostDeviceName(next->Fdo));
    for (int i : {1, 2}) {
        failed[i]->Fdo = HostPnpAddDevice(failed[i]->Pdo);
        ASSERT_NE(nullptr, failed[i]->Fdo) << "the claim was not released";
        EXPECT_EQ(STATUS_SUCCESS, StartUnit(failed[i]));
        EXPECT_EQ("\\Device\\CdWriter" + std::to_string(i), HostDeviceName(failed[i]->Fdo));
    }
    EXPECT_EQ(3u, RecorderCount);
}

/* ---- driver entry ---------------------------------------------------------------------------- */

TEST_F(Lifecycle, DriverEntryDoesNothingOnceADeviceExists) {
    const char *banner = "Burnkit: DriverEntry - build 3.2.5.0, May 4, 2005 3:10 PM\n";
    EXPECT_EQ(1u, LoggedCount(banner));
    Unit *unit = PlugRecorder();
    ASSERT_NE(nullptr, unit->Fdo);
    HANDLE handle = OpenRecorder();
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(handle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, 'E', 7));

    EXPECT_EQ(STATUS_SUCCESS, HostCallDriverEntryAgain(Driver()));
    EXPECT_TRUE(Logged("Burnkit: DriverEntry re-called, returning\n"));
    EXPECT_EQ(1u, LoggedCount(banner));
    /* The cache-drive table was left alone. */
    EXPECT_EQ(STATUS_SUCCESS, CacheDriveRequest(handle, IOCTL_RECORDER_INIT_CACHE_LOCK, 'E'));
    EXPECT_NE(nullptr, Writer(unit)->DownloadCacheDrive);
}

TEST_F(Lifecycle, FailedRegistrationStillPreparesTheCacheDriveTable) {
    /* Registering a second time on the same driver object fails in the class library. */
    NTSTATUS status = HostCallDriverEntryAgain(Driver());
    EXPECT_NE(STATUS_SUCCESS, status);
    EXPECT_TRUE(Logged(
        ("Burnkit: DriverEntry: ClassInitialize failed, status = " + Hex(status) + "H\n").c_str()))
        << DebugLog();
    EXPECT_EQ(2u, LoggedCount("Burnkit: DriverEntry - build 3.2.5.0, May 4, 2005 3:10 PM\n"));
    EXPECT_TRUE(IsListEmpty(&CacheDriveList));
    EXPECT_EQ(STATUS_SUCCESS, TesselCacheDriveCreate('Q', 3));
    EXPECT_FALSE(IsListEmpty(&CacheDriveList));
}

/* ---- create, close, start, stop, start-I/O -------------------------------------------------- */

TEST_F(Lifecycle, OpenIsAFlagAndStopRequestsChangeNothing) {
    Unit *unit = PlugRecorder();
    HANDLE one = OpenRecorder();
    HANDLE two = OpenRecorder();
    EXPECT_TRUE(Writer(unit)->bDeviceOpen);
    EXPECT_EQ(2u, LoggedCount("Burnkit[0]: Create\n"));
    EXPECT_EQ(STATUS_SUCCESS, Close(one));
    EXPECT_FALSE(Writer(unit)->bDeviceOpen) << "a flag, not a count";
    EXPECT_EQ(1u, LoggedCount("Burnkit[0]: Close\n"));
    EXPECT_EQ(STATUS_SUCCESS, Close(two));
    EXPECT_FALSE(Writer(unit)->bDeviceOpen);
    EXPECT_EQ(0, HostClassRemoveLockCount(unit->Fdo));

    EXPECT_EQ(STATUS_SUCCESS, HostPnpQueryStop(unit->Fdo));
    EXPECT_EQ(STATUS_SUCCESS, HostPnpCancelStop(unit->Fdo));
    EXPECT_EQ(STATUS_SUCCESS, HostPnpQueryStop(unit->Fdo));
    EXPECT_EQ(STATUS_SUCCESS, HostPnpStop(unit->Fdo));
    EXPECT_EQ(4u, LoggedCount("Burnkit: CdRecorderStopDevice\n"));
    EXPECT_EQ(2u, HostThreadsAlive());
    EXPECT_EQ(STATUS_SUCCESS, StartUnit(unit));
    EXPECT_EQ(1u, EventsWithId(MSG_DEVICE_INITIALIZED).size()) << "initialized once";
    EXPECT_EQ(2u, HostThreadsAlive());
}

struct CompletionRecord {
    bool Completed = false;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0xABCD;
};

NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    auto *record = static_cast<CompletionRecord *>(Context);
    record->Completed = true;
    record->Status = Irp->IoStatus.Status;
    record->Information = Irp->IoStatus.Information;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Lifecycle, ReadAndWriteRequestsAreFailedWithoutReachingThePort) {
    Unit *unit = PlugRecorder();
    SIM_RECORDER_COUNTERS before;
    HostSimGetCounters(unit->Sim, &before);
    LONG locks = HostClassRemoveLockCount(unit->Fdo);

    for (UCHAR major : {(UCHAR)IRP_MJ_READ, (UCHAR)IRP_MJ_WRITE, (UCHAR)IRP_MJ_READ}) {
        PIRP irp = IoAllocateIrp(unit->Fdo->StackSize, FALSE);
        ASSERT_NE(nullptr, irp);
        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
        stack->MajorFunction = major;
        stack->Parameters.Read.Length = 2048;
        CompletionRecord record;
        IoSetCompletionRoutine(irp, KeepIrp, &record, TRUE, TRUE, TRUE);
        (void)IoCallDriver(unit->Fdo, irp);
        EXPECT_TRUE(record.Completed);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, record.Status);
        EXPECT_EQ(0u, record.Information);
        IoFreeIrp(irp);
    }
    EXPECT_EQ(3u, LoggedCount("Burnkit[0]: CdRecorderStartIo\n"));
    EXPECT_EQ(locks, HostClassRemoveLockCount(unit->Fdo)) << "remove lock released";
    SIM_RECORDER_COUNTERS after;
    HostSimGetCounters(unit->Sim, &after);
    EXPECT_EQ(before.Commands, after.Commands);
}

/* ---- initialization failures ---- */

TEST_F(Lifecycle, ThreadThatCannotBeCreatedFailsTheStart) {
    HostFailNextThreadCreate(STATUS_INSUFFICIENT_RESOURCES);
    Unit *unit = PlugRecorder();
    ASSERT_NE(nullptr, unit->Fdo);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, unit->StartStatus);
    EXPECT_TRUE(Logged("Burnkit[0]: Failed to create ReadThread (0xC000009A)\n"));
    std::vector<HOST_ERROR_LOG_ENTRY> failed = EventsWithId(MSG_DEVICE_INIT_FAILED);
    ASSERT_EQ(1u, failed.size());
    EXPECT_EQ(std::vector<ULONG>{0}, Dump(failed[0]));
    EXPECT_TRUE(EventsWithId(MSG_DEVICE_INITIALIZED).empty());
    EXPECT_EQ(0u, HostThreadsAlive());
    EXPECT_EQ(0u, HostDeviceInterfaceCount(&HarnessRecorderInterface, FALSE));
    EXPECT_EQ(0u, Writer(unit)->reinitCheckValue);

    /* Uninitialized: the query is refused, the remove goes through without a teardown. */
    const char *early = "Burnkit[0]: CdRecorderRemoveDevice - called before "
                        "WriterExtension->reinitCheckValue is set\n";
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(unit));
    EXPECT_EQ(1u, LoggedCount(early));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    EXPECT_EQ(2u, LoggedCount(early));
}

TEST_F(Lifecycle, InterfaceFailuresDoNotFailTheStart) {
    HOST_FAULT once = {};
    once.Count = 1;
    once.Status = STATUS_INVALID_DEVICE_REQUEST;
    HostSetFault(HostFaultRegisterInterface, &once);
    Unit *unregistered = PlugRecorder();
    EXPECT_EQ(STATUS_SUCCESS, unregistered->StartStatus);
    EXPECT_EQ(0u, HostDeviceInterfaceCount(&HarnessRecorderInterface, FALSE));

    once.Status = STATUS_INVALID_PARAMETER;
    HostSetFault(HostFaultSetInterfaceState, &once);
    Unit *disabled = PlugRecorder();
    EXPECT_EQ(STATUS_SUCCESS, disabled->StartStatus);
    EXPECT_TRUE(Logged("Burnkit[1]: IoSetDeviceInterfaceState failed (0xC000000D)\n"));
    EXPECT_EQ(1u, HostDeviceInterfaceCount(&HarnessRecorderInterface, FALSE));
    EXPECT_EQ(2u, EventsWithId(MSG_DEVICE_INITIALIZED).size());
    EXPECT_EQ("threads 4, buffers 0, interfaces 0", Held());

    /* Both still tear down cleanly. */
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unregistered));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(disabled));
    EXPECT_EQ(0u, HostThreadsAlive());
}

/* ---- removal ---- */

TEST_F(Lifecycle, QueryRemoveIsRefusedWhileRecordingOrOpen) {
    Unit *unit = PlugRecorder();
    SetRecordingStatus(unit, RECSTAT_IN_PROCESS);
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(unit)) << "refused even when closed";
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Query\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice response: busy recording\n"));
    SetRecordingStatus(unit, RECSTAT_COMPLETE);

    HANDLE handle = OpenRecorder();
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(unit));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice response: device is open\n"));
    EXPECT_EQ(STATUS_SUCCESS, HostPnpCancelRemove(unit->Fdo));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Cancel\n"));

    /* A running write pass counts as open. */
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    Writer(unit)->bWriteThreadProcRunning = TRUE;
    ClearLog();
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(unit));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice response: device is open\n"));
    Writer(unit)->bWriteThreadProcRunning = FALSE;

    EXPECT_EQ(STATUS_SUCCESS, QueryRemoveUnit(unit));
    EXPECT_EQ(2u, HostThreadsAlive()) << "a query tears nothing down";
}

TEST_F(Lifecycle, RemoveEndsThreadsAndFreesEverythingAlsoWhenRefusedWhileOpen) {
    Unit *unit = PlugWithBuffers(20);
    HANDLE handle = nullptr;
    Unit *open = PlugWithBuffers(16, &handle);
    EXPECT_EQ("threads 4, buffers 36, interfaces 2", Held());

    EXPECT_EQ(STATUS_SUCCESS, QueryRemoveUnit(unit));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Remove\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: WriteThread - WriteStartEvent signaled to shutdown\n"));
    EXPECT_FALSE(Logged("Burnkit[1]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_EQ("threads 2, buffers 16, interfaces 1", Held()) << "ended before the remove returned";

    /* Refused while open, but the class library deletes the device object anyway: nothing may
     * outlive it. */
    EXPECT_EQ(STATUS_DEVICE_BUSY, RemoveUnit(open));
    EXPECT_TRUE(Logged("Burnkit[1]: CdRecorderRemoveDevice response: device is open\n"));
    EXPECT_EQ("threads 0, buffers 0, interfaces 0", Held());
    (void)handle; /* closed by the fixture on the removed device */
}

TEST_F(Lifecycle, TeardownRunsOnceAndOtherTypesRemove) {
    Unit *unit = PlugWithBuffers(16);
    EXPECT_EQ(STATUS_SUCCESS, CdRecorderRemoveDevice(unit->Fdo, 0x42));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Type = 66\n"));
    EXPECT_TRUE(Writer(unit)->bTornDown);
    EXPECT_TRUE(Writer(unit)->bShutdown);
    EXPECT_EQ(0u, Writer(unit)->numCacheBuffers);
    EXPECT_EQ("threads 0, buffers 0, interfaces 0", Held());

    /* A second teardown does nothing: no wake-up, no second disable. */
    ClearLog();
    CdRecorderTearDown(unit->Fdo);
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    EXPECT_FALSE(Logged("signaled to shutdown"));
}

TEST_F(Lifecycle, SurpriseRemovalLogsItsWordsFreesNothingAndReinitializes) {
    Unit *idle = PlugRecorder();
    HANDLE handle = nullptr;
    Unit *open = PlugWithBuffers(18, &handle);
    ClearEvents();

    EXPECT_EQ(STATUS_SUCCESS, SurpriseRemoveUnit(open));
    EXPECT_TRUE(Logged("Burnkit[1]: CdRecorderRemoveDevice - Surprise Removal\n"));
    EXPECT_EQ(STATUS_SUCCESS, SurpriseRemoveUnit(idle));
    std::vector<HOST_ERROR_LOG_ENTRY> removal = EventsWithId(MSG_UNEXPECTED_REMOVAL);
    ASSERT_EQ(2u, removal.size());
    /* Device number, bWriteThreadProcRunning, bDeviceOpen. */
    EXPECT_EQ((std::vector<ULONG>{1, 0, 1}), Dump(removal[0]));
    EXPECT_EQ((std::vector<ULONG>{0, 0, 0}), Dump(removal[1]));
    EXPECT_EQ(1u, Writer(open)->surpriseRemoved);
    EXPECT_EQ("threads 4, buffers 18, interfaces 2", Held());

    /* Started again: without buffers an ordinary initialization; with them a
     * re-initialization that keeps them, and the threads of the first initialization go on. */
    ClearEvents();
    ASSERT_EQ(STATUS_SUCCESS, StartUnit(idle));
    EXPECT_EQ(std::vector<NTSTATUS>{MSG_DEVICE_INITIALIZED}, EventIds());
    ClearEvents();
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    ASSERT_EQ(STATUS_SUCCESS, StartUnit(open));
    EXPECT_EQ((std::vector<NTSTATUS>{MSG_DEVICE_REINITIALIZED, MSG_DEVICE_INITIALIZED}),
              EventIds());
    EXPECT_EQ(18u, Writer(open)->numCacheBuffers);
    EXPECT_EQ(0u, Writer(open)->surpriseRemoved);
    EXPECT_EQ("threads 4, buffers 18, interfaces 2", Held());

    /* Still a working recorder, and it tears down completely. */
    handle = OpenUnit(open);
    RECORDING_STATUS status = Status(handle);
    EXPECT_EQ(RECSTAT_IDLE, status.recordingStatus);
    EXPECT_EQ(60u, status.buffersOrChecksum);
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(open));
    EXPECT_EQ("threads 2, buffers 0, interfaces 1", Held());
}

/* ---- unload ---- */

TEST_F(Lifecycle, UnloadFreesTheCacheDrivesAndNamesTheDriverObject) {
    Unit *unit = PlugRecorder();
    HANDLE handle = OpenRecorder();
    for (char letter : {'E', 'F', 'G'}) {
        ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(handle, IOCTL_RECORDER_CREATE_CACHE_DRIVE,
                                                    letter, (USHORT)(letter == 'G' ? 2 : 1)));
    }
    EXPECT_EQ(2u, HostPoolCountInUse(HostPoolTag("ScUn")));
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));
    ASSERT_EQ(STATUS_SUCCESS, RemoveUnit(unit));

    char expected[64];
    snprintf(expected, sizeof(expected), "Burnkit.sys DriverObject 0x%08X unloading\n",
             (unsigned)(uintptr_t)Driver());
    EXPECT_TRUE(UnloadDriver()) << UnloadReport;
    EXPECT_TRUE(Logged(expected)) << DebugLog();
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn")));
}

/* ---- removal while the recorder works ---- */

class WholeSystem : public Lifecycle {
protected:
    /* Starts a one-track recording of Blocks 2048-byte blocks from image Name on drive D:. */
    NTSTATUS Record(HANDLE Handle, const char *Name, ULONG Blocks) {
        RECORD_DISC_REQUEST block;
        memset(&block, 0, sizeof(block));
        snprintf(block.imageName, sizeof(block.imageName), "\\??\\D:\\%s", Name);
        block.numTracks = 1;
        block.tracks[0] = TrackEntry(1, 2048, 0, 0, Blocks);
        block.refillPercent = 50;
        UCHAR out[8];
        return Ioctl(Handle, IOCTL_RECORDER_RECORD_DISC, &block, sizeof(block), out, sizeof(out))
            .Status;
    }

    static bool Idle(Unit *U) {
        PWriterExtension writer = Writer(U);
        CdwSpinLockGuard guard(&writer->StatusLock);
        return writer->Status.recordingStatus != RECSTAT_IN_PROCESS && !writer->bReadThreadBusy &&
               !writer->bWriteThreadProcRunning;
    }

    /* Waits (on the stand-in clock) at most Seconds for Done; returns whether it came. */
    template <typename Condition> bool WaitFor(Condition Done, LONGLONG Seconds) {
        const LONGLONG end = HostClockNow() + Seconds * OneSecond;
        while (!Done() && HostClockNow() < end) {
            Sleep(50);
        }
        return Done();
    }
};

TEST_F(WholeSystem, RemovalDuringARecordingCancelsItAndWaitsForTheThreads) {
    SIM_RECORDER_CONFIG slow = RecorderConfig();
    slow.SpeedMultiple = 1;
    slow.BufferBytes = 256 * 1024;
    Unit *unit = PlugRecorder(slow);
    PlugRecorder();
    HANDLE handle = OpenUnit(unit);
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 16));
    MakeImageFile("long.img", 4000 * 2048, 3);
    ASSERT_EQ(STATUS_SUCCESS, Record(handle, "long.img", 4000));
    ASSERT_TRUE(WaitFor([&] { return Writer(unit)->Status.blocksWritten >= 200; }, 600));
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(unit));

    /* The write pass counts as open: the remove is answered as refused, but the class library
     * deletes the device, so the recording is cancelled and both threads end first. */
    EXPECT_EQ(STATUS_DEVICE_BUSY, RemoveUnit(unit));
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: WriteThread - WriteStartEvent signaled to shutdown\n"));
    EXPECT_EQ("threads 2, buffers 0, interfaces 1", Held()) << "the other recorder's threads";
    EXPECT_EQ(0, HostOpenFileCount()) << "the image was closed";
    SIM_RECORDER_COUNTERS counters;
    HostSimGetCounters(unit->Sim, &counters);
    EXPECT_LT(counters.BlocksWritten, 4000u);
}

/* A recorder that stays in its long write: the readiness poll would wait up to 500 s, but a
 * removal ends it at its next retry, so the plug-and-play thread is not held up. */
TEST_F(WholeSystem, RemovalDuringALongWritePollEndsThePoll) {
    Unit *unit = PlugRecorder();
    HANDLE handle = OpenUnit(unit);
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 16));
    MakeImageFile("poll.img", 2000 * 2048, 4);
    ULONG writeFault = HostSimFaultSenseAtBlock(unit->Sim, 200, 0x02, 0x04, 0x08, 1);
    SIM_FAULT busy;
    HostSimInitFault(&busy, SimFaultAtCommand, SimFaultSense);
    busy.CommandNumber = 1;
    busy.Opcode = 0x00; /* TEST UNIT READY */
    busy.RepeatCount = 4000;
    busy.SenseKey = 0x02;
    busy.Asc = 0x04;
    busy.Ascq = 0x08;
    ULONG pollFault = HostSimAddFault(unit->Sim, &busy);
    ASSERT_EQ(STATUS_SUCCESS, Record(handle, "poll.img", 2000));
    ASSERT_TRUE(WaitFor([&] { return HostSimFaultFired(unit->Sim, pollFault) >= 10; }, 600));
    EXPECT_EQ(1u, HostSimFaultFired(unit->Sim, writeFault));
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));

    const LONGLONG start = HostClockNow();
    EXPECT_EQ(STATUS_DEVICE_BUSY, RemoveUnit(unit));
    EXPECT_LE(HostClockNow() - start, OneSecond) << "removal waited for the poll";
    EXPECT_LT(HostSimFaultFired(unit->Sim, pollFault), 30u);
    EXPECT_TRUE(Logged("Burnkit[0]: PollTestUnitReady - recording ending, stopped after"));
    EXPECT_TRUE(Logged("Burnkit[0]: WriteThread - WriteStartEvent signaled to shutdown\n"));
    EXPECT_EQ(0u, HostThreadsAlive());
    HostSimClearFaults(unit->Sim);
}

/* A reader that waits for a cache drive held through another recorder (the application's
 * download) gives up within a second of a cancel, and of a removal on the plug-and-play
 * thread, which waits for the device's threads. */
TEST_F(WholeSystem, ReaderWaitingForACacheDriveEndsOnCancelAndOnRemoval) {
    Unit *unit = PlugRecorder();
    Unit *other = PlugRecorder();
    HANDLE handle = OpenUnit(unit);
    HANDLE download = OpenUnit(other);
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 16));
    ASSERT_EQ(STATUS_SUCCESS,
              CacheDriveRequest(download, IOCTL_RECORDER_CREATE_CACHE_DRIVE, 'D', 0x0101));
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(download, IOCTL_RECORDER_INIT_CACHE_LOCK, 'D'));
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(download, IOCTL_RECORDER_LOCK_CACHE_DRIVE));
    MakeImageFile("wait.img", 64 * 2048, 4);

    ASSERT_EQ(STATUS_SUCCESS, Record(handle, "wait.img", 64));
    Sleep(10000);
    EXPECT_EQ(0, Status(handle).bReadStarted) << "the reader waits for the cache drive";
    (void)QueryRecordingStatus(handle, true);
    LONGLONG start = HostClockNow();
    EXPECT_TRUE(WaitFor([&] { return Idle(unit); }, 5)) << "the cancel did not end the wait";
    EXPECT_LE(HostClockNow() - start, OneSecond);
    EXPECT_EQ(RECSTAT_ABORTED, Status(handle).recordingStatus);
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - recording ended while waiting for the cache "
                       "drive\n"));
    EXPECT_EQ(0u, HostSimLogCount(unit->Sim));

    EXPECT_EQ(STATUS_SUCCESS, Record(handle, "wait.img", 64));
    Sleep(10000);
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));
    std::atomic<bool> entered{false}, removed{false};
    std::thread remover([&] {
        HostThreadScope scope("plug and play");
        entered = true;
        EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
        removed = true;
    });
    while (!entered) {
        std::this_thread::yield(); /* the clock moves only once the stand-in knows the thread */
    }
    start = HostClockNow();
    EXPECT_TRUE(WaitFor([&] { return removed.load(); }, 5))
        << "the removal waits for a reader that waits for the cache drive";
    EXPECT_LE(HostClockNow() - start, OneSecond);
    /* The download ends (and lets a reader that did not give up go on). */
    EXPECT_EQ(STATUS_SUCCESS, CacheDriveRequest(download, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE));
    remover.join();
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_EQ(2u, HostThreadsAlive()) << "only the other recorder's threads";
    EXPECT_EQ(0, HostOpenFileCount());
    EXPECT_EQ(STATUS_SUCCESS, Close(download));
}

} // namespace
