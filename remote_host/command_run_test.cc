#include "remote_host/command_run.h"

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
  // Killed at its deadline, not when the command would have ended (30 s); a loaded machine may
  // take seconds over the kill and the reaping.
  EXPECT_LT(seconds, 15.0);
  // Gone once the kill is through, which on a loaded machine may take seconds more (a process
  // the kill missed lives its 30 s).
  for (int i = 0; i < 1000 && Alive(pid_file); ++i) std::this_thread::sleep_for(milliseconds(10));
  EXPECT_FALSE(Alive(pid_file)) << "the background process of the command is killed with it";

  // A command that ends but leaves a process behind that holds its output open: not done.
  const CommandRun held = RunShell("(sleep 30; echo late) & echo $! > " + pid_file + "; echo early", "", milliseconds(300));
  EXPECT_EQ(held.ending, Ending::kDeadline);
  for (int i = 0; i < 1000 && Alive(pid_file); ++i) std::this_thread::sleep_for(milliseconds(10));
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
  // Stopped, not run to its end (30 s), with a loaded machine's margin.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
}

}  // namespace
}  // namespace trackrelay::remote_host
