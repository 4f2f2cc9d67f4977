// A view service on an ephemeral port over a temporary store, with a filmer's and a viewer's
// side of the wire for the view tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "net/IdTCPServer.h"
#include "support/TestSupport.h"
#include "view/UnitListActiveUsers.h"
#include "view/ViewService.h"

namespace viewtest {

// N pattern bytes; a Demo file's first four carry Lead, little-endian.
inline std::string Bytes(std::size_t n, std::int32_t lead = 0, int seed = 7) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed) % 251);
  for (std::size_t i = 0; i < 4 && i < n; ++i) s[i] = static_cast<char>(lead >> (8 * i));
  return s;
}

struct TSectionStream {
  std::uint8_t Type = 0;
  std::string Data;
  std::int32_t Block = 0;
  bool Complete = true;
};

// The viewer's side of the streaming protocol, from REQUEST until the game is complete
// (the first -1 between sections). Returns the bytes per (section, slot).
inline std::map<std::pair<int, int>, std::string> WatchToEnd(test::TRawClient& c, int section) {
  std::map<std::pair<int, int>, std::string> got;
  for (;;) {
    const std::int32_t n = c.ReceiveInt();
    if (n == -1) return got;
    if (n == 0) continue;
    if (n < 0 || n > 3) throw std::runtime_error("unexpected " + std::to_string(n));
    for (int i = 0; i < 3 * n; ++i) c.ReceiveInt();
    for (int i = 0; i < n; ++i) c.SendInt(0);
    for (int open = n; open > 0;) {
      const std::int32_t slot = c.ReceiveInt();
      if (slot == -1) continue;
      if (c.ReceiveInt() == 1) {
        --open;
        continue;
      }
      got[{section, slot}] += c.Receive(static_cast<std::size_t>(c.ReceiveInt()));
    }
    ++section;
  }
}

// The filmer's side: handshake and AUTH of a new game, then sections, blocks and end markers.
class TFilmer {
 public:
  TFilmer(std::uint16_t port, const std::string& password, const std::string& game) : FC(port) {
    FC.ReceiveLine();
    FC.Send("test\t2016\r\n");
    EXPECT_EQ(FC.ReceiveLine(), "OK");
    FC.Send("AUTH\t" + password + "\tNEW\t" + game + "\r\n");
    EXPECT_EQ(FC.ReceiveLine(), "OK");
  }
  void Transmit(int section, const std::vector<TSectionStream>& streams) {
    FC.Send("TRANSMIT\t" + std::to_string(streams.size()) + "\t" + std::to_string(section) +
            "\r\n");
    for (const auto& s : streams) {
      FC.SendInt(s.Type);
      FC.SendInt(static_cast<std::int32_t>(s.Data.size()));
      FC.SendInt(s.Block);
    }
    for (std::size_t i = 0; i < streams.size(); ++i) EXPECT_EQ(FC.ReceiveInt(), 0);
  }
  void Block(int stream, const std::string& data) {
    FC.Send("BLOCK\r\n");
    FC.SendInt(stream);
    FC.SendInt(0);
    FC.SendInt(static_cast<std::int32_t>(data.size()));
    FC.Send(data);
  }
  void End(int stream) {
    FC.Send("BLOCK\r\n");
    FC.SendInt(stream);
    FC.SendInt(1);
  }
  void Completed() {
    FC.Send("COMPLETED\r\n");
    EXPECT_TRUE(FC.ClosedByPeer());
  }

 private:
  test::TRawClient FC;
};

class TViewFixture : public ::testing::Test {
 protected:
  TViewFixture() : FLog(FDir / "zarnel.log"), FStore(FDir / "Streams/") {
    std::filesystem::create_directories(FStore.StreamsDir());
  }
  ~TViewFixture() override { FServer.SetActive(false); }

  void Start() {
    FService =
        std::make_unique<TViewService>(FSettings, FLog, FStore, FActiveUsers, FDir / "users.txt",
                                       [this] { return FServer.ThreadCount(); });
    FServer.OnExecute = [this](TIdPeerThread& t) { FService->Execute(t); };
    FServer.SetActive(true);
  }
  // A viewer past the greeting, the version check and (without ViewerAuth) NOAUTH.
  std::unique_ptr<test::TRawClient> Connect() {
    auto c = std::make_unique<test::TRawClient>(FServer.BoundPort());
    EXPECT_EQ(c->ReceiveLine(), "1.0.0.23\t1016");
    c->Send("1.0.0.23\t1016\r\n");
    EXPECT_EQ(c->ReceiveLine(), "OK");
    EXPECT_EQ(c->ReceiveLine(), FSettings.ViewerAuth ? "AUTH" : "NOAUTH");
    return c;
  }
  bool Logged(const std::string& message) {
    return test::WaitFor([&] {
      for (const auto& m : test::LogMessages(FDir / "zarnel.log"))
        if (m == message) return true;
      return false;
    });
  }
  // Writes one section in the filmer's order: values and data before the flags announcing them.
  void WriteSection(const std::string& game, int section,
                    const std::vector<TSectionStream>& streams, bool gameComplete = true) {
    std::filesystem::create_directories(FStore.GameDir(game));
    FStore.WriteAvailable(game, true);
    for (int i = 0; i < static_cast<int>(streams.size()); ++i) {
      FStore.WriteStreamType(game, i, streams[i].Type);
      FStore.WriteSize(game, i, section, static_cast<std::int32_t>(streams[i].Data.size()));
      FStore.WriteBlock(game, i, section, streams[i].Block);
      test::WriteFile(FStore.StreamPath(game, i, section), streams[i].Data);
    }
    FStore.WriteActiveStreams(game, static_cast<std::int32_t>(streams.size()));
    FStore.WriteActiveSections(game, section + 1);
    for (int i = 0; i < static_cast<int>(streams.size()); ++i) {
      if (static_cast<std::int32_t>(streams[i].Data.size()) > streams[i].Block)
        FStore.WriteHeader(game, i, section, true);
      if (streams[i].Complete) FStore.WriteComplete(game, i, section, true);
    }
    if (gameComplete) FStore.WriteCompleteAll(game, true);
  }

  test::TTempDir FDir;
  TSettings FSettings;
  TLog FLog;
  TGameStore FStore;
  TListActiveUsers FActiveUsers;
  std::unique_ptr<TViewService> FService;
  TIdTCPServer FServer{0};
};

}  // namespace viewtest
