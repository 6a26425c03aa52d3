// The seccomp filter on Linux: an allow-list of the program's own system calls, with the
// arguments of those that could reach beyond the process looked at, decided by halves.
#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/confinement.h"
#include "platform/confinement_posix.h"

namespace trackrelay {
namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#define TRACKRELAY_SYSTEM_CALL_FILTER 1
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#define TRACKRELAY_SYSTEM_CALL_FILTER 1
#endif

#if defined(TRACKRELAY_SYSTEM_CALL_FILTER)

// An allow-list, not a list of what is refused: the program's own calls are few and known (the
// end-to-end tests trace them), while a list of refusals would have to name every dangerous call
// there is and every one that later kernels add (io_uring, whose operations pass no filter,
// came that way). What is not named fails with EPERM.
const int kAllowedCalls[] = {
    // Files, as the file systems use them. The arrival watch is made before the filter
    // (System::WatchFolder) and only read after it: no inotify_init1 or inotify_add_watch, which
    // would let code that took the process over watch any folder it can search and learn the
    // names of the files made there.
    SYS_read, SYS_write, SYS_close, SYS_openat, SYS_newfstatat, SYS_fstat, SYS_statx, SYS_lseek, SYS_ftruncate,
    SYS_fsync, SYS_fdatasync, SYS_renameat, SYS_renameat2, SYS_linkat, SYS_unlinkat, SYS_getdents64, SYS_fstatfs,
    SYS_fchown,
#if defined(SYS_poll)
    SYS_poll,
#else
    SYS_ppoll,
#endif
    // Time and waiting (the clock is read without a call where the kernel maps it in), a sleep
    // taken up again after a stop, and the alarm that ends the wait for the counter's lock.
    SYS_clock_gettime, SYS_gettimeofday, SYS_nanosleep, SYS_clock_nanosleep, SYS_restart_syscall, SYS_setitimer,
    // Memory, its own signal handlers, the end.
    SYS_brk, SYS_mmap, SYS_munmap, SYS_mremap, SYS_mprotect, SYS_madvise, SYS_futex, SYS_rt_sigaction,
    SYS_rt_sigprocmask, SYS_rt_sigreturn, SYS_exit, SYS_exit_group,
    // What the C library asks of the process; its last words before an abort go out by writev.
    SYS_getpid, SYS_gettid, SYS_getrandom, SYS_writev,
#if defined(TRACKRELAY_SANITIZER_RUNTIME)
    // The sanitizer's runtime makes its own calls, some by their older numbers (open, stat,
    // getdents), and its leak check at the end stops the process's threads from a task of its
    // own, which traces them: Landlock still keeps that tracing to this process. It is never let
    // start a program (its external symbolizer), so the attacks stay refused in this build too.
    SYS_clone, SYS_wait4, SYS_ptrace, SYS_prctl, SYS_readlinkat, SYS_sched_getaffinity, SYS_prlimit64, SYS_getppid,
    SYS_ioctl, SYS_dup, SYS_dup3, SYS_uname, SYS_sigaltstack, SYS_sched_yield, SYS_getuid, SYS_geteuid, SYS_getgid,
    SYS_getegid,
    // Its test of whether memory may be read (the vptr check's) writes it into a pipe.
    SYS_pipe2,
#if defined(__x86_64__)
    SYS_open, SYS_stat, SYS_lstat, SYS_getdents, SYS_readlink, SYS_dup2, SYS_pipe,
#endif
#endif
};

// fcntl's commands that the program gives once shut in: F_GETFL and F_SETFL (a file opened
// without waiting turned into one that waits; the C library's listing of a folder, on a share
// that folds case, asks F_GETFL and sets FD_CLOEXEC by F_SETFD) and the byte-range locks of the
// counter and the claims. Everything else is refused:
// F_SETOWN or F_SETOWN_EX, with F_SETSIG and O_ASYNC, would have the kernel send the signal of its
// choice (SIGKILL) to another process of the user at a descriptor's next event, which below
// Landlock ABI 6 nothing else stops; F_NOTIFY watches a folder, F_SETLEASE holds off other
// processes' opens of a file; the rest is of no use to it.
const std::uint32_t kFileControlCommands[] = {F_GETFL, F_SETFD, F_OFD_SETLK, F_OFD_SETLKW};

// Signals only to the process itself (abort and raise): the pid is its own, or the thread
// group's for tgkill.
const int kSignalCalls[] = {SYS_kill, SYS_tkill, SYS_tgkill};

constexpr std::uint32_t kRefused = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);

// The low 32 bits of a call's argument, as the filter loads them: a pid, a mode, a command and
// the flags of F_SETFL are taken by the kernel from no more than those.
constexpr std::uint32_t LowHalfOfArgument(int index) {
  return static_cast<std::uint32_t>(offsetof(seccomp_data, args) + sizeof(std::uint64_t) * index +
                                    (__BYTE_ORDER__ == __ORDER_BIG_ENDIAN__ ? 4 : 0));
}

// Where a call's number leads.
enum class Verdict {
  kAllow,
  kIfToItself,        // kill, tkill, tgkill: to its own pid only
  kIfPermissionBits,  // fchmod: with no bit beyond kGrantablePermissions
  kIfCommandGiven,    // fcntl: with one of the program's commands, F_SETFL without O_ASYNC
};

struct Decision {
  std::uint32_t number;
  Verdict verdict;
};

// The filter's ends, which the comparisons jump to: the refusal, the looks at a call's arguments,
// the allowance.
enum class End { kRefuse, kTarget, kMode, kCommand, kAllow };

End EndOf(Verdict verdict) {
  switch (verdict) {
    case Verdict::kIfToItself:
      return End::kTarget;
    case Verdict::kIfPermissionBits:
      return End::kMode;
    case Verdict::kIfCommandGiven:
      return End::kCommand;
    case Verdict::kAllow:
      break;
  }
  return End::kAllow;
}

// A jump of the program still to be aimed at one of its ends.
struct Aim {
  std::size_t at;
  bool if_true;  // jt, else jf
  End end;
};

// Compares the number with the sorted decisions [begin, end) by halves, a few at most linearly:
// every call is decided in some eight comparisons. The kernel works out, when the filter is
// installed, which way each of its hundreds of numbers goes, and that costs the comparisons on
// each number's way: with one comparison after another for some seventy calls it was most of
// what the confinement cost a request.
void Decide(const std::vector<Decision>& decisions, std::size_t begin, std::size_t end, std::vector<sock_filter>& program,
            std::vector<Aim>& aims) {
  if (end - begin <= 3) {
    for (std::size_t i = begin; i < end; ++i) {
      aims.push_back({program.size(), true, EndOf(decisions[i].verdict)});
      program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, decisions[i].number, 0, 0));
    }
    aims.push_back({program.size(), true, End::kRefuse});
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JA, 0, 0, 0));
    return;
  }
  const std::size_t middle = begin + (end - begin) / 2;
  const std::size_t split = program.size();
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, decisions[middle].number, 0, 0));
  Decide(decisions, begin, middle, program, aims);
  program[split].jt = static_cast<std::uint8_t>(program.size() - split - 1);
  Decide(decisions, middle, end, program, aims);
}

// Each look at a call's arguments ends in a refusal of its own followed by an allowance of its
// own, so that every jump in it goes forward a few steps. A look's jumps here are relative to
// its first instruction.
void EndLook(std::vector<sock_filter>& program) {
  program.push_back(BPF_STMT(BPF_RET | BPF_K, kRefused));
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
}

// kill, tkill and tgkill: the kernel takes a pid as an int, the low half of the argument.
void LookAtTarget(std::vector<sock_filter>& program, pid_t self) {
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, LowHalfOfArgument(0)));
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(self), 1, 0));
  EndLook(program);
}

// fchmod: the kernel takes the mode's low 16 bits; any bit beyond the grantable ones in the low
// half refuses it.
void LookAtMode(std::vector<sock_filter>& program) {
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, LowHalfOfArgument(1)));
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, ~std::uint32_t{kGrantablePermissions}, 0, 1));
  EndLook(program);
}

// fcntl: the command is an unsigned int. F_SETFL's flags are looked at too, since O_ASYNC asks for
// the signal at each event, and the kernel takes the flags from their low half.
void LookAtCommand(std::vector<sock_filter>& program) {
  const std::size_t count = sizeof kFileControlCommands / sizeof kFileControlCommands[0];
  // The look's instructions: the load, a comparison for each command, F_SETFL's comparison, the
  // flags' load and test, then its refusal and its allowance.
  const std::size_t refuse = 1 + count + 3, allow = refuse + 1;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, LowHalfOfArgument(1)));
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t at = 1 + i;
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kFileControlCommands[i],
                               static_cast<std::uint8_t>(allow - at - 1), 0));
  }
  const std::size_t set_flags = 1 + count;
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, F_SETFL, 0, static_cast<std::uint8_t>(refuse - set_flags - 1)));
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, LowHalfOfArgument(2)));
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_ASYNC, 0, 1));
  EndLook(program);
}

// The filter for a process of the given pid; empty when it could not be made.
std::vector<sock_filter> SystemCallFilter(pid_t self) {
  std::vector<Decision> decisions;
  for (const int call : kAllowedCalls) decisions.push_back({static_cast<std::uint32_t>(call), Verdict::kAllow});
  for (const int call : kSignalCalls) decisions.push_back({static_cast<std::uint32_t>(call), Verdict::kIfToItself});
  decisions.push_back({static_cast<std::uint32_t>(SYS_fchmod), Verdict::kIfPermissionBits});
  decisions.push_back({static_cast<std::uint32_t>(SYS_fcntl), Verdict::kIfCommandGiven});
  std::sort(decisions.begin(), decisions.end(), [](const Decision& a, const Decision& b) { return a.number < b.number; });
  std::vector<sock_filter> program;
  std::vector<Aim> aims;
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  // Calls of another architecture's table (i386's int 0x80) are numbered otherwise.
  aims.push_back({program.size(), false, End::kRefuse});
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 0, 0));
  program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
  // And the x32 calls carry a bit of their own on the same architecture.
  aims.push_back({program.size(), true, End::kRefuse});
  program.push_back(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 0, 0));
#endif
  Decide(decisions, 0, decisions.size(), program, aims);
  const std::size_t refuse = program.size();
  program.push_back(BPF_STMT(BPF_RET | BPF_K, kRefused));
  const std::size_t allow = program.size();
  program.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  const std::size_t target = program.size();
  LookAtTarget(program, self);
  const std::size_t mode = program.size();
  LookAtMode(program);
  const std::size_t command = program.size();
  LookAtCommand(program);
  for (const Aim& aim : aims) {
    const std::size_t to = aim.end == End::kRefuse    ? refuse
                           : aim.end == End::kTarget  ? target
                           : aim.end == End::kMode    ? mode
                           : aim.end == End::kCommand ? command
                                                      : allow;
    // Jumps go forward only, a conditional one 255 instructions at most: a longer list would
    // need another shape.
    if (to <= aim.at || to - aim.at - 1 > 255) return {};
    const std::size_t offset = to - aim.at - 1;
    sock_filter& jump = program[aim.at];
    if (BPF_OP(jump.code) == BPF_JA) {
      jump.k = static_cast<std::uint32_t>(offset);
    } else if (aim.if_true) {
      jump.jt = static_cast<std::uint8_t>(offset);
    } else {
      jump.jf = static_cast<std::uint8_t>(offset);
    }
  }
  return program;
}

}  // namespace

bool SeccompOffered() {
  std::uint32_t action = SECCOMP_RET_ERRNO;
  if (syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0) return true;
  // Kernels before 4.14 know no such question; a filter they take all the same.
  return errno == EINVAL && prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
}

bool ApplySeccomp() {
  std::vector<sock_filter> filter = SystemCallFilter(getpid());
  if (filter.empty()) return false;
  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0) return true;
  // Kernels before 3.17 take a filter through prctl only.
  return errno == ENOSYS && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
}

#else

}  // namespace

bool SeccompOffered() { return false; }
bool ApplySeccomp() { return false; }

#endif

}  // namespace trackrelay
