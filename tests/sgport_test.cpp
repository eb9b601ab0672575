/*
 * sgport_test.cpp - the SG_IO storage port without a device: the kernel's ioctl is replaced by a
 * scripted answer, and every outcome the port tells apart (ioctl errors, transport statuses,
 * the driver's time-out, SCSI status bytes, residuals) must come back as the request block a
 * storage port returns, with the frozen queue held until the class driver releases it.
 */
#include <gtest/gtest.h>

#include <standin/kernel.h>
#include <standin/sgport.h>
#include <scsi.h>

#include <errno.h>
#include <scsi/sg.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

/* What the scripted kernel answers to the next SG_IO, and what it was asked. */
struct Script {
    int Error = 0; /* ioctl result as -errno */
    unsigned short HostStatus = 0;
    unsigned short DriverStatus = 0;
    unsigned char Status = 0;
    int Resid = 0;
    std::vector<unsigned char> Sense;
    int Calls = 0;
    sg_io_hdr_t Last{};
    int ResetHow = -1;
};

int ScriptedIoctl(void *Context, int, unsigned long Request, void *Argument) {
    Script *s = static_cast<Script *>(Context);
    if (Request == SG_GET_SCSI_ID) {
        sg_scsi_id *id = static_cast<sg_scsi_id *>(Argument);
        id->host_no = 3;
        id->channel = 0;
        id->scsi_id = 1;
        id->lun = 2;
        return 0;
    }
    if (Request == SG_SCSI_RESET) {
        s->ResetHow = *static_cast<int *>(Argument);
        return 0;
    }
    sg_io_hdr_t *h = static_cast<sg_io_hdr_t *>(Argument);
    const unsigned char *cdb = h->cmdp;
    if (cdb[0] == 0x12 && s->Calls == 0 && h->dxfer_len == 96) { /* the port's own INQUIRY */
        unsigned char *d = static_cast<unsigned char *>(h->dxferp);
        memset(d, 0, 96);
        d[0] = 5;
        d[1] = 0x80;
        memcpy(d + 8, "TESTVEND", 8);
        memcpy(d + 16, "SCRIPTED DVD+R  ", 16);
        memcpy(d + 32, "0001", 4);
        h->resid = 60;
        return 0;
    }
    s->Calls++;
    s->Last = *h;
    if (s->Error != 0) {
        return s->Error;
    }
    h->host_status = s->HostStatus;
    h->driver_status = s->DriverStatus;
    h->status = s->Status;
    h->resid = s->Resid;
    h->sb_len_wr = (unsigned char)std::min<size_t>(s->Sense.size(), h->mx_sb_len);
    if (h->sb_len_wr != 0) {
        memcpy(h->sbp, s->Sense.data(), h->sb_len_wr);
    }
    return 0;
}

class SgPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        HostClockUseVirtual();
        scope_ = new HostThreadScope("sgport test");
        HOST_SG_OPEN_RESULT result = HostSgFailed;
        port_ = HostSgAttach(-1, "/dev/sg7", ScriptedIoctl, &script_, FALSE, &result);
        ASSERT_NE(port_, nullptr);
        ASSERT_EQ(result, HostSgOpened);
        script_.Calls = 1; /* the port's own INQUIRY is behind us */
    }
    void TearDown() override {
        HostSgClose(port_);
        delete scope_;
    }

    struct Result {
        UCHAR SrbStatus, ScsiStatus;
        ULONG Transferred, SenseLength;
        UCHAR Sense[SENSE_BUFFER_SIZE];
    };

    Result Send(ULONG Length, bool Out = false, ULONG Flags = 0) {
        static UCHAR data[4096];
        SCSI_REQUEST_BLOCK srb;
        memset(&srb, 0, sizeof(srb));
        Result r;
        memset(&r, 0, sizeof(r));
        srb.Length = sizeof(srb);
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.CdbLength = 10;
        srb.Cdb[0] = Out ? 0x2A : 0x28;
        srb.SenseInfoBuffer = r.Sense;
        srb.SenseInfoBufferLength = SENSE_BUFFER_SIZE;
        srb.DataBuffer = Length ? data : nullptr;
        srb.DataTransferLength = Length;
        srb.SrbFlags = (Length ? (Out ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN) : 0) | Flags;
        srb.TimeOutValue = 7;
        HostSgExecuteSrb(port_, &srb);
        r.SrbStatus = srb.SrbStatus;
        r.ScsiStatus = srb.ScsiStatus;
        r.Transferred = srb.DataTransferLength;
        r.SenseLength = srb.SenseInfoBufferLength;
        return r;
    }

    UCHAR Function(UCHAR Function) {
        SCSI_REQUEST_BLOCK srb;
        memset(&srb, 0, sizeof(srb));
        srb.Length = sizeof(srb);
        srb.Function = Function;
        HostSgExecuteSrb(port_, &srb);
        return srb.SrbStatus;
    }

    HostThreadScope *scope_ = nullptr;
    HOST_SG_PORT *port_ = nullptr;
    Script script_;
};

TEST_F(SgPortTest, EveryKernelOutcomeMapsToTheRequestBlockAPortReturns) {
    const std::vector<unsigned char> sense = {0x70, 0, 0x05, 0, 0, 0,    0,
                                              10,   0, 0,    0, 0, 0x21, 0x02};
    struct Row {
        const char *What;
        int Error;
        unsigned short Host, Driver;
        unsigned char Status;
        int Resid;
        bool Out;
        UCHAR Srb; /* without the frozen and autosense bits */
        UCHAR Scsi;
        ULONG Transferred;
        bool Frozen, Autosense;
    } rows[] = {
        {"good", 0, 0, 0, 0, 0, false, SRB_STATUS_SUCCESS, 0, 2048, false, false},
        {"short data-in", 0, 0, 0, 0, 1952, false, SRB_STATUS_DATA_OVERRUN, 0, 96, false, false},
        {"short data-out", 0, 0, 0, 0, 48, true, SRB_STATUS_DATA_OVERRUN, 0, 2000, true, false},
        {"check condition", 0, 0, 0x08, 0x02, 0, true, SRB_STATUS_ERROR, 2, 0, true, true},
        {"busy", 0, 0, 0, 0x08, 0, false, SRB_STATUS_ERROR, 8, 0, true, false},
        {"reservation conflict", 0, 0, 0, 0x18, 0, false, SRB_STATUS_ERROR, 0x18, 0, true, false},
        {"no connect", 0, 0x01, 0, 0, 0, false, SRB_STATUS_SELECTION_TIMEOUT, 0, 0, true, false},
        {"transport failfast", 0, 0x0F, 0, 0, 0, false, SRB_STATUS_SELECTION_TIMEOUT, 0, 0, true,
         false},
        {"bad target", 0, 0x04, 0, 0, 0, false, SRB_STATUS_NO_DEVICE, 0, 0, true, false},
        {"ENODEV", -ENODEV, 0, 0, 0, 0, false, SRB_STATUS_NO_DEVICE, 0, 0, true, false},
        {"ENXIO", -ENXIO, 0, 0, 0, 0, false, SRB_STATUS_NO_DEVICE, 0, 0, true, false},
        {"time out", 0, 0x03, 0, 0, 0, true, SRB_STATUS_TIMEOUT, 0, 0, true, false},
        {"driver time out", 0, 0, 0x06, 0, 0, true, SRB_STATUS_TIMEOUT, 0, 0, true, false},
        {"reset", 0, 0x08, 0, 0x02, 0, true, SRB_STATUS_BUS_RESET, 0, 0, true, false},
        {"abort", 0, 0x05, 0, 0, 0, false, SRB_STATUS_ABORTED, 0, 0, true, false},
        {"bus busy", 0, 0x02, 0, 0, 0, false, SRB_STATUS_BUSY, 0, 0, true, false},
        {"requeue", 0, 0x0D, 0, 0, 0, false, SRB_STATUS_BUSY, 0, 0, true, false},
        {"transport disrupted", 0, 0x0E, 0, 0, 0, false, SRB_STATUS_BUSY, 0, 0, true, false},
        {"EBUSY", -EBUSY, 0, 0, 0, 0, false, SRB_STATUS_BUSY, 0, 0, true, false},
        {"parity", 0, 0x06, 0, 0, 0, false, SRB_STATUS_PARITY_ERROR, 0, 0, true, false},
        {"other host error", 0, 0x07, 0, 0, 0, false, SRB_STATUS_ERROR, 0, 0, true, false},
        {"EINVAL", -EINVAL, 0, 0, 0, 0, false, SRB_STATUS_INVALID_REQUEST, 0, 0, true, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.What);
        script_.Error = row.Error;
        script_.HostStatus = row.Host;
        script_.DriverStatus = row.Driver;
        script_.Status = row.Status;
        script_.Resid = row.Resid;
        script_.Sense = row.Status == 0x02 ? sense : std::vector<unsigned char>();
        Result r = Send(2048, row.Out);
        EXPECT_EQ(SRB_STATUS(r.SrbStatus), row.Srb);
        EXPECT_EQ(r.ScsiStatus, row.Scsi);
        EXPECT_EQ(r.Transferred, row.Transferred);
        EXPECT_EQ((r.SrbStatus & SRB_STATUS_QUEUE_FROZEN) != 0, row.Frozen);
        EXPECT_EQ((r.SrbStatus & SRB_STATUS_AUTOSENSE_VALID) != 0, row.Autosense);
        if (row.Autosense) {
            EXPECT_EQ(r.SenseLength, sense.size());
            EXPECT_EQ(r.Sense[2], 0x05);
            EXPECT_EQ(r.Sense[12], 0x21);
            EXPECT_EQ(r.Sense[13], 0x02);
        }
        EXPECT_EQ(script_.Last.dxfer_direction, row.Out ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV);
        EXPECT_EQ(script_.Last.timeout, 7000u);
        EXPECT_EQ(script_.Last.cmd_len, 10);
        ASSERT_EQ(Function(SRB_FUNCTION_RELEASE_QUEUE), SRB_STATUS_SUCCESS);
    }

    /* Sense without the autosense contract: the status stays, the sense is not claimed. */
    script_ = Script();
    script_.Status = 0x02;
    script_.Sense = sense;
    Result r = Send(0, false, SRB_FLAGS_DISABLE_AUTOSENSE);
    EXPECT_EQ(r.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(script_.Last.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(r.Sense[2], 0);
}

/* A frozen queue refuses blocks without sending them (no freeze when a block asks for none),
 * lets a bypassing block through, and takes blocks again once released. (A block held until
 * another thread releases the queue: SimRecorderTest.FrozenQueueHoldsBlocksUntilReleasedOrFlushed.)
 */
TEST_F(SgPortTest, AFrozenQueueHoldsBlocksUntilTheClassDriverReleasesIt) {
    HostSgSetFrozenQueueTimeout(port_, 0);
    script_.Status = 0x02;
    EXPECT_EQ(Send(0, false, SRB_FLAGS_NO_QUEUE_FREEZE).SrbStatus, SRB_STATUS_ERROR);
    ASSERT_TRUE(Send(2048, true).SrbStatus & SRB_STATUS_QUEUE_FROZEN);
    script_.Status = 0;
    const int calls = script_.Calls;
    EXPECT_EQ(Send(2048).SrbStatus, SRB_STATUS_REQUEST_FLUSHED);
    EXPECT_EQ(script_.Calls, calls) << "a block reached the device through a frozen queue";
    EXPECT_EQ(Send(2048, false, SRB_FLAGS_BYPASS_FROZEN_QUEUE).SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(Function(SRB_FUNCTION_RELEASE_QUEUE), SRB_STATUS_SUCCESS);
    EXPECT_EQ(Send(2048).SrbStatus, SRB_STATUS_SUCCESS);
}

/* The port describes the recorder from its INQUIRY, answers its address and resets the bus;
 * what is no recorder is refused with the reason (what is no sg device: ToolTest). */
TEST_F(SgPortTest, ThePortDeviceDescribesTheRecorderAndRefusesWhatIsNone) {
    HOST_PORT_IDENTITY id;
    memset(&id, 0, sizeof(id));
    const HOST_PORT_OPS *ops = HostPortDeviceOps(HostSgPdo(port_));
    ASSERT_NE(ops, nullptr);
    ops->Describe(ops->Context, &id);
    EXPECT_EQ(std::string(id.Vendor, 8) + std::string(id.Product, 16), "TESTVENDSCRIPTED DVD+R  ");
    EXPECT_EQ(id.DeviceType, 5);
    EXPECT_TRUE(id.RemovableMedia);
    SCSI_ADDRESS address;
    ASSERT_EQ(ops->GetAddress(ops->Context, &address), STATUS_SUCCESS);
    EXPECT_EQ(address.PortNumber, 3);
    EXPECT_EQ(address.TargetId, 1);
    EXPECT_EQ(address.Lun, 2);
    EXPECT_EQ(Function(SRB_FUNCTION_RESET_BUS), SRB_STATUS_SUCCESS);
    EXPECT_EQ(script_.ResetHow, SG_SCSI_RESET_BUS);

    HOST_SG_OPEN_RESULT result = HostSgOpened;
    auto disk = [](void *, int, unsigned long R, void *A) -> int {
        if (R != SG_IO)
            return -ENOTTY;
        sg_io_hdr_t *h = static_cast<sg_io_hdr_t *>(A);
        memset(h->dxferp, 0, h->dxfer_len); /* type 0: a disk */
        return 0;
    };
    EXPECT_EQ(HostSgAttach(-1, "x", disk, nullptr, FALSE, &result), nullptr);
    EXPECT_EQ(result, HostSgNotRecorder);
    char message[256];
    EXPECT_EQ(HostSgOpen("/nonexistent/sg9", &result, message, sizeof(message)), nullptr);
    EXPECT_EQ(result, HostSgNoDevice);
    EXPECT_STREQ(message, "/nonexistent/sg9: no such device");
}

} // namespace
