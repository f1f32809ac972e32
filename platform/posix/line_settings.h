// The DCB as termios settings and back. Modem lines (DTR, RTS) are not part
// of termios; the caller keeps them.
#ifndef VINTREL_PLATFORM_POSIX_LINE_SETTINGS_H
#define VINTREL_PLATFORM_POSIX_LINE_SETTINGS_H

#include "platform/win32_api.h"

#include <termios.h>

// Sets a binary raw line as the DCB describes it. Returns 0 and leaves the
// settings alone when termios cannot do it: a rate that is not a standard
// one, a byte size outside 5 to 8.
int ApplyDcb(const DCB &dcb, termios &settings);

// Fills the whole DCB from the settings; the modem-line fields are 0.
void ReadLineSettings(const termios &settings, DCB &dcb);

#endif
