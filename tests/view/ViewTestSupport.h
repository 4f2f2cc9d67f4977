// A filmer's and viewers' side of the wire, for the view service in process and in the binary.
#pragma once

#include <gtest/gtest.h>

#include <future>
#include <map>
#include <thread>

#include "support/TestSupport.h"

namespace viewtest {

// N pattern bytes; a Demo file's first four carry Lead, little-endian.
inline std::string Bytes(std::size_t n, std::int32_t lead = 0, int seed = 7) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed) % 251);
  for (std::size_t i = 0; i < 4 && i < n; ++i) s[i] = static_cast<char>(lead >> (8 * i));
  return s;
}

// Answers the server's greeting with protocol 1016.
inline void Greet(test::TRawClient& c, const std::string& then = "NOAUTH") {
  EXPECT_EQ(c.ReceiveLine(), "1.0.0.23\t1016");
  c.Send("1.0.0.23\t1016\r\n");
  EXPECT_EQ(c.ReceiveLine(), "OK");
  EXPECT_EQ(c.ReceiveLine(), then);
}

// The next message other than Skip.
inline std::int32_t NextNot(test::TRawClient& c, std::int32_t skip) {
  for (;;)
    if (const std::int32_t m = c.ReceiveInt(); m != skip) return m;
}

// A filmer uploads two sections in 250-byte blocks 100 ms apart while a viewer watches from
// section 0: the viewer gets every byte once and in order, a later Demo stream without its header.
inline void UploadWhileWatching(std::uint16_t filmPort, std::uint16_t viewPort,
                                const std::string& password) {
  // Per section a Demo stream (type 0, header of 1032 bytes) and an audio stream (type 1).
  const std::string data[2][2] = {{Bytes(3000, 11), Bytes(1500, 0, 2)}, {Bytes(2000, 12), ""}};
  test::TRawClient filmer(filmPort), viewer(viewPort);
  filmer.ReceiveLine();
  // HI is answered once AUTH has set the game up.
  filmer.Send("test\t2016\r\nAUTH\t" + password + "\tNEW\tlive\r\nHI\r\n");
  EXPECT_EQ(filmer.ReceiveLine() + filmer.ReceiveLine() + filmer.ReceiveLine(), "OKOKOK");
  Greet(viewer);
  viewer.Send("REQUEST\tlive\t0\t0\r\n");
  auto upload = std::async(std::launch::async, [&] {
    for (int s = 0; s < 2; ++s) {
      filmer.Send("TRANSMIT\t2\t" + std::to_string(s) + "\r\n");
      for (int i = 0; i < 2; ++i)
        for (const int v : {i, static_cast<int>(data[s][i].size()), i == 0 ? 1032 : 0})
          filmer.SendInt(v);
      for (int i = 0; i < 2; ++i) EXPECT_EQ(filmer.ReceiveInt(), 0);
      // Blocks of up to 250 bytes, then at 3000 the end markers.
      for (std::size_t at = 0; at <= 3000; at += 250) {
        for (int i = 0; i < 2; ++i) {
          if (at < 3000 && at >= data[s][i].size()) continue;
          filmer.Send("BLOCK\r\n");
          filmer.SendInt(i);
          filmer.SendInt(at == 3000);
          if (at == 3000) continue;
          filmer.SendInt(static_cast<std::int32_t>(data[s][i].substr(at, 250).size()));
          filmer.Send(data[s][i].substr(at, 250));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    filmer.Send("COMPLETED\r\n");
    EXPECT_TRUE(filmer.ClosedByPeer());
  });
  std::map<std::pair<int, int>, std::string> got, want;  // bytes per (section, slot)
  for (int section = 0;; ++section) {
    const std::int32_t n = NextNot(viewer, 0);
    if (n == -1) break;
    ASSERT_TRUE(n >= 1 && n <= 3) << n;
    for (int i = 0; i < 3 * n; ++i) viewer.ReceiveInt();
    for (int i = 0; i < n; ++i) viewer.SendInt(0);
    for (int open = n; open > 0;) {
      const std::int32_t slot = viewer.ReceiveInt();
      if (slot != -1 && viewer.ReceiveInt() == 1)
        --open;
      else if (slot != -1)
        got[{section, slot}] += viewer.Receive(static_cast<std::size_t>(viewer.ReceiveInt()));
    }
  }
  upload.get();
  for (int s = 0; s < 2; ++s)
    for (int i = 0; i < 2; ++i)
      if (!data[s][i].empty()) want[{s, i}] = data[s][i].substr(s == 1 && i == 0 ? 1032 : 0);
  EXPECT_EQ(got, want);
}

}  // namespace viewtest
