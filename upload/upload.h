// The upload driver: the console program that reads a program's header and
// image files and sends them to the device as one upload frame.
#ifndef VINTREL_UPLOAD_UPLOAD_H
#define VINTREL_UPLOAD_UPLOAD_H

// The port argument read as a decimal number the way the C library's atoi
// reads it on the platforms the tool grew up on: leading white space, one
// optional sign, digits up to the first other character, wrapping modulo
// 2^32 without an overflow check; no digits read as 0.
int ParsePortArgument(const char *text);

// Runs one upload for the command line `Vintrel filename [comport]`. Prints
// exactly one outcome message (preceded by the sending message once the port
// is open) and returns the exit status: the length of the last message.
int RunUpload(int argc, char **argv);

#endif
