// GetProfileStringA and WriteProfileStringA over the profile file, with the
// rules of their Windows namesakes: section and key names match without
// regard to case, a value is the text after '=' without surrounding blanks.
// A write keeps every other line byte for byte and replaces the file
// atomically, under a lock, so that no crash or concurrent run leaves a
// truncated or half-written profile.
#include "platform/posix/profile.h"

#include "platform/win32_api.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const char Blanks[] = " \t\r";
// Editors such as Notepad start a UTF-8 file with this mark.
const char ByteOrderMark[] = "\xEF\xBB\xBF";

std::string Trim(const std::string &text) {
    const std::size_t first = text.find_first_not_of(Blanks);
    if (first == std::string::npos) {
        return std::string();
    }
    return text.substr(first, text.find_last_not_of(Blanks) - first + 1);
}

bool SameName(const std::string &a, const char *b) {
    if (a.size() != std::strlen(b)) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if (x != y && !(x < 0x80 && y < 0x80 && std::tolower(x) == std::tolower(y))) {
            return false;
        }
    }
    return true;
}

// The lines of the file, each with its own line end, so that writing them
// back gives the same bytes.
std::vector<std::string> SplitLines(const std::string &text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::string WithoutLineEnd(const std::string &line) {
    std::size_t end = line.size();
    if (end > 0 && line[end - 1] == '\n') {
        --end;
    }
    if (end > 0 && line[end - 1] == '\r') {
        --end;
    }
    return line.substr(0, end);
}

// "[name]" with blanks allowed around it; gives the name.
bool IsSectionLine(const std::string &line, std::string &name) {
    const std::string content = Trim(WithoutLineEnd(line));
    if (content.empty() || content[0] != '[') {
        return false;
    }
    const std::size_t close = content.find(']');
    name = Trim(content.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

bool IsKeyLine(const std::string &line, std::string &key, std::string &value) {
    const std::string content = WithoutLineEnd(line);
    const std::size_t equals = content.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    key = Trim(content.substr(0, equals));
    value = Trim(content.substr(equals + 1));
    return true;
}

// Where a key lives: the line of its first occurrence in the first section
// of that name (as on Windows, a later section of the same name is not
// read), and the line after that section's last non-blank line, where a
// missing key goes. npos when absent.
struct KeyPlace {
    std::size_t keyLine;
    std::size_t insertLine;
};

KeyPlace FindKey(const std::vector<std::string> &lines, const char *section, const char *key) {
    KeyPlace place = {std::string::npos, std::string::npos};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string name;
        std::string value;
        const bool marked = i == 0 && lines[0].rfind(ByteOrderMark, 0) == 0;
        if (IsSectionLine(marked ? lines[0].substr(3) : lines[i], name)) {
            if (place.insertLine != std::string::npos) {
                return place;
            }
            if (SameName(name, section)) {
                place.insertLine = i + 1;
            }
            continue;
        }
        if (place.insertLine == std::string::npos) {
            continue;
        }
        if (!Trim(WithoutLineEnd(lines[i])).empty()) {
            place.insertLine = i + 1;
        }
        if (IsKeyLine(lines[i], name, value) && SameName(name, key)) {
            place.keyLine = i;
            return place;
        }
    }
    return place;
}

// Reads the whole file. Returns 1 with the bytes, 1 with nothing when the
// file does not exist, 0 when it exists but cannot be read.
int ReadWholeFile(const std::string &path, std::string &text) {
    text.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT ? 1 : 0;
    }
    char buffer[65536];
    ssize_t count = 0;
    while ((count = read(fd, buffer, sizeof buffer)) != 0) {
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0) {
            close(fd);
            return 0;
        }
        text.append(buffer, std::size_t(count));
    }
    close(fd);
    return 1;
}

std::string FolderOf(const std::string &path) {
    return path.substr(0, path.rfind('/'));
}

int MakeFolders(const std::string &folder) {
    for (std::size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            return 0;
        }
        if (slash == std::string::npos) {
            return 1;
        }
    }
}

int WriteAll(int fd, const std::string &text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = write(fd, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return 0;
        }
        done += std::size_t(count);
    }
    return 1;
}

// Replaces the file with the text: a temporary file beside it, flushed to the
// disk, then renamed over it, so that readers see the old or the new file.
int ReplaceFile(const std::string &path, const std::string &text, mode_t mode) {
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(&temporary[0]);
    if (fd < 0) {
        return 0;
    }
    const bool written = fchmod(fd, mode) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        unlink(temporary.c_str());
        return 0;
    }
    const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        fsync(folder);
        close(folder);
    }
    return 1;
}

// The text with the key set to the value: the key's line changed in place
// (its own spelling kept), or the key added to its section, or the section
// added at the end. Line ends follow the file's first line.
std::string WithKeySet(const std::string &text, const char *section, const char *key,
                       const char *value) {
    std::vector<std::string> lines = SplitLines(text);
    const bool crlf = !lines.empty() && lines[0].size() >= 2 &&
                      lines[0].compare(lines[0].size() - 2, 2, "\r\n") == 0;
    const std::string lineEnd = crlf ? "\r\n" : "\n";
    const KeyPlace place = FindKey(lines, section, key);
    if (place.keyLine != std::string::npos) {
        std::string &line = lines[place.keyLine];
        const std::string ending = line.substr(WithoutLineEnd(line).size());
        line = line.substr(0, line.find('=') + 1) + value + ending;
    } else {
        if (!lines.empty() && lines.back().back() != '\n') {
            lines.back() += lineEnd;
        }
        const std::string keyLine = std::string(key) + "=" + value + lineEnd;
        if (place.insertLine != std::string::npos) {
            lines.insert(lines.begin() + long(place.insertLine), keyLine);
        } else {
            lines.push_back("[" + std::string(section) + "]" + lineEnd);
            lines.push_back(keyLine);
        }
    }
    std::string result;
    for (const std::string &line : lines) {
        result += line;
    }
    return result;
}

int SetProfileValue(const std::string &path, const char *section, const char *key,
                    const char *value) {
    std::string text;
    if (!ReadWholeFile(path, text)) {
        return 0;
    }
    struct stat status;
    const mode_t mode = stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0644;
    return ReplaceFile(path, WithKeySet(text, section, key, value), mode);
}

} // namespace

std::string ProfilePath() {
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && *config != '\0') {
        return std::string(config) + "/vintrel/win.ini";
    }
    const char *home = std::getenv("HOME");
    if (home != nullptr && *home != '\0') {
        return std::string(home) + "/.config/vintrel/win.ini";
    }
    return std::string();
}

int ReadProfileValue(const char *section, const char *key, std::string &value) {
    const std::string path = ProfilePath();
    std::string text;
    if (path.empty() || !ReadWholeFile(path, text)) {
        return 0;
    }
    const std::vector<std::string> lines = SplitLines(text);
    const KeyPlace place = FindKey(lines, section, key);
    if (place.keyLine == std::string::npos) {
        return 0;
    }
    std::string name;
    return IsKeyLine(lines[place.keyLine], name, value) ? 1 : 0;
}

DWORD GetProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR defaultValue, LPSTR returned,
                        DWORD size) {
    if (returned == nullptr || size == 0) {
        return 0;
    }
    std::string value;
    if (appName == nullptr || keyName == nullptr || !ReadProfileValue(appName, keyName, value)) {
        value = defaultValue != nullptr ? defaultValue : "";
    }
    const std::size_t count = value.size() < size - 1 ? value.size() : size - 1;
    std::memcpy(returned, value.data(), count);
    returned[count] = '\0';
    return DWORD(count);
}

BOOL WriteProfileStringA(LPCSTR appName, LPCSTR keyName, LPCSTR value) {
    const std::string path = ProfilePath();
    if (appName == nullptr || keyName == nullptr || value == nullptr || path.empty() ||
        !MakeFolders(FolderOf(path))) {
        return FALSE;
    }
    // The folder's lock serialises concurrent read-modify-write cycles.
    const int folder = open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) {
        return FALSE;
    }
    int written = 0;
    if (flock(folder, LOCK_EX) == 0) {
        written = SetProfileValue(path, appName, keyName, value);
        flock(folder, LOCK_UN);
    }
    close(folder);
    return written ? TRUE : FALSE;
}
