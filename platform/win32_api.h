// The Win32 subset the serial port layer is written against.
//
// On Windows these are the real kernel32 declarations. Elsewhere this header
// declares the same names, types and constants, and a platform library of
// ours supplies the functions: the POSIX layer in the product, a fake or a
// simulated serial driver in tests and benchmarks.
#ifndef VINTREL_PLATFORM_WIN32_API_H
#define VINTREL_PLATFORM_WIN32_API_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// Windows opens COM10 and above only through the device namespace; the same
// form names COM1 to COM9 too.
#define COM_DEVICE_PREFIX "\\\\.\\"

#else

#include <cstdint>

typedef std::uint32_t DWORD;
typedef std::uint16_t WORD;
typedef std::uint8_t BYTE;
typedef int BOOL;
typedef void *HANDLE;
typedef const char *LPCSTR;
typedef char *LPSTR;

#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define EV_TXEMPTY 0x0004u

#define DTR_CONTROL_DISABLE 0x00
#define DTR_CONTROL_ENABLE 0x01
#define DTR_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_DISABLE 0x00
#define RTS_CONTROL_ENABLE 0x01
#define RTS_CONTROL_HANDSHAKE 0x02
#define RTS_CONTROL_TOGGLE 0x03

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define COM_DEVICE_PREFIX ""

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

// Security attributes, overlapped structures and templates are never used:
// the layer always passes null for them.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode, void *securityAttributes,
                   DWORD creationDisposition, DWORD flagsAndAttributes, HANDLE templateFile);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE file, DCB *dcb);
BOOL SetCommState(HANDLE file, DCB *dcb);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL ClearCommError(HANDLE file, DWORD *errors, COMSTAT *status);
BOOL WriteFile(HANDLE file, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten,
               void *overlapped);
BOOL CloseHandle(HANDLE object);
DWORD GetProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue, LPSTR returned,
                        DWORD size);
BOOL WriteProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR value);
void Sleep(DWORD milliseconds);

#endif

#endif
