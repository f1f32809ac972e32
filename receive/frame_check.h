// Checking an upload frame as it arrives: how long it will be, whether its
// first bytes can start a frame at all, and whether each section matches the
// check values sent after it.
#ifndef VINTREL_RECEIVE_FRAME_CHECK_H
#define VINTREL_RECEIVE_FRAME_CHECK_H

#include <cstddef>
#include <cstdint>
#include <string>

// The start byte, the 8-byte program header and their two check values.
const std::size_t HeaderSectionSize = 13;
const std::size_t ProgramHeaderSize = 8;
// The uploader refuses larger images, so a larger length is no frame of its.
const std::uint32_t MaxImageLength = 131072;
const std::size_t MaxFrameSize = HeaderSectionSize + MaxImageLength + 4;

// Both check values of one section: those sent on the line after it and those
// its received bytes give.
struct SectionCheck {
    std::uint16_t sentAddSum;
    std::uint16_t sentRotSum;
    std::uint16_t addSum;
    std::uint16_t rotSum;
};

struct FrameVerdict {
    std::uint32_t imageLength;
    SectionCheck header;
    SectionCheck image;
    std::size_t trailingBytes;
};

// The number of bytes the whole frame takes, as far as the first `count`
// bytes tell: 1 before any byte, 13 until the header section is complete,
// then 17 + ImageLength. Returns 0, with the reason, when the bytes cannot
// begin an upload frame.
std::size_t FrameSizeSoFar(const std::uint8_t *bytes, std::size_t count, std::string &reason);

// Checks a complete frame, one that FrameSizeSoFar accepted in full, after
// which `trailingBytes` more bytes arrived.
FrameVerdict CheckFrame(const std::uint8_t *frame, std::size_t trailingBytes);

// 1 when both sections match their check values and nothing followed.
int FrameValid(const FrameVerdict &verdict);

// The one-line verdict, e.g. "Received 3 image bytes: header AddSum 005F
// RotSum 5517 OK, image AddSum 0129 RotSum 02B2 OK".
std::string DescribeVerdict(const FrameVerdict &verdict);

// Says how much of the frame arrived before the line went quiet or closed.
std::string DescribeCutShort(const std::uint8_t *bytes, std::size_t count);

#endif
