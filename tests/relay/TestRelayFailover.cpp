// A relay link with a list of upstreams: it moves on when one breaks or falls silent, resumes
// there from its own files, and shows what it does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "RelayNode.h"
#include "common/Metrics.h"
#include "support/TestSupport.h"

namespace {

using namespace ::testing;
using relaytest::Bytes;
using relaytest::TFilmer;
using relaytest::TNode;
using relaytest::Watch;
using TPhase = TRelayLinkState::TPhase;
using TGamePhase = TRelayMirror::TGameState::TPhase;
constexpr auto Long = std::chrono::seconds(60);

// A port nothing listens on (one just given up by a server).
std::uint16_t ClosedPort() {
  TIdTCPServer server(0);
  server.SetActive(true);
  const std::uint16_t port = server.BoundPort();
  server.SetActive(false);
  return port;
}

std::string Entry(std::uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

// The log lines from the first that starts with From on.
std::vector<std::string> From(const std::vector<std::string>& log, const std::string& from) {
  const auto at = std::find_if(log.begin(), log.end(),
                               [&](const std::string& line) { return line.starts_with(from); });
  return {at, log.end()};
}

TEST(RelayServersTest, EntriesAreHostsWithAnOptionalPort) {
  const auto parsed = ParseRelayServers(" up.example , 10.0.0.2:28400,,b:0,c:99999, :5 ,d:x");
  std::vector<std::tuple<std::string, std::string, int>> got;
  for (const auto& u : parsed) got.emplace_back(u.Name, u.Host, u.Port);
  using T = std::tuple<std::string, std::string, int>;
  // Entries with no usable port stay whole, so connecting names them in its error.
  EXPECT_THAT(
      got, ElementsAre(T{"up.example", "up.example", 28300}, T{"10.0.0.2:28400", "10.0.0.2", 28400},
                       T{"b:0", "b:0", 28300}, T{"c:99999", "c:99999", 28300}, T{":5", ":5", 28300},
                       T{"d:x", "d:x", 28300}));
  // IPv6: in brackets with or without a port, or plain; a bracket left open or a bad port
  // after one stays whole.
  got.clear();
  for (const auto& u : ParseRelayServers("[::1]:28400,[2001:db8::7],fe80::1,[::1]:x,[::1"))
    got.emplace_back(u.Name, u.Host, u.Port);
  EXPECT_THAT(got,
              ElementsAre(T{"[::1]:28400", "::1", 28400}, T{"[2001:db8::7]", "2001:db8::7", 28300},
                          T{"fe80::1", "fe80::1", 28300}, T{"[::1]:x", "[::1]:x", 28300},
                          T{"[::1", "[::1", 28300}));
  for (const std::string empty : {"", " , ,"}) {
    const auto one = ParseRelayServers(empty);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].Host, "");
    EXPECT_EQ(one[0].Port, RelayPort);
  }
}

// Root A, relay B and a second relay C that holds nothing of the game yet; the leaf lists B
// then C. B dies mid-section: the leaf moves to C at once, its game waits there until C has
// it, and it ends byte-identical to A, as do its viewer's bytes. B's port coming back is left
// alone.
TEST(RelayFailoverTest, AnOrphanedLeafResumesOnTheNextUpstreamAndEndsIdentical) {
  TNode a, c, leaf;
  auto b = std::make_unique<TNode>();
  TFilmer filmer(a.FilmPort(), "LIVE");
  const std::string demo = Bytes(6000, 1), audio = Bytes(3000, 2), later = Bytes(2500, 3);
  filmer.Transmit(0, {{0, 6000, 1032}, {1, 3000, 0}});
  filmer.Block(0, demo.substr(0, 2500));
  filmer.Block(1, audio.substr(0, 1000));
  filmer.Sync();
  b->Follow(a);
  const std::string bName = TNode::Upstream(*b), cName = TNode::Upstream(c);
  const std::uint16_t bPort = b->RelayPort();
  leaf.Follow(bName + ", " + cName);
  ASSERT_TRUE(test::WaitFor([&] { return leaf.Length("LIVE", 0, 0) == 2500; }, Long));
  // A failure below must not leave the viewers waiting for the game's end for ever.
  struct TFinish {
    TFilmer& Filmer;
    bool Done = false;
    ~TFinish() {
      if (!Done) Filmer.Completed();
    }
  } finish{filmer};
  auto root = std::async(std::launch::async, [&] { return Watch(a.ViewPort(), "LIVE"); });
  auto watched = std::async(std::launch::async, [&] { return Watch(leaf.ViewPort(), "LIVE"); });

  TRelayLinkState state;
  EXPECT_TRUE(test::WaitFor([&] {
    state = leaf.Link().State();
    return state.Games.size() == 1 && state.Games[0].Game == "LIVE";
  }));
  EXPECT_EQ(state.Upstream, bName);
  EXPECT_EQ(state.Phase, TPhase::Connected);
  EXPECT_EQ(state.Games.at(0).Phase, TGamePhase::Live);
  const auto peers = b->RelayServer().Peers();
  ASSERT_EQ(peers.size(), 1u);
  EXPECT_EQ(peers[0].Address, "127.0.0.1");
  EXPECT_TRUE(peers[0].Authorized);
  EXPECT_GT(peers[0].BytesSent, 3500u);

  const std::uint64_t switches = Metrics().RelayLinkSwitches.load();
  const auto orphaned = std::chrono::steady_clock::now();
  b.reset();
  ASSERT_TRUE(test::WaitFor(
      [&] {
        state = leaf.Link().State();
        return state.Phase == TPhase::Connected && state.Upstream == cName;
      },
      Long));
  EXPECT_LT(std::chrono::steady_clock::now() - orphaned,
            TRelayThread::DefaultRelayTimeout + std::chrono::seconds(2));
  EXPECT_EQ(Metrics().RelayLinkSwitches.load(), switches + 1);
  // Nothing to pause for: the next upstream is tried at once.
  const auto switched = From(leaf.Log(), "Relay: Connected to " + bName);
  EXPECT_THAT(switched, Not(Contains("Relay: Attempting Reconnection...")));
  EXPECT_THAT(switched, Contains("Relay: Connected to " + cName));
  TIdTCPServer back(bPort);
  std::atomic<int> comebacks{0};
  back.OnExecute = [&](TIdPeerThread& t) {
    ++comebacks;
    t.Connection().Disconnect();
  };
  back.SetActive(true);
  ASSERT_TRUE(test::WaitFor([&] {
    state = leaf.Link().State();
    return state.Games.size() == 1 && state.Games[0].Phase == TGamePhase::Waiting;
  }));
  EXPECT_EQ(state.Upstream, cName);

  filmer.Block(0, demo.substr(2500, 1500));
  filmer.Block(1, audio.substr(1000));
  filmer.Sync();
  c.Follow(a);
  ASSERT_TRUE(test::WaitFor([&] { return leaf.Length("LIVE", 0, 0) == 4000; }, Long));
  filmer.Block(0, demo.substr(4000));
  filmer.End(0);
  filmer.End(1);
  filmer.Transmit(1, {{0, 2500, 1032}, {1, 0, 0}});
  filmer.Block(0, later);
  filmer.End(0);
  filmer.End(1);
  filmer.Completed();
  finish.Done = true;
  ASSERT_TRUE(test::WaitFor([&] { return leaf.Store().ReadCompleteAll("LIVE"); }, Long));
  EXPECT_EQ(leaf.StreamFiles("LIVE"), a.StreamFiles("LIVE"));
  const relaytest::TWatched fromRoot = root.get(), fromLeaf = watched.get();
  EXPECT_EQ(fromLeaf.Messages, fromRoot.Messages);
  EXPECT_EQ(fromLeaf.Data, fromRoot.Data);
  EXPECT_EQ(fromLeaf.Data.at({0, 0}), demo);
  ASSERT_TRUE(test::WaitFor([&] {
    state = leaf.Link().State();
    return state.Games.size() == 1 && state.Games[0].Phase == TGamePhase::Complete;
  }));
  EXPECT_EQ(comebacks, 0);
  EXPECT_THAT(From(leaf.Log(), "Relay: Connected to " + cName),
              Not(Contains("Relay: Connected to " + bName)));
}

// An upstream that takes the connection and never answers is given up after RelayTimeout.
TEST(RelayFailoverTest, ASilentUpstreamIsGivenUpAfterTheRelayTimeout) {
  TIdTCPServer silent(0);
  silent.OnExecute = [](TIdPeerThread& t) { t.Connection().ReadLn(); };
  silent.SetActive(true);
  TNode a, leaf;
  {
    TFilmer filmer(a.FilmPort(), "DONE");
    filmer.Transmit(0, {{0, 1100, 1032}});
    filmer.Block(0, Bytes(1100, 1));
    filmer.End(0);
    filmer.Completed();
  }
  const std::string silentName = Entry(silent.BoundPort());
  const auto started = std::chrono::steady_clock::now();
  leaf.Follow(silentName + "," + TNode::Upstream(a), TRelayMirror::StallTime,
              std::chrono::seconds(1));
  ASSERT_TRUE(test::WaitFor([&] { return leaf.Store().ReadCompleteAll("DONE"); }, Long));
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_GE(took, std::chrono::seconds(1));
  EXPECT_LT(took, std::chrono::seconds(3) + TRelayMirror::Cycle);
  EXPECT_EQ(leaf.StreamFiles("DONE"), a.StreamFiles("DONE"));
  const auto log = leaf.Log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log[0], "Relay: Connected to " + silentName);
  EXPECT_EQ(log[1], "Relay: Disconnected from " + silentName);
  EXPECT_THAT(log[2], AllOf(StartsWith("Relay Exception :- "), EndsWith(" (" + silentName + ")")));
  EXPECT_EQ(log[3], "Relay: Connected to " + TNode::Upstream(a));
  leaf.StopLink();
  silent.SetActive(false);
}

// A leaf whose upstreams are all gone logs each failure, pauses only between whole rounds and
// keeps its mirror as it is.
TEST(RelayFailoverTest, OnlyDeadUpstreamsLeaveTheMirrorsAsTheyAre) {
  TNode leaf;
  auto a = std::make_unique<TNode>();
  TFilmer filmer(a->FilmPort(), "HALF");
  filmer.Transmit(0, {{0, 3000, 1032}, {1, 1000, 0}});
  filmer.Block(0, Bytes(1500, 1));
  filmer.Sync();
  const std::string aName = TNode::Upstream(*a), other = Entry(ClosedPort());
  leaf.Follow(aName + "," + other);
  ASSERT_TRUE(test::WaitFor([&] { return leaf.Length("HALF", 0, 0) == 1500; }, Long));
  const auto files = leaf.StreamFiles("HALF");
  const std::string info = test::ReadFile(leaf.Dir("HALF") + "info.ini");
  a.reset();
  ASSERT_TRUE(test::WaitFor(
      [&] { return From(leaf.Log(), "Relay: Connected to " + aName).size() >= 9; }, Long))
      << PrintToString(leaf.Log());
  leaf.StopLink();
  const auto log = From(leaf.Log(), "Relay: Connected to " + aName);
  const auto failed = [](const std::string& name) {
    return AllOf(StartsWith("Relay Exception :- Socket Error # 111"), EndsWith(" (" + name + ")"));
  };
  EXPECT_THAT(log[1], AllOf(StartsWith("Relay Exception :- "), EndsWith(" (" + aName + ")")));
  EXPECT_THAT(
      std::vector<std::string>(log.begin() + 2, log.begin() + 9),
      ElementsAre(failed(other), "Relay: Attempting Reconnection...", failed(aName), failed(other),
                  "Relay: Attempting Reconnection...", failed(aName), failed(other)));
  EXPECT_EQ(leaf.StreamFiles("HALF"), files);
  EXPECT_EQ(test::ReadFile(leaf.Dir("HALF") + "info.ini"), info);
}

// A new list waits for the next connect; an upstream that refuses shows as refused, and a
// refused peer shows on its side as unauthorized.
TEST(RelayFailoverTest, ANewListTakesEffectAtTheNextConnect) {
  TNode a, closed("10.0.0.0/8"), leaf;
  {
    TFilmer filmer(a.FilmPort(), "DONE");
    filmer.Transmit(0, {{0, 1100, 1032}});
    filmer.Block(0, Bytes(1100, 1));
    filmer.End(0);
    filmer.Completed();
  }
  leaf.Follow(a);
  ASSERT_TRUE(test::WaitFor([&] { return leaf.Store().ReadCompleteAll("DONE"); }, Long));
  const std::string closedName = TNode::Upstream(closed);
  leaf.Link().SetUpstreams(closedName, TRelayThread::DefaultRelayTimeout);
  EXPECT_EQ(leaf.Link().State().Upstream, TNode::Upstream(a));
  EXPECT_THAT(a.RelayServer().Peers(), SizeIs(1));
  leaf.BreakLink();
  TRelayLinkState state;
  ASSERT_TRUE(test::WaitFor([&] {
    state = leaf.Link().State();
    return state.Phase == TPhase::Refused;
  }));
  EXPECT_EQ(state.Upstream, closedName);
  EXPECT_THAT(leaf.Log(), Contains("Relay: Not authorized by the upstream server"));
  {
    test::TRawClient peer(closed.RelayPort());
    peer.SendInt(0);  // authorize: acknowledged, then refused
    EXPECT_EQ(peer.ReceiveInt(), 1);
    EXPECT_EQ(peer.ReceiveInt(), 0);
    const auto peers = closed.RelayServer().Peers();
    ASSERT_EQ(peers.size(), 1u);
    EXPECT_FALSE(peers[0].Authorized);
    // Counted just after the send, which may be after the bytes arrived here.
    EXPECT_TRUE(test::WaitFor([&] { return closed.RelayServer().Peers().at(0).BytesSent == 8; }));
  }
  leaf.Link().SetUpstreams(TNode::Upstream(a), TRelayThread::DefaultRelayTimeout);
  ASSERT_TRUE(test::WaitFor([&] {
    state = leaf.Link().State();
    return state.Phase == TPhase::Connected && state.Upstream == TNode::Upstream(a);
  }));
}

}  // namespace
