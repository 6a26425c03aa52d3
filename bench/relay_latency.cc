// Relay latency: the time from starting trackrelay to the end of its page (its standard output,
// which is what the web server waits for), and to its exit beside it, with the remote-host
// simulator answering each request the moment it arrives. The program wakes on the answer's
// arrival when its inbound folder can report it, else finds it at a look, 100 ms apart. With
// UNRELATED files waiting in the inbound folder, the same run shows what a full folder costs.
//
//   trackrelay_relay_latency [--beside OTHER]... [--share CLIENT SERVER | --farm CLIENTS SERVER]
//                            PROGRAM SIMULATOR|instant REQUESTS [UNRELATED [given]]
//
// Requests run one after another with TRACKNO=0, each with a field of its own; a page counts
// only when it is the simulator's answer for the number the counter handed out and shows that
// field. With "given", each request brings a number of its own instead, and the counter (which
// is flushed to disk with every number it hands out) stays out of the figures. With --share, r:
// is a folder of its own on a network share that is mounted at CLIENT and that the server keeps
// in SERVER: the program goes through the share's client, the simulator works on the server's
// folder, as a remote host would. With --farm, the web servers of a farm share a folder of a
// cluster file system for c:\woe and r: alike, each through its own client (CLIENTS, the mount
// points separated by ":"), the simulator on the remote host's client (SERVER); the requests
// take turns among the web servers. With --beside (once or more), the requests take turns between
// PROGRAM and each OTHER (another build of it), on the same drives in the same minute, and the
// figures of each are printed, in that order. With instant for SIMULATOR, no simulator runs: this
// driver answers each request the moment it is published, with the page of its number and field
// made ready before the start (bench/instant_host.h), the floor of the round trip; not with
// --farm. Prints the percentiles and ends with status 1 when any page was wrong.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/instant_host.h"
#include "bench/page_timing.h"

namespace {

namespace fs = std::filesystem;
using trackrelay::bench::Percentile;
using trackrelay::bench::TimedRun;

}  // namespace

// The figures of one program's runs.
struct Runs {
  std::vector<double> ms, exit_ms;
  int wrong = 0;
};

int main(int argc, char** argv) {
  std::string share_client, share_server;
  std::vector<std::string> beside;
  while (argc > 2 && std::string(argv[1]) == "--beside") {
    beside.push_back(fs::absolute(argv[2]).string());
    argv += 2;
    argc -= 2;
  }
  bool farm = false;
  if (argc > 3 && (std::string(argv[1]) == "--share" || std::string(argv[1]) == "--farm")) {
    farm = std::string(argv[1]) == "--farm";
    share_client = argv[2];
    share_server = argv[3];
    argv += 3;
    argc -= 3;
  }
  const bool instant = argc > 2 && std::string(argv[2]) == "instant";
  if (argc < 4 || (instant && farm)) {
    std::fprintf(stderr,
                 "usage: trackrelay_relay_latency [--beside OTHER]... [--share CLIENT SERVER | --farm CLIENTS SERVER]"
                 " PROGRAM SIMULATOR|instant REQUESTS [UNRELATED [given]]\n");
    return 2;
  }
  const std::string program = fs::absolute(argv[1]).string();
  const std::string simulator = instant ? "" : fs::absolute(argv[2]).string();
  const int requests = std::atoi(argv[3]);
  const int unrelated = argc > 4 ? std::atoi(argv[4]) : 0;
  const bool given = argc > 5 && std::string(argv[5]) == "given";

  // The drives on this machine's disk, as a web server's would be: the counter's flush is real.
  char name[] = "/tmp/trackrelay-latency-XXXXXX";
  if (mkdtemp(name) == nullptr) return 1;
  const fs::path root = name;
  // One drive root for each web server; more than one only in a farm.
  std::vector<fs::path> roots = {root};
  fs::create_directories(root / "c/woe");
  // The exchange as the remote host sees it: on a share, the server's own folder.
  fs::path exchange = root / "r", shared;
  if (share_server.empty()) {
    for (const char* folder : {"r/fromnt", "r/tont"}) fs::create_directories(root / folder);
  } else {
    std::string server = share_server + (farm ? "/farm-latency-XXXXXX" : "/latency-XXXXXX");
    if (mkdtemp(server.data()) == nullptr) return 1;
    shared = server;
    exchange = farm ? shared / "r" : shared;
    for (const char* folder : {"fromnt", "tont"}) fs::create_directories(exchange / folder);
    std::vector<std::string> clients;
    std::stringstream list(share_client);
    for (std::string client; std::getline(list, client, farm ? ':' : '\0');) clients.push_back(client);
    for (std::size_t i = 0; i < clients.size(); ++i) {
      const fs::path client = fs::path(clients[i]) / shared.filename();
      if (i > 0) {
        roots.push_back(root.string() + "-" + std::to_string(i));
        fs::create_directories(roots.back() / "c");
      }
      // The share's client may show a folder made on the server a moment later.
      const fs::path inbound = farm ? client / "r/tont" : client / "tont";
      for (int wait = 0; wait < 200 && !fs::is_directory(inbound); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      fs::create_directory_symlink(farm ? client / "r" : client, roots.back() / "r");
      if (farm) {
        fs::remove(roots.back() / "c/woe");
        fs::create_directory_symlink(client / "woe", roots.back() / "c/woe");
      }
    }
  }
  if (farm) fs::create_directories(shared / "woe");
  std::ofstream(farm ? shared / "woe/track.txt" : root / "c/woe/track.txt", std::ios::binary) << " 1 \r\n";
  // Answers for other numbers that nobody collects: none is N.out for a number handed out here.
  for (int i = 0; i < unrelated; ++i) {
    char file[32];
    std::snprintf(file, sizeof file, "old%05d.out", i);
    std::ofstream(exchange / "tont" / file, std::ios::binary) << "<p>an answer nobody took\r\n";
  }

  const std::string outbound = (exchange / "fromnt").string(), inbound = (exchange / "tont").string();
  std::unique_ptr<trackrelay::bench::InstantHost> instant_host;
  if (instant) instant_host = std::make_unique<trackrelay::bench::InstantHost>(outbound, inbound, outbound);
  const pid_t host = instant ? -1 : fork();
  if (host == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    execl(simulator.c_str(), simulator.c_str(), "--outbound", outbound.c_str(), "--inbound", inbound.c_str(), "--quiet",
          static_cast<char*>(nullptr));
    _exit(127);
  }

  const std::vector<std::string> base = {
      "GATEWAY_INTERFACE=CGI/1.1", "REQUEST_METHOD=GET", "SCRIPT_NAME=/cgi-bin/trackrelay",
      "SERVER_PROTOCOL=HTTP/1.0", "SERVER_NAME=localhost", "REMOTE_ADDR=127.0.0.1"};
  std::vector<std::string> programs = {program};
  programs.insert(programs.end(), beside.begin(), beside.end());
  std::vector<Runs> runs(programs.size());
  // The first request is not counted: it waits for the simulator to have started.
  for (int i = -1; i < requests; ++i) {
    const std::size_t which = static_cast<std::size_t>(i + 1) % programs.size();
    Runs& these = runs[which];
    const int number = given ? 1001 + i : i + 2;
    std::vector<std::string> environment = base;
    environment.push_back("TRACKRELAY_DRIVE_ROOT=" + roots[static_cast<std::size_t>(i + 1) % roots.size()].string());
    environment.push_back("QUERY_STRING=TRACKNO=" + std::to_string(given ? number : 0) + "&probe=" + std::to_string(i));
    std::vector<char*> envp;
    for (std::string& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);
    // The answer the simulator would write, the fields in its table, made ready before the start.
    if (instant_host) {
      const std::string page = "<h1>Tracking number " + std::to_string(number) + "</h1>\r\n<tr><td>probe</td><td>" +
                               std::to_string(i) + "</td></tr>\r\n";
      if (!instant_host->Prepare(std::to_string(number), page)) return 1;
    }
    // Standard error stays this driver's: under Wine the processes that Wine starts beside the
    // program keep it open after the program has ended.
    const TimedRun page = trackrelay::bench::RunTimed(programs[which], envp.data(), "/dev/null", false);
    if (instant_host) instant_host->Finish();
    const std::string n = std::to_string(number);
    const bool right = page.ran && page.status == 0 &&
                       page.output.rfind("HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n", 0) == 0 &&
                       page.output.find("<h1>Tracking number " + n + "</h1>") != std::string::npos &&
                       page.output.find("<tr><td>probe</td><td>" + std::to_string(i) + "</td></tr>") !=
                           std::string::npos &&
                       !fs::exists(exchange / "tont" / (n + ".out"));
    if (!right) {
      ++these.wrong;
      if (these.wrong <= 3) {
        std::fprintf(stderr, "request %d: not the page of %s:\n%.400s\n", i, n.c_str(), page.output.c_str());
      }
    }
    // A wrong page (an error page comes without waiting) is no relay: it is counted, not timed.
    if (i >= 0 && right) {
      these.ms.push_back(page.output_end_ms);
      these.exit_ms.push_back(page.exit_ms);
    }
  }
  if (host > 0) {
    kill(host, SIGTERM);
    waitpid(host, nullptr, 0);
  }
  instant_host.reset();
  std::error_code ignored;
  if (!shared.empty()) fs::remove_all(shared, ignored);
  for (const fs::path& each : roots) fs::remove_all(each, ignored);

  const std::string where = farm ? " (c:\\woe and r: on a volume, " + std::to_string(roots.size()) + " web servers)"
                              : share_server.empty() ? "" : " (r: on a share)";
  bool all_right = true;
  for (std::size_t which = 0; which < programs.size(); ++which) {
    const Runs& these = runs[which];
    all_right = all_right && these.wrong == 0;
    if (these.ms.empty()) continue;
    std::printf("relay latency%s of %s, %zu requests %s, %d unrelated files in the inbound folder: "
                "end of the page p50 %.1f ms, p90 %.1f ms, p99 %.1f ms, min %.1f ms, max %.1f ms; "
                "exit p50 %.1f ms, p99 %.1f ms; %d wrong pages\n",
                where.c_str(), fs::path(programs[which]).filename().c_str(), these.ms.size() + these.wrong,
                given ? "with their own numbers" : "with TRACKNO=0", unrelated, Percentile(these.ms, 50),
                Percentile(these.ms, 90), Percentile(these.ms, 99), *std::min_element(these.ms.begin(), these.ms.end()),
                *std::max_element(these.ms.begin(), these.ms.end()), Percentile(these.exit_ms, 50),
                Percentile(these.exit_ms, 99), these.wrong);
  }
  return all_right ? 0 : 1;
}
