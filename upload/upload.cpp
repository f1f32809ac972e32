#include "upload/upload.h"

#include "platform/files.h"
#include "serial/port.h"
#include "upload/frame.h"
#include "upload/progress.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const char UsageMessage[] = "Parameter error: Vintrel filename comport";
const char OpenErrorMessage[] = "Error opening filename: Vintrel filename comport";
const char HeaderErrorMessage[] = "Error reading program header";
const char TooLargeMessage[] = "Program too large";
const char ImageErrorMessage[] = "Error reading program image";
const char PortErrorMessage[] = "Invalid Com port";
const char SendingMessage[] = "Sending program...Please wait some seconds";
const char SendErrorMessage[] = "Error sending program";
const char SentMessage[] = "Program Sended";

const int DefaultPortNumber = 1;
const std::uint32_t UploadBaudRate = 38400;
const std::size_t FileNameSize = 512;
const int HeaderSize = 8;
const std::uint32_t ImageBufferSize = 131072;
const std::uint8_t StartByte[1] = {'S'};
// The start byte and the two pairs of check values, besides header and image.
const std::uint32_t FrameOverhead = 9;

std::uint8_t ProgramHeader[HeaderSize];
std::uint32_t ImageLength;
std::uint8_t ImageBuffer[ImageBufferSize];

// Prints the message at once, without a line break, so that it stands on the
// console while the frame is sent. Returns its length, the exit status.
int Report(const char *message) {
    std::fputs(message, stdout);
    std::fflush(stdout);
    return int(std::strlen(message));
}

// Opens base name + extension for binary reading; null when the name does not
// fit the name buffer or the file cannot be opened.
std::FILE *OpenProgramFile(const char *baseName, const char *extension) {
    char fileName[FileNameSize];
    const std::size_t baseLength = std::strlen(baseName);
    const std::size_t extensionLength = std::strlen(extension);
    if (baseLength + extensionLength + 1 > sizeof fileName) {
        return nullptr;
    }
    std::memcpy(fileName, baseName, baseLength);
    std::memcpy(fileName + baseLength, extension, extensionLength + 1);
    return OpenForReading(fileName);
}

void CloseProgramFile(std::FILE *file) {
    if (file != nullptr) {
        std::fclose(file);
    }
}

std::uint32_t ReadLittleEndian32(const std::uint8_t *bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

// Reads the header and the image into memory before the port is opened, so
// that the device receives only bytes the files supplied. Opens the image
// file into *imageFile. Returns the refusal message, or null.
const char *ReadProgram(const char *baseName, std::FILE *headerFile, std::FILE **imageFile) {
    if (std::fread(ProgramHeader, 1, HeaderSize, headerFile) != HeaderSize) {
        return HeaderErrorMessage;
    }
    ImageLength = ReadLittleEndian32(ProgramHeader + 4);
    if (ImageLength > ImageBufferSize) {
        return TooLargeMessage;
    }
    *imageFile = OpenProgramFile(baseName, ".bin");
    if (ImageLength == 0) {
        return nullptr;
    }
    if (*imageFile == nullptr || std::fread(ImageBuffer, 1, ImageLength, *imageFile) != ImageLength) {
        return ImageErrorMessage;
    }
    return nullptr;
}

// The start byte and the header, each section followed by its check values.
int SendHeaderSection(int portNumber) {
    ResetChecksums();
    return SendBlock(portNumber, 1, StartByte) && SendBlock(portNumber, HeaderSize, ProgramHeader) &&
           SendChecksums(portNumber);
}

int SendImageSection(int portNumber) {
    ResetChecksums();
    return SendBlock(portNumber, int(ImageLength), ImageBuffer) && SendChecksums(portNumber);
}

} // namespace

int ParsePortArgument(const char *text) {
    while (*text != '\0' && std::strchr(" \t\n\v\f\r", *text) != nullptr) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + std::uint32_t(*text - '0');
    }
    if (negative) {
        value = 0u - value;
    }
    return value <= std::uint32_t(INT_MAX) ? int(value) : -int(~value) - 1;
}

int RunUpload(int argc, char **argv) {
    if (argc < 2) {
        return Report(UsageMessage);
    }
    const int portNumber = argc == 3 ? ParsePortArgument(argv[2]) : DefaultPortNumber;
    std::FILE *headerFile = OpenProgramFile(argv[1], ".hea");
    if (headerFile == nullptr) {
        return Report(OpenErrorMessage);
    }
    std::FILE *imageFile = nullptr;
    const char *refusal = ReadProgram(argv[1], headerFile, &imageFile);
    if (refusal == nullptr && OpenPort(portNumber, UploadBaudRate) != 1) {
        refusal = PortErrorMessage;
    }
    if (refusal != nullptr) {
        CloseProgramFile(headerFile);
        CloseProgramFile(imageFile);
        return Report(refusal);
    }
    Report(SendingMessage);
    StartProgress(FrameOverhead + HeaderSize + ImageLength);
    int sent = SendHeaderSection(portNumber);
    std::fclose(headerFile);
    sent = sent && SendImageSection(portNumber);
    CloseProgramFile(imageFile);
    const int closed = ClosePort(portNumber);
    EndProgress();
    return Report(sent && closed ? SentMessage : SendErrorMessage);
}
