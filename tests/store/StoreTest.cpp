// The store: the INI format, the game info accessors, name checks and the listings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <thread>

#include "store/GameStore.h"
#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

using Names = std::vector<std::string>;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { mkdir(FRoot.c_str(), 0777); }
  void MakeGame(const std::string& game, const std::string& info = "") {
    mkdir((FRoot + game).c_str(), 0777);
    if (!info.empty()) test::WriteFile(FRoot + game + "/info.ini", info);
  }
  test::TTempDir FDir;
  const std::string FName = FDir / "test.ini";
  const std::string FRoot = FDir / "Streams/";
  TGameStore FStore{FRoot};
};

TEST_F(StoreTest, ParsingAndWriting) {
  test::WriteFile(FName, std::string("orphan=1\r\n[ settings ]\r\n  key  =  a b = c  \r\n"
                                     "; comment\r\n\r\nloose text\rcr=1\n[Settings]\nkey=X\n"
                                     "[tail]\nbefore=1") +
                             '\0' + "\n[tail]\nafter=1\n");
  TIniFile ini(FName);
  EXPECT_EQ(ini.ReadString("settings", "key", "-"), "a b = c");
  EXPECT_EQ(
      ini.Text(),
      "[settings]\nkey=a b = c\nloose text\ncr=1\n\n[Settings]\nkey=X\n\n[tail]\nbefore=1\n\n");

  // Of duplicate sections, and of duplicate keys, the later one counts.
  test::WriteFile(FName, "[s]\nx=1\n[t]\ntwo=2\nword=true\nzero=0\n[s]\ny=3\ny=5\n");
  TIniFile dup(FName);
  EXPECT_EQ(dup.ReadString("s", "x", "-"), "-");
  EXPECT_EQ(dup.ReadInteger("s", "y", 0), 5);
  EXPECT_TRUE(dup.ReadBool("t", "two", false));
  EXPECT_TRUE(dup.ReadBool("t", "word", true) && !dup.ReadBool("t", "word", false));
  EXPECT_FALSE(dup.ReadBool("t", "zero", true));
  dup.WriteInteger("s", "y", -4);
  dup.WriteString("new", "v", " spaced ");
  dup.WriteBool("t", "b", true);
  EXPECT_EQ(
      dup.Text(),
      "[s]\nx=1\n\n[t]\ntwo=2\nword=true\nzero=0\nb=1\n\n[s]\ny=3\ny=-4\n\n[new]\nv= spaced \n\n");
}

TEST_F(StoreTest, LoadingAndSaving) {
  EXPECT_EQ(TIniFile(FName).Text(), "");
  // A directory exists but cannot be read as a file.
  EXPECT_THAT([&] { TIniFile(FDir.Path() + "."); },
              testing::ThrowsMessage<EFOpenError>(
                  testing::StrEq("Cannot open file " + FDir.Path() + ".: Is a directory")));

  // A new file gets 0666 less the umask; a replaced one keeps its mode.
  const mode_t mask = umask(0);
  umask(mask);
  TIniFile ini(FName);
  ini.WriteString("s", "long", std::string(4096, 'v'));  // over the size limit below
  ini.SaveFile();
  EXPECT_EQ(std::filesystem::status(FName).permissions(), std::filesystem::perms(0666 & ~mask));
  chmod(FName.c_str(), 0604);
  test::WriteFile(FName, "[old]\nkept=1\n");
  TIniFile again(FName);
  again.WriteInteger("s", "a", 2);
  again.SaveFile();
  EXPECT_EQ(test::ReadFile(FName), "[old]\nkept=1\n\n[s]\na=2\n\n");
  EXPECT_EQ(std::filesystem::status(FName).permissions(), std::filesystem::perms(0604));

  // A file size limit makes the write fail part way, as a full disk would.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit small{100, saved.rlim_max};
  auto* oldHandler = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_THROW(ini.SaveFile(), EFCreateError);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(test::ReadFile(FName), "[old]\nkept=1\n\n[s]\na=2\n\n");
  EXPECT_EQ(test::ListDir(FDir.Path()), (Names{"Streams", "test.ini"}));
}

TEST(IniSaveTest, AFullDiskFailsWithItsReasonAndKeepsTheOldFile) {
  test::TPrivateTmpfs disk(1 << 20);
  if (!disk.Available()) GTEST_SKIP() << disk.Reason();
  const std::string name = disk / "info.ini";
  const std::string old = "[stream]\nviewers=1\n\n";
  TIniFile::SaveText(name, old);
  disk.Fill();
  EXPECT_THAT([&] { TIniFile::SaveText(name, "[stream]\nviewers=2\n\n"); },
              testing::ThrowsMessage<EFCreateError>(
                  testing::StrEq("Cannot create file " + name + ": No space left on device")));
  EXPECT_EQ(test::ReadFile(name), old);
  EXPECT_EQ(test::ListDir(disk.Path()), (Names{".filler", "info.ini"}));
  disk.Free();
  TIniFile::SaveText(name, "[stream]\nviewers=3\n\n");
  EXPECT_EQ(test::ReadFile(name), "[stream]\nviewers=3\n\n");
}

TEST_F(StoreTest, RoundTripsKeyFormsAndViewerCounts) {
  MakeGame("G");
  FStore.WriteSize("G", 2, -1, 5);
  FStore.WriteBlock("G", 2, 10, 2048);
  FStore.WriteHeader("G", 1, 0, true);
  FStore.WriteComplete("G", 1, 0, true);
  FStore.WriteCompleteAll("G", true);
  FStore.WriteStreamType("G", 1, 1);
  FStore.WriteActiveStreams("G", 2);
  FStore.WriteActiveSections("G", 3);
  ASSERT_TRUE(FStore.AddViewer("G"));  // want=1, and one viewer
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) FStore.AddViewer("G");
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ((std::vector<std::int32_t>{FStore.ReadSize("G", 2, -1), FStore.ReadBlock("G", 2, 10),
                                       FStore.ReadHeader("G", 1, 0), FStore.ReadHeader("G", 0, 1),
                                       FStore.ReadComplete("G", 1, 0), FStore.ReadCompleteAll("G"),
                                       FStore.ReadStreamType("G", 1), FStore.ReadActiveStreams("G"),
                                       FStore.ReadActiveSections("G"), FStore.ReadViewers("G")}),
            (std::vector<std::int32_t>{5, 2048, 1, 0, 1, 1, 1, 2, 3, 201}));
  EXPECT_EQ(test::ReadFile(FRoot + "G/info.ini"),
            "[size]\n2_-1=5\n\n[block]\n2_10=2048\n\n[header]\n1_0=1\n\n[complete]\n1_0=1\n"
            "all=1\n\n[types]\n1=1\n\n[active]\nstreams=2\nsections=3\n\n[stream]\nwant=1\n"
            "viewers=201\n\n");
  EXPECT_EQ(FStore.StreamPath("G", 2, -1), FRoot + "G/stream_2_-1");
  MakeGame("V", "[stream]\nviewers=1\n");
  FStore.DecViewers("V");
  FStore.DecViewers("V");
  EXPECT_EQ(FStore.ReadViewers("V"), 0);

  MakeGame("H", "[types]\n0=257\n");
  EXPECT_EQ(FStore.ReadStreamType("H", 0), 1);  // the low byte
}

TEST_F(StoreTest, MissingGamesAndInvalidNamesTouchNothing) {
  // Files an unchecked name would reach: the root's and its parent's info.ini.
  const std::string info = "[stream]\navailable=1\nviewers=5\n";
  test::WriteFile(FRoot + "info.ini", info);
  test::WriteFile(FDir / "info.ini", info);
  MakeGame("a");
  for (const std::string& name :
       Names{"NOPE", "", ".", "..", "a/", "../x", "a/b", std::string("a\0b", 3)}) {
    EXPECT_FALSE(FStore.ReadAvailable(name) || FStore.ReadComplete(name, 1, 1)) << name;
    EXPECT_EQ(FStore.ReadViewers(name) + FStore.ReadSize(name, 0, 0), 0) << name;
    EXPECT_THROW(FStore.AddViewer(name), EFCreateError);
    if (name == "NOPE") continue;
    EXPECT_THROW(FStore.GameDir(name), EFCreateError);
    EXPECT_THROW(FStore.StreamPath(name, 0, 0), EFCreateError);
  }
  EXPECT_THAT([&] { FStore.WriteAvailable("NOPE", true); },
              testing::ThrowsMessage<EFCreateError>(testing::StrEq(
                  "Cannot create file " + FRoot + "NOPE/info.ini: No such file or directory")));
  EXPECT_EQ(test::ListDir(FRoot), (Names{"a", "info.ini"}));
  EXPECT_TRUE(test::ListDir(FRoot + "a").empty());
  EXPECT_EQ(test::ListDir(FDir.Path()), (Names{"Streams", "info.ini"}));
  EXPECT_EQ(test::ReadFile(FDir / "info.ini") + test::ReadFile(FRoot + "info.ini"), info + info);
}

TEST_F(StoreTest, ControlCharactersInNamesAndLeftoverTempFiles) {
  const std::string info = "[stream]\navailable=1\n";
  for (const std::string& name : Names{"A\tB", "C\rD", "E\nF", "G\x01", "H\x7f", "OK"})
    MakeGame(name, info);
  Names list;
  ListGames(FRoot, list);
  EXPECT_EQ(list, Names{"OK"});
  EXPECT_FALSE(FStore.ReadAvailable("A\tB"));
  EXPECT_THROW(FStore.WriteAvailable("A\tB", true), EFCreateError);
  EXPECT_TRUE(IsValidGameName("\x80\xff"));  // bytes of other encodings are names

  // Only the names the atomic save gives its temporary files are removed.
  const Names leftovers{".info.ini.123.0.tmp", ".info.ini.4.56789.tmp"};
  const Names kept{".info.ini.x.1.tmp", ".info.ini.1.tmp",    "info.ini",
                   "info.ini.1.2.tmp",  ".other.ini.1.2.tmp", "stream_0_0"};
  for (const auto& name : leftovers) test::WriteFile(FRoot + "OK/" + name, "");
  for (const auto& name : kept) test::WriteFile(FRoot + "OK/" + name, info);
  FStore.RemoveTempFiles("OK");
  Names want = kept;
  std::sort(want.begin(), want.end());
  EXPECT_EQ(test::ListDir(FRoot + "OK"), want);
}

TEST_F(StoreTest, InfoKeptInMemorySeesOutsideChangesAndWritesThrough) {
  MakeGame("G", "[stream]\navailable=1\n");
  EXPECT_TRUE(FStore.ReadAvailable("G"));
  // An operator's edit in place and a restored back-up renamed over the file: each is seen
  // within one look interval, and the next write builds on it rather than on the old memory.
  test::WriteFile(FRoot + "G/info.ini", "[stream]\navailable=0\nviewers=4\n");
  EXPECT_TRUE(test::WaitFor([&] { return !FStore.ReadAvailable("G"); }, std::chrono::seconds(1)));
  test::WriteFile(FRoot + "backup", "[stream]\nviewers=9\n[active]\nsections=2\n");
  std::filesystem::rename(FRoot + "backup", FRoot + "G/info.ini");
  EXPECT_TRUE(test::WaitFor([&] { return FStore.ReadViewers("G") == 9; }, std::chrono::seconds(1)));
  test::WriteFile(FRoot + "G/info.ini", "[stream]\nviewers=20\n");
  EXPECT_TRUE(FStore.AddViewer("G"));
  EXPECT_EQ(test::ReadFile(FRoot + "G/info.ini"), "[stream]\nviewers=21\nwant=1\n\n");
  EXPECT_EQ(FStore.ReadActiveSections("G"), 0);

  // A removed game reads as defaults again; a write to it fails and keeps nothing.
  std::filesystem::remove_all(FRoot + "G");
  EXPECT_TRUE(test::WaitFor([&] { return FStore.ReadViewers("G") == 0; }, std::chrono::seconds(1)));
  EXPECT_THROW(FStore.AddViewer("G"), EFCreateError);

  // A write that cannot replace the file keeps the change in memory, for a later write.
  MakeGame("R", "[stream]\nviewers=1\n");
  chmod((FRoot + "R").c_str(), 0555);
  const bool enforced = access((FRoot + "R").c_str(), W_OK) != 0;  // root ignores modes
  if (enforced) {
    EXPECT_NO_THROW(FStore.WriteSize("R", 0, 0, 5));
    EXPECT_EQ(FStore.ReadSize("R", 0, 0), 5);
  }
  chmod((FRoot + "R").c_str(), 0777);
  EXPECT_EQ(test::ListDir(FRoot + "R"), (Names{"info.ini"}));
}

TEST_F(StoreTest, ConcurrentReadersAndWritersOfSeveralGames) {
  // Counts are read-modify-writes under each game's own lock; readers meanwhile only ever see
  // whole values, and the files end holding what memory holds.
  for (const char* game : {"A", "B"}) MakeGame(game);
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([&, t] {
      const std::string game = t % 2 ? "A" : "B";
      for (int i = 0; i < 40; ++i) {
        if (t < 4) {
          FStore.AddViewer(game);
          FStore.WriteSize(game, t, i, i);
        } else {
          const std::int32_t v = FStore.ReadViewers(game);
          if (v < 0 || v > 80) torn = true;
        }
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_FALSE(torn);
  for (const char* game : {"A", "B"}) {
    EXPECT_EQ(FStore.ReadViewers(game), 80);
    EXPECT_EQ(TIniFile(FRoot + game + "/info.ini").ReadInteger("stream", "viewers", 0), 80);
  }
}

TEST_F(StoreTest, StreamFilesAreMadeCutAndRemovedBySection) {
  MakeGame("G");
  EXPECT_EQ(FStore.StreamSize("G", 0, 0), -1);
  EXPECT_EQ(FStore.OpenStreamForReading("G", 0, 0), nullptr);
  EXPECT_THROW(FStore.OpenStreamFile("G", 0, 0), EFOpenError);
  // An append makes a missing file; making sure of a file leaves what it holds.
  EXPECT_EQ(FStore.AppendStream("G", 0, 0, "head"), 4);
  EXPECT_EQ(FStore.AppendStream("G", 0, 0, "er"), 6);
  FStore.EnsureStreamFile("G", 0, 0);
  FStore.EnsureStreamFile("G", 1, 0);
  EXPECT_EQ(FStore.StreamSize("G", 0, 0), 6);
  EXPECT_EQ(FStore.StreamSize("G", 1, 0), 0);
  FStore.OpenStreamFile("G", 1, 0)->Append("abc", 3);
  const std::unique_ptr<std::istream> read = FStore.OpenStreamForReading("G", 1, 0);
  ASSERT_NE(read, nullptr);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(*read), {}), "abc");

  // A new set-up of section 0 starts from nothing, and leaves other sections as they are.
  FStore.AppendStream("G", 2, 1, "kept");
  FStore.CreateStreamFile("G", 0, 0);
  EXPECT_EQ(FStore.StreamSize("G", 0, 0), 0);
  FStore.RemoveStreamFiles("G", 0);
  EXPECT_EQ(test::ListDir(FRoot + "G"), Names{"stream_2_1"});
  EXPECT_THROW(FStore.AppendStream("G/..", 0, 0, "x"), EFCreateError);
}

// A Demo section file: the record's lead, summary text and marker, cut to Length bytes.
void WriteRecord(const std::string& path, const std::string& text, std::uint32_t marker,
                 std::size_t length = 1032) {
  std::string record(1032, '\0');
  record.replace(4, text.size(), text);
  std::memcpy(&record[1028], &marker, 4);
  test::WriteFile(path, record.substr(0, length));
}

TEST_F(StoreTest, GameAndSectionListings) {
  // Stream 0 is audio, so the summaries come from stream 1.
  MakeGame("G", "[active]\nstreams=2\nsections=5\n[types]\n0=1\n1=0\n");
  MakeGame(".hidden");
  test::WriteFile(FRoot + "plain", "x");
  Names list{"kept"};
  ListGames(FRoot.substr(0, FRoot.size() - 1), list);
  ListGames(FDir / "missing", list);
  std::sort(list.begin() + 1, list.end());
  EXPECT_EQ(list, (Names{"kept", "G", "plain"}));

  test::WriteFile(FRoot + "G/stream_1_0", "");
  WriteRecord(FRoot + "G/stream_1_1", "no summary yet", 0);
  WriteRecord(FRoot + "G/stream_1_2", "1:00,map,a,1,b,2,,no,,,,", 7);
  WriteRecord(FRoot + "G/stream_1_3", "cut", 1, 500);
  WriteRecord(FRoot + "G/stream_1_4", std::string(1024, 'A'), 1);
  list.clear();
  FStore.ListSections("G", list);
  EXPECT_EQ(list, (Names{"\"0\",Time,Map,\"Team 1\",\"Team 1 Score\",\"Team 2\",\"Team 2 Score\",,"
                         "Audio,,,,",
                         "\"2\",1:00,map,a,1,b,2,,no,,,,", "\"4\"," + std::string(1024, 'A')}));
  // A missing section file raises; the earlier lines stay.
  FStore.WriteActiveSections("G", 6);
  EXPECT_THROW(FStore.ListSections("G", list), EFOpenError);
  EXPECT_EQ(list.size(), 6u);
  // Audio only, or an empty game: nothing.
  FStore.WriteStreamType("G", 1, 1);
  list.clear();
  FStore.ListSections("G", list);
  MakeGame("E");
  FStore.ListSections("E", list);
  EXPECT_TRUE(list.empty());
}

TEST_F(StoreTest, LineBreaksInASummaryBecomeSpaces) {
  // The filmer's text, sent as one line of a counted list.
  MakeGame("G", "[active]\nstreams=1\nsections=1\n[types]\n0=0\n");
  WriteRecord(FRoot + "G/stream_0_0", "1:00,map\r\na,1\rb,2\n", 1);
  Names list;
  FStore.ListSections("G", list);
  EXPECT_EQ(list, (Names{"\"0\",1:00,map  a,1 b,2 "}));
}

}  // namespace

// Viewers of one file share one mapping of it; it holds only what the file held, and a file
// made anew at the path gets a mapping of its own while the old one keeps the old bytes.
TEST_F(StoreTest, StreamFileMappingsAreSharedAndKeepTheirFile) {
  MakeGame("M");
  const std::string path = FStore.StreamPath("M", 0, 0);
  test::WriteFile(path, std::string(5000, 'a'));
  const auto file = FStore.ShareStreamFile("M", 0, 0);
  const auto fd = file->Handle();
  const auto first = file->Map(fd, 8000), second = file->Map(fd, 8000);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
  EXPECT_EQ(first->Length(), 5000u);  // no more than the file holds
  EXPECT_EQ(file->Map(fd, 3000)->Length(), 3000u);

  std::filesystem::remove(path);
  test::WriteFile(path, std::string(6000, 'b'));
  const auto made = file->Handle();
  const auto fresh = file->Map(made, 6000);
  const auto bytes = [](const TStreamMapping& m) {
    std::string out;
    return m.CopyTo(out, 0, m.Length()) ? out : "unreadable";
  };
  EXPECT_EQ(bytes(*fresh), std::string(6000, 'b'));
  EXPECT_EQ(bytes(*first), std::string(5000, 'a'));

  // Cut short in place beneath its mapping: the copy says so, where a plain read of the
  // mapping would stop the process; the bytes already there stay.
  test::WriteFile(path, "");
  std::string out = "kept";
  EXPECT_FALSE(fresh->CopyTo(out, 4000, 2000));
  EXPECT_EQ(out, "kept");
  EXPECT_TRUE(first->CopyTo(out, 0, 4));
  EXPECT_EQ(out, "keptaaaa");
  EXPECT_EQ(file->Map(file->Handle(), 100), nullptr);  // an empty file maps nothing
}
