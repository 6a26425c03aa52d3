// The program without its confinement, for the benchmarks alone: run beside the program in one
// run, it shows what shutting itself in costs a request. Never installed, never tested as the
// program.
#include "cgi/program_run.h"
#include "relay/tracking_request.h"

int main() { trackrelay::RunProgram(trackrelay::ServeTrackingRequest); }
