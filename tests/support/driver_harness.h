/*
 * driver_harness.h - the shared fixture of the driver tests.
 *
 * DriverHarness runs one test against the driver in the host stand-in: the virtual clock, the
 * test thread known to the scheduler, the driver loaded through the plug-and-play manager,
 * simulated recorders and desktop units plugged under it, application handles opened through
 * the device interfaces, control requests, and the captured debug output and event log. At
 * the end it closes what the test left open, removes every unit, unloads the driver and
 * expects nothing left behind (pool by tag, system threads, interfaces, device objects, IRPs).
 *
 *   class RecordDiscTest : public DriverHarness {};
 *   TEST_F(RecordDiscTest, RefusesWithoutBuffers) {
 *       Unit *unit = PlugRecorder();
 *       HANDLE h = OpenRecorder();
 *       IoctlResult r = Ioctl(h, IOCTL_RECORDER_RECORD_DISC, &block, sizeof(block), &block,
 *                             sizeof(block));
 *       EXPECT_EQ(r.Status, STATUS_...);
 *       EXPECT_TRUE(Logged("Burnkit[0]: ..."));
 *   }
 *
 * SetUp loads the driver (the real DriverEntry) unless LoadDriverInSetUp is cleared in the
 * derived fixture's constructor; a test of another driver passes its entry to LoadDriver.
 */
#pragma once

#include <gtest/gtest.h>

#include <ntddk.h>
#include <standin/io.h>
#include <standin/kernel.h>
#include <standin/pnp.h>
#include <standin/simrecorder.h>

#include <memory>
#include <string>
#include <vector>

/* Device interface classes of the driver. */
extern const GUID HarnessRecorderInterface; /* {B1181E90-B971-11D4-B763-0000C0FE1D9E} */
extern const GUID HarnessDesktopInterface;  /* {B1181E91-B971-11D4-B763-0000C0FE1D9E} */

class DriverHarness : public ::testing::Test {
public:
    /* One plugged unit: the simulated recorder, its port device (PDO) and the driver's device
     * object above it (NULL when the driver created none). */
    struct Unit {
        PSIM_RECORDER Sim = nullptr;
        PDEVICE_OBJECT Pdo = nullptr;
        PDEVICE_OBJECT Fdo = nullptr;
        NTSTATUS AddStatus = STATUS_SUCCESS;
        NTSTATUS StartStatus = STATUS_SUCCESS;
        bool Removed = false;
    };

    struct IoctlResult {
        NTSTATUS Status;
        ULONG Returned;
    };

protected:
    DriverHarness();
    ~DriverHarness() override;
    void SetUp() override;
    void TearDown() override;

    /* --- options, set in the derived fixture's constructor or at the start of a test --- */
    bool LoadDriverInSetUp = true;     /* SetUp loads the real driver */
    bool ExpectCleanUnload = true;     /* TearDown expects a clean unload report */
    bool RemoveUnitsInTearDown = true; /* TearDown removes the units still plugged */
    bool PrepareRecorders = true;      /* Ioctl sets an idle recorder up for each record-disc block
                                          (recorder_setup.h) before the driver sees it */

    /* --- driver --- */
    /* Loads a driver (NULL: the real DriverEntry); returns DriverEntry's status. */
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE Entry = nullptr);
    /* Unloads the driver now; returns whether the report was clean (report in UnloadReport). */
    bool UnloadDriver();
    PDRIVER_OBJECT Driver() const { return driver_; }
    std::string UnloadReport;

    /* --- units --- */
    /* A default simulated recorder configuration (HostSimDefaultConfig) with a disc file in the
     * test's scratch directory. */
    SIM_RECORDER_CONFIG RecorderConfig();
    SIM_RECORDER_CONFIG DesktopUnitConfig();
    /* Creates the simulated unit, offers it to the driver and (when Start) starts it. The
     * returned record lives until the fixture ends. ASSERTs that the simulated unit exists. */
    Unit *PlugRecorder(bool Start = true);
    Unit *PlugRecorder(const SIM_RECORDER_CONFIG &Config, bool Start = true);
    Unit *PlugDesktopUnit(bool Start = true);
    NTSTATUS StartUnit(Unit *U);
    /* Sends the removal request (the device object is gone afterwards). */
    NTSTATUS RemoveUnit(Unit *U);
    NTSTATUS QueryRemoveUnit(Unit *U);
    NTSTATUS SurpriseRemoveUnit(Unit *U);
    std::vector<std::unique_ptr<Unit>> &Units() { return units_; }

    /* --- application side --- */
    /* Opens the Index-th enabled recorder / desktop-unit interface; ADD_FAILURE and NULL when
     * it cannot be opened. */
    HANDLE OpenRecorder(ULONG Index = 0);
    HANDLE OpenDesktopUnit(ULONG Index = 0);
    NTSTATUS TryOpen(const GUID *Class, ULONG Index, HANDLE *Handle);
    /* Opens the recorder interface that leads to U's own device. */
    HANDLE OpenUnit(Unit *U);
    NTSTATUS Close(HANDLE Handle);
    IoctlResult Ioctl(HANDLE Handle, ULONG Code, const void *In, ULONG InLength, void *Out,
                      ULONG OutLength);
    void PrepareForRecording(HANDLE Handle, ULONG Code, const void *In, ULONG InLength);
    /* In-place request: the same buffer for input and output (as the recording tool does). */
    IoctlResult IoctlInOut(HANDLE Handle, ULONG Code, void *Buffer, ULONG Length);

    /* Application memory below 2 GiB (freed at the end of the test). */
    void *UserAlloc(size_t Size, bool Writable = true);

    /* --- time --- */
    /* Lets Milliseconds pass on the stand-in clock (a stand-in wait: other threads run). */
    void Sleep(ULONG Milliseconds);

    /* --- output --- */
    bool Logged(const char *Text) const;
    size_t LoggedCount(const char *Text) const;
    std::vector<std::string> Messages() const;
    std::string DebugLog() const;
    void ClearLog();
    /* Error-log entries written since SetUp (or ClearEvents). */
    std::vector<HOST_ERROR_LOG_ENTRY> Events() const;
    std::vector<HOST_ERROR_LOG_ENTRY> EventsWithId(NTSTATUS Id) const;
    void ClearEvents();

    /* A scratch directory for this test (mode 0755, removed at the end); mapped as drive
     * letter D:. */
    const std::string &ScratchDir() const { return scratch_; }
    /* Writes a file of Size bytes (byte i = (i * 7 + Seed) & 0xFF) into the scratch dir;
     * returns its host path. */
    std::string MakeImageFile(const char *Name, size_t Size, uint8_t Seed = 0);

private:
    HANDLE OpenOrFail(const GUID *Class, ULONG Index);
    Unit *Plug(const SIM_RECORDER_CONFIG &Config, bool Start);

    std::unique_ptr<HostThreadScope> scope_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Unit>> units_;
    std::vector<HANDLE> handles_;
    std::vector<void *> userMemory_;
    std::string scratch_;
    int discCounter_ = 0;
};
