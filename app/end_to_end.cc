#include "app/end_to_end.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace trackrelay::e2e {

namespace fs = std::filesystem;

namespace {

std::string Environment(const char* name) {
  const char* value = getenv(name);
  return value != nullptr ? value : "";
}

// Waits, a bounded time, until the path is a folder: a share's client may show a folder made on
// the server a moment later.
bool AppearsAsFolder(const std::string& path) {
  for (int i = 0; i < 200; ++i) {
    std::error_code error;
    if (fs::is_directory(path, error)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return false;
}

}  // namespace

bool SharedDrive() {
  return !Environment("TRACKRELAY_E2E_SHARE").empty() && !Environment("TRACKRELAY_E2E_SHARE_SERVER").empty();
}

DriveRoot::DriveRoot() {
  char name[] = "/tmp/trackrelay-drives-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
  fs::create_directories(path_ + "/c/woe");
  if (!SharedDrive()) {
    for (const char* dir : {"r/fromnt", "r/tont"}) fs::create_directories(path_ + "/" + dir);
    return;
  }
  // A folder of this root's own on the share, so that drive roots that live at the same time
  // (tests side by side) never see each other's files. The server makes it, as the remote host
  // would; the program reaches it through the share's client.
  std::string server = Environment("TRACKRELAY_E2E_SHARE_SERVER") + "/drive-XXXXXX";
  if (mkdtemp(server.data()) == nullptr) throw std::runtime_error("mkdtemp failed on the share's server folder");
  remote_r_ = server;
  for (const char* dir : {"fromnt", "tont"}) fs::create_directory(remote_r_ + "/" + dir);
  const std::string client = Environment("TRACKRELAY_E2E_SHARE") + "/" + fs::path(remote_r_).filename().string();
  if (!AppearsAsFolder(client + "/fromnt") || !AppearsAsFolder(client + "/tont")) {
    throw std::runtime_error("the share does not show " + client);
  }
  fs::create_directory_symlink(client, path_ + "/r");
}

DriveRoot::~DriveRoot() {
  std::error_code ignored;
  if (!remote_r_.empty()) fs::remove_all(remote_r_, ignored);
  fs::remove_all(path_, ignored);  // ROOT/r is only a link then
}

std::string DriveRoot::Local(const std::string& drive_path) const {
  std::string out = path_ + "/";
  out += static_cast<char>(drive_path.at(0) | 0x20);
  for (std::size_t i = 2; i < drive_path.size(); ++i) out += drive_path[i] == '\\' ? '/' : drive_path[i];
  return out;
}

std::string DriveRoot::Remote(const std::string& drive_path) const {
  const std::string local = Local(drive_path);
  const std::string drive_r = path_ + "/r";
  if (remote_r_.empty() || local.compare(0, drive_r.size(), drive_r) != 0) return local;
  return remote_r_ + local.substr(drive_r.size());
}

void DriveRoot::Write(const std::string& drive_path, const std::string& bytes) const {
  std::ofstream out(Remote(drive_path), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + Remote(drive_path));
}

std::string DriveRoot::Read(const std::string& drive_path) const {
  std::ifstream in(Remote(drive_path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + Remote(drive_path));
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool DriveRoot::Exists(const std::string& drive_path) const {
  struct stat st;
  return lstat(Remote(drive_path).c_str(), &st) == 0;
}

std::vector<std::string> DriveRoot::List(const std::string& drive_path) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Remote(drive_path))) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

void DriveRoot::OpenToEveryone() const {
  chmod(path_.c_str(), 0777);
  for (const auto& entry : fs::recursive_directory_iterator(path_)) chmod(entry.path().c_str(), 0777);
}

std::string ExecutablePath() {
  const char* override_path = getenv("TRACKRELAY_E2E_EXECUTABLE");
  return override_path != nullptr && override_path[0] != '\0' ? override_path : TRACKRELAY_EXECUTABLE;
}

bool UnderWine() {
  const char* prefix = getenv("TRACKRELAY_E2E_WINEPREFIX");
  return prefix != nullptr && prefix[0] != '\0';
}

bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  return true;
#endif
#endif
  return false;
}

std::map<std::string, std::string> GetEnvironment(const std::string& query_string) {
  return {{"GATEWAY_INTERFACE", "CGI/1.1"}, {"REQUEST_METHOD", "GET"},   {"QUERY_STRING", query_string},
          {"SCRIPT_NAME", "/cgi-bin/trackrelay"}, {"SERVER_PROTOCOL", "HTTP/1.1"}, {"SERVER_NAME", "localhost"},
          {"SERVER_PORT", "80"},        {"REMOTE_ADDR", "127.0.0.1"}};
}

std::map<std::string, std::string> PostEnvironment(const std::string& content_length) {
  auto env = GetEnvironment("");
  env["REQUEST_METHOD"] = "POST";
  env["CONTENT_LENGTH"] = content_length;
  env["CONTENT_TYPE"] = "application/x-www-form-urlencoded";
  return env;
}

namespace {

// Runs argv with this environment as the user, quietly, and waits for it.
void RunQuietlyAs(uid_t user, const std::vector<std::string>& argv, const std::vector<std::string>& env) {
  std::vector<std::string> args = argv, vars = env;
  std::vector<char*> argp, envp;
  for (std::string& a : args) argp.push_back(a.data());
  for (std::string& v : vars) envp.push_back(v.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    if (user != geteuid() &&
        (setgroups(0, nullptr) != 0 || setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0)) {
      _exit(126);
    }
    execve(argp[0], argp.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

std::string FindOnPath(const std::string& program) {
  const char* path = getenv("PATH");
  std::stringstream folders(path != nullptr ? path : "/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    const std::string candidate = folder + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  throw std::runtime_error(program + " is not on PATH");
}

// Replaces whatever is at link with a symbolic link to target, in one step.
void PointLink(const std::string& link, const std::string& target, uid_t user) {
  const std::string fresh = link + ".new";
  std::error_code ignored;
  fs::remove(fresh, ignored);
  fs::create_symlink(target, fresh);
  if (user != geteuid() && lchown(fresh.c_str(), user, user) != 0) throw std::runtime_error("cannot chown " + fresh);
  fs::rename(fresh, link);
}

// The Wine prefixes of this test process, one per user that runs the program. Each borrows
// Windows itself and the registry from the prefix of the test run, which spares it the seconds
// that Wine takes to make one, and has a Wine server of its own, which keeps its drive letters
// apart from those of tests that run at the same time. Its c: and r: point at the drive root of
// the run under way; runs on two drive roots therefore cannot overlap.
class WinePrefixes {
 public:
  ~WinePrefixes() {
    // The servers would linger for seconds and then find their prefixes gone.
    for (const auto& [user, prefix] : prefixes_) {
      RunQuietlyAs(user, {FindOnPath("wineserver"), "-k"}, {"WINEPREFIX=" + prefix.path});
      // The server's folder lies in /tmp, named in the prefix's file "wineserver".
      std::string server_folder;
      std::ifstream(prefix.path + "/wineserver") >> server_folder;
      std::error_code ignored;
      if (server_folder.rfind("wine-", 0) == 0 && server_folder.find('/') == std::string::npos) {
        fs::remove_all("/tmp/" + server_folder, ignored);
      }
      fs::remove_all(prefix.path, ignored);
    }
  }

  // The user's prefix with its drives on root, until Release.
  std::string Attach(const DriveRoot& root, uid_t user) {
    std::lock_guard<std::mutex> hold(mutex_);
    Prefix& prefix = prefixes_[user];
    if (prefix.path.empty()) prefix.path = Make(user);
    if (prefix.root != root.path()) {
      if (prefix.runs > 0) throw std::logic_error("under Wine, runs on two drive roots cannot overlap");
      // c: is the drive root's c itself, so that c:\woe is a plain folder below the drive as
      // on a server (the program refuses a folder reached through a link); Windows itself is
      // borrowed into it.
      const std::string windows = root.path() + "/c/windows";
      struct stat st;
      if (lstat(windows.c_str(), &st) != 0) {
        fs::create_symlink(fs::path(getenv("TRACKRELAY_E2E_WINEPREFIX")) / "drive_c" / "windows", windows);
      }
      PointLink(prefix.path + "/dosdevices/c:", root.path() + "/c", user);
      PointLink(prefix.path + "/dosdevices/r:", root.path() + "/r", user);
      prefix.root = root.path();
    }
    ++prefix.runs;
    return prefix.path;
  }

  void Release(uid_t user) {
    std::lock_guard<std::mutex> hold(mutex_);
    --prefixes_[user].runs;
  }

 private:
  struct Prefix {
    std::string path, root;
    int runs = 0;
  };

  static std::string Make(uid_t user) {
    const fs::path base = getenv("TRACKRELAY_E2E_WINEPREFIX");
    // Beside the prefix of the test run, which removes them all when the run ends.
    const std::string path =
        base.string() + ".clones/" + std::to_string(getpid()) + "-" + std::to_string(user);
    std::error_code ignored;
    fs::remove_all(path, ignored);  // left by an earlier process of the same id
    fs::create_directories(path + "/dosdevices");
    fs::create_directories(path + "/drive_c");
    for (const char* file : {"system.reg", "user.reg", "userdef.reg", ".update-timestamp"}) {
      fs::copy_file(base / file, path + "/" + file);
    }
    RelayOnlyFromTheProgram(path + "/user.reg");
    fs::create_symlink(base / "drive_c" / "windows", path + "/drive_c/windows");
    fs::create_symlink("../drive_c", path + "/dosdevices/c:");
    fs::create_symlink("/", path + "/dosdevices/z:");
    // Wine insists that the prefix belongs to whoever runs it.
    if (user != geteuid()) {
      bool handed_over = lchown(path.c_str(), user, user) == 0;
      for (const auto& entry : fs::recursive_directory_iterator(path)) {
        handed_over = lchown(entry.path().c_str(), user, user) == 0 && handed_over;
      }
      if (!handed_over) throw std::runtime_error("cannot hand " + path + " over to user " + std::to_string(user));
    }
    // Debian's Wine names the folder of a prefix's server at random when the prefix first needs
    // one; clients that start together in a new prefix can each pick a name and one of them
    // then looks for its server in a folder that never comes. Starting the server here, before
    // any run, settles the name. It stays up until the destructor ends it: a server that ends
    // with its last client can reset the connection of a client that starts at that moment.
    RunQuietlyAs(user, {FindOnPath("wineserver"), "-p"}, {"WINEPREFIX=" + path});
    return path;
  }

  // A relay trace (WINEDEBUG=+relay) of the program's runs shows only the calls that its own
  // code makes, in every process of the prefix: Wine logs a call only when it comes from a
  // module of RelayFromInclude, and only when no RelayFromExclude is set, which a new prefix
  // has. Without +relay this changes nothing.
  static void RelayOnlyFromTheProgram(const std::string& user_reg) {
    std::ifstream in(user_reg, std::ios::binary);
    std::string kept, line;
    while (std::getline(in, line)) {
      if (line.rfind("\"RelayFromExclude\"=", 0) != 0) kept += line + "\n";
    }
    in.close();
    kept += "\n[Software\\\\Wine\\\\Debug]\n\"RelayFromInclude\"=\"" + fs::path(ExecutablePath()).filename().string() + "\"\n";
    std::ofstream(user_reg, std::ios::binary | std::ios::trunc) << kept;
  }

  std::mutex mutex_;
  std::map<uid_t, Prefix> prefixes_;
};

WinePrefixes wine_prefixes;

// A path of this machine as Wine's z: drive shows it.
std::string WindowsPathOf(const std::string& local) {
  std::string out = "Z:";
  for (char c : fs::absolute(local).string()) out += c == '/' ? '\\' : c;
  return out;
}

std::string ReadAllFrom(int fd) {
  std::string out;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    out.append(buffer, static_cast<std::size_t>(got));
  }
  return out;
}

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
  return "#" + std::to_string(number);
}

// Follows a child that stopped itself after PTRACE_TRACEME to its end, and records its system
// calls from its exec on. Every call stops the child until the tracer has seen it, so the order
// is the child's own whatever the load. Returns the wait status of its end.
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

// The kernel32 calls of a Wine relay trace ("0024:Call KERNEL32.CloseHandle(0000000c) ret=..."
// and "0024:Ret  KERNEL32.CloseHandle() retval=00000001 ret=..."), in order.
std::vector<TracedCall> Kernel32CallsOf(const std::string& relay_log) {
  std::vector<TracedCall> calls;
  std::ifstream in(relay_log, std::ios::binary);
  const std::string call = ":Call KERNEL32.", ret = ":Ret  KERNEL32.", retval = "retval=";
  for (std::string line; std::getline(in, line);) {
    std::size_t at = line.find(call);
    if (at != std::string::npos) {
      at += call.size();
      const std::size_t open = line.find('(', at);
      if (open == std::string::npos) continue;
      TracedCall made{line.substr(at, open - at)};
      made.first = std::strtoll(line.c_str() + open + 1, nullptr, 16);
      calls.push_back(made);
      continue;
    }
    at = line.find(ret);
    const std::size_t value = line.find(retval);
    if (at == std::string::npos || value == std::string::npos || calls.empty()) continue;
    const std::string name = line.substr(at + ret.size(), line.find('(', at) - at - ret.size());
    if (name == calls.back().name) calls.back().result = std::strtoll(line.c_str() + value + retval.size(), nullptr, 16);
  }
  return calls;
}

}  // namespace

RemoteHostSimulator::RemoteHostSimulator(const DriveRoot& root) {
  const std::string outbound = root.Remote("r:\\fromnt"), inbound = root.Remote("r:\\tont");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execl(TRACKRELAY_SIMULATOR, TRACKRELAY_SIMULATOR, "--outbound", outbound.c_str(), "--inbound", inbound.c_str(),
          "--quiet", static_cast<char*>(nullptr));
    _exit(127);
  }
}

RemoteHostSimulator::~RemoteHostSimulator() {
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
}

Outcome RunTrackrelay(const Invocation& invocation, const DriveRoot& root) {
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : invocation.env) env_strings.push_back(name + "=" + value);
  env_strings.push_back("TRACKRELAY_DRIVE_ROOT=" + root.path());
  std::string program = invocation.executable.empty() ? ExecutablePath() : invocation.executable;
  std::vector<std::string> command = {program};
  std::string wine_prefix;
  const uid_t user = invocation.run_as != static_cast<uid_t>(-1) ? invocation.run_as : geteuid();
  struct Detach {
    uid_t user;
    bool attached = false;
    ~Detach() {
      if (attached) wine_prefixes.Release(user);
    }
  } detach{user};
  if (UnderWine()) {
    wine_prefix = wine_prefixes.Attach(root, user);
    detach.attached = true;
    env_strings.push_back("WINEPREFIX=" + wine_prefix);
    env_strings.push_back(invocation.trace_calls ? "WINEDEBUG=-all,+relay" : "WINEDEBUG=-all");
    command = {FindOnPath("wine"), program};
  } else if (invocation.trace_calls && !invocation.env.contains("ASAN_OPTIONS")) {
    env_strings.push_back("ASAN_OPTIONS=detect_leaks=0");
  }
  const bool ptraced = invocation.trace_calls && !UnderWine();
  // Wine writes its relay trace to standard error.
  std::string relay_log;
  int relay_fd = -1;
  if (invocation.trace_calls && UnderWine()) {
    char name[] = "/tmp/trackrelay-relay-XXXXXX";
    relay_fd = mkstemp(name);
    if (relay_fd < 0) throw std::runtime_error("mkstemp failed");
    relay_log = name;
  }
  command.insert(command.end(), invocation.arguments.begin(), invocation.arguments.end());

  int in_pipe[2], out_pipe[2] = {-1, -1};
  if (pipe(in_pipe) != 0) throw std::runtime_error("pipe failed");
  std::string out_file;
  int out_fd = -1;
  if (invocation.output_to_file && UnderWine()) {
    // Wine's cmd opens the capture file on c:, so that the program's handle is a Windows one.
    std::string name = root.path() + "/c/out-XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    out_file = name;
    std::ofstream(out_file, std::ios::binary | std::ios::trunc) << invocation.output_file_before;
    if (invocation.run_as != static_cast<uid_t>(-1) && chown(out_file.c_str(), invocation.run_as, invocation.run_as) != 0) {
      throw std::runtime_error("cannot hand over " + out_file);
    }
    const std::string redirection = invocation.output_file_before.empty() ? " > c:\\" : " >> c:\\";
    std::string line = WindowsPathOf(program);
    for (const std::string& argument : invocation.arguments) line += " " + argument;
    command = {command[0], "cmd", "/c", line + redirection + fs::path(out_file).filename().string()};
    out_fd = open("/dev/null", O_WRONLY);
  } else if (invocation.output_to_file) {
    char name[] = "/tmp/trackrelay-out-XXXXXX";
    out_fd = mkstemp(name);
    out_file = name;
    std::ofstream(out_file, std::ios::binary | std::ios::trunc) << invocation.output_file_before;
    close(out_fd);
    out_fd = open(out_file.c_str(), O_WRONLY);  // no O_TRUNC, no O_APPEND: as a server's capture file
  } else {
    if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
    out_fd = out_pipe[1];
  }

  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);

  signal(SIGPIPE, SIG_IGN);  // a program that ends without reading its input must not kill the test
  auto started = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_fd, 1);
    if (relay_fd >= 0) dup2(relay_fd, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    signal(SIGPIPE, SIG_DFL);
    if (invocation.run_as != static_cast<uid_t>(-1)) {
      uid_t id = invocation.run_as;
      if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) _exit(126);
    }
    // Held until the tracer is ready; it then follows every call from the exec on.
    if (ptraced && (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0)) _exit(125);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_fd);
  if (relay_fd >= 0) close(relay_fd);

  std::thread feeder([&] {
    for (std::size_t i = 0; i < invocation.stdin_pieces.size(); ++i) {
      if (i > 0 && invocation.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(invocation.pause_ms));
      const std::string& piece = invocation.stdin_pieces[i];
      std::size_t done = 0;
      while (done < piece.size()) {
        ssize_t put = write(in_pipe[1], piece.data() + done, piece.size() - done);
        if (put <= 0) break;  // the program ended without reading it all
        done += static_cast<std::size_t>(put);
      }
    }
    close(in_pipe[1]);
  });

  Outcome outcome;
  int status = 0;
  struct rusage usage = {};
  if (ptraced) {
    // The tracer is the thread that started the child; the output is read beside it.
    std::thread reader([&] {
      if (!invocation.output_to_file) outcome.output = ReadAllFrom(out_pipe[0]);
    });
    status = TraceToEnd(pid, usage, outcome.calls);
    reader.join();
    if (!invocation.output_to_file) close(out_pipe[0]);
  } else {
    if (!invocation.output_to_file) {
      outcome.output = ReadAllFrom(out_pipe[0]);
      close(out_pipe[0]);
    }
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
  }
  feeder.join();
  if (!relay_log.empty()) {
    outcome.calls = Kernel32CallsOf(relay_log);
    unlink(relay_log.c_str());
  }
  outcome.peak_rss_kib = usage.ru_maxrss;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (invocation.output_to_file) {
    std::ifstream in(out_file, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    outcome.output = all.str();
    unlink(out_file.c_str());
  }
  return outcome;
}

}  // namespace trackrelay::e2e
