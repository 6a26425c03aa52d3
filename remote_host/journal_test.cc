#include "remote_host/journal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace trackrelay::remote_host {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

TEST(JournalDatagramTest, FieldsAreNameEqualsValueAndAValueWithALineEndGoesByItsLength) {
  EXPECT_EQ(JournalDatagram({{"MESSAGE", "41: answered, 0.012 s"}, {"TRACKRELAY_NUMBER", "41"}}),
            "MESSAGE=41: answered, 0.012 s\nTRACKRELAY_NUMBER=41\n");
  EXPECT_EQ(JournalDatagram({{"TRACKRELAY_REASON", "two\nlines"}, {"PRIORITY", "3"}}),
            "TRACKRELAY_REASON\n\x09\0\0\0\0\0\0\0two\nlines\nPRIORITY=3\n"s);
  EXPECT_EQ(JournalDatagram({{"MESSAGE", ""}}), "MESSAGE=\n");
}

TEST(JournalStreamTest, OnlyTheDeviceAndInodeOfTheDescriptorMatch) {
  char path[] = "/tmp/trackrelay-journal-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(fstat(fd, &st), 0);
  const std::string device = std::to_string(st.st_dev), inode = std::to_string(st.st_ino);
  struct Case {
    std::string journal_stream;
    bool matches;
  };
  const Case cases[] = {
      {device + ":" + inode, true},
      {device + ":" + std::to_string(st.st_ino + 1), false},
      {std::to_string(st.st_dev + 1) + ":" + inode, false},
      {device + ":" + inode + "x", false},
      {device + inode, false},
      {":" + inode, false},
      {device + ":", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsJournalStream(fd, c.journal_stream.c_str()), c.matches) << c.journal_stream;
  EXPECT_FALSE(IsJournalStream(fd, nullptr));
  close(fd);
  unlink(path);
}

// Lines with standard error as a file of the test's, and the journal a socket of the test's.
class LinesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/trackrelay-journal-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    socket_path_ = folder_ + "/socket";
    journal_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket_path_.c_str());
    ASSERT_EQ(bind(journal_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::fflush(stderr);
    saved_stderr_ = dup(STDERR_FILENO);
    const int file = open((folder_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(file, STDERR_FILENO);
    close(file);
    const char* before = getenv("JOURNAL_STREAM");
    if (before != nullptr) journal_stream_before_ = before;
  }
  void TearDown() override {
    std::fflush(stderr);
    dup2(saved_stderr_, STDERR_FILENO);
    close(saved_stderr_);
    close(journal_);
    if (journal_stream_before_.empty()) {
      unsetenv("JOURNAL_STREAM");
    } else {
      setenv("JOURNAL_STREAM", journal_stream_before_.c_str(), 1);
    }
    fs::remove_all(folder_);
  }

  // Standard error as systemd hands it to a unit whose output goes to the journal.
  void StandardErrorIsTheJournal() {
    struct stat st;
    ASSERT_EQ(fstat(STDERR_FILENO, &st), 0);
    setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
  }

  std::string Received() {
    char buffer[65536];
    const ssize_t got = recv(journal_, buffer, sizeof buffer, MSG_DONTWAIT);
    return got < 0 ? "" : std::string(buffer, static_cast<std::size_t>(got));
  }
  std::string StandardError() {
    std::fflush(stderr);
    std::ifstream in(folder_ + "/stderr");
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }

  std::string folder_, socket_path_, journal_stream_before_;
  int journal_ = -1, saved_stderr_ = -1;
};

const Line kAnswered{"41: answered, 0.012 s (0.020 s after publication)", Line::kInfo,
                     {{"TRACKRELAY_NUMBER", "41"}, {"TRACKRELAY_OUTCOME", "answered"}}};

TEST_F(LinesTest, InTheJournalALineIsItsFields) {
  StandardErrorIsTheJournal();
  Lines lines("trackrelay-remote-host", socket_path_);
  EXPECT_TRUE(lines.ToJournal());
  lines.Say(kAnswered);
  EXPECT_EQ(Received(),
            "MESSAGE=41: answered, 0.012 s (0.020 s after publication)\nPRIORITY=6\n"
            "SYSLOG_IDENTIFIER=trackrelay-remote-host\nTRACKRELAY_NUMBER=41\nTRACKRELAY_OUTCOME=answered\n");
  EXPECT_EQ(StandardError(), "");
}

TEST_F(LinesTest, ElsewhereALineIsPlainText) {
  // JOURNAL_STREAM handed down from a unit, with standard error sent elsewhere since.
  setenv("JOURNAL_STREAM", "1:1", 1);
  Lines lines("trackrelay-remote-host", socket_path_);
  EXPECT_FALSE(lines.ToJournal());
  lines.Say(kAnswered);
  EXPECT_EQ(Received(), "");
  EXPECT_EQ(StandardError(), "trackrelay-remote-host: 41: answered, 0.012 s (0.020 s after publication)\n");
}

// A journal that has gone (stopped, restarting) loses no line: it goes to standard error, which
// journald's stream keeps as a plain line.
TEST_F(LinesTest, ALineTheJournalDoesNotTakeGoesToStandardError) {
  StandardErrorIsTheJournal();
  Lines lines("trackrelay-remote-host", folder_ + "/no-socket");
  EXPECT_TRUE(lines.ToJournal());
  lines.Say(kAnswered);
  EXPECT_EQ(StandardError(), "trackrelay-remote-host: 41: answered, 0.012 s (0.020 s after publication)\n");
}

}  // namespace
}  // namespace trackrelay::remote_host
