/*
 * ring_test.cpp - the packet ring rules (full, wrap, count, order, reset) and the cache
 * allocation requests that size the ring.
 */
#include "support/driver_harness.h"

#include <stdint.h>
#include <string.h>

#include <string>

#include "../driver/writer.h"

namespace {

RING_PACKET MakePacket(ULONG Lba) {
    return RING_PACKET{PACKET_ACTION_WRITE, Lba, 1 + Lba % 64, BOOLEAN(Lba % 7 == 0),
                       reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(0x1000 + Lba))};
}

bool Same(const RING_PACKET &A, const RING_PACKET &B) {
    return A.action == B.action && A.blockAddress == B.blockAddress && A.numBlocks == B.numBlocks &&
           A.bLastPacket == B.bLastPacket && A.buffer == B.buffer;
}

} // namespace

/* Every ring size, several laps: packets come out in order, the count follows the indices
 * across the wrap, a full ring refuses the next packet unchanged and a get does not consume.
 * A reset empties the full ring and zeroes every slot, also beyond its size, keeping the size. */
TEST(CirQue, KeepsOrderOverManyLapsRefusesWhenFullAndResets) {
    for (ULONG slots : {16u, 17u, 60u, 96u}) {
        SCOPED_TRACE(slots);
        CIRQUE ring = {}; /* empty, as the allocation request leaves it */
        ring.size = ring.numElements = slots;
        RING_PACKET out;
        ULONG nextIn = 0;
        ULONG nextOut = 0;
        /* Producer runs up to 5 ahead, the consumer drains in bursts; then the ring is filled
           to the brim from wherever the indices stand. */
        while (nextOut < 5 * slots || !CirQueIsFull(&ring)) {
            for (int k = 0; k < 5; k++) {
                RING_PACKET packet = MakePacket(nextIn);
                if (!CirQueInsertPacket(&ring, &packet)) {
                    break;
                }
                nextIn++;
                EXPECT_EQ(nextIn - nextOut, CirQueCount(&ring));
            }
            EXPECT_LT(ring.head, slots);
            EXPECT_LT(ring.tail, slots);
            for (int k = 0; k < 3 && nextOut < nextIn && nextOut < 5 * slots; k++) {
                ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
                ASSERT_EQ(nextOut++, out.blockAddress);
                ASSERT_TRUE(CirQueRemovePacket(&ring));
            }
        }
        EXPECT_EQ(slots, nextIn - nextOut);
        EXPECT_EQ(ring.head, ring.tail);
        CIRQUE before = ring;
        RING_PACKET extra = MakePacket(999);
        EXPECT_FALSE(CirQueInsertPacket(&ring, &extra));
        EXPECT_EQ(before.tail, ring.tail) << "a refused insert changes nothing";
        EXPECT_EQ(0, memcmp(before.packets, ring.packets, sizeof(ring.packets)));

        CIRQUE reset = ring;
        reset.packets[MAX_CACHE_BUFFERS - 1] = MakePacket(5);
        CirQueReset(&reset);
        EXPECT_EQ(0u, reset.head | reset.tail | reset.bNotEmpty);
        EXPECT_EQ(slots, reset.size);
        EXPECT_EQ(slots, reset.numElements);
        static const RING_PACKET zero[MAX_CACHE_BUFFERS] = {};
        EXPECT_EQ(0, memcmp(zero, reset.packets, sizeof(zero)));

        /* Drain: each get twice gives the same packet; removing the last empties the ring. */
        while (nextOut < nextIn) {
            ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
            EXPECT_EQ(nextIn - nextOut, CirQueCount(&ring));
            ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
            EXPECT_TRUE(Same(MakePacket(nextOut++), out));
            ASSERT_TRUE(CirQueRemovePacket(&ring));
            EXPECT_FALSE(CirQueIsFull(&ring));
        }
        EXPECT_EQ(0u, CirQueCount(&ring));
        EXPECT_FALSE(CirQueGetNextPacket(&ring, &out));
        EXPECT_FALSE(CirQueRemovePacket(&ring));
    }
}

/* ---- cache allocation requests ---------------------------------------------------------- */

namespace {

const ULONG BuffersTag = HostPoolTag("BrnX");

class CacheAllocationTest : public DriverHarness {
protected:
    void SetUp() override {
        DriverHarness::SetUp();
        unit = PlugRecorder();
        ASSERT_NE(nullptr, unit->Fdo);
        ext = CdwWriterExtension(unit->Fdo);
        handle = OpenRecorder();
        ASSERT_NE(nullptr, handle);
    }

    bool LoggedMsg(const char *Text) const {
        return Logged((std::string("Burnkit[0]: ") + Text).c_str()); /* device 0 */
    }

    /* Sends the allocation request; *Count in, the reported count out (when there is one). */
    IoctlResult Allocate(ULONG *Count, ULONG InLength = 4, ULONG OutLength = 4) {
        ULONG buffer[2] = {*Count, 0};
        IoctlResult r =
            Ioctl(handle, IOCTL_RECORDER_ALLOCATE_CACHE, buffer, InLength, buffer, OutLength);
        *Count = buffer[0];
        return r;
    }

    ULONG AllocateOk(ULONG Wanted) {
        ULONG count = Wanted;
        IoctlResult r = Allocate(&count);
        EXPECT_EQ(STATUS_SUCCESS, r.Status) << Wanted;
        EXPECT_EQ(4u, r.Returned) << Wanted;
        EXPECT_EQ(ext->numCacheBuffers, count);
        EXPECT_EQ(count, ext->CirQue.numElements);
        EXPECT_EQ(count, ext->CirQue.size);
        return count;
    }

    /* Every buffer below the count exists, is a whole page-aligned "BrnX" block; the rest
     * are NULL. */
    void ExpectBufferTable(ULONG Count) {
        EXPECT_EQ(Count, ext->numCacheBuffers);
        EXPECT_EQ(size_t(Count), HostPoolCountInUse(BuffersTag));
        for (ULONG i = 0; i < MAX_CACHE_BUFFERS; i++) {
            size_t size = 0;
            ULONG tag = 0;
            EXPECT_EQ(i < Count, HostPoolLookup(ext->cacheBuffers[i], &size, &tag) &&
                                     size == CACHE_BUFFER_SIZE && tag == BuffersTag &&
                                     reinterpret_cast<uintptr_t>(ext->cacheBuffers[i]) % 4096 == 0)
                << i;
            EXPECT_EQ(i < Count, ext->cacheBuffers[i] != nullptr) << i;
        }
    }

    Unit *unit = nullptr;
    PWriterExtension ext = nullptr;
    HANDLE handle = nullptr;
};

} // namespace

/* (Clamping and the messages of each request: client_test, RecordDisc.NoRecordingStarts...) */
TEST_F(CacheAllocationTest, GrowsShrinksInPlaceAndFrees) {
    EXPECT_EQ(60u, ext->CirQue.numElements);
    EXPECT_EQ(16u, AllocateOk(0));
    ExpectBufferTable(16);
    PUCHAR kept[16];
    memcpy(kept, ext->cacheBuffers, sizeof(kept));
    EXPECT_EQ(96u, AllocateOk(200));
    ExpectBufferTable(96);
    EXPECT_EQ(0, memcmp(kept, ext->cacheBuffers, sizeof(kept))) << "kept in place";
    EXPECT_EQ(50u, AllocateOk(50));
    ExpectBufferTable(50);
    EXPECT_EQ(0, memcmp(kept, ext->cacheBuffers, sizeof(kept)));

    /* The same count allocates nothing and still empties the ring. */
    for (ULONG i = 0; i < 3; i++) {
        CdwSpinLockGuard guard(&ext->CirQueLock);
        RING_PACKET packet = MakePacket(i + 1);
        ASSERT_TRUE(CirQueInsertPacket(&ext->CirQue, &packet));
    }
    EXPECT_EQ(50u, AllocateOk(50));
    ExpectBufferTable(50);
    EXPECT_FALSE(ext->CirQue.bNotEmpty);
    EXPECT_EQ(0u, ext->CirQue.tail);
    EXPECT_TRUE(Same(RING_PACKET{}, ext->CirQue.packets[0]));

    /* Deallocation frees every buffer; the ring keeps its size until the next allocation. */
    IoctlResult r = Ioctl(handle, IOCTL_RECORDER_DEALLOCATE_CACHE, nullptr, 0, nullptr, 0);
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(0u, r.Returned);
    ExpectBufferTable(0);
    EXPECT_EQ(50u, ext->CirQue.numElements);
}

TEST_F(CacheAllocationTest, PoolExhaustionReportsWhatWasObtained) {
    HostPoolFailNth(5, BuffersTag);
    ULONG count = 16;
    IoctlResult r = Allocate(&count);
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(4u, count);
    EXPECT_TRUE(LoggedMsg("CdRecorderAllocateCache - 16 buffers requested, 4 allocated\n"));
    ExpectBufferTable(4);
    EXPECT_EQ(4u, ext->CirQue.numElements);
    HostPoolClearFailures();
    EXPECT_EQ(16u, AllocateOk(16)) << "a later request completes the set";
    ExpectBufferTable(16);
}

TEST_F(CacheAllocationTest, RefusesShortBuffersAndBusyDevices) {
    for (ULONG in : {3u, 4u}) {
        ULONG count = 20;
        IoctlResult r = Allocate(&count, in, in == 4 ? 3 : 4);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, r.Status) << in;
        EXPECT_EQ(0u, r.Returned);
        ExpectBufferTable(0);
    }
    EXPECT_EQ(16u, AllocateOk(16));
    auto setState = [&](ULONG Status, BOOLEAN ReadBusy, BOOLEAN WritePass) {
        CdwSpinLockGuard guard(&ext->StatusLock);
        ext->Status.recordingStatus = Status;
        ext->bReadThreadBusy = ReadBusy;
        ext->bWriteThreadProcRunning = WritePass;
    };
    struct Busy {
        ULONG status;
        BOOLEAN readBusy, writePass;
    } rows[] = {{RECSTAT_IN_PROCESS, FALSE, FALSE},
                {RECSTAT_COMPLETE, TRUE, FALSE},
                {RECSTAT_ABORTED, FALSE, TRUE}};
    for (const Busy &b : rows) {
        SCOPED_TRACE(::testing::Message() << b.status << "/" << int(b.readBusy));
        setState(b.status, b.readBusy, b.writePass);
        ULONG count = 32;
        IoctlResult r = Allocate(&count);
        EXPECT_EQ(STATUS_DEVICE_BUSY, r.Status);
        EXPECT_EQ(0u, r.Returned);
        EXPECT_TRUE(LoggedMsg("CdRecorderAllocateCache - recording in process, buffers in use\n"));
        EXPECT_EQ(b.writePass ? STATUS_UNSUCCESSFUL : STATUS_DEVICE_BUSY,
                  Ioctl(handle, IOCTL_RECORDER_DEALLOCATE_CACHE, nullptr, 0, nullptr, 0).Status);
        EXPECT_TRUE(LoggedMsg(b.writePass ? "CdRecorderDeallocateCache not deallocating - "
                                            "WriteThreadProc still running!\n"
                                          : "CdRecorderDeallocateCache - recording in process, "
                                            "buffers in use\n"));
        ExpectBufferTable(16);
        ClearLog();
    }
    setState(RECSTAT_COMPLETE, FALSE, FALSE);
}
