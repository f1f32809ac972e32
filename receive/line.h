// The line the receiving end listens on: a serial device, or a
// pseudo-terminal of its own whose far end stands in for one.
#ifndef VINTREL_RECEIVE_LINE_H
#define VINTREL_RECEIVE_LINE_H

#include <cstddef>
#include <cstdint>
#include <string>

// Opens the serial device at 38400 baud, 8N1, raw, and drops whatever input
// was already waiting. Returns the descriptor to read, or -1 with the reason.
int OpenSerialDevice(const char *path, std::string &error);

// Makes a pseudo-terminal whose far end is set up like a serial device and
// stays open here, so that the line survives the sender closing it. Returns
// the descriptor to read, with the far end's path, or -1 with the reason.
int OpenPseudoTerminal(std::string &farEndPath, std::string &error);

// Reads what has arrived, waiting at most timeoutMillis (-1: for ever) for
// the first byte. Returns the number of bytes read, 0 when nothing came in
// time, -1 when the line closed or failed.
long ReadWithin(int fd, std::uint8_t *buffer, std::size_t size, int timeoutMillis);

#endif
