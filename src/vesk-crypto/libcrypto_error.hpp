// Turning libcrypto's error queue into a message text.
// Thread-safe: the queue is per thread.
#pragma once

#include <string>

namespace vesk {

// Takes the oldest queued libcrypto error as text (if_none when the queue is empty) and empties
// the queue, so that a failed call leaves nothing behind for the next one.
std::string take_libcrypto_error(const char* if_none);

}  // namespace vesk
