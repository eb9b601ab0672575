/*
 * ke_thread.cpp - system threads and thread objects of the kernel stand-in.
 *
 * A system thread is a host thread known to the scheduler from the moment PsCreateSystemThread
 * returns until its start routine has returned or called PsTerminateSystemThread. Its thread
 * object is a dispatcher object (signalled when the thread has ended) with a reference count:
 * one reference for the running thread, one for the handle that PsCreateSystemThread returns.
 * Threads that the stand-in did not create get a thread object on their first
 * KeGetCurrentThread, held until the host thread exits.
 */
#include "io_private.h"
#include "ke_internal.h"

#include <standin/io.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>
#include <new>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <sched.h>
#include <stdio.h>

namespace {

/* Ends a system thread; thrown by PsTerminateSystemThread, caught only by the trampoline. */
struct HostThreadTermination {
    NTSTATUS ExitStatus;
};

LIST_ENTRY g_alive = {&g_alive, &g_alive}; /* under the scheduler lock */
ULONG g_aliveCount = 0;                    /* under the scheduler lock */
KEVENT g_allEnded = {{hostk::kNotificationEventType,
                      0,
                      sizeof(KEVENT) / sizeof(LONG),
                      0,
                      1,
                      {&g_allEnded.Header.WaitListHead, &g_allEnded.Header.WaitListHead}}};
std::atomic<ULONG> g_nextThreadId{1};
std::atomic<bool> g_realTimePriorities{false};
std::atomic<ULONG> g_realTimeThreads{0};

/*
 * The host threads behind system threads. A system thread's end is signalled before its host
 * thread has finished (thread-local destructors still run); the shutdown check joins the host
 * threads so that nothing of an ended thread is still on its way out when it reports.
 */
struct HostThread {
    std::thread Thread;
    std::atomic<bool> Done{false};
};
std::mutex g_hostThreadsLock;
std::vector<HostThread *> *g_hostThreads = new std::vector<HostThread *>; /* process lifetime */

/* Joins the host threads whose system threads have ended (at most Patience real time for
 * one that has signalled its end but not yet left). */
void JoinEndedHostThreads(std::chrono::milliseconds Patience) {
    std::vector<HostThread *> ended;
    {
        std::lock_guard<std::mutex> lock(g_hostThreadsLock);
        auto deadline = std::chrono::steady_clock::now() + Patience;
        for (size_t i = 0; i < g_hostThreads->size();) {
            HostThread *host = (*g_hostThreads)[i];
            while (!host->Done.load() && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            if (host->Done.load()) {
                ended.push_back(host);
                (*g_hostThreads)[i] = g_hostThreads->back();
                g_hostThreads->pop_back();
            } else {
                i++;
            }
        }
    }
    for (HostThread *host : ended) {
        host->Thread.join();
        delete host;
    }
}
std::atomic<NTSTATUS> g_failNextCreate{STATUS_SUCCESS};

char g_threadTypeStorage;
POBJECT_TYPE g_threadType = (POBJECT_TYPE)&g_threadTypeStorage;
char g_processStorage;

void DestroyThreadObject(void *Object) {
    _KTHREAD *thread = (_KTHREAD *)Object;
    {
        std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
        if (!IsListEmpty(&thread->Header.WaitListHead)) {
            HostVerifierStop("thread object %p freed while a thread waits on it", Object);
        }
    }
    delete thread;
}

_KTHREAD *NewThreadObject(bool System) {
    _KTHREAD *thread = new _KTHREAD;
    memset(thread, 0, sizeof *thread);
    thread->Header.Type = hostk::kThreadObjectType;
    thread->Header.Size = (UCHAR)(sizeof(_KTHREAD) / sizeof(LONG));
    InitializeListHead(&thread->Header.WaitListHead);
    InitializeListHead(&thread->AliveLink);
    thread->Priority = 8;
    thread->System = System ? TRUE : FALSE;
    thread->Id = g_nextThreadId.fetch_add(1);
    return thread;
}

void CloseThreadHandle(void *Object) {
    ObfDereferenceObject(Object);
}

std::string DescribeThreadLocked(const _KTHREAD *Thread) {
    char line[160];
    snprintf(line, sizeof line,
             "system thread %u (start routine %p, context %p): ", (unsigned)Thread->Id,
             (void *)Thread->StartRoutine, Thread->StartContext);
    return line + hostk::SchedulerDescribeWait(Thread->Running);
}

void SystemThreadTrampoline(_KTHREAD *Thread, HostThread *Host) {
    struct DoneMark {
        HostThread *Host;
        ~DoneMark() { Host->Done.store(true); }
    } done{Host};
    hostk::ThreadState *self = hostk::Self();
    {
        std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
        self->System = true; /* counted as running by PsCreateSystemThread already */
        self->ThreadObject = Thread;
        char name[64];
        snprintf(name, sizeof name, "system thread %u", (unsigned)Thread->Id);
        self->Name = name;
        Thread->Running = self;
    }
    try {
        Thread->StartRoutine(Thread->StartContext);
    } catch (const HostThreadTermination &termination) {
        Thread->ExitStatus = termination.ExitStatus;
    } catch (const HOST_RAISED_STATUS &raised) {
        HostVerifierStop("system thread %u (start routine %p) ended by unhandled raised status "
                         "0x%08X",
                         (unsigned)Thread->Id, (void *)Thread->StartRoutine,
                         (unsigned)raised.Status);
    } catch (...) {
        fprintf(stderr,
                "HOST KERNEL: system thread %u (start routine %p) ended by a host "
                "exception\n",
                (unsigned)Thread->Id, (void *)Thread->StartRoutine);
    }
    hostio::DropImpersonationAtThreadEnd();
    if (self->HeldCount > 0) {
        HostVerifierStop("system thread %u ended holding spin lock %p", (unsigned)Thread->Id,
                         (void *)self->Held[self->HeldCount - 1]);
    } else if (self->Irql != PASSIVE_LEVEL) {
        HostVerifierStop("system thread %u ended at IRQL %u", (unsigned)Thread->Id,
                         (unsigned)self->Irql);
    }
    {
        std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
        Thread->Running = nullptr;
        RemoveEntryList(&Thread->AliveLink);
        hostk::SchedulerSignalAll(&Thread->Header);
        if (--g_aliveCount == 0) {
            hostk::SchedulerSignalAll(&g_allEnded.Header);
        }
        self->System = false;
        self->ThreadObject = nullptr;
        hostk::SchedulerThreadStops();
    }
    ObfDereferenceObject(Thread);
}

} // namespace

namespace hostk {

void ThreadStateExit(ThreadState *State) {
    _KTHREAD *thread = nullptr;
    {
        std::lock_guard<std::mutex> lock(SchedulerLock());
        if (State->ScopeDepth > 0) {
            State->ScopeDepth = 0;
            SchedulerThreadStops();
        }
        thread = State->ThreadObject;
        State->ThreadObject = nullptr;
        if (thread != nullptr) {
            SchedulerSignalAll(&thread->Header);
        }
    }
    if (thread != nullptr) {
        ObfDereferenceObject(thread);
    }
}

} // namespace hostk

extern "C" {

POBJECT_TYPE *PsThreadType = &g_threadType;

PKTHREAD KeGetCurrentThread(void) {
    hostk::ThreadState *self = hostk::Self();
    if (self->ThreadObject == nullptr) {
        _KTHREAD *thread = NewThreadObject(false);
        HostObjectTrack(thread, 1, DestroyThreadObject);
        std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
        self->ThreadObject = thread;
    }
    return self->ThreadObject;
}

PETHREAD PsGetCurrentThread(void) {
    return (PETHREAD)KeGetCurrentThread();
}

PEPROCESS PsGetCurrentProcess(void) {
    return (PEPROCESS)&g_processStorage;
}

HANDLE PsGetCurrentThreadId(void) {
    return (HANDLE)(ULONG_PTR)KeGetCurrentThread()->Id;
}

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) {
    HostVerifierCheckIrql("KeSetPriorityThread", DISPATCH_LEVEL);
    if (Thread == nullptr || Thread->Header.Type != hostk::kThreadObjectType) {
        HostVerifierStop("KeSetPriorityThread on %p, which is not a thread", (void *)Thread);
        return 0;
    }
    if (Priority < LOW_PRIORITY || Priority >= MAXIMUM_PRIORITY) {
        HostVerifierStop("KeSetPriorityThread with priority %d", (int)Priority);
    }
    KPRIORITY previous = __atomic_exchange_n(&Thread->Priority, Priority, __ATOMIC_RELAXED);
    /* Only the calling thread's host scheduling can be changed here; the driver raises its
       own threads from inside them. */
    if (g_realTimePriorities.load(std::memory_order_relaxed) && Thread == KeGetCurrentThread()) {
        sched_param param{};
        if (Priority >= LOW_REALTIME_PRIORITY) {
            param.sched_priority = 1 + (Priority - LOW_REALTIME_PRIORITY);
            if (pthread_setschedparam(pthread_self(), SCHED_RR, &param) == 0) {
                g_realTimeThreads.fetch_add(1, std::memory_order_relaxed);
            }
        } else if (previous >= LOW_REALTIME_PRIORITY) {
            (void)pthread_setschedparam(pthread_self(), SCHED_OTHER, &param);
        }
    }
    return previous;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread) {
    return __atomic_load_n(&Thread->Priority, __ATOMIC_RELAXED);
}

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, HANDLE ProcessHandle,
                              PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    HostVerifierCheckPassive("PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS injected = g_failNextCreate.exchange(STATUS_SUCCESS);
    if (injected != STATUS_SUCCESS) {
        return injected;
    }
    if (HostFaultShouldFail(HostFaultThreadCreate, &injected)) {
        return injected != STATUS_SUCCESS ? injected : STATUS_INSUFFICIENT_RESOURCES;
    }
    _KTHREAD *thread = NewThreadObject(true);
    thread->StartRoutine = StartRoutine;
    thread->StartContext = StartContext;
    HostObjectTrack(thread, 2, DestroyThreadObject); /* the handle's and the thread's own */
    {
        std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
        InsertTailList(&g_alive, &thread->AliveLink);
        ++g_aliveCount;
        g_allEnded.Header.SignalState = 0;
        hostk::SchedulerThreadStarts();
    }
    try {
        JoinEndedHostThreads(std::chrono::milliseconds(0));
        auto *host = new HostThread;
        std::lock_guard<std::mutex> lock(g_hostThreadsLock);
        try {
            host->Thread = std::thread(SystemThreadTrampoline, thread, host);
        } catch (...) {
            delete host;
            throw;
        }
        g_hostThreads->push_back(host);
    } catch (const std::system_error &) {
        {
            std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
            RemoveEntryList(&thread->AliveLink);
            if (--g_aliveCount == 0) {
                hostk::SchedulerSignalAll(&g_allEnded.Header);
            }
            hostk::SchedulerThreadStops();
        }
        HostObjectUntrack(thread);
        delete thread;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ThreadHandle = HostHandleCreate(HOST_HANDLE_THREAD, thread, CloseThreadHandle);
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = (HANDLE)&g_processStorage;
        ClientId->UniqueThread = (HANDLE)(ULONG_PTR)thread->Id;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus) {
    hostk::ThreadState *self = hostk::Self();
    if (!self->System) {
        HostVerifierStop("PsTerminateSystemThread called outside a system thread");
        throw HOST_RAISED_STATUS{STATUS_INVALID_PARAMETER};
    }
    HostVerifierCheckPassive("PsTerminateSystemThread");
    throw HostThreadTermination{ExitStatus};
}

} // extern "C"

void HostUseRealTimePriorities(bool On) {
    g_realTimePriorities.store(On, std::memory_order_relaxed);
}

ULONG HostRealTimeThreads() {
    return g_realTimeThreads.load(std::memory_order_relaxed);
}

ULONG HostThreadsAlive() {
    std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
    return g_aliveCount;
}

std::string HostSystemThreadsReport() {
    std::lock_guard<std::mutex> lock(hostk::SchedulerLock());
    std::string report;
    for (PLIST_ENTRY e = g_alive.Flink; e != &g_alive; e = e->Flink) {
        report += DescribeThreadLocked(CONTAINING_RECORD(e, _KTHREAD, AliveLink));
        report += "\n";
    }
    return report;
}

namespace hostk {
void JoinEndedHostThreads(int PatienceMs) {
    ::JoinEndedHostThreads(std::chrono::milliseconds(PatienceMs));
}

bool WaitForSystemThreads(LONGLONG Timeout) {
    if (WaitObjectFor(&g_allEnded.Header, Timeout, "HostWaitAllSystemThreads") != STATUS_SUCCESS) {
        return false;
    }
    ::JoinEndedHostThreads(std::chrono::milliseconds(1000));
    return true;
}
} // namespace hostk

bool HostWaitAllSystemThreads(LONGLONG Timeout) {
    HostVerifierCheckPassive("HostWaitAllSystemThreads");
    if (hostk::WaitForSystemThreads(Timeout)) {
        return true;
    }
    std::string report = HostSystemThreadsReport();
    if (report.empty()) {
        return true;
    }
    fprintf(stderr, "HOST KERNEL: system threads that never ended:\n%s", report.c_str());
    return false;
}

void HostFailNextThreadCreate(NTSTATUS Status) {
    g_failNextCreate.store(Status);
}
