// What the check's probe files share: a name that no request and no remote host ever takes, and
// the signals held while one stands, so that whatever ends the check ends it with the probe gone.
#pragma once

#include <string>

#ifdef _WIN32
#include <atomic>

#include "platform/kernel32.h"
#else
#include <signal.h>
#endif

namespace trackrelay::check {

// "trackrelay-check-" and 12 random hexadecimal digits: neither tN.DAT, N.DAT nor N.out.
std::string ProbeName();

// Signals that would end the process wait while probe files stand, so that the probes are
// removed first; then they take effect.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
#ifdef _WIN32
  static BOOL WINAPI Hold(DWORD);
  static inline std::atomic<bool> interrupted_{false};
#else
  sigset_t before_;
#endif
};

}  // namespace trackrelay::check
