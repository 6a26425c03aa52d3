#include "relay/tracking_request.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cgi/cgi_environment.h"
#include "cgi/expected_pages.h"
#include "cgi/form_input.h"
#include "platform/failure.h"
#include "platform/testing/fake_system.h"
#include "platform/testing/scratch_handle.h"

namespace trackrelay {
namespace {

using expected::InternalErrorPage;
using expected::kHeader;
using expected::kTimeoutPage;

// The looks for the answer that the wait made: those in the inbound folder from the publication
// on (the one before it, for an earlier request's answer, is no look of the wait).
int WaitLooks(const FakeSystem& fake) {
  int looks = 0;
  bool published = false;
  for (const std::string& call : fake.calls) {
    if (call.rfind("RenameNoReplace r:\\fromnt\\t", 0) == 0) published = true;
    if (published && call.rfind("LookUpPlainFile r:\\tont\\", 0) == 0) ++looks;
  }
  return looks;
}

// Runs the handler on a form input against the fake, and returns what it wrote.
class TrackingRequestTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CgiEnvironment = CgiEnvironmentRecord{};
    FormInput.clear();
    FieldCount = 0;
    FormFieldTable.clear();
  }
  std::string Serve(const std::string& form_input) {
    ScratchHandle out = ScratchHandle::Pipe();
    CgiEnvironment.StdOut = out.handle();
    CgiEnvironment.REQUEST_METHOD = "GET";
    CgiEnvironment.QUERY_STRING = form_input;
    DecodeFormInput();
    ServeTrackingRequest();
    return out.Contents();
  }
};

TEST_F(TrackingRequestTest, LooksAtOnceThenAfterEachPauseUntilTheResponseComes) {
  FakeSystem fake;
  struct Case {
    int pauses_before_response;  // -1: it never comes
    std::string page;
  };
  fake.take_published = true;
  for (Case c : {Case{0, kHeader + "hi\r\n\r\n"}, Case{1, kHeader + "hi\r\n\r\n"}, Case{449, kHeader + "hi\r\n\r\n"},
                 Case{450, kTimeoutPage}, Case{-1, kTimeoutPage}}) {
    fake.files.clear();
    fake.sleeps.clear();
    fake.calls.clear();
    fake.answers.clear();
    if (c.pauses_before_response == 0) fake.answers["r:\\tont\\3.out"] = "hi";
    fake.on_sleep = [&] {
      if (static_cast<int>(fake.sleeps.size()) == c.pauses_before_response) fake.files["r:\\tont\\3.out"] = "hi";
    };
    EXPECT_EQ(Serve("TRACKNO=3"), c.page) << c.pauses_before_response;
    const int pauses = c.page == kTimeoutPage ? 450 : c.pauses_before_response;
    EXPECT_EQ(fake.sleeps, std::vector<DWORD>(static_cast<std::size_t>(pauses), 100)) << c.pauses_before_response;
    // One look at once and one after each pause, but none after the 450th.
    EXPECT_EQ(WaitLooks(fake), c.page == kTimeoutPage ? 450 : pauses + 1);
    // A response after the last look is not taken: it stays.
    EXPECT_EQ(fake.files.count("r:\\tont\\3.out"), c.pauses_before_response == 450 ? 1u : 0u);
    EXPECT_EQ(fake.taken.at("r:\\fromnt\\3.DAT"), "TRACKNO=3\r\n");
  }
}

TEST_F(TrackingRequestTest, AnArrivalLooksAtOnceButNeverCountsAsAMissNorShortensTheWait) {
  struct Case {
    std::string name;
    std::function<DWORD(DWORD)> arrival;  // the fake's: ms left when woken, 0 when not
    int arrive_at_wait;                  // the response is there from this wait's wake on (-1: never)
    std::string page;
    std::vector<DWORD> sleeps;
    int looks;
  };
  const std::vector<DWORD> timeout_sleeps(900, 50);
  std::vector<DWORD> last_pause_sleeps(449, 100);
  last_pause_sleeps.push_back(3);
  const Case cases[] = {
      {"woken at once by the answer", [](DWORD ms) { return ms == 100 ? 97u : 0u; }, 1, kHeader + "hi\r\n\r\n",
       {3}, 2},
      {"woken for nothing, then the answer on the grid", [](DWORD ms) { return ms == 100 ? 60u : 0u; }, 2,
       kHeader + "hi\r\n\r\n", {40, 60}, 3},
      {"woken for nothing at every interval: still 450 misses and 45 s", [](DWORD ms) { return ms == 100 ? 50u : 0u; },
       -1, kTimeoutPage, timeout_sleeps, 900},
      // The pause after the 450th miss still watches: an answer in the wait's last 100 ms is
      // relayed, by a 451st look.
      {"woken by the answer in the pause after the last miss", [waits = 0](DWORD ms) mutable {
         return ++waits == 450 && ms == 100 ? 97u : 0u;
       },
       450, kHeader + "hi\r\n\r\n", last_pause_sleeps, 451},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.take_published = true;
    int waits = 0;
    fake.arrival = [&](DWORD ms) {
      ++waits;
      if (waits == c.arrive_at_wait) fake.files["r:\\tont\\3.out"] = "hi";
      return c.arrival(ms);
    };
    EXPECT_EQ(Serve("TRACKNO=3"), c.page) << c.name;
    EXPECT_EQ(fake.sleeps, c.sleeps) << c.name;
    EXPECT_EQ(WaitLooks(fake), c.looks) << c.name;
    EXPECT_EQ(fake.CallCount(FakeSystem::kWatchForArrival), 1) << c.name;
  }
}

TEST_F(TrackingRequestTest, TheWaitEndsAtItsTimeLimitWhenLooksTakeLong) {
  // Looks that cost time, as on a share that hangs: the wait ends at the 450th miss or once
  // kLongestWaitMs has passed since the first look, whichever comes first, and never makes a
  // look or a pause after that.
  struct Case {
    std::string name;
    DWORD look_ms;          // what each look costs
    int slow_looks;         // how many looks cost it; the rest cost nothing (-1: all)
    int answer_after_looks; // the answer is there for the look after this many (-1: never)
    std::string page;
    int looks, pauses;
    std::uint64_t ends_at_ms;
  };
  const std::string relayed = kHeader + "hi\r\n\r\n";
  const Case cases[] = {
      {"a share that answers at once: 450 looks and 45 s", 0, -1, -1, kTimeoutPage, 450, 450, 45000},
      {"a slow share still within the limit: 450 looks", 80, -1, -1, kTimeoutPage, 450, 450, 450 * 180},
      {"a share too slow for 450 looks: the limit ends the wait after a pause", 150, -1, -1, kTimeoutPage, 360, 360,
       90000},
      {"every look blocks 20 s: no pause after the look that passed the limit", 20000, -1, -1, kTimeoutPage, 5, 4,
       5 * 20000 + 4 * 100},
      {"one look that blocks longer than the limit is the last", 100000, -1, -1, kTimeoutPage, 1, 0, 100000},
      // The look at the request file, once the answer is seen, blocks as long.
      {"a share that hangs, then answers", 20000, 2, 2, relayed, 3, 2, 2 * 20000 + 2 * 100},
      // Left there, the answer would go to the next request of the number.
      {"a look begun before the limit takes the answer it finds after it", 20000, -1, 4, relayed, 5, 4,
       6 * 20000 + 4 * 100},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.take_published = true;
    // The share hangs from the publication on.
    fake.on_publish = [&] { fake.cost_ms[FakeSystem::kLookUpPlainFile] = c.look_ms; };
    fake.on_sleep = [&] {
      const int looks = WaitLooks(fake);
      if (looks == c.slow_looks) fake.cost_ms[FakeSystem::kLookUpPlainFile] = 0;
      if (looks == c.answer_after_looks) fake.files["r:\\tont\\3.out"] = "hi";
    };
    EXPECT_EQ(Serve("TRACKNO=3"), c.page) << c.name;
    EXPECT_EQ(WaitLooks(fake), c.looks) << c.name;
    EXPECT_EQ(fake.sleeps, std::vector<DWORD>(static_cast<std::size_t>(c.pauses), 100)) << c.name;
    EXPECT_EQ(fake.clock_ms, c.ends_at_ms) << c.name;
    // The limit, and at most one look or pause that was under way when it passed, and the look
    // at the request file that an answer seen then needs.
    EXPECT_LE(fake.clock_ms, kLongestWaitMs + 2 * std::max<DWORD>(c.look_ms, 100)) << c.name;
  }
}

TEST_F(TrackingRequestTest, SuccessPageRelaysEachLineFollowedByAnEmptyLine) {
  FakeSystem fake;
  fake.take_published = true;
  fake.files["c:\\woe\\track.txt"] = " 41 \r\n";
  fake.answers["r:\\tont\\41.out"] = "<HTML>\r\n<BODY>a\nb</BODY>\r</HTML>";
  EXPECT_EQ(Serve("TRACKNO=0&x=a+b"), kHeader + "<HTML>\r\n\r\n<BODY>a\nb</BODY>\r\n\r\n</HTML>\r\n\r\n");
  EXPECT_EQ(fake.files.at("c:\\woe\\track.txt"), " 42 \r\n");
  EXPECT_EQ(fake.taken.at("r:\\fromnt\\41.DAT"), "TRACKNO=0&x=a+b\r\n");
  EXPECT_EQ(fake.files.count("r:\\fromnt\\t41.DAT"), 0u);
  EXPECT_EQ(fake.files.count("r:\\tont\\41.out"), 0u);
  EXPECT_EQ(fake.open_readers, 0);
  EXPECT_EQ(fake.held_locks, 0);
}

TEST_F(TrackingRequestTest, ARequestClaimsItsNumberBeforeWritingAndABusyNumberShowsStep3) {
  struct Case {
    std::string form;
    std::int16_t number;
    bool claimed_elsewhere;
  };
  for (const Case& c : {Case{"TRACKNO=8", 8, false}, Case{"TRACKNO=0", 41, false}, Case{"TRACKNO=-3", -3, true},
                        Case{"TRACKNO=0", 41, true}}) {
    FakeSystem fake;
    fake.take_published = true;
    fake.files["c:\\woe\\track.txt"] = " 41 \r\n";
    const std::string n = std::to_string(c.number);
    fake.files["r:\\tont\\" + n + ".out"] = "an earlier request's";
    fake.answers["r:\\tont\\" + n + ".out"] = "hi";
    const std::pair<std::string, int> claim{"c:\\woe\\track.claims", c.number + 32768};
    if (c.claimed_elsewhere) fake.foreign_claims.insert(claim);
    const std::string page = Serve(c.form);
    if (c.claimed_elsewhere) {
      EXPECT_EQ(page, InternalErrorPage("3")) << c.form;
      EXPECT_EQ(fake.CallCount(FakeSystem::kWriteTextFile), 0) << c.form << ": nothing of it is written";
      EXPECT_EQ(fake.CallCount(FakeSystem::kLookUpPlainFile), 0) << c.form << ": nor waited for";
      EXPECT_EQ(fake.files.count("r:\\tont\\" + n + ".out"), 1u) << c.form << ": another request's to remove";
    } else {
      EXPECT_EQ(page, kHeader + "hi\r\n\r\n") << c.form;
      EXPECT_EQ(fake.claims, (std::set<std::pair<std::string, int>>{claim})) << c.form;
      // The claim comes before the first write of the request.
      std::size_t claimed = 0, written = 0;
      for (std::size_t i = 0; i < fake.calls.size(); ++i) {
        if (fake.calls[i].rfind("ClaimForProcess", 0) == 0) claimed = i;
        if (fake.calls[i].rfind("WriteTextFile ", 0) == 0) written = i;
      }
      EXPECT_LT(claimed, written) << c.form;
    }
  }
}

// An answer in the inbound folder is this request's only once the remote host has taken the
// request: one that stood before the publication, or that lands while N.DAT still waits, was made
// for an earlier request of the number (one that died or gave up), and is never relayed.
TEST_F(TrackingRequestTest, AnAnswerMadeForAnEarlierRequestOfTheNumberNeverReachesThisOne) {
  const std::string mine = kHeader + "mine\r\n\r\n";
  struct Case {
    std::string name;
    bool earlier_stands;      // an earlier request's answer stands before this request starts
    bool taken_at_once;       // the remote host takes the request the moment it is published
    std::map<int, std::function<void(FakeSystem&)>> at_pause;  // what the remote host does then
    std::function<void(FakeSystem&)> fault;
    std::string page;
    std::size_t pauses;
  };
  auto answer = [](FakeSystem& f) { f.files["r:\\tont\\3.out"] = "mine"; };
  auto earlier = [](FakeSystem& f) { f.files["r:\\tont\\3.out"] = "earlier"; };
  // Its turn comes: the earlier answer removed, the request taken.
  auto take = [](FakeSystem& f) {
    f.files.erase("r:\\tont\\3.out");
    f.files.erase("r:\\fromnt\\3.DAT");
  };
  auto take_only = [](FakeSystem& f) { f.files.erase("r:\\fromnt\\3.DAT"); };
  const Case cases[] = {
      {"one that stood before: removed before the publication", true, true, {{2, answer}}, nullptr, mine, 2},
      {"one that stood before and no answer: the timeout page", true, true, {}, nullptr, kTimeoutPage, 450},
      {"one that lands while the request waits its turn", false, false, {{2, earlier}, {5, take}, {7, answer}}, nullptr,
       mine, 7},
      {"one that lands while the request waits, and no answer", false, false, {{2, earlier}}, nullptr, kTimeoutPage,
       450},
      {"a remote host that answers before it removes the request", false, false, {{2, answer}, {4, take_only}},
       nullptr, mine, 4},
      {"an answer gone between the look and the open is looked for again", false, true, {{1, answer}},
       [](FakeSystem& f) { f.Fail(FakeSystem::kOpenTextFile, kFileNotFound, 0, 1); }, mine, 2},
      {"an answer replaced through another client meanwhile", false, true, {{1, answer}},
       [](FakeSystem& f) { f.FailAsStale(FakeSystem::kOpenTextFile, 0, 1); }, mine, 2},
      {"one that cannot be removed: internal error 3, nothing published", true, true, {{1, answer}},
       [](FakeSystem& f) { f.Fail(FakeSystem::kRemoveFile, kPermissionDenied); }, InternalErrorPage("3"), 0},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.take_published = c.taken_at_once;
    if (c.earlier_stands) earlier(fake);
    if (c.fault) c.fault(fake);
    fake.on_sleep = [&] {
      if (auto act = c.at_pause.find(static_cast<int>(fake.sleeps.size())); act != c.at_pause.end()) act->second(fake);
    };
    EXPECT_EQ(Serve("TRACKNO=3"), c.page) << c.name;
    EXPECT_EQ(fake.sleeps.size(), c.pauses) << c.name;
    if (c.page == InternalErrorPage("3")) {
      EXPECT_EQ(fake.files.count("r:\\tont\\3.out"), 1u) << c.name;
      EXPECT_EQ(fake.CallCount(FakeSystem::kWriteTextFile), 0) << c.name << ": nothing of it is written";
      continue;
    }
    // The earlier answer goes before the request is published.
    if (c.earlier_stands) {
      std::size_t removed = 0, published = 0;
      for (std::size_t i = 0; i < fake.calls.size(); ++i) {
        if (fake.calls[i] == "RemoveFile r:\\tont\\3.out" && removed == 0) removed = i;
        if (fake.calls[i].rfind("RenameNoReplace", 0) == 0) published = i;
      }
      EXPECT_LT(removed, published) << c.name;
      EXPECT_GT(removed, 0u) << c.name;
    }
  }
}

// However large the answer, or however slowly it comes, the request ends: past kLongestAnswerBytes
// or the request's time the relay stops, and the internal error page of the step follows what went.
TEST_F(TrackingRequestTest, AnAnswerPastItsBoundsIsCutOffWithTheStepsPage) {
  const std::string mib_line(1u << 20, 'x');
  std::string sixteen_lines, sixteen_relayed;
  for (int i = 0; i < 16; ++i) {
    sixteen_lines += mib_line + "\r\n";
    sixteen_relayed += mib_line + "\r\n\r\n";
  }
  const std::string long_line(kLongestAnswerBytes + 1, 'y');
  struct Case {
    std::string name, answer;
    DWORD publish_ms, part_ms;  // what the publication and each part's read cost
    std::string page;
    bool removed;
  };
  const Case cases[] = {
      {"exactly the bound, in lines: relayed whole", sixteen_lines, 0, 0, kHeader + sixteen_relayed, true},
      {"past the bound by one line", sixteen_lines + "z\r\n", 0, 0,
       kHeader + sixteen_relayed + InternalErrorPage("6"), false},
      {"one line past the bound", long_line, 0, 0,
       kHeader + long_line.substr(0, kLongestAnswerBytes) + InternalErrorPage("5"), false},
      {"lines that come slowly, past the request's 90 s", "a\rb\rc\rd\re\r", 0, 20000,
       kHeader + "a\r\n\r\nb\r\n\r\nc\r\n\r\nd\r\n\r\n" + InternalErrorPage("6"), false},
      {"an answer found late has its moment, and no more", "a\rb\r", 95000, 6000,
       kHeader + "a\r\n\r\n" + InternalErrorPage("6"), false},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.take_published = true;
    fake.answers["r:\\tont\\3.out"] = c.answer;
    fake.cost_ms[FakeSystem::kRenameNoReplace] = c.publish_ms;
    fake.cost_ms[FakeSystem::kReadLine] = c.part_ms;
    const std::string page = Serve("TRACKNO=3");
    EXPECT_EQ(page.size(), c.page.size()) << c.name;
    EXPECT_TRUE(page == c.page) << c.name << ": ends in " << page.substr(page.size() - std::min<std::size_t>(page.size(), 200));
    EXPECT_EQ(fake.files.count("r:\\tont\\3.out"), c.removed ? 0u : 1u) << c.name;
  }
}

// A counter replaced through another client of a share, between the look-up of its name and
// its use, makes the allocation start over from the name under the counter's lock, a bounded
// number of times; no number is handed out twice and the request goes on as usual.
TEST_F(TrackingRequestTest, AStaleCounterStartsTheAllocationOverAFewTimesAtMost) {
  struct Case {
    std::string name;
    FakeSystem::Operation operation;
    int times;
    std::string page, counter_after;
    int locked_opens;
    std::vector<DWORD> pauses;
  };
  const std::vector<DWORD> eight(8, 125);
  const Case cases[] = {
      {"counter stale at its open", FakeSystem::kOpenTextFileLocked, 1, kHeader + "hi\r\n\r\n", " 42 \r\n", 2, {}},
      {"counter stale at its read", FakeSystem::kReadLine, 1, kHeader + "hi\r\n\r\n", " 42 \r\n", 2, {}},
      {"counter stale at its replacement", FakeSystem::kRenameReplacing, 2, kHeader + "hi\r\n\r\n", " 42 \r\n", 3,
       {125}},
      {"stale nine times: the tenth try", FakeSystem::kOpenTextFileLocked, 9, kHeader + "hi\r\n\r\n", " 42 \r\n", 10,
       eight},
      {"stale ten times: internal error 1", FakeSystem::kOpenTextFileLocked, 10, InternalErrorPage("1"), " 41 \r\n", 10,
       eight},
      {"stale for good", FakeSystem::kRenameReplacing, -1, InternalErrorPage("1"), " 41 \r\n", 10, eight},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.take_published = true;
    fake.files["c:\\woe\\track.txt"] = " 41 \r\n";
    fake.answers["r:\\tont\\41.out"] = "hi";
    fake.FailAsStale(c.operation, 0, c.times);
    EXPECT_EQ(Serve("TRACKNO=0"), c.page) << c.name;
    EXPECT_EQ(fake.files.at("c:\\woe\\track.txt"), c.counter_after) << c.name;
    EXPECT_EQ(fake.CallCount(FakeSystem::kOpenTextFileLocked), c.locked_opens) << c.name;
    EXPECT_EQ(fake.sleeps, c.pauses) << c.name;
    EXPECT_EQ(fake.held_locks, 0) << c.name << ": each try lets the lock go";
    // Every try locks the counter's byte of the claims file.
    for (const std::string& call : fake.calls) {
      if (call.rfind("OpenTextFileLocked", 0) == 0) {
        EXPECT_EQ(call, "OpenTextFileLocked c:\\woe\\track.txt c:\\woe\\track.claims 65536") << c.name;
      }
    }
  }
  // Another failure is no stale file: no second try.
  FakeSystem fake;
  fake.files["c:\\woe\\track.txt"] = " 41 \r\n";
  fake.Fail(FakeSystem::kOpenTextFileLocked, kDeviceIoError, 0, 1);
  EXPECT_EQ(Serve("TRACKNO=0"), InternalErrorPage("1"));
  EXPECT_EQ(fake.CallCount(FakeSystem::kOpenTextFileLocked), 1);
}

// The waits of a request share kLongestWaitMs from its start: the counter's lock gets
// kLongestLockWaitMs of them, each try started over only what the tries before left of that, and
// the answer's wait what is left of the 90 s (one look at least). A lock that another holds all
// that time ends the request with internal error 1, and nothing of it is written.
TEST_F(TrackingRequestTest, TheCountersLockAndTheAnswerShareTheRequestsTime) {
  struct Case {
    std::string name;
    DWORD lock_ms;       // what taking the lock costs, as a wait for it that ends in time
    int stale_tries;     // tries that find the counter replaced meanwhile
    bool never_let_go;   // another process holds the lock and never lets it go
    DWORD publish_ms;    // what the publication's rename costs, as on a share that hangs
    DWORD look_ms;       // what each look costs
    bool answered;       // the answer is there at the first look
    std::string page;
    std::vector<std::uint64_t> lock_waits;
    int looks;
    std::uint64_t ends_at_ms;
  };
  const std::string relayed = kHeader + "hi\r\n\r\n";
  const Case cases[] = {
      {"the lock at once: 450 looks", 0, 0, false, 0, 0, false, kTimeoutPage, {30000}, 450, 45000},
      {"the lock after 29 s: still 450 looks", 29000, 0, false, 0, 0, false, kTimeoutPage, {30000}, 450, 74000},
      {"a try started over waits for what the tries before left", 10000, 2, false, 0, 0, false, kTimeoutPage,
       {30000, 20000, 9875}, 450, 30125 + 45000},
      // The look for an earlier request's answer, before the publication, is as slow.
      {"the lock late and slow looks: the answer's wait ends with the request's 90 s", 29000, 0, false, 0, 150, false,
       kTimeoutPage, {30000}, 244, 29000 + 150 + 243 * 250 + 150},
      {"a publication that blocked past the 90 s: one look, and its answer", 0, 0, false, 95000, 0, true, relayed,
       {30000}, 1, 95000},
      {"a publication that blocked past the 90 s: one look, then the timeout page", 0, 0, false, 95000, 0, false,
       kTimeoutPage, {30000}, 1, 95000},
      {"a lock never let go: internal error 1 once its 30 s are up", 0, 0, true, 0, 0, false, InternalErrorPage("1"),
       {30000}, 0, 30000},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    fake.take_published = true;
    fake.files["c:\\woe\\track.txt"] = " 41 \r\n";
    if (c.answered) fake.answers["r:\\tont\\41.out"] = "hi";
    fake.cost_ms[FakeSystem::kOpenTextFileLocked] = c.lock_ms;
    fake.cost_ms[FakeSystem::kRenameNoReplace] = c.publish_ms;
    fake.cost_ms[FakeSystem::kLookUpPlainFile] = c.look_ms;
    if (c.stale_tries > 0) fake.FailAsStale(FakeSystem::kReadLine, 0, c.stale_tries);
    if (c.never_let_go) fake.foreign_locks.insert({"c:\\woe\\track.claims", 65536});
    EXPECT_EQ(Serve("TRACKNO=0"), c.page) << c.name;
    EXPECT_EQ(fake.lock_waits, c.lock_waits) << c.name;
    EXPECT_EQ(WaitLooks(fake), c.looks) << c.name;
    EXPECT_EQ(fake.clock_ms, c.ends_at_ms) << c.name;
    if (c.never_let_go) {
      EXPECT_EQ(fake.files.at("c:\\woe\\track.txt"), " 41 \r\n") << c.name << ": the counter is untouched";
      EXPECT_EQ(fake.files.size(), 1u) << c.name << ": nothing else is written";
      EXPECT_TRUE(fake.claims.empty()) << c.name << ": no number is claimed";
    }
  }
}

// A step's number is what the browser shows and what the people who run the program look up:
// each keeps its own, and the steps stand in the order a request takes them, so that a test's
// "failed at or after this step" means what it says.
TEST(TrackingRequestSteps, KeepTheirNumbersInTheOrderOfTheRoad) {
  const std::pair<Step, std::string> road[] = {
      {kStepReadTrackingNumber, "0"}, {kStepAllocateNumber, "1"}, {kStepClaimNumber, "3"},
      {kStepWriteRequest, "2"},       {kStepPublishRequest, "3"}, {kStepAwaitResponse, "4"},
      {kStepRelayFirstLine, "5"},     {kStepRelayNextLines, "6"}, {kStepFinish, "10"},
  };
  for (std::size_t i = 0; i < std::size(road); ++i) {
    EXPECT_EQ(road[i].first.page_text, road[i].second) << i;
    if (i > 0) {
      EXPECT_LT(road[i - 1].first, road[i].first) << road[i].second;
    }
  }
}

TEST_F(TrackingRequestTest, EachFailingStepShowsItsNumber) {
  const std::string kLong = std::string(65536, 'x') + std::string(4464, 'y');  // two parts
  struct Case {
    std::string name, form;
    FakeSystem::Operation operation;
    int number, after;
    Step step;
    std::string response;  // of 8.out
    std::string before_page;
  };
  const Case cases[] = {
      {"lookup of the field overflows", "TRACKNO=8" + [] { std::string s; for (int i = 0; i < 32767; ++i) s += "&a=b"; return s; }(),
       FakeSystem::kOperationCount, 0, 0, kStepReadTrackingNumber, "", ""},
      {"counter unreadable", "TRACKNO=0", FakeSystem::kOpenTextFileLocked, kPermissionDenied, 0, kStepAllocateNumber,
       "", ""},
      {"counter not replaced", "TRACKNO=0", FakeSystem::kRenameReplacing, kDeviceIoError, 0, kStepAllocateNumber, "",
       ""},
      {"request not written", "TRACKNO=8", FakeSystem::kWriteTextFile, kDiskNotReady, 0, kStepWriteRequest, "", ""},
      {"request not published", "TRACKNO=8", FakeSystem::kRenameNoReplace, kFileAlreadyExists, 0, kStepPublishRequest,
       "", ""},
      {"earlier answer not looked for", "TRACKNO=8", FakeSystem::kLookUpPlainFile, kPermissionDenied, 0, kStepClaimNumber,
       "", ""},
      {"lookup fails", "TRACKNO=8", FakeSystem::kLookUpPlainFile, kPermissionDenied, 1, kStepAwaitResponse, "x", ""},
      {"response not opened", "TRACKNO=8", FakeSystem::kOpenTextFile, kPermissionDenied, 0, kStepAwaitResponse, "x",
       ""},
      {"first line unreadable", "TRACKNO=8", FakeSystem::kReadLine, kDeviceIoError, 0, kStepRelayFirstLine, "a\rb\r",
       kHeader},
      {"empty response undeletable", "TRACKNO=8", FakeSystem::kRemoveFile, kPermissionDenied, 0, kStepRelayFirstLine,
       "", kHeader},
      {"second line unreadable", "TRACKNO=8", FakeSystem::kReadLine, kDeviceIoError, 1, kStepRelayNextLines, "a\rb\r",
       kHeader + "a\r\n\r\n"},
      {"response undeletable", "TRACKNO=8", FakeSystem::kRemoveFile, kPermissionDenied, 0, kStepRelayNextLines,
       "a\rb\r", kHeader + "a\r\n\r\nb\r\n\r\n"},
      // A long line goes out part by part: what was sent of it stays, and the line counts as
      // relayed only once its last part has gone.
      {"second part of the first line unreadable", "TRACKNO=8", FakeSystem::kReadLine, kDeviceIoError, 1,
       kStepRelayFirstLine, kLong + "\rb\r", kHeader + kLong.substr(0, 65536)},
      {"line after a long one unreadable", "TRACKNO=8", FakeSystem::kReadLine, kDeviceIoError, 2, kStepRelayNextLines,
       kLong + "\rb\r", kHeader + kLong + "\r\n\r\n"},
      {"long last line undeletable", "TRACKNO=8", FakeSystem::kRemoveFile, kPermissionDenied, 0, kStepRelayNextLines,
       "a\r\n" + kLong, kHeader + "a\r\n\r\n" + kLong + "\r\n\r\n"},
  };
  for (const Case& c : cases) {
    FakeSystem case_fake;
    case_fake.take_published = true;
    case_fake.files["c:\\woe\\track.txt"] = " 8 \r\n";
    if (!c.response.empty() || c.step >= kStepRelayFirstLine) case_fake.answers["r:\\tont\\8.out"] = c.response;
    if (c.operation != FakeSystem::kOperationCount) case_fake.Fail(c.operation, c.number, c.after);
    EXPECT_EQ(Serve(c.form), c.before_page + InternalErrorPage(c.step.page_text)) << c.name;
    EXPECT_TRUE(case_fake.sleeps.empty()) << c.name;
    if (c.step == kStepAllocateNumber) {
      EXPECT_EQ(case_fake.files.at("c:\\woe\\track.txt"), " 8 \r\n") << c.name;
    }
    if (c.step >= kStepAwaitResponse) {
      EXPECT_EQ(case_fake.files.count("r:\\tont\\8.out"), 1u) << c.name << ": the response stays";
    }
  }
}

}  // namespace
}  // namespace trackrelay
