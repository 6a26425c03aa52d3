// The program without its confinement, for the benchmarks alone: run beside the program in one
// run, it shows what shutting itself in costs a request. Never installed, never tested as the
// program.
#include "cgi/program_run.h"
#include "relay/confined_exchange.h"
#include "relay/tracking_request.h"

int main() {
  // The program sets up its watch before it shuts itself in; the twin does the same without the
  // confinement, so that the two differ by the confinement alone.
  trackrelay::WatchInboundFolder();
  trackrelay::RunProgram(trackrelay::ServeTrackingRequest);
}
