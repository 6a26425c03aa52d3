// New numbers per second: requests with TRACKNO=0 whose outbound folder is missing, so that each
// takes a number from the counter (and claims it) and then ends at once with internal error 2.
// What is timed is the counter's lock, its read, its replacement and flush to disk, and the start
// and end of the process around it: the rate at which the web servers together can hand out
// numbers, apart from any wait for an answer.
//
//   trackrelay_number_rate PROGRAM REQUESTS PARALLEL ROOT...
//
// Each ROOT is a web server's drive root (c:\woe with its counter; no r:\fromnt); with several,
// their c:\woe is one folder of a cluster file system, each reached through its web server's own
// client. PARALLEL requests run at a time on each web server until REQUESTS have run in all.
// Prints the rate and ends with status 1 when a page was not internal error 2 or the counter did
// not move on by exactly the number of requests.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/page_timing.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs the program once on the drive root and tells whether its page was internal error 2.
bool RunOnce(const std::string& program, const std::string& root) {
  std::vector<std::string> environment = {"GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "QUERY_STRING=TRACKNO=0",
                                          "SCRIPT_NAME=/cgi-bin/trackrelay", "TRACKRELAY_DRIVE_ROOT=" + root};
  std::vector<char*> envp;
  for (std::string& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);
  const trackrelay::bench::TimedRun page = trackrelay::bench::RunTimed(program, envp.data(), "/dev/null", false);
  return page.ran && page.status == 0 && page.output.find("An internal error number 2 has caused") != std::string::npos;
}

int CounterOf(const std::string& root) {
  std::ifstream counter(root + "/c/woe/track.txt");
  int n = 0;
  counter >> n;
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: trackrelay_number_rate PROGRAM REQUESTS PARALLEL ROOT...\n");
    return 2;
  }
  const std::string program = argv[1];
  const int requests = std::atoi(argv[2]);
  const int parallel = std::atoi(argv[3]);
  const std::vector<std::string> roots(argv + 4, argv + argc);
  const int before = CounterOf(roots.front());
  std::atomic<int> next{0}, wrong{0};
  const Clock::time_point start = Clock::now();
  std::vector<std::thread> workers;
  for (const std::string& root : roots) {
    for (int i = 0; i < parallel; ++i) {
      workers.emplace_back([&, root] {
        while (next++ < requests) wrong += !RunOnce(program, root);
      });
    }
  }
  for (std::thread& worker : workers) worker.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const int moved = CounterOf(roots.front()) - before;
  std::printf("new numbers: %d requests on %zu web servers, %d at a time on each, in %.2f s: %.0f numbers/s;"
              " the counter moved on by %d; %d wrong pages\n",
              requests, roots.size(), parallel, seconds, requests / seconds, moved, wrong.load());
  return wrong == 0 && moved == requests ? 0 : 1;
}
