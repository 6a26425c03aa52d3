#include "relay/tracking_counter.h"

#include <limits>
#include <memory>

#include "cgi/conversions.h"
#include "platform/failure.h"
#include "platform/system.h"
#include "relay/local_disk.h"

namespace trackrelay {
namespace {

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

std::int16_t ParseCounterLine(std::string_view line) {
  const std::int16_t n = ToInt16(TrimSpaces(line));
  if (n == std::numeric_limits<std::int16_t>::max()) RaiseFailure(kOverflow);
  return n;
}

std::string CounterFileText(std::int16_t next) {
  std::string text(next < 0 ? 0 : 1, ' ');  // the minus sign takes the space's place
  text += std::to_string(next);
  text += " \r\n";
  return text;
}

namespace {

std::int16_t AllocateOnce(System& system, std::uint64_t longest_wait_ms) {
  const std::string counter(kCounterPath);
  // Held until the new number is in place, so that a request arriving meanwhile waits and then
  // reads the new number instead of the one handed out here.
  std::unique_ptr<TextFileReader> locked =
      system.OpenTextFileLocked(counter, std::string(kClaimsPath), kCounterLockSlot, longest_wait_ms);
  const std::int16_t n = ParseCounterLine(locked->ReadLine());
  // Truncating the counter and writing it again would leave it empty if the process died in
  // between; the rename swaps the old file for a complete new one in a single step.
  const std::string replacement(kCounterReplacementPath);
  // The new counter is made with the old one's permissions: whoever may not read it now may not
  // read it after the replacement either.
  system.WriteTextFileLike(replacement, CounterFileText(static_cast<std::int16_t>(n + 1)), counter);
  system.RenameReplacing(replacement, counter);
  return n;
}

}  // namespace

std::int16_t AllocateTrackingNumber(std::uint64_t longest_wait_ms) {
  System& system = CurrentSystem();
  const std::uint64_t start = system.MonotonicMilliseconds();
  // What is left of the wait: a try started over waits only for the rest.
  auto left = [&]() -> std::uint64_t {
    const std::uint64_t spent = system.MonotonicMilliseconds() - start;
    return spent >= longest_wait_ms ? 0 : longest_wait_ms - spent;
  };
  // On a share, another web server replaces the counter while this one waits for the lock; a
  // client that still knew the counter's name as the old file finds that file gone (ESTALE),
  // and a look-up of the name again finds the new one. Nothing is handed out until the rename
  // is done, so starting over repeats no number. The pause lets a client's caches of names and
  // attributes, which hold an entry for up to a second by default, expire within the tries.
  for (int attempt = 1;; ++attempt) {
    try {
      return AllocateOnce(system, left());
    } catch (const StaleFileFailure&) {
      if (attempt >= kStaleAttempts) throw;
      if (attempt > 1) system.Sleep(kStalePauseMs);
    }
  }
}

}  // namespace trackrelay
