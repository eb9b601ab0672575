/*
 * io_device.cpp - device and driver objects of the host stand-in: creation and deletion,
 * device stacks (attach, detach, attached-device references), driver object extensions,
 * device interfaces by class and device properties of physical device objects.
 */
#include "io_private.h"

#include <set>
#include <strings.h>
#include <stdlib.h>

#ifndef STATUS_INVALID_PARAMETER_5
#define STATUS_INVALID_PARAMETER_5 ((NTSTATUS)0xC00000F3)
#endif

namespace {

struct InterfaceEntry {
    GUID Class;
    PDEVICE_OBJECT Pdo; /* NULL once the device object is gone */
    std::string Reference;
    std::string Link;
    bool Enabled;
};

struct DriverExtensionEntry {
    PDRIVER_OBJECT Driver;
    PVOID Id;
    PVOID Block;
};

std::set<PDEVICE_OBJECT> gDevices;               /* device objects not yet freed */
std::vector<InterfaceEntry> gInterfaces;         /* registered interfaces */
std::vector<DriverExtensionEntry> gDriverBlocks; /* IoAllocateDriverObjectExtension */
uint64_t gNextSerial = 1;

std::string GuidText(const GUID *Guid) {
    char text[64];
    snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
             (unsigned)Guid->Data1, Guid->Data2, Guid->Data3, Guid->Data4[0], Guid->Data4[1],
             Guid->Data4[2], Guid->Data4[3], Guid->Data4[4], Guid->Data4[5], Guid->Data4[6],
             Guid->Data4[7]);
    return text;
}

std::string Utf8Of(PCUNICODE_STRING String) {
    if (String == nullptr || String->Buffer == nullptr) {
        return std::string();
    }
    return hostio::ToUtf8(String->Buffer, String->Length / sizeof(WCHAR));
}

/* Fills a counted string from pool; the caller frees it with RtlFreeUnicodeString. */
bool MakePoolString(PUNICODE_STRING String, const std::string &Text) {
    std::u16string wide = hostio::ToUtf16(Text.c_str());
    size_t bytes = (wide.size() + 1) * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, HostPoolTag("IoSl")));
    if (buffer == nullptr) {
        return false;
    }
    memcpy(buffer, wide.c_str(), bytes);
    String->Buffer = buffer;
    String->Length = (USHORT)(wide.size() * sizeof(WCHAR));
    String->MaximumLength = (USHORT)bytes;
    return true;
}

void DestroyDevice(void *Object) {
    auto device = static_cast<PDEVICE_OBJECT>(Object);
    hostio::DeviceRecord *record = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
        gDevices.erase(device);
        record = static_cast<hostio::DeviceRecord *>(device->DeviceObjectExtension);
        for (InterfaceEntry &entry : gInterfaces) {
            if (entry.Pdo == device) {
                entry.Pdo = nullptr;
            }
        }
        /* Disabled interfaces of a device that is gone are forgotten; enabled ones stay
         * listed so that the unload check reports them. */
        for (size_t i = gInterfaces.size(); i-- > 0;) {
            if (gInterfaces[i].Pdo == nullptr && !gInterfaces[i].Enabled) {
                gInterfaces.erase(gInterfaces.begin() + (long)i);
            }
        }
    }
    if (record != nullptr) {
        record->Magic = 0;
        delete record;
    }
    if (device->DeviceExtension != nullptr) {
        free(device->DeviceExtension);
    }
    memset(device, 0xDF, sizeof(DEVICE_OBJECT));
    free(device);
}

InterfaceEntry *FindInterface(const std::string &Link) {
    for (InterfaceEntry &entry : gInterfaces) {
        if (strcasecmp(entry.Link.c_str(), Link.c_str()) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

namespace hostio {

std::recursive_mutex &IoLock() {
    static std::recursive_mutex lock;
    return lock;
}

size_t Wcslen(const WCHAR *Text) {
    size_t length = 0;
    while (Text != nullptr && Text[length] != 0) {
        length++;
    }
    return length;
}

std::string ToUtf8(const WCHAR *Text, size_t Length) {
    std::string out;
    for (size_t i = 0; i < Length; i++) {
        uint32_t c = Text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < Length && Text[i + 1] >= 0xDC00 &&
            Text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (Text[i + 1] - 0xDC00);
            i++;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::u16string ToUtf16(const char *Utf8) {
    std::u16string out;
    const auto *p = reinterpret_cast<const unsigned char *>(Utf8);
    while (p != nullptr && *p != 0) {
        uint32_t c = *p++;
        int extra = 0;
        if (c >= 0xF0) {
            c &= 0x07;
            extra = 3;
        } else if (c >= 0xE0) {
            c &= 0x0F;
            extra = 2;
        } else if (c >= 0xC0) {
            c &= 0x1F;
            extra = 1;
        }
        while (extra-- > 0 && (*p & 0xC0) == 0x80) {
            c = (c << 6) | (*p++ & 0x3F);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += (char16_t)(0xD800 + (c >> 10));
            out += (char16_t)(0xDC00 + (c & 0x3FF));
        } else {
            out += (char16_t)c;
        }
    }
    return out;
}

DeviceRecord *Record(PDEVICE_OBJECT Device) {
    std::lock_guard<std::recursive_mutex> guard(IoLock());
    if (Device == nullptr || gDevices.count(Device) == 0) {
        HostVerifierStop("%p is not a device object of the I/O manager", (void *)Device);
        return nullptr;
    }
    return static_cast<DeviceRecord *>(Device->DeviceObjectExtension);
}

bool IsDeviceObject(const void *Object) {
    std::lock_guard<std::recursive_mutex> guard(IoLock());
    return gDevices.count(const_cast<PDEVICE_OBJECT>(static_cast<const DEVICE_OBJECT *>(Object))) !=
           0;
}

void ReferenceDevice(PDEVICE_OBJECT Device) {
    ObfReferenceObject(Device);
}

void DereferenceDevice(PDEVICE_OBJECT Device) {
    ObfDereferenceObject(Device);
}

} // namespace hostio

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
    HostVerifierCheckPassive("IoCreateDevice");
    *DeviceObject = nullptr;
    std::string name = Utf8Of(DeviceName);
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    if (!name.empty()) {
        for (PDEVICE_OBJECT other : gDevices) {
            auto *record = static_cast<hostio::DeviceRecord *>(other->DeviceObjectExtension);
            if (!record->DeleteCalled && strcasecmp(record->Name.c_str(), name.c_str()) == 0) {
                return STATUS_OBJECT_NAME_COLLISION;
            }
        }
    }
    auto device = static_cast<PDEVICE_OBJECT>(calloc(1, sizeof(DEVICE_OBJECT)));
    if (device == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (DeviceExtensionSize > 0) {
        device->DeviceExtension = calloc(1, DeviceExtensionSize);
        if (device->DeviceExtension == nullptr) {
            free(device);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    auto *record = new hostio::DeviceRecord();
    record->Device = device;
    record->Name = name;
    record->Serial = gNextSerial++;
    device->Type = 3;
    device->Size = (USHORT)sizeof(DEVICE_OBJECT);
    device->ReferenceCount = 0;
    device->DriverObject = DriverObject;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                    (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    device->AlignmentRequirement = FILE_BYTE_ALIGNMENT;
    device->SectorSize = 512;
    device->DeviceObjectExtension = record;
    if (DriverObject != nullptr) {
        device->NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = device;
    }
    gDevices.insert(device);
    HostObjectTrack(device, 1, DestroyDevice);
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
    HostVerifierCheckPassive("IoDeleteDevice");
    hostio::DeviceRecord *record = hostio::Record(DeviceObject);
    if (record == nullptr) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
        if (record->DeleteCalled) {
            HostVerifierStop("IoDeleteDevice: device %p deleted twice", (void *)DeviceObject);
            return;
        }
        if (DeviceObject->AttachedDevice != nullptr) {
            HostVerifierStop("IoDeleteDevice: device %p (%s) deleted while device %p is attached "
                             "to it",
                             (void *)DeviceObject, record->Name.c_str(),
                             (void *)DeviceObject->AttachedDevice);
        }
        if (record->AttachedTo != nullptr) {
            HostVerifierStop("IoDeleteDevice: device %p (%s) deleted while still attached to %p "
                             "(IoDetachDevice missing)",
                             (void *)DeviceObject, record->Name.c_str(),
                             (void *)record->AttachedTo);
        }
        record->DeleteCalled = true;
        PDRIVER_OBJECT driver = DeviceObject->DriverObject;
        if (driver != nullptr) {
            PDEVICE_OBJECT *link = &driver->DeviceObject;
            while (*link != nullptr && *link != DeviceObject) {
                link = &(*link)->NextDevice;
            }
            if (*link == DeviceObject) {
                *link = DeviceObject->NextDevice;
            }
        }
    }
    ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    PDEVICE_OBJECT top = DeviceObject;
    while (top != nullptr && top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    return top;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
    HostVerifierCheckIrql("IoGetAttachedDeviceReference", DISPATCH_LEVEL);
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    if (hostio::Record(DeviceObject) == nullptr) {
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice) {
    HostVerifierCheckIrql("IoAttachDeviceToDeviceStack", DISPATCH_LEVEL);
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultAttachDevice, &injected)) {
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    hostio::DeviceRecord *source = hostio::Record(SourceDevice);
    hostio::DeviceRecord *target = hostio::Record(TargetDevice);
    if (source == nullptr || target == nullptr) {
        return nullptr;
    }
    if (source->AttachedTo != nullptr) {
        HostVerifierStop("IoAttachDeviceToDeviceStack: device %p is already attached",
                         (void *)SourceDevice);
        return nullptr;
    }
    PDEVICE_OBJECT top = IoGetAttachedDevice(TargetDevice);
    if (hostio::Record(top)->DeleteCalled) {
        return nullptr;
    }
    top->AttachedDevice = SourceDevice;
    source->AttachedTo = top;
    SourceDevice->StackSize = (CCHAR)(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
    HostVerifierCheckPassive("IoDetachDevice");
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    if (hostio::Record(TargetDevice) == nullptr) {
        return;
    }
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        HostVerifierStop("IoDetachDevice: nothing is attached to device %p", (void *)TargetDevice);
        return;
    }
    hostio::DeviceRecord *record = hostio::Record(above);
    if (record != nullptr) {
        record->AttachedTo = nullptr;
    }
    TargetDevice->AttachedDevice = nullptr;
}

VOID NTAPI IoStartPacket(PDEVICE_OBJECT DeviceObject, PIRP Irp, PULONG Key,
                         PDRIVER_CANCEL CancelFunction) {
    UNREFERENCED_PARAMETER(Key);
    UNREFERENCED_PARAMETER(CancelFunction);
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    if (driver == nullptr || driver->DriverStartIo == nullptr) {
        HostVerifierStop("IoStartPacket: device %p has no StartIo routine", (void *)DeviceObject);
        return;
    }
    driver->DriverStartIo(DeviceObject, Irp);
}

VOID NTAPI IoStartNextPacket(PDEVICE_OBJECT DeviceObject, BOOLEAN Cancelable) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Cancelable);
}

NTSTATUS NTAPI IoAllocateDriverObjectExtension(PDRIVER_OBJECT DriverObject,
                                               PVOID ClientIdentificationAddress,
                                               ULONG DriverObjectExtensionSize,
                                               PVOID *DriverObjectExtension) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    *DriverObjectExtension = nullptr;
    for (const DriverExtensionEntry &entry : gDriverBlocks) {
        if (entry.Driver == DriverObject && entry.Id == ClientIdentificationAddress) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    PVOID block = calloc(1, DriverObjectExtensionSize > 0 ? DriverObjectExtensionSize : 1);
    if (block == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    gDriverBlocks.push_back(DriverExtensionEntry{DriverObject, ClientIdentificationAddress, block});
    *DriverObjectExtension = block;
    return STATUS_SUCCESS;
}

PVOID NTAPI IoGetDriverObjectExtension(PDRIVER_OBJECT DriverObject,
                                       PVOID ClientIdentificationAddress) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    for (const DriverExtensionEntry &entry : gDriverBlocks) {
        if (entry.Driver == DriverObject && entry.Id == ClientIdentificationAddress) {
            return entry.Block;
        }
    }
    return nullptr;
}

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID *InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName) {
    HostVerifierCheckPassive("IoRegisterDeviceInterface");
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultRegisterInterface, &injected)) {
        return injected != 0 ? injected : STATUS_INVALID_DEVICE_REQUEST;
    }
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    hostio::DeviceRecord *record = hostio::Record(PhysicalDeviceObject);
    if (record == nullptr || InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (record->AttachedTo != nullptr) {
        /* Only a physical device object (the bottom of a stack) has interfaces. */
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::string reference = Utf8Of(ReferenceString);
    char pdoName[32];
    snprintf(pdoName, sizeof(pdoName), "PDO%04llu", (unsigned long long)record->Serial);
    std::string link = std::string("\\??\\HOST#") + pdoName + "#" + GuidText(InterfaceClassGuid);
    if (!reference.empty()) {
        link += "\\" + reference;
    }
    if (FindInterface(link) == nullptr) {
        gInterfaces.push_back(
            InterfaceEntry{*InterfaceClassGuid, PhysicalDeviceObject, reference, link, false});
    }
    if (!MakePoolString(SymbolicLinkName, link)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    HostVerifierCheckPassive("IoSetDeviceInterfaceState");
    NTSTATUS injected;
    if (HostFaultShouldFail(HostFaultSetInterfaceState, &injected)) {
        return injected != 0 ? injected : STATUS_INVALID_PARAMETER;
    }
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr ||
        SymbolicLinkName->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    InterfaceEntry *entry = FindInterface(Utf8Of(SymbolicLinkName));
    if (entry == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (Enable) {
        if (entry->Enabled) {
            return STATUS_OBJECT_NAME_EXISTS;
        }
        if (entry->Pdo == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        entry->Enabled = true;
        return STATUS_SUCCESS;
    }
    if (!entry->Enabled) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    entry->Enabled = false;
    if (entry->Pdo == nullptr) {
        gInterfaces.erase(gInterfaces.begin() + (entry - gInterfaces.data()));
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject,
                                   DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                   PVOID PropertyBuffer, PULONG ResultLength) {
    HostVerifierCheckPassive("IoGetDeviceProperty");
    NTSTATUS raised;
    if (HostFaultShouldFail(HostFaultDeviceProperty, &raised)) {
        ExRaiseStatus(raised != 0 ? raised : STATUS_IN_PAGE_ERROR);
    }
    if (ResultLength == nullptr) {
        return STATUS_INVALID_PARAMETER_5;
    }
    /* A property that cannot be read reports length 0. */
    *ResultLength = 0;
    if ((ULONG)DeviceProperty > (ULONG)DevicePropertyRemovalPolicy) {
        return STATUS_INVALID_PARAMETER_2;
    }
    std::vector<uint8_t> value;
    {
        std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
        hostio::DeviceRecord *record = hostio::Record(DeviceObject);
        if (record == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (record->AttachedTo != nullptr) {
            HostVerifierStop("IoGetDeviceProperty: device %p is not a physical device object",
                             (void *)DeviceObject);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        auto found = record->Properties.find((ULONG)DeviceProperty);
        if (found != record->Properties.end()) {
            value = found->second;
        } else if (DeviceProperty == DevicePropertyPhysicalDeviceObjectName &&
                   !record->Name.empty()) {
            std::u16string wide = hostio::ToUtf16(record->Name.c_str());
            value.resize((wide.size() + 1) * sizeof(WCHAR));
            memcpy(value.data(), wide.c_str(), value.size());
        } else {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
    }
    *ResultLength = (ULONG)value.size();
    if (BufferLength < value.size()) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!value.empty()) {
        memcpy(PropertyBuffer, value.data(), value.size());
    }
    return STATUS_SUCCESS;
}

} // extern "C"

/* ------------------------------------------------------------------------------------------ */
/* Host API                                                                                   */
/* ------------------------------------------------------------------------------------------ */

ULONG HostDeviceInterfaceCount(const GUID *Class, BOOLEAN EnabledOnly) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    ULONG count = 0;
    for (const InterfaceEntry &entry : gInterfaces) {
        if ((Class == nullptr || IsEqualGUID(&entry.Class, Class)) &&
            (!EnabledOnly || entry.Enabled)) {
            count++;
        }
    }
    return count;
}

BOOLEAN HostDeviceInterfaceLink(const GUID *Class, ULONG Index, char *Link, size_t LinkSize) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    ULONG seen = 0;
    for (const InterfaceEntry &entry : gInterfaces) {
        if ((Class == nullptr || IsEqualGUID(&entry.Class, Class)) && entry.Enabled) {
            if (seen++ == Index) {
                if (Link != nullptr && LinkSize > 0) {
                    snprintf(Link, LinkSize, "%s", entry.Link.c_str());
                }
                return TRUE;
            }
        }
    }
    return FALSE;
}

BOOLEAN HostDeviceInterfaceEnabled(const char *Link) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    InterfaceEntry *entry = FindInterface(Link);
    return entry != nullptr && entry->Enabled;
}

PDEVICE_OBJECT HostDeviceInterfacePdo(const char *Link) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    InterfaceEntry *entry = FindInterface(Link);
    return entry != nullptr ? entry->Pdo : nullptr;
}

void HostSetDeviceProperty(PDEVICE_OBJECT Device, DEVICE_REGISTRY_PROPERTY Property,
                           const void *Data, ULONG Length) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    hostio::DeviceRecord *record = hostio::Record(Device);
    if (record == nullptr) {
        return;
    }
    const auto *bytes = static_cast<const uint8_t *>(Data);
    record->Properties[(ULONG)Property] = std::vector<uint8_t>(bytes, bytes + Length);
}

void HostSetDevicePropertyString(PDEVICE_OBJECT Device, DEVICE_REGISTRY_PROPERTY Property,
                                 const char *Utf8) {
    std::u16string wide = hostio::ToUtf16(Utf8);
    HostSetDeviceProperty(Device, Property, wide.c_str(),
                          (ULONG)((wide.size() + 1) * sizeof(WCHAR)));
}

BOOLEAN HostHasDeviceProperty(PDEVICE_OBJECT Device, DEVICE_REGISTRY_PROPERTY Property) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    hostio::DeviceRecord *record = hostio::Record(Device);
    return record != nullptr && record->Properties.count((ULONG)Property) != 0;
}

const char *HostDeviceName(PDEVICE_OBJECT Device) {
    hostio::DeviceRecord *record = hostio::Record(Device);
    return record != nullptr ? record->Name.c_str() : "";
}

LONG HostDeviceObjectCount(void) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    return (LONG)gDevices.size();
}

LONG HostDriverDeviceCount(PDRIVER_OBJECT Driver) {
    std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
    LONG count = 0;
    for (PDEVICE_OBJECT device = Driver->DeviceObject; device != nullptr;
         device = device->NextDevice) {
        count++;
    }
    return count;
}

PDRIVER_OBJECT HostCreateDriverObject(const char *Name) {
    struct Block {
        DRIVER_OBJECT Driver;
        DRIVER_EXTENSION Extension;
    };
    auto *block = static_cast<Block *>(calloc(1, sizeof(Block)));
    if (block == nullptr) {
        return nullptr;
    }
    PDRIVER_OBJECT driver = &block->Driver;
    driver->Type = 4;
    driver->Size = (SHORT)sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &block->Extension;
    block->Extension.DriverObject = driver;
    std::u16string wide = hostio::ToUtf16(Name != nullptr ? Name : "");
    auto *buffer = static_cast<PWSTR>(calloc(wide.size() + 1, sizeof(WCHAR)));
    if (buffer != nullptr) {
        memcpy(buffer, wide.c_str(), wide.size() * sizeof(WCHAR));
        driver->DriverName.Buffer = buffer;
        driver->DriverName.Length = (USHORT)(wide.size() * sizeof(WCHAR));
        driver->DriverName.MaximumLength = (USHORT)((wide.size() + 1) * sizeof(WCHAR));
    }
    return driver;
}

void HostDeleteDriverObject(PDRIVER_OBJECT Driver) {
    if (Driver == nullptr) {
        return;
    }
    {
        std::lock_guard<std::recursive_mutex> guard(hostio::IoLock());
        if (Driver->DeviceObject != nullptr) {
            HostVerifierStop("driver object %p deleted while it still has device objects",
                             (void *)Driver);
        }
        for (size_t i = gDriverBlocks.size(); i-- > 0;) {
            if (gDriverBlocks[i].Driver == Driver) {
                free(gDriverBlocks[i].Block);
                gDriverBlocks.erase(gDriverBlocks.begin() + (long)i);
            }
        }
    }
    free(Driver->DriverName.Buffer);
    free(Driver); /* the driver object is the start of its block */
}
