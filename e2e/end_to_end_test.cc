// The real executable, run as a web server runs it, against a scratch drive root.
#include "e2e/end_to_end.h"

#include "cgi/expected_pages.h"
#include "relay/tracking_request.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace trackrelay::e2e {
namespace {

constexpr uid_t kNobody = 65534;

using expected::InternalErrorPage;
using expected::kHeader;
using expected::kTimeoutPage;

std::string FatalPage(const std::string& script, const std::string& text) {
  return expected::FatalPage(script, "webmaster@localhost", text);
}

// Waits up to 20 s until done() holds.
bool Eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Invocation Get(const std::string& query) {
  Invocation run;
  run.env = GetEnvironment(query);
  return run;
}

// Whether a run's peak memory says something of the program: not under Wine, where it is the
// loader's, nor in a sanitizer build, whose shadow memory and quarantine grow with every run.
bool PeakMemoryIsTheProgramsOwn() { return !SanitizerBuild() && !UnderWine(); }

// size bytes of a response line: every byte value but CR, in a pattern that shifts every 4 KiB so
// that a part that went missing, twice or out of place shows.
std::string LineBytes(std::size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) {
    char c = static_cast<char>((i * 7 + seed + i / 4096) % 256);
    bytes[i] = c == '\r' ? '\n' : c;
  }
  return bytes;
}

TEST(FatalPageEndToEnd, OverflowingContentLengthGivesTheExactPage) {
  DriveRoot root;
  struct Case {
    std::string content_length;
    bool to_file;
    std::string file_before;
  };
  const Case cases[] = {
      {"99999999999", false, ""},
      {"2147483648", false, ""},
      {"-2147483649", false, ""},
      {"1e10", false, ""},
      {"99999999999", true, ""},
      {"99999999999", true, std::string(10000, '#')},  // a capture file that held more than the page
  };
  for (const Case& c : cases) {
    Invocation run = Get("TRACKNO=5");
    run.env["CONTENT_LENGTH"] = c.content_length;
    run.output_to_file = c.to_file;
    run.output_file_before = c.file_before;
    Outcome out = RunTrackrelay(run, root);
    EXPECT_EQ(out.exit_status, 1) << c.content_length;
    EXPECT_EQ(out.output, FatalPage("/cgi-bin/trackrelay", "Overflow Error Number =  6")) << c.content_length;
  }
  EXPECT_TRUE(root.List("r:\\fromnt").empty());
}

TEST(FatalPageEndToEnd, NegativeContentLengthWithPostIsAnInvalidArgument) {
  DriveRoot root;
  Invocation run;
  run.env = PostEnvironment("-1");
  run.stdin_pieces = {"TRACKNO=5"};
  Outcome out = RunTrackrelay(run, root);
  EXPECT_EQ(out.exit_status, 1);
  EXPECT_EQ(out.output, FatalPage("/cgi-bin/trackrelay", "Invalid procedure call or argument Error Number =  5"));
}

TEST(FatalPageEndToEnd, EmptyScriptNameLeavesTheTitleEmpty) {
  DriveRoot root;
  Invocation run;
  run.env = {{"CONTENT_LENGTH", "1" + std::string(30, '0')}};
  Outcome out = RunTrackrelay(run, root);
  EXPECT_EQ(out.output, FatalPage("", "Overflow Error Number =  6"));
}

TEST(TrackingRequestEndToEnd, TheRoadOfOneRequest) {
  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 41 \r\n");
  Responder remote(root, "41", "<HTML><BODY>\r\nParcel 41 is on its way\r\n</BODY></HTML>");
  Outcome out = RunTrackrelay(Get("TRACKNO=0"), root);
  remote.Join();
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.output, kHeader + "<HTML><BODY>\r\n\r\nParcel 41 is on its way\r\n\r\n</BODY></HTML>\r\n\r\n");
  EXPECT_EQ(root.Read("c:\\woe\\track.txt"), " 42 \r\n");
  EXPECT_EQ(remote.request(), "TRACKNO=0\r\n");
  EXPECT_TRUE(root.List("r:\\fromnt").empty());
  EXPECT_TRUE(root.List("r:\\tont").empty());
  // The counter's replacement leaves nothing behind; the claims file stays, empty, for the next.
  EXPECT_EQ(root.List("c:\\woe"), (std::vector<std::string>{"track.claims", "track.txt"}));
  EXPECT_EQ(root.Read("c:\\woe\\track.claims"), "");
}

TEST(TrackingRequestEndToEnd, GivenNumbersTravelUnchangedAndLeaveTheCounterAlone) {
  struct Case {
    std::string query, number, request_line;
  };
  const Case cases[] = {
      {"TRACKNO=7", "7", "TRACKNO=7"},
      {"TRACKNO=-3&x=a+b", "-3", "TRACKNO=-3&x=a+b"},
      {"trackno=+0012.4&note=%41", "12", "trackno=+0012.4&note=%41"},
      {"TRACKNO=-32768", "-32768", "TRACKNO=-32768"},
  };
  for (const Case& c : cases) {
    DriveRoot root;
    root.Write("c:\\woe\\track.txt", " 41 \r\n");
    Responder remote(root, c.number, "ok " + c.number);
    Outcome out = RunTrackrelay(Get(c.query), root);
    remote.Join();
    EXPECT_EQ(out.output, kHeader + "ok " + c.number + "\r\n\r\n") << c.query;
    EXPECT_EQ(remote.request(), c.request_line + "\r\n") << c.query;
    EXPECT_EQ(root.Read("c:\\woe\\track.txt"), " 41 \r\n") << c.query;
  }
}

TEST(TrackingRequestEndToEnd, ResponseBytesAndLineEndsPassThrough) {
  struct Case {
    std::string response, relayed;
  };
  const Case cases[] = {
      {"", ""},
      {"one\r\ntwo\r\n", "one\r\n\r\ntwo\r\n\r\n"},
      {"one\rtwo", "one\r\n\r\ntwo\r\n\r\n"},
      {"a\nb\nc", "a\nb\nc\r\n\r\n"},
      {"\r\n\r\n", "\r\n\r\n\r\n\r\n"},
      {std::string("nul\0\xe9\xff\r\n", 8), std::string("nul\0\xe9\xff\r\n\r\n", 10)},
  };
  for (const Case& c : cases) {
    DriveRoot root;
    Responder remote(root, "5", c.response);
    Outcome out = RunTrackrelay(Get("TRACKNO=5"), root);
    remote.Join();
    EXPECT_EQ(out.output, kHeader + c.relayed) << ::testing::PrintToString(c.response);
    EXPECT_FALSE(root.Exists("r:\\tont\\5.out"));
  }
}

TEST(TrackingRequestEndToEnd, LongResponseLinesComeOutByteForByte) {
  // Lines around the size of the parts they are read and sent in (64 KiB, also the size of a
  // read), their ends across the edge of a read, and a long last line without its end.
  const std::vector<std::string> lines = {LineBytes(65535, 1), LineBytes(65536, 2), LineBytes(65537, 3),
                                          LineBytes(131072, 4), "", LineBytes(200000, 5), LineBytes(196608, 6)};
  const std::string ends[] = {"\r\n", "\r", "\r\n", "\r\n", "\r", "\r\n", ""};
  std::string response, relayed = kHeader;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    response += lines[i] + ends[i];
    relayed += lines[i] + "\r\n\r\n";
  }
  DriveRoot root;
  Responder remote(root, "5", response);
  Outcome out = RunTrackrelay(Get("TRACKNO=5"), root);
  remote.Join();
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_TRUE(out.output == relayed) << "output of " << out.output.size() << " bytes, not the " << relayed.size()
                                     << " expected";
  EXPECT_FALSE(root.Exists("r:\\tont\\5.out"));
}

TEST(TrackingRequestEndToEnd, AResponseLineOfAnyLengthIsRelayedInBoundedMemory) {
  // 15 MiB in one line, near all that one answer may hold, written in pieces so that the test
  // holds none of it while the run goes.
  constexpr std::size_t kPiece = 1 << 20, kPieces = 15;
  DriveRoot root;
  Responder remote(root, "6", "", 0, [](const std::string& partial) {
    std::ofstream file(partial, std::ios::binary);
    for (std::size_t i = 0; i < kPieces; ++i) file << LineBytes(kPiece, static_cast<unsigned>(i));
    file << "\r\nend";
  });
  Outcome out = RunTrackrelay(Get("TRACKNO=6"), root);
  remote.Join();
  EXPECT_EQ(out.exit_status, 0);
  std::string relayed = kHeader;
  relayed.reserve(kHeader.size() + kPiece * kPieces + 11);
  for (std::size_t i = 0; i < kPieces; ++i) relayed += LineBytes(kPiece, static_cast<unsigned>(i));
  relayed += "\r\n\r\nend\r\n\r\n";
  EXPECT_TRUE(out.output == relayed) << "output of " << out.output.size() << " bytes, not the " << relayed.size()
                                     << " expected";
  EXPECT_FALSE(root.Exists("r:\\tont\\6.out"));
  if (PeakMemoryIsTheProgramsOwn()) {
    EXPECT_LT(out.peak_rss_kib, 8 * 1024) << "KiB for a line of " << kPiece * kPieces / 1024 << " KiB";
  }
}

TEST(TrackingRequestEndToEnd, LargeFormInputsCostAFewTimesTheirSize) {
  // The field table costs at most 4 bytes for every 2 bytes of input however many "=" it holds;
  // the body is read and the request written without a buffer twice their size. The bound is 3
  // times the input and 4 MiB, the process's own cost and the test's share at the start.
  constexpr std::size_t kSize = 4 << 20;
  struct Case {
    std::string name, piece, page;  // the body is the piece repeated to kSize bytes
  };
  const Case cases[] = {
      {"a run of =", "=", InternalErrorPage("0")},
      {"a run of =&", "=&", InternalErrorPage("0")},
      {"one large value", "%41+x,", kHeader + "got it\r\n\r\n"},
  };
  for (const Case& c : cases) {
    DriveRoot root;
    Responder remote(root, "9", "got it");
    Invocation run;
    // The one copy of the body that the test holds while the run starts.
    std::string body = c.page == kHeader + "got it\r\n\r\n" ? "TRACKNO=9&note=" : "";
    body.reserve(kSize + c.piece.size());
    while (body.size() < kSize) body += c.piece;
    run.env = PostEnvironment(std::to_string(body.size()));
    run.stdin_pieces.push_back(std::move(body));
    Outcome out = RunTrackrelay(run, root);
    remote.Join();
    const std::string& sent = run.stdin_pieces.front();
    EXPECT_EQ(out.exit_status, 0) << c.name;
    EXPECT_EQ(out.output, c.page) << c.name;
    if (c.page != InternalErrorPage("0")) {
      EXPECT_TRUE(remote.request() == sent + "\r\n") << c.name << ": the request file";
    }
    if (PeakMemoryIsTheProgramsOwn()) {
      EXPECT_LT(out.peak_rss_kib, static_cast<long>((3 * sent.size() >> 10) + 4096)) << c.name << " of "
                                                                                       << sent.size() << " bytes";
    }
  }
}

TEST(TrackingRequestEndToEnd, PostBodyArrivingInPiecesIsRelayedWhole) {
  DriveRoot root;
  const std::string note(150000, 'n');  // more than a pipe holds at once
  const std::string body = "TRACKNO=9&note=" + note + "&city=K%C3%B6ln";
  Invocation run;
  run.env = PostEnvironment(std::to_string(body.size()));
  run.env["QUERY_STRING"] = "TRACKNO=1";
  run.stdin_pieces = {body.substr(0, 4), body.substr(4, 70000), body.substr(70004)};
  run.pause_ms = 300;
  Responder remote(root, "9", "got it");
  Outcome out = RunTrackrelay(run, root);
  remote.Join();
  EXPECT_EQ(out.output, kHeader + "got it\r\n\r\n");
  EXPECT_EQ(remote.request(), body + "\r\n");
}

// Where the harness of a share says that every call of the program costs a round trip to the
// share's server (TRACKRELAY_E2E_RELAY_FLOOR), the seconds that a whole run takes whose answer
// comes at once, measured now: more than the calls of a relay take there in the same minute,
// since it includes the start and the end of the process. 0 elsewhere.
double RelayFloor(const DriveRoot& root) {
  if (std::getenv("TRACKRELAY_E2E_RELAY_FLOOR") == nullptr) return 0.0;
  Responder remote(root, "13", "floor");
  const Outcome floor = RunTrackrelay(Get("TRACKNO=13"), root);
  remote.Join();
  EXPECT_EQ(floor.output, kHeader + "floor\r\n\r\n");
  return floor.seconds;
}

TEST(TrackingRequestEndToEnd, ResponseLandingSecondsLaterIsFoundByTheNextLook) {
  DriveRoot root;
  const double floor = RelayFloor(root);
  Responder remote(root, "12", "late", 3000);
  Outcome out = RunTrackrelay(Get("TRACKNO=12"), root);
  remote.Join();
  EXPECT_EQ(out.output, kHeader + "late\r\n\r\n");
  // Taken (relayed, then deleted) by a look of the waiting request, long before its 450 looks
  // (45 s) are spent: within a third of them; the process's exit is not the wait's. The looks are
  // 100 ms apart, which a loaded machine stretches (under Wine on CephFS, with the machine's load
  // at 15, 5.4 s went by); where every call costs a round trip to the share's server, what the
  // relay's own calls take there comes on top (RelayFloor), and a client that keeps a name for a
  // second (sshfs) shows the request its own N.DAT that long after the remote host took it. How
  // soon it is taken is the benchmarks' to measure (docs/benchmarks.md).
  EXPECT_LT(remote.AnsweredToTaken(), 15.0 + floor)
      << "a look every 100 ms; a relay whose answer is there: " << floor << " s";
  EXPECT_GT(out.seconds, 3.0);
}

// The folder's report of an answer renamed into place (or, on Windows, written and closed) wakes
// the wait at once; the 100 ms grid is only the fallback. The run's own calls show it: a wait
// after the watch was armed ends because the folder reported, not at its end (poll finds the
// watch ready; WaitForSingleObject returns WAIT_OBJECT_0). How soon is the benchmarks'.
TEST(TrackingRequestEndToEnd, AnAnswerThatLandsWakesTheWait) {
  // A share's client reports only its own changes: an answer that the server writes wakes no
  // one there, and the look every 100 ms finds it (ResponseLandingSecondsLater... checks that).
  if (SharedDrive()) GTEST_SKIP() << "the folder's reports do not cover a change made on the share's server";
  const std::string arm = UnderWine() ? "ReadDirectoryChangesW" : "inotify_add_watch";
  const std::string wait = UnderWine() ? "WaitForSingleObject" : "poll";
  const long long woke = UnderWine() ? 0 : 1;
  // The answer lands 300 ms after its request was taken, amid the waits. Now and then it lands
  // just as a wait ended at its own end, and the next look finds it first (a loaded machine
  // makes that likelier): a few requests, of which one woken wait is enough.
  bool woken = false;
  for (int round = 0; round < 5 && !woken; ++round) {
    DriveRoot root;
    Responder remote(root, "12", "woken", 300);
    Invocation run = Get("TRACKNO=12");
    run.trace_calls = true;
    const Outcome out = RunTrackrelay(run, root);
    remote.Join();
    ASSERT_EQ(out.output, kHeader + "woken\r\n\r\n");
    const auto armed =
        std::find_if(out.calls.begin(), out.calls.end(), [&](const TracedCall& call) { return call.name == arm; });
    ASSERT_NE(armed, out.calls.end()) << "no watch was armed";
    woken = std::any_of(armed, out.calls.end(),
                        [&](const TracedCall& call) { return call.name == wait && call.result == woke; });
  }
  EXPECT_TRUE(woken) << "in 5 requests no wait ended on the folder's report";
}

TEST(TrackingRequestEndToEnd, InternalErrorShowsTheStepThatFailed) {
  struct Case {
    std::string name, query;
    std::function<void(const DriveRoot&)> prepare;
    Step step;
    uid_t run_as;
    std::string response;  // the answer to number 8, when run_as is set
    std::string relayed;   // what goes out before the internal error page
  };
  auto nothing = [](const DriveRoot&) {};
  const uid_t us = static_cast<uid_t>(-1);
  const Case cases[] = {
      {"no TRACKNO", "x=1", nothing, kStepReadTrackingNumber, us, "", ""},
      {"empty TRACKNO", "TRACKNO=", nothing, kStepReadTrackingNumber, us, "", ""},
      {"not a number", "TRACKNO=abc", nothing, kStepReadTrackingNumber, us, "", ""},
      {"joined by ;", "TRACKNO=1&TRACKNO=2", nothing, kStepReadTrackingNumber, us, "", ""},
      {"out of range", "TRACKNO=32768", nothing, kStepReadTrackingNumber, us, "", ""},
      {"counter missing", "TRACKNO=0", nothing, kStepAllocateNumber, us, "", ""},
      {"counter empty", "TRACKNO=0", [](const DriveRoot& r) { r.Write("c:\\woe\\track.txt", ""); },
       kStepAllocateNumber, us, "", ""},
      {"counter garbage", "TRACKNO=0", [](const DriveRoot& r) { r.Write("c:\\woe\\track.txt", " x \r\n"); },
       kStepAllocateNumber, us, "", ""},
      {"counter at its end", "TRACKNO=0", [](const DriveRoot& r) { r.Write("c:\\woe\\track.txt", " 32767 \r\n"); },
       kStepAllocateNumber, us, "", ""},
      {"outbound missing", "TRACKNO=8",
       [](const DriveRoot& r) { std::filesystem::remove_all(r.Remote("r:\\fromnt")); }, kStepWriteRequest, us, "", ""},
      {"drive missing", "TRACKNO=8", [](const DriveRoot& r) { std::filesystem::remove_all(r.path() + "/r"); },
       kStepWriteRequest, us, "", ""},
      {"request already waiting", "TRACKNO=8", [](const DriveRoot& r) { r.Write("r:\\fromnt\\8.DAT", "earlier\r\n"); },
       kStepPublishRequest, us, "", ""},
      {"response unreadable", "TRACKNO=8", [](const DriveRoot& r) { r.OpenToEveryone(); }, kStepAwaitResponse, kNobody,
       "secret", ""},
      {"empty response undeletable", "TRACKNO=8",
       [](const DriveRoot& r) {
         r.OpenToEveryone();
         chmod(r.Local("r:\\tont").c_str(), 0755);
       },
       kStepRelayFirstLine, kNobody, "", kHeader},
      {"response undeletable after two lines", "TRACKNO=8",
       [](const DriveRoot& r) {
         r.OpenToEveryone();
         chmod(r.Local("r:\\tont").c_str(), 0755);
       },
       kStepRelayNextLines, kNobody, "line 1\r\nline 2\r\n", kHeader + "line 1\r\n\r\nline 2\r\n\r\n"},
  };
  for (const Case& c : cases) {
    // Wine removes a deleted file when its last handle closes and ignores an unlink that
    // fails, so a response in a folder the program may not write to is gone in its eyes.
    if (UnderWine() && c.step >= kStepRelayFirstLine) continue;
    // A share mounted by root is out of another user's reach altogether.
    if (SharedDrive() && c.run_as != us) continue;
    DriveRoot root;
    c.prepare(root);
    // Answered at once, an empty response too; one the program may not read is unreadable as
    // soon as it is there.
    std::unique_ptr<Responder> remote;
    if (c.run_as != us) {
      remote = std::make_unique<Responder>(root, "8", c.response, 0, [&](const std::string& partial) {
        { std::ofstream(partial, std::ios::binary) << c.response; }
        if (c.step == kStepAwaitResponse) chmod(partial.c_str(), 0);
      });
    }
    const std::string counter_before = root.Exists("c:\\woe\\track.txt") ? root.Read("c:\\woe\\track.txt") : "-";
    Invocation run = Get(c.query);
    run.run_as = c.run_as;
    Outcome out = RunTrackrelay(run, root);
    if (remote) remote->Join();
    EXPECT_EQ(out.exit_status, 0) << c.name;
    EXPECT_EQ(out.output, c.relayed + InternalErrorPage(c.step.page_text)) << c.name;
    EXPECT_EQ(root.Exists("c:\\woe\\track.txt") ? root.Read("c:\\woe\\track.txt") : "-", counter_before) << c.name;
    if (c.step >= kStepAwaitResponse) {
      EXPECT_EQ(remote->request(), "TRACKNO=8\r\n") << c.name;
      EXPECT_TRUE(root.Exists("r:\\tont\\8.out")) << c.name << ": a response that was not deleted stays";
    }
    if (c.step == kStepPublishRequest) {
      EXPECT_EQ(root.Read("r:\\fromnt\\8.DAT"), "earlier\r\n") << "the rename never replaces";
    }
  }
}

TEST(TrackingRequestEndToEnd, NoResponseWithin450LooksGivesTheTimeoutPage) {
  DriveRoot root;
  Outcome out = RunTrackrelay(Get("TRACKNO=77&x=1"), root);
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.output, kTimeoutPage);
  EXPECT_GE(out.seconds, 45.0);
  // 450 looks and pauses, and no more; the in-process tests count them exactly. Each look's own
  // time comes on top, which a loaded machine stretches, and Wine's looks cost more (47 s alone,
  // up to 53 s beside the suite's other Wine processes on two cores); a wait that went on to the
  // request's 90 s would be past the bound.
  EXPECT_LT(out.seconds, UnderWine() ? 80.0 : 70.0);
  EXPECT_EQ(root.Read("r:\\fromnt\\77.DAT"), "TRACKNO=77&x=1\r\n") << "the request file stays";
  // A remote host takes it and answers when the program no longer waits: the answer stands
  // until the next request of the number, which never shows it.
  std::filesystem::remove(root.Remote("r:\\fromnt\\77.DAT"));
  root.Write("r:\\tont\\77.out", "too late for the first");
  Responder remote(root, "77", "for the next");
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=77&x=2"), root).output, kHeader + "for the next\r\n\r\n");
}

// A request killed while it waits (the web server's limit, a browser gone) leaves its answer to
// come. Whether that answer lands before the next request of the number is published or while
// the next waits for the remote host to take it, the next gets its own answer.
TEST(TrackingRequestEndToEnd, AnEarlierRequestsAnswerNeverReachesTheNextRequestOfItsNumber) {
  for (const bool lands_while_the_next_waits : {false, true}) {
    const std::string name = lands_while_the_next_waits ? "while the next waits" : "before the next";
    DriveRoot root;
    StartedRun dying = StartTrackrelay(Get("TRACKNO=21&who=a"), root);
    ASSERT_TRUE(Eventually([&] { return root.Exists("r:\\fromnt\\21.DAT"); })) << name;
    std::filesystem::remove(root.Remote("r:\\fromnt\\21.DAT"));  // taken, and its answer under way
    kill(dying.pid(), SIGKILL);
    dying.Wait();
    auto earlier_answer = [&] {
      root.Write("r:\\tont\\t21.out", "for a");
      std::filesystem::rename(root.Remote("r:\\tont\\t21.out"), root.Remote("r:\\tont\\21.out"));
    };
    if (!lands_while_the_next_waits) {
      earlier_answer();
      Responder remote(root, "21", "for b");
      EXPECT_EQ(RunTrackrelay(Get("TRACKNO=21&who=b"), root).output, kHeader + "for b\r\n\r\n") << name;
      continue;
    }
    StartedRun next = StartTrackrelay(Get("TRACKNO=21&who=b"), root);
    ASSERT_TRUE(Eventually([&] { return root.Exists("r:\\fromnt\\21.DAT"); })) << name;
    earlier_answer();
    // The next request looks a few times while its request still waits.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(root.Exists("r:\\tont\\21.out")) << name << ": taken while its request waited";
    // Its turn: the earlier answer removed, its request taken, its own answer.
    std::filesystem::remove(root.Remote("r:\\tont\\21.out"));
    Responder remote(root, "21", "for b");
    EXPECT_EQ(next.Wait().output, kHeader + "for b\r\n\r\n") << name;
  }
}

// An answer without end (a sparse file of 64 GiB on the share) is relayed up to its bound, 16 MiB,
// and the request ends there with the internal error page of the step. Not a TiB: CephFS refuses
// a file that large (its max_file_size), and the test would end in the harness's exception.
TEST(TrackingRequestEndToEnd, AnAnswerWithoutEndIsCutOffAtItsBound) {
  DriveRoot root;
  Responder remote(root, "6", "", 0, [](const std::string& partial) {
    std::ofstream(partial, std::ios::binary).close();
    std::filesystem::resize_file(partial, std::uintmax_t{1} << 36);
  });
  const Outcome out = RunTrackrelay(Get("TRACKNO=6"), root);
  remote.Join();
  EXPECT_EQ(out.exit_status, 0);
  const std::string expected = kHeader + std::string(kLongestAnswerBytes, '\0') + InternalErrorPage("5");
  EXPECT_TRUE(out.output == expected) << out.output.size() << " bytes, not " << expected.size();
}

// Holds a write lock of one byte of a file through an open of its own (a lock of the open file),
// as another process that never lets it go; the file is made when missing. The descriptor is not
// handed to the programs the test starts: under Wine the Wine server they start would keep it
// open, and the lock with it, after the test let it go.
class HeldLock {
 public:
  HeldLock(const std::string& local, off_t byte) : fd_(open(local.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    struct flock range {};
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = byte;
    range.l_len = 1;
    held_ = fd_ >= 0 && fcntl(fd_, F_OFD_SETLK, &range) == 0;
  }
  ~HeldLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool held() const { return held_; }

 private:
  int fd_;
  bool held_ = false;
};

// The counter's lock, held by another process that never lets it go: a request for a new number
// waits for it its 30 s and then ends in internal error 1, the counter untouched and nothing of
// it published, while a request with a number of its own is served beside it. Once the lock is
// let go, the next request takes the number the counter held. Its own suite: it takes those
// 30 s, and the share tests, whose c:\woe is local, leave it out.
TEST(CounterLockEndToEnd, ALockNeverLetGoEndsARequestForANewNumberInInternalError1InTime) {
  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 41 \r\n");
  auto other = std::make_unique<HeldLock>(root.Local("c:\\woe\\track.claims"), 65536);
  ASSERT_TRUE(other->held());
  StartedRun waiting = StartTrackrelay(Get("TRACKNO=0&waits=1"), root);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  {
    Responder answer(root, "7", "<p>seven</p>");
    const Outcome beside = RunTrackrelay(Get("TRACKNO=7"), root);
    EXPECT_EQ(beside.output, kHeader + "<p>seven</p>\r\n\r\n") << "a given number needs no counter";
  }
  const Outcome out = waiting.Wait();
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.output, InternalErrorPage("1"));
  // Its 30 s, and no more than the process's own start and end and the last try, which a loaded
  // machine stretches (Wine's take seconds beside the suite's other Wine processes); a wait that
  // missed its bound would go on to the request's 90 s, or for ever.
  EXPECT_GE(out.seconds, kLongestLockWaitMs / 1000.0);
  EXPECT_LT(out.seconds, kLongestLockWaitMs / 1000.0 + (UnderWine() ? 20.0 : 10.0));
  EXPECT_EQ(root.Read("c:\\woe\\track.txt"), " 41 \r\n") << "the counter is untouched";
  EXPECT_FALSE(root.Exists("c:\\woe\\track.new"));
  EXPECT_TRUE(root.List("r:\\fromnt").empty()) << "the waiting request wrote nothing";
  other.reset();
  Responder answer(root, "41", "<p>forty-one</p>");
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=0"), root).output, kHeader + "<p>forty-one</p>\r\n\r\n");
  EXPECT_EQ(root.Read("c:\\woe\\track.txt"), " 42 \r\n");
}

TEST(TrackingRequestEndToEnd, ResponseNamedInAnotherCaseIsNeverTaken) {
  // 42.OUT is not 42.out: the wait ends in the timeout page and the file stays.
  DriveRoot root;
  root.Write("r:\\tont\\42.OUT", "wrong case");
  Outcome out = RunTrackrelay(Get("TRACKNO=42"), root);
  EXPECT_EQ(out.output, kTimeoutPage);
  EXPECT_TRUE(root.Exists("r:\\tont\\42.OUT"));
}

TEST(TrackingRequestEndToEnd, ConcurrentRequestsEachGetTheirOwnPageAndNumber) {
  // Requests that arrive together, as a web server starts them: each takes a number of its own
  // from the counter, and the remote host's answer to it reaches that request and no other.
  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 100 \r\n");
  constexpr int kRequests = 12;
  std::vector<Outcome> outcomes(kRequests);
  {
    RemoteHostSimulator remote(root);
    std::vector<std::thread> clients;
    for (int i = 0; i < kRequests; ++i) {
      clients.emplace_back([&, i] { outcomes[i] = RunTrackrelay(Get("TRACKNO=0&client=c" + std::to_string(i)), root); });
    }
    for (std::thread& client : clients) client.join();
  }
  std::set<int> numbers;
  for (int i = 0; i < kRequests; ++i) {
    const std::string& page = outcomes[i].output;
    EXPECT_EQ(outcomes[i].exit_status, 0) << i;
    EXPECT_EQ(page.rfind(kHeader, 0), 0u) << i << ": " << page;
    EXPECT_NE(page.find("<tr><td>client</td><td>c" + std::to_string(i) + "</td></tr>"), std::string::npos)
        << "request " << i << " got another's page: " << page;
    const std::size_t at = page.find("<h1>Tracking number ");
    ASSERT_NE(at, std::string::npos) << i << ": " << page;
    const int number = std::atoi(page.c_str() + at + 20);
    EXPECT_GE(number, 100) << i;
    EXPECT_LT(number, 100 + kRequests) << i;
    numbers.insert(number);
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kRequests)) << "a number was handed out twice";
  EXPECT_EQ(root.Read("c:\\woe\\track.txt"), " " + std::to_string(100 + kRequests) + " \r\n");
  EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{}) << "the remote host took every request";
  EXPECT_EQ(root.List("r:\\tont"), std::vector<std::string>{}) << "every answer was taken and deleted";
}

}  // namespace
}  // namespace trackrelay::e2e
