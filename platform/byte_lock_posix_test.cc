// The byte-range lock on POSIX, as the counter's lock takes it: waiters queue in the kernel on
// the lock file, never on the file they read, and a bounded wait leaves the process's alarm alone.
#include "platform/byte_lock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure.h"
#include "platform/system.h"
#include "platform/testing/scratch_drive.h"
#include "platform/testing/test_helpers.h"

namespace trackrelay {
namespace {

// The lock file and byte that the tests lock, as the counter's lock does.
const std::string kLock = "c:\\woe\\track.claims";
constexpr std::int64_t kSlot = 65536;
// Longer than any test waits for a lock that is let go.
constexpr std::uint64_t kWait = 90000;

// True once /proc/locks shows someone waiting for a lock on the inode.
bool SomeoneWaitsOn(ino_t inode) {
  std::ifstream locks("/proc/locks");
  // Built in steps: GCC 12 warns of an overlap that cannot happen in ":" + std::to_string(...).
  std::string mark = ":";
  mark += std::to_string(inode);
  mark += ' ';
  for (std::string line; std::getline(locks, line);) {
    if (line.find("->") != std::string::npos && line.find(mark) != std::string::npos) return true;
  }
  return false;
}

// How many descriptors of this process lead to the file.
int DescriptorsOf(const struct stat& file) {
  int open = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    struct stat st;
    if (stat(fd.path().c_str(), &st) == 0 && st.st_dev == file.st_dev && st.st_ino == file.st_ino) ++open;
  }
  return open;
}

// Openers wait in turn on the lock file, in the kernel, never on the file that the holder
// replaces, so that a replacement does not wake every waiter to start over, and each opens the
// file only once it holds the lock: the new one.
TEST(PosixSystemTest, WaitersQueueOnTheLockFileAndReadTheReplacement) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", "old\r\n");
  std::unique_ptr<TextFileReader> holder =
      CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait);
  struct stat old_file, lock_file;
  stat(drive.Local("c:\\woe\\track.txt").c_str(), &old_file);
  stat(drive.Local(kLock).c_str(), &lock_file);
  std::vector<std::string> seen(3);
  std::vector<std::thread> waiters;
  for (std::string& line : seen) {
    waiters.emplace_back([&line] {
      line = CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, kWait)->ReadLine();
    });
  }
  for (int i = 0; i < 500 && !SomeoneWaitsOn(lock_file.st_ino); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // all three have come to a wait
  EXPECT_TRUE(SomeoneWaitsOn(lock_file.st_ino));
  EXPECT_FALSE(SomeoneWaitsOn(old_file.st_ino));
  // Neither the waiters nor the holder keep the counter open: a FUSE file system would rename a
  // file still open out of the way first, and a power cut between its two renames would leave no
  // counter.
  EXPECT_EQ(DescriptorsOf(old_file), 0) << "the counter is open while its lock is held or waited for";
  CurrentSystem().WriteTextFileLike("c:\\woe\\track.new", "new\r\n", "c:\\woe\\track.txt");
  CurrentSystem().RenameReplacing("c:\\woe\\track.new", "c:\\woe\\track.txt");
  holder.reset();
  for (std::thread& waiter : waiters) waiter.join();
  EXPECT_EQ(seen, std::vector<std::string>(3, "new"));
}

// A wait bounded by the process's alarm leaves it as it found it, whether the lock came in time or
// not: no alarm left to come (SIGALRM's own action would end the process), SIGALRM's action and an
// alarm of the process's own put back.
TEST(PosixSystemTest, ABoundedWaitPutsTheAlarmBackAsItWas) {
  ScratchDrive drive;
  drive.Write("c:\\woe\\track.txt", " 41 \r\n");
  drive.Write(kLock, "");
  struct sigaction ignore {}, seen {};
  ignore.sa_handler = SIG_IGN;
  for (const bool let_go : {false, true}) {
    for (const bool own_alarm : {false, true}) {
      SCOPED_TRACE(std::string(let_go ? "the lock let go in time" : "the lock never let go") +
                   (own_alarm ? ", SIGALRM ignored beforehand" : ""));
      struct sigaction before {};
      sigaction(SIGALRM, own_alarm ? &ignore : nullptr, &before);
      auto other = std::make_unique<HeldByte>(drive.Local(kLock), kSlot);
      ASSERT_TRUE(other->held());
      std::thread letting_go;
      if (let_go) {
        letting_go = std::thread([&] {
          std::this_thread::sleep_for(std::chrono::milliseconds(100));
          other.reset();
        });
      }
      // Let go 100 ms into a wait of 30 s: taken in time however long a loaded machine keeps the
      // letting thread asleep. Never let go: the wait ends at its 300 ms.
      const int failure = FailureOf(
          [&] { CurrentSystem().OpenTextFileLocked("c:\\woe\\track.txt", kLock, kSlot, let_go ? 30000 : 300); });
      if (letting_go.joinable()) letting_go.join();
      other.reset();
      EXPECT_EQ(failure, let_go ? 0 : kPermissionDenied);
      itimerval left{};
      getitimer(ITIMER_REAL, &left);
      EXPECT_EQ(left.it_value.tv_sec, 0);
      EXPECT_EQ(left.it_value.tv_usec, 0) << "an alarm is left to come";
      sigaction(SIGALRM, nullptr, &seen);
      EXPECT_EQ(seen.sa_handler, own_alarm ? SIG_IGN : SIG_DFL);
      sigaction(SIGALRM, &before, nullptr);
    }
  }
}

}  // namespace
}  // namespace trackrelay
