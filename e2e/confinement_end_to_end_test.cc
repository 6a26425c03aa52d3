// The real executable, as it ships, taken over at its first read of the request body: its tracer
// makes it run other system calls there, as code that a hostile body got to run would. Each must
// be refused with an error, and the request then served as it would have been: at the Landlock
// ABI this kernel offers, and at the older ones that its tracer tells the program of.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "cgi/expected_pages.h"
#include "e2e/end_to_end.h"
#include "platform/confinement.h"
#include "platform/testing/local_files.h"

namespace trackrelay::e2e {
namespace {

namespace fs = std::filesystem;

constexpr const char* kCounter = " 41 \r\n";
constexpr const char* kSecret = "LOCAL SECRET\n";

// What an attacker would go for, around one drive root: a file on c: beside c:\woe, one on r:
// beside the exchange folders, another request's file, a folder of /tmp, a process of the same
// user, and a port listening on the loopback address.
class Targets {
 public:
  explicit Targets(const DriveRoot& root) : root_(root) {
    root.Write("c:\\woe\\track.txt", kCounter);
    WriteLocalFile(root.Local("c:\\secret.txt"), kSecret);
    WriteLocalFile(root.Local("r:\\secret.txt"), kSecret);
    root.Write("r:\\fromnt\\99.DAT", "TRACKNO=99&card=secret\r\n");
    char name[] = "/tmp/trackrelay-attack-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    tmp_ = name;
    bystander_ = fork();
    if (bystander_ < 0) throw std::runtime_error("fork failed");
    if (bystander_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) pause();
    }
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(listener_, 4) != 0 || getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      throw std::runtime_error("cannot listen on the loopback address");
    }
    port_address_.assign(reinterpret_cast<const char*>(&address), sizeof address);
  }
  ~Targets() {
    kill(bystander_, SIGKILL);
    waitpid(bystander_, nullptr, 0);
    close(listener_);
    umount2(tmp_.c_str(), MNT_DETACH);  // only ever mounted by an attack that passed
    std::error_code ignored;
    fs::remove_all(tmp_, ignored);
  }
  Targets(const Targets&) = delete;
  Targets& operator=(const Targets&) = delete;

  std::string Local(const std::string& drive_path) const { return root_.Local(drive_path); }
  const std::string& tmp() const { return tmp_; }
  pid_t bystander() const { return bystander_; }
  // The listening port's address, as connect takes it.
  const std::string& port_address() const { return port_address_; }
  bool BystanderAlive() const { return waitpid(bystander_, nullptr, WNOHANG) == 0; }
  bool ConnectionCame() const {
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return false;
    close(connection);
    return true;
  }

 private:
  const DriveRoot& root_;
  std::string tmp_;
  pid_t bystander_ = -1;
  int listener_ = -1;
  std::string port_address_;
};

unsigned long Word(long value) { return static_cast<unsigned long>(value); }

// Opens the path in the program as the attacker would; closes what it opened. The open's result.
long OpenThere(StoppedProgram& program, const std::string& path, int flags, mode_t mode = 0) {
  const long fd = program.Run(SYS_openat, {Word(AT_FDCWD), program.Put(path + '\0'), Word(flags), mode});
  if (fd >= 0) program.Run(SYS_close, {Word(fd)});
  return fd;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The permission bits of path, or -1.
int ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Runs fcntl(command, argument) on a descriptor that the program opens at path (flags) for it;
// fcntl's result, or the open's when it failed.
long FileControlThere(StoppedProgram& program, const std::string& path, int flags, int command, unsigned long argument) {
  const long fd = program.Run(SYS_openat, {Word(AT_FDCWD), program.Put(path + '\0'), Word(flags)});
  if (fd < 0) return fd;
  const long result = program.Run(SYS_fcntl, {Word(fd), Word(command), argument});
  program.Run(SYS_close, {Word(fd)});
  return result;
}

// The greatest of the results: a success (0 and up) where any of the calls passed, else an error.
long AnyPassed(std::initializer_list<long> results) { return std::max(results); }

struct AttackCase {
  const char* what;
  // Makes the program try it; the result of the call that would do it (-errno when refused).
  std::function<long(StoppedProgram&, const Targets&)> attack;
  // What it left behind, when it did anything; empty when nothing shows.
  std::function<std::string(const Targets&)> harm;
  int landlock_abi = 1;           // the Landlock ABI it needs to be refused; 0: seccomp refuses it
  bool sanitizer_allows = false;  // a sanitizer build lets its runtime do this
  // The body goes in two pieces this far apart, so that its input has an event to tell of after
  // the attack; 0: in one piece.
  int input_pause_ms = 0;
};

std::string None(const Targets&) { return ""; }

TEST(ConfinementEndToEnd, AProgramTakenOverAtItsFirstInputReadReachesNothingButItsExchange) {
  if (!CanStopAtFirstInputRead()) GTEST_SKIP() << "stopping the program at a system call needs x86-64 and POSIX";
  const Confinement offered = OfferedConfinement();
  if (LevelOf(offered) != ConfinementLevel::kWhole) {
    GTEST_SKIP() << "this kernel offers " << DescribeConfinement(offered)
                 << ", and the program confines itself no further than the kernel lets it";
  }
  auto created = [](const char* drive_path) {
    return
        [drive_path](const Targets& t) { return Exists(t.Local(drive_path)) ? std::string("made ") + drive_path : ""; };
  };
  const std::string counter_path = "c:\\woe\\track.txt";
  const AttackCase cases[] = {
      {"reads /etc/passwd", [](StoppedProgram& p, const Targets&) { return OpenThere(p, "/etc/passwd", O_RDONLY); },
       None},
      {"reads a file on c: outside c:\\woe",
       [](StoppedProgram& p, const Targets& t) { return OpenThere(p, t.Local("c:\\secret.txt"), O_RDONLY); }, None},
      {"reads a file on r: outside its two folders",
       [](StoppedProgram& p, const Targets& t) { return OpenThere(p, t.Local("r:\\secret.txt"), O_RDONLY); }, None},
      {"reads another request's file in r:\\fromnt",
       [](StoppedProgram& p, const Targets& t) { return OpenThere(p, t.Local("r:\\fromnt\\99.DAT"), O_RDONLY); }, None},
      {"creates a file on r: outside its two folders",
       [](StoppedProgram& p, const Targets& t) {
         return OpenThere(p, t.Local("r:\\intruder.txt"), O_WRONLY | O_CREAT | O_EXCL, 0644);
       },
       created("r:\\intruder.txt")},
      {"creates a file in /tmp",
       [](StoppedProgram& p, const Targets& t) {
         return OpenThere(p, t.tmp() + "/intruder.txt", O_WRONLY | O_CREAT | O_EXCL, 0644);
       },
       [](const Targets& t) { return Exists(t.tmp() + "/intruder.txt") ? "made a file in /tmp" : ""; }},
      {"forges another request's answer in r:\\tont",
       [](StoppedProgram& p, const Targets& t) {
         return OpenThere(p, t.Local("r:\\tont\\8.out"), O_WRONLY | O_CREAT | O_EXCL, 0644);
       },
       created("r:\\tont\\8.out")},
      {"puts a link to a local file in r:\\fromnt",
       [](StoppedProgram& p, const Targets& t) {
         return p.Run(SYS_symlinkat,
                      {p.Put(std::string("/etc/passwd") + '\0'), Word(AT_FDCWD), p.Put(t.Local("r:\\fromnt\\8.DAT") + '\0')});
       },
       created("r:\\fromnt\\8.DAT")},
      {"moves the counter out of c:\\woe",
       [&](StoppedProgram& p, const Targets& t) {
         return p.Run(SYS_renameat, {Word(AT_FDCWD), p.Put(t.Local(counter_path) + '\0'), Word(AT_FDCWD),
                                     p.Put(t.Local("r:\\fromnt\\stolen.txt") + '\0')});
       },
       [&](const Targets& t) { return Exists(t.Local(counter_path)) ? "" : "the counter is gone"; }},
      {"empties the counter",
       [&](StoppedProgram& p, const Targets& t) { return OpenThere(p, t.Local(counter_path), O_WRONLY | O_TRUNC); },
       [&](const Targets& t) { return ReadLocalFile(t.Local(counter_path)) == kCounter ? "" : "the counter changed"; },
       3},
      {"opens a file outside to everyone",
       [](StoppedProgram& p, const Targets& t) {
         return p.Run(SYS_fchmodat, {Word(AT_FDCWD), p.Put(t.Local("c:\\secret.txt") + '\0'), 0666});
       },
       [](const Targets& t) {
         struct stat st;
         return stat(t.Local("c:\\secret.txt").c_str(), &st) == 0 && (st.st_mode & 0777) == 0666 ? "chmod passed" : "";
       },
       0},
      {"runs /bin/true",
       [](StoppedProgram& p, const Targets&) {
         const unsigned long path = p.Put(std::string("/bin/true") + '\0');
         std::string argv(16, '\0');
         std::memcpy(argv.data(), &path, sizeof path);
         const long result = p.Run(SYS_execve, {path, p.Put(argv), 0});
         return p.gone() ? 0 : result;
       },
       None, 0},
      {"connects to a port on 127.0.0.1",
       [](StoppedProgram& p, const Targets& t) {
         const long fd = p.Run(SYS_socket, {AF_INET, SOCK_STREAM, 0});
         if (fd < 0) return fd;
         const long connected = p.Run(SYS_connect, {Word(fd), p.Put(t.port_address()), t.port_address().size()});
         p.Run(SYS_close, {Word(fd)});
         return connected;
       },
       [](const Targets& t) { return t.ConnectionCame() ? "the port took a connection" : ""; }, 0},
      {"kills another process of its user",
       [](StoppedProgram& p, const Targets& t) {
         return p.Run(SYS_kill, {Word(t.bystander()), SIGKILL});
       },
       [](const Targets& t) { return t.BystanderAlive() ? "" : "the other process is dead"; }, 0},
      {"traces another process of its user",
       [](StoppedProgram& p, const Targets& t) {
         return p.Run(SYS_ptrace, {PTRACE_ATTACH, Word(t.bystander())});
       },
       // A sanitizer build lets its leak check trace, which Landlock alone keeps to the process.
       None, SanitizerBuild() ? 1 : 0},
      {"starts a process of its own",
       [](StoppedProgram& p, const Targets&) {
         return p.Run(SYS_clone, {SIGCHLD, 0, 0, 0, 0});
       },
       None, 0, true},
      {"mounts a file system",
       [](StoppedProgram& p, const Targets& t) {
         return p.Run(SYS_mount, {p.Put(std::string("none") + '\0'), p.Put(t.tmp() + '\0'),
                                  p.Put(std::string("tmpfs") + '\0'), 0, 0});
       },
       None, 0},
      {"makes namespaces of its own",
       [](StoppedProgram& p, const Targets&) { return p.Run(SYS_unshare, {CLONE_NEWUSER | CLONE_NEWNS}); }, None, 0},
      {"makes a file it made in c:\\woe set-user-ID",
       [](StoppedProgram& p, const Targets& t) {
         const long fd = p.Run(SYS_openat, {Word(AT_FDCWD), p.Put(t.Local("c:\\woe\\run") + '\0'),
                                            Word(O_WRONLY | O_CREAT | O_EXCL), 0755});
         if (fd < 0) return fd;
         const long result = p.Run(SYS_fchmod, {Word(fd), 06755});
         p.Run(SYS_close, {Word(fd)});
         return result;
       },
       [](const Targets& t) {
         const int mode = ModeOf(t.Local("c:\\woe\\run"));
         return mode >= 0 && (mode & 06000) != 0 ? "c:\\woe\\run is set-user-ID" : "";
       },
       0},
      {"opens c:\\woe to everyone",
       [](StoppedProgram& p, const Targets& t) {
         const long fd = p.Run(SYS_openat, {Word(AT_FDCWD), p.Put(t.Local("c:\\woe") + '\0'), Word(O_RDONLY | O_DIRECTORY)});
         if (fd < 0) return fd;
         const long result = p.Run(SYS_fchmod, {Word(fd), 0777});
         p.Run(SYS_close, {Word(fd)});
         return result;
       },
       [](const Targets& t) { return (ModeOf(t.Local("c:\\woe")) & 0002) != 0 ? "c:\\woe is writable by others" : ""; },
       0},
      {"has another process killed at its input's next event (F_SETOWN, F_SETSIG, O_ASYNC)",
       [](StoppedProgram& p, const Targets& t) {
         const long owner = p.Run(SYS_fcntl, {0, F_SETOWN, Word(t.bystander())});
         const long signal = p.Run(SYS_fcntl, {0, F_SETSIG, SIGKILL});
         const long flags = p.Run(SYS_fcntl, {0, F_GETFL});
         const long async = flags < 0 ? flags : p.Run(SYS_fcntl, {0, F_SETFL, Word(flags | O_ASYNC)});
         return AnyPassed({owner, signal, async});
       },
       [](const Targets& t) { return t.BystanderAlive() ? "" : "the other process is dead"; }, 0, false, 500},
      {"makes another process its input's owner (F_SETOWN_EX)",
       [](StoppedProgram& p, const Targets& t) {
         const f_owner_ex owner{F_OWNER_PID, t.bystander()};
         return p.Run(SYS_fcntl, {0, F_SETOWN_EX, p.Put(std::string(reinterpret_cast<const char*>(&owner), sizeof owner))});
       },
       None, 0},
      {"watches c:\\woe for new files (F_NOTIFY)",
       [](StoppedProgram& p, const Targets& t) {
         return FileControlThere(p, t.Local("c:\\woe"), O_RDONLY | O_DIRECTORY, F_NOTIFY, DN_CREATE | DN_MULTISHOT);
       },
       None, 0},
      {"takes a lease on the counter, holding off the next request's open (F_SETLEASE)",
       [&](StoppedProgram& p, const Targets& t) {
         return FileControlThere(p, t.Local(counter_path), O_RDONLY, F_SETLEASE, F_RDLCK);
       },
       None, 0},
      {"watches /etc for the names of new files (inotify), by an instance of its own or the program's",
       [](StoppedProgram& p, const Targets&) {
         const unsigned long etc = p.Put(std::string("/etc") + '\0');
         const long own = p.Run(SYS_inotify_init1, {0});
         long watched = own < 0 ? own : p.Run(SYS_inotify_add_watch, {Word(own), etc, IN_CREATE});
         // The program's own instance, the inbound folder's watch, among its first descriptors.
         for (unsigned long fd = 3; fd < 10; ++fd) {
           if (static_cast<long>(fd) != own) watched = std::max(watched, p.Run(SYS_inotify_add_watch, {fd, etc, IN_CREATE}));
         }
         if (own >= 0) p.Run(SYS_close, {Word(own)});
         return watched;
       },
       None, 0},
      // Its operations would pass no system-call filter.
      {"sets up an io_uring",
       [](StoppedProgram& p, const Targets&) {
         const long fd = p.Run(SYS_io_uring_setup, {8, p.Put(std::string(120, '\0'))});
         if (fd >= 0) p.Run(SYS_close, {Word(fd)});
         return fd;
       },
       None, 0},
  };
  // A body that fills the program's first read, so that the attacks' paths fit in its buffer.
  const std::string body = "TRACKNO=7&pad=" + std::string(4096 - 14, 'x');
  const std::string page = expected::kHeader + "<p>the answer to 7</p>\r\n\r\n";
  // One run at a Landlock ABI taken over by attack; what harm then finds.
  auto take_over = [&](const AttackCase& c, int abi, long& result) {
    SCOPED_TRACE(testing::Message() << c.what << ", at Landlock ABI " << abi);
    DriveRoot root;
    Targets targets(root);
    Invocation run;
    run.env = PostEnvironment(std::to_string(body.size()));
    run.stdin_pieces = {body};
    if (c.input_pause_ms > 0) {
      run.stdin_pieces = {body.substr(0, body.size() - 1), body.substr(body.size() - 1)};
      run.pause_ms = c.input_pause_ms;
    }
    run.at_first_input_read = [&](StoppedProgram& program) { result = c.attack(program, targets); };
    run.pretended_landlock_abi = abi < offered.landlock_abi ? abi : -1;
    Responder remote(root, "7", "<p>the answer to 7</p>\r\n");
    const Outcome out = RunTrackrelay(run, root);
    remote.Join();
    const std::string harm = c.harm(targets);
    // Whatever it was made to try, the request is served as it would have been.
    EXPECT_EQ(out.exit_status, 0);
    EXPECT_EQ(out.output, page);
    EXPECT_EQ(remote.request(), body + "\r\n");
    EXPECT_EQ(ReadLocalFile(root.Remote(counter_path)), kCounter);
    // It was shut in as far as the ABI lets it: Landlock applied at any ABI but 0, the filter
    // always, and the inbound folder's watch set up before either.
    std::size_t watch = out.calls.size(), landlock = out.calls.size(), filter = out.calls.size();
    for (std::size_t i = 0; i < out.calls.size(); ++i) {
      const TracedCall& call = out.calls[i];
      if (call.name == "inotify_add_watch" && call.result >= 0 && watch == out.calls.size()) watch = i;
      if (call.name == "landlock_restrict_self" && call.result == 0) landlock = i;
      if (call.name == "seccomp" && call.result == 0) filter = i;
    }
    EXPECT_LT(filter, out.calls.size()) << "no filter was installed";
    EXPECT_EQ(landlock < out.calls.size(), abi > 0) << "Landlock applied, or not";
    // A share is never watched.
    if (!SharedDrive()) {
      EXPECT_LT(watch, std::min(landlock, filter)) << "the watch is set up before the confinement";
    }
    return harm;
  };
  // At the ABI this kernel offers, and as older kernels would offer: ABI 5 lacks the scoping of
  // signals, and ABI 0 is a kernel whose Landlock is disabled (Debian 12's by default), where the
  // filter alone keeps the process in.
  std::vector<int> levels = {offered.landlock_abi};
  for (const int older : {5, 0}) {
    if (older < levels.back()) levels.push_back(older);
  }
  for (const int abi : levels) {
    long untouched = 0;
    take_over({"is stopped there and let go", [](StoppedProgram&, const Targets&) { return 0L; }, None}, abi, untouched);
    int refused = 0, tried = 0;
    for (const AttackCase& c : cases) {
      if ((c.sanitizer_allows && SanitizerBuild()) || c.landlock_abi > abi) continue;
      ++tried;
      long result = 0;
      const std::string harm = take_over(c, abi, result);
      // An error, not a result: -4095 to -1.
      const bool was_refused = result < 0 && result >= -4095;
      EXPECT_TRUE(was_refused) << "at Landlock ABI " << abi << " the program " << c.what << ": the call returned "
                               << result;
      EXPECT_EQ(harm, "") << "at Landlock ABI " << abi << " the program " << c.what;
      if (was_refused && harm.empty()) ++refused;
      std::printf("ABI %d: the program %s: %s (%s)\n", abi, c.what, was_refused ? "refused" : "DONE",
                  result < 0 ? std::strerror(static_cast<int>(-result)) : std::to_string(result).c_str());
    }
    std::printf("at Landlock ABI %d, %d of %d attacks refused\n", abi, refused, tried);
  }
}

}  // namespace
}  // namespace trackrelay::e2e
