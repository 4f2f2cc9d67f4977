// A filmer uploading on 28200 while a viewer watches live on 28100, against the server binary.
#include "ViewTestSupport.h"

namespace {

TEST(ViewE2ETest, ViewerWatchesAnUploadLiveByteForByte) {
  test::TTempDir dir;
  test::WriteFile(dir / "zarnel.ini", "[settings]\nfilmpass=reel\n");
  test::TServerProcess server(ZARNEL_BINARY, dir.Path());
  ASSERT_TRUE(server.WaitForLine("Waiting for Connections...")) << server.Stderr();
  viewtest::UploadWhileWatching(28200, 28100, "reel");
}

}  // namespace
