/*
 * mmc_passthrough.h - the MMC module's sender over the driver's pass-through request: each
 * command block goes to the recorder through IOCTL_RECORDER_EXEC_SCSI_OPERATION.
 */
#pragma once

#include "cdw_client.h"
#include "mmc.h"

/*
 * A sender for an open recorder (which must outlive it). The pass-through block reports no
 * transferred length: a reply counts as the whole buffer (MMC replies carry their own length
 * fields, and the driver zero-fills the part of the buffer a short reply left).
 */
CdwMmcSender CdwMmcPassThroughSender(CdwDevice *recorder);
