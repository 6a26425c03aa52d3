#include "check/exchange_state.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "check/state_views.h"
#include "platform/failure.h"
#include "platform/testing/fake_system.h"

namespace trackrelay::check {
namespace {

constexpr std::int64_t kNow = 10'000'000;
const char* const kRemoteHost = "r:\\remote-host";

void Put(FakeSystem& fake, const std::string& path, std::int64_t age_ms, const std::string& bytes = "x\r\n") {
  fake.files[path] = bytes;
  fake.modified_ms[path] = kNow - age_ms;
}

// A fake whose share stamps kNow on what is written, with the counter at 41.
void Sound(FakeSystem& fake) {
  fake.clock_ms = kNow;
  Put(fake, "c:\\woe\\track.txt", 0, " 41 \r\n");
}

std::vector<std::string> Names(const FolderState& folder) {
  std::vector<std::string> names;
  for (const AgedFile& file : folder.oldest) names.push_back(file.name + " " + std::to_string(file.age_ms));
  return names;
}

// Each folder's files of a number, by the bands' bounds (a file exactly 45 s old still waits for
// its request); every other name left out, the probe among them.
TEST(ExchangeStateTest, FilesOfANumberAreCountedByAgeAndNothingElseIs) {
  struct Case {
    const char* folder;
    const char* suffix;
    FolderState ExchangeState::*part;
  };
  for (const Case& c : {Case{"r:\\fromnt\\", ".DAT", &ExchangeState::requests},
                        Case{"r:\\tont\\", ".out", &ExchangeState::answers},
                        Case{"r:\\remote-host\\work\\", ".DAT", &ExchangeState::work}}) {
    FakeSystem fake;
    Sound(fake);
    const std::string folder = c.folder, suffix = c.suffix;
    Put(fake, folder + "1" + suffix, 0);
    Put(fake, folder + "-2" + suffix, 5000);
    Put(fake, folder + "3" + suffix, 5001);
    Put(fake, folder + "4" + suffix, 45000);
    Put(fake, folder + "5" + suffix, 45001);
    for (const char* other : {"041", "t6", "-0", "32768", "+7", "8x"}) Put(fake, folder + other + suffix, 3600000);
    Put(fake, folder + "9" + (suffix == ".DAT" ? ".out" : ".DAT"), 3600000);
    Put(fake, folder + "trackrelay-check-0123456789ab.chk", 3600000);
    // Stamped ahead of the share's clock: counted as new, never as a negative age.
    Put(fake, folder + "10" + suffix, -3000);
    const std::map<std::string, std::string> before = fake.files;
    const ExchangeState state = ReadExchangeState(kRemoteHost, 0);
    const FolderState& part = state.*c.part;
    EXPECT_TRUE(state.share_clock) << state.clock_problem;
    EXPECT_TRUE(part.readable) << c.folder << part.problem;
    EXPECT_EQ(part.count, 6) << c.folder;
    EXPECT_EQ(part.by_age, (std::array<int, 4>{3, 1, 1, 1})) << c.folder;
    EXPECT_EQ(Names(part), (std::vector<std::string>{"5" + suffix + " 45001", "4" + suffix + " 45000",
                                                     "3" + suffix + " 5001", "-2" + suffix + " 5000", "1" + suffix + " 0",
                                                     "10" + suffix + " 0"}))
        << c.folder;
    EXPECT_EQ(part.newest_age_ms, 0);
    EXPECT_EQ(fake.files, before) << "the probe is gone, and nothing else changed";
  }
}

TEST(ExchangeStateTest, WhatCannotBeReadIsSaidAndAgesFallBackToThisMachinesClock) {
  FakeSystem fake;
  Sound(fake);
  Put(fake, "r:\\fromnt\\7.DAT", 1000);
  fake.Fail(FakeSystem::kWriteTextFile, kPermissionDenied);
  fake.missing_folders.insert("r:\\tont\\");
  fake.missing_folders.insert("r:\\remote-host\\work\\");
  fake.files.erase("c:\\woe\\track.txt");
  const ExchangeState state = ReadExchangeState(kRemoteHost, kNow + 60000);
  EXPECT_FALSE(state.share_clock);
  EXPECT_EQ(state.clock_problem, "no probe file can be made in r:\\fromnt: Permission denied (70)");
  EXPECT_EQ(Names(state.requests), std::vector<std::string>{"7.DAT 61000"});
  EXPECT_FALSE(state.answers.readable);
  EXPECT_FALSE(state.answers.problem.empty());
  EXPECT_FALSE(state.work.readable);
  EXPECT_TRUE(state.errors.readable);
  EXPECT_FALSE(state.counter_readable);
  EXPECT_EQ(state.counter_problem, "File not found (53)");
}

TEST(ExchangeStateTest, TheCounterTellsTheNumbersLeft) {
  struct Case {
    const char* line;
    bool readable;
    int counter, left;
  };
  for (const Case& c : {Case{" 41 \r\n", true, 41, 32726}, Case{" 32766 \r\n", true, 32766, 1},
                        Case{" 32767 \r\n", true, 32767, 0}, Case{"-32768 \r\n", true, -32768, 65535},
                        Case{"40000\r\n", false, 0, 0}, Case{"", false, 0, 0}}) {
    FakeSystem fake;
    Sound(fake);
    fake.files["c:\\woe\\track.txt"] = c.line;
    const ExchangeState state = ReadExchangeState(kRemoteHost, 0);
    EXPECT_EQ(state.counter_readable, c.readable) << c.line;
    if (!c.readable) continue;
    EXPECT_EQ(state.counter, c.counter) << c.line;
    EXPECT_EQ(state.numbers_left, c.left) << c.line;
  }
}

TEST(ExchangeStateTest, TheErrorFolderGivesItsCountAndItsNewestReasons) {
  FakeSystem fake;
  Sound(fake);
  const std::string error = "r:\\remote-host\\error\\";
  auto failed = [&](const std::string& stem, const std::string& number, std::int64_t age_ms, const std::string& reason) {
    Put(fake, error + stem + ".DAT", age_ms + 2000, "TRACKNO=" + number + "\r\n");
    Put(fake, error + stem + ".reason", age_ms,
        "request " + number + ", published 2026-01-01 00:00:00.000 UTC, failed 2026-01-01 00:00:02.000 UTC\n" + reason +
            "\nthe command's standard error (its first 16 KiB):\nno such customer\n");
  };
  failed("20260101T000000.000Z-40", "40", 7200000, "the command ended with status 1 after 0.010 s");
  failed("20260101T010000.000Z--5", "-5", 60000, "the command was ended by signal 9 after 2.000 s");
  failed("20260101T010100.000Z-41", "41", 1000, "the command ended with status 3 after 0.012 s");
  failed("20260101T005900.000Z-42", "42", 120000, "no command was free before the deadline (4 running)");
  Put(fake, error + "20260101T000000.000Z-misnamed.DAT", 9000000);
  const ExchangeState state = ReadExchangeState(kRemoteHost, 0);
  EXPECT_EQ(state.errors.count, 5);
  EXPECT_EQ(state.errors.oldest.front().age_ms, 9000000);
  EXPECT_EQ(state.errors.newest_age_ms, 3000);
  ASSERT_EQ(state.last_failures.size(), 3u);
  EXPECT_EQ(state.last_failures[0].number, "41");
  EXPECT_EQ(state.last_failures[0].age_ms, 1000);
  EXPECT_EQ(state.last_failures[0].reason, "the command ended with status 3 after 0.012 s");
  EXPECT_EQ(state.last_failures[1].number, "-5");
  EXPECT_EQ(state.last_failures[1].reason, "the command was ended by signal 9 after 2.000 s");
  EXPECT_EQ(state.last_failures[2].number, "42");
}

TEST(ExchangeStateTest, EachConcernAndWhetherItMustBeActedOnNow) {
  struct Case {
    const char* what;
    std::function<void(FakeSystem&)> make;
    std::vector<bool> act_now;  // one per concern
    const char* says;
  };
  const Case cases[] = {
      {"a sound exchange", [](FakeSystem& s) { Put(s, "r:\\fromnt\\41.DAT", 45000); }, {}, ""},
      {"a request left waiting", [](FakeSystem& s) { Put(s, "r:\\fromnt\\41.DAT", 45001); }, {true},
       "1 request(s) waiting in r:\\fromnt longer than 45 s: the remote host is not taking requests"},
      {"an answer standing", [](FakeSystem& s) { Put(s, "r:\\tont\\41.out", 60000); }, {false},
       "1 answer(s) standing in r:\\tont longer than 45 s: their programs died or gave up"},
      {"a request taken and never let go", [](FakeSystem& s) { Put(s, "r:\\remote-host\\work\\41.DAT", 50000); },
       {true}, "taken longer than 45 s ago: the remote host stopped while serving them"},
      {"the outbound folder gone", [](FakeSystem& s) { s.missing_folders.insert("r:\\fromnt\\"); }, {true},
       "r:\\fromnt cannot be read ("},
      {"a remote host of its own, without our state folder",
       [](FakeSystem& s) { s.missing_folders.insert("r:\\remote-host\\"); }, {}, ""},
      {"the counter near its end", [](FakeSystem& s) { s.files["c:\\woe\\track.txt"] = " 32000 \r\n"; }, {false},
       "767 numbers left before 32767"},
      {"the counter at its end", [](FakeSystem& s) { s.files["c:\\woe\\track.txt"] = " 32767 \r\n"; }, {true},
       "0 numbers left before 32767"},
  };
  for (const Case& c : cases) {
    FakeSystem fake;
    Sound(fake);
    c.make(fake);
    const std::vector<Concern> concerns = ConcernsOf(ReadExchangeState(kRemoteHost, 0));
    std::vector<bool> act_now;
    for (const Concern& concern : concerns) act_now.push_back(concern.act_now);
    EXPECT_EQ(act_now, c.act_now) << c.what;
    if (!concerns.empty()) {
      EXPECT_NE(concerns[0].text.find(c.says), std::string::npos) << c.what << ": " << concerns[0].text;
    }
  }
}

ExchangeState AState() {
  ExchangeState state;
  state.share_clock = true;
  state.requests = {"r:\\fromnt", true, "", 2, {1, 0, 0, 1}, {{"17.DAT", 120000}, {"18.DAT", 900}}, 900};
  state.answers = {"r:\\tont", true, "", 0, {}, {}, 0};
  state.remote_host = "r:\\remote-host";
  state.work = {"r:\\remote-host\\work", false, "Path not found (76)", 0, {}, {}, 0};
  state.errors = {"r:\\remote-host\\error", true, "", 1, {0, 0, 0, 1}, {{"x-41.DAT", 7200000}}, 7200000};
  state.last_failures = {{"41", 7190000, "the command ended with status 3 after 0.012 s \"quoted\"\x01\xff"}};
  state.counter_readable = true;
  state.counter = 1236;
  state.numbers_left = 31531;
  return state;
}

TEST(StateViewsTest, TheScreen) {
  EXPECT_EQ(StateScreen(AState()).substr(StateScreen(AState()).find('\n')),
            "\n\n"
            "                       total  0-5 s  5-15 s  15-45 s  >45 s  oldest\n"
            "requests  r:\\fromnt        2      1       0        0      1  2 min\n"
            "answers   r:\\tont          0      0       0        0      0  -\n"
            "taken     work/       cannot be read: Path not found (76)\n"
            "failed    error/           1      -       -        -      -  2 h, newest 2 h\n"
            "\n"
            "remote host's folder  r:\\remote-host\n"
            "waiting longest       17 (2 min), 18 (0 s)\n"
            "last failures         119 min ago 41: the command ended with status 3 after 0.012 s \"quoted\"\x01\xff\n"
            "counter               holds 1236, 31531 numbers left before 32767\n"
            "\n"
            "ACT: 1 request(s) waiting in r:\\fromnt longer than 45 s: the remote host is not taking requests; each keeps "
            "its number busy (internal error 3): start the remote host\n");
}

TEST(StateViewsTest, TheJsonEscapesWhatItQuotes) {
  const std::string json = StateJson(AState());
  EXPECT_NE(json.find("\"last_failures\": [{\"number\": \"41\", \"age_seconds\": 7190.000, \"reason\": \"the command "
                      "ended with status 3 after 0.012 s \\\"quoted\\\"\\u0001\xEF\xBF\xBD\"}]"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"requests\": {\"folder\": \"r:\\\\fromnt\", \"readable\": true, \"problem\": null, \"count\": 2, "
                      "\"by_age\": {\"up_to_5\": 1, \"up_to_15\": 0, \"up_to_45\": 0, \"over_45\": 1}, "
                      "\"oldest_seconds\": 120.000, \"newest_seconds\": 0.900, \"oldest\": [{\"name\": \"17.DAT\", "
                      "\"age_seconds\": 120.000}, {\"name\": \"18.DAT\", \"age_seconds\": 0.900}]}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"work\": {\"folder\": \"r:\\\\remote-host\\\\work\", \"readable\": false, \"problem\": \"Path not "
                      "found (76)\", \"count\": 0"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"counter\": {\"readable\": true, \"problem\": null, \"holds\": 1236, \"numbers_left\": 31531}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"concerns\": [{\"act_now\": true, \"text\": \"1 request(s) waiting in r:\\\\fromnt longer"),
            std::string::npos)
      << json;
}

// A folder that cannot be read has no figures, so that a query never reads its 0 as "nothing waits".
TEST(StateViewsTest, TheFiguresOfWhatCannotBeReadAreLeftOut) {
  const std::string figures = StateFigures(AState());
  EXPECT_NE(figures.find("trackrelay_exchange_folder_readable{folder=\"work\"} 0\n"), std::string::npos) << figures;
  EXPECT_EQ(figures.find("trackrelay_exchange_work_"), std::string::npos) << figures;
  EXPECT_NE(figures.find("trackrelay_exchange_requests_waiting{age=\"over_45s\"} 1\n"), std::string::npos) << figures;
  EXPECT_NE(figures.find("trackrelay_exchange_request_oldest_age_seconds 120.000\n"), std::string::npos) << figures;
  EXPECT_NE(figures.find("trackrelay_exchange_answer_oldest_age_seconds 0\n"), std::string::npos) << figures;
  EXPECT_NE(figures.find("# HELP trackrelay_exchange_requests_waiting Request files N.DAT waiting in r:\\\\fromnt"),
            std::string::npos)
      << figures;
  EXPECT_TRUE(figures.ends_with("trackrelay_exchange_counter_numbers_left 31531\n")) << figures;
}

}  // namespace
}  // namespace trackrelay::check
