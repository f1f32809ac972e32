// The port argument against a model built from the reading rules alone: the
// six white-space characters skipped, one optional sign, decimal digits up to
// the first other character wrapping modulo 2^32, the result taken as a
// signed 32-bit number. No C library conversion takes part.
#include "fuzz/fuzz_support.h"
#include "upload/upload.h"

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

const std::uint64_t Modulus = std::uint64_t(1) << 32;

bool IsSkippedSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::int32_t ModelPortArgument(const char *text) {
    std::size_t i = 0;
    while (IsSkippedSpace(text[i])) {
        ++i;
    }
    const bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+') {
        ++i;
    }
    std::uint64_t value = 0;
    for (; text[i] >= '0' && text[i] <= '9'; ++i) {
        value = (value * 10 + std::uint64_t(text[i] - '0')) % Modulus;
    }
    if (negative) {
        value = (Modulus - value) % Modulus;
    }
    const std::uint32_t bits = std::uint32_t(value);
    std::int32_t result = 0;
    std::memcpy(&result, &bits, sizeof result);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // An exact-size copy with its terminator, so that AddressSanitizer sees
    // any read past the end; an embedded NUL ends the argument, as it would
    // on a command line.
    std::vector<char> text(size + 1, '\0');
    std::memcpy(text.data(), data, size);
    const int parsed = ParsePortArgument(text.data());
    const std::int32_t expected = ModelPortArgument(text.data());
    if (parsed != expected) {
        std::fprintf(stderr, "port argument \"%s\" read as %d, expected %d\n", text.data(), parsed,
                     int(expected));
    }
    Require(parsed == expected, "the port argument reads as the model reads it");
    return 0;
}
