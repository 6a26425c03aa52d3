#include "remote_host/exec_host.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace trackrelay::remote_host {
namespace {

using std::chrono::milliseconds;
using Ending = CommandRun::Ending;

std::vector<std::string> FormVariables(const std::vector<std::string>& environment) {
  std::vector<std::string> form;
  for (const std::string& variable : environment) {
    if (variable.starts_with("FORM_") || variable.starts_with("TRACKRELAY_")) form.push_back(variable);
  }
  return form;
}

TEST(CommandEnvironmentTest, PassesSafeFieldNamesOnlyAndNothingOfTheHostsOwnByTheSameNames) {
  const std::string big(kFieldLimit, 'v');
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"TRACKNO=0&name=Ada+Lovelace",
       {"TRACKRELAY_NUMBER=41", "FORM_TRACKNO=0", "FORM_name=Ada Lovelace", "TRACKRELAY_FIELDS=TRACKNO name"}},
      // Repeated fields join as the program's lookup joins them; names keep their case.
      {"a=1&a=2&A=3", {"TRACKRELAY_NUMBER=41", "FORM_a=1;2", "FORM_A=3", "TRACKRELAY_FIELDS=a A"}},
      // No name that a shell cannot name, that could reach past the prefix, or that is empty.
      {"bad-name=1&x%3Dy=2&=3&a+b=4&%00=5&ok_1=6",
       {"TRACKRELAY_NUMBER=41", "FORM_ok_1=6", "TRACKRELAY_FIELDS=ok_1"}},
      // A field named after a variable of the host's gets the prefix like any other.
      {"PATH=%2Ftmp&LD_PRELOAD=x.so", {"TRACKRELAY_NUMBER=41", "FORM_PATH=/tmp", "FORM_LD_PRELOAD=x.so",
                                        "TRACKRELAY_FIELDS=PATH LD_PRELOAD"}},
      // A value with a NUL cannot be passed; one beyond the bound is left out.
      {"a=x%00y&b=" + big + "&c=3", {"TRACKRELAY_NUMBER=41", "FORM_c=3", "TRACKRELAY_FIELDS=c"}},
      {"", {"TRACKRELAY_NUMBER=41", "TRACKRELAY_FIELDS="}},
  };
  const char* const inherited[] = {"PATH=/usr/bin", "FORM_name=from the host", "TRACKRELAY_NUMBER=7",
                                   "TRACKRELAY_DRIVE_ROOT=/srv", nullptr};
  for (const auto& [input, expected] : cases) {
    const std::vector<std::string> environment = CommandEnvironment("41", input, inherited);
    std::vector<std::string> wanted = {"TRACKRELAY_DRIVE_ROOT=/srv"};
    wanted.insert(wanted.end(), expected.begin(), expected.end());
    EXPECT_EQ(FormVariables(environment), wanted) << input.substr(0, 60);
    EXPECT_EQ(environment.front(), "PATH=/usr/bin") << input.substr(0, 60);
  }
}

TEST(CommandEnvironmentTest, AllFieldsTogetherStayWithinTheirBound) {
  std::string input;
  for (int i = 0; i < 100; ++i) input.append("f").append(std::to_string(i)).append("=").append(8000, 'x').append("&");
  std::size_t total = 0;
  for (const std::string& variable : FormVariables(CommandEnvironment("1", input, nullptr))) {
    if (variable.starts_with("FORM_")) total += variable.size();
  }
  EXPECT_GT(total, kFieldsLimit / 2);
  EXPECT_LE(total, kFieldsLimit);
}

TEST(WithCrLfLineEndsTest, EndsEveryLineInCrLf) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb\n", "a\r\nb\r\n"}, {"a\r\nb", "a\r\nb\r\n"}, {"a\rb\r", "a\r\nb\r\n"}, {"\n\n", "\r\n\r\n"},
      {"\r\r\n", "\r\n\r\n"},   {"", ""},                  {"x", "x\r\n"},          {std::string("\0\xff\n", 3), std::string("\0\xff\r\n", 4)},
  };
  for (const auto& [output, lines] : cases) EXPECT_EQ(WithCrLfLineEnds(output), lines) << output;
}

TEST(ErrorPageTest, IsAWholeDocumentInCrLfLines) {
  const std::string page = ErrorPage("-3");
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>\r\n"));
  EXPECT_TRUE(page.ends_with("</html>\r\n"));
  EXPECT_NE(page.find("Tracking number -3."), std::string::npos);
  EXPECT_EQ(WithCrLfLineEnds(page), page);
}

CommandRun RunShell(const std::string& command, const std::string& input = "", milliseconds within = milliseconds(10000)) {
  static const std::atomic<bool> never{false};
  return RunCommand(command, input, {"PATH=/usr/bin:/bin", "FORM_x=1"}, std::chrono::steady_clock::now() + within,
                    never);
}

// Whether the process named in the file still runs: a killed one whose parent went before it
// stays a zombie until someone reaps it, and that is no running process.
bool Alive(const std::string& pid_file) {
  std::ifstream in(pid_file);
  int pid = 0;
  in >> pid;
  if (pid <= 0) return false;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const std::size_t name_end = line.rfind(')');
  return name_end != std::string::npos && name_end + 2 < line.size() && line[name_end + 2] != 'Z';
}

TEST(RunCommandTest, GivesTheOutputAndHowTheCommandEnded) {
  const std::string big_input(1 << 20, 'i');
  const struct {
    const char* what;
    std::string command, input;
    Ending ending;
    int code;
    std::string output, errors;
  } cases[] = {
      {"its input and environment", "cat; printf ' %s' \"$FORM_x\"", "TRACKNO=0", Ending::kExited, 0, "TRACKNO=0 1", ""},
      {"an exit status", "echo out; echo err >&2; exit 3", "", Ending::kExited, 3, "out\n", "err\n"},
      {"a signal", "kill -TERM $$", "", Ending::kSignalled, SIGTERM, "", ""},
      {"input it never reads", "echo done", big_input, Ending::kExited, 0, "done\n", ""},
      {"input it reads all of", "wc -c", big_input, Ending::kExited, 0, std::to_string(1 << 20) + "\n", ""},
      {"no shell command at all", "/nonexistent/program", "", Ending::kExited, 127, "", ""},
      {"too much output", "head -c 5000000 /dev/zero", "", Ending::kTooLarge, 0, "", ""},
  };
  for (const auto& c : cases) {
    const CommandRun run = RunShell(c.command, c.input);
    EXPECT_EQ(run.ending, c.ending) << c.what;
    if (c.ending == Ending::kTooLarge) {
      EXPECT_EQ(run.output.size(), kAnswerLimit) << c.what;
      continue;
    }
    EXPECT_EQ(run.code, c.code) << c.what;
    EXPECT_EQ(run.output, c.output) << c.what;
    if (c.code != 127) {
      EXPECT_EQ(run.errors, c.errors) << c.what;
    }
  }
  const CommandRun noisy = RunShell("head -c 100000 /dev/zero >&2; echo ok");
  EXPECT_EQ(noisy.output, "ok\n");
  EXPECT_EQ(noisy.errors.size(), kErrorsKept);
}

TEST(RunCommandTest, KillsTheWholeProcessGroupAtTheDeadline) {
  const std::string pid_file = std::filesystem::temp_directory_path() / ("trackrelay-exec-" + std::to_string(getpid()));
  // A process started in the background, and the command waiting for it.
  const auto started = std::chrono::steady_clock::now();
  const CommandRun run = RunShell("sleep 30 & echo $! > " + pid_file + "; wait", "", milliseconds(300));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(run.ending, Ending::kDeadline);
  EXPECT_GE(seconds, 0.3);
  EXPECT_LT(seconds, 5.0);
  for (int i = 0; i < 100 && Alive(pid_file); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_FALSE(Alive(pid_file)) << "the background process of the command is killed with it";

  // A command that ends but leaves a process behind that holds its output open: not done.
  const CommandRun held = RunShell("(sleep 30; echo late) & echo $! > " + pid_file + "; echo early", "", milliseconds(300));
  EXPECT_EQ(held.ending, Ending::kDeadline);
  for (int i = 0; i < 100 && Alive(pid_file); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_FALSE(Alive(pid_file));
  std::filesystem::remove(pid_file);
}

TEST(RunCommandTest, StopsWhenTheHostStops) {
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(milliseconds(200));
    stop = true;
  });
  const auto started = std::chrono::steady_clock::now();
  const CommandRun run = RunCommand("sleep 30", "", {}, started + std::chrono::seconds(30), stop);
  stopper.join();
  EXPECT_EQ(run.ending, Ending::kStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

}  // namespace
}  // namespace trackrelay::remote_host
