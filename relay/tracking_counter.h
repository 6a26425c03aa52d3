// The tracking-number counter: the file on the web server's own disk that holds the next number.
// Requests that allocate at the same moment take turns under a lock, and the file is only ever replaced whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace trackrelay {

// The counter's file, its replacement and the claims file that holds its lock are named in
// relay/local_disk.h.

// The counter's lock: one byte of the claims file (ClaimTrackingNumber), beyond the slots of the
// numbers (0 to 65535), so that it never meets a claim. The claims file is never replaced, so the
// lock outlives every replacement of the counter, and it adds no file to c:\woe.
inline constexpr std::int64_t kCounterLockSlot = 65536;
// How often an allocation starts over when a file it reached by name was replaced through
// another client of a share meanwhile (StaleFileFailure), and the pause before each later try.
inline constexpr int kStaleAttempts = 10;
inline constexpr unsigned kStalePauseMs = 125;

// The number on the counter's first line (without its line end): spaces around a number that
// ToInt16 reads. Raises 13 or 6 as ToInt16 does, and 6 for 32767, whose successor would not fit.
std::int16_t ParseCounterLine(std::string_view line);

// The number the counter file holds; the file then holds that number plus one. Requests of every
// web server whose c:\woe is the same folder take turns under the counter's lock, which it waits
// for up to longest_wait_ms in all: a lock that another holds all that time raises 70. Raises the
// failure of the open (53 missing, 76 no folder), 62 for an empty file, the failure of
// ParseCounterLine for its first line; the file is then as it was. A file replaced through
// another client between its look-up and its use makes the allocation start over, up to
// kStaleAttempts times in all, within the same longest_wait_ms.
std::int16_t AllocateTrackingNumber(std::uint64_t longest_wait_ms);

// The counter file as written for next: " 42 \r\n", "-4 \r\n".
std::string CounterFileText(std::int16_t next);

}  // namespace trackrelay
