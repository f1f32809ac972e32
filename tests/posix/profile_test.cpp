// The POSIX profile file: where it lives, how values are read, and how a
// write changes one line and keeps every other byte.
#include "platform/posix/profile.h"
#include "platform/win32_api.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Profile : public testing::Test {
protected:
    fs::path home;

    void SetUp() override {
        home = fs::temp_directory_path() /
               ("vintrel-profile-" +
                std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(home);
        fs::create_directories(home);
        setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    }

    void TearDown() override {
        fs::remove_all(home);
        unsetenv("XDG_CONFIG_HOME");
    }

    fs::path File() const {
        return home / "vintrel" / "win.ini";
    }

    void Put(const std::string &text) const {
        fs::create_directories(File().parent_path());
        std::ofstream(File(), std::ios::binary) << text;
    }

    std::string Text() const {
        std::ifstream file(File(), std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    static std::string Read(const char *section = "TuvComDll", const char *key = "HANDSHAKE",
                            DWORD size = 10) {
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        const DWORD count = GetProfileStringA(section, key, "TEST", buffer, size);
        EXPECT_EQ(count, std::strlen(buffer));
        return buffer;
    }
};

TEST_F(Profile, LivesUnderXdgConfigHomeOrElseHome) {
    EXPECT_EQ(ProfilePath(), File().string());
    const char *savedHome = std::getenv("HOME");
    const std::string homeValue = savedHome != nullptr ? savedHome : "";
    setenv("HOME", "/home/someone", 1);
    setenv("XDG_CONFIG_HOME", "", 1);
    EXPECT_EQ(ProfilePath(), "/home/someone/.config/vintrel/win.ini");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ProfilePath(), "/home/someone/.config/vintrel/win.ini");
    unsetenv("HOME");
    EXPECT_EQ(ProfilePath(), "");
    EXPECT_EQ(Read(), "TEST");
    EXPECT_EQ(WriteProfileStringA("TuvComDll", "HANDSHAKE", "NO"), FALSE);
    setenv("HOME", homeValue.c_str(), 1);
}

struct ReadCase {
    std::string text;
    const char *value;
};

TEST_F(Profile, ReadsValuesTheWayWindowsDoes) {
    const ReadCase cases[] = {
        {"[TuvComDll]\nHANDSHAKE=YES\n", "YES"},
        {"[tuvcomdll]\nhandshake=YES\n", "YES"},
        {"  [ TuvComDll ]  \n  HANDSHAKE  =  YES  \n", "YES"},
        {"[TuvComDll]\r\nHANDSHAKE=YES\r\n", "YES"},
        {"[TuvComDll]\nHANDSHAKE=YES", "YES"},
        {"[TuvComDll]\nHANDSHAKE=\n", ""},
        {"[TuvComDll]\nHANDSHAKE=a=b\n", "a=b"},
        {"[TuvComDll]\nHANDSHAKE=ONE\nHANDSHAKE=TWO\n", "ONE"},
        {"[TuvComDll]\nOTHER=1\n[TuvComDll]\nHANDSHAKE=LATER\n", "TEST"},
        {"[Other]\nHANDSHAKE=YES\n", "TEST"},
        {"HANDSHAKE=YES\n[TuvComDll]\n", "TEST"},
        {"[TuvComDll]\nHANDSHAKEX=YES\n", "TEST"},
        {"[TuvComDll]\nHANDSHAKE=0123456789ABC\n", "012345678"},
        {"\xEF\xBB\xBF[TuvComDll]\r\nHANDSHAKE=YES\r\n", "YES"},
        {"", "TEST"},
        {std::string("\xff\xfe\0garbage\n[TuvComDll]\nHANDSHAKE=YES\n", 37), "YES"},
    };
    for (const ReadCase &c : cases) {
        Put(c.text);
        EXPECT_EQ(Read(), c.value) << c.text;
    }
    fs::remove(File());
    EXPECT_EQ(Read(), "TEST");
}

TEST_F(Profile, KeepsToTheBufferSize) {
    Put("[TuvComDll]\nHANDSHAKE=ABCDEF\n");
    EXPECT_EQ(Read("TuvComDll", "HANDSHAKE", 4), "ABC");
    EXPECT_EQ(Read("TuvComDll", "HANDSHAKE", 1), "");
    char untouched[2] = {'#', '#'};
    EXPECT_EQ(GetProfileStringA("TuvComDll", "HANDSHAKE", "TEST", untouched, 0), 0u);
    EXPECT_EQ(untouched[0], '#');
}

TEST_F(Profile, PortsSectionIsReadByTheSameRules) {
    Put("[ports]\r\ncom2 = /dev/ttyUSB0 \r\n");
    std::string value;
    EXPECT_EQ(ReadProfileValue("Ports", "COM2", value), 1);
    EXPECT_EQ(value, "/dev/ttyUSB0");
    EXPECT_EQ(ReadProfileValue("Ports", "COM3", value), 0);
}

struct WriteCase {
    const char *before;
    const char *after;
};

TEST_F(Profile, AWriteChangesOneLineAndKeepsEveryOtherByte) {
    const WriteCase cases[] = {
        {"", "[TuvComDll]\nHANDSHAKE=NO\n"},
        {"[TuvComDll]\nHANDSHAKE=TEST\n", "[TuvComDll]\nHANDSHAKE=NO\n"},
        {"; note\n[tuvcomdll]\r\n  handshake = TEST  \r\nX=1\r\n",
         "; note\n[tuvcomdll]\r\n  handshake =NO\r\nX=1\r\n"},
        {"[TuvComDll]\nHANDSHAKE=TEST", "[TuvComDll]\nHANDSHAKE=NO"},
        {"[Ports]\nCOM2=/dev/pts/3\n", "[Ports]\nCOM2=/dev/pts/3\n[TuvComDll]\nHANDSHAKE=NO\n"},
        {"[Ports]\r\nCOM2=/dev/pts/3\r\n",
         "[Ports]\r\nCOM2=/dev/pts/3\r\n[TuvComDll]\r\nHANDSHAKE=NO\r\n"},
        {"[Ports]\nCOM2=/dev/pts/3", "[Ports]\nCOM2=/dev/pts/3\n[TuvComDll]\nHANDSHAKE=NO\n"},
        {"[TuvComDll]\nA=1\n\n[Next]\nB=2\n", "[TuvComDll]\nA=1\nHANDSHAKE=NO\n\n[Next]\nB=2\n"},
        {"[TuvComDll]\n[Next]\n", "[TuvComDll]\nHANDSHAKE=NO\n[Next]\n"},
        {"\xEF\xBB\xBF[TuvComDll]\nHANDSHAKE=TEST\n", "\xEF\xBB\xBF[TuvComDll]\nHANDSHAKE=NO\n"},
        {"[TuvComDll]\nHANDSHAKE=A\n[TuvComDll]\nHANDSHAKE=B\n",
         "[TuvComDll]\nHANDSHAKE=NO\n[TuvComDll]\nHANDSHAKE=B\n"},
        {"[TuvComDll]\nA=1\n\n[TuvComDll]\nHANDSHAKE=B\n",
         "[TuvComDll]\nA=1\nHANDSHAKE=NO\n\n[TuvComDll]\nHANDSHAKE=B\n"},
    };
    for (const WriteCase &c : cases) {
        Put(c.before);
        EXPECT_EQ(WriteProfileStringA("TuvComDll", "HANDSHAKE", "NO"), TRUE) << c.before;
        EXPECT_EQ(Text(), c.after) << c.before;
        EXPECT_EQ(Read(), "NO") << c.before;
    }
}

TEST_F(Profile, BinaryAndHugeLinesSurviveAWrite) {
    std::string garbage(256, '\0');
    for (int i = 0; i < 256; ++i) {
        garbage[std::size_t(i)] = char(i);
    }
    const std::string hugeLine(1 << 20, 'x');
    const std::string before = garbage + "\n" + hugeLine + "\n[TuvComDll]\nHANDSHAKE=TEST\n";
    Put(before);
    ASSERT_EQ(WriteProfileStringA("TuvComDll", "HANDSHAKE", "NO"), TRUE);
    EXPECT_EQ(Text(), garbage + "\n" + hugeLine + "\n[TuvComDll]\nHANDSHAKE=NO\n");
}

TEST_F(Profile, AWriteCreatesTheFoldersAndLeavesNoTemporaryFile) {
    setenv("XDG_CONFIG_HOME", (home / "a" / "b").c_str(), 1);
    ASSERT_EQ(WriteProfileStringA("TuvComDll", "HANDSHAKE", "NO"), TRUE);
    const fs::path folder = home / "a" / "b" / "vintrel";
    EXPECT_TRUE(fs::is_regular_file(folder / "win.ini"));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
}

TEST_F(Profile, AWriteThatCannotReadTheFileChangesNothing) {
    fs::create_directories(File());
    EXPECT_EQ(WriteProfileStringA("TuvComDll", "HANDSHAKE", "NO"), FALSE);
    EXPECT_TRUE(fs::is_directory(File()));
    EXPECT_EQ(Read(), "TEST");
    EXPECT_EQ(std::distance(fs::directory_iterator(File().parent_path()), fs::directory_iterator()),
              1);
}

TEST_F(Profile, AWriteKeepsTheFilePermissions) {
    Put("[TuvComDll]\nHANDSHAKE=TEST\n");
    fs::permissions(File(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_EQ(WriteProfileStringA("TuvComDll", "HANDSHAKE", "NO"), TRUE);
    EXPECT_EQ(fs::status(File()).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

} // namespace
