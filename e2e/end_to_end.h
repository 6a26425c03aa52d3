// End-to-end harness: runs the real trackrelay executable as a web server would, against a scratch drive root.
// Environment, standard input (whole or in timed pieces) and output to a pipe or a file are the test's own.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace trackrelay::e2e {

// How long a test's helper (a remote host, an intruder, a watcher) waits for a request to reach a
// step before it gives up: longer than a request may take, as a program under Wine on a loaded
// machine (load 17) took over 20 s to publish. Patience, not a speed the program promises.
inline constexpr std::chrono::seconds kHelperPatience{120};

// Where one web server of a farm finds the farm's folder on a cluster file system: through its
// own client (client) and, for the remote host's side, through the remote host's (remote).
struct FarmFolder {
  std::string client, remote;
};

// A temporary folder standing for the drives: ROOT/c/woe (the counter) and ROOT/r/fromnt,
// ROOT/r/tont (the exchange). Removed with everything in it when the object goes.
//
// With r: on a network share (SharedDrive()), ROOT/r is a link to a folder of its own on the
// mounted share, which the program reaches through the share's client; the remote host's side
// of the exchange works on the same folder where the server keeps it, as a real remote host
// would. That folder goes with the object too.
//
// A web server of a farm (the second constructor) has c:\woe and r: both on the farm's folder:
// ROOT/c/woe is a link to its woe and ROOT/r a link to its r, through this web server's client,
// as an administrator links c:\woe to a share (ROOT/c itself stays a local folder). The remote
// host's side, c:\woe's files included, is that folder through the remote host's client. The
// farm's folder stays when the object goes (Farm removes it).
class DriveRoot {
 public:
  DriveRoot();
  explicit DriveRoot(const FarmFolder& farm);
  ~DriveRoot();
  DriveRoot(const DriveRoot&) = delete;
  DriveRoot& operator=(const DriveRoot&) = delete;

  const std::string& path() const { return path_; }
  // A drive path ("r:\tont\41.out") as the program sees it on this machine.
  std::string Local(const std::string& drive_path) const;
  // The same as the remote host sees it: an r: path on a share is the server's own file, and so
  // is a c:\woe path of a farm's web server.
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
  std::string remote_r_;    // the server's folder behind ROOT/r on a share, else empty
  std::string remote_woe_;  // the remote host's view of c:\woe of a farm's web server, else empty
};

// True when the drive roots put r: on a network share: TRACKRELAY_E2E_SHARE names the folder
// where the share is mounted on this machine and TRACKRELAY_E2E_SHARE_SERVER the folder that
// the server exports as that share. Only root reaches a share mounted by root.
bool SharedDrive();

// True when the drive roots lie on LazyFS, a file system that drops every byte not flushed when
// told to, as a power cut drops a disk's cache: TRACKRELAY_E2E_POWER_CUT names the harness's
// script (harness/shares/lazyfs.sh) and TRACKRELAY_E2E_POWER_CUT_DIR its folder, where the drive
// roots are made in mnt/ (harness/shares/power_cut_test.sh).
bool OnLazyFs();

// Runs one action of the LazyFS harness on that folder: {"cut"}, {"crash", FAULT},
// {"torn", LOCAL_PATH, PERSIST, PARTS}, {"crashed", SECONDS}, {"restart"}; true when it did it.
bool LazyFs(const std::vector<std::string>& action);

// True when the drive roots are web servers of a farm on one cluster file system:
// TRACKRELAY_E2E_FARM names the folders where each web server's client of the volume is mounted,
// separated by ":", and TRACKRELAY_E2E_SHARE_SERVER where the remote host's client is.
bool FarmOfWebServers();

// A folder of its own on the farm's volume, made through the remote host's client, with woe (the
// counter's folder, holding track.txt) and r/fromnt, r/tont, and the drive root of each web
// server on it; all removed when the object goes.
class Farm {
 public:
  explicit Farm(const std::string& counter);
  ~Farm();
  Farm(const Farm&) = delete;
  Farm& operator=(const Farm&) = delete;

  std::size_t size() const { return servers_.size(); }
  const DriveRoot& server(std::size_t i) const { return *servers_.at(i); }
  // Each web server's client mount, as TRACKRELAY_E2E_FARM names them.
  const std::string& client(std::size_t i) const { return clients_.at(i); }

 private:
  std::string remote_;  // the farm's folder through the remote host's client
  std::vector<std::string> clients_;
  std::vector<std::unique_ptr<DriveRoot>> servers_;
};

// Stands in for the remote host of one request, on its side of the drive, as the exchange's
// rules have it: once the request file of the number is published, takes it (keeps its bytes and
// removes it), waits delay_ms and then writes the response under a temporary name (fill, when
// given, writes that file in place of the response) and renames it into place. Join, or the
// destructor, waits for it; when the program ended without publishing, there is nothing to wait
// for after 20 s or a Join.
class Responder {
 public:
  Responder(const DriveRoot& root, const std::string& number, std::string response, int delay_ms = 0,
            std::function<void(const std::string&)> fill = nullptr);
  ~Responder();
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;
  void Join();
  // The request file as it was taken, once joined.
  const std::string& request() const { return request_; }
  std::chrono::steady_clock::time_point answered() const { return answered_; }
  // Seconds from the answer's arrival to its deletion by the program, which relayed it then.
  double AnsweredToTaken() const { return std::chrono::duration<double>(taken_ - answered_).count(); }

 private:
  std::chrono::steady_clock::time_point answered_, taken_;
  std::string request_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The remote-host simulator (trackrelay-remote-host) serving a drive root's exchange from the
// remote host's side, from construction to destruction, with options of its own (--delay MS).
class RemoteHostSimulator {
 public:
  explicit RemoteHostSimulator(const DriveRoot& root, std::vector<std::string> options = {});
  ~RemoteHostSimulator();
  RemoteHostSimulator(const RemoteHostSimulator&) = delete;
  RemoteHostSimulator& operator=(const RemoteHostSimulator&) = delete;

 private:
  pid_t pid_ = -1;
};

// A run's program stopped by its tracer at the entry of a system call (POSIX, x86-64), in which
// other calls can be made to run, as code that took over the program would run them.
class StoppedProgram {
 public:
  virtual ~StoppedProgram() = default;
  // Runs the call in place of the one the program stopped at, and returns what it returned
  // (-errno when it failed); the program is then stopped again where it was, with the call it
  // stopped at still to come. A call that ended the program or replaced it (an exec that passed)
  // leaves it so: gone() tells.
  virtual long Run(long number, std::vector<unsigned long> arguments) = 0;
  // Copies the bytes into the program's memory, into the buffer of the read it stopped at, and
  // returns their address there; each put follows the one before.
  virtual unsigned long Put(const std::string& bytes) = 0;
  virtual bool gone() const = 0;
};

// Whether runs can be stopped so on this machine: POSIX on x86-64, not under Wine.
bool CanStopAtFirstInputRead();

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
  // Called once, when the program first reads its standard input (its request body), stopped at
  // the entry of that read; the read then goes on as it would have. A traced run, as trace_calls
  // (CanStopAtFirstInputRead() must hold).
  std::function<void(StoppedProgram&)> at_first_input_read;
  // The Landlock ABI the kernel is made to tell the program that it offers, as an older kernel
  // would (0: none, Landlock disabled), when lower than the ABI it does offer; -1: the kernel's
  // own answer. The program is the one that ships: its tracer changes the kernel's answer to its
  // question (x86-64; a traced run, as trace_calls), so that the program applies no more than
  // that ABI, and its system-call filter is shown to hold alone where Landlock does not.
  int pretended_landlock_abi = -1;
};

// One call of a traced run. On POSIX a system call, named for those the tests look at (close,
// write, ftruncate, inotify_init1, inotify_add_watch, poll, landlock_create_ruleset,
// landlock_restrict_self, seccomp, exit_group) and "#N" for the others; under
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
// prefix made by wineboot. Each drive root in use is then a Windows machine of its own, with c:
// and r: on the root, and output to a file goes through Wine's cmd (see end_to_end_wine.cc).
bool UnderWine();

// True when this harness, and so the executable of the same build, was built with the address
// sanitizer.
bool SanitizerBuild();

Outcome RunTrackrelay(const Invocation& invocation, const DriveRoot& root);

// A run started and not yet waited for; one that goes unwaited is killed first.
class StartedRun {
 public:
  StartedRun(StartedRun&& other) noexcept;
  StartedRun& operator=(StartedRun&& other) noexcept;
  ~StartedRun();
  // The process of the run (under Wine, the Windows process's own), for signals.
  pid_t pid() const;
  // Waits for the end of the run; once only, and for a run whose calls are traced (trace_calls)
  // in the thread that started it, its tracer.
  Outcome Wait();

  struct State;

 private:
  friend StartedRun StartTrackrelay(const Invocation& invocation, const DriveRoot& root);
  explicit StartedRun(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// RunTrackrelay in two halves: the run starts, and the caller may signal it before it waits.
StartedRun StartTrackrelay(const Invocation& invocation, const DriveRoot& root);

// A GET request's environment with this query string, as a web server sets it.
std::map<std::string, std::string> GetEnvironment(const std::string& query_string);
// A POST request's environment for a body of content_length bytes.
std::map<std::string, std::string> PostEnvironment(const std::string& content_length);

}  // namespace trackrelay::e2e
