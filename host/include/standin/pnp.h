/*
 * standin/pnp.h - host set-up API of the plug-and-play manager stand-in: load and unload a
 * driver, plug a physical device object (a storage port's device) under it, and send it the
 * plug-and-play requests of a device's life. The driver never includes this header.
 *
 * Every call runs the driver's routines in the calling thread (the "plug-and-play thread")
 * and returns when the request has completed. The caller should be inside a HostThreadScope
 * (the driver harness is).
 */
#pragma once

#include <ntddk.h>
#include <standin/io.h>

#include <string>

struct _CLASS_DRIVER_EXTENSION;

/*
 * Creates the driver object "\Driver\<Name>" and calls Entry (the driver's DriverEntry; NULL
 * means the DriverEntry linked into the program) with the registry path
 * "\Registry\Machine\System\CurrentControlSet\Services\<Name>". *EntryStatus (may be NULL)
 * gets DriverEntry's status. Returns the driver object, also when DriverEntry failed (unload
 * it all the same); it becomes the driver HostPnpAddDevice uses.
 */
PDRIVER_OBJECT HostLoadDriver(PDRIVER_INITIALIZE Entry, const char *Name = "cdwriter",
                              NTSTATUS *EntryStatus = nullptr);

/* Calls the driver's entry routine again on the same driver object (a repeated load). */
NTSTATUS HostCallDriverEntryAgain(PDRIVER_OBJECT Driver);

/* The driver of the last HostLoadDriver that has not been unloaded, or NULL. */
PDRIVER_OBJECT HostLoadedDriver();

/*
 * Offers Pdo to the loaded driver's add-device routine. Returns the functional device object
 * the driver attached to Pdo's stack, or NULL when it attached none (its add-device routine
 * may still have reported success). *AddStatus (may be NULL) gets the routine's status.
 * Before the call a PDO without device properties gets the ones a storage port reports for a
 * CD recorder (description, manufacturer, friendly name, hardware and compatible ids, ...),
 * made from its device descriptor.
 */
PDEVICE_OBJECT HostPnpAddDevice(PDEVICE_OBJECT Pdo, NTSTATUS *AddStatus = nullptr);

/* Plug-and-play requests to the top of Fdo's stack; each returns the request's status (for
 * remove, query-remove, cancel-remove and surprise removal: the driver's removal callback's
 * status unless a lower device failed). After HostPnpRemove the device object is gone. */
NTSTATUS HostPnpStart(PDEVICE_OBJECT Fdo);
NTSTATUS HostPnpQueryRemove(PDEVICE_OBJECT Fdo);
NTSTATUS HostPnpCancelRemove(PDEVICE_OBJECT Fdo);
NTSTATUS HostPnpRemove(PDEVICE_OBJECT Fdo);
NTSTATUS HostPnpSurpriseRemove(PDEVICE_OBJECT Fdo);
NTSTATUS HostPnpQueryStop(PDEVICE_OBJECT Fdo);
NTSTATUS HostPnpStop(PDEVICE_OBJECT Fdo);
NTSTATUS HostPnpCancelStop(PDEVICE_OBJECT Fdo);
/* Any plug-and-play minor function (IoStatus starts as STATUS_NOT_SUPPORTED). */
NTSTATUS HostPnpSend(PDEVICE_OBJECT Fdo, UCHAR MinorFunction);
/* A power request (IRP_MN_SET_POWER / IRP_MN_QUERY_POWER, device state D0..D3). */
NTSTATUS HostPnpPower(PDEVICE_OBJECT Fdo, UCHAR MinorFunction, DEVICE_POWER_STATE State);

/*
 * Unloads Driver: calls its unload routine, then checks what is left: device objects of the
 * driver, enabled device interfaces, outstanding IRPs and MDLs, application handles, open
 * files, token objects, unwritten error-log entries, and the kernel's own shutdown check (pool
 * by tag, system threads, handles). The report (empty when clean) goes to *Report when given
 * and to stderr when not clean. The driver object is freed when it has no devices left.
 * Returns true when everything was clean.
 */
bool HostUnloadDriver(PDRIVER_OBJECT Driver, std::string *Report = nullptr);

/* Class library inspection: the remove-lock count of a device made by ClassCreateDeviceObject,
 * and the library's driver extension (registration block) of a driver. */
LONG HostClassRemoveLockCount(PDEVICE_OBJECT Fdo);
struct _CLASS_DRIVER_EXTENSION *HostClassDriverExtension(PDRIVER_OBJECT Driver);
