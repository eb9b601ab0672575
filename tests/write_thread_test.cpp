/*
 * write_thread_test.cpp - the write thread driven directly on one simulated recorder.
 *
 * The test stands in for the read side: with the device's own read thread idle it marks a
 * recording in process, fills cache buffers, inserts packets into the ring under CirQueLock
 * and signals PacketReadyEvent / WriteStartEvent as the read thread does. It then judges the
 * pass by the recorder's command log, the disc's blocks, the status record, the debug output
 * and the refill event. Time runs on the stand-in's virtual clock.
 */
#include "support/driver_harness.h"
#include "support/recorder_setup.h"
#include "support/test_support.h"

#include <string.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../driver/writer.h"

namespace {

const UCHAR OP_TEST_UNIT_READY = 0x00;
const UCHAR OP_WRITE10 = 0x2A;
const UCHAR OP_SYNCHRONIZE_CACHE = 0x35;

/*
 * A filter between the driver and the recorder's port device. It counts the WRITE(10) blocks
 * that go by, and runs OnRelease once in the thread that releases a frozen queue, after the
 * release went down: the moment between a failed command's completion and its sender's
 * judgement of it.
 */
struct ReleaseHook {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    PDEVICE_OBJECT Port = nullptr;
    std::mutex Lock;
    std::function<void()> OnRelease;
    std::atomic<ULONG> Writes{0};
    KEVENT WriteArrived;
};

ReleaseHook *gHook = nullptr;

NTSTATUS NTAPI ReleaseHookDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb;
    const bool release = srb != nullptr && srb->Function == SRB_FUNCTION_RELEASE_QUEUE;
    if (srb != nullptr && srb->Function == SRB_FUNCTION_EXECUTE_SCSI && srb->Cdb[0] == 0x2A) {
        gHook->Writes++;
        (void)KeSetEvent(&gHook->WriteArrived, IO_NO_INCREMENT, FALSE);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(gHook->Port, Irp);
    if (release) {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(gHook->Lock);
            action.swap(gHook->OnRelease);
        }
        if (action) {
            action();
        }
    }
    return status;
}

/* Content of byte I of disc block Lba in blocks of BlockSize bytes. */
UCHAR PatternByte(ULONG Lba, ULONG I, ULONG BlockSize) {
    return static_cast<UCHAR>(Lba * 31 + I * 7 + BlockSize + (I >> 8));
}

class WriteThreadTest : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        unit = PlugRecorder();
        ASSERT_NE(nullptr, unit->Fdo);
        sim = unit->Sim;
        ext = CdwWriterExtension(unit->Fdo);
        handle = OpenRecorder();
        ASSERT_NE(nullptr, handle);
        ASSERT_EQ(STATUS_SUCCESS, AllocateCache(handle, 16));
    }

    void TearDown() override {
        RemoveHook();
        EXPECT_EQ(0u, HostSimUnreachedFaults(sim));
        DriverHarness::TearDown();
    }

    PFUNCTIONAL_DEVICE_EXTENSION FdoExtension() const {
        return static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(unit->Fdo->DeviceExtension);
    }

    void InstallHook() {
        ASSERT_EQ(nullptr, gHook);
        hook.Port = FdoExtension()->CommonExtension.LowerDeviceObject;
        hook.Driver = HostCreateDriverObject("\\Driver\\ReleaseHook");
        ASSERT_NE(nullptr, hook.Driver);
        hook.Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ReleaseHookDispatch;
        ASSERT_EQ(STATUS_SUCCESS, IoCreateDevice(hook.Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                 FALSE, &hook.Device));
        hook.Device->StackSize = static_cast<CCHAR>(hook.Port->StackSize + 1);
        hook.Device->Flags &= ~DO_DEVICE_INITIALIZING;
        KeInitializeEvent(&hook.WriteArrived, SynchronizationEvent, FALSE);
        gHook = &hook;
        FdoExtension()->CommonExtension.LowerDeviceObject = hook.Device;
    }

    void RemoveHook() {
        if (gHook == nullptr) {
            return;
        }
        FdoExtension()->CommonExtension.LowerDeviceObject = hook.Port;
        IoDeleteDevice(hook.Device);
        HostDeleteDriverObject(hook.Driver);
        gHook = nullptr;
    }

    void OnNextRelease(std::function<void()> Action) {
        std::lock_guard<std::mutex> guard(hook.Lock);
        hook.OnRelease = std::move(Action);
    }

    /* An INQUIRY pass-through of 36 bytes into Data, as an application sends it. */
    SCSI_PASS_THROUGH_REQUEST PassThroughInquiry(UCHAR *Data) {
        SCSI_PASS_THROUGH_REQUEST block = {};
        block.Cdb[0] = 0x12;
        block.Cdb[4] = 36;
        block.CdbLength = 6;
        block.TimeOut = 10;
        block.DataTransferLength = 36;
        block.DataBuffer = HostUserAddress(Data);
        block.SenseInfoLength = 18;
        IoctlResult r =
            IoctlInOut(handle, IOCTL_RECORDER_EXEC_SCSI_OPERATION, &block, sizeof(block));
        EXPECT_EQ(STATUS_SUCCESS, r.Status);
        return block;
    }

    /* Per-device message text. */
    /* The recorder is device 0. */
    bool LoggedMsg(const std::string &Text) { return Logged(("Burnkit[0]: " + Text).c_str()); }

    /* What a record-disc request and the read thread leave before the first packet. */
    void Begin(ULONG WriteMode, ULONG StartBlocks = 0) {
        ext->WriteParams.writeMode = WriteMode;
        ext->WriteParams.blockSize = 2048;
        ext->WriteParams.bAbort = FALSE;
        ext->WriteParams.bChecksumOnly = FALSE;
        ext->recordFlags = 0;
        ext->refillThreshold = 0; /* no refill requests: the event shows the ending's signal */
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            ext->Status.bCancel = FALSE;
            ext->Status.blocksWritten = StartBlocks;
            ext->Status.packetsQueued = 0;
            ext->Status.buffersOrChecksum = ext->numCacheBuffers;
            ext->Status.recordingStatus = RECSTAT_IN_PROCESS;
        }
        {
            CdwSpinLockGuard guard(&ext->CirQueLock);
            CirQueReset(&ext->CirQue);
        }
        KeClearEvent(&ext->CirQueRefillEvent);
        KeClearEvent(&ext->PacketReadyEvent);
        HostSimClearLog(sim);
        ClearLog();
        layout.clear();
        prepared = started = false;
    }

    /* Inserts a packet as the read thread does; false when the ring is full. */
    bool Insert(ULONG Action, ULONG Address, ULONG Blocks, bool Last, ULONG BlockSize) {
        ULONG slot;
        {
            CdwSpinLockGuard guard(&ext->CirQueLock);
            if (CirQueIsFull(&ext->CirQue)) {
                return false;
            }
            slot = ext->CirQue.tail;
        }
        RING_PACKET packet = {Action, Address, Blocks, BOOLEAN(Last), ext->cacheBuffers[slot]};
        if (Action == PACKET_ACTION_WRITE && !prepared) {
            AddLayoutBlocks(layout, (LONG)Address, Blocks, BlockSize);
            prepared = started && PrepareRecorderForLayout(sim, layout, true);
        }
        for (ULONG i = 0; Action == PACKET_ACTION_WRITE && i < Blocks * BlockSize; i++) {
            packet.buffer[i] = PatternByte(Address + i / BlockSize, i % BlockSize, BlockSize);
        }
        {
            CdwSpinLockGuard guard(&ext->CirQueLock);
            EXPECT_TRUE(CirQueInsertPacket(&ext->CirQue, &packet));
        }
        (void)KeSetEvent(&ext->PacketReadyEvent, IO_NO_INCREMENT, FALSE);
        return true;
    }

    void QueueWrite(ULONG Address, ULONG Blocks, bool Last = false, ULONG BlockSize = 2048) {
        ASSERT_TRUE(Insert(PACKET_ACTION_WRITE, Address, Blocks, Last, BlockSize));
    }

    /* The application sets the recorder up for the packets queued so far (the last track
       running on), then the pass starts. */
    void StartPass() {
        started = true;
        prepared = !layout.empty() && PrepareRecorderForLayout(sim, layout, true);
        (void)KeSetEvent(&ext->WriteStartEvent, IO_NO_INCREMENT, FALSE);
    }

    RECORDING_STATUS Snapshot() {
        CdwSpinLockGuard guard(&ext->StatusLock);
        return ext->Status;
    }

    /* The pass flag, read the way the driver reads it: under StatusLock. */
    bool WriteRunning() {
        CdwSpinLockGuard guard(&ext->StatusLock);
        return ext->bWriteThreadProcRunning != FALSE;
    }

    /* Polls on the stand-in clock; false when Predicate stays false for MaxSeconds. */
    bool WaitUntil(const std::function<bool()> &Predicate, ULONG MaxSeconds = 900) {
        const LONGLONG end = HostClockNow() + LONGLONG(MaxSeconds) * 10000000LL;
        while (!Predicate() && HostClockNow() <= end) {
            Sleep(50);
        }
        return Predicate();
    }

    void WaitPassEnd() {
        ASSERT_TRUE(WaitUntil([&] {
            return Snapshot().recordingStatus != RECSTAT_IN_PROCESS && !WriteRunning();
        })) << HostSchedulerReport();
    }

    /* A pass that is running and blocked waiting for a packet (the clock only moves then). */
    void WaitPassIdle() {
        ASSERT_TRUE(WaitUntil([&] { return WriteRunning(); }));
        Sleep(1000);
    }

    std::vector<SIM_LOG_ENTRY> Commands() { return SimCommands(sim); }
    std::vector<SIM_LOG_ENTRY> Commands(UCHAR Opcode) { return SimCommands(sim, Opcode); }

    std::vector<UCHAR> Opcodes() {
        std::vector<UCHAR> ops;
        for (const SIM_LOG_ENTRY &entry : Commands()) {
            ops.push_back(entry.Cdb[0]);
        }
        return ops;
    }

    bool RefillSignalled() { return KeReadStateEvent(&ext->CirQueRefillEvent) != 0; }

    /* The application's cancel, through the status request. */
    void Cancel() { (void)QueryRecordingStatus(handle, true); }

    /* Expects blocks [First, First+Count) on the disc with the test pattern. */
    void ExpectDiscBlocks(ULONG First, ULONG Count, ULONG BlockSize) {
        std::vector<UCHAR> block(SIM_MAX_BLOCK_SIZE);
        for (ULONG lba = First; lba < First + Count; lba++) {
            ASSERT_EQ(BlockSize, HostSimReadBlock(sim, lba, block.data(), ULONG(block.size())));
            for (ULONG i = 0; i < BlockSize; i++) {
                ASSERT_EQ(PatternByte(lba, i, BlockSize), block[i]) << lba << "/" << i;
            }
        }
    }

    /* An SRB status without sense on the WRITE of block Lba. */
    void StatusAtBlock(ULONG Lba, UCHAR Srb) {
        const SIM_FAULT fault = {
            SimFaultAtBlock, 0, Lba, SIM_ANY_OPCODE, 1, SimFaultSrbStatus, 0, 0, 0, Srb, 0, FALSE};
        HostSimAddFault(sim, &fault);
    }

    ULONG NextCommand() {
        SIM_RECORDER_COUNTERS counters;
        HostSimGetCounters(sim, &counters);
        return counters.Commands + 1;
    }

    Unit *unit = nullptr;
    std::vector<SIM_LAYOUT_SEGMENT> layout; /* the written packets queued before the pass */
    bool prepared = false;
    bool started = false;
    PSIM_RECORDER sim = nullptr;
    PWriterExtension ext = nullptr;
    HANDLE handle = nullptr;
    ReleaseHook hook;
};

} // namespace

/* Packets go out in WRITE(10) commands of at most 16 blocks straight from their buffers; the
 * streaming modes (1 and 2) mark every command but the recording's very last with control
 * byte 0x80 and flush nothing; a pass that completes neither flushes nor wakes the read side,
 * and the thread runs the next pass afresh. */
TEST_F(WriteThreadTest, SplitsPacketsIntoCommandsAndCountsProgressInEveryMode) {
    for (ULONG mode : {1u, 2u, 3u, 0u}) {
        SCOPED_TRACE(mode);
        const bool streaming = (mode == 1 || mode == 2);
        Begin(mode, 500);
        QueueWrite(990, 10);
        QueueWrite(1000, 40, true);
        StartPass();
        WaitPassEnd();

        const ULONG want[][3] = {{990, 10, 0x80}, {1000, 16, 0x80}, {1016, 16, 0x80}, {1032, 8, 0}};
        std::vector<SIM_LOG_ENTRY> writes = Commands(OP_WRITE10);
        ASSERT_EQ(4u, writes.size());
        EXPECT_EQ(4u, Commands().size()) << "completion sends no flush";
        for (size_t i = 0; i < writes.size(); i++) {
            EXPECT_EQ(want[i][0], CdbLba(writes[i])) << i;
            EXPECT_EQ(want[i][1], CdbBlocks(writes[i])) << i;
            EXPECT_EQ(want[i][1] * 2048, writes[i].DataLength) << i;
            EXPECT_EQ(streaming ? want[i][2] : 0, writes[i].Cdb[9]) << i;
        }
        ExpectDiscBlocks(990, 50, 2048);
        RECORDING_STATUS status = Snapshot();
        EXPECT_EQ(RECSTAT_COMPLETE, status.recordingStatus);
        EXPECT_EQ(510u, status.blocksWritten) << "the last packet's blocks are not counted";
        EXPECT_EQ(2u, status.packetsQueued);
        EXPECT_EQ(16u, status.buffersOrChecksum);
        EXPECT_FALSE(RefillSignalled()) << "completion does not wake the read side";
        EXPECT_EQ(STATUS_SUCCESS, AllocateCache(handle, 16)) << "buffers free once a pass ended";

        /* An ending that flushes: streaming modes send no SYNCHRONIZE CACHE at all. */
        Begin(mode);
        QueueWrite(0, 4, true);
        Cancel();
        StartPass();
        WaitPassEnd();
        EXPECT_EQ(RECSTAT_ABORTED, Snapshot().recordingStatus);
        EXPECT_EQ(streaming ? 0u : 1u, Commands(OP_SYNCHRONIZE_CACHE).size());
        EXPECT_EQ(streaming ? 0u : 1u, Commands().size());
    }
}

/* Every way a pass ends but completion: its status, the commands (the flush last), its message
 * and whether the read side is woken. */
TEST_F(WriteThreadTest, EndingsFlushSetTheirStatusAndWakeTheReadSideAsDue) {
    auto expectEnding = [&](ULONG Status, std::vector<UCHAR> Ops, const char *Message,
                            bool Refill) {
        WaitPassEnd();
        RECORDING_STATUS status = Snapshot();
        EXPECT_EQ(Status, status.recordingStatus);
        EXPECT_EQ(Ops, Opcodes());
        /* Every packet is of 4 blocks and every one written counts. */
        EXPECT_EQ(4u * (Ops.size() - 1), status.blocksWritten);
        EXPECT_TRUE(LoggedMsg("WriteThreadProc - " + std::string(Message) + ", terminating\n"));
        EXPECT_EQ(Refill, RefillSignalled());
        EXPECT_EQ(Status == RECSTAT_PACKET_TIMEOUT, Logged("CirQue empty"));
        EXPECT_EQ(STATUS_SUCCESS, AllocateCache(handle, 16)) << "buffers free once a pass ended";
    };
    Begin(0);
    QueueWrite(0, 4);
    ASSERT_TRUE(Insert(2, 0, 0, false, 0)); /* no such action */
    QueueWrite(4, 4, true);
    StartPass();
    expectEnding(RECSTAT_INVALID_PACKET, {OP_WRITE10, OP_SYNCHRONIZE_CACHE}, "invalid action",
                 true);

    /* PacketReadyEvent without a packet behind it. */
    Begin(0);
    StartPass();
    WaitPassIdle();
    (void)KeSetEvent(&ext->PacketReadyEvent, IO_NO_INCREMENT, FALSE);
    expectEnding(RECSTAT_QUEUE_ERROR, {OP_SYNCHRONIZE_CACHE}, "CirQueGetNextPacket failed", true);

    /* 30 s without a packet after the first. */
    Begin(0);
    QueueWrite(0, 4);
    const LONGLONG start = HostClockNow();
    StartPass();
    ASSERT_TRUE(WaitUntil([&] { return Commands(OP_WRITE10).size() == 1; }));
    Sleep(29000);
    EXPECT_EQ(RECSTAT_IN_PROCESS, Snapshot().recordingStatus);
    EXPECT_TRUE(WriteRunning());
    expectEnding(RECSTAT_PACKET_TIMEOUT, {OP_WRITE10, OP_SYNCHRONIZE_CACHE}, "CirQue empty", true);
    EXPECT_GE(HostClockNow() - start, 300000000LL);

    /* Set while the pass waits for a packet: seen at the wait's time-out, ABORTED unless the
     * read side has already set its own ending. */
    for (ULONG readSide : {RECSTAT_IN_PROCESS, RECSTAT_READ_FAILED}) {
        Begin(0);
        QueueWrite(0, 4);
        StartPass();
        ASSERT_TRUE(WaitUntil([&] { return Commands(OP_WRITE10).size() == 1; }));
        Sleep(1000);
        KIRQL irql;
        KeAcquireSpinLock(&ext->StatusLock, &irql);
        ext->WriteParams.bAbort = TRUE;
        ext->Status.recordingStatus = readSide;
        KeReleaseSpinLock(&ext->StatusLock, irql);
        expectEnding(readSide == RECSTAT_IN_PROCESS ? RECSTAT_ABORTED : readSide,
                     {OP_WRITE10, OP_SYNCHRONIZE_CACHE}, "WriteParams.bAbort set", false);
    }

    /* Set before the pass looks at a packet: nothing is written. */
    Begin(0);
    QueueWrite(0, 4);
    QueueWrite(4, 4, true);
    ext->WriteParams.bAbort = TRUE; /* the pass has not started: no lock needed */
    StartPass();
    expectEnding(RECSTAT_ABORTED, {OP_SYNCHRONIZE_CACHE}, "WriteParams.bAbort set", false);
}

/* A long write, a reset condition or a bus reset on a WRITE: the readiness poll, then the same
 * command again; more than 100 re-sends are reported, every one but the first after 100 ms. */
TEST_F(WriteThreadTest, LongWriteResetAndBusResetAreRetriedAfterPolling) {
    const struct Case {
        UCHAR key, asc, ascq, srb; /* sense, or with key 0 an SRB status */
        ULONG repeat;
        const char *message;
    } cases[] = {
        {0x02, 0x04, 0x08, 0, 1, "ASC = 04,08 on write command - calling PollTestUnitReady\n"},
        {0x06, 0x29, 0x02, 0, 1, "ASC = 29,02 on write command - calling PollTestUnitReady\n"},
        {0, 0, 0, 0x0E, 1, "SrbStatus = 0x0e (Bus Reset) on write command - calling Poll"},
        {0x02, 0x04, 0x08, 0, 101, "Retried write request for block 1016 101 times\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        Begin(0);
        c.key != 0 ? (void)HostSimFaultSenseAtBlock(sim, 1016, c.key, c.asc, c.ascq, c.repeat)
                   : StatusAtBlock(1016, c.srb);
        QueueWrite(1000, 40, true);
        const LONGLONG start = HostClockNow();
        StartPass();
        WaitPassEnd();
        const LONGLONG elapsed = HostClockNow() - start;
        EXPECT_GE(elapsed, (c.repeat - 1) * 1000000LL) << "pauses of 100 ms";
        EXPECT_LT(elapsed, c.repeat * 1000000LL);
        EXPECT_EQ(0u, HostSimUnreachedFaults(sim));
        EXPECT_EQ(RECSTAT_COMPLETE, Snapshot().recordingStatus);
        std::vector<UCHAR> ops = Opcodes();
        ASSERT_EQ(2 * c.repeat + 3, ops.size());
        EXPECT_EQ(OP_TEST_UNIT_READY, ops[2]);
        EXPECT_EQ(OP_TEST_UNIT_READY, ops[ops.size() - 3]);
        std::vector<SIM_LOG_ENTRY> writes = Commands(OP_WRITE10);
        EXPECT_EQ(0, memcmp(writes[1].Cdb, writes[2].Cdb, 10)) << "the same command again";
        EXPECT_EQ(1032u, CdbLba(writes.back()));
        EXPECT_TRUE(LoggedMsg("WriteThreadProc - " + std::string(c.message)));
        EXPECT_EQ(c.repeat > 100, Logged("Retried write request"));
        ExpectDiscBlocks(1000, 40, 2048);
        HostSimClearFaults(sim);
    }
}

TEST_F(WriteThreadTest, WriteFailureKeepsTheCommandAndItsSense) {
    Begin(0, 100);
    QueueWrite(990, 10);
    HostSimFaultSenseAtBlock(sim, 1016, 0x03, 0x0C, 0x00, 1);
    QueueWrite(1000, 40, true);
    StartPass();
    WaitPassEnd();
    EXPECT_EQ((std::vector<UCHAR>{OP_WRITE10, OP_WRITE10, OP_WRITE10, OP_SYNCHRONIZE_CACHE}),
              Opcodes())
        << "no poll, no further write, then the flush";
    RECORDING_STATUS status = Snapshot();
    EXPECT_EQ(RECSTAT_WRITE_FAILED, status.recordingStatus);
    const UCHAR failed[16] = {0x2A, 0, 0x00, 0x00, 0x03, 0xF8, 0, 0x00, 0x10, 0x00};
    EXPECT_EQ(0, memcmp(failed, status.failedCdb, 16));
    EXPECT_EQ(4u, status.lastSrbStatus) << "the flush keeps the write's outcome";
    EXPECT_EQ(2, status.lastScsiStatus);
    EXPECT_EQ(0x03, status.senseData[2] & 0x0F);
    EXPECT_EQ(0x0C, status.senseData[12]);
    EXPECT_EQ(110u, status.blocksWritten) << "only the packet written in full counts";
    EXPECT_TRUE(LoggedMsg("WriteThreadProc - ScsiRequest failed, SrbStatus = 0x4, ScsiStatus = "
                          "0x2, ASC = 0xC, ASCQ = 0x0, terminating\n"));
    EXPECT_TRUE(LoggedMsg("Cdb: 2A 00 00 00 03 F8 00 00 10 00\n"));
    EXPECT_TRUE(RefillSignalled());

    /* A long write whose readiness poll then fails ends the same way. */
    Begin(0);
    HostSimFaultSenseAtBlock(sim, 50, 0x02, 0x04, 0x08, 1);
    HostSimFaultSenseAtCommand(sim, NextCommand() + 1, 0x02, 0x04, 0x01);
    QueueWrite(50, 2, true);
    StartPass();
    WaitPassEnd();
    EXPECT_EQ((std::vector<UCHAR>{OP_WRITE10, OP_TEST_UNIT_READY, OP_SYNCHRONIZE_CACHE}),
              Opcodes());
    status = Snapshot();
    EXPECT_EQ(RECSTAT_WRITE_FAILED, status.recordingStatus);
    const UCHAR failed50[16] = {0x2A, 0, 0, 0, 0, 50, 0, 0, 2, 0};
    EXPECT_EQ(0, memcmp(failed50, status.failedCdb, 16));

    /* An error whose sense the port did not fetch: the long-write sense the record still shows
     * from before is not this write's, so there is no poll and no re-send. */
    Begin(0);
    StatusAtBlock(60, 0x04);
    {
        CdwSpinLockGuard guard(&ext->StatusLock);
        ext->Status.senseData[12] = 0x04;
        ext->Status.senseData[13] = 0x08;
    }
    QueueWrite(60, 2, true);
    StartPass();
    WaitPassEnd();
    EXPECT_EQ(RECSTAT_WRITE_FAILED, Snapshot().recordingStatus);
    EXPECT_EQ((std::vector<UCHAR>{OP_WRITE10, OP_SYNCHRONIZE_CACHE}), Opcodes());
}

/* Each command is judged by its own outcome, although both senders' commands publish theirs in
 * the one status record: a pass-through that completes between the write thread's failed WRITE
 * and its judgement changes nothing, and a pass-through's reply is its own command's even when
 * WRITEs complete meanwhile. */
TEST_F(WriteThreadTest, EachSenderJudgesItsOwnCommand) {
    InstallHook();
    UCHAR *data = static_cast<UCHAR *>(UserAlloc(36));

    /* The WRITE of blocks 16-31 meets a long write; an INQUIRY succeeds before it is judged. */
    Begin(0);
    ULONG writeFault = HostSimFaultSenseAtBlock(sim, 16, 0x02, 0x04, 0x08, 1);
    SCSI_PASS_THROUGH_REQUEST inquiry;
    KEVENT ready, go, done;
    KeInitializeEvent(&ready, NotificationEvent, FALSE);
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    std::thread application([&] {
        HostThreadScope scope("application");
        (void)KeSetEvent(&ready, IO_NO_INCREMENT, FALSE);
        (void)KeWaitForSingleObject(&go, Executive, UserMode, FALSE, nullptr);
        inquiry = PassThroughInquiry(data);
        (void)KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
    });
    (void)KeWaitForSingleObject(&ready, Executive, UserMode, FALSE, nullptr);
    OnNextRelease([&] {
        (void)KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
        (void)KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    });
    QueueWrite(0, 32, true);
    StartPass();
    WaitPassEnd();
    (void)KeSetEvent(&go, IO_NO_INCREMENT, FALSE); /* had the hook never run */
    application.join();
    EXPECT_EQ(1u, HostSimFaultFired(sim, writeFault));
    EXPECT_EQ(RECSTAT_COMPLETE, Snapshot().recordingStatus) << DebugLog();
    EXPECT_EQ((std::vector<UCHAR>{OP_WRITE10, OP_WRITE10, 0x12, OP_TEST_UNIT_READY, OP_WRITE10}),
              Opcodes());
    EXPECT_EQ(SRB_STATUS_SUCCESS, inquiry.SrbStatus);
    EXPECT_EQ(0, inquiry.ScsiStatus);
    ExpectDiscBlocks(0, 32, 2048);

    /* An INQUIRY that the recorder refuses; two WRITEs complete before its reply is made. */
    Begin(0);
    ULONG inquiryFault = HostSimFaultSenseAtCommand(sim, NextCommand(), 0x05, 0x24, 0x00);
    OnNextRelease([&] {
        const ULONG writes = hook.Writes + 2;
        QueueWrite(100, 32, true);
        StartPass();
        while (hook.Writes < writes) {
            LARGE_INTEGER limit;
            limit.QuadPart = -10 * 10000000LL;
            ASSERT_EQ(STATUS_SUCCESS, KeWaitForSingleObject(&hook.WriteArrived, Executive,
                                                            KernelMode, FALSE, &limit));
        }
    });
    inquiry = PassThroughInquiry(data);
    EXPECT_EQ(1u, HostSimFaultFired(sim, inquiryFault));
    EXPECT_EQ(SRB_STATUS_ERROR, inquiry.SrbStatus);
    EXPECT_EQ(SCSISTAT_CHECK_CONDITION, inquiry.ScsiStatus);
    EXPECT_EQ(0x05, inquiry.SenseInfo[2] & 0x0F);
    EXPECT_EQ(0x24, inquiry.SenseInfo[12]);
    WaitPassEnd();
    EXPECT_EQ(RECSTAT_COMPLETE, Snapshot().recordingStatus);
    EXPECT_EQ((std::vector<UCHAR>{0x12, OP_WRITE10, OP_WRITE10}), Opcodes());
}

/* A recorder that refuses every WRITE with a reset condition but answers TEST UNIT READY with
 * GOOD: the command is re-sent after pauses of 100 ms, 5000 times at most, and not at all
 * once the recording is cancelled. */
TEST_F(WriteThreadTest, RefusedWriteIsResentWithPausesUpToALimit) {
    Begin(0);
    ULONG id = HostSimFaultSenseAtBlock(sim, 0, 0x06, 0x29, 0x00, 5001);
    QueueWrite(0, 4, true);
    LONGLONG start = HostClockNow();
    StartPass();
    WaitPassEnd();
    const LONGLONG elapsed = HostClockNow() - start;
    EXPECT_EQ(5001u, HostSimFaultFired(sim, id));
    EXPECT_EQ(5001u, Commands(OP_WRITE10).size());
    EXPECT_EQ(5000u, Commands(OP_TEST_UNIT_READY).size());
    EXPECT_GE(elapsed, 4999 * 1000000LL) << "a pause before every re-send but the first";
    EXPECT_LT(elapsed, 5000 * 1000000LL);
    RECORDING_STATUS status = Snapshot();
    EXPECT_EQ(RECSTAT_WRITE_FAILED, status.recordingStatus);
    const UCHAR failed[16] = {0x2A, 0, 0, 0, 0, 0, 0, 0, 4, 0};
    EXPECT_EQ(0, memcmp(failed, status.failedCdb, 16));
    EXPECT_EQ(4u, status.lastSrbStatus) << "the write's own failure, not the poll's success";
    EXPECT_EQ(0x29, status.senseData[12]);
    EXPECT_TRUE(
        LoggedMsg("WriteThreadProc - write request for block 0 re-sent 5000 times - giving up\n"));
    EXPECT_TRUE(LoggedMsg("WriteThreadProc - ScsiRequest failed, SrbStatus = 0x4, ScsiStatus = "
                          "0x2, ASC = 0x29, ASCQ = 0x0, terminating\n"));
    EXPECT_TRUE(RefillSignalled());

    /* Cancelled while it re-sends: the pass ends within a pause, as a cancel ends it. */
    Begin(0);
    id = HostSimFaultSenseAtBlock(sim, 0, 0x06, 0x29, 0x00, 20000);
    QueueWrite(0, 4, true);
    StartPass();
    ASSERT_TRUE(WaitUntil([&] { return Commands(OP_WRITE10).size() >= 10; }));
    const LONGLONG cancelled = HostClockNow();
    Cancel();
    WaitPassEnd();
    EXPECT_LE(HostClockNow() - cancelled, 1000000LL);
    EXPECT_EQ(RECSTAT_ABORTED, Snapshot().recordingStatus);
    EXPECT_EQ(OP_SYNCHRONIZE_CACHE, Opcodes().back());
    EXPECT_LT(HostSimFaultFired(sim, id), 20u);
    EXPECT_FALSE(Logged("ScsiRequest failed"));
    EXPECT_TRUE(RefillSignalled());
    HostSimClearFaults(sim);
}

TEST_F(WriteThreadTest, RefillIsRequestedOnceFewerPacketsThanTheThresholdWaitBehind) {
    /* The ring count is taken with the packet in hand; what waits behind it is one less. A
       threshold of 1 (10% of 16 buffers) asks for a refill when the ring runs empty. */
    struct Case {
        ULONG threshold;
        ULONG packets; /* queued before the pass looks, none of them the last */
        bool refill;   /* signalled once the pass has taken them all */
    } cases[] = {{0, 3, false}, {1, 3, true}, {1, 1, true}, {3, 3, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.threshold << " / " << c.packets);
        Begin(0);
        ext->refillThreshold = c.threshold;
        for (ULONG p = 0; p < c.packets; p++) {
            QueueWrite(p, 1);
        }
        StartPass();
        ASSERT_TRUE(WaitUntil([&] { return Commands(OP_WRITE10).size() == c.packets; }));
        WaitPassIdle();
        EXPECT_EQ(c.refill, RefillSignalled());
        EXPECT_EQ(RECSTAT_IN_PROCESS, Snapshot().recordingStatus);
        KeClearEvent(&ext->CirQueRefillEvent);
        QueueWrite(c.packets, 1, true);
        WaitPassEnd();
        EXPECT_EQ(RECSTAT_COMPLETE, Snapshot().recordingStatus);
    }
}
