// What the POSIX and the Windows file systems share, written once: the retry of a busy share, the
// read chunk, the search for a name's stored spelling, and the deadline of a wait.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

#include "platform/kernel32.h"
#include "platform/system.h"

namespace trackrelay {

// How many bytes a text file reader fetches with one read; a longer line comes in several.
inline constexpr std::size_t kTextReadChunk = 64 * 1024;

// The stored spelling of a name among the entries of its folder, offered one by one: the entry
// spelt exactly so when there is one, else the first that differs from it in case alone. A share
// that ignores case finds 42.OUT when asked for 42.out; only the folder's listing tells which of
// them is there.
class StoredSpellingSearch {
 public:
  explicit StoredSpellingSearch(std::string_view name) : name_(name) {}
  // Takes the next entry's name; true when it is now the stored spelling found.
  bool Offer(std::string_view entry);
  // Whether the exact spelling was found: no later entry can change the answer.
  bool Settled() const { return settled_; }
  // The stored spelling; empty while no entry matched.
  const std::string& stored() const { return stored_; }

 private:
  std::string name_;
  std::string stored_;
  bool settled_ = false;
};

// A path of a file in the folder of path ("r:\\fromnt\\" gives "r:\\fromnt\\-"), by which the walk
// reaches that folder itself, as ListFolder does: the last name, empty for a path that ends in a
// separator, is never looked at, so any name stands in for it.
inline std::string StandInFileOf(const std::string& path) {
  return path.substr(0, path.find_last_of("\\/") + 1) + "-";
}

// The end of a wait of a given length on a clock that only moves forward: a wait woken by a
// report that was not the awaited one goes on for what is left, never for the whole length again.
class Deadline {
 public:
  explicit Deadline(DWORD milliseconds)
      : end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds)) {}
  // The milliseconds left, rounded up, so that a wait never ends before the deadline; 0 or less
  // once it has passed.
  long long LeftMs() const {
    return std::chrono::ceil<std::chrono::milliseconds>(end_ - std::chrono::steady_clock::now()).count();
  }

 private:
  std::chrono::steady_clock::time_point end_;
};

// A network share may refuse a delete or a rename as busy for a moment after its file was closed,
// while the server still holds its handle. That passes within milliseconds; so the call is made
// again every kBusyPauseMs for about a second (kBusyLimitMs) before the error counts. Nothing
// else is retried.
inline constexpr DWORD kBusyPauseMs = 20;
inline constexpr DWORD kBusyLimitMs = 1000;

// Calls call (which returns 0, or the error that made it fail) until it succeeds, fails otherwise
// than busy, or has been busy for about a second; returns 0 or the last error. busy tells which
// of the platform's errors is a share's passing "busy". The second is the clock's, not a count of
// pauses: a share whose every answer takes long, or a loaded machine that oversleeps each pause,
// would otherwise stretch it many times over, within a request's time.
template <typename Call, typename Busy>
auto RetryWhileShareBusy(Call call, Busy busy) -> decltype(call()) {
  const Deadline deadline(kBusyLimitMs);
  for (;;) {
    const auto error = call();
    if (error == 0 || !busy(error) || deadline.LeftMs() <= 0) return error;
    ::Sleep(kBusyPauseMs);
  }
}

}  // namespace trackrelay
