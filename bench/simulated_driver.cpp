// The simulated serial driver: one port whose output queue empties in real
// time, with counters, and a profile in memory.
#include "bench/simulated_driver.h"

#include "platform/win32_api.h"

#include <cstring>
#include <map>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

const std::uint64_t BitsPerByte = 10;
const std::uint64_t NanosPerSecond = 1000000000;
// What GetCommState reports before anyone set the line.
const DWORD InitialBaudRate = 9600;

// The line: every byte handed over since the line last fell idle leaves one
// after the other from busyStart on, so the queue at any moment follows from
// the clock alone.
struct SimulatedPort {
    bool open;
    DCB dcb;
    Clock::time_point busyStart;
    std::uint64_t busyBytes;
};

// A closed port with an idle line, set as GetCommState reports it before
// anyone changed it.
SimulatedPort FreshPort() {
    SimulatedPort port = {};
    port.dcb.DCBlength = sizeof port.dcb;
    port.dcb.BaudRate = InitialBaudRate;
    port.dcb.fBinary = 1;
    port.dcb.fDtrControl = DTR_CONTROL_ENABLE;
    port.dcb.fRtsControl = RTS_CONTROL_ENABLE;
    port.dcb.ByteSize = 8;
    port.dcb.Parity = NOPARITY;
    port.dcb.StopBits = ONESTOPBIT;
    port.busyStart = Clock::now();
    return port;
}

SimulatedPort Port = FreshPort();
SimulatedDriverCounters Counters;
std::map<std::string, std::string> Profile;

SimulatedPort *PortOf(HANDLE handle) {
    return handle == &Port && Port.open ? &Port : nullptr;
}

// Bytes whose ten bits have all left the line by the time given.
std::uint64_t BytesSent(const SimulatedPort &port, Clock::time_point now) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(now - port.busyStart);
    if (elapsed.count() <= 0) {
        return 0;
    }
    return std::uint64_t(elapsed.count()) * port.dcb.BaudRate / (BitsPerByte * NanosPerSecond);
}

// The moment the last byte handed over so far leaves the line.
Clock::time_point IdleAt(const SimulatedPort &port) {
    const std::uint64_t bits = port.busyBytes * BitsPerByte;
    const std::uint64_t nanos = (bits * NanosPerSecond + port.dcb.BaudRate - 1) / port.dcb.BaudRate;
    return port.busyStart + std::chrono::nanoseconds(nanos);
}

// Once the line is idle the answer is 0 without any arithmetic on the time
// since busyStart, which grows without bound while the port sits unused.
std::uint64_t QueuedAt(const SimulatedPort &port, Clock::time_point now) {
    if (now >= IdleAt(port)) {
        return 0;
    }
    return port.busyBytes - BytesSent(port, now);
}

// Starts the line anew from now with the bytes still queued, so that a change
// of rate affects only what has not left yet.
void RestartLine(SimulatedPort &port, Clock::time_point now) {
    port.busyBytes = QueuedAt(port, now);
    port.busyStart = now;
}


std::string ProfileKey(LPCSTR appName, LPCSTR keyName) {
    return std::string(appName) + '\n' + keyName;
}

} // namespace

void ResetSimulatedDriver() {
    Port = FreshPort();
    Counters = SimulatedDriverCounters{};
    Profile.clear();
}

const SimulatedDriverCounters &SimulatedDriverCounts() {
    return Counters;
}

HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    if (fileName == nullptr || std::strncmp(fileName, "COM", 3) != 0 || Port.open) {
        return INVALID_HANDLE_VALUE;
    }
    Port.open = true;
    return &Port;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD) {
    return PortOf(file) != nullptr;
}

BOOL GetCommState(HANDLE file, DCB *dcb) {
    SimulatedPort *port = PortOf(file);
    if (port == nullptr || dcb == nullptr) {
        return FALSE;
    }
    *dcb = port->dcb;
    return TRUE;
}

// A rate of 0 would never drain the queue; a real driver refuses it too.
BOOL SetCommState(HANDLE file, DCB *dcb) {
    SimulatedPort *port = PortOf(file);
    if (port == nullptr || dcb == nullptr || dcb->BaudRate == 0) {
        return FALSE;
    }
    RestartLine(*port, Clock::now());
    port->dcb = *dcb;
    return TRUE;
}

BOOL SetCommMask(HANDLE file, DWORD) {
    return PortOf(file) != nullptr;
}

BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status) {
    SimulatedPort *port = PortOf(file);
    if (port == nullptr) {
        return FALSE;
    }
    ++Counters.polls;
    if (errors != nullptr) {
        *errors = 0;
    }
    if (status != nullptr) {
        std::memset(status, 0, sizeof *status);
        status->cbOutQue = DWORD(QueuedAt(*port, Clock::now()));
    }
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void *, DWORD bytesToWrite, DWORD *bytesWritten, void *) {
    SimulatedPort *port = PortOf(file);
    if (port == nullptr) {
        return FALSE;
    }
    ++Counters.writes;
    const Clock::time_point now = Clock::now();
    if (QueuedAt(*port, now) == 0) {
        port->busyStart = now;
        port->busyBytes = 0;
    }
    port->busyBytes += bytesToWrite;
    const std::uint64_t queued = QueuedAt(*port, now);
    Counters.maxQueue = queued > Counters.maxQueue ? std::uint32_t(queued) : Counters.maxQueue;
    Counters.bytesWritten += bytesToWrite;
    if (bytesToWrite > 0 && !Counters.sawFirstByte) {
        Counters.sawFirstByte = true;
        Counters.firstByteTime = now;
    }
    Counters.drainedTime = IdleAt(*port);
    if (bytesWritten != nullptr) {
        *bytesWritten = bytesToWrite;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE object) {
    SimulatedPort *port = PortOf(object);
    if (port == nullptr) {
        return FALSE;
    }
    const Clock::time_point now = Clock::now();
    Counters.queuedAtClose = std::uint32_t(QueuedAt(*port, now));
    if (Counters.queuedAtClose > 0) {
        std::this_thread::sleep_until(IdleAt(*port));
    }
    port->open = false;
    return TRUE;
}

DWORD GetProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue, LPSTR returned,
                        DWORD size) {
    if (returned == nullptr || size == 0) {
        return 0;
    }
    std::string value = defaultValue != nullptr ? defaultValue : "";
    if (appName != nullptr && keyName != nullptr) {
        const auto found = Profile.find(ProfileKey(appName, keyName));
        value = found != Profile.end() ? found->second : value;
    }
    const std::size_t count = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(returned, value.data(), count);
    returned[count] = '\0';
    return DWORD(count);
}

BOOL WriteProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR value) {
    if (appName == nullptr || keyName == nullptr || value == nullptr) {
        return FALSE;
    }
    Profile[ProfileKey(appName, keyName)] = value;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
