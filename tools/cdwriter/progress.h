/*
 * progress.h - the progress display of a recording: one line per recorder in the form
 * recording people know, "Recorder 0: 312 of 650 MB written (fifo 97%) [buf 88%] 16.0x.",
 * and the speed meter behind its last figure.
 */
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>

struct ProgressView {
    unsigned recorder = 0;
    uint64_t writtenBytes = 0;
    uint64_t totalBytes = 0;
    int fifoPercent = -1;   /* ring fill; -1 unknown */
    int bufferPercent = -1; /* drive buffer fill; -1 unknown */
    double speedX = -1;     /* multiple of 1x; negative: unknown */
};

/* "312 of 650 MB" (MB of 1,048,576 bytes; one decimal while the total is below 10 MB). */
std::string FormatMegabytes(uint64_t written, uint64_t total);

/* "650 MB", "4.2 MB" (one decimal below 10 MB). */
std::string FormatSize(uint64_t bytes);

/* The progress line without a line end. Unknown parts are left out. */
std::string RenderProgress(const ProgressView &view);

/* Ring fill in percent from the status record's packet count and the cache buffers. */
int FifoPercent(uint32_t packetsQueued, uint32_t buffers);

/* Drive buffer fill in percent from READ BUFFER CAPACITY's length and blank length. */
int BufferPercent(uint32_t length, uint32_t blank);

/* "0.4 s", "12.3 s", "2:05", "1:02:03". */
std::string FormatDuration(double seconds);

/* Bytes per second over the last few seconds of samples. */
class SpeedMeter {
public:
    explicit SpeedMeter(double windowSeconds = 3.0) : window_(windowSeconds) {}
    void Add(double seconds, uint64_t bytes);
    /* Negative until two samples at different times exist. */
    double BytesPerSecond() const;

private:
    double window_;
    std::deque<std::pair<double, uint64_t>> samples_;
};
