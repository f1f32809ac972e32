#include "receive/frame_check.h"

#include "upload/frame.h"

#include <cstdio>

namespace {

const std::uint8_t StartByte = 'S';
// The start byte and the header, the part the first pair of check values covers.
const std::size_t HeaderBytes = 1 + ProgramHeaderSize;
const std::size_t ImageLengthOffset = 1 + 4;
const std::size_t CheckValuesSize = 4;

std::uint16_t ReadLittleEndian16(const std::uint8_t *bytes) {
    return std::uint16_t(bytes[0] | bytes[1] << 8);
}

std::uint32_t ReadLittleEndian32(const std::uint8_t *bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

// Folds the section with the uploader's own check-value code and reads the
// pair sent right after it.
SectionCheck CheckSection(const std::uint8_t *section, std::size_t length) {
    ResetChecksums();
    for (std::size_t i = 0; i < length; ++i) {
        UpdateChecksums(section[i]);
    }
    return SectionCheck{ReadLittleEndian16(section + length),
                        ReadLittleEndian16(section + length + 2), AddSum, RotSum};
}

int SectionMatches(const SectionCheck &section) {
    return section.sentAddSum == section.addSum && section.sentRotSum == section.rotSum;
}

std::string DescribeSection(const char *name, const SectionCheck &section) {
    char text[128];
    if (SectionMatches(section)) {
        std::snprintf(text, sizeof text, "%s AddSum %04X RotSum %04X OK", name, section.sentAddSum,
                      section.sentRotSum);
    } else {
        std::snprintf(text, sizeof text,
                      "%s AddSum %04X RotSum %04X WRONG (its bytes give AddSum %04X RotSum %04X)",
                      name, section.sentAddSum, section.sentRotSum, section.addSum, section.rotSum);
    }
    return text;
}

} // namespace

std::size_t FrameSizeSoFar(const std::uint8_t *bytes, std::size_t count, std::string &reason) {
    char text[128];
    if (count == 0) {
        return 1;
    }
    if (bytes[0] != StartByte) {
        std::snprintf(text, sizeof text,
                      "Not an upload frame: the first byte is 0x%02X, not 0x53 (S)", bytes[0]);
        reason = text;
        return 0;
    }
    if (count < HeaderSectionSize) {
        return HeaderSectionSize;
    }
    const std::uint32_t imageLength = ReadLittleEndian32(bytes + ImageLengthOffset);
    if (imageLength > MaxImageLength) {
        std::snprintf(text, sizeof text, "Not an upload frame: ImageLength %lu is above %lu",
                      static_cast<unsigned long>(imageLength),
                      static_cast<unsigned long>(MaxImageLength));
        reason = text;
        return 0;
    }
    return HeaderSectionSize + imageLength + CheckValuesSize;
}

FrameVerdict CheckFrame(const std::uint8_t *frame, std::size_t trailingBytes) {
    FrameVerdict verdict;
    verdict.imageLength = ReadLittleEndian32(frame + ImageLengthOffset);
    verdict.header = CheckSection(frame, HeaderBytes);
    verdict.image = CheckSection(frame + HeaderSectionSize, verdict.imageLength);
    verdict.trailingBytes = trailingBytes;
    return verdict;
}

int FrameValid(const FrameVerdict &verdict) {
    return SectionMatches(verdict.header) && SectionMatches(verdict.image) &&
           verdict.trailingBytes == 0;
}

std::string DescribeVerdict(const FrameVerdict &verdict) {
    std::string text = "Received " + std::to_string(verdict.imageLength) +
                       " image bytes: " + DescribeSection("header", verdict.header) + ", " +
                       DescribeSection("image", verdict.image);
    if (verdict.trailingBytes > 0) {
        text += ", then " + std::to_string(verdict.trailingBytes) + " more bytes after the frame";
    }
    return text;
}

std::string DescribeCutShort(const std::uint8_t *bytes, std::size_t count) {
    std::string reason;
    const std::size_t expected = FrameSizeSoFar(bytes, count, reason);
    const char *atLeast = count < HeaderSectionSize ? "at least " : "";
    return "Frame cut short: " + std::to_string(count) + " of " + atLeast +
           std::to_string(expected) + " bytes arrived";
}
