// The counter under processes that allocate at once and are killed at any moment: POSIX only,
// where a test forks the processes and sees their locks in /proc.
#include "relay/tracking_counter.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <vector>

#include "platform/failure.h"
#include "platform/testing/scratch_drive.h"
#include "relay/local_disk.h"

namespace trackrelay {
namespace {

const std::string kCounter(kCounterPath);
// Longer than any test waits for a lock that is let go.
constexpr std::uint64_t kWait = 90000;

// Runs body in a child process; a failure ends the child with status 1.
pid_t Spawn(const std::function<void()>& body) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  try {
    body();
  } catch (...) {
    _exit(1);
  }
  _exit(0);
}

// The numbers children wrote to the pipe so far (all, once its writers are gone).
void DrainNumbers(int fd, std::vector<int>& numbers) {
  std::int16_t n;
  while (read(fd, &n, sizeof n) == sizeof n) numbers.push_back(n);
}

TEST(TrackingCounterProcessTest, ConcurrentProcessesGetEveryNumberExactlyOnce) {
  constexpr int kProcesses = 8;
  constexpr int kEach = 125;
  constexpr int kStart = -500;  // the numbers cross zero, where the line's sign changes
  ScratchDrive drive;
  drive.Write(kCounter, CounterFileText(kStart));
  int results[2], go[2];
  ASSERT_EQ(pipe(results), 0);
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i) {
    children.push_back(Spawn([&] {
      close(results[0]);
      close(go[1]);
      char ignored;
      if (read(go[0], &ignored, 1) != 0) _exit(2);  // all start when the parent closes go
      for (int k = 0; k < kEach; ++k) {
        std::int16_t n = AllocateTrackingNumber(kWait);
        if (write(results[1], &n, sizeof n) != sizeof n) _exit(3);
      }
    }));
  }
  close(results[1]);
  close(go[0]);
  close(go[1]);
  std::vector<int> numbers;
  DrainNumbers(results[0], numbers);
  close(results[0]);
  for (pid_t child : children) {
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  std::map<int, int> times;
  for (int n : numbers) ++times[n];
  int duplicates = 0, missing = 0;
  for (const auto& [n, count] : times) duplicates += count - 1;
  for (int n = kStart; n < kStart + kProcesses * kEach; ++n) missing += times.count(n) == 0;
  std::printf("concurrency: %d processes, %zu numbers, %d duplicates, %d missing\n", kProcesses, numbers.size(),
              duplicates, missing);
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kProcesses * kEach));
  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(drive.Read(kCounter), CounterFileText(kStart + kProcesses * kEach));
}

// Whether pid holds the counter's lock: the locks of a process's open files (OFD locks, which
// /proc/locks shows without their process) are in /proc/PID/fdinfo.
bool HoldsTheCounterLock(pid_t pid) {
  const std::string folder = "/proc/" + std::to_string(pid) + "/fdinfo";
  // The lock's range, as its first and last byte.
  const std::string slot = std::to_string(kCounterLockSlot);
  std::string mark(1, ' ');
  mark.append(slot).append(1, ' ').append(slot);
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
    std::ifstream info(entry.path());
    for (std::string line; std::getline(info, line);) {
      if (line.rfind("lock:", 0) == 0 && line.find(" WRITE ") != std::string::npos &&
          line.find("->") == std::string::npos && line.find(mark) != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

TEST(TrackingCounterProcessTest, KilledAllocationsAlwaysLeaveAValidCounter) {
  constexpr int kKills = 300;
  constexpr int kLive = 3;
  constexpr int kStart = -32000;
  ScratchDrive drive;
  drive.Write(kCounter, CounterFileText(kStart));
  int results[2];
  ASSERT_EQ(pipe(results), 0);
  fcntl(results[0], F_SETFL, O_NONBLOCK);
  auto allocate_forever = [&] {
    return Spawn([&] {
      close(results[0]);
      for (;;) {
        std::int16_t n = AllocateTrackingNumber(kWait);
        if (write(results[1], &n, sizeof n) != sizeof n) _exit(3);
      }
    });
  };
  std::vector<pid_t> live;
  for (int i = 0; i < kLive; ++i) live.push_back(allocate_forever());
  std::mt19937 random(std::random_device{}());
  std::vector<int> numbers;
  int kills = 0, last = kStart, invalid = 0, backwards = 0, failed = 0, killed_holding_lock = 0;
  for (; kills < kKills && last < 32000; ++kills) {
    usleep(std::uniform_int_distribution<useconds_t>(0, 3000)(random));
    pid_t& victim = live[random() % kLive];
    int status = 0;
    kill(victim, SIGSTOP);
    waitpid(victim, &status, WUNTRACED);
    if (WIFSTOPPED(status)) {
      killed_holding_lock += HoldsTheCounterLock(victim);
      kill(victim, SIGKILL);
      waitpid(victim, &status, 0);
    }
    failed += !(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    const std::string counter = drive.Read(kCounter);
    const int value = std::atoi(counter.c_str());
    invalid += counter != CounterFileText(static_cast<std::int16_t>(value));
    backwards += value < last;
    last = value;
    DrainNumbers(results[0], numbers);
    victim = allocate_forever();
  }
  for (pid_t child : live) kill(child, SIGKILL);
  for (pid_t child : live) waitpid(child, nullptr, 0);
  close(results[1]);
  DrainNumbers(results[0], numbers);
  close(results[0]);
  const int final_value = std::atoi(drive.Read(kCounter).c_str());
  std::map<int, int> times;
  int duplicates = 0, beyond = 0;
  for (int n : numbers) duplicates += ++times[n] > 1;
  for (int n : numbers) beyond += n < kStart || n >= final_value;
  std::printf("crashes: %d kills (%d holding the lock), %zu numbers, %d invalid counters, %d duplicates\n", kills,
              killed_holding_lock, numbers.size(), invalid, duplicates);
  EXPECT_EQ(invalid, 0);
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(beyond, 0);
  EXPECT_GT(killed_holding_lock, 0) << "no kill struck inside an allocation";
  // Each kill loses at most the one number its process had taken and not yet reported.
  EXPECT_LE(final_value - kStart - static_cast<int>(numbers.size()), kills + kLive);
  EXPECT_EQ(drive.Read(kCounter), CounterFileText(static_cast<std::int16_t>(final_value)));
  EXPECT_EQ(AllocateTrackingNumber(kWait), final_value);  // no lock left behind
}

}  // namespace
}  // namespace trackrelay
