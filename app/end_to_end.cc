#include "app/end_to_end.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace trackrelay::e2e {

namespace fs = std::filesystem;

DriveRoot::DriveRoot() {
  char name[] = "/tmp/trackrelay-drives-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = name;
  for (const char* dir : {"c/woe", "r/fromnt", "r/tont"}) fs::create_directories(path_ + "/" + dir);
}

DriveRoot::~DriveRoot() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string DriveRoot::Local(const std::string& drive_path) const {
  std::string out = path_ + "/";
  out += static_cast<char>(drive_path.at(0) | 0x20);
  for (std::size_t i = 2; i < drive_path.size(); ++i) out += drive_path[i] == '\\' ? '/' : drive_path[i];
  return out;
}

void DriveRoot::Write(const std::string& drive_path, const std::string& bytes) const {
  std::ofstream out(Local(drive_path), std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + Local(drive_path));
}

std::string DriveRoot::Read(const std::string& drive_path) const {
  std::ifstream in(Local(drive_path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + Local(drive_path));
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

bool DriveRoot::Exists(const std::string& drive_path) const {
  struct stat st;
  return lstat(Local(drive_path).c_str(), &st) == 0;
}

std::vector<std::string> DriveRoot::List(const std::string& drive_path) const {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(Local(drive_path))) names.push_back(entry.path().filename());
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

Outcome RunTrackrelay(const Invocation& invocation, const DriveRoot& root) {
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : invocation.env) env_strings.push_back(name + "=" + value);
  env_strings.push_back("TRACKRELAY_DRIVE_ROOT=" + root.path());
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string program = invocation.executable.empty() ? ExecutablePath() : invocation.executable;

  int in_pipe[2], out_pipe[2] = {-1, -1};
  if (pipe(in_pipe) != 0) throw std::runtime_error("pipe failed");
  std::string out_file;
  int out_fd = -1;
  if (invocation.output_to_file) {
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

  signal(SIGPIPE, SIG_IGN);  // a program that ends without reading its input must not kill the test
  auto started = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_fd, 1);
    for (int fd = 3; fd < 1024; ++fd) close(fd);
    signal(SIGPIPE, SIG_DFL);
    if (invocation.run_as != static_cast<uid_t>(-1)) {
      uid_t id = invocation.run_as;
      if (setgroups(0, nullptr) != 0 || setresgid(id, id, id) != 0 || setresuid(id, id, id) != 0) _exit(126);
    }
    char* argv[] = {program.data(), nullptr};
    execve(program.c_str(), argv, envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_fd);

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
  if (!invocation.output_to_file) {
    outcome.output = ReadAllFrom(out_pipe[0]);
    close(out_pipe[0]);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  feeder.join();
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
