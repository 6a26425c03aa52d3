// The page ends the moment it is complete: the web server takes the end of standard output (and,
// for some servers, of standard error) for the end of the response, and the process holds things
// that are slow to let go, the folder watch above all. The traced calls of a run show the order
// without timing anything: every call waits for the tracer, so the order is the program's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cgi/expected_pages.h"
#include "e2e/end_to_end.h"

namespace trackrelay::e2e {
namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

using Match = std::function<bool(const TracedCall&)>;

std::size_t First(const std::vector<TracedCall>& calls, const Match& match, std::size_t from = 0) {
  for (std::size_t i = from; i < calls.size(); ++i) {
    if (match(calls[i])) return i;
  }
  return kNone;
}

std::size_t Last(const std::vector<TracedCall>& calls, const Match& match) {
  for (std::size_t i = calls.size(); i-- > 0;) {
    if (match(calls[i])) return i;
  }
  return kNone;
}

Match Call(const std::string& name, long long first) {
  return [name, first](const TracedCall& call) { return call.name == name && call.first == first; };
}

Match Call(const std::string& name) {
  return [name](const TracedCall& call) { return call.name == name; };
}

std::string Listing(const std::vector<TracedCall>& calls) {
  std::string text;
  for (const TracedCall& call : calls) {
    if (call.name[0] != '#') text += " " + call.name + "(" + std::to_string(call.first) + ")=" + std::to_string(call.result);
  }
  return text;
}

// The names of the calls in each build: the system calls on POSIX, kernel32 under Wine.
struct Names {
  std::string write, truncate, close, arm, disarm, end;
  long long out, err;  // the standard descriptors; under Wine found from GetStdHandle
};

const Names kPosix = {"write", "ftruncate", "close", "inotify_add_watch", "close", "exit_group", 1, 2};
const Names kWine = {"WriteFile", "SetEndOfFile", "CloseHandle", "ReadDirectoryChangesW", "CloseHandle", "", 0, 0};

TEST(PageEndEndToEnd, OutputEndsAfterTheLastLineAndBeforeTheWatchOrTheProcessGoes) {
  struct Case {
    std::string name, query, content_length;
    bool remote_host;     // the simulator answers, else the answer is in place before the start
    bool to_file;         // output to a capture file that held more than the page
    bool watch;           // a watch is armed on the inbound folder for the request's answer
    int status;
    std::string page;     // empty: the simulator's answer, checked by its number
  };
  const Case cases[] = {
      {"an answer at once", "TRACKNO=7", "", false, false, true, 0, expected::kHeader + "<p>7</p>\r\n\r\n"},
      {"answer from the remote host", "TRACKNO=7", "", true, false, true, 0, ""},
      {"internal error page", "x=1", "", false, false, false, 0, expected::InternalErrorPage("0")},
      {"fatal error page into a file", "TRACKNO=7", "99999999999", false, true, false, 1,
       expected::FatalPage("/cgi-bin/trackrelay", "webmaster@localhost", "Overflow Error Number =  6")},
  };
  const Names& names = UnderWine() ? kWine : kPosix;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DriveRoot root;
    std::unique_ptr<Responder> answer;
    if (!c.remote_host) answer = std::make_unique<Responder>(root, "7", "<p>7</p>\r\n");
    std::unique_ptr<RemoteHostSimulator> remote;
    if (c.remote_host) remote = std::make_unique<RemoteHostSimulator>(root);
    Invocation run;
    run.env = GetEnvironment(c.query);
    if (!c.content_length.empty()) run.env["CONTENT_LENGTH"] = c.content_length;
    run.output_to_file = c.to_file;
    if (c.to_file) run.output_file_before = std::string(5000, '#');
    run.trace_calls = true;
    const Outcome out = RunTrackrelay(run, root);
    remote.reset();
    answer.reset();
    EXPECT_EQ(out.exit_status, c.status);
    if (c.page.empty()) {
      EXPECT_EQ(out.output.rfind(expected::kHeader, 0), 0u) << out.output;
      EXPECT_NE(out.output.find("<h1>Tracking number 7</h1>"), std::string::npos) << out.output;
    } else {
      EXPECT_EQ(out.output, c.page);
    }

    const std::vector<TracedCall>& calls = out.calls;
    long long out_handle = names.out, err_handle = names.err;
    bool err_known = true;
    if (UnderWine()) {
      // The handles as GetStdHandle gave them to the program; it asks for standard error's only
      // to close it.
      const std::size_t out_at = First(calls, Call("GetStdHandle", 0xfffffff5LL));
      const std::size_t err_at = First(calls, Call("GetStdHandle", 0xfffffff4LL));
      ASSERT_NE(out_at, kNone) << Listing(calls);
      out_handle = calls[out_at].result;
      err_known = err_at != kNone;
      if (err_known) err_handle = calls[err_at].result;
    }
    const std::size_t last_line = Last(calls, Call(names.write, out_handle));
    const std::size_t out_closed = First(calls, Call(names.close, out_handle), last_line == kNone ? 0 : last_line);
    ASSERT_NE(last_line, kNone) << Listing(calls);
    ASSERT_NE(out_closed, kNone) << "standard output is never closed:" << Listing(calls);
    // The fatal error page still cuts off what the file held beyond it, before the end.
    if (c.to_file) {
      EXPECT_LT(Last(calls, Call(names.truncate, out_handle)), out_closed) << Listing(calls);
    }
    // Nothing is written to standard error, and it ends with standard output. Under Wine, where
    // one handle may stand for both, it is closed once.
    std::size_t err_closed = out_closed;
    // A sanitizer build keeps standard error for its reports at the end of the process.
    if (!SanitizerBuild() && !(err_known && err_handle == out_handle)) {
      EXPECT_EQ(First(calls, Call(names.write, err_handle)), kNone) << Listing(calls);
      err_closed = err_known ? First(calls, Call(names.close, err_handle)) : kNone;
      ASSERT_NE(err_closed, kNone) << "standard error is never closed:" << Listing(calls);
    }
    const std::size_t ended = std::max(out_closed, err_closed);
    // On POSIX the exit comes after; under Wine the exit is made by the C library, whose calls
    // the relay trace leaves out, so every call traced comes before it.
    if (!names.end.empty()) {
      EXPECT_LT(ended, First(calls, Call(names.end))) << Listing(calls);
    }

    // The watch: armed before the page went out, and let go of only after its end. On POSIX the
    // inbound folder is watched from before the process shuts itself in, in every run.
    const bool watched = c.watch || !UnderWine();
    const std::size_t armed = First(calls, Call(names.arm));
    if (watched && !SharedDrive()) {
      ASSERT_NE(armed, kNone) << "no watch was armed:" << Listing(calls);
    }
    if (!watched) {
      EXPECT_EQ(armed, kNone) << Listing(calls);
    }
    if (armed == kNone) continue;
    EXPECT_LT(armed, ended);
    // Its descriptor (the inotify instance, or the folder's handle) is closed, or its read
    // cancelled, only after the page has ended, or not at all before the exit.
    const long long watch = calls[armed].first;
    for (const std::string& release : {names.disarm, std::string("CancelIoEx"), std::string("CancelIo")}) {
      const std::size_t released = First(calls, Call(release, watch), armed);
      if (released != kNone) {
        EXPECT_GT(released, ended) << release << Listing(calls);
      }
    }
  }
}

}  // namespace
}  // namespace trackrelay::e2e
