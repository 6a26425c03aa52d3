// What trackrelay-remote-host --exec tells a monitoring system, with the real program: its
// figures file moving as each event happens, and its lines as journal fields when standard error
// is the journal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/end_to_end.h"
#include "e2e/exec_host_end_to_end.h"
#include "remote_host/command_environment.h"

namespace trackrelay::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// The value of one sample ("name" or "name{labels}") in a figures file, if it is there.
std::optional<std::string> Figure(const std::string& file, const std::string& sample) {
  std::istringstream lines(ReadAll(file));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with(sample + " ")) return line.substr(sample.size() + 1);
  }
  return std::nullopt;
}

// Waits for a figure to show value: the host writes its figures within a second of an event (and
// sweeps answers every 10 s).
bool FigureBecomes(const std::string& file, const std::string& sample, const std::string& value) {
  return Eventually([&] { return Figure(file, sample) == value; }, milliseconds(20000));
}

// A request file put straight into the outbound folder, complete when it appears there.
void Publish(const DriveRoot& root, const std::string& number, const std::string& form_input) {
  root.Write("r:\\fromnt\\t" + number + ".DAT", form_input + "\r\n");
  fs::rename(root.Remote("r:\\fromnt\\t" + number + ".DAT"), root.Remote("r:\\fromnt\\" + number + ".DAT"));
}

const char* const kCommand =
    "case \"$FORM_do\" in fail) echo 'no such customer' >&2; exit 3;; wait) sleep 12;; esac; "
    "echo \"<p>$TRACKRELAY_NUMBER</p>\"";

TEST(RemoteHostFiguresEndToEnd, EachFigureMovesWhenItsEventHappens) {
  DriveRoot root;
  const std::string figures = root.path() + "/trackrelay-remote-host.prom";
  RemoteHost host(root, {"--jobs", "1", "--metrics", figures, "--exec", kCommand});
  const std::string answered = "trackrelay_remote_host_requests_answered_total";
  const std::string failed = "trackrelay_remote_host_requests_failed_total{reason=\"command_status\"}";
  const std::string commands = "trackrelay_remote_host_command_duration_seconds_count";
  // At the start, every figure at 0.
  ASSERT_TRUE(FigureBecomes(figures, answered, "0")) << host.Log();
  EXPECT_EQ(Figure(figures, failed), "0");
  EXPECT_EQ(Figure(figures, "trackrelay_remote_host_commands_limit"), "1");

  // A request served.
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=41"), root).output, Relayed("<p>41</p>\r\n"));
  EXPECT_TRUE(FigureBecomes(figures, answered, "1")) << ReadAll(figures);
  EXPECT_EQ(Figure(figures, commands), "1");
  EXPECT_EQ(Figure(figures, failed), "0");

  // A command failing.
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=42&do=fail"), root).output, Relayed(remote_host::ErrorPage("42")));
  EXPECT_TRUE(FigureBecomes(figures, failed, "1")) << ReadAll(figures);
  EXPECT_EQ(Figure(figures, commands), "2");
  EXPECT_EQ(Figure(figures, answered), "1");

  // A request left waiting for a free command while the one command runs.
  StartedRun slow = StartTrackrelay(Get("TRACKNO=43&do=wait"), root);
  ASSERT_TRUE(Eventually([&] { return host.Names("work") == std::vector<std::string>{"43.DAT"}; })) << host.Log();
  StartedRun next = StartTrackrelay(Get("TRACKNO=44"), root);
  // Both at once, from one writing of the figures: 43's command still running while 44 waits
  // (a run under Wine starts seconds late, so 43 sleeps long enough for 44 to be taken).
  EXPECT_TRUE(Eventually([&] {
    const std::string text = ReadAll(figures);
    return text.find("\ntrackrelay_remote_host_requests_waiting 1\n") != std::string::npos &&
           text.find("\ntrackrelay_remote_host_commands_running 1\n") != std::string::npos;
  })) << ReadAll(figures);
  EXPECT_EQ(slow.Wait().output, Relayed("<p>43</p>\r\n"));
  EXPECT_EQ(next.Wait().output, Relayed("<p>44</p>\r\n"));
  EXPECT_TRUE(FigureBecomes(figures, "trackrelay_remote_host_requests_waiting", "0")) << ReadAll(figures);
  EXPECT_TRUE(FigureBecomes(figures, answered, "3")) << ReadAll(figures);
  EXPECT_EQ(Figure(figures, "trackrelay_remote_host_command_duration_seconds_bucket{le=\"2.5\"}"), "3")
      << "the two quick commands of 44 and 41 and the failing one; 43 slept 12 s";

  // An earlier request's answer standing when the next of its number is taken.
  root.Write("r:\\tont\\45.out", "<p>for a program that died</p>\r\n");
  Publish(root, "45", "TRACKNO=45");
  EXPECT_TRUE(FigureBecomes(figures, "trackrelay_remote_host_earlier_answers_removed_total", "1")) << ReadAll(figures);

  // An answer swept: one left standing past any program's wait, found at the next look (every 10 s).
  root.Write("r:\\tont\\46.out", "<p>left behind</p>\r\n");
  fs::last_write_time(root.Remote("r:\\tont\\46.out"), fs::file_time_type::clock::now() - std::chrono::seconds(150));
  EXPECT_TRUE(FigureBecomes(figures, "trackrelay_remote_host_answers_swept_total", "1")) << ReadAll(figures);
  EXPECT_FALSE(root.Exists("r:\\tont\\46.out"));
  EXPECT_EQ(Figure(figures, failed), "1");
}

// The fields of one datagram of the journal's native protocol (values without line ends).
std::map<std::string, std::string> Fields(const std::string& datagram) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(datagram);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) fields[line.substr(0, equals)] = line.substr(equals + 1);
  }
  return fields;
}

// trackrelay-remote-host --exec as a unit whose standard error is the journal: JOURNAL_STREAM
// names its standard error, and /run/systemd/journal/socket is a socket of this test's, in a
// mount namespace of the remote host's own (root only).
class JournalRemoteHost {
 public:
  JournalRemoteHost(const DriveRoot& root, const std::string& command) : root_(root) {
    run_ = root.path() + "/run";
    fs::create_directories(run_ + "/systemd/journal");
    journal_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = run_ + "/systemd/journal/socket";
    std::strcpy(address.sun_path, path.c_str());
    if (bind(journal_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) throw std::runtime_error("bind");
    std::vector<std::string> argv = {TRACKRELAY_REMOTE_HOST, "--outbound", root.Remote("r:\\fromnt"), "--inbound",
                                      root.Remote("r:\\tont"), "--state", root.path() + "/remote-host", "--exec", command};
    log_ = root.path() + "/remote-host.log";
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> args;
      for (std::string& arg : argv) args.push_back(arg.data());
      args.push_back(nullptr);
      const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      dup2(log, 2);
      struct stat st;
      fstat(2, &st);
      setenv("JOURNAL_STREAM", (std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)).c_str(), 1);
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
          mount(run_.c_str(), "/run", nullptr, MS_BIND, nullptr) != 0) {
        _exit(77);
      }
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~JournalRemoteHost() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    close(journal_);
  }

  // The next datagram, waited for up to 10 s.
  std::string Next() {
    for (int i = 0; i < 1000; ++i) {
      char buffer[65536];
      const ssize_t got = recv(journal_, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got >= 0) return std::string(buffer, static_cast<std::size_t>(got));
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "ended with " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
      }
      usleep(10000);
    }
    return "";
  }
  // The datagram of the first line about number with outcome.
  std::map<std::string, std::string> LineOf(const std::string& number, const std::string& outcome) {
    for (std::string datagram = Next(); !datagram.empty() && !datagram.starts_with("ended"); datagram = Next()) {
      std::map<std::string, std::string> fields = Fields(datagram);
      if (fields["TRACKRELAY_NUMBER"] == number && fields["TRACKRELAY_OUTCOME"] == outcome) return fields;
    }
    return {};
  }
  std::string Log() const { return ReadAll(log_); }

 private:
  const DriveRoot& root_;
  std::string run_, log_;
  int journal_ = -1;
  pid_t pid_ = -1;
};

TEST(RemoteHostFiguresEndToEnd, InTheJournalEachRequestsLineHasItsNumberOutcomeAndTimes) {
  if (geteuid() != 0) GTEST_SKIP() << "a mount namespace of its own for the remote host needs root";
  DriveRoot root;
  JournalRemoteHost host(root, kCommand);
  const std::map<std::string, std::string> serving = Fields(host.Next());
  ASSERT_TRUE(serving.contains("MESSAGE")) << host.Log();
  EXPECT_TRUE(serving.at("MESSAGE").starts_with("serving ")) << serving.at("MESSAGE");
  EXPECT_EQ(serving.at("SYSLOG_IDENTIFIER"), "trackrelay-remote-host");

  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=41"), root).output, Relayed("<p>41</p>\r\n"));
  std::map<std::string, std::string> line = host.LineOf("41", "answered");
  ASSERT_FALSE(line.empty()) << host.Log();
  EXPECT_EQ(line["PRIORITY"], "6");
  EXPECT_TRUE(line["MESSAGE"].starts_with("41: answered, ")) << line["MESSAGE"];
  for (const char* time : {"TRACKRELAY_COMMAND_SECONDS", "TRACKRELAY_SINCE_PUBLICATION_SECONDS"}) {
    EXPECT_GE(std::stod(line[time]), 0.0) << time;
    EXPECT_LT(std::stod(line[time]), 10.0) << time;
  }

  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=42&do=fail"), root).output, Relayed(remote_host::ErrorPage("42")));
  line = host.LineOf("42", "failed");
  ASSERT_FALSE(line.empty()) << host.Log();
  EXPECT_EQ(line["PRIORITY"], "3");
  EXPECT_EQ(line["TRACKRELAY_FAILURE"], "command_status");
  EXPECT_TRUE(line["TRACKRELAY_REASON"].starts_with("the command ended with status 3 after ")) << line["TRACKRELAY_REASON"];
  EXPECT_TRUE(line["TRACKRELAY_KEPT"].ends_with("-42.DAT")) << line["TRACKRELAY_KEPT"];
  EXPECT_TRUE(line.contains("TRACKRELAY_COMMAND_SECONDS"));
  // Nothing of it went to standard error as plain lines.
  EXPECT_EQ(host.Log(), "");
}

}  // namespace
}  // namespace trackrelay::e2e
