/*
 * queries_test.cpp - the parameters and properties requests: buffer limits, the SCSI address
 * as the port gives it (or does not), the adapter limits, device properties that fit, do not
 * fit or do not exist, and what the application gets back in every case.
 */
#include "support/driver_harness.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "../driver/writer.h"

namespace {

class Queries : public DriverHarness {
protected:
    Unit *PlugAt(UCHAR Port, UCHAR Path, UCHAR Target, UCHAR Lun, bool NotSupported = false) {
        SIM_RECORDER_CONFIG config = RecorderConfig();
        config.PortNumber = Port;
        config.PathId = Path;
        config.TargetId = Target;
        config.Lun = Lun;
        config.AddressNotSupported = NotSupported ? TRUE : FALSE;
        config.MaximumTransferLength = 0x20000;
        config.MaximumPhysicalPages = 33;
        config.AlignmentMask = 3;
        unit = PlugRecorder(config);
        handle = OpenUnit(unit);
        return unit;
    }

    /* A parameters request with InLength bytes of 0xAB as input, into Out (32 bytes of 0xEE). */
    IoctlResult Parameters(ULONG InLength, ULONG OutLength, UCHAR *Out) {
        const UCHAR in[4] = {0xAB, 0xAB, 0xAB, 0xAB};
        memset(Out, 0xEE, 32);
        return Ioctl(handle, IOCTL_RECORDER_QUERY_PARAMETERS, in, InLength, Out, OutLength);
    }

    /* What a parameters answer should hold, given the address and the first word. */
    CD_RECORDER_PARAMETERS Expected(uint32_t First, UCHAR Port, UCHAR Path, UCHAR Target,
                                    UCHAR Lun) {
        return {First, Port, Path, Target, Lun, unit->Fdo->AlignmentRequirement, 0x20000, 33};
    }

    /* A properties request with the whole block as input (Fill in every byte but Type). */
    IoctlResult Properties(ULONG Type, std::vector<UCHAR> &Block, UCHAR Fill = 0x5A,
                           ULONG InLength = sizeof(CD_RECORDER_PROPERTIES),
                           ULONG OutLength = sizeof(CD_RECORDER_PROPERTIES)) {
        std::vector<UCHAR> in(sizeof(CD_RECORDER_PROPERTIES), Fill);
        memcpy(in.data() + offsetof(CD_RECORDER_PROPERTIES, Type), &Type, sizeof(Type));
        Block.assign(sizeof(CD_RECORDER_PROPERTIES) + 16, 0xEE);
        return Ioctl(handle, IOCTL_RECORDER_QUERY_PROPERTIES, in.data(), InLength, Block.data(),
                     OutLength);
    }

    /*
     * On a failure the I/O manager copies nothing back to the application, so what the driver
     * leaves in the block is read from the system buffer of a request handed to it directly;
     * the whole block is always answered.
     */
    NTSTATUS DirectProperties(ULONG Type, ULONG InLength, UCHAR Fill, std::vector<UCHAR> &Block) {
        Block.assign(sizeof(CD_RECORDER_PROPERTIES), Fill);
        memcpy(Block.data() + offsetof(CD_RECORDER_PROPERTIES, Type), &Type, sizeof(Type));
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_RECORDER_QUERY_PROPERTIES;
        stack->Parameters.DeviceIoControl.InputBufferLength = InLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(CD_RECORDER_PROPERTIES);
        irp->AssociatedIrp.SystemBuffer = Block.data();
        const NTSTATUS status = CdRecorderQueryProperties(unit->Fdo, irp);
        EXPECT_EQ(status, irp->IoStatus.Status);
        EXPECT_EQ(2072u, irp->IoStatus.Information);
        IoFreeIrp(irp);
        return status;
    }

    static const CD_RECORDER_PROPERTIES *AsProperties(const std::vector<UCHAR> &Block) {
        return reinterpret_cast<const CD_RECORDER_PROPERTIES *>(Block.data());
    }

    /* How many bytes of the 2048-byte property area hold Value. */
    static long Holding(UCHAR Value, const CD_RECORDER_PROPERTIES *Properties) {
        return std::count(Properties->PropertyBuffer, Properties->PropertyBuffer + 2048, Value);
    }

    Unit *unit = nullptr;
    HANDLE handle = nullptr;
};

/* ---- parameters ---------------------------------------------------------------------------- */

TEST_F(Queries, ParametersNeedTwentyBytesAndGiveAZeroAddressOnlyWhenThePortHasNone) {
    PlugAt(2, 1, 5, 3);
    UCHAR out[32];
    IoctlResult result = Parameters(0, 19, out);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_EQ(0u, result.Returned);
    EXPECT_FALSE(Logged("CdRecorderQueryParameters"));

    /* The first word is not the driver's: what the application sent stays. */
    result = Parameters(4, sizeof(out), out);
    ASSERT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(20u, result.Returned);
    const CD_RECORDER_PARAMETERS sent = Expected(0xABABABABu, 2, 1, 5, 3);
    EXPECT_EQ(0, memcmp(&sent, out, sizeof(sent)));
    EXPECT_EQ(0xEE, out[20]) << "nothing beyond 20 bytes";
    /* Without input, the unwritten word comes back zero, never as pool left it. */
    ASSERT_EQ(STATUS_SUCCESS, Parameters(0, 20, out).Status);
    const CD_RECORDER_PARAMETERS unsent = Expected(0, 2, 1, 5, 3);
    EXPECT_EQ(0, memcmp(&unsent, out, sizeof(unsent)));

    /* A port that cannot give the address: zeros, and no failure. */
    PlugAt(2, 1, 5, 3, true);
    ASSERT_EQ(STATUS_SUCCESS, Parameters(0, 20, out).Status);
    const CD_RECORDER_PARAMETERS none = Expected(0, 0, 0, 0, 0);
    EXPECT_EQ(0, memcmp(&none, out, sizeof(none)));
    EXPECT_FALSE(Logged("IOCTL_SCSI_GET_ADDRESS failed"));

    /* The application's own request passes; the driver's address query cannot be built. */
    HOST_FAULT fault = {1, 1, 0, 0};
    HostSetFault(HostFaultIrpAllocation, &fault);
    result = Parameters(0, 20, out);
    ASSERT_EQ(1u, HostFaultHits(HostFaultIrpAllocation));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.Status);
    EXPECT_EQ(0u, result.Returned);
    EXPECT_TRUE(Logged("Burnkit[1]: CdRecorderQueryParameters - IOCTL_SCSI_GET_ADDRESS failed, "
                       "Status = 0xC000009A\n"))
        << DebugLog();
}

/* ---- properties ---------------------------------------------------------------------------- */

TEST_F(Queries, PropertiesNeedTheWholeBlockAndComeBackWithLengthAndBothDeviceObjects) {
    PlugAt(0, 0, 0, 0);
    std::vector<UCHAR> block;
    IoctlResult result =
        Properties(DevicePropertyFriendlyName, block, 0x5A, sizeof(CD_RECORDER_PROPERTIES) - 1,
                   sizeof(CD_RECORDER_PROPERTIES) - 1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_EQ(0u, result.Returned);
    char entry[160];
    snprintf(entry, sizeof(entry),
             "Burnkit[0]: CdRecorderQueryProperties - entry, DeviceObject = 0x%08X, PDO = 0x%08X, "
             "Type = 9, Length = 2071\n",
             (unsigned)(uintptr_t)unit->Fdo, (unsigned)(uintptr_t)unit->Pdo);
    EXPECT_TRUE(Logged(entry)) << DebugLog();
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderQueryProperties - exit, Length = 2071, "
                       "Status = 0xC000000D\n"));

    /* Type is never taken from beyond a short input: the request shows 0 and is refused. */
    ClearLog();
    result = Properties(DevicePropertyFriendlyName, block, 0x5A, 6);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_EQ(0u, result.Returned);
    EXPECT_TRUE(Logged(", Type = 0, Length = 2072\n")) << DebugLog();
    EXPECT_TRUE(Logged("exit, Length = 2072, Status = 0xC000000D\n"));

    UCHAR expected[2048] = {};
    ULONG expectedLength = 0;
    ASSERT_EQ(STATUS_SUCCESS, IoGetDeviceProperty(unit->Pdo, DevicePropertyFriendlyName,
                                                  sizeof(expected), expected, &expectedLength));
    ASSERT_GT(expectedLength, 0u);
    result = Properties(DevicePropertyFriendlyName, block);
    ASSERT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(2072u, result.Returned);
    const CD_RECORDER_PROPERTIES *properties = AsProperties(block);
    EXPECT_EQ(expectedLength, properties->Length);
    EXPECT_EQ((uint32_t)DevicePropertyFriendlyName, properties->Type);
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Fdo, properties->DeviceObject);
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Pdo, properties->PDO);
    EXPECT_EQ(0, memcmp(expected, properties->PropertyBuffer, sizeof(expected)))
        << "the property, then zeros up to 2048 bytes";
    EXPECT_EQ(0xEE, block[2072]);
    EXPECT_TRUE(Logged(
        ("exit, Length = " + std::to_string(expectedLength) + ", Status = 0x00000000\n").c_str()));
}

TEST_F(Queries, PropertyTooLongOrUnknownReturnsLengthButNoData) {
    PlugAt(0, 0, 0, 0);
    std::vector<UCHAR> longValue(3000, 0x41);
    HostSetDeviceProperty(unit->Pdo, DevicePropertyLocationInformation, longValue.data(),
                          (ULONG)longValue.size());
    std::vector<UCHAR> block;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL,
              DirectProperties(DevicePropertyLocationInformation, 2072, 0x5A, block));
    EXPECT_TRUE(Logged("exit, Length = 3000, Status = 0xC0000023\n")) << DebugLog();
    const CD_RECORDER_PROPERTIES *properties = AsProperties(block);
    EXPECT_EQ(3000u, properties->Length);
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Fdo, properties->DeviceObject);
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Pdo, properties->PDO);
    EXPECT_EQ(2048, Holding(0x5A, properties)) << "property data written";

    /* A type the platform rejects; the application sent only Length and Type, so the rest of
     * the property area is zeroed rather than left as pool had it. */
    EXPECT_FALSE(NT_SUCCESS(DirectProperties(0x99, 8, 0xD1, block)));
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Fdo, AsProperties(block)->DeviceObject);
    EXPECT_EQ(2048, Holding(0, AsProperties(block)));
}

TEST_F(Queries, MissingOrFaultingWorkingBufferReadsNoProperty) {
    PlugAt(0, 0, 0, 0);
    HostPoolFailTag(HostPoolTag("BrnX"), 1);
    std::vector<UCHAR> block;
    IoctlResult result = Properties(DevicePropertyFriendlyName, block);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.Status);
    EXPECT_EQ(0u, result.Returned);
    EXPECT_EQ(1u, HostPoolInjectedFailures());
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderQueryProperties - exit, Length = 2072, "
                       "Status = 0xC000009A\n"));

    /* Filling it raises: the request ends once, with the raised status and nothing returned,
     * and gives back its buffer and its hold on the recorder. */
    const LONG held = HostClassRemoveLockCount(unit->Fdo);
    HOST_FAULT fault = {0, 1, 0, 0};
    HostSetFault(HostFaultDeviceProperty, &fault);
    result = Properties(DevicePropertyFriendlyName, block);
    EXPECT_EQ(STATUS_IN_PAGE_ERROR, result.Status);
    EXPECT_EQ(0u, result.Returned);
    EXPECT_EQ(1u, HostFaultHits(HostFaultDeviceProperty));
    EXPECT_EQ(1u, LoggedCount("Burnkit[0]: CdRecorderQueryProperties - Exception! "
                              "GetExceptionCode() = 0xC0000006\n"));
    EXPECT_EQ(held, HostClassRemoveLockCount(unit->Fdo));
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("BrnX")));
}

} // namespace
