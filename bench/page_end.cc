// Time to the end of the page: runs the PROGRAMs (no arguments, this environment) in rounds, each
// once a round and each first in turn, and prints for each the time from its start to the end of
// its standard output, which is what a web server waits for, to the later end of standard output
// and standard error, which is what a server that reads both waits for, and to its exit.
//
//   trackrelay_page_end [--rounds N] [--warmup N] [--status S] [--answer FILE N OUTBOUND INBOUND]
//                       [--watch FOLDER] [--json OUT] PROGRAM...
//
// With --answer, this driver is the remote host of number N (bench/instant_host.h): before every
// run of every program alike, so that each pays the same, what the run before left of N's
// exchange is removed and FILE made ready in INBOUND as tN.out; the moment N.DAT is published in
// OUTBOUND, it is removed and the answer renamed to N.out. The publication is watched in OUTBOUND,
// or in FOLDER where only another view of it is told of the program's changes (a FUSE volume's
// web server client). Every run must write what the first program's first run wrote, nothing
// on standard error, and end with status S (default 0); a run that does not is counted wrong and
// not timed. The first --warmup rounds (default 20) are not timed. The CPU time of each run
// (user and system) is given beside. --json writes the figures in
// milliseconds to OUT. Ends with status 1 when any run was wrong.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "bench/instant_host.h"
#include "bench/page_timing.h"

extern char** environ;

namespace {

using trackrelay::bench::Percentile;
using trackrelay::bench::RunTimed;
using trackrelay::bench::TimedRun;

struct Figures {
  std::string program;
  std::vector<double> output_end, ends, exit, cpu;
  int wrong = 0;
};

std::string Quantiles(const std::vector<double>& ms) {
  char text[160];
  std::snprintf(text, sizeof text, "{\"p50\": %.4f, \"p90\": %.4f, \"p99\": %.4f}", Percentile(ms, 50), Percentile(ms, 90),
                Percentile(ms, 99));
  return text;
}

int Usage() {
  std::fprintf(stderr,
               "usage: trackrelay_page_end [--rounds N] [--warmup N] [--status S] [--answer FILE N OUTBOUND INBOUND] "
               "[--watch FOLDER] [--json OUT] PROGRAM...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 1000, warmup = 20, expected_status = 0;
  std::string answer, number, outbound, inbound, watched, json;
  int at = 1;
  for (; at < argc && std::strncmp(argv[at], "--", 2) == 0; ++at) {
    const std::string option = argv[at];
    const bool four = option == "--answer";
    if (at + (four ? 4 : 1) >= argc) return Usage();
    if (option == "--rounds") {
      rounds = std::atoi(argv[++at]);
    } else if (option == "--warmup") {
      warmup = std::atoi(argv[++at]);
    } else if (option == "--status") {
      expected_status = std::atoi(argv[++at]);
    } else if (option == "--watch") {
      watched = argv[++at];
    } else if (option == "--json") {
      json = argv[++at];
    } else if (four) {
      std::ifstream in(argv[++at], std::ios::binary);
      std::ostringstream all;
      all << in.rdbuf();
      answer = all.str();
      number = argv[++at];
      outbound = argv[++at];
      inbound = argv[++at];
      if (!in) return Usage();
    } else {
      return Usage();
    }
  }
  if (at >= argc || rounds <= 0) return Usage();
  std::vector<Figures> figures;
  for (; at < argc; ++at) {
    Figures program;
    program.program = std::filesystem::absolute(argv[at]).string();
    figures.push_back(program);
  }
  const int count = static_cast<int>(figures.size());

  std::unique_ptr<trackrelay::bench::InstantHost> host;
  if (!number.empty()) {
    host = std::make_unique<trackrelay::bench::InstantHost>(outbound, inbound, watched.empty() ? outbound : watched);
  }
  auto run_once = [&](const std::string& program) {
    if (host && !host->Prepare(number, answer)) {
      std::fprintf(stderr, "cannot make the answer ready in %s\n", inbound.c_str());
      std::exit(1);
    }
    TimedRun run = RunTimed(program, environ);
    if (host) host->Finish();
    return run;
  };
  // What every run must write: the first program's page.
  const TimedRun reference = run_once(figures[0].program);
  if (!reference.ran || reference.status != expected_status) {
    std::fprintf(stderr, "%s: status %d\n", figures[0].program.c_str(), reference.status);
    return 1;
  }
  for (int round = -warmup; round < rounds; ++round) {
    const int first = ((round % count) + count) % count;
    for (int turn = 0; turn < count; ++turn) {
      Figures& program = figures[static_cast<std::size_t>((first + turn) % count)];
      const TimedRun run = run_once(program.program);
      const bool right = run.ran && run.status == expected_status && run.errors.empty() &&
                         run.output == reference.output;
      if (!right) {
        if (++program.wrong <= 3) {
          std::fprintf(stderr, "%s: status %d, %zu bytes out, %zu bytes on standard error:\n%.300s\n",
                       program.program.c_str(), run.status, run.output.size(), run.errors.size(),
                       (run.errors.empty() ? run.output : run.errors).c_str());
        }
        continue;
      }
      if (round < 0) continue;
      program.output_end.push_back(run.output_end_ms);
      program.ends.push_back(run.ends_ms());
      program.exit.push_back(run.exit_ms);
      program.cpu.push_back(run.cpu_ms);
    }
  }

  int wrong = 0;
  for (const Figures& program : figures) {
    wrong += program.wrong;
    std::printf("%s: end of output p50 %.3f ms, p90 %.3f ms, p99 %.3f ms; of output and errors p50 %.3f ms, "
                "p99 %.3f ms; exit p50 %.3f ms, p99 %.3f ms; CPU p50 %.3f ms; %zu runs, %d wrong\n",
                std::filesystem::path(program.program).filename().c_str(), Percentile(program.output_end, 50),
                Percentile(program.output_end, 90), Percentile(program.output_end, 99), Percentile(program.ends, 50),
                Percentile(program.ends, 99), Percentile(program.exit, 50), Percentile(program.exit, 99),
                Percentile(program.cpu, 50), program.output_end.size(), program.wrong);
  }
  for (int i = 1; i < count; ++i) {
    const Figures &a = figures[0], &b = figures[static_cast<std::size_t>(i)];
    std::printf("%s to %s, end of output: p50 %.2fx, p99 %.2fx; exit: p50 %.2fx\n",
                std::filesystem::path(a.program).filename().c_str(), std::filesystem::path(b.program).filename().c_str(),
                Percentile(a.output_end, 50) / Percentile(b.output_end, 50),
                Percentile(a.output_end, 99) / Percentile(b.output_end, 99),
                Percentile(a.exit, 50) / Percentile(b.exit, 50));
  }
  if (host) host->Clear(number);
  if (!json.empty()) {
    std::ofstream out(json);
    out << "[";
    for (int i = 0; i < count; ++i) {
      const Figures& program = figures[static_cast<std::size_t>(i)];
      out << (i > 0 ? ",\n " : "") << "{\"program\": \"" << program.program << "\", \"runs\": " << program.output_end.size()
          << ", \"wrong\": " << program.wrong << ", \"output_end\": " << Quantiles(program.output_end)
          << ", \"ends\": " << Quantiles(program.ends) << ", \"exit\": " << Quantiles(program.exit) << ", \"cpu\": " << Quantiles(program.cpu) << "}";
    }
    out << "]\n";
  }
  return wrong == 0 ? 0 : 1;
}
