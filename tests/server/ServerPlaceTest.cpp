// Whole servers in one process, each in a folder of its own on free ports, as tests and
// benchmarks build them.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>

#include "server/UnitDatamoduleMain.h"
#include "support/TestSupport.h"

namespace {

TEST(ServerPlaceTest, TwoServersKeepToTheirOwnFoldersAndPorts) {
  // The process runs in an empty folder of its own, which must stay empty.
  const std::filesystem::path before = std::filesystem::current_path();
  test::TTempDir cwd;
  std::filesystem::current_path(cwd.Path());
  test::TTempDir dirs[2];
  std::unique_ptr<TDataModuleMain> servers[2];
  for (int i = 0; i < 2; ++i) {
    test::WriteFile(dirs[i] / "zarnel.ini", "[settings]\nMinFreeMB=0\n");
    TServerPlace place;
    place.BaseDir = dirs[i].Path();
    place.Film = place.View = place.Relay = place.Admin = 0;
    place.Status = 0;
    servers[i] = std::make_unique<TDataModuleMain>(place);
    servers[i]->StartServer();
  }
  EXPECT_NE(servers[0]->idTCPServerFilmer.BoundPort(), servers[1]->idTCPServerFilmer.BoundPort());
  for (int i = 0; i < 2; ++i) {
    // A game filmed on one server lands in that server's store only.
    test::TRawClient filmer(servers[i]->idTCPServerFilmer.BoundPort());
    filmer.ReceiveLine();
    filmer.Send("f\t2016\r\nAUTH\t\tNEW\tGAME" + std::to_string(i) + "\r\n");
    EXPECT_EQ(filmer.ReceiveLine(), "OK");
    EXPECT_EQ(filmer.ReceiveLine(), "OK");
    EXPECT_TRUE(std::filesystem::exists(dirs[i] / ("Streams/GAME" + std::to_string(i))));
    EXPECT_FALSE(std::filesystem::exists(dirs[1 - i] / ("Streams/GAME" + std::to_string(i))));
    ASSERT_NE(servers[i]->StatusBoundPort(), 0);
    httplib::Client status("127.0.0.1", servers[i]->StatusBoundPort());
    const auto page = status.Get("/status.json");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("GAME" + std::to_string(i)), std::string::npos);
    EXPECT_EQ(page->body.find("GAME" + std::to_string(1 - i)), std::string::npos);
  }
  for (auto& server : servers) server->DataModuleDestroy();
  for (int i = 0; i < 2; ++i) EXPECT_FALSE(test::LogMessages(dirs[i] / "zarnel.log").empty());
  EXPECT_TRUE(test::ListDir(cwd.Path()).empty());
  std::filesystem::current_path(before);
}

}  // namespace
