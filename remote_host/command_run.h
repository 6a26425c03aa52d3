// Runs the administrator's command for one request: a shell in a process group of its own, its
// input given and its output collected, the whole group killed at its deadline. POSIX only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace trackrelay::remote_host {

// Bounds on what one command's run may keep.
inline constexpr std::size_t kAnswerLimit = 4u << 20;  // its standard output
inline constexpr std::size_t kErrorsKept = 16u << 10;  // of its standard error, for the record

// How a command's run ended.
struct CommandRun {
  enum class Ending {
    kExited,      // on its own; code is its exit status
    kSignalled,   // by a signal; code is the signal
    kDeadline,    // killed at the deadline
    kTooLarge,    // killed when its output passed kAnswerLimit
    kStopped,     // killed because the remote host is stopping
    kNotStarted,  // errors says why
  };
  Ending ending = Ending::kNotStarted;
  int code = 0;
  std::string output;
  std::string errors;  // the first kErrorsKept bytes of its standard error
  double seconds = 0;
};

// Runs command with /bin/sh -c in a process group of its own, input on its standard input, and
// collects its standard output. Done when the command has ended and its standard output is
// closed. At the deadline, when the output passes kAnswerLimit or when stop is set, the whole
// process group is killed.
CommandRun RunCommand(const std::string& command, std::string_view input, const std::vector<std::string>& environment,
                      std::chrono::steady_clock::time_point deadline, const std::atomic<bool>& stop);

}  // namespace trackrelay::remote_host
