/*
 * lifecycle_test.cpp - the driver's frame: registration, creation and numbering of devices,
 * desktop units, initialization, removal (also during a recording), teardown, start-I/O and
 * unload.
 */
#include "support/driver_harness.h"
#include "support/recorder_setup.h"
#include "support/recording_scenario.h"
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

/* The next call at Point fails with Status. */
void FailOnce(HOST_FAULT_POINT Point, NTSTATUS Status) {
    HOST_FAULT once = {0, 1, 0, Status};
    HostSetFault(Point, &once);
}

/* The dump words of an event-log entry (the device number first). */
std::vector<ULONG> Dump(const HOST_ERROR_LOG_ENTRY &Entry) {
    return std::vector<ULONG>(Entry.DumpData, Entry.DumpData + Entry.DumpWordCount);
}

class Lifecycle : public DriverHarness {
protected:
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
        EXPECT_EQ(STATUS_SUCCESS, AllocateCache(handle, Count));
        if (Handle != nullptr) {
            *Handle = handle;
        } else {
            EXPECT_EQ(STATUS_SUCCESS, Close(handle));
        }
        return unit;
    }

    NTSTATUS CacheDriveRequest(HANDLE Handle, ULONG Code, char Letter = 0, USHORT Address = 0) {
        CACHE_DRIVE_REQUEST request = {0, Letter, 0, Address};
        return Ioctl(Handle, Code, &request, sizeof(request), NULL, 0).Status;
    }
};

/* ---- creation and numbering ---------------------------------------------------------------- */

TEST_F(Lifecycle, NumbersRunAcrossRecordersAndDesktopUnitsAndOnlyRecordersRecord) {
    Unit *first = PlugRecorder();
    Unit *desktop = PlugDesktopUnit();
    Unit *second = PlugRecorder();
    ULONG number = 0;
    for (Unit *unit : {first, desktop, second}) {
        ASSERT_NE(nullptr, unit->Fdo);
        EXPECT_EQ("\\Device\\CdWriter" + std::to_string(number), HostDeviceName(unit->Fdo));
        EXPECT_EQ(number++, CdwDeviceNumber(unit->Fdo));
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
    EXPECT_NE(STATUS_SUCCESS, AllocateCache(handle, 16));
    EXPECT_EQ(0u, BufferPool());
    RECORDING_STATUS status = QueryRecordingStatus(handle);
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
    /* Descriptors cut one byte into the product name and just after it (the vendor's 8 bytes
     * and a terminator come first); the last row: a desktop unit whose descriptor cannot be
     * read is an ordinary recorder. */
    const ULONG productEnd = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) + 9 + 7;
    const struct {
        const char *vendor, *product;
        ULONG size;
        bool unreadable, desktop;
    } rows[] = {{"KORVO   ", "DESKTAP UNIT", 0, false, false},
                {"KORVOX", "DESKTOP UNIT    ", 0, false, false},
                {"KORV", "DESKTOP UNIT    ", 0, false, false},
                {"KORVO   ", "DESKTOP UNIT    ", productEnd - 1, false, false},
                {"KORVO   ", "DESKTOP UNIT    ", productEnd, false, true},
                {"KORVO   ", "DESKTOP UNIT    ", 0, true, false}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.vendor) + "/" + row.product + " cut at " +
                     std::to_string(row.size));
        SIM_RECORDER_CONFIG config = RecorderConfig();
        strcpy(config.Vendor, row.vendor);
        strcpy(config.Product, row.product);
        config.DescriptorSize = row.size;
        if (row.unreadable) {
            FailOnce(HostFaultGetDescriptor, STATUS_IO_DEVICE_ERROR);
        }
        Unit *unit = PlugRecorder(config);
        ASSERT_NE(nullptr, unit->Fdo);
        EXPECT_EQ(row.desktop, Writer(unit)->bDesktopUnit != FALSE);
    }
    EXPECT_EQ(1u, HostFaultHits(HostFaultGetDescriptor));
    EXPECT_EQ(1u, LoggedCount("Burnkit: ClassGetDescriptor failed"));
    EXPECT_EQ(5u, RecorderCount);
    EXPECT_EQ(1u, DesktopUnitCount);
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
         "Burnkit: ClassClaimDevice 0 failed! 80000011H\n"},
        {HostFaultCreateDeviceObject, STATUS_INSUFFICIENT_RESOURCES,
         "ClassCreateDeviceObjects failed for '\\Device\\CdWriter0'\n"},
        {HostFaultAttachDevice, STATUS_INSUFFICIENT_RESOURCES,
         "Burnkit: IoAttachDeviceToDeviceStack failed"},
    };
    std::vector<Unit *> failed;
    for (const auto &row : rows) {
        FailOnce(row.point, row.status);
        failed.push_back(PlugRecorder());
        EXPECT_EQ(nullptr, failed.back()->Fdo);
        EXPECT_EQ(STATUS_SUCCESS, failed.back()->AddStatus);
        EXPECT_TRUE(Logged(row.logged.c_str())) << DebugLog();
    }
    EXPECT_EQ(0, HostDriverDeviceCount(Driver()));

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

TEST_F(Lifecycle, DriverEntryPreparesTheTableWhateverTheRegistrationButNothingOnceADeviceExists) {
    const char *banner = "Burnkit: DriverEntry - build 3.2.5.0, May 4, 2005 3:10 PM\n";
    /* Registering a second time on the same driver object fails in the class library. */
    EXPECT_EQ(STATUS_OBJECT_NAME_COLLISION, HostCallDriverEntryAgain(Driver()));
    EXPECT_TRUE(Logged("Burnkit: DriverEntry: ClassInitialize failed, status = C0000035H\n"));
    EXPECT_EQ(2u, LoggedCount(banner));
    EXPECT_TRUE(IsListEmpty(&CacheDriveList));

    Unit *unit = PlugRecorder();
    ASSERT_NE(nullptr, unit->Fdo);
    HANDLE handle = OpenRecorder();
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(handle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, 'E', 7));
    EXPECT_EQ(STATUS_SUCCESS, HostCallDriverEntryAgain(Driver()));
    EXPECT_TRUE(Logged("Burnkit: DriverEntry re-called, returning\n"));
    EXPECT_EQ(2u, LoggedCount(banner));
    /* The cache-drive table was left alone. */
    EXPECT_EQ(STATUS_SUCCESS, CacheDriveRequest(handle, IOCTL_RECORDER_INIT_CACHE_LOCK, 'E'));
    EXPECT_NE(nullptr, Writer(unit)->DownloadCacheDrive);

    /* Unloading frees the cache drives too (the fixture checks the pool). */
    ASSERT_EQ(STATUS_SUCCESS, Close(handle));
    ASSERT_EQ(STATUS_SUCCESS, RemoveUnit(unit));
    char expected[64];
    snprintf(expected, sizeof(expected), "Burnkit.sys DriverObject 0x%08X unloading\n",
             (unsigned)(uintptr_t)Driver());
    EXPECT_TRUE(UnloadDriver()) << UnloadReport;
    EXPECT_TRUE(Logged(expected)) << DebugLog();
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

/* Notes the completion and keeps the request for the test to read and free. */
NTSTATUS NTAPI KeepIrp(PDEVICE_OBJECT, PIRP, PVOID Completed) {
    *static_cast<bool *>(Completed) = true;
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
        irp->IoStatus.Information = 0xABCD;
        bool completed = false;
        IoSetCompletionRoutine(irp, KeepIrp, &completed, TRUE, TRUE, TRUE);
        (void)IoCallDriver(unit->Fdo, irp);
        EXPECT_TRUE(completed);
        EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST, irp->IoStatus.Status);
        EXPECT_EQ(0u, irp->IoStatus.Information);
        IoFreeIrp(irp);
    }
    EXPECT_EQ(3u, LoggedCount("Burnkit[0]: CdRecorderStartIo\n"));
    EXPECT_EQ(locks, HostClassRemoveLockCount(unit->Fdo)) << "remove lock released";
    SIM_RECORDER_COUNTERS after;
    HostSimGetCounters(unit->Sim, &after);
    EXPECT_EQ(before.Commands, after.Commands);
}

/* ---- initialization failures ---- */

TEST_F(Lifecycle, ThreadThatCannotBeCreatedFailsTheStartButInterfaceFailuresDoNot) {
    HostFailNextThreadCreate(STATUS_INSUFFICIENT_RESOURCES);
    Unit *unit = PlugRecorder();
    ASSERT_NE(nullptr, unit->Fdo);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, unit->StartStatus);
    EXPECT_TRUE(Logged("Burnkit[0]: Failed to create ReadThread (0xC000009A)\n"));
    ASSERT_EQ(std::vector<NTSTATUS>{MSG_DEVICE_INIT_FAILED}, EventIds());
    EXPECT_EQ(std::vector<ULONG>{0}, Dump(Events()[0]));
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

    ClearEvents();
    FailOnce(HostFaultRegisterInterface, STATUS_INVALID_DEVICE_REQUEST);
    Unit *unregistered = PlugRecorder();
    EXPECT_EQ(STATUS_SUCCESS, unregistered->StartStatus);
    EXPECT_EQ(0u, HostDeviceInterfaceCount(&HarnessRecorderInterface, FALSE));

    FailOnce(HostFaultSetInterfaceState, STATUS_INVALID_PARAMETER);
    Unit *disabled = PlugRecorder();
    EXPECT_EQ(STATUS_SUCCESS, disabled->StartStatus);
    EXPECT_TRUE(Logged("Burnkit[2]: IoSetDeviceInterfaceState failed (0xC000000D)\n"));
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
    Writer(unit)->Status.recordingStatus = RECSTAT_IN_PROCESS; /* the threads are idle */
    EXPECT_EQ(STATUS_DEVICE_BUSY, QueryRemoveUnit(unit)) << "refused even when closed";
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Query\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice response: busy recording\n"));
    Writer(unit)->Status.recordingStatus = RECSTAT_COMPLETE;

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
    EXPECT_EQ("threads 2, buffers 16, interfaces 1", Held()) << "ended before the remove returned";

    /* Refused while open, but the class library deletes the device object anyway: nothing may
     * outlive it. */
    EXPECT_EQ(STATUS_DEVICE_BUSY, RemoveUnit(open));
    EXPECT_TRUE(Logged("Burnkit[1]: CdRecorderRemoveDevice response: device is open\n"));
    EXPECT_EQ("threads 0, buffers 0, interfaces 0", Held()); /* the fixture closes the handle */
}

TEST_F(Lifecycle, TeardownRunsOnceAndOtherTypesRemove) {
    Unit *unit = PlugWithBuffers(16);
    EXPECT_EQ(STATUS_SUCCESS, CdRecorderRemoveDevice(unit->Fdo, 0x42));
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderRemoveDevice - Type = 66\n"));
    EXPECT_TRUE(Writer(unit)->bTornDown);
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
    RECORDING_STATUS status = QueryRecordingStatus(handle);
    EXPECT_EQ(RECSTAT_IDLE, status.recordingStatus);
    EXPECT_EQ(60u, status.buffersOrChecksum);
    EXPECT_EQ(STATUS_SUCCESS, Close(handle));
    EXPECT_EQ(STATUS_SUCCESS, RemoveUnit(open));
    EXPECT_EQ("threads 2, buffers 0, interfaces 1", Held());
}

/* ---- removal while the recorder works ---- */

class WholeSystem : public Lifecycle {
protected:
    /* Starts a one-track recording of Blocks 2048-byte blocks from image Name on drive D:. */
    NTSTATUS Record(HANDLE Handle, const char *Name, ULONG Blocks) {
        std::vector<UCHAR> block = OneTrackRecordRequest(std::string("\\??\\D:\\") + Name, Blocks);
        UCHAR out[8];
        return Ioctl(Handle, IOCTL_RECORDER_RECORD_DISC, block.data(), (ULONG)block.size(), out,
                     sizeof(out))
            .Status;
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

/* A recorder that stays in its long write: the readiness poll would wait up to 500 s, but a
 * removal ends the poll at its next retry and waits for both threads, so the plug-and-play
 * thread is not held up and nothing of the recording outlives the device. */
TEST_F(WholeSystem, RemovalDuringALongWritePollEndsThePoll) {
    Unit *unit = PlugRecorder();
    HANDLE handle = OpenUnit(unit);
    ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, 16));
    MakeImageFile("poll.img", 2000 * 2048, 4);
    ULONG writeFault = HostSimFaultSenseAtBlock(unit->Sim, 200, 0x02, 0x04, 0x08, 1);
    /* TEST UNIT READY answers "long write in progress" 4000 times. */
    const SIM_FAULT busy = {
        SimFaultAtCommand, 1, 0, 0x00, 4000, SimFaultSense, 0x02, 0x04, 0x08, 0, 0, FALSE};
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
    EXPECT_TRUE(Logged("Burnkit[0]: ReadThread - ReadStartEvent signaled to shutdown\n"));
    EXPECT_TRUE(Logged("Burnkit[0]: WriteThread - WriteStartEvent signaled to shutdown\n"));
    EXPECT_EQ("threads 0, buffers 0, interfaces 0", Held());
    EXPECT_EQ(0, HostOpenFileCount()) << "the image was closed";
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
    ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, 16));
    ASSERT_EQ(STATUS_SUCCESS,
              CacheDriveRequest(download, IOCTL_RECORDER_CREATE_CACHE_DRIVE, 'D', 0x0101));
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(download, IOCTL_RECORDER_INIT_CACHE_LOCK, 'D'));
    ASSERT_EQ(STATUS_SUCCESS, CacheDriveRequest(download, IOCTL_RECORDER_LOCK_CACHE_DRIVE));
    MakeImageFile("wait.img", 64 * 2048, 4);

    ASSERT_EQ(STATUS_SUCCESS, Record(handle, "wait.img", 64));
    Sleep(10000);
    EXPECT_EQ(0, QueryRecordingStatus(handle).bReadStarted)
        << "the reader waits for the cache drive";
    (void)QueryRecordingStatus(handle, true);
    LONGLONG start = HostClockNow();
    EXPECT_TRUE(WaitRecordingIdle(Writer(unit), 5)) << "the cancel did not end the wait";
    EXPECT_LE(HostClockNow() - start, OneSecond);
    EXPECT_EQ(RECSTAT_ABORTED, QueryRecordingStatus(handle).recordingStatus);
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
