/*
 * passthrough_test.cpp - the SCSI pass-through request: commands with and without data in
 * both directions, failures at the device with their sense data, malformed blocks, and
 * application buffers that the application does not own.
 */
#include "support/driver_harness.h"
#include "support/recorder_setup.h"
#include "support/test_support.h"

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "../driver/writer.h"

namespace {

class PassThrough : public DriverHarness {
public:
    void SetUp() override {
        DriverHarness::SetUp();
        unit = PlugRecorder();
        handle = OpenRecorder();
    }

    /* A WRITE(10) sends data, every other command here reads. */
    static SCSI_PASS_THROUGH_REQUEST Block(std::initializer_list<UCHAR> Cdb, ULONG Length = 0,
                                           void *Data = nullptr, UCHAR SenseLength = 18) {
        SCSI_PASS_THROUGH_REQUEST block;
        memset(&block, 0xAA, sizeof(block));
        memset(block.Cdb, 0, sizeof(block.Cdb));
        std::copy(Cdb.begin(), Cdb.end(), block.Cdb);
        block.CdbLength = UCHAR(Cdb.size());
        block.bDataOut = *Cdb.begin() == 0x2A;
        block.TimeOut = 20;
        block.DataTransferLength = Length;
        block.DataBuffer = HostUserAddress(Data);
        block.SenseInfoLength = SenseLength;
        return block;
    }

    IoctlResult Send(SCSI_PASS_THROUGH_REQUEST &Block, ULONG InLength = 60, ULONG OutLength = 60) {
        return Ioctl(handle, IOCTL_RECORDER_EXEC_SCSI_OPERATION, &Block, InLength, &Block,
                     OutLength);
    }

    ULONG Commands() {
        SIM_RECORDER_COUNTERS counters;
        HostSimGetCounters(unit->Sim, &counters);
        return counters.Commands;
    }

    Unit *unit = nullptr;
    HANDLE handle = nullptr;
};

const std::initializer_list<UCHAR> TestUnitReady = {0x00, 0, 0, 0, 0, 0};
const ULONG ScsiTag = HostPoolTag("ScUn");

/* A READ(10) (0x28) or WRITE(10) (0x2A) of Blocks blocks at Lba (both below 256). */
SCSI_PASS_THROUGH_REQUEST Rw10(UCHAR Opcode, UCHAR Lba, UCHAR Blocks, ULONG Length, void *Data) {
    return PassThrough::Block({Opcode, 0, 0, 0, 0, Lba, 0, 0, Blocks, 0}, Length, Data);
}

/* The command's own status and exactly the wanted sense bytes come back; nothing else in the
 * block changes. In order, so that each row also shows that the one before froze no queue. */
TEST_F(PassThrough, OutcomeAndWantedSenseComeBackInTheBlock) {
    enum Answer { Good, Check, ErrorWithoutSense };
    const struct Row {
        const char *what;
        Answer answer;
        UCHAR key, asc, ascq, senseLength;
    } rows[] = {
        {"check condition, 14 sense bytes", Check, 0x05, 0x24, 0x00, 14},
        {"good", Good, 0, 0, 0, 18},
        {"error without sense: not the earlier command's", ErrorWithoutSense, 0, 0, 0, 18},
        {"check condition, no sense wanted", Check, 0x02, 0x3A, 0x00, 0},
        {"good, no sense wanted", Good, 0, 0, 0, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        if (row.answer == Check) {
            HostSimFaultSenseAtCommand(unit->Sim, Commands() + 1, row.key, row.asc, row.ascq);
        } else if (row.answer == ErrorWithoutSense) {
            HostSimFaultStatusAtCommand(unit->Sim, Commands() + 1, SRB_STATUS_ERROR, TRUE);
        }
        HostSimClearLog(unit->Sim);
        SCSI_PASS_THROUGH_REQUEST block = Block(TestUnitReady, 0, nullptr, row.senseLength);
        IoctlResult result = Send(block);
        ASSERT_EQ(STATUS_SUCCESS, result.Status) << "the command's outcome is in the block";
        EXPECT_EQ(60u, result.Returned);
        EXPECT_EQ(row.answer == Good ? SRB_STATUS_SUCCESS : SRB_STATUS_ERROR, block.SrbStatus)
            << "flag bits are not returned";
        EXPECT_EQ(row.answer == Check ? SCSISTAT_CHECK_CONDITION : 0, block.ScsiStatus);
        const UCHAR sense[18] = {0x70, 0, row.key, 0, 0, 0, 0, 10, 0, 0, 0, 0, row.asc, row.ascq};
        for (int i = 0; i < 18; i++) {
            const UCHAR wanted = row.answer == Check ? sense[i] : 0;
            EXPECT_EQ(i < row.senseLength ? wanted : 0xAA, block.SenseInfo[i]) << i;
        }
        EXPECT_EQ(0xAAAAAAAAu, block.Reserved1);
        EXPECT_EQ(0xAAAAAAAAu, block.Reserved2);
        std::vector<SIM_LOG_ENTRY> log = SimCommands(unit->Sim);
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(6, log[0].CdbLength);
    }
}

/* (Data both ways on success: the tool's recordings, whose MMC commands all go this way.) */
TEST_F(PassThrough, FailedReadReturnsNoData) {
    UCHAR *in = static_cast<UCHAR *>(UserAlloc(2048));
    memset(in, 0x77, 2048);
    HostSimFaultSenseAtCommand(unit->Sim, Commands() + 1, 0x03, 0x11, 0x00);
    SCSI_PASS_THROUGH_REQUEST failed = Rw10(0x28, 7, 1, 2048, in);
    ASSERT_EQ(STATUS_SUCCESS, Send(failed).Status);
    EXPECT_EQ(0u, failed.DataTransferLength) << "no data comes back";
    EXPECT_EQ(std::vector<UCHAR>(2048, 0x77), std::vector<UCHAR>(in, in + 2048));
    EXPECT_EQ(0u, HostPoolCountInUse(ScsiTag));
}

/* A recorder that sends less than asked: the application gets those bytes and their count,
 * and the rest of its buffer stays as it was (no pool contents); down to a single byte. */
TEST_F(PassThrough, ShortReadReturnsOnlyWhatTheRecorderSent) {
    UCHAR *in = static_cast<UCHAR *>(UserAlloc(97));
    /* 36 of 96 bytes; one byte of one, at an odd address (bytes need no alignment). */
    for (ULONG length : {96u, 1u}) {
        const UCHAR asked = length == 96 ? 36 : 1;
        UCHAR *at = in + (length == 1 ? 1 : 0);
        SCOPED_TRACE(length);
        memset(in, 0x77, 97);
        SCSI_PASS_THROUGH_REQUEST inquiry = Block({0x12, 0, 0, 0, asked, 0}, length, at);
        ASSERT_EQ(STATUS_SUCCESS, Send(inquiry).Status);
        EXPECT_EQ(SRB_STATUS_SUCCESS, inquiry.SrbStatus);
        EXPECT_EQ(asked, inquiry.DataTransferLength);
        EXPECT_EQ(0x05, at[0]) << "peripheral device type";
        EXPECT_TRUE(asked < 16 || memcmp(at + 8, "CDWSIM  ", 8) == 0);
        for (UCHAR *p = in; p < in + 97; p++) {
            if (p < at || p >= at + asked) {
                ASSERT_EQ(0x77, *p) << "byte " << (p - at) << " was not sent by the recorder";
            }
        }
    }
}

/* When the kernel buffer, the request block or the packet cannot be had, nothing reaches the
 * recorder and the application sees a failure, not the SRB status of the command before. */
TEST_F(PassThrough, CommandThatCannotBeSentFails) {
    HostSimFaultSenseAtCommand(unit->Sim, Commands() + 1, 0x05, 0x24, 0x00);
    SCSI_PASS_THROUGH_REQUEST failed = Block(TestUnitReady);
    ASSERT_EQ(STATUS_SUCCESS, Send(failed).Status);
    ASSERT_EQ(SRB_STATUS_ERROR, failed.SrbStatus);
    const ULONG before = Commands();
    UCHAR *data = static_cast<UCHAR *>(UserAlloc(4096));

    const struct Row {
        const char *what;
        bool data, irp;
        const char *message;
    } rows[] = {
        {"kernel buffer", true, false, "Buffer allocation of 4096 bytes failed\n"},
        {"request block", false, false, "Burnkit[0]: ScsiRequest - Can't allocate Srb\n"},
        {"request packet", false, true, "Burnkit[0]: ScsiRequest - Can't allocate Irp\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        HOST_FAULT fault = {1, 1, 0, 0}; /* the application's own request packet goes through */
        const ULONG injected = HostPoolInjectedFailures();
        if (row.irp) {
            HostSetFault(HostFaultIrpAllocation, &fault);
        } else {
            HostPoolFailTag(ScsiTag, 1);
        }
        SCSI_PASS_THROUGH_REQUEST block =
            row.data ? Rw10(0x28, 0, 2, 4096, data) : Block(TestUnitReady);
        EXPECT_EQ(STATUS_INSUFFICIENT_RESOURCES, Send(block).Status);
        EXPECT_EQ(row.irp ? 0u : 1u, HostPoolInjectedFailures() - injected);
        EXPECT_EQ(row.irp ? 1u : 0u, HostFaultHits(HostFaultIrpAllocation));
        HostPoolClearFailures();
        HostClearFault(HostFaultIrpAllocation);
        EXPECT_TRUE(Logged(row.message));
        EXPECT_EQ(0xAA, block.SrbStatus) << "nothing returned";
    }
    EXPECT_EQ(before, Commands());
    EXPECT_EQ(0u, HostPoolCountInUse(ScsiTag));
}

/* Malformed blocks, and transfers longer than the adapter's maximum (64 KiB for the simulated
 * recorder) however much memory the application owns, are refused before anything is sent or
 * any pool is taken; the limits themselves are fine. */
TEST_F(PassThrough, MalformedBlocksAreRefusedBeforeAnythingIsSent) {
    const ULONG maximum = 64 * 1024;
    UCHAR *data = static_cast<UCHAR *>(UserAlloc(2 * maximum));
    const struct Row {
        ULONG in, out, cdbLength, senseLength, length;
        const char *message;
    } rows[] = {
        {59, 60, 6, 18, 0, "invalid UserRequestLength of 59, s/b 60\n"},
        {61, 61, 6, 18, 0, "invalid UserRequestLength of 61, s/b 60\n"},
        {60, 59, 6, 18, 0, "invalid OutputBufferLength of 59, s/b at least 60\n"},
        {60, 60, 0, 18, 0, "invalid CdbLength of 0, s/b 1 to 16\n"},
        {60, 60, 17, 18, 0, "invalid CdbLength of 17, s/b 1 to 16\n"},
        {60, 60, 6, 19, 0, "invalid SenseInfoLength of 19, s/b at most 18\n"},
        {60, 60, 10, 18, maximum + 1, "invalid DataTransferLength of 65537, s/b at most 65536 ("},
        {60, 60, 10, 18, 0xFFFFFFF0u, "invalid DataTransferLength of 4294967280"},
    };
    const ULONG before = Commands();
    HostPoolFailTag(ScsiTag, 1);
    for (const Row &row : rows) {
        union {
            SCSI_PASS_THROUGH_REQUEST block;
            UCHAR room[64]; /* for a request one byte longer than the block */
        } request;
        memset(&request, 0, sizeof(request));
        if (row.in == 60) {
            request.block = Rw10(0x2A, 0, 1, row.length, data);
            request.block.CdbLength = UCHAR(row.cdbLength);
            request.block.SenseInfoLength = UCHAR(row.senseLength);
        }
        EXPECT_EQ(STATUS_INVALID_PARAMETER, Send(request.block, row.in, row.out).Status)
            << row.message;
        EXPECT_TRUE(Logged(("CdRecorderExecScsiOperation - " + std::string(row.message)).c_str()));
    }
    EXPECT_EQ(0u, HostPoolInjectedFailures()) << "a kernel buffer was asked for";
    HostPoolClearFailures();
    EXPECT_EQ(before, Commands());

    SCSI_PASS_THROUGH_REQUEST block = Block({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(STATUS_SUCCESS, Send(block).Status);
    SCSI_PASS_THROUGH_REQUEST read = Rw10(0x28, 0, 32, maximum, data);
    EXPECT_EQ(STATUS_SUCCESS, Send(read).Status);
    EXPECT_EQ(before + 2, Commands());
}

TEST_F(PassThrough, BadDataAddressEndsInAccessViolation) {
    const ULONG before = Commands();

    /* A read into memory the application may not write is refused before it is sent; a
     * single byte is data as much as a block is. */
    UCHAR *gone = static_cast<UCHAR *>(UserAlloc(4096));
    HostUserInvalidate(gone);
    UCHAR *readOnly = static_cast<UCHAR *>(UserAlloc(4096, false));
    for (ULONG length : {2048u, 1u}) {
        SCSI_PASS_THROUGH_REQUEST write = Rw10(0x2A, 0, 1, length, gone);
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, Send(write).Status) << length;
        SCSI_PASS_THROUGH_REQUEST read = Rw10(0x28, 0, 1, length, readOnly);
        EXPECT_EQ(STATUS_ACCESS_VIOLATION, Send(read).Status) << length;
    }
    EXPECT_EQ(4u, LoggedCount("ExecScsiOperation - Exception! GetExceptionCode() = 0xC0000005"));

    /* A range that runs past the end of the application's memory. */
    UCHAR *small = static_cast<UCHAR *>(UserAlloc(4096));
    SCSI_PASS_THROUGH_REQUEST overlong = Rw10(0x2A, 0, 1, 2048, small + 4096 - 1024);
    EXPECT_EQ(STATUS_ACCESS_VIOLATION, Send(overlong).Status);

    EXPECT_EQ(before, Commands());
    EXPECT_EQ(0u, HostPoolCountInUse(ScsiTag)) << "kernel buffer freed";
}

} // namespace
