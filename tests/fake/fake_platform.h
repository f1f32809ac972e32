// A fake Win32 platform linked in place of the real one: it records every
// call the port layer makes and models the serial driver's output queue on a
// simulated clock that only Sleep advances.
#ifndef VINTREL_TESTS_FAKE_PLATFORM_H
#define VINTREL_TESTS_FAKE_PLATFORM_H

#include "platform/win32_api.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

namespace Fake {

// What the test sets up.
extern bool CreateFails;
extern bool GetCommStateFails;
extern bool ClearCommErrorFails;
extern DCB PortDcb;                             // what GetCommState reports
extern std::deque<std::uint32_t> QueueReports;  // reported in turn before the model's own count
extern bool InstantDrain;                       // the queue empties as soon as bytes arrive
extern std::uint32_t DrainBytesPerSecond;       // otherwise it drains while time passes; 0 never
extern int WritesBeforeFailure;                 // WriteFile fails from then on; -1 never
extern std::uint32_t MaxBytesTaken;             // WriteFile takes at most this many bytes
extern std::map<std::string, std::string> Profile; // "section/key" -> value
extern bool ErrorIsConsole;

// What the test observes.
extern std::vector<std::string> Calls;
extern std::vector<std::string> OpenedNames;
extern std::vector<DCB> AppliedDcbs;
extern std::vector<std::uint32_t> Pieces;       // byte count asked of each WriteFile
extern std::vector<std::uint8_t> Wire;          // every byte the driver took, in order
extern std::vector<DWORD> Sleeps;
extern std::vector<std::uint32_t> QueueAfterSleeps;
extern std::uint32_t Queued;
extern std::uint32_t LargestQueue;
extern int OpenHandles;

// Back to a port that opens, drains at once and takes every byte; no
// profile, nothing recorded.
void Reset();

int CallCount(const std::string &name);

} // namespace Fake

#endif
