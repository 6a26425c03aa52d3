#include "platform/confinement.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/system.h"
#include "platform/testing/local_files.h"

namespace trackrelay {
namespace {

namespace fs = std::filesystem;

// A drive root of its own: c/woe, r/in, r/out and r/beside, each holding files "f" and "g", and c/f.
class Drives {
 public:
  Drives() {
    char name[] = "/tmp/trackrelay-confinement-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = name;
    for (const char* folder : {"c/woe", "r/in", "r/out", "r/beside"}) {
      fs::create_directories(root_ + "/" + folder);
      WriteLocalFile(root_ + "/" + folder + "/f", "bytes");
      WriteLocalFile(root_ + "/" + folder + "/g", "bytes");
    }
    WriteLocalFile(root_ + "/c/f", "bytes");
  }
  ~Drives() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  const std::string& root() const { return root_; }
  std::string Path(const std::string& below) const { return root_ + "/" + below; }

 private:
  std::string root_;
};

// Runs body in a child process whose drive root is root, and hands back what body returned: the
// child may shut itself in for good, and tells only through a pipe.
std::string InChild(const std::string& root, const std::function<std::string()>& body) {
  int out[2];
  if (pipe(out) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(out[0]);
    setenv("TRACKRELAY_DRIVE_ROOT", root.c_str(), 1);
    const std::string told = body();
    const ssize_t ignored = write(out[1], told.data(), told.size());
    (void)ignored;
    _exit(0);
  }
  close(out[1]);
  std::string told;
  char buffer[4096];
  for (ssize_t got; (got = read(out[0], buffer, sizeof buffer)) > 0;)
    told.append(buffer, static_cast<std::size_t>(got));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    told += "[the child ended with status " + std::to_string(status) + "]";
  return told;
}

// "ok", or the name of the error a call failed with.
std::string Outcome(int result) { return result >= 0 ? "ok" : strerrorname_np(errno); }

std::string Open(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
  const std::string said = Outcome(fd);
  if (fd >= 0) close(fd);
  return said;
}

// Calls refused to the kernel before the process confines itself, as an older kernel would
// lack them: they fail with ENOSYS. A kernel without seccomp filters (SYS_seccomp among them)
// refuses a filter through prctl too, with EINVAL.
void PretendTheKernelLacks(const std::vector<int>& calls) {
  std::vector<sock_filter> filter;
  filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  for (int call : calls) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(call), 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS));
  }
  if (std::find(calls.begin(), calls.end(), SYS_seccomp) != calls.end()) {
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_prctl, 0, 3));
    filter.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PR_SET_SECCOMP, 0, 1));
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL));
  }
  filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
  prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0) std::abort();
}

// Changes the mode of c/woe/f, opened for reading, to mode, as fchmod's register carries it.
std::string ChangeMode(const Drives& d, unsigned long mode) {
  const int fd = open(d.Path("c/woe/f").c_str(), O_RDONLY | O_CLOEXEC);
  const std::string said = Outcome(fd < 0 ? fd : static_cast<int>(syscall(SYS_fchmod, fd, mode)));
  if (fd >= 0) close(fd);
  return said;
}

// What control does to c/woe/f opened for reading without waiting.
std::string Control(const Drives& d, const std::function<int(int)>& control) {
  const int fd = open(d.Path("c/woe/f").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const std::string said = Outcome(fd < 0 ? fd : control(fd));
  if (fd >= 0) close(fd);
  return said;
}

const std::vector<int> kLandlockCalls = {SYS_landlock_create_ruleset, SYS_landlock_add_rule,
                                         SYS_landlock_restrict_self};

bool Offered() { return LevelOf(OfferedConfinement()) == ConfinementLevel::kWhole; }

bool SanitizerRuntime() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

TEST(ConfinementTest, EachFolderGetsItsOwnRightsAndNothingElseIsReached) {
  if (!Offered()) GTEST_SKIP() << "this kernel offers " << DescribeConfinement(OfferedConfinement());
  struct Case {
    const char* what;
    std::function<std::string(const Drives&)> action;
    const char* outcome;
  };
  const Case cases[] = {
      {"read a file where reading is granted", [](const Drives& d) { return Open(d.Path("c/woe/f"), O_RDONLY); }, "ok"},
      {"write it there too", [](const Drives& d) { return Open(d.Path("c/woe/f"), O_WRONLY); }, "ok"},
      {"read where only making and writing are", [](const Drives& d) { return Open(d.Path("r/out/f"), O_RDONLY); },
       "EACCES"},
      {"make a file there", [](const Drives& d) { return Open(d.Path("r/out/h"), O_WRONLY | O_CREAT | O_EXCL); }, "ok"},
      {"make a file where only reading is",
       [](const Drives& d) { return Open(d.Path("r/in/h"), O_WRONLY | O_CREAT | O_EXCL); }, "EACCES"},
      {"remove a file where removing is",
       [](const Drives& d) { return Outcome(unlinkat(AT_FDCWD, d.Path("r/in/f").c_str(), 0)); }, "ok"},
      {"remove a file where it is not",
       [](const Drives& d) { return Outcome(unlinkat(AT_FDCWD, d.Path("r/out/f").c_str(), 0)); }, "EACCES"},
      {"list a folder where listing is", [](const Drives& d) { return Open(d.Path("r/in"), O_RDONLY | O_DIRECTORY); },
       "ok"},
      {"list one where it is not", [](const Drives& d) { return Open(d.Path("r/out"), O_RDONLY | O_DIRECTORY); },
       "EACCES"},
      // As a look does on a share that folds case: the C library's listing asks fcntl too.
      {"read a folder's names as the file system does",
       [](const Drives&) -> std::string {
         try {
           const std::vector<std::string> names = CurrentSystem().ListFolder("r:\\in\\");
           return std::find(names.begin(), names.end(), "f") != names.end() ? "ok" : "no f";
         } catch (const Failure& failure) {
           return "failure " + std::to_string(failure.number());
         }
       },
       "ok"},
      {"rename within a folder over another file",
       [](const Drives& d) {
         return Outcome(renameat(AT_FDCWD, d.Path("c/woe/g").c_str(), AT_FDCWD, d.Path("c/woe/f").c_str()));
       },
       "ok"},
      {"rename into another granted folder",
       [](const Drives& d) {
         return Outcome(renameat(AT_FDCWD, d.Path("c/woe/f").c_str(), AT_FDCWD, d.Path("r/out/moved").c_str()));
       },
       "EXDEV"},
      {"truncate a file where writing is", [](const Drives& d) { return Open(d.Path("c/woe/f"), O_WRONLY | O_TRUNC); },
       "EACCES"},
      {"make a folder", [](const Drives& d) { return Outcome(mkdirat(AT_FDCWD, d.Path("r/out/sub").c_str(), 0755)); },
       "EPERM"},
      {"read beside the granted folders", [](const Drives& d) { return Open(d.Path("r/beside/f"), O_RDONLY); },
       "EACCES"},
      {"read on c: beside c:\\woe", [](const Drives& d) { return Open(d.Path("c/f"), O_RDONLY); }, "EACCES"},
      {"read elsewhere", [](const Drives&) { return Open("/etc/hostname", O_RDONLY); }, "EACCES"},
      {"run a program",
       [](const Drives&) {
         char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
         return Outcome(execve("/bin/true", argv, nullptr));
       },
       "EPERM"},
      {"make a socket", [](const Drives&) { return Outcome(socket(AF_UNIX, SOCK_STREAM, 0)); }, "EPERM"},
      {"make a process", [](const Drives&) { return Outcome(static_cast<int>(syscall(SYS_fork))); }, "EPERM"},
      {"signal the parent", [](const Drives&) { return Outcome(kill(getppid(), 0)); }, "EPERM"},
      {"signal itself", [](const Drives&) { return Outcome(kill(getpid(), 0)); }, "ok"},
      // A file of its own gets permission bits, and no more.
      {"give a file read and write for its owner and group", [](const Drives& d) { return ChangeMode(d, 0664); },
       "ok"},
      {"the same, and search for everyone", [](const Drives& d) { return ChangeMode(d, 0775); }, "ok"},
      {"write for others", [](const Drives& d) { return ChangeMode(d, 0666); }, "EPERM"},
      {"set-user-ID", [](const Drives& d) { return ChangeMode(d, 04755); }, "EPERM"},
      {"set-group-ID", [](const Drives& d) { return ChangeMode(d, 02755); }, "EPERM"},
      {"sticky", [](const Drives& d) { return ChangeMode(d, 01755); }, "EPERM"},
      {"a bit beyond the mode", [](const Drives& d) { return ChangeMode(d, 0100664); }, "EPERM"},
      {"a mode's bits above its low half", [](const Drives& d) { return ChangeMode(d, 0x100000000 | 0664); }, "ok"},
      // fcntl with the program's own commands only.
      {"wait on a file opened without waiting",
       [](const Drives& d) {
         return Control(d, [](int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK); });
       },
       "ok"},
      {"lock a byte",
       [](const Drives& d) {
         return Control(d, [](int fd) {
           struct flock range {};
           range.l_type = F_RDLCK;
           range.l_len = 1;
           return fcntl(fd, F_OFD_SETLK, &range);
         });
       },
       "ok"},
      {"ask for signals at its events (O_ASYNC)",
       [](const Drives& d) { return Control(d, [](int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_ASYNC); }); },
       "EPERM"},
      {"give its events to another process (F_SETOWN)",
       [](const Drives& d) { return Control(d, [](int fd) { return fcntl(fd, F_SETOWN, getppid()); }); }, "EPERM"},
      {"choose the signal of its events (F_SETSIG)",
       [](const Drives& d) { return Control(d, [](int fd) { return fcntl(fd, F_SETSIG, SIGKILL); }); }, "EPERM"},
      {"duplicate a descriptor", [](const Drives& d) { return Control(d, [](int fd) { return fcntl(fd, F_DUPFD, 0); }); },
       "EPERM"},
      {"a command whose upper half is the program's",
       [](const Drives& d) { return Control(d, [](int fd) { return static_cast<int>(syscall(SYS_fcntl, fd, 0x100000000 | F_GETFL)); }); },
       "ok"},
  };
  for (const Case& c : cases) {
    // The sanitizer's runtime may make processes, and its leak check needs to.
    if (std::string(c.what) == "make a process" && SanitizerRuntime()) continue;
    Drives drives;
    const std::string told = InChild(drives.root(), [&] {
      ConfineProcess({{"c:\\woe", kReadFiles | kWriteFiles | kMakeFiles | kRemoveFiles},
                      {"r:\\in", kReadFiles | kListNames | kRemoveFiles},
                      {"r:\\out", kWriteFiles | kMakeFiles}});
      return c.action(drives);
    });
    EXPECT_EQ(told, c.outcome) << c.what;
  }
}

// The inbound folder's watch is set up before the process shuts itself in, since a confined
// process may make none: the one set up before still wakes its wait, and no other can be made.
TEST(ConfinementTest, AWatchSetUpBeforeTheConfinementStillWakesAndNoNewOneCanBeMade) {
  if (!Offered()) GTEST_SKIP() << "this kernel offers " << DescribeConfinement(OfferedConfinement());
  Drives drives;
  const std::string told = InChild(drives.root(), [&] {
    System& system = CurrentSystem();
    system.WatchFolder("r:\\in\\");
    ConfineProcess({{"r:\\in", kReadFiles | kListNames | kWriteFiles | kMakeFiles | kRemoveFiles}});
    system.WatchForArrival("r:\\in\\5.out");
    // The answer lands as the remote host lands it, renamed in.
    const std::string landed = Outcome(renameat(AT_FDCWD, drives.Path("r/in/f").c_str(), AT_FDCWD, drives.Path("r/in/5.out").c_str()));
    const std::string woke = system.AwaitArrival("r:\\in\\5.out", 5000) > 0 ? "woke" : "slept";
    const int another = inotify_init1(IN_CLOEXEC);
    return landed + "|" + woke + "|" + Outcome(another);
  });
  EXPECT_EQ(told, "ok|woke|EPERM");
}

TEST(ConfinementTest, AFolderIsReachedAsTheFileSystemsWalkReachesIt) {
  if (!Offered()) GTEST_SKIP() << "this kernel offers " << DescribeConfinement(OfferedConfinement());
  struct Case {
    const char* what;
    std::function<void(const Drives&)> arrange;
    const char* read;  // below the root
    const char* outcome;
  };
  const Case cases[] = {
      {"c:\\woe, the administrator's link to a farm's folder, is followed",
       [](const Drives& d) {
         fs::rename(d.Path("c/woe"), d.Path("farm"));
         fs::create_directory_symlink(d.Path("farm"), d.Path("c/woe"));
       },
       "farm/f", "ok"},
      {"a link in the place of an exchange folder is not",
       [](const Drives& d) {
         fs::remove_all(d.Path("r/in"));
         fs::create_directory_symlink(d.Path("r/beside"), d.Path("r/in"));
       },
       "r/beside/f", "EACCES"},
      {"the drive's own folder may be a link to where the share is mounted",
       [](const Drives& d) {
         fs::rename(d.Path("r"), d.Path("share"));
         fs::create_directory_symlink(d.Path("share"), d.Path("r"));
       },
       "share/in/f", "ok"},
      {"a missing folder is reached by nothing", [](const Drives& d) { fs::remove_all(d.Path("r/in")); }, "r/beside/f",
       "EACCES"},
      {"nor are the drive's later folders: its first one decides whether a request can go on",
       [](const Drives& d) { fs::remove_all(d.Path("r/in")); }, "r/out/f", "EACCES"},
      {"which otherwise are", [](const Drives&) {}, "r/out/f", "ok"},
  };
  for (const Case& c : cases) {
    Drives drives;
    c.arrange(drives);
    const std::string told = InChild(drives.root(), [&] {
      ConfineProcess({{"c:\\woe", kReadFiles}, {"r:\\in", kReadFiles}, {"r:\\out", kReadFiles}});
      return Open(drives.Path(c.read), O_RDONLY);
    });
    EXPECT_EQ(told, c.outcome) << c.what;
  }
}

TEST(ConfinementTest, WhatTheKernelLacksIsLeftOutAndTheRestStillHolds) {
  if (!Offered()) GTEST_SKIP() << "this kernel offers " << DescribeConfinement(OfferedConfinement());
  const int abi = OfferedConfinement().landlock_abi;
  struct Case {
    const char* what;
    std::vector<int> lacks;
    std::string confined_by;
    ConfinementLevel level;
    // Then: a file beside the folder read, a socket made, a TCP connection on a socket made
    // before, the parent signalled.
    const char* read_beside;
    const char* socket;
    const char* connect;
    const char* signal_parent;
  };
  const char* landlock_connect = abi >= 4 ? "EACCES" : "ECONNREFUSED";
  const char* landlock_signal = abi >= 6 ? "EPERM" : "ok";
  const Case cases[] = {
      {"everything",
       {},
       "Landlock ABI " + std::to_string(abi) + " and seccomp",
       ConfinementLevel::kWhole,
       "EACCES",
       "EPERM",
       "EPERM",
       "EPERM"},
      {"no Landlock", kLandlockCalls, "seccomp alone, without Landlock", ConfinementLevel::kPartial, "ok", "EPERM",
       "EPERM", "EPERM"},
      {"no seccomp filters",
       {SYS_seccomp},
       "Landlock ABI " + std::to_string(abi) + " alone, without seccomp",
       ConfinementLevel::kPartial,
       "EACCES",
       "ok",
       landlock_connect,
       landlock_signal},
      {"neither",
       {SYS_landlock_create_ruleset, SYS_landlock_add_rule, SYS_landlock_restrict_self, SYS_seccomp},
       "neither Landlock nor seccomp",
       ConfinementLevel::kNone,
       "ok",
       "ok",
       "ECONNREFUSED",
       "ok"},
  };
  for (const Case& c : cases) {
    Drives drives;
    const std::string told = InChild(drives.root(), [&] {
      // A port nobody listens on: refused by the kernel, where nothing refuses the attempt first.
      const int early = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in nowhere{};
      nowhere.sin_family = AF_INET;
      nowhere.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      nowhere.sin_port = htons(9);
      PretendTheKernelLacks(c.lacks);
      const Confinement got = ConfineProcess({{"c:\\woe", kReadFiles}});
      const int made = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      std::string said = DescribeConfinement(got) + "|" + std::to_string(static_cast<int>(LevelOf(got))) + "|" +
                         Open(drives.Path("r/beside/f"), O_RDONLY) + "|" + Outcome(made) + "|" +
                         Outcome(connect(early, reinterpret_cast<sockaddr*>(&nowhere), sizeof nowhere)) + "|" +
                         Outcome(kill(getppid(), 0));
      // Within its folder the process works as before, whatever it got.
      return said + "|" + Open(drives.Path("c/woe/f"), O_RDONLY);
    });
    const std::string expected = c.confined_by + "|" + std::to_string(static_cast<int>(c.level)) + "|" + c.read_beside +
                                 "|" + c.socket + "|" + c.connect + "|" + c.signal_parent + "|ok";
    EXPECT_EQ(told, expected) << c.what;
  }
}

}  // namespace
}  // namespace trackrelay
