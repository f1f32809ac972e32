// A simulated serial driver behind the Win32 functions of
// platform/win32_api.h, for benchmarks and tests that need a line with real
// timing but no device. It stands for one port: whatever COM name is opened,
// the same device answers, and only one handle may be open at a time.
//
// Its output queue empties in real time at the baud rate that SetCommState
// set, ten bits a byte (start bit, eight data bits, stop bit). WriteFile takes
// every byte at once, however full the queue, and notes the deepest the queue
// ever got, so a caller that overfills a real 2048-byte queue shows up.
// CloseHandle waits until the queue is empty, as a driver does that drains
// its output before it lets the port go. Sleep really sleeps, and the
// profile lives in memory.
#ifndef VINTREL_BENCH_SIMULATED_DRIVER_H
#define VINTREL_BENCH_SIMULATED_DRIVER_H

#include <chrono>
#include <cstdint>

// The capacity of a real serial driver's output queue: the counters flag a
// caller that ever holds more than this.
const std::uint32_t SimulatedQueueCapacity = 2048;

// What the driver saw since it was last reset.
struct SimulatedDriverCounters {
    std::uint64_t writes;           // WriteFile calls, zero-byte ones included
    std::uint64_t polls;            // ClearCommError calls: queue reads
    std::uint64_t bytesWritten;     // bytes handed over by WriteFile
    std::uint32_t maxQueue;         // the most bytes ever waiting in the output queue
    std::uint32_t queuedAtClose;    // bytes still queued when CloseHandle was called
    bool sawFirstByte;              // firstByteTime holds a time
    std::chrono::steady_clock::time_point firstByteTime; // the first byte handed over
    std::chrono::steady_clock::time_point drainedTime;   // the line fell idle after the last byte
};

// Forgets everything: counters, the open handle, the line settings and the
// profile.
void ResetSimulatedDriver();

const SimulatedDriverCounters &SimulatedDriverCounts();

#endif
