#include "cgi/program_run.h"

#include <gtest/gtest.h>

#include <string>

#include "cgi/cgi_environment.h"
#include "cgi/expected_pages.h"
#include "cgi/response_output.h"
#include "platform/testing/scratch_handle.h"

namespace trackrelay {
namespace {

class OutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CgiEnvironment = CgiEnvironmentRecord{};
    CgiEnvironment.SCRIPT_NAME = "/cgi-bin/trackrelay";
    CgiEnvironment.AdministratorAddress = "ops@example.org";
    FatalErrorText = FormatFatalErrorText(6, "Overflow");
  }
  void TearDown() override { CgiEnvironment = CgiEnvironmentRecord{}; }
};

TEST(FormatFatalErrorTextTest, PutsASpaceOrSignBeforeTheNumber) {
  EXPECT_EQ(FormatFatalErrorText(6, "Overflow"), "Overflow Error Number =  6");
  EXPECT_EQ(FormatFatalErrorText(13, "Type mismatch"), "Type mismatch Error Number =  13");
  EXPECT_EQ(FormatFatalErrorText(-2, "M"), "M Error Number = -2");
  EXPECT_EQ(FormatFatalErrorText(0, ""), " Error Number =  0");
}

TEST_F(OutputTest, SendLineWritesEachByteThenCrLf) {
  const std::string texts[] = {"", "Content-type: text/html\r\n", std::string("a\0b", 3), "\x80\xff\xe9", "\n"};
  for (const std::string& text : texts) {
    ScratchHandle out = ScratchHandle::Pipe();
    CgiEnvironment.StdOut = out.handle();
    SendLine(text);
    EXPECT_EQ(out.Contents(), text + "\r\n");
  }
}

TEST_F(OutputTest, SendLineOnAClosedHandleIsSilent) {
  CgiEnvironment.StdOut = INVALID_HANDLE_VALUE;
  SendLine("lost");
  SendFatalErrorPage();
}

TEST_F(OutputTest, FatalPageFollowsEarlierOutputOnAPipe) {
  ScratchHandle out = ScratchHandle::Pipe();
  CgiEnvironment.StdOut = out.handle();
  SendLine("HTTP/1.0 200 OK");
  SendFatalErrorPage();
  EXPECT_EQ(out.Contents(), "HTTP/1.0 200 OK\r\n" +
                                expected::FatalPage("/cgi-bin/trackrelay", "ops@example.org", "Overflow Error Number =  6"));
}

TEST_F(OutputTest, FatalPageReplacesEverythingInAFile) {
  const std::string page = expected::FatalPage("/cgi-bin/trackrelay", "ops@example.org", "Overflow Error Number =  6");
  // Earlier lines of the run, and a file that held more than the page before the run.
  for (const std::string& before : {std::string(), std::string(5000, 'x')}) {
    ScratchHandle out = ScratchHandle::File(before);
    CgiEnvironment.StdOut = out.handle();
    SendLine("HTTP/1.0 200 OK");
    SendLine("Content-type: text/html\r\n");
    SendFatalErrorPage();
    EXPECT_EQ(out.Contents(), page);
  }
}

TEST_F(OutputTest, FatalPageInsertsTextsUnescaped) {
  CgiEnvironment.SCRIPT_NAME = "";
  CgiEnvironment.AdministratorAddress = "<a&b>";
  FatalErrorText = "<x>";
  ScratchHandle out = ScratchHandle::Pipe();
  CgiEnvironment.StdOut = out.handle();
  SendFatalErrorPage();
  const std::string got = out.Contents();
  EXPECT_EQ(got, expected::FatalPage("", "<a&b>", "<x>"));
  EXPECT_NE(got.find("<TITLE>Error in </TITLE>\r\n"), std::string::npos);
}

}  // namespace
}  // namespace trackrelay
