#include "platform/testing/fake_system.h"

#include <gtest/gtest.h>

#include "platform/failure.h"
#include "platform/testing/test_helpers.h"

namespace trackrelay {
namespace {

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

// A fake made while another System stands in (a scratch drive's on Windows, another fake) hands
// that one back, not the real one.
TEST(FakeSystemTest, PutsBackTheSystemThatStoodBeforeIt) {
  System* const real = &CurrentSystem();
  {
    FakeSystem outer;
    {
      FakeSystem inner;
      EXPECT_EQ(&CurrentSystem(), &inner);
    }
    EXPECT_EQ(&CurrentSystem(), &outer);
  }
  EXPECT_EQ(&CurrentSystem(), real);
}

}  // namespace
}  // namespace trackrelay
