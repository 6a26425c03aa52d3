#include "relay/tracking_counter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "platform/failure.h"
#include "platform/testing/scratch_drive.h"
#include "platform/testing/test_helpers.h"
#include "relay/local_disk.h"

namespace trackrelay {
namespace {

const std::string kCounter(kCounterPath);
// Longer than any test waits for a lock that is let go.
constexpr std::uint64_t kWait = 90000;

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
      std::int16_t n = AllocateTrackingNumber(kWait);
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
  return FailureOf([] { AllocateTrackingNumber(kWait); });
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

// The counter's lock, held by another and never let go: the allocation gives up when its time is
// up, never sooner, and leaves the counter as it was and no replacement behind.
TEST(AllocateTrackingNumberTest, ALockNeverLetGoEndsTheAllocationAtItsBoundWithTheCounterUntouched) {
  ScratchDrive drive;
  drive.Write(kCounter, " 41 \r\n");
  drive.Write(std::string(kClaimsPath), "");
  HeldByte other(drive.Local(std::string(kClaimsPath)), kCounterLockSlot);
  ASSERT_TRUE(other.held());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(FailureOf([] { AllocateTrackingNumber(250); }), kPermissionDenied);
  const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_GE(waited.count(), 250);
  // A loaded machine may hold the last try up; an allocation that missed its bound would wait
  // for ever.
  EXPECT_LT(waited.count(), 250 + 5000);
  EXPECT_EQ(drive.Read(kCounter), " 41 \r\n");
  EXPECT_FALSE(drive.Exists(std::string(kCounterReplacementPath)));
}

}  // namespace
}  // namespace trackrelay
