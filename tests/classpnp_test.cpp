/*
 * classpnp_test.cpp - the class-library stand-in's contracts the driver relies on (its device
 * extension, the remove lock around dispatch, the default control handling) and the verifier's
 * remove-lock checks, driven by a tiny class driver of the test's own above a port. Start,
 * stop and removal sequences are attacked through the driver's own lifecycle tests.
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

#include "test_support.h"

#include <string>
#include <vector>

namespace {

/* ---- A port whose answers the test sets ---- */

void PortExecute(void *Context, SCSI_REQUEST_BLOCK *Srb) {
    UNREFERENCED_PARAMETER(Context);
    Srb->SrbStatus = SRB_STATUS_SUCCESS;
}

NTSTATUS PortAddress(void *Context, SCSI_ADDRESS *Address) {
    UNREFERENCED_PARAMETER(Context);
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

struct TestDriverState {
    LONG LockDuringCreate = -1;
    LONG LockDuringControl = -1;
    bool LeakLockOnCreate = false;
    UNICODE_STRING Interface{};
};

TestDriverState gDriver;

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    NTSTATUS status = ClassClaimDevice(Pdo, FALSE);
    PDEVICE_OBJECT fdo = nullptr;
    char name[] = "\\Device\\TestClass0";
    if (NT_SUCCESS(status)) {
        status = ClassCreateDeviceObject(DriverObject, name, Pdo, TRUE, &fdo);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto fde = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
    fde->CommonExtension.LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, Pdo);
    fde->LowerPdo = Pdo;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const bool create = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE;
    if (create) {
        gDriver.LockDuringCreate = HostClassRemoveLockCount(DeviceObject);
    }
    if (!create || !gDriver.LeakLockOnCreate) {
        ClassReleaseRemoveLock(DeviceObject, Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    gDriver.LockDuringControl = HostClassRemoveLockCount(DeviceObject);
    return ClassDeviceControl(DeviceObject, Irp);
}

NTSTATUS NTAPI TestInitDevice(PDEVICE_OBJECT DeviceObject) {
    auto fde = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    if (NT_SUCCESS(IoRegisterDeviceInterface(fde->LowerPdo, &kTestClassInterface, nullptr,
                                             &gDriver.Interface))) {
        (void)IoSetDeviceInterfaceState(&gDriver.Interface, TRUE);
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestStartDevice(PDEVICE_OBJECT DeviceObject) {
    UNREFERENCED_PARAMETER(DeviceObject);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestRemoveDevice(PDEVICE_OBJECT DeviceObject, UCHAR Type) {
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Type == IRP_MN_REMOVE_DEVICE && gDriver.Interface.Buffer != nullptr) {
        (void)IoSetDeviceInterfaceState(&gDriver.Interface, FALSE);
        RtlFreeUnicodeString(&gDriver.Interface);
    }
    return STATUS_SUCCESS;
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
    init.FdoData.ClassRemoveDevice = TestRemoveDevice;
    init.ClassAddDevice = TestAddDevice;
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
        HOST_PORT_OPS ops{nullptr, PortExecute, PortAddress, PortDescribe};
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
            EXPECT_TRUE(HostUnloadDriver(driver, &report)) << report;
        }
        HostDeletePortDevice(pdo);
        HostClearAllFaults();
        HostVerifierSetFailureHandler(nullptr);
        scope.reset();
    }

    void AddAndStart() {
        fdo = HostPnpAddDevice(pdo);
        ASSERT_NE(fdo, nullptr);
        ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    }

    PFUNCTIONAL_DEVICE_EXTENSION Fde() {
        return static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
    }

    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    std::unique_ptr<HostThreadScope> scope;
};

/* ---- Device creation ---- */

/* The class library gives the driver a zeroed extension with its own data right after the
 * library's part, attaches the device above the port's and claims the port's device; the
 * start fills in the port's adapter descriptor. */
TEST_F(ClassLibraryTest, AddDeviceGetsAZeroedExtensionAndStartTheAdapterDescriptor) {
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
    EXPECT_EQ(fdo->StackSize, pdo->StackSize + 1);
    EXPECT_EQ(IoGetAttachedDevice(pdo), fdo);
    EXPECT_EQ(ClassClaimDevice(pdo, FALSE), STATUS_DEVICE_BUSY);
    ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
    ASSERT_NE(fde->AdapterDescriptor, nullptr);
    EXPECT_EQ(fde->AdapterDescriptor->MaximumTransferLength, 65536u);
    EXPECT_EQ(fde->AdapterDescriptor->MaximumPhysicalPages, 17u);
}

/* ---- Requests ---- */

TEST_F(ClassLibraryTest, CreateCloseAndControlRunUnderTheRemoveLock) {
    AddAndStart();
    HANDLE handle = nullptr;
    ASSERT_EQ(HostOpenDevice(&kTestClassInterface, 0, &handle), STATUS_SUCCESS);
    EXPECT_EQ(gDriver.LockDuringCreate, 1);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0);

    /* Codes the driver does not handle go through the library's default to the port. */
    ULONG returned = 0;
    SCSI_ADDRESS address;
    memset(&address, 0, sizeof(address));
    EXPECT_EQ(HostDeviceIoControl(handle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                  sizeof(address), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(gDriver.LockDuringControl, 1);
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

/* ---- Removal ---- */

TEST_F(ClassLibraryTest, RemoveLockMisuseIsReported) {
    AddAndStart();
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
