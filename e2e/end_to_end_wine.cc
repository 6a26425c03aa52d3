// The Wine road of the end-to-end harness: trackrelay.exe runs as `wine trackrelay.exe` in a
// Wine prefix of the test process whose c: and r: are those of the run's drive root.
//
// The prefix is one of this test process and user, beside the one that TRACKRELAY_E2E_WINEPREFIX
// names; its c: is c of the drive root (with a link to the Windows folder in it) and its r: is r
// of the drive root. Runs on another drive root at the same time get a prefix (and a Wine server)
// of their own, a Windows machine each. Output to a file goes through Wine's own cmd, as
// `cmd /c "trackrelay.exe > c:\out"`: Wine cannot truncate a standard output that it was handed
// as a Unix file. With output_file_before, cmd appends (>>) instead, so the program starts
// writing after the earlier content rather than over it.
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "e2e/end_to_end_launch.h"

namespace trackrelay::e2e {

namespace fs = std::filesystem;

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

bool UnderWine() {
  const char* prefix = getenv("TRACKRELAY_E2E_WINEPREFIX");
  return prefix != nullptr && prefix[0] != '\0';
}

void LaunchUnderWine(const Invocation& invocation, const DriveRoot& root, uid_t user, Launch& launch) {
  const std::string program = launch.command.at(0);
  // Another user's prefix borrows the build's own Windows folder, which cannot be copied for it
  // as the POSIX road's executable is.
  const std::string windows = std::string(getenv("TRACKRELAY_E2E_WINEPREFIX")) + "/drive_c/windows";
  if (user != geteuid() && (!ReachableBy(user, program) || !ReachableBy(user, windows))) {
    throw std::runtime_error("user " + std::to_string(user) + " cannot reach " + program + " or " + windows +
                             ": build in a folder that every user may enter");
  }
  // Wine writes its relay trace and its errors to standard error; the program itself writes
  // nothing there.
  launch.env.push_back(invocation.trace_calls ? "WINEDEBUG=-all,err+all,+relay" : "WINEDEBUG=-all,err+all");
  char name[] = "/tmp/trackrelay-wine-XXXXXX";
  launch.err_fd = mkstemp(name);
  if (launch.err_fd < 0) throw std::runtime_error("mkstemp failed");
  launch.wine_log = name;
  const std::string wine = FindOnPath("wine");
  if (invocation.output_to_file) {
    // Wine's cmd opens the capture file on c:, so that the program's handle is a Windows one.
    std::string name = root.path() + "/c/out-XXXXXX";
    const int fd = mkstemp(name.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    close(fd);
    launch.out_file = name;
    std::ofstream(launch.out_file, std::ios::binary | std::ios::trunc) << invocation.output_file_before;
    if (user != geteuid() && chown(launch.out_file.c_str(), user, user) != 0) {
      throw std::runtime_error("cannot hand over " + launch.out_file);
    }
    const std::string redirection = invocation.output_file_before.empty() ? " > c:\\" : " >> c:\\";
    std::string line = WindowsPathOf(program);
    for (const std::string& argument : invocation.arguments) line += " " + argument;
    launch.command = {wine, "cmd", "/c", line + redirection + fs::path(launch.out_file).filename().string()};
    launch.out_fd = open("/dev/null", O_WRONLY);
  } else {
    launch.command.insert(launch.command.begin(), wine);
  }
  // Last, so that nothing above can fail with the prefix held.
  launch.wine_prefix = wine_prefixes.Attach(root, user);
  launch.env.push_back("WINEPREFIX=" + launch.wine_prefix);
}

bool WineFailedToRun(const Outcome& outcome) {
  return outcome.output.empty() && outcome.exit_status > 0 && outcome.exit_status < 128;
}

void EndWineRun(const Launch& launch, uid_t user, Outcome& outcome) {
  wine_prefixes.Release(user, launch.wine_prefix);
  if (launch.wine_log.empty()) return;
  if (WineFailedToRun(outcome)) {
    std::ifstream in(launch.wine_log, std::ios::binary);
    std::stringstream said;
    said << in.rdbuf();
    std::cerr << "a run under Wine ended with exit status " << outcome.exit_status << " after " << outcome.seconds << " s, no output; Wine said:\n"
              << said.str() << "(end of what Wine said)\n";
  }
  outcome.calls = Kernel32CallsOf(launch.wine_log);
  unlink(launch.wine_log.c_str());
}

}  // namespace trackrelay::e2e
