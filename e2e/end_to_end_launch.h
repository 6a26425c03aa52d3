// How the end-to-end harness starts a run on each of its two roads: the executable itself on
// this machine (end_to_end_posix.cc), or trackrelay.exe under Wine (end_to_end_wine.cc).
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "e2e/end_to_end.h"

namespace trackrelay::e2e {

// What a run is started with. StartTrackrelay fills in the command and the environment that
// every run gets, a road adds its own, and StartTrackrelay then forks, feeds standard input and,
// in StartedRun::Wait, waits.
struct Launch {
  std::vector<std::string> command;  // what is executed, command[0] as it stands
  std::vector<std::string> env;      // NAME=value
  // Standard output of the run when it goes to a file (Invocation::output_to_file); the file
  // (out_file) is read back and removed after the end. Otherwise StartTrackrelay makes a pipe.
  int out_fd = -1;
  std::string out_file;
  int err_fd = -1;  // standard error of the run; -1: the test's own
  // StartTrackrelay closes both descriptors once the run has them.
  // POSIX: the child stops itself before its exec until its tracer (the thread that started
  // it) is ready, and StartedRun::Wait follows it with TraceToEnd.
  bool ptraced = false;
  // Wine: the prefix attached for the run, released by EndWineRun, and the file that the run's
  // standard error goes to: Wine's relay trace of a traced run, and whatever Wine itself says.
  std::string wine_prefix;
  std::string wine_log;
};

// Whether the user may execute the file at path: every folder on the way may be entered. A clone
// made in a private folder (mktemp -d makes it 0700) is out of the reach of the web server's user
// that some runs are made as.
bool ReachableBy(uid_t user, const std::string& path);

// The POSIX road: runs the executable itself; trace_calls traces its system calls with ptrace.
// A run as a user who cannot reach the executable runs a copy of it (the same bytes) from a
// folder of the test process's own that every user may enter.
void LaunchDirectly(const Invocation& invocation, Launch& launch);
// Follows a child that stopped itself after PTRACE_TRACEME to its end, and records its system
// calls from its exec on. Returns the wait status of its end. The invocation's
// at_first_input_read, when set, is called at the first read of standard input, and its
// pretended_landlock_abi is told to the program, as Invocation says.
int TraceToEnd(pid_t pid, struct rusage& usage, std::vector<TracedCall>& calls, const Invocation& invocation);

// The Wine road (UnderWine()): runs `wine trackrelay.exe` in a prefix of user's whose drives are
// root's; trace_calls records the kernel32 calls of the program's own code. A user who cannot
// reach the executable or the build's prefix fails the run, saying so.
void LaunchUnderWine(const Invocation& invocation, const DriveRoot& root, uid_t user, Launch& launch);
// After the end of a run on the Wine road, its outcome otherwise complete: hands its prefix back,
// reads its relay trace into outcome.calls, and shows what Wine said when the run ended in
// failure without a byte of output, which no fixed page of the program does.
void EndWineRun(const Launch& launch, uid_t user, Outcome& outcome);
// Whether a run of trackrelay ended as Wine failing to run it: a failure status (not a signal)
// without a byte of output, which no end of trackrelay gives.
bool WineFailedToRun(const Outcome& outcome);

}  // namespace trackrelay::e2e
