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
    unsigned short HostStatus = 0, DriverStatus = 0;
    unsigned char Status = 0;
    int Resid = 0;
    std::vector<unsigned char> Sense = {};
    int Calls = 0;
    sg_io_hdr_t Last{};
};

int ScriptedIoctl(void *Context, int, unsigned long Request, void *Argument) {
    Script *s = static_cast<Script *>(Context);
    if (Request == SG_GET_SCSI_ID) {
        sg_scsi_id *id = static_cast<sg_scsi_id *>(Argument);
        id->host_no = 3;
        id->scsi_id = 1;
        id->lun = 2;
        return 0;
    }
    sg_io_hdr_t *h = static_cast<sg_io_hdr_t *>(Argument);
    if (h->cmdp[0] == 0x12 && s->Calls == 0 && h->dxfer_len == 96) { /* the port's own INQUIRY */
        unsigned char *d = static_cast<unsigned char *>(h->dxferp);
        memset(d, 0, 96);
        d[0] = 5;
        d[1] = 0x80;
        memcpy(d + 8, "TESTVENDSCRIPTED DVD+R  0001", 28);
        h->resid = 60;
        return 0;
    }
    s->Calls++;
    s->Last = *h;
    if (s->Error != 0)
        return s->Error;
    h->host_status = s->HostStatus;
    h->driver_status = s->DriverStatus;
    h->status = s->Status;
    h->resid = s->Resid;
    h->sb_len_wr = (unsigned char)std::min<size_t>(s->Sense.size(), h->mx_sb_len);
    if (h->sb_len_wr != 0)
        memcpy(h->sbp, s->Sense.data(), h->sb_len_wr);
    return 0;
}

class SgPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        HostClockUseVirtual();
        HOST_SG_OPEN_RESULT result = HostSgFailed;
        port_ = HostSgAttach(-1, "/dev/sg7", ScriptedIoctl, &script_, FALSE, &result);
        ASSERT_EQ(result, HostSgOpened);
        ASSERT_NE(port_, nullptr);
        script_.Calls = 1; /* the port's own INQUIRY is behind us */
    }
    void TearDown() override { HostSgClose(port_); }

    /* The request block as the port returned it, and its sense buffer. */
    struct Result {
        SCSI_REQUEST_BLOCK Srb;
        UCHAR Sense[SENSE_BUFFER_SIZE];
    };

    /* A READ(10) or WRITE(10) of Length bytes, or a block of another function. */
    Result Send(ULONG Length, bool Out = false, ULONG Flags = 0,
                UCHAR Function = SRB_FUNCTION_EXECUTE_SCSI) {
        static UCHAR data[4096];
        Result r = {};
        r.Srb.Length = sizeof(r.Srb);
        r.Srb.Function = Function;
        r.Srb.CdbLength = 10;
        r.Srb.Cdb[0] = Out ? 0x2A : 0x28;
        r.Srb.SenseInfoBuffer = r.Sense;
        r.Srb.SenseInfoBufferLength = SENSE_BUFFER_SIZE;
        r.Srb.DataBuffer = Length ? data : nullptr;
        r.Srb.DataTransferLength = Length;
        r.Srb.SrbFlags = (Length ? (Out ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN) : 0) | Flags;
        r.Srb.TimeOutValue = 7;
        HostSgExecuteSrb(port_, &r.Srb);
        return r;
    }
    UCHAR ReleaseQueue() { return Send(0, false, 0, SRB_FUNCTION_RELEASE_QUEUE).Srb.SrbStatus; }

    HostThreadScope scope_{"sgport test"};
    HOST_SG_PORT *port_ = nullptr;
    Script script_;
};

TEST_F(SgPortTest, EveryKernelOutcomeMapsToTheRequestBlockAPortReturns) {
    const std::vector<UCHAR> sense = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x21, 0x02};
    const struct {
        const char *What;
        UCHAR Srb;     /* without the frozen and autosense bits */
        Script Kernel; /* ioctl error, host, driver and SCSI status, residual, sense */
        UCHAR Scsi = 0;
        bool Out = false;
        ULONG Transferred = 0;
        bool Frozen = true;
    } rows[] = {
        {"good", SRB_STATUS_SUCCESS, {}, 0, false, 2048, false},
        {"short data-in", SRB_STATUS_DATA_OVERRUN, {0, 0, 0, 0, 1952}, 0, false, 96, false},
        {"short data-out", SRB_STATUS_DATA_OVERRUN, {0, 0, 0, 0, 48}, 0, true, 2000},
        {"check condition", SRB_STATUS_ERROR, {0, 0, 0x08, 0x02, 0, sense}, 2, true},
        {"busy", SRB_STATUS_ERROR, {0, 0, 0, 0x08}, 8},
        {"reservation conflict", SRB_STATUS_ERROR, {0, 0, 0, 0x18}, 0x18},
        {"no connect", SRB_STATUS_SELECTION_TIMEOUT, {0, 0x01}},
        {"transport failfast", SRB_STATUS_SELECTION_TIMEOUT, {0, 0x0F}},
        {"bad target", SRB_STATUS_NO_DEVICE, {0, 0x04}},
        {"ENODEV", SRB_STATUS_NO_DEVICE, {-ENODEV}},
        {"ENXIO", SRB_STATUS_NO_DEVICE, {-ENXIO}},
        {"time out", SRB_STATUS_TIMEOUT, {0, 0x03}, 0, true},
        {"driver time out", SRB_STATUS_TIMEOUT, {0, 0, 0x06}, 0, true},
        /* A reset drops the status and its sense. */
        {"reset", SRB_STATUS_BUS_RESET, {0, 0x08, 0, 0x02, 0, sense}, 0, true},
        {"abort", SRB_STATUS_ABORTED, {0, 0x05}},
        {"bus busy", SRB_STATUS_BUSY, {0, 0x02}},
        {"requeue", SRB_STATUS_BUSY, {0, 0x0D}},
        {"transport disrupted", SRB_STATUS_BUSY, {0, 0x0E}},
        {"EBUSY", SRB_STATUS_BUSY, {-EBUSY}},
        {"parity", SRB_STATUS_PARITY_ERROR, {0, 0x06}},
        {"other host error", SRB_STATUS_ERROR, {0, 0x07}},
        {"EINVAL", SRB_STATUS_INVALID_REQUEST, {-EINVAL}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.What);
        script_ = row.Kernel;
        Result r = Send(2048, row.Out);
        /* Sense comes with CHECK CONDITION only, and then as autosense. */
        const bool autosense = row.Scsi == 0x02;
        EXPECT_EQ(r.Srb.SrbStatus, row.Srb | (row.Frozen ? SRB_STATUS_QUEUE_FROZEN : 0) |
                                       (autosense ? SRB_STATUS_AUTOSENSE_VALID : 0));
        EXPECT_EQ(r.Srb.ScsiStatus, row.Scsi);
        EXPECT_EQ(r.Srb.DataTransferLength, row.Transferred);
        EXPECT_EQ(r.Sense[2] << 16 | r.Sense[12] << 8 | r.Sense[13], autosense ? 0x052102 : 0);
        EXPECT_TRUE(!autosense || r.Srb.SenseInfoBufferLength == sense.size());
        EXPECT_EQ(script_.Last.dxfer_direction, row.Out ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV);
        EXPECT_EQ(script_.Last.timeout, 7000u);
        EXPECT_EQ(script_.Last.cmd_len, 10);
        ASSERT_EQ(ReleaseQueue(), SRB_STATUS_SUCCESS);
    }

    /* Sense without the autosense contract: the status stays, the sense is not claimed. */
    script_ = {0, 0, 0, 0x02, 0, sense};
    Result r = Send(0, false, SRB_FLAGS_DISABLE_AUTOSENSE);
    EXPECT_EQ(r.Srb.SrbStatus, SRB_STATUS_ERROR | SRB_STATUS_QUEUE_FROZEN);
    EXPECT_EQ(script_.Last.dxfer_direction, SG_DXFER_NONE);
    EXPECT_EQ(r.Sense[2], 0);
}

/* A frozen queue refuses blocks without sending them, and takes blocks again once the class
 * driver released it. (A block held until another thread releases the queue:
 * SimRecorderTest.FrozenQueueHoldsBlocksUntilReleased.) */
TEST_F(SgPortTest, AFrozenQueueHoldsBlocksUntilTheClassDriverReleasesIt) {
    HostSgSetFrozenQueueTimeout(port_, 0);
    script_.Status = 0x02;
    ASSERT_TRUE(Send(2048, true).Srb.SrbStatus & SRB_STATUS_QUEUE_FROZEN);
    script_.Status = 0;
    const int calls = script_.Calls;
    EXPECT_EQ(Send(2048).Srb.SrbStatus, SRB_STATUS_REQUEST_FLUSHED);
    EXPECT_EQ(script_.Calls, calls) << "a block reached the device through a frozen queue";
    EXPECT_EQ(ReleaseQueue(), SRB_STATUS_SUCCESS);
    EXPECT_EQ(Send(2048).Srb.SrbStatus, SRB_STATUS_SUCCESS);
}

/* The port describes the recorder from its INQUIRY and answers its address; what is no
 * recorder is refused (what is no sg device: ToolTest.RealRecordersThatCannotBeUsedExitThree). */
TEST_F(SgPortTest, ThePortDeviceDescribesTheRecorderAndRefusesWhatIsNone) {
    HOST_PORT_IDENTITY id = {};
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
}

} // namespace
