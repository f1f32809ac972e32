#include "platform/files.h"

std::FILE *OpenForReading(const char *fileName) {
    return std::fopen(fileName, "rb");
}
