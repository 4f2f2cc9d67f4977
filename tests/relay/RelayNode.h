// A whole server in process on free ports, built as the binary builds it, with a filmer and a
// viewer on the wire: for relay tests that run several servers at once.
#pragma once

#include <algorithm>
#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/UnitDatamoduleMain.h"
#include "support/TestSupport.h"

namespace relaytest {

class TNode {
 public:
  // A server whose relay port lets the addresses of Allow relay from it.
  explicit TNode(const std::string& allow = "127.0.0.0/8") {
    test::WriteFile(FDir / "zarnel.ini", "[settings]\nAllowRelays=1\nRelayAllowFrom=" + allow +
                                             "\nStatusPort=0\nMinFreeMB=0\n");
    TServerPlace place;
    place.BaseDir = FDir.Path();
    place.Film = place.View = place.Relay = place.Admin = 0;
    FServer = std::make_unique<TDataModuleMain>(place);
    FServer->StartServer();
    FStartLines = test::LogMessages(FDir / "zarnel.log").size();
  }
  ~TNode() { FServer->DataModuleDestroy(); }
  // Starts a relay link that mirrors Upstream's games into this server; a mirrored game that
  // gets no data for StallTime counts as stalled.
  void Follow(const TNode& upstream,
              std::chrono::milliseconds stallTime = TRelayMirror::StallTime) {
    Follow(Upstream(upstream), stallTime);
  }
  // The same with a RelayServer list of its own, such as Upstream's of several nodes.
  void Follow(const std::string& relayServer,
              std::chrono::milliseconds stallTime = TRelayMirror::StallTime,
              std::chrono::seconds relayTimeout = TRelayThread::DefaultRelayTimeout) {
    FServer->FollowRelay(relayServer, stallTime, relayTimeout);
  }
  // The RelayServer entry that names Node's relay port.
  static std::string Upstream(const TNode& node) {
    return "127.0.0.1:" + std::to_string(node.RelayPort());
  }
  // The running link, for reloads and its state; Follow first.
  TRelayThread& Link() { return FServer->RelayLink(); }
  // The relay server, for its peers.
  const TidZarnelRelayServer& RelayServer() const { return FServer->idTCPServerRelay; }
  // Stops the link as the server's shutdown does.
  void StopLink() { FServer->FollowRelay(""); }
  // Breaks the link's connection; the link connects again by itself.
  void BreakLink() { FServer->BreakRelayLink(); }

  std::uint16_t FilmPort() const { return FServer->idTCPServerFilmer.BoundPort(); }
  std::uint16_t ViewPort() const { return FServer->idTCPServerViewer.BoundPort(); }
  std::uint16_t RelayPort() const { return FServer->idTCPServerRelay.BoundPort(); }
  TGameStore& Store() { return FServer->Store(); }
  std::string Dir(const std::string& game) const {
    return FServer->Store().StreamsDir() + game + "/";
  }
  // The log lines written after start-up.
  std::vector<std::string> Log() const {
    const auto lines = test::LogMessages(FDir / "zarnel.log");
    return {lines.begin() + static_cast<std::ptrdiff_t>(FStartLines), lines.end()};
  }
  // Length of a stream file; -1 when it is missing.
  std::int64_t Length(const std::string& game, int stream, int section) const {
    std::error_code error;
    const auto size =
        std::filesystem::file_size(FServer->Store().StreamPath(game, stream, section), error);
    return error ? -1 : static_cast<std::int64_t>(size);
  }
  // Every stream file of a game with its content.
  std::map<std::string, std::string> StreamFiles(const std::string& game) const {
    std::map<std::string, std::string> files;
    for (const std::string& name : test::ListDir(Dir(game)))
      if (name.rfind("stream_", 0) == 0) files[name] = test::ReadFile(Dir(game) + name);
    return files;
  }

 private:
  test::TTempDir FDir;
  std::unique_ptr<TDataModuleMain> FServer;
  std::size_t FStartLines = 0;
};

// A filmer on the film port: a new (or resumed) game, then sections, blocks and end markers.
class TFilmer {
 public:
  TFilmer(std::uint16_t port, const std::string& game, bool resume = false) : FClient(port) {
    FClient.ReceiveLine();
    FClient.Send("bench\t2016\r\nAUTH\t\t" + std::string(resume ? "RESUME" : "NEW") + "\t" + game +
                 "\r\n");
    Expect("OK");
    Expect("OK");
  }
  // Sets up a section; per stream {type, announced size, header length}.
  void Transmit(int section, const std::vector<std::array<std::int32_t, 3>>& streams) {
    FClient.Send("TRANSMIT\t" + std::to_string(streams.size()) + "\t" + std::to_string(section) +
                 "\r\n");
    for (const auto& values : streams)
      for (std::int32_t value : values) FClient.SendInt(value);
    for (std::size_t i = 0; i < streams.size(); ++i) FClient.ReceiveInt();
  }
  void Block(int stream, const std::string& data) {
    FClient.Send("BLOCK\r\n");
    FClient.SendInt(stream);
    FClient.SendInt(0);
    FClient.SendInt(static_cast<std::int32_t>(data.size()));
    FClient.Send(data);
  }
  void End(int stream) {
    FClient.Send("BLOCK\r\n");
    FClient.SendInt(stream);
    FClient.SendInt(1);
  }
  // Returns once the server has stored everything sent before.
  void Sync() {
    FClient.Send("HI\r\n");
    Expect("OK");
  }
  void Completed() {
    FClient.Send("COMPLETED\r\n");
    FClient.ClosedByPeer();
  }

 private:
  void Expect(const std::string& line) {
    const std::string got = FClient.ReceiveLine();
    if (got != line) throw std::runtime_error("filmer got " + got);
  }
  test::TRawClient FClient;
};

// What a viewer received of a whole game: every byte, and the same without keep-alives and
// chunk boundaries (which depend on when the viewer looked).
struct TWatched {
  std::string Raw;
  std::vector<std::int32_t>
      Messages;  // per section: its number, n, n stream headers, completions in slot order
  std::map<std::pair<int, int>, std::string> Data;  // per (section, slot)
};

// Watches Game from section 0 until the end of the finished game.
inline TWatched Watch(std::uint16_t viewPort, const std::string& game) {
  test::TRawClient viewer(viewPort);
  viewer.ReceiveLine();
  viewer.Send("v\t1016\r\nREQUEST\t" + game + "\t0\t0\r\n");
  viewer.ReceiveLine();
  viewer.ReceiveLine();
  TWatched w;
  const auto next = [&] {
    const std::string bytes = viewer.Receive(4);
    w.Raw += bytes;
    const auto b = [&](int i) {
      return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]));
    };
    return static_cast<std::int32_t>(b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3));
  };
  for (int section = 0;;) {
    const std::int32_t n = next();
    if (n == -1) break;
    if (n == 0) continue;
    if (n < 0 || n > 3) throw std::runtime_error("viewer got " + std::to_string(n));
    w.Messages.push_back(section);
    w.Messages.push_back(n);
    for (int i = 0; i < 3 * n; ++i) w.Messages.push_back(next());
    for (int i = 0; i < n; ++i) viewer.SendInt(0);
    std::vector<std::int32_t> completed;
    for (int open = n; open > 0;) {
      const std::int32_t slot = next();
      if (slot == -1) continue;
      if (next() == 1) {
        completed.push_back(100 + slot);
        --open;
        continue;
      }
      const std::string bytes = viewer.Receive(static_cast<std::size_t>(next()));
      w.Raw += bytes;
      w.Data[{section, slot}] += bytes;
    }
    // Which stream of a live section completes first also depends on when the viewer looked.
    std::sort(completed.begin(), completed.end());
    w.Messages.insert(w.Messages.end(), completed.begin(), completed.end());
    ++section;
  }
  return w;
}

// N pattern bytes; Seed tells streams apart.
inline std::string Bytes(std::size_t n, int seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + i / 251) % 253);
  return s;
}

}  // namespace relaytest
