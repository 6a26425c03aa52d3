// trackrelay-check's findings: everything a request needs, looked at through the System a request
// uses, without sending a request or changing the counter. One finding is one line for the administrator.
#pragma once

#include <functional>
#include <string>

namespace trackrelay::check {

enum class Verdict { kOk, kWarning, kFail };

struct Finding {
  Verdict verdict;
  // What was found and, for a warning or a failure, what to do about it.
  std::string text;
};

// Looks at the user, the drives, the counter's folder, the counter, the claims file and the two
// exchange folders through CurrentSystem(), and hands each finding to report as it is made. Probe
// files are made in c:\woe, r:\fromnt and r:\tont under names that no request and no remote host
// ever takes, and removed again whatever happens; signals that would end the process wait until
// they are gone. The counter is read under its lock, as a request reads it, and never written.
void CheckInstallation(const std::function<void(const Finding&)>& report);

// "ok: ...", "warning: ..." or "FAIL: ...".
std::string FindingLine(const Finding& finding);

}  // namespace trackrelay::check
