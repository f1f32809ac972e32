#include "tests/fake/fake_platform.h"

#include "platform/console.h"

#include <algorithm>
#include <cstring>

namespace Fake {

bool CreateFails;
bool GetCommStateFails;
bool ClearCommErrorFails;
DCB PortDcb;
std::deque<std::uint32_t> QueueReports;
bool InstantDrain;
std::uint32_t DrainBytesPerSecond;
int WritesBeforeFailure;
std::uint32_t MaxBytesTaken;
std::map<std::string, std::string> Profile;
bool ErrorIsConsole;

std::vector<std::string> Calls;
std::vector<std::string> OpenedNames;
std::vector<DCB> AppliedDcbs;
std::vector<std::uint32_t> Pieces;
std::vector<std::uint8_t> Wire;
std::vector<DWORD> Sleeps;
std::vector<std::uint32_t> QueueAfterSleeps;
std::uint32_t Queued;
std::uint32_t LargestQueue;
int OpenHandles;

void Reset() {
    CreateFails = false;
    GetCommStateFails = false;
    ClearCommErrorFails = false;
    PortDcb = DCB();
    QueueReports.clear();
    InstantDrain = true;
    DrainBytesPerSecond = 0;
    WritesBeforeFailure = -1;
    MaxBytesTaken = UINT32_MAX;
    Profile.clear();
    ErrorIsConsole = false;
    Calls.clear();
    OpenedNames.clear();
    AppliedDcbs.clear();
    Pieces.clear();
    Wire.clear();
    Sleeps.clear();
    QueueAfterSleeps.clear();
    Queued = 0;
    LargestQueue = 0;
    OpenHandles = 0;
}

int CallCount(const std::string &name) {
    return int(std::count(Calls.begin(), Calls.end(), name));
}

} // namespace Fake

namespace {

std::uintptr_t NextHandle = 0x1000;

std::string ProfileKey(LPCSTR section, LPCSTR key) {
    return std::string(section) + "/" + key;
}

} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD, DWORD, void *, DWORD, DWORD, HANDLE) {
    Fake::Calls.push_back("CreateFileA");
    Fake::OpenedNames.push_back(fileName);
    if (Fake::CreateFails) {
        return INVALID_HANDLE_VALUE;
    }
    ++Fake::OpenHandles;
    return reinterpret_cast<HANDLE>(NextHandle++);
}

BOOL SetupComm(HANDLE, DWORD inQueue, DWORD outQueue) {
    Fake::Calls.push_back("SetupComm " + std::to_string(inQueue) + " " + std::to_string(outQueue));
    return TRUE;
}

BOOL GetCommState(HANDLE, DCB *dcb) {
    Fake::Calls.push_back("GetCommState");
    if (Fake::GetCommStateFails) {
        return FALSE;
    }
    *dcb = Fake::PortDcb;
    return TRUE;
}

BOOL SetCommState(HANDLE, DCB *dcb) {
    Fake::Calls.push_back("SetCommState");
    Fake::AppliedDcbs.push_back(*dcb);
    return TRUE;
}

BOOL SetCommMask(HANDLE, DWORD eventMask) {
    Fake::Calls.push_back("SetCommMask " + std::to_string(eventMask));
    return TRUE;
}

BOOL ClearCommError(HANDLE, DWORD *errors, COMSTAT *status) {
    Fake::Calls.push_back("ClearCommError");
    if (Fake::ClearCommErrorFails) {
        return FALSE;
    }
    *errors = 0;
    std::memset(status, 0, sizeof *status);
    status->cbOutQue = Fake::Queued;
    if (!Fake::QueueReports.empty()) {
        status->cbOutQue = Fake::QueueReports.front();
        Fake::QueueReports.pop_front();
    }
    return TRUE;
}

BOOL WriteFile(HANDLE, const void *buffer, DWORD bytesToWrite, DWORD *bytesWritten, void *) {
    Fake::Calls.push_back("WriteFile");
    Fake::Pieces.push_back(bytesToWrite);
    *bytesWritten = 0;
    if (Fake::WritesBeforeFailure == 0) {
        return FALSE;
    }
    if (Fake::WritesBeforeFailure > 0) {
        --Fake::WritesBeforeFailure;
    }
    const DWORD taken = std::min<DWORD>(bytesToWrite, Fake::MaxBytesTaken);
    const std::uint8_t *bytes = static_cast<const std::uint8_t *>(buffer);
    Fake::Wire.insert(Fake::Wire.end(), bytes, bytes + taken);
    if (!Fake::InstantDrain) {
        Fake::Queued += taken;
        Fake::LargestQueue = std::max(Fake::LargestQueue, Fake::Queued);
    }
    *bytesWritten = taken;
    return TRUE;
}

BOOL CloseHandle(HANDLE) {
    Fake::Calls.push_back("CloseHandle");
    --Fake::OpenHandles;
    return TRUE;
}

DWORD GetProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue, LPSTR returned,
                        DWORD size) {
    Fake::Calls.push_back("GetProfileStringA");
    const auto found = Fake::Profile.find(ProfileKey(appName, keyName));
    const std::string value = found != Fake::Profile.end() ? found->second : defaultValue;
    const std::size_t count = std::min<std::size_t>(value.size(), size - 1);
    std::memcpy(returned, value.data(), count);
    returned[count] = '\0';
    return DWORD(count);
}

BOOL WriteProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR value) {
    Fake::Calls.push_back("WriteProfileStringA");
    Fake::Profile[ProfileKey(appName, keyName)] = value;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    Fake::Calls.push_back("Sleep");
    Fake::Sleeps.push_back(milliseconds);
    const std::uint64_t drained = std::uint64_t(Fake::DrainBytesPerSecond) * milliseconds / 1000;
    Fake::Queued -= std::uint32_t(std::min<std::uint64_t>(drained, Fake::Queued));
    Fake::QueueAfterSleeps.push_back(Fake::Queued);
}

int ErrorOutputIsConsole() {
    return Fake::ErrorIsConsole ? 1 : 0;
}
