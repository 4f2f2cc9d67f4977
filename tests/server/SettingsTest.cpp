#include "server/Settings.h"

#include <gtest/gtest.h>

#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  TSettings Load(const std::string& text) {
    test::WriteFile(path, text);
    return LoadSettings(path);
  }
  test::TTempDir dir;
  std::string path = dir / "zarnel.ini";
};

TEST_F(SettingsTest, MissingFileGivesDefaults) {
  const TSettings s = LoadSettings(dir / "none.ini");
  EXPECT_EQ(s.FilmMaxConnections, 50);
  EXPECT_EQ(s.ViewMaxConnections, 200);
  EXPECT_EQ(s.BandwidthBuffer, 50000);
  EXPECT_EQ(s.BandwidthNormal, 7000);
  EXPECT_FALSE(s.ViewerAuth || s.Debug || s.RelayEnabled || s.AllowRelays);
  EXPECT_EQ(s.RelayServer + s.RelayPassword + s.FilmPassword + s.AdminPassword, "");
}

TEST_F(SettingsTest, ValuesAndConversions) {
  const TSettings s = Load(
      "[settings]\nFilmMaxConnections=0x20\nViewMaxConnections=0\nBandwidthBuffer=$10\n"
      "BandwidthNormal= 123 \nViewerAuth=true\nDebug=2\nRelayEnabled=1\nAllowRelays=-1\n"
      "RelayServer=up.example\nRelayPassword=r p\nfilmpass=film\nAdminPassword=adm=in\n");
  EXPECT_EQ(s.FilmMaxConnections, 32);
  EXPECT_EQ(s.ViewMaxConnections, 0);
  EXPECT_EQ(s.BandwidthBuffer, 16);
  EXPECT_EQ(s.BandwidthNormal, 123);
  EXPECT_FALSE(s.ViewerAuth);  // a word does not convert
  EXPECT_TRUE(s.Debug && s.RelayEnabled && s.AllowRelays);
  EXPECT_EQ(s.RelayServer, "up.example");
  EXPECT_EQ(s.RelayPassword, "r p");
  EXPECT_EQ(s.FilmPassword, "film");
  EXPECT_EQ(s.AdminPassword, "adm=in");
}

TEST_F(SettingsTest, NamesMatchWithCase) {
  TSettings s = Load("[Settings]\nfilmpass=x\n");
  EXPECT_EQ(s.FilmPassword, "");
  s = Load("[settings]\nFilmPass=x\n");
  EXPECT_EQ(s.FilmPassword, "");
}

TEST_F(SettingsTest, BudgetsOfZeroOrLessTakeDefaults) {
  const TSettings s = Load("[settings]\nBandwidthBuffer=0\nBandwidthNormal=-5\n");
  EXPECT_EQ(s.BandwidthBuffer, 50000);
  EXPECT_EQ(s.BandwidthNormal, 7000);
}

TEST_F(SettingsTest, LoadingNeverWritesTheFile) {
  const std::string text = "; comment\n[settings]\r\n  Debug = 1  \n\n";
  Load(text);
  EXPECT_EQ(test::ReadFile(path), text);
}

}  // namespace
