#include "platform/file_system_posix.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "platform/fake_system.h"
#include "platform/platform.h"
#include "platform/scratch_drive.h"

namespace trackrelay {
namespace {

// The failure number the action raised, or 0 when it raised none.
int FailureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Failure& failure) {
    return failure.number();
  }
  return 0;
}

std::vector<std::string> AllLines(TextFileReader& reader) {
  std::vector<std::string> lines;
  while (!reader.AtEnd()) lines.push_back(reader.ReadLine());
  return lines;
}

struct LineCase {
  std::string bytes;
  std::vector<std::string> lines;
};

TEST(TextFileReaderTest, EndsLinesAtCrOrCrLfOnlyInTheRealAndTheFakeSystem) {
  const std::string almost_a_read(kTextReadChunk - 1, 'x');
  const std::string three_reads(3 * kTextReadChunk, 'q');
  const LineCase cases[] = {
      {"", {}},           {"a", {"a"}},           {"a\r\nb\r\n", {"a", "b"}}, {"a\rb", {"a", "b"}},
      {"a\nb\n", {"a\nb\n"}}, {"\r\n", {""}},          {"\r\r\n", {"", ""}},      {"\n\r\n", {"\n"}},
      {std::string("\0\x80\xff\r\n", 5), {std::string("\0\x80\xff", 3)}},
      // A CR LF pair split between two reads, a CR as the last byte, a line over several reads.
      {almost_a_read + "\r\ny", {almost_a_read, "y"}},
      {almost_a_read + "\r", {almost_a_read}},
      {almost_a_read + "x\r\nz", {almost_a_read + "x", "z"}},
      {three_reads, {three_reads}},
  };
  ScratchDrive drive;
  System& real = CurrentSystem();
  for (const LineCase& c : cases) {
    drive.Write("r:\\tont\\1.out", c.bytes);
    FakeSystem fake;
    fake.files["r:\\tont\\1.out"] = c.bytes;
    for (System* system : {&real, static_cast<System*>(&fake)}) {
      std::unique_ptr<TextFileReader> reader = system->OpenTextFile("r:\\tont\\1.out");
      EXPECT_EQ(AllLines(*reader), c.lines) << "bytes: " << c.bytes.substr(0, 20);
      EXPECT_EQ(FailureOf([&] { reader->ReadLine(); }), kInputPastEnd);
    }
  }
}

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

struct FailureCase {
  const char* what;
  std::function<void(System&)> action;
  int number;
  bool as_nobody;
};

TEST(PosixSystemTest, MapsErrorsOntoFailureNumbers) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", " 1 \r\n");
  drive.MakeFolder("r:\\tont\\sub");
  drive.MakeFolder("r:\\ro");
  drive.Write("r:\\ro\\f.txt", "keep\r\n");
  chmod(drive.Local("r:\\ro\\f.txt").c_str(), 0444);
  chmod(drive.Local("r:\\ro").c_str(), 0555);
  const FailureCase cases[] = {
      {"open missing file", [](System& s) { s.OpenTextFile("c:\\woe\\none.txt"); }, kFileNotFound, false},
      {"open in missing folder", [](System& s) { s.OpenTextFile("c:\\nowhere\\x.txt"); }, kPathNotFound, false},
      {"open on missing drive", [](System& s) { s.OpenTextFile("q:\\woe\\x.txt"); }, kPathNotFound, false},
      {"open below a file", [](System& s) { s.OpenTextFile("c:\\woe\\track.txt\\x"); }, kPathNotFound, false},
      {"open a folder", [](System& s) { s.OpenTextFile("r:\\tont\\sub"); }, kPermissionDenied, false},
      {"lock missing file", [](System& s) { s.OpenTextFileLocked("c:\\woe\\none.txt"); }, kFileNotFound, false},
      {"write in missing folder", [](System& s) { s.WriteTextFile("r:\\nowhere\\x", "a"); }, kPathNotFound, false},
      {"write onto a folder", [](System& s) { s.WriteTextFile("r:\\tont\\sub", "a"); }, kPermissionDenied, false},
      {"durable, no drive", [](System& s) { s.WriteTextFileDurably("q:\\x", "a", ""); }, kPathNotFound, false},
      {"rename missing", [](System& s) { s.RenameNoReplace("r:\\tont\\no", "r:\\tont\\x"); }, kFileNotFound, false},
      {"rename to missing folder",
       [](System& s) { s.RenameNoReplace("c:\\woe\\track.txt", "r:\\nowhere\\x"); }, kPathNotFound, false},
      {"replace from missing",
       [](System& s) { s.RenameReplacing("r:\\tont\\no", "r:\\tont\\x"); }, kFileNotFound, false},
      {"remove missing", [](System& s) { s.RemoveFile("r:\\tont\\no"); }, kFileNotFound, false},
      {"remove in missing folder", [](System& s) { s.RemoveFile("r:\\nowhere\\no"); }, kPathNotFound, false},
      {"remove a folder", [](System& s) { s.RemoveFile("r:\\tont\\sub"); }, kPermissionDenied, false},
      {"create read-only", [](System& s) { s.WriteTextFile("r:\\ro\\new.txt", "a"); }, kPermissionDenied, true},
      {"truncate read-only", [](System& s) { s.WriteTextFile("r:\\ro\\f.txt", "a"); }, kPermissionDenied, true},
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
  EXPECT_FALSE(drive.Exists("c:\\woe\\none.txt")) << "the lock must not create the file";
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

// True once /proc/locks shows someone waiting for a lock on the inode.
bool SomeoneWaitsOn(ino_t inode) {
  std::ifstream locks("/proc/locks");
  const std::string mark = ":" + std::to_string(inode) + " ";
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos && line.find(mark) != std::string::npos) return true;
  }
  return false;
}

// The holder here locks the file alone, as any other program may: the waiter then waits on the
// file, which the holder replaces.
TEST(PosixSystemTest, AWaiterWhoseFileWasReplacedLocksTheNewOne) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", "old\r\n");
  struct stat old_file;
  stat(drive.Local("c:\\woe\\track.txt").c_str(), &old_file);
  const int outside = open(drive.Local("c:\\woe\\track.txt").c_str(), O_RDONLY);
  ASSERT_EQ(flock(outside, LOCK_EX), 0);
  std::string seen;
  std::thread waiter([&] { seen = CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt")->ReadLine(); });
  for (int i = 0; i < 500 && !SomeoneWaitsOn(old_file.st_ino); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  CurrentSystem().WriteTextFileDurably("c:\\woe\\track.new", "new\r\n", "c:\\woe\\track.txt");
  CurrentSystem().RenameReplacing("c:\\woe\\track.new", "c:\\woe\\track.txt");
  close(outside);
  waiter.join();
  EXPECT_EQ(seen, "new");
}

// Openers wait in turn on the folder's lock, never on the file that the holder replaces, so that
// a replacement does not wake every waiter to start over.
TEST(PosixSystemTest, WaitersQueueOnTheFolderAndNotOnTheFile) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", "old\r\n");
  struct stat old_file, folder;
  stat(drive.Local("c:\\woe\\track.txt").c_str(), &old_file);
  stat(drive.Local("c:\\woe").c_str(), &folder);
  std::unique_ptr<TextFileReader> holder = CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt");
  std::vector<std::string> seen(3);
  std::vector<std::thread> waiters;
  for (std::string& line : seen) {
    waiters.emplace_back([&line] { line = CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt")->ReadLine(); });
  }
  for (int i = 0; i < 500 && !SomeoneWaitsOn(folder.st_ino); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all three have come to a wait
  EXPECT_TRUE(SomeoneWaitsOn(folder.st_ino));
  EXPECT_FALSE(SomeoneWaitsOn(old_file.st_ino));
  CurrentSystem().WriteTextFileDurably("c:\\woe\\track.new", "new\r\n", "c:\\woe\\track.txt");
  CurrentSystem().RenameReplacing("c:\\woe\\track.new", "c:\\woe\\track.txt");
  holder.reset();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(seen, std::vector<std::string>(3, "new"));
}

TEST(FakeSystemTest, InjectsFailuresRecordsSleepsAndFoldsCaseOnRequest) {
  FakeSystem fake;
  fake.files["r:\\tont\\1.out"] = "a\rb";
  fake.Fail(FakeSystem::kReadLine, kDeviceIoError, 1, 1);
  fake.on_sleep = [&] { fake.files["r:\\tont\\2.OUT"] = ""; };
  std::unique_ptr<TextFileReader> reader = CurrentSystem().OpenTextFile("r:\\tont\\1.out");
  EXPECT_EQ(reader->ReadLine(), "a");
  EXPECT_EQ(FailureOf([&] { reader->ReadLine(); }), kDeviceIoError);
  EXPECT_EQ(reader->ReadLine(), "b");
  CurrentSystem().Sleep(100);
  EXPECT_EQ(fake.sleeps, std::vector<DWORD>{100});
  EXPECT_EQ(CurrentSystem().LookUpPlainFile("r:\\tont\\2.out"), "");
  fake.case_insensitive = true;
  EXPECT_EQ(CurrentSystem().LookUpPlainFile("r:\\tont\\2.out"), "2.OUT");
  EXPECT_EQ(fake.calls.back(), "LookUpPlainFile r:\\tont\\2.out");
  EXPECT_EQ(fake.CallCount(FakeSystem::kReadLine), 3);
  fake.missing_folders.insert("r:\\tont\\");
  EXPECT_EQ(FailureOf([] { CurrentSystem().RemoveFile("r:\\tont\\1.out"); }), kPathNotFound);
}

}  // namespace
}  // namespace trackrelay
