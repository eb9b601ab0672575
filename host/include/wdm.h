/* wdm.h - host stand-in: the driver-model subset lives in ntddk.h. */
#pragma once

#include "ntddk.h"
