// What every System must do, said through the System interface alone and run against the real
// System of each build on a scratch drive: the POSIX one on Linux, the Windows one under Wine or
// on Windows. An #ifdef marks the few places where the two are meant to differ, and says why.
#include "platform/system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include "platform/failure.h"
#include "platform/file_system_common.h"
#include "platform/testing/fake_system.h"
#include "platform/testing/scratch_drive.h"
#include "platform/testing/test_helpers.h"

namespace trackrelay {
namespace {

// The lock file and byte that the tests lock, as the counter's lock does.
const std::string kLock = "c:\\woe\\track.claims";
constexpr std::int64_t kSlot = 65536;
// Longer than any test waits for a lock that is let go.
constexpr std::uint64_t kWait = 90000;

struct LineCase {
  std::string bytes;
  std::vector<std::string> lines;
};

TEST(SystemContractTest, TextFilesEndLinesAtCrOrCrLfOnlyWithAndWithoutTheLockAndInTheFake) {
  const std::string almost_a_read(kTextReadChunk - 1, 'x');
  const std::string three_reads(3 * kTextReadChunk, 'q');
  const LineCase cases[] = {
      {"", {}},
      {"a", {"a"}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\rb", {"a", "b"}},
      {"a\nb\n", {"a\nb\n"}},
      {"\r\n", {""}},
      {"\r\r\n", {"", ""}},
      {"\n\r\n", {"\n"}},
      {std::string("\0\x80\xff\r\n", 5), {std::string("\0\x80\xff", 3)}},
      {std::string("\0\x80\xff\x1a\r\n", 6), {std::string("\0\x80\xff\x1a", 4)}},  // ^Z is no end here
      // A CR LF pair split between two reads, a CR as the last byte, a line over several reads.
      {almost_a_read + "\r\ny", {almost_a_read, "y"}},
      {almost_a_read + "\r", {almost_a_read}},
      {almost_a_read + "x\r\nz", {almost_a_read + "x", "z"}},
      {three_reads, {three_reads}},
      {three_reads + "\r\nz", {three_reads, "z"}},
  };
  ScratchDrive drive;
  System& real = CurrentSystem();
  for (const LineCase& c : cases) {
    drive.Write("r:\\tont\\1.out", c.bytes);
    FakeSystem fake;
    fake.files["r:\\tont\\1.out"] = c.bytes;
    for (System* system : {&real, static_cast<System*>(&fake)}) {
      for (bool locked : {false, true}) {
        std::unique_ptr<TextFileReader> reader = locked ? system->OpenTextFileLocked("r:\\tont\\1.out", kLock, kSlot, kWait)
                                                        : system->OpenTextFile("r:\\tont\\1.out");
        EXPECT_EQ(AllLines(*reader), c.lines)
            << (system == &real ? "real" : "fake") << ", locked " << locked << ", bytes: " << c.bytes.substr(0, 20);
        EXPECT_EQ(FailureOf([&] { reader->ReadLine(); }), kInputPastEnd);
      }
    }
  }
}

struct FailureCase {
  const char* what;
  std::function<void(System&)> action;
  int number;
};

TEST(SystemContractTest, MapsErrorsOntoFailureNumbers) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", " 1 \r\n");
  drive.Write("c:\\woe\\8.DAT", "earlier\r\n");
  drive.MakeFolder("c:\\woe\\sub");
  drive.MakeFolder("r:\\tont\\sub");
  const FailureCase cases[] = {
      {"open missing file", [](System& s) { s.OpenTextFile("c:\\woe\\none.txt"); }, kFileNotFound},
      {"open in missing folder", [](System& s) { s.OpenTextFile("c:\\nowhere\\x.txt"); }, kPathNotFound},
      {"open on missing drive", [](System& s) { s.OpenTextFile("q:\\woe\\x.txt"); }, kPathNotFound},
      {"open below a file", [](System& s) { s.OpenTextFile("c:\\woe\\track.txt\\x"); }, kPathNotFound},
      {"open a folder", [](System& s) { s.OpenTextFile("r:\\tont\\sub"); }, kPermissionDenied},
      {"lock missing file", [](System& s) { s.OpenTextFileLocked("c:\\woe\\none.txt", kLock, kSlot, kWait); }, kFileNotFound},
      {"lock in missing folder", [](System& s) { s.OpenTextFileLocked("c:\\no\\x", kLock, kSlot, kWait); }, kPathNotFound},
      {"lock a folder", [](System& s) { s.OpenTextFileLocked("r:\\tont\\sub", kLock, kSlot, kWait); }, kPermissionDenied},
      {"lock file in a missing folder", [](System& s) { s.OpenTextFileLocked("c:\\woe\\track.txt", "c:\\no\\x", kSlot, kWait); },
       kPathNotFound},
      {"lock file a folder", [](System& s) { s.OpenTextFileLocked("c:\\woe\\track.txt", "r:\\tont\\sub", kSlot, kWait); },
       kPermissionDenied},
      {"write in missing folder", [](System& s) { s.WriteTextFile("r:\\nowhere\\x", "a", Readers::kEveryone); },
       kPathNotFound},
      {"write onto a folder", [](System& s) { s.WriteTextFile("r:\\tont\\sub", "a", Readers::kEveryone); },
       kPermissionDenied},
      {"durable, no drive", [](System& s) { s.WriteTextFileLike("q:\\x", "a", ""); }, kPathNotFound},
      {"durable write in missing folder", [](System& s) { s.WriteTextFileLike("c:\\no\\x", "a", ""); },
       kPathNotFound},
      {"rename missing", [](System& s) { s.RenameNoReplace("r:\\tont\\no", "r:\\tont\\x"); }, kFileNotFound},
      {"rename to missing folder", [](System& s) { s.RenameNoReplace("c:\\woe\\track.txt", "r:\\nowhere\\x"); },
       kPathNotFound},
      {"rename to missing folder below", [](System& s) { s.RenameNoReplace("c:\\woe\\track.txt", "c:\\woe\\no\\x"); },
       kPathNotFound},
      {"rename onto a file", [](System& s) { s.RenameNoReplace("c:\\woe\\track.txt", "c:\\woe\\8.DAT"); },
       kFileAlreadyExists},
      {"rename onto a folder", [](System& s) { s.RenameNoReplace("c:\\woe\\track.txt", "c:\\woe\\sub"); },
       kFileAlreadyExists},
      {"replace from missing", [](System& s) { s.RenameReplacing("r:\\tont\\no", "r:\\tont\\x"); }, kFileNotFound},
      {"replace a folder", [](System& s) { s.RenameReplacing("c:\\woe\\track.txt", "c:\\woe\\sub"); },
       kPermissionDenied},
      {"remove missing", [](System& s) { s.RemoveFile("r:\\tont\\no"); }, kFileNotFound},
      {"remove in missing folder", [](System& s) { s.RemoveFile("r:\\nowhere\\no"); }, kPathNotFound},
      {"remove a folder", [](System& s) { s.RemoveFile("r:\\tont\\sub"); }, kPermissionDenied},
      {"claim in missing folder", [](System& s) { s.ClaimForProcess("c:\\no\\track.claims", 1); }, kPathNotFound},
      {"flush missing file", [](System& s) { s.FlushFile("c:\\woe\\none.txt"); }, kFileNotFound},
      {"flush in missing folder", [](System& s) { s.FlushFile("r:\\nowhere\\x"); }, kPathNotFound},
      {"flush a folder as a file", [](System& s) { s.FlushFile("r:\\tont\\sub"); }, kPermissionDenied},
      {"flush missing folder", [](System& s) { s.FlushFolder("r:\\nowhere\\"); }, kPathNotFound},
      {"flush folder below a file", [](System& s) { s.FlushFolder("c:\\woe\\track.txt\\"); }, kPathNotFound},
  };
  for (const FailureCase& c : cases) EXPECT_EQ(FailureOf([&] { c.action(CurrentSystem()); }), c.number) << c.what;
  EXPECT_FALSE(drive.Exists("c:\\woe\\none.txt")) << "the lock must not create the file";
  EXPECT_EQ(drive.Read("c:\\woe\\track.txt"), " 1 \r\n");
  EXPECT_EQ(drive.Read("c:\\woe\\8.DAT"), "earlier\r\n") << "the rename never replaces";
}

TEST(SystemContractTest, WritesCreateOrTruncateAndKeepEveryByte) {
  ScratchDrive drive;
  const std::string bytes("a\0\r\n\x80\xff\x1a\n", 8);
  System& system = CurrentSystem();
  for (bool durably : {false, true}) {
    const std::string path = durably ? "c:\\woe\\durable.txt" : "r:\\fromnt\\plain.txt";
    auto write = [&](std::string_view text) {
      durably ? system.WriteTextFileLike(path, text, "") : system.WriteTextFile(path, text, Readers::kEveryone);
    };
    write(std::string(100000, 'o'));
    write(bytes);
    EXPECT_EQ(drive.Read(path), bytes) << path;
    write("");
    EXPECT_EQ(drive.Read(path), "") << path;
  }
}

// Flushes change nothing that a reader sees; a folder on this machine's own disk can be flushed.
TEST(SystemContractTest, FlushesLeaveFilesAndFoldersAsTheyWere) {
  ScratchDrive drive;
  drive.Write("r:\\fromnt\\5.DAT", "TRACKNO=5\r\n");
  System& system = CurrentSystem();
  system.FlushFile("r:\\fromnt\\5.DAT");
  EXPECT_EQ(drive.Read("r:\\fromnt\\5.DAT"), "TRACKNO=5\r\n");
  for (const char* folder : {"r:\\fromnt\\", "r:\\tont\\", "c:\\woe\\"}) {
    EXPECT_TRUE(system.FlushFolder(folder)) << folder;
  }
  EXPECT_EQ(system.ListFolder("r:\\fromnt\\"), std::vector<std::string>{"5.DAT"});
}

// A request file is a new file of its own: neither a stale file of the name nor a second name of
// another file is written through.
TEST(SystemContractTest, RequestFilesAreAlwaysWrittenAnew) {
  ScratchDrive drive;
  drive.Write("r:\\fromnt\\secret.txt", "secret\r\n");
  drive.Write("r:\\fromnt\\t8.DAT", "stale and longer than the new one\r\n");
  drive.HardLink("r:\\fromnt\\secret.txt", "r:\\fromnt\\t7.DAT");
  for (const char* path : {"r:\\fromnt\\t7.DAT", "r:\\fromnt\\t8.DAT"}) {
    CurrentSystem().WriteTextFile(path, "TRACKNO=7\r\n", Readers::kOwnerAndGroup);
    EXPECT_EQ(drive.Read(path), "TRACKNO=7\r\n") << path;
  }
  EXPECT_EQ(drive.Read("r:\\fromnt\\secret.txt"), "secret\r\n");
}

TEST(SystemContractTest, RenamesMoveTheFileAndOnlyTheReplacingOneReplaces) {
  ScratchDrive drive;
  System& system = CurrentSystem();
  drive.Write("r:\\fromnt\\t42.DAT", "TRACKNO=42\r\n");
  system.RenameNoReplace("r:\\fromnt\\t42.DAT", "r:\\fromnt\\42.DAT");
  EXPECT_FALSE(drive.Exists("r:\\fromnt\\t42.DAT"));
  EXPECT_EQ(drive.Read("r:\\fromnt\\42.DAT"), "TRACKNO=42\r\n");

  drive.Write("r:\\fromnt\\t42.DAT", "again\r\n");
  EXPECT_EQ(FailureOf([&] { system.RenameNoReplace("r:\\fromnt\\t42.DAT", "r:\\fromnt\\42.DAT"); }),
            kFileAlreadyExists);
  EXPECT_EQ(drive.Read("r:\\fromnt\\t42.DAT"), "again\r\n") << "the temporary file stays behind";
  EXPECT_EQ(drive.Read("r:\\fromnt\\42.DAT"), "TRACKNO=42\r\n");

  system.RenameReplacing("r:\\fromnt\\t42.DAT", "r:\\fromnt\\42.DAT");
  EXPECT_FALSE(drive.Exists("r:\\fromnt\\t42.DAT"));
  EXPECT_EQ(drive.Read("r:\\fromnt\\42.DAT"), "again\r\n");
  system.RemoveFile("r:\\fromnt\\42.DAT");
  EXPECT_FALSE(drive.Exists("r:\\fromnt\\42.DAT"));
}

// The remote host may remove or rewrite its response while the relay still reads it.
TEST(SystemContractTest, AFileBeingReadCanBeDeletedAndReadOnAfterwards) {
  ScratchDrive drive;
  drive.Write("r:\\tont\\5.out", "one\r\ntwo\r\n");
  std::unique_ptr<TextFileReader> reader = CurrentSystem().OpenTextFile("r:\\tont\\5.out");
  EXPECT_EQ(reader->ReadLine(), "one");
  CurrentSystem().RemoveFile("r:\\tont\\5.out");
  EXPECT_EQ(reader->ReadLine(), "two");
  EXPECT_TRUE(reader->AtEnd());
  reader.reset();
  // On Windows the name goes with the last handle of the file; on POSIX at once.
  EXPECT_FALSE(drive.Exists("r:\\tont\\5.out"));
}

struct LookUpCase {
  const char* path;
  std::string stored;
};

TEST(SystemContractTest, LookUpGivesThePlainFileOfTheNameAndNothingElse) {
  ScratchDrive drive;
  drive.Write("r:\\tont\\1.out", "x");
  drive.Write("r:\\tont\\2.out", "x");
  drive.MakeReadOnly("r:\\tont\\2.out");
  drive.MakeFolder("r:\\tont\\8.out");
  const LookUpCase cases[] = {
      {"r:\\tont\\1.out", "1.out"},
      {"r:\\tont\\2.out", "2.out"},  // read-only is plain
      {"r:\\tont\\8.out", ""},       // a folder
      {"r:\\tont\\9.out", ""},
      {"r:\\tont\\no\\9.out", ""},
      {"r:\\tont\\*.out", ""},  // no pattern names one file
      {"r:\\tont\\?.out", ""},
      {"q:\\tont\\9.out", ""},  // no such drive
  };
  for (const LookUpCase& c : cases) EXPECT_EQ(CurrentSystem().LookUpPlainFile(c.path), c.stored) << c.path;
}

TEST(SystemContractTest, TheLockHolderReplacesTheFileItLocked) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", " 41 \r\n");
  System& system = CurrentSystem();
  std::unique_ptr<TextFileReader> locked = system.OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait);
  EXPECT_EQ(locked->ReadLine(), " 41 ");
  system.WriteTextFileLike("c:\\woe\\track.new", " 42 \r\n", "c:\\woe\\track.txt");
  system.RenameReplacing("c:\\woe\\track.new", "c:\\woe\\track.txt");
  locked.reset();
  EXPECT_EQ(drive.Read("c:\\woe\\track.txt"), " 42 \r\n");
  EXPECT_FALSE(drive.Exists("c:\\woe\\track.new"));
}

// The lock is a byte of the lock file, made when missing and never written: the file it guards
// is no part of it, so that a program that locks the counter itself holds up nobody, and the
// claims' slots stay free.
TEST(SystemContractTest, TheLockIsOneByteOfTheLockFileHeldByTheReader) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", "old\r\n");
#ifndef _WIN32
  // Another program's lock of the whole counter, which POSIX offers beside byte ranges.
  const int outside = open(drive.Local("c:\\woe\\track.txt").c_str(), O_RDONLY);
  ASSERT_EQ(flock(outside, LOCK_EX), 0);
#endif
  std::unique_ptr<TextFileReader> held = CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait);
#ifndef _WIN32
  close(outside);
#endif
  EXPECT_EQ(held->ReadLine(), "old");
  EXPECT_EQ(drive.Read(kLock), "");
  EXPECT_FALSE(ByteIsFree(drive.Local(kLock), kSlot));
  EXPECT_TRUE(ByteIsFree(drive.Local(kLock), kSlot - 1)) << "the claims' slots are not locked";
  // A claim in the same file holds its own byte beside the lock.
  CurrentSystem().ClaimForProcess(kLock, 7);
  held.reset();
  EXPECT_TRUE(ByteIsFree(drive.Local(kLock), kSlot));
  EXPECT_FALSE(ByteIsFree(drive.Local(kLock), 7));
  EXPECT_EQ(drive.Read(kLock), "");
}

// A lock that another holds and never lets go ends the wait at its bound and never before it, with
// LockTimeoutFailure (70), the file it guards untouched; once let go, it is had at the first try.
// A claim beside it holds up nobody.
TEST(SystemContractTest, AWaitForALockThatIsNeverLetGoEndsAtItsBound) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", " 41 \r\n");
  drive.Write(kLock, "");
  System& system = CurrentSystem();
  using Clock = std::chrono::steady_clock;
  {
    HeldByte other(drive.Local(kLock), kSlot);
    ASSERT_TRUE(other.held());
    for (const std::uint64_t wait : {std::uint64_t{0}, std::uint64_t{40}, std::uint64_t{300}}) {
      const Clock::time_point start = Clock::now();
      bool timed_out = false;
      try {
        system.OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, wait);
      } catch (const LockTimeoutFailure& failure) {
        timed_out = failure.number() == kPermissionDenied;
      }
      const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      EXPECT_TRUE(timed_out) << "a wait of " << wait << " ms";
      EXPECT_GE(waited, static_cast<long long>(wait)) << "the wait ended before its bound";
      // A loaded machine (and Wine) may hold the last pause and the last try up for a while; a
      // wait that missed its bound altogether would go on for the lock's whole kWait.
      EXPECT_LT(waited, static_cast<long long>(wait) + 5000) << "the wait went on past its bound";
    }
    EXPECT_EQ(drive.Read("c:\\woe\\track.txt"), " 41 \r\n");
    HeldByte claim(drive.Local(kLock), kSlot + 1);
    EXPECT_TRUE(claim.held());
  }
  HeldByte claim(drive.Local(kLock), kSlot - 1);
  ASSERT_TRUE(claim.held());
  EXPECT_EQ(system.OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, 0)->ReadLine(), " 41 ");
}

// A waiter takes the lock soon after it is let go, however long it has waited: on POSIX the wait
// is the kernel's, and on Windows the waiter's pauses between its tries stop growing at 16 ms.
// After 4 s of waiting, pauses that kept growing would be seconds long; the bound leaves a loaded
// machine most of a second to wake the waiter.
TEST(SystemContractTest, AWaiterTakesTheLockSoonAfterItIsLetGo) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", " 41 \r\n");
  drive.Write(kLock, "");
  using Clock = std::chrono::steady_clock;
  for (const int held_ms : {20, 4000}) {
    auto other = std::make_unique<HeldByte>(drive.Local(kLock), kSlot);
    ASSERT_TRUE(other->held());
    Clock::time_point had;
    std::thread waiter([&] {
      std::unique_ptr<TextFileReader> locked = CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait);
      had = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(held_ms));
    const Clock::time_point let_go = Clock::now();
    other.reset();
    waiter.join();
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(had - let_go).count();
    EXPECT_LT(after, 1000) << "held " << held_ms << " ms";
  }
}

// Every holder reads the number, writes the next one and renames it over the file, as the
// counter does; the lock must not hand the file out again before the rename is done.
TEST(SystemContractTest, LockedOpensTakeTurnsAndEachSeesItsPredecessorsFile) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", "0\r\n");
  System& system = CurrentSystem();
  constexpr int kThreads = 4, kRounds = 25;
  std::atomic<int> holders{0}, most_holders{0}, failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string mine = "c:\\woe\\track." + std::to_string(t);
      for (int round = 0; round < kRounds; ++round) {
        try {
          std::unique_ptr<TextFileReader> locked = system.OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait);
          int now = ++holders;
          if (now > most_holders) most_holders = now;
          int n = std::stoi(locked->ReadLine());
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          system.WriteTextFileLike(mine, std::to_string(n + 1) + "\r\n", "c:\\woe\\track.txt");
          system.RenameReplacing(mine, "c:\\woe\\track.txt");
          --holders;
        } catch (const Failure& failure) {
          ++failures;
          ADD_FAILURE() << "failure " << failure.number();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(most_holders, 1);
  EXPECT_EQ(drive.Read("c:\\woe\\track.txt"), std::to_string(kThreads * kRounds) + "\r\n");
}

// A claim is one slot of its file for the rest of the process: the same slot again fails, even
// in this process, and every other slot, or the same slot of another file, is free.
TEST(SystemContractTest, AClaimIsMadeOnceInItsFileAndHoldsOnlyItsSlot) {
  ScratchDrive drive;
  System& system = CurrentSystem();
  system.ClaimForProcess(kLock, 7);
  EXPECT_EQ(drive.Read(kLock), "") << "the claims file is made, and a claim writes nothing";
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess(kLock, 7); }), kFileAlreadyExists);
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess(kLock, 8); }), 0);
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess(kLock, 8); }), kFileAlreadyExists);
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess(kLock, 65535); }), 0);
  EXPECT_EQ(FailureOf([&] { system.ClaimForProcess("c:\\woe\\other.claims", 7); }), 0);
  EXPECT_FALSE(ByteIsFree(drive.Local(kLock), 7));
  EXPECT_TRUE(ByteIsFree(drive.Local(kLock), 6));
  EXPECT_EQ(drive.Read(kLock), "");
}

// What the installation check learns of the drives, seen as every request sees them.
TEST(SystemContractTest, DescribesEntriesListsFoldersAndTellsWhatMayBeReplaced) {
  ScratchDrive drive;
  drive.Write("r:\\tont\\1.out", "a");
  drive.SetModified("r:\\tont\\1.out", 1700000000250);
  drive.Write("r:\\tont\\ro.txt", "a");
  drive.MakeReadOnly("r:\\tont\\ro.txt");
  drive.Write("c:\\woe\\track.txt", " 1 \r\n");
  System& system = CurrentSystem();
  const std::pair<const char*, EntryKind> cases[] = {
      {"r:\\tont", EntryKind::kFolder},
      {"r:\\tont\\1.out", EntryKind::kPlainFile},
      {"r:\\tont\\ro.txt", EntryKind::kPlainFile},
      {"r:\\tont\\4.out", EntryKind::kMissing},
      {"r:\\gone\\1.out", EntryKind::kUnreachable},
      {"r:\\tont\\1.out\\x", EntryKind::kUnreachable},
      {"r:\\tont\\..", EntryKind::kUnreachable},
  };
  for (const auto& [path, kind] : cases) EXPECT_EQ(system.DescribeEntry(path).kind, kind) << path;
  EXPECT_EQ(system.DescribeEntry("r:\\tont\\1.out").modified_ms, 1700000000250);

  std::vector<std::string> names = system.ListFolder("r:\\tont\\");
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"1.out", "ro.txt"}));
  EXPECT_EQ(system.ListFolder("r:\\fromnt\\"), std::vector<std::string>{});
  EXPECT_EQ(FailureOf([&] { system.ListFolder("r:\\gone\\"); }), kPathNotFound);

  const std::pair<const char*, bool> replaceable[] = {
      {"r:\\tont\\1.out", true},
      {"c:\\woe\\track.txt", true},
#ifdef _WIN32
      {"r:\\tont\\ro.txt", false},  // Windows refuses to rename over a read-only file; POSIX asks the folder
#endif
      {"r:\\tont", false},
      {"c:\\woe", false},
      {"r:\\tont\\3.out", false},
      {"c:\\woe\\gone.txt", false},
  };
  for (const auto& [path, may] : replaceable) EXPECT_EQ(system.MayReplace(path), may) << path;
}

TEST(SystemContractTest, RenameNoReplaceTellsTheWayItTook) {
  ScratchDrive drive;
  drive.Write("r:\\fromnt\\t1.DAT", "a");
  drive.Write("r:\\fromnt\\2.DAT", "b");
  System& system = CurrentSystem();
  // A local disk refuses to replace by itself; the other ways are for shares.
  EXPECT_EQ(system.RenameNoReplaceTellingHow("r:\\fromnt\\t1.DAT", "r:\\fromnt\\1.DAT"), RenameWay::kNoReplaceRename);
  EXPECT_EQ(drive.Read("r:\\fromnt\\1.DAT"), "a");
  EXPECT_EQ(FailureOf([&] { system.RenameNoReplaceTellingHow("r:\\fromnt\\1.DAT", "r:\\fromnt\\2.DAT"); }),
            kFileAlreadyExists);
  EXPECT_EQ(drive.Read("r:\\fromnt\\2.DAT"), "b");
}

// A file left open by a case until the wait is over.
using HeldFile = std::unique_ptr<std::ofstream>;

HeldFile OpenForWriting(const ScratchDrive& drive, const std::string& path, const std::string& bytes) {
  auto file = std::make_unique<std::ofstream>(drive.Local(path), std::ios::binary | std::ios::trunc);
  *file << bytes;
  file->flush();
  return file;
}

// Only the awaited name arriving in the awaited folder ends a wait early; a bare create, a file
// held open, another name or another spelling does not.
TEST(SystemContractTest, AWaitEndsEarlyOnlyForTheAwaitedNameRenamedInOrWritten) {
  struct Case {
    const char* what;
    // 50 ms into the wait: of 10 s where it must wake, so that a loaded machine's delays never
    // pass for a wait that slept to its end; of 400 ms where it must sleep through.
    std::function<void(const ScratchDrive&, HeldFile&)> act;
    bool wakes;
  };
  auto renamed_in = [](const char* name) {
    return [name](const ScratchDrive& d, HeldFile&) {
      d.Write("r:\\tont\\partial", "x");
      d.Rename("r:\\tont\\partial", std::string("r:\\tont\\") + name);
    };
  };
  auto written_in = [](const char* path, const char* bytes, bool close) {
    return [path, bytes, close](const ScratchDrive& d, HeldFile& held) {
      held = OpenForWriting(d, path, bytes);
      if (close) held.reset();
    };
  };
  const Case cases[] = {
      {"renamed in", renamed_in("5.out"), true},
#ifdef _WIN32
      // Windows' reports of the folder tell of a write at no extra cost, and the watch takes
      // the file once its writer let go. The POSIX watch is armed for renames alone: a file
      // written in place is left to the next look.
      {"written in place and closed", written_in("r:\\tont\\5.out", "x", true), true},
#else
      {"written in place and closed", written_in("r:\\tont\\5.out", "x", true), false},
#endif
      {"created and held open", written_in("r:\\tont\\5.out", "", false), false},
      {"written and held open", written_in("r:\\tont\\5.out", "x", false), false},
      {"created empty and closed", written_in("r:\\tont\\5.out", "", true), false},
      {"another number renamed in", renamed_in("6.out"), false},
      {"the name in another case", renamed_in("5.OUT"), false},
      {"written in the outbound folder", written_in("r:\\fromnt\\5.out", "x", true), false},
      {"moved in from another folder",
       [](const ScratchDrive& d, HeldFile&) {
         d.Write("r:\\fromnt\\5.tmp", "x");
         d.Rename("r:\\fromnt\\5.tmp", "r:\\tont\\5.out");
       },
       true},
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    HeldFile held;
    CurrentSystem().WatchFolder("r:\\tont\\");
    CurrentSystem().WatchForArrival("r:\\tont\\5.out");
    std::thread actor([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      c.act(drive, held);
    });
    const auto started = std::chrono::steady_clock::now();
    const DWORD left = CurrentSystem().AwaitArrival("r:\\tont\\5.out", c.wakes ? 10000 : 400);
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    actor.join();
    if (c.wakes) {
      EXPECT_GT(left, 5000u) << c.what;
      EXPECT_LT(waited, 5.0) << c.what;
    } else {
      EXPECT_EQ(left, 0u) << c.what;
      EXPECT_GE(waited, 0.4) << c.what;
    }
  }
}

#ifdef _WIN32
// Only Windows wakes for a file written in place (above): it must wait until the writer is done.
TEST(SystemContractTest, AWriteIsTakenOnlyOnceItsWriterLetsGo) {
  ScratchDrive drive;
  HeldFile held;
  CurrentSystem().WatchFolder("r:\\tont\\");
  CurrentSystem().WatchForArrival("r:\\tont\\5.out");
  std::thread writer([&] {
    held = OpenForWriting(drive, "r:\\tont\\5.out", "half");
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    *held << " and the rest";
    held.reset();
  });
  const auto started = std::chrono::steady_clock::now();
  const DWORD left = CurrentSystem().AwaitArrival("r:\\tont\\5.out", 10000);
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  writer.join();
  // Woken once the writer let go, long before the wait's end however loaded the machine.
  EXPECT_GT(left, 5000u);
  EXPECT_GE(waited, 0.15);
}
#endif

// A wait wakes early only for the very path named in the folder watched, compared as written; a
// folder that cannot be watched, a name in another folder than the one watched, or another path
// awaited than named, makes the wait a sleep of the whole time, whatever arrives where.
TEST(SystemContractTest, WithoutAWatchOnTheAwaitedPathAWaitIsASleep) {
  struct Case {
    const char* what;
    std::string watched, armed, awaited, arrives;
    bool inbound_gone;  // r:\tont removed before the watch is set up
  };
  const Case cases[] = {
      {"no such folder", "r:\\gone\\", "r:\\gone\\5.out", "r:\\gone\\5.out", "r:\\gone\\5.out", false},
      {"a file in place of the folder", "r:\\tont\\5.out\\", "r:\\tont\\5.out\\5.out", "r:\\tont\\5.out\\5.out",
       "r:\\tont\\5.out\\5.out", false},
      {"the inbound folder removed", "r:\\tont\\", "r:\\tont\\5.out", "r:\\tont\\5.out", "r:\\tont\\5.out", true},
      {"another file awaited than armed", "r:\\tont\\", "r:\\tont\\5.out", "r:\\tont\\6.out", "r:\\tont\\6.out",
       false},
      {"another file awaited, the armed one arrives", "r:\\tont\\", "r:\\tont\\5.out", "r:\\tont\\6.out",
       "r:\\tont\\5.out", false},
      {"the name awaited in another folder", "r:\\tont\\", "r:\\tont\\5.out", "r:\\fromnt\\5.out",
       "r:\\tont\\5.out", false},
      {"the name armed in another folder than the one watched", "r:\\fromnt\\", "r:\\tont\\5.out",
       "r:\\tont\\5.out", "r:\\tont\\5.out", false},
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    drive.Write("r:\\tont\\5.out", "x");
    if (c.inbound_gone) drive.Remove("r:\\tont");
    CurrentSystem().WatchFolder(c.watched);  // nothing to watch: silently none
    CurrentSystem().WatchForArrival(c.armed);
    std::thread actor([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      try {
        drive.Write("r:\\tont\\p", "x");
        drive.Rename("r:\\tont\\p", c.arrives);
      } catch (const std::exception&) {
        // Where the path cannot be, nothing arrives at all.
      }
    });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(CurrentSystem().AwaitArrival(c.awaited, 120), 0u) << c.what;
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(120)) << c.what;
    actor.join();
  }
}

// The folder is watched from before the number is known (on POSIX from before the process shuts
// itself in), and other answers land there meanwhile, the awaited name's own stale one among
// them: only what arrives once the name is chosen may wake its wait.
TEST(SystemContractTest, WhatArrivedBeforeTheNameWasChosenWakesNoWait) {
  ScratchDrive drive;
  CurrentSystem().WatchFolder("r:\\tont\\");
  for (const char* name : {"6.out", "5.out"}) {
    drive.Write("r:\\tont\\p", "x");
    drive.Rename("r:\\tont\\p", std::string("r:\\tont\\") + name);
  }
  CurrentSystem().WatchForArrival("r:\\tont\\5.out");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(CurrentSystem().AwaitArrival("r:\\tont\\5.out", 150), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));
}

#ifndef _WIN32
// Windows keeps a watched folder while its watch holds it open (under Wine its removal never
// ends), so only POSIX sees the folder go in the middle of a wait.
TEST(SystemContractTest, AWaitWhoseFolderGoesMidwayStillEndsOnTime) {
  ScratchDrive drive;
  CurrentSystem().WatchFolder("r:\\tont\\");
  CurrentSystem().WatchForArrival("r:\\tont\\5.out");
  std::thread remover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    drive.Remove("r:\\tont");
  });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(CurrentSystem().AwaitArrival("r:\\tont\\5.out", 2000), 0u);
  const auto waited = std::chrono::steady_clock::now() - started;
  remover.join();
  // The rest of the wait is what was left when the folder went, not the whole wait again (3.5 s);
  // the bound leaves a loaded machine a second.
  EXPECT_GE(waited, std::chrono::milliseconds(2000));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
}
#endif

}  // namespace
}  // namespace trackrelay
