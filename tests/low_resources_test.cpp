/*
 * low_resources_test.cpp - the driver's life under low resources: the Nth call of each
 * failable routine fails, for every N the scenario reaches, and a seeded random mode fails
 * about 6 % of all of them. The scenario loads the driver, plugs and starts a recorder, opens
 * it, allocates the cache, records a small image, asks for the status, sends a pass-through
 * INQUIRY, closes, removes the recorder and unloads. Every run must end each request and the
 * recording with a defined status, hang nowhere, and unload with nothing left behind.
 *
 * The faults stay armed from the load up to the removal; the removal and the unload run with
 * the stand-in's own requests intact, so what is left at unload is the driver's.
 */
#include <gtest/gtest.h>

#include <array>
#include <sstream>
#include <string>

#include "driver_harness.h"
#include "recording_scenario.h"

namespace {

enum Routine { Pool, IrpBuild, ErrorLogEntry, ThreadCreate, FileOpen, FileRead, RoutineCount };

const char *const kRoutineNames[RoutineCount] = {"Pool",           "IrpBuilding", "ErrorLogEntry",
                                                 "ThreadCreation", "FileOpen",    "FileRead"};

const HOST_FAULT_POINT kPoints[RoutineCount] = {
    HostFaultPointCount, /* pool has its own injection */
    HostFaultIrpAllocation, HostFaultErrorLogEntry, HostFaultThreadCreate,
    HostFaultFileOpen,      HostFaultFileRead};

const ULONG kImageBlocks = 300;

using Calls = std::array<ULONG, RoutineCount>;

class LowResources : public DriverHarness {
protected:
    LowResources() { LoadDriverInSetUp = false; }

    void SetUp() override {
        DriverHarness::SetUp();
        MakeImageFile("image.iso", kImageBlocks * 2048, 7);
    }

    /* Counts the calls of every routine without failing any. */
    void ArmCounting() {
        HOST_FAULT never = {0xFFFFFFFFu, 0, 0, 0};
        for (int r = IrpBuild; r < RoutineCount; r++) {
            HostSetFault(kPoints[r], &never);
        }
        poolBase_ = HostPoolTotalAllocations();
    }

    /* The calls counted since ArmCounting; adds the faults injected to injected_. */
    Calls Counted() {
        Calls calls;
        calls[Pool] = (ULONG)(HostPoolTotalAllocations() - poolBase_);
        for (int r = IrpBuild; r < RoutineCount; r++) {
            calls[r] = HostFaultCalls(kPoints[r]);
            injected_[r] += HostFaultHits(kPoints[r]);
        }
        return calls;
    }

    void ArmNth(int R, ULONG N) {
        if (R == Pool) {
            HostPoolFailNth(N);
        } else {
            HOST_FAULT fault = {N - 1, 1, 0, STATUS_INSUFFICIENT_RESOURCES};
            HostSetFault(kPoints[R], &fault);
        }
    }

    void ArmRandom(uint32_t Seed) {
        HostPoolFailRandom(Seed, 60);
        HostSetFaultSeed(Seed);
        HOST_FAULT fault = {0, 0, 6, STATUS_INSUFFICIENT_RESOURCES};
        for (int r = IrpBuild; r < RoutineCount; r++) {
            HostSetFault(kPoints[r], &fault);
        }
    }

    /* One life of the driver; Arm arms the faults right before the load. Adds a failure naming
     * What for every broken rule; returns the calls counted up to the removal. */
    template <typename ArmFn> Calls Run(const std::string &What, ArmFn Arm) {
        SCOPED_TRACE(What);
        std::ostringstream problems;
        ClearLog();
        Arm();
        FreshDriverImage();
        Unit *unit = NT_SUCCESS(LoadDriver(nullptr)) ? PlugRecorder() : nullptr;
        if (unit != nullptr && unit->Fdo != nullptr && NT_SUCCESS(unit->StartStatus)) {
            HANDLE handle = nullptr;
            if (NT_SUCCESS(TryOpen(&HarnessRecorderInterface, 0, &handle))) {
                UseRecorder(handle, CdwWriterExtension(unit->Fdo), problems);
                (void)Close(handle);
            }
        }
        const Calls calls = Counted();
        HostPoolClearFailures();
        HostClearAllFaults();
        if (unit != nullptr && unit->Fdo != nullptr && !unit->Removed) {
            (void)RemoveUnit(unit);
        }
        if (!UnloadDriver()) {
            problems << "unload left something behind:\n" << UnloadReport;
        }
        if (HostSchedulerDeadlockCount() != 0) {
            problems << "a deadlock on the stand-in clock\n";
        }
        const std::string text = problems.str();
        EXPECT_TRUE(text.empty()) << What << ":\n" << text << "\n" << DebugLog();
        return calls;
    }

    void UseRecorder(HANDLE Handle, PWriterExtension Ext, std::ostringstream &Problems) {
        /* The image's drive as the cache drive, locked around the recording. */
        CACHE_DRIVE_REQUEST drive = {0, 'D', 0, 1};
        (void)Ioctl(Handle, IOCTL_RECORDER_CREATE_CACHE_DRIVE, &drive, sizeof(drive), nullptr, 0);
        (void)Ioctl(Handle, IOCTL_RECORDER_INIT_CACHE_LOCK, &drive, sizeof(drive), nullptr, 0);
        /* While the application holds the lock a recording waits for it, so the application
         * repeats an unlock that failed (the request may not even reach the driver). */
        if (NT_SUCCESS(
                Ioctl(Handle, IOCTL_RECORDER_LOCK_CACHE_DRIVE, nullptr, 0, nullptr, 0).Status)) {
            bool unlocked = false;
            for (int attempt = 0; attempt < 10 && !unlocked; attempt++) {
                unlocked = NT_SUCCESS(
                    Ioctl(Handle, IOCTL_RECORDER_UNLOCK_CACHE_DRIVE, nullptr, 0, nullptr, 0)
                        .Status);
            }
            if (!unlocked) {
                return;
            }
        }
        CD_RECORDER_PARAMETERS parameters;
        (void)Ioctl(Handle, IOCTL_RECORDER_QUERY_PARAMETERS, nullptr, 0, &parameters,
                    sizeof(parameters));
        static CD_RECORDER_PROPERTIES properties;
        properties = {0, DevicePropertyFriendlyName, 0, 0, {}};
        (void)IoctlInOut(Handle, IOCTL_RECORDER_QUERY_PROPERTIES, &properties, sizeof(properties));

        uint32_t count = 16;
        IoctlResult cache = Ioctl(Handle, IOCTL_RECORDER_ALLOCATE_CACHE, &count, 4, &count, 4);
        if (NT_SUCCESS(cache.Status)) {
            std::vector<UCHAR> request = OneTrackRecordRequest("\\??\\D:\\image.iso", kImageBlocks);
            UCHAR out[8];
            IoctlResult record = Ioctl(Handle, IOCTL_RECORDER_RECORD_DISC, request.data(),
                                       static_cast<ULONG>(request.size()), out, sizeof(out));
            if (!WaitRecordingIdle(Ext, 1800)) {
                Problems << "the recording never ended (status "
                         << ReadRecordingState(Ext).RecordingStatus << ")\n"
                         << HostSchedulerReport() << HostSystemThreadsReport();
                return;
            }
            RECORDING_STATUS in = {}, status = {};
            IoctlResult query = Ioctl(Handle, IOCTL_RECORDER_RECORDING_STATUS, &in, sizeof(in),
                                      &status, sizeof(status));
            if (NT_SUCCESS(query.Status) && !DocumentedFinalStatus(status.recordingStatus)) {
                Problems << "recording ended with undocumented status " << status.recordingStatus
                         << " (request status 0x" << std::hex << record.Status << std::dec << ")\n";
            }
        }
        /* An INQUIRY of 96 bytes. */
        const uint32_t data = HostUserAddress(UserAlloc(96));
        SCSI_PASS_THROUGH_REQUEST inquiry = {0, {0x12, 0, 0, 0, 96}, 6, 0, 10, 96, data, 0, 0, 0, 0,
                                             {}};
        (void)IoctlInOut(Handle, IOCTL_RECORDER_EXEC_SCSI_OPERATION, &inquiry, sizeof(inquiry));
        (void)Ioctl(Handle, IOCTL_RECORDER_DEALLOCATE_CACHE, nullptr, 0, nullptr, 0);
    }

    /* Fails the Nth call of R for every N that a run without faults reaches. */
    void EveryNth(int R) {
        const ULONG total = Run("no fault", [this] { ArmCounting(); })[R];
        ASSERT_GT(total, 0u) << "the scenario never calls " << kRoutineNames[R];
        for (ULONG n = 1; n <= total && !HasFailure(); n++) {
            Run(std::string(kRoutineNames[R]) + " call " + std::to_string(n) + " of " +
                    std::to_string(total) + " fails",
                [this, R, n] { ArmNth(R, n); });
        }
        EXPECT_GT(R == Pool ? HostPoolInjectedFailures() : injected_[R], 0u);
    }

    uint64_t poolBase_ = 0;
    ULONG injected_[RoutineCount] = {};
};

/* Fails the Nth call of one routine, for every N a run without faults reaches. */
class EveryNthCallFails : public LowResources, public ::testing::WithParamInterface<Routine> {};

} // namespace

TEST_P(EveryNthCallFails, YetEveryRunEndsCleanly) {
    EveryNth(GetParam());
}

INSTANTIATE_TEST_SUITE_P(LowResources, EveryNthCallFails,
                         ::testing::Values(Pool, IrpBuild, ThreadCreate, FileOpen, FileRead),
                         [](const ::testing::TestParamInfo<Routine> &info) {
                             return std::string(kRoutineNames[info.param]);
                         });

/* Error-log entries are written on failures only: the runs fail a pool allocation first. */
TEST_F(LowResources, EveryNthErrorLogEntryFails) {
    for (ULONG pool = 1; pool <= 40 && !HasFailure(); pool += 3) {
        for (ULONG n = 1; n <= 3 && !HasFailure(); n++) {
            Run("pool call " + std::to_string(pool) + " and error-log entry " + std::to_string(n) +
                    " fail",
                [this, pool, n] {
                    ArmNth(Pool, pool);
                    ArmNth(ErrorLogEntry, n);
                });
        }
    }
}

TEST_F(LowResources, SeededRandomSixPercent) {
    const ULONG poolFailures = HostPoolInjectedFailures();
    for (uint32_t seed = 1; seed <= 300 && !HasFailure(); seed++) {
        Run("random seed " + std::to_string(seed), [this, seed] { ArmRandom(seed); });
    }
    /* The random mode reached every routine it arms (error-log entries are too rare). */
    EXPECT_GT(HostPoolInjectedFailures(), poolFailures);
    for (int r : {IrpBuild, ThreadCreate, FileOpen, FileRead}) {
        EXPECT_GT(injected_[r], 0u) << kRoutineNames[r];
    }
}
