// zarnel-admin, zarnel-film and zarnel-view against the server binary, end to end.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include "store/GameStore.h"
#include "store/IniFile.h"
#include "store/SettingsFile.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using TArgs = std::vector<std::string>;
constexpr std::int32_t kHeader = 1032;

struct TResult {
  int Status;  // 128 + signal for a killed tool
  std::string Out, Err;
};

// Waits for a tool's end and expects Status.
TResult Finish(test::TServerProcess& tool, int status = 0) {
  const int s = tool.Wait(120s);
  TResult r{WIFEXITED(s) ? WEXITSTATUS(s) : 128 + WTERMSIG(s), tool.Stdout(), tool.Stderr()};
  EXPECT_EQ(r.Status, status) << r.Err;
  return r;
}

// A game folder as the server keeps one: per section a Demo stream (header record and data)
// and an audio stream; the tool takes the sizes from the files.
void WriteSourceGame(const std::string& dir, int sections) {
  std::filesystem::create_directories(dir);
  std::mt19937 random(7);
  TIniFile info(dir + "info.ini");
  info.WriteInteger("types", "1", 1);
  for (int s = 0; s < sections; ++s) {
    std::string demo(kHeader + 30000, '\0'), audio(12000 + s, '\0');
    const std::int32_t lead = 700 + s;
    std::memcpy(demo.data(), &lead, 4);
    const std::string summary = "12:0" + std::to_string(s) + ",Map" + std::to_string(s);
    demo.replace(4, summary.size(), summary);
    demo[1028] = 1;
    std::generate(demo.begin() + kHeader, demo.end(), std::ref(random));
    std::generate(audio.begin(), audio.end(), std::ref(random));
    test::WriteFile(dir + StreamFileName(0, s), demo);
    test::WriteFile(dir + StreamFileName(1, s), audio);
    info.WriteInteger("block", "0_" + std::to_string(s), kHeader);
  }
  info.SaveFile();
}

// Tools run in a temporary folder with the environment in Env.
class ToolsArgumentsTest : public ::testing::Test {
 protected:
  // The shared child-process helper runs a program without arguments: a script passes them.
  std::unique_ptr<test::TServerProcess> Start(const TArgs& args) {
    static int runs = 0;
    std::string script = "#!/bin/sh\n";
    for (const auto& [name, value] : env) script += "export " + name + "='" + value + "'\n";
    script += std::string("exec '") + ZARNEL_BINARY_DIR + "/" + args[0] + "'";
    for (std::size_t i = 1; i < args.size(); ++i) script += " '" + args[i] + "'";
    const std::string path = dir / ("tool" + std::to_string(++runs) + ".sh");
    test::WriteFile(path, script + "\n");
    chmod(path.c_str(), 0700);
    return std::make_unique<test::TServerProcess>(path, dir.Path());
  }
  TResult Run(const TArgs& args, int status = 0) {
    SCOPED_TRACE(args[0] + " ... " + args.back());
    return Finish(*Start(args), status);
  }
  // A socket listening on a free loopback port, which Port names; -1 on failure. The kernel's
  // backlog accepts connections nobody serves.
  static int Listen(std::string& port) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(listener, 8) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return -1;
    port = std::to_string(ntohs(addr.sin_port));
    return listener;
  }

  test::TTempDir dir;
  std::vector<std::pair<std::string, std::string>> env;
};

TEST_F(ToolsArgumentsTest, ErrorsGiveUsageAndStatusTwo) {
  for (const std::string line :
       {"zarnel-admin", "zarnel-admin hide", "zarnel-admin list --bogus",
        "zarnel-admin --password secret list", "zarnel-view watch GAME",
        "zarnel-view watch GAME --out o --from -1", "zarnel-view list --resume",
        "zarnel-view --port 70000 list", "zarnel-film", "zarnel-film dir game more",
        "zarnel-film --pace soon dir", "zarnel-film dir a/b"}) {
    std::istringstream words(line);
    const TArgs args{std::istream_iterator<std::string>(words), {}};
    EXPECT_THAT(Run(args, 2).Err, HasSubstr("Usage: " + args[0]));
  }
  for (const std::string tool : {"zarnel-admin", "zarnel-view", "zarnel-film"})
    EXPECT_TRUE(Run({tool, "--help"}).Out.starts_with("Usage: " + tool));
}

TEST_F(ToolsArgumentsTest, ToolsGiveUpOnAPeerThatNeverAnswers) {
  // Accepted by the kernel's backlog, never served.
  std::string port;
  const int listener = Listen(port);
  ASSERT_GE(listener, 0);
  WriteSourceGame(dir / "G/", 1);
  for (const auto& [tool, command] :
       {std::pair{"zarnel-admin", "list"}, {"zarnel-view", "list"}, {"zarnel-film", "G"}})
    EXPECT_EQ(Run({tool, "--port", port, "--timeout", "1", command}, 1).Err,
              tool + (": no answer from 127.0.0.1:" + port + " within 1 s\n"));
  close(listener);
}

// A stand-in admin server that takes the password, lists one game and answers DELETEGAME
// with Answer, or, like a server of an earlier version, with nothing when Answer is empty.
TEST_F(ToolsArgumentsTest, AdminDeleteTakesTheAnswerOrGivesUpWithinItsBound) {
  EXPECT_THAT(Run({"zarnel-admin", "delete"}, 2).Err, HasSubstr("delete needs exactly one GAME"));
  std::string port;
  const int listener = Listen(port);
  ASSERT_GE(listener, 0);
  env = {{"ZARNEL_ADMIN_PASSWORD", "pw"}};
  const auto run = [&](const std::string& answer, int status) {
    std::string seen;  // the lines the server got, each ended by "|"
    std::thread server([&] {
      pollfd waiting{listener, POLLIN, 0};
      if (poll(&waiting, 1, 60000) != 1) return;
      test::TRawClient tool(test::TRawClient::TAdopt{accept(listener, nullptr, nullptr)});
      try {
        seen += tool.ReceiveLine() + "|";
        tool.Send("OK\r\n");
        seen += tool.ReceiveLine() + "|";
        tool.SendInt(1);
        tool.Send("OLD\t0\t1\r\n");
        seen += tool.ReceiveLine() + "|";
        if (!answer.empty()) tool.Send(answer + "\r\n");
        tool.ClosedByPeer(60s);
      } catch (const std::exception& e) {
        seen += e.what();
      }
    });
    const TResult r = Run({"zarnel-admin", "--port", port, "delete", "old"}, status);
    server.join();
    EXPECT_EQ(seen, "pw|LISTGAMES|DELETEGAME\tOLD|") << answer;
    return r.Out + r.Err;
  };
  EXPECT_EQ(run("OK", 0), "Deleted OLD\n");
  EXPECT_EQ(run("FAIL\tGame in use: viewers", 1),
            "zarnel-admin: the server did not delete OLD: Game in use: viewers\n");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run("", 1),
            "zarnel-admin: the server did not answer DELETEGAME (it may not support deleting "
            "games)\n");
  // The default --timeout of 30 s is cut to 10 s for this one answer.
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, 9s);
  EXPECT_LT(took, 25s);
  close(listener);
}

TEST(PackagingTest, ExampleSettingsHoldTheDefaults) {
  const TSettings e = LoadSettings(ZARNEL_SOURCE_DIR "/packaging/zarnel.ini.example"), d;
  EXPECT_EQ(
      std::tie(e.FilmMaxConnections, e.ViewMaxConnections, e.BandwidthBuffer, e.BandwidthNormal),
      std::tie(d.FilmMaxConnections, d.ViewMaxConnections, d.BandwidthBuffer, d.BandwidthNormal));
  // Booleans and strings default to off and empty, so an example value would show here.
  EXPECT_FALSE(e.ViewerAuth || e.Debug || e.RelayEnabled || e.AllowRelays);
  EXPECT_EQ(e.RelayServer + e.RelayPassword + e.FilmPassword + e.AdminPassword, "");
  EXPECT_EQ(std::tie(e.StatusPort, e.StatusAddress), std::tie(d.StatusPort, d.StatusAddress));
}

TEST(PackagingTest, ExampleSettingsHoldTheGuardDefaults) {
  const TSettings e = LoadSettings(ZARNEL_SOURCE_DIR "/packaging/zarnel.ini.example"), d;
  EXPECT_EQ(std::tie(e.LoginTimeout, e.IdleTimeout, e.AdminMaxConnections, e.RelayMaxConnections,
                     e.MaxLoginsPerAddress),
            std::tie(d.LoginTimeout, d.IdleTimeout, d.AdminMaxConnections, d.RelayMaxConnections,
                     d.MaxLoginsPerAddress));
}

TEST(PackagingTest, ExampleSettingsHoldTheRetentionDefaults) {
  const TSettings e = LoadSettings(ZARNEL_SOURCE_DIR "/packaging/zarnel.ini.example"), d;
  EXPECT_EQ(std::tie(e.KeepDays, e.StoreLimitMB, e.MinFreeMB),
            std::tie(d.KeepDays, d.StoreLimitMB, d.MinFreeMB));
}

class ToolsE2ETest : public ToolsArgumentsTest {
 protected:
  void SetUp() override {
    test::WriteFile(dir / "zarnel.ini",
                    "[settings]\nAdminPassword=admin-pw\nfilmpass=film-pw\nViewerAuth=1\n"
                    "BandwidthBuffer=10000000\nBandwidthNormal=10000000\n");
    test::WriteFile(dir / "users.txt", "alice,alice-pw\nbob,bob-pw\n");
    test::WriteFile(dir / "bob.pw", "bob-pw\n");
    env = {{"ZARNEL_ADMIN_PASSWORD", "admin-pw"},
           {"ZARNEL_FILM_PASSWORD", "film-pw"},
           {"ZARNEL_VIEW_USER", "alice"},
           {"ZARNEL_VIEW_PASSWORD", "alice-pw"}};
    server = std::make_unique<test::TServerProcess>(ZARNEL_BINARY, dir.Path());
    ASSERT_TRUE(server->WaitForLine("Waiting for Connections...")) << server->Stderr();
  }
  std::string Stored(const std::string& game, int stream, int section) {
    return test::ReadFile(dir / "Streams/" + game + "/" + StreamFileName(stream, section));
  }
  // The server's files of Game against what a watch from section 0 wrote to Out: a later
  // section's Demo stream comes without its header.
  void ExpectWatched(const std::string& out, const std::string& game, int sections) {
    for (int s = 0; s < sections; ++s) {
      const std::string demo = Stored(game, 0, s), name = dir / out + "/stream_";
      EXPECT_TRUE(test::ReadFile(name + "0_" + std::to_string(s)) ==
                  (s == 0 ? demo : demo.substr(kHeader)))
          << s;
      EXPECT_TRUE(test::ReadFile(name + "1_" + std::to_string(s)) == Stored(game, 1, s)) << s;
    }
  }
  // Makes Out's record say the download stopped in Section.
  void RewindRecord(const std::string& out, int section) {
    TIniFile record(dir / out + "/watch.ini");
    record.WriteInteger("watch", "section", section);
    record.WriteBool("watch", "complete", false);
    record.SaveFile();
  }

  std::unique_ptr<test::TServerProcess> server;
};

TEST_F(ToolsE2ETest, AdminListsHidesAndShowsAndReportsErrors) {
  for (const std::string game : {"ALPHA", "BETA"})
    std::filesystem::create_directories(dir / "Streams/" + game);
  test::WriteFile(dir / "Streams/ALPHA/info.ini", "[stream]\navailable=1\n");
  test::WriteFile(dir / "Streams/BETA/info.ini", "[stream]\nviewers=3\n");
  test::WriteFile(dir / "Streams/PLAIN", "not a game");
  EXPECT_EQ(Run({"zarnel-admin", "list"}).Out,
            "GAME   VIEWERS  AVAILABLE\nALPHA        0  yes\nBETA         3  no\n"
            "PLAIN        0  no\n");
  EXPECT_EQ(Run({"zarnel-admin", "hide", "alpha"}).Out,
            "GAME   VIEWERS  AVAILABLE\nALPHA        0  no\n");
  EXPECT_FALSE(TIniFile(dir / "Streams/ALPHA/info.ini").ReadBool("stream", "available", true));
  test::WriteFile(dir / "admin.pw", "admin-pw\n");
  env[0].second = "wrong";  // the file wins over the environment
  EXPECT_EQ(Run({"zarnel-admin", "--password-file", "admin.pw", "show", "BETA"}).Out,
            "GAME  VIEWERS  AVAILABLE\nBETA        3  yes\n");
  const TResult refused = Run({"zarnel-admin", "list"}, 1);
  EXPECT_EQ(refused.Out + refused.Err, "zarnel-admin: the server refused: Incorrect Password\n");
  env[0].second = "admin-pw";
  EXPECT_EQ(Run({"zarnel-admin", "hide", "GAMMA"}, 1).Err, "zarnel-admin: no game named GAMMA\n");
  // A plain file is listed but takes no info file: the server fails the change silently.
  EXPECT_EQ(test::SplitLines(Run({"zarnel-admin", "show", "PLAIN"}, 1).Err).size(), 1u);
  EXPECT_EQ(Run({"zarnel-admin", "--port", "1", "list"}, 1).Err,
            "zarnel-admin: cannot connect to 127.0.0.1:1: Connection refused\n");
}

TEST_F(ToolsE2ETest, AdminDeleteReportsTheServersRefusal) {
  test::WriteFile(dir / "Streams/PLAIN", "not a game");
  // Listed by the server, so the name resolves, but no game the store could delete.
  EXPECT_EQ(Run({"zarnel-admin", "delete", "plain"}, 1).Err,
            "zarnel-admin: the server did not delete PLAIN: Unknown game\n");
  // A name the list lacks (a damaged game is left out of it) goes to the server as it is.
  EXPECT_EQ(Run({"zarnel-admin", "delete", "GAMMA"}, 1).Err,
            "zarnel-admin: the server did not delete GAMMA: Unknown game\n");
  EXPECT_TRUE(test::FileExists(dir / "Streams/PLAIN"));
}

TEST_F(ToolsE2ETest, UploadedGameIsWatchedAndResumedByteForByte) {
  WriteSourceGame(dir / "src/Final1/", 2);
  Run({"zarnel-film", "src/Final1"});
  // A broken upload that got part of section 0 across is continued, not started over.
  std::filesystem::create_directories(dir / "Streams/PART");
  test::WriteFile(dir / "Streams/PART/stream_0_0", Stored("FINAL1", 0, 0).substr(0, 5000));
  EXPECT_THAT(Run({"zarnel-film", "--resume", "src/Final1", "part"}).Err,
              HasSubstr("section 0: 2 streams, 38032 bytes sent"));
  for (int s = 0; s < 2; ++s)
    for (int n = 0; n < 2; ++n) {
      const std::string source = test::ReadFile(dir / "src/Final1/" + StreamFileName(n, s));
      EXPECT_TRUE(Stored("FINAL1", n, s) == source && Stored("PART", n, s) == source) << n << s;
    }
  EXPECT_EQ(Run({"zarnel-view", "sections", "final1"}).Out, "\"0\",12:00,Map0\n\"1\",12:01,Map1\n");
  env[3].second = "wrong";
  EXPECT_EQ(Run({"zarnel-view", "list"}, 1).Err,
            "zarnel-view: login refused: Incorrect username or password\n");
  env[3].second = "alice-pw";
  Run({"zarnel-view", "watch", "final1", "--from", "0", "--out", "out"});
  ExpectWatched("out", "FINAL1", 2);

  // As if the download had stopped half-way through section 1: only the rest comes.
  const std::string partial = dir / "out/stream_0_1";
  test::WriteFile(partial, test::ReadFile(partial).substr(0, 10000));
  std::filesystem::remove(dir / "out/stream_1_1");
  RewindRecord("out", 1);
  EXPECT_THAT(Run({"zarnel-view", "watch", "FINAL1", "--out", "out", "--resume"}).Err,
              HasSubstr("section 1: 2 streams, 32001 bytes received"));
  ExpectWatched("out", "FINAL1", 2);
  // A folder holding more than the server has is refused, not silently mixed.
  test::WriteFile(partial, test::ReadFile(partial) + "extra");
  RewindRecord("out", 1);
  EXPECT_THAT(Run({"zarnel-view", "watch", "FINAL1", "--out", "out", "--resume"}, 1).Err,
              HasSubstr("holds more of it than the server has"));
}

TEST_F(ToolsE2ETest, PacedUploadIsFollowedLiveAndAnInterruptedWatchResumes) {
  WriteSourceGame(dir / "src/LIVE/", 3);
  auto film = Start({"zarnel-film", "--pace", "2", "src/LIVE"});
  ASSERT_TRUE(test::WaitFor([&] { return test::FileExists(dir / "Streams/LIVE/stream_0_0"); }));
  auto full = Start({"zarnel-view", "watch", "LIVE", "--out", "full"});
  auto audio = Start({"zarnel-view", "--user", "bob", "--password-file", "bob.pw", "watch", "LIVE",
                      "--audio-only", "--out", "audio"});
  // The viewers get section 0 while the filmer is still at work: the game is live.
  ASSERT_TRUE(test::WaitFor([&] { return test::FileExists(dir / "audio/stream_0_0"); }));
  EXPECT_EQ(film->Wait(0ms), -1);  // still running
  ASSERT_TRUE(test::WaitFor(
      [&] { return TIniFile(dir / "full/watch.ini").ReadInteger("watch", "section", 0) >= 1; },
      30s));
  full->Signal(SIGINT);
  EXPECT_THAT(Finish(*full, 128 + SIGINT).Err, HasSubstr("continue with --resume"));
  Finish(*film);
  Finish(*audio);
  for (int s = 0; s < 3; ++s) {
    EXPECT_TRUE(test::ReadFile(dir / "audio/stream_0_" + std::to_string(s)) ==
                Stored("LIVE", 1, s));
    EXPECT_FALSE(test::FileExists(dir / "audio/stream_1_" + std::to_string(s)));
  }
  EXPECT_THAT(Run({"zarnel-view", "watch", "LIVE", "--out", "full", "--resume"}).Err,
              Not(HasSubstr("section 0:")));
  ExpectWatched("full", "LIVE", 3);
  // The server notices a viewer has gone at its next send.
  EXPECT_TRUE(test::WaitFor([&] {
    return TIniFile(dir / "Streams/LIVE/info.ini").ReadInteger("stream", "viewers", -1) == 0;
  }));
}

}  // namespace

namespace {

TEST_F(ToolsE2ETest, AKillBetweenABlockAndItsFlagIsRepairedByTheResume) {
  WriteSourceGame(dir / "src/KILL/", 2);
  // What a kill -9 leaves when section 0's Demo stream went in one block: the block is stored,
  // its header flag is not, and the audio stream has not begun.
  server->Signal(SIGKILL);
  server->Wait();
  const std::string game = dir / "Streams/KILL/";
  std::filesystem::create_directories(game);
  test::WriteFile(game + "info.ini",
                  "[stream]\navailable=1\n[types]\n0=0\n1=1\n[size]\n0_0=31032\n1_0=12000\n"
                  "[block]\n0_0=1032\n1_0=0\n[active]\nstreams=2\nsections=1\n");
  test::WriteFile(game + "stream_0_0", test::ReadFile(dir / "src/KILL/stream_0_0"));
  test::WriteFile(game + "stream_1_0", "");
  server = std::make_unique<test::TServerProcess>(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server->WaitForLine("Waiting for Connections...")) << server->Stderr();

  EXPECT_THAT(Run({"zarnel-film", "--resume", "src/KILL", "kill"}).Err,
              HasSubstr("section 0: 2 streams, 12000 bytes sent"));
  auto watch = Start({"zarnel-view", "watch", "kill", "--from", "0", "--out", "out"});
  const int status = watch->Wait(60s);
  if (status == -1) watch->Signal(SIGKILL);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << watch->Stderr();
  ExpectWatched("out", "KILL", 2);
}

}  // namespace
