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

DriveRoot::DriveRoot(const FarmFolder& farm) {
  char name[] = "/tmp/trackrelay-drives-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
  fs::create_directories(path_ + "/c");
  if (!AppearsAsFolder(farm.client + "/woe") || !AppearsAsFolder(farm.client + "/r/fromnt") ||
      !AppearsAsFolder(farm.client + "/r/tont")) {
    std::error_code ignored;
    fs::remove_all(path_, ignored);  // no destructor runs for an object not made
    throw std::runtime_error("the volume does not show " + farm.client);
  }
  fs::create_directory_symlink(farm.client + "/woe", path_ + "/c/woe");
  fs::create_directory_symlink(farm.client + "/r", path_ + "/r");
  remote_r_ = farm.remote + "/r";
  remote_woe_ = farm.remote + "/woe";
}

DriveRoot::~DriveRoot() {
  std::error_code ignored;
  // A farm's folder is the farm's to remove.
  if (!remote_r_.empty() && remote_woe_.empty()) fs::remove_all(remote_r_, ignored);
  fs::remove_all(path_, ignored);  // ROOT/r (and a farm's ROOT/c/woe) is only a link then
}

std::string DriveRoot::Local(const std::string& drive_path) const {
  std::string out = path_ + "/";
  out += static_cast<char>(drive_path.at(0) | 0x20);
  for (std::size_t i = 2; i < drive_path.size(); ++i) out += drive_path[i] == '\\' ? '/' : drive_path[i];
  return out;
}

std::string DriveRoot::Remote(const std::string& drive_path) const {
  const std::string local = Local(drive_path);
  const std::string drive_r = path_ + "/r", woe = path_ + "/c/woe";
  if (!remote_r_.empty() && local.compare(0, drive_r.size(), drive_r) == 0) {
    return remote_r_ + local.substr(drive_r.size());
  }
  if (!remote_woe_.empty() && local.compare(0, woe.size(), woe) == 0) return remote_woe_ + local.substr(woe.size());
  return local;
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

bool FarmOfWebServers() {
  return !Environment("TRACKRELAY_E2E_FARM").empty() && !Environment("TRACKRELAY_E2E_SHARE_SERVER").empty();
}

Farm::Farm(const std::string& counter) {
  std::stringstream clients(Environment("TRACKRELAY_E2E_FARM"));
  for (std::string client; std::getline(clients, client, ':');) {
    if (!client.empty()) clients_.push_back(client);
  }
  std::string remote = Environment("TRACKRELAY_E2E_SHARE_SERVER") + "/farm-XXXXXX";
  if (clients_.empty() || mkdtemp(remote.data()) == nullptr) throw std::runtime_error("no farm's folder");
  remote_ = remote;
  for (const char* dir : {"woe", "r/fromnt", "r/tont"}) fs::create_directories(remote_ + "/" + dir);
  std::ofstream(remote_ + "/woe/track.txt", std::ios::binary) << counter;
  const std::string name = fs::path(remote_).filename();
  for (const std::string& client : clients_) {
    servers_.push_back(std::make_unique<DriveRoot>(FarmFolder{client + "/" + name, remote_}));
  }
}

Farm::~Farm() {
  servers_.clear();
  std::error_code ignored;
  fs::remove_all(remote_, ignored);
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

// The Wine prefixes of this test process, for each user that runs the program. Each borrows
// Windows itself and the registry from the prefix of the test run, which spares it the seconds
// that Wine takes to make one, and has a Wine server of its own, which keeps its drive letters
// apart from those of tests that run at the same time. Its c: and r: point at the drive root of
// the runs under way; runs on another drive root meanwhile get another prefix, so that each
// drive root in use stands for a Windows machine of its own (the web servers of a farm).
class WinePrefixes {
 public:
  ~WinePrefixes() {
    // The servers would linger for seconds and then find their prefixes gone.
    for (const auto& [user, prefixes] : prefixes_) {
      for (const Prefix& prefix : prefixes) {
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
  }

  // A prefix of the user's with its drives on root, until Release.
  std::string Attach(const DriveRoot& root, uid_t user) {
    std::lock_guard<std::mutex> hold(mutex_);
    std::vector<Prefix>& prefixes = prefixes_[user];
    Prefix* chosen = nullptr;
    for (Prefix& prefix : prefixes) {
      if (prefix.root == root.path()) chosen = &prefix;
    }
    for (Prefix& prefix : prefixes) {
      if (chosen == nullptr && prefix.runs == 0) chosen = &prefix;
    }
    if (chosen == nullptr) {
      prefixes.push_back(Prefix{Make(user, prefixes.size()), "", 0});
      chosen = &prefixes.back();
    }
    if (chosen->root != root.path()) {
      // c: is the drive root's c itself, so that c:\woe is a plain folder below the drive as
      // on a server (the program refuses a folder reached through a link, c:\woe itself
      // excepted); Windows itself is borrowed into it.
      const std::string windows = root.path() + "/c/windows";
      struct stat st;
      if (lstat(windows.c_str(), &st) != 0) {
        fs::create_symlink(fs::path(getenv("TRACKRELAY_E2E_WINEPREFIX")) / "drive_c" / "windows", windows);
      }
      PointLink(chosen->path + "/dosdevices/c:", root.path() + "/c", user);
      PointLink(chosen->path + "/dosdevices/r:", root.path() + "/r", user);
      chosen->root = root.path();
    }
    ++chosen->runs;
    return chosen->path;
  }

  void Release(uid_t user, const std::string& path) {
    std::lock_guard<std::mutex> hold(mutex_);
    for (Prefix& prefix : prefixes_[user]) {
      if (prefix.path == path) --prefix.runs;
    }
  }

 private:
  struct Prefix {
    std::string path, root;
    int runs = 0;
  };

  static std::string Make(uid_t user, std::size_t index) {
    const fs::path base = getenv("TRACKRELAY_E2E_WINEPREFIX");
    // Beside the prefix of the test run, which removes them all when the run ends.
    const std::string path = base.string() + ".clones/" + std::to_string(getpid()) + "-" + std::to_string(user) +
                             (index == 0 ? "" : "-" + std::to_string(index));
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
  std::map<uid_t, std::vector<Prefix>> prefixes_;
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

// What a run holds between its start and its end.
struct StartedRun::State {
  Invocation invocation;
  pid_t pid = -1;
  int in_pipe_writer = -1;
  int out_reader = -1;  // the output pipe, or -1 with output to a file
  std::string out_file;
  std::chrono::steady_clock::time_point started;
  std::thread feeder;
  std::string wine_user_attached;  // non-empty while a Wine prefix is attached for the run
  uid_t user = 0;
  // A run whose calls are traced: only the thread that started it may wait for it, as its tracer.
  bool ptraced = false;
  std::string relay_log;  // Wine's relay trace of a traced run under Wine, else empty
  bool waited = false;
};

StartedRun::StartedRun(StartedRun&& other) noexcept = default;
StartedRun& StartedRun::operator=(StartedRun&& other) noexcept = default;
StartedRun::StartedRun(std::unique_ptr<State> state) : state_(std::move(state)) {}

StartedRun::~StartedRun() {
  if (state_ == nullptr || state_->waited) return;
  kill(state_->pid, SIGKILL);
  Wait();
}

pid_t StartedRun::pid() const { return state_->pid; }

StartedRun StartTrackrelay(const Invocation& invocation, const DriveRoot& root) {
  auto state = std::make_unique<StartedRun::State>();
  state->invocation = invocation;
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : invocation.env) env_strings.push_back(name + "=" + value);
  env_strings.push_back("TRACKRELAY_DRIVE_ROOT=" + root.path());
  std::string program = invocation.executable.empty() ? ExecutablePath() : invocation.executable;
  std::vector<std::string> command = {program};
  std::string wine_prefix;
  const uid_t user = invocation.run_as != static_cast<uid_t>(-1) ? invocation.run_as : geteuid();
  state->user = user;
  if (UnderWine()) {
    wine_prefix = wine_prefixes.Attach(root, user);
    state->wine_user_attached = wine_prefix;
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
  int out_fd = -1;
  if (invocation.output_to_file && UnderWine()) {
    // Wine's cmd opens the capture file on c:, so that the program's handle is a Windows one.
    std::string name = root.path() + "/c/out-XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    state->out_file = name;
    std::ofstream(state->out_file, std::ios::binary | std::ios::trunc) << invocation.output_file_before;
    if (invocation.run_as != static_cast<uid_t>(-1) &&
        chown(state->out_file.c_str(), invocation.run_as, invocation.run_as) != 0) {
      throw std::runtime_error("cannot hand over " + state->out_file);
    }
    const std::string redirection = invocation.output_file_before.empty() ? " > c:\\" : " >> c:\\";
    std::string line = WindowsPathOf(program);
    for (const std::string& argument : invocation.arguments) line += " " + argument;
    command = {command[0], "cmd", "/c", line + redirection + fs::path(state->out_file).filename().string()};
    out_fd = open("/dev/null", O_WRONLY);
  } else if (invocation.output_to_file) {
    char name[] = "/tmp/trackrelay-out-XXXXXX";
    out_fd = mkstemp(name);
    state->out_file = name;
    std::ofstream(state->out_file, std::ios::binary | std::ios::trunc) << invocation.output_file_before;
    close(out_fd);
    out_fd = open(state->out_file.c_str(), O_WRONLY);  // no O_TRUNC, no O_APPEND: as a server's capture file
  } else {
    if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
    out_fd = out_pipe[1];
    state->out_reader = out_pipe[0];
  }

  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);

  signal(SIGPIPE, SIG_IGN);  // a program that ends without reading its input must not kill the test
  state->started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
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
  state->pid = pid;
  close(in_pipe[0]);
  close(out_fd);
  state->in_pipe_writer = in_pipe[1];
  if (relay_fd >= 0) close(relay_fd);
  state->relay_log = relay_log;
  state->ptraced = ptraced;
  StartedRun::State* raw = state.get();
  state->feeder = std::thread([raw] {
    const Invocation& run = raw->invocation;
    for (std::size_t i = 0; i < run.stdin_pieces.size(); ++i) {
      if (i > 0 && run.pause_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(run.pause_ms));
      const std::string& piece = run.stdin_pieces[i];
      std::size_t done = 0;
      while (done < piece.size()) {
        ssize_t put = write(raw->in_pipe_writer, piece.data() + done, piece.size() - done);
        if (put <= 0) break;  // the program ended without reading it all
        done += static_cast<std::size_t>(put);
      }
    }
    close(raw->in_pipe_writer);
  });
  return StartedRun(std::move(state));
}

Outcome StartedRun::Wait() {
  State& state = *state_;
  Outcome outcome;
  int status = 0;
  struct rusage usage = {};
  if (state.ptraced) {
    // The tracer is the thread that started the child; the output is read beside it.
    std::thread reader([&] {
      if (state.out_reader >= 0) outcome.output = ReadAllFrom(state.out_reader);
    });
    status = TraceToEnd(state.pid, usage, outcome.calls);
    reader.join();
  } else {
    if (state.out_reader >= 0) outcome.output = ReadAllFrom(state.out_reader);
    while (wait4(state.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
  }
  if (state.out_reader >= 0) close(state.out_reader);
  state.feeder.join();
  state.waited = true;
  if (!state.wine_user_attached.empty()) wine_prefixes.Release(state.user, state.wine_user_attached);
  if (!state.relay_log.empty()) {
    outcome.calls = Kernel32CallsOf(state.relay_log);
    unlink(state.relay_log.c_str());
  }
  outcome.peak_rss_kib = usage.ru_maxrss;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - state.started).count();
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (!state.out_file.empty()) {
    std::ifstream in(state.out_file, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    outcome.output = all.str();
    unlink(state.out_file.c_str());
  }
  return outcome;
}

Outcome RunTrackrelay(const Invocation& invocation, const DriveRoot& root) {
  return StartTrackrelay(invocation, root).Wait();
}

}  // namespace trackrelay::e2e
