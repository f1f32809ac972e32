#include "platform/console.h"

#include "platform/win32_api.h"

int ErrorOutputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) ? 1 : 0;
}
