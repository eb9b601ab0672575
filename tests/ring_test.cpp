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

void ExpectSamePacket(const RING_PACKET &Expected, const RING_PACKET &Actual) {
    EXPECT_EQ(Expected.action, Actual.action);
    EXPECT_EQ(Expected.blockAddress, Actual.blockAddress);
    EXPECT_EQ(Expected.numBlocks, Actual.numBlocks);
    EXPECT_EQ(Expected.bLastPacket, Actual.bLastPacket);
    EXPECT_EQ(Expected.buffer, Actual.buffer);
}

} // namespace

TEST(CirQue, FullAtCapacityRefusesMoreAndCountsAfterRemoval) {
    CIRQUE ring = MakeRing(16);
    for (ULONG i = 0; i < 16; i++) {
        EXPECT_FALSE(CirQueIsFull(&ring)) << i;
        EXPECT_EQ(i, CirQueCount(&ring));
        RING_PACKET packet = MakePacket(i);
        ASSERT_TRUE(CirQueInsertPacket(&ring, &packet)) << i;
    }
    EXPECT_TRUE(CirQueIsFull(&ring));
    EXPECT_EQ(16u, CirQueCount(&ring));
    EXPECT_EQ(ring.head, ring.tail);

    /* The 17th insert fails and changes nothing. */
    RING_PACKET extra = MakePacket(99);
    EXPECT_FALSE(CirQueInsertPacket(&ring, &extra));
    EXPECT_EQ(0u, ring.head);
    EXPECT_EQ(0u, ring.tail);
    EXPECT_TRUE(ring.bNotEmpty);
    for (ULONG i = 0; i < 16; i++) {
        ExpectSamePacket(MakePacket(i), ring.packets[i]);
    }

    ASSERT_TRUE(CirQueRemovePacket(&ring));
    EXPECT_EQ(15u, CirQueCount(&ring));
    EXPECT_EQ(1u, ring.head);
    EXPECT_FALSE(CirQueIsFull(&ring));

    /* Now one slot is free again: slot 0, reused at the tail. */
    ASSERT_TRUE(CirQueInsertPacket(&ring, &extra));
    EXPECT_TRUE(CirQueIsFull(&ring));
    EXPECT_EQ(16u, CirQueCount(&ring));
    ExpectSamePacket(extra, ring.packets[0]);
}

TEST(CirQue, RemovingTheLastPacketEmptiesAndGetIsNotConsuming) {
    CIRQUE ring = MakeRing(16);
    RING_PACKET out;
    EXPECT_FALSE(CirQueGetNextPacket(&ring, &out));
    EXPECT_FALSE(CirQueRemovePacket(&ring));

    RING_PACKET first = MakePacket(1);
    RING_PACKET second = MakePacket(2);
    ASSERT_TRUE(CirQueInsertPacket(&ring, &first));
    ASSERT_TRUE(CirQueInsertPacket(&ring, &second));

    /* Getting twice gives the same packet and leaves the ring as it was. */
    RING_PACKET again;
    ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
    ASSERT_TRUE(CirQueGetNextPacket(&ring, &again));
    ExpectSamePacket(first, out);
    ExpectSamePacket(first, again);
    EXPECT_EQ(2u, CirQueCount(&ring));

    ASSERT_TRUE(CirQueRemovePacket(&ring));
    EXPECT_TRUE(ring.bNotEmpty);
    ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
    ExpectSamePacket(second, out);
    ASSERT_TRUE(CirQueRemovePacket(&ring));
    EXPECT_FALSE(ring.bNotEmpty);
    EXPECT_EQ(ring.head, ring.tail);
    EXPECT_EQ(0u, CirQueCount(&ring));
    EXPECT_FALSE(CirQueIsFull(&ring));
    EXPECT_FALSE(CirQueGetNextPacket(&ring, &out));
    EXPECT_FALSE(CirQueRemovePacket(&ring));
}

TEST(CirQue, KeepsOrderOverManyLapsOfEveryRingSize) {
    const ULONG sizes[] = {16, 17, 60, 96};
    for (ULONG slots : sizes) {
        CIRQUE ring = MakeRing(slots);
        ULONG nextIn = 0;
        ULONG nextOut = 0;
        /* Producer runs up to 5 ahead, the consumer drains in bursts: several laps in all. */
        while (nextOut < 5 * slots) {
            for (int k = 0; k < 5; k++) {
                RING_PACKET packet = MakePacket(nextIn);
                if (!CirQueInsertPacket(&ring, &packet)) {
                    break;
                }
                nextIn++;
            }
            EXPECT_EQ(nextIn - nextOut, CirQueCount(&ring)) << slots;
            EXPECT_LT(ring.head, slots);
            EXPECT_LT(ring.tail, slots);
            for (int k = 0; k < 3 && nextOut < nextIn; k++) {
                RING_PACKET out;
                ASSERT_TRUE(CirQueGetNextPacket(&ring, &out));
                ASSERT_EQ(nextOut, out.blockAddress) << slots;
                ASSERT_TRUE(CirQueRemovePacket(&ring));
                nextOut++;
            }
        }
        /* Fill to the brim from wherever the indices stand. */
        while (!CirQueIsFull(&ring)) {
            RING_PACKET packet = MakePacket(nextIn++);
            ASSERT_TRUE(CirQueInsertPacket(&ring, &packet));
        }
        EXPECT_EQ(slots, CirQueCount(&ring));
        EXPECT_EQ(slots, nextIn - nextOut);
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
    EXPECT_EQ(0u, CirQueCount(&ring));
    RING_PACKET zero;
    memset(&zero, 0, sizeof(zero));
    for (ULONG i = 0; i < MAX_CACHE_BUFFERS; i++) {
        ExpectSamePacket(zero, ring.packets[i]);
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

    std::string Msg(const char *Text) const {
        return "Burnkit[" + std::to_string(CdwDeviceNumber(unit->Fdo)) + "]: " + Text;
    }

    /* Sends the allocation request; *Count in, the reported count out (when there is one). */
    IoctlResult Allocate(ULONG *Count, ULONG InLength = 4, ULONG OutLength = 4) {
        ULONG in[2] = {*Count, 0};
        ULONG out[2] = {0xEEEEEEEEu, 0};
        IoctlResult r =
            Ioctl(Handle(), IOCTL_RECORDER_ALLOCATE_CACHE, in, InLength, out, OutLength);
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
        return Ioctl(Handle(), IOCTL_RECORDER_DEALLOCATE_CACHE, nullptr, 0, nullptr, 0);
    }

    HANDLE Handle() const { return handle; }

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

    void SetBusy(ULONG RecordingStatus, BOOLEAN ReadBusy, BOOLEAN WritePass) {
        {
            CdwSpinLockGuard guard(&ext->StatusLock);
            ext->Status.recordingStatus = RecordingStatus;
            ext->bReadThreadBusy = ReadBusy;
        }
        ext->bWriteThreadProcRunning = WritePass;
    }

    Unit *unit = nullptr;
    PWriterExtension ext = nullptr;
    HANDLE handle = nullptr;
};

} // namespace

TEST_F(CacheAllocationTest, ClampsGrowsAndShrinksInPlace) {
    EXPECT_EQ(0u, ext->numCacheBuffers);
    EXPECT_EQ(60u, ext->CirQue.numElements);

    EXPECT_EQ(16u, AllocateOk(0));
    EXPECT_TRUE(
        Logged(Msg("CdRecorderAllocateCache - 16 buffers requested, 16 allocated\n").c_str()));
    ExpectBufferTable(16);
    PUCHAR first[16];
    memcpy(first, ext->cacheBuffers, sizeof(first));

    EXPECT_EQ(96u, AllocateOk(200));
    EXPECT_TRUE(
        Logged(Msg("CdRecorderAllocateCache - 96 buffers requested, 96 allocated\n").c_str()));
    ExpectBufferTable(96);
    EXPECT_EQ(0, memcmp(first, ext->cacheBuffers, sizeof(first))) << "kept in place";

    EXPECT_EQ(60u, AllocateOk(60));
    PUCHAR kept[50];
    memcpy(kept, ext->cacheBuffers, sizeof(kept));
    ClearLog();
    EXPECT_EQ(50u, AllocateOk(50));
    EXPECT_EQ(Messages(), std::vector<std::string>{
                              Msg("CdRecorderAllocateCache - 50 buffers already allocated\n")});
    ExpectBufferTable(50);
    EXPECT_EQ(0, memcmp(kept, ext->cacheBuffers, sizeof(kept)));

    /* The same count allocates nothing and still empties the ring. */
    {
        CdwSpinLockGuard guard(&ext->CirQueLock);
        for (ULONG i = 0; i < 3; i++) {
            RING_PACKET packet = MakePacket(i + 1);
            ASSERT_TRUE(CirQueInsertPacket(&ext->CirQue, &packet));
        }
    }
    ClearLog();
    EXPECT_EQ(50u, AllocateOk(50));
    EXPECT_TRUE(Logged(Msg("CdRecorderAllocateCache - 50 buffers already allocated\n").c_str()));
    ExpectBufferTable(50);
    EXPECT_FALSE(ext->CirQue.bNotEmpty);
    EXPECT_EQ(0u, ext->CirQue.head);
    EXPECT_EQ(0u, ext->CirQue.tail);
    RING_PACKET zero;
    memset(&zero, 0, sizeof(zero));
    for (ULONG i = 0; i < 3; i++) {
        ExpectSamePacket(zero, ext->CirQue.packets[i]);
    }
}

TEST_F(CacheAllocationTest, PoolExhaustionReportsWhatWasObtained) {
    HostPoolFailNth(5, BuffersTag);
    ULONG count = 16;
    IoctlResult r = Allocate(&count);
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(4u, r.Returned);
    EXPECT_EQ(4u, count);
    EXPECT_TRUE(
        Logged(Msg("CdRecorderAllocateCache - 16 buffers requested, 4 allocated\n").c_str()));
    ExpectBufferTable(4);
    EXPECT_EQ(4u, ext->CirQue.numElements);
    HostPoolClearFailures();

    EXPECT_EQ(16u, AllocateOk(16)) << "a later request completes the set";
    ExpectBufferTable(16);
}

TEST_F(CacheAllocationTest, RefusesShortBuffersDesktopUnitsAndBusyDevices) {
    for (ULONG in : {3u, 4u}) {
        ULONG out = (in == 4) ? 3 : 4;
        ULONG count = 20;
        IoctlResult r = Allocate(&count, in, out);
        EXPECT_EQ(STATUS_INVALID_PARAMETER, r.Status) << in << "/" << out;
        EXPECT_EQ(0u, r.Returned);
        ExpectBufferTable(0);
    }

    EXPECT_EQ(16u, AllocateOk(16));
    struct Busy {
        ULONG status;
        BOOLEAN readBusy;
        BOOLEAN writePass;
    };
    for (const Busy &b :
         {Busy{RECSTAT_IN_PROCESS, FALSE, FALSE}, Busy{RECSTAT_COMPLETE, TRUE, FALSE},
          Busy{RECSTAT_ABORTED, FALSE, TRUE}}) {
        SCOPED_TRACE(::testing::Message()
                     << b.status << "/" << int(b.readBusy) << "/" << int(b.writePass));
        SetBusy(b.status, b.readBusy, b.writePass);
        ClearLog();
        ULONG count = 32;
        IoctlResult r = Allocate(&count);
        EXPECT_EQ(STATUS_DEVICE_BUSY, r.Status);
        EXPECT_EQ(0u, r.Returned);
        EXPECT_TRUE(Logged(
            Msg("CdRecorderAllocateCache - recording in process, buffers in use\n").c_str()));
        r = Deallocate();
        if (b.writePass) {
            EXPECT_EQ(STATUS_UNSUCCESSFUL, r.Status);
            EXPECT_TRUE(Logged(Msg("CdRecorderDeallocateCache not deallocating - "
                                   "WriteThreadProc still running!\n")
                                   .c_str()));
        } else {
            EXPECT_EQ(STATUS_DEVICE_BUSY, r.Status);
            EXPECT_TRUE(Logged(
                Msg("CdRecorderDeallocateCache - recording in process, buffers in use\n").c_str()));
        }
        ExpectBufferTable(16);
    }
    SetBusy(RECSTAT_COMPLETE, FALSE, FALSE);

    Unit *desktop = PlugDesktopUnit();
    ASSERT_NE(nullptr, desktop->Fdo);
    HANDLE desktopHandle = OpenDesktopUnit();
    ASSERT_NE(nullptr, desktopHandle);
    ULONG count = 16;
    IoctlResult r = Ioctl(desktopHandle, IOCTL_RECORDER_ALLOCATE_CACHE, &count, 4, &count, 4);
    EXPECT_EQ(STATUS_INVALID_PARAMETER, r.Status);
    EXPECT_EQ(0u, CdwWriterExtension(desktop->Fdo)->numCacheBuffers);
    EXPECT_EQ(size_t(16), HostPoolCountInUse(BuffersTag));
}

TEST_F(CacheAllocationTest, DeallocationFreesEverything) {
    EXPECT_EQ(20u, AllocateOk(20));
    ClearLog();
    IoctlResult r = Deallocate();
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_EQ(0u, r.Returned);
    EXPECT_TRUE(Logged(Msg("CdRecorderDeallocateCache - 20 buffers deallocated\n").c_str()));
    ExpectBufferTable(0);
    EXPECT_EQ(20u, ext->CirQue.numElements) << "the ring keeps its size until the next allocation";

    r = Deallocate();
    EXPECT_EQ(STATUS_SUCCESS, r.Status);
    EXPECT_TRUE(Logged(Msg("CdRecorderDeallocateCache - 0 buffers deallocated\n").c_str()));
}
