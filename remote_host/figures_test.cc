#include "remote_host/figures.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <system_error>

namespace trackrelay::remote_host {
namespace {

namespace fs = std::filesystem;

// The sample lines of the exposition (no HELP or TYPE), as a set.
std::set<std::string> Samples(const std::string& text) {
  std::set<std::string> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("#")) samples.insert(line);
  }
  return samples;
}

// Each event moves its own figures and no other: the samples of a fresh set of figures, and
// those after the event, differ by exactly the lines given.
TEST(FiguresTest, EachEventMovesItsOwnFigures) {
  struct Case {
    const char* event;
    std::function<void(Figures&)> happen;
    std::set<std::string> before, after;
  };
  const Case cases[] = {
      {"a request answered", [](Figures& f) { f.Answered(); },
       {"trackrelay_remote_host_requests_answered_total 0"}, {"trackrelay_remote_host_requests_answered_total 1"}},
      {"a command ending with status 3", [](Figures& f) { f.Failed(FailureKind::kCommandStatus); },
       {"trackrelay_remote_host_requests_failed_total{reason=\"command_status\"} 0"},
       {"trackrelay_remote_host_requests_failed_total{reason=\"command_status\"} 1"}},
      {"no command free", [](Figures& f) { f.Failed(FailureKind::kNoCommandFree); },
       {"trackrelay_remote_host_requests_failed_total{reason=\"no_command_free\"} 0"},
       {"trackrelay_remote_host_requests_failed_total{reason=\"no_command_free\"} 1"}},
      {"an answer that could not be written", [](Figures& f) { f.Failed(FailureKind::kAnswerNotWritten); },
       {"trackrelay_remote_host_requests_failed_total{reason=\"answer_not_written\"} 0"},
       {"trackrelay_remote_host_requests_failed_total{reason=\"answer_not_written\"} 1"}},
      {"an answer swept", [](Figures& f) { f.AnswerSwept(); },
       {"trackrelay_remote_host_answers_swept_total 0"}, {"trackrelay_remote_host_answers_swept_total 1"}},
      {"an earlier answer removed", [](Figures& f) { f.EarlierAnswerRemoved(); },
       {"trackrelay_remote_host_earlier_answers_removed_total 0"},
       {"trackrelay_remote_host_earlier_answers_removed_total 1"}},
      {"a temporary request file swept", [](Figures& f) { f.UnpublishedRequestSwept(); },
       {"trackrelay_remote_host_unpublished_requests_swept_total 0"},
       {"trackrelay_remote_host_unpublished_requests_swept_total 1"}},
      // A bound is the bucket's own: 0.25 s falls in le="0.25", and every bucket above counts it.
      {"a command of 0.25 s", [](Figures& f) { f.CommandTook(0.25); },
       {"trackrelay_remote_host_command_duration_seconds_bucket{le=\"0.25\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"0.5\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"1\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"2.5\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"5\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"10\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"20\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"30\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"43\"} 0",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"+Inf\"} 0",
        "trackrelay_remote_host_command_duration_seconds_sum 0",
        "trackrelay_remote_host_command_duration_seconds_count 0"},
       {"trackrelay_remote_host_command_duration_seconds_bucket{le=\"0.25\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"0.5\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"1\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"2.5\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"5\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"10\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"20\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"30\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"43\"} 1",
        "trackrelay_remote_host_command_duration_seconds_bucket{le=\"+Inf\"} 1",
        "trackrelay_remote_host_command_duration_seconds_sum 0.25",
        "trackrelay_remote_host_command_duration_seconds_count 1"}},
      // Past the last bound (a command killed after its deadline's kill took a moment): +Inf only.
      {"a command of 43.2 s", [](Figures& f) { f.CommandTook(43.2); },
       {"trackrelay_remote_host_command_duration_seconds_bucket{le=\"+Inf\"} 0",
        "trackrelay_remote_host_command_duration_seconds_sum 0",
        "trackrelay_remote_host_command_duration_seconds_count 0"},
       {"trackrelay_remote_host_command_duration_seconds_bucket{le=\"+Inf\"} 1",
        "trackrelay_remote_host_command_duration_seconds_sum 43.2",
        "trackrelay_remote_host_command_duration_seconds_count 1"}},
  };
  const FigureGauges gauges{2, 3, 4, 1767225600};
  for (const Case& c : cases) {
    Figures figures;
    const std::set<std::string> before = Samples(FiguresText(figures.Counts(), gauges));
    const std::uint64_t events = figures.Events();
    c.happen(figures);
    EXPECT_EQ(figures.Events(), events + 1) << c.event;
    const std::set<std::string> after = Samples(FiguresText(figures.Counts(), gauges));
    std::set<std::string> gone, came;
    for (const std::string& line : before) {
      if (!after.contains(line)) gone.insert(line);
    }
    for (const std::string& line : after) {
      if (!before.contains(line)) came.insert(line);
    }
    EXPECT_EQ(gone, c.before) << c.event;
    EXPECT_EQ(came, c.after) << c.event;
  }
}

// The whole text as a collector reads it: HELP and TYPE before each family's samples, every
// reason there at 0, the gauges as given, and a line end after the last line.
TEST(FiguresTest, TheTextIsTheExpositionFormat) {
  Figures figures;
  figures.Failed(FailureKind::kDeadline);
  const std::string text = FiguresText(figures.Counts(), FigureGauges{2, 3, 4, 1767225600});
  EXPECT_TRUE(text.starts_with("# HELP trackrelay_remote_host_requests_answered_total Requests served with their "
                               "command's answer.\n# TYPE trackrelay_remote_host_requests_answered_total counter\n"
                               "trackrelay_remote_host_requests_answered_total 0\n"))
      << text;
  EXPECT_NE(text.find("# TYPE trackrelay_remote_host_requests_failed_total counter\n"
                      "trackrelay_remote_host_requests_failed_total{reason=\"command_status\"} 0\n"
                      "trackrelay_remote_host_requests_failed_total{reason=\"command_signal\"} 0\n"
                      "trackrelay_remote_host_requests_failed_total{reason=\"deadline\"} 1\n"),
            std::string::npos)
      << text;
  for (std::string_view label : {"answer_too_large", "command_not_started", "no_command_free", "taken_too_late",
                                 "answer_too_late", "request_unreadable", "earlier_answer_stands", "answer_not_written"}) {
    EXPECT_NE(text.find("trackrelay_remote_host_requests_failed_total{reason=\"" + std::string(label) + "\"} 0\n"),
              std::string::npos)
        << label;
  }
  EXPECT_NE(text.find("# TYPE trackrelay_remote_host_command_duration_seconds histogram\n"
                      "trackrelay_remote_host_command_duration_seconds_bucket{le=\"0.05\"} 0\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("\ntrackrelay_remote_host_requests_waiting 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\ntrackrelay_remote_host_commands_running 3\n"), std::string::npos) << text;
  EXPECT_NE(text.find("\ntrackrelay_remote_host_commands_limit 4\n"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("\ntrackrelay_remote_host_start_time_seconds 1767225600\n")) << text;
  // Each family once, its HELP and TYPE lines together.
  std::istringstream lines(text);
  std::set<std::string> families;
  std::string previous;
  for (std::string line; std::getline(lines, line); previous = line) {
    if (!line.starts_with("# TYPE ")) continue;
    const std::string name = line.substr(7, line.find(' ', 7) - 7);
    EXPECT_TRUE(families.insert(name).second) << name;
    EXPECT_TRUE(previous.starts_with("# HELP " + name + " ")) << line;
  }
  EXPECT_EQ(families.size(), 10u);
}

class FiguresFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trackrelay-figures-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override { fs::remove_all(folder_); }

  static std::string Read(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  fs::path folder_;
};

// Replaced whole, readable by the collector's user whatever the umask, with nothing left at the
// temporary name; a link there is replaced, and what it led to is never written.
TEST_F(FiguresFileTest, TheFileIsReplacedWholeAndReadableByEveryone) {
  const fs::path file = folder_ / "trackrelay-remote-host.prom";
  const fs::path elsewhere = folder_ / "elsewhere";
  std::ofstream(elsewhere) << "kept\n";
  fs::create_symlink(elsewhere, file.string() + ".tmp");
  const mode_t before = umask(077);
  WriteFiguresFile(file, "a 1\n");
  // A collector that opened the file before the next write still reads the whole old text.
  std::ifstream reading(file);
  WriteFiguresFile(file, "a 2\n");
  umask(before);
  std::stringstream old;
  old << reading.rdbuf();
  EXPECT_EQ(old.str(), "a 1\n");
  EXPECT_EQ(Read(file), "a 2\n");
  EXPECT_EQ(Read(elsewhere), "kept\n");
  EXPECT_FALSE(fs::exists(fs::symlink_status(file.string() + ".tmp")));
  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(FiguresFileTest, AFolderThatIsNotThereRaises) {
  EXPECT_THROW(WriteFiguresFile(folder_ / "missing" / "x.prom", "a 1\n"), std::system_error);
}

}  // namespace
}  // namespace trackrelay::remote_host
