// The process shut in on Linux: Landlock for its files, TCP connections and signals, and a seccomp
// filter for the system calls that Landlock does not cover. Debian 12's headers know Landlock's
// first ABIs only, so what the later ones add is defined here.
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/confinement.h"
#include "platform/drive_path.h"
#include "platform/kernel32.h"
#include "platform/text_rules.h"
#include "platform/unique_handle.h"

// A sanitizer build (GCC's macro, clang's feature test) reads its own memory map and stops its
// threads with ptrace for the leak check at the end of the process.
#if defined(__SANITIZE_ADDRESS__)
#define TRACKRELAY_SANITIZER_RUNTIME 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRACKRELAY_SANITIZER_RUNTIME 1
#endif
#endif

namespace trackrelay {
namespace {

// --- Landlock ------------------------------------------------------------------------------

constexpr unsigned kLandlockCreateRulesetVersion = 1u << 0;
constexpr int kLandlockRulePathBeneath = 1;

// File rights, by the ABI that brought them.
constexpr std::uint64_t kFsExecute = 1ull << 0;
constexpr std::uint64_t kFsWriteFile = 1ull << 1;
constexpr std::uint64_t kFsReadFile = 1ull << 2;
constexpr std::uint64_t kFsReadDir = 1ull << 3;
constexpr std::uint64_t kFsRemoveFile = 1ull << 5;
constexpr std::uint64_t kFsMakeReg = 1ull << 8;
constexpr std::uint64_t kFsAbi1 = (1ull << 13) - 1;  // execute to make a symbolic link
constexpr std::uint64_t kFsRefer = 1ull << 13;        // ABI 2: link or rename into another folder
constexpr std::uint64_t kFsTruncate = 1ull << 14;     // ABI 3
constexpr std::uint64_t kFsIoctlDev = 1ull << 15;     // ABI 5
// ABI 4: TCP.
constexpr std::uint64_t kNetBindTcp = 1ull << 0;
constexpr std::uint64_t kNetConnectTcp = 1ull << 1;
// ABI 6: what lies outside the process's own domain.
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ull << 0;
constexpr std::uint64_t kScopeSignal = 1ull << 1;

struct LandlockRulesetAttr {
  std::uint64_t handled_access_fs;
  std::uint64_t handled_access_net;
  std::uint64_t scoped;
};

struct __attribute__((packed)) LandlockPathBeneathAttr {
  std::uint64_t allowed_access;
  std::int32_t parent_fd;
};

int LandlockAbi() {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, kLandlockCreateRulesetVersion);
  return abi > 0 ? static_cast<int>(abi) : 0;
}

// Everything of the files that the ABI can refuse is refused unless a folder's rule grants it:
// executing, making folders, devices, pipes, sockets and links, moving a file into another folder,
// truncating, device ioctls.
std::uint64_t HandledFileRights(int abi) {
  std::uint64_t rights = kFsAbi1;
  if (abi >= 2) rights |= kFsRefer;
  if (abi >= 3) rights |= kFsTruncate;
  if (abi >= 5) rights |= kFsIoctlDev;
  return rights;
}

std::uint64_t LandlockRights(unsigned rights) {
  std::uint64_t granted = 0;
  if (rights & kReadFiles) granted |= kFsReadFile;
  if (rights & kListNames) granted |= kFsReadDir;
  if (rights & kWriteFiles) granted |= kFsWriteFile;
  if (rights & kMakeFiles) granted |= kFsMakeReg;
  if (rights & kRemoveFiles) granted |= kFsRemoveFile;
  return granted;
}

// The folder at a drive path, opened as the file system's walk reaches it (file_system_posix.cc):
// the drive's folder as it stands, the first folder below c: through its link, every other folder
// refusing a link. -1 when it cannot be reached now: a request that needs it fails on its own walk
// with the same page as before, and one that finds it later (a share mounted meanwhile) is refused
// the access instead.
UniqueDescriptor OpenFolderAsReached(const std::string& drive_path) {
  if (drive_path.size() < 2 || drive_path[1] != ':' || !IsAsciiLetter(drive_path[0])) return UniqueDescriptor();
  UniqueDescriptor folder(open(MapDrivePath(drive_path.substr(0, 2)).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  bool administrators = (drive_path[0] | 0x20) == 'c';
  for (const std::string& name : PathNames(std::string_view(drive_path).substr(2))) {
    if (!folder.valid()) break;
    if (StaysInFolder(name)) continue;
    if (name == "..") return UniqueDescriptor();
    const int follow = administrators ? 0 : O_NOFOLLOW;
    administrators = false;
    folder = UniqueDescriptor(openat(folder.get(), name.c_str(), O_PATH | O_DIRECTORY | follow | O_CLOEXEC));
  }
  return folder;
}

#if defined(TRACKRELAY_SANITIZER_RUNTIME)
// What the sanitizer's runtime reads: the process's own memory map and threads at the end, for the
// leak check, and the program's file and its libraries, from which it symbolizes its reports
// itself. The process's folder of /proc is made anew at each look-up once nothing holds it, and a
// rule holds for the one it was given: it stays open to the end.
void AllowTheSanitizerRuntime(int ruleset) {
  UniqueDescriptor own(open("/proc/self", O_PATH | O_DIRECTORY | O_CLOEXEC));
  LandlockPathBeneathAttr proc{kFsReadFile | kFsReadDir, own.get()};
  if (own.valid()) syscall(SYS_landlock_add_rule, ruleset, kLandlockRulePathBeneath, &proc, 0);
  own.Release();
  dl_iterate_phdr(
      [](dl_phdr_info* info, std::size_t, void* set) {
        const char* name = info->dlpi_name[0] != '\0' ? info->dlpi_name : "/proc/self/exe";
        const UniqueDescriptor image(open(name, O_PATH | O_CLOEXEC));
        LandlockPathBeneathAttr read{kFsReadFile, image.get()};
        if (image.valid()) syscall(SYS_landlock_add_rule, *static_cast<int*>(set), kLandlockRulePathBeneath, &read, 0);
        return 0;
      },
      &ruleset);
}
#endif

// Builds and applies the ruleset; the ABI applied, or 0. The caller has set no_new_privs.
int ApplyLandlock(int abi, const std::vector<FolderAccess>& folders) {
  if (abi <= 0) return 0;
  LandlockRulesetAttr attr{HandledFileRights(abi), 0, 0};
  std::size_t size = offsetof(LandlockRulesetAttr, handled_access_net);
  if (abi >= 4) {
    // No rule grants a port: neither binding nor connecting over TCP.
    attr.handled_access_net = kNetBindTcp | kNetConnectTcp;
    size = offsetof(LandlockRulesetAttr, scoped);
  }
  if (abi >= 6) {
    attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    size = sizeof attr;
  }
  UniqueDescriptor ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, size, 0)));
  if (!ruleset.valid()) return 0;
  for (const FolderAccess& access : folders) {
    const UniqueDescriptor folder = OpenFolderAsReached(access.folder);
    if (!folder.valid()) continue;
    LandlockPathBeneathAttr rule{LandlockRights(access.rights) & attr.handled_access_fs, folder.get()};
    if (rule.allowed_access == 0) continue;
    // A folder whose rule the kernel refuses stays out of reach, as every folder does by default.
    syscall(SYS_landlock_add_rule, ruleset.get(), kLandlockRulePathBeneath, &rule, 0);
  }
#if defined(TRACKRELAY_SANITIZER_RUNTIME)
  AllowTheSanitizerRuntime(ruleset.get());
#endif
  return syscall(SYS_landlock_restrict_self, ruleset.get(), 0) == 0 ? abi : 0;
}

// --- seccomp -------------------------------------------------------------------------------

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
    // Files, as the file systems and the arrival watch use them.
    SYS_read, SYS_write, SYS_writev, SYS_close, SYS_openat, SYS_newfstatat, SYS_fstat, SYS_statx, SYS_lseek,
    SYS_fcntl, SYS_ftruncate, SYS_fsync, SYS_fdatasync, SYS_renameat, SYS_renameat2, SYS_linkat, SYS_unlinkat,
    SYS_getdents64, SYS_fstatfs, SYS_fchmod, SYS_fchown, SYS_inotify_init1, SYS_inotify_add_watch,
    SYS_inotify_rm_watch, SYS_ppoll,
#if defined(SYS_poll)
    SYS_poll,
#endif
    // Time and waiting.
    SYS_clock_gettime, SYS_clock_getres, SYS_gettimeofday, SYS_nanosleep, SYS_clock_nanosleep, SYS_restart_syscall,
    SYS_sched_yield,
    // Memory, signals of its own, the end.
    SYS_brk, SYS_mmap, SYS_munmap, SYS_mremap, SYS_mprotect, SYS_madvise, SYS_futex, SYS_rt_sigaction,
    SYS_rt_sigprocmask, SYS_rt_sigreturn, SYS_sigaltstack, SYS_exit, SYS_exit_group,
    // What the C library asks of the process.
    SYS_getpid, SYS_gettid, SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid, SYS_getrandom, SYS_sysinfo,
#if defined(TRACKRELAY_SANITIZER_RUNTIME)
    // The sanitizer's runtime makes its own calls, some by their older numbers (open, stat,
    // getdents), and its leak check at the end stops the process's threads from a task of its
    // own, which traces them: Landlock still keeps that tracing to this process. It is never let
    // start a program (its external symbolizer), so the attacks stay refused in this build too.
    SYS_clone, SYS_wait4, SYS_ptrace, SYS_prctl, SYS_readlinkat, SYS_sched_getaffinity, SYS_prlimit64, SYS_getppid,
    SYS_ioctl, SYS_dup, SYS_dup3, SYS_uname,
    // Its test of whether memory may be read (the vptr check's) writes it into a pipe.
    SYS_pipe2,
#if defined(__x86_64__)
    SYS_open, SYS_stat, SYS_lstat, SYS_getdents, SYS_readlink, SYS_dup2, SYS_pipe,
#endif
#endif
};

// Signals only to the process itself (abort and raise): the pid is its own, or the thread
// group's for tgkill.
const int kSignalCalls[] = {SYS_kill, SYS_tkill, SYS_tgkill};

constexpr std::uint32_t kRefused = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);

sock_filter Statement(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }
sock_filter Jump(std::uint16_t code, std::uint32_t k, std::size_t from, std::size_t to_true, std::size_t to_false) {
  return BPF_JUMP(code, k, static_cast<std::uint8_t>(to_true - from - 1), static_cast<std::uint8_t>(to_false - from - 1));
}

// The filter for a process of the given pid.
std::vector<sock_filter> SystemCallFilter(pid_t self) {
  const std::size_t allowed = std::size(kAllowedCalls), signals = std::size(kSignalCalls);
#if defined(__x86_64__)
  constexpr std::size_t kX32Check = 1;
#else
  constexpr std::size_t kX32Check = 0;
#endif
  // The program: the architecture, the number, the allowed numbers, the signal calls, then the
  // refusal, the signal's target, and the allowance.
  const std::size_t first_number = 3 + kX32Check;
  const std::size_t refuse = first_number + allowed + signals;
  const std::size_t target = refuse + 1;
  const std::size_t allow = target + 3;
  std::vector<sock_filter> program;
  program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  // Calls of another architecture's table (i386's int 0x80) are numbered otherwise.
  program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 2, refuse));
  program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
#if defined(__x86_64__)
  // And the x32 calls carry a bit of their own on the same architecture.
  program.push_back(Jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000u, 3, refuse, 4));
#endif
  for (const int call : kAllowedCalls) {
    const std::size_t at = program.size();
    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), at, allow, at + 1));
  }
  for (const int call : kSignalCalls) {
    const std::size_t at = program.size();
    program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), at, target, at + 1));
  }
  program.push_back(Statement(BPF_RET | BPF_K, kRefused));
  // The kernel takes a pid as an int: the low half of the argument is the whole of it.
  program.push_back(Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
  program.push_back(Jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(self), target + 1, allow, target + 2));
  program.push_back(Statement(BPF_RET | BPF_K, kRefused));
  program.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return program;
}

bool SeccompOffered() {
  std::uint32_t action = SECCOMP_RET_ERRNO;
  if (syscall(SYS_seccomp, SECCOMP_GET_ACTION_AVAIL, 0, &action) == 0) return true;
  // Kernels before 4.14 know no such question; a filter they take all the same.
  return errno == EINVAL && prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
}

bool ApplySeccomp() {
  std::vector<sock_filter> filter = SystemCallFilter(getpid());
  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  return syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

#else

bool SeccompOffered() { return false; }
bool ApplySeccomp() { return false; }

#endif

}  // namespace

Confinement ConfineProcess(const std::vector<FolderAccess>& folders) {
  HoldStandardDescriptors();
  Confinement got;
  // Both need it of a process without CAP_SYS_ADMIN; nothing of this program gains privileges
  // by an exec anyway, and it makes none.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return got;
  got.landlock_abi = ApplyLandlock(LandlockAbi(), folders);
  got.seccomp = SeccompOffered() && ApplySeccomp();
  return got;
}

Confinement OfferedConfinement() {
  Confinement offered;
  offered.landlock_abi = LandlockAbi();
  offered.seccomp = SeccompOffered();
  return offered;
}

ConfinementLevel LevelOf(const Confinement& confinement) {
  if (confinement.landlock_abi > 0 && confinement.seccomp) return ConfinementLevel::kWhole;
  if (confinement.landlock_abi > 0 || confinement.seccomp) return ConfinementLevel::kPartial;
  return ConfinementLevel::kNone;
}

std::string DescribeConfinement(const Confinement& confinement) {
  const std::string landlock = "Landlock ABI " + std::to_string(confinement.landlock_abi);
  switch (LevelOf(confinement)) {
    case ConfinementLevel::kWhole:
      return landlock + " and seccomp";
    case ConfinementLevel::kPartial:
      return confinement.seccomp ? "seccomp alone, without Landlock" : landlock + " alone, without seccomp";
    case ConfinementLevel::kNone:
      break;
  }
  return "neither Landlock nor seccomp";
}

}  // namespace trackrelay
