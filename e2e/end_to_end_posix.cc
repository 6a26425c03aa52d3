// The POSIX road of the end-to-end harness: the built executable runs itself, and a traced run's
// system calls are followed with ptrace.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/user.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/end_to_end_launch.h"

namespace trackrelay::e2e {

namespace fs = std::filesystem;

namespace {

// landlock_create_ruleset's flag that asks for the ABI instead of making a ruleset.
constexpr unsigned long kLandlockCreateRulesetVersion = 1;

std::string SystemCallName(long long number) {
  switch (number) {
    case SYS_close:
      return "close";
    case SYS_write:
      return "write";
    case SYS_ftruncate:
      return "ftruncate";
    case SYS_inotify_init1:
      return "inotify_init1";
    case SYS_inotify_add_watch:
      return "inotify_add_watch";
    case SYS_landlock_create_ruleset:
      return "landlock_create_ruleset";
    case SYS_landlock_restrict_self:
      return "landlock_restrict_self";
    case SYS_seccomp:
      return "seccomp";
    case SYS_exit_group:
      return "exit_group";
    case SYS_poll:
      return "poll";
  }
  std::string unnamed = "#";
  unnamed += std::to_string(number);
  return unnamed;
}

}  // namespace

namespace {

// The copies of executables that runs as another user could not reach, in a folder of this test
// process's own that every user may enter; removed when the process ends.
class ReachableCopies {
 public:
  ~ReachableCopies() {
    std::error_code ignored;
    if (!folder_.empty()) fs::remove_all(folder_, ignored);
  }
  std::string Of(const std::string& executable) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (folder_.empty()) {
      char name[] = "/tmp/trackrelay-programs-XXXXXX";
      if (mkdtemp(name) == nullptr || chmod(name, 0755) != 0) throw std::runtime_error("cannot make " + std::string(name));
      folder_ = name;
    }
    const std::string copy = folder_ + "/" + std::to_string(copies_.size()) + "/" + fs::path(executable).filename().string();
    auto [at, made] = copies_.emplace(executable, copy);
    if (made) {
      fs::create_directory(fs::path(copy).parent_path());
      chmod(fs::path(copy).parent_path().c_str(), 0755);
      fs::copy_file(executable, copy);
      chmod(copy.c_str(), 0755);
    }
    return at->second;
  }

 private:
  std::mutex mutex_;
  std::string folder_;
  std::map<std::string, std::string> copies_;
};

ReachableCopies reachable_copies;

}  // namespace

void LaunchDirectly(const Invocation& invocation, Launch& launch) {
  const uid_t user = invocation.run_as;
  if (user != static_cast<uid_t>(-1) && user != geteuid() && !ReachableBy(user, launch.command.at(0))) {
    launch.command.at(0) = reachable_copies.Of(launch.command.at(0));
  }
  // A sanitizer's leak check at the end stops the process with ptrace, which it cannot while
  // it is traced.
  const bool traced =
      invocation.trace_calls || invocation.at_first_input_read != nullptr || invocation.pretended_landlock_abi >= 0;
  if (traced && !invocation.env.contains("ASAN_OPTIONS")) {
    launch.env.push_back("ASAN_OPTIONS=detect_leaks=0");
  }
  launch.ptraced = traced;
  if (invocation.output_to_file) {
    char name[] = "/tmp/trackrelay-out-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    launch.out_file = name;
    std::ofstream(launch.out_file, std::ios::binary | std::ios::trunc) << invocation.output_file_before;
    launch.out_fd = open(launch.out_file.c_str(), O_WRONLY);  // no O_TRUNC, no O_APPEND: as a server's capture file
  }
}

bool CanStopAtFirstInputRead() {
#if defined(__x86_64__)
  return !UnderWine();
#else
  return false;
#endif
}

namespace {

#if defined(__x86_64__)

// The program stopped at a system call's entry. Each call it is made to run takes the registers
// of that entry with another number and arguments; then the instruction pointer goes back over
// the two bytes of the syscall instruction, so that the program enters the call it stopped at
// once more, and stops there again.
class StoppedAtEntry : public StoppedProgram {
 public:
  StoppedAtEntry(pid_t pid, int& status, const std::function<bool()>& next_stop)
      : pid_(pid), status_(status), next_stop_(next_stop) {
    ptrace(PTRACE_GETREGS, pid_, nullptr, &entry_);
    buffer_ = entry_.rsi;
    room_ = entry_.rdx;
  }

  long Run(long number, std::vector<unsigned long> arguments) override {
    if (gone_) return -ESRCH;
    arguments.resize(6, 0);
    user_regs_struct regs = entry_;
    regs.orig_rax = static_cast<unsigned long>(number);
    regs.rdi = arguments[0];
    regs.rsi = arguments[1];
    regs.rdx = arguments[2];
    regs.r10 = arguments[3];
    regs.r8 = arguments[4];
    regs.r9 = arguments[5];
    ptrace(PTRACE_SETREGS, pid_, nullptr, &regs);
    if (!ToSystemCallStop()) return -ESRCH;
    user_regs_struct after{};
    ptrace(PTRACE_GETREGS, pid_, nullptr, &after);
    if (gone_) return static_cast<long>(after.rax);
    regs = entry_;
    regs.rip -= 2;
    regs.rax = entry_.orig_rax;
    ptrace(PTRACE_SETREGS, pid_, nullptr, &regs);
    ToSystemCallStop();
    return static_cast<long>(after.rax);
  }

  unsigned long Put(const std::string& bytes) override {
    if (used_ + bytes.size() > room_) throw std::runtime_error("no room left in the program's buffer");
    const unsigned long at = buffer_ + used_;
    iovec local{const_cast<char*>(bytes.data()), bytes.size()};
    iovec remote{reinterpret_cast<void*>(at), bytes.size()};
    if (process_vm_writev(pid_, &local, 1, &remote, 1, 0) != static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("cannot write into the program");
    }
    used_ += (bytes.size() + 7) & ~std::size_t{7};
    return at;
  }

  bool gone() const override { return gone_; }

  // Puts the registers of the entry back, for the call to go on as it came.
  void Resume() {
    if (!gone_) ptrace(PTRACE_SETREGS, pid_, nullptr, &entry_);
  }

 private:
  // Lets the program go to its next system-call stop; an exec on the way (an attack that passed)
  // leaves it gone, and so does its end.
  bool ToSystemCallStop() {
    for (;;) {
      ptrace(PTRACE_SYSCALL, pid_, nullptr, nullptr);
      if (!next_stop_()) {
        gone_ = true;
        return false;
      }
      if (status_ >> 16 == PTRACE_EVENT_EXEC) {
        gone_ = true;
        continue;
      }
      if (WSTOPSIG(status_) == (SIGTRAP | 0x80)) return true;
    }
  }

  pid_t pid_;
  int& status_;
  const std::function<bool()>& next_stop_;
  user_regs_struct entry_{};
  unsigned long buffer_ = 0;
  std::size_t room_ = 0, used_ = 0;
  bool gone_ = false;
};

#endif

}  // namespace

// Every call stops the child until the tracer has seen it, so the order is the child's own
// whatever the load.
int TraceToEnd(pid_t pid, struct rusage& usage, std::vector<TracedCall>& calls, const Invocation& invocation) {
  const std::function<void(StoppedProgram&)>& at_first_input_read = invocation.at_first_input_read;
#if !defined(__x86_64__)
  if (invocation.pretended_landlock_abi >= 0) throw std::runtime_error("a pretended Landlock ABI needs x86-64");
#endif
  // Whether the call under way asks which Landlock ABI the kernel offers.
  bool asks_landlock_abi = false;
  int status = 0;
  const std::function<bool()> next_stop = [&] {
    while (wait4(pid, &status, 0, &usage) < 0) {
      if (errno != EINTR) return false;
    }
    return WIFSTOPPED(status);
  };
  bool input_read = at_first_input_read == nullptr;
  if (!next_stop()) return status;
  const long options = PTRACE_O_TRACESYSGOOD | PTRACE_O_TRACEEXEC | PTRACE_O_EXITKILL;
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(options));
  bool execed = false;
  long pass = 0;  // a signal to hand on: the child's own SIGSTOP is not
  for (;;) {
    ptrace(execed ? PTRACE_SYSCALL : PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(pass));
    pass = 0;
    if (!next_stop()) return status;
    if (status >> 16 == PTRACE_EVENT_EXEC) {
      execed = true;
    } else if (WSTOPSIG(status) == (SIGTRAP | 0x80)) {
      __ptrace_syscall_info info{};
      if (ptrace(PTRACE_GET_SYSCALL_INFO, pid, reinterpret_cast<void*>(sizeof info), &info) <= 0) continue;
      if (info.op == PTRACE_SYSCALL_INFO_ENTRY) {
#if defined(__x86_64__)
        if (!input_read && info.entry.nr == SYS_read && info.entry.args[0] == 0) {
          input_read = true;
          StoppedAtEntry stopped(pid, status, next_stop);
          at_first_input_read(stopped);
          if (stopped.gone()) {
            kill(pid, SIGKILL);
            while (next_stop()) ptrace(PTRACE_CONT, pid, nullptr, nullptr);
            return status;
          }
          stopped.Resume();
        }
#endif
        asks_landlock_abi = info.entry.nr == SYS_landlock_create_ruleset && info.entry.args[0] == 0 &&
                            (info.entry.args[2] & kLandlockCreateRulesetVersion) != 0;
        calls.push_back({SystemCallName(static_cast<long long>(info.entry.nr)),
                         static_cast<long long>(info.entry.args[0]), 0});
      } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && !calls.empty()) {
        calls.back().result = info.exit.rval;
#if defined(__x86_64__)
        const int pretended = invocation.pretended_landlock_abi;
        if (asks_landlock_abi && pretended >= 0 && info.exit.rval > pretended) {
          // Only ever lower: ABI 0 is the answer of a kernel whose Landlock is disabled.
          user_regs_struct regs{};
          ptrace(PTRACE_GETREGS, pid, nullptr, &regs);
          regs.rax = static_cast<unsigned long long>(pretended > 0 ? pretended : -EOPNOTSUPP);
          ptrace(PTRACE_SETREGS, pid, nullptr, &regs);
          calls.back().result = static_cast<long long>(regs.rax);
        }
#endif
        asks_landlock_abi = false;
      }
    } else if (status >> 16 == 0) {
      pass = WSTOPSIG(status);
    }
  }
}

}  // namespace trackrelay::e2e
