// The real executable, run as a web server runs it.
#include "app/end_to_end.h"

#include <gtest/gtest.h>

namespace trackrelay::e2e {
namespace {

std::string FatalPage(const std::string& script, const std::string& text) {
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
         "<A HREF=\"mailto:webmaster@localhost\">\r\n"
         "<ADDRESS>&lt;webmaster@localhost&gt;</ADDRESS></A>\r\n"
         "</BODY></HTML>\r\n";
}

TEST(FatalPageEndToEnd, OverflowingContentLengthGivesTheExactPage) {
  DriveRoot root;
  struct Case {
    std::string content_length;
    bool to_file;
    std::string file_before;
  };
  const Case cases[] = {
      {"99999999999", false, ""},
      {"2147483648", false, ""},
      {"-2147483649", false, ""},
      {"1e10", false, ""},
      {"99999999999", true, ""},
      {"99999999999", true, std::string(10000, '#')},  // a capture file that held more than the page
  };
  for (const Case& c : cases) {
    Invocation run;
    run.env = GetEnvironment("TRACKNO=5");
    run.env["CONTENT_LENGTH"] = c.content_length;
    run.output_to_file = c.to_file;
    run.output_file_before = c.file_before;
    Outcome out = RunTrackrelay(run, root);
    EXPECT_EQ(out.exit_status, 1) << c.content_length;
    EXPECT_EQ(out.output, FatalPage("/cgi-bin/trackrelay", "Overflow Error Number =  6")) << c.content_length;
  }
}

TEST(FatalPageEndToEnd, EmptyScriptNameLeavesTheTitleEmpty) {
  DriveRoot root;
  Invocation run;
  run.env = {{"CONTENT_LENGTH", "1" + std::string(30, '0')}};
  Outcome out = RunTrackrelay(run, root);
  EXPECT_EQ(out.output, FatalPage("", "Overflow Error Number =  6"));
}

}  // namespace
}  // namespace trackrelay::e2e
