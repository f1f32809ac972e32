// The check values and the operations that put a frame's sections on the line.
#include "serial/port.h"
#include "tests/fake/fake_platform.h"
#include "tests/support/reference_frame.h"
#include "upload/frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

typedef std::vector<std::uint8_t> Bytes;

const int Port = 4;

void Fold(const Bytes &bytes) {
    ResetChecksums();
    for (std::uint8_t byte : bytes) {
        UpdateChecksums(byte);
    }
}

struct WorkedValue {
    Bytes bytes;
    std::uint16_t addSum;
    std::uint16_t rotSum;
};

TEST(Checksums, WorkedValuesFromAResetState) {
    const WorkedValue cases[] = {
        {{'S'}, 0x0054, 0x0054},
        {{'a', 'b', 'c'}, 0x0129, 0x02B2},
        {{0xFF}, 0x0000, 0x0000},
        {{}, 0x0000, 0x0000},
        {{'S', 0, 0, 0, 0, 0, 0, 0, 0}, 0x005C, 0x54FF},
    };
    for (const WorkedValue &value : cases) {
        Fold(value.bytes);
        EXPECT_EQ(AddSum, value.addSum) << value.bytes.size() << " bytes";
        EXPECT_EQ(RotSum, value.rotSum) << value.bytes.size() << " bytes";
    }
}

TEST(Checksums, RotateCarriesBitFifteenIntoBitZeroOverLongBlocks) {
    std::mt19937 random(7);
    Bytes bytes(5000);
    for (std::uint8_t &byte : bytes) {
        byte = std::uint8_t(random());
    }
    std::uint16_t addSum = 0;
    std::uint16_t rotSum = 0;
    Reference::Checksums(bytes, addSum, rotSum);
    Fold(bytes);
    EXPECT_EQ(AddSum, addSum);
    EXPECT_EQ(RotSum, rotSum);

    ResetChecksums();
    EXPECT_EQ(AddSum, 0);
    EXPECT_EQ(RotSum, 0);
}

class FrameOperations : public testing::Test {
protected:
    void SetUp() override {
        Fake::Reset();
        ASSERT_EQ(OpenPort(Port, 38400), 1);
        Fake::Calls.clear();
    }
    void TearDown() override {
        ClosePort(Port);
    }
};

TEST_F(FrameOperations, HeaderSectionOfAnAllZeroHeader) {
    const std::uint8_t start[1] = {'S'};
    const std::uint8_t header[8] = {};
    ResetChecksums();
    EXPECT_EQ(SendBlock(Port, 1, start), 1);
    EXPECT_EQ(SendBlock(Port, 8, header), 1);
    EXPECT_EQ(SendChecksums(Port), 1);
    const Bytes expected = {0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0x5C, 0x00, 0xFF, 0x54};
    EXPECT_EQ(Fake::Wire, expected);
    // Each element reaches the driver in a write of its own.
    EXPECT_EQ(Fake::Pieces, (std::vector<std::uint32_t>{1, 8, 2, 2}));
}

TEST_F(FrameOperations, SendChecksumsTwiceSendsTheSameFourBytesTwice) {
    const std::uint8_t abc[3] = {'a', 'b', 'c'};
    ResetChecksums();
    SendBlock(Port, 3, abc);
    SendChecksums(Port);
    SendChecksums(Port);
    const Bytes expected = {'a', 'b', 'c', 0x29, 0x01, 0xB2, 0x02, 0x29, 0x01, 0xB2, 0x02};
    EXPECT_EQ(Fake::Wire, expected);
}

TEST_F(FrameOperations, EmptyBlockFoldsNothingAndStillMakesOneZeroByteWrite) {
    ResetChecksums();
    EXPECT_EQ(SendBlock(Port, 0, nullptr), 1);
    EXPECT_EQ(Fake::Pieces, (std::vector<std::uint32_t>{0}));
    EXPECT_EQ(AddSum, 0);
    EXPECT_EQ(RotSum, 0);
}

TEST_F(FrameOperations, FailedWritesAreReportedAndStopTheChecksumPair) {
    const std::uint8_t abc[3] = {'a', 'b', 'c'};
    Fake::WritesBeforeFailure = 0;
    EXPECT_EQ(SendBlock(Port, 3, abc), 0);
    EXPECT_EQ(SendChecksums(Port), 0);
    // After AddSum's write fails, RotSum is not attempted.
    EXPECT_EQ(Fake::CallCount("WriteFile"), 2);
}

TEST(FrameOnClosedPort, BlocksAreDroppedWithoutAnyWrite) {
    Fake::Reset();
    const std::uint8_t abc[3] = {'a', 'b', 'c'};
    ResetChecksums();
    EXPECT_EQ(SendBlock(9, 3, abc), 0);
    EXPECT_EQ(SendChecksums(9), 0);
    EXPECT_TRUE(Fake::Calls.empty());
}

} // namespace
