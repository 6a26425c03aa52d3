#include "remote_host/command_environment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace trackrelay::remote_host {
namespace {

std::vector<std::string> FormVariables(const std::vector<std::string>& environment) {
  std::vector<std::string> form;
  for (const std::string& variable : environment) {
    if (variable.starts_with("FORM_") || variable.starts_with("TRACKRELAY_")) form.push_back(variable);
  }
  return form;
}

TEST(CommandEnvironmentTest, PassesSafeFieldNamesOnlyAndNothingOfTheHostsOwnByTheSameNames) {
  const std::string big(kFieldLimit, 'v');
  const std::pair<std::string, std::vector<std::string>> cases[] = {
      {"TRACKNO=0&name=Ada+Lovelace",
       {"TRACKRELAY_NUMBER=41", "FORM_TRACKNO=0", "FORM_name=Ada Lovelace", "TRACKRELAY_FIELDS=TRACKNO name"}},
      // Repeated fields join as the program's lookup joins them; names keep their case.
      {"a=1&a=2&A=3", {"TRACKRELAY_NUMBER=41", "FORM_a=1;2", "FORM_A=3", "TRACKRELAY_FIELDS=a A"}},
      // No name that a shell cannot name, that could reach past the prefix, or that is empty.
      {"bad-name=1&x%3Dy=2&=3&a+b=4&%00=5&ok_1=6",
       {"TRACKRELAY_NUMBER=41", "FORM_ok_1=6", "TRACKRELAY_FIELDS=ok_1"}},
      // A field named after a variable of the host's gets the prefix like any other.
      {"PATH=%2Ftmp&LD_PRELOAD=x.so", {"TRACKRELAY_NUMBER=41", "FORM_PATH=/tmp", "FORM_LD_PRELOAD=x.so",
                                        "TRACKRELAY_FIELDS=PATH LD_PRELOAD"}},
      // A value with a NUL cannot be passed; one beyond the bound is left out.
      {"a=x%00y&b=" + big + "&c=3", {"TRACKRELAY_NUMBER=41", "FORM_c=3", "TRACKRELAY_FIELDS=c"}},
      {"", {"TRACKRELAY_NUMBER=41", "TRACKRELAY_FIELDS="}},
  };
  const char* const inherited[] = {"PATH=/usr/bin", "FORM_name=from the host", "TRACKRELAY_NUMBER=7",
                                   "TRACKRELAY_DRIVE_ROOT=/srv", nullptr};
  for (const auto& [input, expected] : cases) {
    const std::vector<std::string> environment = CommandEnvironment("41", input, inherited);
    std::vector<std::string> wanted = {"TRACKRELAY_DRIVE_ROOT=/srv"};
    wanted.insert(wanted.end(), expected.begin(), expected.end());
    EXPECT_EQ(FormVariables(environment), wanted) << input.substr(0, 60);
    EXPECT_EQ(environment.front(), "PATH=/usr/bin") << input.substr(0, 60);
  }
}

TEST(CommandEnvironmentTest, AllFieldsTogetherStayWithinTheirBound) {
  std::string input;
  for (int i = 0; i < 100; ++i) input.append("f").append(std::to_string(i)).append("=").append(8000, 'x').append("&");
  std::size_t total = 0;
  for (const std::string& variable : FormVariables(CommandEnvironment("1", input, nullptr))) {
    if (variable.starts_with("FORM_")) total += variable.size();
  }
  EXPECT_GT(total, kFieldsLimit / 2);
  EXPECT_LE(total, kFieldsLimit);
}

TEST(WithCrLfLineEndsTest, EndsEveryLineInCrLf) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\nb\n", "a\r\nb\r\n"}, {"a\r\nb", "a\r\nb\r\n"}, {"a\rb\r", "a\r\nb\r\n"}, {"\n\n", "\r\n\r\n"},
      {"\r\r\n", "\r\n\r\n"},   {"", ""},                  {"x", "x\r\n"},          {std::string("\0\xff\n", 3), std::string("\0\xff\r\n", 4)},
  };
  for (const auto& [output, lines] : cases) EXPECT_EQ(WithCrLfLineEnds(output), lines) << output;
}

TEST(ErrorPageTest, IsAWholeDocumentInCrLfLines) {
  const std::string page = ErrorPage("-3");
  EXPECT_TRUE(page.starts_with("<!DOCTYPE html>\r\n"));
  EXPECT_TRUE(page.ends_with("</html>\r\n"));
  EXPECT_NE(page.find("Tracking number -3."), std::string::npos);
  EXPECT_EQ(WithCrLfLineEnds(page), page);
}

}  // namespace
}  // namespace trackrelay::remote_host
