// Relay benchmark: whole servers in process on free ports. Measures how fast a finished 50 MB
// game mirrors from one server to another, and how long a live game's bytes take to reach a
// viewer of a server two relays down. Prints the servers' console lines, then one JSON line.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchUtil.h"
#include "bench/FilmLoad.h"
#include "server/UnitDatamoduleMain.h"

namespace {

using TClock = std::chrono::steady_clock;

constexpr int Sections = 10;
constexpr std::int32_t StreamBytes = 2'500'000;  // per stream and section, two streams
constexpr std::int32_t FilmBlock = 65536;

// A server in a temporary folder on free ports, mirroring Upstream's games when given.
class TServer {
 public:
  explicit TServer(const TServer* upstream = nullptr) {
    char dir[] = "/tmp/zarnel-relay-bench-XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error("cannot make a temporary folder");
    FDir = dir;
    std::ofstream(FDir / "zarnel.ini")
        << "[settings]\nAllowRelays=1\nRelayAllowFrom=127.0.0.0/8\nStatusPort=0\nMinFreeMB=0\n"
        << (upstream ? "RelayEnabled=1\nRelayServer=127.0.0.1:" +
                           std::to_string(upstream->RelayPort()) + "\n"
                     : "");
    TServerPlace place;
    place.BaseDir = FDir;
    place.Film = place.View = place.Relay = place.Admin = 0;
    FServer = std::make_unique<TDataModuleMain>(place);
    FServer->StartServer();
  }
  ~TServer() {
    FServer->DataModuleDestroy();
    FServer.reset();
    std::error_code ignored;
    std::filesystem::remove_all(FDir, ignored);
  }
  int FilmPort() const { return FServer->idTCPServerFilmer.BoundPort(); }
  int ViewPort() const { return FServer->idTCPServerViewer.BoundPort(); }
  int RelayPort() const { return FServer->idTCPServerRelay.BoundPort(); }
  TGameStore& Store() const { return FServer->Store(); }
  // Every stream file of Game with its content.
  std::vector<std::pair<std::string, std::string>> StreamFiles(const std::string& game) const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(Store().StreamsDir() + game)) {
      if (entry.path().filename().string().rfind("stream_", 0) != 0) continue;
      std::ifstream in(entry.path(), std::ios::binary);
      files.emplace_back(entry.path().filename(), std::string(std::istreambuf_iterator<char>(in),
                                                              std::istreambuf_iterator<char>()));
    }
    std::sort(files.begin(), files.end());
    return files;
  }

 private:
  std::filesystem::path FDir;
  std::unique_ptr<TDataModuleMain> FServer;
};

void WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit, const char* what) {
  for (const auto end = TClock::now() + limit; !done();) {
    if (TClock::now() > end) throw std::runtime_error(what);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Seconds B takes to mirror a finished game of Sections x 2 x StreamBytes from A.
double MirrorFinished(double& megabytes) {
  TServer a;
  bench::StoreGame({a.FilmPort(), ""}, "BIG", Sections, 2, StreamBytes, FilmBlock);
  megabytes = Sections * 2.0 * StreamBytes / 1e6;
  const auto start = TClock::now();
  TServer b(&a);
  WaitUntil([&] { return b.Store().ReadCompleteAll("BIG"); }, std::chrono::seconds(300),
            "the mirror did not finish");
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  if (b.StreamFiles("BIG") != a.StreamFiles("BIG")) throw std::runtime_error("files differ");
  return seconds;
}

// Per block of a live game filmed on A: seconds until a viewer of C (A -> B -> C) has it.
std::vector<double> TwoHopLatency(int blocks) {
  TServer a;
  const int filmer = bench::FilmLogin({a.FilmPort(), ""}, "LIVE");
  const auto sync = [&] {
    bench::SendAll(filmer, "HI\r\n", 4);
    if (bench::RecvLine(filmer) != "OK") throw std::runtime_error("no answer to HI");
  };
  bench::Transmit(filmer, 0, {0});
  bench::SendBlock(filmer, 0, std::string(2000, 'a'));
  sync();
  TServer b(&a), c(&b);
  WaitUntil([&] { return c.Store().StreamSize("LIVE", 0, 0) == 2000; }, std::chrono::seconds(30),
            "the live game did not arrive");
  const int viewer = bench::ConnectBlocking(c.ViewPort());
  bench::RecvLine(viewer);
  const std::string request = "v\t1016\r\nREQUEST\tLIVE\t0\t0\r\n";
  bench::SendAll(viewer, request.data(), request.size());
  bench::RecvLine(viewer);
  bench::RecvLine(viewer);
  while (bench::RecvInt(viewer) != 1) {
  }
  for (int i = 0; i < 3; ++i) bench::RecvInt(viewer);
  std::string ack;
  bench::PutInt(ack, 0);
  bench::SendAll(viewer, ack.data(), ack.size());
  std::vector<double> latencies;
  std::int64_t received = 0, filmed = 2000;
  std::string data;
  for (int k = 0; k < blocks; ++k) {
    // Off the cycle grid, so the wait inside a cycle varies from block to block.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    bench::SendBlock(filmer, 0, std::string(1000, static_cast<char>('b' + k % 20)));
    sync();
    const auto sent = TClock::now();
    filmed += 1000;
    while (received < filmed) {
      if (bench::RecvInt(viewer) == -1) continue;
      bench::RecvInt(viewer);
      data.resize(static_cast<std::size_t>(bench::RecvInt(viewer)));
      bench::RecvExact(viewer, data.data(), data.size());
      received += static_cast<std::int64_t>(data.size());
    }
    latencies.push_back(std::chrono::duration<double>(TClock::now() - sent).count());
  }
  close(viewer);
  close(filmer);
  return latencies;
}

}  // namespace

int main() {
  try {
    double megabytes = 0;
    const double seconds = MirrorFinished(megabytes);
    std::vector<double> latency = TwoHopLatency(12);
    std::sort(latency.begin(), latency.end());
    std::printf(
        "{\"finished_mb\": %.1f, \"mirror_seconds\": %.2f, \"mirror_mb_per_s\": %.1f, "
        "\"two_hop_latency_s\": {\"min\": %.2f, \"p50\": %.2f, \"max\": %.2f}}\n",
        megabytes, seconds, megabytes / seconds, latency.front(), latency[latency.size() / 2],
        latency.back());
    return 0;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "relay benchmark failed: %s\n", error.what());
    return 1;
  }
}
