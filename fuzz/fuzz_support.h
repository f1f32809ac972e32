// What the fuzz targets share: failing a check, and a scratch folder that
// lives as long as the fuzzing process.
#ifndef VINTREL_FUZZ_FUZZ_SUPPORT_H
#define VINTREL_FUZZ_FUZZ_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

// A failed check aborts, so that libFuzzer keeps the input as a crash.
inline void Require(bool holds, const char *what) {
    if (!holds) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

// A fresh folder under the temporary directory, made on the first call and
// removed when the process exits normally; after a crash it stays for a look.
inline const std::string &ScratchFolder() {
    static std::string folder;
    if (folder.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "vintrel-fuzz-XXXXXX").string();
        Require(mkdtemp(&pattern[0]) != nullptr, "a scratch folder can be made");
        folder = pattern;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        });
    }
    return folder;
}

#endif
