// The files on the web server's own disk, in c:\woe: the counter and the claims file, which every
// request of this web server shares, as the counter and the claim of a number both name them.
#pragma once

#include <string_view>

namespace trackrelay {

inline constexpr std::string_view kCounterPath = "c:\\woe\\track.txt";
// The next counter line is written here, beside the counter, and then renamed over it. Only the
// holder of the counter's lock writes it, so one name does for all requests.
inline constexpr std::string_view kCounterReplacementPath = "c:\\woe\\track.new";
// Where requests of this web server claim their numbers: a file beside the counter, one slot a
// number, and one more for the counter's lock (kCounterLockSlot).
inline constexpr std::string_view kClaimsPath = "c:\\woe\\track.claims";

}  // namespace trackrelay
