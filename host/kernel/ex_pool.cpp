/*
 * ex_pool.cpp - executive pool of the kernel stand-in, and ExRaiseStatus.
 *
 * Every allocation is a separate host allocation (so address sanitizers see its bounds),
 * filled with a pattern so that memory handed out without being initialised is recognisable,
 * and accounted by tag. Cache-aligned pool is page-aligned so that unbuffered file reads can
 * land in it directly. Failures can be injected by count, by tag or at random.
 */
#include "ke_internal.h"

#include <map>
#include <unordered_map>

#include <stdio.h>
#include <stdlib.h>

namespace {

struct Block {
    size_t Size;
    ULONG Tag;
    POOL_TYPE Type;
};

struct TagUse {
    size_t Bytes = 0;
    size_t Count = 0;
};

struct Pool {
    std::mutex Lock;
    std::unordered_map<const void *, Block> Blocks;
    std::map<ULONG, TagUse> Tags;
    uint64_t TotalAllocations = 0;
    size_t PagedBytes = 0; /* in use, against the pools' sizes */
    size_t NonPagedBytes = 0;
    /* injected failures */
    ULONG NthRemaining = 0; /* 0: off */
    ULONG NthTag = 0;
    std::map<ULONG, LONG> TagFailures; /* tag -> remaining (-1: every one) */
    ULONG RandomPermille = 0;
    ULONG RandomTag = 0;
    uint64_t RandomState = 0;
    ULONG Injected = 0;
};

Pool &P() {
    static Pool *pool = new Pool; /* never destroyed: threads may free during exit */
    return *pool;
}

bool IsPaged(POOL_TYPE Type) {
    return Type == PagedPool || Type == PagedPoolCacheAligned;
}

/* The pools are as large as on a 32-bit system: an allocation that does not fit fails (as
 * a real one would) instead of taking the host's memory. */
constexpr size_t kNonPagedPoolSize = 256u << 20;
constexpr size_t kPagedPoolSize = 512u << 20;

size_t &PoolBytesLocked(Pool &pool, POOL_TYPE Type) {
    return IsPaged(Type) ? pool.PagedBytes : pool.NonPagedBytes;
}

bool IsCacheAligned(POOL_TYPE Type) {
    return Type == NonPagedPoolCacheAligned || Type == PagedPoolCacheAligned ||
           Type == NonPagedPoolCacheAlignedMustS;
}

uint64_t NextRandom(uint64_t &State) {
    /* splitmix64: small, seeded, reproducible */
    uint64_t z = (State += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

/* With the pool lock held: does this allocation fail by injection? */
bool InjectFailureLocked(Pool &pool, ULONG Tag) {
    if (pool.NthRemaining != 0 && (pool.NthTag == 0 || pool.NthTag == Tag)) {
        if (--pool.NthRemaining == 0) {
            return true;
        }
    }
    auto it = pool.TagFailures.find(Tag);
    if (it != pool.TagFailures.end()) {
        if (it->second < 0) {
            return true;
        }
        if (it->second > 0) {
            if (--it->second == 0) {
                pool.TagFailures.erase(it);
            }
            return true;
        }
    }
    if (pool.RandomPermille != 0 && (pool.RandomTag == 0 || pool.RandomTag == Tag)) {
        if (NextRandom(pool.RandomState) % 1000 < pool.RandomPermille) {
            return true;
        }
    }
    return false;
}

void FreeBlock(PVOID Pointer, bool CheckTag, ULONG Tag, const char *Routine) {
    if (Pointer == nullptr) {
        HostVerifierStop("%s(NULL)", Routine);
        return;
    }
    Pool &pool = P();
    Block block{};
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(pool.Lock);
        auto it = pool.Blocks.find(Pointer);
        if (it != pool.Blocks.end()) {
            known = true;
            block = it->second;
            pool.Blocks.erase(it);
            TagUse &use = pool.Tags[block.Tag];
            use.Bytes -= block.Size;
            use.Count -= 1;
            PoolBytesLocked(pool, block.Type) -= block.Size;
            if (use.Count == 0) {
                pool.Tags.erase(block.Tag);
            }
        }
    }
    if (!known) {
        HostVerifierStop("%s of %p, which is not allocated pool (freed twice, or never "
                         "allocated)",
                         Routine, Pointer);
        return;
    }
    /* Freed before any report, so that a report caught by a test leaks nothing. */
    memset(Pointer, HOST_POOL_FREED_FILL, block.Size);
    free(Pointer);
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (IsPaged(block.Type) && irql > APC_LEVEL)) {
        HostVerifierStop("%s of %s pool at IRQL %u", Routine,
                         IsPaged(block.Type) ? "paged" : "non-paged", (unsigned)irql);
    }
    if (CheckTag && Tag != block.Tag) {
        HostVerifierStop("%s of %p with tag '%s', allocated with tag '%s'", Routine, Pointer,
                         HostPoolTagName(Tag).c_str(), HostPoolTagName(block.Tag).c_str());
    }
}

} // namespace

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL || (IsPaged(PoolType) && irql > APC_LEVEL)) {
        HostVerifierStop("ExAllocatePoolWithTag(%s, %zu, '%s') at IRQL %u",
                         IsPaged(PoolType) ? "PagedPool" : "NonPagedPool", (size_t)NumberOfBytes,
                         HostPoolTagName(Tag).c_str(), (unsigned)irql);
    }
    if ((int)PoolType < 0 || PoolType >= MaxPoolType || PoolType == DontUseThisType) {
        HostVerifierStop("ExAllocatePoolWithTag with pool type %d", (int)PoolType);
        return nullptr;
    }
    Pool &pool = P();
    {
        std::lock_guard<std::mutex> lock(pool.Lock);
        if (InjectFailureLocked(pool, Tag)) {
            ++pool.Injected;
            return nullptr;
        }
    }
    size_t size = NumberOfBytes == 0 ? 1 : (size_t)NumberOfBytes;
    {
        std::lock_guard<std::mutex> lock(pool.Lock);
        size_t &inUse = PoolBytesLocked(pool, PoolType);
        size_t limit = IsPaged(PoolType) ? kPagedPoolSize : kNonPagedPoolSize;
        if (size > limit - inUse) {
            return nullptr;
        }
        inUse += size;
    }
    size_t alignment = IsCacheAligned(PoolType) ? PAGE_SIZE : 16;
    void *memory = nullptr;
    if (posix_memalign(&memory, alignment, size) != 0) {
        std::lock_guard<std::mutex> lock(pool.Lock);
        PoolBytesLocked(pool, PoolType) -= size;
        return nullptr;
    }
    memset(memory, HOST_POOL_FRESH_FILL, size);
    std::lock_guard<std::mutex> lock(pool.Lock);
    pool.Blocks[memory] = Block{size, Tag, PoolType};
    TagUse &use = pool.Tags[Tag];
    use.Bytes += size;
    use.Count += 1;
    ++pool.TotalAllocations;
    return memory;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, HostPoolTag("None"));
}

VOID ExFreePool(PVOID P) {
    FreeBlock(P, false, 0, "ExFreePool");
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    FreeBlock(P, true, Tag, "ExFreePoolWithTag");
}

VOID ExRaiseStatus(NTSTATUS Status) {
    throw HOST_RAISED_STATUS{Status};
}

} // extern "C"

std::string HostPoolTagName(ULONG Tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        unsigned char c = (unsigned char)(Tag >> (8 * i));
        name += (c >= 0x20 && c < 0x7F) ? (char)c : '.';
    }
    return name;
}

size_t HostPoolBytesInUse(ULONG Tag) {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    size_t bytes = 0;
    for (const auto &use : pool.Tags) {
        if (Tag == 0 || use.first == Tag) {
            bytes += use.second.Bytes;
        }
    }
    return bytes;
}

size_t HostPoolCountInUse(ULONG Tag) {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    size_t count = 0;
    for (const auto &use : pool.Tags) {
        if (Tag == 0 || use.first == Tag) {
            count += use.second.Count;
        }
    }
    return count;
}

uint64_t HostPoolTotalAllocations() {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    return pool.TotalAllocations;
}

bool HostPoolLookup(const void *Pointer, size_t *Size, ULONG *Tag) {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    auto it = pool.Blocks.find(Pointer);
    if (it == pool.Blocks.end()) {
        return false;
    }
    if (Size != nullptr) {
        *Size = it->second.Size;
    }
    if (Tag != nullptr) {
        *Tag = it->second.Tag;
    }
    return true;
}

std::string HostPoolReport() {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    std::string report;
    for (const auto &use : pool.Tags) {
        char line[160];
        snprintf(line, sizeof line,
                 "pool tag '%s' (0x%08X): %zu allocation(s), %zu bytes still "
                 "allocated\n",
                 HostPoolTagName(use.first).c_str(), (unsigned)use.first, use.second.Count,
                 use.second.Bytes);
        report += line;
    }
    return report;
}

void HostPoolFailNth(ULONG N, ULONG Tag) {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    pool.NthRemaining = N;
    pool.NthTag = Tag;
}

void HostPoolFailTag(ULONG Tag, LONG Count) {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    if (Count == 0) {
        pool.TagFailures.erase(Tag);
    } else {
        pool.TagFailures[Tag] = Count < 0 ? -1 : Count;
    }
}

void HostPoolFailRandom(uint32_t Seed, ULONG Permille, ULONG Tag) {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    pool.RandomState = Seed;
    pool.RandomPermille = Permille > 1000 ? 1000 : Permille;
    pool.RandomTag = Tag;
}

void HostPoolClearFailures() {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    pool.NthRemaining = 0;
    pool.NthTag = 0;
    pool.TagFailures.clear();
    pool.RandomPermille = 0;
    pool.RandomTag = 0;
}

ULONG HostPoolInjectedFailures() {
    Pool &pool = P();
    std::lock_guard<std::mutex> lock(pool.Lock);
    return pool.Injected;
}
