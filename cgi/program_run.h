// The run of one CGI request: three phases in order under the run-level trap, then the end of the process.
// A failure that nothing below handles is answered with the fatal error page.
#pragma once

#include <string>

namespace trackrelay {

// Set by the run-level trap before it writes the fatal error page.
extern std::string FatalErrorText;

// Phase 3: the request's own work, which writes its page through SendLine. The front end knows
// nothing of it beyond this; the process entry names it.
using RequestHandler = void (*)();

// Runs phases 1 to 3 under the run-level trap and returns the exit status: 0, or 1 after the
// fatal error page.
int RunPhases(RequestHandler handler);

// RunPhases, then EndResponse, then ends the process with its status.
[[noreturn]] void RunProgram(RequestHandler handler);

// Closes the response once its page is complete: StdOut, and standard error unless it is the
// same handle. The web server takes the end of these for the end of the page; nothing may be
// written to them afterwards.
void EndResponse();

// The text the fatal error page shows for a failure: message, " Error Number = ", then the
// number with a space (or a minus sign) in front.
std::string FormatFatalErrorText(int number, const std::string& message);

// Rewinds StdOut, writes the 17 lines of the fatal error page and truncates StdOut after them.
// Each of these 19 actions runs whatever became of the one before; it raises nothing.
void SendFatalErrorPage();

}  // namespace trackrelay
