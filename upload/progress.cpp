#include "upload/progress.h"

#include "platform/console.h"
#include "serial/port.h"

#include <chrono>
#include <cstdio>

namespace {

typedef std::chrono::steady_clock Clock;

// About ten updates a second at most; each shows " nnn%", five characters,
// which backspaces take back. A carriage return would go back over the
// sending message too.
const Clock::duration UpdateInterval = std::chrono::milliseconds(100);
const char Back[] = "\b\b\b\b\b";
const char Blank[] = "     ";

std::uint32_t FrameBytes;
std::uint32_t BytesTaken;
int ShownPercent;
Clock::time_point LastUpdate;

void Show(int percent) {
    std::fprintf(stderr, "%s %3d%%", ShownPercent >= 0 ? Back : "", percent);
    std::fflush(stderr);
    ShownPercent = percent;
    LastUpdate = Clock::now();
}

void CountPiece(std::uint32_t bytes) {
    BytesTaken += bytes;
    const int percent = int(std::uint64_t(BytesTaken) * 100 / FrameBytes);
    if (percent != ShownPercent && Clock::now() - LastUpdate >= UpdateInterval) {
        Show(percent);
    }
}

} // namespace

void StartProgress(std::uint32_t frameBytes) {
    if (frameBytes == 0 || !ErrorOutputIsConsole()) {
        return;
    }
    FrameBytes = frameBytes;
    BytesTaken = 0;
    ShownPercent = -1;
    Show(0);
    PieceTaken = CountPiece;
}

void EndProgress() {
    if (PieceTaken != CountPiece) {
        return;
    }
    PieceTaken = nullptr;
    std::fprintf(stderr, "%s%s%s", Back, Blank, Back);
    std::fflush(stderr);
}
