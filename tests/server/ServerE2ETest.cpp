// The server binary end to end, on its fixed ports.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>

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

TEST_F(ServerE2ETest, StartsAndStopsOnSigintLeavingSettingsUntouched) {
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
  std::ifstream limits("/proc/" + std::to_string(server->Pid()) + "/limits");
  std::string line;
  while (std::getline(limits, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    std::istringstream fields(line.substr(14));
    std::string soft, hard;
    fields >> soft >> hard;
    EXPECT_EQ(soft, hard);
  }

  server->Signal(SIGINT);
  const int status = server->Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(server->Stdout(), kStart + kStop);
  EXPECT_EQ(test::ReadFile(dir / "zarnel.ini"), ini);
  EXPECT_TRUE(test::PortClosed(28200));
}

TEST_F(ServerE2ETest, SigtermTwiceAndSigpipe) {
  auto server = Start();
  EXPECT_TRUE(std::filesystem::is_directory(dir / "Streams"));
  server->Signal(SIGPIPE);
  // Still serving after SIGPIPE: a client connects and is served by the connection layer.
  test::TRawClient probe(28400);
  probe.Close();
  server->Signal(SIGTERM);
  server->Signal(SIGTERM);
  const int status = server->Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(server->Stdout(), kStart + kStop);
}

TEST_F(ServerE2ETest, PortInUseEndsStartWithStatusOne) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(28100);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(fd, 1), 0);

  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  const int status = server.Wait();
  close(fd);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(server.Stderr(),
            "zarnel: Could not bind socket. Address and port are already in use.\n");
  EXPECT_EQ(server.Stdout().find("Shutting down"), std::string::npos);
}

TEST_F(ServerE2ETest, UnreadableSettingsEndStartWithStatusOne) {
  std::filesystem::create_directories(dir / "zarnel.ini");  // exists, cannot be read as a file
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  const int status = server.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(server.Stderr(), "zarnel: Cannot open file " + (dir / "zarnel.ini") + "\n");
}

TEST_F(ServerE2ETest, SegvKillsAtOnce) {
  auto server = Start();
  server->Signal(SIGSEGV);
  const int status = server->Wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGKILL);
  EXPECT_EQ(server->Stdout(), kStart + "Caught segv...Killing Process...\n");
}

}  // namespace
