// The serial port layer: the table of open ports, the line set-up with the
// handshake setting kept in the profile, writing paced against the serial
// driver's output queue, and closing once the queued bytes have left.
#include "serial/port.h"

#include "platform/win32_api.h"

#include <cstdio>
#include <cstring>

namespace {

// Every number OpenPort admits has a slot: USB adapters often sit above COM32.
const int PortCount = 256;
const DWORD QueueSize = 2048;
const std::uint32_t PacingWindow = 2048;
const std::uint32_t TwoStopBitRate = 4800;
const int HandshakeModeSize = 10;
const DWORD GraceMillis = 1000;

HANDLE PortTable[PortCount];
std::uint32_t PortBaudRate[PortCount];

// The handle in the port's slot, or null when the number has no slot or the
// slot is empty.
HANDLE SlotHandle(int portNumber) {
    if (portNumber < 0 || portNumber >= PortCount) {
        return nullptr;
    }
    HANDLE port = PortTable[portNumber];
    return port == INVALID_HANDLE_VALUE ? nullptr : port;
}

// The time the line needs for a number of bytes: a start bit, eight data bits
// and a stop bit each.
DWORD LineMillis(std::uint32_t bytes, std::uint32_t baudRate) {
    if (baudRate == 0) {
        return 0;
    }
    const std::uint64_t bits = std::uint64_t(bytes) * 10;
    return DWORD((bits * 1000 + baudRate - 1) / baudRate);
}

// A wait for bytes to leave the line: at least a millisecond, the least Sleep
// can do, so that a fast line is not polled in a busy loop.
DWORD LineWaitMillis(std::uint32_t bytes, std::uint32_t baudRate) {
    const DWORD wait = LineMillis(bytes, baudRate);
    return wait > 0 ? wait : 1;
}

// How long the layer waits for bytes to leave before it gives up on the port.
DWORD GiveUpMillis(std::uint32_t bytes, std::uint32_t baudRate) {
    return 2 * LineMillis(bytes, baudRate) + GraceMillis;
}

// The RTS setting from the profile. A missing key reads as "TEST", and a
// stored "TEST" is replaced too: both become "NO" for later runs.
DWORD ReadRtsControl() {
    char handshakeMode[HandshakeModeSize] = {};
    GetProfileStringA("TuvComDll", "HANDSHAKE", "TEST", handshakeMode, sizeof handshakeMode);
    handshakeMode[HandshakeModeSize - 1] = '\0';
    if (std::strcmp(handshakeMode, "TEST") == 0) {
        WriteProfileStringA("TuvComDll", "HANDSHAKE", "NO");
        std::strcpy(handshakeMode, "NO");
    }
    return std::strcmp(handshakeMode, "NO") == 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_HANDSHAKE;
}

// The upload line: raw 8 data bits, no parity, no flow control on output,
// DTR held off, RTS per the profile. Every other field keeps what the port
// held before.
void SetUploadLine(DCB &dcb, std::uint32_t baudRate, DWORD rtsControl) {
    dcb.BaudRate = baudRate;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = rtsControl;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = baudRate == TwoStopBitRate ? TWOSTOPBITS : ONESTOPBIT;
}

// The part of the remainder that fits the free room of the output queue. A
// queue count above the window wraps the room around, so the whole remainder
// goes: the driver evidently holds more than the window.
std::uint32_t PieceSize(int portNumber, std::uint32_t remainder) {
    const std::uint32_t room = PacingWindow - GetOutQueueCount(portNumber);
    return remainder <= room ? remainder : room;
}

// Waits while the queue has no room: a quarter of the window leaves the line
// meanwhile, so the queue never runs dry. Returns 0 once nothing has gone out
// for longer than a full window could take, twice over.
int WaitForRoom(std::uint32_t baudRate, DWORD &idleMillis) {
    if (idleMillis >= GiveUpMillis(PacingWindow, baudRate)) {
        return 0;
    }
    const DWORD wait = LineWaitMillis(PacingWindow / 4, baudRate);
    Sleep(wait);
    idleMillis += wait;
    return 1;
}

// Returns 1 once the output queue is empty, 0 when it stays busy for longer
// than twice the time its bytes need plus a grace second. Each wait lasts as
// long as the bytes still queued need on the line, so the port closes within
// a millisecond or so of the last byte leaving, after a read or two of the
// queue instead of one every few milliseconds.
int WaitForOutputDrained(int portNumber) {
    const std::uint32_t baudRate = PortBaudRate[portNumber];
    std::uint32_t queued = GetOutQueueCount(portNumber);
    const DWORD giveUp = GiveUpMillis(queued, baudRate);
    DWORD waited = 0;
    while (queued > 0) {
        if (waited >= giveUp) {
            return 0;
        }
        const DWORD lineWait = LineWaitMillis(queued, baudRate);
        const DWORD wait = lineWait < giveUp - waited ? lineWait : giveUp - waited;
        Sleep(wait);
        waited += wait;
        queued = GetOutQueueCount(portNumber);
    }
    return 1;
}

} // namespace

void (*PieceTaken)(std::uint32_t bytes) = nullptr;

int OpenPort(int portNumber, std::uint32_t baudRate) {
    if (portNumber < 0 || portNumber >= PortCount || SlotHandle(portNumber) != nullptr) {
        return 0;
    }
    char deviceName[32];
    std::snprintf(deviceName, sizeof deviceName, COM_DEVICE_PREFIX "COM%i", portNumber);
    HANDLE port = CreateFileA(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        return 0;
    }
    SetupComm(port, QueueSize, QueueSize);
    DCB dcb = {};
    if (!GetCommState(port, &dcb)) {
        dcb.DCBlength = sizeof dcb;
    }
    SetUploadLine(dcb, baudRate, ReadRtsControl());
    SetCommState(port, &dcb);
    SetCommMask(port, EV_TXEMPTY);
    PortTable[portNumber] = port;
    PortBaudRate[portNumber] = baudRate;
    return 1;
}

int ClosePort(int portNumber) {
    HANDLE port = SlotHandle(portNumber);
    if (port == nullptr) {
        return 0;
    }
    const int drained = WaitForOutputDrained(portNumber);
    CloseHandle(port);
    PortTable[portNumber] = nullptr;
    return drained;
}

std::uint32_t GetOutQueueCount(int portNumber) {
    HANDLE port = SlotHandle(portNumber);
    if (port == nullptr) {
        return 0;
    }
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(port, &errors, &status)) {
        return 0;
    }
    return status.cbOutQue;
}

int WritePort(int portNumber, int length, const std::uint8_t *block) {
    HANDLE port = SlotHandle(portNumber);
    if (port == nullptr) {
        return 0;
    }
    std::uint32_t remainder = length > 0 ? std::uint32_t(length) : 0;
    DWORD idleMillis = 0;
    do {
        const std::uint32_t piece = PieceSize(portNumber, remainder);
        DWORD written = 0;
        // A full queue gives a piece of 0 bytes, which is not worth a call; an
        // empty block still makes its one zero-byte write.
        if ((piece > 0 || remainder == 0) && !WriteFile(port, block, piece, &written, nullptr)) {
            return 0;
        }
        written = written < piece ? written : piece;
        block += written;
        remainder -= written;
        if (written == 0 && remainder > 0 && !WaitForRoom(PortBaudRate[portNumber], idleMillis)) {
            return 0;
        }
        if (written > 0) {
            idleMillis = 0;
            if (PieceTaken != nullptr) {
                PieceTaken(written);
            }
        }
    } while (remainder > 0);
    return 1;
}
