// The upload frame's check values and the operations that send its sections.
// Every byte leaves through WritePort; each operation returns 1 when all its
// bytes were handed to the serial driver, 0 otherwise.
#ifndef VINTREL_UPLOAD_FRAME_H
#define VINTREL_UPLOAD_FRAME_H

#include <cstdint>

// Running check values of the section being sent, sent low byte first.
extern std::uint16_t AddSum;
extern std::uint16_t RotSum;

void ResetChecksums();
void UpdateChecksums(std::uint8_t byte);

// Folds the block into the check values, then writes it in one WritePort call.
int SendBlock(int portNumber, int length, const std::uint8_t *block);

// Writes AddSum, then RotSum, two bytes each; neither value changes.
int SendChecksums(int portNumber);

#endif
