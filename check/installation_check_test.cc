#include "check/installation_check.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/testing/fake_system.h"
#include "relay/tracking_counter.h"

namespace trackrelay::check {
namespace {

const char* const kCounter = "c:\\woe\\track.txt";
constexpr std::int64_t kNow = 10'000'000;

struct CheckCase {
  const char* what;
  std::function<void(FakeSystem&)> make;
  Verdict verdict;
  const char* says;  // a part of the finding's line
  int status;        // 0: a request can be served
  bool probes_stay = false;  // probes that cannot be removed, each named in a failure
};

std::string Lines(const std::vector<Finding>& findings) {
  std::string all;
  for (const Finding& finding : findings) all += FindingLine(finding) + "\n";
  return all;
}

TEST(InstallationCheckTest, EachBrokenInstallationHasItsOwnFindingAndNothingIsLeftChanged) {
  auto counter = [](const char* bytes) { return [bytes](FakeSystem& s) { s.files[kCounter] = bytes; }; };
  auto stale = [](const char* path, std::int64_t age_ms) {
    return [=](FakeSystem& s) {
      s.files[path] = "x\r\n";
      s.modified_ms[path] = kNow - age_ms;
    };
  };
  const CheckCase cases[] = {
      {"a sound installation", [](FakeSystem&) {}, Verdict::kOk, "the counter holds 41: 32726 numbers are left", 0},
      {"r: not there", [](FakeSystem& s) { s.missing_drives.insert('r'); }, Verdict::kFail,
       "r: is the fake drive r:: nothing on it can be checked", 1},
      {"r: a share", [](FakeSystem& s) { s.network_drives = true; }, Verdict::kOk, "r: is the fake drive r:, a network share", 0},
      {"fromnt missing", [](FakeSystem& s) { s.missing_folders.insert("r:\\fromnt\\"); }, Verdict::kFail,
       " is missing: is the share mounted? Make the folder on the share", 1},
      {"fromnt a link", [](FakeSystem& s) { s.kinds["r:\\fromnt"] = EntryKind::kLink; }, Verdict::kFail,
       " is a link, and the program follows no link below a drive: make it a real folder of the share", 1},
      {"c:\\woe a link", [](FakeSystem& s) { s.kinds["c:\\woe"] = EntryKind::kLink; }, Verdict::kOk,
       " is a link to a folder, which the program follows there and nowhere else", 0},
      {"c:\\woe a link to nothing",
       [](FakeSystem& s) {
         s.kinds["c:\\woe"] = EntryKind::kLink;
         s.files.erase(kCounter);
         s.missing_folders.insert("c:\\woe\\");
       },
       Verdict::kFail, " is a link that leads to no folder that can be read", 1},
      {"tont not writable", [](FakeSystem& s) { s.Fail(FakeSystem::kWriteTextFile, kPermissionDenied, 2); },
       Verdict::kFail, "r:\\tont: a file cannot be created there (Permission denied, 70)", 1},
      {"c:\\woe not writable", [](FakeSystem& s) { s.Fail(FakeSystem::kWriteTextFileLike, kPermissionDenied); },
       Verdict::kFail, "c:\\woe: a file cannot be created there", 1},
      {"nor may the claims file be made there",
       [](FakeSystem& s) { s.Fail(FakeSystem::kWriteTextFileLike, kPermissionDenied); }, Verdict::kFail,
       "is not made yet, and this user cannot make it", 1},
      {"a rename that fails leaves no probe behind",
       [](FakeSystem& s) { s.Fail(FakeSystem::kRenameNoReplace, kFileAlreadyExists); }, Verdict::kFail,
       "r:\\fromnt: a file cannot be renamed without replacing there (File already exists, 58)", 1},
      {"a probe that cannot be removed is said",
       [](FakeSystem& s) { s.Fail(FakeSystem::kRemoveFile, kPermissionDenied, 1); }, Verdict::kFail,
       "could not be removed (Permission denied, 70): remove it by hand", 1, true},
      {"counter missing", [](FakeSystem& s) { s.files.erase(kCounter); }, Verdict::kFail,
       " is missing, and the program never makes it", 1},
      {"counter empty", counter(""), Verdict::kFail, "the counter is empty", 1},
      {"counter no number", counter("4l\r\n"), Verdict::kFail, "first line, \"4l\", is no number", 1},
      {"counter beyond the range", counter("40000\r\n"), Verdict::kFail, "is beyond -32768..32767", 1},
      {"counter at 32767", counter(" 32767 \r\n"), Verdict::kFail, "the counter holds 32767, the last number", 1},
      {"counter with 1000 left", counter(" 31767 \r\n"), Verdict::kOk, "31767: 1000 numbers are left", 0},
      {"counter with 999 left", counter(" 31768 \r\n"), Verdict::kWarning, "31768: 999 numbers are left", 0},
      {"counter with one left", counter(" 32766 \r\n"), Verdict::kWarning, "32766: 1 number is left", 0},
      {"counter negative", counter("-32768 \r\n"), Verdict::kOk, "-32768: 65535 numbers are left", 0},
      {"counter not replaceable", [](FakeSystem& s) { s.unreplaceable.insert(kCounter); }, Verdict::kFail,
       "the counter cannot be replaced by this user", 1},
      {"counter unreadable",
       [](FakeSystem& s) {
         s.files["c:\\woe\\track.claims"] = "";
         s.Fail(FakeSystem::kOpenTextFileLocked, kPermissionDenied);
       },
       Verdict::kFail, "the counter cannot be read (Permission denied, 70)", 1},
      {"counter's lock never let go",
       [](FakeSystem& s) {
         s.files["c:\\woe\\track.claims"] = "";
         s.foreign_locks.insert({"c:\\woe\\track.claims", 65536});
       },
       Verdict::kFail, "was another process's for all of 10 s", 1},
      {"counter unreadable before the first request",
       [](FakeSystem& s) { s.Fail(FakeSystem::kOpenTextFile, kPermissionDenied); }, Verdict::kFail,
       "the counter cannot be read (Permission denied, 70)", 1},
      {"claims not lockable",
       [](FakeSystem& s) {
         s.files["c:\\woe\\track.claims"] = "";
         s.Fail(FakeSystem::kClaimForProcess, kDeviceIoError);
       },
       Verdict::kFail, "cannot be locked (Device I/O error, 57)", 1},
      {"claims lockable", [](FakeSystem& s) { s.files["c:\\woe\\track.claims"] = ""; }, Verdict::kOk,
       "the claims file can be locked", 0},
      {"a stale request", stale("r:\\fromnt\\41.DAT", 45001), Verdict::kFail,
       "holds 1 request file(s) older than 45 s (41.DAT 45 s): the remote host is not taking requests", 1},
      {"a request just within 45 s", stale("r:\\fromnt\\41.DAT", 45000), Verdict::kOk,
       "r:\\fromnt holds no request older than 45 s (1 newer)", 0},
      {"old files of no request", stale("r:\\fromnt\\t41.DAT", 3600000), Verdict::kOk,
       "r:\\fromnt holds no request older than 45 s", 0},
      {"a request of no number", stale("r:\\fromnt\\041.DAT", 3600000), Verdict::kOk,
       "r:\\fromnt holds no request older than 45 s", 0},
      {"a stale answer", stale("r:\\tont\\-7.out", 7200000), Verdict::kWarning,
       "holds 1 answer(s) older than 45 s that no request took (-7.out 2 h)", 0},
      {"a share without no-replace renames and hard links",
       [](FakeSystem& s) { s.rename_way = RenameWay::kCheckedRename; }, Verdict::kWarning,
       "give each web server on this share numbers of its own", 0},
      {"a share with hard links", [](FakeSystem& s) { s.rename_way = RenameWay::kHardLink; }, Verdict::kOk,
       "each is made as a hard link and a removal", 0},
      {"an inbound folder that reports arrivals", [](FakeSystem& s) { s.arrival = [](DWORD ms) { return ms - 1; }; },
       Verdict::kOk, "r:\\tont is watched", 0},
      {"an inbound folder that does not", [](FakeSystem&) {}, Verdict::kOk, "r:\\tont is not watched", 0},
      {"an inbound folder that ignores case", [](FakeSystem& s) { s.case_insensitive = true; }, Verdict::kOk,
       "r:\\tont ignores case", 0},
  };
  for (const CheckCase& c : cases) {
    FakeSystem fake;
    fake.files[kCounter] = " 41 \r\n";
    fake.clock_ms = kNow;
    c.make(fake);
    const std::map<std::string, std::string> before = fake.files;
    std::vector<Finding> findings;
    CheckInstallation([&](const Finding& finding) { findings.push_back(finding); });
    int status = 0;
    bool said = false;
    for (const Finding& finding : findings) {
      if (finding.verdict == Verdict::kFail) status = 1;
      if (finding.verdict == c.verdict && finding.text.find(c.says) != std::string::npos) said = true;
    }
    EXPECT_TRUE(said) << c.what << ", found:\n" << Lines(findings);
    EXPECT_EQ(status, c.status) << c.what << ", found:\n" << Lines(findings);
    if (c.probes_stay) {
      for (const auto& [path, bytes] : fake.files) {
        if (before.count(path) != 0) continue;
        EXPECT_NE(Lines(findings).find("FAIL: the probe file " + path), std::string::npos) << path;
      }
    } else {
      EXPECT_EQ(fake.files, before) << c.what;
    }
    // The counter is read and never written, renamed or removed.
    for (const std::string& call : fake.calls) {
      if (call.rfind("Write", 0) == 0 || call.rfind("Rename", 0) == 0 || call.rfind("Remove", 0) == 0) {
        EXPECT_EQ(call.find("track.txt"), std::string::npos) << c.what << ": " << call;
      }
    }
  }
}

TEST(InstallationCheckTest, ReadsTheCounterUnderItsLockAndClaimsNoNumberOfARequest) {
  FakeSystem fake;
  fake.files[kCounter] = " 41 \r\n";
  fake.files["c:\\woe\\track.claims"] = "";
  CheckInstallation([](const Finding&) {});
  EXPECT_EQ(fake.CallCount(FakeSystem::kOpenTextFileLocked), 1);
  EXPECT_EQ(fake.CallCount(FakeSystem::kOpenTextFile), 0);
  EXPECT_EQ(fake.held_locks, 0);
  ASSERT_EQ(fake.claims.size(), 1u);
  EXPECT_GT(fake.claims.begin()->second, 65535) << "requests claim 0 to 65535, one slot a number";
  EXPECT_NE(fake.claims.begin()->second, kCounterLockSlot) << "held for the check's whole run, it would stop "
                                                              "every request that takes a new number";
}

TEST(InstallationCheckTest, ProbeNamesAreNoneOfTheExchange) {
  FakeSystem fake;
  fake.files[kCounter] = " 41 \r\n";
  CheckInstallation([](const Finding&) {});
  int probes = 0;
  for (const std::string& call : fake.calls) {
    if (call.rfind("WriteTextFile ", 0) != 0 && call.rfind("WriteTextFileLike ", 0) != 0) continue;
    ++probes;
    const std::string name = call.substr(call.rfind('\\') + 1);
    EXPECT_EQ(name.rfind("trackrelay-check-", 0), 0u) << call;
    EXPECT_FALSE(name.ends_with(".DAT") || name.ends_with(".out")) << call;
  }
  EXPECT_EQ(probes, 4) << "two in c:\\woe, one in each exchange folder";
}

}  // namespace
}  // namespace trackrelay::check
