#include "platform/file_system_posix.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "platform/file_system_common.h"
#include "platform/system.h"
#include "platform/testing/scratch_drive.h"
#include "platform/testing/test_helpers.h"

namespace trackrelay {
namespace {

struct LineCase {
  std::string bytes;
  std::vector<std::string> lines;
};

TEST(TextFileReaderTest, SplitsLinesTheSameWhereverTheReadsEnd) {
  const LineCase cases[] = {
      {"a\r\nb", {"a", "b"}},          {"\r\n\r\n", {"", ""}}, {"\r\r", {"", ""}},
      {"ab\r\ncd\re\n\r\n", {"ab", "cd", "e\n"}}, {"\n", {"\n"}},     {"abcdefg", {"abcdefg"}},
      {"a\r", {"a"}},                   {"\r\n\n\r\r\n", {"", "\n", ""}},
  };
  ScratchDrive drive;
  for (const LineCase& c : cases) {
    drive.Write("r:\\tont\\1.out", c.bytes);
    for (std::size_t chunk : {1, 2, 3, 4, 7}) {
      const int fd = open(drive.Local("r:\\tont\\1.out").c_str(), O_RDONLY);
      ASSERT_GE(fd, 0);
      std::unique_ptr<TextFileReader> reader = MakeTextFileReader(fd, chunk);
      // Without AtEnd in between: ReadLine alone finds where the lines end, and then the end.
      std::vector<std::string> lines;
      while (FailureOf([&] { lines.push_back(reader->ReadLine()); }) == 0) {
      }
      EXPECT_EQ(lines, c.lines) << "chunk " << chunk << ", bytes: " << c.bytes;
      EXPECT_TRUE(reader->AtEnd());
    }
  }
}

// Root may write anywhere, so access checks are made as nobody.
class AsNobody {
 public:
  explicit AsNobody(bool wanted) : dropped_(wanted && geteuid() == 0 && seteuid(65534) == 0) {}
  ~AsNobody() {
    if (dropped_ && seteuid(0) != 0) std::abort();
  }

 private:
  bool dropped_;
};

// The lock file and byte that the tests lock, as the counter's lock does.
const std::string kLock = "c:\\woe\\track.claims";
constexpr std::int64_t kSlot = 65536;
// Longer than any test waits for a lock that is let go.
constexpr std::uint64_t kWait = 90000;

struct FailureCase {
  const char* what;
  std::function<void(System&)> action;
  int number;
  bool as_nobody;
};

// The errors of every System are in the contract test; these are the ones of permissions, which
// only someone other than root meets.
TEST(PosixSystemTest, ReadOnlyFilesAndFoldersAreKeptWithPermissionDenied) {
  ScratchDrive drive;
  drive.MakeFolder("r:\\ro");
  drive.Write("r:\\ro\\f.txt", "keep\r\n");
  chmod(drive.Local("r:\\ro\\f.txt").c_str(), 0444);
  chmod(drive.Local("r:\\ro").c_str(), 0555);
  const FailureCase cases[] = {
      {"create read-only", [](System& s) { s.WriteTextFile("r:\\ro\\new.txt", "a", Readers::kEveryone); },
       kPermissionDenied, true},
      {"truncate read-only", [](System& s) { s.WriteTextFile("r:\\ro\\f.txt", "a", Readers::kEveryone); },
       kPermissionDenied, true},
      {"rename read-only",
       [](System& s) { s.RenameNoReplace("r:\\ro\\f.txt", "r:\\ro\\g.txt"); }, kPermissionDenied, true},
      {"replace read-only",
       [](System& s) { s.RenameReplacing("r:\\ro\\f.txt", "r:\\ro\\g.txt"); }, kPermissionDenied, true},
      {"remove read-only", [](System& s) { s.RemoveFile("r:\\ro\\f.txt"); }, kPermissionDenied, true},
      {"read read-only", [](System& s) { s.OpenTextFile("r:\\ro\\f.txt"); }, 0, true},
  };
  for (const FailureCase& c : cases) {
    AsNobody nobody(c.as_nobody);
    EXPECT_EQ(FailureOf([&] { c.action(CurrentSystem()); }), c.number) << c.what;
  }
  EXPECT_EQ(drive.Read("r:\\ro\\f.txt"), "keep\r\n");
  chmod(drive.Local("r:\\ro").c_str(), 0755);
}

struct LookUpCase {
  const char* what;
  std::function<void(const ScratchDrive&)> make;
  bool folder_listable;
  std::string stored;
};

// A look must stay one stat or three however full the folder is: it reads the folder only where
// the name in the other case finds a file as well, as on a share that folds case.
TEST(PosixSystemTest, LookUpReadsTheFolderOnlyWhereTheOtherCaseFindsAFileToo) {
  const std::string exact = "r:\\tont\\42.out", other = "r:\\tont\\42.OUT";
  auto write = [](const std::string& path) { return [path](const ScratchDrive& d) { d.Write(path, "x"); }; };
  auto both = [&](const ScratchDrive& d) {
    d.Write(exact, "x");
    d.Write(other, "y");
  };
  // What a case-folding share shows: both spellings reach one file.
  auto folded = [&](const ScratchDrive& d) {
    d.Write(exact, "x");
    ASSERT_EQ(link(d.Local(exact).c_str(), d.Local(other).c_str()), 0);
  };
  const LookUpCase cases[] = {
      {"the name alone, unlistable folder", write(exact), false, "42.out"},
      {"the name alone", write(exact), true, "42.out"},
      {"the other case alone", write(other), true, ""},
      {"both, as two files", both, true, "42.out"},
      {"both, as one file", folded, true, "42.out"},
      {"both, unlistable folder: the folder must be read", both, false, ""},
  };
  for (const LookUpCase& c : cases) {
    ScratchDrive drive;
    c.make(drive);
    const std::string folder = drive.Local("r:\\tont");
    chmod(folder.c_str(), c.folder_listable ? 0755 : 0311);
    {
      AsNobody nobody(!c.folder_listable);
      EXPECT_EQ(CurrentSystem().LookUpPlainFile(exact), c.stored) << c.what;
    }
    chmod(folder.c_str(), 0755);
  }
}

// The rename for file systems that refuse RENAME_NOREPLACE; the usual path is tried by publishing requests.
TEST(PosixSystemTest, RenameByLinkingNeverReplaces) {
  ScratchDrive drive;
  drive.Write("r:\\fromnt\\t42.DAT", "new\r\n");
  drive.Write("r:\\fromnt\\42.DAT", "old\r\n");
  EXPECT_EQ(FailureOf([] { RenameByLinking("r:\\fromnt\\t42.DAT", "r:\\fromnt\\42.DAT"); }), kFileAlreadyExists);
  EXPECT_EQ(drive.Read("r:\\fromnt\\t42.DAT"), "new\r\n");
  EXPECT_EQ(drive.Read("r:\\fromnt\\42.DAT"), "old\r\n");
  RenameByLinking("r:\\fromnt\\t42.DAT", "r:\\fromnt\\43.DAT");
  EXPECT_FALSE(drive.Exists("r:\\fromnt\\t42.DAT"));
  EXPECT_EQ(drive.Read("r:\\fromnt\\43.DAT"), "new\r\n");
}

namespace fs = std::filesystem;

// A file outside the drives that nothing on a drive may lead to.
struct Outside {
  Outside() {
    char name[] = "/tmp/trackrelay-outside-XXXXXX";
    folder = mkdtemp(name);
    std::ofstream(folder + "/secret") << "secret";
  }
  ~Outside() { fs::remove_all(folder); }
  std::string secret() const { return folder + "/secret"; }
  std::string Contents() const {
    std::ifstream in(secret());
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string folder;
};

struct HostileCase {
  const char* what;
  std::function<void(const ScratchDrive&, const Outside&)> make;
  std::function<void(System&)> action;
  int number;  // the failure the action raises, or 0
};

// Nothing that someone put on the share leads the program off it: not a link to a file or
// folder, not a pipe, not a hard link. Each case also proves that it returns at once.
TEST(PosixSystemTest, FollowsNoLinkOpensNoPipeAndWritesThroughNothing) {
  auto link_to_secret = [](const std::string& at) {
    return [at](const ScratchDrive& d, const Outside& o) { fs::create_symlink(o.secret(), d.Local(at)); };
  };
  auto fifo = [](const std::string& at) {
    return [at](const ScratchDrive& d, const Outside&) { ASSERT_EQ(mkfifo(d.Local(at).c_str(), 0666), 0); };
  };
  auto folder_link = [](const std::string& at) {
    return [at](const ScratchDrive& d, const Outside& o) {
      d.Remove(at);
      fs::create_symlink(o.folder, d.Local(at));
    };
  };
  const HostileCase cases[] = {
      {"read a linked response", link_to_secret("r:\\tont\\1.out"), [](System& s) { s.OpenTextFile("r:\\tont\\1.out"); },
       kPermissionDenied},
      {"read a pipe", fifo("r:\\tont\\1.out"), [](System& s) { s.OpenTextFile("r:\\tont\\1.out"); }, kPermissionDenied},
      {"read through a linked folder", folder_link("r:\\tont"), [](System& s) { s.OpenTextFile("r:\\tont\\secret"); },
       kPathNotFound},
      {"lock a linked counter", link_to_secret("c:\\woe\\track.txt"),
       [](System& s) { s.OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait); }, kPermissionDenied},
      {"lock a counter in a linked folder below c:\\woe", folder_link("c:\\woe\\sub"),
       [](System& s) { s.OpenTextFileLocked("c:\\woe\\sub\\secret", kLock, kSlot, kWait); }, kPathNotFound},
      {"lock through a linked lock file", link_to_secret("c:\\woe\\track.claims"),
       [](System& s) { s.OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait); }, kPermissionDenied},
      {"write over a link", link_to_secret("r:\\fromnt\\t1.DAT"),
       [](System& s) { s.WriteTextFile("r:\\fromnt\\t1.DAT", "form\r\n", Readers::kOwnerAndGroup); }, 0},
      {"write over a pipe", fifo("r:\\fromnt\\t1.DAT"),
       [](System& s) { s.WriteTextFile("r:\\fromnt\\t1.DAT", "form\r\n", Readers::kOwnerAndGroup); },
       0},
      {"write over a hard link",
       [](const ScratchDrive& d, const Outside&) {
         d.Write("r:\\fromnt\\other", "other");
         ASSERT_EQ(link(d.Local("r:\\fromnt\\other").c_str(), d.Local("r:\\fromnt\\t1.DAT").c_str()), 0);
       },
       [](System& s) { s.WriteTextFile("r:\\fromnt\\t1.DAT", "form\r\n", Readers::kOwnerAndGroup); }, 0},
      {"write durably over a link", link_to_secret("c:\\woe\\track.new"),
       [](System& s) { s.WriteTextFileLike("c:\\woe\\track.new", "form\r\n", "c:\\woe\\track.txt"); }, 0},
      {"write into a linked folder", folder_link("r:\\fromnt"),
       [](System& s) { s.WriteTextFile("r:\\fromnt\\secret", "form\r\n", Readers::kOwnerAndGroup); }, kPathNotFound},
      {"publish into a linked folder", folder_link("r:\\fromnt"),
       [](System& s) { s.RenameNoReplace("r:\\fromnt\\t1.DAT", "r:\\fromnt\\secret"); }, kPathNotFound},
      {"remove a linked response", link_to_secret("r:\\tont\\1.out"), [](System& s) { s.RemoveFile("r:\\tont\\1.out"); },
       0},
      {"remove through a linked folder", folder_link("r:\\tont"), [](System& s) { s.RemoveFile("r:\\tont\\secret"); },
       kPathNotFound},
      {"claim in a linked folder below c:\\woe", folder_link("c:\\woe\\sub"),
       [](System& s) { s.ClaimForProcess("c:\\woe\\sub\\secret", 1); }, kPathNotFound},
      {"claim in a linked folder of the share", folder_link("r:\\fromnt"),
       [](System& s) { s.ClaimForProcess("r:\\fromnt\\secret", 1); }, kPathNotFound},
      {"claim through a linked claims file", link_to_secret("c:\\woe\\track.claims"),
       [](System& s) { s.ClaimForProcess("c:\\woe\\track.claims", 1); }, kPermissionDenied},
      {"climb out with ..", [](const ScratchDrive&, const Outside&) {},
       [](System& s) { s.OpenTextFile("r:\\tont\\..\\..\\..\\etc\\passwd"); }, kPathNotFound},
  };
  for (const HostileCase& c : cases) {
    ScratchDrive drive;
    Outside outside;
    c.make(drive, outside);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([&] { c.action(CurrentSystem()); }), c.number) << c.what;
    // Refused at once: never the lock's kWait, nor an open that blocks for ever (a pipe). The
    // bound leaves a loaded machine seconds.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << c.what;
    EXPECT_EQ(outside.Contents(), "secret") << c.what;
    if (drive.Exists("r:\\fromnt\\other")) {
      EXPECT_EQ(drive.Read("r:\\fromnt\\other"), "other") << c.what;
    }
    for (const char* written : {"r:\\fromnt\\t1.DAT", "c:\\woe\\track.new"}) {
      struct stat st;
      if (lstat(drive.Local(written).c_str(), &st) == 0 && c.number == 0) {
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << c.what << ": a new file of its own";
        EXPECT_EQ(drive.Read(written), "form\r\n") << c.what;
      }
    }
  }
}

// c:\woe itself is the administrator's, on the web server's own disk, and may be a link to where
// the counter and the claims lie on a share that several web servers use: the counter is read,
// replaced and locked, and numbers claimed, there. What lies below it is walked as anywhere.
TEST(PosixSystemTest, ALinkAtCWoeItselfLeadsToTheFolderItNames) {
  ScratchDrive drive;
  Outside share;
  std::ofstream(share.folder + "/track.txt") << " 41 \r\n";
  fs::create_directory(share.folder + "/sub");
  drive.Remove("c:\\woe");
  fs::create_directory_symlink(share.folder, drive.Local("c:\\woe"));
  System& system = CurrentSystem();
  {
    std::unique_ptr<TextFileReader> held = system.OpenTextFileLocked("C:\\woe\\track.txt", kLock, kSlot, kWait);
    EXPECT_EQ(held->ReadLine(), " 41 ");
    EXPECT_FALSE(ByteIsFree(share.folder + "/track.claims", kSlot)) << "locked where the link leads";
    system.WriteTextFileLike("c:\\woe\\track.new", " 42 \r\n", "c:\\woe\\track.txt");
    system.RenameReplacing("c:\\woe\\track.new", "c:\\woe\\track.txt");
  }
  system.ClaimForProcess("c:\\woe\\track.claims", 9);
  EXPECT_FALSE(ByteIsFree(share.folder + "/track.claims", 9));
  std::ifstream counter(share.folder + "/track.txt");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(counter), {}), " 42 \r\n");
  // Nothing below it, and no first folder of another drive, is followed.
  fs::create_directory_symlink(share.folder + "/sub", share.folder + "/linked");
  EXPECT_EQ(FailureOf([&] { system.WriteTextFile("c:\\woe\\linked\\x", "a", Readers::kEveryone); }), kPathNotFound);
  drive.Remove("r:\\fromnt");
  fs::create_directory_symlink(share.folder + "/sub", drive.Local("r:\\fromnt"));
  EXPECT_EQ(FailureOf([&] { system.WriteTextFile("r:\\fromnt\\x", "a", Readers::kOwnerAndGroup); }), kPathNotFound);
  EXPECT_TRUE(fs::is_empty(share.folder + "/sub"));
}

TEST(PosixSystemTest, LookUpTakesNoLinkNoPipeAndNoLinkedFolder) {
  struct Case {
    const char* what;
    std::function<void(const ScratchDrive&, const Outside&)> make;
    std::string stored;
  };
  const Case cases[] = {
      {"a plain file", [](const ScratchDrive& d, const Outside&) { d.Write("r:\\tont\\1.out", "x"); }, "1.out"},
      {"a link to a file", [](const ScratchDrive& d, const Outside& o) { fs::create_symlink(o.secret(), d.Local("r:\\tont\\1.out")); }, ""},
      {"a link on the share", [](const ScratchDrive& d, const Outside&) {
         d.Write("r:\\tont\\real", "x");
         fs::create_symlink("real", d.Local("r:\\tont\\1.out"));
       }, ""},
      {"a pipe", [](const ScratchDrive& d, const Outside&) { mkfifo(d.Local("r:\\tont\\1.out").c_str(), 0666); }, ""},
      {"a file in a linked folder", [](const ScratchDrive& d, const Outside& o) {
         std::ofstream(o.folder + "/1.out") << "x";
         d.Remove("r:\\tont");
         fs::create_symlink(o.folder, d.Local("r:\\tont"));
       }, ""},
      {"a drive that is itself a link to where it is mounted", [](const ScratchDrive& d, const Outside&) {
         fs::rename(d.Local("r:"), d.Local("c:\\mounted-r"));
         fs::create_symlink(d.Local("c:\\mounted-r"), d.Local("r:"));
         d.Write("r:\\tont\\1.out", "x");
       }, "1.out"},
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    Outside outside;
    c.make(drive, outside);
    EXPECT_EQ(CurrentSystem().LookUpPlainFile("r:\\tont\\1.out"), c.stored) << c.what;
  }
}

// Runs body in a child process and returns its exit status.
int InChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int status = 1;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  int status = -1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PosixSystemTest, AClaimHoldsUntilItsProcessEndsAndOnlyForItsSlot) {
  ScratchDrive drive;
  System& system = CurrentSystem();
  const std::string claims = "c:\\woe\\track.claims";
  // Another process claims 5 and ends: its claim ends with it.
  EXPECT_EQ(InChild([&] { system.ClaimForProcess(claims, 5); return 0; }), 0);
  system.ClaimForProcess(claims, 5);
  EXPECT_EQ(drive.Read(claims), "") << "a claim writes nothing";
  // Held here: no other process, nor another claim of this one, takes it; other slots are free.
  EXPECT_EQ(InChild([&] { return FailureOf([&] { system.ClaimForProcess(claims, 5); }); }), kFileAlreadyExists);
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess(claims, 5); }), kFileAlreadyExists);
  EXPECT_EQ(InChild([&] { return FailureOf([&] { system.ClaimForProcess(claims, 4); }); }), 0);
  EXPECT_EQ(InChild([&] { return FailureOf([&] { system.ClaimForProcess(claims, 65535); }); }), 0);
  // A claim survives the close of any other descriptor of the file in the process.
  close(open(drive.Local(claims).c_str(), O_RDONLY));
  EXPECT_EQ(InChild([&] { return FailureOf([&] { system.ClaimForProcess(claims, 5); }); }), kFileAlreadyExists);
}

TEST(PosixSystemTest, AReplacementTakesThePermissionsAndOwnerOfTheFileItReplaces) {
  struct Case {
    mode_t mode;
    uid_t owner;
    mode_t kept;  // no bit beyond those a confined process may give: others' write and set-ID go
  };
  for (const Case& c : {Case{0600, 0, 0600}, Case{0640, 0, 0640}, Case{0604, 65534, 0604}, Case{0666, 65534, 0664},
                        Case{04755, 0, 0755}}) {
    ScratchDrive drive;
    drive.Write("c:\\woe\\track.txt", " 1 \r\n");
    chmod(drive.Local("c:\\woe\\track.txt").c_str(), c.mode);
    const bool may_give_away = geteuid() == 0;
    if (may_give_away) {
      ASSERT_EQ(chown(drive.Local("c:\\woe\\track.txt").c_str(), c.owner, c.owner), 0);
    }
    CurrentSystem().WriteTextFileLike("c:\\woe\\track.new", " 2 \r\n", "c:\\woe\\track.txt");
    CurrentSystem().RenameReplacing("c:\\woe\\track.new", "c:\\woe\\track.txt");
    struct stat st;
    ASSERT_EQ(stat(drive.Local("c:\\woe\\track.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.kept) << std::oct << c.mode;
    if (may_give_away) {
      EXPECT_EQ(st.st_uid, c.owner);
    }
    EXPECT_EQ(drive.Read("c:\\woe\\track.txt"), " 2 \r\n");
  }
}

// Who may read what is made: whoever may open a lock file may hold its bytes with a read lock
// (every new number, or one), so the claims file is its owner's alone, or a farm's group's too in
// a set-group-ID folder, and one that an older build made wider is narrowed at its next use; a
// request file is its owner's, and its group's to read; a file made to replace the counter is
// its owner's until it takes the counter's permissions.
TEST(PosixSystemTest, FilesAreMadeForTheirReadersAndAWideLockFileIsNarrowed) {
  const std::string claims = "c:\\woe\\track.claims";
  struct Case {
    const char* what;
    mode_t folder_mode;                      // of c:\woe
    int existing;                            // the claims file's mode before, or -1: none
    std::function<void(System&)> make;       // run in a child, as each request runs
    const char* path;
    mode_t mode;                             // after, under the umask 022
  };
  auto claim = [&](System& s) { s.ClaimForProcess(claims, 5); };
  auto lock_counter = [&](System& s) { s.OpenTextFileLocked("c:\\woe\\track.txt", claims, 65536, 0); };
  const Case cases[] = {
      {"claims made", 0755, -1, claim, "c:\\woe\\track.claims", 0600},
      {"claims made by the counter's lock", 0755, -1, lock_counter, "c:\\woe\\track.claims", 0600},
      {"claims made in a set-group-ID folder", 02775, -1, claim, "c:\\woe\\track.claims", 0660},
      {"claims of an older build", 0755, 0644, claim, "c:\\woe\\track.claims", 0600},
      {"claims of an older build, at the counter's lock", 0755, 0644, lock_counter, "c:\\woe\\track.claims", 0600},
      {"claims its group may only read", 0755, 0640, claim, "c:\\woe\\track.claims", 0600},
      {"claims open to everyone", 0755, 0666, claim, "c:\\woe\\track.claims", 0660},
      {"claims of a farm's group, made by hand", 02775, 0660, claim, "c:\\woe\\track.claims", 0660},
      {"claims its owner's alone", 0755, 0600, claim, "c:\\woe\\track.claims", 0600},
      {"a request file", 0755, -1,
       [](System& s) { s.WriteTextFile("r:\\fromnt\\t1.DAT", "TRACKNO=1\r\n", Readers::kOwnerAndGroup); },
       "r:\\fromnt\\t1.DAT", 0640},
      {"a file for its owner", 0755, -1,
       [](System& s) { s.WriteTextFile("r:\\fromnt\\kept", "x", Readers::kOwner); }, "r:\\fromnt\\kept", 0600},
      {"a file for everyone, as the umask lets", 0755, -1,
       [](System& s) { s.WriteTextFile("r:\\tont\\t1.out", "x", Readers::kEveryone); }, "r:\\tont\\t1.out", 0644},
      {"a replacement with nothing to take after", 0755, -1,
       [](System& s) { s.WriteTextFileLike("c:\\woe\\track.new", " 2 \r\n", ""); }, "c:\\woe\\track.new", 0600},
  };
  const mode_t umask_before = umask(022);
  for (const Case& c : cases) {
    ScratchDrive drive;
    drive.Write("c:\\woe\\track.txt", " 1 \r\n");
    ASSERT_EQ(chmod(drive.Local("c:\\woe").c_str(), c.folder_mode), 0);
    if (c.existing >= 0) {
      drive.Write(claims, "");
      ASSERT_EQ(chmod(drive.Local(claims).c_str(), static_cast<mode_t>(c.existing)), 0);
    }
    EXPECT_EQ(InChild([&] { return FailureOf([&] { c.make(CurrentSystem()); }); }), 0) << c.what;
    struct stat st;
    ASSERT_EQ(stat(drive.Local(c.path).c_str(), &st), 0) << c.what;
    EXPECT_EQ(st.st_mode & 07777, c.mode) << c.what << ": " << std::oct << (st.st_mode & 07777);
  }
  umask(umask_before);
}

// The attack the claims file's mode keeps out: a local user who reaches it through folders open
// to everyone opens it for reading and takes a read lock on a byte, and every new number (or
// the one number) waits for it and fails. Neither a claims file made now nor one that an older
// build made for everyone to read can be opened by another user once a request has used it.
TEST(PosixSystemTest, AnotherLocalUserCannotOpenTheClaimsFileToHoldItsBytes) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to act as another user";
  const std::string claims = "c:\\woe\\track.claims";
  for (const int existing : {-1, 0644, 0666}) {
    ScratchDrive drive;
    // Every folder down to c:\woe open to everyone, as a careless installation leaves them.
    const fs::path woe = drive.Local("c:\\woe");
    for (const fs::path& folder : {woe.parent_path().parent_path(), woe.parent_path(), woe}) {
      ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
    }
    if (existing >= 0) {
      drive.Write(claims, "");
      ASSERT_EQ(chmod(drive.Local(claims).c_str(), static_cast<mode_t>(existing)), 0);
    }
    EXPECT_EQ(InChild([&] { return FailureOf([&] { CurrentSystem().ClaimForProcess(claims, 5); }); }), 0);
    const std::string local = drive.Local(claims);
    const int opened = InChild([&] {
      if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
      const int fd = open(local.c_str(), O_RDONLY);
      if (fd < 0) return errno == EACCES ? 0 : 3;
      struct flock range {};
      range.l_type = F_RDLCK;
      range.l_whence = SEEK_SET;
      range.l_start = 65536;
      range.l_len = 1;
      return fcntl(fd, F_OFD_SETLK, &range) == 0 ? 1 : 4;
    });
    EXPECT_EQ(opened, 0) << "the claims file as it was: " << std::oct << existing << " (1: opened and its byte held)";
  }
}

// A write that fails once its file is made takes that file back: neither a request nor the
// counter's replacement stays half-written, and nothing else in the folder is touched.
TEST(PosixSystemTest, AFailedWriteLeavesNoFileOfItsOwnBehind) {
  struct Case {
    const char* what;
    const char* folder;     // on a small disk of its own, filled up but for room_pages
    off_t room_pages;
    bool durably;
    std::size_t size;       // of the text written
    bool size_limited;      // the process may not write files beyond 64 bytes
    bool stale;             // a stale file of the name, which goes first as always (freeing its room)
  };
  const Case cases[] = {
      {"a request on a full share", "r:\\fromnt", 0, false, 12, false, false},
      {"a request larger than the room left", "r:\\fromnt", 1, false, 3 * 4096, false, true},
      {"the counter's replacement on a full disk", "c:\\woe", 0, true, 6, false, false},
      {"a request beyond the process's file size limit", nullptr, 0, false, 1000, true, true},
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    const std::string path = c.durably ? "c:\\woe\\track.new" : "r:\\fromnt\\t7.DAT";
    const std::string filler = c.folder != nullptr ? std::string(c.folder) + "\\filler" : "";
    if (c.folder != nullptr && mount("tmpfs", drive.Local(c.folder).c_str(), "tmpfs", 0, "size=64k") != 0) {
      GTEST_SKIP() << "no tmpfs mounts here: " << strerror(errno);
    }
    drive.Write("c:\\woe\\track.txt", " 7 \r\n");
    if (c.stale) drive.Write(path, "stale\r\n");
    off_t filled = 0;
    if (c.folder != nullptr) {
      const int fd = open(drive.Local(filler).c_str(), O_WRONLY | O_CREAT, 0644);
      const std::string page(4096, 'f');
      while (write(fd, page.data(), page.size()) > 0) filled += 4096;
      filled -= 4096 * c.room_pages;
      ASSERT_EQ(ftruncate(fd, filled), 0);
      close(fd);
    }
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    auto* const previous = signal(SIGXFSZ, SIG_IGN);  // the write fails instead of ending the process
    if (c.size_limited) {
      rlimit limited = before;
      limited.rlim_cur = 64;
      setrlimit(RLIMIT_FSIZE, &limited);
    }
    const std::string text(c.size, 'x');
    const int failure = FailureOf([&] {
      if (c.durably) {
        CurrentSystem().WriteTextFileLike(path, text, "c:\\woe\\track.txt");
      } else {
        CurrentSystem().WriteTextFile(path, text, Readers::kEveryone);
      }
    });
    setrlimit(RLIMIT_FSIZE, &before);
    signal(SIGXFSZ, previous);
    EXPECT_EQ(failure, kDeviceIoError) << c.what;
    EXPECT_FALSE(drive.Exists(path)) << c.what;
    EXPECT_EQ(drive.Read("c:\\woe\\track.txt"), " 7 \r\n") << c.what;
    if (c.folder != nullptr) {
      EXPECT_EQ(static_cast<off_t>(drive.Read(filler).size()), filled) << c.what;
      umount2(drive.Local(c.folder).c_str(), MNT_DETACH);
    }
  }
}

TEST(PosixSystemTest, RenameAfterCheckNeverReplacesEither) {
  ScratchDrive drive;
  drive.Write("r:\\fromnt\\t42.DAT", "new\r\n");
  drive.Write("r:\\fromnt\\42.DAT", "old\r\n");
  EXPECT_EQ(FailureOf([] { RenameAfterCheck("r:\\fromnt\\t42.DAT", "r:\\fromnt\\42.DAT"); }), kFileAlreadyExists);
  EXPECT_EQ(drive.Read("r:\\fromnt\\42.DAT"), "old\r\n");
  fs::create_symlink("/nowhere", drive.Local("r:\\fromnt\\43.DAT"));
  EXPECT_EQ(FailureOf([] { RenameAfterCheck("r:\\fromnt\\t42.DAT", "r:\\fromnt\\43.DAT"); }), kFileAlreadyExists)
      << "a dangling link is a taken name too";
  RenameAfterCheck("r:\\fromnt\\t42.DAT", "r:\\fromnt\\44.DAT");
  EXPECT_FALSE(drive.Exists("r:\\fromnt\\t42.DAT"));
  EXPECT_EQ(drive.Read("r:\\fromnt\\44.DAT"), "new\r\n");
}

// A file with something mounted on it answers a delete with EBUSY, as a share does for a moment
// after a close: the delete is made again until the mount goes, for about a second.
TEST(PosixSystemTest, ABusyDeleteIsRetriedForAboutASecond) {
  struct Case {
    int busy_ms;
    int number;
  };
  // Busy for 150 ms: deleted after a few tries. Busy for 4 s: the retries give up after their
  // second, and a loaded machine may hold the last one up; retries that went on would see the
  // file come free and delete it.
  for (const Case c : {Case{150, 0}, Case{4000, kPermissionDenied}}) {
    ScratchDrive drive;
    drive.Write("r:\\tont\\1.out", "x");
    drive.Write("r:\\tont\\cover", "y");
    const std::string target = drive.Local("r:\\tont\\1.out");
    if (mount(drive.Local("r:\\tont\\cover").c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      GTEST_SKIP() << "no bind mounts here: " << strerror(errno);
    }
    std::thread release([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(c.busy_ms));
      umount2(target.c_str(), MNT_DETACH);
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(FailureOf([] { CurrentSystem().RemoveFile("r:\\tont\\1.out"); }), c.number) << c.busy_ms;
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    release.join();
    if (c.number == 0) {
      EXPECT_FALSE(drive.Exists("r:\\tont\\1.out"));
    } else {
      EXPECT_GT(took, 0.9);
      EXPECT_LT(took, 3.0);
    }
  }
}

// The busy retries' second is the clock's: a share that takes 100 ms to say busy each time gets
// about a second of tries, not 50 tries of 120 ms.
TEST(PosixSystemTest, BusyRetriesEndAboutASecondAfterTheFirstTryHoweverSlowEachTry) {
  int tries = 0;
  const auto started = std::chrono::steady_clock::now();
  const int error = RetryWhileShareBusy(
      [&] {
        ++tries;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return EBUSY;
      },
      [](int e) { return e == EBUSY; });
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(error, EBUSY);
  EXPECT_GT(tries, 1);
  EXPECT_GE(took, 1.0);
  // Counted in pauses the tries would take 6 s; a loaded machine may hold the last try up.
  EXPECT_LT(took, 3.0) << tries << " tries";
}

// What the installation check learns of the drives, seen as every request sees them: no link
// followed, a folder reached through one unreachable.
TEST(PosixSystemTest, DescribesEntriesWithoutFollowingLinks) {
  ScratchDrive drive;
  Outside outside;
  drive.Write("r:\\tont\\1.out", "a");
  fs::create_symlink(outside.secret(), drive.Local("r:\\tont\\2.out"));
  ASSERT_EQ(mkfifo(drive.Local("r:\\tont\\3.out").c_str(), 0666), 0);
  fs::create_directory_symlink(outside.folder, drive.Local("r:\\linked"));
  // The plain kinds, times and listings of every System are in the contract test.
  const std::pair<const char*, EntryKind> cases[] = {
      {"r:\\tont\\1.out", EntryKind::kPlainFile}, {"r:\\tont\\2.out", EntryKind::kLink},
      {"r:\\tont\\3.out", EntryKind::kOther},     {"r:\\linked", EntryKind::kLink},
      {"r:\\linked\\secret", EntryKind::kUnreachable},
  };
  System& system = CurrentSystem();
  for (const auto& [path, kind] : cases) EXPECT_EQ(system.DescribeEntry(path).kind, kind) << path;

  std::vector<std::string> names = system.ListFolder("r:\\tont\\");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1.out", "2.out", "3.out"}));
  EXPECT_EQ(FailureOf([&] { system.ListFolder("r:\\linked\\"); }), kPathNotFound);
}

TEST(PosixSystemTest, MayReplaceOnlyAPlainFileThatARenameCouldReplace) {
  ScratchDrive drive;
  Outside outside;
  drive.Write("c:\\woe\\track.txt", " 1 \r\n");
  fs::create_symlink(outside.secret(), drive.Local("c:\\woe\\link.txt"));
  // A folder that everyone may write to, sticky, as /tmp: there only the owner replaces a file.
  drive.MakeFolder("c:\\sticky");
  chmod(drive.Local("c:\\sticky").c_str(), 01777);
  drive.Write("c:\\sticky\\roots.txt", "1");
  drive.Write("c:\\sticky\\nobodys.txt", "1");
  ASSERT_EQ(chown(drive.Local("c:\\sticky\\nobodys.txt").c_str(), 65534, 65534), 0);
  const struct {
    const char* path;
    bool as_nobody;
    bool may;
  } cases[] = {
      {"c:\\woe\\link.txt", false, false},
      {"c:\\woe\\track.txt", true, false},   // the folder is root's, 0755
      {"c:\\sticky\\roots.txt", true, false}, {"c:\\sticky\\nobodys.txt", true, true},
      {"c:\\sticky\\roots.txt", false, true},
  };
  for (const auto& c : cases) {
    AsNobody nobody(c.as_nobody);
    EXPECT_EQ(CurrentSystem().MayReplace(c.path), c.may) << c.path << (c.as_nobody ? " as nobody" : "");
  }
}

TEST(PosixSystemTest, DescribesADriveAndWhereItsLinkLeads) {
  ScratchDrive drive;
  Outside outside;
  System& system = CurrentSystem();
  const DriveFacts r = system.DescribeDrive('r');
  EXPECT_TRUE(r.present);
  EXPECT_FALSE(r.network) << "the scratch drive is on this machine's disk";
  EXPECT_EQ(r.description.rfind(drive.Local("r:"), 0), 0u) << r.description;
  EXPECT_NE(r.description.find(", on "), std::string::npos) << r.description;

  drive.Remove("r:");
  EXPECT_FALSE(system.DescribeDrive('r').present);
  fs::create_directory_symlink(outside.folder, drive.Local("r:"));
  const DriveFacts linked = system.DescribeDrive('r');
  EXPECT_TRUE(linked.present);
  EXPECT_NE(linked.description.find(", a link to " + fs::canonical(outside.folder).string()), std::string::npos)
      << linked.description;
  fs::remove(outside.secret());
  fs::remove(drive.Local("r:"));
  fs::create_symlink(outside.folder + "/nowhere", drive.Local("r:"));
  const DriveFacts dangling = system.DescribeDrive('r');
  EXPECT_FALSE(dangling.present);
  EXPECT_NE(dangling.description.find("a link that leads to no folder"), std::string::npos) << dangling.description;
}

}  // namespace
}  // namespace trackrelay
