/*
 * ring.cpp - the packet ring between a recorder's read thread and its write thread.
 *
 * Slot i of the ring always describes data held in cache buffer i, so a buffer is free exactly
 * when its slot is. The ring keeps no count: it is empty when bNotEmpty is FALSE (head equals
 * tail) and full when head equals tail while bNotEmpty is TRUE.
 *
 * None of these routines takes a lock: every caller holds the device's CirQueLock around each
 * call, so they run at DISPATCH_LEVEL and touch only the non-paged ring record.
 */
#include "../driver/writer.h"

/* The slot after Index, wrapping at the number of slots in use. */
static inline ULONG CirQueNextIndex(const CIRQUE *Ring, ULONG Index) {
    ULONG next = Index + 1;
    return (next >= Ring->numElements) ? 0 : next;
}

/*++

Routine Description:

    Appends a copy of a packet descriptor at the tail of the ring. The tail slot is reserved
    (full test, advance of the tail, bNotEmpty) before the packet is copied into it; both
    happen under the caller's hold of CirQueLock.

Arguments:

    Ring - the device's ring.
    Packet - the descriptor to copy in (20 bytes of content).

Return Value:

    TRUE when the packet was inserted, FALSE when the ring is full.

IRQL: DISPATCH_LEVEL (CirQueLock held by the caller).

--*/
BOOLEAN CirQueInsertPacket(PCIRQUE Ring, const RING_PACKET *Packet) {
    if (CirQueIsFull(Ring)) {
        return FALSE;
    }
    ULONG slot = Ring->tail;
    Ring->tail = CirQueNextIndex(Ring, slot);
    Ring->bNotEmpty = TRUE;
    Ring->packets[slot] = *Packet;
    return TRUE;
}

/*++

Routine Description:

    Copies the oldest packet of the ring to the caller without removing it; the write thread
    removes it only after its data has reached the recorder.

Arguments:

    Ring - the device's ring.
    Packet - receives the copy.

Return Value:

    TRUE when a packet was copied, FALSE when the ring is empty.

IRQL: DISPATCH_LEVEL (CirQueLock held by the caller).

--*/
BOOLEAN CirQueGetNextPacket(PCIRQUE Ring, PRING_PACKET Packet) {
    if (!Ring->bNotEmpty) {
        return FALSE;
    }
    *Packet = Ring->packets[Ring->head];
    return TRUE;
}

/*++

Routine Description:

    Drops the oldest packet of the ring, which frees its slot and cache buffer for the read
    thread.

Arguments:

    Ring - the device's ring.

Return Value:

    TRUE when a packet was removed, FALSE when the ring is empty.

IRQL: DISPATCH_LEVEL (CirQueLock held by the caller).

--*/
BOOLEAN CirQueRemovePacket(PCIRQUE Ring) {
    if (!Ring->bNotEmpty) {
        return FALSE;
    }
    Ring->head = CirQueNextIndex(Ring, Ring->head);
    if (Ring->head == Ring->tail) {
        Ring->bNotEmpty = FALSE;
    }
    return TRUE;
}

/*++

Routine Description:

    Tells whether every slot in use holds a packet.

Arguments:

    Ring - the device's ring.

Return Value:

    TRUE when the ring is full.

IRQL: DISPATCH_LEVEL (CirQueLock held by the caller).

--*/
BOOLEAN CirQueIsFull(const CIRQUE *Ring) {
    return (Ring->head == Ring->tail && Ring->bNotEmpty) ? TRUE : FALSE;
}

/*++

Routine Description:

    Derives the number of packets in the ring from its indices.

Arguments:

    Ring - the device's ring.

Return Value:

    The number of packets, 0 to numElements.

IRQL: DISPATCH_LEVEL (CirQueLock held by the caller).

--*/
ULONG CirQueCount(const CIRQUE *Ring) {
    if (!Ring->bNotEmpty) {
        return 0;
    }
    if (Ring->head < Ring->tail) {
        return Ring->tail - Ring->head;
    }
    return Ring->numElements - Ring->head + Ring->tail;
}

/*++

Routine Description:

    Empties the ring and zeroes all of its slots, keeping the number of slots in use. Used at
    the start of each recording and by the cache allocation request.

Arguments:

    Ring - the device's ring.

Return Value:

    None.

IRQL: any (the read thread holds CirQueLock; the allocation request runs while no recording
    uses the ring).

--*/
VOID CirQueReset(PCIRQUE Ring) {
    Ring->head = 0;
    Ring->tail = 0;
    Ring->bNotEmpty = FALSE;
    RtlZeroMemory(Ring->packets, sizeof(Ring->packets));
}
