#include "check/probe.h"

#include <random>

namespace trackrelay::check {

std::string ProbeName() {
  std::random_device random;
  static const char kHex[] = "0123456789abcdef";
  std::string name = "trackrelay-check-";
  for (int i = 0; i < 12; ++i) name += kHex[random() & 15];
  return name;
}

#ifdef _WIN32
InterruptsHeld::InterruptsHeld() { SetConsoleCtrlHandler(Hold, TRUE); }

InterruptsHeld::~InterruptsHeld() {
  SetConsoleCtrlHandler(Hold, FALSE);
  if (interrupted_) ExitProcess(STATUS_CONTROL_C_EXIT);
}

BOOL WINAPI InterruptsHeld::Hold(DWORD) {
  interrupted_ = true;
  return TRUE;
}
#else
InterruptsHeld::InterruptsHeld() {
  sigset_t ending;
  sigemptyset(&ending);
  // SIGPIPE too: a reader of the lines that goes away (trackrelay-check | head) must not end
  // the check while a probe stands.
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) sigaddset(&ending, signal);
  sigprocmask(SIG_BLOCK, &ending, &before_);
}

InterruptsHeld::~InterruptsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
#endif

}  // namespace trackrelay::check
