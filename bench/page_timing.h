// One run of a program as a web server makes it, timed as the server sees it: standard output and
// standard error each to a pipe of their own, and three times from the start: the end of standard
// output (where the page ends for most servers), the end of standard error, and the exit.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace trackrelay::bench {

struct TimedRun {
  bool ran = false;
  int status = -1;  // the exit status, or 128 + signal
  std::string output, errors;
  double output_end_ms = 0, errors_end_ms = 0, exit_ms = 0;
  double cpu_ms = 0;  // user and system time of the run
  // The later of the two ends: what a server that reads standard error as well waits for.
  double ends_ms() const { return std::max(output_end_ms, errors_end_ms); }
};

// Runs program (no arguments) with this environment and standard input from input, and reads
// both pipes to their ends while it watches for the exit. The exit is seen through a pidfd, so
// that each time is taken when it happens, whichever comes first. Without capture_errors the
// program shares this process's standard error instead, and only standard output and the exit
// are waited for: a program that leaves processes behind which keep standard error (Wine's own
// do) would otherwise never end its run.
inline TimedRun RunTimed(const std::string& program, char* const envp[], const char* input = "/dev/null",
                         bool capture_errors = true) {
  using Clock = std::chrono::steady_clock;
  TimedRun run;
  int out[2], err[2] = {-1, -1};
  if (pipe2(out, O_CLOEXEC) != 0) return run;
  if (capture_errors && pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, input, O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  if (capture_errors) posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = -1;
  const Clock::time_point start = Clock::now();
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv, envp);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (capture_errors) close(err[1]);
  const int exited = spawned == 0 ? static_cast<int>(syscall(SYS_pidfd_open, pid, 0)) : -1;
  if (exited < 0) {
    close(out[0]);
    if (capture_errors) close(err[0]);
    if (spawned == 0) waitpid(pid, nullptr, 0);
    return run;
  }
  auto since_start = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };
  pollfd watched[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {exited, POLLIN, 0}};
  std::string* text[2] = {&run.output, &run.errors};
  double* ended[3] = {&run.output_end_ms, &run.errors_end_ms, &run.exit_ms};
  for (int open = capture_errors ? 3 : 2; open > 0;) {
    if (poll(watched, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 3; ++i) {
      if (watched[i].fd < 0 || watched[i].revents == 0) continue;
      if (i < 2) {
        char buffer[65536];
        const ssize_t got = read(watched[i].fd, buffer, sizeof buffer);
        if (got > 0) {
          text[i]->append(buffer, static_cast<std::size_t>(got));
          continue;
        }
        if (got < 0 && errno == EINTR) continue;
      }
      *ended[i] = since_start();
      close(watched[i].fd);
      watched[i].fd = -1;
      --open;
    }
  }
  for (const pollfd& left : watched) {
    if (left.fd >= 0) close(left.fd);
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  run.cpu_ms = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  run.ran = true;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// The p-th percentile (0 to 100) by the nearest rank.
inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const std::size_t at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

}  // namespace trackrelay::bench
