#include "remote_host/remote_host.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "relay/file_drop.h"
#include "relay/tracking_request.h"

namespace trackrelay::remote_host {
namespace {

// The remote host keeps its own figure of the program's wait, as the exchange states it; it must
// be the one the program waits by.
static_assert(kProgramWait == std::chrono::milliseconds(kLooksBeforeTimeout * kPollIntervalMs));

// --drive-root DIR: the folders where the program finds them when its drive root is DIR.
TEST(RemoteHostTest, PlacesTheProgramsFoldersBelowADriveRoot) {
  struct Case {
    std::string_view drive_path;
    const char* below;
  };
  const Case cases[] = {
      {kOutboundFolder, "/srv/drives/r/fromnt"},
      {kInboundFolder, "/srv/drives/r/tont"},
      {"R:\\a\\b", "/srv/drives/r/a/b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExchangeFolderBelow("/srv/drives", c.drive_path).generic_string(), c.below) << c.drive_path;
  }
}

TEST(RequestNumberOfTest, TakesCompleteRequestFilesOfTrackingNumbersOnly) {
  struct Case {
    std::string name;
    std::optional<std::string> number;
    bool misnamed;  // of a request's shape, but no number the program writes
  };
  const Case cases[] = {
      {"41.DAT", "41", false},
      {"-3.DAT", "-3", false},
      {"0.DAT", "0", false},
      {"32767.DAT", "32767", false},
      {"-32768.DAT", "-32768", false},
      {"t41.DAT", std::nullopt, false},  // still being written by the program
      {"t-3.DAT", std::nullopt, false},
      {"41.dat", std::nullopt, false},   // the program writes ".DAT" exactly
      {"41.out", std::nullopt, false},
      {".DAT", std::nullopt, false},
      {"-.DAT", std::nullopt, false},
      {"+7.DAT", std::nullopt, false},
      {"4 1.DAT", std::nullopt, false},
      {"41.DAT.swp", std::nullopt, false},
      {"41", std::nullopt, false},
      // Digits that the program never writes: its answer would be a name that no request waits
      // for, or none that a folder can hold.
      {"00042.DAT", std::nullopt, true},
      {"-0.DAT", std::nullopt, true},
      {"-042.DAT", std::nullopt, true},
      {"32768.DAT", std::nullopt, true},
      {"-32769.DAT", std::nullopt, true},
      {"99999999999999999999999.DAT", std::nullopt, true},
      {std::string(246, '0') + "42.DAT", std::nullopt, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RequestNumberOf(c.name), c.number) << c.name;
    EXPECT_EQ(IsMisnamedRequest(c.name), c.misnamed) << c.name;
  }
}

TEST(FormInputOfTest, DropsTheOneLineEndThatTheProgramAdds) {
  EXPECT_EQ(FormInputOf("TRACKNO=0\r\n"), "TRACKNO=0");
  EXPECT_EQ(FormInputOf("\r\n"), "");
  EXPECT_EQ(FormInputOf("a=1\r\n\r\n"), "a=1\r\n");  // a POST body may end in CR LF itself
  EXPECT_EQ(FormInputOf("a=1\n"), "a=1\n");
}

TEST(ParseFormFieldsTest, DecodesNamesAndValues) {
  using Fields = std::vector<std::pair<std::string, std::string>>;
  const std::pair<std::string, Fields> cases[] = {
      {"TRACKNO=0&name=Ada+Lovelace", {{"TRACKNO", "0"}, {"name", "Ada Lovelace"}}},
      {"", {}},
      {"a=b=c", {{"a", "b=c"}}},
      {"flag&x=1", {{"flag", ""}, {"x", "1"}}},
      {"a=1&&b=2&", {{"a", "1"}, {"b", "2"}}},
      {"my+name%21=%3Cb%3E", {{"my name!", "<b>"}}},
      {"=v", {{"", "v"}}},
      {"note=caf%C3%A9", {{"note", "caf\xC3\xA9"}}},
  };
  for (const auto& [input, fields] : cases) EXPECT_EQ(ParseFormFields(input), fields) << input;
}

TEST(EscapeHtmlTest, LeavesNoMarkupAndNoLineEnds) {
  const std::pair<std::string, std::string> cases[] = {
      {"<script>alert(\"x\")</script>", "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;"},
      {"a&b 'c'", "a&amp;b &#39;c&#39;"},
      {"&amp;", "&amp;amp;"},
      {"line\r\nnext", "line&#13;&#10;next"},
      {std::string("\0\x1f\x7f", 3), "&#0;&#31;&#127;"},
      {"tab\there", "tab\there"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},  // bytes above 127 are the page's charset's business
      {"", ""},
  };
  for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeHtml(text), escaped) << text;
}

TEST(BuildResponsePageTest, ShowsNumberAndEscapedFieldsInCrLfLines) {
  const std::string page = BuildResponsePage("41", "TRACKNO=0&note=%3Cb%3E+%0D%0A");
  EXPECT_NE(page.find("<title>Tracking number 41</title>\r\n"), std::string::npos);
  EXPECT_NE(page.find("<h1>Tracking number 41</h1>\r\n"), std::string::npos);
  EXPECT_NE(page.find("<tr><td>TRACKNO</td><td>0</td></tr>\r\n"), std::string::npos);
  EXPECT_NE(page.find("<tr><td>note</td><td>&lt;b&gt; &#13;&#10;</td></tr>\r\n"), std::string::npos);
  EXPECT_NE(page.find("<code>TRACKNO=0&amp;note=%3Cb%3E+%0D%0A</code>"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  // Every CR and LF belongs to a CR LF line end, the last line's included.
  ASSERT_TRUE(page.ends_with("</html>\r\n"));
  for (std::size_t i = 0; i < page.size(); ++i) {
    if (page[i] == '\r') {
      EXPECT_EQ(page[i + 1], '\n') << "at " << i;
    }
    if (page[i] == '\n') {
      EXPECT_EQ(page[i - 1], '\r') << "at " << i;
    }
  }
}

TEST(BuildResponsePageTest, SaysSoWhenThereAreNoFields) {
  const std::string page = BuildResponsePage("-3", "");
  EXPECT_NE(page.find("<h1>Tracking number -3</h1>"), std::string::npos);
  EXPECT_NE(page.find("(none)"), std::string::npos);
}

}  // namespace
}  // namespace trackrelay::remote_host
