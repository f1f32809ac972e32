// How the receiving end sizes, checks and describes an upload frame.
#include "receive/frame_check.h"
#include "tests/support/reference_frame.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

typedef std::vector<std::uint8_t> Bytes;

Bytes FirstBytes(const Bytes &bytes, std::size_t count) {
    return Bytes(bytes.begin(), bytes.begin() + long(count));
}

struct SizeCase {
    const char *name;
    Bytes bytes;
    std::size_t size;
    const char *reason;
};

TEST(FrameSizeSoFar, GrowsWithTheHeaderAndRefusesWhatCannotBeAFrame) {
    const Bytes tenByteFrame = Reference::Frame(Reference::Header(10), Bytes(10, 0x41));
    const SizeCase cases[] = {
        {"nothing yet", {}, 1, ""},
        {"start byte alone", {'S'}, 13, ""},
        {"header section one byte short", FirstBytes(tenByteFrame, 12), 13, ""},
        {"header section complete", FirstBytes(tenByteFrame, 13), 27, ""},
        {"whole frame", tenByteFrame, 27, ""},
        {"empty image", FirstBytes(Reference::Frame(Reference::Header(0), {}), 13), 17, ""},
        {"largest image", FirstBytes(Reference::Frame(Reference::Header(131072), {}), 13), 131089,
         ""},
        {"image one byte too large",
         FirstBytes(Reference::Frame(Reference::Header(131073), {}), 13), 0,
         "Not an upload frame: ImageLength 131073 is above 131072"},
        {"length with the top bit set",
         FirstBytes(Reference::Frame(Reference::Header(0x80000000u), {}), 13), 0,
         "Not an upload frame: ImageLength 2147483648 is above 131072"},
        {"lower-case start byte", {'s'}, 0,
         "Not an upload frame: the first byte is 0x73, not 0x53 (S)"},
        {"line noise", {0x00, 'S'}, 0, "Not an upload frame: the first byte is 0x00, not 0x53 (S)"},
    };
    for (const SizeCase &sizeCase : cases) {
        std::string reason;
        EXPECT_EQ(FrameSizeSoFar(sizeCase.bytes.data(), sizeCase.bytes.size(), reason),
                  sizeCase.size)
            << sizeCase.name;
        EXPECT_EQ(reason, sizeCase.reason) << sizeCase.name;
    }
}

struct VerdictCase {
    const char *name;
    Bytes frame;
    std::size_t trailingBytes;
    std::string verdict;
    int valid;
};

Bytes Changed(Bytes frame, std::size_t at, std::uint8_t value) {
    frame[at] = value;
    return frame;
}

TEST(CheckFrame, NamesTheSectionWhoseCheckValuesDisagree) {
    // The all-zero header with its worked check values, then an empty image.
    const Bytes zeroFrame = {0x53, 0, 0, 0, 0, 0, 0, 0, 0, 0x5C, 0x00, 0xFF, 0x54, 0, 0, 0, 0};
    const Bytes abcFrame = Reference::Frame(Reference::Header(3), {'a', 'b', 'c'});
    const std::string abcValid = "Received 3 image bytes: header AddSum 005F RotSum 5517 OK, "
                                 "image AddSum 0129 RotSum 02B2 OK";
    const VerdictCase cases[] = {
        {"all-zero header", zeroFrame, 0,
         "Received 0 image bytes: header AddSum 005C RotSum 54FF OK, "
         "image AddSum 0000 RotSum 0000 OK",
         1},
        {"three-letter image", abcFrame, 0, abcValid, 1},
        {"image of 0xFF bytes", Reference::Frame(Reference::Header(4), Bytes(4, 0xFF)), 0,
         "Received 4 image bytes: header AddSum 0060 RotSum 551F OK, "
         "image AddSum 0000 RotSum 0000 OK",
         1},
        {"header tag changed on the way", Changed(abcFrame, 1, 0x01), 0,
         "Received 3 image bytes: header AddSum 005F RotSum 5517 WRONG (its bytes give AddSum 0060 "
         "RotSum 5597), image AddSum 0129 RotSum 02B2 OK",
         0},
        {"header AddSum changed", Changed(abcFrame, 9, 0x60), 0,
         "Received 3 image bytes: header AddSum 0060 RotSum 5517 WRONG (its bytes give AddSum 005F "
         "RotSum 5517), image AddSum 0129 RotSum 02B2 OK",
         0},
        {"image byte changed", Changed(abcFrame, 13, 0x60), 0,
         "Received 3 image bytes: header AddSum 005F RotSum 5517 OK, image AddSum 0129 RotSum 02B2 "
         "WRONG (its bytes give AddSum 0128 RotSum 02AE)",
         0},
        // Two bytes swapped keep the sum; only the rotating value sees it.
        {"image bytes swapped", Changed(Changed(abcFrame, 14, 'c'), 15, 'b'), 0,
         "Received 3 image bytes: header AddSum 005F RotSum 5517 OK, image AddSum 0129 RotSum 02B2 "
         "WRONG (its bytes give AddSum 0129 RotSum 02B3)",
         0},
        {"image RotSum high byte changed", Changed(abcFrame, 19, 0x03), 0,
         "Received 3 image bytes: header AddSum 005F RotSum 5517 OK, image AddSum 0129 RotSum 03B2 "
         "WRONG (its bytes give AddSum 0129 RotSum 02B2)",
         0},
        {"bytes after the frame", abcFrame, 2, abcValid + ", then 2 more bytes after the frame", 0},
    };
    for (const VerdictCase &verdictCase : cases) {
        const FrameVerdict verdict =
            CheckFrame(verdictCase.frame.data(), verdictCase.trailingBytes);
        EXPECT_EQ(DescribeVerdict(verdict), verdictCase.verdict) << verdictCase.name;
        EXPECT_EQ(FrameValid(verdict), verdictCase.valid) << verdictCase.name;
    }
}

TEST(DescribeCutShort, CountsAgainstWhatTheHeaderPromised) {
    const Bytes frame = Reference::Frame(Reference::Header(10), Bytes(10, 0x41));
    EXPECT_EQ(DescribeCutShort(frame.data(), 5), "Frame cut short: 5 of at least 13 bytes arrived");
    EXPECT_EQ(DescribeCutShort(frame.data(), 13), "Frame cut short: 13 of 27 bytes arrived");
    EXPECT_EQ(DescribeCutShort(frame.data(), 26), "Frame cut short: 26 of 27 bytes arrived");
}

} // namespace
