// The film session over real sockets, with the store in a temporary directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <memory>

#include "film/FilmService.h"
#include "net/IdTCPServer.h"
#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

using TStreamSetup = std::array<std::int32_t, 3>;  // type, size, block

class FilmServiceTest : public ::testing::Test {
 protected:
  FilmServiceTest() {
    std::filesystem::create_directories(streams);
    settings.FilmPassword = "pw";
    server.OnExecute = [this](TIdPeerThread& t) { service.Execute(t); };
    server.SetActive(true);
  }
  ~FilmServiceTest() override { Stop(); }

  // Ends every session still running, so the log is complete.
  void Stop() { server.SetActive(false); }

  // A filmer past the greeting and the version check.
  std::unique_ptr<test::TRawClient> Connect() {
    auto c = std::make_unique<test::TRawClient>(server.BoundPort());
    EXPECT_EQ(c->ReceiveLine(), "1.0.0.23\t2016");
    c->Send("9.9\t2016\r\n");
    EXPECT_EQ(c->ReceiveLine(), "OK");
    return c;
  }
  std::unique_ptr<test::TRawClient> Login(const std::string& mode, const std::string& game) {
    auto c = Connect();
    c->Send("AUTH\tpw\t" + mode + "\t" + game + "\r\n");
    EXPECT_EQ(c->ReceiveLine(), "OK");
    return c;
  }
  static std::vector<std::int32_t> Transmit(test::TRawClient& c, int section,
                                            const std::vector<TStreamSetup>& setups,
                                            const std::string& word = "TRANSMIT") {
    c.Send(word + "\t" + std::to_string(setups.size()) + "\t" + std::to_string(section) + "\r\n");
    for (const auto& s : setups)
      for (std::int32_t v : s) c.SendInt(v);
    std::vector<std::int32_t> lengths;
    for (std::size_t i = 0; i < setups.size(); ++i) lengths.push_back(c.ReceiveInt());
    return lengths;
  }
  static void Block(test::TRawClient& c, int stream, const std::string& data) {
    c.Send("BLOCK\r\n");
    c.SendInt(stream);
    c.SendInt(0);
    c.SendInt(static_cast<std::int32_t>(data.size()));
    c.Send(data);
  }
  static void End(test::TRawClient& c, int stream) {
    c.Send("block\n");
    c.SendInt(stream);
    c.SendInt(1);
  }
  // Everything sent before has been acted on once HI is answered.
  static void Sync(test::TRawClient& c) {
    c.Send("HI\r\n");
    EXPECT_EQ(c.ReceiveLine(), "OK");
  }
  std::string Info(const std::string& game, const std::string& section, const std::string& key) {
    return TMemIniFile(streams + game + "/info.ini").ReadString(section, key, "-");
  }
  std::string Data(const std::string& game, int stream, int section) {
    return test::ReadFile(streams + game + "/stream_" + std::to_string(stream) + "_" +
                          std::to_string(section));
  }
  std::vector<std::string> Log() { return test::LogMessages(dir / "zarnel.log"); }
  bool Logged(const std::string& line) {
    return test::WaitFor([&] {
      const auto log = Log();
      return std::find(log.begin(), log.end(), line) != log.end();
    });
  }
  // Stream files this process holds open, by name.
  std::vector<std::string> OpenStreamFiles() {
    std::vector<std::string> names;
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
  TSettings settings;
  TLog log{dir / "zarnel.log"};
  TGameStore store{streams};
  TFilmService service{settings, log, store};
  TIdTCPServer server{0};
};

TEST_F(FilmServiceTest, UploadsTwoSectionsOfTwoStreams) {
  auto c = Connect();
  c->Send("HI\r\nauth\tpw\tnew\tfinal1\r\n");  // no reply to HI before authentication
  EXPECT_EQ(c->ReceiveLine(), "OK");
  Sync(*c);
  EXPECT_EQ(Transmit(*c, 0, {{0, 10, 4}, {257, 3, 0}}), (std::vector<std::int32_t>{0, 0}));
  Block(*c, 0, "abcd");
  Block(*c, 1, "");
  Sync(*c);
  // The header flag needs more bytes than the header length: 4 of 4, or 0 of 0, is not enough.
  EXPECT_EQ(Info("FINAL1", "header", "0_0") + Info("FINAL1", "header", "1_0"), "--");
  Block(*c, 1, "xyz");
  Block(*c, 0, "efghij");
  End(*c, 1);
  End(*c, 0);
  EXPECT_EQ(Transmit(*c, 1, {{0, 2, 1}, {1, 1, 0}}, "transmit"), (std::vector<std::int32_t>{0, 0}));
  Block(*c, 1, "Q");
  Block(*c, 0, "PP");
  End(*c, 0);
  End(*c, 1);
  c->Send("completed\r\n");
  EXPECT_TRUE(c->ClosedByPeer());
  Stop();

  EXPECT_EQ(test::ListDir(streams), (std::vector<std::string>{"FINAL1"}));
  EXPECT_EQ(Data("FINAL1", 0, 0), "abcdefghij");
  EXPECT_EQ(Data("FINAL1", 1, 0), "xyz");
  EXPECT_EQ(Data("FINAL1", 0, 1), "PP");
  EXPECT_EQ(Data("FINAL1", 1, 1), "Q");
  const std::vector<std::array<std::string, 3>> keys = {
      {"stream", "available", "1"}, {"complete", "all", "1"}, {"active", "streams", "2"},
      {"active", "sections", "2"},  {"types", "0", "0"},      {"types", "1", "1"},
      {"size", "0_0", "10"},        {"size", "1_0", "3"},     {"size", "0_1", "2"},
      {"size", "1_1", "1"},         {"block", "0_0", "4"},    {"block", "0_1", "1"}};
  for (const auto& [section, key, value] : keys)
    EXPECT_EQ(Info("FINAL1", section, key), value) << section << " " << key;
  for (const std::string key : {"0_0", "1_0", "0_1", "1_1"})
    EXPECT_EQ(Info("FINAL1", "header", key) + Info("FINAL1", "complete", key), "11") << key;
  EXPECT_EQ(Log(),
            (std::vector<std::string>{
                "Film client connected 127.0.0.1", "Film Client Version: 9.9, Protocol: 2016",
                "Authenticated successfully", "2 streams setup for transmission",
                "2 streams setup for transmission", "Film client disconnected"}));
}

TEST_F(FilmServiceTest, BrokenBlockStoresNothingAndResumeContinues) {
  auto c = Login("", "G");
  Transmit(*c, 0, {{0, 100, 2}});
  Block(*c, 0, "abc");
  c->Send("BLOCK\r\n");
  c->SendInt(0);
  c->SendInt(0);
  c->SendInt(10);
  c->Send("12345");
  c->Close();
  ASSERT_TRUE(Logged("Film Exception:- Connection Closed Gracefully."));
  EXPECT_EQ(Data("G", 0, 0), "abc");

  c = Connect();
  c->Send("auth\tpw\tresume\tg\r\n");
  EXPECT_EQ(c->ReceiveLine(), "OK");
  EXPECT_EQ(Transmit(*c, 0, {{0, 100, 2}}), (std::vector<std::int32_t>{3}));
  Block(*c, 0, "def");
  End(*c, 0);
  Sync(*c);
  EXPECT_EQ(Data("G", 0, 0), "abcdef");
  EXPECT_EQ(Info("G", "complete", "0_0"), "1");
}

TEST_F(FilmServiceTest, RefusalsEndTheSession) {
  std::filesystem::create_directories(streams + "Final1");
  const auto refused = [&](const std::string& auth, const std::string& reply) {
    auto c = Connect();
    c->Send(auth + "\r\n");
    EXPECT_EQ(c->ReceiveLine(), reply) << auth;
    EXPECT_TRUE(c->ClosedByPeer()) << auth;
  };
  refused("HI\r\nAUTH\tPW\t\tx", "FAIL\tIncorrect Password");
  refused("AUTH\tpw\t\tfinal1", "FAIL\tGame with same name already exists");
  refused("AUTH\tpw\tRESUME\tnope", "FAIL\tCannot resume a non existant game");
  for (const std::string& name :
       std::vector<std::string>{"", ".", "..", "a/b", std::string("a\0b", 3)})
    refused("AUTH\tpw\tresume\t" + name, "FAIL\tInvalid game name");
  EXPECT_EQ(test::ListDir(streams), (std::vector<std::string>{"Final1"}));

  // A resume of the hand-made directory writes the upper-case one.
  auto c = Login("Resume", "final1");
  Sync(*c);
  EXPECT_EQ(Info("FINAL1", "stream", "available"), "1");
  c->Close();
  Stop();
  const auto log = Log();
  for (const std::string line : {"Incorrect Password", "Game with same name already exists",
                                 "Cannot resume a non existant games"})
    EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << line;
  EXPECT_EQ(std::count(log.begin(), log.end(), "Invalid game name"), 5);
}

TEST_F(FilmServiceTest, ProtocolRefusalGreetsAgainOnTheSameConnection) {
  test::TRawClient c(server.BoundPort());
  EXPECT_EQ(c.ReceiveLine(), "1.0.0.23\t2016");
  c.Send("1.0\t2015\n");
  EXPECT_EQ(c.ReceiveLine(),
            "FAIL\tInvalid protocol need 2016 Get latest client at http://www.zarnel.example/");
  EXPECT_EQ(c.ReceiveLine(), "1.0.0.23\t2016");
  c.Send("1.0\t0x7E0\n");
  EXPECT_EQ(c.ReceiveLine(), "OK");
  EXPECT_EQ(Log(),
            (std::vector<std::string>{
                "Film client connected 127.0.0.1", "Film Client Version: 1.0, Protocol: 2015",
                "Invalid protocol need 2016", "Film client disconnected",
                "Film client connected 127.0.0.1", "Film Client Version: 1.0, Protocol: 2016"}));
}

TEST_F(FilmServiceTest, BadBlocksAndSetUpsEndTheSessionWithAnError) {
  const auto run = [&](const std::string& game, auto&& action) {
    auto c = Login("", game);
    Transmit(*c, 0, {{0, 10, 0}});
    Block(*c, 0, "ok");
    action(*c);
    EXPECT_TRUE(c->ClosedByPeer()) << game;
    EXPECT_EQ(Data(game, 0, 0), "ok") << game;
  };
  const auto rawBlock = [](test::TRawClient& c, int index, int kind, int length) {
    c.Send("BLOCK\r\n");
    c.SendInt(index);
    c.SendInt(kind);
    c.SendInt(length);
  };
  run("MANY", [](test::TRawClient& c) { c.Send("TRANSMIT\t4\t1\r\n"); });
  run("INDEX", [&](test::TRawClient& c) { rawBlock(c, 1, 0, 1); });
  run("ENDED", [&](test::TRawClient& c) {
    End(c, 0);
    Block(c, 0, "more");
  });
  run("NEGATIVE", [&](test::TRawClient& c) { rawBlock(c, 0, 256, -1); });
  run("HUGE", [&](test::TRawClient& c) { rawBlock(c, 0, 0, 64 * 1024 * 1024 + 1); });
  run("STOP", [&](test::TRawClient& c) { rawBlock(c, -1, 0, 5); });
  Stop();

  std::vector<std::string> errors;
  for (const auto& line : Log())
    if (line.rfind("Film Exception:- ", 0) == 0) errors.push_back(line.substr(17));
  EXPECT_EQ(errors,
            (std::vector<std::string>{"Connection wanting to send to many streams.",
                                      "Connection tried to write to invalid stream index.",
                                      "Connection tried to write to invalid stream index.",
                                      "Invalid block length -1", "Invalid block length 67108865"}));
}

TEST_F(FilmServiceTest, OpenFilesAreClosedBySetUpGameSwitchAndEnd) {
  auto c = Login("", "FD");
  Transmit(*c, 0, {{0, 1, 0}, {0, 1, 0}, {1, 1, 0}});
  Transmit(*c, 1, {{0, 1, 0}, {0, 1, 0}});
  Sync(*c);
  EXPECT_EQ(OpenStreamFiles(), (std::vector<std::string>{"stream_0_1", "stream_1_1"}));
  c->Send("AUTH\tpw\t\tOTHER\r\n");
  EXPECT_EQ(c->ReceiveLine(), "OK");
  EXPECT_TRUE(OpenStreamFiles().empty());
  // The earlier set-up went with the earlier game.
  Block(*c, 0, "x");
  EXPECT_TRUE(c->ClosedByPeer());
  EXPECT_EQ(Data("FD", 0, 1), "");
}

TEST_F(FilmServiceTest, ResumeTakesOverALiveSessionOfTheSameGame) {
  auto old = Login("", "LIVE");
  Transmit(*old, 0, {{0, 9, 0}});
  Block(*old, 0, "abc");
  Sync(*old);
  old->Send(std::string("BLOCK\r\n") + std::string("\0\0\0\0\0\0\0\0\0\0\0\5de", 14));

  auto c = Login("RESUME", "live");
  EXPECT_TRUE(old->ClosedByPeer());
  EXPECT_EQ(Transmit(*c, 0, {{0, 9, 0}}), (std::vector<std::int32_t>{3}));
  c->Close();
  Stop();
  const auto log = Log();
  const auto dropped = std::find(log.begin(), log.end(), "Film client disconnected");
  const auto taken = std::find(dropped, log.end(), "Authenticated successfully");
  EXPECT_NE(taken, log.end());  // the old session had ended before the new one went on
}

TEST_F(FilmServiceTest, TakeOverGivesUpWhenTheOldSessionDoesNotEnd) {
  std::filesystem::create_directories(streams + "STUCK");
  auto old = Login("RESUME", "STUCK");
  // Opening a pipe for writing blocks until a reader comes, whatever happens to the socket.
  const std::string fifo = streams + "STUCK/stream_0_0";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  old->Send("TRANSMIT\t1\t0\r\n");
  for (std::int32_t v : {0, 9, 42}) old->SendInt(v);
  ASSERT_TRUE(test::WaitFor([&] { return Info("STUCK", "block", "0_0") == "42"; }));

  auto c = Connect();
  c->Send("AUTH\tpw\tresume\tstuck\r\n");
  EXPECT_EQ(c->ReceiveLine(), "FAIL\tGame is being filmed");
  EXPECT_TRUE(c->ClosedByPeer());
  EXPECT_TRUE(Logged("Game is being filmed"));

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  EXPECT_TRUE(old->ClosedByPeer());
  Stop();
  close(reader);
}

}  // namespace
