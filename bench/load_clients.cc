// Load: CLIENTS browsers at once send REQUESTS requests with TRACKNO=0 to a web server that runs
// trackrelay, each request with a field of its own. Every page must be the relayed answer for a
// number of its own that shows that request's field, and the numbers must be FIRST and the ones
// after it, each once. Prints requests per second, latency and the CPU time that the processes
// PID... (the web server with its CGI children, the remote host) and the whole machine spent
// per request; ends with status 1 when any check fails.
//
//   trackrelay_load_clients PORT PATH CLIENTS REQUESTS FIRST [PID...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <latch>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
  std::string response;
  double ms = 0;
  bool connected = false;
};

// One HTTP/1.0 request on a connection of its own, read to the server's close.
Result Fetch(int port, const std::string& target) {
  Result result;
  const Clock::time_point start = Clock::now();
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return result;
  // The program waits at most 45 s for the remote host.
  timeval limit{70, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    result.connected = true;
    const std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
      const ssize_t put = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (put <= 0) break;
      sent += static_cast<std::size_t>(put);
    }
    char buffer[16384];
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
      result.response.append(buffer, static_cast<std::size_t>(got));
    }
  }
  close(fd);
  result.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  return result;
}

struct CpuSeconds {
  double own = 0;       // the process itself
  double children = 0;  // its children that it has waited for
};

// User and system time of a process and of its children that it has waited for.
CpuSeconds ProcessCpuSeconds(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos) return {};
  std::istringstream fields(text.substr(close_paren + 2));
  std::vector<std::string> f;
  for (std::string field; fields >> field;) f.push_back(field);
  // After the name: state is field 3 of stat(5), utime 14, stime 15, cutime 16, cstime 17.
  if (f.size() < 15) return {};
  const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
  return {(std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / tick,
          (std::atof(f[13].c_str()) + std::atof(f[14].c_str())) / tick};
}

// CPU time the whole machine spent outside idle and I/O wait, in seconds.
double MachineBusySeconds() {
  std::ifstream stat("/proc/stat");
  std::string cpu;
  stat >> cpu;
  double busy = 0;
  for (int k = 0; k < 10; ++k) {
    double value = 0;
    stat >> value;
    if (k != 3 && k != 4 && k < 7) busy += value;  // not idle, I/O wait, steal; guest is in user
  }
  return busy / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t at = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

// The tracking number the page shows in its heading, or -1.
int NumberOnPage(const std::string& response) {
  const std::string mark = "<h1>Tracking number ";
  const std::size_t at = response.find(mark);
  if (at == std::string::npos) return -1;
  return std::atoi(response.c_str() + at + mark.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 6) {
    std::fprintf(stderr, "usage: trackrelay_load_clients PORT PATH CLIENTS REQUESTS FIRST [PID...]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const std::string path = argv[2];
  const int clients = std::atoi(argv[3]);
  const int requests = std::atoi(argv[4]);
  const int first = std::atoi(argv[5]);
  std::vector<int> watched;
  for (int i = 6; i < argc; ++i) watched.push_back(std::atoi(argv[i]));

  std::vector<Result> results(static_cast<std::size_t>(requests));
  std::atomic<int> next{0};
  std::latch ready(clients + 1);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      ready.arrive_and_wait();
      for (int i; (i = next++) < requests;) {
        results[static_cast<std::size_t>(i)] = Fetch(port, path + "?TRACKNO=0&load=" + std::to_string(i));
      }
    });
  }
  auto server_cpu = [&] {
    std::vector<CpuSeconds> seconds;
    for (int pid : watched) seconds.push_back(ProcessCpuSeconds(pid));
    return seconds;
  };
  const std::vector<CpuSeconds> server_before = server_cpu();
  const double machine_before = MachineBusySeconds();
  const Clock::time_point start = Clock::now();
  ready.arrive_and_wait();
  for (std::thread& t : threads) t.join();
  const double wall = std::chrono::duration<double>(Clock::now() - start).count();
  // lighttpd adds a CGI child's time to its own children's once it has reaped it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  const std::vector<CpuSeconds> server_after = server_cpu();
  double server_seconds = 0;
  std::string split;
  for (std::size_t k = 0; k < watched.size(); ++k) {
    const double own = server_after[k].own - server_before[k].own;
    const double children = server_after[k].children - server_before[k].children;
    server_seconds += own + children;
    char part[128];
    std::snprintf(part, sizeof part, "%s%d: %.2f ms, its children %.2f ms", k == 0 ? "" : "; ", watched[k],
                  1000.0 * own / requests, 1000.0 * children / requests);
    split += part;
  }
  const double machine_seconds = MachineBusySeconds() - machine_before;

  int wrong = 0;
  std::map<int, int> times;
  std::vector<double> ms;
  for (int i = 0; i < requests; ++i) {
    const Result& r = results[static_cast<std::size_t>(i)];
    ms.push_back(r.ms);
    const int number = NumberOnPage(r.response);
    const bool own = r.response.find("<tr><td>load</td><td>" + std::to_string(i) + "</td></tr>") != std::string::npos &&
                     r.response.find("<code>TRACKNO=0&amp;load=" + std::to_string(i) + "</code>") != std::string::npos;
    const bool right = r.connected && r.response.rfind("HTTP/1.0 200 OK\r\n", 0) == 0 && number >= 0 && own;
    if (number >= 0) ++times[number];
    if (!right) {
      ++wrong;
      if (wrong <= 3) std::fprintf(stderr, "request %d: wrong page:\n%.600s\n", i, r.response.c_str());
    }
  }
  int repeated = 0, outside = 0;
  for (const auto& [number, count] : times) {
    repeated += count - 1;
    outside += number < first || number >= first + requests;
  }
  const int distinct = static_cast<int>(times.size());
  std::printf("load: %d clients, %d requests in %.2f s: %.0f requests/s; latency p50 %.1f ms, p99 %.1f ms, "
              "max %.1f ms\n",
              clients, requests, wall, requests / wall, Percentile(ms, 50), Percentile(ms, 99),
              *std::max_element(ms.begin(), ms.end()));
  std::printf("load: %d pages correct and their own, %d wrong; %d distinct numbers, %d repeated, %d outside "
              "%d..%d\n",
              requests - wrong, wrong, distinct, repeated, outside, first, first + requests - 1);
  std::printf("load: CPU per request %.2f ms in the web server, trackrelay and the remote host; %.2f ms on the "
              "whole machine, clients included\n",
              1000.0 * server_seconds / requests, 1000.0 * machine_seconds / requests);
  if (!watched.empty()) std::printf("load: CPU per request by process: %s\n", split.c_str());
  return wrong == 0 && repeated == 0 && outside == 0 && distinct == requests ? 0 : 1;
}
