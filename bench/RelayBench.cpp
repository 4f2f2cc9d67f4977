// Relay benchmark: servers in process on free ports. Measures how fast a finished 50 MB game
// mirrors from one server to another, and how long a live game's bytes take to reach a viewer
// of a server two relays down. Prints one JSON line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "relay/RelayNode.h"

namespace {

using TClock = std::chrono::steady_clock;
using relaytest::Bytes;
using relaytest::TFilmer;
using relaytest::TNode;

constexpr int Sections = 10;
constexpr std::size_t DemoBytes = 4'500'000;
constexpr std::size_t AudioBytes = 500'000;
constexpr std::size_t FilmBlock = 65536;

void Upload(TFilmer& filmer, int stream, const std::string& data) {
  for (std::size_t at = 0; at < data.size(); at += FilmBlock)
    filmer.Block(stream, data.substr(at, FilmBlock));
  filmer.End(stream);
}

// Seconds B takes to mirror a finished game of Sections x (DemoBytes + AudioBytes) from A.
double MirrorFinished(double& megabytes) {
  TNode a, b;
  {
    TFilmer filmer(a.FilmPort(), "BIG");
    for (int s = 0; s < Sections; ++s) {
      filmer.Transmit(s, {{0, static_cast<std::int32_t>(DemoBytes), 1032},
                          {1, static_cast<std::int32_t>(AudioBytes), 0}});
      Upload(filmer, 0, Bytes(DemoBytes, s));
      Upload(filmer, 1, Bytes(AudioBytes, s + 100));
    }
    filmer.Completed();
  }
  megabytes = Sections * (DemoBytes + AudioBytes) / 1e6;
  const auto start = TClock::now();
  b.Follow(a);
  if (!test::WaitFor([&] { return b.Store().ReadCompleteAll("BIG"); }, std::chrono::seconds(300)))
    throw std::runtime_error("the mirror did not finish");
  const double seconds = std::chrono::duration<double>(TClock::now() - start).count();
  if (b.StreamFiles("BIG") != a.StreamFiles("BIG")) throw std::runtime_error("files differ");
  return seconds;
}

// Per block of a live game filmed on A: seconds until a viewer of C (A -> B -> C) has it.
std::vector<double> TwoHopLatency(int blocks) {
  TNode a, b, c;
  TFilmer filmer(a.FilmPort(), "LIVE");
  filmer.Transmit(0, {{0, 0, 1032}});
  filmer.Block(0, Bytes(2000, 1));
  filmer.Sync();
  b.Follow(a);
  c.Follow(b);
  if (!test::WaitFor([&] { return c.Length("LIVE", 0, 0) == 2000; }, std::chrono::seconds(30)))
    throw std::runtime_error("the live game did not arrive");
  test::TRawClient viewer(c.ViewPort());
  viewer.ReceiveLine();
  viewer.Send("v\t1016\r\nREQUEST\tLIVE\t0\t0\r\n");
  viewer.ReceiveLine();
  viewer.ReceiveLine();
  while (viewer.ReceiveInt() != 1) {
  }
  for (int i = 0; i < 3; ++i) viewer.ReceiveInt();
  viewer.SendInt(0);
  std::vector<double> latencies;
  std::size_t received = 0, filmed = 2000;
  for (int k = 0; k < blocks; ++k) {
    // Off the cycle grid, so the wait inside a cycle varies from block to block.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    filmer.Block(0, Bytes(1000, k));
    filmer.Sync();
    const auto sent = TClock::now();
    filmed += 1000;
    while (received < filmed) {
      if (viewer.ReceiveInt() == -1) continue;
      viewer.ReceiveInt();
      received += viewer.Receive(static_cast<std::size_t>(viewer.ReceiveInt())).size();
    }
    latencies.push_back(std::chrono::duration<double>(TClock::now() - sent).count());
  }
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
