/*
 * classpnp_test.cpp - the class-library stand-in's contracts the driver relies on (its device
 * extension, the remove lock around dispatch, the default control handling) and the verifier's
 * remove-lock checks, driven by a tiny class driver of the test's own above a simulated
 * recorder's port. Start, stop and removal sequences are attacked through the driver's own
 * lifecycle tests.
 */
#include <gtest/gtest.h>

#include <ntddk.h>
#include <classpnp.h>
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/simrecorder.h>

#include "test_support.h"

#include <string>

namespace {

/* ---- A tiny class driver ---- */

const GUID kTestClassInterface = {0x0badc0de, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
constexpr ULONG kDriverDataSize = 64;

/* The remove lock count the dispatch routines saw; whether a create keeps its lock. */
LONG gLockDuringCreate, gLockDuringControl;
bool gLeakLockOnCreate;

NTSTATUS NTAPI TestAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
    char name[] = "\\Device\\TestClass0";
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = ClassClaimDevice(Pdo, FALSE);
    if (NT_SUCCESS(status)) {
        status = ClassCreateDeviceObject(DriverObject, name, Pdo, TRUE, &fdo);
    }
    if (NT_SUCCESS(status)) {
        auto fde = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
        fde->CommonExtension.LowerDeviceObject = IoAttachDeviceToDeviceStack(fdo, Pdo);
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    return status;
}

NTSTATUS NTAPI TestCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const bool create = IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CREATE;
    if (create) {
        gLockDuringCreate = HostClassRemoveLockCount(DeviceObject);
    }
    if (!create || !gLeakLockOnCreate) {
        ClassReleaseRemoveLock(DeviceObject, Irp);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    ClassCompleteRequest(DeviceObject, Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    CLASS_INIT_DATA init{};
    init.InitializationDataSize = sizeof(CLASS_INIT_DATA);
    init.FdoData.DeviceExtensionSize = sizeof(FUNCTIONAL_DEVICE_EXTENSION) + kDriverDataSize;
    init.FdoData.DeviceType = FILE_DEVICE_UNKNOWN;
    init.FdoData.ClassDeviceControl = [](PDEVICE_OBJECT DeviceObject, PIRP Irp) {
        gLockDuringControl = HostClassRemoveLockCount(DeviceObject);
        return ClassDeviceControl(DeviceObject, Irp);
    };
    init.FdoData.ClassCreateClose = TestCreateClose;
    init.FdoData.ClassStartDevice = [](PDEVICE_OBJECT) { return STATUS_SUCCESS; };
    init.ClassAddDevice = TestAddDevice;
    return (NTSTATUS)ClassInitialize(DriverObject, RegistryPath, &init);
}

class ClassLibraryTest : public ::testing::Test {
protected:
    void SetUp() override {
        VerifierReports().clear();
        gLockDuringCreate = gLockDuringControl = -1;
        gLeakLockOnCreate = false;
        HostVerifierSetFailureHandler(CollectVerifierReport);
        HostClockUseVirtual();
        SIM_RECORDER_CONFIG config;
        HostSimDefaultConfig(&config);
        config.PortNumber = 2;
        config.TargetId = 3;
        sim = HostCreateSimulatedRecorder(&config);
        ASSERT_NE(sim, nullptr);
        pdo = sim->Pdo;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        driver = HostLoadDriver(TestDriverEntry, "testclass", &status);
        ASSERT_NE(driver, nullptr);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    void TearDown() override {
        (void)IoSetDeviceInterfaceState(&link, FALSE);
        RtlFreeUnicodeString(&link);
        if (fdo != nullptr) {
            (void)HostPnpRemove(fdo);
        }
        if (driver != nullptr) {
            std::string report;
            EXPECT_TRUE(HostUnloadDriver(driver, &report)) << report;
        }
        HostDestroySimulatedRecorder(sim);
        HostVerifierSetFailureHandler(nullptr);
    }

    /* Adds and starts the device and opens it, as an application does. */
    void Open(HANDLE *Handle) {
        fdo = HostPnpAddDevice(pdo);
        ASSERT_NE(fdo, nullptr);
        ASSERT_EQ(HostPnpStart(fdo), STATUS_SUCCESS);
        ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kTestClassInterface, nullptr, &link),
                  STATUS_SUCCESS);
        ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
        ASSERT_EQ(HostOpenDevice(&kTestClassInterface, 0, Handle), STATUS_SUCCESS);
    }

    PSIM_RECORDER sim = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDRIVER_OBJECT driver = nullptr;
    UNICODE_STRING link{};
    HostThreadScope scope{"test"};
};

/* The class library gives the driver a zeroed extension with its own data right after the
 * library's part, attaches the device above the port's, claims the port's device and fills in
 * the port's adapter descriptor at the start; create, close and control requests run under the
 * remove lock, and codes the driver does not handle go through the library's default to the
 * port. */
TEST_F(ClassLibraryTest, ClassDeviceSitsOnThePortAndRunsRequestsUnderTheRemoveLock) {
    HANDLE handle = nullptr;
    Open(&handle);
    auto fde = static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo->DeviceExtension);
    EXPECT_EQ(fde->CommonExtension.DeviceObject, fdo);
    EXPECT_EQ(fde->CommonExtension.LowerDeviceObject, pdo);
    EXPECT_EQ(fde->CommonExtension.DriverData, (PVOID)(fde + 1));
    const UCHAR zeros[kDriverDataSize] = {};
    EXPECT_EQ(memcmp(fde->CommonExtension.DriverData, zeros, kDriverDataSize), 0);
    EXPECT_EQ(fdo->StackSize, pdo->StackSize + 1);
    EXPECT_EQ(IoGetAttachedDevice(pdo), fdo);
    EXPECT_EQ(ClassClaimDevice(pdo, FALSE), STATUS_DEVICE_BUSY);
    ASSERT_NE(fde->AdapterDescriptor, nullptr);
    EXPECT_EQ(fde->AdapterDescriptor->MaximumTransferLength, 65536u);
    EXPECT_EQ(fde->AdapterDescriptor->MaximumPhysicalPages, 17u);

    EXPECT_EQ(gLockDuringCreate, 1);
    ULONG returned = 0;
    SCSI_ADDRESS address{};
    EXPECT_EQ(HostDeviceIoControl(handle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &address,
                                  sizeof(address), &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(gLockDuringControl, 1);
    EXPECT_EQ(returned, sizeof(SCSI_ADDRESS));
    EXPECT_EQ(address.PortNumber, 2);
    EXPECT_EQ(address.TargetId, 3);
    EXPECT_EQ(HostDeviceIoControl(handle, CTL_CODE(0xCD, 0x879, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                  nullptr, 0, nullptr, 0, &returned),
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 0) << "every request gave its lock back";
    EXPECT_TRUE(VerifierReports().empty());
}

TEST_F(ClassLibraryTest, RemoveLockMisuseIsReported) {
    /* A create that never gives its lock back holds up the removal until the verifier calls
     * it unbalanced. */
    gLeakLockOnCreate = true;
    HANDLE handle = nullptr;
    Open(&handle);
    gLeakLockOnCreate = false;
    EXPECT_EQ(HostCloseDevice(handle), STATUS_SUCCESS);

    /* A release of a tag never acquired is reported and gives nothing back. */
    int tag;
    ClassReleaseRemoveLock(fdo, reinterpret_cast<PIRP>(&tag));
    EXPECT_TRUE(VerifierReported("without an acquisition"));
    EXPECT_EQ(HostClassRemoveLockCount(fdo), 1);

    EXPECT_EQ(HostPnpRemove(fdo), STATUS_SUCCESS);
    fdo = nullptr;
    EXPECT_TRUE(VerifierReported("unbalanced at removal"));
}

} // namespace
