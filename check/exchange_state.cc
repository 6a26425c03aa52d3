#include "check/exchange_state.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <memory>
#include <optional>
#include <utility>

#include "cgi/conversions.h"
#include "check/probe.h"
#include "platform/failure.h"
#include "platform/system.h"
#include "relay/file_drop.h"
#include "relay/local_disk.h"
#include "relay/tracking_counter.h"

namespace trackrelay::check {
namespace {

// How much of a reason file is read: its first two lines are what is shown.
constexpr std::size_t kReasonRead = 4096;

std::string Explained(const Failure& failure) {
  return failure.message() + " (" + std::to_string(failure.number()) + ")";
}

std::string WithoutSeparator(std::string_view folder) { return std::string(folder.substr(0, folder.size() - 1)); }

// The share's own now: the time it stamps on a probe file written in r:\fromnt, where requests
// are stamped too. A probe that cannot be made leaves the ages to this machine's clock.
std::optional<std::int64_t> ShareNow(System& system, std::string& problem) {
  const std::string probe = std::string(kOutboundFolder) + ProbeName() + ".chk";
  InterruptsHeld held;
  try {
    system.WriteTextFile(probe, "probe\r\n", Readers::kOwnerAndGroup);
  } catch (const Failure& failure) {
    problem = "no probe file can be made in r:\\fromnt: " + Explained(failure);
    return std::nullopt;
  }
  const EntryFacts facts = system.DescribeEntry(probe);
  try {
    system.RemoveFile(probe);
  } catch (const Failure& failure) {
    problem = "the probe file " + probe + " cannot be removed: " + Explained(failure) + "; remove it by hand";
  }
  if (facts.kind != EntryKind::kPlainFile) {
    if (problem.empty()) problem = "the probe file in r:\\fromnt was gone at once";
    return std::nullopt;
  }
  return facts.modified_ms;
}

// The files of folder (a drive path with its separator) whose names are kept, with their ages,
// oldest first.
std::vector<AgedFile> ListAged(System& system, const std::string& folder, std::int64_t now,
                               bool (*kept)(std::string_view name)) {
  std::vector<AgedFile> files;
  for (const std::string& name : system.ListFolder(folder)) {
    if (!kept(name)) continue;
    const EntryFacts facts = system.DescribeEntry(folder + name);
    // Gone since the listing (taken, answered): no longer there to count.
    if (facts.kind != EntryKind::kPlainFile) continue;
    // A file stamped ahead of the clock (another machine's clock on a share) is taken as new.
    files.push_back({name, std::max<std::int64_t>(0, now - facts.modified_ms)});
  }
  std::sort(files.begin(), files.end(), [](const AgedFile& a, const AgedFile& b) {
    return a.age_ms != b.age_ms ? a.age_ms > b.age_ms : a.name < b.name;
  });
  return files;
}

FolderState ReadFolder(System& system, const std::string& folder, std::int64_t now,
                       bool (*kept)(std::string_view name)) {
  FolderState state;
  state.folder = WithoutSeparator(folder);
  std::vector<AgedFile> files;
  try {
    files = ListAged(system, folder, now, kept);
  } catch (const Failure& failure) {
    state.problem = Explained(failure);
    return state;
  }
  state.readable = true;
  state.count = static_cast<int>(files.size());
  for (const AgedFile& file : files) {
    std::size_t band = 0;
    while (band < kAgeBandBounds.size() && file.age_ms > std::int64_t{kAgeBandBounds[band]} * 1000) ++band;
    ++state.by_age[band];
  }
  if (!files.empty()) state.newest_age_ms = files.back().age_ms;
  if (files.size() > kOldestShown) files.resize(kOldestShown);
  state.oldest = std::move(files);
  return state;
}

bool IsRequest(std::string_view name) { return IsFileOfANumber(name, ".DAT"); }
bool IsAnswer(std::string_view name) { return IsFileOfANumber(name, ".out"); }
bool IsServed(std::string_view name) { return IsFileOfANumber(name, ".DAT") || IsFileOfANumber(name, ".answered"); }
bool IsKeptRequest(std::string_view name) { return name.size() > 4 && name.ends_with(".DAT"); }
bool IsReason(std::string_view name) { return name.size() > 7 && name.ends_with(".reason"); }

// The number and the reason of a failure, from the first two lines of its reason file:
// "request N, published ..., failed ..." and the reason.
FailedRequest ReadReason(System& system, const std::string& path, std::int64_t age_ms) {
  FailedRequest failed;
  failed.age_ms = age_ms;
  std::string head;
  try {
    std::unique_ptr<TextFileReader> reader = system.OpenTextFile(path);
    // The remote host ends its lines with LF alone, which the reader keeps within a line.
    if (!reader->AtEnd()) reader->ReadLinePart(head, kReasonRead);
  } catch (const Failure& failure) {
    failed.reason = "its reason cannot be read: " + Explained(failure);
    return failed;
  }
  const std::size_t first_end = head.find('\n');
  const std::string_view first = std::string_view(head).substr(0, first_end);
  const std::size_t comma = first.find(',');
  failed.number = first.starts_with("request ") && comma > 8 ? std::string(first.substr(8, comma - 8)) : std::string(1, '?');
  if (first_end != std::string::npos) failed.reason = head.substr(first_end + 1, head.find('\n', first_end + 1) - first_end - 1);
  return failed;
}

void ReadCounter(System& system, ExchangeState& state) {
  try {
    std::unique_ptr<TextFileReader> reader = system.OpenTextFile(std::string(kCounterPath));
    const std::string line = reader->AtEnd() ? std::string() : reader->ReadLine();
    try {
      state.counter = ParseCounterLine(line);
    } catch (const Failure& failure) {
      // 32767 is a number, the last: its successor is what does not fit.
      std::optional<std::int16_t> last;
      try {
        last = ToInt16(line);
      } catch (const Failure&) {
      }
      if (failure.number() != kOverflow || last != std::numeric_limits<std::int16_t>::max()) {
        state.counter_problem = "its first line is no number the program takes (run trackrelay-check)";
        return;
      }
      state.counter = *last;
    }
    state.counter_readable = true;
    state.numbers_left = std::numeric_limits<std::int16_t>::max() - state.counter;
  } catch (const Failure& failure) {
    state.counter_problem = Explained(failure);
  }
}

}  // namespace

bool IsFileOfANumber(std::string_view name, std::string_view suffix) {
  if (!name.ends_with(suffix)) return false;
  const std::string_view number = name.substr(0, name.size() - suffix.size());
  int n = 0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), n);
  return error == std::errc() && end == number.data() + number.size() && !number.empty() &&
         n >= std::numeric_limits<std::int16_t>::min() && n <= std::numeric_limits<std::int16_t>::max() &&
         std::to_string(n) == number;
}

ExchangeState ReadExchangeState(const std::string& remote_host, std::int64_t local_now_ms) {
  System& system = CurrentSystem();
  ExchangeState state;
  const std::optional<std::int64_t> share_now = ShareNow(system, state.clock_problem);
  state.share_clock = share_now.has_value();
  const std::int64_t now = share_now.value_or(local_now_ms);
  state.requests = ReadFolder(system, std::string(kOutboundFolder), now, IsRequest);
  state.answers = ReadFolder(system, std::string(kInboundFolder), now, IsAnswer);
  state.remote_host = remote_host;
  const std::string folder = remote_host.ends_with("\\") ? remote_host : remote_host + "\\";
  state.work = ReadFolder(system, folder + "work\\", now, IsServed);
  state.errors = ReadFolder(system, folder + "error\\", now, IsKeptRequest);
  if (state.errors.readable && state.errors.count > 0) {
    // The newest reasons, by the time each was written: when its request failed.
    try {
      const std::vector<AgedFile> reasons = ListAged(system, folder + "error\\", now, IsReason);
      for (auto it = reasons.rbegin(); it != reasons.rend() && state.last_failures.size() < kLastFailuresShown; ++it) {
        state.last_failures.push_back(ReadReason(system, folder + "error\\" + it->name, it->age_ms));
      }
    } catch (const Failure&) {
      // Listed a moment ago; a folder gone since shows at the next look.
    }
  }
  ReadCounter(system, state);
  return state;
}

std::vector<Concern> ConcernsOf(const ExchangeState& state) {
  std::vector<Concern> concerns;
  const auto late = [](const FolderState& folder) { return folder.by_age.back(); };
  // The remote host's folders are not every remote host's (one of its own keeps none), and may be
  // its user's alone: the screen says why they cannot be read, but nothing waits on them.
  for (const FolderState* folder : {&state.requests, &state.answers}) {
    if (!folder->readable) {
      concerns.push_back({true, folder->folder + " cannot be read (" + folder->problem +
                                    "): is the share mounted? Run trackrelay-check"});
    }
  }
  if (late(state.requests) > 0) {
    concerns.push_back({true, std::to_string(late(state.requests)) +
                                  " request(s) waiting in r:\\fromnt longer than 45 s: the remote host is not taking "
                                  "requests; each keeps its number busy (internal error 3): start the remote host"});
  }
  if (late(state.work) > 0) {
    concerns.push_back({true, std::to_string(late(state.work)) + " request(s) in " + state.work.folder +
                                  " taken longer than 45 s ago: the remote host stopped while serving them (its "
                                  "next start keeps them in error/), or it cannot let them go: read its log"});
  }
  if (late(state.answers) > 0) {
    concerns.push_back({false, std::to_string(late(state.answers)) +
                                   " answer(s) standing in r:\\tont longer than 45 s: their programs died or gave up "
                                   "before taking them (the web server kills them, or the share hangs); the remote "
                                   "host sweeps them after 2 minutes"});
  }
  if (state.counter_readable && state.numbers_left < 1000) {
    concerns.push_back({state.numbers_left == 0, std::to_string(state.numbers_left) +
                                                     " numbers left before 32767: plan the counter's reset (see THE "
                                                     "COUNTER'S END in trackrelay-check(8))"});
  } else if (!state.counter_readable) {
    concerns.push_back({false, "the counter cannot be read (" + state.counter_problem + ")"});
  }
  return concerns;
}

}  // namespace trackrelay::check
