/*
 * ntddstor.h - host stand-in: storage class control codes, property queries and the
 * device and adapter descriptors, with the platform's names, values and layouts.
 *
 * Codes are given by value (they are the platform's CTL_CODE results).
 */
#pragma once

#include "nt_base.h"

#ifdef __cplusplus
extern "C" {
#endif

#define IOCTL_STORAGE_BASE 0x0000002D /* FILE_DEVICE_MASS_STORAGE */

#define IOCTL_STORAGE_CHECK_VERIFY 0x002D4800  /* 0x200, buffered, read access */
#define IOCTL_STORAGE_CHECK_VERIFY2 0x002D0800 /* 0x200, buffered, any access */
#define IOCTL_STORAGE_MEDIA_REMOVAL 0x002D4804 /* 0x201, buffered, read access */
#define IOCTL_STORAGE_EJECT_MEDIA 0x002D4808   /* 0x202, buffered, read access */
#define IOCTL_STORAGE_LOAD_MEDIA 0x002D480C    /* 0x203, buffered, read access */
#define IOCTL_STORAGE_RESERVE 0x002D4810       /* 0x204, buffered, read access */
#define IOCTL_STORAGE_RELEASE 0x002D4814       /* 0x205, buffered, read access */
#ifndef IOCTL_STORAGE_FIND_NEW_DEVICES
#define IOCTL_STORAGE_FIND_NEW_DEVICES 0x002D4818 /* 0x206, buffered, read access */
#endif
#define IOCTL_STORAGE_GET_MEDIA_TYPES 0x002D0C00   /* 0x300, buffered, any access */
#define IOCTL_STORAGE_RESET_BUS 0x002D5000         /* 0x400, buffered, read access */
#define IOCTL_STORAGE_RESET_DEVICE 0x002D5004      /* 0x401, buffered, read access */
#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080 /* 0x420, buffered, any access */
#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400    /* 0x500, buffered, any access */

/* Enumerations whose values come from applications or devices are int-sized with every
 * value valid, as the platform's compiler has them (a value outside the names is no error). */
typedef enum _STORAGE_BUS_TYPE : int {
    BusTypeUnknown = 0x00,
    BusTypeScsi,
    BusTypeAtapi,
    BusTypeAta,
    BusType1394,
    BusTypeSsa,
    BusTypeFibre,
    BusTypeUsb,
    BusTypeRAID,
    BusTypeMaxReserved = 0x7F
} STORAGE_BUS_TYPE,
    *PSTORAGE_BUS_TYPE;

typedef enum _STORAGE_QUERY_TYPE : int {
    PropertyStandardQuery = 0,
    PropertyExistsQuery,
    PropertyMaskQuery,
    PropertyQueryMaxDefined
} STORAGE_QUERY_TYPE,
    *PSTORAGE_QUERY_TYPE;

typedef enum _STORAGE_PROPERTY_ID : int {
    StorageDeviceProperty = 0,
    StorageAdapterProperty,
    StorageDeviceIdProperty
} STORAGE_PROPERTY_ID,
    *PSTORAGE_PROPERTY_ID;

typedef struct _STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    UCHAR AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY, *PSTORAGE_PROPERTY_QUERY;

typedef struct _STORAGE_DESCRIPTOR_HEADER {
    ULONG Version;
    ULONG Size;
} STORAGE_DESCRIPTOR_HEADER, *PSTORAGE_DESCRIPTOR_HEADER;

typedef struct _STORAGE_DEVICE_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    UCHAR DeviceType;
    UCHAR DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    ULONG VendorIdOffset;
    ULONG ProductIdOffset;
    ULONG ProductRevisionOffset;
    ULONG SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    ULONG RawPropertiesLength;
    UCHAR RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR, *PSTORAGE_DEVICE_DESCRIPTOR;

typedef struct _STORAGE_ADAPTER_DESCRIPTOR {
    ULONG Version;
    ULONG Size;
    ULONG MaximumTransferLength;
    ULONG MaximumPhysicalPages;
    ULONG AlignmentMask;
    BOOLEAN AdapterUsesPio;
    BOOLEAN AdapterScansDown;
    BOOLEAN CommandQueueing;
    BOOLEAN AcceleratedTransfer;
    UCHAR BusType;
    USHORT BusMajorVersion;
    USHORT BusMinorVersion;
} STORAGE_ADAPTER_DESCRIPTOR, *PSTORAGE_ADAPTER_DESCRIPTOR;

typedef struct _STORAGE_DEVICE_NUMBER {
    ULONG DeviceType;
    ULONG DeviceNumber;
    ULONG PartitionNumber;
} STORAGE_DEVICE_NUMBER, *PSTORAGE_DEVICE_NUMBER;

#ifdef __cplusplus
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "property query is 12 bytes");
static_assert(sizeof(STORAGE_DEVICE_DESCRIPTOR) == 40, "device descriptor is 40 bytes");
static_assert(__builtin_offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == 12,
              "VendorIdOffset at 12");
static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32, "adapter descriptor is 28 bytes");
#endif

#ifdef __cplusplus
}
#endif
