/*
 * ke_lockorder.cpp - the lock-order part of the verifier: a graph of "lock B was taken while
 * lock A was held" over every spin lock and every lock the rest of the stand-in names through
 * HostLockOrderAcquire. A new edge that closes a cycle is a violation at once, whether or not
 * the two orders ever met at run time: the deadlock they allow needs only unlucky timing.
 *
 * A lock is known by its address. Initializing a spin lock (and HostLockOrderForget, for a
 * lock whose storage goes away) drops the edges of that address, so a new lock that reuses the
 * storage of a freed one does not inherit its history. Under ThreadSanitizer the spin locks are
 * also announced as mutexes, so its own lock-order detector sees them next to the host's
 * mutexes.
 */
#include "ke_internal.h"

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#if defined(__SANITIZE_THREAD__)
#define HOST_TSAN_SPIN_LOCKS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define HOST_TSAN_SPIN_LOCKS 1
#endif
#endif
#ifdef HOST_TSAN_SPIN_LOCKS
#include <sanitizer/tsan_interface.h>
#endif

namespace {

/* Per thread: blocking locks named through HostLockOrderAcquire, most recent last. */
thread_local std::vector<const void *> t_blockingHeld;

struct LockGraph {
    std::mutex Lock;
    std::map<const void *, std::set<const void *>> After; /* A -> locks taken while A held */
    std::map<const void *, std::string> Names;
    ULONG Cycles = 0;
};

LockGraph &Graph() {
    static LockGraph *graph = new LockGraph; /* lives as long as the process */
    return *graph;
}

/* Whether To is reachable from From; fills Path (From ... To) when it is. */
bool Reaches(LockGraph &G, const void *From, const void *To, std::vector<const void *> &Path,
             std::set<const void *> &Seen) {
    Path.push_back(From);
    if (From == To) {
        return true;
    }
    if (Seen.insert(From).second) {
        auto it = G.After.find(From);
        if (it != G.After.end()) {
            for (const void *next : it->second) {
                if (Reaches(G, next, To, Path, Seen)) {
                    return true;
                }
            }
        }
    }
    Path.pop_back();
    return false;
}

std::string LockName(LockGraph &G, const void *Lock) {
    char text[64];
    snprintf(text, sizeof text, "%p", Lock);
    auto it = G.Names.find(Lock);
    return it == G.Names.end() ? std::string("spin lock ") + text : it->second + " " + text;
}

/* Records Held -> Lock for every lock held; reports a cycle that a new edge closes. */
void NoteOrder(const std::vector<const void *> &Held, const void *Lock) {
    std::string report;
    {
        LockGraph &g = Graph();
        std::lock_guard<std::mutex> guard(g.Lock);
        for (const void *held : Held) {
            if (held == Lock || !g.After[held].insert(Lock).second) {
                continue;
            }
            std::vector<const void *> path;
            std::set<const void *> seen;
            if (Reaches(g, Lock, held, path, seen)) {
                g.Cycles++;
                report = LockName(g, Lock) + " taken while holding " + LockName(g, held) +
                         ", but elsewhere the order was";
                for (size_t i = 0; i < path.size(); i++) {
                    report += (i == 0 ? " " : " -> ") + LockName(g, path[i]);
                }
                break;
            }
        }
    }
    if (!report.empty()) {
        HostVerifierStop("lock order cycle: %s", report.c_str());
    }
}

void ForgetLock(const void *Lock) {
    LockGraph &g = Graph();
    std::lock_guard<std::mutex> guard(g.Lock);
    if (g.After.empty()) {
        return;
    }
    g.After.erase(Lock);
    for (auto &entry : g.After) {
        entry.second.erase(Lock);
    }
    g.Names.erase(Lock);
}

} // namespace

namespace hostk {

void LockOrderSpinAcquire(ThreadState *Thread, PKSPIN_LOCK Lock) {
    if (Thread->HeldCount > 0 || !t_blockingHeld.empty()) {
        std::vector<const void *> held(t_blockingHeld);
        for (ULONG i = 0; i < Thread->HeldCount; i++) {
            held.push_back(Thread->Held[i]);
        }
        NoteOrder(held, Lock);
    }
}

void LockOrderSpinInitialize(PKSPIN_LOCK Lock) {
    ForgetLock(Lock);
}

void TsanSpinPreLock(PKSPIN_LOCK Lock) {
#ifdef HOST_TSAN_SPIN_LOCKS
    __tsan_mutex_pre_lock(Lock, __tsan_mutex_linker_init);
#else
    (void)Lock;
#endif
}

void TsanSpinPostLock(PKSPIN_LOCK Lock) {
#ifdef HOST_TSAN_SPIN_LOCKS
    __tsan_mutex_post_lock(Lock, __tsan_mutex_linker_init, 0);
#else
    (void)Lock;
#endif
}

void TsanSpinPreUnlock(PKSPIN_LOCK Lock) {
#ifdef HOST_TSAN_SPIN_LOCKS
    __tsan_mutex_pre_unlock(Lock, 0);
#else
    (void)Lock;
#endif
}

void TsanSpinPostUnlock(PKSPIN_LOCK Lock) {
#ifdef HOST_TSAN_SPIN_LOCKS
    __tsan_mutex_post_unlock(Lock, 0);
#else
    (void)Lock;
#endif
}

} // namespace hostk

void HostLockOrderAcquire(const void *Lock, const char *Name) {
    hostk::ThreadState *self = hostk::Self();
    if (Name != nullptr) {
        LockGraph &g = Graph();
        std::lock_guard<std::mutex> guard(g.Lock);
        g.Names[Lock] = Name;
    }
    std::vector<const void *> held(t_blockingHeld);
    for (ULONG i = 0; i < self->HeldCount; i++) {
        held.push_back(self->Held[i]);
    }
    if (!held.empty()) {
        NoteOrder(held, Lock);
    }
    t_blockingHeld.push_back(Lock);
}

void HostLockOrderRelease(const void *Lock) {
    for (size_t i = t_blockingHeld.size(); i > 0; i--) {
        if (t_blockingHeld[i - 1] == Lock) {
            t_blockingHeld.erase(t_blockingHeld.begin() + (long)(i - 1));
            return;
        }
    }
    HostVerifierStop("lock %p released by a thread that does not hold it", Lock);
}

void HostLockOrderForget(const void *Lock) {
    ForgetLock(Lock);
}

ULONG HostLockOrderCycles() {
    LockGraph &g = Graph();
    std::lock_guard<std::mutex> guard(g.Lock);
    return g.Cycles;
}
