// The real executable against a hostile share and hostile browsers: links, pipes and swapped
// folders on the drive, and requests that race for one number. Each must end in a fixed page in
// the usual time, with no local file read, written or deleted, and never another request's page.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <thread>
#include <utility>

#include "cgi/expected_pages.h"
#include "e2e/end_to_end.h"
#include "platform/testing/local_files.h"

namespace trackrelay::e2e {
namespace {

namespace fs = std::filesystem;
using expected::InternalErrorPage;
using expected::kHeader;
using expected::kTimeoutPage;

// A local folder outside the drives, with a file that no browser may ever see, and a file named
// like a response that nothing may delete.
class LocalSecrets {
 public:
  LocalSecrets() {
    char name[] = "/tmp/trackrelay-local-XXXXXX";
    if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = name;
    chmod(name, 0755);
    Write("secret.txt", kSecret);
    Write("7.out", kSecret);
  }
  ~LocalSecrets() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  static constexpr const char* kSecret = "LOCAL SECRET, never to be relayed";
  std::string Path(const std::string& name) const { return path_ + "/" + name; }
  const std::string& folder() const { return path_; }
  void Write(const std::string& name, const std::string& bytes) const { WriteLocalFile(Path(name), bytes); }
  std::string Read(const std::string& name) const { return ReadLocalFile(Path(name)).value_or("<missing>"); }
  // Everything here is as it was made: read nothing into a page, wrote nothing, deleted nothing.
  void ExpectUntouched(const std::string& what) const {
    EXPECT_EQ(Read("secret.txt"), kSecret) << what;
    EXPECT_EQ(Read("7.out"), kSecret) << what;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"7.out", "secret.txt"})) << what;
  }

 private:
  std::string path_;
};

Invocation Get(const std::string& query) {
  Invocation run;
  run.env = GetEnvironment(query);
  return run;
}

// Waits, at most kHelperPatience and only until give_up is set, until the path exists (links and
// pipes included).
bool AwaitPath(const std::string& path, const std::atomic<bool>* give_up = nullptr) {
  const auto deadline = std::chrono::steady_clock::now() + kHelperPatience;
  struct stat st;
  while (lstat(path.c_str(), &st) != 0) {
    if (std::chrono::steady_clock::now() > deadline || (give_up != nullptr && *give_up)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Waits as long as AwaitPath for the flag to be set.
void AwaitFlag(const std::atomic<bool>& flag) {
  const auto deadline = std::chrono::steady_clock::now() + kHelperPatience;
  while (!flag && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Takes the request of the number as the remote host does, out of the program's folder, when
// it is there still; it is kept beside the drives for the test to read (TakenRequest).
void Take(const DriveRoot& root, const std::string& number) {
  std::error_code already_taken;
  fs::rename(root.Local("r:\\fromnt\\" + number + ".DAT"), root.path() + "/taken-" + number + ".DAT", already_taken);
}

std::string TakenRequest(const DriveRoot& root, const std::string& number) {
  std::ifstream in(root.path() + "/taken-" + number + ".DAT", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Takes the request, then puts the real answer in place of whatever stands at r:\tont\N.out,
// by a rename.
void Answer(const DriveRoot& root, const std::string& number, const std::string& response) {
  Take(root, number);
  root.Write("r:\\tont\\" + number + ".tmp", response);
  fs::rename(root.Local("r:\\tont\\" + number + ".tmp"), root.Local("r:\\tont\\" + number + ".out"));
}

// In a thread: once the request of the number is published, plays the attacker, waits long
// enough for several looks, then plays the remote host. A request that is never published
// (it failed before) leaves it idle.
class Attack {
 public:
  Attack(const DriveRoot& root, const std::string& number, std::function<void()> after_publication,
         std::function<void()> then)
      : thread_([this, &root, number, after_publication, then] {
          if (!AwaitPath(root.Local("r:\\fromnt\\" + number + ".DAT"), &done_)) return;
          after_publication();
          std::this_thread::sleep_for(std::chrono::milliseconds(350));
          then();
        }) {}
  ~Attack() {
    done_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// A bound on the time of a run that must not wait: a hang would take the 45 s of the wait, or for
// ever, while a loaded machine may take seconds to start and end a process (Wine more).
double Quick() { return UnderWine() ? 30.0 : 20.0; }

// What the page of a request must be when its answer is the given text.
std::string Relayed(const std::string& text) { return kHeader + text + "\r\n\r\n"; }

TEST(AttackEndToEnd, NothingOnTheShareLeadsTheProgramToALocalFile) {
  struct Case {
    std::string name;
    // Done before the run; then, once the request is published, the attack, and then the answer.
    std::function<void(const DriveRoot&, const LocalSecrets&)> before, attack, answer;
    std::string page;
    std::string request;  // what the request file taken held; empty: no request file
  };
  auto nothing = [](const DriveRoot&, const LocalSecrets&) {};
  auto answer = [](const DriveRoot& r, const LocalSecrets&) { Answer(r, "7", "the real answer"); };
  // Wine removes no Unix FIFO through Windows calls, and follows a Unix symbolic link whatever it
  // is asked, so that a delete or a rename of one would act on its target: there the program
  // refuses a stale temporary request file of either kind (internal error 2) rather than
  // replace it. Nothing local is read, written or deleted either way.
  const std::string stale_special_page = UnderWine() ? InternalErrorPage("2") : Relayed("the real answer");
  const std::string stale_special_request = UnderWine() ? "" : "TRACKNO=7\r\n";
  const Case cases[] = {
      {"the response is a link to a local file", nothing,
       [](const DriveRoot& r, const LocalSecrets& s) { fs::create_symlink(s.Path("secret.txt"), r.Local("r:\\tont\\7.out")); },
       answer, Relayed("the real answer"), "TRACKNO=7\r\n"},
      {"the response is a link to a local folder's file of that name", nothing,
       [](const DriveRoot& r, const LocalSecrets& s) { fs::create_symlink(s.Path("7.out"), r.Local("r:\\tont\\7.out")); },
       answer, Relayed("the real answer"), "TRACKNO=7\r\n"},
      {"the response is a pipe", nothing,
       [](const DriveRoot& r, const LocalSecrets&) { mkfifo(r.Local("r:\\tont\\7.out").c_str(), 0666); }, answer,
       Relayed("the real answer"), "TRACKNO=7\r\n"},
      {"the inbound folder is a link to a local folder", nothing,
       [](const DriveRoot& r, const LocalSecrets& s) {
         fs::rename(r.Local("r:\\tont"), r.Local("r:\\tont.real"));
         fs::create_symlink(s.folder(), r.Local("r:\\tont"));
       },
       [](const DriveRoot& r, const LocalSecrets&) {
         Take(r, "7");
         r.Write("r:\\tont.real\\7.out", "the real answer");
         fs::remove(r.Local("r:\\tont"));
         fs::rename(r.Local("r:\\tont.real"), r.Local("r:\\tont"));
       },
       Relayed("the real answer"), "TRACKNO=7\r\n"},
      {"the temporary request file is a link to a local file",
       [](const DriveRoot& r, const LocalSecrets& s) { fs::create_symlink(s.Path("secret.txt"), r.Local("r:\\fromnt\\t7.DAT")); },
       nothing, answer, stale_special_page, stale_special_request},
      {"the temporary request file is a pipe",
       [](const DriveRoot& r, const LocalSecrets&) { mkfifo(r.Local("r:\\fromnt\\t7.DAT").c_str(), 0666); }, nothing,
       answer, stale_special_page, stale_special_request},
      {"the temporary request file is a hard link to another file",
       [](const DriveRoot& r, const LocalSecrets&) {
         r.Write("r:\\fromnt\\other.txt", "another file\r\n");
         fs::create_hard_link(r.Local("r:\\fromnt\\other.txt"), r.Local("r:\\fromnt\\t7.DAT"));
       },
       nothing, answer, Relayed("the real answer"), "TRACKNO=7\r\n"},
      {"the outbound folder is a link to a local folder",
       [](const DriveRoot& r, const LocalSecrets& s) {
         fs::remove_all(r.Local("r:\\fromnt"));
         fs::create_symlink(s.folder(), r.Local("r:\\fromnt"));
       },
       nothing, nothing, InternalErrorPage("2"), ""},
  };
  for (const Case& c : cases) {
    DriveRoot root;
    LocalSecrets secrets;
    c.before(root, secrets);
    Outcome out;
    {
      Attack attack(root, "7", [&] { c.attack(root, secrets); }, [&] { c.answer(root, secrets); });
      out = RunTrackrelay(Get("TRACKNO=7"), root);
    }
    EXPECT_EQ(out.output, c.page) << c.name;
    EXPECT_LT(out.seconds, Quick()) << c.name;
    EXPECT_EQ(out.output.find("SECRET"), std::string::npos) << c.name;
    secrets.ExpectUntouched(c.name);
    if (!c.request.empty()) {
      EXPECT_EQ(TakenRequest(root, "7"), c.request) << c.name;
      EXPECT_FALSE(root.Exists("r:\\fromnt\\t7.DAT")) << c.name;
    }
    if (root.Exists("r:\\fromnt\\other.txt")) {
      EXPECT_EQ(root.Read("r:\\fromnt\\other.txt"), "another file\r\n") << c.name;
    }
  }
}

// N of a complete request file N.DAT, or empty text for any other name.
std::string NumberOfRequest(const std::string& name) {
  if (name.size() < 5 || name.compare(name.size() - 4, 4, ".DAT") != 0) return "";
  const std::string number = name.substr(0, name.size() - 4);
  const std::size_t digits = number[0] == '-' ? 1 : 0;
  if (number.size() == digits || number.find_first_not_of("0123456789", digits) != std::string::npos) return "";
  return number;
}

// Stands in for the remote host in the races: answers each request file with its own content,
// so that every page shows which request it answers.
class EchoingRemoteHost {
 public:
  explicit EchoingRemoteHost(const DriveRoot& root)
      : thread_([this, &root] {
          while (!stop_) {
            for (const auto& entry : fs::directory_iterator(root.Local("r:\\fromnt"))) {
              const std::string name = entry.path().filename();
              const std::string number = NumberOfRequest(name);
              if (number.empty()) continue;
              const std::string bytes = root.Read("r:\\fromnt\\" + name);
              fs::remove(entry.path());
              const std::string answer = bytes.substr(0, bytes.size() - 2);  // without its CR LF
              root.Write("r:\\tont\\t" + number + ".out", answer);
              fs::rename(root.Local("r:\\tont\\t" + number + ".out"), root.Local("r:\\tont\\" + number + ".out"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
          }
        }) {}
  ~EchoingRemoteHost() {
    stop_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(AttackEndToEnd, TwoRequestsOfOneNumberAtOnceNeverSeeEachOthersPage) {
  const int rounds = UnderWine() ? 25 : 100;
  DriveRoot root;
  EchoingRemoteHost remote(root);
  int own = 0, busy = 0, crossed = 0;
  for (int round = 0; round < rounds; ++round) {
    const std::string queries[2] = {"TRACKNO=41&who=first" + std::to_string(round),
                                    "TRACKNO=41&who=second" + std::to_string(round)};
    Outcome outs[2];
    std::thread second([&] { outs[1] = RunTrackrelay(Get(queries[1]), root); });
    outs[0] = RunTrackrelay(Get(queries[0]), root);
    second.join();
    for (int i = 0; i < 2; ++i) {
      if (outs[i].output == Relayed(queries[i])) {
        ++own;
      } else if (outs[i].output == InternalErrorPage("3")) {
        ++busy;
      } else {
        ++crossed;
        ADD_FAILURE() << "round " << round << ": " << queries[i] << " got " << outs[i].output;
      }
    }
  }
  std::printf("same number at once: %d rounds, %d own pages, %d busy pages, %d crossed\n", rounds, own, busy, crossed);
  EXPECT_EQ(crossed, 0);
  EXPECT_GE(own, rounds) << "in every round at least one of the two is served";
}

TEST(AttackEndToEnd, ANumberTypedByHandCannotTakeTheAnswerAnotherRequestWaitsFor) {
  DriveRoot root;
  // The remote host takes the waiting request's file at once, and answers only once the
  // intruder is through, so that the first request still waits meanwhile however slowly a
  // process starts. The intruder starts only once the first request is taken: started
  // earlier (a program under Wine on a loaded machine took over 20 s to publish), it would be
  // the first itself.
  std::atomic<bool> taken{false}, looked{false}, intruded{false};
  std::thread remote([&] {
    taken = AwaitPath(root.Local("r:\\fromnt\\41.DAT")) && fs::remove(root.Local("r:\\fromnt\\41.DAT"));
    looked = true;
    if (!taken) return;
    AwaitFlag(intruded);
    Answer(root, "41", "the answer for the first request");
  });
  Outcome waiting, intruder;
  std::thread first([&] { waiting = RunTrackrelay(Get("TRACKNO=41&who=first"), root); });
  AwaitFlag(looked);
  if (taken) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    intruder = RunTrackrelay(Get("TRACKNO=41&who=intruder"), root);
  }
  intruded = true;
  first.join();
  remote.join();
  ASSERT_TRUE(taken) << "the first request never published";
  EXPECT_EQ(intruder.output, InternalErrorPage("3"));
  EXPECT_LT(intruder.seconds, Quick());
  EXPECT_EQ(waiting.output, Relayed("the answer for the first request"));
  EXPECT_FALSE(root.Exists("r:\\fromnt\\t41.DAT")) << "the intruder wrote nothing";
  EXPECT_FALSE(root.Exists("r:\\fromnt\\41.DAT"));
}

TEST(AttackEndToEnd, TheCounterKeepsItsPermissionsWhenReplaced) {
  if (UnderWine()) {
    GTEST_SKIP() << "Wine maps Windows rights onto Unix modes lossily: the owner's rights go to the group too and "
                    "the group's are never shown, so no Windows program can keep 0600, 0640 or 0664 there "
                    "(file_system_win32_test checks that the replacement takes the counter's rights)";
  }
  // A confined process may give its files no bits beyond read and write for the owner and group
  // and read for others (search too): a counter writable by others, or set-ID, keeps the rest.
  const std::pair<mode_t, mode_t> modes[] = {{0600, 0600}, {0640, 0640}, {0664, 0664}, {0666, 0664}, {06775, 0775}};
  for (const auto& [mode, kept] : modes) {
    DriveRoot root;
    root.Write("c:\\woe\\track.txt", " 41 \r\n");
    chmod(root.Local("c:\\woe\\track.txt").c_str(), mode);
    std::thread remote([&] {
      if (AwaitPath(root.Local("r:\\fromnt\\41.DAT"))) Answer(root, "41", "ok");
    });
    Outcome out = RunTrackrelay(Get("TRACKNO=0"), root);
    remote.join();
    EXPECT_EQ(out.output, Relayed("ok"));
    EXPECT_EQ(root.Read("c:\\woe\\track.txt"), " 42 \r\n");
    struct stat st;
    ASSERT_EQ(stat(root.Local("c:\\woe\\track.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, kept) << std::oct << mode;
  }
}

}  // namespace
}  // namespace trackrelay::e2e
