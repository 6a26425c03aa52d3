// trackrelay-remote-host --exec with the real program: requests served by a command of the
// administrator's, relayed byte for byte; failing, slow and crashing remote hosts; many requests
// at once. The program is the POSIX build's, or trackrelay.exe under Wine; the remote host runs
// on this machine, where the files are.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <functional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cgi/expected_pages.h"
#include "e2e/end_to_end.h"
#include "e2e/exec_host_end_to_end.h"
#include "platform/testing/local_files.h"
#include "remote_host/command_environment.h"
#include "remote_host/exec_host.h"

namespace trackrelay::e2e {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

TEST(RemoteHostCommandEndToEnd, TheCommandsAnswerIsRelayedByteForByte) {
  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 41 \r\n");
  // LF, CR LF and no line end at all, bytes beyond ASCII, a field from the environment and the
  // form input from standard input.
  RemoteHost host(root, {"--exec",
                         "printf '<!DOCTYPE html>\\n<html><body>\\n<h1>Number %s</h1>\\r\\n<p>%s caf\\303\\251</p>\\n' "
                         "\"$TRACKRELAY_NUMBER\" \"$FORM_name\"; printf '<pre>'; cat; printf '</pre>\\n</body></html>'"});
  const std::string answer =
      "<!DOCTYPE html>\r\n<html><body>\r\n<h1>Number 41</h1>\r\n<p>Ada Lovelace caf\xC3\xA9</p>\r\n"
      "<pre>TRACKNO=0&name=Ada+Lovelace</pre>\r\n</body></html>\r\n";
  const Outcome out = RunTrackrelay(Get("TRACKNO=0&name=Ada+Lovelace"), root);
  EXPECT_EQ(out.exit_status, 0);
  EXPECT_EQ(out.output, Relayed(answer));

  Invocation post;
  post.env = PostEnvironment("20");
  post.stdin_pieces = {"TRACKNO=7&name=Grace"};
  EXPECT_EQ(RunTrackrelay(post, root).output,
            Relayed("<!DOCTYPE html>\r\n<html><body>\r\n<h1>Number 7</h1>\r\n<p>Grace caf\xC3\xA9</p>\r\n"
                    "<pre>TRACKNO=7&name=Grace</pre>\r\n</body></html>\r\n"));
  EXPECT_TRUE(Eventually([&] { return host.Log().find("7: answered") != std::string::npos; })) << host.Log();
  EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{});
  EXPECT_EQ(root.List("r:\\tont"), std::vector<std::string>{});
  EXPECT_EQ(host.Names("work"), std::vector<std::string>{});
  EXPECT_EQ(host.Names("error"), std::vector<std::string>{});
}

TEST(RemoteHostCommandEndToEnd, AFailingCommandGivesTheErrorPageAndKeepsTheRequestWithItsReason) {
  DriveRoot root;
  RemoteHost host(root, {"--exec", "echo 'no such customer' >&2; exit 3"});
  const Outcome out = RunTrackrelay(Get("TRACKNO=7"), root);
  EXPECT_EQ(out.output, Relayed(remote_host::ErrorPage("7")));
  ASSERT_TRUE(Eventually([&] { return host.Names("error").size() == 2; })) << host.Log();
  const std::vector<std::string> kept = host.Names("error");
  ASSERT_TRUE(kept[0].ends_with("-7.DAT") && kept[1].ends_with("-7.reason")) << kept[0] << " " << kept[1];
  EXPECT_EQ(ReadAll(host.State() + "/error/" + kept[0]), "TRACKNO=7\r\n");
  const std::string reason = ReadAll(host.State() + "/error/" + kept[1]);
  EXPECT_NE(reason.find("the command ended with status 3"), std::string::npos) << reason;
  EXPECT_NE(reason.find("no such customer"), std::string::npos) << reason;
  // The remote host says so once the page and the kept files are written.
  EXPECT_TRUE(Eventually([&] { return host.Log().find("7: FAILED: the command ended with status 3") != std::string::npos; }))
      << host.Log();
  EXPECT_EQ(host.Names("work"), std::vector<std::string>{});
  EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{});
}

TEST(RemoteHostCommandEndToEnd, ASlowCommandIsKilledWithAllItStartedAtItsDeadline) {
  DriveRoot root;
  const std::string started = root.path() + "/started.pid";
  RemoteHost host(root, {"--timeout", "1500", "--exec", "sleep 60 & echo $! > " + started + "; wait"});
  const Outcome out = RunTrackrelay(Get("TRACKNO=8"), root);
  EXPECT_EQ(out.output, Relayed(remote_host::ErrorPage("8")));
  EXPECT_GE(out.seconds, 1.4);
  // At its deadline of 1.5 s, not the command's 60 s nor the program's 45 s, with a loaded
  // machine's margin; under Wine the run's time includes Wine's start.
  EXPECT_LT(out.seconds, UnderWine() ? 40.0 : 20.0);
  EXPECT_TRUE(Eventually([&] { return host.Log().find("8: FAILED: the command was killed") != std::string::npos; }))
      << host.Log();
  EXPECT_NE(host.Log().find("at the deadline (--timeout)"), std::string::npos) << host.Log();
  // The process the command left in the background went with it.
  const std::string pid = ReadAll(started);
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(Eventually([&] {
    const std::string stat = ReadAll("/proc/" + std::to_string(std::stoi(pid)) + "/stat");
    return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
  }, milliseconds(5000)));
}

// Without --timeout the deadline is 43 s after publication: the program, which waits 45 s, still
// gets the error page rather than its timeout page.
TEST(RemoteHostCommandEndToEnd, ACommandThatRunsPastTheProgramsWaitIsKilledWhileTheProgramStillWaits) {
  DriveRoot root;
  RemoteHost host(root, {"--exec", "sleep 120"});
  const Outcome out = RunTrackrelay(Get("TRACKNO=9"), root);
  // The error page, not the timeout page: it came while the program was still looking.
  EXPECT_EQ(out.output, Relayed(remote_host::ErrorPage("9")));
  EXPECT_GE(out.seconds, 42.5);
  // At the remote host's deadline, 43 s after publication: that the program still looked then
  // is the page's to show. A loaded machine stretches the looks and the kill past 45 s; under
  // Wine the run's time includes Wine's start, seconds before the request is published.
  EXPECT_LT(out.seconds, UnderWine() ? 58.0 : 53.0);
  EXPECT_TRUE(Eventually([&] { return host.Log().find("43 s after publication") != std::string::npos; })) << host.Log();
}

TEST(RemoteHostCommandEndToEnd, ARequestUnderWayWhenTheRemoteHostCrashesIsServedAfterItsRestart) {
  DriveRoot root;
  const std::string runs = root.path() + "/runs";
  RemoteHost host(root, {"--exec", "echo run >> " + runs + "; sleep 2; printf '<p>%s</p>\\n' \"$TRACKRELAY_NUMBER\""});
  std::thread crash([&] {
    // Once the command runs for the request, the remote host dies. The run's start (Wine's, on a
    // loaded machine) may take long; the program waits 45 s.
    Eventually([&] { return ReadAll(runs) == "run\n"; }, std::chrono::milliseconds(40000));
    host.Crash();
    host.Start();
  });
  const Outcome out = RunTrackrelay(Get("TRACKNO=12"), root);
  crash.join();
  EXPECT_EQ(out.output, Relayed("<p>12</p>\r\n"));
  EXPECT_EQ(ReadAll(runs), "run\nrun\n") << "served once before the crash and once after";
  EXPECT_NE(host.Log().find("12: found in"), std::string::npos) << host.Log();
  EXPECT_TRUE(Eventually([&] { return host.Log().find("12: answered") != std::string::npos; })) << host.Log();
  EXPECT_EQ(host.Names("work"), std::vector<std::string>{});
  EXPECT_EQ(root.List("r:\\tont"), std::vector<std::string>{});
}

TEST(RemoteHostCommandEndToEnd, FiftyRequestsAtOnceWithFourCommandsAtATime) {
  DriveRoot root;
  root.Write("c:\\woe\\track.txt", " 100 \r\n");
  const std::string log = root.path() + "/commands.log";
  // Each command says when it starts and ends; short lines appended are written whole.
  RemoteHost host(root, {"--jobs", "4", "--quiet", "--exec",
                         "echo \"start $TRACKRELAY_NUMBER\" >> " + log + "; sleep 0.3; echo \"end $TRACKRELAY_NUMBER\" >> " +
                             log + "; printf '<p>%s %s</p>\\n' \"$TRACKRELAY_NUMBER\" \"$FORM_who\""});
  constexpr int kRequests = 50;
  std::vector<Outcome> outcomes(kRequests);
  std::vector<std::thread> clients;
  for (int i = 0; i < kRequests; ++i) {
    clients.emplace_back([&, i] { outcomes[i] = RunTrackrelay(Get("TRACKNO=0&who=client" + std::to_string(i)), root); });
  }
  for (std::thread& client : clients) client.join();
  std::set<std::string> numbers;
  for (int i = 0; i < kRequests; ++i) {
    const std::string& page = outcomes[i].output;
    const std::size_t at = page.find("<p>");
    ASSERT_NE(at, std::string::npos) << i << ": " << page;
    const std::string number = page.substr(at + 3, page.find(' ', at) - at - 3);
    EXPECT_EQ(page, Relayed("<p>" + number + " client" + std::to_string(i) + "</p>\r\n")) << i;
    numbers.insert(number);
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kRequests)) << "each request its own number";
  int running = 0, most = 0;
  std::istringstream lines(ReadAll(log));
  std::string word, number;
  while (lines >> word >> number) {
    running += word == "start" ? 1 : -1;
    most = std::max(most, running);
  }
  EXPECT_LE(most, 4);
  EXPECT_GE(most, 2) << "commands ran side by side";
  // The hand-over ends its request's marker only after the answer is out, so the last page may
  // come before the work folder is empty.
  EXPECT_TRUE(Eventually([&] { return host.Names("work").empty(); })) << "left in the work folder";
  EXPECT_EQ(host.Names("error"), std::vector<std::string>{});
}

// A stop kills the commands under way and leaves their requests for the next start, rather than
// failing them.
TEST(RemoteHostCommandEndToEnd, AStoppedRemoteHostLeavesTheRequestsUnderWayForItsNextStart) {
  DriveRoot root;
  const std::string started = root.path() + "/started.pid";
  std::unique_ptr<RemoteHost> host =
      std::make_unique<RemoteHost>(root, std::vector<std::string>{"--exec", "echo $$ > " + started + "; sleep 60"});
  std::unique_ptr<RemoteHost> restarted;
  std::thread stop([&] {
    Eventually([&] { return !ReadAll(started).empty(); });
    host->Terminate();
    EXPECT_EQ(host->Names("work"), std::vector<std::string>{"14.DAT"}) << host->Log();
    EXPECT_EQ(host->Names("error"), std::vector<std::string>{}) << host->Log();
    EXPECT_FALSE(root.Exists("r:\\tont\\14.out"));
    EXPECT_NE(host->Log().find("14: its command was stopped with the remote host"), std::string::npos) << host->Log();
    restarted = std::make_unique<RemoteHost>(root, std::vector<std::string>{"--exec", "echo '<p>after</p>'"});
  });
  const Outcome out = RunTrackrelay(Get("TRACKNO=14"), root);
  stop.join();
  EXPECT_EQ(out.output, Relayed("<p>after</p>\r\n"));
  const std::string stat = ReadAll("/proc/" + std::to_string(std::stoi(ReadAll(started))) + "/stat");
  EXPECT_TRUE(stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z") << "the command is gone";
}

// What a crash leaves in the work folder at each step of an answer, and what the next start
// makes of it: a request is answered at most once, and one whose command was running is served.
TEST(RemoteHostCommandEndToEnd, AfterACrashNoRequestIsAnsweredTwiceAndNoneIsLost) {
  DriveRoot root;
  const std::string runs = root.path() + "/runs";
  const std::string work = root.path() + "/remote-host/work";
  fs::create_directories(work);
  auto put = [](const std::string& path, const std::string& bytes, int age_s) {
    WriteLocalFile(path, bytes);
    const auto when = fs::file_time_type::clock::now() - std::chrono::seconds(age_s);
    fs::last_write_time(path, when);
  };
  put(work + "/12.answered", "TRACKNO=12\r\n", 1);  // answered, its answer not yet renamed in
  put(root.Remote("r:\\tont\\t12.out"), "<p>first</p>\r\n", 1);
  put(work + "/13.answered", "TRACKNO=13\r\n", 1);  // answered, and the program took it
  put(work + "/14.answered", "TRACKNO=14\r\n", 60);  // answered too late for the program now
  put(root.Remote("r:\\tont\\t14.out"), "<p>late</p>\r\n", 60);
  put(root.Remote("r:\\tont\\t15.out"), "<p>half</p>", 1);  // written for no request left
  put(work + "/16.DAT", "TRACKNO=16\r\n", 1);  // its command was running
  // An earlier request's answer to 16, which no program took: 16's program would take it.
  put(root.Remote("r:\\tont\\16.out"), "<p>an earlier request's</p>\r\n", 1);
  // Taken by a second name where the file system cannot rename without replacing, the first
  // name not yet removed.
  put(work + "/17.DAT", "TRACKNO=17\r\n", 1);
  fs::create_hard_link(work + "/17.DAT", root.Remote("r:\\fromnt\\17.DAT"));
  RemoteHost host(root, {"--once", "--jobs", "1", "--exec",
                         "echo \"$TRACKRELAY_NUMBER\" >> " + runs + "; echo '<p>again</p>'"});
  // The request answered too late counts as failed.
  EXPECT_EQ(host.Wait(), 1) << host.Log();
  std::vector<std::string> served;
  std::istringstream lines(ReadAll(runs));
  for (std::string line; std::getline(lines, line);) served.push_back(line);
  std::sort(served.begin(), served.end());
  EXPECT_EQ(served, (std::vector<std::string>{"16", "17"})) << "only the requests that were under way run again, once";
  EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{});
  EXPECT_EQ(root.List("r:\\tont"), (std::vector<std::string>{"12.out", "16.out", "17.out"}));
  EXPECT_EQ(root.Read("r:\\tont\\12.out"), "<p>first</p>\r\n");
  EXPECT_EQ(root.Read("r:\\tont\\16.out"), "<p>again</p>\r\n");
  EXPECT_EQ(host.Names("work"), std::vector<std::string>{});
  // The one too late for the program is not lost: it is kept with the failed requests.
  const std::vector<std::string> kept = host.Names("error");
  ASSERT_EQ(kept.size(), 2u) << host.Log();
  EXPECT_TRUE(kept[0].ends_with("-14.DAT") && kept[1].ends_with("-14.reason")) << kept[0];
  EXPECT_EQ(ReadAll(host.State() + "/error/" + kept[0]), "TRACKNO=14\r\n");
  EXPECT_NE(ReadAll(host.State() + "/error/" + kept[1]).find("came too late for the program"), std::string::npos);
}

// A request that dies while its command runs (the web server kills it, the browser goes away)
// leaves its answer to come; the next request of its number gets its own answer, never that one,
// whether the earlier answer lands before the next request is published or while it waits its
// turn behind the earlier one.
TEST(RemoteHostCommandEndToEnd, AnAnswerForARequestThatDiedNeverReachesTheNextOfItsNumber) {
  struct Case {
    std::string name;
    bool next_before_the_earlier_answer;  // the next request is published while the command runs
  };
  for (const Case& c : {Case{"the earlier answer lands first", false},
                        Case{"the next request waits its turn behind the earlier one", true}}) {
    DriveRoot root;
    RemoteHost host(root, {"--exec", "sleep \"${FORM_wait:-0}\"; echo \"<p>$TRACKRELAY_NUMBER for $FORM_who</p>\""});
    StartedRun dying = StartTrackrelay(Get("TRACKNO=21&who=a&wait=2"), root);
    ASSERT_TRUE(Eventually([&] { return fs::exists(host.State() + "/work/21.DAT"); })) << host.Log();
    kill(dying.pid(), SIGKILL);
    dying.Wait();
    if (!c.next_before_the_earlier_answer) {
      ASSERT_TRUE(Eventually([&] { return root.Exists("r:\\tont\\21.out"); })) << c.name << host.Log();
    }
    const Outcome next = RunTrackrelay(Get("TRACKNO=21&who=b"), root);
    EXPECT_EQ(next.output, Relayed("<p>21 for b</p>\r\n")) << c.name << host.Log();
    EXPECT_TRUE(Eventually([&] { return host.Names("work").empty(); })) << c.name << host.Log();
    EXPECT_EQ(root.List("r:\\tont"), std::vector<std::string>{}) << c.name;
    EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{}) << c.name;
  }
}

// An answer that nobody took (its program read it and lost its power before deleting it) would
// be relayed to the next request of its number; once no program can wait for it, it goes.
TEST(RemoteHostCommandEndToEnd, AnAnswerLeftBehindIsRemovedOnceNoProgramCanStillWaitForIt) {
  DriveRoot root;
  auto put = [&](const std::string& drive_path, int age_s) {
    root.Write(drive_path, "<p>answer</p>\r\n");
    fs::last_write_time(root.Remote(drive_path), fs::file_time_type::clock::now() - std::chrono::seconds(age_s));
  };
  put("r:\\tont\\20.out", 150);  // past any program's wait
  put("r:\\tont\\21.out", 80);   // a program whose share hung may still look for it
  put("r:\\tont\\t22.out", 150);  // no answer: a temporary one, the start's to clear
  // A request killed before it renamed its request file leaves the form input in it.
  put("r:\\fromnt\\t23.DAT", 150);
  put("r:\\fromnt\\t24.DAT", 10);  // a request may still be about to publish it
  RemoteHost host(root, {"--once", "--exec", "cat"});
  EXPECT_EQ(host.Wait(), 0) << host.Log();
  EXPECT_EQ(root.List("r:\\tont"), std::vector<std::string>{"21.out"});
  EXPECT_EQ(root.List("r:\\fromnt"), std::vector<std::string>{"t24.DAT"});
  EXPECT_NE(host.Log().find("20: its answer, left in"), std::string::npos) << host.Log();
  EXPECT_NE(host.Log().find("23: t23.DAT, a request file its program never published"), std::string::npos)
      << host.Log();
}

// A request whose answer cannot be written (the inbound folder away for a moment, a share's
// server that failed) stays in the work folder; it is served again while its program still
// waits, rather than holding up its number for good.
TEST(RemoteHostCommandEndToEnd, ARequestWhoseAnswerCouldNotBeWrittenIsServedAgain) {
  DriveRoot root;
  // The command answers once the test lets it.
  const std::string go = root.path() + "/go";
  RemoteHost host(root, {"--exec", "while [ ! -e " + go + " ]; do sleep 0.05; done; echo \"<p>answer to $TRACKRELAY_NUMBER</p>\""});
  StartedRun waiting = StartTrackrelay(Get("TRACKNO=25"), root);
  ASSERT_TRUE(Eventually([&] { return fs::exists(host.State() + "/work/25.DAT"); })) << host.Log();
  const std::string inbound = root.Remote("r:\\tont"), away = inbound + ".away";
  fs::rename(inbound, away);
  WriteLocalFile(inbound, "no folder");
  WriteLocalFile(go, "");
  ASSERT_TRUE(Eventually([&] { return host.Log().find("25: FAILED: its answer cannot be written") != std::string::npos; }))
      << host.Log();
  fs::remove(inbound);
  fs::rename(away, inbound);
  EXPECT_EQ(waiting.Wait().output, Relayed("<p>answer to 25</p>\r\n")) << host.Log();
  EXPECT_NE(host.Log().find("25: left in"), std::string::npos) << host.Log();
  EXPECT_TRUE(Eventually([&] { return host.Names("work").empty(); })) << host.Log();
}

// A request file that someone made a link is never read, by either way of serving: the remote
// host would echo or hand on a file of its own machine.
TEST(RemoteHostCommandEndToEnd, ARequestFileThatIsALinkIsNeverRead) {
  DriveRoot root;
  const std::string secret = root.path() + "/secret";
  std::ofstream(secret) << "secret";
  fs::create_symlink(secret, root.Remote("r:\\fromnt\\5.DAT"));
  {
    RemoteHost simulator(root, {"--once"});
    EXPECT_EQ(simulator.Wait(), 0);
  }
  EXPECT_FALSE(root.Exists("r:\\tont\\5.out")) << "the simulator leaves it alone";
  RemoteHost host(root, {"--once", "--exec", "cat"});
  EXPECT_EQ(host.Wait(), 1) << host.Log();
  EXPECT_EQ(root.Read("r:\\tont\\5.out"), remote_host::ErrorPage("5"));
  EXPECT_NE(host.Log().find("5: FAILED: the request file is a link, which is never followed"), std::string::npos)
      << host.Log();
  const std::vector<std::string> kept = host.Names("error");
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_TRUE(fs::is_symlink(host.State() + "/error/" + kept[0])) << "the link itself is kept";
  EXPECT_EQ(ReadAll(secret), "secret");
}

// The permission bits of the file or folder at path; ~0 when there is none.
mode_t ModeOf(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : ~mode_t{0};
}

// What the remote host keeps holds the whole form input, error/ for good: its folders are its
// own user's alone, narrowed so where an older build made them 0755 under the unit's umask, and
// so are the files it writes there and with --keep. The request file it keeps is the one the
// program made, which its group may read and nobody else.
TEST(RemoteHostCommandEndToEnd, WhatTheRemoteHostKeepsIsItsUsersAlone) {
  const mode_t umask_before = umask(022);  // the unit's, and a web server's usual one
  DriveRoot root;
  const std::string state = root.path() + "/remote-host";
  for (const char* folder : {"/work", "/error"}) {
    fs::create_directories(state + folder);
    fs::permissions(state + folder, fs::perms(0755));
  }
  const std::string keep = root.path() + "/kept";
  fs::create_directory(keep);
  RemoteHost host(root, {"--keep", keep, "--exec",
                         "[ \"$TRACKRELAY_NUMBER\" != 7 ] || exit 3; printf '<p>%s</p>\\n' \"$TRACKRELAY_NUMBER\""});
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=7&card=4111"), root).output, Relayed(remote_host::ErrorPage("7")));
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=8&card=4111"), root).output, Relayed("<p>8</p>\r\n"));
  ASSERT_TRUE(Eventually([&] { return host.Names("error").size() == 2 && host.Log().find("8: answered") != std::string::npos; }))
      << host.Log();
  const std::vector<std::string> kept = host.Names("error");
  ASSERT_TRUE(kept[0].ends_with("-7.DAT") && kept[1].ends_with("-7.reason")) << kept[0];
  const std::pair<std::string, mode_t> modes[] = {
      {state + "/work", 0700},
      {state + "/error", 0700},
      {state + "/lock", 0600},
      {state + "/error/" + kept[1], 0600},
      {keep + "/8.DAT", 0600},
      {keep + "/8.out", 0600},
  };
  for (const auto& [path, mode] : modes) EXPECT_EQ(ModeOf(path), mode) << path << ": " << std::oct << ModeOf(path);
  // The program's own request file: Wine makes its files by its own rules, and a share's server
  // by the share's.
  if (!UnderWine() && !SharedDrive()) {
    EXPECT_EQ(ModeOf(state + "/error/" + kept[0]), 0640u) << std::oct << ModeOf(state + "/error/" + kept[0]);
  }
  umask(umask_before);
}

// How often text stands in the log.
std::size_t Occurrences(const std::string& log, const std::string& text) {
  std::size_t count = 0;
  for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
  return count;
}

// Names of a request's shape that the program never writes are nobody's requests: a share
// writer's number of 247 digits (its answer's name would pass what a folder holds) and a
// number with a leading zero stay where they are, said once, and no command runs for them; one
// that a remote host of an older build took into its work folder goes to error/ under a short
// name at the start. The program's own request of that number is served as ever.
TEST(RemoteHostCommandEndToEnd, ANameThatIsNoTrackingNumberIsNeverServed) {
  DriveRoot root;
  const std::string runs = root.path() + "/runs";
  const std::string long_name = std::string(244, '0') + "042.DAT";
  const std::string taken_name = std::string(245, '0') + "43.DAT";
  root.Write("r:\\fromnt\\" + long_name, "TRACKNO=42&from=share\r\n");
  root.Write("r:\\fromnt\\00042.DAT", "TRACKNO=42&from=share\r\n");
  {
    RemoteHost simulator(root, {"--once"}, root.path() + "/simulator.log");
    EXPECT_EQ(simulator.Wait(), 1) << "not taken";
    EXPECT_NE(simulator.Log().find("00042.DAT: not taken: its name is no tracking number"), std::string::npos)
        << simulator.Log();
  }
  EXPECT_EQ(root.List("r:\\tont"), std::vector<std::string>{});
  const std::string work = root.path() + "/remote-host/work";
  fs::create_directories(work);
  WriteLocalFile(work + "/" + taken_name, "TRACKNO=43\r\n");

  RemoteHost host(root, {"--exec", "echo \"$TRACKRELAY_NUMBER\" >> " + runs + "; printf '<p>%s</p>\\n' \"$TRACKRELAY_NUMBER\""});
  EXPECT_EQ(RunTrackrelay(Get("TRACKNO=42"), root).output, Relayed("<p>42</p>\r\n"));
  ASSERT_TRUE(Eventually([&] { return host.Log().find("42: answered") != std::string::npos; })) << host.Log();
  // Looks go on every 50 ms; none says it again, none takes them.
  std::this_thread::sleep_for(milliseconds(500));
  EXPECT_EQ(ReadAll(runs), "42\n") << "no command ran for the misnamed files";
  EXPECT_EQ(root.List("r:\\fromnt"), (std::vector<std::string>{long_name, "00042.DAT"}));
  const std::string log = host.Log();
  EXPECT_EQ(Occurrences(log, "trackrelay-remote-host: " + long_name + ": not taken"), 1u) << log;
  EXPECT_EQ(Occurrences(log, "trackrelay-remote-host: 00042.DAT: not taken"), 1u) << log;
  EXPECT_EQ(host.Names("work"), std::vector<std::string>{});
  const std::vector<std::string> kept = host.Names("error");
  ASSERT_EQ(kept.size(), 2u) << log;
  EXPECT_TRUE(kept[0].ends_with("-misnamed.DAT") && kept[1].ends_with("-misnamed.reason")) << kept[0];
  EXPECT_EQ(ReadAll(host.State() + "/error/" + kept[0]), "TRACKNO=43\r\n");
  EXPECT_NE(ReadAll(host.State() + "/error/" + kept[1]).find("a file named " + taken_name), std::string::npos);
  EXPECT_NE(log.find(taken_name + ": found in"), std::string::npos) << log;
  EXPECT_EQ(root.List("r:\\tont"), std::vector<std::string>{});
}

}  // namespace
}  // namespace trackrelay::e2e
