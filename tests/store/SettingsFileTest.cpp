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

}  // namespace
