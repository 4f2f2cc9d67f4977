// zarnel-admin, zarnel-film and zarnel-view against the server binary, end to end.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>

#include "server/Settings.h"
#include "store/GameStore.h"
#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

// One run of a tool binary in Dir; standard output and error go to files there.
class TToolRun {
 public:
  TToolRun(const std::string& dir, const std::vector<std::string>& args,
           const std::vector<std::pair<std::string, std::string>>& env) {
    static int counter = 0;
    const std::string base = dir + "tool" + std::to_string(++counter);
    FOutPath = base + ".out";
    FErrPath = base + ".err";
    std::vector<std::string> argv = args;
    argv[0] = std::string(ZARNEL_BINARY_DIR) + "/" + args[0];
    FPid = fork();
    if (FPid == 0) {
      if (chdir(dir.c_str()) != 0 || !freopen(FOutPath.c_str(), "w", stdout) ||
          !freopen(FErrPath.c_str(), "w", stderr))
        _exit(126);
      for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
      std::vector<char*> raw;
      for (auto& arg : argv) raw.push_back(arg.data());
      raw.push_back(nullptr);
      execv(raw[0], raw.data());
      _exit(127);
    }
  }
  ~TToolRun() {
    if (FStatus >= 0) return;
    kill(FPid, SIGKILL);
    waitpid(FPid, nullptr, 0);
  }
  bool Running() {
    if (FStatus < 0 && waitpid(FPid, &FStatus, WNOHANG) == 0) FStatus = -1;
    return FStatus < 0;
  }
  // The exit status (128 + signal for a killed process); -1 when it did not end in time.
  int Wait(std::chrono::milliseconds timeout = 120s) {
    if (!test::WaitFor([&] { return !Running(); }, timeout)) return -1;
    return WIFEXITED(FStatus) ? WEXITSTATUS(FStatus) : 128 + WTERMSIG(FStatus);
  }
  void Signal(int sig) { kill(FPid, sig); }
  std::string Out() const { return test::ReadFile(FOutPath); }
  std::string Err() const { return test::ReadFile(FErrPath); }

 private:
  pid_t FPid = -1;
  int FStatus = -1;
  std::string FOutPath, FErrPath;
};

struct TResult {
  int Status;
  std::string Out, Err;
};

constexpr std::int32_t kHeader = 1032;

// A game folder as the server lays one out: per section a Demo stream (header record and
// data) and an audio stream.
void WriteSourceGame(const std::string& dir, int sections) {
  std::filesystem::create_directories(dir);
  std::mt19937 random(7);
  TIniFile info(dir + "info.ini");
  info.WriteInteger("types", "0", 0);
  info.WriteInteger("types", "1", 1);
  for (int s = 0; s < sections; ++s) {
    std::string demo(kHeader, '\0');
    const std::int32_t lead = 700 + s;
    std::memcpy(demo.data(), &lead, 4);
    const std::string summary = "12:0" + std::to_string(s) + ",Map" + std::to_string(s);
    demo.replace(4, summary.size(), summary);
    demo[1028] = 1;
    for (int i = 0; i < 30000; ++i) demo += static_cast<char>(random());
    std::string audio;
    for (int i = 0; i < 12000 + s; ++i) audio += static_cast<char>(random());
    test::WriteFile(dir + StreamFileName(0, s), demo);
    test::WriteFile(dir + StreamFileName(1, s), audio);
    const std::string key = "_" + std::to_string(s);
    info.WriteInteger("size", "0" + key, static_cast<std::int32_t>(demo.size()));
    info.WriteInteger("size", "1" + key, static_cast<std::int32_t>(audio.size()));
    info.WriteInteger("block", "0" + key, kHeader);
    info.WriteInteger("block", "1" + key, 0);
  }
  info.SaveFile();
}

class ToolsE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::WriteFile(dir / "zarnel.ini",
                    "[settings]\nAdminPassword=admin-pw\nfilmpass=film-pw\nViewerAuth=1\n"
                    "BandwidthBuffer=10000000\nBandwidthNormal=10000000\n");
    test::WriteFile(dir / "users.txt", "alice,alice-pw\nbob,bob-pw\n");
    test::WriteFile(dir / "bob.pw", "bob-pw\n");
    server = std::make_unique<test::TServerProcess>(ZARNEL_BINARY, dir.Path());
    ASSERT_TRUE(server->WaitForLine("Waiting for Connections...")) << server->Stderr();
  }

  std::unique_ptr<TToolRun> Start(const std::vector<std::string>& args) {
    return std::make_unique<TToolRun>(dir.Path(), args, env);
  }
  TResult Run(const std::vector<std::string>& args) {
    auto run = Start(args);
    const int status = run->Wait();
    return {status, run->Out(), run->Err()};
  }
  std::string Stored(const std::string& game, int stream, int section) {
    return test::ReadFile(dir / "Streams/" + game + "/" + StreamFileName(stream, section));
  }
  // Every stream file the server holds of Game against what a watch from From wrote to Out:
  // a Demo stream of a section after From comes without its header.
  void ExpectWatched(const std::string& out, const std::string& game, int from, int sections) {
    for (int s = from; s < sections; ++s) {
      SCOPED_TRACE("section " + std::to_string(s));
      const std::string demo = Stored(game, 0, s);
      ASSERT_GT(demo.size(), static_cast<std::size_t>(kHeader));
      EXPECT_TRUE(test::ReadFile(dir / out + "/stream_0_" + std::to_string(s)) ==
                  (s == from ? demo : demo.substr(kHeader)));
      EXPECT_TRUE(test::ReadFile(dir / out + "/stream_1_" + std::to_string(s)) ==
                  Stored(game, 1, s));
    }
  }
  // Makes Out's record say the download stopped in Section.
  void RewindRecord(const std::string& out, int section) {
    TIniFile record(dir / out + "/watch.ini");
    record.WriteInteger("watch", "section", section);
    record.WriteBool("watch", "complete", false);
    record.SaveFile();
  }

  test::TTempDir dir;
  std::unique_ptr<test::TServerProcess> server;
  std::vector<std::pair<std::string, std::string>> env = {{"ZARNEL_ADMIN_PASSWORD", "admin-pw"},
                                                          {"ZARNEL_FILM_PASSWORD", "film-pw"},
                                                          {"ZARNEL_VIEW_USER", "alice"},
                                                          {"ZARNEL_VIEW_PASSWORD", "alice-pw"}};
};

TEST_F(ToolsE2ETest, AdminListsHidesAndShowsAndReportsErrors) {
  std::filesystem::create_directories(dir / "Streams/ALPHA");
  std::filesystem::create_directories(dir / "Streams/BETA");
  test::WriteFile(dir / "Streams/ALPHA/info.ini", "[stream]\navailable=1\n");
  test::WriteFile(dir / "Streams/BETA/info.ini", "[stream]\nviewers=3\n");
  test::WriteFile(dir / "Streams/PLAIN", "not a game");

  auto list = Run({"zarnel-admin", "list"});
  EXPECT_EQ(list.Status, 0) << list.Err;
  EXPECT_EQ(list.Out,
            "GAME   VIEWERS  AVAILABLE\n"
            "ALPHA        0  yes\n"
            "BETA         3  no\n"
            "PLAIN        0  no\n");

  auto hide = Run({"zarnel-admin", "hide", "alpha"});
  EXPECT_EQ(hide.Status, 0) << hide.Err;
  EXPECT_EQ(hide.Out, "GAME   VIEWERS  AVAILABLE\nALPHA        0  no\n");
  EXPECT_FALSE(TIniFile(dir / "Streams/ALPHA/info.ini").ReadBool("stream", "available", true));

  test::WriteFile(dir / "admin.pw", "admin-pw\n");
  env[0].second = "wrong";  // the file wins over the environment
  auto show = Run({"zarnel-admin", "--password-file", "admin.pw", "show", "BETA"});
  EXPECT_EQ(show.Status, 0) << show.Err;
  EXPECT_EQ(show.Out, "GAME  VIEWERS  AVAILABLE\nBETA        3  yes\n");

  auto refused = Run({"zarnel-admin", "list"});
  EXPECT_EQ(refused.Status, 1);
  EXPECT_EQ(refused.Err, "zarnel-admin: the server refused: Incorrect Password\n");
  EXPECT_EQ(refused.Out, "");

  env[0].second = "admin-pw";
  auto unknown = Run({"zarnel-admin", "hide", "GAMMA"});
  EXPECT_EQ(unknown.Status, 1);
  EXPECT_EQ(unknown.Err, "zarnel-admin: no game named GAMMA\n");
  // A plain file is listed but takes no info file: the server fails the change silently.
  auto unchangeable = Run({"zarnel-admin", "show", "PLAIN"});
  EXPECT_EQ(unchangeable.Status, 1);
  EXPECT_EQ(test::SplitLines(unchangeable.Err).size(), 1u) << unchangeable.Err;
  auto noServer = Run({"zarnel-admin", "--port", "1", "list"});
  EXPECT_EQ(noServer.Status, 1);
  EXPECT_EQ(noServer.Err, "zarnel-admin: cannot connect to 127.0.0.1:1: Connection refused\n");
}

TEST_F(ToolsE2ETest, UploadedGameIsWatchedAndResumedByteForByte) {
  WriteSourceGame(dir / "src/Final1/", 2);
  auto film = Run({"zarnel-film", "src/Final1"});
  ASSERT_EQ(film.Status, 0) << film.Err;
  for (int s = 0; s < 2; ++s)
    for (int n = 0; n < 2; ++n)
      EXPECT_TRUE(Stored("FINAL1", n, s) ==
                  test::ReadFile(dir / "src/Final1/" + StreamFileName(n, s)));
  const TIniFile info(dir / "Streams/FINAL1/info.ini");
  EXPECT_TRUE(info.ReadBool("complete", "all", false));
  EXPECT_EQ(info.ReadInteger("block", "0_1", 0), kHeader);
  EXPECT_EQ(info.ReadInteger("types", "1", 0), 1);

  // A broken upload that got part of section 0 across is continued, not started over.
  std::filesystem::create_directories(dir / "Streams/PART");
  test::WriteFile(dir / "Streams/PART/stream_0_0", Stored("FINAL1", 0, 0).substr(0, 5000));
  auto resumedFilm = Run({"zarnel-film", "--resume", "src/Final1", "part"});
  ASSERT_EQ(resumedFilm.Status, 0) << resumedFilm.Err;
  EXPECT_NE(resumedFilm.Err.find("section 0: 2 streams, 38032 bytes sent"), std::string::npos)
      << resumedFilm.Err;
  for (int s = 0; s < 2; ++s)
    for (int n = 0; n < 2; ++n) EXPECT_TRUE(Stored("PART", n, s) == Stored("FINAL1", n, s));

  auto again = Run({"zarnel-film", "src/Final1", "final1"});
  EXPECT_EQ(again.Status, 1);
  EXPECT_EQ(again.Err, "zarnel-film: the server refused: Game with same name already exists\n");

  auto sections = Run({"zarnel-view", "sections", "final1"});
  EXPECT_EQ(sections.Status, 0) << sections.Err;
  EXPECT_EQ(sections.Out, "\"0\",12:00,Map0\n\"1\",12:01,Map1\n");
  env[3].second = "wrong";
  auto badLogin = Run({"zarnel-view", "list"});
  EXPECT_EQ(badLogin.Status, 1);
  EXPECT_EQ(badLogin.Err, "zarnel-view: login refused: Incorrect username or password\n");
  env[3].second = "alice-pw";

  auto watch = Run({"zarnel-view", "watch", "final1", "--from", "0", "--out", "out"});
  ASSERT_EQ(watch.Status, 0) << watch.Err;
  ExpectWatched("out", "FINAL1", 0, 2);
  // Standard error is no terminal here: one line per section.
  EXPECT_NE(watch.Err.find("section 0: 2 streams, 43032 bytes received"), std::string::npos)
      << watch.Err;
  EXPECT_NE(watch.Err.find("section 1: 2 streams, 42001 bytes received"), std::string::npos);

  // As if the download had stopped half-way through section 1.
  const std::string partial = dir / "out/stream_0_1";
  test::WriteFile(partial, test::ReadFile(partial).substr(0, 10000));
  std::filesystem::remove(dir / "out/stream_1_1");
  RewindRecord("out", 1);
  auto resumed = Run({"zarnel-view", "watch", "FINAL1", "--out", "out", "--resume"});
  ASSERT_EQ(resumed.Status, 0) << resumed.Err;
  ExpectWatched("out", "FINAL1", 0, 2);
  EXPECT_NE(resumed.Err.find("section 1: 2 streams, 32001 bytes received"), std::string::npos)
      << resumed.Err;

  // A folder holding more than the server has is refused, not silently mixed.
  test::WriteFile(partial, test::ReadFile(partial) + "extra");
  RewindRecord("out", 1);
  auto beyond = Run({"zarnel-view", "watch", "FINAL1", "--out", "out", "--resume"});
  EXPECT_EQ(beyond.Status, 1);
  EXPECT_NE(beyond.Err.find("holds more of it than the server has"), std::string::npos)
      << beyond.Err;
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
  EXPECT_TRUE(film->Running());

  ASSERT_TRUE(test::WaitFor(
      [&] { return TIniFile(dir / "full/watch.ini").ReadInteger("watch", "section", 0) >= 1; },
      30s));
  full->Signal(SIGINT);
  EXPECT_EQ(full->Wait(), 128 + SIGINT);
  EXPECT_NE(full->Err().find("continue with --resume"), std::string::npos) << full->Err();

  EXPECT_EQ(film->Wait(), 0) << film->Err();
  EXPECT_EQ(audio->Wait(), 0) << audio->Err();
  for (int s = 0; s < 3; ++s) {
    EXPECT_TRUE(test::ReadFile(dir / "audio/stream_0_" + std::to_string(s)) ==
                Stored("LIVE", 1, s));
    EXPECT_FALSE(test::FileExists(dir / "audio/stream_1_" + std::to_string(s)));
  }

  auto resumed = Run({"zarnel-view", "watch", "LIVE", "--out", "full", "--resume"});
  ASSERT_EQ(resumed.Status, 0) << resumed.Err;
  EXPECT_EQ(resumed.Err.find("section 0:"), std::string::npos) << resumed.Err;
  ExpectWatched("full", "LIVE", 0, 3);
  // The server notices a viewer has gone at its next send.
  EXPECT_TRUE(test::WaitFor([&] {
    return TIniFile(dir / "Streams/LIVE/info.ini").ReadInteger("stream", "viewers", -1) == 0;
  }));
}

TEST(PackagingTest, ExampleSettingsHoldTheDefaults) {
  const TSettings example =
      LoadSettings(std::string(ZARNEL_SOURCE_DIR) + "/packaging/zarnel.ini.example");
  const TSettings defaults;
  EXPECT_EQ(example.FilmMaxConnections, defaults.FilmMaxConnections);
  EXPECT_EQ(example.ViewMaxConnections, defaults.ViewMaxConnections);
  EXPECT_EQ(example.BandwidthBuffer, defaults.BandwidthBuffer);
  EXPECT_EQ(example.BandwidthNormal, defaults.BandwidthNormal);
  // Booleans and strings default to off and empty, so an example value would show here.
  EXPECT_FALSE(example.ViewerAuth || example.Debug || example.RelayEnabled || example.AllowRelays);
  EXPECT_EQ(
      example.RelayServer + example.RelayPassword + example.FilmPassword + example.AdminPassword,
      "");
}

class ToolsArgumentsTest : public ::testing::Test {
 protected:
  TResult Run(const std::vector<std::string>& args) {
    TToolRun run(dir.Path(), args, {});
    const int status = run.Wait(30s);
    return {status, run.Out(), run.Err()};
  }
  test::TTempDir dir;
};

TEST_F(ToolsArgumentsTest, ErrorsGiveUsageAndStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"zarnel-admin"},
      {"zarnel-admin", "hide"},
      {"zarnel-admin", "list", "--bogus"},
      {"zarnel-admin", "--password", "secret", "list"},
      {"zarnel-view", "watch", "GAME"},
      {"zarnel-view", "watch", "GAME", "--out", "o", "--from", "-1"},
      {"zarnel-view", "list", "--resume"},
      {"zarnel-view", "--port", "70000", "list"},
      {"zarnel-film"},
      {"zarnel-film", "dir", "game", "more"},
      {"zarnel-film", "--pace", "soon", "dir"},
      {"zarnel-film", "dir", "a/b"}};
  for (const auto& args : bad) {
    auto result = Run(args);
    EXPECT_EQ(result.Status, 2) << args.back();
    EXPECT_NE(result.Err.find("Usage: " + args[0]), std::string::npos) << args.back();
  }
  for (const char* tool : {"zarnel-admin", "zarnel-view", "zarnel-film"}) {
    auto help = Run({tool, "--help"});
    EXPECT_EQ(help.Status, 0);
    EXPECT_EQ(help.Out.rfind(std::string("Usage: ") + tool, 0), 0u) << help.Out;
  }
}

TEST_F(ToolsArgumentsTest, ToolsGiveUpOnAPeerThatNeverAnswers) {
  // Accepted by the kernel's backlog, never served.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string port = std::to_string(ntohs(addr.sin_port));
  WriteSourceGame(dir / "G/", 1);
  for (const std::vector<std::string>& args : {std::vector<std::string>{"zarnel-admin", "list"},
                                               {"zarnel-view", "list"},
                                               {"zarnel-film", "G"}}) {
    std::vector<std::string> withPort = {args[0], "--port", port, "--timeout", "1"};
    withPort.insert(withPort.end(), args.begin() + 1, args.end());
    auto result = Run(withPort);
    EXPECT_EQ(result.Status, 1) << args[0];
    EXPECT_EQ(result.Err, args[0] + ": no answer from 127.0.0.1:" + port + " within 1 s\n");
  }
  close(listener);
}

}  // namespace
