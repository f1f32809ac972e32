// The port layer against a fake platform: the table of ports, the line
// settings and the handshake setting, pacing against the output queue, and
// closing once the queued bytes have left.
#include "serial/port.h"
#include "tests/fake/fake_platform.h"

#include <gtest/gtest.h>

#include <climits>
#include <numeric>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::uint8_t> Bytes;
typedef std::vector<std::uint32_t> Counts;

const std::string HandshakeKey = "TuvComDll/HANDSHAKE";

Bytes Pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = std::uint8_t(i ^ (i >> 8));
    }
    return bytes;
}

class Port : public testing::Test {
protected:
    void SetUp() override {
        Fake::Reset();
    }
    void TearDown() override {
        for (int port = 0; port < 256; ++port) {
            ClosePort(port);
        }
    }
};

TEST_F(Port, NumbersOutsideTheTableAreRefusedWithoutAPlatformCall) {
    for (int port : {-1, 256, INT_MIN, INT_MAX}) {
        EXPECT_EQ(OpenPort(port, 38400), 0) << port;
        EXPECT_EQ(ClosePort(port), 0) << port;
        EXPECT_EQ(GetOutQueueCount(port), 0u) << port;
        EXPECT_EQ(WritePort(port, 1, Bytes{1}.data()), 0) << port;
    }
    EXPECT_TRUE(Fake::Calls.empty());
}

TEST_F(Port, OpensTheDeviceAndSetsTheLineUpInOrder) {
    Fake::Profile[HandshakeKey] = "NO";
    ASSERT_EQ(OpenPort(3, 38400), 1);
    EXPECT_EQ(Fake::OpenedNames, std::vector<std::string>{"COM3"});
    const std::vector<std::string> expected = {
        "CreateFileA",       "SetupComm 2048 2048", "GetCommState",
        "GetProfileStringA", "SetCommState",        "SetCommMask 4",
    };
    EXPECT_EQ(Fake::Calls, expected);
}

TEST_F(Port, EveryNumberFromZeroTo255HasASlot) {
    for (int port : {0, 32, 33, 100, 255}) {
        ASSERT_EQ(OpenPort(port, 38400), 1) << port;
        EXPECT_EQ(Fake::OpenedNames.back(), "COM" + std::to_string(port));
        Fake::Pieces.clear();
        EXPECT_EQ(WritePort(port, 3, Bytes{1, 2, 3}.data()), 1) << port;
        EXPECT_EQ(Fake::Pieces, Counts{3}) << port;
        EXPECT_EQ(ClosePort(port), 1) << port;
    }
}

TEST_F(Port, AnOpenPortIsNotOpenedTwiceAndCanBeReopenedAfterClosing) {
    ASSERT_EQ(OpenPort(2, 38400), 1);
    EXPECT_EQ(OpenPort(2, 38400), 0);
    EXPECT_EQ(Fake::CallCount("CreateFileA"), 1);
    EXPECT_EQ(WritePort(2, 1, Bytes{7}.data()), 1);

    EXPECT_EQ(ClosePort(2), 1);
    EXPECT_EQ(ClosePort(2), 0);
    EXPECT_EQ(Fake::CallCount("CloseHandle"), 1);
    EXPECT_EQ(WritePort(2, 1, Bytes{7}.data()), 0);
    EXPECT_EQ(OpenPort(2, 38400), 1);
    EXPECT_EQ(Fake::OpenHandles, 1);
}

TEST_F(Port, AFailedOpenLeavesTheSlotEmptyAndTheProfileAlone) {
    Fake::CreateFails = true;
    EXPECT_EQ(OpenPort(4, 38400), 0);
    EXPECT_EQ(Fake::Calls, std::vector<std::string>{"CreateFileA"});
    EXPECT_TRUE(Fake::Profile.empty());
    EXPECT_EQ(WritePort(4, 1, Bytes{1}.data()), 0);
    EXPECT_EQ(ClosePort(4), 0);
    Fake::CreateFails = false;
    EXPECT_EQ(OpenPort(4, 38400), 1);
}

TEST_F(Port, SetsTheUploadFieldsAndKeepsEveryOtherFieldOfThePort) {
    DCB &port = Fake::PortDcb;
    port.DCBlength = sizeof(DCB);
    port.BaudRate = 9600;
    port.fBinary = 0;
    port.fParity = 1;
    port.fOutxCtsFlow = 1;
    port.fOutxDsrFlow = 1;
    port.fDtrControl = DTR_CONTROL_HANDSHAKE;
    port.fDsrSensitivity = 1;
    port.fTXContinueOnXoff = 1;
    port.fOutX = 1;
    port.fInX = 1;
    port.fErrorChar = 1;
    port.fNull = 1;
    port.fRtsControl = RTS_CONTROL_TOGGLE;
    port.fAbortOnError = 1;
    port.fDummy2 = 0x1ABCD;
    port.wReserved = 0x1234;
    port.XonLim = 111;
    port.XoffLim = 222;
    port.ByteSize = 7;
    port.Parity = EVENPARITY;
    port.StopBits = ONE5STOPBITS;
    port.XonChar = 'a';
    port.XoffChar = 'b';
    port.ErrorChar = 'c';
    port.EofChar = 'd';
    port.EvtChar = 'e';
    port.wReserved1 = 0x5678;
    Fake::Profile[HandshakeKey] = "NO";
    ASSERT_EQ(OpenPort(1, 38400), 1);
    const DCB &set = Fake::AppliedDcbs.at(0);
    EXPECT_EQ(set.BaudRate, 38400u);
    EXPECT_EQ(set.fBinary, 1u);
    EXPECT_EQ(set.fParity, 0u);
    EXPECT_EQ(set.fOutxCtsFlow, 0u);
    EXPECT_EQ(set.fOutxDsrFlow, 0u);
    EXPECT_EQ(set.fDtrControl, unsigned(DTR_CONTROL_DISABLE));
    EXPECT_EQ(set.fDsrSensitivity, 0u);
    EXPECT_EQ(set.fTXContinueOnXoff, 0u);
    EXPECT_EQ(set.fOutX, 0u);
    EXPECT_EQ(set.fInX, 0u);
    EXPECT_EQ(set.fErrorChar, 0u);
    EXPECT_EQ(set.fNull, 0u);
    EXPECT_EQ(set.fRtsControl, unsigned(RTS_CONTROL_ENABLE));
    EXPECT_EQ(set.fAbortOnError, 0u);
    EXPECT_EQ(set.ByteSize, 8);
    EXPECT_EQ(set.Parity, NOPARITY);
    EXPECT_EQ(set.StopBits, ONESTOPBIT);
    // Fields the upload does not care about stay as the port had them.
    EXPECT_EQ(set.DCBlength, sizeof(DCB));
    EXPECT_EQ(set.fDummy2, 0x1ABCDu);
    EXPECT_EQ(set.wReserved, 0x1234);
    EXPECT_EQ(set.XonLim, 111);
    EXPECT_EQ(set.XoffLim, 222);
    EXPECT_EQ(set.XonChar, 'a');
    EXPECT_EQ(set.XoffChar, 'b');
    EXPECT_EQ(set.ErrorChar, 'c');
    EXPECT_EQ(set.EofChar, 'd');
    EXPECT_EQ(set.EvtChar, 'e');
    EXPECT_EQ(set.wReserved1, 0x5678);
}

TEST_F(Port, AnUnreadablePortStateStillOpensWithTheUploadLine) {
    Fake::GetCommStateFails = true;
    ASSERT_EQ(OpenPort(1, 38400), 1);
    const DCB &set = Fake::AppliedDcbs.at(0);
    EXPECT_EQ(set.DCBlength, sizeof(DCB));
    EXPECT_EQ(set.BaudRate, 38400u);
    EXPECT_EQ(set.ByteSize, 8);
    EXPECT_EQ(set.XonLim, 0);
    EXPECT_EQ(set.EofChar, 0);
}

struct StopBitCase {
    std::uint32_t baudRate;
    int stopBits;
};

TEST_F(Port, TwoStopBitsOnlyAt4800) {
    const StopBitCase cases[] = {
        {4800, TWOSTOPBITS}, {38400, ONESTOPBIT}, {9600, ONESTOPBIT},
        {4801, ONESTOPBIT},  {2400, ONESTOPBIT},  {115200, ONESTOPBIT},
    };
    for (const StopBitCase &c : cases) {
        Fake::AppliedDcbs.clear();
        ASSERT_EQ(OpenPort(6, c.baudRate), 1);
        EXPECT_EQ(Fake::AppliedDcbs.at(0).BaudRate, c.baudRate);
        EXPECT_EQ(Fake::AppliedDcbs.at(0).StopBits, c.stopBits) << c.baudRate;
        ClosePort(6);
    }
}

struct HandshakeCase {
    const char *stored; // null: no key
    int rtsControl;
    const char *afterwards; // null: no key
};

TEST_F(Port, TheProfileChoosesRtsAndAMissingOrTestKeyBecomesNo) {
    const HandshakeCase cases[] = {
        {nullptr, RTS_CONTROL_ENABLE, "NO"},
        {"TEST", RTS_CONTROL_ENABLE, "NO"},
        {"NO", RTS_CONTROL_ENABLE, "NO"},
        {"YES", RTS_CONTROL_HANDSHAKE, "YES"},
        {"no", RTS_CONTROL_HANDSHAKE, "no"},
        {"", RTS_CONTROL_HANDSHAKE, ""},
        {"NO ", RTS_CONTROL_HANDSHAKE, "NO "},
        {"test", RTS_CONTROL_HANDSHAKE, "test"},
        {"TESTTESTTEST", RTS_CONTROL_HANDSHAKE, "TESTTESTTEST"},
    };
    for (const HandshakeCase &c : cases) {
        Fake::Reset();
        if (c.stored != nullptr) {
            Fake::Profile[HandshakeKey] = c.stored;
        }
        ASSERT_EQ(OpenPort(1, 38400), 1);
        const char *shown = c.stored != nullptr ? c.stored : "(missing)";
        EXPECT_EQ(Fake::AppliedDcbs.at(0).fRtsControl, unsigned(c.rtsControl)) << shown;
        EXPECT_EQ(Fake::Profile.at(HandshakeKey), c.afterwards) << shown;
        const bool rewritten = c.stored == nullptr || std::string(c.stored) == "TEST";
        EXPECT_EQ(Fake::CallCount("WriteProfileStringA"), rewritten ? 1 : 0) << shown;
        ClosePort(1);
    }
}

class Pacing : public Port {
protected:
    void SetUp() override {
        Port::SetUp();
        ASSERT_EQ(OpenPort(5, 38400), 1);
        Fake::Calls.clear();
    }
};

TEST_F(Pacing, ABlockIsCutToTheWindowOnAQueueThatDrainsAtOnce) {
    const Bytes block = Pattern(2 * 2048 + 904);
    EXPECT_EQ(WritePort(5, int(block.size()), block.data()), 1);
    EXPECT_EQ(Fake::Pieces, (Counts{2048, 2048, 904}));
    EXPECT_EQ(Fake::Wire, block);
    EXPECT_TRUE(Fake::Sleeps.empty());
}

TEST_F(Pacing, AnEmptyBlockMakesOneZeroByteWrite) {
    EXPECT_EQ(WritePort(5, 0, nullptr), 1);
    EXPECT_EQ(Fake::Pieces, Counts{0});
    EXPECT_EQ(Fake::CallCount("ClearCommError"), 1);
}

TEST_F(Pacing, AQueueCountAboveTheWindowSendsTheWholeRemainder) {
    Fake::QueueReports = {3000};
    const Bytes block = Pattern(10000);
    EXPECT_EQ(WritePort(5, int(block.size()), block.data()), 1);
    EXPECT_EQ(Fake::Pieces, Counts{10000});
}

TEST_F(Pacing, AFullQueueIsWaitedForWithoutZeroByteWrites) {
    // Full twice, then a quarter of the window free.
    Fake::QueueReports = {2048, 2048, 1536, 2048, 0};
    const Bytes block = Pattern(1000);
    EXPECT_EQ(WritePort(5, int(block.size()), block.data()), 1);
    EXPECT_EQ(Fake::Pieces, (Counts{512, 488}));
    EXPECT_EQ(Fake::Wire, block);
    // A quarter of the window takes 512 * 10 / 38400 s on the line.
    EXPECT_EQ(Fake::Sleeps, (std::vector<DWORD>{134, 134, 134}));
}

TEST_F(Pacing, AQueueDrainingAtLineRateNeverOverflowsNorRunsDry) {
    Fake::InstantDrain = false;
    Fake::DrainBytesPerSecond = 3840;
    const Bytes block = Pattern(131072);
    EXPECT_EQ(WritePort(5, int(block.size()), block.data()), 1);
    EXPECT_EQ(Fake::Wire, block);
    EXPECT_LE(Fake::LargestQueue, 2048u);
    for (std::uint32_t queued : Fake::QueueAfterSleeps) {
        EXPECT_GT(queued, 0u);
    }
    EXPECT_LE(Fake::Pieces.size(), block.size() / 256);
    for (std::uint32_t piece : Fake::Pieces) {
        EXPECT_GT(piece, 0u);
    }
}

TEST_F(Pacing, WritesAdvanceByWhatTheDriverTook) {
    Fake::MaxBytesTaken = 100;
    const Bytes block = Pattern(250);
    EXPECT_EQ(WritePort(5, int(block.size()), block.data()), 1);
    EXPECT_EQ(Fake::Pieces, (Counts{250, 150, 50}));
    EXPECT_EQ(Fake::Wire, block);
}

TEST_F(Pacing, AFailedWriteEndsTheBlock) {
    Fake::WritesBeforeFailure = 1;
    Fake::MaxBytesTaken = 2048;
    const Bytes block = Pattern(5000);
    EXPECT_EQ(WritePort(5, int(block.size()), block.data()), 0);
    EXPECT_EQ(Fake::Pieces, (Counts{2048, 2048}));
    EXPECT_EQ(Fake::Wire.size(), 2048u);
}

struct StallCase {
    const char *what;
    std::uint32_t maxBytesTaken;
    std::deque<std::uint32_t> queueReports;
};

TEST_F(Pacing, GivesUpWhenNothingGoesOutForTwiceAWindowAndASecond) {
    const StallCase cases[] = {
        {"queue stays full", UINT32_MAX, std::deque<std::uint32_t>(100, 2048)},
        {"driver takes nothing", 0, {}},
    };
    for (const StallCase &c : cases) {
        Fake::Sleeps.clear();
        Fake::MaxBytesTaken = c.maxBytesTaken;
        Fake::QueueReports = c.queueReports;
        EXPECT_EQ(WritePort(5, 100, Pattern(100).data()), 0) << c.what;
        const DWORD waited = std::accumulate(Fake::Sleeps.begin(), Fake::Sleeps.end(), DWORD(0));
        // 2048 bytes take 534 ms at 38400 baud.
        EXPECT_GE(waited, 2 * 534 + 1000u) << c.what;
        EXPECT_LT(waited, 2 * 534 + 1000u + 134) << c.what;
    }
}

TEST_F(Pacing, TheQueueCountComesFromClearCommError) {
    Fake::QueueReports = {1234};
    EXPECT_EQ(GetOutQueueCount(5), 1234u);
    Fake::ClearCommErrorFails = true;
    EXPECT_EQ(GetOutQueueCount(5), 0u);
    EXPECT_EQ(GetOutQueueCount(6), 0u);
    EXPECT_EQ(Fake::CallCount("ClearCommError"), 2);
}

TEST_F(Pacing, ClosingWaitsUntilTheQueuedBytesHaveLeft) {
    Fake::InstantDrain = false;
    Fake::DrainBytesPerSecond = 3840;
    const Bytes block = Pattern(3000);
    ASSERT_EQ(WritePort(5, int(block.size()), block.data()), 1);
    ASSERT_GT(Fake::Queued, 0u);
    Fake::Sleeps.clear();
    EXPECT_EQ(ClosePort(5), 1);
    EXPECT_EQ(Fake::Queued, 0u);
    EXPECT_EQ(Fake::Calls.back(), "CloseHandle");
    EXPECT_FALSE(Fake::Sleeps.empty());
}

TEST_F(Pacing, ClosingGivesUpOnAQueueThatNeverDrainsAndStillCloses) {
    Fake::InstantDrain = false;
    ASSERT_EQ(WritePort(5, 384, Pattern(384).data()), 1);
    EXPECT_EQ(ClosePort(5), 0);
    const DWORD waited = std::accumulate(Fake::Sleeps.begin(), Fake::Sleeps.end(), DWORD(0));
    // 384 bytes take 100 ms at 38400 baud: give up after about 1.2 s.
    EXPECT_GE(waited, 1200u);
    EXPECT_LE(waited, 1250u);
    EXPECT_EQ(Fake::OpenHandles, 0);
    EXPECT_EQ(OpenPort(5, 38400), 1);
}

} // namespace
