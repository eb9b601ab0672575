/*
 * ntifs.h - host stand-in: the file-system kit header. The client-security and file routines
 * that the platform declares here are declared by the stand-in's nt_io.h, which ntddk.h
 * includes; this header only brings in the kernel API.
 */
#pragma once

#include <ntddk.h>
