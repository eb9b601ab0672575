/*
 * pnp_manager.cpp - host stand-in of the plug-and-play manager: loads a driver, offers it
 * physical device objects, sends the plug-and-play and power requests of a device's life and
 * checks at unload that the driver left nothing behind.
 */
#include "../kernel/io_private.h"

#include <classpnp.h>
#include <standin/pnp.h>

#include <stdio.h>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
    __attribute__((weak));

namespace {

struct LoadedDriver {
    PDRIVER_INITIALIZE Entry;
    std::u16string RegistryPath;
    UNICODE_STRING RegistryString;
};

std::mutex gPnpLock;
std::map<PDRIVER_OBJECT, LoadedDriver *> gDrivers;
PDRIVER_OBJECT gLoaded = nullptr;

NTSTATUS CallEntry(PDRIVER_OBJECT Driver, LoadedDriver *Loaded) {
    Loaded->RegistryString.Buffer = const_cast<PWSTR>(Loaded->RegistryPath.c_str());
    Loaded->RegistryString.Length = (USHORT)(Loaded->RegistryPath.size() * sizeof(WCHAR));
    Loaded->RegistryString.MaximumLength =
        (USHORT)((Loaded->RegistryPath.size() + 1) * sizeof(WCHAR));
    return Loaded->Entry(Driver, &Loaded->RegistryString);
}

/* Sends one plug-and-play or power request to the top of Device's stack and waits for it. */
NTSTATUS SendRequest(PDEVICE_OBJECT Device, UCHAR Major, UCHAR Minor, DEVICE_POWER_STATE State) {
    HostThreadScope scope("pnp");
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
    if (top == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObfDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    hostio::SetIrpKind(irp, hostio::IrpKind::Application);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    next->MinorFunction = Minor;
    if (Major == IRP_MJ_POWER) {
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = State;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_PENDING;
    iosb.Information = 0;
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    NTSTATUS status = IofCallDriver(top, irp);
    if (status == STATUS_PENDING || KeReadStateEvent(&done) == 0) {
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    IoFreeIrp(irp);
    ObfDereferenceObject(top);
    return iosb.Status;
}

std::string Trimmed(const char *Text, size_t Length) {
    std::string out(Text, strnlen(Text, Length));
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

std::string Underscored(std::string Text) {
    for (char &c : Text) {
        if (c == ' ') {
            c = '_';
        }
    }
    return Text;
}

void SetMultiString(PDEVICE_OBJECT Pdo, DEVICE_REGISTRY_PROPERTY Property,
                    const std::vector<std::string> &Items) {
    std::u16string all;
    for (const std::string &item : Items) {
        all += hostio::ToUtf16(item.c_str());
        all += u'\0';
    }
    all += u'\0';
    HostSetDeviceProperty(Pdo, Property, all.data(), (ULONG)(all.size() * sizeof(WCHAR)));
}

/* The properties a storage port's enumerator gives a CD recorder, made from its descriptor. */
void DescribePdo(PDEVICE_OBJECT Pdo) {
    if (HostHasDeviceProperty(Pdo, DevicePropertyDeviceDescription)) {
        return;
    }
    union {
        STORAGE_PROPERTY_QUERY Query;
        UCHAR Bytes[512];
    } buffer;
    memset(&buffer, 0, sizeof(buffer));
    buffer.Query.PropertyId = StorageDeviceProperty;
    buffer.Query.QueryType = PropertyStandardQuery;
    IO_STATUS_BLOCK iosb;
    ClassSendDeviceIoControlSynchronous(IOCTL_STORAGE_QUERY_PROPERTY, Pdo, &buffer,
                                        sizeof(STORAGE_PROPERTY_QUERY), sizeof(buffer), FALSE,
                                        &iosb);
    if (!NT_SUCCESS(iosb.Status) || iosb.Information < sizeof(STORAGE_DEVICE_DESCRIPTOR)) {
        return;
    }
    auto *descriptor = reinterpret_cast<const STORAGE_DEVICE_DESCRIPTOR *>(buffer.Bytes);
    auto field = [&](ULONG Offset, size_t Length) {
        if (Offset == 0 || Offset >= iosb.Information) {
            return std::string(Length, ' ');
        }
        std::string text(reinterpret_cast<const char *>(buffer.Bytes) + Offset,
                         strnlen(reinterpret_cast<const char *>(buffer.Bytes) + Offset,
                                 iosb.Information - Offset));
        text.resize(Length, ' ');
        return text;
    };
    std::string vendor = field(descriptor->VendorIdOffset, 8);
    std::string product = field(descriptor->ProductIdOffset, 16);
    std::string revision = field(descriptor->ProductRevisionOffset, 4);
    bool cdrom = descriptor->DeviceType == 5;
    std::string kind = cdrom ? "CdRom" : "Other";
    HostSetDevicePropertyString(Pdo, DevicePropertyDeviceDescription,
                                cdrom ? "CD-ROM Drive" : "Storage Device");
    HostSetDevicePropertyString(Pdo, DevicePropertyManufacturer,
                                cdrom ? "(Standard CD-ROM drives)" : "(Standard devices)");
    std::string friendly = Trimmed(vendor.c_str(), vendor.size()) + " " +
                           Trimmed(product.c_str(), product.size()) + " SCSI " + kind + " Device";
    HostSetDevicePropertyString(Pdo, DevicePropertyFriendlyName, friendly.c_str());
    std::string v = Underscored(vendor), p = Underscored(product), r = Underscored(revision);
    SetMultiString(Pdo, DevicePropertyHardwareID,
                   {"SCSI\\" + kind + v + p + r, "SCSI\\" + kind + v + p, "SCSI\\" + kind + v,
                    "SCSI\\" + v + p + r.substr(0, 1), v + p + r.substr(0, 1),
                    cdrom ? "GenCdRom" : "GenOther"});
    SetMultiString(Pdo, DevicePropertyCompatibleIDs, {"SCSI\\" + kind, "SCSI\\RAW"});
    HostSetDevicePropertyString(Pdo, DevicePropertyClassName, cdrom ? "CDROM" : "Unknown");
    HostSetDevicePropertyString(Pdo, DevicePropertyClassGuid,
                                "{4d36e965-e325-11ce-bfc1-08002be10318}");
    HostSetDevicePropertyString(Pdo, DevicePropertyEnumeratorName, "SCSI");

    SCSI_ADDRESS address;
    memset(&address, 0, sizeof(address));
    ClassSendDeviceIoControlSynchronous(IOCTL_SCSI_GET_ADDRESS, Pdo, &address, 0, sizeof(address),
                                        FALSE, &iosb);
    if (NT_SUCCESS(iosb.Status)) {
        char location[80];
        snprintf(location, sizeof(location), "Bus Number %u, Target Id %u, LUN %u",
                 (unsigned)address.PathId, (unsigned)address.TargetId, (unsigned)address.Lun);
        HostSetDevicePropertyString(Pdo, DevicePropertyLocationInformation, location);
        ULONG value = ((ULONG)address.TargetId << 16) | address.Lun;
        HostSetDeviceProperty(Pdo, DevicePropertyAddress, &value, sizeof(value));
        value = address.PathId;
        HostSetDeviceProperty(Pdo, DevicePropertyBusNumber, &value, sizeof(value));
    }
}

} // namespace

PDRIVER_OBJECT HostLoadDriver(PDRIVER_INITIALIZE Entry, const char *Name, NTSTATUS *EntryStatus) {
    if (Entry == nullptr) {
        Entry = DriverEntry;
    }
    if (Entry == nullptr) {
        HostVerifierStop("HostLoadDriver: no entry routine given and no DriverEntry linked");
        return nullptr;
    }
    std::string name = Name != nullptr ? Name : "cdwriter";
    PDRIVER_OBJECT driver = HostCreateDriverObject(("\\Driver\\" + name).c_str());
    if (driver == nullptr) {
        return nullptr;
    }
    auto *loaded = new LoadedDriver();
    loaded->Entry = Entry;
    loaded->RegistryPath = hostio::ToUtf16(
        ("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + name).c_str());
    driver->DriverInit = Entry;
    {
        std::lock_guard<std::mutex> guard(gPnpLock);
        gDrivers[driver] = loaded;
        gLoaded = driver;
    }
    HostThreadScope scope("loader");
    NTSTATUS status = CallEntry(driver, loaded);
    if (EntryStatus != nullptr) {
        *EntryStatus = status;
    }
    return driver;
}

NTSTATUS HostCallDriverEntryAgain(PDRIVER_OBJECT Driver) {
    LoadedDriver *loaded = nullptr;
    {
        std::lock_guard<std::mutex> guard(gPnpLock);
        auto found = gDrivers.find(Driver);
        if (found != gDrivers.end()) {
            loaded = found->second;
        }
    }
    if (loaded == nullptr) {
        HostVerifierStop("HostCallDriverEntryAgain: %p is not a loaded driver", (void *)Driver);
        return STATUS_INVALID_PARAMETER;
    }
    HostThreadScope scope("loader");
    return CallEntry(Driver, loaded);
}

PDRIVER_OBJECT HostLoadedDriver() {
    std::lock_guard<std::mutex> guard(gPnpLock);
    return gLoaded;
}

PDEVICE_OBJECT HostPnpAddDevice(PDEVICE_OBJECT Pdo, NTSTATUS *AddStatus) {
    PDRIVER_OBJECT driver = HostLoadedDriver();
    if (AddStatus != nullptr) {
        *AddStatus = STATUS_NO_SUCH_DEVICE;
    }
    if (driver == nullptr) {
        HostVerifierStop("HostPnpAddDevice: no driver loaded");
        return nullptr;
    }
    HostThreadScope scope("pnp");
    DescribePdo(Pdo);
    if (driver->DriverExtension == nullptr || driver->DriverExtension->AddDevice == nullptr) {
        return nullptr;
    }
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, Pdo);
    if (AddStatus != nullptr) {
        *AddStatus = status;
    }
    PDEVICE_OBJECT fdo = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
        for (PDEVICE_OBJECT device = Pdo->AttachedDevice; device != nullptr;
             device = device->AttachedDevice) {
            if (device->DriverObject == driver) {
                fdo = device;
                break;
            }
        }
    }
    if (fdo != nullptr && (fdo->Flags & DO_DEVICE_INITIALIZING)) {
        HostVerifierStop("add-device routine left DO_DEVICE_INITIALIZING set on device %p",
                         (void *)fdo);
    }
    return fdo;
}

NTSTATUS HostPnpSend(PDEVICE_OBJECT Fdo, UCHAR MinorFunction) {
    return SendRequest(Fdo, IRP_MJ_PNP, MinorFunction, PowerDeviceUnspecified);
}

NTSTATUS HostPnpStart(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_START_DEVICE);
}

NTSTATUS HostPnpQueryRemove(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_QUERY_REMOVE_DEVICE);
}

NTSTATUS HostPnpCancelRemove(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_CANCEL_REMOVE_DEVICE);
}

NTSTATUS HostPnpRemove(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS HostPnpSurpriseRemove(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_SURPRISE_REMOVAL);
}

NTSTATUS HostPnpQueryStop(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_QUERY_STOP_DEVICE);
}

NTSTATUS HostPnpStop(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_STOP_DEVICE);
}

NTSTATUS HostPnpCancelStop(PDEVICE_OBJECT Fdo) {
    return HostPnpSend(Fdo, IRP_MN_CANCEL_STOP_DEVICE);
}

NTSTATUS HostPnpPower(PDEVICE_OBJECT Fdo, UCHAR MinorFunction, DEVICE_POWER_STATE State) {
    return SendRequest(Fdo, IRP_MJ_POWER, MinorFunction, State);
}

bool HostUnloadDriver(PDRIVER_OBJECT Driver, std::string *Report) {
    if (Driver == nullptr) {
        return false;
    }
    {
        HostThreadScope scope("loader");
        if (Driver->DriverUnload != nullptr) {
            Driver->DriverUnload(Driver);
        }
    }
    std::string report;
    char line[256];
    int devices = 0;
    {
        std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
        for (PDEVICE_OBJECT device = Driver->DeviceObject; device != nullptr;
             device = device->NextDevice) {
            snprintf(line, sizeof(line), "device object %p (%s) of the driver not deleted\n",
                     (void *)device, HostDeviceName(device));
            report += line;
            devices++;
        }
    }
    auto count = [&](long value, const char *what) {
        if (value != 0) {
            snprintf(line, sizeof(line), "%ld %s\n", value, what);
            report += line;
        }
    };
    count(HostDeviceInterfaceCount(nullptr, TRUE), "device interface(s) still enabled");
    count(HostOutstandingIrpCount(), "IRP(s) outstanding");
    count(HostOutstandingMdlCount(), "MDL(s) not freed");
    count(HostOpenDeviceHandleCount(), "application handle(s) open");
    count(HostOpenFileCount(), "file(s) open");
    count(HostLiveTokenCount(), "token object(s) not dereferenced");
    count(HostErrorLogPendingEntries(), "error-log entry(ies) allocated and not written");
    std::string kernel;
    if (!HostKernelShutdownCheck(&kernel)) {
        report += kernel;
        if (!report.empty() && report.back() != '\n') {
            report += "\n";
        }
    }
    LoadedDriver *loaded = nullptr;
    {
        std::lock_guard<std::mutex> guard(gPnpLock);
        auto found = gDrivers.find(Driver);
        if (found != gDrivers.end()) {
            loaded = found->second;
            gDrivers.erase(found);
        }
        if (gLoaded == Driver) {
            gLoaded = nullptr;
        }
    }
    delete loaded;
    if (devices == 0) {
        HostDeleteDriverObject(Driver);
    }
    if (!report.empty()) {
        fprintf(stderr, "driver unload check:\n%s", report.c_str());
    }
    if (Report != nullptr) {
        *Report = report;
    }
    return report.empty();
}
