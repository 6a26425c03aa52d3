#include "remote_host/exec_host.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <utility>

#include "platform/failure.h"
#include "platform/system.h"
#include "remote_host/command_environment.h"
#include "remote_host/command_run.h"
#include "remote_host/figures.h"
#include "remote_host/folder_pause.h"
#include "remote_host/hand_over.h"
#include "remote_host/journal.h"
#include "remote_host/remote_host.h"

namespace trackrelay::remote_host {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

namespace {

volatile sig_atomic_t stop_signal = 0;
extern "C" void OnStopSignal(int signal) { stop_signal = signal; }

// Seconds to the millisecond, as the journal's fields carry them: "1.250".
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

// The bytes of a request file, which must be a plain file: a link or a pipe put in its place is
// never followed or waited on.
std::string ReadRequest(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ELOOP) throw std::runtime_error("is a link, which is never followed");
  if (fd < 0) throw std::runtime_error(std::string("cannot be opened: ") + std::strerror(errno));
  std::string bytes;
  struct stat st;
  try {
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) throw std::runtime_error("is not a plain file");
    char buffer[65536];
    for (;;) {
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) throw std::runtime_error(std::string("cannot be read: ") + std::strerror(errno));
      if (got == 0) break;
      if (bytes.size() + static_cast<std::size_t>(got) > kRequestLimit) {
        throw std::runtime_error("is larger than " + std::to_string(kRequestLimit >> 20) + " MiB");
      }
      bytes.append(buffer, static_cast<std::size_t>(got));
    }
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
  return bytes;
}

// When the program published the request: the time its file was last written, which a rename
// keeps. The remote host works where the files are, so the clock that stamped it is its own.
std::optional<WallClock::time_point> PublishedAt(const fs::path& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return std::nullopt;
  return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
}

std::string Explained(const Failure& failure) { return failure.message() + " (" + std::to_string(failure.number()) + ")"; }

class CommandHost {
 public:
  explicit CommandHost(const CommandHostOptions& options)
      : options_(options), work_(options.state / "work"), errors_(options.state / "error"),
        lines_("trackrelay-remote-host"), started_(WallClock::now()) {}

  int Run() {
    if (!Prepare()) return 2;
    struct sigaction on_stop {};
    on_stop.sa_handler = OnStopSignal;  // no SA_RESTART: a pause or a wait ends at once
    sigemptyset(&on_stop.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &on_stop, nullptr);
    // A command that stops reading its input must not end this host.
    signal(SIGPIPE, SIG_IGN);

    Report("serving " + options_.outbound.string() + " with " + std::to_string(options_.jobs) +
           (options_.jobs == 1 ? " command" : " commands") + " at a time: " + options_.command);
    Reconcile(true);
    WriteFigures();
    std::vector<std::thread> workers;
    for (int i = 0; i < options_.jobs; ++i) workers.emplace_back([this] { Work(); });
    FolderPause pause(options_.outbound);
    bool first_look = true;
    SteadyClock::time_point last_sweep = SteadyClock::now();
    while (stop_signal == 0) {
      if (!options_.once || first_look) TakeNew();
      first_look = false;
      ExpireWaiting();
      if (SteadyClock::now() - last_sweep >= kSweepInterval) {
        RemoveAnswersLeftBehind();
        RemoveRequestsNeverPublished();
        Reconcile(false);
        last_sweep = SteadyClock::now();
      }
      if (options_.once && Idle()) break;
      if (FiguresDue()) WriteFigures();
      pause.Wait(milliseconds(50));
    }
    // Set before the workers learn that the host is stopping, so that none takes a request then.
    stop_ = stop_signal != 0;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      stopping_ = true;
    }
    ready_.notify_all();
    for (std::thread& worker : workers) worker.join();
    if (stop_signal != 0) {
      const std::size_t left = Waiting();
      Report("stopped by signal " + std::to_string(stop_signal) + (left > 0 ? "; " + std::to_string(left) +
             " request(s) in " + work_.string() + " are served at the next start" : ""), Line::kNotice);
    }
    WriteFigures();
    return options_.once && failed_ > 0 ? 1 : 0;
  }

 private:
  struct Request {
    std::string number;
    fs::path file;  // in the work folder
    WallClock::time_point published;
  };

  // The state folders, on the outbound folder's file system, and held by this host alone. They
  // hold the whole form input of each request, error/ for good: each is made 0700 whatever the
  // umask, and work/ and error/, which nobody else uses, are narrowed so where an older build
  // made them wider. The state folder, when it was there before, is the administrator's.
  bool Prepare() {
    std::error_code error;
    if (const fs::path above = options_.state.parent_path(); !above.empty()) fs::create_directories(above, error);
    for (const fs::path* folder : {&options_.state, &work_, &errors_}) {
      if (!error && mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) error.assign(errno, std::generic_category());
      if (!error && !fs::is_directory(*folder, error) && !error) error = std::make_error_code(std::errc::not_a_directory);
      if (error) return Refuse("cannot make " + work_.string() + " and " + errors_.string() + ": " + error.message());
    }
    for (const fs::path* folder : {&work_, &errors_}) {
      struct stat st;
      if (stat(folder->c_str(), &st) == 0 && (st.st_mode & 077) != 0 && chmod(folder->c_str(), 0700) != 0) {
        Report("cannot keep " + folder->string() + " to this host's user (" + std::strerror(errno) +
               "): whoever may enter it reads the requests in it", Line::kWarning);
      }
    }
    struct stat work, outbound;
    if (stat(work_.c_str(), &work) != 0 || stat(options_.outbound.c_str(), &outbound) != 0 ||
        !S_ISDIR(outbound.st_mode)) {
      return Refuse("no folder " + options_.outbound.string());
    }
    if (work.st_dev != outbound.st_dev) {
      return Refuse("the state folder " + options_.state.string() + " must be on the file system of " +
                    options_.outbound.string() + ", so that a request moves into it in one rename");
    }
    struct stat inbound;
    if (stat(options_.inbound.c_str(), &inbound) != 0 || !S_ISDIR(inbound.st_mode)) {
      return Refuse("no folder " + options_.inbound.string());
    }
    const fs::path lock = options_.state / "lock";
    lock_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lock_ < 0 || flock(lock_, LOCK_EX | LOCK_NB) != 0) {
      return Refuse("another remote host serves with " + options_.state.string() + " (" + lock.string() +
                    " is locked), or it cannot be locked");
    }
    return true;
  }

  bool Refuse(const std::string& why) {
    Report(why, Line::kError);
    return false;
  }

  // What a crash left in the work folder: a request whose answer was written but perhaps not
  // published is finished, one whose command was running is served again; temporary answers
  // of no request go.
  //
  // Also while it serves, every kSweepInterval, for the requests that no command serves now: one
  // whose answer could not be written or published (a share's server that failed for a moment)
  // would otherwise stay there, its number's later requests waiting behind it for good. It is
  // served again while its program may still wait, else kept with the failed requests.
  void Reconcile(bool after_stop) {
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
  void ServeAgain(std::vector<Request>& again, const std::string& why) {
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

  // How often the inbound folder is looked through for answers left behind.
  static constexpr std::chrono::seconds kSweepInterval{10};

  // Answers in the inbound folder that nobody took in time: an answer the program read and did
  // not delete (its web server lost its power or was killed), or one it stopped waiting for.
  void RemoveAnswersLeftBehind() {
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
  void RemoveRequestsNeverPublished() {
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
  void FinishAnswered(const std::string& number, const fs::path& marker) {
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
  void FinishTaking(const Request& request) {
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

  void TakeNew() {
    std::error_code error;
    std::set<std::string> seen;
    for (fs::directory_iterator it(options_.outbound, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      const std::optional<std::string> number = RequestNumberOf(name);
      if (!number) {
        // Somebody else's file of a request's shape: no request waits for its answer. Said once
        // while it stays.
        if (IsMisnamedRequest(name)) {
          seen.insert(name);
          if (stuck_.insert(name).second) {
            Report(name + ": not taken: its name is no tracking number as the program writes one; left in " +
                   options_.outbound.string() + " for you to remove", Line::kWarning);
          }
        }
        continue;
      }
      seen.insert(name);
      // A number's requests are served one at a time, from the take to the answer's publication:
      // this one waits its turn in the outbound folder, also behind one of its number left in the
      // work folder (N.DAT there refuses the take; N.answered is looked for).
      if (stuck_.contains(name) || Serving(*number) || fs::exists(work_ / (*number + ".answered"))) continue;
      const fs::path taken = work_ / name;
      try {
        ClearEarlierAnswer(*number);
      } catch (const Failure& failure) {
        // Taken now, this request's program would relay the earlier answer as its own.
        ReportRequest(*number, "not_taken", *number + ": not taken: an earlier request's answer stands in " +
                      options_.inbound.string() + " and cannot be removed: " + Explained(failure), Line::kError);
        stuck_.insert(name);
        continue;
      }
      try {
        // Without replacing: the work folder may hold a request of the number that a stop left.
        TakeRequest(CurrentSystem(), it->path().string(), taken.string());
      } catch (const Failure& failure) {
        // Taken by nobody else, so gone only with an outbound folder that went.
        if (failure.number() == kFileNotFound) continue;
        if (failure.number() != kFileAlreadyExists) {
          ReportRequest(*number, "not_taken", *number + ": cannot be taken into " + work_.string() + ": " +
                        Explained(failure), Line::kError);
          stuck_.insert(name);
        }
        continue;
      }
      const std::optional<WallClock::time_point> published = PublishedAt(taken);
      Queue(Request{*number, taken, published.value_or(WallClock::now())});
    }
    if (error) Report("cannot look into " + options_.outbound.string() + ": " + error.message(), Line::kError);
    std::erase_if(stuck_, [&](const std::string& name) { return !seen.contains(name); });
  }

  void Queue(Request request) {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      serving_.insert(request.number);
      waiting_.push_back(std::move(request));
    }
    ready_.notify_one();
  }

  bool Serving(const std::string& number) {
    std::lock_guard<std::mutex> hold(mutex_);
    return serving_.contains(number);
  }

  // The number's turn ends once its answer, or its error page, is out or will never be.
  void Served(const std::string& number) {
    std::lock_guard<std::mutex> hold(mutex_);
    serving_.erase(number);
  }

  // Removes the answer of an earlier request of the number, before the next is taken or served
  // again; said on the request's line, since it means that a program died or gave up waiting.
  void ClearEarlierAnswer(const std::string& number) {
    const HandOver files = HandOverOf(work_, options_.inbound, number);
    if (RemoveEarlierAnswer(CurrentSystem(), files.answer, files.inbound)) {
      figures_.EarlierAnswerRemoved();
      ReportRequest(number, "earlier_answer_removed",
                    number + ": an earlier request's answer, never taken, removed before this request was taken",
                    Line::kWarning);
    }
  }

  // Requests still waiting for a free command at their deadline get the error page now.
  void ExpireWaiting() {
    std::vector<Request> expired;
    {
      std::lock_guard<std::mutex> hold(mutex_);
      const WallClock::time_point now = WallClock::now();
      for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (now - it->published >= kCommandDeadline) {
          expired.push_back(std::move(*it));
          it = waiting_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const Request& request : expired) {
      Failed(request, FailureKind::kNoCommandFree,
             "no command was free before the deadline (" + std::to_string(options_.jobs) + " running)", "");
      Served(request.number);
    }
  }

  bool Idle() {
    std::lock_guard<std::mutex> hold(mutex_);
    return waiting_.empty() && busy_ == 0;
  }

  std::size_t Waiting() {
    std::lock_guard<std::mutex> hold(mutex_);
    return waiting_.size();
  }

  void Work() {
    for (;;) {
      Request request;
      {
        std::unique_lock<std::mutex> hold(mutex_);
        ready_.wait(hold, [&] { return stopping_ || !waiting_.empty(); });
        if (waiting_.empty() || stop_) return;
        request = std::move(waiting_.front());
        waiting_.pop_front();
        ++busy_;
      }
      Serve(request);
      std::lock_guard<std::mutex> hold(mutex_);
      --busy_;
      serving_.erase(request.number);
    }
  }

  void Serve(const Request& request) {
    // A request stamped ahead of this clock is taken as just published.
    const auto age = std::max(WallClock::now() - request.published, WallClock::duration::zero());
    if (age >= kCommandDeadline) {
      Failed(request, FailureKind::kTakenTooLate,
             "taken " + Seconds(std::chrono::duration<double>(age).count()) + " after its publication", "");
      return;
    }
    std::string content;
    try {
      content = ReadRequest(request.file);
    } catch (const std::exception& problem) {
      Failed(request, FailureKind::kRequestUnreadable, std::string("the request file ") + problem.what(), "");
      return;
    }
    const std::string_view form_input = FormInputOf(content);
    const SteadyClock::time_point now = SteadyClock::now();
    SteadyClock::time_point deadline = now + std::chrono::duration_cast<SteadyClock::duration>(kCommandDeadline - age);
    const bool by_timeout = options_.timeout && now + *options_.timeout < deadline;
    if (by_timeout) deadline = now + *options_.timeout;
    const CommandRun run =
        RunCommand(options_.command, form_input, CommandEnvironment(request.number, form_input, environ), deadline, stop_);
    const std::string took = " after " + Seconds(run.seconds);
    if (run.ending != CommandRun::Ending::kNotStarted && run.ending != CommandRun::Ending::kStopped) {
      figures_.CommandTook(run.seconds);
    }
    switch (run.ending) {
      case CommandRun::Ending::kExited:
        if (run.code == 0) {
          Answered(request, content, WithCrLfLineEnds(run.output), run.seconds);
        } else {
          Failed(request, FailureKind::kCommandStatus, "the command ended with status " + std::to_string(run.code) + took,
                 run.errors, run.seconds);
        }
        return;
      case CommandRun::Ending::kSignalled:
        Failed(request, FailureKind::kCommandSignal, "the command was ended by signal " + std::to_string(run.code) + took,
               run.errors, run.seconds);
        return;
      case CommandRun::Ending::kDeadline:
        Failed(request, FailureKind::kDeadline,
               "the command was killed" + took + ", at the deadline (" +
                   (by_timeout ? std::string("--timeout") : "43 s after publication") + ")",
               run.errors, run.seconds);
        return;
      case CommandRun::Ending::kTooLarge:
        Failed(request, FailureKind::kAnswerTooLarge,
               "the command's answer passed " + std::to_string(kAnswerLimit >> 20) + " MiB; killed" + took, run.errors,
               run.seconds);
        return;
      case CommandRun::Ending::kNotStarted:
        Failed(request, FailureKind::kNotStarted, "the command could not be started: " + run.errors, "");
        return;
      case CommandRun::Ending::kStopped:
        ReportRequest(request.number, "stopped", request.number + ": its command was stopped with the remote host; "
                      "the request stays in " + work_.string() + " for the next start", Line::kNotice,
                      {{"TRACKRELAY_COMMAND_SECONDS", Decimal(run.seconds)}});
        return;
    }
  }

  // Publishes page as the answer to request, or nothing when it is too late for the program;
  // the hand-over's order (hand_over.h) makes sure that a crash or a power cut at any step
  // leaves the request to serve again or the whole answer, and never both to be answered twice.
  void Answered(const Request& request, const std::string& content, const std::string& page, double seconds) {
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
  void Failed(const Request& request, FailureKind kind, const std::string& reason, const std::string& errors,
              std::optional<double> command_seconds = std::nullopt) {
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
  void KeepInErrors(const fs::path& file, const std::string& stem, const std::string& record, std::string& kept) {
    for (int attempt = 1; kept.empty(); ++attempt) {
      const std::string name = stem + (attempt > 1 ? "-" + std::to_string(attempt) : "");
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

  // A file of a request's shape whose name is no tracking number, found in the work folder: a
  // remote host of an older build took it there, and ran its command again at every start,
  // since its answer's name could not be made. It is never served: it goes to the error folder
  // under a short name, with its own name in the reason.
  void SetAsideMisnamed(const fs::path& file) {
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

  void Count() {
    std::lock_guard<std::mutex> hold(mutex_);
    ++failed_;
  }

  void Report(const std::string& text, int priority = Line::kInfo) { Report(Line{text, priority, {}}); }

  // A line about one request: its number and what became of it (answered, failed, ...) are fields
  // of their own in the journal, for a query to select by.
  void ReportRequest(const std::string& number, std::string_view outcome, const std::string& text, int priority,
                     std::vector<JournalField> fields = {}) {
    fields.insert(fields.begin(), {{"TRACKRELAY_NUMBER", number}, {"TRACKRELAY_OUTCOME", std::string(outcome)}});
    Report(Line{text, priority, std::move(fields)});
  }

  void Report(const Line& line) {
    std::lock_guard<std::mutex> hold(report_mutex_);
    lines_.Say(line);
  }

  // The figures are written at the start, within a second of a change (an event, or a request
  // that starts or stops waiting or running), at least every few seconds (so that their file's
  // time tells a collector that this host still runs), and at the end.
  static constexpr std::chrono::seconds kFiguresInterval{5};
  static constexpr std::chrono::seconds kFiguresAfterChange{1};

  // What moves the figures: the events counted, and the requests waiting and running.
  std::array<std::uint64_t, 3> FiguresNow() {
    std::lock_guard<std::mutex> hold(mutex_);
    return {figures_.Events(), waiting_.size(), static_cast<std::uint64_t>(busy_)};
  }

  bool FiguresDue() {
    if (!options_.metrics) return false;
    const SteadyClock::duration since = SteadyClock::now() - figures_written_at_;
    return since >= kFiguresInterval || (since >= kFiguresAfterChange && FiguresNow() != figures_written_);
  }

  void WriteFigures() {
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

  const CommandHostOptions& options_;
  const fs::path work_, errors_;
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

}  // namespace

int ServeWithCommand(const CommandHostOptions& options) { return CommandHost(options).Run(); }

}  // namespace trackrelay::remote_host
