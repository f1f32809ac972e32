// The profile reader and writer on hostile profile files. The input is a
// value and the bytes of a profile; the target writes the value under the
// handshake key and checks that it reads back, that the change is one key
// line changed, or one key line inserted, or a section with the key appended
// (the old last line possibly given the line end it lacked), every other
// line kept byte for byte and in order, and that no temporary file is left.
//
// Input layout: byte 0, bits 0-5: the value's length; bit 6: no profile file
// nor its folder. Then the value's bytes, then the profile's bytes. Line breaks and
// NULs are dropped from the value and surrounding blanks trimmed, since a
// profile value is one line read without them.
#include "fuzz/fuzz_support.h"
#include "platform/posix/profile.h"
#include "platform/win32_api.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

const char Section[] = "TuvComDll";
const char Key[] = "HANDSHAKE";
const std::uint8_t ValueLengthMask = 0x3F;
const std::uint8_t NoProfile = 0x40;
// Room for any value the input can hold, and the port layer's own buffer.
const DWORD BigBufferSize = 256;
const DWORD HandshakeBufferSize = 10;

typedef std::vector<std::string> Lines;

std::string Folder() {
    return ScratchFolder() + "/vintrel";
}

std::string ProfileFile() {
    return Folder() + "/win.ini";
}

// The profile lives in the scratch folder; the first run says so.
void UseScratchProfile() {
    static bool done = false;
    if (!done) {
        Require(setenv("XDG_CONFIG_HOME", ScratchFolder().c_str(), 1) == 0, "profile home set");
        Require(ProfilePath() == ProfileFile(), "the profile is the scratch one");
        done = true;
    }
}

// Names and values are compared without surrounding spaces, tabs or stray
// carriage returns.
std::string TrimBlanks(const std::string &text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string NormalisedValue(const std::string &raw) {
    std::string value;
    for (char c : raw) {
        if (c != '\n' && c != '\r' && c != '\0') {
            value += c;
        }
    }
    return TrimBlanks(value);
}

void WriteFileBytes(const std::string &path, const std::string &bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    Require(bool(file), "the old profile is written");
}

std::string ReadFileBytes(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    Require(bool(file), "the new profile exists");
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

// Each line with its own '\n', the last one possibly without.
Lines SplitAfterNewlines(const std::string &text) {
    Lines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t newline = text.find('\n', start);
        const std::size_t end = newline == std::string::npos ? text.size() : newline + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string StripLineEnd(const std::string &line) {
    std::string content = line;
    if (!content.empty() && content.back() == '\n') {
        content.pop_back();
    }
    if (!content.empty() && content.back() == '\r') {
        content.pop_back();
    }
    return content;
}

bool SameNameIgnoringCase(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// "name=..." where the name is the handshake key.
bool IsHandshakeLine(const std::string &line) {
    const std::string content = StripLineEnd(line);
    const std::size_t equals = content.find('=');
    return equals != std::string::npos && SameNameIgnoringCase(TrimBlanks(content.substr(0, equals)), Key);
}

bool IsHandshakeLineWithValue(const std::string &line, const std::string &value) {
    const std::string content = StripLineEnd(line);
    return IsHandshakeLine(line) && TrimBlanks(content.substr(content.find('=') + 1)) == value;
}

bool IsSectionLine(const std::string &line) {
    const std::string content = TrimBlanks(StripLineEnd(line));
    return content.size() >= 2 && content.front() == '[' && content.back() == ']' &&
           SameNameIgnoringCase(TrimBlanks(content.substr(1, content.size() - 2)), Section);
}

// Whether the new lines are the old ones with one of the allowed changes,
// found as the stretch between the longest common head and tail.
bool IsAllowedChange(const Lines &before, const Lines &after, const std::string &value,
                     bool lineEndAdded) {
    std::size_t head = 0;
    while (head < before.size() && head < after.size() && before[head] == after[head]) {
        ++head;
    }
    std::size_t tail = 0;
    while (tail < before.size() - head && tail < after.size() - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
        ++tail;
    }
    const std::size_t removed = before.size() - head - tail;
    const std::size_t added = after.size() - head - tail;
    if (removed == 0 && added == 0) {
        return !lineEndAdded;
    }
    if (removed == 1 && added == 1) {
        return !lineEndAdded && IsHandshakeLine(before[head]) &&
               IsHandshakeLineWithValue(after[head], value);
    }
    if (removed == 0 && added == 1) {
        return IsHandshakeLineWithValue(after[head], value);
    }
    if (removed == 0 && added == 2) {
        return tail == 0 && IsSectionLine(after[head]) &&
               IsHandshakeLineWithValue(after[head + 1], value);
    }
    return false;
}

// The old lines as they are, and, when the old text lacks a final line end,
// with one added to its last line, the way a writer appends after it.
bool IsLineChangeOnly(const std::string &oldText, const std::string &newText,
                      const std::string &value) {
    const Lines before = SplitAfterNewlines(oldText);
    const Lines after = SplitAfterNewlines(newText);
    if (IsAllowedChange(before, after, value, false)) {
        return true;
    }
    if (before.empty() || before.back().back() == '\n') {
        return false;
    }
    for (const char *lineEnd : {"\n", "\r\n"}) {
        Lines ended = before;
        ended.back() += lineEnd;
        if (IsAllowedChange(ended, after, value, true)) {
            return true;
        }
    }
    return false;
}

std::string ReadHandshake(DWORD bufferSize) {
    std::vector<char> buffer(bufferSize, '\0');
    const DWORD count = GetProfileStringA(Section, Key, "TEST", buffer.data(), bufferSize);
    Require(count < bufferSize && buffer[count] == '\0', "the value read is terminated");
    return std::string(buffer.data(), count);
}

bool OnlyTheProfileIsLeft() {
    for (const auto &entry : std::filesystem::directory_iterator(Folder())) {
        if (entry.path().filename() != "win.ini") {
            return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    UseScratchProfile();
    const std::uint8_t control = size > 0 ? data[0] : 0;
    const std::string rest = size > 0 ? std::string(reinterpret_cast<const char *>(data) + 1, size - 1)
                                      : std::string();
    const std::size_t valueLength = std::min<std::size_t>(control & ValueLengthMask, rest.size());
    const std::string value = NormalisedValue(rest.substr(0, valueLength));
    const bool noProfile = (control & NoProfile) != 0;
    const std::string oldText = noProfile ? std::string() : rest.substr(valueLength);

    // Without a profile its folder is missing too, for the writer to make.
    std::filesystem::remove_all(Folder());
    if (!noProfile) {
        std::filesystem::create_directories(Folder());
        WriteFileBytes(ProfileFile(), oldText);
    }
    ReadHandshake(HandshakeBufferSize);
    Require(WriteProfileStringA(Section, Key, value.c_str()) == TRUE, "the value is written");
    Require(ReadHandshake(BigBufferSize) == value, "the value reads back");
    Require(ReadHandshake(HandshakeBufferSize) == value.substr(0, HandshakeBufferSize - 1),
            "the port layer's buffer reads the value cut to nine characters");
    Require(IsLineChangeOnly(oldText, ReadFileBytes(ProfileFile()), value),
            "only the key's line changes, every other line is kept byte for byte");
    Require(OnlyTheProfileIsLeft(), "no temporary file is left beside the profile");
    return 0;
}
