/*
 * cachedrive_requests.h - bookkeeping of the cache-drive locks that the application holds
 * through a recorder, so that the removal of that recorder can give such a lock back.
 *
 * The lock of a cache drive has no owner: any unlock frees it. When the application has taken
 * it through a recorder that then goes away, no unlock can reach the driver through that
 * recorder any more and every recorder reading images from the same disk would wait forever.
 * The requests therefore note which recorder took the application's lock on a cache drive;
 * every release of that cache drive through the requests forgets the note.
 */
#pragma once

#include "../driver/writer.h"

/* Prepares the bookkeeping; called from DriverEntry. */
VOID CdwDownloadLockTableInitialize();

/*
 * Releases every cache drive whose lock the application took through this recorder and has
 * not released since. Called by the removal of the recorder, at PASSIVE_LEVEL.
 */
VOID CdwDownloadLockReleaseForDevice(PDEVICE_OBJECT DeviceObject);
