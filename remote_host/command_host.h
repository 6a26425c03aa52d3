// The --exec remote host's state and its members, in three files: serving (exec_host.cc), what a
// stop or a failure left and the sweeps (command_host_recovery.cc), each request's outcome (command_host_outcome.cc).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"
#include "remote_host/exec_host.h"
#include "remote_host/figures.h"
#include "remote_host/journal.h"

namespace trackrelay::remote_host {

using WallClock = std::chrono::system_clock;

// Seconds to the millisecond, as the journal's fields carry them: "1.250"; and with " s", as the
// lines say them.
std::string Decimal(double seconds);
std::string Seconds(double seconds);
double SecondsSince(WallClock::time_point at);
// "2026-12-10 16:18:08.250 UTC", or for a file's name "20261210T161808.250Z".
std::string UtcStamp(WallClock::time_point at, bool for_file_name);
// A failure as a line says it: its message and its number.
std::string Explained(const Failure& failure);
// When the program published the request: the time its file was last written, which a rename
// keeps. The remote host works where the files are, so the clock that stamped it is its own.
std::optional<WallClock::time_point> PublishedAt(const std::filesystem::path& path);

class CommandHost {
 public:
  explicit CommandHost(const CommandHostOptions& options)
      : options_(options), work_(options.state / "work"), errors_(options.state / "error"),
        lines_("trackrelay-remote-host"), started_(WallClock::now()) {}

  // Serves until a signal, or with once until what was waiting is served: ServeWithCommand.
  int Run();

 private:
  using SteadyClock = std::chrono::steady_clock;

  struct Request {
    std::string number;
    std::filesystem::path file;  // in the work folder
    WallClock::time_point published;
  };

  // Serving (exec_host.cc): the folders made and locked, requests taken into the work folder,
  // queued and served by the jobs, one request of a number at a time.
  bool Prepare();
  bool Refuse(const std::string& why);
  void TakeNew();
  void Queue(Request request);
  bool Serving(const std::string& number);
  void Served(const std::string& number);
  void ClearEarlierAnswer(const std::string& number);
  void ExpireWaiting();
  bool Idle();
  std::size_t Waiting();
  void Work();
  void Serve(const Request& request);

  // What a stop or a failure left, and the sweeps of files left behind (command_host_recovery.cc):
  // at the start, and every kSweepInterval while serving.
  static constexpr std::chrono::seconds kSweepInterval{10};
  void Reconcile(bool after_stop);
  void ServeAgain(std::vector<Request>& again, const std::string& why);
  void RemoveAnswersLeftBehind();
  void RemoveRequestsNeverPublished();
  void FinishAnswered(const std::string& number, const std::filesystem::path& marker);
  void FinishTaking(const Request& request);
  void SetAsideMisnamed(const std::filesystem::path& file);

  // Each request's outcome, the lines and the figures (command_host_outcome.cc).
  void Answered(const Request& request, const std::string& content, const std::string& page, double seconds);
  void Failed(const Request& request, FailureKind kind, const std::string& reason, const std::string& errors,
              std::optional<double> command_seconds = std::nullopt);
  void KeepInErrors(const std::filesystem::path& file, const std::string& stem, const std::string& record,
                    std::string& kept);
  void Count();
  void Report(const std::string& text, int priority = Line::kInfo);
  void ReportRequest(const std::string& number, std::string_view outcome, const std::string& text, int priority,
                     std::vector<JournalField> fields = {});
  void Report(const Line& line);
  std::array<std::uint64_t, 3> FiguresNow();
  bool FiguresDue();
  void WriteFigures();

  // The figures are written at the start, within a second of a change (an event, or a request
  // that starts or stops waiting or running), at least every few seconds (so that their file's
  // time tells a collector that this host still runs), and at the end.
  static constexpr std::chrono::seconds kFiguresInterval{5};
  static constexpr std::chrono::seconds kFiguresAfterChange{1};

  const CommandHostOptions& options_;
  const std::filesystem::path work_, errors_;
  Lines lines_;
  Figures figures_;
  const WallClock::time_point started_;
  // Of the main loop alone.
  SteadyClock::time_point figures_written_at_;
  std::array<std::uint64_t, 3> figures_written_{};
  std::string figures_problem_;
  int lock_ = -1;  // held until the process ends
  std::mutex mutex_, report_mutex_;
  std::condition_variable ready_;
  std::deque<Request> waiting_;
  int busy_ = 0;
  int failed_ = 0;
  bool stopping_ = false;
  std::atomic<bool> stop_{false};
  std::set<std::string> stuck_;
  // The numbers whose request is in the work folder, from its take to the end of its serving.
  std::set<std::string> serving_;
};

}  // namespace trackrelay::remote_host
