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
#include "recorder_setup.h"
#include "test_support.h"

#include "writer.h"
#include "../scsi/write_cdb.h"

#include <standin/kernel.h>

#include <string.h>

#include <algorithm>
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
    bool HasMdl;
    IO_STACK_LOCATION Stack;
    SCSI_REQUEST_BLOCK Srb;
    size_t SrbPoolSize;
    ULONG SrbPoolTag;
};

/* How the spy answers instead of passing a packet on (ScsiStatus and length set by the test). */
struct SpyAnswer {
    ULONG Count; /* packets still to answer so */
    UCHAR SrbStatus, ScsiStatus;
    ULONG Transferred;
};

struct Spy {
    PDRIVER_OBJECT Driver = nullptr;
    PDEVICE_OBJECT Device = nullptr;
    PDEVICE_OBJECT Port = nullptr;
    std::vector<SpyRecord> Records;
    SpyAnswer Answer = {};
    bool Pend = false; /* return STATUS_PENDING; the pender thread passes the packet on */
    PIRP Pending = nullptr;
    KEVENT PendingArrived;
};

Spy *gSpy = nullptr;

NTSTATUS NTAPI SpyDispatch(PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Scsi.Srb == nullptr ||
        stack->Parameters.Scsi.Srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
        /* Queue releases of the class library go straight on. */
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(gSpy->Port, Irp);
    }
    SpyRecord record = {Irp, Irp->MdlAddress != nullptr, *stack, *stack->Parameters.Scsi.Srb, 0, 0};
    (void)HostPoolLookup(stack->Parameters.Scsi.Srb, &record.SrbPoolSize, &record.SrbPoolTag);
    gSpy->Records.push_back(record);

    if (gSpy->Answer.Count > 0) {
        gSpy->Answer.Count--;
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
        HostSimClearLog(unit_->Sim);
        ClearLog();
    }

    void TearDown() override {
        RemoveSpy();
        EXPECT_EQ(HostSimUnreachedFaults(unit_->Sim), 0u) << "a scripted fault never fired";
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

    BOOLEAN Write(ULONG Lba, USHORT Blocks, void *Data, ULONG Length) {
        UCHAR cdb[10];
        BuildWrite10Cdb(cdb, Lba, Blocks, 0);
        return ScsiRequest(fdo_, 10, cdb, Length, Data, TRUE, 300);
    }

    Unit *unit_ = nullptr;
    PDEVICE_OBJECT fdo_ = nullptr;
    PWriterExtension ext_ = nullptr;
    Spy spy_;
    UCHAR data_[16 * 2048] = {};
};

/* ---- ScsiRequest ---- */

TEST_F(ScsiLayerTest, RequestBlockAndPacketFollowTheDirection) {
    InstallSpy();
    UCHAR tur[6] = {};
    UCHAR inquiry[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
    UCHAR write[10];
    BuildWrite10Cdb(write, 7, 1, 0);

    ASSERT_TRUE(PrepareRecorderForLayout(unit_->Sim, {{7, 1, 2048, 1, FALSE}}));
    /* No buffer: no data transfer whatever length and direction the caller passed. */
    EXPECT_TRUE(ScsiRequest(fdo_, 6, tur, 4096, nullptr, TRUE, 300));
    EXPECT_TRUE(ScsiRequest(fdo_, 10, write, 2048, data_, TRUE, 300));
    EXPECT_TRUE(ScsiRequest(fdo_, 6, inquiry, 36, data_ + 2048, FALSE, 17));
    ASSERT_EQ(spy_.Records.size(), 3u);

    const struct Expected {
        ULONG Code, Flags, Length;
        PVOID Buffer;
        UCHAR CdbLength;
        const UCHAR *Cdb;
        ULONG TimeOut;
    } expected[3] = {
        {0x001B0013, 0x08, 0, nullptr, 6, tur, 300},
        {0x001B0012, 0x88, 2048, data_, 10, write, 300},
        {0x001B0011, 0x48, 36, data_ + 2048, 6, inquiry, 17},
    };
    for (int i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        const SpyRecord &r = spy_.Records[i];
        const Expected &e = expected[i];
        EXPECT_EQ(r.Stack.MinorFunction, IRP_MN_SCSI_CLASS);
        EXPECT_EQ(r.Stack.Parameters.DeviceIoControl.IoControlCode, e.Code);
        EXPECT_EQ(r.HasMdl, e.Buffer != nullptr);
        EXPECT_EQ(r.SrbPoolTag, kScsiTag) << "from the pool";
        EXPECT_EQ(r.Srb.Length, sizeof(SCSI_REQUEST_BLOCK));
        EXPECT_EQ(r.Srb.PathId | r.Srb.TargetId | r.Srb.Lun, 0);
        EXPECT_EQ(r.Srb.SrbFlags, e.Flags);
        EXPECT_EQ(r.Srb.DataTransferLength, e.Length);
        EXPECT_EQ(r.Srb.DataBuffer, e.Buffer);
        EXPECT_EQ(r.Srb.TimeOutValue, e.TimeOut);
        EXPECT_EQ(r.Srb.CdbLength, e.CdbLength);
        EXPECT_EQ(memcmp(r.Srb.Cdb, e.Cdb, e.CdbLength), 0);
        /* The sense buffer is non-paged pool too: right behind the block. */
        EXPECT_EQ(r.Srb.SenseInfoBuffer, r.Stack.Parameters.Scsi.Srb + 1);
        EXPECT_GE(r.SrbPoolSize, sizeof(SCSI_REQUEST_BLOCK) + 18);
        EXPECT_EQ(r.Srb.SenseInfoBufferLength, 18);
        EXPECT_EQ(r.Srb.OriginalRequest, static_cast<PVOID>(r.Irp));
        EXPECT_EQ(r.Srb.SrbStatus, 0) << "the block is zeroed before it is filled";
    }
    EXPECT_EQ(HostPoolCountInUse(kScsiTag), 0u) << "every request block went back to the pool";
    EXPECT_EQ(HostOutstandingIrpCount(), 0);
}

TEST_F(ScsiLayerTest, PendingPacketIsWaitedForBeforeTheOutcomeIsRead) {
    InstallSpy();
    spy_.Pend = true;
    // Completes the pending packet 50 ms later from another thread, unless the request has
    // already returned by then (its event and block would be gone).
    std::atomic<bool> returned{false}, completedInTime{false};
    std::thread completer([&] {
        HostThreadScope scope("completer");
        (void)KeWaitForSingleObject(&spy_.PendingArrived, Executive, KernelMode, FALSE, nullptr);
        Sleep(50);
        if (!returned) {
            completedInTime = true;
            IoSkipCurrentIrpStackLocation(spy_.Pending);
            (void)IoCallDriver(spy_.Port, spy_.Pending);
        }
    });
    UCHAR tur[6] = {};
    const BOOLEAN result = ScsiRequest(fdo_, 6, tur, 0, nullptr, TRUE, 300);
    returned = true;
    completer.join();
    ASSERT_TRUE(completedInTime) << "returned before the packet completed";
    EXPECT_TRUE(result) << "the outcome was read before the completion";
    EXPECT_EQ(HostPoolCountInUse(kScsiTag), 0u);
}

/*
 * How ScsiRequest judges what comes back, one command per row: a frozen queue is always
 * released; the sense bytes of the first row stay while no later command returns sense; an overrun
 * counts as success when the caller has its data (a short read, or the whole length moved - for
 * data sent to the device only with status GOOD), any other overrun is tried three times; statuses
 * other than SRB_STATUS_ERROR go to the event log with the full status byte. Rows marked Spy are
 * answered by the spy in place of the recorder.
 */
TEST_F(ScsiLayerTest, StatusesAndOverrunsAreJudgedReleasedAndLogged) {
    enum Source { SimStatus, SimSense, Spy };
    const UCHAR OK = SRB_STATUS_SUCCESS, ERR = SRB_STATUS_ERROR, OVR = SRB_STATUS_DATA_OVERRUN,
                RST = SRB_STATUS_BUS_RESET, CC = SCSISTAT_CHECK_CONDITION;
    const struct Row {
        const char *what;
        Source source;
        UCHAR status, scsi;  /* the answer's SRB status (SimSense: its ASC) and SCSI status */
        ULONG moved, repeat; /* Spy: bytes moved, answers so made */
        bool write;          /* a WRITE of 2048 bytes, else an INQUIRY of 36 into Length bytes */
        ULONG length;
        BOOLEAN result;
        size_t attempts;
        UCHAR lastSrb, lastScsi;
        size_t overrunMessages;
        ULONG eventWord; /* 0: nothing logged */
    } rows[] = {
        {"check condition", SimSense, 0x24, 0, 0, 1, false, 36, FALSE, 1, ERR, CC, 0, 0},
        {"bus reset, queue frozen", SimStatus, RST, 0, 0, 1, false, 36, FALSE, 1, RST, 0, 0, 0x4E},
        {"short write", Spy, OVR, 0, 1024, 3, true, 2048, FALSE, 3, OVR, 0, 3, 0x12},
        {"short write, clears", Spy, OVR, 0, 512, 2, true, 2048, TRUE, 3, OK, 0, 2, 0},
        {"full write, GOOD", Spy, OVR, 0, 2048, 1, true, 2048, TRUE, 1, OK, 0, 0, 0},
        {"full write, CHECK", Spy, OVR, CC, 2048, 3, true, 2048, FALSE, 3, OVR, CC, 3, 0x12},
        {"full read, CHECK: status 4 left", Spy, OVR, CC, 36, 1, false, 36, TRUE, 1, ERR, CC, 0, 0},
        {"read longer than asked", Spy, OVR, 0, 40, 3, false, 36, FALSE, 3, OVR, 0, 3, 0x12},
    };
    UCHAR inquiry[6] = {SCSIOP_INQUIRY, 0, 0, 0, 36, 0};
    InstallSpy();
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const ULONG next = Counters().Commands + 1;
        if (row.source == SimStatus) {
            HostSimFaultStatusAtCommand(unit_->Sim, next, row.status, TRUE);
        } else if (row.source == SimSense) {
            HostSimFaultSenseAtCommand(unit_->Sim, next, SCSI_SENSE_ILLEGAL_REQUEST, row.status, 0);
        } else if (row.source == Spy) {
            spy_.Answer = {row.repeat, row.status, row.scsi, row.moved};
        }
        ClearLog();
        ClearEvents();
        const size_t sent = spy_.Records.size();
        UCHAR in[96];
        EXPECT_EQ(row.result, row.write ? Write(0, 1, data_, 2048)
                                        : ScsiRequest(fdo_, 6, inquiry, row.length, in, FALSE, 30));
        EXPECT_EQ(spy_.Records.size() - sent, row.attempts);
        EXPECT_EQ(ext_->Status.lastSrbStatus, row.lastSrb);
        EXPECT_EQ(ext_->Status.lastScsiStatus, row.lastScsi);
        EXPECT_EQ(ext_->Status.senseData[12], 0x24) << "sense stays until a command has new";
        char message[96];
        snprintf(message, sizeof(message),
                 "ScsiRequest - DATA_OVERRUN, Len = 0x%08X, Srb->DTLen = 0x%08X\n",
                 unsigned(row.write ? 2048 : row.length), unsigned(row.moved));
        EXPECT_EQ(LoggedCount(message), row.overrunMessages);
        EXPECT_EQ(LoggedCount("DATA_OVERRUN"), row.overrunMessages);
        auto events = Events();
        ASSERT_EQ(events.size(), row.eventWord != 0 ? 1u : 0u);
        for (const auto &event : events) {
            EXPECT_EQ(static_cast<ULONG>(event.Packet.ErrorCode), 0x802A0004u);
            ASSERT_EQ(event.DumpWordCount, 2u);
            EXPECT_EQ(event.DumpData[1], row.eventWord);
        }
        /* None of them holds up the next command. */
        SIM_RECORDER_COUNTERS counters = Counters();
        EXPECT_EQ(counters.QueueReleases, counters.QueueFreezes);
        EXPECT_EQ(counters.RefusedWhileFrozen, 0u);
    }
}

/* Locking the data buffer's pages raises before the command is sent: the guard catches it, the
 * block goes back to the pool and the record keeps the outcome before. (A request block or
 * packet that cannot be had: PassThrough.CommandThatCannotBeSentFails.) */
TEST_F(ScsiLayerTest, FailureBeforeSendingLeavesTheOutcomeAndFreesTheBlock) {
    ext_->Status.lastSrbStatus = 0x33;
    ext_->Status.lastScsiStatus = 0x77;
    memset(ext_->Status.senseData, 0x5A, sizeof(ext_->Status.senseData));
    HOST_FAULT fault = {0, 1, 0, STATUS_ACCESS_VIOLATION};
    HostSetFault(HostFaultLockPages, &fault);
    EXPECT_FALSE(Write(0, 1, data_, 2048));
    HostClearFault(HostFaultLockPages);
    EXPECT_TRUE(Logged("ScsiRequest - Exception! GetExceptionCode() = 0xC0000005\n"));
    EXPECT_EQ(ext_->Status.lastSrbStatus, 0x33u);
    EXPECT_EQ(ext_->Status.lastScsiStatus, 0x77u);
    EXPECT_EQ(ext_->Status.senseData[17], 0x5A);
    EXPECT_EQ(HostPoolCountInUse(kScsiTag), 0u);
    EXPECT_TRUE(SimLog().empty());
}

/* ---- PollTestUnitReady ---- */

TEST_F(ScsiLayerTest, PollRidesOutALongWriteWithPausesOf100MsUpTo5000Retries) {
    auto poll = [&](ULONG LongWrites, BOOLEAN Result, const char *Message) {
        SCOPED_TRACE(Message);
        HostSimClearLog(unit_->Sim);
        ClearLog();
        SIM_FAULT fault;
        HostSimInitFault(&fault, SimFaultAtCommand, SimFaultSense);
        fault.CommandNumber = Counters().Commands + 1;
        fault.RepeatCount = LongWrites;
        fault.SenseKey = SCSI_SENSE_NOT_READY;
        fault.Asc = 0x04;
        fault.Ascq = 0x08;
        HostSimAddFault(unit_->Sim, &fault);
        const LONGLONG start = HostClockNow();
        EXPECT_EQ(PollTestUnitReady(fdo_), Result);
        EXPECT_EQ(HostClockNow() - start, std::min<LONGLONG>(LongWrites, 5000) * 100 * kMs);
        EXPECT_TRUE(Logged(Message));
        EXPECT_EQ(LoggedCount("PollTestUnitReady"), 1u);
        auto log = SimLog();
        ASSERT_EQ(log.size(), LongWrites + (Result ? 1 : 0));
        EXPECT_EQ(std::vector<UCHAR>(log[0].Cdb, log[0].Cdb + log[0].CdbLength),
                  std::vector<UCHAR>(6, 0));
    };
    poll(3, TRUE, "PollTestUnitReady - succeeded after 3 retries\n");
    poll(5001, FALSE, "PollTestUnitReady - retried 5001 times on ASC 4,8 - aborting..\n");
}

TEST_F(ScsiLayerTest, PollEndsAtOnceOnAnyOtherFailure) {
    /* Not ready, becoming ready: not the long-write condition. */
    HostSimFaultSenseAtCommand(unit_->Sim, 1, SCSI_SENSE_NOT_READY, 0x04, 0x01);
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

/* The record keeps describing the failure before the flush, whether the flush fails or not;
 * after a success it shows the flush's own failure. Modes 1 and 2 need no flush: nothing is sent
 * and that counts as flushed. */
TEST_F(ScsiLayerTest, FlushKeepsTheOutcomeOfTheFailureBeforeIt) {
    ext_->WriteParams.writeMode = 0;
    HostSimFaultSenseAtCommand(unit_->Sim, 1, SCSI_SENSE_MEDIUM_ERROR, 0x0C, 0x09);
    HostSimFaultStatusAtCommand(unit_->Sim, 2, SRB_STATUS_BUS_RESET, TRUE);
    HostSimFaultSenseAtCommand(unit_->Sim, 5, SCSI_SENSE_ILLEGAL_REQUEST, 0x2C, 0x00);

    EXPECT_FALSE(Write(0, 1, data_, 2048));
    EXPECT_FALSE(FlushCache(fdo_));
    EXPECT_TRUE(Logged("FlushCache failed. SrbStatus = 0x0000000E\n"));
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.lastScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(ext_->Status.senseData[12], 0x0C);
    EXPECT_TRUE(FlushCache(fdo_));
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR) << "also when the flush succeeds";

    ext_->WriteParams.writeMode = 3;
    EXPECT_TRUE(Write(0, 1, data_, 2048));
    EXPECT_FALSE(FlushCache(fdo_));
    EXPECT_TRUE(Logged("FlushCache failed. SrbStatus = 0x00000004\n"));
    EXPECT_EQ(ext_->Status.lastSrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(ext_->Status.senseData[12], 0x2C);
    const SIM_LOG_ENTRY flush = SimLog().back();
    EXPECT_EQ(std::vector<UCHAR>(flush.Cdb, flush.Cdb + flush.CdbLength),
              (std::vector<UCHAR>{0x35, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    for (ULONG mode : {1u, 2u}) {
        ext_->WriteParams.writeMode = mode;
        const size_t sent = SimLog().size();
        EXPECT_TRUE(FlushCache(fdo_));
        EXPECT_EQ(sent, SimLog().size());
    }
}

/* The split of packets into commands and their data on the disc: WriteThreadTest. */
TEST_F(ScsiLayerTest, WriteCommandBlockCarriesAddressCountAndControl) {
    std::vector<UCHAR> cdb(10, 0xEE);
    BuildWrite10Cdb(cdb.data(), 0x12345678u, 0x0102, 0x80);
    EXPECT_EQ(cdb, (std::vector<UCHAR>{0x2A, 0, 0x12, 0x34, 0x56, 0x78, 0, 0x01, 0x02, 0x80}));
}

} // namespace
