// The remote host that serves each request with the administrator's own command, as a web server
// serves CGI with a script, keeping the exchange's rules through failures and crashes. POSIX only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trackrelay::remote_host {

// How long the program waits for an answer after publishing its request: 450 looks, 100 ms
// apart. The exchange fixes this; a remote host knows it from there.
inline constexpr std::chrono::milliseconds kProgramWait{45000};
// A command still running this long after its request was published is killed: the error page
// written in its place then lands two seconds before the program stops looking, time enough for
// a share's client to show it.
inline constexpr std::chrono::milliseconds kCommandDeadline{43000};
// Nothing is written for a request older than this: the program is about to stop looking, and
// an answer that landed later would wait for the next request of that number.
inline constexpr std::chrono::milliseconds kLastAnswer{44000};

// An answer that has stood in the inbound folder this long was left behind: the program that
// waited for it took it and died before deleting it (a power cut, a kill), or stopped waiting.
// No program waits this long (its wait ends 90 s after its first look at the latest), and left
// there it would be relayed to the next request of that number; so it is removed.
inline constexpr std::chrono::milliseconds kAnswerLeftBehind{120000};

// Bounds on what one request may cost.
inline constexpr std::size_t kRequestLimit = 16u << 20;  // the request file read
inline constexpr std::size_t kAnswerLimit = 4u << 20;    // the command's standard output
inline constexpr std::size_t kErrorsKept = 16u << 10;    // of its standard error, for the record
// Form fields in the environment: a variable at most, and all of them together.
inline constexpr std::size_t kFieldLimit = 32u << 10;
inline constexpr std::size_t kFieldsLimit = 256u << 10;

// The command's environment: the inherited one without variables named FORM_... or
// TRACKRELAY_NUMBER and TRACKRELAY_FIELDS, then TRACKRELAY_NUMBER (the number as in the file
// names), FORM_name for each decoded field whose name is 1 to 64 letters, digits and
// underscores (repeated fields joined by ";", as the program's lookup joins them), and
// TRACKRELAY_FIELDS, those names in order, separated by spaces. Any other name (one that holds a
// character a shell cannot name, "=", a NUL) is left out, as is a value that holds a NUL, a
// variable beyond kFieldLimit and any field once the fields reach kFieldsLimit; the raw form
// input on standard input has them all. The prefix keeps a field from setting PATH,
// LD_PRELOAD or the like.
std::vector<std::string> CommandEnvironment(std::string_view number, std::string_view form_input,
                                            const char* const* inherited);

// The command's output as the program reads lines: each LF, CR LF or lone CR made CR LF, and
// the last line ended so too.
std::string WithCrLfLineEnds(std::string_view output);

// The fixed page written in place of an answer that the command could not give in time.
std::string ErrorPage(std::string_view number);

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
};

// Serves the outbound folder until a signal (SIGTERM, SIGINT, SIGHUP) ends it, or with once
// until what was waiting is served. Returns the exit status: 0, or 1 when with once a request
// failed, 2 when the folders cannot be served.
int ServeWithCommand(const CommandHostOptions& options);

}  // namespace trackrelay::remote_host
