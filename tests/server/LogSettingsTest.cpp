// The event log (layout, printable text, re-creation, concurrent writers) and the settings.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "server/Log.h"
#include "server/Settings.h"
#include "support/TestSupport.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  test::TTempDir dir;
  std::string path = dir / "zarnel.log";
  TLog log{path};
};

TEST_F(LogTest, LineLayoutPrintableTextAndRecreation) {
  EXPECT_FALSE(test::FileExists(path));
  log.WriteLog(0, "Server Started");
  log.WriteLog(-12345,
               "a\tb\rc\nd\x7f"
               "e\xff");
  log.WriteLog(1234567890, std::string("~\0 !", 4));
  const auto lines = test::SplitLines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 3u);
  const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l.substr(0, 19), stamp)) << l;
  EXPECT_EQ(lines[0].substr(19), " [               0] Server Started");
  EXPECT_EQ(lines[1].substr(19), " [          -12345] a b c d e ");
  EXPECT_EQ(lines[2].substr(19), " [      1234567890] ~  !");

  std::remove(path.c_str());
  log.WriteLog(0, "two");
  EXPECT_EQ(test::LogMessages(path), std::vector<std::string>{"two"});
  TLog bad(dir / "missing/zarnel.log");
  EXPECT_THROW(bad.WriteLog(0, "x"), std::system_error);
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
  const std::string body(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) log.WriteLog(t, body);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(test::LogMessages(path), std::vector<std::string>(400, body));
}

// The settings on one line: the numbers, the four flags, then the texts between bars.
std::string Show(const TSettings& s) {
  std::ostringstream out;
  out << s.FilmMaxConnections << ' ' << s.ViewMaxConnections << ' ' << s.BandwidthBuffer << ' '
      << s.BandwidthNormal << ' ' << s.ViewerAuth << s.Debug << s.RelayEnabled << s.AllowRelays
      << '|' << s.RelayServer << '|' << s.RelayPassword << '|' << s.FilmPassword << '|'
      << s.AdminPassword;
  return out.str();
}

TEST(SettingsTest, DefaultsValuesAndConversions) {
  test::TTempDir dir;
  const std::string path = dir / "zarnel.ini";
  const std::string defaults = "50 200 50000 7000 0000||||";
  EXPECT_EQ(Show(LoadSettings(path)), defaults);
  const std::pair<std::string, std::string> cases[] = {
      {"[settings]\nFilmMaxConnections=0x20\nViewMaxConnections=0\nBandwidthBuffer=$10\n"
       "BandwidthNormal= 123 \nViewerAuth=true\nDebug=2\nRelayEnabled=1\nAllowRelays=-1\n"
       "RelayServer=up.example\nRelayPassword=r p\nfilmpass=film\nAdminPassword=adm=in\n",
       "32 0 16 123 0111|up.example|r p|film|adm=in"},
      // Names match with their case; budgets of zero or less take the defaults.
      {"[Settings]\nfilmpass=x\n", defaults},
      {"[settings]\nFilmPass=x\n", defaults},
      {"; comment\n[settings]\r\n  Debug = 1  \nBandwidthBuffer=0\nBandwidthNormal=-5\n\n",
       "50 200 50000 7000 0100||||"}};
  for (const auto& [text, expected] : cases) {
    test::WriteFile(path, text);
    EXPECT_EQ(Show(LoadSettings(path)), expected) << text;
    EXPECT_EQ(test::ReadFile(path), text);  // loading never writes the file
  }
}

}  // namespace
