/*
 * ntddk.h - host stand-in for the kernel-mode driver kit's main header: the subset of the
 * kernel, HAL and I/O manager interfaces that the driver uses, with the platform's names.
 */
#pragma once

#include <stdio.h>
#include <ctype.h>
#include <string.h>
#include <stdint.h>
#include <stddef.h>

#include "nt_base.h"
#include "nt_ke.h"
#if __has_include("nt_io.h")
#include "nt_io.h"
#endif
