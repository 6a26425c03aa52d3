// The remote host's figures for a monitoring system: what it served and failed and why, how long
// its commands took, what waits now, in the Prometheus text format for a textfile collector.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace trackrelay::remote_host {

// Why a request failed, as the value of the reason label: a fixed set that a query can group by,
// where the line on standard error says the rest (the status, the signal, the path).
enum class FailureKind {
  kCommandStatus,        // the command ended with another status than 0
  kCommandSignal,        // the command was ended by a signal
  kDeadline,             // the command was killed at its deadline (43 s after publication, or --timeout)
  kAnswerTooLarge,       // the command wrote more than the answer may hold
  kNotStarted,           // the command could not be started
  kNoCommandFree,        // every command was busy until the request's deadline
  kTakenTooLate,         // the request was taken too late to run its command
  kAnswerTooLate,        // the command's answer came after the program stopped waiting
  kRequestUnreadable,    // the request file is a link, no plain file, too large or unreadable
  kEarlierAnswerStands,  // an earlier request's answer stands and cannot be removed
  kAnswerNotWritten,     // the answer could not be written into the inbound folder
};
inline constexpr std::size_t kFailureKinds = 11;
// The reason label's value of a kind: "command_status", "deadline", ...
std::string_view FailureLabel(FailureKind kind);

// The upper bounds of the command-time histogram's buckets, in seconds; the last real one is the
// deadline, after which a command is killed.
inline constexpr std::array<double, 11> kCommandSecondsBuckets = {0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 20, 30, 43};

// What the figures count, for the exposition and for the tests.
struct FigureCounts {
  std::uint64_t answered = 0;
  std::array<std::uint64_t, kFailureKinds> failed{};
  std::array<std::uint64_t, kCommandSecondsBuckets.size()> command_buckets{};  // not cumulative
  std::uint64_t commands = 0;
  double command_seconds = 0;
  std::uint64_t answers_swept = 0;
  std::uint64_t earlier_answers_removed = 0;
  std::uint64_t unpublished_requests_swept = 0;
};

// The counters of one run of the remote host, kept from its start; the worker threads and the
// main loop count at once, so each event takes a lock.
class Figures {
 public:
  void Answered();
  void Failed(FailureKind kind);
  // A command that ran and ended, whatever its end; seconds from its start to its end.
  void CommandTook(double seconds);
  void AnswerSwept();
  void EarlierAnswerRemoved();
  void UnpublishedRequestSwept();

  FigureCounts Counts() const;
  // Goes up by one with each event, so that a writer knows when the counts have moved.
  std::uint64_t Events() const;

 private:
  mutable std::mutex mutex_;
  FigureCounts counts_;
  std::uint64_t events_ = 0;
};

// What stands now, besides the counts.
struct FigureGauges {
  std::size_t waiting = 0;  // requests taken into the work folder, waiting for a free command
  std::size_t running = 0;  // commands running now
  int jobs = 0;             // how many may run at once (--jobs)
  std::int64_t start_time_s = 0;  // when this run of the remote host started, in seconds since 1970
};

// The figures in the Prometheus text exposition format: each metric with its HELP and TYPE, every
// reason of failure there from the start (0 until it happens, so that a rate can be taken of it),
// and no timestamps, which a textfile collector refuses.
std::string FiguresText(const FigureCounts& counts, const FigureGauges& gauges);

// Puts text at path whole, as a textfile collector must find it: written to path + ".tmp" beside
// it (a name the collector never reads, and the next write's again when a stop cut this one
// short), made readable by everyone (figures hold no form input), and renamed over path. A link
// at the temporary name is replaced, never written through. Raises std::system_error.
void WriteFiguresFile(const std::filesystem::path& path, std::string_view text);

}  // namespace trackrelay::remote_host
