// Servers in process relaying to each other: what a downstream server stores and serves must be
// what its upstream stores and serves, byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <filesystem>
#include <future>
#include <limits>

#include "RelayNode.h"
#include "net/SocketPairPeer.h"
#include "relay/RelayAllowList.h"
#include "relay/RelayMirror.h"
#include "support/TestSupport.h"

namespace {

using namespace ::testing;
using relaytest::Bytes;
using relaytest::TFilmer;
using relaytest::TNode;
using relaytest::Watch;
constexpr auto Long = std::chrono::seconds(60);

TEST(RelayAllowListTest, AddressesAndBlocks) {
  const TRelayAllowList list(" 10.1.2.3, 192.168.0.0/16,bad, 172.16.0.0/33,,1.2.3.4/0x,8.8.8.8/32");
  EXPECT_THAT(list.Rejected(), ElementsAre("bad", "172.16.0.0/33", "1.2.3.4/0x"));
  for (const auto& [address, allowed] :
       std::vector<std::pair<std::string, bool>>{{"10.1.2.3", true},
                                                 {"10.1.2.4", false},
                                                 {"192.168.200.1", true},
                                                 {"192.169.0.1", false},
                                                 {"8.8.8.8", true},
                                                 {"", false},
                                                 {"10.1.2.3.4", false}})
    EXPECT_EQ(list.Allows(address), allowed) << address;
  EXPECT_TRUE(TRelayAllowList("0.0.0.0/0").Allows("127.0.0.1"));
  EXPECT_FALSE(TRelayAllowList("").Allows("127.0.0.1"));
}

TEST(RelayUpstreamTest, AnUnauthorizedPeerSeesExactlyAServerWithoutHooks) {
  TNode node("10.0.0.0/8");
  TFilmer filmer(node.FilmPort(), "GAME");
  filmer.Transmit(0, {{0, 10, 4}});
  filmer.Block(0, "0123456789");
  filmer.End(0);
  filmer.Completed();
  TidZarnelRelayServer bare(0);
  bare.SetActive(true);
  // Every command, with a section whose stream is complete and on disk.
  const auto script = [](std::uint16_t port) {
    test::TRawClient peer(port);
    for (std::int32_t code : {1, 2, 3, 4, 5, 4, 5, 0}) {
      peer.SendInt(code);
      if (code == 2 || code == 3) peer.Send("GAME\r\n");
      if (code == 3)
        for (int i = 0; i < 3; ++i) peer.SendInt(0);
    }
    peer.SendInt(7);
    // 8, 16, 4, 2 x (18 + 18), 8 and 4 bytes: nothing else may come before the last
    // acknowledgement.
    std::string bytes = peer.Receive(112);
    EXPECT_EQ(bytes.substr(108), std::string("\0\0\0\0", 4));
    return bytes;
  };
  EXPECT_EQ(script(node.RelayPort()), script(bare.BoundPort()));
  EXPECT_THAT(node.Log(), Contains("Relay refused 127.0.0.1"));
  bare.SetActive(false);
}

// However often a peer asks on one connection, only its first answer is logged.
TEST(RelayUpstreamTest, RepeatedAuthorizationsAreLoggedOncePerConnection) {
  for (const bool allowed : {false, true}) {
    TNode node(allowed ? "127.0.0.0/8" : "10.0.0.0/8");
    std::string replies;
    for (int i = 0; i < 50; ++i)
      replies += std::string("\0\0\0\1\0\0\0", 7) + (allowed ? '\1' : '\0');
    for (int connection = 0; connection < 2; ++connection) {
      test::TRawClient peer(node.RelayPort());
      peer.Send(std::string(50 * 4, '\0'));
      EXPECT_EQ(peer.Receive(replies.size()), replies);
    }
    const std::string line = allowed ? "Relay authorized 127.0.0.1" : "Relay refused 127.0.0.1";
    std::vector<std::string> answers;  // the server also logs each connection
    for (const std::string& logged : node.Log())
      if (logged.rfind("Relay authorized", 0) == 0 || logged.rfind("Relay refused", 0) == 0)
        answers.push_back(logged);
    EXPECT_THAT(answers, ElementsAre(line, line));
  }
}

// Local games the local listing misses must not be taken for new mirrors: a hidden name (a
// server never lists one, so only a hostile upstream sends it), and an entry the listing cannot
// show (as a filmer's folder made just after the listing would be).
TEST(RelayMirrorTest, LocalNamesTheListingMissesAreNotRelayed) {
  test::TTempDir dir;
  const std::string streams = dir.Path() + "/Streams/";
  std::filesystem::create_directories(streams + ".X");
  test::WriteFile(streams + ".X/info.ini", "[stream]\navailable=0\n");
  std::filesystem::create_directory_symlink(dir.Path() + "elsewhere", streams + "NEW");
  TGameStore store(streams);
  std::vector<std::string> log;
  TRelayMirror mirror(
      store, [&](const std::string& m) { log.push_back(m); },
      [](std::chrono::milliseconds) { return false; });
  // The upstream's side: authorized and a list of that one name; the link is then stopped.
  TSocketPairPeer peer;
  const std::string replies = std::string("\0\0\0\1\0\0\0\1\0\0\0\1\0\0\0\2", 16) + ".X\r\nNEW\r\n";
  ASSERT_EQ(send(peer.ClientFd(), replies.data(), replies.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(replies.size()));
  shutdown(peer.ClientFd(), SHUT_WR);
  EXPECT_EQ(mirror.Run(peer.Thread().Connection()), TRelayMirror::TEnd::Stopped);
  EXPECT_EQ(test::ReadFile(streams + ".X/info.ini"), "[stream]\navailable=0\n");
  EXPECT_THAT(log, ElementsAre("Relay: game name not relayed: .X",
                               "Relay: NEW is a local game and is not relayed"));
  EXPECT_FALSE(std::filesystem::exists(dir.Path() + "elsewhere"));
}

// Under MinFreeMB no new mirror is made; the game is left for a later list, not passed over.
TEST(RelayMirrorTest, NoNewMirrorWithoutRoom) {
  test::TTempDir dir;
  const std::string streams = dir.Path() + "/Streams/";
  std::filesystem::create_directories(streams);
  std::vector<std::string> log;
  TGameStore store(streams, [&](const std::string& m) { log.push_back(m); });
  store.SetLimits({0, 0, std::numeric_limits<std::int32_t>::max()});
  TRelayMirror mirror(
      store, [&](const std::string& m) { log.push_back(m); },
      [](std::chrono::milliseconds) { return false; });
  TSocketPairPeer peer;
  const std::string replies = std::string("\0\0\0\1\0\0\0\1\0\0\0\1\0\0\0\1", 16) + "NEW\r\n";
  ASSERT_EQ(send(peer.ClientFd(), replies.data(), replies.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(replies.size()));
  shutdown(peer.ClientFd(), SHUT_WR);
  EXPECT_EQ(mirror.Run(peer.Thread().Connection()), TRelayMirror::TEnd::Stopped);
  EXPECT_TRUE(test::ListDir(streams).empty());
  ASSERT_EQ(log.size(), 1u);
  EXPECT_THAT(log[0], StartsWith("Not enough disk space for new games: "));
}

// A finished game, a game of three streams and a local game of an upstream game's name.
TEST(RelayMirrorTest, FinishedGamesAreMirroredByteForByteAndLocalGamesLeftAlone) {
  TNode a, b;
  {
    TFilmer filmer(a.FilmPort(), "FINAL");
    filmer.Transmit(0, {{0, 3000, 1032}, {1, 1500, 0}});
    filmer.Block(0, Bytes(3000, 1));
    filmer.Block(1, Bytes(1500, 2));
    filmer.End(0);
    filmer.End(1);
    // A later section with an empty audio stream, and one with a single stream.
    filmer.Transmit(1, {{0, 2000, 1032}, {1, 0, 0}});
    filmer.Block(0, Bytes(2000, 3));
    filmer.End(0);
    filmer.End(1);
    filmer.Transmit(2, {{0, 1100, 1032}});
    filmer.Block(0, Bytes(1100, 4));
    filmer.End(0);
    filmer.Completed();
  }
  {
    TFilmer filmer(a.FilmPort(), "THREE");
    filmer.Transmit(0, {{0, 1100, 1032}, {1, 10, 0}, {1, 20, 0}});
    for (int s = 0; s < 3; ++s) {
      filmer.Block(s, Bytes(s == 0 ? 1100 : 10 * s, s));
      filmer.End(s);
    }
    filmer.Completed();
  }
  for (TNode* node : {&a, &b}) {
    TFilmer filmer(node->FilmPort(), "CLASH");
    filmer.Transmit(0, {{0, 1100, 1032}});
    filmer.Block(0, Bytes(1100, node == &a ? 5 : 6));
    filmer.Sync();
  }
  const auto local = b.StreamFiles("CLASH");
  const std::string localInfo = test::ReadFile(b.Dir("CLASH") + "info.ini");
  b.Follow(a);
  ASSERT_TRUE(test::WaitFor(
      [&] { return b.Store().ReadCompleteAll("FINAL") && b.Store().ReadCompleteAll("THREE"); },
      Long))
      << testing::PrintToString(b.Log()) << testing::PrintToString(a.Log());
  EXPECT_EQ(b.StreamFiles("FINAL"), a.StreamFiles("FINAL"));
  auto three = a.StreamFiles("THREE");
  three.erase("stream_2_0");
  EXPECT_EQ(b.StreamFiles("THREE"), three);
  // Viewers of both servers, side by side.
  auto upstream = std::async(std::launch::async, [&] { return Watch(a.ViewPort(), "FINAL"); });
  const auto downstream = Watch(b.ViewPort(), "FINAL");
  EXPECT_EQ(downstream.Raw, upstream.get().Raw);
  EXPECT_EQ(Watch(b.ViewPort(), "THREE").Messages[1], 2);  // two streams announced
  // A renewed connection must not log again.
  b.BreakLink();
  ASSERT_TRUE(test::WaitFor(
      [&] {
        const auto log = b.Log();
        return std::count(log.begin(), log.end(), "Relay: Connected to " + TNode::Upstream(a)) >= 2;
      },
      Long));
  b.StopLink();
  EXPECT_EQ(b.StreamFiles("CLASH"), local);
  EXPECT_EQ(test::ReadFile(b.Dir("CLASH") + "info.ini"), localInfo);
  const auto log = b.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Relay: CLASH is a local game and is not relayed"),
            1);
  EXPECT_EQ(
      std::count(log.begin(), log.end(), "Relay: THREE has a third stream, which is not relayed"),
      1);
  EXPECT_THAT(a.Log(), Contains("Relay authorized 127.0.0.1"));
}

// Uploads left unfinished upstream never move again, yet hold their slots; a game listed after
// them must still be mirrored once it moves, as must a game that stalled and moves again.
TEST(RelayMirrorTest, StalledGamesGiveWayToWaitingGames) {
  TNode a, b;
  for (int i = 0; i < 9; ++i) {
    const std::string game = "LEFT" + std::to_string(i);
    TFilmer(a.FilmPort(), game);
    ASSERT_TRUE(test::WaitFor([&] { return a.Store().ReadAvailable(game); }));
  }
  std::vector<std::string> listed;  // in the order the upstream lists them: 8 fill the slots
  ListGames(a.Store().StreamsDir(), listed);
  ASSERT_EQ(listed.size(), 9u);
  b.Follow(a, std::chrono::milliseconds(500));
  for (const std::string& game : {listed.back(), listed.front()}) {
    TFilmer back(a.FilmPort(), game, true);
    back.Transmit(0, {{0, 1500, 1032}});
    back.Block(0, Bytes(1500, 2));
    back.Sync();
    ASSERT_TRUE(test::WaitFor([&] { return b.Length(game, 0, 0) == 1500; }, Long)) << game;
  }
  // Renewed connections and no other line, read before stopping the link logs its closing.
  const auto log = b.Log();
  const std::string host = TNode::Upstream(a);
  EXPECT_GE(std::count(log.begin(), log.end(), "Relay: Connected to " + host), 2);
  EXPECT_THAT(log, Each(AnyOf("Relay: Connected to " + host, "Relay: Disconnected from " + host)));
}

// A live game filmed on A, mirrored by B and C, and by D from C (two hops); the links of B
// and C break in the middle of a section.
TEST(RelayMirrorTest, LiveGameReachesEveryServerOfATreeThroughBrokenLinks) {
  TNode a, b, c, d;
  TFilmer filmer(a.FilmPort(), "LIVE");
  const std::string demo = Bytes(5000, 1), audio = Bytes(2400, 2), later = Bytes(3000, 3);
  filmer.Transmit(0, {{0, 5000, 1032}, {1, 2400, 0}});
  filmer.Block(0, demo.substr(0, 2000));
  filmer.Block(1, audio.substr(0, 800));
  filmer.Sync();
  b.Follow(a);
  c.Follow(a);
  d.Follow(c);
  std::vector<std::future<relaytest::TWatched>> viewers;
  for (TNode* node : {&a, &b, &c, &d}) {
    ASSERT_TRUE(test::WaitFor([&] { return node->Store().ReadAvailable("LIVE"); }, Long));
    viewers.push_back(
        std::async(std::launch::async, [node] { return Watch(node->ViewPort(), "LIVE"); }));
  }
  for (TNode* node : {&b, &d})
    ASSERT_TRUE(test::WaitFor([&] { return node->Length("LIVE", 0, 0) == 2000; }, Long));
  b.StopLink();  // as a restart of B would
  c.BreakLink();
  filmer.Block(0, demo.substr(2000, 1000));
  filmer.Block(1, audio.substr(800));
  filmer.Sync();
  b.Follow(a);
  ASSERT_TRUE(test::WaitFor([&] { return d.Length("LIVE", 0, 0) == 3000; }, Long));
  filmer.Block(0, demo.substr(3000));
  filmer.End(0);
  filmer.End(1);
  filmer.Transmit(1, {{0, 3000, 1032}, {1, 0, 0}});
  filmer.Block(0, later);
  filmer.End(0);
  filmer.End(1);
  filmer.Completed();
  std::vector<relaytest::TWatched> watched;
  for (auto& viewer : viewers) watched.push_back(viewer.get());
  for (std::size_t i = 1; i < watched.size(); ++i) {
    EXPECT_EQ(watched[i].Messages, watched[0].Messages) << i;
    EXPECT_EQ(watched[i].Data, watched[0].Data) << i;
  }
  EXPECT_EQ(watched[0].Data.at({0, 0}), demo);
  for (TNode* node : {&b, &c, &d}) {
    ASSERT_TRUE(test::WaitFor([&] { return node->Store().ReadCompleteAll("LIVE"); }, Long));
    EXPECT_EQ(node->StreamFiles("LIVE"), a.StreamFiles("LIVE"));
  }
}

}  // namespace
