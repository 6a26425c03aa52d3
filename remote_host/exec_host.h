// The remote host that serves each request with the administrator's own command, as a web server
// serves CGI with a script, keeping the exchange's rules through failures and crashes. POSIX only.
#pragma once

// Here: its options and deadlines. Its state, the job pool and the serving are command_host.h
// (what a stop or a failure left, and the sweeps, in command_host_recovery.cc). The command's
// environment and its run are command_environment.h and command_run.h; the hand-over from request
// to answer, the order of its flushes and renames, is hand_over.h; its figures figures.h, its
// lines for the journal journal.h.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trackrelay::remote_host {

// The program stops looking kProgramWait (remote_host.h) after publishing its request. A command
// still running this long after its request was published is killed: the error page written in
// its place then lands two seconds before the program stops looking, time enough for a share's
// client to show it.
inline constexpr std::chrono::milliseconds kCommandDeadline{43000};
// Nothing is written for a request older than this: the program is about to stop looking, and
// an answer that landed later would wait for the next request of that number.
inline constexpr std::chrono::milliseconds kLastAnswer{44000};

// An answer that has stood in the inbound folder this long was left behind: the program that
// waited for it took it and died before deleting it (a power cut, a kill), or stopped waiting.
// No program waits this long (its wait ends at the latest 90 s after its request began, which
// was before it published the request), and the answer, someone's data, would stand on the share
// until the next request of its number removed it; so it is removed.
inline constexpr std::chrono::milliseconds kAnswerLeftBehind{120000};

// Bounds on what one request may cost: the request file read.
inline constexpr std::size_t kRequestLimit = 16u << 20;

struct CommandHostOptions {
  std::filesystem::path outbound;  // r:\fromnt as the remote host sees it
  std::filesystem::path inbound;   // r:\tont
  // The remote host's own folder: work/ holds the requests being served, error/ those that
  // failed, each with its reason. On the file system of the outbound folder.
  std::filesystem::path state;
  std::optional<std::filesystem::path> keep;  // a copy of each request served and its answer
  std::string command;
  int jobs = 4;
  // Kills a command this long after it started, before the deadline when sooner.
  std::optional<std::chrono::milliseconds> timeout;
  bool once = false;   // serve what is waiting now, then end
  bool quiet = false;  // no line for a request answered
  // Where the figures go, for a textfile collector (figures.h): rewritten every few seconds.
  std::optional<std::filesystem::path> metrics;
};

// Serves the outbound folder until a signal (SIGTERM, SIGINT, SIGHUP) ends it, or with once
// until what was waiting is served. Returns the exit status: 0, or 1 when with once a request
// failed, 2 when the folders cannot be served.
int ServeWithCommand(const CommandHostOptions& options);

}  // namespace trackrelay::remote_host
