#include "remote_host/command_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace trackrelay::remote_host {

using std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

namespace {

// A descriptor that closes itself.
struct Pipe {
  int read = -1, write = -1;
  ~Pipe() { Close(); }
  void Close() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (read >= 0) close(read);
    read = -1;
  }
  void CloseWrite() {
    if (write >= 0) close(write);
    write = -1;
  }
};

bool MakePipe(Pipe& pipe) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  pipe.read = ends[0];
  pipe.write = ends[1];
  return true;
}

// Reads what a non-blocking descriptor holds now into text, up to limit bytes kept; true at
// its end (or on an error, which ends it as well).
bool Drain(int fd, std::string& text, std::size_t limit, bool& over) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got > 0) {
      const std::size_t room = limit > text.size() ? limit - text.size() : 0;
      text.append(buffer, std::min<std::size_t>(room, static_cast<std::size_t>(got)));
      if (static_cast<std::size_t>(got) > room) over = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
  }
}

// While it lives, a write to a pipe whose reader has gone fails with EPIPE in this thread instead
// of ending the process, whatever the process does with SIGPIPE: the signal is blocked here, and
// one that a write raised is taken back before the mask is restored.
class BrokenPipesFail {
 public:
  BrokenPipesFail() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_, &before_);
  }
  ~BrokenPipesFail() {
    sigset_t pending;
    const timespec now{0, 0};
    while (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) && sigtimedwait(&pipe_, nullptr, &now) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  BrokenPipesFail(const BrokenPipesFail&) = delete;
  BrokenPipesFail& operator=(const BrokenPipesFail&) = delete;

 private:
  sigset_t pipe_, before_;
};

}  // namespace

CommandRun RunCommand(const std::string& command, std::string_view input, const std::vector<std::string>& environment,
                      SteadyClock::time_point deadline, const std::atomic<bool>& stop) {
  CommandRun run;
  const SteadyClock::time_point started = SteadyClock::now();
  Pipe in, out, err;
  if (!MakePipe(in) || !MakePipe(out) || !MakePipe(err)) {
    run.errors = std::string("no pipe: ") + std::strerror(errno);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.read, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write, 1);
  posix_spawn_file_actions_adddup2(&actions, err.write, 2);
  // A process group of its own, so that everything it starts can be killed with it; signals as
  // a command expects them, whatever this host ignores or blocks.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  std::string shell = "sh", dash_c = "-c", text = command;
  char* argv[] = {shell.data(), dash_c.data(), text.data(), nullptr};
  std::vector<std::string> variables = environment;
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, argv, envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  in.CloseRead();
  out.CloseWrite();
  err.CloseWrite();
  if (spawned != 0) {
    run.errors = std::string("/bin/sh cannot be started: ") + std::strerror(spawned);
    return run;
  }
  for (int fd : {in.write, out.read, err.read}) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);

  std::size_t written = 0;
  BrokenPipesFail broken_pipes_fail;
  if (input.empty()) in.CloseWrite();
  bool exited = false, output_done = false, errors_done = false, too_large = false, errors_over = false;
  int status = 0;
  CommandRun::Ending ending = CommandRun::Ending::kExited;
  for (;;) {
    if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
    // Its output is complete once it has ended and nothing holds its standard output open.
    if (exited && output_done) break;
    if (stop) {
      ending = CommandRun::Ending::kStopped;
      break;
    }
    const auto left = std::chrono::ceil<milliseconds>(deadline - SteadyClock::now()).count();
    if (left <= 0) {
      ending = CommandRun::Ending::kDeadline;
      break;
    }
    pollfd fds[3];
    nfds_t count = 0;
    if (in.write >= 0) fds[count++] = {in.write, POLLOUT, 0};
    if (!output_done) fds[count++] = {out.read, POLLIN, 0};
    if (!errors_done) fds[count++] = {err.read, POLLIN, 0};
    // Short enough to see the command end and the host stop without a descriptor to say so.
    poll(fds, count, static_cast<int>(std::min<long long>(left, 50)));
    if (in.write >= 0) {
      const ssize_t put = write(in.write, input.data() + written, input.size() - written);
      if (put > 0) written += static_cast<std::size_t>(put);
      // A command that does not read its input all, or closes it, has it as far as it wanted.
      if (written == input.size() || (put < 0 && errno != EAGAIN && errno != EINTR)) in.CloseWrite();
    }
    if (!output_done) output_done = Drain(out.read, run.output, kAnswerLimit, too_large);
    if (!errors_done) errors_done = Drain(err.read, run.errors, kErrorsKept, errors_over);
    if (too_large) {
      ending = CommandRun::Ending::kTooLarge;
      break;
    }
  }
  if (ending != CommandRun::Ending::kExited) {
    kill(-pid, SIGKILL);
    if (!exited) {
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  } else if (WIFSIGNALED(status)) {
    ending = CommandRun::Ending::kSignalled;
  }
  if (!errors_done) Drain(err.read, run.errors, kErrorsKept, errors_over);
  run.ending = ending;
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  run.seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
  return run;
}

}  // namespace trackrelay::remote_host
