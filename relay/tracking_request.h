// The tracking request: phase 3 of the run, the program's reason to exist.
// Publishes the form to the remote host, waits for its answer and relays it, or says why not.
#pragma once

#include <cstdint>
#include <string_view>

namespace trackrelay {

// The field that carries the tracking number; 0 asks for a new one.
inline constexpr std::string_view kTrackingNumberField = "TRACKNO";
// A look for the response file at once, then one after each pause, this many pauses at most.
inline constexpr int kLooksBeforeTimeout = 450;
inline constexpr unsigned kPollIntervalMs = 100;
// The wait also ends, with the timeout page, once this long has passed since its first look,
// however few looks were made: a look that blocks on a share that hangs counts as one miss
// however long it takes. On a share that answers, 450 looks take 45 s and the looks' own time,
// and end the wait long before this; docs/deploy.md (When the share fails) says why 90 s.
inline constexpr std::uint64_t kLongestWaitMs = 90000;

// Writes the whole HTTP response: the relayed page, the timeout page, or the internal error page
// that shows the step that failed. Handles its own failures; only one raised while the internal
// error page is written leaves it.
void ServeTrackingRequest();

}  // namespace trackrelay
