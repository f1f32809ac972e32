// Opening the program files.
#ifndef VINTREL_PLATFORM_FILES_H
#define VINTREL_PLATFORM_FILES_H

#include <cstdio>

// Opens an existing file for binary reading, shared with other readers and
// writers; null when it cannot be opened. A folder never opens, and opening
// never waits: a pipe that no one writes to reads as empty.
std::FILE *OpenForReading(const char *fileName);

#endif
