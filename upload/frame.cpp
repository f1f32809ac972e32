#include "upload/frame.h"

#include "serial/port.h"

std::uint16_t AddSum = 0;
std::uint16_t RotSum = 0;

namespace {

int SendWord(int portNumber, std::uint16_t value) {
    const std::uint8_t bytes[2] = {std::uint8_t(value & 0xFF), std::uint8_t(value >> 8)};
    return WritePort(portNumber, 2, bytes);
}

} // namespace

void ResetChecksums() {
    AddSum = 0;
    RotSum = 0;
}

void UpdateChecksums(std::uint8_t byte) {
    // Each byte counts one more than its value, so 0xFF folds as 0.
    const std::uint8_t folded = std::uint8_t(byte + 1);
    AddSum = std::uint16_t(AddSum + folded);
    const std::uint16_t rotated = std::uint16_t((RotSum << 1) | (RotSum >> 15));
    RotSum = std::uint16_t(rotated + folded);
}

int SendBlock(int portNumber, int length, const std::uint8_t *block) {
    for (int i = 0; i < length; ++i) {
        UpdateChecksums(block[i]);
    }
    return WritePort(portNumber, length, block);
}

int SendChecksums(int portNumber) {
    return SendWord(portNumber, AddSum) && SendWord(portNumber, RotSum);
}
