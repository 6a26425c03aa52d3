// The real executable, as it ships, taken over at its first read of the request body: its tracer
// makes it run other system calls there, as code that a hostile body got to run would. Each must
// be refused with an error, and the request then served as it would have been.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/end_to_end.h"
#include "cgi/expected_pages.h"
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

struct AttackCase {
  const char* what;
  // Makes the program try it; the result of the call that would do it (-errno when refused).
  std::function<long(StoppedProgram&, const Targets&)> attack;
  // What it left behind, when it did anything; empty when nothing shows.
  std::function<std::string(const Targets&)> harm;
  int landlock_abi = 1;           // the Landlock ABI it needs to be refused; 0: seccomp refuses it
  bool sanitizer_allows = false;  // a sanitizer build lets its runtime do this
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
       None, 0},
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
  // One run taken over by attack; what harm then finds.
  auto take_over = [&](const AttackCase& c, long& result) {
    DriveRoot root;
    Targets targets(root);
    Invocation run;
    run.env = PostEnvironment(std::to_string(body.size()));
    run.stdin_pieces = {body};
    run.at_first_input_read = [&](StoppedProgram& program) { result = c.attack(program, targets); };
    Responder remote(root, "7", "<p>the answer to 7</p>\r\n");
    const Outcome out = RunTrackrelay(run, root);
    remote.Join();
    const std::string harm = c.harm(targets);
    // Whatever it was made to try, the request is served as it would have been.
    EXPECT_EQ(out.exit_status, 0) << c.what;
    EXPECT_EQ(out.output, page) << c.what;
    EXPECT_EQ(remote.request(), body + "\r\n") << c.what;
    EXPECT_EQ(ReadLocalFile(root.Remote(counter_path)), kCounter) << c.what;
    return harm;
  };
  long untouched = 0;
  take_over({"is stopped there and let go", [](StoppedProgram&, const Targets&) { return 0L; }, None}, untouched);
  int refused = 0, tried = 0;
  for (const AttackCase& c : cases) {
    if ((c.sanitizer_allows && SanitizerBuild()) || c.landlock_abi > offered.landlock_abi) continue;
    ++tried;
    long result = 0;
    const std::string harm = take_over(c, result);
    // An error, not a result: -4095 to -1.
    const bool was_refused = result < 0 && result >= -4095;
    EXPECT_TRUE(was_refused) << "the program " << c.what << ": the call returned " << result;
    EXPECT_EQ(harm, "") << "the program " << c.what;
    if (was_refused && harm.empty()) ++refused;
    std::printf("the program %s: %s (%s)\n", c.what, was_refused ? "refused" : "DONE",
                result < 0 ? std::strerror(static_cast<int>(-result)) : std::to_string(result).c_str());
  }
  std::printf("%d of %d attacks refused\n", refused, tried);
}

}  // namespace
}  // namespace trackrelay::e2e
