// What the upload driver asks of the platform about the console.
#ifndef VINTREL_PLATFORM_CONSOLE_H
#define VINTREL_PLATFORM_CONSOLE_H

// 1 when standard error is a console, where progress can be shown and
// erased again; 0 for files, pipes and anything else.
int ErrorOutputIsConsole();

#endif
