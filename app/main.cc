// trackrelay: a CGI program that relays a tracking request to a remote host over a shared drive.
#include "cgi/program_run.h"
#include "relay/tracking_request.h"

int main() { trackrelay::RunProgram(trackrelay::ServeTrackingRequest); }
