/*
 * driver_harness.cpp - the shared fixture of the driver tests (see driver_harness.h).
 */
#include "driver_harness.h"
#include "recorder_setup.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

const GUID HarnessRecorderInterface = {
    0xB1181E90, 0xB971, 0x11D4, {0xB7, 0x63, 0x00, 0x00, 0xC0, 0xFE, 0x1D, 0x9E}};
const GUID HarnessDesktopInterface = {
    0xB1181E91, 0xB971, 0x11D4, {0xB7, 0x63, 0x00, 0x00, 0xC0, 0xFE, 0x1D, 0x9E}};

DriverHarness::DriverHarness() = default;
DriverHarness::~DriverHarness() = default;

void DriverHarness::SetUp() {
    HostClockUseVirtual();
    scope_ = std::make_unique<HostThreadScope>("test");
    HostDebugLogClear();
    HostErrorLogClear();
    HostClearAllFaults();
    HostClearDriveLetters();
    HostResetThreadIdentity();
    char pattern[] = "/tmp/cdw_test_XXXXXX";
    const char *made = mkdtemp(pattern);
    ASSERT_NE(made, nullptr) << "cannot create a scratch directory";
    scratch_ = made;
    /* Traversable by every identity, so that an impersonation test is decided by the image
     * file's own permissions. */
    (void)chmod(made, 0755);
    HostMapDriveLetter('D', scratch_.c_str());
    if (LoadDriverInSetUp) {
        NTSTATUS status = LoadDriver(nullptr);
        ASSERT_EQ(status, STATUS_SUCCESS) << "DriverEntry failed";
    }
}

void DriverHarness::TearDown() {
    for (HANDLE handle : handles_) {
        (void)HostCloseDevice(handle);
    }
    handles_.clear();
    if (RemoveUnitsInTearDown) {
        for (auto &unit : units_) {
            if (!unit->Removed && unit->Fdo != nullptr) {
                (void)RemoveUnit(unit.get());
            }
        }
    }
    if (driver_ != nullptr) {
        bool clean = UnloadDriver();
        if (ExpectCleanUnload) {
            EXPECT_TRUE(clean) << "driver unload left something behind:\n" << UnloadReport;
        }
    }
    for (auto &unit : units_) {
        if (unit->Sim != nullptr && (unit->Removed || unit->Fdo == nullptr)) {
            HostDestroySimulatedRecorder(unit->Sim);
            unit->Sim = nullptr;
        }
    }
    for (void *memory : userMemory_) {
        HostUserFree(memory);
    }
    userMemory_.clear();
    HostClearAllFaults();
    HostClearDriveLetters();
    if (!scratch_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(scratch_, ignored);
    }
    scope_.reset();
}

NTSTATUS DriverHarness::LoadDriver(PDRIVER_INITIALIZE Entry) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver_ = HostLoadDriver(Entry != nullptr ? Entry : DriverEntry, "cdwriter", &status);
    return status;
}

bool DriverHarness::UnloadDriver() {
    if (driver_ == nullptr) {
        return true;
    }
    /* Simulated units whose device objects are gone give their port devices back first. */
    for (auto &unit : units_) {
        if (unit->Sim != nullptr && (unit->Removed || unit->Fdo == nullptr)) {
            HostDestroySimulatedRecorder(unit->Sim);
            unit->Sim = nullptr;
        }
    }
    bool clean = HostUnloadDriver(driver_, &UnloadReport);
    driver_ = nullptr;
    return clean;
}

SIM_RECORDER_CONFIG DriverHarness::RecorderConfig() {
    SIM_RECORDER_CONFIG config;
    HostSimDefaultConfig(&config);
    return config;
}

SIM_RECORDER_CONFIG DriverHarness::DesktopUnitConfig() {
    SIM_RECORDER_CONFIG config;
    HostSimDefaultConfig(&config);
    HostSimDesktopUnitConfig(&config);
    return config;
}

DriverHarness::Unit *DriverHarness::Plug(const SIM_RECORDER_CONFIG &Config, bool Start) {
    auto unit = std::make_unique<Unit>();
    unit->Sim = HostCreateSimulatedRecorder(&Config);
    if (unit->Sim == nullptr || unit->Sim->Pdo == nullptr) {
        ADD_FAILURE() << "cannot create the simulated unit";
        return nullptr;
    }
    unit->Pdo = unit->Sim->Pdo;
    unit->Fdo = HostPnpAddDevice(unit->Pdo, &unit->AddStatus);
    if (unit->Fdo != nullptr && Start) {
        unit->StartStatus = HostPnpStart(unit->Fdo);
    }
    units_.push_back(std::move(unit));
    return units_.back().get();
}

DriverHarness::Unit *DriverHarness::PlugRecorder(bool Start) {
    return Plug(RecorderConfig(), Start);
}

DriverHarness::Unit *DriverHarness::PlugRecorder(const SIM_RECORDER_CONFIG &Config, bool Start) {
    return Plug(Config, Start);
}

DriverHarness::Unit *DriverHarness::PlugDesktopUnit(bool Start) {
    return Plug(DesktopUnitConfig(), Start);
}

NTSTATUS DriverHarness::StartUnit(Unit *U) {
    U->StartStatus = HostPnpStart(U->Fdo);
    return U->StartStatus;
}

NTSTATUS DriverHarness::RemoveUnit(Unit *U) {
    if (U->Fdo == nullptr || U->Removed) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS status = HostPnpRemove(U->Fdo);
    U->Removed = true;
    U->Fdo = nullptr;
    return status;
}

NTSTATUS DriverHarness::QueryRemoveUnit(Unit *U) {
    return HostPnpQueryRemove(U->Fdo);
}

NTSTATUS DriverHarness::SurpriseRemoveUnit(Unit *U) {
    return HostPnpSurpriseRemove(U->Fdo);
}

NTSTATUS DriverHarness::TryOpen(const GUID *Class, ULONG Index, HANDLE *Handle) {
    NTSTATUS status = HostOpenDevice(Class, Index, Handle);
    if (NT_SUCCESS(status)) {
        handles_.push_back(*Handle);
    }
    return status;
}

HANDLE DriverHarness::OpenOrFail(const GUID *Class, ULONG Index) {
    HANDLE handle = nullptr;
    NTSTATUS status = TryOpen(Class, Index, &handle);
    if (!NT_SUCCESS(status)) {
        ADD_FAILURE() << "cannot open unit " << Index << ": status 0x" << std::hex
                      << (uint32_t)status;
        return nullptr;
    }
    return handle;
}

HANDLE DriverHarness::OpenRecorder(ULONG Index) {
    return OpenOrFail(&HarnessRecorderInterface, Index);
}

HANDLE DriverHarness::OpenDesktopUnit(ULONG Index) {
    return OpenOrFail(&HarnessDesktopInterface, Index);
}

HANDLE DriverHarness::OpenUnit(Unit *U) {
    for (ULONG i = 0; i < units_.size(); i++) {
        HANDLE handle = nullptr;
        if (TryOpen(&HarnessRecorderInterface, i, &handle) == STATUS_SUCCESS) {
            if (HostDeviceOfHandle(handle) == U->Fdo) {
                return handle;
            }
            (void)Close(handle);
        }
    }
    ADD_FAILURE() << "no handle for the unit";
    return nullptr;
}

NTSTATUS DriverHarness::Close(HANDLE Handle) {
    for (size_t i = 0; i < handles_.size(); i++) {
        if (handles_[i] == Handle) {
            handles_.erase(handles_.begin() + (long)i);
            break;
        }
    }
    return HostCloseDevice(Handle);
}

DriverHarness::IoctlResult DriverHarness::Ioctl(HANDLE Handle, ULONG Code, const void *In,
                                                ULONG InLength, void *Out, ULONG OutLength) {
    IoctlResult result{STATUS_UNSUCCESSFUL, 0};
    PrepareForRecording(Handle, Code, In, InLength);
    result.Status =
        HostDeviceIoControl(Handle, Code, In, InLength, Out, OutLength, &result.Returned);
    return result;
}

/* Plays the application's part before a record-disc request (recorder_setup.h). */
void DriverHarness::PrepareForRecording(HANDLE Handle, ULONG Code, const void *In, ULONG InLength) {
    if (PrepareRecorders) {
        PrepareRecorderOfHandle(Handle, Code, In, InLength);
    }
}

DriverHarness::IoctlResult DriverHarness::IoctlInOut(HANDLE Handle, ULONG Code, void *Buffer,
                                                     ULONG Length) {
    return Ioctl(Handle, Code, Buffer, Length, Buffer, Length);
}

void *DriverHarness::UserAlloc(size_t Size, bool Writable) {
    void *memory = HostUserAlloc(Size, Writable ? TRUE : FALSE);
    if (memory != nullptr) {
        userMemory_.push_back(memory);
    }
    return memory;
}

void DriverHarness::Sleep(ULONG Milliseconds) {
    LARGE_INTEGER interval;
    interval.QuadPart = -(LONGLONG)Milliseconds * 10000LL;
    (void)KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool DriverHarness::Logged(const char *Text) const {
    return HostDebugLogContains(Text);
}

size_t DriverHarness::LoggedCount(const char *Text) const {
    return HostDebugLogCount(Text);
}

std::vector<std::string> DriverHarness::Messages() const {
    return HostDebugMessages();
}

std::string DriverHarness::DebugLog() const {
    return HostDebugLog();
}

void DriverHarness::ClearLog() {
    HostDebugLogClear();
}

std::vector<HOST_ERROR_LOG_ENTRY> DriverHarness::Events() const {
    std::vector<HOST_ERROR_LOG_ENTRY> events;
    HOST_ERROR_LOG_ENTRY entry;
    for (ULONG i = 0; HostErrorLogGet(i, &entry); i++) {
        events.push_back(entry);
    }
    return events;
}

std::vector<HOST_ERROR_LOG_ENTRY> DriverHarness::EventsWithId(NTSTATUS Id) const {
    std::vector<HOST_ERROR_LOG_ENTRY> events;
    for (const HOST_ERROR_LOG_ENTRY &entry : Events()) {
        if (entry.Packet.ErrorCode == Id) {
            events.push_back(entry);
        }
    }
    return events;
}

void DriverHarness::ClearEvents() {
    HostErrorLogClear();
}

std::string DriverHarness::MakeImageFile(const char *Name, size_t Size, uint8_t Seed) {
    std::string path = scratch_ + "/" + Name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(65536);
    size_t written = 0;
    while (written < Size) {
        size_t n = std::min(chunk.size(), Size - written);
        for (size_t i = 0; i < n; i++) {
            chunk[i] = (char)(((written + i) * 7 + Seed) & 0xFF);
        }
        out.write(chunk.data(), (std::streamsize)n);
        written += n;
    }
    return path;
}
