// End-to-end harness: runs the real trackrelay executable as a web server would, against a scratch drive root.
// Environment, standard input (whole or in timed pieces) and output to a pipe or a file are the test's own.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace trackrelay::e2e {

// A temporary folder standing for the drives: ROOT/c/woe (the counter) and ROOT/r/fromnt,
// ROOT/r/tont (the exchange). Removed with everything in it when the object goes.
//
// With r: on a network share (SharedDrive()), ROOT/r is a link to a folder of its own on the
// mounted share, which the program reaches through the share's client; the remote host's side
// of the exchange works on the same folder where the server keeps it, as a real remote host
// would. That folder goes with the object too.
class DriveRoot {
 public:
  DriveRoot();
  ~DriveRoot();
  DriveRoot(const DriveRoot&) = delete;
  DriveRoot& operator=(const DriveRoot&) = delete;

  const std::string& path() const { return path_; }
  // A drive path ("r:\tont\41.out") as the program sees it on this machine.
  std::string Local(const std::string& drive_path) const;
  // The same as the remote host sees it: an r: path on a share is the server's own file.
  std::string Remote(const std::string& drive_path) const;
  // Files as the remote host sees them (Remote).
  void Write(const std::string& drive_path, const std::string& bytes) const;
  std::string Read(const std::string& drive_path) const;
  bool Exists(const std::string& drive_path) const;
  // The names in a folder, sorted.
  std::vector<std::string> List(const std::string& drive_path) const;
  // Lets an unprivileged user create, read and delete files everywhere below the root.
  void OpenToEveryone() const;

 private:
  std::string path_;
  std::string remote_r_;  // the server's folder behind ROOT/r on a share, else empty
};

// True when the drive roots put r: on a network share: TRACKRELAY_E2E_SHARE names the folder
// where the share is mounted on this machine and TRACKRELAY_E2E_SHARE_SERVER the folder that
// the server exports as that share. Only root reaches a share mounted by root.
bool SharedDrive();

// The remote-host simulator (trackrelay-remote-host) serving a drive root's exchange from the
// remote host's side, from construction to destruction.
class RemoteHostSimulator {
 public:
  explicit RemoteHostSimulator(const DriveRoot& root);
  ~RemoteHostSimulator();
  RemoteHostSimulator(const RemoteHostSimulator&) = delete;
  RemoteHostSimulator& operator=(const RemoteHostSimulator&) = delete;

 private:
  pid_t pid_ = -1;
};

struct Invocation {
  // The whole environment of the run, apart from TRACKRELAY_DRIVE_ROOT, which the harness adds.
  std::map<std::string, std::string> env;
  // Standard input, written in these pieces with pause_ms between them, then closed.
  std::vector<std::string> stdin_pieces;
  int pause_ms = 0;
  // Output to a pipe, or to a file that already holds output_file_before and that the program
  // receives opened for writing at its start, without truncation.
  bool output_to_file = false;
  std::string output_file_before;
  // Run as this user id instead of the test's own (tests run as root).
  uid_t run_as = static_cast<uid_t>(-1);
  // Run the program under this path instead of the built one (the same bytes, another name),
  // or another program of the build (the installation check), with these arguments.
  std::string executable;
  std::vector<std::string> arguments;
  // Record the calls the program makes, in order (Outcome::calls). On POSIX these are its system
  // calls from its exec on, traced with ptrace; under Wine the kernel32 routines that its own code
  // calls, from Wine's relay trace. A sanitizer build runs without its leak check at the end,
  // which stops the process with ptrace and cannot while it is traced.
  bool trace_calls = false;
};

// One call of a traced run. On POSIX a system call, named for those the tests look at (close,
// write, ftruncate, inotify_init1, inotify_add_watch, exit_group) and "#N" for the others; under
// Wine a kernel32 routine by its name. first is its first argument (a descriptor or a handle),
// result what it returned.
struct TracedCall {
  std::string name;
  long long first = 0;
  long long result = 0;
};

struct Outcome {
  int exit_status = -1;  // or 128 + signal
  std::string output;
  double seconds = 0;
  // The run's peak resident memory (ru_maxrss) in KiB. It counts what the test process held when
  // it started the run, which the run shares until it execs: hold large data only after it.
  // Under Wine it is that of the Wine loader, not of the program.
  long peak_rss_kib = 0;
  std::vector<TracedCall> calls;  // with trace_calls
};

// The built trackrelay executable, or the one that TRACKRELAY_E2E_EXECUTABLE names.
std::string ExecutablePath();

// True when the runs go to a Windows build under Wine: TRACKRELAY_E2E_WINEPREFIX names a Wine
// prefix made by wineboot. The program then runs as `wine trackrelay.exe`, in a prefix of this
// test process and user beside that one, whose c: is c of the drive root (with a link to the
// Windows folder in it) and whose r: is r of the drive root. Runs on two drive roots must not overlap in time. Output to a file
// goes through Wine's own cmd, as `cmd /c "trackrelay.exe > c:\out"`: Wine cannot truncate a
// standard output that it was handed as a Unix file. With output_file_before, cmd appends (>>)
// instead, so the program starts writing after the earlier content rather than over it.
bool UnderWine();

// True when this harness, and so the executable of the same build, was built with the address
// sanitizer.
bool SanitizerBuild();

Outcome RunTrackrelay(const Invocation& invocation, const DriveRoot& root);

// A GET request's environment with this query string, as a web server sets it.
std::map<std::string, std::string> GetEnvironment(const std::string& query_string);
// A POST request's environment for a body of content_length bytes.
std::map<std::string, std::string> PostEnvironment(const std::string& content_length);

}  // namespace trackrelay::e2e
