#include "cgi/form_input.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi/cgi_environment.h"
#include "platform/failure.h"
#include "platform/test_support.h"

namespace trackrelay {

void PrintTo(const FormField& f, std::ostream* os) {
  *os << "{" << ::testing::PrintToString(f.name) << ", " << ::testing::PrintToString(f.value) << "}";
}

namespace {

using Fields = std::vector<FormField>;

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
    EXPECT_EQ(SplitFormInput(c.input, count), c.fields) << "input: " << c.input;
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
  const Case cases[] = {
      {"TRACKNO=7&x=1", 13, "TRACKNO=7&x=1"},
      {"TRACKNO=7&x=1", 9, "TRACKNO=7"},
      {"TRACKNO=7", 2000000000, "TRACKNO=7"},  // a short body gives what arrived
      {"TRACKNO=7", 0, ""},                    // nothing is read, whatever the query says
      {"", 5, ""},
      {"a=" + big, 200002, "a=" + big},
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

TEST_F(FormInputTest, LookupOverflowsFrom32768Fields) {
  struct Case {
    int fields;
    bool overflow;
  };
  for (Case c : {Case{32767, false}, Case{32768, true}, Case{32769, true}, Case{100000, true}}) {
    std::string input = "TRACKNO=5";
    for (int i = 1; i < c.fields; ++i) input += "&f=1";
    Decode("GET", input);
    ASSERT_EQ(FieldCount, c.fields);
    if (!c.overflow) {
      EXPECT_EQ(LookupFormValue("TRACKNO"), "5");
      continue;
    }
    try {
      LookupFormValue("TRACKNO");
      ADD_FAILURE() << "no overflow with " << c.fields << " fields";
    } catch (const Failure& f) {
      EXPECT_EQ(f.number(), kOverflow);
    }
  }
}

}  // namespace
}  // namespace trackrelay
