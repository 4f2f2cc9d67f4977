// The film session over real sockets, with the store in a temporary directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <limits>
#include <memory>
#include <tuple>

#include "film/FilmService.h"
#include "net/IdTCPServer.h"
#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

using namespace ::testing;
using Ints = std::vector<std::int32_t>;
using Strings = std::vector<std::string>;

class FilmServiceTest : public Test {
 protected:
  FilmServiceTest() {
    std::filesystem::create_directories(streams);
    TSettings changed;
    changed.FilmPassword = "pw";
    settings.Set(changed);
    server.OnExecute = [this](TIdPeerThread& t) { service.Execute(t); };
    server.SetActive(true);
  }

  // Sends Line and its CR LF, then Ints and Data as they are.
  static void Send(test::TRawClient& c, const std::string& line, const Ints& ints = {},
                   const std::string& data = "") {
    c.Send(line + "\r\n");
    for (std::int32_t v : ints) c.SendInt(v);
    c.Send(data);
  }
  // A filmer past the greeting and the version check, and past AUTH with Auth (mode TAB game).
  std::unique_ptr<test::TRawClient> Connect(const std::string& auth = "") {
    auto c = std::make_unique<test::TRawClient>(server.BoundPort());
    EXPECT_EQ(c->ReceiveLine(), "1.0.0.23\t2016");
    Send(*c, "9.9\t2016" + (auth.empty() ? "" : "\r\nAUTH\tpw\t" + auth));
    EXPECT_EQ(c->ReceiveLine(), "OK");
    if (!auth.empty()) {
      EXPECT_EQ(c->ReceiveLine(), "OK");
    }
    return c;
  }
  // Sets up Section with (type, size, header length) per stream; returns the stored lengths.
  static Ints Transmit(test::TRawClient& c, int section, const Ints& setups) {
    Send(c, "Transmit\t" + std::to_string(setups.size() / 3) + "\t" + std::to_string(section),
         setups);
    Ints lengths(setups.size() / 3);
    for (auto& length : lengths) length = c.ReceiveInt();
    return lengths;
  }
  static void Block(test::TRawClient& c, int stream, const std::string& data) {
    Send(c, "BLOCK", {stream, 0, static_cast<std::int32_t>(data.size())}, data);
  }
  static void End(test::TRawClient& c, int stream) { Send(c, "block", {stream, 1}); }
  // Everything sent before has been acted on once HI is answered.
  static void Sync(test::TRawClient& c) {
    Send(c, "HI");
    EXPECT_EQ(c.ReceiveLine(), "OK");
  }
  // The info file's entry "section/key" of Game.
  std::string Info(const std::string& game, const std::string& entry) {
    const auto slash = entry.find('/');
    return TMemIniFile(streams + game + "/info.ini")
        .ReadString(entry.substr(0, slash), entry.substr(slash + 1), "-");
  }
  std::string Data(const std::string& game, const std::string& slot) {
    return test::ReadFile(streams + game + "/stream_" + slot);
  }
  Strings Log() { return test::LogMessages(dir / "zarnel.log"); }
  // A session refused at AUTH with Reason, which closes the connection.
  void Refused(const std::string& auth, const std::string& reason) {
    auto c = Connect();
    Send(*c, auth);
    EXPECT_EQ(c->ReceiveLine(), "FAIL\t" + reason) << auth;
    EXPECT_TRUE(c->ClosedByPeer()) << auth;
  }
  // Stream files this process holds open, by name.
  Strings OpenStreamFiles() {
    Strings names;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      const auto target = std::filesystem::read_symlink(e.path(), ec);
      if (!ec && target.string().rfind(streams, 0) == 0) names.push_back(target.filename());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  test::TTempDir dir;
  const std::string streams = std::filesystem::canonical(dir.Path()).string() + "/Streams/";
  TSettingsHolder settings;
  TLog log{dir / "zarnel.log"};
  TGameStore store{streams};
  TFilmService service{settings, log, store};
  TIdTCPServer server{0};  // stopped first, so every session ends before the rest goes
};

TEST_F(FilmServiceTest, UploadsTwoSectionsOfTwoStreams) {
  auto c = Connect();
  Send(*c, "HI\r\nauth\tpw\tnew\tfinal1");  // no reply to HI before authentication
  EXPECT_EQ(c->ReceiveLine(), "OK");
  EXPECT_EQ(Transmit(*c, 0, {0, 10, 4, 257, 3, 0}), (Ints{0, 0}));
  Block(*c, 0, "abcd");
  Block(*c, 1, "");
  Sync(*c);
  // The header flag needs more bytes than the header length: 4 of 4, or 0 of 0, is not enough.
  EXPECT_EQ(Info("FINAL1", "header/0_0") + Info("FINAL1", "header/1_0"), "--");
  Block(*c, 1, "xyz");
  Block(*c, 0, "efghij");
  End(*c, 1);
  End(*c, 0);
  EXPECT_EQ(Transmit(*c, 1, {0, 2, 1, 1, 1, 0}), (Ints{0, 0}));
  Block(*c, 1, "Q");
  Block(*c, 0, "PP");
  End(*c, 0);
  End(*c, 1);
  Send(*c, "completed");
  EXPECT_TRUE(c->ClosedByPeer());
  server.SetActive(false);

  EXPECT_EQ(Data("FINAL1", "0_0"), "abcdefghij");
  EXPECT_EQ(Data("FINAL1", "1_0"), "xyz");
  EXPECT_EQ(Data("FINAL1", "0_1"), "PP");
  EXPECT_EQ(Data("FINAL1", "1_1"), "Q");
  const Strings entries = {
      "stream/available=1", "complete/all=1", "active/streams=2", "active/sections=2",
      "types/0=0",          "types/1=1",      "size/0_0=10",      "size/1_0=3",
      "size/0_1=2",         "size/1_1=1",     "block/0_0=4",      "block/0_1=1",
      "header/0_0=1",       "header/1_0=1",   "header/0_1=1",     "header/1_1=1",
      "complete/0_0=1",     "complete/1_0=1", "complete/0_1=1",   "complete/1_1=1"};
  Strings actual;
  for (const auto& e : entries)
    actual.push_back(e.substr(0, e.find('=') + 1) + Info("FINAL1", e.substr(0, e.find('='))));
  EXPECT_EQ(actual, entries);
  EXPECT_EQ(Log(),
            (Strings{"Film client connected 127.0.0.1", "Film Client Version: 9.9, Protocol: 2016",
                     "Authenticated successfully", "2 streams setup for transmission",
                     "2 streams setup for transmission", "Film client disconnected"}));
}

TEST_F(FilmServiceTest, ResumeAfterABrokenBlockKeepsOnlyWholeBlocks) {
  auto old = Connect("\tLIVE");
  Transmit(*old, 0, {0, 9, 0});
  Block(*old, 0, "abc");
  Send(*old, "BLOCK", {0, 0, 5}, "de");
  old->Close();  // within the block, so nothing of it is stored
  ASSERT_TRUE(test::WaitFor(
      [&] { return Value(Log(), Contains("Film Exception:- Connection Closed Gracefully.")); }));
  auto c = Connect("RESUME\tlive");
  EXPECT_EQ(Transmit(*c, 0, {0, 9, 0}), Ints{3});
  Block(*c, 0, "def");
  End(*c, 0);
  Sync(*c);
  EXPECT_EQ(Data("LIVE", "0_0"), "abcdef");
  EXPECT_EQ(Info("LIVE", "complete/0_0"), "1");
}

TEST_F(FilmServiceTest, ResumeTakesOverALiveSessionButNotOneBusyInTheStore) {
  auto c = Connect("\tLIVE");
  Transmit(*c, 0, {0, 9, 0});
  auto d = Connect("RESUME\tLIVE");
  EXPECT_TRUE(c->ClosedByPeer());
  // The live session had wholly ended, its error logged, before the new one went on.
  const auto log = Log();
  EXPECT_EQ(Strings(log.end() - 3, log.end()),
            (Strings{"Film client disconnected", "Film Exception:- Connection Closed Gracefully.",
                     "Authenticated successfully"}));

  // Opening a pipe for writing blocks until a reader comes, whatever happens to the socket.
  const std::string fifo = streams + "LIVE/stream_0_1";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Send(*d, "TRANSMIT\t1\t1", {0, 9, 42});
  ASSERT_TRUE(test::WaitFor([&] { return Info("LIVE", "block/0_1") == "42"; }));
  Refused("AUTH\tpw\tresume\tlive", "Game is being filmed");
  EXPECT_THAT(Log(), Contains("Game is being filmed"));
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(d->ClosedByPeer());
  server.SetActive(false);
  close(reader);
}

TEST_F(FilmServiceTest, RefusalsAreRepliedAndLogged) {
  test::TRawClient p(server.BoundPort());
  EXPECT_EQ(p.ReceiveLine(), "1.0.0.23\t2016");
  p.Send("1.0\t2015\n");
  EXPECT_EQ(p.ReceiveLine(),
            "FAIL\tInvalid protocol need 2016 Get latest client at http://www.zarnel.example/");
  EXPECT_EQ(p.ReceiveLine(), "1.0.0.23\t2016");  // a new greeting on the same connection
  p.Send("1.0\t0x7E0\n");
  EXPECT_EQ(p.ReceiveLine(), "OK");
  EXPECT_THAT(Log(), ElementsAre(_, "Film Client Version: 1.0, Protocol: 2015",
                                 "Invalid protocol need 2016", "Film client disconnected", _,
                                 "Film Client Version: 1.0, Protocol: 2016"));

  std::filesystem::create_directories(streams + "Final1");
  Refused("HI\r\nAUTH\tPW\t\tx", "Incorrect Password");
  Refused("AUTH\tpw\t\tfinal1", "Game with same name already exists");
  Refused("AUTH\tpw\tRESUME\tnope", "Cannot resume a non existant game");
  for (const std::string& name : Strings{"", ".", "..", "a/b", std::string("a\0b", 3)})
    Refused("AUTH\tpw\tresume\t" + name, "Invalid game name");
  EXPECT_EQ(test::ListDir(streams), Strings{"Final1"});
  server.SetActive(false);
  Strings reasons;
  for (const auto& line : Log())
    if (line.rfind("Film ", 0) != 0) reasons.push_back(line);
  Strings expected{"Invalid protocol need 2016", "Incorrect Password",
                   "Game with same name already exists", "Cannot resume a non existant games"};
  expected.resize(9, "Invalid game name");
  EXPECT_EQ(reasons, expected);
}

TEST_F(FilmServiceTest, SetUpRebuildsAHeaderFlagACrashLeftUnwritten) {
  // Killed after storing a block that completes the header, before writing its flag.
  std::filesystem::create_directories(streams + "CRASH");
  test::WriteFile(streams + "CRASH/info.ini", "[block]\n0_0=10\n1_0=10\n");
  test::WriteFile(streams + "CRASH/stream_0_0", std::string(11, 'x'));
  test::WriteFile(streams + "CRASH/stream_1_0", std::string(10, 'y'));
  auto c = Connect("RESUME\tcrash");
  EXPECT_EQ(Transmit(*c, 0, {0, 11, 10, 1, 10, 10}), (Ints{11, 10}));
  Sync(*c);
  EXPECT_EQ(Info("CRASH", "header/0_0"), "1");
  EXPECT_EQ(Info("CRASH", "header/1_0"), "-");  // exactly the header: not complete yet
}

TEST_F(FilmServiceTest, NamesWithControlCharactersAreRefused) {
  for (const std::string name : {"A\rB", "A\x01", "\x7f", "A\x1f"})
    Refused("AUTH\tpw\t\t" + name, "Invalid game name");
  EXPECT_TRUE(test::ListDir(streams).empty());
}

TEST_F(FilmServiceTest, NewGamesNeedRoomAndANameTheFileSystemTakes) {
  // Longer than a file name may be: refused like any other invalid name, not closed silently.
  Refused("AUTH\tpw\t\t" + std::string(256, 'A'), "Invalid game name");
  // Under MinFreeMB a new game is refused, a resumed one goes on; the store logs the episode.
  std::filesystem::create_directories(streams + "OLD");
  store.SetLimits({0, 0, std::numeric_limits<std::int32_t>::max()});
  Refused("AUTH\tpw\tnew\tNEW", "Not enough disk space");
  Refused("AUTH\tpw\tnew\tOTHER", "Not enough disk space");
  auto c = Connect("resume\tOLD");
  EXPECT_EQ(Transmit(*c, 0, {0, 1, 0}), Ints{0});
  EXPECT_EQ(test::ListDir(streams), Strings{"OLD"});
  store.SetLimits({});
  Connect("new\tNEW");
  EXPECT_EQ(Info("NEW", "stream/available"), "1");
}

TEST_F(FilmServiceTest, ADamagedGameIsNeitherResumedNorTakenForANewOne) {
  const std::string damaged("[stream]\navailable=1\n\0\n", 23);
  std::filesystem::create_directories(streams + "BROKEN");
  test::WriteFile(streams + "BROKEN/info.ini", damaged);
  Refused("AUTH\tpw\tresume\tBROKEN", "Cannot resume a non existant game");
  Refused("AUTH\tpw\tnew\tbroken", "Game with same name already exists");
  EXPECT_EQ(test::ReadFile(streams + "BROKEN/info.ini"), damaged);
}

TEST_F(FilmServiceTest, AHiddenGameIsNotTakenForANewOne) {
  // Left out of the listings, but a new upload of its name must not write over it.
  std::filesystem::create_directories(streams + ".X");
  test::WriteFile(streams + ".X/info.ini", "[block]\n0_0=4\n");
  test::WriteFile(streams + ".X/stream_0_0", "kept");
  Refused("AUTH\tpw\t\t.x", "Game with same name already exists");
  EXPECT_EQ(Data(".X", "0_0"), "kept");
  auto c = Connect("RESUME\t.x");
  EXPECT_EQ(Transmit(*c, 0, {0, 10, 4}), (Ints{4}));
}

TEST_F(FilmServiceTest, BadBlocksAndSetUpsEndTheSessionWithAnError) {
  for (const auto& [game, line, ints] : std::vector<std::tuple<std::string, std::string, Ints>>{
           {"MANY", "TRANSMIT\t4\t1", {}},
           {"INDEX", "BLOCK", {1, 0, 1}},
           {"ENDED", "BLOCK", {0, 0, 4}},
           {"NEGATIVE", "BLOCK", {0, 256, -1}},
           {"HUGE", "BLOCK", {0, 0, 64 * 1024 * 1024 + 1}},
           {"STOP", "BLOCK", {-1, 0}}}) {
    auto c = Connect("\t" + game);
    Transmit(*c, 0, {0, 10, 0});
    Block(*c, 0, "ok");
    if (game == "ENDED") End(*c, 0);  // a stream past its end marker has no file
    Send(*c, line, ints);
    EXPECT_TRUE(c->ClosedByPeer()) << game;
    EXPECT_EQ(Data(game, "0_0"), "ok") << game;
  }
  server.SetActive(false);
  Strings errors;
  for (const auto& line : Log())
    if (line.rfind("Film Exception:- ", 0) == 0) errors.push_back(line.substr(17));
  EXPECT_EQ(errors, (Strings{"Connection wanting to send to many streams.",
                             "Connection tried to write to invalid stream index.",
                             "Connection tried to write to invalid stream index.",
                             "Invalid block length -1", "Invalid block length 67108865"}));
}

TEST_F(FilmServiceTest, OpenFilesAreClosedBySetUpGameSwitchAndEnd) {
  auto c = Connect("\tFD");
  Transmit(*c, 0, {0, 1, 0, 0, 1, 0, 1, 1, 0});
  Transmit(*c, 1, {0, 1, 0, 0, 1, 0});
  Sync(*c);
  EXPECT_EQ(OpenStreamFiles(), (Strings{"stream_0_1", "stream_1_1"}));
  Send(*c, "AUTH\tpw\t\tOTHER");
  EXPECT_EQ(c->ReceiveLine(), "OK");
  EXPECT_THAT(OpenStreamFiles(), IsEmpty());
  // The earlier set-up went with the earlier game. One piece: the server may close as soon as it
  // has read the stream number, before a later piece could arrive.
  c->Send(std::string("BLOCK\r\n\0\0\0\0\0\0\0\0\0\0\0\1x", 20));
  EXPECT_TRUE(c->ClosedByPeer());
  EXPECT_EQ(Data("FD", "0_1"), "");
}

// A filmer that keeps Nagle's algorithm (as most do) holds each small write back until the one
// before is acknowledged. Left to the delayed-ACK timer, every set-up waits 40 ms or more; with
// acknowledgements at once, even a loaded machine gets some of them done far sooner.
TEST_F(FilmServiceTest, AFilmerKeepingNaglesAlgorithmIsAcknowledgedAtOnce) {
  auto c = Connect("\tNAGLE");
  auto fastest = std::chrono::steady_clock::duration::max();
  for (int section = 0; section < 21; ++section) {
    const auto start = std::chrono::steady_clock::now();
    Transmit(*c, section, {0, 64, 0, 1, 64, 0});
    for (int stream = 0; stream < 2; ++stream) {
      Block(*c, stream, std::string(64, 'x'));
      End(*c, stream);
    }
    fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
  }
  Sync(*c);
  EXPECT_LT(fastest, std::chrono::milliseconds(30))
      << std::chrono::duration_cast<std::chrono::microseconds>(fastest).count() << " us";
}

}  // namespace
