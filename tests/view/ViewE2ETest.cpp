// A filmer uploading on 28200 while a viewer watches live on 28100, and a shutdown with
// thousands of streaming viewers, against the server binary.
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "ViewTestSupport.h"
#include "store/IniFile.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZARNEL_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZARNEL_TEST_SANITIZED 1
#endif
#endif

namespace {

// Sanitized servers run many times slower: fewer viewers keep the shutdown within its wait.
#ifdef ZARNEL_TEST_SANITIZED
constexpr int ShutdownViewers = 300;
#else
constexpr int ShutdownViewers = 2500;
#endif

TEST(ViewE2ETest, ViewerWatchesAnUploadLiveByteForByte) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nfilmpass=reel\n");
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
  viewtest::UploadWhileWatching(28200, 28100, "reel");
}

TEST(ViewE2ETest, ShutdownEndsEveryStreamingViewerWithItsEndSteps) {
  constexpr int Viewers = ShutdownViewers;
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_GT(limit.rlim_cur, Viewers + 100u);

  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nViewMaxConnections=0\n");
  std::filesystem::create_directories(dir / "Streams/GAME");
  // A finished game of one section whose stream is far from sent when the signal comes.
  test::WriteFile(dir / "Streams/GAME/info.ini",
                  "[stream]\navailable=1\n[types]\n0=1\n[size]\n0_0=100000\n[complete]\n0_0=1\n"
                  "all=1\n[active]\nstreams=1\nsections=1\n");
  test::WriteFile(dir / "Streams/GAME/stream_0_0", std::string(100000, 's'));
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();

  // Half take their announcement and stream; the others never answer it.
  std::vector<std::unique_ptr<test::TRawClient>> viewers;
  for (int i = 0; i < Viewers; ++i) {
    viewers.push_back(std::make_unique<test::TRawClient>(28100));
    // The greeting first: connections come no faster than the server takes them.
    EXPECT_EQ(viewers.back()->ReceiveLine(), "1.0.0.23\t1016");
    viewers.back()->Send("v\t1016\r\nREQUEST\tGAME\t0\t0\r\n");
    if (i % 2 == 0) viewers.back()->Send(std::string(4, '\0'));
  }
  const auto viewersCounted = [&] {
    return TIniFile(dir / "Streams/GAME/info.ini").ReadInteger("stream", "viewers", 0) == Viewers;
  };
  ASSERT_TRUE(test::WaitFor(viewersCounted, std::chrono::seconds(60)));

  server.Signal(SIGTERM);
  const int status = server.Wait(std::chrono::seconds(60));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_NE(server.Stdout().find("Zarnel Server Shutdown complete.\n"), std::string::npos);
  const std::vector<std::string> log = test::LogMessages(dir / "zarnel.log");
  EXPECT_EQ(std::ranges::count(log, "View client disconnected"), Viewers);
  EXPECT_EQ(TIniFile(dir / "Streams/GAME/info.ini").ReadInteger("stream", "viewers", -1), 0);
}

}  // namespace
