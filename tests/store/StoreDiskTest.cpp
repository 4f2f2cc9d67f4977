// The store on a real full disk, with damaged files, and removing games: by hand and by the
// retention limits.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>

#include "store/GameStore.h"
#include "support/TestSupport.h"

namespace {

using namespace ::testing;
using Names = std::vector<std::string>;

// Each test gets a tmpfs of its own, made before any thread of the test starts.
class StoreDiskTest : public Test {
 protected:
  void SetUp() override {
    if (!FDisk.Available()) GTEST_SKIP() << FDisk.Reason();
    std::filesystem::create_directories(FRoot);
  }
  void MakeGame(const std::string& game, const std::string& info) {
    std::filesystem::create_directories(FRoot + game);
    test::WriteFile(FRoot + game + "/info.ini", info);
  }
  std::string Info(const std::string& game) { return test::ReadFile(FRoot + game + "/info.ini"); }
  // Log lines so far that contain Text.
  int Logged(const std::string& text) {
    std::lock_guard<std::mutex> lock(FLogLock);
    return static_cast<int>(std::count_if(FLog.begin(), FLog.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    }));
  }
  // Sets the modification time of Game's folder and files to Days ago.
  void Age(const std::string& game, int days) {
    const timespec when{::time(nullptr) - days * 86400L, 0};
    const timespec times[2] = {when, when};
    for (const auto& e : std::filesystem::directory_iterator(FRoot + game))
      ::utimensat(AT_FDCWD, e.path().c_str(), times, 0);
    ::utimensat(AT_FDCWD, (FRoot + game).c_str(), times, 0);
  }

  test::TPrivateTmpfs FDisk{4 << 20};
  const std::string FRoot = FDisk / "Streams/";
  std::mutex FLogLock;
  Names FLog;  // guarded by FLogLock
  TGameStore FStore{FRoot, [this](const std::string& line) {
                      std::lock_guard<std::mutex> lock(FLogLock);
                      FLog.push_back(line);
                    }};
};

const char* const Complete = "[stream]\navailable=1\nviewers=0\n\n[complete]\nall=1\n\n";

TEST_F(StoreDiskTest, AFullDiskNeitherStopsViewersNorLosesWhatTheyChange) {
  MakeGame("G", "[stream]\navailable=1\nviewers=3\n\n");
  MakeGame("H", "[stream]\navailable=1\n\n");
  FDisk.Fill();

  // Start-up resets every count in memory and goes on; each game's failure is logged once,
  // with the system's reason.
  FStore.PrepareAtStart();
  EXPECT_EQ(FStore.ReadViewers("G"), 0);
  EXPECT_EQ(Logged("No space left on device"), 2);

  // Viewers come and go and a game completes: memory holds it all, nothing raises, and the
  // failing game is not logged again in the same episode.
  EXPECT_TRUE(FStore.AddViewer("G"));
  EXPECT_TRUE(FStore.AddViewer("G"));
  FStore.DecViewers("G");
  FStore.WriteCompleteAll("G", true);
  EXPECT_EQ(FStore.ReadViewers("G"), 1);
  EXPECT_TRUE(FStore.ReadCompleteAll("G"));
  EXPECT_FALSE(FStore.Flush());
  EXPECT_EQ(Logged("No space left on device"), 2);
  EXPECT_EQ(Info("G"), "[stream]\navailable=1\nviewers=3\n\n");

  // Once space returns, the background work writes it all within a few seconds.
  FStore.Start();
  FDisk.Free();
  EXPECT_TRUE(test::WaitFor([&] { return Info("G").find("all=1") != std::string::npos; },
                            std::chrono::seconds(10)));
  EXPECT_EQ(Info("G"), "[stream]\navailable=1\nviewers=1\nwant=1\n\n[complete]\nall=1\n\n");
  EXPECT_TRUE(test::WaitFor([&] { return Logged("Game information written again: ") == 2; }));
  EXPECT_EQ(Info("H"), "[stream]\navailable=1\nviewers=0\n\n");

  // A game whose folder went from outside meanwhile is refused, as one never made.
  std::filesystem::remove_all(FRoot + "H");
  EXPECT_THROW(FStore.AddViewer("H"), EFCreateError);
}

TEST_F(StoreDiskTest, ADamagedInfoFileIsKeptAndServedToNoOne) {
  const std::string damaged[] = {
      std::string("[stream]\navailable=1\n\0[complete]\nall=1\n", 34),
      "[stream]\navailable=1\nviewers=\x01\n",
      "[stream]\navailable=1\nthis is no line\n",
      "[stream]\navailable=1\nview",
  };
  for (int i = 0; i < 4; ++i) MakeGame("D" + std::to_string(i), damaged[i]);
  // What people write by hand is no damage.
  MakeGame("CLEAN", "; comment\r\n\r\n[stream]\r\navailable = 1\r\n\t\n");

  FStore.PrepareAtStart();
  for (int i = 0; i < 4; ++i) {
    const std::string game = "D" + std::to_string(i);
    EXPECT_EQ(Info(game), damaged[i]) << game;  // byte for byte
    EXPECT_TRUE(FStore.IsDamaged(game)) << game;
    EXPECT_TRUE(FStore.ReadSummary(game).Damaged);
    EXPECT_FALSE(FStore.ReadAvailable(game));
    EXPECT_FALSE(FStore.AddViewer(game));
    EXPECT_THROW(FStore.WriteAvailable(game, true), EZarnelDamagedInfo);
    FStore.DecViewers(game);
    EXPECT_EQ(Info(game), damaged[i]) << game;
  }
  EXPECT_EQ(Logged("Damaged game information: D0 (NUL byte in line 3)"), 1);
  EXPECT_EQ(Logged("Damaged game information: D1 (control character in line 3)"), 1);
  EXPECT_EQ(Logged("Damaged game information: D2 (unreadable line 3)"), 1);
  EXPECT_EQ(Logged("Damaged game information: D3 (last line cut short)"), 1);
  EXPECT_EQ(Logged("Damaged game information"), 4);  // once each, however often read
  EXPECT_FALSE(FStore.IsDamaged("CLEAN"));
  EXPECT_TRUE(FStore.ReadAvailable("CLEAN"));

  // A repaired file is served again.
  test::WriteFile(FRoot + "D3/info.ini", "[stream]\navailable=1\n");
  EXPECT_TRUE(test::WaitFor([&] { return FStore.ReadAvailable("D3"); }));
}

TEST_F(StoreDiskTest, ANewGameIsMadeWholeOrNotAtAll) {
  std::string error, reason;
  EXPECT_EQ(FStore.ClaimNewGame("NEW", false, error, reason), TGameStore::TClaim::Claimed);
  EXPECT_EQ(Info("NEW"), "[stream]\navailable=1\n\n");
  EXPECT_TRUE(FStore.ReadAvailable("NEW"));
  EXPECT_EQ(FStore.ClaimNewGame("new", true, error, reason), TGameStore::TClaim::Exists);
  EXPECT_EQ(FStore.ClaimNewGame("MIRROR", true, error, reason), TGameStore::TClaim::Claimed);
  EXPECT_EQ(Info("MIRROR"), "[relay]\nmirror=1\n\n[stream]\navailable=1\n\n");
  EXPECT_FALSE(IsValidGameName(std::string(256, 'A')));
  EXPECT_TRUE(IsValidGameName(std::string(255, 'A')));

  // A full disk: the folder is not left behind to block the name later.
  FDisk.Fill();
  EXPECT_EQ(FStore.ClaimNewGame("FULL", false, error, reason), TGameStore::TClaim::Failed);
  EXPECT_EQ(reason, "No space left on device");
  EXPECT_THAT(error, HasSubstr("No space left on device"));
  EXPECT_FALSE(test::FileExists(FRoot + "FULL"));

  // Below MinFreeMB no new game is made, and the episode is logged once each way.
  FStore.SetLimits({0, 0, 1});
  EXPECT_EQ(FStore.ClaimNewGame("FULL", false, error, reason), TGameStore::TClaim::NoRoom);
  EXPECT_EQ(FStore.ClaimNewGame("FULL", false, error, reason), TGameStore::TClaim::NoRoom);
  EXPECT_EQ(Logged("Not enough disk space for new games: 0 MB free, MinFreeMB is 1"), 1);
  FDisk.Free();
  EXPECT_EQ(FStore.ClaimNewGame("FULL", false, error, reason), TGameStore::TClaim::Claimed);
  EXPECT_EQ(Logged("Disk space for new games again"), 1);
}

TEST_F(StoreDiskTest, AnAppendTheDiskCannotHoldLeavesTheFileAsItWas) {
  MakeGame("G", "");
  const std::string path = FStore.StreamPath("G", 0, 0);
  ASSERT_EQ(FStore.AppendStream("G", 0, 0, "held"), 4);
  // More than the whole disk: part of it fits before the disk is full.
  EXPECT_THAT([&] { FStore.AppendStream("G", 0, 0, std::string(5 << 20, 'x')); },
              ThrowsMessage<std::runtime_error>(
                  StrEq("Cannot write file " + path + ": No space left on device")));
  EXPECT_EQ(FStore.StreamSize("G", 0, 0), 4);
  // The part that did fit is given back, so the next piece lands right after the first.
  EXPECT_EQ(FStore.AppendStream("G", 0, 0, "next"), 8);

  // On a disk already full, the same.
  FDisk.Fill();
  EXPECT_THROW(FStore.AppendStream("G", 0, 0, std::string(64 << 10, 'y')), std::runtime_error);
  EXPECT_EQ(FStore.StreamSize("G", 0, 0), 8);
  EXPECT_TRUE(test::ReadFile(path) == "heldnext");  // not printed whole when it fails
}

TEST_F(StoreDiskTest, GamesInUseAreNeverRemoved) {
  MakeGame("WATCHED", Complete);
  MakeGame("FILMED", Complete);
  MakeGame("MIRRORED", Complete);
  MakeGame("FREE", Complete);
  test::WriteFile(FRoot + "FREE/stream_0_0", "data");
  const std::uint64_t removed = Metrics().GamesRemoved[rrAdmin];

  ASSERT_TRUE(FStore.AddViewer("WATCHED"));
  TGameStore::TUse filming(FStore, "FILMED", TGameStore::TUser::Filming);
  TGameStore::TUse mirroring(FStore, "MIRRORED", TGameStore::TUser::Mirroring);
  EXPECT_EQ(FStore.DeleteGame("WATCHED"), "Game in use: viewers");
  EXPECT_EQ(FStore.DeleteGame("FILMED"), "Game in use: filming");
  EXPECT_EQ(FStore.DeleteGame("MIRRORED"), "Game in use: mirroring");
  EXPECT_EQ(FStore.DeleteGame("NOSUCH"), "Unknown game");
  EXPECT_EQ(FStore.DeleteGame("../Streams"), "Unknown game");

  EXPECT_EQ(FStore.DeleteGame("FREE"), "");
  EXPECT_EQ(Metrics().GamesRemoved[rrAdmin], removed + 1);
  EXPECT_EQ(Logged("Game removed: FREE (admin)"), 1);
  EXPECT_EQ(test::ListDir(FRoot), (Names{".removed", "FILMED", "MIRRORED", "WATCHED"}));
  EXPECT_EQ(test::ListDir(FRoot + ".removed"), Names{});
  EXPECT_FALSE(FStore.ReadAvailable("FREE"));
  // The name is free again.
  std::string error, reason;
  EXPECT_EQ(FStore.ClaimNewGame("FREE", false, error, reason), TGameStore::TClaim::Claimed);

  // Once the viewer has gone, the game goes too.
  FStore.DecViewers("WATCHED");
  EXPECT_EQ(FStore.DeleteGame("WATCHED"), "");
}

TEST_F(StoreDiskTest, RetentionRemovesOldAndOversizedCompleteGamesOnly) {
  const std::string data(300 * 1024, 'x');
  for (const char* game : {"OLD", "OLD_WATCHED", "OLD_FILMED", "OLDER", "NEWER"}) {
    MakeGame(game, Complete);
    test::WriteFile(FRoot + game + "/stream_0_0", data);
  }
  MakeGame("OLD_INCOMPLETE", "[stream]\navailable=1\n\n");
  MakeGame("OLD_DAMAGED", "[stream]\nava");
  ASSERT_TRUE(FStore.AddViewer("OLD_WATCHED"));
  TGameStore::TUse filming(FStore, "OLD_FILMED", TGameStore::TUser::Filming);
  for (const char* game : {"OLD", "OLD_WATCHED", "OLD_FILMED", "OLD_INCOMPLETE", "OLD_DAMAGED"})
    Age(game, 40);
  Age("OLDER", 5);
  Age("NEWER", 2);

  // No limit set: nothing goes.
  FStore.Maintain();
  EXPECT_EQ(test::ListDir(FRoot).size(), 7u);

  FStore.SetLimits({30, 0, 0});
  FStore.Maintain();
  EXPECT_EQ(test::ListDir(FRoot), (Names{".removed", "NEWER", "OLDER", "OLD_DAMAGED", "OLD_FILMED",
                                         "OLD_INCOMPLETE", "OLD_WATCHED"}));
  EXPECT_EQ(Logged("Game removed: OLD (age)"), 1);

  // Four games of 300 KiB left over 1 MB: the oldest removable one goes, the newer one stays.
  FStore.SetLimits({30, 1, 0});
  FStore.Maintain();
  EXPECT_EQ(Logged("Game removed: OLDER (size)"), 1);
  EXPECT_TRUE(test::FileExists(FRoot + "NEWER"));
  EXPECT_EQ(Logged("Game removed"), 2);
}

TEST_F(StoreDiskTest, StartUpFinishesARemovalACrashCutShort) {
  // What a kill between the rename and the deletion leaves.
  std::filesystem::create_directories(FRoot + ".removed/GONE.123.0");
  test::WriteFile(FRoot + ".removed/GONE.123.0/stream_0_0", "data");
  MakeGame("KEPT", Complete);
  FStore.PrepareAtStart();
  EXPECT_EQ(test::ListDir(FRoot), (Names{"KEPT"}));
  Names games;
  ListGames(FRoot, games);
  EXPECT_EQ(games, Names{"KEPT"});
}

}  // namespace
