// Several web servers on one cluster file system, each reaching c:\woe and r: through a client of
// its own, the remote host on a client of its own: the real executable, run as each web server
// runs it. Only where the harness names a farm (harness/shares/farm_test.sh); skipped otherwise.
#include "e2e/end_to_end.h"

#include "cgi/expected_pages.h"
#include "relay/tracking_request.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace trackrelay::e2e {
namespace {

using expected::InternalErrorPage;
using expected::kHeader;
using expected::kTimeoutPage;
using Clock = std::chrono::steady_clock;

// A helper's patience, in the milliseconds MillisecondsUntil counts.
constexpr int kPatienceMs = static_cast<int>(std::chrono::milliseconds(kHelperPatience).count());

// The byte of c:\woe\track.claims that the counter's lock takes, and the claims' slots.
constexpr off_t kCounterLockByte = 65536;
off_t ClaimByte(int number) { return number + 32768; }

Invocation Get(const std::string& query) {
  Invocation run;
  run.env = GetEnvironment(query);
  return run;
}

#define REQUIRE_FARM()                                                                            \
  do {                                                                                            \
    if (!FarmOfWebServers()) GTEST_SKIP() << "no farm of web servers on a cluster file system"; \
  } while (0)

// The tracking number on a relayed page of the simulator, or -1.
int NumberOn(const std::string& page) {
  const std::size_t at = page.find("<h1>Tracking number ");
  return at == std::string::npos ? -1 : std::atoi(page.c_str() + at + 20);
}

// The counter as the program writes it for next.
std::string CounterText(int next) {
  std::string text(next < 0 ? 0 : 1, ' ');
  return text.append(std::to_string(next)).append(" \r\n");
}

// A name made of a prefix and numbers, such as "r3s1".
std::string Named(std::string name, int first, const char* between = "", int second = -1) {
  name.append(std::to_string(first));
  if (second >= 0) name.append(between).append(std::to_string(second));
  return name;
}

// Whether a page is the simulator's answer to the request whose field client was who.
bool OwnPage(const std::string& page, const std::string& who) {
  return page.rfind(kHeader, 0) == 0 && NumberOn(page) != -1 &&
         page.find("<tr><td>client</td><td>" + who + "</td></tr>") != std::string::npos;
}

// Whether some process holds a lock on the byte of the file at path, as its file server says to
// a client that asks (here the remote host's).
bool ByteLocked(const std::string& path, off_t byte) {
  const int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = byte;
  probe.l_len = 1;
  const bool locked = fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  close(fd);
  return locked;
}

// Whether a started run has ended, without collecting it.
bool Ended(const StartedRun& run) {
  siginfo_t info{};
  return waitid(P_PID, run.pid(), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == run.pid();
}

// Milliseconds from since until done() holds, asked every millisecond for up to limit_ms; -1 when
// it never did.
template <typename Done>
double MillisecondsUntil(Done done, int limit_ms, Clock::time_point since) {
  while (!done()) {
    if (Clock::now() - since > std::chrono::milliseconds(limit_ms)) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

// The bytes of a file, "<missing>", or "<unreadable>" when the file was replaced while it was
// read (a client of the volume may open a file only at its first read).
std::string Contents(const std::string& path) {
  try {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), {});
  } catch (const std::exception&) {
    return "<unreadable>";
  }
}

// A request with TRACKNO=0 stopped (SIGSTOP) while it holds the counter's lock, on the given web
// server: requests are started and stopped the moment the lock shows held until one is caught
// holding it (the others are killed; each may have taken a number). tries counts them all.
std::optional<StartedRun> CatchHoldingTheCounterLock(const DriveRoot& server, const std::string& claims, int& tries) {
  for (tries = 1; tries <= 300; ++tries) {
    StartedRun run = StartTrackrelay(Get("TRACKNO=0&client=caught"), server);
    while (!ByteLocked(claims, kCounterLockByte) && !Ended(run)) {
    }
    kill(run.pid(), SIGSTOP);
    if (!Ended(run) && ByteLocked(claims, kCounterLockByte)) return run;
    kill(run.pid(), SIGKILL);
    run.Wait();
  }
  return std::nullopt;
}

// Requests started on each web server of the farm at once, with the client field "sI-K" (server I,
// request K); their outcomes, by client field, once all have ended.
struct Burst {
  std::vector<std::string> who;
  std::vector<StartedRun> runs;
  std::vector<Outcome> outcomes;

  Burst(const Farm& farm, int each, const std::string& tag) {
    for (int k = 0; k < each; ++k) {
      for (std::size_t s = 0; s < farm.size(); ++s) {
        who.push_back(Named(tag, static_cast<int>(s), "-", k));
        runs.push_back(StartTrackrelay(Get("TRACKNO=0&client=" + who.back()), farm.server(s)));
      }
    }
  }
  void Wait() {
    for (StartedRun& run : runs) outcomes.push_back(run.Wait());
  }
};

// Whether a request gave up its wait for the counter's lock: internal error 1, once its 30 s were
// up, and never before. Under Wine a farm hands out a number in about half a second (each of its
// calls is many round trips to the file server), so that of 100 requests a web server at once the
// last still wait when their time is up; a loaded machine does the same to the POSIX build. How
// many numbers a farm hands out in a second is the benchmarks' to measure.
// How many requests or rounds a case runs: under Wine a request on the farm takes about 5 s against
// a fraction of a second in the POSIX build (a Windows call walks every name of its path, each step
// a round trip to the file server). The races these cases look for are the file server's and the
// claim's, which the POSIX build runs at full count; under Wine fewer show that the Windows build's
// calls keep the same rules. The soaks run them for longer (harness/soak/).
int Count(int posix, int wine) { return UnderWine() ? wine : posix; }

bool OutOfTimeForTheLock(const Outcome& outcome) {
  return outcome.output == InternalErrorPage("1") && outcome.seconds >= kLongestLockWaitMs / 1000.0;
}

// Every page its own, every number once, within [first, last], but for requests that gave up
// their wait for the counter's lock (OutOfTimeForTheLock); how many pages were their own.
int ExpectOwnPagesAndDistinctNumbers(const Burst& burst, int first, int last, const std::string& what) {
  std::set<int> numbers;
  int wrong = 0, out_of_time = 0;
  for (std::size_t i = 0; i < burst.outcomes.size(); ++i) {
    const std::string& page = burst.outcomes[i].output;
    if (OutOfTimeForTheLock(burst.outcomes[i])) {
      ++out_of_time;
      continue;
    }
    if (!OwnPage(page, burst.who[i])) {
      if (++wrong <= 3) {
        ADD_FAILURE() << what << ": request " << burst.who[i] << " (exit status " << burst.outcomes[i].exit_status
                      << ", " << burst.outcomes[i].seconds << " s) got: " << page.substr(0, 400);
      }
      continue;
    }
    numbers.insert(NumberOn(page));
  }
  EXPECT_EQ(wrong, 0) << what << ": pages not their own";
  EXPECT_EQ(numbers.size(), burst.outcomes.size() - wrong - out_of_time) << what << ": a number was handed out twice";
  if (!numbers.empty()) {
    EXPECT_GE(*numbers.begin(), first) << what;
    EXPECT_LE(*numbers.rbegin(), last) << what;
  }
  double slowest = 0;
  for (const Outcome& outcome : burst.outcomes) slowest = std::max(slowest, outcome.seconds);
  std::printf("%s: %zu pages of their own, %d requests gave up their wait for the counter's lock; the slowest "
              "request took %.1f s\n",
              what.c_str(), numbers.size(), out_of_time, slowest);
  return static_cast<int>(numbers.size());
}

TEST(FarmEndToEnd, EveryRequestOfEveryWebServerGetsAPageAndANumberOfItsOwn) {
  REQUIRE_FARM();
  // 20 a web server, as a burst of 40 first showed numbers handed out twice; then 100 each, but
  // under Wine, where most of the first 20 already give up their wait for the counter's lock.
  const std::vector<int> bursts = UnderWine() ? std::vector<int>{20} : std::vector<int>{20, 100};
  for (int each : bursts) {
    const int first = 1000;
    Farm farm(CounterText(first));
    ASSERT_GE(farm.size(), 2u);
    Burst burst(farm, each, "s");
    {
      RemoteHostSimulator remote(farm.server(0));
      burst.Wait();
    }
    const std::string what = Named("", each).append(" requests a web server");
    const int total = each * static_cast<int>(farm.size());
    const int served = ExpectOwnPagesAndDistinctNumbers(burst, first, first + total - 1, what);
    EXPECT_GT(served, 0) << what << ": the counter's lock never passed on";
    // A request that gave up its wait took no number.
    EXPECT_EQ(farm.server(0).Read("c:\\woe\\track.txt"), CounterText(first + served)) << what;
    EXPECT_EQ(farm.server(0).List("c:\\woe"), (std::vector<std::string>{"track.claims", "track.txt"})) << what;
    EXPECT_EQ(farm.server(0).List("r:\\fromnt"), std::vector<std::string>{}) << what;
    EXPECT_EQ(farm.server(0).List("r:\\tont"), std::vector<std::string>{}) << what;
  }
}

TEST(FarmEndToEnd, ANumberTypedOnEveryWebServerAtOnceNeverCrossesAnswers) {
  REQUIRE_FARM();
  Farm farm(CounterText(1));
  RemoteHostSimulator remote(farm.server(0));
  int own = 0, busy = 0;
  const int rounds = Count(50, 10);
  for (int round = 0; round < rounds; ++round) {
    std::vector<StartedRun> runs;
    std::vector<std::string> who;
    for (std::size_t s = 0; s < farm.size(); ++s) {
      who.push_back(Named("r", round, "s", static_cast<int>(s)));
      runs.push_back(StartTrackrelay(Get("TRACKNO=7&client=" + who.back()), farm.server(s)));
    }
    for (std::size_t s = 0; s < runs.size(); ++s) {
      const std::string page = runs[s].Wait().output;
      // The number's claim, or its request file still waiting, sends the other away with page 3.
      if (page == InternalErrorPage("3")) {
        ++busy;
      } else {
        EXPECT_TRUE(OwnPage(page, who[s])) << "round " << round << ", web server " << s << ": " << page.substr(0, 400);
        EXPECT_EQ(NumberOn(page), 7);
        ++own;
      }
    }
  }
  std::printf("one number on %zu web servers, %d rounds: %d own pages, %d sent away with page 3\n", farm.size(),
              rounds, own, busy);
  EXPECT_GE(own, rounds) << "each round served one request at least";
  EXPECT_EQ(farm.server(0).Read("c:\\woe\\track.txt"), CounterText(1)) << "a given number leaves the counter alone";
}

// Asked again at once through the same web server, after the remote host has removed the last
// request file of the number through its own client: the rename that never replaces must not see
// that request file still there, as a client that keeps names for a second would show it.
TEST(FarmEndToEnd, ANumberAskedAgainAtOnceIsServedEveryTime) {
  REQUIRE_FARM();
  Farm farm(CounterText(1));
  RemoteHostSimulator remote(farm.server(0));
  for (int round = 0; round < Count(30, 10); ++round) {
    const std::string who = Named("again", round);
    const std::string page = RunTrackrelay(Get("TRACKNO=9&client=" + who), farm.server(0)).output;
    EXPECT_TRUE(OwnPage(page, who)) << "round " << round << ": " << page.substr(0, 400);
  }
}

// A request killed on one web server while the remote host makes its answer (here 1.5 s late)
// leaves that answer to come; the next request of its number, on the other web server, gets its
// own, whether the earlier answer lands first or while the next waits its turn.
TEST(FarmEndToEnd, AnAnswerForARequestThatDiedNeverReachesTheNextOfItsNumberOnAnotherWebServer) {
  REQUIRE_FARM();
  Farm farm(CounterText(1));
  // Where the remote host keeps a copy of each request it takes, so that the test sees the take.
  const std::string kept = farm.server(0).path() + "/kept";
  RemoteHostSimulator remote(farm.server(0), {"--delay", "1500", "--keep", kept});
  for (const bool earlier_lands_first : {true, false}) {
    const std::string name = earlier_lands_first ? "the earlier answer lands first" : "the next waits its turn";
    std::filesystem::remove(kept + "/31.DAT");
    StartedRun dying = StartTrackrelay(Get("TRACKNO=31&client=dying"), farm.server(0));
    // Taken by the remote host, its answer under way: waited for as long as a helper waits, or
    // until the request has ended.
    MillisecondsUntil([&] { return std::filesystem::exists(kept + "/31.DAT") || Ended(dying); }, kPatienceMs,
                      Clock::now());
    if (!std::filesystem::exists(kept + "/31.DAT")) {
      const bool ended = Ended(dying);
      kill(dying.pid(), SIGKILL);
      FAIL() << name << ": the request was never taken" << (ended ? "; it ended: " : "; it still ran")
             << dying.Wait().output.substr(0, 400);
    }
    kill(dying.pid(), SIGKILL);
    dying.Wait();
    if (earlier_lands_first) {
      ASSERT_GE(MillisecondsUntil([&] { return farm.server(1).Exists("r:\\tont\\31.out"); }, kPatienceMs, Clock::now()), 0)
          << name;
    }
    const std::string page = RunTrackrelay(Get("TRACKNO=31&client=next"), farm.server(1)).output;
    EXPECT_TRUE(OwnPage(page, "next")) << name << ": " << page.substr(0, 400);
  }
}

TEST(FarmEndToEnd, ARequestKilledWhileItHoldsTheCounterLockHoldsUpNobody) {
  REQUIRE_FARM();
  const int first = 2000;
  Farm farm(CounterText(first));
  const std::string claims = farm.server(0).Remote("c:\\woe\\track.claims");
  int tries = 0;
  std::optional<StartedRun> caught = CatchHoldingTheCounterLock(farm.server(0), claims, tries);
  ASSERT_TRUE(caught.has_value()) << "no request was caught holding the counter's lock";
  RemoteHostSimulator remote(farm.server(0));
  Burst burst(farm, 10, "w");
  // They all wait for the lock that the stopped request holds.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  int ended = 0;
  for (const StartedRun& run : burst.runs) ended += Ended(run);
  EXPECT_EQ(ended, 0) << "requests went on beside the lock's holder";
  // The lock passes to a waiter at once, so that it never shows free; the counter moving on
  // shows that a waiter had it.
  const std::string counter_path = farm.server(0).Remote("c:\\woe\\track.txt");
  const std::string counter_before = Contents(counter_path);
  const Clock::time_point killed = Clock::now();
  kill(caught->pid(), SIGKILL);
  const double moved_on = MillisecondsUntil(
      [&] {
        const std::string counter = Contents(counter_path);
        return counter != counter_before && counter != "<unreadable>";
      },
      10000, killed);
  EXPECT_EQ(caught->Wait().exit_status, 128 + SIGKILL);
  burst.Wait();
  const double all_served = std::chrono::duration<double>(Clock::now() - killed).count();
  std::printf("request killed holding the counter's lock (caught at try %d): a waiter's number taken %.1f ms after"
              " the kill, %zu waiting requests served within %.2f s\n",
              tries, moved_on, burst.runs.size(), all_served);
  EXPECT_GE(moved_on, 0) << "the lock never passed on";
  // Each try may have taken a number before it was caught or killed.
  const int total = static_cast<int>(burst.runs.size());
  const int served = ExpectOwnPagesAndDistinctNumbers(burst, first, first + tries + total - 1, "after the kill");
  const std::string counter = farm.server(0).Read("c:\\woe\\track.txt");
  const int next = std::atoi(counter.c_str());
  EXPECT_EQ(counter, CounterText(next)) << "the counter is whole";
  EXPECT_GE(next, first + served);
  EXPECT_LE(next, first + tries + total);
}

// Ends the session of the farm's client of the given name at the file server, as an administrator
// ends a dead web server's (harness/shares/faults.sh evict-client-NAME, nothing where the file server
// keeps no session of a dead client); the status of the harness, 0 when it did.
int EvictDeadClient(const std::string& name) {
  const char* script = std::getenv("TRACKRELAY_E2E_FAULTS");
  const char* share = std::getenv("TRACKRELAY_E2E_FAULTS_SHARE");
  if (script == nullptr || share == nullptr) return 0;
  const std::string command =
      std::string("bash '") + script + "' '" + share + "' evict-client-" + name + " </dev/null >/dev/null";
  return std::system(command.c_str());
}

// The pid of the FUSE client (glusterfs, ceph-fuse) mounted at mount point, or -1.
pid_t ClientOf(const std::string& mount_point) {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream file(entry.path() / "cmdline", std::ios::binary);
    std::vector<std::string> args;
    for (std::string arg; std::getline(file, arg, '\0');) args.push_back(arg);
    const std::string program = args.empty() ? "" : std::filesystem::path(args.front()).filename().string();
    if (args.size() >= 2 && (program == "glusterfs" || program == "ceph-fuse") && args.back() == mount_point) {
      return std::atoi(name.c_str());
    }
  }
  return -1;
}

// A web server whose whole client of the volume dies mid-request (killed, as when its machine
// fails), while one of its requests holds the counter's lock and another the claim of a number:
// the file server lets both go, and the other web servers go on. Its own requests end in a fixed
// page. Run apart (FarmClientKilled): the first web server's client is gone afterwards.
TEST(FarmClientKilled, AWebServerWhoseClientDiesHoldsUpNobodyElse) {
  REQUIRE_FARM();
  const int first = 3000;
  Farm farm(CounterText(first));
  ASSERT_GE(farm.size(), 2u);
  const DriveRoot &dying = farm.server(0), &other = farm.server(1);
  const std::string claims = other.Remote("c:\\woe\\track.claims");
  const pid_t client = ClientOf(farm.client(0));
  ASSERT_GT(client, 0) << "no FUSE client at " << farm.client(0);
  // No remote host yet: the request of 77 waits, holding its claim.
  StartedRun waiting = StartTrackrelay(Get("TRACKNO=77&client=dying77"), dying);
  ASSERT_GE(MillisecondsUntil([&] { return other.Exists("r:\\fromnt\\77.DAT"); }, kPatienceMs, Clock::now()), 0);
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=77&client=early77"), other).output, InternalErrorPage("3"))
      << "the claim holds across web servers";
  int tries = 0;
  std::optional<StartedRun> caught = CatchHoldingTheCounterLock(dying, claims, tries);
  ASSERT_TRUE(caught.has_value()) << "no request was caught holding the counter's lock";
  StartedRun allocating = StartTrackrelay(Get("TRACKNO=0&client=other0"), other);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(Ended(allocating)) << "a request went on beside the lock's holder";

  // The other web server's request waits for the lock and takes it as soon as it is let go; the
  // counter moving on shows when. The claim has no waiter: it shows free.
  const std::string counter_path = other.Remote("c:\\woe\\track.txt");
  const std::string counter_before = Contents(counter_path);
  const Clock::time_point killed = Clock::now();
  ASSERT_EQ(kill(client, SIGKILL), 0);
  // A file server that keeps a dead client's session (CephFS, until session_timeout) holds its
  // locks and claims with it: the administrator evicts it, as docs/deploy.md says.
  EXPECT_EQ(EvictDeadClient("dying"), 0) << "the dead web server's client was not evicted";
  double lock_free = -1, claim_free = -1;
  MillisecondsUntil(
      [&] {
        const double now = std::chrono::duration<double, std::milli>(Clock::now() - killed).count();
        const std::string counter = Contents(counter_path);
        if (lock_free < 0 && counter != counter_before && counter != "<unreadable>") lock_free = now;
        if (claim_free < 0 && !ByteLocked(claims, ClaimByte(77))) claim_free = now;
        return lock_free >= 0 && claim_free >= 0;
      },
      kPatienceMs, killed);
  EXPECT_GE(lock_free, 0) << "the counter's lock never passed on";
  EXPECT_GE(claim_free, 0) << "the claim never came free";
  // The remote host takes the dead web server's request without answering it, and serves on.
  std::filesystem::remove(other.Remote("r:\\fromnt\\77.DAT"));
  RemoteHostSimulator remote(other);
  const Outcome allocated = allocating.Wait();
  const double served = std::chrono::duration<double>(Clock::now() - killed).count();
  std::printf("web server's client killed: the other web server's waiting request took a number %.1f ms and the"
              " claim was free %.1f ms after the kill; that request served %.2f s after it\n",
              lock_free, claim_free, served);
  EXPECT_TRUE(OwnPage(allocated.output, "other0")) << allocated.output.substr(0, 400);
  const Outcome again = RunTrackrelay(Get("TRACKNO=77&client=late77"), other);
  EXPECT_TRUE(OwnPage(again.output, "late77")) << again.output.substr(0, 400);
  const Outcome next = RunTrackrelay(Get("TRACKNO=0&client=other1"), other);
  EXPECT_TRUE(OwnPage(next.output, "other1")) << next.output.substr(0, 400);

  // The dead web server's own requests end in a fixed page.
  kill(caught->pid(), SIGCONT);
  for (StartedRun* run : {&*caught, &waiting}) {
    const std::string page = run->Wait().output;
    bool fixed = page == kTimeoutPage;
    for (const char* step : {"1", "2", "3", "4"}) fixed = fixed || page == InternalErrorPage(step);
    EXPECT_TRUE(fixed) << page.substr(0, 400);
  }
}

}  // namespace
}  // namespace trackrelay::e2e
