// trackrelay-check, the real executable, on real drives: each broken installation gets its own
// line and the status that says no request can be served; nothing on the drives is left changed.
// Under Wine the Windows build runs with the drives mapped by Wine, as the program's runs are.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/end_to_end.h"
#include "platform/confinement.h"

namespace trackrelay::e2e {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kNobody = 65534;

std::string CheckExecutable() {
  const char* set = std::getenv("TRACKRELAY_E2E_CHECK_EXECUTABLE");
  return set != nullptr && set[0] != '\0' ? set : TRACKRELAY_CHECK_EXECUTABLE;
}

// Everything below c:\woe and r: as it stands: names, kinds, modes, owners, and the bytes and
// times of files and links. Folders' own times are left out: a probe made and removed in a
// folder changes them, as every request does.
std::string Tree(const DriveRoot& root) {
  std::ostringstream tree;
  for (const char* top : {"c/woe", "r"}) {
    const fs::path start = fs::path(root.path()) / top;
    struct stat st;
    if (lstat(start.c_str(), &st) != 0) {
      tree << top << " missing\n";
      continue;
    }
    std::vector<fs::path> paths{start};
    if (S_ISDIR(st.st_mode)) {
      for (const auto& entry : fs::recursive_directory_iterator(start)) paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    for (const fs::path& path : paths) {
      lstat(path.c_str(), &st);
      tree << fs::relative(path, root.path()).string() << " " << std::oct << st.st_mode << std::dec << " " << st.st_uid
           << ":" << st.st_gid;
      if (S_ISREG(st.st_mode)) {
        std::ifstream in(path, std::ios::binary);
        tree << " " << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec << " [" << in.rdbuf() << "]";
      } else if (S_ISLNK(st.st_mode)) {
        tree << " -> " << fs::read_symlink(path).string();
      }
      tree << "\n";
    }
  }
  return tree.str();
}

void SetAge(const std::string& path, int seconds) {
  struct timeval now;
  gettimeofday(&now, nullptr);
  const timeval times[2] = {{now.tv_sec - seconds, 0}, {now.tv_sec - seconds, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

struct BrokenCase {
  const char* what;
  std::function<void(const DriveRoot&)> make;
  uid_t run_as;
  const char* line;  // the start of the line that says so, and then a part of it
  const char* says;
  int status;
};

TEST(InstallationCheckEndToEnd, FindsEachBrokenInstallationAndLeavesTheDrivesAsTheyWere) {
  const uid_t us = static_cast<uid_t>(-1);
  const bool whole = UnderWine() || LevelOf(OfferedConfinement()) == ConfinementLevel::kWhole;
  auto counter = [](const char* bytes) {
    return [bytes](const DriveRoot& root) { root.Write("c:\\woe\\track.txt", bytes); };
  };
  const BrokenCase cases[] = {
      {"a sound installation", [](const DriveRoot&) {}, us, "ok: the counter holds 41", ": 32726 numbers are left", 0},
      // What the program shuts itself in with here, which the attack test of the program shows.
      {"the program's confinement", [](const DriveRoot&) {}, us,
       whole ? "ok: the program confines itself here" : "warning: the program",
       UnderWine() ? "(3 of 3 process mitigation policies" : whole ? "by Landlock ABI " : "confine", 0},
      {"as the web server's user", [](const DriveRoot& root) { root.OpenToEveryone(); }, kNobody,
       "ok: checking as ", "nobody", 0},
      {"r: not mounted",
       [](const DriveRoot& root) {
         fs::remove(root.Local("r:\\fromnt"));
         fs::remove(root.Local("r:\\tont"));
       },
       us, "FAIL: r:\\fromnt", "is missing: is the share mounted?", 1},
      {"r: not there", [](const DriveRoot& root) { fs::remove_all(root.Local("r:")); }, us, "FAIL: r: is",
       "nothing on it can be checked", 1},
      {"fromnt a link",
       [](const DriveRoot& root) {
         fs::create_directory(root.path() + "/elsewhere");
         fs::remove(root.Local("r:\\fromnt"));
         fs::create_directory_symlink(root.path() + "/elsewhere", root.Local("r:\\fromnt"));
       },
       us, "FAIL: r:\\fromnt", "is a link, and the program follows no link below a drive", 1},
      // A farm's c:\woe: the administrator's link to its folder on the cluster file system.
      {"c:\\woe a link to the farm's folder",
       [](const DriveRoot& root) {
         fs::rename(root.Local("c:\\woe"), root.path() + "/farm");
         fs::create_directory_symlink(root.path() + "/farm", root.Local("c:\\woe"));
       },
       us, "ok: c:\\woe", "is a link to a folder, which the program follows there and nowhere else", 0},
      // Wine follows a Unix link itself, and shows one that leads nowhere as nothing at all.
      {"c:\\woe a link to nothing",
       [](const DriveRoot& root) {
         fs::remove_all(root.Local("c:\\woe"));
         fs::create_directory_symlink(root.path() + "/unmounted", root.Local("c:\\woe"));
       },
       us, "FAIL: c:\\woe", UnderWine() ? "is missing" : "is a link that leads to no folder that can be read", 1},
      {"tont not writable",
       [](const DriveRoot& root) {
         root.OpenToEveryone();
         chmod(root.Local("r:\\tont").c_str(), 0755);
       },
       kNobody, "FAIL: r:\\tont: a file cannot be created there", "(Permission denied, 70)", 1},
      {"counter missing", [](const DriveRoot& root) { fs::remove(root.Local("c:\\woe\\track.txt")); }, us,
       "FAIL: the counter", "is missing, and the program never makes it", 1},
      {"counter empty", counter(""), us, "FAIL: the counter is empty", "fails at step 1", 1},
      {"counter at its end", counter(" 32767 \r\n"), us, "FAIL: the counter holds 32767", "the last number", 1},
      {"counter near its end", counter(" 32000 \r\n"), us, "warning: the counter holds 32000", "767 numbers", 0},
      // Windows refuses to rename over a read-only file; on POSIX only the folder's permissions
      // count, and in a sticky folder the file's owner.
      {"counter not replaceable",
       [](const DriveRoot& root) {
         if (UnderWine()) {
           chmod(root.Local("c:\\woe\\track.txt").c_str(), 0444);
           return;
         }
         root.OpenToEveryone();
         chmod(root.Local("c:\\woe").c_str(), 01777);
         chmod(root.Local("c:\\woe\\track.txt").c_str(), 0666);
       },
       UnderWine() ? us : kNobody, "FAIL: the counter cannot be replaced by this user", "fails at step 1", 1},
      {"a stale request",
       [](const DriveRoot& root) {
         root.Write("r:\\fromnt\\41.DAT", "TRACKNO=0\r\n");
         SetAge(root.Local("r:\\fromnt\\41.DAT"), 120);
         root.Write("r:\\fromnt\\42.DAT", "TRACKNO=0\r\n");
       },
       us, "FAIL: r:\\fromnt holds 1 request file(s) older than 45 s (41.DAT 2", "the remote host is not taking", 1},
  };
  for (const BrokenCase& c : cases) {
    DriveRoot root;
    root.Write("c:\\woe\\track.txt", " 41 \r\n");
    c.make(root);
    const std::string before = Tree(root);
    Invocation run;
    run.executable = CheckExecutable();
    run.run_as = c.run_as;
    const Outcome out = RunTrackrelay(run, root);
    EXPECT_EQ(out.exit_status, c.status) << c.what << ":\n" << out.output;
    const std::size_t at = out.output.find(c.line);
    ASSERT_NE(at, std::string::npos) << c.what << ":\n" << out.output;
    const std::string line = out.output.substr(at, out.output.find('\n', at) - at);
    EXPECT_NE(line.find(c.says), std::string::npos) << c.what << ": " << line;
    if (c.status == 0) {
      EXPECT_EQ(out.output.find("FAIL:"), std::string::npos) << c.what << ":\n" << out.output;
    }
    EXPECT_EQ(Tree(root), before) << c.what;
  }
}

// The figures file of a run with --metrics, as the program under test names it: under Wine
// through its z: drive.
std::string ProgramsPath(const std::string& local) {
  if (!UnderWine()) return local;
  std::string path = "Z:";
  for (char c : local) path += c == '/' ? '\\' : c;
  return path;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// --state on real drives: what waits and for how long, as a screen, JSON and figures; a request
// left waiting moves them and asks for action, and nothing on the drives changes.
TEST(InstallationCheckEndToEnd, TheStateShowsWhatWaitsAndForHowLongAndChangesNothing) {
  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 41 \r\n");
  // The remote host's folders as it keeps them, with one request it failed an hour ago.
  fs::create_directories(root.Local("r:\\remote-host\\work"));
  fs::create_directories(root.Local("r:\\remote-host\\error"));
  root.Write("r:\\remote-host\\error\\20260101T000000.000Z-40.DAT", "TRACKNO=40\r\n");
  root.Write("r:\\remote-host\\error\\20260101T000000.000Z-40.reason",
             "request 40, published 2026-01-01 00:00:00.000 UTC, failed 2026-01-01 00:00:01.000 UTC\n"
             "the command ended with status 3 after 0.012 s\n");
  SetAge(root.Local("r:\\remote-host\\error\\20260101T000000.000Z-40.DAT"), 3601);
  SetAge(root.Local("r:\\remote-host\\error\\20260101T000000.000Z-40.reason"), 3600);
  const std::string figures = root.path() + "-state.prom";
  auto run = [&](std::vector<std::string> arguments) {
    Invocation invocation;
    invocation.executable = CheckExecutable();
    invocation.arguments = std::move(arguments);
    Outcome out = RunTrackrelay(invocation, root);
    // Windows ends a console program's lines with CR LF.
    std::erase(out.output, '\r');
    return out;
  };
  auto figure = [&](const std::string& sample) {
    const std::string text = ReadText(figures);
    const std::size_t at = text.find("\n" + sample + " ");
    return at == std::string::npos ? std::string("none") : text.substr(at + sample.size() + 2, text.find('\n', at + 1) - at - sample.size() - 2);
  };

  const std::string before = Tree(root);
  Outcome out = run({"--state"});
  EXPECT_EQ(out.exit_status, 0) << out.output;
  EXPECT_NE(out.output.find("ages by the share's clock"), std::string::npos) << out.output;
  EXPECT_NE(out.output.find("\nlast failures         60 min ago  40: the command ended with status 3 after 0.012 s\n"),
            std::string::npos)
      << out.output;
  EXPECT_NE(out.output.find("\ncounter               holds 41, 32726 numbers left before 32767\n"), std::string::npos)
      << out.output;
  EXPECT_TRUE(out.output.ends_with("\nnothing to act on\n")) << out.output;
  out = run({"--state", "--metrics", ProgramsPath(figures)});
  EXPECT_EQ(out.exit_status, 0) << out.output;
  EXPECT_EQ(out.output, "");
  EXPECT_EQ(figure("trackrelay_exchange_requests_waiting{age=\"over_45s\"}"), "0") << ReadText(figures);
  EXPECT_EQ(figure("trackrelay_exchange_error_requests"), "1") << ReadText(figures);
  EXPECT_EQ(Tree(root), before);

  // A request left waiting two minutes, and one waiting 25 s: within its wait, and in the middle of
  // its span of ages, so that a check slow to start on a loaded machine still finds it there.
  root.Write("r:\\fromnt\\17.DAT", "TRACKNO=17\r\n");
  SetAge(root.Local("r:\\fromnt\\17.DAT"), 120);
  root.Write("r:\\fromnt\\18.DAT", "TRACKNO=18\r\n");
  SetAge(root.Local("r:\\fromnt\\18.DAT"), 25);
  const std::string waiting = Tree(root);
  out = run({"--state"});
  EXPECT_EQ(out.exit_status, 1) << out.output;
  EXPECT_NE(out.output.find("\nrequests  r:\\fromnt        2      0       0        1      1  2 min\n"), std::string::npos)
      << out.output;
  {
    // 18's age: 25 s and the time the check took to start, within its span.
    const std::string line = "\nwaiting longest       17 (2 min), 18 (";
    const std::size_t at = out.output.find(line);
    ASSERT_NE(at, std::string::npos) << out.output;
    const int age = std::atoi(out.output.c_str() + at + line.size());
    EXPECT_TRUE(age >= 25 && age <= 45 && out.output.compare(at + line.size() + std::to_string(age).size(), 4, " s)\n") == 0)
        << out.output;
  }
  EXPECT_NE(out.output.find("\nACT: 1 request(s) waiting in r:\\fromnt longer than 45 s"), std::string::npos) << out.output;
  out = run({"--state", "--json"});
  EXPECT_EQ(out.exit_status, 1) << out.output;
  EXPECT_NE(out.output.find("\"by_age\": {\"up_to_5\": 0, \"up_to_15\": 0, \"up_to_45\": 1, \"over_45\": 1}"),
            std::string::npos)
      << out.output;
  EXPECT_EQ(run({"--state", "--metrics", ProgramsPath(figures)}).exit_status, 0);
  EXPECT_EQ(figure("trackrelay_exchange_requests_waiting{age=\"over_45s\"}"), "1") << ReadText(figures);
  EXPECT_EQ(figure("trackrelay_exchange_requests_waiting{age=\"up_to_45s\"}"), "1") << ReadText(figures);
  const double oldest = std::atof(figure("trackrelay_exchange_request_oldest_age_seconds").c_str());
  EXPECT_TRUE(oldest >= 120 && oldest < 150) << ReadText(figures);
  EXPECT_FALSE(fs::exists(figures + ".tmp"));
  EXPECT_EQ(Tree(root), waiting);
  fs::remove(figures);
}

TEST(InstallationCheckEndToEnd, QuietSaysOnlyWhatIsWrong) {
  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 41 \r\n");
  Invocation run;
  run.executable = CheckExecutable();
  run.arguments = {"--quiet"};
  Outcome out = RunTrackrelay(run, root);
  EXPECT_EQ(out.exit_status, 0) << out.output;
  EXPECT_EQ(out.output.find("ok:"), std::string::npos) << out.output;
  EXPECT_EQ(out.output.find("trackrelay-check:"), std::string::npos) << out.output;

  root.Write("c:\\woe\\track.txt", "");
  out = RunTrackrelay(run, root);
  EXPECT_EQ(out.exit_status, 1) << out.output;
  EXPECT_NE(out.output.find("FAIL: the counter is empty"), std::string::npos) << out.output;
  EXPECT_EQ(out.output.find("ok:"), std::string::npos) << out.output;
}

}  // namespace
}  // namespace trackrelay::e2e
