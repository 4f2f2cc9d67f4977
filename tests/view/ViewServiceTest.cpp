// Accounts, logged-in names, and the view service over real sockets; streaming runs in 1000 ms
// cycles, so small files, a low normal budget and viewers served side by side save wall time.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "ViewTestSupport.h"
#include "common/UnitZarnelGlobal.h"
#include "film/FilmService.h"
#include "view/UnitListUser.h"
#include "view/ViewService.h"

namespace {

using namespace std::string_literals;
using viewtest::Bytes;
using V = std::vector<std::int32_t>;

TEST(ListUserTest, AccountsFileRules) {
  test::TTempDir dir;
  // Lines end at LF, CR or CR LF; a NUL byte ends the text.
  test::WriteFile(dir / "users.txt",
                  "alice,first\nAlice,second\r\n bob,spaced\rcarol,pw,more\n\ndave\nbob,real\r\n"
                  "e,5\0f,6\n"s);
  const TListUser users(dir / "users.txt");
  // The first line naming a user wins, in any case; nothing is trimmed.
  const std::pair<const char*, const char*> want[] = {
      {"ALICE", "first"}, {" BOB", "spaced"}, {"bob", "real"}, {"carol", "pw"},
      {"dave", ""},       {"e", "5"},         {"f", ""},       {"nobody", ""}};
  for (const auto& [name, password] : want) EXPECT_EQ(users.GetPassword(name), password) << name;
  EXPECT_EQ(TListUser(dir / "none.txt").GetPassword("a"), "");
  std::filesystem::create_directories(dir / "dir.txt");
  EXPECT_THROW(TListUser(dir / "dir.txt"), std::exception);
}

TEST(ListActiveUsersTest, SimultaneousLoginsLetExactlyOneThrough) {
  for (int round = 0; round < 200; ++round) {
    TListActiveUsers list;
    std::atomic<int> admitted{0};
    std::thread a([&] { admitted += !list.CheckAndAdd("zed"); });
    std::thread b([&] { admitted += !list.CheckAndAdd("ZED"); });
    a.join();
    b.join();
    ASSERT_EQ(admitted, 1);
  }
}

TEST(ListActiveUsersTest, ALoginWaitsForTheEndingSessionOfItsName) {
  TListActiveUsers list;
  ASSERT_FALSE(list.CheckAndAdd("amy"));
  list.Leaving("amy");
  auto again = std::async(std::launch::async, [&] { return list.CheckAndAdd("AMY"); });
  EXPECT_EQ(again.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  list.Remove("amy");
  EXPECT_FALSE(again.get());  // admitted once the name was free
  EXPECT_TRUE(list.CheckAndAdd("Amy"));
}

// The service starts at the first Port(): a test changes FSettings before.
class ViewServiceTest : public ::testing::Test {
 protected:
  ViewServiceTest() : FLog(FDir / "zarnel.log"), FStore(FDir / "Streams/") {
    std::filesystem::create_directories(FStore.StreamsDir());
  }
  ~ViewServiceTest() override { FServer.SetActive(false); }
  std::uint16_t Port() {
    if (!FService) {
      FService =
          std::make_unique<TViewService>(FSettings, FLog, FStore, FActiveUsers, FDir / "users.txt",
                                         [this] { return FServer.ThreadCount(); });
      FServer.OnExecute = [this](TIdPeerThread& t) { FService->Execute(t); };
      FServer.SetActive(true);
    }
    return FServer.BoundPort();
  }
  // A viewer past the greeting that has sent Line.
  std::unique_ptr<test::TRawClient> Connect(const std::string& line) {
    auto c = std::make_unique<test::TRawClient>(Port());
    viewtest::Greet(*c, FSettings.Get()->ViewerAuth ? "AUTH" : "NOAUTH");
    c->Send(line + "\r\n");
    return c;
  }
  bool Logged(const std::string& message) {
    return test::WaitFor(
        [&] { return std::ranges::count(test::LogMessages(FDir / "zarnel.log"), message) > 0; });
  }
  struct TStream {
    std::uint8_t Type = 0;
    std::string Data;
    std::int32_t Block = 0;  // the Demo header's size; on disk when the data reaches past it
  };
  void WriteSection(const std::string& game, int section, const std::vector<TStream>& streams) {
    std::filesystem::create_directories(FStore.GameDir(game));
    for (int i = 0; i < static_cast<int>(streams.size()); ++i) {
      const auto size = static_cast<std::int32_t>(streams[i].Data.size());
      FStore.WriteStreamType(game, i, streams[i].Type);
      FStore.WriteSize(game, i, section, size);
      FStore.WriteBlock(game, i, section, streams[i].Block);
      FStore.WriteHeader(game, i, section, size > streams[i].Block);
      FStore.WriteComplete(game, i, section, true);
      test::WriteFile(FStore.StreamPath(game, i, section), streams[i].Data);
    }
    FStore.WriteActiveStreams(game, static_cast<std::int32_t>(streams.size()));
    FStore.WriteActiveSections(game, section + 1);
    FStore.WriteAvailable(game, true);
    FStore.WriteCompleteAll(game, true);
  }
  static V Ints(test::TRawClient& c, int count) {
    V v;
    for (int i = 0; i < count; ++i) v.push_back(c.ReceiveInt());
    return v;
  }
  static void ExpectChunk(test::TRawClient& c, std::int32_t slot, const std::string& data) {
    ASSERT_EQ(Ints(c, 3), (V{slot, 0, static_cast<std::int32_t>(data.size())}));
    EXPECT_EQ(c.Receive(data.size()), data);
  }

  test::TTempDir FDir;
  TSettingsHolder FSettings;
  TLog FLog;
  TGameStore FStore;
  TListActiveUsers FActiveUsers;
  std::unique_ptr<TViewService> FService;
  TIdTCPServer FServer{0};
};

TEST_F(ViewServiceTest, RefusesOtherProtocols) {
  for (const std::string line : {"1.0.0.1\t1015", "1.0.0.1"}) {
    test::TRawClient c(Port());
    c.ReceiveLine();
    c.Send(line + "\r\n");
    EXPECT_EQ(c.ReceiveLine(),
              std::string("FAIL\tInvalid protocol need 1016 Get latest client at ") + WebAddress);
    EXPECT_TRUE(c.ClosedByPeer());
  }
  EXPECT_TRUE(Logged("View client connected [1 Total server connections] 127.0.0.1"));
}

TEST_F(ViewServiceTest, ListsGamesAndSectionsAndRequestsOnlyGames) {
  for (const std::string game : {"A", "B", "HIDDEN"}) WriteSection(game, 0, {});
  FStore.WriteAvailable("HIDDEN", false);
  WriteSection("C", 0, {{0, ""}});
  test::WriteFile(FStore.StreamsDir() + "plain", "");
  std::vector<std::string> listed;  // in directory order, which LISTGAMES reverses
  ListGames(FStore.StreamsDir(), listed);
  std::erase_if(listed, [](const std::string& g) { return g == "HIDDEN" || g == "plain"; });
  auto c = Connect(
      "bogus\r\nlistgames\r\nLISTSECTIONS\tc\r\nLISTSECTIONS\tnone\r\nLISTSECTIONS\ta/../c");
  ASSERT_EQ(c->ReceiveInt(), 3);
  for (auto it = listed.rbegin(); it != listed.rend(); ++it) EXPECT_EQ(c->ReceiveLine(), *it);
  ASSERT_EQ(c->ReceiveInt(), 1);
  EXPECT_EQ(c->ReceiveLine(),
            "\"0\",Time,Map,\"Team 1\",\"Team 1 Score\",\"Team 2\",\"Team 2 Score\",,Audio,,,,");
  EXPECT_EQ(Ints(*c, 2), (V{0, 0}));
  // A missing game and names that are no game end a request; nothing is written outside.
  for (const std::string game : {"NOPE", "..", "", "x/../../y"})
    EXPECT_TRUE(Connect("REQUEST\t" + game + "\t0\t0")->ClosedByPeer()) << game;
  EXPECT_TRUE(Logged("View Exception:- Cannot create file " + FStore.StreamsDir() +
                     "NOPE/info.ini: No such file or directory"));
  EXPECT_EQ(test::ListDir(FStore.StreamsDir()),
            (std::vector<std::string>{"A", "B", "C", "HIDDEN", "plain"}));
  EXPECT_EQ(test::ListDir(FDir.Path()), (std::vector<std::string>{"Streams", "zarnel.log"}));
}

TEST_F(ViewServiceTest, LoginOutcomesAndOneSessionPerNameFreedAtTheEnd) {
  TSettings settings;
  settings.ViewerAuth = true;
  FSettings.Set(settings);
  test::WriteFile(FDir / "users.txt", "bob,\neve,Secret\n");
  const auto login = [&](const std::string& line, const std::string& reply) {
    auto c = Connect(line);
    EXPECT_EQ(c->ReceiveLine(), reply) << line;
    EXPECT_TRUE(reply == "OK" || c->ClosedByPeer()) << line;
    return c;
  };
  // An empty password is never accepted, not even against an empty one in the file.
  for (const std::string line : {"bob\t", "eve\tsecret", "mallory\tSecret"})
    login(line, "FAIL\tIncorrect username or password");
  auto first = login("eve\tSecret", "OK");
  login("EVE\tSecret", "FAIL\tEVE user is already logged in");
  WriteSection("GAME", 0, {});
  first->Send("REQUEST\tGAME\t0\t0\r\n");
  EXPECT_EQ(first->ReceiveInt(), 0);  // keep-alive: a section without streams
  EXPECT_EQ(FActiveUsers.Count(), 1u);
  // The end steps all run even when the game has gone: the name is freed.
  std::filesystem::remove_all(FStore.GameDir("GAME"));
  EXPECT_EQ(viewtest::NextNot(*first, 0), -2);
  EXPECT_TRUE(first->ClosedByPeer());
  EXPECT_TRUE(Logged("View Exception:- Cannot create file " + FStore.StreamsDir() +
                     "GAME/info.ini: No such file or directory"));
  EXPECT_TRUE(test::WaitFor([&] { return FActiveUsers.Count() == 0; }));
  login("Eve\tSecret", "OK");
}

TEST_F(ViewServiceTest, GuessesAtANameNeverLockItsOwnerOut) {
  TSettings settings;
  settings.ViewerAuth = true;
  FSettings.Set(settings);
  test::WriteFile(FDir / "users.txt", "alice,right\n");
  const auto reply = [&](const std::string& line) { return Connect(line)->ReceiveLine(); };
  // A wrong password gets the wrong-password reply, whoever holds the name.
  FActiveUsers.CheckAndAdd("alice");
  EXPECT_EQ(reply("ALICE\twrong"), "FAIL\tIncorrect username or password");
  EXPECT_EQ(reply("alice\tright"), "FAIL\talice user is already logged in");
  FActiveUsers.Remove("alice");
  std::atomic<bool> stop{false};
  std::vector<std::thread> guessers;
  for (int i = 0; i < 3; ++i)
    guessers.emplace_back([&] {
      while (!stop) EXPECT_EQ(reply("ALICE\twrong"), "FAIL\tIncorrect username or password");
    });
  for (int round = 0; round < 30; ++round) {
    EXPECT_EQ(reply("alice\tright"), "OK") << round;
    ASSERT_TRUE(test::WaitFor([&] { return FActiveUsers.Count() == 0; }));
  }
  stop = true;
  for (auto& t : guessers) t.join();
}

// The buffer budget (up to three sections past the start) keeps its default of 50000.
TEST_F(ViewServiceTest, FinishedGamesUntilTheEndAndSharedBudgets) {
  TSettings settings;
  settings.BandwidthNormal = 100;
  FSettings.Set(settings);
  const std::string whole = Bytes(12000, 0x01020304), demo = Bytes(200, 9), audio = Bytes(50, 0, 3);
  WriteSection("GAME", 0, {{0, whole}});
  WriteSection("G", 4, {{0, demo}, {1, audio}});
  auto one = Connect("REQUEST\tGAME\t0\t0\tFALSE"), shared = Connect("REQUEST\tG\t0\t4");
  EXPECT_EQ(Ints(*one, 4), (V{1, 0, 0x01020304, 12000}));
  EXPECT_EQ(Ints(*shared, 7), (V{2, 0, 9, 200, 1, 0, 50}));
  EXPECT_EQ(FStore.ReadViewers("GAME"), 1);
  for (auto* c : {one.get(), shared.get(), shared.get()}) c->SendInt(0);
  ExpectChunk(*one, 0, whole);
  EXPECT_EQ(Ints(*one, 3), (V{0, 1, -1}));
  FStore.WriteAvailable("GAME", false);
  // Open streams share the normal budget.
  ExpectChunk(*shared, 0, demo.substr(0, 50));
  ExpectChunk(*shared, 1, audio);
  // Between cycles the sender keeps positions, not open stream files.
  EXPECT_TRUE(test::WaitFor([] {
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec))
      if (read_symlink(fd, ec).filename().string().starts_with("stream_")) return false;
    return true;
  }));
  ExpectChunk(*shared, 0, demo.substr(50, 50));
  EXPECT_EQ(Ints(*shared, 2), (V{1, 1}));
  // A completed stream hands its share over.
  ExpectChunk(*shared, 0, demo.substr(100, 100));
  EXPECT_EQ(Ints(*shared, 2), (V{0, 1}));
  shared->Close();
  EXPECT_EQ(viewtest::NextNot(*one, -1), -2);
  EXPECT_TRUE(one->ClosedByPeer());
  // The viewers are counted down however the session ends.
  EXPECT_TRUE(test::WaitFor(
      [&] { return FStore.ReadViewers("GAME") == 0 && FStore.ReadViewers("G") == 0; }));
}

TEST_F(ViewServiceTest, SectionDistanceHeaderZoomResumeOffsetsAndAudioOnly) {
  TSettings settings;
  settings.BandwidthNormal = 100;
  FSettings.Set(settings);
  for (int s = 0; s <= 6; ++s) WriteSection("D", s, {{0, Bytes(250, s, s), 50}});
  // The Demo header is not on disk yet: only an audio-only viewer gets the section.
  WriteSection("A", 0, {{0, Bytes(100, 1), 1000}, {1, Bytes(80, 0, 5)}});
  WriteSection("S", 0, {{0, std::string("\x05\x01", 2)}});
  // Start and current section, resume offset.
  const std::vector<std::array<int, 3>> asks = {{2, 5, 0},   {2, 6, 0},   {3, 3, 100},
                                                {3, 3, 250}, {3, 3, 251}, {3, 3, -1}};
  std::vector<std::unique_ptr<test::TRawClient>> d;
  for (const auto& [start, current, offset] : asks)
    d.push_back(Connect("REQUEST\tD\t" + std::to_string(start) + "\t" + std::to_string(current)));
  auto audioOnly = Connect("REQUEST\tA\t0\t0\ttrue"), full = Connect("REQUEST\tA\t0\t0"),
       shortLead = Connect("REQUEST\tS\t0\t0");
  for (std::size_t i = 0; i < asks.size(); ++i) {
    const auto [start, current, offset] = asks[i];
    EXPECT_EQ(Ints(*d[i], 4), (V{1, 0, current, current == start ? 250 : 200})) << i;
    d[i]->SendInt(offset);
  }
  ExpectChunk(*d[0], 0, Bytes(250, 5, 5).substr(50));       // buffer budget
  ExpectChunk(*d[1], 0, Bytes(250, 6, 6).substr(50, 100));  // normal budget
  ExpectChunk(*d[2], 0, Bytes(250, 3, 3).substr(100));
  EXPECT_EQ(Ints(*d[3], 2), (V{0, 1}));
  EXPECT_TRUE(d[4]->ClosedByPeer());
  EXPECT_TRUE(d[5]->ClosedByPeer());
  EXPECT_TRUE(Logged("View Exception:- Tried to resume outside valid data range"));

  EXPECT_EQ(Ints(*shortLead, 4), (V{1, 0, 0x0105, 2}));  // the missing lead bytes read as 0
  EXPECT_EQ(Ints(*audioOnly, 4), (V{1, 1, 0, 80}));
  audioOnly->SendInt(0);
  ExpectChunk(*audioOnly, 0, Bytes(80, 0, 5));
  EXPECT_EQ(Ints(*audioOnly, 2), (V{0, 1}));
  EXPECT_EQ(Ints(*full, 3), (V{0, 0, 0}));
}

// Viewers on the sender threads: each gets the cycles a viewer on its own thread got, byte for
// byte, and one whose socket is full holds back no one else.
TEST_F(ViewServiceTest, ManyViewersGetTheRecordedSessionAndAStalledOneDelaysNoOther) {
  TSettings settings;
  settings.BandwidthBuffer = 200;
  FSettings.Set(settings);
  const std::string data = Bytes(300, 0x0A0B0C0D);
  WriteSection("GAME", 0, {{0, data, 100}});
  const auto ints = [](const V& v) {
    std::string bytes;
    for (const std::int32_t i : v)
      for (int b = 3; b >= 0; --b)
        bytes += static_cast<char>(static_cast<std::uint32_t>(i) >> (8 * b));
    return bytes;
  };
  // Announcement, two chunks of the buffer budget, the end of the stream, the game's end.
  const std::string recorded = ints({1, 0, 0x0A0B0C0D, 300}) + ints({0, 0, 200}) +
                               data.substr(0, 200) + ints({0, 0, 100}) + data.substr(200) +
                               ints({0, 1, -1});
  std::vector<std::future<std::string>> viewers;
  Port();  // the service starts before the viewers come
  for (int i = 0; i < 40; ++i)
    viewers.push_back(std::async(std::launch::async, [&] {
      auto c = Connect("REQUEST\tGAME\t0\t0");
      std::string got = c->Receive(16);
      c->SendInt(0);
      return got + c->Receive(recorded.size() - 16);
    }));
  for (auto& v : viewers) EXPECT_EQ(v.get(), recorded);
  // Each ends with its end steps, the viewer count last but for the log line and the user.
  EXPECT_TRUE(test::WaitFor([&] {
    return std::ranges::count(test::LogMessages(FDir / "zarnel.log"), "View client disconnected") ==
           40;
  }));
  EXPECT_EQ(FStore.ReadViewers("GAME"), 0);

  // Cycles of 4 MB fill a socket that is not read within a few cycles; as many stalled
  // viewers as there are sender threads, then one that reads.
  settings.BandwidthBuffer = 4 << 20;
  FSettings.Set(settings);
  WriteSection("BIG", 0, {{0, Bytes(32 << 20, 0, 1)}});
  std::vector<std::unique_ptr<test::TRawClient>> stalled;
  for (unsigned i = 0; i < std::clamp(std::thread::hardware_concurrency(), 1u, 8u); ++i) {
    stalled.push_back(Connect("REQUEST\tBIG\t0\t0"));
    EXPECT_EQ(Ints(*stalled.back(), 4), (V{1, 0, 0, 32 << 20}));
    stalled.back()->SendInt(0);
  }
  auto reader = Connect("REQUEST\tBIG\t0\t0");
  EXPECT_EQ(Ints(*reader, 4), (V{1, 0, 0, 32 << 20}));
  reader->SendInt(0);
  // A sender blocked on a full socket would hold these cycles forever: the reads time out.
  for (int cycle = 0; cycle < 6; ++cycle) {
    ASSERT_EQ(Ints(*reader, 3), (V{0, 0, 4 << 20}));
    reader->Receive(4 << 20);
  }
  EXPECT_EQ(FService->StreamingCount(), stalled.size() + 1);
}

// The send buffer of every streaming socket of the service, read on the server's side: the
// service runs in this process, so its accepted sockets are among this process's descriptors.
std::vector<int> StreamingSendBuffers(std::uint16_t port) {
  std::vector<int> sizes;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    const int fd = std::stoi(entry.path().filename().string());
    sockaddr_storage local{}, peer{};
    socklen_t length = sizeof local;
    // The server's sockets are IPv6 where the system has it; the port lies at the same place.
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        (local.ss_family != AF_INET && local.ss_family != AF_INET6) ||
        ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port) != port)
      continue;
    length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) continue;  // listener
    int size = 0;
    length = sizeof size;
    if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, &length) == 0) sizes.push_back(size);
  }
  return sizes;
}

// A viewer whose socket takes no byte for SendTimeout is closed with its end steps; one that
// reads slowly stays, though each of its messages waits for room far longer than that. Each
// streaming socket's send buffer holds a few cycles, not what the system would grow it to.
TEST_F(ViewServiceTest, AViewerThatStopsReadingIsClosedAtTheSendDeadlineAndASlowOneStays) {
  TSettings settings;
  settings.SendTimeout = 2;
  settings.BandwidthBuffer = 4 << 20;
  FSettings.Set(settings);
  const std::string data = Bytes(32 << 20, 0, 1);
  WriteSection("BIG", 0, {{0, data}});
  // Its resume offset goes with the request: it never reads a byte.
  auto stuck = Connect("REQUEST\tBIG\t0\t0");
  stuck->SendInt(0);
  auto slow = Connect("REQUEST\tBIG\t0\t0");
  EXPECT_EQ(Ints(*slow, 4), (V{1, 0, 0, 32 << 20}));
  slow->SendInt(0);
  ASSERT_TRUE(test::WaitFor([&] { return FService->StreamingCount() == 2; }));
  // Four cycles' budget, within the system's cap, doubled for its bookkeeping as Linux does.
  long cap = 0;
  std::ifstream("/proc/sys/net/core/wmem_max") >> cap;
  const long bound = 2 * std::min<long>(4 * (4 << 20), cap);
  EXPECT_THAT(StreamingSendBuffers(Port()), ::testing::ElementsAre(bound, bound));
  // About 1 MB a second, a quarter of the budget: a cycle's message takes some four seconds.
  for (int cycle = 0; cycle < 2; ++cycle) {
    ASSERT_EQ(Ints(*slow, 3), (V{0, 0, 4 << 20}));
    for (int piece = 0; piece < 64; ++piece) {
      ASSERT_EQ(slow->Receive(65536), data.substr((cycle * 64 + piece) * 65536, 65536));
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
  }
  const auto count = [&](const std::string& message) {
    return std::ranges::count(test::LogMessages(FDir / "zarnel.log"), message);
  };
  EXPECT_TRUE(test::WaitFor([&] { return count("View client disconnected") == 1; }));
  EXPECT_EQ(count("Send timeout"), 1);
  EXPECT_EQ(FStore.ReadViewers("BIG"), 1);
  EXPECT_EQ(FService->StreamingCount(), 1u);
}

// A section's files are made anew when a filmer sends its set-up again. A viewer inside the
// section goes on from the file it was announced, whatever happens at the path meanwhile; the
// next viewer gets the new file.
TEST_F(ViewServiceTest, AStreamFileMadeAnewStaysOutOfAnAnnouncedSection) {
  TSettings settings;
  settings.BandwidthBuffer = 1000;
  FSettings.Set(settings);
  const std::string old = Bytes(3000, 0x11), made = Bytes(5000, 0x22, 3);
  WriteSection("LIVE", 0, {{0, old}});
  FStore.WriteComplete("LIVE", 0, 0, false);
  FStore.WriteCompleteAll("LIVE", false);
  const std::string path = FStore.StreamPath("LIVE", 0, 0);
  auto inside = Connect("REQUEST\tLIVE\t0\t0");
  EXPECT_EQ(Ints(*inside, 4), (V{1, 0, 0x11, 3000}));
  inside->SendInt(0);
  ExpectChunk(*inside, 0, old.substr(0, 1000));
  // A cycle while the path holds no file.
  std::filesystem::remove(path);
  ExpectChunk(*inside, 0, old.substr(1000, 1000));
  test::WriteFile(path, made);
  FStore.WriteSize("LIVE", 0, 0, 5000);
  auto next = Connect("REQUEST\tLIVE\t0\t0");
  EXPECT_EQ(Ints(*next, 4), (V{1, 0, 0x22, 5000}));
  next->SendInt(0);
  ExpectChunk(*next, 0, made.substr(0, 1000));
  ExpectChunk(*inside, 0, old.substr(2000));
  EXPECT_EQ(inside->ReceiveInt(), -1);
  FStore.WriteComplete("LIVE", 0, 0, true);
  EXPECT_EQ(viewtest::NextNot(*inside, -1), 0);
  EXPECT_EQ(inside->ReceiveInt(), 1);
}

// A complete stream whose file ends before its recorded size ends the viewer's session after the
// bytes there are, never with the stream's completion; a whole file, and one without a recorded
// size, complete as ever.
TEST_F(ViewServiceTest, AStreamFileShorterThanRecordedIsNeverReportedComplete) {
  TSettings settings;
  settings.BandwidthBuffer = 150000;
  FSettings.Set(settings);
  const std::string data = Bytes(300000, 0x31);
  WriteSection("CUT", 0, {{0, data}});
  WriteSection("WHOLE", 0, {{0, data}});
  WriteSection("UNSIZED", 0, {{0, data.substr(0, 1000)}});
  FStore.WriteSize("UNSIZED", 0, 0, 0);
  const std::string path = FStore.StreamPath("CUT", 0, 0);
  std::filesystem::resize_file(path, 100000);
  auto cut = Connect("REQUEST\tCUT\t0\t0"), whole = Connect("REQUEST\tWHOLE\t0\t0"),
       unsized = Connect("REQUEST\tUNSIZED\t0\t0");
  for (auto* c : {cut.get(), whole.get()}) EXPECT_EQ(Ints(*c, 4), (V{1, 0, 0x31, 300000}));
  EXPECT_EQ(Ints(*unsized, 4), (V{1, 0, 0x31, 0}));
  for (auto* c : {cut.get(), whole.get(), unsized.get()}) c->SendInt(0);

  ExpectChunk(*cut, 0, data.substr(0, 100000));
  EXPECT_TRUE(cut->ClosedByPeer());
  EXPECT_TRUE(Logged("View Exception:- Stream file shorter than recorded: " + path +
                     " (100000 of 300000 bytes)"));
  ExpectChunk(*whole, 0, data.substr(0, 150000));
  ExpectChunk(*whole, 0, data.substr(150000));
  EXPECT_EQ(Ints(*whole, 3), (V{0, 1, -1}));
  ExpectChunk(*unsized, 0, data.substr(0, 1000));
  EXPECT_EQ(Ints(*unsized, 3), (V{0, 1, -1}));
  EXPECT_TRUE(test::WaitFor([&] { return FStore.ReadViewers("CUT") == 0; }));
}

// A finished stream cut short in place while its viewers read it from their shared mapping:
// they end as for any short file, with the reason logged, and the server serves on.
TEST_F(ViewServiceTest, AFileCutShortBeneathItsViewersEndsThemAndNothingElse) {
  TSettings settings;
  settings.BandwidthBuffer = 150000;
  FSettings.Set(settings);
  const std::string data = Bytes(3000000, 0x31);
  WriteSection("SHRUNK", 0, {{0, data}});
  WriteSection("WHOLE", 0, {{0, data.substr(0, 200000)}});
  auto first = Connect("REQUEST\tSHRUNK\t0\t0"), second = Connect("REQUEST\tSHRUNK\t0\t0");
  for (auto* c : {first.get(), second.get()}) {
    EXPECT_EQ(Ints(*c, 4), (V{1, 0, 0x31, 3000000}));
    c->SendInt(0);
    ExpectChunk(*c, 0, data.substr(0, 150000));
  }
  const std::string path = FStore.StreamPath("SHRUNK", 0, 0);
  std::filesystem::resize_file(path, 100000);
  // Cycles already on their way may still come; then the session ends, short of the whole.
  for (auto* c : {first.get(), second.get()}) {
    std::size_t received = 150000;
    EXPECT_THROW(
        for (;;) {
          const V head = Ints(*c, 3);
          ASSERT_EQ(head[1], 0);
          EXPECT_EQ(c->Receive(static_cast<std::size_t>(head[2])),
                    data.substr(received, static_cast<std::size_t>(head[2])));
          received += static_cast<std::size_t>(head[2]);
        },
        std::runtime_error);
    EXPECT_LT(received, data.size());
  }
  EXPECT_TRUE(Logged("View Exception:- Stream file shorter than recorded: " + path +
                     " (100000 of 3000000 bytes)"));
  auto whole = Connect("REQUEST\tWHOLE\t0\t0");
  EXPECT_EQ(Ints(*whole, 4), (V{1, 0, 0x31, 200000}));
  whole->SendInt(0);
  ExpectChunk(*whole, 0, data.substr(0, 150000));
  ExpectChunk(*whole, 0, data.substr(150000, 50000));
  EXPECT_EQ(Ints(*whole, 3), (V{0, 1, -1}));
}

// A complete stream's bytes up to its recorded size come from a mapping shared by its viewers,
// the rest from the file as ever: two viewers of a file that grew past its recorded size get
// the same chunks, up to the file's end, then the completion.
TEST_F(ViewServiceTest, ACompleteStreamIsSentWholeAcrossItsRecordedSize) {
  TSettings settings;
  settings.BandwidthBuffer = 1000;
  FSettings.Set(settings);
  const std::string data = Bytes(2500, 0x41, 7);
  WriteSection("GREW", 0, {{0, data}});
  FStore.WriteSize("GREW", 0, 0, 1500);
  auto first = Connect("REQUEST\tGREW\t0\t0"), second = Connect("REQUEST\tGREW\t0\t0");
  for (auto* c : {first.get(), second.get()}) {
    EXPECT_EQ(Ints(*c, 4), (V{1, 0, 0x41, 1500}));
    c->SendInt(0);
  }
  for (auto* c : {first.get(), second.get()}) {
    ExpectChunk(*c, 0, data.substr(0, 1000));
    ExpectChunk(*c, 0, data.substr(1000, 1000));
    ExpectChunk(*c, 0, data.substr(2000));
    EXPECT_EQ(Ints(*c, 3), (V{0, 1, -1}));
  }
}

TEST_F(ViewServiceTest, LiveViewerGetsEveryByteOnceAndInOrder) {
  TFilmService film(FSettings, FLog, FStore);
  TIdTCPServer filmServer(0);
  filmServer.OnExecute = [&](TIdPeerThread& t) { film.Execute(t); };
  filmServer.SetActive(true);
  viewtest::UploadWhileWatching(filmServer.BoundPort(), Port(), "");
}

}  // namespace
