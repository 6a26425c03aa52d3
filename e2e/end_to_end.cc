#include "e2e/end_to_end.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "e2e/end_to_end_launch.h"
#include "platform/testing/local_files.h"

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

bool OnLazyFs() {
  return !Environment("TRACKRELAY_E2E_POWER_CUT").empty() && !Environment("TRACKRELAY_E2E_POWER_CUT_DIR").empty();
}

bool LazyFs(const std::vector<std::string>& action) {
  std::vector<std::string> argv = {"bash", Environment("TRACKRELAY_E2E_POWER_CUT"),
                                   Environment("TRACKRELAY_E2E_POWER_CUT_DIR")};
  argv.insert(argv.end(), action.begin(), action.end());
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(arg.data());
  args.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    execvp("bash", args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

DriveRoot::DriveRoot() {
  // On LazyFS a short name: its fault commands name files by their whole path, in 99 bytes.
  std::string name = OnLazyFs() ? Environment("TRACKRELAY_E2E_POWER_CUT_DIR") + "/mnt/XXXXXX"
                                : std::string("/tmp/trackrelay-drives-XXXXXX");
  if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + name);
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
  WriteLocalFile(Remote(drive_path), bytes);
}

std::string DriveRoot::Read(const std::string& drive_path) const {
  const std::optional<std::string> bytes = ReadLocalFile(Remote(drive_path));
  if (!bytes) throw std::runtime_error("cannot read " + Remote(drive_path));
  return *bytes;
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
  WriteLocalFile(remote_ + "/woe/track.txt", counter);
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

}  // namespace

Responder::Responder(const DriveRoot& root, const std::string& number, std::string response, int delay_ms,
                     std::function<void(const std::string&)> fill)
    : thread_([&root, number, response = std::move(response), delay_ms, fill = std::move(fill), this] {
        const std::string request = root.Remote("r:\\fromnt\\" + number + ".DAT");
        // Until the run has ended (Join), or as long as a helper waits for a request to publish.
        const auto deadline = std::chrono::steady_clock::now() + kHelperPatience;
        while (access(request.c_str(), F_OK) != 0) {
          if (stop_ || std::chrono::steady_clock::now() > deadline) return;
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        request_ = root.Read("r:\\fromnt\\" + number + ".DAT");
        fs::remove(request);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
        const std::string partial = root.Remote("r:\\tont\\" + number + ".tmp");
        const std::string answer = root.Remote("r:\\tont\\" + number + ".out");
        if (fill) {
          fill(partial);
        } else {
          root.Write("r:\\tont\\" + number + ".tmp", response);
        }
        fs::rename(partial, answer);
        answered_ = std::chrono::steady_clock::now();
        // The program deletes the answer as soon as it has relayed it.
        while (access(answer.c_str(), F_OK) == 0 && !stop_ &&
               std::chrono::steady_clock::now() < answered_ + std::chrono::seconds(10)) {
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        taken_ = std::chrono::steady_clock::now();
      }) {}

Responder::~Responder() { Join(); }

void Responder::Join() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

RemoteHostSimulator::RemoteHostSimulator(const DriveRoot& root, std::vector<std::string> options) {
  std::vector<std::string> arguments = {TRACKRELAY_SIMULATOR, "--outbound", root.Remote("r:\\fromnt"),
                                        "--inbound", root.Remote("r:\\tont"), "--quiet"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execv(argv[0], argv.data());
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
  const DriveRoot* root = nullptr;
  Launch launch;
  uid_t user = 0;
  pid_t pid = -1;
  int in_pipe_writer = -1;
  int out_reader = -1;  // the output pipe, or -1 with output to a file
  std::chrono::steady_clock::time_point started;
  std::thread feeder;
  bool waited = false;
  bool second_start = false;  // started again after Wine failed to run it
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
  state->root = &root;
  state->user = invocation.run_as != static_cast<uid_t>(-1) ? invocation.run_as : geteuid();
  Launch& launch = state->launch;
  launch.command = {invocation.executable.empty() ? ExecutablePath() : invocation.executable};
  launch.command.insert(launch.command.end(), invocation.arguments.begin(), invocation.arguments.end());
  for (const auto& [name, value] : invocation.env) launch.env.push_back(name + "=" + value);
  launch.env.push_back("TRACKRELAY_DRIVE_ROOT=" + root.path());
  if (UnderWine()) {
    LaunchUnderWine(invocation, root, state->user, launch);
  } else {
    LaunchDirectly(invocation, launch);
  }

  int in_pipe[2];
  if (pipe(in_pipe) != 0) throw std::runtime_error("pipe failed");
  if (!invocation.output_to_file) {
    int out_pipe[2];
    if (pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");
    launch.out_fd = out_pipe[1];
    state->out_reader = out_pipe[0];
  }

  std::vector<char*> envp;
  for (std::string& s : launch.env) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (std::string& a : launch.command) argv.push_back(a.data());
  argv.push_back(nullptr);

  signal(SIGPIPE, SIG_IGN);  // a program that ends without reading its input must not kill the test
  state->started = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(launch.out_fd, 1);
    if (launch.err_fd >= 0) dup2(launch.err_fd, 2);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    signal(SIGPIPE, SIG_DFL);
    if (invocation.run_as != static_cast<uid_t>(-1)) {
      uid_t id = invocation.run_as;
      if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) _exit(126);
    }
    // Held until the tracer is ready; it then follows every call from the exec on.
    if (launch.ptraced && (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0 || raise(SIGSTOP) != 0)) _exit(125);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  state->pid = pid;
  close(in_pipe[0]);
  close(launch.out_fd);
  launch.out_fd = -1;
  if (launch.err_fd >= 0) close(launch.err_fd);
  launch.err_fd = -1;
  state->in_pipe_writer = in_pipe[1];
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
  if (state.launch.ptraced) {
    // The tracer is the thread that started the child; the output is read beside it.
    std::thread reader([&] {
      if (state.out_reader >= 0) outcome.output = ReadAllFrom(state.out_reader);
    });
    status = TraceToEnd(state.pid, usage, outcome.calls, state.invocation);
    reader.join();
  } else {
    if (state.out_reader >= 0) outcome.output = ReadAllFrom(state.out_reader);
    while (wait4(state.pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
  }
  if (state.out_reader >= 0) close(state.out_reader);
  state.feeder.join();
  state.waited = true;
  outcome.peak_rss_kib = usage.ru_maxrss;
  outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - state.started).count();
  outcome.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (!state.launch.out_file.empty()) {
    outcome.output = ReadLocalFile(state.launch.out_file).value_or("");
    unlink(state.launch.out_file.c_str());
  }
  if (!state.launch.wine_prefix.empty()) {
    EndWineRun(state.launch, state.user, outcome);
    // Every end of trackrelay sends a page, so a run of it under Wine that ends in failure without
    // a byte of output never reached its own code: Wine failed to run it. Seen about once in
    // several thousand runs on a loaded machine, each time alone; EndWineRun has shown what Wine
    // said. It is started once more, as it was, and a second such end stands. Another program
    // (trackrelay-check, whose usage goes to standard error) is taken as it ended.
    if (state.invocation.executable.empty() && WineFailedToRun(outcome) && !state.second_start) {
      std::cerr << "the run is started once more\n";
      StartedRun again = StartTrackrelay(state.invocation, *state.root);
      again.state_->second_start = true;
      return again.Wait();
    }
  }
  return outcome;
}

bool ReachableBy(uid_t user, const std::string& path) {
  if (user == geteuid()) return access(path.c_str(), X_OK) == 0;
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setresgid(user, user, user) != 0 || setresuid(user, user, user) != 0) _exit(2);
    _exit(access(path.c_str(), X_OK) == 0 ? 0 : 1);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Outcome RunTrackrelay(const Invocation& invocation, const DriveRoot& root) {
  return StartTrackrelay(invocation, root).Wait();
}

}  // namespace trackrelay::e2e
