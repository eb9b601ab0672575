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

PFUNCTIONAL_DEVICE_EXTENSION FdoExtension(DriverHarness::Unit *U) {
    return static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(U->Fdo->DeviceExtension);
}

std::string Hex(NTSTATUS Status) {
    char text[16];
    snprintf(text, sizeof(text), "%X", (unsigned)Status);
    return text;
}

class Lifecycle : public DriverHarness {
protected:
    NTSTATUS Allocate(HANDLE Handle, ULONG Count) { return AllocateCache(Handle, Count); }
    RECORDING_STATUS Status(HANDLE Handle) { return QueryRecordingStatus(Handle); }

    ULONG Interfaces(const GUID *Class) { return HostDeviceInterfaceCount(Class, TRUE); }

    size_t BufferPool() { return HostPoolCountInUse(HostPoolTag("BrnX")); }

    void SetRecordingStatus(Unit *U, ULONG Value) {
        CdwSpinLockGuard guard(&Writer(U)->StatusLock);
        Writer(U)->Status.recordingStatus = Value;
    }
};

/* ---- creation and numbering ---------------------------------------------------------------- */

TEST_F(Lifecycle, NumbersRunAcrossRecordersAndDesktopUnits) {
    Unit *first = PlugRecorder();
    Unit *desktop = PlugDesktopUnit();
    Unit *second = PlugRecorder();
    ASSERT_NE(nullptr, first->Fdo);
    ASSERT_NE(nullptr, desktop->Fdo);
    ASSERT_NE(nullptr, second->Fdo);

    EXPECT_STREQ("\\Device\\CdWriter0", HostDeviceName(first->Fdo));
    EXPECT_STREQ("\\Device\\CdWriter1", HostDeviceName(desktop->Fdo));
    EXPECT_STREQ("\\Device\\CdWriter2", HostDeviceName(second->Fdo));
    EXPECT_EQ(0u, CdwDeviceNumber(first->Fdo));
    EXPECT_EQ(1u, CdwDeviceNumber(desktop->Fdo));
    EXPECT_EQ(2u, CdwDeviceNumber(second->Fdo));
    EXPECT_EQ(2u, RecorderCount);
    EXPECT_EQ(1u, DesktopUnitCount);
    EXPECT_FALSE(Writer(first)->bDesktopUnit);
    EXPECT_TRUE(Writer(desktop)->bDesktopUnit);

    for (Unit *unit : {first, desktop, second}) {
        EXPECT_EQ(STATUS_SUCCESS, unit->AddStatus);
        EXPECT_EQ(STATUS_SUCCESS, unit->StartStatus);
        PFUNCTIONAL_DEVICE_EXTENSION fdo = FdoExtension(unit);
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
    }

    /* Two interface classes, threads for the recorders only, one event per device. */
    EXPECT_EQ(2u, Interfaces(&HarnessRecorderInterface));
    EXPECT_EQ(1u, Interfaces(&HarnessDesktopInterface));
    EXPECT_EQ(4u, HostThreadsAlive());
    std::vector<HOST_ERROR_LOG_ENTRY> initialized = EventsWithId(MSG_DEVICE_INITIALIZED);
    ASSERT_EQ(3u, initialized.size());
    for (ULONG i = 0; i < 3; i++) {
        EXPECT_EQ(1u, initialized[i].DumpWordCount);
        EXPECT_EQ(i, initialized[i].DumpData[0]);
    }
    EXPECT_EQ(3u, LoggedCount("Burnkit: CdRecorderStartDevice\n"));
}

TEST_F(Lifecycle, DesktopUnitHasNoRecordingMachinery) {
    Unit *desktop = PlugDesktopUnit();
    ASSERT_NE(nullptr, desktop->Fdo);
    EXPECT_EQ(0u, HostThreadsAlive());
    EXPECT_EQ(0u, Interfaces(&HarnessRecorderInterface));
    ASSERT_EQ(1u, Interfaces(&HarnessDesktopInterface));

    HANDLE handle = OpenDesktopUnit();
    ASSERT_NE(nullptr, handle);
    EXPECT_NE(STATUS_SUCCESS, Allocate(handle, 16));
    EXPECT_EQ(0u, Writer(desktop)->numCacheBuffers);
    EXPECT_EQ(0u, BufferPool());

    RECORDING_STATUS status = Status(handle);
    const UCHAR zero[sizeof(RECORDING_STATUS)] = {};
    EXPECT_EQ(0, memcmp(&status, zero, sizeof(status))) << "a desktop unit's record stays zero";

    /* Removal touches no event of the desktop unit and disables its interface. */
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_SUCCESS, QueryRemoveUnit(desktop));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(desktop));
    EXPECT_EQ(0u, Interfaces(&HarnessDesktopInterface));
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

    const std::pair<SIM_RECORDER_CONFIG, bool> rows[] = {{korvoOther, false},
                                                         {otherDesktop, false},
                                                         {shortVendor, false},
                                                         {cutShort, false},
                                                         {cutAtEnd, true}};
    for (const auto &row : rows) {
        Unit *unit = PlugRecorder(row.first);
        ASSERT_NE(nullptr, unit->Fdo);
        EXPECT_EQ(row.second, Writer(unit)->bDesktopUnit != FALSE)
            << row.first.Vendor << "/" << row.first.Product << " cut at "
            << row.first.DescriptorSize;
    }
    EXPECT_EQ(4u, RecorderCount);
    EXPECT_EQ(1u, DesktopUnitCount);
    EXPECT_EQ(8u, HostThreadsAlive());
}

TEST_F(Lifecycle, UnreadableDescriptorMakesAnOrdinaryRecorder) {
    HOST_FAULT fault = {};
    fault.Count = 1;
    fault.Status = STATUS_IO_DEVICE_ERROR;
    HostSetFault(HostFaultGetDescriptor, &fault);
    Unit *unit = PlugDesktopUnit();
    ASSERT_NE(nullptr, unit->Fdo);
    EXPECT_EQ(1u, HostFaultHits(HostFaultGetDescriptor));
    EXPECT_TRUE(Logged("Burnkit: ClassGetDescriptor failed"));
    EXPECT_FALSE(Writer(unit)->bDesktopUnit);
    EXPECT_EQ(1u, RecorderCount);
    EXPECT_EQ(0u, DesktopUnitCount);
    EXPECT_EQ(1u, Interfaces(&HarnessRecorderInterface));
}

TEST_F(Lifecycle, FailedCreationLeavesItsNumberToTheNextDevice) {
    HOST_FAULT once = {};
    once.Count = 1;

    /* Claim refused: nothing created, the add-device routine still reports success. */
    once.Status = STATUS_DEVICE_BUSY;
    HostSetFault(HostFaultClaimDevice, &once);
    Unit *unclaimed = PlugRecorder();
    EXPECT_EQ(nullptr, unclaimed->Fdo);
    EXPECT_EQ(STATUS_SUCCESS, unclaimed->AddStatus);
    EXPECT_TRUE(
        Logged(("Burnkit: ClassClaimDevice 0 failed! " + Hex(STATUS_DEVICE_BUSY) + "H\n").c_str()))
        << DebugLog();

    /* Device object cannot be created: the claim is given back. */
    once.Status = STATUS_INSUFFICIENT_RESOURCES;
    HostSetFault(HostFaultCreateDeviceObject, &once);
    Unit *uncreated = PlugRecorder();
    EXPECT_EQ(nullptr, uncreated->Fdo);
    EXPECT_EQ(STATUS_SUCCESS, uncreated->AddStatus);
    EXPECT_TRUE(Logged("ClassCreateDeviceObjects failed for '\\Device\\CdWriter0'\n"));

    /* Attaching fails: the device object is deleted and the claim given back. */
    HostSetFault(HostFaultAttachDevice, &once);
    Unit *unattached = PlugRecorder();
    EXPECT_EQ(nullptr, unattached->Fdo);
    EXPECT_EQ(STATUS_SUCCESS, unattached->AddStatus);
    EXPECT_TRUE(Logged("Burnkit: IoAttachDeviceToDeviceStack failed"));
    EXPECT_EQ(0, HostDriverDeviceCount(Driver()));
    EXPECT_EQ(0u, RecorderCount);
    EXPECT_EQ(0u, DesktopUnitCount);

    /* The next device is number 0; the port devices given back can be claimed again. */
    Unit *next = PlugRecorder();
    ASSERT_NE(nullptr, next->Fdo);
    EXPECT_STREQ("\\Device\\CdWriter0", HostDeviceName(next->Fdo));
    for (Unit *failed : {uncreated, unattached}) {
        PDEVICE_OBJECT fdo = HostPnpAddDevice(failed->Pdo);
        ASSERT_NE(nullptr, fdo) << "the claim was not released";
        failed->Fdo = fdo;
        EXPECT_EQ(STATUS_SUCCESS, StartUnit(failed));
    }
    EXPECT_STREQ("\\Device\\CdWriter1", HostDeviceName(uncreated->Fdo));
    EXPECT_STREQ("\\Device\\CdWriter2", HostDeviceName(unattached->Fdo));
    EXPECT_EQ(3u, RecorderCount);
}

/* ---- driver entry ---------------------------------------------------------------------------- */

TEST_F(Lifecycle, DriverEntryDoesNothingOnceADeviceExists) {
    EXPECT_EQ(1u, LoggedCount("Burnkit: DriverEntry - build 3.2.5.0, May 4, 2005 3:10 PM\n"));
    Unit *unit = PlugRecorder();
    ASSERT_NE(nullptr, unit->Fdo);
    HANDLE handle = OpenRecorder();
    CACHE_DRIVE_REQUEST request = {};
    request.DriveLetter = 'E';
    request.Address = 7;
    ASSERT_EQ(STATUS_SUCCESS,
              Ioctl(handle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, &request, sizeof(request), NULL, 0)
                  .Status);

    EXPECT_EQ(STATUS_SUCCESS, HostCallDriverEntryAgain(Driver()));
    EXPECT_TRUE(Logged("Burnkit: DriverEntry re-called, returning\n"));
    EXPECT_EQ(1u, LoggedCount("Burnkit: DriverEntry - build 3.2.5.0, May 4, 2005 3:10 PM\n"));

    /* The cache-drive table was left alone. */
    EXPECT_EQ(
        STATUS_SUCCESS,
        Ioctl(handle, IOCTL_RECORDER_INIT_CACHE_LOCK, &request, sizeof(request), NULL, 0).Status);
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

TEST_F(Lifecycle, OpenIsAFlagClearedByTheFirstClose) {
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
}

TEST_F(Lifecycle, StopRequestsChangeNothing) {
    Unit *unit = PlugRecorder();
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
    EXPECT_EQ(1u, failed[0].DumpWordCount);
    EXPECT_EQ(0u, failed[0].DumpData[0]);
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
    EXPECT_EQ(1u, EventsWithId(MSG_DEVICE_INITIALIZED).size());

    once.Status = STATUS_INVALID_PARAMETER;
    HostSetFault(HostFaultSetInterfaceState, &once);
    Unit *disabled = PlugRecorder();
    EXPECT_EQ(STATUS_SUCCESS, disabled->StartStatus);
    EXPECT_TRUE(Logged("Burnkit[1]: IoSetDeviceInterfaceState failed (0xC000000D)\n"));
    EXPECT_EQ(1u, HostDeviceInterfaceCount(&HarnessRecorderInterface, FALSE));
    EXPECT_EQ(0u, Interfaces(&HarnessRecorderInterface));
    EXPECT_EQ(2u, EventsWithId(MSG_DEVICE_INITIALIZED).size());
    EXPECT_EQ(4u, HostThreadsAlive());

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

TEST_F(Lifecycle, RemoveOfAnIdleDeviceEndsThreadsAndFreesEverything) {
    Unit *unit = PlugRecorder();
    Unit *other = PlugRecorder();
    HANDLE handle = OpenRecorder(0);
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 20));
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(20u, BufferPool());
    EXPECT_EQ(4u, HostThreadsAlive());

    EXPECT_EQ(STATUS_SUCCESS, QueryRemoveUnit(unit));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Remove\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: WriteThread - WriteStartEvent signaled to shutdown\n"));
    EXPECT_EQ(2u, HostThreadsAlive()) << "both threads ended before the remove returned";
    EXPECT_EQ(0u, BufferPool());
    EXPECT_EQ(1u, Interfaces(&HarnessRecorderInterface));
    EXPECT_FALSE(Logged("Burnkit[1]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    (void)other;
}

TEST_F(Lifecycle, RemoveWhileOpenIsRefusedButLeavesNothingBehind) {
    Unit *unit = PlugRecorder();
    HANDLE handle = OpenRecorder();
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 16));

    EXPECT_EQ(STATUS_DEVICE_BUSY, RemoveUnit(unit));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice response: device is open\n"));
    /* The class library deletes the device object anyway: nothing may outlive it. */
    EXPECT_EQ(0u, HostThreadsAlive());
    EXPECT_EQ(0u, BufferPool());
    EXPECT_EQ(0u, Interfaces(&HarnessRecorderInterface));
    (void)handle; /* closed by the fixture on the removed device */
}

TEST_F(Lifecycle, TeardownRunsOnceAndOtherTypesRemove) {
    Unit *unit = PlugRecorder();
    HANDLE handle = OpenRecorder();
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 16));
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));

    EXPECT_EQ(STATUS_SUCCESS, CdRecorderRemoveDevice(unit->Fdo, 0x42));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Type = 66\n"));
    EXPECT_TRUE(Writer(unit)->bTornDown);
    EXPECT_TRUE(Writer(unit)->bShutdown);
    EXPECT_EQ(0u, Writer(unit)->numCacheBuffers);
    EXPECT_EQ(0u, HostThreadsAlive());
    EXPECT_EQ(0u, BufferPool());
    EXPECT_EQ(0u, Interfaces(&HarnessRecorderInterface));

    /* A second teardown does nothing: no wake-up, no second disable. */
    ClearLog();
    CdRecorderTearDown(unit->Fdo);
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    EXPECT_FALSE(Logged("signaled to shutdown"));
}

TEST_F(Lifecycle, SurpriseRemovalLogsItsWordsAndFreesNothing) {
    Unit *idle = PlugRecorder();
    Unit *open = PlugRecorder();
    HANDLE handle = OpenRecorder(1);
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 16));
    ASSERT_TRUE(Writer(open)->bDeviceOpen);
    ClearEvents();

    EXPECT_EQ(STATUS_SUCCESS, SurpriseRemoveUnit(open));
    EXPECT_TRUE(Logged("Burnkit[1]: CdRecorderRemoveDevice - Surprise Removal\n"));
    std::vector<HOST_ERROR_LOG_ENTRY> removal = EventsWithId(MSG_UNEXPECTED_REMOVAL);
    ASSERT_EQ(1u, removal.size());
    ASSERT_EQ(3u, removal[0].DumpWordCount);
    EXPECT_EQ(1u, removal[0].DumpData[0]);
    EXPECT_EQ(0u, removal[0].DumpData[1]) << "bWriteThreadProcRunning";
    EXPECT_EQ(1u, removal[0].DumpData[2]) << "bDeviceOpen";
    EXPECT_EQ(1u, Writer(open)->surpriseRemoved);
    EXPECT_EQ(4u, HostThreadsAlive());
    EXPECT_EQ(16u, BufferPool());

    EXPECT_EQ(STATUS_SUCCESS, SurpriseRemoveUnit(idle));
    removal = EventsWithId(MSG_UNEXPECTED_REMOVAL);
    ASSERT_EQ(2u, removal.size());
    EXPECT_EQ(0u, removal[1].DumpData[0]);
    EXPECT_EQ(0u, removal[1].DumpData[1]);
    EXPECT_EQ(0u, removal[1].DumpData[2]);

    /* The remove that follows tears down once the application has let go. */
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(open));
    EXPECT_EQ(0u, BufferPool());
    EXPECT_EQ(2u, HostThreadsAlive());
}

TEST_F(Lifecycle, ReinitializationAfterSurpriseRemovalKeepsBuffersAndThreads) {
    Unit *unit = PlugRecorder();
    HANDLE handle = OpenRecorder();
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 18));
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));
    ASSERT_EQ(STATUS_SUCCESS, SurpriseRemoveUnit(unit));
    ClearEvents();

    ASSERT_EQ(STATUS_SUCCESS, StartUnit(unit));
    std::vector<HOST_ERROR_LOG_ENTRY> events = Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(MSG_DEVICE_REINITIALIZED, (NTSTATUS)events[0].Packet.ErrorCode);
    EXPECT_EQ(MSG_DEVICE_INITIALIZED, (NTSTATUS)events[1].Packet.ErrorCode);
    EXPECT_EQ(18u, Writer(unit)->numCacheBuffers);
    EXPECT_EQ(0u, Writer(unit)->surpriseRemoved);
    EXPECT_EQ(2u, HostThreadsAlive()) << "the threads of the first initialization go on";
    EXPECT_EQ(1u, Interfaces(&HarnessRecorderInterface));

    /* Still a working recorder, and it tears down completely. */
    handle = OpenRecorder();
    RECORDING_STATUS status = Status(handle);
    EXPECT_EQ(RECSTAT_IDLE, status.recordingStatus);
    EXPECT_EQ(60u, status.buffersOrChecksum);
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    EXPECT_EQ(0u, HostThreadsAlive());
    EXPECT_EQ(0u, BufferPool());
}

TEST_F(Lifecycle, ReinitializationWithoutBuffersIsAnOrdinaryInitialization) {
    Unit *unit = PlugRecorder();
    ASSERT_EQ(STATUS_SUCCESS, SurpriseRemoveUnit(unit));
    ClearEvents();
    ASSERT_EQ(STATUS_SUCCESS, StartUnit(unit));
    std::vector<HOST_ERROR_LOG_ENTRY> events = Events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(MSG_DEVICE_INITIALIZED, (NTSTATUS)events[0].Packet.ErrorCode);
    EXPECT_EQ(2u, HostThreadsAlive());
}

/* ---- unload ---- */

TEST_F(Lifecycle, UnloadFreesTheCacheDrivesAndNamesTheDriverObject) {
    Unit *unit = PlugRecorder();
    HANDLE handle = OpenRecorder();
    CACHE_DRIVE_REQUEST request = {};
    for (char letter : {'E', 'F', 'G'}) {
        request.DriveLetter = letter;
        request.Address = (uint16_t)(letter == 'G' ? 2 : 1);
        ASSERT_EQ(STATUS_SUCCESS, Ioctl(handle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, &request,
                                        sizeof(request), NULL, 0)
                                      .Status);
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

} // namespace

/* ---- whole system ---- */

namespace {

class WholeSystem : public Lifecycle {
protected:
    /* A one-track record-disc block for an image of Blocks 2048-byte blocks on drive D:. */
    static RECORD_DISC_REQUEST RecordBlock(const char *Name, ULONG Blocks) {
        RECORD_DISC_REQUEST block;
        memset(&block, 0, sizeof(block));
        snprintf(block.imageName, sizeof(block.imageName), "\\??\\D:\\%s", Name);
        block.numTracks = 1;
        block.tracks[0] = TrackEntry(1, 2048, 0, 0, Blocks);
        block.refillPercent = 50;
        return block;
    }

    NTSTATUS Record(HANDLE Handle, const RECORD_DISC_REQUEST &Block) {
        UCHAR out[8];
        return Ioctl(Handle, IOCTL_RECORDER_RECORD_DISC, &Block, sizeof(Block), out, sizeof(out))
            .Status;
    }

    static bool Idle(Unit *U) {
        PWriterExtension writer = Writer(U);
        CdwSpinLockGuard guard(&writer->StatusLock);
        return writer->Status.recordingStatus != RECSTAT_IN_PROCESS && !writer->bReadThreadBusy &&
               !writer->bWriteThreadProcRunning;
    }

    static void ExpectDiscHolds(Unit *U, const std::vector<UCHAR> &Image) {
        ASSERT_EQ(0u, Image.size() % 2048);
        SynchronizeRecorder(U->Sim); /* the application's flush after COMPLETE */
        UCHAR block[2048];
        for (ULONG b = 0; b < Image.size() / 2048; b++) {
            ASSERT_EQ(2048u, HostSimReadBlock(U->Sim, b, block, sizeof(block))) << "block " << b;
            ASSERT_EQ(0, memcmp(block, Image.data() + (size_t)b * 2048, 2048)) << "block " << b;
        }
    }

    NTSTATUS CacheDriveRequest(HANDLE Handle, ULONG Code, char Letter, USHORT Address) {
        CACHE_DRIVE_REQUEST request = {};
        request.DriveLetter = Letter;
        request.Address = Address;
        return Ioctl(Handle, Code, &request, sizeof(request), NULL, 0).Status;
    }
};

/* Two recorders and a desktop unit: both recorders record at once from one cache drive whose
 * download lock first holds them back, then everything is removed and the driver unloads
 * without leaving pool, threads or interfaces behind. */
TEST_F(WholeSystem, TwoRecordersAndADesktopUnitRecordAndLeaveNoTrace) {
    SIM_RECORDER_CONFIG slow = RecorderConfig();
    slow.SpeedMultiple = 8;
    slow.BufferBytes = 256 * 1024;
    Unit *first = PlugRecorder(slow);
    Unit *desktop = PlugDesktopUnit();
    Unit *second = PlugRecorder(slow);
    ASSERT_NE(nullptr, desktop->Fdo);
    EXPECT_EQ(4u, HostThreadsAlive());

    HANDLE one = OpenUnit(first);
    HANDLE two = OpenUnit(second);
    HANDLE unitHandle = OpenDesktopUnit();
    ASSERT_EQ(STATUS_SUCCESS, Allocate(one, 16));
    ASSERT_EQ(STATUS_SUCCESS, Allocate(two, 20));
    ASSERT_EQ(STATUS_SUCCESS,
              CacheDriveRequest(unitHandle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, 'D', 0x0101));
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(one, IOCTL_RECORDER_INIT_CACHE_LOCK, 'd', 0));
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(two, IOCTL_RECORDER_INIT_CACHE_LOCK, 'D', 0));
    const ULONG blocks = 1500;
    std::string imageOne = MakeImageFile("one.img", blocks * 2048, 1);
    std::string imageTwo = MakeImageFile("two.img", blocks * 2048, 2);

    ASSERT_EQ(STATUS_SUCCESS, Ioctl(one, IOCTL_RECORDER_LOCK_CACHE_DRIVE, NULL, 0, NULL, 0).Status);
    ASSERT_EQ(STATUS_SUCCESS, Record(one, RecordBlock("one.img", blocks)));
    ASSERT_EQ(STATUS_SUCCESS, Record(two, RecordBlock("two.img", blocks)));
    Sleep(10000);
    EXPECT_EQ(0, Status(one).bReadStarted) << "no read while the download runs";
    EXPECT_EQ(0, Status(two).bReadStarted);
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(first));
    ASSERT_EQ(STATUS_SUCCESS,
              Ioctl(two, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE, NULL, 0, NULL, 0).Status);

    bool together = false;
    const LONGLONG end = HostClockNow() + 1200 * OneSecond;
    while (!(Idle(first) && Idle(second)) && HostClockNow() < end) {
        together = together || (Status(one).blocksWritten > 0 && Status(two).blocksWritten > 0 &&
                                !Idle(first) && !Idle(second));
        Sleep(50);
    }
    ASSERT_TRUE(Idle(first) && Idle(second)) << "recordings did not end";
    EXPECT_TRUE(together) << "both recorders wrote at the same time";
    EXPECT_EQ(RECSTAT_COMPLETE, Status(one).recordingStatus) << DebugLog();
    EXPECT_EQ(RECSTAT_COMPLETE, Status(two).recordingStatus);
    ExpectDiscHolds(first, ReadHostFile(imageOne));
    ExpectDiscHolds(second, ReadHostFile(imageTwo));

    for (HANDLE handle : {one, two, unitHandle}) {
        EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    }
    for (Unit *unit : {first, desktop, second}) {
        EXPECT_EQ(STATUS_SUCCESS, QueryRemoveUnit(unit));
        EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    }
    EXPECT_EQ(0u, HostThreadsAlive());
    EXPECT_EQ(0u, HostDeviceInterfaceCount(NULL, TRUE));
    EXPECT_EQ(0u, BufferPool());
    EXPECT_TRUE(UnloadDriver()) << UnloadReport;
    EXPECT_EQ(0u, HostPoolCountInUse()) << HostPoolReport();
    EXPECT_EQ(0u, HostVerifierFailureCount());
}

TEST_F(WholeSystem, RemovalDuringARecordingCancelsItAndWaitsForTheThreads) {
    SIM_RECORDER_CONFIG slow = RecorderConfig();
    slow.SpeedMultiple = 1;
    slow.BufferBytes = 256 * 1024;
    Unit *unit = PlugRecorder(slow);
    Unit *other = PlugRecorder();
    HANDLE handle = OpenUnit(unit);
    ASSERT_EQ(STATUS_SUCCESS, Allocate(handle, 16));
    MakeImageFile("long.img", 4000 * 2048, 3);
    ASSERT_EQ(STATUS_SUCCESS, Record(handle, RecordBlock("long.img", 4000)));
    const LONGLONG end = HostClockNow() + 600 * OneSecond;
    while (Writer(unit)->Status.blocksWritten < 200 && HostClockNow() < end) {
        Sleep(50);
    }
    ASSERT_GE(Writer(unit)->Status.blocksWritten, 200u);
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(unit));

    /* The write pass counts as open: the remove is answered as refused, but the class library
     * deletes the device, so the recording is cancelled and both threads end first. */
    EXPECT_EQ(STATUS_DEVICE_BUSY, RemoveUnit(unit));
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: WriteThread - WriteStartEvent signaled to shutdown\n"));
    EXPECT_EQ(2u, HostThreadsAlive()) << "only the other recorder's threads";
    EXPECT_EQ(0u, BufferPool());
    EXPECT_EQ(0, HostOpenFileCount()) << "the image was closed";
    SIM_RECORDER_COUNTERS counters;
    HostSimGetCounters(unit->Sim, &counters);
    EXPECT_LT(counters.BlocksWritten, 4000u);
    (void)other;
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
    ASSERT_EQ(STATUS_SUCCESS, Record(handle, RecordBlock("poll.img", 2000)));
    const LONGLONG end = HostClockNow() + 600 * OneSecond;
    while (HostSimFaultFired(unit->Sim, pollFault) < 10 && HostClockNow() < end) {
        Sleep(50);
    }
    ASSERT_GE(HostSimFaultFired(unit->Sim, pollFault), 10u);
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
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(download, IOCTL_RECORDER_INIT_CACHE_LOCK, 'D', 0));
    ASSERT_EQ(STATUS_SUCCESS,
              Ioctl(download, IOCTL_RECORDER_LOCK_CACHE_DRIVE, NULL, 0, NULL, 0).Status);
    MakeImageFile("wait.img", 64 * 2048, 4);

    ASSERT_EQ(STATUS_SUCCESS, Record(handle, RecordBlock("wait.img", 64)));
    Sleep(10000);
    EXPECT_EQ(0, Status(handle).bReadStarted) << "the reader waits for the cache drive";
    (void)QueryRecordingStatus(handle, true);
    LONGLONG start = HostClockNow();
    while (!Idle(unit) && HostClockNow() - start < 5 * OneSecond) {
        Sleep(50);
    }
    EXPECT_TRUE(Idle(unit)) << "the cancel did not end the wait";
    EXPECT_LE(HostClockNow() - start, OneSecond);
    EXPECT_EQ(RECSTAT_ABORTED, Status(handle).recordingStatus);
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - recording ended while waiting for the cache "
                       "drive\n"));
    EXPECT_EQ(0u, HostSimLogCount(unit->Sim));

    EXPECT_EQ(STATUS_SUCCESS, Record(handle, RecordBlock("wait.img", 64)));
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
    while (!removed && HostClockNow() - start < 5 * OneSecond) {
        Sleep(50);
    }
    EXPECT_TRUE(removed) << "the removal waits for a reader that waits for the cache drive";
    EXPECT_LE(HostClockNow() - start, OneSecond);
    /* The download ends (and lets a reader that did not give up go on). */
    EXPECT_EQ(STATUS_SUCCESS,
              Ioctl(download, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE, NULL, 0, NULL, 0).Status);
    remover.join();
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_EQ(2u, HostThreadsAlive()) << "only the other recorder's threads";
    EXPECT_EQ(0, HostOpenFileCount());
    EXPECT_EQ(STATUS_SUCCESS, Close(download));
    (void)other;
}

} // namespace
