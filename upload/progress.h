// The share of the frame handed to the serial driver, shown on standard error
// right after the sending message while the frame goes out, when standard
// error is a console. It is erased before the final message, so the screen
// ends as it would without it; standard output never carries it.
#ifndef VINTREL_UPLOAD_PROGRESS_H
#define VINTREL_UPLOAD_PROGRESS_H

#include <cstdint>

void StartProgress(std::uint32_t frameBytes);
void EndProgress();

#endif
