// trackrelay-check: tells an administrator, before the first request, whether the program can
// serve one here, and if not, why and what to do. Run it as the web server's user.
#include <cstdio>
#include <string>

#include "check/installation_check.h"

#ifndef _WIN32
#include <stdlib.h>
#endif

namespace {

constexpr const char* kUsage = R"(usage: trackrelay-check [--quiet] [--drive-root DIR]
Checks everything a trackrelay request needs, as the user it runs as, without sending a request
or changing the counter: one line per check, ok, warning or FAIL, with what to do.
Exit status 0 when a request can be served, 1 when not, 2 for a wrong command line.
  --quiet           print only warnings and failures
  --drive-root DIR  POSIX: check the drives below DIR, as TRACKRELAY_DRIVE_ROOT=DIR does
)";

void Print(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  // Each line as it is found: a check that waits (for the counter's lock) shows where it waits.
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--quiet" || option == "-q") {
      quiet = true;
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
