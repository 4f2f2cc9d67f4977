// Reading zarnel.ini: defaults, values, conversions.
#include <gtest/gtest.h>

#include <sstream>
#include <utility>

#include "store/SettingsFile.h"
#include "support/TestSupport.h"

namespace {

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

TEST(SettingsTest, RetentionKeysTakeTheirDefaultsUnlessTheyConvert) {
  test::TTempDir dir;
  const std::string path = dir / "zarnel.ini";
  const auto show = [&] {
    const TSettings s = LoadSettings(path);
    return std::to_string(s.KeepDays) + " " + std::to_string(s.StoreLimitMB) + " " +
           std::to_string(s.MinFreeMB);
  };
  EXPECT_EQ(show(), "0 0 256");
  const std::pair<std::string, std::string> cases[] = {
      {"[settings]\nKeepDays=30\nStoreLimitMB=0x400\nMinFreeMB=$10\n", "30 1024 16"},
      // Zero or less is kept as written: it means "never", "no limit", "no floor".
      {"[settings]\nKeepDays=-1\nStoreLimitMB=0\nMinFreeMB=0\n", "-1 0 0"},
      {"[settings]\nKeepDays=a week\nStoreLimitMB=\nMinFreeMB=99999999999\n", "0 0 256"},
      {"[settings]\nkeepdays=7\nStorelimitMB=5\nMINFREEMB=1\n", "0 0 256"}};
  for (const auto& [text, expected] : cases) {
    test::WriteFile(path, text);
    EXPECT_EQ(show(), expected) << text;
  }
}

}  // namespace
