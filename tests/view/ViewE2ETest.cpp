// A filmer uploading on 28200 while a viewer watches live on 28100, against the server binary.
#include <thread>

#include "ViewTestSupport.h"

namespace {

TEST(ViewE2ETest, ViewerWatchesAnUploadLiveByteForByte) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nfilmpass=reel\n");
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();

  const std::string demo0 = viewtest::Bytes(5000, 1), audio0 = viewtest::Bytes(2500, 0, 4),
                    demo1 = viewtest::Bytes(1200, 2);
  viewtest::TFilmer filmer(28200, "reel", "Match");
  test::TRawClient viewer(28100);
  EXPECT_EQ(viewer.ReceiveLine(), "1.0.0.23\t1016");
  viewer.Send("client\t1016\r\n");
  EXPECT_EQ(viewer.ReceiveLine(), "OK");
  EXPECT_EQ(viewer.ReceiveLine(), "NOAUTH");
  ASSERT_TRUE(test::WaitFor([&] {
    viewer.Send("LISTGAMES\r\n");
    return viewer.ReceiveInt() == 1 && viewer.ReceiveLine() == "MATCH";
  }));
  viewer.Send("REQUEST\tmatch\t0\t0\tFALSE\r\n");

  std::thread upload([&] {
    filmer.Transmit(0, {{0, demo0, 1032}, {1, audio0}});
    for (std::size_t at = 0; at < demo0.size(); at += 500) {
      filmer.Block(0, demo0.substr(at, 500));
      if (at < audio0.size()) filmer.Block(1, audio0.substr(at, 500));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    filmer.End(0);
    filmer.End(1);
    filmer.Transmit(1, {{0, demo1, 1032}});
    filmer.Block(0, demo1);
    filmer.End(0);
    filmer.Completed();
  });
  const auto got = viewtest::WatchToEnd(viewer, 0);
  upload.join();
  EXPECT_EQ(got.at({0, 0}), demo0);
  EXPECT_EQ(got.at({0, 1}), audio0);
  EXPECT_EQ(got.at({1, 0}), demo1.substr(1032));
}

}  // namespace
