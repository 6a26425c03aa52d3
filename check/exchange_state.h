// The exchange's state at a glance, read without changing it: what waits in r:\fromnt and stands
// in r:\tont and for how long, the remote host's work and error folders, the numbers left.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace trackrelay::check {

// The bands of age that files are counted in, by their upper bounds in seconds: up to 5 s, up to
// 15 s, up to 45 s, and older. Past 45 s no request waits for the file any more.
inline constexpr std::array<int, 3> kAgeBandBounds = {5, 15, 45};

// A file of a folder and its age.
struct AgedFile {
  std::string name;
  std::int64_t age_ms = 0;
};

// The files of one kind in one folder, by age.
struct FolderState {
  std::string folder;    // the drive path, "r:\\fromnt"
  bool readable = false;
  std::string problem;   // why it cannot be read, when it cannot
  int count = 0;
  std::array<int, kAgeBandBounds.size() + 1> by_age{};
  std::vector<AgedFile> oldest;  // the oldest files, oldest first, at most kOldestShown
  std::int64_t newest_age_ms = 0;  // the age of the newest file, when there is one
};
inline constexpr std::size_t kOldestShown = 10;

// A request the remote host kept in its error folder, with the first line of its reason.
struct FailedRequest {
  std::string number;
  std::int64_t age_ms = 0;  // since it failed
  std::string reason;
};

struct ExchangeState {
  // Ages are told by the share's own clock (the time it stamps on a probe file), which stamped
  // the files too; when no probe can be made there, by this machine's, and clock_problem says why.
  bool share_clock = false;
  std::string clock_problem;
  FolderState requests;  // N.DAT in r:\fromnt: published and not taken
  FolderState answers;   // N.out in r:\tont: written and not taken
  // The remote host's state folder (by default r:\remote-host): work/ holds the requests taken
  // and not yet answered (N.DAT) or answered and not yet let go (N.answered); error/ the failed.
  std::string remote_host;
  FolderState work;
  FolderState errors;
  std::vector<FailedRequest> last_failures;  // newest first, at most kLastFailuresShown
  // The counter: the number it holds and how many are left before 32767.
  bool counter_readable = false;
  std::string counter_problem;
  int counter = 0;
  int numbers_left = 0;
};
inline constexpr std::size_t kLastFailuresShown = 3;

// Reads the state through CurrentSystem(). remote_host is the remote host's state folder as a
// drive path ("r:\\remote-host"). A probe file is written and removed in r:\fromnt for the share's
// clock (named as the installation check's, which nothing takes, with signals held meanwhile);
// nothing else is written, no lock is taken, and the counter is read as it lies (it is only
// ever replaced whole). local_now_ms is this machine's clock, for when no probe can be made.
ExchangeState ReadExchangeState(const std::string& remote_host, std::int64_t local_now_ms);

// Whether name is N + suffix for a tracking number N as the program writes it ("41.DAT", "-3.out"),
// not "041.DAT" or "tN.DAT": the files of the exchange, as requests, answers and the remote host
// name them.
bool IsFileOfANumber(std::string_view name, std::string_view suffix);

// What asks for someone to act, one line each, with what to do; empty when nothing does.
struct Concern {
  bool act_now;  // requests go unanswered until someone acts
  std::string text;
};
std::vector<Concern> ConcernsOf(const ExchangeState& state);

}  // namespace trackrelay::check
