// The tracking request: phase 3 of the run, the program's reason to exist.
// Publishes the form to the remote host, waits for its answer and relays it, or says why not.
#pragma once

#include <string_view>

namespace trackrelay {

// The field that carries the tracking number; 0 asks for a new one.
inline constexpr std::string_view kTrackingNumberField = "TRACKNO";
// A look for the response file at once, then one after each pause, this many pauses at most.
inline constexpr int kLooksBeforeTimeout = 450;
inline constexpr unsigned kPollIntervalMs = 100;

// Writes the whole HTTP response: the relayed page, the timeout page, or the internal error page
// that shows the step that failed. Handles its own failures; only one raised while the internal
// error page is written leaves it.
void ServeTrackingRequest();

}  // namespace trackrelay
