/*
 * scsi_test.cpp - the SCSI command layer against the simulated recorder: request blocks and
 * packets by direction, data overruns, frozen queues and unexpected statuses, the outcome
 * fields, readiness polling, the cache flush and the WRITE(10) block.
 *
 * The tests call the layer directly on the functional device object of a plugged recorder.
 * Where a test must see the request packet itself or needs an outcome the recorder model does
 * not produce, a spy device is put between the driver and the recorder's port device.
 */
#include "driver_harness.h"
#include "test_support.h"

#include "writer.h"
#include "../scsi/write_cdb.h"

#include <standin/kernel.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000; /* 100-ns units per millisecond */
constexpr ULONG kScsiTag = HostPoolTag("ScUn");

/* ---- spy device between the driver and the port device ---- */

/* What the spy saw of one request packet, copied before it went on. */
struct SpyRecord {
    PIRP Irp;
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    ULONG IoControlCode;
    bool HasMdl;
    PSCSI_REQUEST_BLOCK SrbAddress;
    SCSI_REQUEST_BLOCK Srb;
    size_t SrbPoolSize;
    ULONG SrbPoolTag;
    bool SrbIsPool;
};

/* How the spy answers instead of passing a packet on (ScsiStatus and length set by the test). */
struct SpyAnswer {
    bool Active = false;
    UCHAR SrbStatus = 0;
    UCHAR ScsiStatus = 0;
    ULONG Transferred = 0;
};

struct Spy {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    PDEVICE_OBJECT Port = nullptr;
    std::vector<SpyRecord> Records;
    SpyAnswer Answer;
    bool Pend = false; /* return STATUS_PENDING; the pender thread passes the packet on */
    PIRP Pending = nullptr;
    KEVENT PendingArrived;
};

Spy *gSpy = nullptr;

NTSTATUS NTAPI SpyDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    (void)DeviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Scsi.Srb == nullptr ||
        stack->Parameters.Scsi.Srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
        /* Queue releases of the class library go straight on. */
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(gSpy->Port, Irp);
    }
    SpyRecord record;
    memset(&record, 0, sizeof(record));
    record.Irp = Irp;
    record.MajorFunction = stack->MajorFunction;
    record.MinorFunction = stack->MinorFunction;
    record.IoControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    record.HasMdl = Irp->MdlAddress != nullptr;
    record.SrbAddress = stack->Parameters.Scsi.Srb;
    if (record.SrbAddress != nullptr) {
        record.Srb = *record.SrbAddress;
        record.SrbIsPool =
            HostPoolLookup(record.SrbAddress, &record.SrbPoolSize, &record.SrbPoolTag);
    }
    gSpy->Records.push_back(record);

    if (gSpy->Answer.Active) {
        PSCSI_REQUEST_BLOCK srb = stack->Parameters.Scsi.Srb;
        srb->SrbStatus = gSpy->Answer.SrbStatus;
        srb->ScsiStatus = gSpy->Answer.ScsiStatus;
        srb->DataTransferLength = gSpy->Answer.Transferred;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = srb->DataTransferLength;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    if (gSpy->Pend) {
        IoMarkIrpPending(Irp);
        gSpy->Pending = Irp;
        KeSetEvent(&gSpy->PendingArrived, 0, FALSE);
        return STATUS_PENDING;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(gSpy->Port, Irp);
}

/* ---- fixture ---- */

class ScsiLayerTest : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        unit_ = PlugRecorder();
        ASSERT_NE(unit_->Fdo, nullptr);
        fdo_ = unit_->Fdo;
        ext_ = CdwWriterExtension(fdo_);
        prefix_ = "Burnkit[" + std::to_string(CdwDeviceNumber(fdo_)) + "]: ";
        HostSimClearLog(unit_->Sim);
        ClearLog();
        ClearEvents();
    }

    void TearDown() override {
        RemoveSpy();
        if (unit_ != nullptr) {
            EXPECT_EQ(HostSimUnreachedFaults(unit_->Sim), 0u) << "a scripted fault never fired";
        }
        HostClearAllFaults();
        HostPoolClearFailures();
        DriverHarness::TearDown();
    }

    PFUNCTIONAL_DEVICE_EXTENSION FdoExtension() const {
        return static_cast<PFUNCTIONAL_DEVICE_EXTENSION>(fdo_->DeviceExtension);
    }

    void InstallSpy() {
        ASSERT_EQ(gSpy, nullptr);
        spy_.Port = FdoExtension()->CommonExtension.LowerDeviceObject;
        spy_.Driver = HostCreateDriverObject("\\Driver\\ScsiSpy");
        ASSERT_NE(spy_.Driver, nullptr);
        spy_.Driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = SpyDispatch;
        ASSERT_EQ(
            IoCreateDevice(spy_.Driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &spy_.Device),
            STATUS_SUCCESS);
        spy_.Device->StackSize = static_cast<CCHAR>(spy_.Port->StackSize + 1);
        spy_.Device->Flags &= ~DO_DEVICE_INITIALIZING;
        KeInitializeEvent(&spy_.PendingArrived, SynchronizationEvent, FALSE);
        gSpy = &spy_;
        FdoExtension()->CommonExtension.LowerDeviceObject = spy_.Device;
    }

    void RemoveSpy() {
        if (gSpy == nullptr) {
            return;
        }
        FdoExtension()->CommonExtension.LowerDeviceObject = spy_.Port;
        IoDeleteDevice(spy_.Device);
        HostDeleteDriverObject(spy_.Driver);
        gSpy = nullptr;
    }

    std::vector<SIM_LOG_ENTRY> SimLog() const { return SimCommands(unit_->Sim); }

    SIM_RECORDER_COUNTERS Counters() const {
        SIM_RECORDER_COUNTERS counters;
        HostSimGetCounters(unit_->Sim, &counters);
        return counters;
    }

    std::string Msg(const std::string &text) const { return prefix_ + text; }

    BOOLEAN TestUnitReady() {
        UCHAR cdb[6] = {};
        return ScsiRequest(fdo_, 6, cdb, 0, nullptr, TRUE, 300);
    }

    BOOLEAN Write(ULONG Lba, USHORT Blocks, void *Data, ULONG Length) {
        UCHAR cdb[10];
        BuildWrite10Cdb(cdb, Lba, Blocks, 0);
        return ScsiRequest(fdo_, 10, cdb, Length, Data, TRUE, 300);
    }

    BOOLEAN Inquiry(void *Data, ULONG Length, UCHAR Allocation) {
        UCHAR cdb[6] = {SCSIOP_INQUIRY, 0, 0, 0, Allocation, 0};
        return ScsiRequest(fdo_, 6, cdb, Length, Data, FALSE, 30);
    }

    /* Puts recognisable values into the outcome fields. */
    void MarkOutcome() {
        ext_->Status.lastSrbStatus = 0x33;
        ext_->Status.lastScsiStatus = 0x77;
        memset(ext_->Status.senseData, 0x5A, sizeof(ext_->Status.senseData));
    }

    void ExpectOutcomeMarked() {
        EXPECT_EQ(ext_->Status.lastSrbStatus, 0x33u);
        EXPECT_EQ(ext_->Status.lastScsiStatus, 0x77u);
        for (UCHAR b : ext_->Status.senseData) {
            EXPECT_EQ(b, 0x5A);
        }
    }

    ULONG FaultSense(ULONG Command, LONG Opcode, UCHAR Key, UCHAR Asc, UCHAR Ascq,
                     ULONG Repeat = 1) {
        SIM_FAULT fault;
        HostSimInitFault(&fault, SimFaultAtCommand, SimFaultSense);
        fault.CommandNumber = Command;
        fault.Opcode = Opcode;
        fault.RepeatCount = Repeat;
        fault.SenseKey = Key;
        fault.Asc = Asc;
        fault.Ascq = Ascq;
        return HostSimAddFault(unit_->Sim, &fault);
    }

    ULONG FaultOverrun(ULONG Command, ULONG Transferred, ULONG Repeat) {
        SIM_FAULT fault;
        HostSimInitFault(&fault, SimFaultAtCommand, SimFaultDataOverrun);
        fault.CommandNumber = Command;
        fault.Opcode = SCSIOP_WRITE;
        fault.RepeatCount = Repeat;
        fault.TransferredLength = Transferred;
        return HostSimAddFault(unit_->Sim, &fault);
    }

    Unit *unit_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PWriterExtension ext_ = nullptr;
    std::string prefix_;
    Spy spy_;
    UCHAR data_[16 * 2048] = {};
};

/* ---- ScsiRequest: what goes out ---- */

TEST_F(ScsiLayerTest, RequestBlockAndPacketFollowTheDirection) {
    InstallSpy();
    UCHAR tur[6] = {};
    UCHAR inquiry[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
    UCHAR write[10];
    BuildWrite10Cdb(write, 7, 1, 0);
    UCHAR in[36] = {};

    /* No buffer: no data transfer whatever length and direction the caller passed. */
    EXPECT_TRUE(ScsiRequest(fdo_, 6, tur, 4096, nullptr, TRUE, 300));
    EXPECT_TRUE(ScsiRequest(fdo_, 10, write, 2048, data_, TRUE, 300));
    EXPECT_TRUE(ScsiRequest(fdo_, 6, inquiry, sizeof(in), in, FALSE, 17));
    ASSERT_EQ(spy_.Records.size(), 3u);

    struct Expected {
        ULONG Code;
        ULONG Flags;
        ULONG Length;
        PVOID Buffer;
        bool Mdl;
        UCHAR CdbLength;
        const UCHAR *Cdb;
        ULONG TimeOut;
    } expected[3] = {
        {0x001B0013, 0x08, 0, nullptr, false, 6, tur, 300},
        {0x001B0012, 0x88, 2048, data_, true, 10, write, 300},
        {0x001B0011, 0x48, sizeof(in), in, true, 6, inquiry, 17},
    };
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        const SpyRecord &r = spy_.Records[i];
        const Expected &e = expected[i];
        EXPECT_EQ(r.MajorFunction, 0x0F);
        EXPECT_EQ(r.MinorFunction, 1);
        EXPECT_EQ(r.IoControlCode, e.Code);
        EXPECT_EQ(r.HasMdl, e.Mdl);
        ASSERT_NE(r.SrbAddress, nullptr);
        EXPECT_TRUE(r.SrbIsPool);
        EXPECT_EQ(r.SrbPoolTag, kScsiTag);
        EXPECT_GE(r.SrbPoolSize, sizeof(SCSI_REQUEST_BLOCK));
        EXPECT_EQ(r.Srb.Length, sizeof(SCSI_REQUEST_BLOCK));
        EXPECT_EQ(r.Srb.Function, SRB_FUNCTION_EXECUTE_SCSI);
        EXPECT_EQ(r.Srb.PathId, 0);
        EXPECT_EQ(r.Srb.TargetId, 0);
        EXPECT_EQ(r.Srb.Lun, 0);
        EXPECT_EQ(r.Srb.SrbFlags, e.Flags);
        EXPECT_EQ(r.Srb.DataTransferLength, e.Length);
        EXPECT_EQ(r.Srb.DataBuffer, e.Buffer);
        EXPECT_EQ(r.Srb.TimeOutValue, e.TimeOut);
        EXPECT_EQ(r.Srb.CdbLength, e.CdbLength);
        EXPECT_EQ(memcmp(r.Srb.Cdb, e.Cdb, e.CdbLength), 0);
        /* The sense buffer is non-paged pool too: right behind the block. */
        EXPECT_EQ(r.Srb.SenseInfoBuffer, static_cast<PVOID>(reinterpret_cast<PUCHAR>(r.SrbAddress) +
                                                            sizeof(SCSI_REQUEST_BLOCK)));
        EXPECT_GE(r.SrbPoolSize, sizeof(SCSI_REQUEST_BLOCK) + 18);
        EXPECT_EQ(r.Srb.SenseInfoBufferLength, 18);
        EXPECT_EQ(r.Srb.OriginalRequest, static_cast<PVOID>(r.Irp));
        EXPECT_EQ(r.Srb.SrbStatus, 0) << "the block is zeroed before it is filled";
    }

    /* The recorder saw the same blocks, and every request block went back to the pool. */
    auto log = SimLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].SrbFlags, 0x08u);
    EXPECT_EQ(log[1].SrbFlags, 0x88u);
    EXPECT_EQ(log[2].SrbFlags, 0x48u);
    EXPECT_EQ(HostPoolCountInUse(kScsiTag), 0u);
    EXPECT_EQ(HostOutstandingIrpCount(), 0);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(ext_->Status.lastScsiStatus, 0);
}

TEST_F(ScsiLayerTest, PendingPacketIsWaitedForBeforeTheOutcomeIsRead) {
    InstallSpy();
    spy_.Pend = true;
    // Completes the pending packet 50 ms later from another thread, unless the request has
    // already returned by then (its event and block would be gone).
    KEVENT completed;
    KeInitializeEvent(&completed, NotificationEvent, FALSE);
    std::atomic<bool> returned{false};
    std::atomic<bool> completedInTime{false};
    std::thread completer([&] {
        HostThreadScope scope("completer");
        (void)KeWaitForSingleObject(&spy_.PendingArrived, Executive, KernelMode, FALSE, nullptr);
        LARGE_INTEGER delay;
        delay.QuadPart = -50 * kMs;
        (void)KeDelayExecutionThread(KernelMode, FALSE, &delay);
        if (!returned) {
            completedInTime = true;
            PIRP irp = spy_.Pending;
            IoSkipCurrentIrpStackLocation(irp);
            (void)IoCallDriver(spy_.Port, irp);
        }
        KeSetEvent(&completed, 0, FALSE);
    });
    BOOLEAN result = TestUnitReady();
    returned = true;
    LARGE_INTEGER limit;
    limit.QuadPart = -1000 * kMs;
    (void)KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, &limit);
    completer.join();

    ASSERT_TRUE(completedInTime) << "returned before the packet completed";

    EXPECT_TRUE(result);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(HostPoolCountInUse(kScsiTag), 0u);
}

/* ---- ScsiRequest: data overruns ---- */

TEST_F(ScsiLayerTest, ShortReadOverrunIsTolerated) {
    UCHAR in[96];
    /* The recorder moves 36 bytes of the 96 asked for and reports a data overrun. */
    EXPECT_TRUE(Inquiry(in, sizeof(in), 36));
    auto log = SimLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].SrbStatus & 0x3F, SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(log[0].Transferred, 36u);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_FALSE(Logged("DATA_OVERRUN"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(ScsiLayerTest, ShortWriteOverrunIsRetriedTwiceThenFails) {
    FaultOverrun(1, 1024, 3);
    EXPECT_FALSE(Write(100, 1, data_, 2048));

    auto log = SimLog();
    ASSERT_EQ(log.size(), 3u) << "three attempts in all";
    for (const auto &entry : log) {
        EXPECT_EQ(entry.Cdb[0], SCSIOP_WRITE);
    }
    EXPECT_EQ(LoggedCount(Msg("ScsiRequest - DATA_OVERRUN, Len = 0x00000800, Srb->DTLen = "
                              "0x00000400\n")
                              .c_str()),
              3u);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_DATA_OVERRUN);

    /* Logged with the full status byte, the frozen-queue bit included; the queue is free. */
    auto events = EventsWithId(MSG_UNEXPECTED_SRB_STATUS);
    ASSERT_EQ(events.size(), 1u);
    ASSERT_EQ(events[0].DumpWordCount, 2u);
    EXPECT_EQ(events[0].DumpData[0], CdwDeviceNumber(fdo_));
    EXPECT_EQ(events[0].DumpData[1], ULONG(log[2].SrbStatus));
    EXPECT_EQ(events[0].DumpData[1] & 0x3F, ULONG(SRB_STATUS_DATA_OVERRUN));
    SIM_RECORDER_COUNTERS counters = Counters();
    EXPECT_FALSE(counters.QueueFrozen);
    EXPECT_EQ(counters.QueueReleases, counters.QueueFreezes);
    EXPECT_TRUE(TestUnitReady());
}

TEST_F(ScsiLayerTest, ShortWriteOverrunThatClearsOnTheThirdAttemptSucceeds) {
    FaultOverrun(1, 512, 2);
    EXPECT_TRUE(Write(100, 1, data_, 2048));
    EXPECT_EQ(SimLog().size(), 3u);
    EXPECT_EQ(LoggedCount("DATA_OVERRUN"), 2u);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(Events().empty());
}

TEST_F(ScsiLayerTest, FullLengthOverrunCountsAsWrittenOnlyWithGoodStatus) {
    /* From the recorder: the whole length moved, SCSI status GOOD. */
    FaultOverrun(1, 2048, 1);
    EXPECT_TRUE(Write(100, 1, data_, 2048));
    EXPECT_EQ(SimLog().size(), 1u);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_SUCCESS);

    /* A write that ends in CHECK CONDITION was refused, however many bytes the port counted:
     * an overrun that is not tolerated, tried three times, then a failure. */
    InstallSpy();
    spy_.Answer = {true, SRB_STATUS_DATA_OVERRUN, 0x02, 2048};
    EXPECT_FALSE(Write(100, 1, data_, 2048));
    EXPECT_EQ(spy_.Records.size(), 3u);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(ext_->Status.lastScsiStatus, 0x02);
    EXPECT_EQ(LoggedCount(Msg("ScsiRequest - DATA_OVERRUN, Len = 0x00000800, Srb->DTLen = "
                              "0x00000800\n")
                              .c_str()),
              3u);

    /* A read that moved its whole length keeps counting, with status 4 left. */
    UCHAR in[36];
    spy_.Answer = {true, SRB_STATUS_DATA_OVERRUN, 0x02, 36};
    EXPECT_TRUE(Inquiry(in, sizeof(in), 36));
    EXPECT_EQ(spy_.Records.size(), 4u);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.lastScsiStatus, 0x02);

    /* A longer transfer than asked is no tolerated overrun, on a read either. */
    ClearEvents();
    spy_.Answer = {true, SRB_STATUS_DATA_OVERRUN, 0, 40};
    EXPECT_FALSE(Inquiry(in, sizeof(in), 36));
    EXPECT_EQ(spy_.Records.size(), 7u);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_DATA_OVERRUN);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].DumpData[1], 0x12u);
    EXPECT_TRUE(Logged(Msg("ScsiRequest - DATA_OVERRUN, Len = 0x00000024, Srb->DTLen = "
                           "0x00000028\n")
                           .c_str()));
}

/* ---- ScsiRequest: statuses, frozen queue, event log, sense ---- */

TEST_F(ScsiLayerTest, FrozenQueueIsReleasedAndOnlyUnexpectedStatusesAreLogged) {
    HostSimFaultStatusAtCommand(unit_->Sim, 1, SRB_STATUS_ERROR, TRUE);
    HostSimFaultStatusAtCommand(unit_->Sim, 2, SRB_STATUS_BUS_RESET, TRUE);
    FaultSense(3, SIM_ANY_OPCODE, SCSI_SENSE_ILLEGAL_REQUEST, 0x24, 0x00);

    /* 0x44: an error with the queue frozen. Released, not logged. */
    EXPECT_FALSE(TestUnitReady());
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_FALSE(Counters().QueueFrozen);
    EXPECT_TRUE(Events().empty());

    /* 0x4E: a bus reset with the queue frozen. Released and logged with the full byte. */
    EXPECT_FALSE(TestUnitReady());
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_FALSE(Counters().QueueFrozen);
    auto events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(static_cast<ULONG>(events[0].Packet.ErrorCode), 0x802A0004u);
    EXPECT_EQ(events[0].IoObject, static_cast<PVOID>(fdo_));
    ASSERT_EQ(events[0].DumpWordCount, 2u);
    EXPECT_EQ(events[0].DumpData[0], CdwDeviceNumber(fdo_));
    EXPECT_EQ(events[0].DumpData[1], 0x0000004Eu);

    /* CHECK CONDITION with autosense: the ordinary failure, not logged. */
    ClearEvents();
    EXPECT_FALSE(TestUnitReady());
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.lastScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(ext_->Status.senseData[12], 0x24);
    EXPECT_TRUE(Events().empty());

    /* None of them held up the next command. */
    EXPECT_TRUE(TestUnitReady());
    SIM_RECORDER_COUNTERS counters = Counters();
    EXPECT_EQ(counters.QueueFreezes, 3u);
    EXPECT_EQ(counters.QueueReleases, 3u);
    EXPECT_EQ(counters.RefusedWhileFrozen, 0u);
}

TEST_F(ScsiLayerTest, SenseOfAnEarlierCommandStaysWhenALaterOneHasNone) {
    FaultSense(1, SIM_ANY_OPCODE, SCSI_SENSE_MEDIUM_ERROR, 0x0C, 0x09);
    HostSimFaultStatusAtCommand(unit_->Sim, 2, SRB_STATUS_SELECTION_TIMEOUT, FALSE);

    EXPECT_FALSE(Write(0, 1, data_, 2048));
    UCHAR sense[18];
    memcpy(sense, ext_->Status.senseData, sizeof(sense));
    EXPECT_EQ(sense[2] & 0x0F, SCSI_SENSE_MEDIUM_ERROR);

    EXPECT_FALSE(TestUnitReady());
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_EQ(ext_->Status.lastScsiStatus, 0);
    EXPECT_EQ(memcmp(ext_->Status.senseData, sense, sizeof(sense)), 0);
}

TEST_F(ScsiLayerTest, FailureBeforeSendingLeavesTheOutcomeAndFreesTheBlock) {
    MarkOutcome();

    HostPoolFailTag(kScsiTag, 1);
    EXPECT_FALSE(TestUnitReady());
    EXPECT_TRUE(Logged(Msg("ScsiRequest - Can't allocate Srb\n").c_str()));
    ExpectOutcomeMarked();

    HOST_FAULT fault = {0, 1, 0, 0};
    HostSetFault(HostFaultIrpAllocation, &fault);
    EXPECT_FALSE(TestUnitReady());
    HostClearFault(HostFaultIrpAllocation);
    EXPECT_TRUE(Logged(Msg("ScsiRequest - Can't allocate Irp\n").c_str()));
    ExpectOutcomeMarked();
    EXPECT_EQ(HostPoolCountInUse(kScsiTag), 0u);

    /* Locking the data buffer's pages raises: the guard catches it. */
    fault = {0, 1, 0, STATUS_ACCESS_VIOLATION};
    HostSetFault(HostFaultLockPages, &fault);
    EXPECT_FALSE(Write(0, 1, data_, 2048));
    HostClearFault(HostFaultLockPages);
    EXPECT_TRUE(Logged(Msg("ScsiRequest - Exception! GetExceptionCode() = 0xC0000005\n").c_str()));
    ExpectOutcomeMarked();
    EXPECT_EQ(HostPoolCountInUse(kScsiTag), 0u);

    EXPECT_TRUE(SimLog().empty());
    EXPECT_TRUE(Events().empty());
}

/* ---- PollTestUnitReady ---- */

TEST_F(ScsiLayerTest, PollOfAReadyDriveSucceedsAtOnce) {
    LONGLONG start = HostClockNow();
    EXPECT_TRUE(PollTestUnitReady(fdo_));
    EXPECT_EQ(HostClockNow() - start, 0);
    EXPECT_TRUE(Logged(Msg("PollTestUnitReady - succeeded after 0 retries\n").c_str()));
    auto log = SimLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].CdbLength, 6);
    const UCHAR zero[6] = {};
    EXPECT_EQ(memcmp(log[0].Cdb, zero, 6), 0);
    EXPECT_EQ(log[0].SrbFlags, 0x08u);
}

TEST_F(ScsiLayerTest, PollRidesOutALongWriteWithPausesOf100Ms) {
    FaultSense(1, SCSIOP_TEST_UNIT_READY, SCSI_SENSE_NOT_READY, 0x04, 0x08, 3);
    LONGLONG start = HostClockNow();
    EXPECT_TRUE(PollTestUnitReady(fdo_));
    EXPECT_EQ(HostClockNow() - start, 300 * kMs);
    EXPECT_TRUE(Logged(Msg("PollTestUnitReady - succeeded after 3 retries\n").c_str()));
    auto log = SimLog();
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 1; i < log.size(); i++) {
        EXPECT_EQ(log[i].Time - log[i - 1].Time, 100 * kMs);
    }
}

TEST_F(ScsiLayerTest, PollGivesUpAfter5000Retries) {
    FaultSense(1, SCSIOP_TEST_UNIT_READY, SCSI_SENSE_NOT_READY, 0x04, 0x08, 5001);
    LONGLONG start = HostClockNow();
    EXPECT_FALSE(PollTestUnitReady(fdo_));
    EXPECT_EQ(HostClockNow() - start, 5000 * 100 * kMs);
    EXPECT_EQ(Counters().Commands, 5001u);
    EXPECT_TRUE(
        Logged(Msg("PollTestUnitReady - retried 5001 times on ASC 4,8 - aborting..\n").c_str()));
    EXPECT_FALSE(Logged("succeeded after"));
}

TEST_F(ScsiLayerTest, PollEndsAtOnceOnAnyOtherFailure) {
    /* Not ready, becoming ready: not the long-write condition. */
    FaultSense(1, SCSIOP_TEST_UNIT_READY, SCSI_SENSE_NOT_READY, 0x04, 0x01);
    LONGLONG start = HostClockNow();
    EXPECT_FALSE(PollTestUnitReady(fdo_));
    EXPECT_EQ(HostClockNow() - start, 0);
    EXPECT_EQ(SimLog().size(), 1u);
    EXPECT_EQ(ext_->Status.senseData[13], 0x01);

    /* Sense bytes of a long write left from before, but this failure has no sense. */
    ext_->Status.senseData[12] = 0x04;
    ext_->Status.senseData[13] = 0x08;
    HostSimFaultStatusAtCommand(unit_->Sim, 2, SRB_STATUS_BUS_RESET, TRUE);
    EXPECT_FALSE(PollTestUnitReady(fdo_));
    EXPECT_EQ(HostClockNow() - start, 0);
    EXPECT_EQ(SimLog().size(), 2u);

    /* An error whose sense the port did not fetch is judged without sense: the old 04/08
     * bytes in the record mean nothing for it, and the record keeps them for the application. */
    HostSimFaultStatusAtCommand(unit_->Sim, 3, SRB_STATUS_ERROR, TRUE);
    SCSI_OUTCOME outcome;
    EXPECT_FALSE(PollTestUnitReady(fdo_, &outcome));
    EXPECT_EQ(HostClockNow() - start, 0);
    EXPECT_EQ(SimLog().size(), 3u);
    EXPECT_EQ(outcome.srbStatus, SRB_STATUS_ERROR);
    EXPECT_FALSE(outcome.bSenseValid);
    EXPECT_EQ(outcome.senseData[12], 0);
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.senseData[13], 0x08);
    EXPECT_FALSE(Logged("PollTestUnitReady"));
}

/* ---- FlushCache ---- */

TEST_F(ScsiLayerTest, FlushIsSkippedInWriteModes1And2) {
    MarkOutcome();
    for (ULONG mode : {1u, 2u}) {
        ext_->WriteParams.writeMode = mode;
        EXPECT_TRUE(FlushCache(fdo_));
    }
    EXPECT_TRUE(SimLog().empty());
    ExpectOutcomeMarked();

    for (ULONG mode : {0u, 3u}) {
        ext_->WriteParams.writeMode = mode;
        EXPECT_TRUE(FlushCache(fdo_));
    }
    auto log = SimLog();
    ASSERT_EQ(log.size(), 2u);
    const UCHAR sync[10] = {0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(log[0].CdbLength, 10);
    EXPECT_EQ(memcmp(log[0].Cdb, sync, 10), 0);
    EXPECT_EQ(log[0].SrbFlags, 0x08u);
    EXPECT_EQ(log[0].DataLength, 0u);
}

TEST_F(ScsiLayerTest, FlushKeepsTheOutcomeOfTheFailureBeforeIt) {
    ext_->WriteParams.writeMode = 0;
    FaultSense(1, SCSIOP_WRITE, SCSI_SENSE_MEDIUM_ERROR, 0x0C, 0x09);
    HostSimFaultStatusAtCommand(unit_->Sim, 2, SRB_STATUS_BUS_RESET, TRUE);

    EXPECT_FALSE(Write(0, 1, data_, 2048));
    UCHAR sense[18];
    memcpy(sense, ext_->Status.senseData, sizeof(sense));

    /* The flush fails on its own; the write's failure is what stays. */
    EXPECT_FALSE(FlushCache(fdo_));
    EXPECT_TRUE(Logged(Msg("FlushCache failed. SrbStatus = 0x0000000E\n").c_str()));
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.lastScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(memcmp(ext_->Status.senseData, sense, sizeof(sense)), 0);

    /* A flush that succeeds after a failure also leaves the failure. */
    ClearLog();
    EXPECT_TRUE(FlushCache(fdo_));
    EXPECT_FALSE(Logged("FlushCache failed"));
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.senseData[12], 0x0C);
}

TEST_F(ScsiLayerTest, FlushAfterSuccessLeavesItsOwnFailure) {
    ext_->WriteParams.writeMode = 0;
    FaultSense(2, SCSIOP_SYNCHRONIZE_CACHE, SCSI_SENSE_ILLEGAL_REQUEST, 0x2C, 0x00);
    EXPECT_TRUE(Write(0, 1, data_, 2048));
    EXPECT_FALSE(FlushCache(fdo_));
    EXPECT_TRUE(Logged(Msg("FlushCache failed. SrbStatus = 0x00000004\n").c_str()));
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.senseData[12], 0x2C);
}

/* ---- WRITE(10) command block ---- */

/* The split of packets into commands and their data on the disc: WriteThreadTest. */
TEST_F(ScsiLayerTest, WriteCommandBlockCarriesAddressCountAndControl) {
    struct Case {
        ULONG lba;
        USHORT blocks;
        UCHAR control;
        UCHAR cdb[10];
    } cases[] = {
        {1000, 16, 0x80, {0x2A, 0, 0x00, 0x00, 0x03, 0xE8, 0, 0x00, 0x10, 0x80}},
        {1032, 8, 0x00, {0x2A, 0, 0x00, 0x00, 0x04, 0x08, 0, 0x00, 0x08, 0x00}},
        {0x12345678u, 0x0102, 0x80, {0x2A, 0, 0x12, 0x34, 0x56, 0x78, 0, 0x01, 0x02, 0x80}}};
    for (const Case &c : cases) {
        UCHAR cdb[10];
        memset(cdb, 0xEE, sizeof(cdb));
        BuildWrite10Cdb(cdb, c.lba, c.blocks, c.control);
        EXPECT_EQ(memcmp(cdb, c.cdb, 10), 0) << c.lba;
    }
}

} // namespace
