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
// The longest that a request waits, counted from its start: for the counter's lock and for the
// answer together. The wait for the answer ends, with the timeout page, once this long has passed,
// however few looks were made (one at least): a look that blocks on a share that hangs counts as
// one miss however long it takes. On a share that answers, 450 looks take 45 s and the looks' own
// time, and end the wait long before this; docs/deploy.md (When the share fails) says why 90 s.
inline constexpr std::uint64_t kLongestWaitMs = 90000;
// The longest that a request waits for the counter's lock, within those 90 s: a lock not had by
// then is internal error 1. It leaves the wait for the answer 60 s, more than 450 looks took on
// the slowest share tested (53 s), so that a request that had its number late is still served.
inline constexpr std::uint64_t kLongestLockWaitMs = 30000;

// The most of one answer that is relayed, counted in the bytes of its lines: a page of a tracking
// request is a few KiB, and the remote host's own answers stop at 4 MiB. An answer that passes it
// is cut off there with the internal error page of its step, as is one still being relayed when
// kLongestWaitMs is up, so that a request ends in bounded time whatever stands as its answer. An
// answer found by a look that ended later (a share that hung, then answered) has this long from
// then: the remote host made it in time, and it is this person's.
inline constexpr std::uint64_t kLongestAnswerBytes = 16u << 20;
inline constexpr std::uint64_t kLongestLateRelayMs = 10000;

// A step of the handler: its place on a request's road (order), and the internal error number
// that the page shows when it fails, as the page writes it ("An internal error number 3 ...").
// Steps compare by their place on the road, which is not the order of their numbers.
struct Step {
  int order;
  const char* page_text;
  friend constexpr bool operator==(const Step& a, const Step& b) { return a.order == b.order; }
  friend constexpr auto operator<=>(const Step& a, const Step& b) { return a.order <=> b.order; }
};

// The steps, in the order a request takes them. A step's number is all that the browser learns
// of a failure and what the people who run the program go by, so the numbers never change: 3
// means "the number is busy" where another request of this web server holds it, where an earlier
// request's answer stands and cannot be removed, and where its request file still waits for the
// remote host; 7 to 9 are not used.
inline constexpr Step kStepReadTrackingNumber{0, "0"};  // takes TRACKNO from the form as a number
inline constexpr Step kStepAllocateNumber{1, "1"};      // a new number from the counter file, for TRACKNO 0
inline constexpr Step kStepClaimNumber{2, "3"};         // claims the number, removes an earlier request's answer
inline constexpr Step kStepWriteRequest{3, "2"};        // writes the form input to the temporary request file
inline constexpr Step kStepPublishRequest{4, "3"};      // arms the watch, renames the request file to N.DAT
inline constexpr Step kStepAwaitResponse{5, "4"};       // looks for N.out, pausing between looks, and opens it
inline constexpr Step kStepRelayFirstLine{6, "5"};      // the header is out: relays line 1 (or removes N.out if empty)
inline constexpr Step kStepRelayNextLines{7, "6"};      // a line is out: relays the rest, removes the response
inline constexpr Step kStepFinish{8, "10"};             // the wait is over: the timeout page if nothing came

// Writes the whole HTTP response: the relayed page, the timeout page, or the internal error page
// that shows the step that failed. Handles its own failures; only one raised while the internal
// error page is written leaves it.
void ServeTrackingRequest();

}  // namespace trackrelay
