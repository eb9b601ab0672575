/*
 * passthrough_test.cpp - the SCSI pass-through request: commands with and without data in
 * both directions, failures at the device with their sense data, malformed blocks, and
 * application buffers that the application does not own.
 */
#include "support/driver_harness.h"
#include "support/recorder_setup.h"

#include <string.h>

#include <vector>

#include "../driver/writer.h"

namespace {

class PassThrough : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        unit = PlugRecorder();
        ASSERT_NE(nullptr, unit->Fdo);
        handle = OpenRecorder();
    }

    static SCSI_PASS_THROUGH_REQUEST Block(std::initializer_list<UCHAR> Cdb, ULONG Length = 0,
                                           void *Data = nullptr, bool DataOut = false,
                                           UCHAR SenseLength = 18) {
        SCSI_PASS_THROUGH_REQUEST block;
        memset(&block, 0xAA, sizeof(block));
        memset(block.Cdb, 0, sizeof(block.Cdb));
        UCHAR i = 0;
        for (UCHAR byte : Cdb) {
            block.Cdb[i++] = byte;
        }
        block.CdbLength = i;
        block.bDataOut = DataOut ? 1 : 0;
        block.TimeOut = 20;
        block.DataTransferLength = Length;
        block.DataBuffer = Data != nullptr ? HostUserAddress(Data) : 0;
        block.SenseInfoLength = SenseLength;
        return block;
    }

    IoctlResult Send(SCSI_PASS_THROUGH_REQUEST &Block, ULONG InLength = 60, ULONG OutLength = 60) {
        return IoctlInOutSized(&Block, InLength, OutLength);
    }

    IoctlResult IoctlInOutSized(void *Buffer, ULONG InLength, ULONG OutLength) {
        return Ioctl(handle, IOCTL_RECORDER_EXEC_SCSI_OPERATION, Buffer, InLength, Buffer,
                     OutLength);
    }

    ULONG Commands() {
        SIM_RECORDER_COUNTERS counters;
        HostSimGetCounters(unit->Sim, &counters);
        return counters.Commands;
    }

    SIM_LOG_ENTRY LastCommand() {
        SIM_LOG_ENTRY entry;
        memset(&entry, 0, sizeof(entry));
        ULONG count = HostSimLogCount(unit->Sim);
        EXPECT_GT(count, 0u);
        if (count > 0) {
            EXPECT_TRUE(HostSimLogEntry(unit->Sim, count - 1, &entry));
        }
        return entry;
    }

    static const UCHAR *Sense(const SCSI_PASS_THROUGH_REQUEST &Block) { return Block.SenseInfo; }

    Unit *unit = nullptr;
    HANDLE handle = nullptr;
};

const std::initializer_list<UCHAR> TestUnitReady = {0x00, 0, 0, 0, 0, 0};

std::vector<UCHAR> Cdb10(UCHAR Opcode, ULONG Lba, USHORT Blocks) {
    return {Opcode,     0, (UCHAR)(Lba >> 24),   (UCHAR)(Lba >> 16), (UCHAR)(Lba >> 8),
            (UCHAR)Lba, 0, (UCHAR)(Blocks >> 8), (UCHAR)Blocks,      0};
}

void SetCdb(SCSI_PASS_THROUGH_REQUEST &Block, const std::vector<UCHAR> &Cdb) {
    memset(Block.Cdb, 0, sizeof(Block.Cdb));
    memcpy(Block.Cdb, Cdb.data(), Cdb.size());
    Block.CdbLength = (UCHAR)Cdb.size();
}

TEST_F(PassThrough, TestUnitReadyGoesOutWithoutData) {
    SCSI_PASS_THROUGH_REQUEST block = Block(TestUnitReady, 0, nullptr, false, 18);
    IoctlResult result = Send(block);
    ASSERT_EQ(STATUS_SUCCESS, result.Status);
    EXPECT_EQ(60u, result.Returned);
    EXPECT_EQ(SRB_STATUS_SUCCESS, block.SrbStatus);
    EXPECT_EQ(0, block.ScsiStatus);
    for (int i = 0; i < 18; i++) {
        EXPECT_EQ(0, block.SenseInfo[i]) << i;
    }
    for (int i = 18; i < 21; i++) {
        EXPECT_EQ(0xAA, block.SenseInfo[i]) << "beyond the wanted sense bytes";
    }
    EXPECT_EQ(0xAAAAAAAAu, block.Reserved1);
    EXPECT_EQ(0xAAAAAAAAu, block.Reserved2);

    SIM_LOG_ENTRY entry = LastCommand();
    EXPECT_EQ(0x00, entry.Cdb[0]);
    EXPECT_EQ(6, entry.CdbLength);
    EXPECT_EQ(0u, entry.DataLength);
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn")));
}

TEST_F(PassThrough, CheckConditionComesBackWithItsSense) {
    HostSimFaultSenseAtCommand(unit->Sim, Commands() + 1, 0x05, 0x24, 0x00);
    SCSI_PASS_THROUGH_REQUEST block = Block(TestUnitReady, 0, nullptr, false, 14);
    IoctlResult result = Send(block);
    ASSERT_EQ(STATUS_SUCCESS, result.Status) << "the command's outcome is in the block";
    EXPECT_EQ(60u, result.Returned);
    EXPECT_EQ(SRB_STATUS_ERROR, block.SrbStatus) << "flag bits are not returned";
    EXPECT_EQ(SCSISTAT_CHECK_CONDITION, block.ScsiStatus);
    EXPECT_EQ(0x70, block.SenseInfo[0] & 0x7F);
    EXPECT_EQ(0x05, block.SenseInfo[2] & 0x0F);
    EXPECT_EQ(0x24, block.SenseInfo[12]);
    EXPECT_EQ(0x00, block.SenseInfo[13]);
    for (int i = 14; i < 21; i++) {
        EXPECT_EQ(0xAA, block.SenseInfo[i]) << "only the wanted sense bytes";
    }
    EXPECT_EQ(0u, HostSimUnreachedFaults(unit->Sim));

    /* The next command is not held up by a frozen queue. */
    SCSI_PASS_THROUGH_REQUEST again = Block(TestUnitReady);
    ASSERT_EQ(STATUS_SUCCESS, Send(again).Status);
    EXPECT_EQ(SRB_STATUS_SUCCESS, again.SrbStatus);

    /* An error without sense from the port carries no sense, not the earlier command's. */
    HostSimFaultStatusAtCommand(unit->Sim, Commands() + 1, SRB_STATUS_ERROR, TRUE);
    SCSI_PASS_THROUGH_REQUEST senseless = Block(TestUnitReady, 0, nullptr, false, 18);
    ASSERT_EQ(STATUS_SUCCESS, Send(senseless).Status);
    EXPECT_EQ(SRB_STATUS_ERROR, senseless.SrbStatus);
    for (int i = 0; i < 18; i++) {
        EXPECT_EQ(0, senseless.SenseInfo[i]) << i;
    }
}

TEST_F(PassThrough, DataTravelsBothWaysAndAFailedReadReturnsNone) {
    UCHAR *out = static_cast<UCHAR *>(UserAlloc(2048));
    UCHAR *in = static_cast<UCHAR *>(UserAlloc(2048));
    for (int i = 0; i < 2048; i++) {
        out[i] = (UCHAR)(i * 13 + 1);
    }

    ASSERT_TRUE(PrepareRecorderForLayout(unit->Sim, {{7, 1, 2048, 1, FALSE}}));
    SCSI_PASS_THROUGH_REQUEST write = Block({}, 2048, out, true);
    SetCdb(write, Cdb10(0x2A, 7, 1));
    ASSERT_EQ(STATUS_SUCCESS, Send(write).Status);
    ASSERT_EQ(SRB_STATUS_SUCCESS, write.SrbStatus);
    EXPECT_EQ(2048u, write.DataTransferLength);
    UCHAR stored[2048];
    ASSERT_EQ(2048u, HostSimReadBlock(unit->Sim, 7, stored, sizeof(stored)));
    EXPECT_EQ(0, memcmp(out, stored, 2048));

    SCSI_PASS_THROUGH_REQUEST read = Block({}, 2048, in, false);
    SetCdb(read, Cdb10(0x28, 7, 1));
    ASSERT_EQ(STATUS_SUCCESS, Send(read).Status);
    ASSERT_EQ(SRB_STATUS_SUCCESS, read.SrbStatus);
    EXPECT_EQ(0, memcmp(out, in, 2048));

    /* A read that fails leaves the application's buffer as it was. */
    memset(in, 0x77, 2048);
    HostSimFaultSenseAtCommand(unit->Sim, Commands() + 1, 0x03, 0x11, 0x00);
    SCSI_PASS_THROUGH_REQUEST failed = Block({}, 2048, in, false);
    SetCdb(failed, Cdb10(0x28, 7, 1));
    ASSERT_EQ(STATUS_SUCCESS, Send(failed).Status);
    EXPECT_EQ(SRB_STATUS_ERROR, failed.SrbStatus);
    EXPECT_EQ(0u, failed.DataTransferLength) << "no data comes back";
    EXPECT_EQ(0x03, failed.SenseInfo[2] & 0x0F);
    EXPECT_EQ(0x11, failed.SenseInfo[12]);
    for (int i = 0; i < 2048; i++) {
        ASSERT_EQ(0x77, in[i]) << "data returned from a failed read at " << i;
    }
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn")));
}

/* A recorder that sends less than asked: the application gets those bytes and their count,
 * and the rest of its buffer stays as it was (no pool contents). */
TEST_F(PassThrough, ShortReadReturnsOnlyWhatTheRecorderSent) {
    UCHAR *in = static_cast<UCHAR *>(UserAlloc(96));
    memset(in, 0x77, 96);
    SCSI_PASS_THROUGH_REQUEST inquiry = Block({0x12, 0, 0, 0, 36, 0}, 96, in, false);
    ASSERT_EQ(STATUS_SUCCESS, Send(inquiry).Status);
    EXPECT_EQ(SRB_STATUS_SUCCESS, inquiry.SrbStatus);
    EXPECT_EQ(36u, inquiry.DataTransferLength);
    EXPECT_EQ(0x05, in[0]) << "peripheral device type";
    EXPECT_EQ(0, memcmp(in + 8, "CDWSIM  ", 8));
    for (int i = 36; i < 96; i++) {
        ASSERT_EQ(0x77, in[i]) << "byte " << i << " was not sent by the recorder";
    }

    /* Down to a single byte. */
    memset(in, 0x77, 96);
    SCSI_PASS_THROUGH_REQUEST one = Block({0x12, 0, 0, 0, 1, 0}, 1, in, false);
    ASSERT_EQ(STATUS_SUCCESS, Send(one).Status);
    EXPECT_EQ(1u, one.DataTransferLength);
    EXPECT_EQ(0x05, in[0]);
    EXPECT_EQ(0x77, in[1]);
}

/* When the request block or packet cannot be had, nothing reaches the recorder and the
 * application sees a failure, not the SRB status of the command before. */
TEST_F(PassThrough, CommandThatCannotBeSentFails) {
    HostSimFaultSenseAtCommand(unit->Sim, Commands() + 1, 0x05, 0x24, 0x00);
    SCSI_PASS_THROUGH_REQUEST failed = Block(TestUnitReady);
    ASSERT_EQ(STATUS_SUCCESS, Send(failed).Status);
    ASSERT_EQ(SRB_STATUS_ERROR, failed.SrbStatus);
    const ULONG before = Commands();

    HostPoolFailTag(HostPoolTag("ScUn"), 1);
    SCSI_PASS_THROUGH_REQUEST noSrb = Block(TestUnitReady);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Send(noSrb).Status);
    EXPECT_EQ(1u, HostPoolInjectedFailures());
    HostPoolClearFailures();
    EXPECT_TRUE(Logged("Burnkit[0]: ScsiRequest - Can't allocate Srb\n"));
    EXPECT_EQ(0xAA, noSrb.SrbStatus) << "nothing returned";

    HOST_FAULT fault = {1, 1, 0, 0}; /* the application's own request packet goes through */
    HostSetFault(HostFaultIrpAllocation, &fault);
    SCSI_PASS_THROUGH_REQUEST noIrp = Block(TestUnitReady);
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Send(noIrp).Status);
    EXPECT_EQ(1u, HostFaultHits(HostFaultIrpAllocation));
    HostClearFault(HostFaultIrpAllocation);
    EXPECT_TRUE(Logged("Burnkit[0]: ScsiRequest - Can't allocate Irp\n"));
    EXPECT_EQ(0xAA, noIrp.SrbStatus) << "nothing returned";

    EXPECT_EQ(before, Commands());
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn")));
}

TEST_F(PassThrough, MalformedBlocksAreRefusedBeforeAnythingIsSent) {
    const ULONG before = Commands();
    UCHAR raw[64];

    memset(raw, 0, sizeof(raw));
    IoctlResult result = IoctlInOutSized(raw, 59, 60);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_TRUE(Logged(
        "Burnkit[0]: CdRecorderExecScsiOperation - invalid UserRequestLength of 59, s/b 60\n"));
    result = IoctlInOutSized(raw, 61, 61);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, result.Status);
    EXPECT_TRUE(Logged(
        "Burnkit[0]: CdRecorderExecScsiOperation - invalid UserRequestLength of 61, s/b 60\n"));

    SCSI_PASS_THROUGH_REQUEST block = Block(TestUnitReady);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(block, 60, 59).Status);
    EXPECT_TRUE(Logged("invalid OutputBufferLength of 59, s/b at least 60\n"));

    block = Block(TestUnitReady);
    block.CdbLength = 0;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(block).Status);
    block = Block(TestUnitReady);
    block.CdbLength = 17;
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(block).Status);
    EXPECT_TRUE(Logged("invalid CdbLength of 17, s/b 1 to 16\n"));

    block = Block(TestUnitReady, 0, nullptr, false, 19);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(block).Status);
    EXPECT_TRUE(Logged("invalid SenseInfoLength of 19, s/b at most 18\n"));

    EXPECT_EQ(before, Commands());

    /* The limits themselves are fine. */
    block = Block(TestUnitReady, 0, nullptr, false, 18);
    block.CdbLength = 16;
    EXPECT_EQ(STATUS_SUCCESS, Send(block).Status);
}

TEST_F(PassThrough, BadDataAddressEndsInAccessViolation) {
    const ULONG before = Commands();
    const char *exception = "Burnkit[0]: CdRecorderExecScsiOperation - Exception! "
                            "GetExceptionCode() = 0xC0000005\n";

    /* A read into memory the application may not write is refused before it is sent; a
     * single byte is data as much as a block is. */
    UCHAR *gone = static_cast<UCHAR *>(UserAlloc(4096));
    HostUserInvalidate(gone);
    UCHAR *readOnly = static_cast<UCHAR *>(UserAlloc(4096, false));
    for (ULONG length : {2048u, 1u}) {
        SCSI_PASS_THROUGH_REQUEST write = Block({}, length, gone, true);
        SetCdb(write, Cdb10(0x2A, 0, 1));
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, Send(write).Status) << length;
        SCSI_PASS_THROUGH_REQUEST read = Block({}, length, readOnly, false);
        SetCdb(read, Cdb10(0x28, 0, 1));
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, Send(read).Status) << length;
    }
    EXPECT_EQ(4u, LoggedCount(exception));

    /* A range that runs past the end of the application's memory. */
    UCHAR *small = static_cast<UCHAR *>(UserAlloc(4096));
    SCSI_PASS_THROUGH_REQUEST overlong = Block({}, 2048, small + 4096 - 1024, true);
    SetCdb(overlong, Cdb10(0x2A, 0, 1));
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Send(overlong).Status);

    EXPECT_EQ(before, Commands());
    EXPECT_EQ(0u, HostPoolCountInUse(HostPoolTag("ScUn"))) << "kernel buffer freed";
}

TEST_F(PassThrough, NoSenseWantedLeavesTheSenseAreaAlone) {
    HostSimFaultSenseAtCommand(unit->Sim, Commands() + 1, 0x02, 0x3A, 0x00);
    SCSI_PASS_THROUGH_REQUEST failed = Block(TestUnitReady, 0, nullptr, false, 0);
    ASSERT_EQ(STATUS_SUCCESS, Send(failed).Status);
    EXPECT_EQ(SCSISTAT_CHECK_CONDITION, failed.ScsiStatus);
    for (int i = 0; i < 21; i++) {
        EXPECT_EQ(0xAA, failed.SenseInfo[i]) << i;
    }
    SCSI_PASS_THROUGH_REQUEST good = Block(TestUnitReady, 0, nullptr, false, 0);
    ASSERT_EQ(STATUS_SUCCESS, Send(good).Status);
    for (int i = 0; i < 21; i++) {
        EXPECT_EQ(0xAA, good.SenseInfo[i]) << i;
    }
}

/*
 * No transfer longer than the adapter's maximum (64 KiB for the simulated recorder) is sent or
 * costs pool, however much memory the application owns; the maximum itself is sent.
 */
TEST_F(PassThrough, LengthBeyondTheAdaptersMaximumIsRefusedWithoutPool) {
    const ULONG maximum = 64 * 1024;
    UCHAR *data = static_cast<UCHAR *>(UserAlloc(2 * maximum));
    const ULONG before = Commands();
    HostPoolFailTag(HostPoolTag("ScUn"), 1);
    for (ULONG length : {maximum + 1, 2 * maximum, 0xFFFFFFF0u}) {
        SCSI_PASS_THROUGH_REQUEST block = Block({}, length, data, true);
        SetCdb(block, Cdb10(0x2A, 0, 1));
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(block).Status) << length;
    }
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderExecScsiOperation - invalid DataTransferLength of "
                       "65537, s/b at most 65536 (the adapter's maximum transfer)\n"));
    EXPECT_EQ(0u, HostPoolInjectedFailures()) << "a kernel buffer was asked for";
    HostPoolClearFailures();
    EXPECT_EQ(before, Commands());

    SCSI_PASS_THROUGH_REQUEST read = Block({}, maximum, data, false);
    SetCdb(read, Cdb10(0x28, 0, 32));
    EXPECT_EQ(STATUS_SUCCESS, Send(read).Status);
    EXPECT_EQ(before + 1, Commands());
}

TEST_F(PassThrough, MissingKernelBufferIsReported) {
    UCHAR *data = static_cast<UCHAR *>(UserAlloc(4096));
    HostPoolFailTag(HostPoolTag("ScUn"), 1);
    SCSI_PASS_THROUGH_REQUEST block = Block({}, 4096, data, false);
    SetCdb(block, Cdb10(0x28, 0, 2));
    EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Send(block).Status);
    EXPECT_TRUE(Logged("Burnkit[0]: CdRecorderExecScsiOperation - Buffer allocation of 4096 bytes "
                       "failed\n"));
}

} // namespace
