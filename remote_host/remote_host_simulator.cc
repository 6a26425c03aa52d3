// trackrelay-remote-host: the remote host. By default a stand-in that echoes each request, for
// the tests, the demo and trials; with --exec it serves each request with the administrator's own
// command (remote_host/exec_host.h), keeping the rules below for it.
//
// The program and the remote host share nothing but two folders on a network drive. What any
// remote host must do, and what this one does for each request:
//
//  1. Take complete request files only: N.DAT in the outbound folder (r:\fromnt\). The program
//     writes tN.DAT and renames it to N.DAT once it is complete; a tN.DAT is left alone.
//     N is the tracking number; the file holds one line, the raw form input and CR LF.
//  2. Remove the request file (or move it away). The program never does, and while N.DAT stays,
//     the next request of number N fails at its rename; nor does it take an answer while its
//     N.DAT stands: an answer counts from the take on.
//  3. Take a number's requests one at a time, each once the answer to the one before is out,
//     and remove an answer of the number that stands when it is taken: it was made for an
//     earlier request whose program has ended, and would be taken as this one's.
//  4. Answer within 45 seconds of publication. The program looks for the answer at once, then
//     every 100 ms, 450 times, then shows its timeout page. A later answer is never read. So an
//     answer that would come too late is not written.
//  5. Write the answer as N.out in the inbound folder (r:\tont\), first under another name
//     (here tN.out) and renamed when complete: the program reads N.out the moment it sees it.
//  6. Make the answer the whole HTML document, in lines that end in CR LF (for the program a
//     lone LF does not end a line). The program relays the lines behind its own status and
//     header lines, and deletes N.out.
//
// One remote host serves a pair of folders; two would both answer the same request.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/drive_path.h"
#include "platform/system.h"
#include "relay/file_drop.h"
#include "remote_host/folder_pause.h"
#include "remote_host/hand_over.h"
#include "remote_host/remote_host.h"

#ifndef _WIN32
#include "remote_host/exec_host.h"
#endif


namespace {

namespace fs = std::filesystem;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often the outbound folder is looked at, at the least: well within the program's own 100 ms.
constexpr milliseconds kLookInterval{50};

constexpr const char* kUsage = R"(usage: trackrelay-remote-host [options]
Answers trackrelay's request files with an HTML page that shows the tracking number and the
decoded form fields.
  --drive-root DIR  the folders DIR/r/fromnt (requests) and DIR/r/tont (answers); by default
                    those of the program: below TRACKRELAY_DRIVE_ROOT, else the build's root
  --outbound DIR    the folder of request files
  --inbound DIR     the folder of answers
  --delay MS        answer each request MS milliseconds after taking it (default 0)
  --never-answer    take each request and never answer it: the program shows its timeout page
  --keep DIR        move each request file taken into DIR, with a copy of its answer, instead
                    of deleting it
  --once            take the requests waiting now, answer them, and end (status 1 when one
                    could not be taken or answered)
  --quiet           no line for each request on standard output
Serving with a command of your own (POSIX only):
  --exec CMD        run CMD (with /bin/sh -c) for each request: the form input on its standard
                    input, TRACKRELAY_NUMBER and FORM_<name> for each field in its environment;
                    its standard output is the answer. See trackrelay-remote-host(1)
  --jobs N          run at most N commands at once (default 4)
  --state DIR       the remote host's own folder: DIR/work holds the requests being served,
                    DIR/error those that failed, with their reasons; on the file system of the
                    outbound folder (default: remote-host beside the outbound folder)
  --timeout MS      kill a command MS milliseconds after it started (it is killed 43 s after
                    its request's publication in any case)
  --metrics FILE    write the remote host's figures to FILE every few seconds, in the
                    Prometheus text format, for the node exporter's textfile collector
  --keep, --once and --quiet as above; failures are said on standard error, one line each
                    (when standard error is the journal, with fields of their own)
)";

struct Options {
  fs::path outbound;
  fs::path inbound;
  milliseconds delay{0};
  bool never_answer = false;
  std::optional<fs::path> keep;
  bool once = false;
  bool quiet = false;
  std::optional<std::string> exec;
  int jobs = 4;
  std::optional<fs::path> state;
  std::optional<milliseconds> timeout;
  std::optional<fs::path> metrics;
};

[[noreturn]] void Usage(const std::string& problem) {
  std::cerr << "trackrelay-remote-host: " << problem << "\n" << kUsage;
  std::exit(2);
}

long Number(const std::string& option, const std::string& text, long least, long most) {
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || n < least || n > most) {
    Usage(option + " takes a number from " + std::to_string(least) + " to " + std::to_string(most) + ", not " + text);
  }
  return n;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  options.outbound = trackrelay::MapDrivePath(trackrelay::kOutboundFolder);
  options.inbound = trackrelay::MapDrivePath(trackrelay::kInboundFolder);
  std::optional<fs::path> outbound, inbound;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Usage(option + " needs a value");
      return argv[++i];
    };
    if (option == "--drive-root") {
      const fs::path root = value();
      options.outbound = trackrelay::remote_host::ExchangeFolderBelow(root, trackrelay::kOutboundFolder);
      options.inbound = trackrelay::remote_host::ExchangeFolderBelow(root, trackrelay::kInboundFolder);
    } else if (option == "--outbound") {
      outbound = value();
    } else if (option == "--inbound") {
      inbound = value();
    } else if (option == "--delay") {
      options.delay = milliseconds(Number(option, value(), 0, 3600000));
    } else if (option == "--exec") {
      options.exec = value();
      if (options.exec->empty()) Usage("--exec needs a command");
    } else if (option == "--jobs") {
      options.jobs = static_cast<int>(Number(option, value(), 1, 256));
    } else if (option == "--state") {
      options.state = value();
    } else if (option == "--timeout") {
      options.timeout = milliseconds(Number(option, value(), 1, 3600000));
    } else if (option == "--metrics") {
      options.metrics = value();
      if (options.metrics->empty() || !options.metrics->has_filename()) Usage("--metrics needs a file");
    } else if (option == "--never-answer") {
      options.never_answer = true;
    } else if (option == "--keep") {
      options.keep = value();
    } else if (option == "--once") {
      options.once = true;
    } else if (option == "--quiet") {
      options.quiet = true;
    } else if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      std::exit(0);
    } else {
      Usage("unknown option " + option);
    }
  }
  // Explicit folders win over --drive-root, whatever their order.
  if (outbound) options.outbound = *outbound;
  if (inbound) options.inbound = *inbound;
  if (options.exec && (options.never_answer || options.delay.count() > 0)) {
    Usage("--delay and --never-answer are the simulator's; with --exec the command answers");
  }
  if (!options.exec && (options.state || options.timeout || options.metrics)) {
    Usage("--state, --timeout and --metrics go with --exec");
  }
  return options;
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error("cannot read " + path.string());
  return bytes;
}

void WriteWholeFile(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

class RemoteHost {
 public:
  explicit RemoteHost(Options options) : options_(std::move(options)) {}

  // One look at the outbound folder: takes every complete request file in it.
  void TakeRequests() {
    std::set<std::string> seen;
    std::error_code error;
    for (fs::directory_iterator it(options_.outbound, error), end; !error && it != end; it.increment(error)) {
      const std::string name = it->path().filename().string();
      if (trackrelay::remote_host::IsMisnamedRequest(name)) {
        // Somebody else's file of a request's shape: no request waits for its answer. Said once
        // while it stays.
        seen.insert(name);
        if (stuck_.insert(name).second) {
          Report(std::cerr, name + ": not taken: its name is no tracking number as the program writes one");
        }
        continue;
      }
      const std::optional<std::string> number = trackrelay::remote_host::RequestNumberOf(name);
      // A link is never followed: a request file that leads elsewhere would have this host read
      // and echo one of its own files to a browser.
      std::error_code entry_error;
      if (!number || !fs::is_regular_file(it->symlink_status(entry_error))) continue;
      seen.insert(name);
      // A number's requests are answered one at a time: this one waits its turn.
      if (stuck_.contains(name) || Answering(*number)) continue;
      try {
        Take(*number, it->path());
      } catch (const std::exception& failure) {
        // Not answered: a request this host cannot consume stays for someone to look at.
        Report(std::cerr, *number + ": cannot take the request: " + failure.what());
        stuck_.insert(name);
      }
    }
    if (error) {
      Report(std::cerr, "cannot look into " + options_.outbound.string() + ": " + error.message());
    }
    std::erase_if(stuck_, [&](const std::string& name) { return !seen.contains(name); });
  }

  // Writes the answers whose delay is over.
  void AnswerDue() {
    const SteadyClock::time_point now = SteadyClock::now();
    std::erase_if(pending_, [&](const Pending& request) {
      if (request.due > now) return false;
      try {
        Answer(request);
      } catch (const std::exception& failure) {
        Report(std::cerr, request.number + ": cannot answer: " + failure.what());
      }
      return true;
    });
  }

  bool Idle() const { return pending_.empty(); }
  // The time until the earliest pending answer is due.
  milliseconds UntilNextAnswer() const {
    SteadyClock::time_point due = SteadyClock::time_point::max();
    for (const Pending& request : pending_) due = std::min(due, request.due);
    return std::max(milliseconds(0), std::chrono::ceil<milliseconds>(due - SteadyClock::now()));
  }
  bool Troubled() const { return troubled_; }

 private:
  struct Pending {
    std::string number;
    std::string form_input;
    SteadyClock::time_point due;
  };

  // The inbound folder as a folder's flush names it, with a separator at its end.
  fs::path InboundFolder() const {
    fs::path folder = options_.inbound;
    if (folder.has_filename()) folder += fs::path::preferred_separator;
    return folder;
  }

  bool Answering(const std::string& number) const {
    return std::any_of(pending_.begin(), pending_.end(), [&](const Pending& request) { return request.number == number; });
  }

  void Take(const std::string& number, const fs::path& request_file) {
    const std::string content = ReadWholeFile(request_file);
    // An answer of the number that stands now was made for an earlier request, whose program has
    // ended: once this request is taken, its program would take that answer as its own.
    if (trackrelay::remote_host::RemoveEarlierAnswer(trackrelay::CurrentSystem(),
                                                     (options_.inbound / (number + ".out")).string(),
                                                     InboundFolder().string())) {
      Report(std::cout, number + ": an earlier request's answer, never taken, removed");
    }
    // The age of the request: the program has been waiting since it published the file.
    const auto age = std::max(fs::file_time_type::clock::now() - fs::last_write_time(request_file),
                              fs::file_time_type::duration::zero());
    if (options_.keep) {
      fs::copy_file(request_file, *options_.keep / request_file.filename(), fs::copy_options::overwrite_existing);
    }
    fs::remove(request_file);
    if (options_.never_answer) {
      Report(std::cout, number + ": taken, never answered");
      return;
    }
    if (age + options_.delay >= trackrelay::remote_host::kProgramWait) {
      Report(std::cout, number + ": taken, too late to answer: the program has stopped waiting");
      return;
    }
    pending_.push_back({number, std::string(trackrelay::remote_host::FormInputOf(content)),
                        SteadyClock::now() + options_.delay});
  }

  void Answer(const Pending& request) {
    const std::string page = trackrelay::remote_host::BuildResponsePage(request.number, request.form_input);
    const fs::path partial = options_.inbound / ("t" + request.number + ".out");
    // The record first: once N.out is there, the program may take and delete it at any moment.
    if (options_.keep) WriteWholeFile(*options_.keep / (request.number + ".out"), page);
    // Flushed before its rename, which flushes the folder: a power cut never leaves a short answer
    // under the name the program takes.
    trackrelay::remote_host::PublishAnswer(trackrelay::CurrentSystem(), partial.string(),
                                           (options_.inbound / (request.number + ".out")).string(), page);
    Report(std::cout, request.number + ": answered");
  }

  void Report(std::ostream& stream, const std::string& text) {
    if (&stream == &std::cout && options_.quiet) return;
    // A folder that has gone away would otherwise be reported at every look.
    if (&stream == &std::cerr && text == last_problem_) return;
    if (&stream == &std::cerr) {
      last_problem_ = text;
      troubled_ = true;
    }
    stream << "trackrelay-remote-host: " << text << std::endl;
  }

  Options options_;
  std::vector<Pending> pending_;
  std::set<std::string> stuck_;
  std::string last_problem_;
  bool troubled_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  if (options.exec) {
#ifdef _WIN32
    std::cerr << "trackrelay-remote-host: --exec runs on POSIX only; on Windows this is the simulator\n";
    return 2;
#else
    trackrelay::remote_host::CommandHostOptions serving;
    serving.outbound = options.outbound;
    serving.inbound = options.inbound;
    fs::path outbound = options.outbound;
    if (!outbound.has_filename()) outbound = outbound.parent_path();
    serving.state = options.state ? *options.state : outbound.parent_path() / "remote-host";
    serving.keep = options.keep;
    serving.command = *options.exec;
    serving.jobs = options.jobs;
    serving.timeout = options.timeout;
    serving.once = options.once;
    serving.quiet = options.quiet;
    serving.metrics = options.metrics;
    if (options.keep) fs::create_directories(*options.keep);
    return trackrelay::remote_host::ServeWithCommand(serving);
#endif
  }
  for (const fs::path* folder : {&options.outbound, &options.inbound}) {
    if (!fs::is_directory(*folder)) {
      std::cerr << "trackrelay-remote-host: no folder " << folder->string() << "\n";
      return 2;
    }
  }
  if (options.keep) fs::create_directories(*options.keep);
  if (!options.quiet) {
    std::cout << "trackrelay-remote-host: taking requests from " << options.outbound.string() << ", answering in "
              << options.inbound.string() << std::endl;
  }
  RemoteHost host(options);
  trackrelay::remote_host::FolderPause pause(options.outbound);
  bool first_look = true;
  while (true) {
    if (!options.once || first_look) host.TakeRequests();
    first_look = false;
    host.AnswerDue();
    if (options.once && host.Idle()) return host.Troubled() ? 1 : 0;
    pause.Wait(host.Idle() ? kLookInterval : std::min(kLookInterval, host.UntilNextAnswer()));
  }
}
