#include "platform/console.h"

#include <unistd.h>

int ErrorOutputIsConsole() {
    return isatty(STDERR_FILENO) ? 1 : 0;
}
