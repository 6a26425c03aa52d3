#include "cgi/program_run.h"

#include <cstdlib>
#include <new>

#include "cgi/cgi_environment.h"
#include "cgi/form_input.h"
#include "cgi/response_output.h"
#include "platform/failure.h"
#include "platform/kernel32.h"

// A sanitizer build (GCC's macro, clang's feature test) reports on standard error at the end.
#if defined(__SANITIZE_ADDRESS__)
#define TRACKRELAY_REPORTS_AT_EXIT 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TRACKRELAY_REPORTS_AT_EXIT 1
#endif
#endif

namespace trackrelay {

std::string FatalErrorText;

std::string FormatFatalErrorText(int number, const std::string& message) {
  std::string digits = std::to_string(number);
  return message + " Error Number = " + (number < 0 ? "" : " ") + digits;
}

namespace {

// One action of the fatal error page: whatever goes wrong inside it, the next one runs.
template <typename Action>
void Attempt(Action action) {
  try {
    action();
  } catch (...) {
  }
}

}  // namespace

void SendFatalErrorPage() {
  const CgiEnvironmentRecord& env = CgiEnvironment;
  Attempt([&] { SetFilePointer(env.StdOut, 0, nullptr, FILE_BEGIN); });
  Attempt([] { SendLine("HTTP/1.0 500 Internal Error"); });
  Attempt([] { SendLine("Content-type: text/html\r\n"); });
  Attempt([] { SendLine("<HTML><HEAD>"); });
  Attempt([&] { SendLine("<TITLE>Error in " + env.SCRIPT_NAME + "</TITLE>"); });
  Attempt([&] { SendLine("<H1>Error in " + env.SCRIPT_NAME + "</H1>"); });
  Attempt([] { SendLine("</HEAD>"); });
  Attempt([] { SendLine("<BODY>"); });
  Attempt([] { SendLine("The following internal error has occurred:"); });
  Attempt([] { SendLine("<PRE>" + FatalErrorText + "</PRE>"); });
  Attempt([] { SendLine("<I>Please</I> note what you were doing when this problem occurred, "); });
  Attempt([] { SendLine("so we can identify and correct it. Write down the Web page you were "); });
  Attempt([] { SendLine("using, any data you may have entered into a form or search box, "); });
  Attempt([] { SendLine("and anything else that may help us duplicate the problem."); });
  Attempt([] { SendLine("Then contact the administrator of this service: "); });
  Attempt([&] { SendLine("<A HREF=\"mailto:" + env.AdministratorAddress + "\">"); });
  Attempt([&] { SendLine("<ADDRESS>&lt;" + env.AdministratorAddress + "&gt;</ADDRESS></A>"); });
  Attempt([] { SendLine("</BODY></HTML>"); });
  Attempt([&] { SetEndOfFile(env.StdOut); });
}

namespace {

int RunLevelTrap(int number, const std::string& message) {
  Attempt([&] { FatalErrorText = FormatFatalErrorText(number, message); });
  SendFatalErrorPage();
  return 1;
}

}  // namespace

int RunPhases(RequestHandler handler) {
  try {
    LoadCgiEnvironment();
    DecodeFormInput();
    handler();
  } catch (const Failure& failure) {
    return RunLevelTrap(failure.number(), failure.message());
  } catch (const std::bad_alloc&) {
    return RunLevelTrap(kOutOfMemory, Failure::FailureMessage(kOutOfMemory));
  }
  return 0;
}

void EndResponse() {
  // Left to the end of the process, these would be released only after everything else that
  // the process holds, and some of that is slow to let go: closing a folder watch waits for
  // the kernel (a grace period on Linux, the cancelled directory read on Windows), longer the
  // busier the machine. The browser would wait for that as well.
  const HANDLE out = CgiEnvironment.StdOut;
  if (out != INVALID_HANDLE_VALUE && out != nullptr) CloseHandle(out);
#if !defined(TRACKRELAY_REPORTS_AT_EXIT)
  // Nothing is written to standard error, but a web server may read it as a pipe and wait for
  // its end too before it ends the response (Apache's mod_cgi does), or hand the program one
  // pipe as both: on POSIX two descriptors, on Windows one handle, closed once. A sanitizer
  // build keeps it, since its reports come at the end of the process.
  const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (err != out && err != INVALID_HANDLE_VALUE && err != nullptr) CloseHandle(err);
#endif
}

void RunProgram(RequestHandler handler) {
  const int status = RunPhases(handler);
  EndResponse();
  std::exit(status);
}

}  // namespace trackrelay
