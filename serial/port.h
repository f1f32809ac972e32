// The serial port layer: every open COM port of the process, named by its
// number (0 to 255); the handles stay inside the layer.
#ifndef VINTREL_SERIAL_PORT_H
#define VINTREL_SERIAL_PORT_H

#include <cstdint>

// Opens COM<portNumber> exclusively at the baud rate, 8N1, with the RTS
// setting kept in the profile. Returns 1 when the port is open, 0 otherwise.
int OpenPort(int portNumber, std::uint32_t baudRate);

// Waits until the output queue is empty, then closes the port. Returns 1 when
// the queued bytes left and the port was closed, 0 when the port was not open
// or its queue did not drain in time (the port is closed all the same).
int ClosePort(int portNumber);

// The number of bytes waiting in the serial driver's output queue; 0 when the
// port is not open.
std::uint32_t GetOutQueueCount(int portNumber);

// Writes the block in pieces that fit the free room of the 2048-byte output
// queue. Returns 1 once the serial driver has taken every byte, 0 when the
// port is not open, a write fails, or the queue stops draining.
int WritePort(int portNumber, int length, const std::uint8_t *block);

// When set, WritePort calls it with the size of every piece the serial driver
// has taken, so that the caller can show how far a long block has got.
extern void (*PieceTaken)(std::uint32_t bytes);

#endif
