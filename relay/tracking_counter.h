// The tracking-number counter: the file on the web server's own disk that holds the next number.
// Requests that allocate at the same moment take turns under a lock, and the file is only ever replaced whole.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace trackrelay {

inline constexpr std::string_view kCounterPath = "c:\\woe\\track.txt";
// The next counter line is written here, beside the counter, and then renamed over it. Only the
// holder of the counter's lock writes it, so one name does for all requests.
inline constexpr std::string_view kCounterReplacementPath = "c:\\woe\\track.new";

// The number on the counter's first line (without its line end): spaces around a number that
// ToInt16 reads. Raises 13 or 6 as ToInt16 does, and 6 for 32767, whose successor would not fit.
std::int16_t ParseCounterLine(std::string_view line);

// The number the counter file holds; the file then holds that number plus one. Raises the
// failure of the open (53 missing, 76 no folder), 62 for an empty file, the failure of
// ParseCounterLine for its first line; the file is then as it was.
std::int16_t AllocateTrackingNumber();

// The counter file as written for next: " 42 \r\n", "-4 \r\n".
std::string CounterFileText(std::int16_t next);

}  // namespace trackrelay
