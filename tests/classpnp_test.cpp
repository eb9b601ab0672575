/*
 * classpnp_test.cpp - the class-library and plug-and-play stand-ins, driven by a tiny class
 * driver of the test's own above a port whose answers the test controls.
 */
#include <gtest/gtest.h>

#include <ntddk.h>
extern "C" {
#include <classpnp.h>
}
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/port.h>

#include "driver_harness.h"
#include "test_support.h"

#include <string>
#include <vector>

namespace {

/* ---- A port whose answers the test sets ---- */

struct TestPort {
    bool AddressNotSupported = false;
    ULONG ReleaseQueueCount = 0;
    ULONG ExecuteCount = 0;
};

void PortExecute(void *Context, SCSI_REQUEST_BLOCK *Srb) {
    auto *port = static_cast<TestPort *>(Context);
    if (Srb->Function == SRB_FUNCTION_RELEASE_QUEUE) {
        port->ReleaseQueueCount++;
    } else {
        port->ExecuteCount++;
    }
    Srb->SrbStatus = SRB_STATUS_SUCCESS;
}

NTSTATUS PortAddress(void *Context, SCSI_ADDRESS *Address) {
    auto *port = static_cast<TestPort *>(Context);
    if (port->AddressNotSupported) {
        return STATUS_NOT_SUPPORTED;
    }
    Address->Length = sizeof(SCSI_ADDRESS);
    Address->PortNumber = 2;
    Address->PathId = 0;
    Address->TargetId = 3;
    Address->Lun = 0;
    return STATUS_SUCCESS;
}

void PortDescribe(void *Context, HOST_PORT_IDENTITY *Identity) {
    UNREFERENCED_PARAMETER(Context);
    memcpy(Identity->Vendor, "TESTVEND", 8);
    memcpy(Identity->Product, "TEST RECORDER   ", 16);
    memcpy(Identity->Revision, "1.0 ", 4);
    Identity->MaximumTransferLength = 65536;
    Identity->MaximumPhysicalPages = 17;
    Identity->DeviceType = 5;
    Identity->RemovableMedia = TRUE;
    Identity->BusType = BusTypeScsi;
}

/* ---- A tiny class driver ---- */

const GUID kTestClassInterface = {0x0badc0de, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
constexpr ULONG kDriverDataSize = 64;
constexpr ULONG kPrivateCode = CTL_CODE(0xCD, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct TestDriverState {
    ULONG Devices = 0;
    ULONG InitCalls = 0;
    ULONG StartCalls = 0;
    ULONG Unloads = 0;
    NTSTATUS InitAnswer = STATUS_SUCCESS;
    NTSTATUS RemoveAnswer = STATUS_SUCCESS;
    std::vector<UCHAR> RemoveTypes;
    std::vector<UCHAR> StopTypes;
    LONG LockDuringCreate = -1;
    LONG LockDuringControl = -1;
    bool LeakLockOnCreate = false;
    UNICODE_STRING Interface{};
};

TestDriverState gDriver;

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(Pdo);
    NTSTATUS status = ClassClaimDevice(lower, FALSE);
    if (!NT_SUCCESS(status)) {
        ObDereferenceObject(lower);
        return status;
    }
    char name[64];
    snprintf(name, sizeof(name), "\\Device\\TestClass%lu", (unsigned long)gDriver.Devices);
    PDEVICE_OBJECT fdo = nullptr;
    status = ClassCreateDeviceObject(DriverObject, name, Pdo, TRUE, &fdo);
    if (!NT_SUCCESS(status)) {
        (void)ClassClaimDevice(lower, TRUE);
        ObDereferenceObject(lower);
        return status;
    }
    auto fde = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
    fde->CommonExtension.LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, Pdo);
    fde->LowerPdo = Pdo;
    fde->DeviceNumber = gDriver.Devices++;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ObDereferenceObject(lower);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE) {
        gDriver.LockDuringCreate = HostClassRemoveLockCount(DeviceObject);
        if (gDriver.LeakLockOnCreate) {
            Irp->IoStatus.Status = STATUS_SUCCESS;
            ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    ClassReleaseRemoveLock(DeviceObject, Irp);
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    gDriver.LockDuringControl = HostClassRemoveLockCount(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode == kPrivateCode) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = 0;
        ClassReleaseRemoveLock(DeviceObject, Irp);
        ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    return ClassDeviceControl(DeviceObject, Irp);
}

NTSTATUS NTAPI TestInitDevice(PDEVICE_OBJECT DeviceObject) {
    gDriver.InitCalls++;
    if (!NT_SUCCESS(gDriver.InitAnswer)) {
        return gDriver.InitAnswer;
    }
    auto fde = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    if (NT_SUCCESS(IoRegisterDeviceInterface(fde->LowerPdo, &kTestClassInterface, nullptr,
                                             &gDriver.Interface))) {
        (void)IoSetDeviceInterfaceState(&gDriver.Interface, TRUE);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestStartDevice(PDEVICE_OBJECT DeviceObject) {
    UNREFERENCED_PARAMETER(DeviceObject);
    gDriver.StartCalls++;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestStopDevice(PDEVICE_OBJECT DeviceObject, UCHAR Type) {
    UNREFERENCED_PARAMETER(DeviceObject);
    gDriver.StopTypes.push_back(Type);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestRemoveDevice(PDEVICE_OBJECT DeviceObject, UCHAR Type) {
    UNREFERENCED_PARAMETER(DeviceObject);
    gDriver.RemoveTypes.push_back(Type);
    if (Type == IRP_MN_REMOVE_DEVICE && gDriver.Interface.Buffer != nullptr) {
        (void)IoSetDeviceInterfaceState(&gDriver.Interface, FALSE);
        RtlFreeUnicodeString(&gDriver.Interface);
        gDriver.Interface.Buffer = nullptr;
    }
    return Type == IRP_MN_QUERY_REMOVE_DEVICE ? gDriver.RemoveAnswer : STATUS_SUCCESS;
}

VOID NTAPI TestStartIo(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    ClassReleaseRemoveLock(DeviceObject, Irp);
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
}

VOID NTAPI TestUnload(PDRIVER_OBJECT DriverObject) {
    UNREFERENCED_PARAMETER(DriverObject);
    gDriver.Unloads++;
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    CLASS_INIT_DATA init;
    memset(&init, 0, sizeof(init));
    init.InitializationDataSize = sizeof(CLASS_INIT_DATA);
    init.FdoData.DeviceExtensionSize = sizeof(FUNCTIONAL_DEVICE_EXTENSION) + kDriverDataSize;
    init.FdoData.DeviceType = FILE_DEVICE_UNKNOWN;
    init.FdoData.ClassDeviceControl = TestDeviceControl;
    init.FdoData.ClassCreateClose = TestCreateClose;
    init.FdoData.ClassInitDevice = TestInitDevice;
    init.FdoData.ClassStartDevice = TestStartDevice;
    init.FdoData.ClassPowerDevice = ClassStopUnitPowerHandler;
    init.FdoData.ClassStopDevice = TestStopDevice;
    init.FdoData.ClassRemoveDevice = TestRemoveDevice;
    init.ClassAddDevice = TestAddDevice;
    init.ClassStartIo = TestStartIo;
    init.ClassUnload = TestUnload;
    return (NTSTATUS)ClassInitialize(DriverObject, RegistryPath, &init);
}

class ClassLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        VerifierReports().clear();
        gDriver = TestDriverState();
        HostVerifierSetFailureHandler(CollectVerifierReport);
        HostClockUseVirtual();
        scope = std::make_unique<HostThreadScope>("test");
        HostClearAllFaults();
        HOST_PORT_OPS ops{&port, PortExecute, PortAddress, PortDescribe};
        pdo = HostCreatePortDevice(&ops);
        ASSERT_NE(pdo, nullptr);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver = HostLoadDriver(TestDriverEntry, "testclass", &status);
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override {
        if (fdo != nullptr) {
            (void)HostPnpRemove(fdo);
            fdo = nullptr;
        }
        if (driver != nullptr) {
            std::string report;
            bool clean = HostUnloadDriver(driver, &report);
            EXPECT_TRUE(clean || !expectClean) << report;
        }
        HostDeletePortDevice(pdo);
        HostClearAllFaults();
        HostVerifierSetFailureHandler(nullptr);
        scope.reset();
    }

    PFUNCTIONAL_DEVICE_EXTENSION Fde() {
        return static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
    }

    TestPort port;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    bool expectClean = true;
    std::unique_ptr<HostThreadScope> scope;
};

/* ---- Registration and device creation ---- */

TEST_F(ClassLibraryTest, InitializeInstallsTheLibraryAndRefusesASecondOrMalformedBlock) {
    EXPECT_NE(driver->MajorFunction[IRP_MJ_CREATE], nullptr);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], nullptr);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_PNP], nullptr);
    EXPECT_NE(driver->MajorFunction[IRP_MJ_POWER], nullptr);
    EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
    EXPECT_EQ(driver->DriverStartIo, TestStartIo);
    PCLASS_DRIVER_EXTENSION ext = HostClassDriverExtension(driver);
    ASSERT_NE(ext, nullptr);
    EXPECT_EQ(ext->InitData.FdoData.ClassInitDevice, TestInitDevice);
    EXPECT_EQ(HostCallDriverEntryAgain(driver), STATUS_OBJECT_NAME_COLLISION);

    PDRIVER_OBJECT other = HostCreateDriverObject("\\Driver\\Other");
    CLASS_INIT_DATA init;
    memset(&init, 0, sizeof(init));
    init.InitializationDataSize = sizeof(CLASS_INIT_DATA) - 4;
    EXPECT_EQ(ClassInitialize(other, nullptr, &init), 0xC0000059u);
    HostDeleteDriverObject(other);
}

TEST_F(ClassLibraryTest, AddDeviceGetsAZeroedExtensionWithDriverDataAfterIt) {
    fdo = HostPnpAddDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    PFUNCTIONAL_DEVICE_EXTENSION fde = Fde();
    EXPECT_EQ(fde->CommonExtension.DeviceObject, fdo);
    EXPECT_EQ(fde->CommonExtension.LowerDeviceObject, pdo);
    EXPECT_EQ(fde->CommonExtension.DriverData, (PVOID)(fde + 1));
    auto *data = static_cast<UCHAR *>(fde->CommonExtension.DriverData);
    for (ULONG i = 0; i < kDriverDataSize; i++) {
        ASSERT_EQ(data[i], 0) << "driver data byte " << i;
    }
    EXPECT_EQ(fde->AdapterDescriptor, nullptr);
    EXPECT_STREQ(HostDeviceName(fdo), "\\Device\\TestClass0");
    EXPECT_EQ(fdo->StackSize, pdo->StackSize + 1);
    EXPECT_EQ(IoGetAttachedDevice(pdo), fdo);
    /* The port's device is claimed. */
    EXPECT_EQ(ClassClaimDevice(pdo, FALSE), STATUS_DEVICE_BUSY);
    /* The plug-and-play manager described the port's device. */
    WCHAR text[128];
    ULONG length = 0;
    ASSERT_EQ(IoGetDeviceProperty(pdo, DevicePropertyFriendlyName, sizeof(text), text, &length),
              STATUS_SUCCESS);
    std::string friendly;
    for (ULONG i = 0; i + 1 < length / sizeof(WCHAR); i++) {
        friendly += (char)text[i];
    }
    EXPECT_EQ(friendly, "TESTVEND TEST RECORDER SCSI CdRom Device");
    ASSERT_EQ(
        IoGetDeviceProperty(pdo, DevicePropertyLocationInformation, sizeof(text), text, &length),
        STATUS_SUCCESS);
}

TEST_F(ClassLibraryTest, FailedClaimsAndCreationsLeaveNoDevice) {
    HOST_FAULT fault{0, 1, 0, STATUS_DEVICE_BUSY};
    HostSetFault(HostFaultClaimDevice, &fault);
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(HostPnpAddDevice(pdo, &status), nullptr);
    EXPECT_EQ(status, STATUS_DEVICE_BUSY);

    fault.Status = STATUS_INSUFFICIENT_RESOURCES;
    HostSetFault(HostFaultCreateDeviceObject, &fault);
    EXPECT_EQ(HostPnpAddDevice(pdo, &status), nullptr);
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(HostDriverDeviceCount(driver), 0);

    /* The claim was given back: the next attempt succeeds with the same name. */
    fdo = HostPnpAddDevice(pdo, &status);
    ASSERT_NE(fdo, nullptr);
    EXPECT_STREQ(HostDeviceName(fdo), "\\Device\\TestClass0");
}

/* ---- Start and requests ---- */

TEST_F(ClassLibraryTest, StartInitializesOnceAndFillsTheAdapterDescriptor) {
    fdo = HostPnpAddDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    gDriver.InitAnswer = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(HostPnpStart(fdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(gDriver.StartCalls, 0u);
    gDriver.InitAnswer = STATUS_SUCCESS;
    EXPECT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpStop(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    EXPECT_EQ(gDriver.InitCalls, 2u); /* the failed one and the first successful one */
    EXPECT_EQ(gDriver.StartCalls, 2u);
    ASSERT_NE(Fde()->AdapterDescriptor, nullptr);
    EXPECT_EQ(Fde()->AdapterDescriptor->MaximumTransferLength, 65536u);
    EXPECT_EQ(Fde()->AdapterDescriptor->MaximumPhysicalPages, 17u);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0);
}

TEST_F(ClassLibraryTest, CreateCloseAndControlRunUnderTheRemoveLock) {
    fdo = HostPnpAddDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    HANDLE handle = nullptr;
    ASSERT_EQ(HostOpenDevice(&kTestClassInterface, 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(gDriver.LockDuringCreate, 1);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0);

    ULONG returned = 0;
    EXPECT_EQ(HostDeviceIoControl(handle, kPrivateCode, nullptr, 0, nullptr, 0, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(gDriver.LockDuringControl, 1);
    /* Codes the driver does not handle go through the library's default to the port. */
    SCSI_ADDRESS address;
    memset(&address, 0, sizeof(address));
    EXPECT_EQ(HostDeviceIoControl(handle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                  sizeof(address), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(SCSI_ADDRESS));
    EXPECT_EQ(address.PortNumber, 2);
    EXPECT_EQ(address.TargetId, 3);
    EXPECT_EQ(HostDeviceIoControl(handle, CTL_CODE(0xCD, 0x879, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                  nullptr, 0, nullptr, 0, &returned),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0);
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0);
}

TEST_F(ClassLibraryTest, SynchronousControlRequestsQueueReleaseAndDescriptors) {
    fdo = HostPnpAddDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    SCSI_ADDRESS address;
    IO_STATUS_BLOCK iosb;
    ClassSendDeviceIoControlSynchronous(IOCTL_SCSI_GET_ADDRESS, fdo, &address, 0, sizeof(address),
                                        FALSE, &iosb);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(SCSI_ADDRESS));
    EXPECT_EQ(address.TargetId, 3);
    port.AddressNotSupported = true;
    ClassSendDeviceIoControlSynchronous(IOCTL_SCSI_GET_ADDRESS, fdo, &address, 0, sizeof(address),
                                        FALSE, &iosb);
    EXPECT_EQ(iosb.Status, STATUS_NOT_SUPPORTED);

    ClassReleaseQueue(fdo);
    EXPECT_EQ(port.ReleaseQueueCount, 1u);

    STORAGE_PROPERTY_ID property = StorageDeviceProperty;
    PSTORAGE_DESCRIPTOR_HEADER header = nullptr;
    ASSERT_EQ(ClassGetDescriptor(pdo, &property, &header), STATUS_SUCCESS);
    auto *device = reinterpret_cast<PSTORAGE_DEVICE_DESCRIPTOR>(header);
    ASSERT_NE(device->VendorIdOffset, 0u);
    EXPECT_EQ(memcmp((char *)device + device->VendorIdOffset, "TESTVEND", 8), 0);
    ExFreePool(header);
    header = nullptr;
    HOST_FAULT fault{0, 1, 0, STATUS_IO_DEVICE_ERROR};
    HostSetFault(HostFaultGetDescriptor, &fault);
    EXPECT_EQ(ClassGetDescriptor(pdo, &property, &header), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(header, nullptr);
    EXPECT_EQ(HostOutstandingIrpCount(), 0);
}

TEST_F(ClassLibraryTest, PowerRequestsEndInTheStopUnitHandler) {
    fdo = HostPnpAddDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpPower(fdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpPower(fdo, IRP_MN_QUERY_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0);
}

/* ---- Removal ---- */

TEST_F(ClassLibraryTest, PlugAndPlaySequenceReachesTheCallbacksAndRemovalCleansUp) {
    fdo = HostPnpAddDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    gDriver.RemoveAnswer = STATUS_DEVICE_BUSY;
    EXPECT_EQ(HostPnpQueryRemove(fdo), STATUS_DEVICE_BUSY);
    EXPECT_EQ(HostPnpCancelRemove(fdo), STATUS_SUCCESS);
    gDriver.RemoveAnswer = STATUS_SUCCESS;
    EXPECT_EQ(HostPnpQueryRemove(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpQueryStop(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpCancelStop(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpSurpriseRemove(fdo), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpRemove(fdo), STATUS_SUCCESS);
    fdo = nullptr;
    std::vector<UCHAR> removeTypes = {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                      IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
                                      IRP_MN_REMOVE_DEVICE};
    EXPECT_EQ(gDriver.RemoveTypes, removeTypes);
    std::vector<UCHAR> stopTypes = {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE};
    EXPECT_EQ(gDriver.StopTypes, stopTypes);
    EXPECT_EQ(HostDriverDeviceCount(driver), 0);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(HostPoolCountInUse(HostPoolTag("ScsD")), 0u);  /* descriptors freed */
    EXPECT_EQ(ClassClaimDevice(pdo, FALSE), STATUS_SUCCESS); /* claim given back */
    EXPECT_EQ(ClassClaimDevice(pdo, TRUE), STATUS_SUCCESS);

    std::string report;
    EXPECT_TRUE(HostUnloadDriver(driver, &report)) << report;
    driver = nullptr;
    EXPECT_EQ(gDriver.Unloads, 1u);
    EXPECT_TRUE(VerifierReports().empty());
}

TEST_F(ClassLibraryTest, RemoveLockMisuseIsReported) {
    fdo = HostPnpAddDevice(pdo);
    ASSERT_NE(fdo, nullptr);
    ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    int tag;
    ClassReleaseRemoveLock(fdo, reinterpret_cast<PIRP>(&tag));
    EXPECT_TRUE(VerifierReported("without an acquisition"));
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0);

    /* A create that never gives its lock back holds up the removal until the verifier calls
     * it unbalanced. */
    VerifierReports().clear();
    gDriver.LeakLockOnCreate = true;
    HANDLE handle = nullptr;
    ASSERT_EQ(HostOpenDevice(&kTestClassInterface, 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 1);
    gDriver.LeakLockOnCreate = false;
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
    EXPECT_EQ(HostPnpRemove(fdo), STATUS_SUCCESS);
    fdo = nullptr;
    EXPECT_TRUE(VerifierReported("unbalanced at removal"));
}

} // namespace
