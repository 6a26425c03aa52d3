// trackrelay-check: tells an administrator, before the first request, whether the program can
// serve one here, and if not, why and what to do. Run it as the web server's user.
#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "check/exchange_state.h"
#include "check/installation_check.h"
#include "check/state_views.h"

#ifndef _WIN32
#include <stdlib.h>
#endif

namespace {

constexpr const char* kUsage = R"(usage: trackrelay-check [--quiet] [--drive-root DIR]
       trackrelay-check --state [--json | --metrics FILE] [--remote-host-state PATH] [--drive-root DIR]
Checks everything a trackrelay request needs, as the user it runs as, without sending a request
or changing the counter: one line per check, ok, warning or FAIL, with what to do.
Exit status 0 when a request can be served, 1 when not, 2 for a wrong command line.
  --quiet           print only warnings and failures
  --drive-root DIR  POSIX: check the drives below DIR, as TRACKRELAY_DRIVE_ROOT=DIR does
With --state it shows what waits in the exchange instead, and for how long, changing nothing:
requests in r:\fromnt and answers in r:\tont by age, the remote host's work and error folders
and its last failures, the numbers left to the counter, and what to act on. Exit status 0, or
1 when something must be acted on now (a request waiting longer than 45 s).
  --json            the state as JSON
  --metrics FILE    write the state to FILE in the Prometheus text format, whole, for the node
                    exporter's textfile collector, and print nothing (exit status 1 when FILE
                    cannot be written)
  --remote-host-state PATH  the remote host's state folder, a drive path (default r:\remote-host)
)";

void Print(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  // Each line as it is found: a check that waits (for the counter's lock) shows where it waits.
  std::fflush(stdout);
}

}  // namespace

// The exchange's state, shown or written (--state).
int ShowState(bool json, const std::optional<std::string>& metrics, const std::string& remote_host) {
  const std::int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                  .count();
  const trackrelay::check::ExchangeState state = trackrelay::check::ReadExchangeState(remote_host, now_ms);
  if (metrics) {
    try {
      trackrelay::check::WriteFiguresFile(*metrics, trackrelay::check::StateFigures(state));
    } catch (const std::runtime_error& problem) {
      std::fprintf(stderr, "trackrelay-check: %s\n", problem.what());
      return 1;
    }
    return 0;
  }
  const std::string shown = json ? trackrelay::check::StateJson(state) : trackrelay::check::StateScreen(state);
  std::fputs(shown.c_str(), stdout);
  for (const trackrelay::check::Concern& concern : trackrelay::check::ConcernsOf(state)) {
    if (concern.act_now) return 1;
  }
  return 0;
}

bool IsDrivePath(const std::string& path) {
  return path.size() >= 3 && ((path[0] | 0x20) >= 'a' && (path[0] | 0x20) <= 'z') && path[1] == ':' && path[2] == '\\';
}

int main(int argc, char** argv) {
  bool quiet = false, state = false, json = false;
  std::optional<std::string> metrics;
  std::string remote_host = "r:\\remote-host";
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quiet" || option == "-q") {
      quiet = true;
    } else if (option == "--state") {
      state = true;
    } else if (option == "--json") {
      json = true;
    } else if (option == "--metrics" && i + 1 < argc && argv[i + 1][0] != '\0') {
      metrics = argv[++i];
    } else if (option == "--remote-host-state" && i + 1 < argc) {
      remote_host = argv[++i];
      if (!IsDrivePath(remote_host)) {
        std::fprintf(stderr, "trackrelay-check: --remote-host-state takes a drive path (r:\\remote-host), not %s\n%s",
                     remote_host.c_str(), kUsage);
        return 2;
      }
      while (remote_host.size() > 3 && remote_host.back() == '\\') remote_host.pop_back();
    } else if (option == "--drive-root" && i + 1 < argc) {
#ifdef _WIN32
      std::fputs("trackrelay-check: --drive-root is for POSIX; on Windows the drive paths are used as they stand\n",
                 stderr);
      return 2;
#else
      setenv("TRACKRELAY_DRIVE_ROOT", argv[++i], 1);
#endif
    } else if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "trackrelay-check: unknown option %s\n%s", option.c_str(), kUsage);
      return 2;
    }
  }
  if (!state && (json || metrics || remote_host != "r:\\remote-host")) {
    std::fprintf(stderr, "trackrelay-check: --json, --metrics and --remote-host-state go with --state\n%s", kUsage);
    return 2;
  }
  if (json && metrics) {
    std::fprintf(stderr, "trackrelay-check: --json or --metrics, not both\n%s", kUsage);
    return 2;
  }
  if (state) return ShowState(json, metrics, remote_host);
  int failures = 0, warnings = 0;
  trackrelay::check::CheckInstallation([&](const trackrelay::check::Finding& finding) {
    if (finding.verdict == trackrelay::check::Verdict::kFail) ++failures;
    if (finding.verdict == trackrelay::check::Verdict::kWarning) ++warnings;
    if (!quiet || finding.verdict != trackrelay::check::Verdict::kOk) Print(trackrelay::check::FindingLine(finding));
  });
  if (!quiet) {
    std::string summary = failures == 0 ? "trackrelay-check: a request can be served here"
                                        : "trackrelay-check: a request cannot be served here: " +
                                              std::to_string(failures) + (failures == 1 ? " failure" : " failures");
    if (warnings > 0) summary += ", " + std::to_string(warnings) + (warnings == 1 ? " warning" : " warnings");
    Print(summary);
  }
  return failures == 0 ? 0 : 1;
}
