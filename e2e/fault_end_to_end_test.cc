// The real executable with r: on a network share that fails while requests wait: its server
// killed or hung, its client killed, its disk full or made read-only, each brought about and then
// repaired by the share's harness (harness/shares/faults.sh). Every request must end in a fixed
// page within the wait's time limit and one blocked call, no temporary request file may stay
// behind, the counter must stay whole, and the first request after the repair must be served.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cgi/expected_pages.h"
#include "e2e/end_to_end.h"
#include "platform/testing/local_files.h"
#include "relay/tracking_request.h"

namespace trackrelay::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using expected::InternalErrorPage;
using expected::kHeader;
using expected::kTimeoutPage;

std::string Environment(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Whether the share's harness is at hand: TRACKRELAY_E2E_FAULTS names its script and
// TRACKRELAY_E2E_FAULTS_SHARE the share's folder (harness/shares/share_test.sh KIND TESTS faults).
bool FaultsAtHand() {
  return SharedDrive() && !Environment("TRACKRELAY_E2E_FAULTS").empty() &&
         !Environment("TRACKRELAY_E2E_FAULTS_SHARE").empty();
}

// Runs one action of the harness on the share and returns what it printed; a failed action
// fails the test.
std::string Harness(const std::string& action) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  const std::string script = Environment("TRACKRELAY_E2E_FAULTS"), share = Environment("TRACKRELAY_E2E_FAULTS_SHARE");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out[1], 1);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execlp("bash", "bash", script.c_str(), share.c_str(), action.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string printed;
  char buffer[256];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    printed.append(buffer, static_cast<std::size_t>(got));
  }
  close(out[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the share's harness failed to " << action;
  return printed;
}

// Writes the bytes to a new file at path and flushes them to its disk; false when any of it failed.
bool WrittenAndFlushed(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()) && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  return ok;
}

// The remote host, patient as a real one on its own disk: takes every request file, checks that
// it holds a whole request line, answers it after a delay, and tries again whatever the disk
// refuses (full, read-only) until the program would have stopped waiting. Numbers from 30000 up
// it takes and never answers.
// Requests taken before the fault are answered only once it has struck (FaultStruck): on a loaded
// machine the fault's action may take seconds, and its requests must still wait through it.
class PatientRemoteHost {
 public:
  static constexpr int kNeverAnsweredFrom = 30000;

  PatientRemoteHost(const DriveRoot& root, int delay_ms)
      : outbound_(root.Remote("r:\\fromnt")), inbound_(root.Remote("r:\\tont")), delay_(delay_ms),
        thread_([this] { Serve(); }) {}
  ~PatientRemoteHost() {
    stop_ = true;
    thread_.join();
  }
  // Answers the requests taken so far a delay from now, and every later one a delay after it
  // is taken.
  void FaultStruck() {
    std::lock_guard<std::mutex> hold(mutex_);
    struck_ = true;
    for (auto& entry : requests_) entry.second.due = std::min(entry.second.due, Clock::now() + std::chrono::milliseconds(delay_));
  }
  int Taken() {
    std::lock_guard<std::mutex> hold(mutex_);
    return static_cast<int>(requests_.size());
  }
  // Waits up to a bound until every request taken has been removed and every one due answered
  // or given up; true when it got there.
  bool Settle(double seconds) {
    const Clock::time_point start = Clock::now();
    while (SecondsSince(start) < seconds) {
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (std::all_of(requests_.begin(), requests_.end(), [](const auto& r) { return r.second.removed && r.second.done; })) {
          return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // When the answer to the request of this id (its "request=") landed, if it did.
  std::map<std::string, Clock::time_point> Landed() {
    std::lock_guard<std::mutex> hold(mutex_);
    std::map<std::string, Clock::time_point> landed;
    for (const auto& entry : requests_) {
      if (entry.second.landed != Clock::time_point{}) landed[entry.second.id] = entry.second.landed;
    }
    return landed;
  }
  // The answer a request line of this form gets under its number.
  static std::string AnswerTo(const std::string& number, const std::string& request_id) {
    return "<p>answer to " + number + " for request " + request_id + "</p>";
  }

 private:
  struct Request {
    std::string id;  // "request=" in the line, or empty when the line is broken
    Clock::time_point seen, due;
    bool removed = false;
    bool done = false;  // answered, or given up
    Clock::time_point landed;  // when its answer was renamed into place, if it was
  };

  void Serve() {
    while (!stop_) {
      TakeNew();
      std::lock_guard<std::mutex> hold(mutex_);
      for (auto& [number, request] : requests_) {
        std::error_code error;
        if (!request.removed) {
          fs::remove(outbound_ + "/" + number + ".DAT", error);
          request.removed = !error;
        }
        if (request.done || Clock::now() < request.due) continue;
        // The program waits at most 90 s; an answer that would come later is not written.
        if (std::stoi(number) >= kNeverAnsweredFrom || SecondsSince(request.seen) > 40) {
          request.done = true;
          continue;
        }
        const std::string page = request.id.empty() ? "<p>broken request " + number + "</p>" : AnswerTo(number, request.id);
        const std::string partial = inbound_ + "/t" + number + ".out";
        // Flushed before the rename, as the real remote host does: a client of a cluster file
        // system may take a write into its cache and lose it later (a full pool refuses it only
        // at the flush), and the rename would then publish an empty answer.
        if (!WrittenAndFlushed(partial, page)) continue;
        fs::rename(partial, inbound_ + "/" + number + ".out", error);
        request.done = !error;
        if (request.done) request.landed = Clock::now();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  void TakeNew() {
    std::error_code error;
    for (fs::directory_iterator it(outbound_, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename();
      if (name.size() < 5 || name.compare(name.size() - 4, 4, ".DAT") != 0 || name[0] == 't') continue;
      const std::string number = name.substr(0, name.size() - 4);
      {
        std::lock_guard<std::mutex> hold(mutex_);
        if (requests_.count(number) != 0) continue;
      }
      const std::optional<std::string> bytes = ReadLocalFile(it->path().string());
      if (!bytes) continue;
      const std::string& line = *bytes;
      Request request;
      const std::size_t at = line.find("&request=");
      if (line.rfind("TRACKNO=", 0) == 0 && at != std::string::npos && line.size() > 2 &&
          line.compare(line.size() - 2, 2, "\r\n") == 0) {
        request.id = line.substr(at + 9, line.size() - 2 - at - 9);
      }
      request.seen = Clock::now();
      std::lock_guard<std::mutex> hold(mutex_);
      request.due = struck_ ? request.seen + std::chrono::milliseconds(delay_) : Clock::time_point::max();
      requests_[number] = request;
    }
  }

  const std::string outbound_, inbound_;
  const int delay_;
  std::mutex mutex_;
  std::map<std::string, Request> requests_;
  bool struck_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A request on its way: run in a thread of its own from construction.
class Request {
 public:
  Request(const DriveRoot& root, std::string query, std::string id, const char* when)
      : query_(std::move(query)), id_(std::move(id)), when_(when), started_(Clock::now()),
        thread_([this, &root] {
          Invocation run;
          run.env = GetEnvironment(query_);
          outcome_ = RunTrackrelay(run, root);
        }) {}
  ~Request() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  const Outcome& outcome() const { return outcome_; }
  const std::string& id() const { return id_; }
  const char* when() const { return when_; }
  Clock::time_point started() const { return started_; }

 private:
  std::string query_, id_;
  const char* when_;
  Clock::time_point started_;
  Outcome outcome_;
  std::thread thread_;
};

// What a page is, when it is one of the fixed ones: "relayed" (its own answer), "relayed, then
// internal error N", "timeout" or "internal error N"; empty when it is none of them. number
// receives the tracking number of a relayed answer.
std::string KindOfPage(const std::string& page, const std::string& id, std::string& number) {
  if (page == kTimeoutPage) return "timeout";
  for (const char* step : {"0", "1", "2", "3", "4", "5", "6"}) {
    if (page == InternalErrorPage(step)) return std::string("internal error ") + step;
  }
  const std::string start = kHeader + "<p>answer to ";
  if (page.rfind(start, 0) != 0) return "";
  number = page.substr(start.size(), page.find(' ', start.size()) - start.size());
  const std::string relayed = kHeader + PatientRemoteHost::AnswerTo(number, id) + "\r\n\r\n";
  if (page == relayed) return "relayed";
  // An answer that could not be deleted, as on a share that is read-only by then.
  if (page == relayed + InternalErrorPage("6")) return "relayed, then internal error 6";
  return "";
}

struct Fault {
  const char* name;
  const char* inject;
  const char* repair;
  int hold_seconds;
  // A request that nobody answers waits through the fault as well: on a hung share it shows the
  // wait's time limit, which only a hang longer than 45 s reaches.
  bool with_unanswered;
  // The repair mounts the share anew: a request that waited through it had confined itself to
  // the folders of the mount before, and may not list the folder or open its answer on the new
  // one (POSIX).
  bool mounts_anew = false;
};

void PrintTo(const Fault& fault, std::ostream* out) { *out << fault.name; }

// Each kind of share goes through those that faults.sh lists for it (faults.sh DIR faults).
const Fault kFaults[] = {
    {"server_killed", "kill-server", "restart-server", 10, false},
    {"server_hung", "hang-server", "resume-server", 60, true},
    {"client_killed", "kill-client", "remount-client", 10, false, true},
    {"osd_killed", "kill-osd", "restart-osd", 10, false},
    {"share_full", "fill", "unfill", 10, false},
    {"share_read_only", "read-only", "writable", 10, false},
};

class ShareFaultEndToEnd : public ::testing::TestWithParam<Fault> {};

TEST_P(ShareFaultEndToEnd, EveryRequestEndsInAFixedPageInTimeAndTheNextIsServed) {
  if (!FaultsAtHand()) GTEST_SKIP() << "needs a share brought up for faults: harness/shares/share_test.sh KIND TESTS faults";
  const Fault& fault = GetParam();
  {
    std::istringstream names(Harness("faults"));
    std::set<std::string> of_this_kind{std::istream_iterator<std::string>(names), std::istream_iterator<std::string>()};
    if (of_this_kind.count(fault.name) == 0) GTEST_SKIP() << "this kind of share has no " << fault.name;
  }
  const int blocked_call = std::stoi(Harness("blocked-call-seconds"));
  // The wait's limit, one call that blocks, and the process's own start and end (Wine's take
  // seconds on a busy machine).
  const double limit = kLongestWaitMs / 1000.0 + blocked_call + (UnderWine() ? 10 : 5);

  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 100 \r\n");
  int allocations = 0;
  std::vector<std::unique_ptr<Request>> requests;
  auto launch = [&](const std::string& trackno, const char* when) {
    const std::string id = std::to_string(requests.size());
    if (trackno == "0") ++allocations;
    requests.push_back(std::make_unique<Request>(root, "TRACKNO=" + trackno + "&request=" + id, id, when));
  };
  Clock::time_point injected, repaired;
  std::unique_ptr<Request> after_repair;
  std::map<std::string, Clock::time_point> landed;
  {
    PatientRemoteHost remote(root, 2000);
    // Requests that wait when the fault strikes: their answers come during it.
    for (int i = 0; i < 3; ++i) launch("0", "waiting");
    if (fault.with_unanswered) launch(std::to_string(PatientRemoteHost::kNeverAnsweredFrom + 1), "waiting, unanswered");
    const int waiting = static_cast<int>(requests.size());
    const Clock::time_point launched = Clock::now();
    while (remote.Taken() < waiting && SecondsSince(launched) < 30) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(remote.Taken(), waiting) << "the requests were not published before the fault";

    Harness(fault.inject);
    injected = Clock::now();
    remote.FaultStruck();
    // Requests that arrive while it lasts.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    for (int i = 0; i < 2; ++i) launch("0", "arriving");
    std::this_thread::sleep_until(injected + std::chrono::seconds(fault.hold_seconds));
    Harness(fault.repair);
    repaired = Clock::now();
    // The first request after the repair, with no clean-up in between.
    after_repair = std::make_unique<Request>(root, "TRACKNO=0&request=after", "after", "after the repair");
    ++allocations;
    for (auto& request : requests) request->Join();
    after_repair->Join();
    EXPECT_TRUE(remote.Settle(20)) << "the remote host could not take and answer everything after the repair";
    landed = remote.Landed();
  }

  requests.push_back(std::move(after_repair));
  std::set<std::string> numbers;
  std::ostringstream table;
  for (const auto& request : requests) {
    const Outcome& out = request->outcome();
    std::string number;
    const std::string kind = KindOfPage(out.output, request->id(), number);
    const double started = std::chrono::duration<double>(request->started() - injected).count();
    table << "| " << fault.name << " | " << request->when() << " | " << (kind.empty() ? "NOT A FIXED PAGE" : kind)
          << " | " << out.seconds << " s |\n";
    EXPECT_EQ(out.exit_status, 0) << request->id();
    EXPECT_FALSE(kind.empty()) << "request " << request->id() << " (" << request->when() << ") got: " << out.output;
    EXPECT_LE(out.seconds, limit) << "request " << request->id() << " started " << started << " s after the fault";
    if (!number.empty()) {
      EXPECT_TRUE(numbers.insert(number).second) << "number " << number << " handed out twice";
    }
    if (std::string(request->when()) == "waiting") {
      // Its answer lands on the share mounted anew, out of the confined request's reach: the
      // page of the step that opens it, or, where the share folds case and the look must list
      // the folder to find the answer's stored name, no answer found before the looks run out.
      if (fault.mounts_anew && !UnderWine() && (kind == "internal error 4" || kind == "timeout")) continue;
      // An answer that landed while the request still looked is relayed. One that could not
      // land before its looks ran out gets the timeout page: a hang longer than the 450 looks'
      // 45 s on a server the remote host too writes through, or a server that a loaded machine
      // took so long to bring back that the remote host gave up on its 40 s. Either way the looks
      // were all made: a timeout page never comes before 45 s.
      const Clock::time_point ended = request->started() + std::chrono::duration_cast<Clock::duration>(
                                                               std::chrono::duration<double>(out.seconds));
      const auto answer = landed.find(request->id());
      const bool in_time = answer != landed.end() && answer->second + std::chrono::seconds(1) < ended;
      // When it landed is the responder's clock after its rename returned, which a loaded machine
      // may read a second or two late: only an answer that landed well after the request ended
      // (or never) was surely out of its reach.
      const bool too_late = answer == landed.end() || answer->second > ended + std::chrono::seconds(2);
      if (in_time || too_late) {
        EXPECT_EQ(kind, in_time ? "relayed" : "timeout")
            << "request " << request->id() << " waited through the fault for its answer, which "
            << (answer == landed.end() ? "never landed"
                                       : "landed " + std::to_string(std::chrono::duration<double>(answer->second - injected).count()) +
                                             " s after the fault");
      } else {
        EXPECT_TRUE(kind == "relayed" || kind == "timeout") << "request " << request->id() << ": " << kind;
      }
      if (kind == "timeout") {
        EXPECT_GE(out.seconds, kLooksBeforeTimeout * kPollIntervalMs / 1000.0) << request->id();
      }
    }
    if (std::string(request->when()) == "waiting, unanswered") {
      EXPECT_EQ(kind, "timeout") << request->id();
    }
    if (std::string(request->when()) == "after the repair") {
      EXPECT_EQ(kind, "relayed") << "the first request after the repair, " << SecondsSince(repaired) << " s after it";
    }
  }
  std::cout << "| fault | request | page | took |\n" << table.str() << std::flush;

  // Nothing of the program's own stays on the share: no temporary request file, and every
  // request file published was taken by the remote host.
  EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{});
  // The counter handed out a number to every request that asked for one, and holds the next.
  std::string counter = " ";
  counter += std::to_string(100 + allocations) + " \r\n";
  EXPECT_EQ(root.Read("c:\\woe\\track.txt"), counter);
  std::cout << "left in the inbound folder:";
  for (const std::string& name : root.List("r:\\tont")) std::cout << " " << name;
  std::cout << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Faults, ShareFaultEndToEnd, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace trackrelay::e2e
