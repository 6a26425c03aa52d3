// The program on LazyFS, which drops every byte not flushed when told to, as a power cut drops a
// disk's cache: what a cut leaves of the requests that wait for their answers, of the counter at
// each step of a new number, and of a request whose write is torn. Skipped unless the drive roots
// lie on LazyFS (harness/shares/power_cut_test.sh); one LazyFS for all, so one test at a time.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cgi/expected_pages.h"
#include "e2e/end_to_end.h"
#include "platform/failure.h"
#include "platform/testing/local_files.h"
#include "relay/tracking_counter.h"

namespace trackrelay::e2e {
namespace {

namespace fs = std::filesystem;

#define SKIP_UNLESS_ON_LAZYFS() \
  if (!OnLazyFs()) GTEST_SKIP() << "the drive roots are not on LazyFS (harness/shares/power_cut_test.sh puts them there)"

// Writes a file as the administrator or the remote host would and flushes it: what a test sets
// up is on the disk before any cut.
void WriteFlushed(const DriveRoot& root, const std::string& drive_path, const std::string& bytes) {
  WriteLocalFileFlushed(root.Remote(drive_path), bytes);
}

bool Eventually(const std::function<bool()>& done, std::chrono::seconds bound) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// Under Wine each run starts a Windows process first, some seconds on a loaded machine.
std::chrono::seconds StartBound() { return std::chrono::seconds(UnderWine() ? 90 : 20); }

Invocation Post(const std::string& body) {
  Invocation run;
  run.env = PostEnvironment(std::to_string(body.size()));
  run.stdin_pieces = {body};
  return run;
}

// The counter's number as the program reads it, or nothing when it holds none.
std::optional<int> CounterOf(const DriveRoot& root) {
  const std::optional<std::string> text = ReadLocalFile(root.Remote("c:\\woe\\track.txt"));
  if (!text) return std::nullopt;
  try {
    return ParseCounterLine(text->substr(0, text->find('\r')));
  } catch (const Failure&) {
    return std::nullopt;
  }
}

// The number a page of the simulator's answers, or nothing for any other page.
std::optional<int> ServedNumber(const std::string& page) {
  const std::string mark = "<h1>Tracking number ";
  const std::size_t at = page.find(mark);
  if (page.rfind(expected::kHeader, 0) != 0 || at == std::string::npos || !page.ends_with("</html>\r\n\r\n")) {
    return std::nullopt;
  }
  return std::stoi(page.substr(at + mark.size()));
}

TEST(PowerCutEndToEnd, RequestsWaitingWhenThePowerGoesAreWholeOrAbsent) {
  SKIP_UNLESS_ON_LAZYFS();
  DriveRoot root;
  WriteFlushed(root, "c:\\woe\\track.txt", " 41 \r\n");
  // Five requests wait for answers that never come; one of them large, many pages of the cache.
  // Each request as a test's message shows it: its length, a hash of its bytes, how it begins.
  auto shown = [](const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>()(bytes)) + ": " +
           bytes.substr(0, 24);
  };
  std::set<std::string> sent;
  std::vector<StartedRun> runs;
  for (int i = 0; i < 5; ++i) {
    const std::string body = "TRACKNO=0&who=client" + std::to_string(i) + (i == 0 ? "&pad=" + std::string(100000, 'x') : "");
    sent.insert(shown(body + "\r\n"));
    runs.push_back(StartTrackrelay(Post(body), root));
  }
  ASSERT_TRUE(Eventually([&] { return root.List("r:\\fromnt").size() == 5; }, StartBound()))
      << "published: " << root.List("r:\\fromnt").size();
  ASSERT_TRUE(LazyFs({"cut"}));
  std::set<std::string> kept;
  for (const std::string& name : root.List("r:\\fromnt")) {
    EXPECT_TRUE(name == "41.DAT" || name == "42.DAT" || name == "43.DAT" || name == "44.DAT" || name == "45.DAT")
        << name;
    kept.insert(shown(root.Read("r:\\fromnt\\" + name)));
  }
  EXPECT_EQ(kept, sent) << "each request file whole, as the browser sent its form";
  EXPECT_EQ(root.Read("c:\\woe\\track.txt"), " 46 \r\n");
}

// The power goes at each step of a new number's allocation (LazyFS dies at that file operation,
// with what was not flushed): after the restart the counter holds a number, never one it held
// before, and no number is handed out twice.
TEST(PowerCutEndToEnd, TheCounterNeverGoesBackAndNoNumberIsHandedOutTwice) {
  SKIP_UNLESS_ON_LAZYFS();
  struct Step {
    const char* when;
    const char* fault;
  };
  const Step steps[] = {
      {"as the replacement is made", "timing=after::op=create::from_rgx=.*/woe/track\\.new"},
      {"once it is written", "timing=after::op=write::from_rgx=.*/woe/track\\.new"},
      {"once it is flushed", "timing=after::op=fsync::from_rgx=.*/woe/track\\.new"},
      {"as it replaces the counter", "timing=before::op=rename::from_rgx=.*::to_rgx=woe/track\\.txt"},
      {"once it replaced the counter", "timing=after::op=rename::from_rgx=.*::to_rgx=woe/track\\.txt"},
  };
  DriveRoot root;
  WriteFlushed(root, "c:\\woe\\track.txt", " 41 \r\n");
  std::set<int> handed_out;
  int least = 41;  // the counter may never hold less
  for (const Step& step : steps) {
    SCOPED_TRACE(step.when);
    ASSERT_TRUE(LazyFs({"crash", step.fault}));
    const Outcome cut = RunTrackrelay(Post("TRACKNO=0"), root);
    EXPECT_EQ(cut.output, expected::InternalErrorPage("1")) << "the disk went during the allocation";
    ASSERT_TRUE(LazyFs({"crashed", "10"})) << "the fault never struck";
    ASSERT_TRUE(LazyFs({"restart"}));

    const std::optional<int> counter = CounterOf(root);
    ASSERT_TRUE(counter.has_value()) << "the counter after the restart: "
                                     << ReadLocalFile(root.Remote("c:\\woe\\track.txt")).value_or("(none)");
    EXPECT_GE(*counter, least);
    least = *counter;
    // The next new number is served as ever, and is none handed out before.
    RemoteHostSimulator remote(root);
    const Outcome next = RunTrackrelay(Post("TRACKNO=0"), root);
    const std::optional<int> served = ServedNumber(next.output);
    ASSERT_TRUE(served.has_value()) << next.output;
    EXPECT_EQ(*served, *counter);
    EXPECT_TRUE(handed_out.insert(*served).second) << *served << " was handed out twice";
    EXPECT_EQ(CounterOf(root), *served + 1);
    least = *served + 1;
  }
}

// A request file whose write the power tears leaves its first part under the temporary name: the
// remote host never takes it, nobody relays it, and the next request of the number is served.
TEST(PowerCutEndToEnd, ATornRequestIsNeverTakenAndTheNumberIsServedAgainAfterTheRestart) {
  SKIP_UNLESS_ON_LAZYFS();
  DriveRoot root;
  const std::string body = "TRACKNO=7&note=" + std::string(20000, 'n');
  ASSERT_TRUE(LazyFs({"torn", root.Local("r:\\fromnt\\t7.DAT"), "1", "2"}));
  const Outcome torn = RunTrackrelay(Post(body), root);
  EXPECT_EQ(torn.output, expected::InternalErrorPage("2"));
  ASSERT_TRUE(LazyFs({"crashed", "10"})) << "the write was never torn";
  ASSERT_TRUE(LazyFs({"restart"}));
  EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{"t7.DAT"});
  EXPECT_LT(root.Read("r:\\fromnt\\t7.DAT").size(), body.size()) << "the write was torn";

  RemoteHostSimulator remote(root);
  const Outcome again = RunTrackrelay(Post(body), root);
  EXPECT_EQ(ServedNumber(again.output), 7) << again.output;
  EXPECT_NE(again.output.find(std::string(20000, 'n')), std::string::npos) << "the whole form input came back";
}

}  // namespace
}  // namespace trackrelay::e2e
