#include "cgi/program_run.h"

#include <gtest/gtest.h>

#include <string>

#include "cgi/cgi_environment.h"
#include "cgi/response_output.h"
#include "platform/test_support.h"

namespace trackrelay {
namespace {

std::string ExpectedFatalPage(const std::string& script, const std::string& admin, const std::string& text) {
  return "HTTP/1.0 500 Internal Error\r\n"
         "Content-type: text/html\r\n\r\n"
         "<HTML><HEAD>\r\n"
         "<TITLE>Error in " + script + "</TITLE>\r\n"
         "<H1>Error in " + script + "</H1>\r\n"
         "</HEAD>\r\n"
         "<BODY>\r\n"
         "The following internal error has occurred:\r\n"
         "<PRE>" + text + "</PRE>\r\n"
         "<I>Please</I> note what you were doing when this problem occurred, \r\n"
         "so we can identify and correct it. Write down the Web page you were \r\n"
         "using, any data you may have entered into a form or search box, \r\n"
         "and anything else that may help us duplicate the problem.\r\n"
         "Then contact the administrator of this service: \r\n"
         "<A HREF=\"mailto:" + admin + "\">\r\n"
         "<ADDRESS>&lt;" + admin + "&gt;</ADDRESS></A>\r\n"
         "</BODY></HTML>\r\n";
}

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
                                ExpectedFatalPage("/cgi-bin/trackrelay", "ops@example.org", "Overflow Error Number =  6"));
}

TEST_F(OutputTest, FatalPageReplacesEverythingInAFile) {
  const std::string page = ExpectedFatalPage("/cgi-bin/trackrelay", "ops@example.org", "Overflow Error Number =  6");
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
  EXPECT_EQ(got, ExpectedFatalPage("", "<a&b>", "<x>"));
  EXPECT_NE(got.find("<TITLE>Error in </TITLE>\r\n"), std::string::npos);
}

}  // namespace
}  // namespace trackrelay
