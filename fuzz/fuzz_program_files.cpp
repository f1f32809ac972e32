// The upload driver from program files to the bytes handed to the serial
// driver, behind the fake platform. The input decides the command line, the
// header and image files and the faults of the serial driver; the target
// predicts the outcome from the rules of the tool, then checks the message,
// the exit status, the release of the port and the files and, byte for byte,
// the frame against an independent computation of the check values.
//
// Input layout (missing bytes read as 0):
//   0      flags: the bits named below
//   1      bits 0-4: header file size (modulo 17); bits 5-6: command line form
//   2      signed difference between ImageLength and the image file's size,
//          used when FitImageLength is set
//   3-5    image file size, low byte first, modulo MaxImageFileSize + 1
//   6      WriteFile calls that succeed before it fails (FailWrites)
//   7      most bytes the serial driver takes per write (LimitTaken)
//   8      drain rate in KiB/s, 0 never drains (SlowDrain)
//   9      base name length beyond LongNameBase (LongName)
//   10     queue counts reported first (SlowDrain): bits 0-2 how many
//   then   two bytes, low first, per reported queue count
//   then   the header file's bytes
//   then   a pattern that the image file's bytes repeat
#include "fuzz/fuzz_support.h"
#include "tests/fake/fake_platform.h"
#include "tests/support/reference_frame.h"
#include "upload/upload.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Reference::Bytes;

const std::uint8_t HeaderMissing = 0x01;
const std::uint8_t ImageMissing = 0x02;
const std::uint8_t PortFails = 0x04;
const std::uint8_t FitImageLength = 0x08;
const std::uint8_t LongName = 0x10;
const std::uint8_t FailWrites = 0x20;
const std::uint8_t LimitTaken = 0x40;
const std::uint8_t SlowDrain = 0x80;

const std::uint32_t ImageBufferSize = 131072;
// Image files a little longer than the buffer; the cap keeps runs quick.
const std::uint32_t MaxImageFileSize = ImageBufferSize + 4096;
const std::size_t HeaderSize = 8;
const std::size_t LongNameBase = 500;
const std::size_t LongestBaseName = 507;
const std::uint32_t QueueSize = 2048;

const char Usage[] = "Parameter error: Vintrel filename comport";
const char OpenError[] = "Error opening filename: Vintrel filename comport";
const char HeaderError[] = "Error reading program header";
const char TooLarge[] = "Program too large";
const char ImageError[] = "Error reading program image";
const char PortError[] = "Invalid Com port";
const char Sending[] = "Sending program...Please wait some seconds";
const char SendError[] = "Error sending program";
const char Sent[] = "Program Sended";

// The command line forms: the usual one, none, the default port, and the
// default port again because a third argument makes the second one ignored.
enum CommandLine { BaseAndPort2, NoArgument, BaseOnly, ThreeArguments };

struct Case {
    std::uint8_t flags;
    CommandLine commandLine;
    std::string baseName;
    Bytes header;
    Bytes image;
    int writesBeforeFailure;
    std::uint32_t maxBytesTaken;
    std::uint32_t drainBytesPerSecond;
    std::deque<std::uint32_t> queueReports;
};

struct Reader {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t next;
};

std::uint8_t TakeByte(Reader &reader) {
    return reader.next < reader.size ? reader.data[reader.next++] : 0;
}

Bytes TakeBytes(Reader &reader, std::size_t count) {
    const std::size_t taken = std::min(count, reader.size - reader.next);
    Bytes bytes(reader.data + reader.next, reader.data + reader.next + taken);
    reader.next += taken;
    return bytes;
}

// Past the pattern's first pass every byte is shifted by the pass number, so
// a long image is no mere repetition of a short one.
Bytes RepeatPattern(const Bytes &pattern, std::uint32_t size) {
    Bytes image(size, 0);
    for (std::uint32_t i = 0; i < size && !pattern.empty(); ++i) {
        image[i] = std::uint8_t(pattern[i % pattern.size()] + i / pattern.size());
    }
    return image;
}

void SetImageLength(Bytes &header, std::uint32_t imageLength) {
    for (int i = 0; i < 4; ++i) {
        header[4 + i] = std::uint8_t(imageLength >> (8 * i));
    }
}

// The base name in the scratch folder; a long one pads the path with extra
// slashes, which name the same file, to a length around the name buffer's
// limit.
std::string BaseName(std::uint8_t flags, std::uint8_t lengthByte) {
    const std::string &folder = ScratchFolder();
    const std::string file = "prog";
    std::size_t slashes = 1;
    const std::size_t wanted = LongNameBase + lengthByte % 16;
    if ((flags & LongName) != 0 && wanted > folder.size() + file.size() + 1) {
        slashes = wanted - folder.size() - file.size();
    }
    return folder + std::string(slashes, '/') + file;
}

Case DecodeCase(const std::uint8_t *data, std::size_t size) {
    Reader reader = {data, size, 0};
    Case c;
    c.flags = TakeByte(reader);
    const std::uint8_t shape = TakeByte(reader);
    c.commandLine = CommandLine((shape >> 5) & 3);
    const std::size_t headerSize = (shape & 0x1F) % 17;
    const int lengthDifference = std::int8_t(TakeByte(reader));
    std::uint32_t imageSize = TakeByte(reader);
    imageSize |= std::uint32_t(TakeByte(reader)) << 8;
    imageSize |= std::uint32_t(TakeByte(reader)) << 16;
    imageSize %= MaxImageFileSize + 1;
    const std::uint8_t writes = TakeByte(reader);
    c.writesBeforeFailure = (c.flags & FailWrites) != 0 ? writes : -1;
    const std::uint8_t taken = TakeByte(reader);
    c.maxBytesTaken = (c.flags & LimitTaken) != 0 ? taken : UINT32_MAX;
    c.drainBytesPerSecond = std::uint32_t(TakeByte(reader)) * 1024;
    c.baseName = BaseName(c.flags, TakeByte(reader));
    const int reports = TakeByte(reader) & 7;
    for (int i = 0; i < reports && (c.flags & SlowDrain) != 0; ++i) {
        const std::uint32_t low = TakeByte(reader);
        c.queueReports.push_back(low | std::uint32_t(TakeByte(reader)) << 8);
    }
    c.header = TakeBytes(reader, headerSize);
    c.image = RepeatPattern(TakeBytes(reader, reader.size - reader.next), imageSize);
    if ((c.flags & FitImageLength) != 0 && c.header.size() >= HeaderSize) {
        SetImageLength(c.header, std::uint32_t(std::max(0, int(imageSize) + lengthDifference)));
    }
    return c;
}

std::uint32_t ImageLengthOf(const Bytes &header) {
    std::uint32_t length = 0;
    for (int i = 3; i >= 0; --i) {
        length = length << 8 | header[4 + i];
    }
    return length;
}

void WriteOrRemove(const std::string &path, const Bytes &bytes, bool missing) {
    std::remove(path.c_str());
    if (missing) {
        return;
    }
    std::FILE *file = std::fopen(path.c_str(), "wb");
    Require(file != nullptr, "a program file can be written");
    Require(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size(), "program file written");
    Require(std::fclose(file) == 0, "program file closed");
}

// The files live in the scratch folder under the plain name, whatever path
// the base name takes to them.
void WriteProgramFiles(const Case &c) {
    const std::string base = ScratchFolder() + "/prog";
    WriteOrRemove(base + ".hea", c.header, (c.flags & HeaderMissing) != 0);
    WriteOrRemove(base + ".bin", c.image, (c.flags & ImageMissing) != 0);
}

void SetUpFake(const Case &c) {
    Fake::Reset();
    Fake::CreateFails = (c.flags & PortFails) != 0;
    Fake::WritesBeforeFailure = c.writesBeforeFailure;
    Fake::MaxBytesTaken = c.maxBytesTaken;
    if ((c.flags & SlowDrain) != 0) {
        Fake::InstantDrain = false;
        Fake::DrainBytesPerSecond = c.drainBytesPerSecond;
        Fake::QueueReports = c.queueReports;
    }
}

// A serial driver that takes every byte at once: nothing may go wrong then.
bool DriverIsFaultless(const Case &c) {
    return (c.flags & (FailWrites | SlowDrain)) == 0 && c.maxBytesTaken > 0;
}

// The refusal the tool owes this case, in the order of its checks; null when
// it goes on to send.
const char *ExpectedRefusal(const Case &c) {
    if (c.commandLine == NoArgument) {
        return Usage;
    }
    if (c.baseName.size() > LongestBaseName || (c.flags & HeaderMissing) != 0) {
        return OpenError;
    }
    if (c.header.size() < HeaderSize) {
        return HeaderError;
    }
    const std::uint32_t imageLength = ImageLengthOf(c.header);
    if (imageLength > ImageBufferSize) {
        return TooLarge;
    }
    const bool imageShort = (c.flags & ImageMissing) != 0 || c.image.size() < imageLength;
    if (imageLength > 0 && imageShort) {
        return ImageError;
    }
    if ((c.flags & PortFails) != 0) {
        return PortError;
    }
    return nullptr;
}

// Standard output goes to a file of the scratch folder, emptied before each
// run, so that the messages can be read back.
void RedirectOutput() {
    static bool redirected = false;
    if (!redirected) {
        const std::string path = ScratchFolder() + "/stdout";
        Require(std::freopen(path.c_str(), "w+", stdout) != nullptr, "standard output redirected");
        redirected = true;
    }
    std::fflush(stdout);
    Require(ftruncate(fileno(stdout), 0) == 0, "standard output emptied");
    std::rewind(stdout);
}

std::string CapturedOutput() {
    std::fflush(stdout);
    std::string text;
    char buffer[256];
    ssize_t count = 0;
    for (off_t offset = 0; (count = pread(fileno(stdout), buffer, sizeof buffer, offset)) > 0;
         offset += count) {
        text.append(buffer, std::size_t(count));
    }
    return text;
}

int RunCommandLine(const Case &c) {
    char program[] = "Vintrel";
    std::string base = c.baseName;
    char port[] = "2";
    char extra[] = "7";
    char *argv[] = {program, &base[0], port, extra, nullptr};
    const int argc[] = {3, 1, 2, 4};
    return RunUpload(argc[c.commandLine], argv);
}

// Every descriptor the process holds, the listing's own included.
std::size_t OpenDescriptors() {
    const std::filesystem::directory_iterator listing("/proc/self/fd");
    return std::size_t(std::distance(begin(listing), end(listing)));
}

bool IsPrefix(const Bytes &prefix, const Bytes &whole) {
    return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

void CheckRefusal(const char *refusal, const std::string &output, int status) {
    Require(output == refusal, "the refusal is the only message");
    Require(status == int(std::strlen(refusal)), "the exit status is the refusal's length");
    Require(Fake::Wire.empty(), "a refused upload sends nothing");
    Require(Fake::OpenHandles == 0, "a refused upload holds no port");
    const int opens = Fake::CallCount("CreateFileA");
    Require(refusal == PortError ? opens == 1 : opens == 0,
            "only a port refusal has tried to open the port");
}

void CheckUpload(const Case &c, const std::string &output, int status) {
    const std::string sent = std::string(Sending) + Sent;
    const std::string failed = std::string(Sending) + SendError;
    Require(output == sent || output == failed, "the sending message, then the outcome");
    Require(status == int(output.size() - std::strlen(Sending)),
            "the exit status is the outcome's length");
    Require(Fake::OpenedNames.size() == 1 &&
                Fake::OpenedNames[0] == (c.commandLine == BaseAndPort2 ? "COM2" : "COM1"),
            "the port named on the command line, else COM1, is opened once");
    Require(Fake::OpenHandles == 0, "the port is released after the upload");
    const Bytes header(c.header.begin(), c.header.begin() + HeaderSize);
    const Bytes image(c.image.begin(), c.image.begin() + ImageLengthOf(c.header));
    const Bytes frame = Reference::Frame(header, image);
    if (output == sent) {
        Require(Fake::Wire == frame, "a sent program is the exact frame");
    } else {
        Require(!DriverIsFaultless(c), "a faultless serial driver takes the whole frame");
        Require(IsPrefix(Fake::Wire, frame), "a failed upload sends only the start of the frame");
    }
    if ((c.flags & SlowDrain) != 0 && c.queueReports.empty()) {
        Require(Fake::LargestQueue <= QueueSize, "pacing never overfills the output queue");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const Case c = DecodeCase(data, size);
    WriteProgramFiles(c);
    SetUpFake(c);
    RedirectOutput();
    const std::size_t descriptors = OpenDescriptors();
    const int status = RunCommandLine(c);
    const std::string output = CapturedOutput();
    Require(OpenDescriptors() == descriptors, "the run closes every file it opened");
    const char *refusal = ExpectedRefusal(c);
    if (refusal != nullptr) {
        CheckRefusal(refusal, output, status);
    } else {
        CheckUpload(c, output, status);
    }
    return 0;
}
