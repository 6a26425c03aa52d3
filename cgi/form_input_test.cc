#include "cgi/form_input.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/cgi_environment.h"
#include "platform/failure.h"
#include "platform/testing/scratch_handle.h"

namespace trackrelay {

void PrintTo(const FormField& f, std::ostream* os) {
  *os << "{" << ::testing::PrintToString(f.name) << ", " << ::testing::PrintToString(f.value) << "}";
}

namespace {

using Fields = std::vector<FormField>;

// Every slot of a table, unfilled ones included, as names and decoded values.
Fields AllSlots(const FieldTable& table) {
  Fields slots;
  for (std::size_t slot = 0; slot < table.size(); ++slot) slots.push_back(table.Field(slot));
  return slots;
}

std::string Repeated(const std::string& piece, std::size_t times) {
  std::string text;
  text.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) text += piece;
  return text;
}

std::string Bytes(std::initializer_list<int> codes) {
  std::string s;
  for (int c : codes) s += static_cast<char>(c);
  return s;
}

class FormInputTest : public ::testing::Test {
 protected:
  void TearDown() override {
    CgiEnvironment = CgiEnvironmentRecord{};
    FormInput.clear();
    FieldCount = 0;
    FormFieldTable.clear();
  }
  void Decode(const std::string& method, const std::string& query) {
    CgiEnvironment.REQUEST_METHOD = method;
    CgiEnvironment.QUERY_STRING = query;
    DecodeFormInput();
  }
};

TEST(DecodeFormValueTest, PlusThenPercent) {
  const std::pair<std::string, std::string> cases[] = {
      {"x+y%2Bz%41", "x y+zA"},
      {"%zz", Bytes({0})},
      {"%4", Bytes({4})},
      {"50%", "50" + Bytes({0})},
      {"%4g", Bytes({4})},              // one digit, then a non-digit: both characters go
      {"%g4", Bytes({0})},              // hex reading stops at the first non-digit
      {"%252B", "%2B"},                 // a decoded "%" is never decoded again
      {"%%41", Bytes({0}) + "1"},
      {"%e9%FF%00", Bytes({0xE9, 0xFF, 0})},
      {"%+4", Bytes({4})},              // the plus became a blank, which hex reading skips
      {"%", Bytes({0})},
      {"", ""},
      {"a%0D%0Ab", "a\r\nb"},
      {"++", "  "},
  };
  for (const auto& [raw, decoded] : cases) EXPECT_EQ(DecodeFormValue(raw), decoded) << "raw: " << raw;
}

TEST(SplitFormInputTest, FollowsTheFieldLoop) {
  struct Case {
    std::string input;
    Fields fields;  // every slot, the empty last one included
  };
  const Case cases[] = {
      {"TRACKNO=5", {{"TRACKNO", "5"}, {}}},
      {"", {{}}},
      {"a+b=c", {{"a+b", "c"}, {}}},
      {"x&a=1", {{"x&a", "1"}, {}}},
      {"a=b=c&d=e", {{"a", "b=c"}, {"d", "e"}, {}, {}}},
      {"TRACK%4EO=1", {{"TRACK%4EO", "1"}, {}}},
      {"=&=", {{"", ""}, {"", ""}, {}}},
      {"a=1&&b=2", {{"a", "1"}, {"&b", "2"}, {}}},
      {"a=1&", {{"a", "1"}, {}}},
      {"noequals&x", {{}}},
      {std::string("n\0=v\0", 5), {{std::string("n\0", 2), std::string("v\0", 2)}, {}}},
      {"\xC4=\xE9%E9", {{"\xC4", "\xE9\xE9"}, {}}},
  };
  for (const Case& c : cases) {
    std::int32_t count = static_cast<std::int32_t>(std::count(c.input.begin(), c.input.end(), '='));
    EXPECT_EQ(AllSlots(SplitFormInput(c.input, count)), c.fields) << "input: " << c.input;
  }
}

TEST(SplitFormInputTest, OnlyFilledSlotsAreKeptEachAsWhereItBegins) {
  struct Case {
    std::string input;
    std::size_t filled;
    std::vector<std::string> names, raw_values;  // of the filled slots
  };
  const Case cases[] = {
      {Repeated("=", 1 << 20), 1, {""}, {Repeated("=", (1 << 20) - 1)}},
      {Repeated("=&", 4), 4, {"", "", "", ""}, {"", "", "", ""}},
      {"&=&", 1, {"&"}, {""}},
      {"a==&=b=&c", 2, {"a", ""}, {"=", "b="}},
      {"x=%41+&y=+", 2, {"x", "y"}, {"%41+", "+"}},
  };
  for (const Case& c : cases) {
    const std::int32_t count = static_cast<std::int32_t>(std::count(c.input.begin(), c.input.end(), '='));
    const FieldTable table = SplitFormInput(c.input, count);
    EXPECT_EQ(table.size(), static_cast<std::size_t>(count) + 1) << c.input.substr(0, 20);
    ASSERT_EQ(table.filled(), c.filled) << c.input.substr(0, 20);
    for (std::size_t slot = 0; slot < c.filled; ++slot) {
      EXPECT_EQ(table.Name(slot), c.names[slot]) << c.input.substr(0, 20) << " slot " << slot;
      EXPECT_EQ(table.RawValue(slot), c.raw_values[slot]) << c.input.substr(0, 20) << " slot " << slot;
    }
    // Past the filled slots every slot is empty, the last one included.
    for (std::size_t slot : {c.filled, table.size() - 1}) {
      EXPECT_EQ(table.Name(slot), "");
      EXPECT_EQ(table.RawValue(slot), "");
    }
  }
}

TEST_F(FormInputTest, GetKeepsTheQueryStringRaw) {
  Decode("GET", "TRACKNO=42&x=a+b%21");
  EXPECT_EQ(FormInput, "TRACKNO=42&x=a+b%21");
  EXPECT_EQ(FieldCount, 2);
  EXPECT_EQ(FormFieldTable.size(), 3u);
  EXPECT_EQ(LookupFormValue("x"), "a b!");
}

TEST_F(FormInputTest, OnlyUpperCasePostReadsTheBody) {
  for (const std::string method : {"get", "post", "Post", "", "PUT"}) {
    ScratchHandle in = ScratchHandle::Input("TRACKNO=9");
    CgiEnvironment.StdIn = in.handle();
    CgiEnvironment.ContentLength = 9;
    Decode(method, "TRACKNO=1");
    EXPECT_EQ(FormInput, "TRACKNO=1") << method;
  }
}

TEST_F(FormInputTest, PostReadsContentLengthBytesOrWhatArrives) {
  struct Case {
    std::string body;
    std::int32_t content_length;
    std::string form_input;
  };
  const std::string big(200000, 'a');  // more than one pipe buffer or read chunk
  std::string huge;                      // more than two of the blocks the body is read into
  for (int i = 0; huge.size() < 2621440; ++i) huge += std::to_string(i) + ",";
  const Case cases[] = {
      {"TRACKNO=7&x=1", 13, "TRACKNO=7&x=1"},
      {"TRACKNO=7&x=1", 9, "TRACKNO=7"},
      {"TRACKNO=7", 2000000000, "TRACKNO=7"},  // a short body gives what arrived
      {"TRACKNO=7", 0, ""},                    // nothing is read, whatever the query says
      {"", 5, ""},
      {"a=" + big, 200002, "a=" + big},
      {"a=" + huge, static_cast<std::int32_t>(huge.size() + 2), "a=" + huge},      // several blocks, joined
      {"a=" + huge, static_cast<std::int32_t>(huge.size() - 7), "a=" + huge.substr(0, huge.size() - 9)},
      {std::string("a=\0\xff", 4), 4, std::string("a=\0\xff", 4)},
  };
  for (const Case& c : cases) {
    ScratchHandle in = ScratchHandle::Input(c.body);
    CgiEnvironment.StdIn = in.handle();
    CgiEnvironment.ContentLength = c.content_length;
    Decode("POST", "TRACKNO=1");
    EXPECT_EQ(FormInput, c.form_input) << c.content_length;
  }
}

TEST_F(FormInputTest, NegativeContentLengthIsAnInvalidArgument) {
  CgiEnvironment.ContentLength = -1;
  try {
    Decode("POST", "");
    ADD_FAILURE() << "no failure";
  } catch (const Failure& f) {
    EXPECT_EQ(f.number(), kInvalidArgument);
  }
}

TEST_F(FormInputTest, LookupJoinsRepeatedFieldsAndFoldsOnlyAsciiLetters) {
  struct Case {
    std::string input, name, value;
  };
  const Case cases[] = {
      {"trackno=7", "TRACKNO", "7"},
      {"TrAcKnO=7", "tRaCkNo", "7"},
      {"a=1&a=2&a=3", "a", "1;2;3"},
      {"a=1&A=2", "a", "1;2"},
      {"a=&a=2", "a", "2"},
      {"a=2&a=", "a", "2;"},
      {"a=&a=&a=3&a=", "a", "3;"},
      {"a=1", "b", ""},
      {"TRACK%4EO=1", "TRACKNO", ""},
      {"TRACKNO=1&TRACKNO=2", "TRACKNO", "1;2"},
      {"\xE9=1", "\xC9", ""},   // bytes 128..255 are not folded
      {"\xE9=1", "\xE9", "1"},
      {"=x&=y", "", "x;y"},
      {"a=b=c&d=e", "", ""},    // the empty slots match the empty name but add nothing first
      {"=x&b=c=d", "", "x;"},   // ...and a lone ";" once the result holds text
      {"", "", ""},
  };
  for (const Case& c : cases) {
    Decode("GET", c.input);
    EXPECT_EQ(LookupFormValue(c.name), c.value) << "input: " << c.input << " name: " << c.name;
  }
}

TEST_F(FormInputTest, LookupOverRunsOfEqualsAndEmptyNames) {
  // The unfilled slots, which the table does not store, still match the empty name: each adds a
  // lone ";" once the result holds text.
  struct Case {
    std::string input, name, value;
  };
  const Case cases[] = {
      {"====", "", "===;;;"},
      {"====", "TRACKNO", ""},
      {Repeated("=", 32767), "", Repeated("=", 32766) + Repeated(";", 32766)},
      {"=&=&=", "", ""},
      {"=&=&=x", "", "x"},
      {"=x&=&=", "", "x;;"},
      {"=x&=&=", "x", ""},
      {"a==&=b", "", "b;"},
      {"a==&=b=", "", "b=;;"},
      {"a==&=b=", "A", "="},
      {"&=&", "&", ""},
      {"&=v&", "&", "v"},
      {Repeated("=&", 32766) + "=x", "", "x"},
      {Repeated("=%41&", 32767), "", Repeated("A;", 32766) + "A"},
      {"TRACKNO=" + Repeated("=", 30000) + "&trackno=%3D+", "TRACKNO", Repeated("=", 30000) + ";= "},
      {Repeated("x=1&", 5000) + "=" + Repeated("=", 20000), "", Repeated("=", 20000) + Repeated(";", 20000)},
  };
  for (const Case& c : cases) {
    Decode("GET", c.input);
    EXPECT_EQ(LookupFormValue(c.name), c.value) << "input: " << c.input.substr(0, 40) << " name: " << c.name;
  }
}

TEST_F(FormInputTest, LookupOverflowsFrom32768Fields) {
  // The count of "=" decides, whether the slots are filled ("&f=1") or not (a run of "=").
  struct Case {
    int fields;
    bool overflow;
  };
  for (Case c : {Case{32767, false}, Case{32768, true}, Case{32769, true}, Case{100000, true}}) {
    for (const std::string rest : {"&f=1", "="}) {
      std::string input = "TRACKNO=5";
      for (int i = 1; i < c.fields; ++i) input += rest;
      Decode("GET", input);
      ASSERT_EQ(FieldCount, c.fields);
      if (!c.overflow) {
        // A run of "=" is the value of the one filled slot.
        std::string value = "5";
        if (rest == "=") value.append(32766, '=');
        EXPECT_EQ(LookupFormValue("TRACKNO"), value);
        continue;
      }
      try {
        LookupFormValue("TRACKNO");
        ADD_FAILURE() << "no overflow with " << c.fields << " fields of " << rest;
      } catch (const Failure& f) {
        EXPECT_EQ(f.number(), kOverflow);
      }
    }
  }
}

}  // namespace
}  // namespace trackrelay
