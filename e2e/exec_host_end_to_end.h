// What the end-to-end tests of the remote host share: trackrelay-remote-host run against a drive
// root as a remote host on the files' own machine, the page the program makes of an answer, a wait.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cgi/expected_pages.h"
#include "e2e/end_to_end.h"
#include "platform/testing/local_files.h"

namespace trackrelay::e2e {

inline std::string ReadAll(const std::string& path) { return ReadLocalFile(path).value_or(""); }

// The page the program makes of an answer file: each of its lines followed by CR LF CR LF.
inline std::string Relayed(const std::string& answer) {
  std::string page = expected::kHeader;
  std::size_t at = 0;
  while (at < answer.size()) {
    const std::size_t end = answer.find("\r\n", at);
    page += answer.substr(at, end - at) + "\r\n\r\n";
    at = end + 2;
  }
  return page;
}

// trackrelay-remote-host serving a drive root's exchange from the remote host's side, its
// standard error in a file (log, by default beside the drives); its state folder beside the drives.
class RemoteHost {
 public:
  RemoteHost(const DriveRoot& root, std::vector<std::string> arguments, std::string log = "")
      : root_(root), log_(log.empty() ? root.path() + "/remote-host.log" : std::move(log)),
        arguments_(std::move(arguments)) {
    Start();
  }
  ~RemoteHost() { Stop(SIGTERM); }

  void Start() {
    std::vector<std::string> argv = {TRACKRELAY_REMOTE_HOST, "--outbound", root_.Remote("r:\\fromnt"), "--inbound",
                                      root_.Remote("r:\\tont")};
    if (std::find(arguments_.begin(), arguments_.end(), "--exec") != arguments_.end()) {
      argv.insert(argv.end(), {"--state", State()});
    }
    argv.insert(argv.end(), arguments_.begin(), arguments_.end());
    std::vector<char*> args;
    for (std::string& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
      const int null = open("/dev/null", O_RDWR);
      dup2(null, 0);
      dup2(null, 1);
      dup2(log, 2);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  // Ends it as a crash would, with nothing done on its way out.
  void Crash() { Stop(SIGKILL); }
  // Stops it as systemd does.
  void Terminate() { Stop(SIGTERM); }
  // Waits for a run with --once to end; its exit status.
  int Wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string State() const { return root_.path() + "/remote-host"; }
  std::string Log() const { return ReadAll(log_); }
  // The names in a folder of its state, none while the remote host has not made it yet (a
  // sanitizer build starts slower than the program publishes its first request).
  std::vector<std::string> Names(const std::string& folder) const {
    std::vector<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(State() + "/" + folder, error), end; !error && it != end;
         it.increment(error)) {
      names.push_back(it->path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  void Stop(int signal) {
    if (pid_ <= 0) return;
    kill(pid_, signal);
    Wait();
  }

  const DriveRoot& root_;
  std::string log_;
  std::vector<std::string> arguments_;
  pid_t pid_ = -1;
};

inline Invocation Get(const std::string& query) {
  Invocation run;
  run.env = GetEnvironment(query);
  return run;
}

// Waits up to the bound until done() holds.
inline bool Eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds bound = std::chrono::milliseconds(20000)) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

}  // namespace trackrelay::e2e
