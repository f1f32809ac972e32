// The upload frame computed independently of the product's code, for tests
// to compare against: "S", the header, its check values, the image, its
// check values, each check value low byte first.
#ifndef VINTREL_TESTS_REFERENCE_FRAME_H
#define VINTREL_TESTS_REFERENCE_FRAME_H

#include <cstdint>
#include <vector>

namespace Reference {

typedef std::vector<std::uint8_t> Bytes;

// Both check values in 32-bit arithmetic, masked at the end of each step.
inline void Checksums(const Bytes &bytes, std::uint16_t &addSum, std::uint16_t &rotSum) {
    std::uint32_t add = 0;
    std::uint32_t rot = 0;
    for (std::uint8_t byte : bytes) {
        const std::uint32_t value = (byte + 1u) % 256u;
        add = (add + value) % 65536u;
        rot = ((rot * 2u) % 65536u + rot / 32768u + value) % 65536u;
    }
    addSum = std::uint16_t(add);
    rotSum = std::uint16_t(rot);
}

inline void AppendSection(Bytes &frame, const Bytes &section) {
    std::uint16_t addSum = 0;
    std::uint16_t rotSum = 0;
    Checksums(section, addSum, rotSum);
    frame.insert(frame.end(), section.begin(), section.end());
    const std::uint8_t sums[4] = {std::uint8_t(addSum), std::uint8_t(addSum >> 8),
                                  std::uint8_t(rotSum), std::uint8_t(rotSum >> 8)};
    frame.insert(frame.end(), sums, sums + 4);
}

inline Bytes Frame(const Bytes &header, const Bytes &image) {
    Bytes headerSection = {'S'};
    headerSection.insert(headerSection.end(), header.begin(), header.end());
    Bytes frame;
    AppendSection(frame, headerSection);
    AppendSection(frame, image);
    return frame;
}

// An 8-byte program header: a tag, then the image length low byte first.
inline Bytes Header(std::uint32_t imageLength, std::uint32_t tag = 0) {
    Bytes header;
    for (std::uint32_t value : {tag, imageLength}) {
        for (int shift = 0; shift < 32; shift += 8) {
            header.push_back(std::uint8_t(value >> shift));
        }
    }
    return header;
}

} // namespace Reference

#endif
