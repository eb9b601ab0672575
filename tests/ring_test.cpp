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

/* An empty ring of Slots slots, as the allocation request leaves it. */
CIRQUE MakeRing(ULONG Slots) {
    CIRQUE ring;
    memset(&ring, 0, sizeof(ring));
    ring.size = Slots;
    ring.numElements = Slots;
    return ring;
}

RING_PACKET MakePacket(ULONG BlockAddress) {
    RING_PACKET packet;
    memset(&packet, 0, sizeof(packet));
    packet.action = PACKET_ACTION_WRITE;
    packet.blockAddress = BlockAddress;
    packet.numBlocks = 1 + BlockAddress % 64;
    packet.bLastPacket = (BlockAddress % 7) == 0;
    packet.buffer = reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(0x1000 + BlockAddress));
    return packet;
}

bool Same(const RING_PACKET &A, const RING_PACKET &B) {
    return A.action == B.action && A.blockAddress == B.blockAddress && A.numBlocks == B.numBlocks &&
           A.bLastPacket == B.bLastPacket && A.buffer == B.buffer;
}

} // namespace

/* Every ring size, several laps: packets come out in order, the count follows the indices
 * across the wrap, a full ring refuses the next packet unchanged and a get does not consume. */
TEST(CirQue, KeepsOrderOverManyLapsAndRefusesWhenFull) {
    for (ULONG slots : {16u, 17u, 60u, 96u}) {
        SCOPED_TRACE(slots);
        CIRQUE ring = MakeRing(slots);
        RING_PACKET out;
        EXPECT_FALSE(CirQueGetNextPacket(&ring, &out));
        EXPECT_FALSE(CirQueRemovePacket(&ring));
        ULONG nextIn = 0;
        ULONG nextOut = 0;
        /* Producer runs up to 5 ahead, the consumer drains in bursts. */
        while (nextOut < 5 * slots) {
            for (int k = 0; k < 5; k++) {
                RING_PACKET packet = MakePacket(nextIn);
                if (!CirQueInsertPacket(&ring, &packet)) {
                    break;
                }
                nextIn++;
            }
            EXPECT_EQ(nextIn - nextOut, CirQueCount(&ring));
            EXPECT_LT(ring.head, slots);
            EXPECT_LT(ring.tail, slots);
            for (int k = 0; k < 3 && nextOut < nextIn; k++) {
                ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
                ASSERT_EQ(nextOut, out.blockAddress);
                ASSERT_TRUE(CirQueRemovePacket(&ring));
                nextOut++;
            }
        }
        /* Fill to the brim from wherever the indices stand. */
        while (!CirQueIsFull(&ring)) {
            EXPECT_EQ(nextIn - nextOut, CirQueCount(&ring));
            RING_PACKET packet = MakePacket(nextIn++);
            ASSERT_TRUE(CirQueInsertPacket(&ring, &packet));
        }
        EXPECT_EQ(slots, CirQueCount(&ring));
        EXPECT_EQ(slots, nextIn - nextOut);
        EXPECT_EQ(ring.head, ring.tail);
        CIRQUE before = ring;
        RING_PACKET extra = MakePacket(999);
        EXPECT_FALSE(CirQueInsertPacket(&ring, &extra));
        EXPECT_EQ(before.tail, ring.tail) << "a refused insert changes nothing";
        EXPECT_TRUE(Same(before.packets[ring.tail], ring.packets[ring.tail]));

        /* Drain: each get twice gives the same packet; removing the last empties the ring. */
        while (nextOut < nextIn) {
            EXPECT_TRUE(ring.bNotEmpty);
            ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
            EXPECT_EQ(nextIn - nextOut, CirQueCount(&ring));
            ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
            EXPECT_TRUE(Same(MakePacket(nextOut++), out));
            ASSERT_TRUE(CirQueRemovePacket(&ring));
            EXPECT_FALSE(CirQueIsFull(&ring));
        }
        EXPECT_FALSE(ring.bNotEmpty);
        EXPECT_EQ(0u, CirQueCount(&ring));
        EXPECT_FALSE(CirQueGetNextPacket(&ring, &out));
        EXPECT_FALSE(CirQueRemovePacket(&ring));
    }
}

TEST(CirQue, ResetEmptiesAndZeroesEverySlotButKeepsTheSize) {
    CIRQUE ring = MakeRing(16);
    for (ULONG i = 0; i < 10; i++) {
        RING_PACKET packet = MakePacket(i + 1);
        ASSERT_TRUE(CirQueInsertPacket(&ring, &packet));
    }
    ASSERT_TRUE(CirQueRemovePacket(&ring));
    ring.packets[95] = MakePacket(5); /* a stale slot beyond the ring's current size */

    CirQueReset(&ring);
    EXPECT_EQ(0u, ring.head);
    EXPECT_EQ(0u, ring.tail);
    EXPECT_FALSE(ring.bNotEmpty);
    EXPECT_EQ(16u, ring.size);
    EXPECT_EQ(16u, ring.numElements);
    RING_PACKET zero;
    memset(&zero, 0, sizeof(zero));
    for (ULONG i = 0; i < MAX_CACHE_BUFFERS; i++) {
        EXPECT_TRUE(Same(zero, ring.packets[i])) << i;
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
        ClearLog();
    }

    bool LoggedMsg(const char *Text) const {
        return Logged((std::string("Burnkit[0]: ") + Text).c_str()); /* device 0 */
    }

    /* Sends the allocation request; *Count in, the reported count out (when there is one). */
    IoctlResult Allocate(ULONG *Count, ULONG InLength = 4, ULONG OutLength = 4) {
        ULONG in[2] = {*Count, 0};
        ULONG out[2] = {0xEEEEEEEEu, 0};
        IoctlResult r = Ioctl(handle, IOCTL_RECORDER_ALLOCATE_CACHE, in, InLength, out, OutLength);
        if (r.Returned >= sizeof(ULONG)) {
            *Count = out[0];
        }
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

    IoctlResult Deallocate() {
        return Ioctl(handle, IOCTL_RECORDER_DEALLOCATE_CACHE, nullptr, 0, nullptr, 0);
    }

    /* Every buffer below the count exists, is a whole page-aligned "BrnX" block; the rest
     * are NULL. */
    void ExpectBufferTable(ULONG Count) {
        EXPECT_EQ(Count, ext->numCacheBuffers);
        EXPECT_EQ(size_t(Count), HostPoolCountInUse(BuffersTag));
        for (ULONG i = 0; i < MAX_CACHE_BUFFERS; i++) {
            if (i < Count) {
                size_t size = 0;
                ULONG tag = 0;
                ASSERT_TRUE(HostPoolLookup(ext->cacheBuffers[i], &size, &tag)) << i;
                EXPECT_EQ(size_t(CACHE_BUFFER_SIZE), size) << i;
                EXPECT_EQ(BuffersTag, tag) << i;
                EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(ext->cacheBuffers[i]) % 4096) << i;
            } else {
                EXPECT_EQ(nullptr, ext->cacheBuffers[i]) << i;
            }
        }
    }

    Unit *unit = nullptr;
    PWriterExtension ext = nullptr;
    HANDLE handle = nullptr;
};

} // namespace

TEST_F(CacheAllocationTest, ClampsGrowsShrinksInPlaceAndFrees) {
    EXPECT_EQ(0u, ext->numCacheBuffers);
    EXPECT_EQ(60u, ext->CirQue.numElements);

    EXPECT_EQ(16u, AllocateOk(0));
    EXPECT_TRUE(LoggedMsg("CdRecorderAllocateCache - 16 buffers requested, 16 allocated\n"));
    ExpectBufferTable(16);
    PUCHAR first[16];
    memcpy(first, ext->cacheBuffers, sizeof(first));

    EXPECT_EQ(96u, AllocateOk(200));
    EXPECT_TRUE(LoggedMsg("CdRecorderAllocateCache - 96 buffers requested, 96 allocated\n"));
    ExpectBufferTable(96);
    EXPECT_EQ(0, memcmp(first, ext->cacheBuffers, sizeof(first))) << "kept in place";

    EXPECT_EQ(60u, AllocateOk(60));
    PUCHAR kept[50];
    memcpy(kept, ext->cacheBuffers, sizeof(kept));
    ClearLog();
    EXPECT_EQ(50u, AllocateOk(50));
    EXPECT_EQ(Messages(),
              std::vector<std::string>{"Burnkit[0]: CdRecorderAllocateCache - 50 buffers already "
                                       "allocated\n"});
    ExpectBufferTable(50);
    EXPECT_EQ(0, memcmp(kept, ext->cacheBuffers, sizeof(kept)));

    /* The same count allocates nothing and still empties the ring. */
    for (ULONG i = 0; i < 3; i++) {
        CdwSpinLockGuard guard(&ext->CirQueLock);
        RING_PACKET packet = MakePacket(i + 1);
        ASSERT_TRUE(CirQueInsertPacket(&ext->CirQue, &packet));
    }
    ClearLog();
    EXPECT_EQ(50u, AllocateOk(50));
    EXPECT_TRUE(LoggedMsg("CdRecorderAllocateCache - 50 buffers already allocated\n"));
    ExpectBufferTable(50);
    EXPECT_FALSE(ext->CirQue.bNotEmpty);
    EXPECT_EQ(0u, ext->CirQue.tail);
    EXPECT_TRUE(Same(RING_PACKET{}, ext->CirQue.packets[0]));

    /* Deallocation frees every buffer; the ring keeps its size until the next allocation. */
    ClearLog();
    IoctlResult r = Deallocate();
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(0u, r.Returned);
    EXPECT_TRUE(LoggedMsg("CdRecorderDeallocateCache - 50 buffers deallocated\n"));
    ExpectBufferTable(0);
    EXPECT_EQ(50u, ext->CirQue.numElements);
    EXPECT_EQ(STATUS_SUCCESS, Deallocate().Status);
    EXPECT_TRUE(LoggedMsg("CdRecorderDeallocateCache - 0 buffers deallocated\n"));
}

TEST_F(CacheAllocationTest, PoolExhaustionReportsWhatWasObtained) {
    HostPoolFailNth(5, BuffersTag);
    ULONG count = 16;
    IoctlResult r = Allocate(&count);
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(4u, r.Returned);
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
    struct Busy {
        ULONG status;
        BOOLEAN readBusy;
        BOOLEAN writePass;
    } rows[] = {{RECSTAT_IN_PROCESS, FALSE, FALSE},
                {RECSTAT_COMPLETE, TRUE, FALSE},
                {RECSTAT_ABORTED, FALSE, TRUE}};
    for (const Busy &b : rows) {
        SCOPED_TRACE(::testing::Message() << b.status << "/" << int(b.readBusy));
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            ext->Status.recordingStatus = b.status;
            ext->bReadThreadBusy = b.readBusy;
            ext->bWriteThreadProcRunning = b.writePass;
        }
        ClearLog();
        ULONG count = 32;
        IoctlResult r = Allocate(&count);
        EXPECT_EQ(STATUS_DEVICE_BUSY, r.Status);
        EXPECT_EQ(0u, r.Returned);
        EXPECT_TRUE(LoggedMsg("CdRecorderAllocateCache - recording in process, buffers in use\n"));
        r = Deallocate();
        if (b.writePass) {
            EXPECT_EQ(STATUS_UNSUCCESSFUL, r.Status);
            EXPECT_TRUE(LoggedMsg("CdRecorderDeallocateCache not deallocating - "
                                  "WriteThreadProc still running!\n"));
        } else {
            EXPECT_EQ(STATUS_DEVICE_BUSY, r.Status);
            EXPECT_TRUE(
                LoggedMsg("CdRecorderDeallocateCache - recording in process, buffers in use\n"));
        }
        ExpectBufferTable(16);
    }
    {
        CdwSpinLockGuard guard(&ext->StatusLock);
        ext->Status.recordingStatus = RECSTAT_COMPLETE;
        ext->bReadThreadBusy = FALSE;
        ext->bWriteThreadProcRunning = FALSE;
    }
}
