#include "remote_host/figures.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

namespace trackrelay::remote_host {

namespace {

constexpr std::string_view kFailureLabels[kFailureKinds] = {
    "command_status",    "command_signal",      "deadline",         "answer_too_large",
    "command_not_started", "no_command_free",   "taken_too_late",   "answer_too_late",
    "request_unreadable", "earlier_answer_stands", "answer_not_written",
};

// A number as the exposition format takes it: integers as they are, others to nine digits.
std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.9g", value);
  return text;
}

void Family(std::string& text, std::string_view name, std::string_view type, std::string_view help) {
  text.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& text, std::string_view name, std::string_view labels, const std::string& value) {
  text.append(name);
  if (!labels.empty()) text.append("{").append(labels).append("}");
  text.append(" ").append(value).append("\n");
}

[[noreturn]] void Raise(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

std::string_view FailureLabel(FailureKind kind) { return kFailureLabels[static_cast<std::size_t>(kind)]; }

void Figures::Answered() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++counts_.answered;
  ++events_;
}

void Figures::Failed(FailureKind kind) {
  std::lock_guard<std::mutex> hold(mutex_);
  ++counts_.failed[static_cast<std::size_t>(kind)];
  ++events_;
}

void Figures::CommandTook(double seconds) {
  std::lock_guard<std::mutex> hold(mutex_);
  for (std::size_t i = 0; i < kCommandSecondsBuckets.size(); ++i) {
    if (seconds <= kCommandSecondsBuckets[i]) {
      ++counts_.command_buckets[i];
      break;
    }
  }
  ++counts_.commands;
  counts_.command_seconds += seconds;
  ++events_;
}

void Figures::AnswerSwept() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++counts_.answers_swept;
  ++events_;
}

void Figures::EarlierAnswerRemoved() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++counts_.earlier_answers_removed;
  ++events_;
}

void Figures::UnpublishedRequestSwept() {
  std::lock_guard<std::mutex> hold(mutex_);
  ++counts_.unpublished_requests_swept;
  ++events_;
}

FigureCounts Figures::Counts() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return counts_;
}

std::uint64_t Figures::Events() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return events_;
}

std::string FiguresText(const FigureCounts& counts, const FigureGauges& gauges) {
  std::string text;
  constexpr std::string_view kAnswered = "trackrelay_remote_host_requests_answered_total";
  Family(text, kAnswered, "counter", "Requests served with their command's answer.");
  Sample(text, kAnswered, "", std::to_string(counts.answered));

  constexpr std::string_view kFailed = "trackrelay_remote_host_requests_failed_total";
  Family(text, kFailed, "counter",
         "Requests that failed, by reason; the program got the error page while it still waited.");
  for (std::size_t i = 0; i < kFailureKinds; ++i) {
    Sample(text, kFailed, "reason=\"" + std::string(kFailureLabels[i]) + "\"", std::to_string(counts.failed[i]));
  }

  constexpr std::string_view kSeconds = "trackrelay_remote_host_command_duration_seconds";
  Family(text, kSeconds, "histogram", "How long each command ran, from its start to its end, whatever its end.");
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kCommandSecondsBuckets.size(); ++i) {
    cumulative += counts.command_buckets[i];
    Sample(text, std::string(kSeconds) + "_bucket", "le=\"" + Number(kCommandSecondsBuckets[i]) + "\"",
           std::to_string(cumulative));
  }
  Sample(text, std::string(kSeconds) + "_bucket", "le=\"+Inf\"", std::to_string(counts.commands));
  Sample(text, std::string(kSeconds) + "_sum", "", Number(counts.command_seconds));
  Sample(text, std::string(kSeconds) + "_count", "", std::to_string(counts.commands));

  constexpr std::string_view kSwept = "trackrelay_remote_host_answers_swept_total";
  Family(text, kSwept, "counter",
         "Answers removed from the inbound folder after standing 2 minutes: their programs died or gave up.");
  Sample(text, kSwept, "", std::to_string(counts.answers_swept));

  constexpr std::string_view kEarlier = "trackrelay_remote_host_earlier_answers_removed_total";
  Family(text, kEarlier, "counter",
         "Answers of an earlier request of a number removed before the next was taken: their programs died or gave up.");
  Sample(text, kEarlier, "", std::to_string(counts.earlier_answers_removed));

  constexpr std::string_view kUnpublished = "trackrelay_remote_host_unpublished_requests_swept_total";
  Family(text, kUnpublished, "counter",
         "Temporary request files removed from the outbound folder after standing 2 minutes: their requests were "
         "killed before they published them.");
  Sample(text, kUnpublished, "", std::to_string(counts.unpublished_requests_swept));

  constexpr std::string_view kWaiting = "trackrelay_remote_host_requests_waiting";
  Family(text, kWaiting, "gauge", "Requests taken into the work folder and waiting for a free command.");
  Sample(text, kWaiting, "", std::to_string(gauges.waiting));

  constexpr std::string_view kRunning = "trackrelay_remote_host_commands_running";
  Family(text, kRunning, "gauge", "Commands running now.");
  Sample(text, kRunning, "", std::to_string(gauges.running));

  constexpr std::string_view kJobs = "trackrelay_remote_host_commands_limit";
  Family(text, kJobs, "gauge", "How many commands may run at once (--jobs).");
  Sample(text, kJobs, "", std::to_string(gauges.jobs));

  constexpr std::string_view kStart = "trackrelay_remote_host_start_time_seconds";
  Family(text, kStart, "gauge", "When this run of the remote host started, in seconds since 1970.");
  Sample(text, kStart, "", std::to_string(gauges.start_time_s));
  return text;
}

void WriteFiguresFile(const std::filesystem::path& path, std::string_view text) {
  const std::filesystem::path partial = path.string() + ".tmp";
  // Whatever a stop left at the temporary name goes first: a link there is never written through.
  if (unlink(partial.c_str()) != 0 && errno != ENOENT) Raise("cannot remove " + partial.string());
  const int fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) Raise("cannot create " + partial.string());
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t wrote = write(fd, text.data() + written, text.size() - written);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote < 0) {
      const int error = errno;
      close(fd);
      unlink(partial.c_str());
      errno = error;
      Raise("cannot write " + partial.string());
    }
    written += static_cast<std::size_t>(wrote);
  }
  // The collector runs as a user of its own; the umask must not keep it out.
  int error = fchmod(fd, 0644) == 0 ? 0 : errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    unlink(partial.c_str());
    errno = error;
    Raise("cannot write " + partial.string());
  }
  if (rename(partial.c_str(), path.c_str()) != 0) {
    error = errno;
    unlink(partial.c_str());
    errno = error;
    Raise("cannot rename " + partial.string() + " to " + path.string());
  }
}

}  // namespace trackrelay::remote_host
