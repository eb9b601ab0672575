/*
 * device_lifecycle.cpp - the life of a recorder between creation and deletion: the
 * initialization callback that gives the device record its starting values, its two
 * recording threads and its device interface, and the removal callback that refuses to let
 * an open or recording device go and otherwise tears it down.
 */
#include "writer.h"
#include "../cachedrive/cachedrive_requests.h"

/* Device interface classes: recorders, and desktop units (which cannot record). */
static const GUID GUID_DEVINTERFACE_CDWRITER = {CDW_GUID_RECORDER_PARTS};
static const GUID GUID_DEVINTERFACE_CDWRITER_DESKTOP = {CDW_GUID_DESKTOP_PARTS};

static NTSTATUS CdRecorderStartThread(PDEVICE_OBJECT DeviceObject, PKSTART_ROUTINE StartRoutine,
                                      PVOID *ThreadObject);
static VOID CdRecorderStopThreads(PDEVICE_OBJECT DeviceObject);

NTSTATUS NTAPI CdRecorderInitDevice(PDEVICE_OBJECT DeviceObject)
/*++

Routine Description:

    Initialization callback of the class library, called before the device's first start.
    Gives the device record its initial values, starts the read and write threads of a
    recorder (a desktop unit gets neither), registers and enables the device interface of the
    device's kind and logs the outcome.

    A record that was initialized before, was surprise-removed and still holds cache buffers
    keeps them and logs its re-initialization. If such a record still has its threads, they
    keep running on the events, ring and status record they already use; only a record
    without threads gets new ones.

    Runs at PASSIVE_LEVEL on the plug-and-play thread.

Arguments:

    DeviceObject - the functional device object.

Return Value:

    STATUS_SUCCESS, or the status of a thread that could not be created (the class library
    then fails the start and the device stays uninitialized).

--*/
{
    PWriterExtension writer = CdwWriterExtension(DeviceObject);
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);

    if (writer->surpriseRemoved == 1 && writer->reinitCheckValue == REINIT_CHECK_VALUE &&
        writer->numCacheBuffers != 0) {
        CdRecorderLogEvent(DeviceObject, MSG_DEVICE_REINITIALIZED, 0, NULL);
    } else {
        writer->numCacheBuffers = 0;
        for (ULONG i = 0; i < MAX_CACHE_BUFFERS; i++) {
            writer->cacheBuffers[i] = NULL;
        }
    }

    if (!writer->bDesktopUnit) {
        BOOLEAN threadsAlive =
            writer->ReadThreadObject != NULL || writer->WriteThreadObject != NULL;

        if (!threadsAlive) {
            RtlZeroMemory(&writer->CirQue, sizeof(writer->CirQue));
            writer->CirQue.size = DEFAULT_RING_SLOTS;
            writer->CirQue.numElements = DEFAULT_RING_SLOTS;
            writer->CirQue.head = 0;
            writer->CirQue.tail = 0;
            writer->CirQue.bNotEmpty = FALSE;
            KeInitializeSpinLock(&writer->CirQueLock);

            KeInitializeEvent(&writer->CirQueRefillEvent, SynchronizationEvent, FALSE);
            writer->refillThreshold = DEFAULT_REFILL_THRESHOLD;
            KeInitializeEvent(&writer->PacketReadyEvent, SynchronizationEvent, FALSE);
            KeInitializeEvent(&writer->ReadStartEvent, SynchronizationEvent, FALSE);
            KeInitializeEvent(&writer->WriteStartEvent, SynchronizationEvent, FALSE);

            writer->ReadParams.imageFileName.Length = 0;
            writer->ReadParams.imageFileName.MaximumLength =
                (USHORT)sizeof(writer->ReadParams.imageFileNameBuffer);
            writer->ReadParams.imageFileName.Buffer = writer->ReadParams.imageFileNameBuffer;
            KeInitializeSpinLock(&writer->StatusLock);

            writer->Status.recordingStatus = RECSTAT_IDLE;
            writer->Status.blocksWritten = 0;
            writer->Status.packetsQueued = 0;
            writer->Status.buffersOrChecksum = DEFAULT_RING_SLOTS;
            writer->Status.bCancel = FALSE;
            writer->Status.bReadStarted = FALSE;
            writer->WriteParams.writeMode = 0;
            writer->WriteParams.blockSize = DEFAULT_BLOCK_SIZE;
            writer->WriteParams.bAbort = FALSE;
            writer->WriteParams.bChecksumOnly = FALSE;
            writer->bWriteThreadProcRunning = FALSE;
            writer->recordFlags = 0;
            writer->RecordCacheDrive = NULL;
            writer->bReadThreadBusy = FALSE;
            writer->bClientContextCaptured = FALSE;
            writer->bThreadFailed = FALSE;
        }
        writer->bDeviceOpen = FALSE;
        writer->bShutdown = FALSE;
        writer->bTornDown = FALSE;
        writer->surpriseRemoved = 0;
        writer->reinitCheckValue = 0;
        writer->DownloadCacheDrive = NULL;

        if (!threadsAlive) {
            NTSTATUS status =
                CdRecorderStartThread(DeviceObject, ReadThread, &writer->ReadThreadObject);
            if (!NT_SUCCESS(status)) {
                DbgPrint("Burnkit[%d]: Failed to create ReadThread (0x%08X)\n", deviceNumber,
                         status);
                CdRecorderLogEvent(DeviceObject, MSG_DEVICE_INIT_FAILED, 0, NULL);
                return status;
            }

            status = CdRecorderStartThread(DeviceObject, WriteThread, &writer->WriteThreadObject);
            if (!NT_SUCCESS(status)) {
                DbgPrint("Burnkit[%d]: Failed to create WriteThread (0x%08X)\n", deviceNumber,
                         status);
                CdRecorderLogEvent(DeviceObject, MSG_DEVICE_INIT_FAILED, 0, NULL);
                /*
                 * The device stays uninitialized and is never torn down, so the read thread
                 * would outlive the device record it runs on: end it now.
                 */
                CdRecorderStopThreads(DeviceObject);
                writer->bShutdown = FALSE;
                return status;
            }
        }
    }

    if (writer->InterfaceName.Buffer == NULL) {
        UNICODE_STRING interfaceName;
        RtlInitUnicodeString(&interfaceName, NULL);
        auto *fdoExtension =
            static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
        NTSTATUS status =
            IoRegisterDeviceInterface(fdoExtension->LowerPdo,
                                      writer->bDesktopUnit ? &GUID_DEVINTERFACE_CDWRITER_DESKTOP
                                                           : &GUID_DEVINTERFACE_CDWRITER,
                                      NULL, &interfaceName);
        if (NT_SUCCESS(status)) {
            writer->InterfaceName = interfaceName;
        }
    }
    if (writer->InterfaceName.Buffer != NULL) {
        NTSTATUS status = IoSetDeviceInterfaceState(&writer->InterfaceName, TRUE);
        if (!NT_SUCCESS(status)) {
            DbgPrint("Burnkit[%d]: IoSetDeviceInterfaceState failed (0x%08X)\n", deviceNumber,
                     status);
        }
    }

    CdRecorderLogEvent(DeviceObject, MSG_DEVICE_INITIALIZED, 0, NULL);

    writer->reinitCheckValue = REINIT_CHECK_VALUE;
    return STATUS_SUCCESS;
}

static NTSTATUS CdRecorderStartThread(PDEVICE_OBJECT DeviceObject, PKSTART_ROUTINE StartRoutine,
                                      PVOID *ThreadObject)
/*++

Routine Description:

    Creates one of the device's system threads and keeps a reference to its thread object,
    so that the teardown can wait for the thread to end. The handle itself is closed at once.

    Runs at PASSIVE_LEVEL.

Arguments:

    DeviceObject - the functional device object, the thread's start context.
    StartRoutine - ReadThread or WriteThread.
    ThreadObject - receives the referenced thread object (NULL if it could not be had).

Return Value:

    The status of the thread creation.

--*/
{
    HANDLE threadHandle = NULL;
    *ThreadObject = NULL;

    NTSTATUS status = PsCreateSystemThread(&threadHandle, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                           StartRoutine, DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    PVOID object = NULL;
    if (NT_SUCCESS(ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS, *PsThreadType,
                                             KernelMode, &object, NULL))) {
        *ThreadObject = object;
    }
    (void)ZwClose(threadHandle);
    return STATUS_SUCCESS;
}

static VOID CdRecorderStopThreads(PDEVICE_OBJECT DeviceObject)
/*++

Routine Description:

    Tells the device's threads to end and waits until they have. Each thread tests bShutdown
    whenever it wakes from its start event, so the flag is set before the events.

    Runs at PASSIVE_LEVEL; may wait for as long as a thread needs to come back to its start
    event (a recording must have been cancelled before).

Arguments:

    DeviceObject - the functional device object of a recorder.

Return Value:

    None.

--*/
{
    PWriterExtension writer = CdwWriterExtension(DeviceObject);

    writer->bShutdown = TRUE;
    KeSetEvent(&writer->ReadStartEvent, 0, FALSE);
    KeSetEvent(&writer->WriteStartEvent, 0, FALSE);

    if (writer->ReadThreadObject != NULL) {
        (void)KeWaitForSingleObject(writer->ReadThreadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(writer->ReadThreadObject);
        writer->ReadThreadObject = NULL;
    }
    if (writer->WriteThreadObject != NULL) {
        (void)KeWaitForSingleObject(writer->WriteThreadObject, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(writer->WriteThreadObject);
        writer->WriteThreadObject = NULL;
    }
}

NTSTATUS NTAPI CdRecorderRemoveDevice(PDEVICE_OBJECT DeviceObject, UCHAR Type)
/*++

Routine Description:

    Removal callback of the class library. A query-remove is refused while an application
    has the device open, while a write pass runs or while a recording is in process. A
    remove of such a device is answered as refused too, but since the class library deletes
    the device object after any remove request, the device is torn down in either case. A
    surprise removal is noted in the event log and in the record, and tears nothing down.

    Runs at PASSIVE_LEVEL on the plug-and-play thread.

Arguments:

    DeviceObject - the functional device object.
    Type - the plug-and-play minor function: query-remove, remove, cancel-remove or surprise
        removal (any other value is handled as a remove).

Return Value:

    STATUS_SUCCESS, or STATUS_DEVICE_BUSY to refuse.

--*/
{
    PWriterExtension writer = CdwWriterExtension(DeviceObject);
    ULONG deviceNumber = CdwDeviceNumber(DeviceObject);
    BOOLEAN initialized = writer->reinitCheckValue == REINIT_CHECK_VALUE;
    BOOLEAN writing;
    {
        CdwSpinLockGuard guard(&writer->StatusLock);
        writing = writer->bWriteThreadProcRunning;
    }
    BOOLEAN open = writer->bDeviceOpen || writing;
    BOOLEAN remove = FALSE;

    switch (Type) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
        DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice - Query\n", deviceNumber);
        break;
    case IRP_MN_REMOVE_DEVICE:
        DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice - Remove\n", deviceNumber);
        remove = TRUE;
        break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice - Cancel\n", deviceNumber);
        return STATUS_SUCCESS;
    case IRP_MN_SURPRISE_REMOVAL: {
        DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice - Surprise Removal\n", deviceNumber);
        ULONG dumpData[2] = {(ULONG)writing, (ULONG)writer->bDeviceOpen};
        CdRecorderLogEvent(DeviceObject, MSG_UNEXPECTED_REMOVAL, 2, dumpData);
        break;
    }
    default:
        DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice - Type = %d\n", deviceNumber, (int)Type);
        remove = TRUE;
        break;
    }

    if (!initialized) {
        DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice - called before "
                 "WriterExtension->reinitCheckValue is set\n",
                 deviceNumber);
        return Type == IRP_MN_QUERY_REMOVE_DEVICE ? STATUS_DEVICE_BUSY : STATUS_SUCCESS;
    }

    if (Type == IRP_MN_QUERY_REMOVE_DEVICE) {
        ULONG recordingStatus = RECSTAT_IDLE;
        if (!writer->bDesktopUnit) {
            CdwSpinLockGuard guard(&writer->StatusLock);
            recordingStatus = writer->Status.recordingStatus;
        }
        if (recordingStatus == RECSTAT_IN_PROCESS) {
            DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice response: busy recording\n",
                     deviceNumber);
            return STATUS_DEVICE_BUSY;
        }
        if (open) {
            DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice response: device is open\n",
                     deviceNumber);
            return STATUS_DEVICE_BUSY;
        }
        return STATUS_SUCCESS;
    }

    if (Type == IRP_MN_SURPRISE_REMOVAL) {
        writer->surpriseRemoved = 1;
        return STATUS_SUCCESS;
    }

    if (remove) {
        if (open) {
            DbgPrint("Burnkit[%d]: CdRecorderRemoveDevice response: device is open\n",
                     deviceNumber);
            /*
             * The class library deletes the device object after a remove request whatever
             * the answer, so the refusal is reported but the device is torn down all the
             * same: no thread or buffer may outlive the record it belongs to.
             */
            CdRecorderTearDown(DeviceObject);
            return STATUS_DEVICE_BUSY;
        }
        CdRecorderTearDown(DeviceObject);
    }
    return STATUS_SUCCESS;
}

VOID CdRecorderTearDown(PDEVICE_OBJECT DeviceObject)
/*++

Routine Description:

    Ends the device's life as a recorder: cancels a recording that still runs, gives back a
    cache-drive lock that the application took through this device, ends both threads and
    waits until they have ended, then frees the cache buffers and disables the device
    interface. Only then is nothing left that could touch the record when the class library
    deletes the device object. A desktop unit has no threads or events and only loses its
    interface. Runs at most once, and only for an initialized device.

    Runs at PASSIVE_LEVEL on the plug-and-play thread.

Arguments:

    DeviceObject - the functional device object.

Return Value:

    None.

--*/
{
    PWriterExtension writer = CdwWriterExtension(DeviceObject);

    if (writer->bTornDown || writer->reinitCheckValue == 0) {
        return;
    }

    CdwDownloadLockReleaseForDevice(DeviceObject);

    if (!writer->bDesktopUnit) {
        BOOLEAN recording;
        {
            CdwSpinLockGuard guard(&writer->StatusLock);
            recording =
                writer->Status.recordingStatus == RECSTAT_IN_PROCESS || writer->bReadThreadBusy;
            if (recording) {
                writer->Status.bCancel = TRUE;
            }
        }
        if (recording) {
            KeSetEvent(&writer->CirQueRefillEvent, 0, FALSE);
        }

        CdRecorderStopThreads(DeviceObject);
    }

    for (ULONG i = 0; i < writer->numCacheBuffers && i < MAX_CACHE_BUFFERS; i++) {
        if (writer->cacheBuffers[i] != NULL) {
            ExFreePool(writer->cacheBuffers[i]);
            writer->cacheBuffers[i] = NULL;
        }
    }
    writer->numCacheBuffers = 0;
    writer->bShutdown = TRUE;

    if (writer->InterfaceName.Buffer != NULL) {
        (void)IoSetDeviceInterfaceState(&writer->InterfaceName, FALSE);
        RtlFreeUnicodeString(&writer->InterfaceName);
        RtlInitUnicodeString(&writer->InterfaceName, NULL);
    }

    writer->bTornDown = TRUE;
}
