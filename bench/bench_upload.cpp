// Sends one upload frame through the real port layer to the simulated serial
// driver and reports how close the upload came to the line's own limit, and
// what it cost: CPU time, WriteFile calls, queue reads and the deepest queue.
//
//   bench_upload [--bytes N] [--baud B]
//
// N is the image size (0 to 131072, default 131072), B the baud rate (default
// 38400). The last line printed is one JSON object.
#include "bench/simulated_driver.h"
#include "serial/port.h"
#include "upload/frame.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const std::uint32_t MaxImageBytes = 131072;
const std::uint32_t FrameOverheadBytes = 17; // "S", header, four check values
const int HeaderSize = 8;
const int BenchPort = 1;
const std::uint8_t StartByte[1] = {'S'};

// The goals an upload must meet.
const double MaxWallOverLimit = 1.01;
const double MaxCpuShareOfWall = 0.01;
const double MinBytesPerWrite = 256;

struct BenchOptions {
    std::uint32_t imageBytes;
    std::uint32_t baudRate;
};

struct BenchResult {
    std::uint64_t frameBytes;
    double limitSeconds;  // frame bytes at ten bits a byte
    double wallSeconds;   // first byte handed over until ClosePort returned
    double lineSeconds;   // first byte handed over until the line fell idle
    double cpuSeconds;    // user + system time over the same span
    SimulatedDriverCounters counts;
};

// Reads a decimal number within [minimum, maximum]; 0 when the text is not one.
int ReadNumber(const char *text, std::uint32_t minimum, std::uint32_t maximum,
               std::uint32_t &value) {
    if (text[0] < '0' || text[0] > '9') {
        return 0;
    }
    char *end = nullptr;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (*end != '\0' || number < minimum || number > maximum) {
        return 0;
    }
    value = std::uint32_t(number);
    return 1;
}

int ReadOptions(int argc, char **argv, BenchOptions &options) {
    options = BenchOptions{MaxImageBytes, 38400};
    for (int i = 1; i < argc; i += 2) {
        const bool hasValue = i + 1 < argc;
        if (hasValue && std::strcmp(argv[i], "--bytes") == 0) {
            if (!ReadNumber(argv[i + 1], 0, MaxImageBytes, options.imageBytes)) {
                return 0;
            }
        } else if (hasValue && std::strcmp(argv[i], "--baud") == 0) {
            if (!ReadNumber(argv[i + 1], 1, UINT32_MAX, options.baudRate)) {
                return 0;
            }
        } else {
            return 0;
        }
    }
    return 1;
}

double CpuSeconds() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &time) { return double(time.tv_sec) + time.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The header names the image length in bytes 4 to 7; the image is a fixed
// pseudo-random pattern, so that no run depends on a file.
void MakeProgram(std::uint32_t imageBytes, std::uint8_t *header, std::vector<std::uint8_t> &image) {
    const std::uint8_t tag[4] = {'B', 'E', 'N', 'C'};
    std::memcpy(header, tag, sizeof tag);
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = std::uint8_t(imageBytes >> (8 * i));
    }
    image.resize(imageBytes);
    std::uint32_t state = 2463534242u;
    for (std::uint8_t &byte : image) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = std::uint8_t(state);
    }
}

// The frame exactly as the upload driver sends it: each section reset, sent
// and followed by its check values, then the port closed once drained.
int SendFrame(const std::uint8_t *header, const std::vector<std::uint8_t> &image) {
    ResetChecksums();
    int sent = SendBlock(BenchPort, 1, StartByte) && SendBlock(BenchPort, HeaderSize, header) &&
               SendChecksums(BenchPort);
    ResetChecksums();
    sent = sent && SendBlock(BenchPort, int(image.size()), image.data()) && SendChecksums(BenchPort);
    return ClosePort(BenchPort) && sent;
}

int RunBench(const BenchOptions &options, BenchResult &result) {
    std::uint8_t header[HeaderSize];
    std::vector<std::uint8_t> image;
    MakeProgram(options.imageBytes, header, image);
    ResetSimulatedDriver();
    if (OpenPort(BenchPort, options.baudRate) != 1) {
        std::fprintf(stderr, "bench_upload: the simulated port did not open\n");
        return 0;
    }
    const double cpuBefore = CpuSeconds();
    const int sent = SendFrame(header, image);
    const Clock::time_point closed = Clock::now();
    result.cpuSeconds = CpuSeconds() - cpuBefore;
    result.counts = SimulatedDriverCounts();
    result.frameBytes = std::uint64_t(options.imageBytes) + FrameOverheadBytes;
    result.limitSeconds = double(result.frameBytes) * 10 / options.baudRate;
    result.wallSeconds = SecondsBetween(result.counts.firstByteTime, closed);
    result.lineSeconds = SecondsBetween(result.counts.firstByteTime, result.counts.drainedTime);
    if (!sent || result.counts.bytesWritten != result.frameBytes) {
        std::fprintf(stderr, "bench_upload: %llu of %llu bytes handed over\n",
                     (unsigned long long)result.counts.bytesWritten,
                     (unsigned long long)result.frameBytes);
        return 0;
    }
    return 1;
}

const char *Verdict(bool met) {
    return met ? "true" : "false";
}

void PrintResult(const BenchOptions &options, const BenchResult &result) {
    const SimulatedDriverCounters &counts = result.counts;
    const bool wallMet = result.wallSeconds <= result.limitSeconds * MaxWallOverLimit;
    const bool cpuMet = result.cpuSeconds <= result.wallSeconds * MaxCpuShareOfWall;
    const bool queueMet = counts.maxQueue <= SimulatedQueueCapacity;
    const bool writesMet = double(counts.writes) * MinBytesPerWrite <= double(result.frameBytes);
    std::printf("frame of %llu bytes at %u baud: line limit %.3f s, wall %.3f s (%+.2f%%), "
                "line busy %.3f s\n",
                (unsigned long long)result.frameBytes, options.baudRate, result.limitSeconds,
                result.wallSeconds, 100 * (result.wallSeconds / result.limitSeconds - 1),
                result.lineSeconds);
    std::printf("cpu %.4f s (%.3f%% of wall), %llu writes (%.0f bytes each), %llu polls, "
                "deepest queue %u bytes\n",
                result.cpuSeconds, 100 * result.cpuSeconds / result.wallSeconds,
                (unsigned long long)counts.writes, double(result.frameBytes) / counts.writes,
                (unsigned long long)counts.polls, counts.maxQueue);
    std::printf("{\"bytes\": %llu, \"image_bytes\": %u, \"baud\": %u, \"wall_s\": %.4f, "
                "\"limit_s\": %.4f, \"line_s\": %.4f, \"cpu_s\": %.4f, \"writes\": %llu, "
                "\"polls\": %llu, \"max_queue\": %u, \"goals\": {\"wall\": %s, \"cpu\": %s, "
                "\"queue\": %s, \"writes\": %s}}\n",
                (unsigned long long)result.frameBytes, options.imageBytes, options.baudRate,
                result.wallSeconds, result.limitSeconds, result.lineSeconds, result.cpuSeconds,
                (unsigned long long)counts.writes, (unsigned long long)counts.polls,
                counts.maxQueue, Verdict(wallMet), Verdict(cpuMet), Verdict(queueMet),
                Verdict(writesMet));
}

} // namespace

int main(int argc, char **argv) {
    BenchOptions options;
    if (!ReadOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: bench_upload [--bytes 0..%u] [--baud B]\n", MaxImageBytes);
        return 2;
    }
    BenchResult result;
    if (!RunBench(options, result)) {
        return 1;
    }
    PrintResult(options, result);
    return 0;
}
