// The status source against a store on disk: what the games take and the free-space floor.
#include <gtest/gtest.h>

#include <filesystem>

#include "server/StatusSource.h"
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

}  // namespace
