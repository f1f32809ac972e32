// The profile file of the POSIX platform layer: an INI file standing in for
// win.ini, at $XDG_CONFIG_HOME/vintrel/win.ini or ~/.config/vintrel/win.ini.
#ifndef VINTREL_PLATFORM_POSIX_PROFILE_H
#define VINTREL_PLATFORM_POSIX_PROFILE_H

#include <string>

// The profile's path; empty when neither XDG_CONFIG_HOME nor HOME is set.
std::string ProfilePath();

// The value of the key in the section, names matched without regard to case.
// Returns 1 when the key is present, 0 otherwise (also when the file is
// missing or unreadable).
int ReadProfileValue(const char *section, const char *key, std::string &value);

#endif
