#include "remote_host/exec_host.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "platform/system.h"
#include "remote_host/command_environment.h"
#include "remote_host/command_host.h"
#include "remote_host/command_run.h"
#include "remote_host/folder_pause.h"
#include "remote_host/hand_over.h"
#include "remote_host/remote_host.h"

namespace trackrelay::remote_host {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

namespace {

volatile sig_atomic_t stop_signal = 0;
extern "C" void OnStopSignal(int signal) { stop_signal = signal; }

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

}  // namespace

int CommandHost::Run() {
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

// The state folders, on the outbound folder's file system, and held by this host alone. They
// hold the whole form input of each request, error/ for good: each is made 0700 whatever the
// umask, and work/ and error/, which nobody else uses, are narrowed so where an older build
// made them wider. The state folder, when it was there before, is the administrator's.
bool CommandHost::Prepare() {
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

bool CommandHost::Refuse(const std::string& why) {
  Report(why, Line::kError);
  return false;
}

void CommandHost::TakeNew() {
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

void CommandHost::Queue(Request request) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    serving_.insert(request.number);
    waiting_.push_back(std::move(request));
  }
  ready_.notify_one();
}

bool CommandHost::Serving(const std::string& number) {
  std::lock_guard<std::mutex> hold(mutex_);
  return serving_.contains(number);
}

// The number's turn ends once its answer, or its error page, is out or will never be.
void CommandHost::Served(const std::string& number) {
  std::lock_guard<std::mutex> hold(mutex_);
  serving_.erase(number);
}

// Removes the answer of an earlier request of the number, before the next is taken or served
// again; said on the request's line, since it means that a program died or gave up waiting.
void CommandHost::ClearEarlierAnswer(const std::string& number) {
  const HandOver files = HandOverOf(work_, options_.inbound, number);
  if (RemoveEarlierAnswer(CurrentSystem(), files.answer, files.inbound)) {
    figures_.EarlierAnswerRemoved();
    ReportRequest(number, "earlier_answer_removed",
                  number + ": an earlier request's answer, never taken, removed before this request was taken",
                  Line::kWarning);
  }
}

// Requests still waiting for a free command at their deadline get the error page now.
void CommandHost::ExpireWaiting() {
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

bool CommandHost::Idle() {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiting_.empty() && busy_ == 0;
}

std::size_t CommandHost::Waiting() {
  std::lock_guard<std::mutex> hold(mutex_);
  return waiting_.size();
}

void CommandHost::Work() {
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

void CommandHost::Serve(const Request& request) {
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

int ServeWithCommand(const CommandHostOptions& options) { return CommandHost(options).Run(); }

}  // namespace trackrelay::remote_host
