#include "remote_host/command_host.h"

#include <sys/stat.h>

#include <algorithm>

#include "platform/system.h"
#include "remote_host/hand_over.h"
#include "remote_host/remote_host.h"

namespace trackrelay::remote_host {

namespace fs = std::filesystem;

std::optional<WallClock::time_point> PublishedAt(const fs::path& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

// What a crash left in the work folder: a request whose answer was written but perhaps not
// published is finished, one whose command was running is served again; temporary answers
// of no request go.
//
// Also while it serves, every kSweepInterval, for the requests that no command serves now: one
// whose answer could not be written or published (a share's server that failed for a moment)
// would otherwise stay there, its number's later requests waiting behind it for good. It is
// served again while its program may still wait, else kept with the failed requests.
void CommandHost::Reconcile(bool after_stop) {
  std::vector<Request> again;
  std::set<std::string> answered;
  std::error_code error;
  for (fs::directory_iterator it(work_, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.ends_with(".answered")) {
      const std::optional<std::string> number = RequestNumberOf(name.substr(0, name.size() - 9) + ".DAT");
      if (!number || Serving(*number)) continue;
      answered.insert(*number);
      FinishAnswered(*number, it->path());
    } else if (const std::optional<std::string> number = RequestNumberOf(name)) {
      if (Serving(*number)) continue;
      if (const std::optional<WallClock::time_point> published = PublishedAt(it->path())) {
        again.push_back(Request{*number, it->path(), *published});
      }
    } else if (IsMisnamedRequest(name)) {
      SetAsideMisnamed(it->path());
    }
  }
  if (!after_stop) {
    ServeAgain(again, "left in " + work_.string() + " when its answer could not be written; served again");
    return;
  }
  RemoveAnswersLeftBehind();
  RemoveRequestsNeverPublished();
  for (fs::directory_iterator it(options_.inbound, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 6 || name[0] != 't' || !name.ends_with(".out")) continue;
    const std::optional<std::string> number = RequestNumberOf(name.substr(1, name.size() - 5) + ".DAT");
    if (number && !answered.contains(*number)) fs::remove(it->path(), error);
  }
  ServeAgain(again, "found in " + work_.string() + " after a stop, served again");
}

// Queues requests found in the work folder, the oldest first; a request too old for its program
// is then kept with the failed ones.
void CommandHost::ServeAgain(std::vector<Request>& again, const std::string& why) {
  std::sort(again.begin(), again.end(), [](const Request& a, const Request& b) { return a.published < b.published; });
  for (Request& request : again) {
    FinishTaking(request);
    // Its own answer was never written (it would be N.answered): an answer of its number that
    // stands is an earlier request's, and its program would relay it.
    try {
      ClearEarlierAnswer(request.number);
    } catch (const Failure& failure) {
      Failed(request, FailureKind::kEarlierAnswerStands,
             "an earlier request's answer stands and cannot be removed: " + Explained(failure), "");
      continue;
    }
    ReportRequest(request.number, "served_again", request.number + ": " + why, Line::kNotice);
    Queue(std::move(request));
  }
}

// Answers in the inbound folder that nobody took in time: an answer the program read and did
// not delete (its web server lost its power or was killed), or one it stopped waiting for.
void CommandHost::RemoveAnswersLeftBehind() {
  std::error_code error;
  const WallClock::time_point now = WallClock::now();
  for (fs::directory_iterator it(options_.inbound, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (!name.ends_with(".out")) continue;
    const std::optional<std::string> number = RequestNumberOf(name.substr(0, name.size() - 4) + ".DAT");
    const std::optional<WallClock::time_point> written = PublishedAt(it->path());
    if (!number || !written || now - *written < kAnswerLeftBehind) continue;
    const double stood = std::chrono::duration<double>(now - *written).count();
    try {
      CurrentSystem().RemoveFile(it->path().string());
      figures_.AnswerSwept();
      ReportRequest(*number, "answer_swept", *number + ": its answer, left in " + options_.inbound.string() + " for " +
                    Seconds(stood) + ", removed: no program waits for it, and the next request of the number would get it",
                    Line::kWarning, {{"TRACKRELAY_STOOD_SECONDS", Decimal(stood)}});
    } catch (const Failure& failure) {
      if (failure.number() != kFileNotFound) {
        ReportRequest(*number, "answer_not_swept", *number + ": its answer left behind cannot be removed: " +
                      Explained(failure), Line::kError, {{"TRACKRELAY_STOOD_SECONDS", Decimal(stood)}});
      }
    }
  }
}

// Temporary request files that no program will publish: a request killed between writing
// tN.DAT and its rename leaves the person's form input on the share for good, since the
// program removes a stale one only when its number is asked for again. One older than
// kAnswerLeftBehind belongs to no live request (a request writes and renames it within its
// first steps); should a new request of the number remove it and write its own in the very
// moment of this removal, that request ends at its step 3, and nothing leaks.
void CommandHost::RemoveRequestsNeverPublished() {
  std::error_code error;
  const WallClock::time_point now = WallClock::now();
  for (fs::directory_iterator it(options_.outbound, error), end; !error && it != end; it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 6 || name[0] != 't') continue;
    const std::optional<std::string> number = RequestNumberOf(name.substr(1));
    const std::optional<WallClock::time_point> written = PublishedAt(it->path());
    if (!number || !written || now - *written < kAnswerLeftBehind) continue;
    const double stood = std::chrono::duration<double>(now - *written).count();
    try {
      CurrentSystem().RemoveFile(it->path().string());
      figures_.UnpublishedRequestSwept();
      ReportRequest(*number, "unpublished_request_swept", *number + ": " + name +
                    ", a request file its program never published, left in " + options_.outbound.string() + " for " +
                    Seconds(stood) + ", removed: it holds a person's form input",
                    Line::kWarning, {{"TRACKRELAY_STOOD_SECONDS", Decimal(stood)}});
    } catch (const Failure& failure) {
      if (failure.number() != kFileNotFound) {
        ReportRequest(*number, "unpublished_request_not_swept", *number + ": " + name + " cannot be removed: " +
                      Explained(failure), Line::kError, {{"TRACKRELAY_STOOD_SECONDS", Decimal(stood)}});
      }
    }
  }
}

// A request whose answer had been written when the host stopped: its answer published now if
// it was still under its temporary name and the program may still wait for it; kept with the
// failed requests if it is too late for that.
void CommandHost::FinishAnswered(const std::string& number, const fs::path& marker) {
  const std::optional<WallClock::time_point> published = PublishedAt(marker);
  const bool in_time = published && WallClock::now() - *published < kLastAnswer;
  try {
    switch (remote_host::FinishAnswered(CurrentSystem(), HandOverOf(work_, options_.inbound, number), in_time)) {
      case Finish::kPublishedNow:
        ReportRequest(number, "answered", number + ": its answer, written before a stop or a failure, published now",
                      Line::kNotice);
        return;
      case Finish::kWasOut:
        return;
      case Finish::kTooLate:
        Failed(Request{number, marker, published.value_or(WallClock::time_point())}, FailureKind::kAnswerTooLate,
               "its answer, written before a stop, came too late for the program and was removed", "");
        return;
      case Finish::kLeft:
        ReportRequest(number, "left", number + ": " + (options_.inbound / ("t" + number + ".out")).string() +
                      " is no answer file of this host; it and " + marker.string() + " are left for you to look at",
                      Line::kError);
        return;
    }
  } catch (const Failure& failure) {
    ReportRequest(number, "left", number + ": its answer, written before a stop, cannot be finished: " +
                  Explained(failure) + "; the request stays in " + marker.string(), Line::kError);
  }
}

// Where the file system cannot rename without replacing, a request is taken by a second name
// in the work folder and then the removal of the first: a stop between the two leaves the
// request under both names. Served from the work folder and taken again from the outbound
// folder, it would be answered twice, and the second answer would wait for the next request
// of that number; so the move is finished first.
void CommandHost::FinishTaking(const Request& request) {
  const fs::path published = options_.outbound / request.file.filename();
  struct stat taken, left;
  if (lstat(request.file.c_str(), &taken) != 0 || lstat(published.c_str(), &left) != 0 ||
      taken.st_dev != left.st_dev || taken.st_ino != left.st_ino) {
    return;
  }
  try {
    CurrentSystem().RemoveFile(published.string());
    ReportRequest(request.number, "taken", request.number + ": its move into " + work_.string() +
                  ", cut short by a stop, finished", Line::kNotice);
  } catch (const Failure& failure) {
    ReportRequest(request.number, "left", request.number + ": " + published.string() +
                  " is a second name of the request in " + work_.string() + " and cannot be removed: " +
                  Explained(failure), Line::kError);
  }
}

// A file of a request's shape whose name is no tracking number, found in the work folder: a
// remote host of an older build took it there, and ran its command again at every start,
// since its answer's name could not be made. It is never served: it goes to the error folder
// under a short name, with its own name in the reason.
void CommandHost::SetAsideMisnamed(const fs::path& file) {
  const std::string name = file.filename().string();
  const WallClock::time_point now = WallClock::now();
  const std::string record = "a file named " + name + ", found in " + work_.string() + " " + UtcStamp(now, false) +
                             "\nits name is no tracking number as the program writes one: never served\n";
  std::string kept;
  try {
    KeepInErrors(file, UtcStamp(now, true) + "-misnamed", record, kept);
    Report(name + ": found in " + work_.string() +
           ", its name no tracking number as the program writes one: never served; kept as " + kept, Line::kWarning);
  } catch (const Failure& failure) {
    Report(name + ": found in " + work_.string() + ", its name no tracking number as the program writes one: " +
           "never served; " + (kept.empty() ? "it cannot be moved into " + errors_.string() : "kept as " + kept +
           ", its reason not written") + ": " + Explained(failure), Line::kError);
  }
}

}  // namespace trackrelay::remote_host
