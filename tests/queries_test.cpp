/*
 * queries_test.cpp - the parameters and properties requests: buffer limits, the SCSI address
 * as the port gives it (or does not), the adapter limits, device properties that fit, do not
 * fit or do not exist, and what the application gets back in every case.
 */
#include "support/driver_harness.h"

#include <stdio.h>
#include <string.h>

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
        Unit *unit = PlugRecorder(config);
        handle = OpenRecorder();
        return unit;
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

    static const CD_RECORDER_PROPERTIES *AsProperties(const std::vector<UCHAR> &Block) {
        return reinterpret_cast<const CD_RECORDER_PROPERTIES *>(Block.data());
    }

    /* Where the 2048-byte property area first holds another byte than Value (2048: nowhere). */
    static size_t FirstOtherThan(UCHAR Value, const UCHAR *Area) {
        size_t i = 0;
        while (i < 2048 && Area[i] == Value) {
            i++;
        }
        return i;
    }

    static std::string Hex32(const void *Pointer) {
        char text[16];
        snprintf(text, sizeof(text), "0x%08X", (unsigned)(uintptr_t)Pointer);
        return text;
    }

    HANDLE handle = nullptr;
};

/* ---- parameters ---------------------------------------------------------------------------- */

TEST_F(Queries, ParametersNeedTwentyBytesAndReturnExactlyThose) {
    Unit *unit = PlugAt(2, 1, 5, 3);
    UCHAR out[32];
    memset(out, 0xEE, sizeof(out));
    IoctlResult shortOne = Ioctl(handle, IOCTL_RECORDER_QUERY_PARAMETERS, NULL, 0, out, 19);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, shortOne.Status);
    EXPECT_EQ(0u, shortOne.Returned);
    EXPECT_FALSE(Logged("CdRecorderQueryParameters"));

    /* The first word is not the driver's: what the application sent stays. */
    UCHAR in[4] = {0xAB, 0xAB, 0xAB, 0xAB};
    IoctlResult result =
        Ioctl(handle, IOCTL_RECORDER_QUERY_PARAMETERS, in, sizeof(in), out, sizeof(out));
    ASSERT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(20u, result.Returned);
    CD_RECORDER_PARAMETERS parameters;
    memcpy(&parameters, out, sizeof(parameters));
    EXPECT_EQ(0xABABABABu, parameters.Unused0);
    EXPECT_EQ(2, parameters.PortNumber);
    EXPECT_EQ(1, parameters.PathId);
    EXPECT_EQ(5, parameters.TargetId);
    EXPECT_EQ(3, parameters.Lun);
    EXPECT_EQ(unit->Fdo->AlignmentRequirement, parameters.AlignmentRequirement);
    EXPECT_EQ(0x20000u, parameters.MaximumTransferLength);
    EXPECT_EQ(33u, parameters.MaximumPhysicalPages);
    EXPECT_EQ(0xEE, out[20]) << "nothing beyond 20 bytes";

    /* Without input, the unwritten word comes back zero, never as pool left it. */
    memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(STATUS_SUCCESS,
              Ioctl(handle, IOCTL_RECORDER_QUERY_PARAMETERS, NULL, 0, out, 20).Status);
    EXPECT_EQ(0, out[0] | out[1] | out[2] | out[3]);
}

TEST_F(Queries, AddressThePortCannotGiveIsZeroButOneNotAskedFailsTheRequest) {
    PlugAt(2, 1, 5, 3, true);
    CD_RECORDER_PARAMETERS parameters;
    memset(&parameters, 0xEE, sizeof(parameters));
    IoctlResult result =
        Ioctl(handle, IOCTL_RECORDER_QUERY_PARAMETERS, NULL, 0, &parameters, sizeof(parameters));
    ASSERT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(20u, result.Returned);
    EXPECT_EQ(0, parameters.PortNumber | parameters.PathId | parameters.TargetId | parameters.Lun);
    EXPECT_EQ(0x20000u, parameters.MaximumTransferLength);
    EXPECT_EQ(33u, parameters.MaximumPhysicalPages);
    EXPECT_FALSE(Logged("IOCTL_SCSI_GET_ADDRESS failed"));

    /* The application's own request passes; the driver's address query cannot be built. */
    HOST_FAULT fault = {};
    fault.Skip = 1;
    fault.Count = 1;
    HostSetFault(HostFaultIrpAllocation, &fault);
    result =
        Ioctl(handle, IOCTL_RECORDER_QUERY_PARAMETERS, NULL, 0, &parameters, sizeof(parameters));
    ASSERT_EQ(1u, HostFaultHits(HostFaultIrpAllocation));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, result.Status);
    EXPECT_EQ(0u, result.Returned);
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderQueryParameters - IOCTL_SCSI_GET_ADDRESS failed, "
                       "Status = 0xC000009A\n"))
        << DebugLog();
}

/* ---- properties ---------------------------------------------------------------------------- */

TEST_F(Queries, PropertiesNeedTheWholeBlockAndComeBackWithLengthAndBothDeviceObjects) {
    Unit *unit = PlugAt(0, 0, 0, 0);
    std::vector<UCHAR> block;
    IoctlResult result =
        Properties(DevicePropertyFriendlyName, block, 0x5A, sizeof(CD_RECORDER_PROPERTIES) - 1,
                   sizeof(CD_RECORDER_PROPERTIES) - 1);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_EQ(0u, result.Returned);
    std::string entry =
        "Burnkit[0]: CdRecorderQueryProperties - entry, DeviceObject = " + Hex32(unit->Fdo) +
        ", PDO = " + Hex32(unit->Pdo) + ", Type = 9, " + "Length = 2071\n";
    EXPECT_TRUE(Logged(entry.c_str())) << DebugLog();
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderQueryProperties - exit, Length = 2071, "
                       "Status = 0xC000000D\n"));

    /* Type is never taken from beyond a short input: the request shows 0 and is refused. */
    ClearLog();
    result = Properties(DevicePropertyFriendlyName, block, 0x5A, 6);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_EQ(0u, result.Returned);
    EXPECT_TRUE(Logged(", Type = 0, Length = 2072\n")) << DebugLog();
    EXPECT_TRUE(Logged("exit, Length = 2072, Status = 0xC000000D\n"));

    UCHAR expected[2048];
    memset(expected, 0, sizeof(expected));
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
    EXPECT_TRUE(Logged(("Burnkit[0]: CdRecorderQueryProperties - exit, Length = " +
                        std::to_string(expectedLength) + ", Status = 0x00000000\n")
                           .c_str()))
        << DebugLog();
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("BrnX"))) << "working buffer freed";
}

/*
 * On a failure the I/O manager copies nothing back to the application, so what the driver
 * leaves in the block is read from the system buffer of a request handed to it directly.
 */
struct DirectRequest {
    DirectRequest(ULONG InLength, ULONG OutLength, UCHAR Fill)
        : buffer(sizeof(CD_RECORDER_PROPERTIES), Fill) {
        irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_RECORDER_QUERY_PROPERTIES;
        stack->Parameters.DeviceIoControl.InputBufferLength = InLength;
        stack->Parameters.DeviceIoControl.OutputBufferLength = OutLength;
        irp->AssociatedIrp.SystemBuffer = buffer.data();
    }
    ~DirectRequest() { IoFreeIrp(irp); }
    CD_RECORDER_PROPERTIES *Properties() {
        return reinterpret_cast<CD_RECORDER_PROPERTIES *>(buffer.data());
    }
    std::vector<UCHAR> buffer;
    PIRP irp;
};

TEST_F(Queries, PropertyTooLongOrUnknownReturnsLengthButNoData) {
    Unit *unit = PlugAt(0, 0, 0, 0);
    std::vector<UCHAR> longValue(3000, 0x41);
    HostSetDeviceProperty(unit->Pdo, DevicePropertyLocationInformation, longValue.data(),
                          (ULONG)longValue.size());

    std::vector<UCHAR> block;
    IoctlResult result = Properties(DevicePropertyLocationInformation, block);
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, result.Status);
    EXPECT_EQ(2072u, result.Returned);
    EXPECT_TRUE(Logged("exit, Length = 3000, Status = 0xC0000023\n")) << DebugLog();

    DirectRequest tooLong(sizeof(CD_RECORDER_PROPERTIES), sizeof(CD_RECORDER_PROPERTIES), 0x5A);
    tooLong.Properties()->Type = DevicePropertyLocationInformation;
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, CdRecorderQueryProperties(unit->Fdo, tooLong.irp));
    EXPECT_EQ(STATUS_BUFFER_TOO_SMALL, tooLong.irp->IoStatus.Status);
    EXPECT_EQ(2072u, tooLong.irp->IoStatus.Information);
    CD_RECORDER_PROPERTIES *properties = tooLong.Properties();
    EXPECT_EQ(3000u, properties->Length);
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Fdo, properties->DeviceObject);
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Pdo, properties->PDO);
    EXPECT_EQ(2048u, FirstOtherThan(0x5A, properties->PropertyBuffer)) << "property data written";

    /* A type the platform rejects; the application sent only Length and Type, so the rest of
     * the property area is zeroed rather than left as pool had it. */
    DirectRequest unknown(8, sizeof(CD_RECORDER_PROPERTIES), 0xD1);
    unknown.Properties()->Type = 0x99;
    NTSTATUS status = CdRecorderQueryProperties(unit->Fdo, unknown.irp);
    EXPECT_FALSE(NT_SUCCESS(status));
    EXPECT_EQ(2072u, unknown.irp->IoStatus.Information);
    properties = unknown.Properties();
    EXPECT_EQ((uint64_t)(uintptr_t)unit->Fdo, properties->DeviceObject);
    EXPECT_EQ(2048u, FirstOtherThan(0, properties->PropertyBuffer));
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("BrnX")));
}

TEST_F(Queries, MissingOrFaultingWorkingBufferReadsNoProperty) {
    Unit *unit = PlugAt(0, 0, 0, 0);
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
