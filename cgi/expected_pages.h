// The pages as the browser must receive them, written out byte for byte for the tests to compare.
// Tests only: kept apart from the code that writes the pages, so a slip in either one shows.
#pragma once

#include <string>

namespace trackrelay::expected {

inline std::string FatalPage(const std::string& script, const std::string& admin, const std::string& text) {
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

// The status line, the header line and the empty line in front of every relayed page.
inline const std::string kHeader = "HTTP/1.0 200 OK\r\nContent-type: text/html\r\n\r\n";

inline std::string InternalErrorPage(const std::string& step) {
  return kHeader +
         "<HTML><HEAD>\r\n<TITLE>Internal CGI Error</TITLE>\r\n</HEAD>\r\n"
         "<Center><H1>An internal error number " + step +
         " has caused the cgi program to terminate abnormaly</H1></Center>\r\n<p>\r\n<hr>\r\n";
}

inline const std::string kTimeoutPage =
    kHeader +
    "<HTML><HEAD>\r\n<TITLE>Data Wait Timeout</TITLE>\r\n</HEAD>\r\n"
    "<Center><H1>No Data Returned From The Remote Host</H1></Center>\r\n<p>\r\n<hr>\r\n";

}  // namespace trackrelay::expected
