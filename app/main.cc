// trackrelay: a CGI program that relays a tracking request to a remote host over a shared drive.
#include "cgi/program_run.h"

int main() { trackrelay::RunProgram(); }
