/* The page lines that the yardsticks of trackrelay's process cost write, each with its CR LF, as
 * trackrelay writes them on a path that never waits. FATAL_PAGE picks the fatal error page of an
 * overflowing CONTENT_LENGTH (script /cgi-bin/trackrelay, the default administrator);
 * RELAYED_PAGE the page relayed for TRACKNO=7 when the remote host's answer to it is in place
 * before the start, each of its lines followed by an empty line; otherwise it is the internal
 * error page of step 0 (no TRACKNO). */
#ifndef TRACKRELAY_BENCH_BASELINE_LINES_H
#define TRACKRELAY_BENCH_BASELINE_LINES_H

static const char* const kLines[] = {
#ifdef FATAL_PAGE
    "HTTP/1.0 500 Internal Error\r\n",
    "Content-type: text/html\r\n\r\n",
    "<HTML><HEAD>\r\n",
    "<TITLE>Error in /cgi-bin/trackrelay</TITLE>\r\n",
    "<H1>Error in /cgi-bin/trackrelay</H1>\r\n",
    "</HEAD>\r\n",
    "<BODY>\r\n",
    "The following internal error has occurred:\r\n",
    "<PRE>Overflow Error Number =  6</PRE>\r\n",
    "<I>Please</I> note what you were doing when this problem occurred, \r\n",
    "so we can identify and correct it. Write down the Web page you were \r\n",
    "using, any data you may have entered into a form or search box, \r\n",
    "and anything else that may help us duplicate the problem.\r\n",
    "Then contact the administrator of this service: \r\n",
    "<A HREF=\"mailto:webmaster@localhost\">\r\n",
    "<ADDRESS>&lt;webmaster@localhost&gt;</ADDRESS></A>\r\n",
    "</BODY></HTML>\r\n",
#elif defined(RELAYED_PAGE)
    "HTTP/1.0 200 OK\r\n",
    "Content-type: text/html\r\n\r\n",
    "<!DOCTYPE html>\r\n\r\n",
    "<html>\r\n\r\n",
    "<head>\r\n\r\n",
    "<meta charset=\"utf-8\">\r\n\r\n",
    "<title>Tracking number 7</title>\r\n\r\n",
    "</head>\r\n\r\n",
    "<body>\r\n\r\n",
    "<h1>Tracking number 7</h1>\r\n\r\n",
    "<p>The remote host has received a request with these fields:</p>\r\n\r\n",
    "<table border=\"1\">\r\n\r\n",
    "<tr><th>Field</th><th>Value</th></tr>\r\n\r\n",
    "<tr><td>TRACKNO</td><td>7</td></tr>\r\n\r\n",
    "</table>\r\n\r\n",
    "<p>Form input as sent: <code>TRACKNO=7</code></p>\r\n\r\n",
    "</body>\r\n\r\n",
    "</html>\r\n\r\n",
#else
    "HTTP/1.0 200 OK\r\n",
    "Content-type: text/html\r\n\r\n",
    "<HTML><HEAD>\r\n",
    "<TITLE>Internal CGI Error</TITLE>\r\n",
    "</HEAD>\r\n",
    "<Center><H1>An internal error number 0 has caused the cgi program to terminate abnormaly</H1></Center>\r\n",
    "<p>\r\n",
    "<hr>\r\n",
#endif
};

/* The exit status trackrelay ends with after that page: 1 after the fatal error page. */
#ifdef FATAL_PAGE
#define BASELINE_EXIT_STATUS 1
#else
#define BASELINE_EXIT_STATUS 0
#endif

#endif
