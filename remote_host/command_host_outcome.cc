#include "remote_host/command_host.h"

#include <time.h>

#include <cstdio>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/system.h"
#include "remote_host/command_environment.h"
#include "remote_host/hand_over.h"

namespace trackrelay::remote_host {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

std::string Decimal(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", seconds);
  return text;
}

std::string Seconds(double seconds) { return Decimal(seconds) + " s"; }

double SecondsSince(WallClock::time_point at) { return std::chrono::duration<double>(WallClock::now() - at).count(); }

std::string UtcStamp(WallClock::time_point at, bool for_file_name) {
  const std::time_t seconds = WallClock::to_time_t(at);
  std::tm utc;
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof text, for_file_name ? "%Y%m%dT%H%M%S" : "%Y-%m-%d %H:%M:%S", &utc);
  const auto ms = std::chrono::duration_cast<milliseconds>(at.time_since_epoch()).count() % 1000;
  char full[80];
  std::snprintf(full, sizeof full, for_file_name ? "%s.%03lldZ" : "%s.%03lld UTC", text, static_cast<long long>(ms));
  return full;
}

std::string Explained(const Failure& failure) { return failure.message() + " (" + std::to_string(failure.number()) + ")"; }

// Publishes page as the answer to request, or nothing when it is too late for the program;
// the hand-over's order (hand_over.h) makes sure that a crash or a power cut at any step
// leaves the request to serve again or the whole answer, and never both to be answered twice.
void CommandHost::Answered(const Request& request, const std::string& content, const std::string& page, double seconds) {
  std::string holder = request.file.string();
  try {
    if (options_.keep) {
      // Kept for good, with the whole form input: for this host's user alone.
      CurrentSystem().WriteTextFile((*options_.keep / (request.number + ".DAT")).string(), content, Readers::kOwner);
      CurrentSystem().WriteTextFile((*options_.keep / (request.number + ".out")).string(), page, Readers::kOwner);
    }
    if (WallClock::now() - request.published >= kLastAnswer) {
      Failed(request, FailureKind::kAnswerTooLate, "the command's answer came too late for the program", "", seconds);
      return;
    }
    AnswerRequest(CurrentSystem(), HandOverOf(work_, options_.inbound, request.number), page, holder);
  } catch (const Failure& failure) {
    const std::string reason = "its answer cannot be written: " + Explained(failure);
    figures_.Failed(FailureKind::kAnswerNotWritten);
    ReportRequest(request.number, "failed", request.number + ": FAILED: " + reason +
                  (holder.empty() ? "" : "; the request stays in " + holder + ", to be served again"), Line::kError,
                  {{"TRACKRELAY_FAILURE", std::string(FailureLabel(FailureKind::kAnswerNotWritten))},
                   {"TRACKRELAY_REASON", reason},
                   {"TRACKRELAY_COMMAND_SECONDS", Decimal(seconds)},
                   {"TRACKRELAY_SINCE_PUBLICATION_SECONDS", Decimal(SecondsSince(request.published))}});
    Count();
    return;
  }
  figures_.Answered();
  if (!options_.quiet) {
    const double since = SecondsSince(request.published);
    ReportRequest(request.number, "answered",
                  request.number + ": answered, " + Seconds(seconds) + " (" + Seconds(since) + " after publication)",
                  Line::kInfo,
                  {{"TRACKRELAY_COMMAND_SECONDS", Decimal(seconds)},
                   {"TRACKRELAY_SINCE_PUBLICATION_SECONDS", Decimal(since)}});
  }
}

// The request goes to the error folder with its reason; the program gets the error page when
// it still waits. command_seconds: how long its command ran, when it ran.
void CommandHost::Failed(const Request& request, FailureKind kind, const std::string& reason,
                         const std::string& errors, std::optional<double> command_seconds) {
  const WallClock::time_point now = WallClock::now();
  std::string kept;
  std::string record = "request " + request.number + ", published " + UtcStamp(request.published, false) +
                       ", failed " + UtcStamp(now, false) + "\n" + reason + "\n";
  if (!errors.empty()) record += "the command's standard error (its first 16 KiB):\n" + errors + "\n";
  try {
    KeepInErrors(request.file, UtcStamp(now, true) + "-" + request.number, record, kept);
  } catch (const Failure& failure) {
    ReportRequest(request.number, "not_kept", request.number + ": cannot be moved into " + errors_.string() + ": " +
                  Explained(failure), Line::kError);
  }
  std::string answered = "no answer: the program no longer waits";
  if (WallClock::now() - request.published < kLastAnswer) {
    try {
      const HandOver files = HandOverOf(work_, options_.inbound, request.number);
      PublishAnswer(CurrentSystem(), files.partial, files.answer, ErrorPage(request.number));
      answered = "the error page written";
    } catch (const Failure& failure) {
      answered = "the error page cannot be written: " + Explained(failure);
    }
  }
  figures_.Failed(kind);
  std::vector<JournalField> fields = {{"TRACKRELAY_FAILURE", std::string(FailureLabel(kind))},
                                      {"TRACKRELAY_REASON", reason}};
  if (command_seconds) fields.push_back({"TRACKRELAY_COMMAND_SECONDS", Decimal(*command_seconds)});
  fields.push_back({"TRACKRELAY_SINCE_PUBLICATION_SECONDS", Decimal(SecondsSince(request.published))});
  if (!kept.empty()) fields.push_back({"TRACKRELAY_KEPT", kept});
  ReportRequest(request.number, "failed",
                request.number + ": FAILED: " + reason + "; " + answered + (kept.empty() ? "" : "; kept as " + kept),
                Line::kError, std::move(fields));
  Count();
}

// Moves file into the error folder as STEM.DAT, with record beside it as STEM.reason; STEM is
// stem, and a count after it when another file took that name in the same millisecond. kept
// is the path it is kept as once it is moved, even when its reason then cannot be written.
void CommandHost::KeepInErrors(const fs::path& file, const std::string& stem, const std::string& record,
                               std::string& kept) {
  for (int attempt = 1; kept.empty(); ++attempt) {
    // Appended rather than joined by +, which GCC 12 misreads here as an overlapping copy.
    std::string name = stem;
    if (attempt > 1) name.append("-").append(std::to_string(attempt));
    try {
      CurrentSystem().RenameNoReplace(file.string(), (errors_ / (name + ".DAT")).string());
    } catch (const Failure& failure) {
      if (failure.number() != kFileAlreadyExists || attempt >= 100) throw;
      continue;
    }
    kept = (errors_ / (name + ".DAT")).string();
    CurrentSystem().WriteTextFile((errors_ / (name + ".reason")).string(), record, Readers::kOwner);
  }
}

void CommandHost::Count() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++failed_;
}

void CommandHost::Report(const std::string& text, int priority) {
Report(Line{text, priority, {}});
}

// A line about one request: its number and what became of it (answered, failed, ...) are fields
// of their own in the journal, for a query to select by.
void CommandHost::ReportRequest(const std::string& number, std::string_view outcome, const std::string& text,
                                int priority, std::vector<JournalField> fields) {
  fields.insert(fields.begin(), {{"TRACKRELAY_NUMBER", number}, {"TRACKRELAY_OUTCOME", std::string(outcome)}});
  Report(Line{text, priority, std::move(fields)});
}

void CommandHost::Report(const Line& line) {
  std::lock_guard<std::mutex> hold(report_mutex_);
  lines_.Say(line);
}

// What moves the figures: the events counted, and the requests waiting and running.
std::array<std::uint64_t, 3> CommandHost::FiguresNow() {
  std::lock_guard<std::mutex> hold(mutex_);
  return {figures_.Events(), waiting_.size(), static_cast<std::uint64_t>(busy_)};
}

bool CommandHost::FiguresDue() {
  if (!options_.metrics) return false;
  const SteadyClock::duration since = SteadyClock::now() - figures_written_at_;
  return since >= kFiguresInterval || (since >= kFiguresAfterChange && FiguresNow() != figures_written_);
}

void CommandHost::WriteFigures() {
  if (!options_.metrics) return;
  const std::array<std::uint64_t, 3> now = FiguresNow();
  FigureGauges gauges;
  gauges.waiting = now[1];
  gauges.running = now[2];
  gauges.jobs = options_.jobs;
  gauges.start_time_s = std::chrono::duration_cast<std::chrono::seconds>(started_.time_since_epoch()).count();
  figures_written_at_ = SteadyClock::now();
  try {
    WriteFiguresFile(*options_.metrics, FiguresText(figures_.Counts(), gauges));
    figures_written_ = now;
    if (!figures_problem_.empty()) Report("the figures are written to " + options_.metrics->string() + " again");
    figures_problem_.clear();
  } catch (const std::system_error& problem) {
    // Said once, not at every write: serving goes on without them.
    if (problem.what() != figures_problem_) {
      figures_problem_ = problem.what();
      Report("the figures cannot be written: " + figures_problem_ + "; serving goes on without them", Line::kWarning);
    }
  }
}

}  // namespace trackrelay::remote_host
