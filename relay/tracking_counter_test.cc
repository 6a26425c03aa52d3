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
#include "platform/scratch_drive.h"
#include "relay/file_drop.h"

namespace trackrelay {
namespace {

const std::string kCounter(kCounterPath);

struct AllocationCase {
  std::string before;
  int handed_out;  // or the failure number, when failure is set
  bool failure;
  std::string after;  // the counter file afterwards; the one before when empty
};

TEST(AllocateTrackingNumberTest, HandsOutTheNumberReadAndLeavesTheNextOrNothingChanged) {
  const AllocationCase cases[] = {
      {" 41 \r\n", 41, false, " 42 \r\n"},
      {"41\r\n", 41, false, " 42 \r\n"},
      {"  41  ", 41, false, " 42 \r\n"},
      {"41\rjunk\r\nmore\r\n", 41, false, " 42 \r\n"},
      {"-5\r\n", -5, false, "-4 \r\n"},
      {"-1 \r\n", -1, false, " 0 \r\n"},
      {" 0 \r\n", 0, false, " 1 \r\n"},
      {"-32768 \r\n", -32768, false, "-32767 \r\n"},
      {" 32766 \r\n", 32766, false, " 32767 \r\n"},
      {" 32767 \r\n", kOverflow, true, ""},
      {" 40000 \r\n", kOverflow, true, ""},
      {"", kInputPastEnd, true, ""},
      {"\r\n42\r\n", kTypeMismatch, true, ""},
      {"   \r\n", kTypeMismatch, true, ""},
      {"41\n42\r\n", kTypeMismatch, true, ""},
      {"forty-one\r\n", kTypeMismatch, true, ""},
  };
  for (const AllocationCase& c : cases) {
    ScratchDrive drive;
    drive.Write(kCounter, c.before);
    try {
      std::int16_t n = AllocateTrackingNumber();
      EXPECT_FALSE(c.failure) << "no failure for: " << c.before;
      EXPECT_EQ(n, c.handed_out) << c.before;
    } catch (const Failure& f) {
      EXPECT_TRUE(c.failure) << "failure " << f.number() << " for: " << c.before;
      EXPECT_EQ(f.number(), c.handed_out) << c.before;
    }
    EXPECT_EQ(drive.Read(kCounter), c.after.empty() ? c.before : c.after) << c.before;
  }
}

struct CounterLineCase {
  std::string line;
  int value;  // or the failure number, when failure is set
  bool failure;
};

TEST(ParseCounterLineTest, ReadsANumberBetweenSpacesAndRefusesWhatHasNoSuccessor) {
  const CounterLineCase cases[] = {
      {" 41 ", 41, false},       {"41", 41, false},         {"\t41\t", 41, false},   {"+41", 41, false},
      {"-0", 0, false},          {"41.5", 42, false},       {"42.5", 42, false},     {"-32768", -32768, false},
      {"32766", 32766, false},   {"32767", kOverflow, true}, {"32766.5", 32766, false},
      {"32766.6", kOverflow, true},
      {"-32769", kOverflow, true}, {"99999999999", kOverflow, true}, {"", kTypeMismatch, true},
      {"   ", kTypeMismatch, true}, {"4 1", kTypeMismatch, true}, {"41\n", kTypeMismatch, true},
      {"1e3", kTypeMismatch, true}, {"&H29", kTypeMismatch, true}, {"- 41", kTypeMismatch, true},
  };
  for (const CounterLineCase& c : cases) {
    try {
      EXPECT_EQ(ParseCounterLine(c.line), c.value) << "line: " << c.line;
      EXPECT_FALSE(c.failure) << "no failure for: " << c.line;
    } catch (const Failure& f) {
      EXPECT_TRUE(c.failure) << "failure " << f.number() << " for: " << c.line;
      EXPECT_EQ(f.number(), c.value) << c.line;
    }
  }
}

TEST(ParseCounterLineTest, ReadsBackEveryLineTheCounterWrites) {
  for (int n = -32768; n < 32767; ++n) {
    std::string text = CounterFileText(static_cast<std::int16_t>(n));
    ASSERT_EQ(text.substr(text.size() - 2), "\r\n") << n;
    text.resize(text.size() - 2);
    ASSERT_EQ(ParseCounterLine(text), n) << "line: " << text;
  }
}

int FailureOfAllocation() {
  try {
    AllocateTrackingNumber();
  } catch (const Failure& f) {
    return f.number();
  }
  return 0;
}

TEST(AllocateTrackingNumberTest, MissingCounterOrFolderIsNotCreated) {
  ScratchDrive drive;
  EXPECT_EQ(FailureOfAllocation(), kFileNotFound);
  EXPECT_FALSE(drive.Exists(kCounter));
  drive.Remove("c:\\woe");
  EXPECT_EQ(FailureOfAllocation(), kPathNotFound);
  EXPECT_FALSE(drive.Exists("c:\\woe"));
}

TEST(AllocateTrackingNumberTest, AFailedReplacementKeepsTheCounterAndReleasesTheLock) {
  ScratchDrive drive;
  drive.Write(kCounter, " 41 \r\n");
  drive.MakeFolder(std::string(kCounterReplacementPath));  // the replacement cannot be written
  EXPECT_EQ(FailureOfAllocation(), kPermissionDenied);
  EXPECT_EQ(drive.Read(kCounter), " 41 \r\n");
  EXPECT_TRUE(ByteIsFree(drive.Local(std::string(kClaimsPath)), kCounterLockSlot));
}

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
        std::int16_t n = AllocateTrackingNumber();
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
        std::int16_t n = AllocateTrackingNumber();
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
  EXPECT_EQ(AllocateTrackingNumber(), final_value);  // no lock left behind
}

}  // namespace
}  // namespace trackrelay
