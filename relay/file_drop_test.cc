#include "relay/file_drop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <iterator>
#include <utility>
#include <vector>

#include "platform/failure.h"
#include "platform/system.h"
#include "platform/testing/scratch_drive.h"
#include "platform/testing/test_helpers.h"

namespace trackrelay {
namespace {

TEST(FileDropTest, NamesCarryTheNumberWithoutSpacesOrLeadingZeros) {
  struct NameCase {
    std::int16_t n;
    const char *temporary, *request, *response;
  };
  const NameCase cases[] = {
      {42, "r:\\fromnt\\t42.DAT", "r:\\fromnt\\42.DAT", "r:\\tont\\42.out"},
      {-3, "r:\\fromnt\\t-3.DAT", "r:\\fromnt\\-3.DAT", "r:\\tont\\-3.out"},
      {0, "r:\\fromnt\\t0.DAT", "r:\\fromnt\\0.DAT", "r:\\tont\\0.out"},
      {-32768, "r:\\fromnt\\t-32768.DAT", "r:\\fromnt\\-32768.DAT", "r:\\tont\\-32768.out"},
  };
  for (const NameCase& c : cases) {
    EXPECT_EQ(TemporaryRequestPath(c.n), c.temporary);
    EXPECT_EQ(RequestPath(c.n), c.request);
    EXPECT_EQ(ResponsePath(c.n), c.response);
    const FileDrop drop = FileDropOf(c.n);
    EXPECT_EQ(drop.number, c.n);
    EXPECT_EQ(drop.temporary_request, c.temporary);
    EXPECT_EQ(drop.request, c.request);
    EXPECT_EQ(drop.response, c.response);
    EXPECT_EQ(drop.open_response, nullptr);
  }
}

TEST(FileDropTest, RequestIsWrittenWholeThenPublishedButNeverOverAWaitingOne) {
  const std::string forms[] = {"TRACKNO=42&x=a+b", "", std::string("a\0\xff", 3)};
  for (const std::string& form : forms) {
    ScratchDrive drive;
    const FileDrop drop = FileDropOf(42);
    drive.Write("r:\\fromnt\\t42.DAT", "an older and longer temporary file");
    WriteRequestFile(drop, form);
    EXPECT_EQ(drive.Read("r:\\fromnt\\t42.DAT"), form + "\r\n");
    drive.Write("r:\\fromnt\\42.DAT", "waiting\r\n");
    EXPECT_EQ(FailureOf([&] { PublishRequestFile(drop); }), kFileAlreadyExists);
    EXPECT_EQ(drive.Read("r:\\fromnt\\42.DAT"), "waiting\r\n");
    EXPECT_EQ(drive.Read("r:\\fromnt\\t42.DAT"), form + "\r\n");
    drive.Remove("r:\\fromnt\\42.DAT");
    PublishRequestFile(drop);
    EXPECT_FALSE(drive.Exists("r:\\fromnt\\t42.DAT"));
    EXPECT_EQ(drive.Read("r:\\fromnt\\42.DAT"), form + "\r\n");
  }
}

TEST(FileDropTest, AMissingFolderFailsWritingButNotLooking) {
  ScratchDrive drive;
  drive.Remove("r:\\fromnt");
  const FileDrop drop = FileDropOf(5);
  EXPECT_EQ(FailureOf([&] { WriteRequestFile(drop, "TRACKNO=5"); }), kPathNotFound);
  drive.Remove("r:");
  EXPECT_FALSE(ResponseFileReady(drop)) << "a drive that is away for a moment is not a failure";
}

// Windows finds a name in any case and tells the spelling stored; POSIX finds only the one asked.
#ifdef _WIN32
constexpr const char* kStoredOfTheOtherCase = "42.OUT";
#else
constexpr const char* kStoredOfTheOtherCase = "";
#endif

TEST(FileDropTest, ResponseIsReadyOnlyAsAPlainFileOfExactlyTheName) {
  struct Case {
    bool ready;
    const char* stored;  // what the lookup of the name gives
    std::function<void(const ScratchDrive&)> make;
  };
  const Case cases[] = {
      {false, "", [](const ScratchDrive&) {}},
      {true, "42.out", [](const ScratchDrive& d) { d.Write("r:\\tont\\42.out", ""); }},
      {true, "42.out",
       [](const ScratchDrive& d) {
         d.Write("r:\\tont\\42.out", "read-only");
         d.MakeReadOnly("r:\\tont\\42.out");
       }},
      {false, kStoredOfTheOtherCase, [](const ScratchDrive& d) { d.Write("r:\\tont\\42.OUT", "x"); }},
      {false, "", [](const ScratchDrive& d) { d.Write("r:\\tont\\042.out", "x"); }},
      {false, "", [](const ScratchDrive& d) { d.Write("r:\\fromnt\\42.out", "x"); }},
      {false, "", [](const ScratchDrive& d) { d.MakeFolder("r:\\tont\\42.out"); }},
#ifndef _WIN32  // no pipe can stand in a Windows folder
      {false, "", [](const ScratchDrive& d) { mkfifo(d.Local("r:\\tont\\42.out").c_str(), 0666); }},
#endif
      {false, "", [](const ScratchDrive& d) { d.Remove("r:\\tont"); }},
  };
  const FileDrop drop = FileDropOf(42);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    ScratchDrive drive;
    cases[i].make(drive);
    EXPECT_EQ(ResponseFileReady(drop), cases[i].ready) << "case " << i;
    // While the request waits to be taken, no answer is its own.
    if (cases[i].ready) {
      drive.Write("r:\\fromnt\\42.DAT", "TRACKNO=42\r\n");
      EXPECT_FALSE(ResponseFileReady(drop)) << "case " << i << ", its request waiting";
      drive.Remove("r:\\fromnt\\42.DAT");
    }
    EXPECT_EQ(CurrentSystem().LookUpPlainFile("r:\\tont\\42.out"), cases[i].stored) << "case " << i;
  }
  ScratchDrive drive;
  drive.Write("r:\\tont\\.42.out", "x");
#ifdef _WIN32  // a hidden file is one of that attribute there, not of a leading dot
  SetFileAttributesA(drive.Local("r:\\tont\\.42.out").c_str(), FILE_ATTRIBUTE_HIDDEN);
#endif
  EXPECT_EQ(CurrentSystem().LookUpPlainFile("r:\\tont\\.42.out"), "") << "hidden";
}

TEST(FileDropTest, ResponseLinesPassUnchangedInBoundedPartsAndTheFileIsRemoved) {
  constexpr std::size_t kPart = kResponsePartSize;
  const std::string full(kPart, 'f');
  const std::string longer = std::string(2 * kPart, 'g') + "\n" + std::string(kPart / 2, 'h');
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;
    std::vector<std::vector<std::size_t>> part_sizes;  // of each line
  };
  const Case cases[] = {
      {"", {}, {}},
      {"<p>one\r\n<p>two", {"<p>one", "<p>two"}, {{6}, {6}}},
      {"a\nb\nc\n", {"a\nb\nc\n"}, {{6}}},
      {full + "\r\n" + full, {full, full}, {{kPart}, {kPart}}},
      {full + "x\r" + full + "\r\n\r\n", {full + "x", full, ""}, {{kPart, 1}, {kPart}, {0}}},
      {longer + "\r\nend", {longer, "end"}, {{kPart, kPart, kPart / 2 + 1}, {3}}},
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    drive.Write("r:\\tont\\-3.out", c.bytes);
    FileDrop drop = FileDropOf(-3);
    EXPECT_TRUE(OpenResponseFile(drop));
    std::vector<std::string> lines;
    std::vector<std::vector<std::size_t>> part_sizes;
    std::string part;
    while (!AtEndOfResponse(drop)) {
      lines.emplace_back();
      part_sizes.emplace_back();
      bool ended = false;
      while (!ended) {
        ended = ReadResponsePart(drop, part);
        lines.back() += part;
        part_sizes.back().push_back(part.size());
      }
    }
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(part_sizes, c.part_sizes);
    EXPECT_EQ(FailureOf([&] { ReadResponsePart(drop, part); }), kInputPastEnd);
    CloseResponseFile(drop);
    EXPECT_EQ(FailureOf([&] { ReadResponsePart(drop, part); }), kInvalidArgument) << "closed";
    RemoveResponseFile(drop);
    EXPECT_FALSE(drive.Exists("r:\\tont\\-3.out"));
    EXPECT_EQ(FailureOf([&] { RemoveResponseFile(drop); }), kFileNotFound);
    EXPECT_FALSE(OpenResponseFile(drop)) << "gone since the look";
  }
  FileDrop drop = FileDropOf(-3);
  std::string part;
  EXPECT_EQ(FailureOf([&] { ReadResponsePart(drop, part); }), kInvalidArgument) << "nothing is open";
  EXPECT_EQ(FailureOf([&] { AtEndOfResponse(drop); }), kInvalidArgument) << "nothing is open";
}

}  // namespace
}  // namespace trackrelay

namespace trackrelay {
namespace {

// Before a request is published, an answer of its number that stands goes; what the look never
// takes for an answer (another spelling, a folder, a pipe) stays where it is.
TEST(FileDropTest, AnEarlierAnswerGoesBeforePublicationAndNothingElse) {
  struct Case {
    const char* name;
    std::function<void(const ScratchDrive&)> make;
    const char* left;  // what stays, or nullptr
  };
  const Case cases[] = {
      {"an answer", [](const ScratchDrive& d) { d.Write("r:\\tont\\42.out", "earlier"); }, nullptr},
      {"nothing", [](const ScratchDrive&) {}, nullptr},
      {"a folder", [](const ScratchDrive& d) { d.MakeFolder("r:\\tont\\42.out"); }, "r:\\tont\\42.out"},
#ifndef _WIN32  // on Windows the other spelling is the same file, no pipe stands in a folder, and
                // a read-only file cannot be removed (the request ends at its step 3 then, as the
                // relay of such an answer ends at 6 when it cannot delete it)
      {"a read-only answer",
       [](const ScratchDrive& d) {
         d.Write("r:\\tont\\42.out", "earlier");
         d.MakeReadOnly("r:\\tont\\42.out");
       },
       nullptr},
      {"another spelling", [](const ScratchDrive& d) { d.Write("r:\\tont\\42.OUT", "x"); }, "r:\\tont\\42.OUT"},
      {"a pipe", [](const ScratchDrive& d) { mkfifo(d.Local("r:\\tont\\42.out").c_str(), 0666); },
       "r:\\tont\\42.out"},
#endif
  };
  for (const Case& c : cases) {
    ScratchDrive drive;
    c.make(drive);
    const FileDrop drop = FileDropOf(42);
    RemoveAnswerLeftBefore(drop);
    EXPECT_FALSE(ResponseFileReady(drop)) << c.name;
    if (c.left != nullptr) {
      EXPECT_TRUE(drive.Exists(c.left)) << c.name;
    } else {
      EXPECT_FALSE(drive.Exists("r:\\tont\\42.out")) << c.name;
    }
  }
}

}  // namespace
}  // namespace trackrelay

namespace trackrelay {
namespace {

// A drop owns its response file: opening another's, or closing it, leaves this one's reading
// where it was.
TEST(FileDropTest, EachDropReadsItsOwnResponse) {
  ScratchDrive drive;
  drive.Write("r:\\tont\\1.out", "one\r\ntwo");
  drive.Write("r:\\tont\\2.out", "other");
  FileDrop first = FileDropOf(1);
  FileDrop second = FileDropOf(2);
  std::string part;
  ASSERT_TRUE(OpenResponseFile(first));
  ASSERT_TRUE(ReadResponsePart(first, part));
  EXPECT_EQ(part, "one");
  ASSERT_TRUE(OpenResponseFile(second));
  ASSERT_TRUE(ReadResponsePart(second, part));
  EXPECT_EQ(part, "other");
  CloseResponseFile(second);
  ASSERT_TRUE(ReadResponsePart(first, part));
  EXPECT_EQ(part, "two");
  EXPECT_TRUE(AtEndOfResponse(first));
  CloseResponseFile(first);
}

}  // namespace
}  // namespace trackrelay
