/*
 * ke_debug.cpp - DbgPrint capture and the shutdown check of the kernel stand-in.
 *
 * Debug output is kept in memory, one string per DbgPrint call, so that tests can assert on
 * the driver's messages; it is echoed to stderr when CDW_DEBUG=1 and passed to a sink the tool
 * may install. The log keeps the most recent messages when it grows very large.
 */
#include "ke_internal.h"

#include <atomic>
#include <deque>

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr size_t kMaxMessages = 400000;

struct DebugLog {
    std::mutex Lock;
    std::deque<std::string> Messages;
    int Echo = -1; /* -1: not decided yet (environment) */
    HOST_DEBUG_SINK Sink = nullptr;
};

DebugLog &L() {
    static DebugLog *log = new DebugLog; /* never destroyed: threads may print during exit */
    return *log;
}

std::string JoinedLocked(const DebugLog &log) {
    size_t total = 0;
    for (const auto &m : log.Messages) {
        total += m.size();
    }
    std::string text;
    text.reserve(total);
    for (const auto &m : log.Messages) {
        text += m;
    }
    return text;
}

} // namespace

extern "C" ULONG DbgPrint(PCSTR Format, ...) {
    char small[512];
    va_list arguments;
    va_start(arguments, Format);
    va_list copy;
    va_copy(copy, arguments);
    int length = vsnprintf(small, sizeof small, Format, arguments);
    va_end(arguments);
    std::string message;
    if (length < 0) {
        message = Format;
    } else if ((size_t)length < sizeof small) {
        message.assign(small, (size_t)length);
    } else {
        message.resize((size_t)length + 1);
        vsnprintf(&message[0], message.size(), Format, copy);
        message.resize((size_t)length);
    }
    va_end(copy);

    DebugLog &log = L();
    HOST_DEBUG_SINK sink;
    bool echo;
    {
        std::lock_guard<std::mutex> lock(log.Lock);
        if (log.Echo < 0) {
            const char *env = getenv("CDW_DEBUG");
            log.Echo = env != nullptr && strcmp(env, "1") == 0 ? 1 : 0;
        }
        echo = log.Echo == 1;
        sink = log.Sink;
        if (log.Messages.size() >= kMaxMessages) {
            log.Messages.erase(log.Messages.begin(), log.Messages.begin() + kMaxMessages / 2);
        }
        log.Messages.push_back(message);
    }
    if (echo) {
        fputs(message.c_str(), stderr);
    }
    if (sink != nullptr) {
        sink(message.c_str());
    }
    return STATUS_SUCCESS;
}

std::string HostDebugLog() {
    DebugLog &log = L();
    std::lock_guard<std::mutex> lock(log.Lock);
    return JoinedLocked(log);
}

std::vector<std::string> HostDebugMessages() {
    DebugLog &log = L();
    std::lock_guard<std::mutex> lock(log.Lock);
    return std::vector<std::string>(log.Messages.begin(), log.Messages.end());
}

void HostDebugLogClear() {
    DebugLog &log = L();
    std::lock_guard<std::mutex> lock(log.Lock);
    log.Messages.clear();
}

bool HostDebugLogContains(const char *Text) {
    return HostDebugLogCount(Text) > 0;
}

size_t HostDebugLogCount(const char *Text) {
    std::string text = HostDebugLog();
    size_t needle = strlen(Text);
    if (needle == 0) {
        return 0;
    }
    size_t count = 0;
    for (size_t at = text.find(Text); at != std::string::npos; at = text.find(Text, at + needle)) {
        ++count;
    }
    return count;
}

void HostDebugLogSetEcho(bool Echo) {
    DebugLog &log = L();
    std::lock_guard<std::mutex> lock(log.Lock);
    log.Echo = Echo ? 1 : 0;
}

void HostDebugSetSink(HOST_DEBUG_SINK Sink) {
    DebugLog &log = L();
    std::lock_guard<std::mutex> lock(log.Lock);
    log.Sink = Sink;
}

bool HostKernelShutdownCheck(std::string *Report) {
    HostVerifierCheckPassive("HostKernelShutdownCheck");
    bool threadsEnded = HostThreadsAlive() == 0 || hostk::WaitForSystemThreads(5LL * 10000000LL);
    if (threadsEnded) {
        hostk::JoinEndedHostThreads(1000);
    }
    std::string report;
    std::string pool = HostPoolReport();
    if (!pool.empty()) {
        report += pool;
    }
    if (!threadsEnded) {
        report += HostSystemThreadsReport();
    }
    ULONG handles = HostHandlesOpen(0);
    if (handles != 0) {
        char line[128];
        snprintf(line, sizeof line, "%u handle(s) still open (%u thread, %u file)\n",
                 (unsigned)handles, (unsigned)HostHandlesOpen(HOST_HANDLE_THREAD),
                 (unsigned)HostHandlesOpen(HOST_HANDLE_FILE));
        report += line;
    }
    if (!report.empty()) {
        fprintf(stderr, "HOST KERNEL: left at unload:\n%s", report.c_str());
    }
    if (Report != nullptr) {
        *Report = report;
    }
    return report.empty();
}
