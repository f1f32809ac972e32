// The POSIX communications functions against pseudo-terminals: which names
// open which devices, exclusive use, the DCB as termios settings, writing.
#include "platform/posix/line_settings.h"
#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

class Comm : public testing::Test {
protected:
    fs::path home;
    int master = -1;
    int slave = -1;
    std::string slavePath;

    void SetUp() override {
        home = fs::temp_directory_path() /
               ("vintrel-comm-" +
                std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(home);
        fs::create_directories(home / "vintrel");
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        slavePath = ptsname(master);
        // Holding the slave open keeps the terminal alive between opens.
        slave = open(slavePath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slave, 0);
        std::ofstream(home / "vintrel" / "win.ini")
            << "[Ports]\nCOM7=" << slavePath << "\nCOM8=/dev/null\nCOM9=" << (home / "none").string()
            << "\nCOM1=" << slavePath << "\n";
    }

    void TearDown() override {
        close(slave);
        if (master >= 0) {
            close(master);
        }
        fs::remove_all(home);
        unsetenv("XDG_CONFIG_HOME");
    }

    static HANDLE Open(const char *name) {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }

    termios Line() const {
        termios settings;
        EXPECT_EQ(tcgetattr(master, &settings), 0);
        return settings;
    }

    std::vector<unsigned char> ReadMaster() const {
        std::vector<unsigned char> bytes;
        pollfd ready = {master, POLLIN, 0};
        while (poll(&ready, 1, 200) > 0) {
            unsigned char buffer[4096];
            const ssize_t count = read(master, buffer, sizeof buffer);
            if (count <= 0) {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + count);
        }
        return bytes;
    }
};

TEST_F(Comm, OnlyMappedTerminalDevicesOpen) {
    for (const char *name : {"COM8", "COM9", "COM0", "COM", "COMx", "COM7x", "LPT1", "com7"}) {
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE) << name;
    }
    for (const char *name : {"COM7", "COM1"}) {
        HANDLE port = Open(name);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(CloseHandle(port), TRUE);
    }
}

TEST_F(Comm, APortIsUsedByOneHandleAtATime) {
    HANDLE port = Open("COM7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);
    CloseHandle(port);

    // Another holder of the device's lock, such as another process.
    ASSERT_EQ(flock(slave, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(Open("COM7"), INVALID_HANDLE_VALUE);
    flock(slave, LOCK_UN);
    port = Open("COM7");
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
}

struct LineCase {
    DWORD baudRate;
    BYTE byteSize;
    BYTE parity;
    BYTE stopBits;
    bool ctsFlow;
    bool xonXoff;
    speed_t speed;
    tcflag_t cflagSet;
    tcflag_t cflagClear;
};

TEST(LineSettings, TheDcbBecomesARawTerminalLineAndReadsBack) {
    const LineCase cases[] = {
        {38400, 8, NOPARITY, ONESTOPBIT, false, false, B38400, CS8, PARENB | CSTOPB | CRTSCTS},
        {4800, 8, NOPARITY, TWOSTOPBITS, false, false, B4800, CS8 | CSTOPB, PARENB | CRTSCTS},
        {9600, 7, EVENPARITY, ONESTOPBIT, true, false, B9600, CS7 | PARENB | CRTSCTS,
         PARODD | CSTOPB},
        {115200, 5, ODDPARITY, ONESTOPBIT, false, true, B115200, CS5 | PARENB | PARODD,
         CSTOPB | CRTSCTS},
        {300, 6, MARKPARITY, TWOSTOPBITS, false, false, B300, CS6 | PARENB | PARODD | CMSPAR,
         CRTSCTS},
        {921600, 8, SPACEPARITY, ONESTOPBIT, false, false, B921600, CS8 | PARENB | CMSPAR,
         PARODD | CSTOPB},
    };
    for (const LineCase &c : cases) {
        // Start from a cooked line with everything switched on.
        termios settings;
        std::memset(&settings, 0, sizeof settings);
        settings.c_iflag = ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | BRKINT;
        settings.c_oflag = OPOST | ONLCR;
        settings.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
        settings.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.BaudRate = c.baudRate;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        dcb.fOutxCtsFlow = c.ctsFlow;
        dcb.fOutX = c.xonXoff;
        dcb.fInX = c.xonXoff;
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
        ASSERT_EQ(ApplyDcb(dcb, settings), 1) << c.baudRate;
        EXPECT_EQ(cfgetospeed(&settings), c.speed) << c.baudRate;
        EXPECT_EQ(cfgetispeed(&settings), c.speed) << c.baudRate;
        EXPECT_EQ(settings.c_cflag & (c.cflagSet | CSIZE), c.cflagSet) << c.baudRate;
        EXPECT_EQ(settings.c_cflag & c.cflagClear, 0u) << c.baudRate;
        EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD | HUPCL), tcflag_t(CLOCAL | CREAD | HUPCL));
        EXPECT_EQ(settings.c_oflag & OPOST, 0u);
        EXPECT_EQ(settings.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXANY | BRKINT), 0u);
        EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(settings.c_iflag & (IXON | IXOFF), c.xonXoff ? tcflag_t(IXON | IXOFF) : 0u);

        DCB readBack;
        ReadLineSettings(settings, readBack);
        EXPECT_EQ(readBack.DCBlength, sizeof(DCB));
        EXPECT_EQ(readBack.BaudRate, c.baudRate);
        EXPECT_EQ(readBack.ByteSize, c.byteSize);
        EXPECT_EQ(readBack.Parity, c.parity);
        EXPECT_EQ(readBack.StopBits, c.stopBits == ONESTOPBIT ? ONESTOPBIT : TWOSTOPBITS);
        EXPECT_EQ(readBack.fOutxCtsFlow, unsigned(c.ctsFlow));
        EXPECT_EQ(readBack.fOutX, unsigned(c.xonXoff));
    }
}

TEST(LineSettings, WhatTermiosCannotDoIsRefusedAndChangesNothing) {
    for (DWORD baudRate : {0u, 12345u, 38401u}) {
        termios settings;
        std::memset(&settings, 0x5A, sizeof settings);
        const termios before = settings;
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.BaudRate = baudRate;
        dcb.ByteSize = 8;
        EXPECT_EQ(ApplyDcb(dcb, settings), 0) << baudRate;
        EXPECT_EQ(std::memcmp(&before, &settings, sizeof settings), 0) << baudRate;
    }
    for (BYTE byteSize : {0, 4, 9}) {
        termios settings;
        std::memset(&settings, 0x5A, sizeof settings);
        DCB dcb;
        std::memset(&dcb, 0, sizeof dcb);
        dcb.BaudRate = 38400;
        dcb.ByteSize = byteSize;
        EXPECT_EQ(ApplyDcb(dcb, settings), 0) << int(byteSize);
    }
}

TEST_F(Comm, SetCommStateReachesTheDeviceEvenWithoutModemLines) {
    HANDLE port = Open("COM7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb;
    ASSERT_EQ(GetCommState(port, &dcb), TRUE);
    dcb.BaudRate = 4800;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A pseudo-terminal has no modem lines: the call says so after the line
    // settings are in force.
    EXPECT_EQ(SetCommState(port, &dcb), FALSE);
    const termios line = Line();
    EXPECT_EQ(cfgetospeed(&line), speed_t(B4800));
    EXPECT_EQ(line.c_cflag & (CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t(CSTOPB | CRTSCTS | CLOCAL | CREAD));
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    DCB readBack;
    ASSERT_EQ(GetCommState(port, &readBack), TRUE);
    EXPECT_EQ(readBack.BaudRate, 4800u);
    EXPECT_EQ(readBack.fDtrControl, unsigned(DTR_CONTROL_DISABLE));
    EXPECT_EQ(readBack.fRtsControl, unsigned(RTS_CONTROL_ENABLE));

    dcb.BaudRate = 12345;
    EXPECT_EQ(SetCommState(port, &dcb), FALSE);
    const termios unchanged = Line();
    EXPECT_EQ(cfgetospeed(&unchanged), speed_t(B4800));
    CloseHandle(port);
}

TEST_F(Comm, WritesEveryByteUnchangedAndCountsTheQueues) {
    HANDLE port = Open("COM7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB dcb;
    GetCommState(port, &dcb);
    dcb.BaudRate = 38400;
    SetCommState(port, &dcb);
    std::vector<unsigned char> bytes(256);
    for (int i = 0; i < 256; ++i) {
        bytes[std::size_t(i)] = static_cast<unsigned char>(i);
    }
    DWORD written = 0;
    ASSERT_EQ(WriteFile(port, bytes.data(), DWORD(bytes.size()), &written, nullptr), TRUE);
    EXPECT_EQ(written, 256u);
    EXPECT_EQ(ReadMaster(), bytes);

    ASSERT_EQ(write(master, "abc", 3), 3);
    // The terminal hands input on to the line discipline in its own time.
    pollfd input = {slave, POLLIN, 0};
    ASSERT_EQ(poll(&input, 1, 2000), 1);
    DWORD errors = 99;
    COMSTAT status;
    ASSERT_EQ(ClearCommError(port, &errors, &status), TRUE);
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.cbInQue, 3u);
    EXPECT_EQ(status.cbOutQue, 0u);

    // The device goes away: writes fail.
    close(master);
    master = -1;
    EXPECT_EQ(WriteFile(port, bytes.data(), 10, &written, nullptr), FALSE);
    EXPECT_EQ(written, 0u);
    CloseHandle(port);
}

} // namespace
