// The status source against a store on disk: what the games take and the free-space floor.
#include <gtest/gtest.h>

#include <filesystem>

#include "server/StatusSource.h"
#include "status/StatusPages.h"
#include "support/TestSupport.h"

namespace {

TEST(StatusSourceTest, StoreSizeSumsTheGamesAndTheFloorFollowsTheSettings) {
  test::TTempDir dir;
  const std::string root = dir / "Streams/";
  for (const std::string game : {"A", "B"}) std::filesystem::create_directories(root + game);
  test::WriteFile(root + "A/stream_0_0", std::string(1000, 'a'));
  test::WriteFile(root + "A/stream_1_0", std::string(24, 'a'));
  test::WriteFile(root + "A/info.ini", "[stream]\navailable=1\n");  // bookkeeping, not counted
  test::WriteFile(root + "B/stream_0_3", std::string(500, 'b'));
  test::WriteFile(root + "PLAIN", std::string(7000, 'p'));  // no game
  TGameStore store(root);
  TSettingsHolder settings;
  TStatusSource source(store, nullptr, {}, settings);

  TStatusSnapshot s = source.Snapshot();
  ASSERT_EQ(s.Games.size(), 2u);
  EXPECT_EQ(s.Store.SizeBytes, 1524u);
  EXPECT_GT(s.Store.FreeBytes, 0u);
  EXPECT_EQ(s.Store.MinFreeBytes, 256 * BytesPerMB);
  // A reload's new floor shows in the next snapshot; zero or less is no floor.
  for (const auto& [mb, bytes] : {std::pair{4096, 4096 * BytesPerMB}, {0, 0ull}, {-1, 0ull}}) {
    TSettings changed;
    changed.MinFreeMB = mb;
    settings.Set(changed);
    EXPECT_EQ(source.Snapshot().Store.MinFreeBytes, bytes) << mb;
  }
}

// An empty password is said on the page, in the JSON and in the metrics until a reload sets it.
TEST(StatusSourceTest, EmptyPasswordsAreWarnedOfUntilSet) {
  test::TTempDir dir;
  TGameStore store(dir / "Streams/");
  TSettingsHolder settings;
  TStatusSource source(store, nullptr, {}, settings);
  const TStatusRun run{"1.0.0.23", std::chrono::system_clock::now()};
  TMetrics metrics;

  TStatusSnapshot open = source.Snapshot();
  ASSERT_EQ(open.Insecure.size(), 2u);
  EXPECT_EQ(open.Insecure[1].Warning,
            "Warning: AdminPassword is empty: anyone who reaches port 28400, which listens on "
            "every address, may hide, offer and delete games");
  const std::string page = RenderStatusHtml(open, run);
  EXPECT_NE(page.find("<p class=\"warn\">Warning: filmpass is empty: anyone who reaches port "
                      "28200"),
            std::string::npos);
  EXPECT_NE(RenderStatusJson(open, run, metrics)
                .find("\"insecure_settings\":[{\"setting\":\"filmpass\",\"warning\":"),
            std::string::npos);
  EXPECT_NE(RenderMetrics(open, run, metrics)
                .find("zarnel_insecure_settings{setting=\"filmpass\"} 1\n"
                      "zarnel_insecure_settings{setting=\"AdminPassword\"} 1\n"),
            std::string::npos);

  TSettings closed;
  closed.AdminPassword = "pw";
  settings.Set(closed);
  const TStatusSnapshot half = source.Snapshot();
  ASSERT_EQ(half.Insecure.size(), 1u);
  EXPECT_EQ(half.Insecure[0].Setting, "filmpass");
  EXPECT_NE(RenderMetrics(half, run, metrics)
                .find("zarnel_insecure_settings{setting=\"AdminPassword\"} 0\n"),
            std::string::npos);
  closed.FilmPassword = "fp";
  settings.Set(closed);
  const TStatusSnapshot shut = source.Snapshot();
  EXPECT_TRUE(shut.Insecure.empty());
  EXPECT_EQ(RenderStatusHtml(shut, run).find("is empty"), std::string::npos);
  EXPECT_NE(RenderStatusJson(shut, run, metrics).find("\"insecure_settings\":[]"),
            std::string::npos);
}

}  // namespace
