// The POSIX road of the end-to-end harness: the built executable runs itself, and a traced run's
// system calls are followed with ptrace.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string>

#include "app/end_to_end_launch.h"

namespace trackrelay::e2e {

namespace {

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
    case SYS_exit_group:
      return "exit_group";
  }
  std::string unnamed = "#";
  unnamed += std::to_string(number);
  return unnamed;
}

}  // namespace

void LaunchDirectly(const Invocation& invocation, Launch& launch) {
  // A sanitizer's leak check at the end stops the process with ptrace, which it cannot while
  // it is traced.
  if (invocation.trace_calls && !invocation.env.contains("ASAN_OPTIONS")) {
    launch.env.push_back("ASAN_OPTIONS=detect_leaks=0");
  }
  launch.ptraced = invocation.trace_calls;
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

// Every call stops the child until the tracer has seen it, so the order is the child's own
// whatever the load.
int TraceToEnd(pid_t pid, struct rusage& usage, std::vector<TracedCall>& calls) {
  int status = 0;
  auto next_stop = [&] {
    while (wait4(pid, &status, 0, &usage) < 0) {
      if (errno != EINTR) return false;
    }
    return WIFSTOPPED(status);
  };
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
        calls.push_back({SystemCallName(static_cast<long long>(info.entry.nr)),
                         static_cast<long long>(info.entry.args[0]), 0});
      } else if (info.op == PTRACE_SYSCALL_INFO_EXIT && !calls.empty()) {
        calls.back().result = info.exit.rval;
      }
    } else if (status >> 16 == 0) {
      pass = WSTOPSIG(status);
    }
  }
}

}  // namespace trackrelay::e2e
