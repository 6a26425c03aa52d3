#include "relay/tracking_request.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>

#include "cgi/conversions.h"
#include "cgi/form_input.h"
#include "cgi/response_output.h"
#include "platform/failure.h"
#include "platform/system.h"
#include "relay/file_drop.h"
#include "relay/tracking_counter.h"

namespace trackrelay {
namespace {

void SendTimeoutPage() {
  SendLine("HTTP/1.0 200 OK");
  SendLine("Content-type: text/html\r\n");
  SendLine("<HTML><HEAD>");
  SendLine("<TITLE>Data Wait Timeout</TITLE>");
  SendLine("</HEAD>");
  SendLine("<Center><H1>No Data Returned From The Remote Host</H1></Center>");
  SendLine("<p>");
  SendLine("<hr>");
}

void SendInternalErrorPage(const Step& step_marker) {
  SendLine("HTTP/1.0 200 OK");
  SendLine("Content-type: text/html\r\n");
  SendLine("<HTML><HEAD>");
  SendLine("<TITLE>Internal CGI Error</TITLE>");
  SendLine("</HEAD>");
  std::string headline = "<Center><H1>An internal error number ";
  headline += step_marker.page_text;
  headline += " has caused the cgi program to terminate abnormaly</H1></Center>";
  SendLine(headline);
  SendLine("<p>");
  SendLine("<hr>");
}

// Relays the open response's lines behind the header that is out, each followed by an empty line,
// until its end; the step moves on once the first line is out. A long line goes out part by part
// as it is read, so that no line is held whole; the bytes are those of the whole line, and a
// line of one part goes out in one write. Each part is counted before it goes out: an answer past
// kLongestAnswerBytes, or one still coming at relay_ends (a file without end on the share), is
// cut off there with a failure, and the page ends in the internal error page of the step.
void RelayResponse(FileDrop& drop, Step& StepMarker, std::uint64_t relay_ends) {
  System& system = CurrentSystem();
  std::string part;
  std::uint64_t relayed = 0;
  auto read_part = [&] {
    const bool line_ends = ReadResponsePart(drop, part);
    relayed += part.size();
    if (relayed > kLongestAnswerBytes) throw Failure(kOverflow, "the answer is longer than the program relays");
    if (system.MonotonicMilliseconds() >= relay_ends) {
      throw Failure(kOverflow, "the answer was still coming when the request's time was up");
    }
    return line_ends;
  };
  while (!AtEndOfResponse(drop)) {
    while (!read_part()) SendText(part);
    part += "\r\n";
    SendLine(part);
    StepMarker = kStepRelayNextLines;
  }
}

}  // namespace

void ServeTrackingRequest() {
  // The step under way: the internal error page shows its number.
  Step StepMarker = kStepReadTrackingNumber;
  std::int16_t misses = 0;
  System& system = CurrentSystem();
  // The request's waits, for the counter's lock (kLongestLockWaitMs of them, at its first step)
  // and for the answer, share kLongestWaitMs from here.
  const std::uint64_t started = system.MonotonicMilliseconds();
  auto out_of_time = [&] { return system.MonotonicMilliseconds() - started >= kLongestWaitMs; };
  try {
    std::int16_t n = ToInt16(LookupFormValue(kTrackingNumberField));
    StepMarker = kStepAllocateNumber;
    if (n == 0) n = AllocateTrackingNumber(kLongestLockWaitMs);
    // A number that another request of this web server is serving right now is as busy as one
    // whose request file still waits: the same page, and nothing of this request is written.
    StepMarker = kStepClaimNumber;
    FileDrop drop = FileDropOf(n);
    ClaimTrackingNumber(drop);
    // Under the claim no other live request of n waits, so an answer standing now is an earlier
    // request's: relayed, it would show this person another's page.
    RemoveAnswerLeftBefore(drop);
    StepMarker = kStepWriteRequest;
    WriteRequestFile(drop, FormInput);
    StepMarker = kStepPublishRequest;
    // Watched from before the request is out, so that even an answer that comes at once wakes
    // the wait.
    WatchForResponseFile(drop);
    PublishRequestFile(drop);
    StepMarker = kStepAwaitResponse;
    bool got = false;
    // One look at least, however long the steps before took: the answer may be there already.
    while (!got && misses < kLooksBeforeTimeout && (misses == 0 || !out_of_time())) {
      bool ready = ResponseFileReady(drop) && OpenResponseFile(drop);
      if (!ready) {
        ++misses;
        // A look that blocked past the limit ends the wait at once, without another pause.
        if (!out_of_time()) ready = AwaitResponseFile(drop, kPollIntervalMs) && OpenResponseFile(drop);
      }
      if (ready) {
        SendLine("HTTP/1.0 200 OK");
        SendLine("Content-type: text/html\r\n");
        got = true;
        StepMarker = kStepRelayFirstLine;
        // An answer found by a look that ended past the request's time still gets its moment.
        RelayResponse(drop, StepMarker,
                      std::max(started + kLongestWaitMs, system.MonotonicMilliseconds() + kLongestLateRelayMs));
        CloseResponseFile(drop);
        RemoveResponseFile(drop);
      }
    }
    StepMarker = kStepFinish;
    if (!got) SendTimeoutPage();
  } catch (const Failure&) {
    SendInternalErrorPage(StepMarker);
  } catch (const std::bad_alloc&) {
    SendInternalErrorPage(StepMarker);
  }
}

}  // namespace trackrelay
