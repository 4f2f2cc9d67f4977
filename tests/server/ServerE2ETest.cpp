// The server binary end to end, on its fixed ports.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sstream>

#include "support/TestSupport.h"

namespace {

const std::string kStart = "Zarnel Server\nVersion: 1.0.0.23\n\nWaiting for Connections...\n";
const std::string kStop =
    "Shutting down...\nDisconnecting Clients...\nClosing down film server thread...\n"
    "Closing down view server thread...\nClosing down relay server thread...\n"
    "Closing down admin server thread...\nZarnel Server Shutdown complete.\n";

class ServerE2ETest : public ::testing::Test {
 protected:
  std::unique_ptr<test::TServerProcess> Start() {
    auto p = std::make_unique<test::TServerProcess>(ZARNEL_BINARY, dir.Path());
    EXPECT_TRUE(p->WaitForLine("Waiting for Connections...")) << p->Stderr();
    return p;
  }
  test::TTempDir dir;
};

TEST_F(ServerE2ETest, RunsRefusesFailedStartsAndStopsOnSigint) {
  const std::string ini = "; hand-written\n[settings]\r\nDebug = 0\n";
  test::WriteFile(dir / "zarnel.ini", ini);
  std::filesystem::create_directories(dir / "Streams/GAME");
  std::filesystem::create_directories(dir / "Streams/.hidden");
  test::WriteFile(dir / "Streams/stray.txt", "not a game");

  auto server = Start();
  EXPECT_EQ(server->Stdout(), kStart);
  EXPECT_EQ(test::LogMessages(dir / "zarnel.log"),
            (std::vector<std::string>{"Server Started", "Waiting for Connections..."}));
  EXPECT_EQ(test::ReadFile(dir / "Streams/GAME/info.ini"), "[stream]\nviewers=0\n\n");
  EXPECT_FALSE(test::FileExists(dir / "Streams/.hidden/info.ini"));
  EXPECT_EQ(test::ReadFile(dir / "Streams/stray.txt"), "not a game");
  // The soft descriptor limit is raised to the hard one.
  const std::string limits = test::ReadFile("/proc/" + std::to_string(server->Pid()) + "/limits");
  std::istringstream fields(limits.substr(limits.find("Max open files") + 14));
  std::string soft, hard;
  fields >> soft >> hard;
  EXPECT_EQ(soft, hard);

  // A second server finds the ports held; an unreadable zarnel.ini stops a start before that.
  std::filesystem::create_directories(dir / "second");
  std::filesystem::create_directories(dir / "third/zarnel.ini");
  const std::pair<std::string, std::string> failures[] = {
      {"second", "Could not bind socket. Address and port are already in use."},
      {"third", "Cannot open file " + dir / "third/zarnel.ini"}};
  for (const auto& [sub, error] : failures) {
    test::TServerProcess failed(ZARNEL_BINARY, dir / sub);
    const int status = failed.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_EQ(failed.Stderr(), "zarnel: " + error + "\n");
    EXPECT_EQ(failed.Stdout().find("Shutting down"), std::string::npos);
  }

  // Still serving after SIGPIPE: a client connects and is served by the connection layer.
  server->Signal(SIGPIPE);
  test::TRawClient{28400};
  server->Signal(SIGINT);
  const int status = server->Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(server->Stdout(), kStart + kStop);
  EXPECT_EQ(test::ReadFile(dir / "zarnel.ini"), ini);
}

TEST_F(ServerE2ETest, StartUpRemovesTheTemporaryInfoFilesOfAKilledRun) {
  std::filesystem::create_directories(dir / "Streams/GAME");
  test::WriteFile(dir / "Streams/GAME/.info.ini.4242.7.tmp", "[stream]\nviewers=");
  test::WriteFile(dir / "Streams/GAME/stream_0_0", "data");
  auto server = Start();
  EXPECT_EQ(test::ListDir(dir / "Streams/GAME"),
            (std::vector<std::string>{"info.ini", "stream_0_0"}));
  server->Signal(SIGTERM);
  EXPECT_NE(server->Wait(), -1);
}

TEST_F(ServerE2ETest, SigtermTwiceStopsOnce) {
  auto server = Start();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Streams"));
  server->Signal(SIGTERM);
  server->Signal(SIGTERM);
  const int status = server->Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(server->Stdout(), kStart + kStop);
}

TEST_F(ServerE2ETest, SegvKillsAtOnce) {
  auto server = Start();
  server->Signal(SIGSEGV);
  const int status = server->Wait();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ(server->Stdout(), kStart + "Caught segv...Killing Process...\n");
}

}  // namespace
