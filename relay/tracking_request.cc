#include "relay/tracking_request.h"

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
    ClaimTrackingNumber(n);
    StepMarker = kStepWriteRequest;
    WriteRequestFile(n, FormInput);
    StepMarker = kStepPublishRequest;
    // Watched from before the request is out, so that even an answer that comes at once wakes
    // the wait.
    WatchForResponseFile(n);
    PublishRequestFile(n);
    StepMarker = kStepAwaitResponse;
    bool got = false;
    // One look at least, however long the steps before took: the answer may be there already.
    while (!got && misses < kLooksBeforeTimeout && (misses == 0 || !out_of_time())) {
      bool ready = ResponseFileReady(n);
      if (!ready) {
        ++misses;
        // A look that blocked past the limit ends the wait at once, without another pause.
        if (!out_of_time()) ready = AwaitResponseFile(n, kPollIntervalMs);
      }
      if (ready) {
        OpenResponseFile(n);
        SendLine("HTTP/1.0 200 OK");
        SendLine("Content-type: text/html\r\n");
        got = true;
        StepMarker = kStepRelayFirstLine;
        // A long line goes out part by part as it is read, so that no line is held whole; the
        // bytes are those of the whole line. A line of one part goes out in one write.
        std::string part;
        while (!AtEndOfResponse()) {
          while (!ReadResponsePart(part)) SendText(part);
          part += "\r\n";
          SendLine(part);
          StepMarker = kStepRelayNextLines;
        }
        CloseResponseFile();
        RemoveResponseFile(n);
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
