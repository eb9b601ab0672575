/*
 * progress.cpp - progress lines and the speed meter.
 */
#include "progress.h"

#include <cstdio>

std::string FormatMegabytes(uint64_t written, uint64_t total) {
    const double mb = 1048576.0;
    char text[96];
    if (total < 10 * 1048576ull)
        snprintf(text, sizeof(text), "%.1f of %.1f MB", written / mb, total / mb);
    else
        snprintf(text, sizeof(text), "%llu of %llu MB",
                 static_cast<unsigned long long>(written / 1048576ull),
                 static_cast<unsigned long long>((total + 524288ull) / 1048576ull));
    return text;
}

std::string FormatSize(uint64_t bytes) {
    char text[48];
    if (bytes < 10 * 1048576ull)
        snprintf(text, sizeof(text), "%.1f MB", bytes / 1048576.0);
    else
        snprintf(text, sizeof(text), "%llu MB",
                 static_cast<unsigned long long>((bytes + 524288ull) / 1048576ull));
    return text;
}

std::string RenderProgress(const ProgressView &view) {
    std::string line = "Recorder " + std::to_string(view.recorder) + ": " +
                       FormatMegabytes(view.writtenBytes, view.totalBytes) + " written";
    if (view.fifoPercent >= 0)
        line += " (fifo " + std::to_string(view.fifoPercent) + "%)";
    if (view.bufferPercent >= 0)
        line += " [buf " + std::to_string(view.bufferPercent) + "%]";
    if (view.speedX >= 0) {
        char speed[32];
        snprintf(speed, sizeof(speed), " %.1fx", view.speedX);
        line += speed;
    }
    return line + ".";
}

int FifoPercent(uint32_t packetsQueued, uint32_t buffers) {
    if (buffers == 0)
        return -1;
    uint64_t p = static_cast<uint64_t>(packetsQueued) * 100 / buffers;
    return p > 100 ? 100 : static_cast<int>(p);
}

int BufferPercent(uint32_t length, uint32_t blank) {
    if (length == 0 || blank > length)
        return -1;
    return static_cast<int>(static_cast<uint64_t>(length - blank) * 100 / length);
}

std::string FormatDuration(double seconds) {
    char text[32];
    if (seconds < 0)
        seconds = 0;
    if (seconds < 60) {
        snprintf(text, sizeof(text), "%.1f s", seconds);
    } else {
        unsigned long s = static_cast<unsigned long>(seconds + 0.5);
        if (s < 3600)
            snprintf(text, sizeof(text), "%lu:%02lu", s / 60, s % 60);
        else
            snprintf(text, sizeof(text), "%lu:%02lu:%02lu", s / 3600, (s / 60) % 60, s % 60);
    }
    return text;
}

void SpeedMeter::Add(double seconds, uint64_t bytes) {
    samples_.emplace_back(seconds, bytes);
    while (samples_.size() > 2 && samples_.front().first < seconds - window_)
        samples_.pop_front();
}

double SpeedMeter::BytesPerSecond() const {
    if (samples_.size() < 2)
        return -1;
    double dt = samples_.back().first - samples_.front().first;
    if (dt <= 0)
        return -1;
    uint64_t first = samples_.front().second, last = samples_.back().second;
    return last >= first ? (last - first) / dt : 0;
}
