#include "remote_host/hand_over.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/testing/fake_system.h"
#include "platform/testing/test_helpers.h"

namespace trackrelay::remote_host {
namespace {

const HandOver kFiles{"s:\\work\\5.DAT", "s:\\work\\5.answered", "r:\\tont\\", "r:\\tont\\t5.out", "r:\\tont\\5.out"};

TEST(HandOverTest, TheAnswerIsOnTheDiskBeforeTheRequestCountsAsAnsweredAndNamedBeforeTheRequestGoes) {
  FakeSystem fake;
  fake.files[kFiles.request] = "TRACKNO=5\r\n";
  std::string holder;
  AnswerRequest(fake, kFiles, "<p>5</p>\r\n", holder);
  EXPECT_EQ(fake.calls, (std::vector<std::string>{
                            "WriteTextFile r:\\tont\\t5.out",
                            "FlushFolder r:\\tont\\",
                            "RenameReplacing s:\\work\\5.DAT s:\\work\\5.answered",
                            "RenameReplacing r:\\tont\\t5.out r:\\tont\\5.out",
                            "RemoveFile s:\\work\\5.answered",
                        }));
  EXPECT_EQ(fake.files, (std::map<std::string, std::string>{{kFiles.answer, "<p>5</p>\r\n"}}));
  EXPECT_EQ(holder, "");
}

// A stop before each step of the hand-over (a kill, or a power cut that the flushes make the
// same), and then what the next start does: finish a request found answered, serve again one
// found as it was taken. Whatever the step, one whole answer comes out and nothing stays behind.
TEST(HandOverTest, AStopBeforeAnyStepEndsAfterTheRestartInOneWholeAnswer) {
  struct Case {
    const char* stop;
    FakeSystem::Operation operation;
    int after;  // calls of the operation that succeed before it stops
    const char* holder;
    bool served_again;
  };
  const Case cases[] = {
      {"before the answer is written", FakeSystem::kWriteTextFile, 0, "s:\\work\\5.DAT", true},
      {"before the inbound folder is flushed", FakeSystem::kFlushFolder, 0, "s:\\work\\5.DAT", true},
      {"before the request is marked", FakeSystem::kRenameReplacing, 0, "s:\\work\\5.DAT", true},
      {"before the answer is renamed in", FakeSystem::kRenameReplacing, 1, "s:\\work\\5.answered", false},
      {"before the marker goes", FakeSystem::kRemoveFile, 0, "s:\\work\\5.answered", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stop);
    FakeSystem fake;
    fake.files[kFiles.request] = "TRACKNO=5\r\n";
    fake.Fail(c.operation, kDeviceIoError, c.after, 1);
    std::string holder;
    EXPECT_EQ(FailureOf([&] { AnswerRequest(fake, kFiles, "<p>first</p>\r\n", holder); }), kDeviceIoError);
    EXPECT_EQ(holder, c.holder);
    EXPECT_TRUE(fake.files.count(holder) == 1) << "the request is where the holder says";

    // The restart.
    const bool marked = fake.files.count(kFiles.marker) == 1;
    EXPECT_EQ(marked, !c.served_again);
    if (marked) {
      const Finish finish = FinishAnswered(fake, kFiles, true);
      EXPECT_TRUE(finish == Finish::kPublishedNow || finish == Finish::kWasOut);
    } else {
      fake.files.erase(kFiles.partial);  // a temporary answer of no marked request goes
      AnswerRequest(fake, kFiles, "<p>again</p>\r\n", holder);
    }
    EXPECT_EQ(fake.files, (std::map<std::string, std::string>{
                              {kFiles.answer, c.served_again ? "<p>again</p>\r\n" : "<p>first</p>\r\n"}}));
  }
}

TEST(HandOverTest, ARequestServedAgainReplacesAnAnswerOfTheFirstServingWholeAndLeavesNoSecondFile) {
  FakeSystem fake;
  fake.files[kFiles.request] = "TRACKNO=5\r\n";
  fake.files[kFiles.partial] = "<p>fir";  // the first serving's, cut short
  fake.files[kFiles.answer] = "<p>first</p>\r\n";
  std::string holder;
  AnswerRequest(fake, kFiles, "<p>again</p>\r\n", holder);
  EXPECT_EQ(fake.files, (std::map<std::string, std::string>{{kFiles.answer, "<p>again</p>\r\n"}}));
}

TEST(FinishAnsweredTest, PublishesAWrittenAnswerInTimeAndNeverLosesTheRequest) {
  struct Case {
    const char* found;
    bool partial_written;
    EntryKind partial_kind;  // when not written
    bool in_time;
    Finish finish;
    std::map<std::string, std::string> after;
  };
  const std::string page = "<p>5</p>\r\n", request = "TRACKNO=5\r\n";
  const Case cases[] = {
      {"the answer written, in time", true, EntryKind::kMissing, true, Finish::kPublishedNow, {{kFiles.answer, page}}},
      {"the answer written, too late", true, EntryKind::kMissing, false, Finish::kTooLate,
       {{kFiles.marker, request}}},
      {"the answer out already", false, EntryKind::kMissing, true, Finish::kWasOut, {}},
      {"a link where the answer was", false, EntryKind::kLink, true, Finish::kLeft, {{kFiles.marker, request}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.found);
    FakeSystem fake;
    fake.files[kFiles.marker] = request;
    if (c.partial_written) fake.files[kFiles.partial] = page;
    else fake.kinds[kFiles.partial] = c.partial_kind;
    EXPECT_EQ(FinishAnswered(fake, kFiles, c.in_time), c.finish);
    EXPECT_EQ(fake.files, c.after);
  }
}

TEST(TakeRequestTest, FlushesTheRequestBeforeItMovesAndMovesOneThatIsNoPlainFileForTheServingToRefuse) {
  {
    FakeSystem fake;
    fake.files["r:\\fromnt\\5.DAT"] = "TRACKNO=5\r\n";
    TakeRequest(fake, "r:\\fromnt\\5.DAT", "s:\\work\\5.DAT");
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"FlushFile r:\\fromnt\\5.DAT",
                                                    "RenameNoReplace r:\\fromnt\\5.DAT s:\\work\\5.DAT"}));
  }
  {
    FakeSystem fake;
    fake.files["r:\\fromnt\\5.DAT"] = "a link";
    fake.Fail(FakeSystem::kFlushFile, kPermissionDenied);
    TakeRequest(fake, "r:\\fromnt\\5.DAT", "s:\\work\\5.DAT");
    EXPECT_EQ(fake.files.count("s:\\work\\5.DAT"), 1u);
  }
  {
    // One of the same number still served: this one waits in the outbound folder.
    FakeSystem fake;
    fake.files["r:\\fromnt\\5.DAT"] = "TRACKNO=5&second\r\n";
    fake.files["s:\\work\\5.DAT"] = "TRACKNO=5\r\n";
    EXPECT_EQ(FailureOf([&] { TakeRequest(fake, "r:\\fromnt\\5.DAT", "s:\\work\\5.DAT"); }), kFileAlreadyExists);
    EXPECT_EQ(fake.files["r:\\fromnt\\5.DAT"], "TRACKNO=5&second\r\n");
  }
  {
    // A flush that fails leaves the request where the program put it.
    FakeSystem fake;
    fake.files["r:\\fromnt\\5.DAT"] = "TRACKNO=5\r\n";
    fake.Fail(FakeSystem::kFlushFile, kDeviceIoError);
    EXPECT_EQ(FailureOf([&] { TakeRequest(fake, "r:\\fromnt\\5.DAT", "s:\\work\\5.DAT"); }), kDeviceIoError);
    EXPECT_EQ(fake.files.count("r:\\fromnt\\5.DAT"), 1u);
  }
}

#ifndef _WIN32
TEST(HandOverOfTest, NamesTheFilesOfOneNumber) {
  const HandOver files = HandOverOf("/srv/state/work", "/mnt/r/tont/", "-3");
  EXPECT_EQ(files.request, "/srv/state/work/-3.DAT");
  EXPECT_EQ(files.marker, "/srv/state/work/-3.answered");
  EXPECT_EQ(files.inbound, "/mnt/r/tont/");
  EXPECT_EQ(files.partial, "/mnt/r/tont/t-3.out");
  EXPECT_EQ(files.answer, "/mnt/r/tont/-3.out");
  EXPECT_EQ(HandOverOf("/srv/state/work", "/mnt/r/tont", "7").inbound, "/mnt/r/tont/");
}
#endif

}  // namespace
}  // namespace trackrelay::remote_host
