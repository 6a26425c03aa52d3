// trackrelay: a CGI program that relays a tracking request to a remote host over a shared drive.
#include "cgi/program_run.h"
#include "relay/confined_exchange.h"
#include "relay/tracking_request.h"

int main() {
  // Shut in before the environment is decoded or the body read: whatever that input might ever
  // make the program do, it can only do to its exchange.
  trackrelay::ConfineToExchange();
  trackrelay::RunProgram(trackrelay::ServeTrackingRequest);
}
