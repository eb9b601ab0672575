/*
 * install.cpp - loads the driver into the host stand-in and plugs in the simulated devices.
 */
#include "install.h"

#include <ntddk.h>
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/simrecorder.h>

#include "control/cdwriter_ioctl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

/* The driver's entry routine, linked from the driver library. */
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

const GUID kRecorderClass = {CDW_GUID_RECORDER_PARTS};
const GUID kDesktopClass = {CDW_GUID_DESKTOP_PARTS};

bool MakeDirectories(const std::string &path, std::string *error) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = "cannot create directory \"" + partial + "\": " + strerror(errno);
            return false;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "\"" + path + "\" is not a directory";
        return false;
    }
    return true;
}

std::string Hex(NTSTATUS status) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

void CopyText(char *dest, size_t size, const std::string &text) {
    snprintf(dest, size, "%s", text.c_str());
}

} // namespace

Installation::~Installation() {
    Stop();
}

bool Installation::Start(const Options &options, const InstallSpec &install, std::string *error,
                         bool *usage) {
    *usage = true;
    std::vector<DeviceSpec> specs;
    bool fromFile = !options.installFile.empty();
    bool fileHasDevices = false;
    for (const auto &d : install.devices)
        fileHasDevices = true, specs.push_back(d);
    if (!fromFile || !fileHasDevices) {
        for (unsigned i = 0; i < options.recorders; i++)
            specs.push_back(DeviceSpec());
        for (unsigned i = 0; i < options.desktopUnits; i++) {
            DeviceSpec d;
            d.desktop = true;
            specs.push_back(d);
        }
    }
    unsigned recorderNo = 0;
    for (auto &d : specs) {
        if (!d.desktop && !d.speedSet)
            d.speed = options.speed;
        if (!d.desktop && d.bufferBytes == 0)
            d.bufferBytes = options.driveBuffer;
        if (!d.desktop)
            recorderNo++;
    }
    if (recorderNo == 0 && options.command == Command::Record) {
        *error = "the installation has no recorder";
        return false;
    }
    for (const auto &f : options.faults) {
        if (f.recorder >= recorderNo) {
            *error = "--inject-fault names recorder " + std::to_string(f.recorder) +
                     ", the installation has " + std::to_string(recorderNo);
            return false;
        }
    }

    std::string discDir = options.discDir.empty() ? DefaultDiscDir() : options.discDir;
    if (recorderNo > 0 && !MakeDirectories(discDir, error))
        return false;

    *usage = false;
    HostClockUseReal();
    HostUseRealTimePriorities(options.realtime);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = HostLoadDriver(DriverEntry, "cdwriter", &status);
    if (driver_ != nullptr)
        driverLoaded_ = true;
    if (!NT_SUCCESS(status) || driver_ == nullptr) {
        char text[64];
        snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
        *error = std::string("the driver did not load, status ") + text;
        return false;
    }

    unsigned recorderIndex = 0;
    UCHAR targetId = 0;
    for (auto &d : specs) {
        SIM_RECORDER_CONFIG config;
        HostSimDefaultConfig(&config);
        InstalledDevice device;
        device.spec = d;
        if (d.desktop) {
            HostSimDesktopUnitConfig(&config);
        } else {
            device.discFile = d.discFile.empty()
                                  ? discDir + "/recorder-" + std::to_string(recorderIndex) + ".img"
                                  : d.discFile;
            config.DiscFile = device.discFile.c_str();
            bool dvd = false;
            config.SpeedMultiple = d.speed.SimMultiple(&dvd);
            config.Dvd = dvd ? TRUE : FALSE;
            if (d.bufferBytes != 0)
                config.BufferBytes = static_cast<ULONG>(d.bufferBytes);
        }
        config.TargetId = targetId++;
        if (!d.vendor.empty())
            CopyText(config.Vendor, sizeof(config.Vendor), d.vendor);
        if (!d.product.empty())
            CopyText(config.Product, sizeof(config.Product), d.product);
        if (!d.revision.empty())
            CopyText(config.Revision, sizeof(config.Revision), d.revision);
        if (d.addressSet) {
            config.PortNumber = d.port;
            config.PathId = d.path;
            config.TargetId = d.target;
            config.Lun = d.lun;
        }
        device.sim = HostCreateSimulatedRecorder(&config);
        if (device.sim == nullptr) {
            *error = d.desktop ? std::string("cannot create a simulated desktop unit")
                               : "cannot create the simulated recorder's disc file \"" +
                                     device.discFile + "\"";
            return false;
        }
        if (!d.desktop) {
            std::vector<FaultSpec> faults = d.faults;
            for (const auto &f : options.faults)
                if (f.recorder == recorderIndex)
                    faults.push_back(f);
            for (const auto &f : faults) {
                SIM_FAULT fault;
                HostSimInitFault(&fault, f.atBlock ? SimFaultAtBlock : SimFaultAtCommand,
                                 f.sense ? SimFaultSense : SimFaultSrbStatus);
                if (f.atBlock)
                    fault.BlockAddress = f.where;
                else
                    fault.CommandNumber = f.where;
                fault.RepeatCount = f.repeat;
                fault.SenseKey = f.senseKey;
                fault.Asc = f.asc;
                fault.Ascq = f.ascq;
                fault.SrbStatus = f.srbStatus;
                HostSimAddFault(device.sim, &fault);
            }
            recorderIndex++;
        }
        devices_.push_back(device);
        NTSTATUS addStatus = STATUS_SUCCESS;
        PDEVICE_OBJECT fdo = HostPnpAddDevice(device.sim->Pdo, &addStatus);
        if (fdo == nullptr || !NT_SUCCESS(addStatus)) {
            *error = "the driver did not take the simulated device, status " + Hex(addStatus);
            return false;
        }
        devices_.back().fdo = fdo;
        status = HostPnpStart(fdo);
        if (!NT_SUCCESS(status)) {
            *error = "starting the simulated device failed, status " + Hex(status);
            return false;
        }
    }

    /* Find every device again through its interface class. */
    for (int pass = 0; pass < 2; pass++) {
        const GUID *cls = pass == 0 ? &kRecorderClass : &kDesktopClass;
        auto &list = pass == 0 ? recorders_ : desktops_;
        ULONG count = HostDeviceInterfaceCount(cls, TRUE);
        for (ULONG i = 0; i < count; i++) {
            char link[512];
            if (!HostDeviceInterfaceLink(cls, i, link, sizeof(link)))
                continue;
            PDEVICE_OBJECT pdo = HostDeviceInterfacePdo(link);
            for (size_t k = 0; k < devices_.size(); k++) {
                if (devices_[k].sim->Pdo == pdo) {
                    if (devices_[k].spec.desktop != (pass == 1)) {
                        *error = "a simulated device appeared in the wrong interface class";
                        return false;
                    }
                    devices_[k].interfaceIndex = static_cast<int>(i);
                    list.push_back(k);
                }
            }
        }
    }
    for (const auto &d : devices_) {
        if (d.interfaceIndex < 0) {
            *error = std::string("a simulated ") + (d.spec.desktop ? "desktop unit" : "recorder") +
                     " was plugged in but has no enabled device interface";
            return false;
        }
    }
    return true;
}

std::string Installation::Stop() {
    if (stopped_)
        return "";
    stopped_ = true;
    std::string report;
    for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
        if (it->fdo != nullptr) {
            NTSTATUS status = HostPnpRemove(it->fdo);
            if (!NT_SUCCESS(status))
                report += "removing a device failed, status " + Hex(status) + "\n";
            it->fdo = nullptr;
        }
    }
    if (driverLoaded_) {
        std::string leftover;
        if (!HostUnloadDriver(driver_, &leftover))
            report += leftover;
        driverLoaded_ = false;
        driver_ = nullptr;
    }
    for (auto &d : devices_) {
        if (d.sim != nullptr)
            HostDestroySimulatedRecorder(d.sim);
        d.sim = nullptr;
    }
    return report;
}

std::string Installation::UnreachedFaults() {
    std::string text;
    for (unsigned i = 0; i < RecorderCount(); i++) {
        InstalledDevice &d = Recorder(i);
        if (d.sim != nullptr && HostSimUnreachedFaults(d.sim) != 0)
            text += (text.empty() ? "" : "; ") + std::string("recorder ") + std::to_string(i) +
                    ": " + std::to_string(HostSimUnreachedFaults(d.sim)) +
                    " injected fault(s) never reached";
    }
    return text;
}

bool Installation::WriteCommandLog(const std::string &path, std::string *error) {
    FILE *f = fopen(path.c_str(), "w");
    if (f == nullptr) {
        *error = "cannot write command log \"" + path + "\": " + strerror(errno);
        return false;
    }
    fprintf(f, "# recorder number opcode datalength transferred srbstatus scsistatus sense cdb\n");
    for (unsigned i = 0; i < RecorderCount(); i++) {
        InstalledDevice &d = Recorder(i);
        ULONG count = HostSimLogCount(d.sim);
        for (ULONG k = 0; k < count; k++) {
            SIM_LOG_ENTRY e;
            if (!HostSimLogEntry(d.sim, k, &e))
                break;
            fprintf(f, "%u %lu %02X %lu %lu %02X %02X %X/%02X/%02X", i,
                    static_cast<unsigned long>(e.Number), e.Cdb[0],
                    static_cast<unsigned long>(e.DataLength),
                    static_cast<unsigned long>(e.Transferred), e.SrbStatus, e.ScsiStatus,
                    e.SenseKey, e.Asc, e.Ascq);
            for (int b = 0; b < e.CdbLength && b < 16; b++)
                fprintf(f, "%s%02X", b == 0 ? " " : "", e.Cdb[b]);
            fprintf(f, "\n");
        }
    }
    if (fclose(f) != 0) {
        *error = "cannot write command log \"" + path + "\": " + strerror(errno);
        return false;
    }
    return true;
}
