#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <thread>

#include "store/GameStore.h"
#include "support/TestSupport.h"

namespace {

class GameStoreTest : public ::testing::Test {
 protected:
  test::TTempDir FDir;
  const std::string FRoot = FDir / "Streams/";
  std::unique_ptr<TGameStore> FStore;

  void SetUp() override {
    mkdir(FRoot.c_str(), 0777);
    FStore = std::make_unique<TGameStore>(FRoot);
  }
  void MakeGame(const std::string& game, const std::string& info = "") {
    mkdir((FRoot + game).c_str(), 0777);
    if (!info.empty()) test::WriteFile(FRoot + game + "/info.ini", info);
  }
  // A Demo section file: the record's lead, summary text and marker, cut to Length bytes.
  void WriteRecord(const std::string& path, const std::string& text, std::uint32_t marker,
                   std::size_t length = 1032) {
    std::string record(1032, '\0');
    record.replace(4, text.size(), text);
    std::memcpy(&record[1028], &marker, 4);
    test::WriteFile(path, record.substr(0, length));
  }
};

TEST_F(GameStoreTest, MissingGameReadsDefaultsAndWriteFailsCreatingNothing) {
  EXPECT_FALSE(FStore->ReadAvailable("NOPE"));
  EXPECT_EQ(FStore->ReadViewers("NOPE"), 0);
  EXPECT_EQ(FStore->ReadSize("NOPE", 0, 0), 0);
  EXPECT_FALSE(FStore->ReadComplete("NOPE", 1, 1));
  try {
    FStore->WriteAvailable("NOPE", true);
    FAIL() << "no error";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot create file " + FRoot + "NOPE/info.ini");
  }
  EXPECT_TRUE(test::ListDir(FRoot).empty());
}

TEST_F(GameStoreTest, RoundTripsAndKeyForms) {
  MakeGame("G");
  FStore->WriteSize("G", 2, -1, 5);
  FStore->WriteBlock("G", 2, 10, 2048);
  FStore->WriteHeader("G", 1, 0, true);
  FStore->WriteComplete("G", 1, 0, true);
  FStore->WriteCompleteAll("G", true);
  FStore->WriteStreamType("G", 1, 1);
  FStore->WriteActiveStreams("G", 2);
  FStore->WriteActiveSections("G", 3);
  FStore->WriteWant("G", true);
  EXPECT_EQ(FStore->ReadSize("G", 2, -1), 5);
  EXPECT_EQ(FStore->ReadBlock("G", 2, 10), 2048);
  EXPECT_TRUE(FStore->ReadHeader("G", 1, 0));
  EXPECT_FALSE(FStore->ReadHeader("G", 0, 1));
  EXPECT_TRUE(FStore->ReadComplete("G", 1, 0));
  EXPECT_TRUE(FStore->ReadCompleteAll("G"));
  EXPECT_EQ(FStore->ReadStreamType("G", 1), 1);
  EXPECT_EQ(FStore->ReadActiveStreams("G"), 2);
  EXPECT_EQ(FStore->ReadActiveSections("G"), 3);
  EXPECT_EQ(test::ReadFile(FRoot + "G/info.ini"),
            "[size]\n2_-1=5\n\n[block]\n2_10=2048\n\n[header]\n1_0=1\n\n[complete]\n1_0=1\n"
            "all=1\n\n[types]\n1=1\n\n[active]\nstreams=2\nsections=3\n\n[stream]\nwant=1\n\n");
  EXPECT_EQ(FStore->StreamPath("G", 2, -1), FRoot + "G/stream_2_-1");
}

TEST_F(GameStoreTest, ViewerCountsAndStoredValues) {
  MakeGame("G");
  FStore->IncViewers("G");
  EXPECT_EQ(test::ReadFile(FRoot + "G/info.ini"), "[stream]\nviewers=1\n\n");
  FStore->DecViewers("G");
  FStore->DecViewers("G");
  EXPECT_EQ(FStore->ReadViewers("G"), 0);

  MakeGame("H", "[types]\n0=257\n[stream]\navailable=true\nviewers=0x10\n");
  EXPECT_EQ(FStore->ReadStreamType("H", 0), 1);
  EXPECT_FALSE(FStore->ReadAvailable("H"));
  EXPECT_EQ(FStore->ReadViewers("H"), 16);
}

TEST_F(GameStoreTest, ConcurrentIncViewersCountExactly) {
  MakeGame("G");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) FStore->IncViewers("G");
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(FStore->ReadViewers("G"), 200);
}

TEST_F(GameStoreTest, InvalidNamesTouchNothing) {
  // Files an unchecked name would reach: the root's and its parent's info.ini.
  test::WriteFile(FRoot + "info.ini", "[stream]\navailable=1\nviewers=5\n");
  test::WriteFile(FDir / "info.ini", "[stream]\navailable=1\nviewers=5\n");
  MakeGame("a");
  const std::string names[] = {"", ".", "..", "a/", "../x", "a/b", std::string("a\0b", 3)};
  for (const std::string& name : names) {
    EXPECT_FALSE(FStore->ReadAvailable(name));
    EXPECT_EQ(FStore->ReadViewers(name), 0);
    EXPECT_THROW(FStore->WriteViewers(name, 1), EFCreateError);
    EXPECT_THROW(FStore->IncViewers(name), EFCreateError);
    EXPECT_THROW(FStore->GameDir(name), EFCreateError);
    EXPECT_THROW(FStore->StreamPath(name, 0, 0), EFCreateError);
  }
  EXPECT_EQ(test::ListDir(FRoot), (std::vector<std::string>{"a", "info.ini"}));
  EXPECT_TRUE(test::ListDir(FRoot + "a").empty());
  EXPECT_EQ(test::ListDir(FDir.Path()), (std::vector<std::string>{"Streams", "info.ini"}));
  EXPECT_EQ(test::ReadFile(FDir / "info.ini"), "[stream]\navailable=1\nviewers=5\n");
}

TEST_F(GameStoreTest, ListGamesSkipsHiddenAndListsPlainFiles) {
  MakeGame("B");
  MakeGame("A");
  MakeGame(".hidden");
  test::WriteFile(FRoot + "plain", "x");
  test::WriteFile(FRoot + ".x", "x");
  std::vector<std::string> list{"kept"};
  ListGames(FRoot.substr(0, FRoot.size() - 1), list);
  std::sort(list.begin() + 1, list.end());
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "A", "B", "plain"}));

  std::vector<std::string> none;
  ListGames(FDir / "missing", none);
  EXPECT_TRUE(none.empty());
}

class ListSectionsTest : public GameStoreTest {
 protected:
  const std::string FHeader =
      "Time,Map,\"Team 1\",\"Team 1 Score\",\"Team 2\",\"Team 2 Score\",,Audio,,,,";
  void SetUp() override {
    GameStoreTest::SetUp();
    // Stream 0 is audio, so the summaries come from stream 1.
    MakeGame("G", "[active]\nstreams=2\nsections=5\n[types]\n0=1\n1=0\n");
    test::WriteFile(FRoot + "G/stream_1_0", "");
    WriteRecord(FRoot + "G/stream_1_1", "no summary yet", 0);
    WriteRecord(FRoot + "G/stream_1_2", "1:00,map,a,1,b,2,,no,,,,", 7);
    WriteRecord(FRoot + "G/stream_1_3", "cut", 1, 500);
    WriteRecord(FRoot + "G/stream_1_4", std::string(1024, 'A'), 1);
  }
};

TEST_F(ListSectionsTest, SummariesFromDemoRecords) {
  ASSERT_EQ(FHeader.size(), 67u);
  std::vector<std::string> list;
  FStore->ListSections("G", list);
  EXPECT_EQ(list, (std::vector<std::string>{"\"0\"," + FHeader, "\"2\",1:00,map,a,1,b,2,,no,,,,",
                                            "\"4\"," + std::string(1024, 'A')}));
}

TEST_F(ListSectionsTest, MissingSectionFileRaisesKeepingEarlierLines) {
  FStore->WriteActiveSections("G", 6);
  std::vector<std::string> list;
  EXPECT_THROW(FStore->ListSections("G", list), EFOpenError);
  EXPECT_EQ(list.size(), 3u);
}

TEST_F(ListSectionsTest, AudioOnlyOrEmptyGameGivesNothing) {
  FStore->WriteStreamType("G", 1, 1);
  std::vector<std::string> list;
  FStore->ListSections("G", list);
  MakeGame("E");
  FStore->ListSections("E", list);
  EXPECT_TRUE(list.empty());
}

}  // namespace
