#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "net/IdException.h"
#include "net/IdTCPServer.h"
#include "relay/UnitListRelayedSections.h"
#include "relay/UnitRelayThread.h"
#include "relay/UnitidZarnelRelayServer.h"
#include "support/TestSupport.h"

namespace {

using std::chrono::milliseconds;
using namespace ::testing;
using TClock = std::chrono::steady_clock;
using V = std::vector<std::int32_t>;
using S = std::vector<std::string>;
constexpr std::int32_t StreamBytes = 40000;
// The relay link's pause between attempts.
constexpr milliseconds ReconnectPause(2000);

// Distinct bytes per stream index, so a record carrying the wrong stream shows.
std::string Payload(int stream) {
  std::string data(StreamBytes, '\0');
  for (int i = 0; i < StreamBytes; ++i) data[i] = static_cast<char>('a' + (i + 13 * stream) % 26);
  return data;
}

TEST(ListRelayedSections, EntriesKeepTheirOrderAndIndexesAreChecked) {
  TListRelayedSections list;
  list.Add("GAME", 4);
  for (int i = 0; i < 1000; ++i) list.Add("OTHER", i);
  EXPECT_EQ(list.Items(0).GameName, "GAME");
  EXPECT_EQ(list.Items(1000).Section, 999);
  EXPECT_THROW(list.Items(1001), std::out_of_range);
  EXPECT_THROW(list.Items(-1), std::out_of_range);
}

class RelayServerTest : public ::testing::Test {
 protected:
  void TearDown() override { FServer.SetActive(false); }
  // Activates the server (hooks are assigned before) and connects a peer.
  std::unique_ptr<test::TRawClient> Open() {
    if (!FServer.Active()) FServer.SetActive(true);
    return std::make_unique<test::TRawClient>(FServer.BoundPort());
  }
  static V Ints(test::TRawClient& peer, std::size_t count) {
    V values(count);
    for (auto& value : values) value = peer.ReceiveInt();
    return values;
  }
  // Sends a command code, then Line (when given) and Extra; reads Count integers back.
  static V Ask(test::TRawClient& peer, std::int32_t code, std::size_t count,
               const std::string& line = "", const V& extra = {}) {
    peer.SendInt(code);
    if (!line.empty()) peer.Send(line + "\r\n");
    for (std::int32_t value : extra) peer.SendInt(value);
    return Ints(peer, count);
  }
  // A refused command 4 or 5 without stream records: each section's name and integers.
  static void ExpectSections(test::TRawClient& peer, std::int32_t code,
                             const std::vector<std::pair<std::string, V>>& sections) {
    EXPECT_EQ(Ask(peer, code, 2), (V{0, static_cast<std::int32_t>(sections.size())}));
    for (const auto& [name, ints] : sections) {
      EXPECT_EQ(peer.ReceiveLine(), name);
      EXPECT_EQ(Ints(peer, ints.size()), ints) << name;
    }
  }

  TidZarnelRelayServer FServer{0};
};

TEST_F(RelayServerTest, WithoutHooksEveryCommandGetsTheNoHookAnswer) {
  auto peer = Open();
  for (const auto& [code, reply] : std::vector<std::pair<std::int32_t, V>>{
           {1, {0, 0}}, {0, {1, 0}}, {256, {1, 0}}, {4, {0, 0}}, {7, {0}}})
    EXPECT_EQ(Ask(*peer, code, reply.size()), reply) << code;  // 256 acts as 0, 7 is unknown
  EXPECT_EQ(Ask(*peer, 2, 4, "SOMEGAME"), (V{0, -1, 0, 0}));
  EXPECT_EQ(Ask(*peer, 3, 1, "GAME", {2, 10, 20}), V{0});
  ExpectSections(*peer, 5, {{"GAME", {1}}});       // streams not done: nothing more
  ExpectSections(*peer, 0x7F04, {{"GAME", {1}}});  // no section hook: no stream records
  EXPECT_EQ(Ask(*peer, 7, 1), V{0});               // no stray bytes before it
}

// A session still in a hook when deactivation gives up on it: the relay server's destructor
// waits for it before the hooks go (ASan reports the hook's captures used after free otherwise).
TEST(RelayServerTeardown, DestructorWaitsForASessionThatOutlivedDeactivation) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> entered;
  std::atomic<bool> hookDone{false};
  auto server = std::make_unique<TidZarnelRelayServer>(0);
  server->TerminateWait = 50;
  server->OnGetGameList = [&, released,
                           name = std::string(64, 'G')](std::vector<std::string>& list) {
    entered.set_value();
    released.wait();
    list.push_back(name);  // touches the hook's own state after the wait
    hookDone = true;
  };
  server->SetActive(true);
  test::TRawClient peer(server->BoundPort());
  peer.SendInt(1);
  entered.get_future().wait();
  EXPECT_THROW(server->SetActive(false), EIdTerminateThreadTimeout);
  std::promise<pid_t> destroyer;
  std::thread destroying([&] {
    destroyer.set_value(test::ThisThread());
    server.reset();
  });
  // The hook goes on only once the destructor blocks: in its wait, or, were it not to wait,
  // past the hooks it freed.
  const pid_t id = destroyer.get_future().get();
  EXPECT_TRUE(test::WaitFor([&] { return test::Asleep(id); }));
  release.set_value();
  destroying.join();
  EXPECT_TRUE(hookDone);
}

class RelayBlocksTest : public RelayServerTest {
 protected:
  void SetUp() override {
    // Every section gets the same streams; the test tells the hook where they start.
    FServer.OnRelaySectionInfo = [this](const TRelaySectionRequest& request,
                                        std::int32_t& blockStart, std::int32_t& sectionSize,
                                        bool& sectionCompleted,
                                        std::unique_ptr<std::istream>& data) {
      const int stream = request.StreamIndex;
      if (stream == FMissingStream) return;
      data = std::make_unique<std::istringstream>(Payload(stream));
      data->seekg(FOffset.load());
      blockStart = FOffset;
      sectionSize = StreamBytes;
      sectionCompleted = FSectionCompleted;
    };
    // Toggles, to show that the hook receives the current state.
    FServer.OnRelayAuthorizeServer = [](const std::string& ip, bool, bool& authorized) {
      authorized = !authorized && ip == "127.0.0.1";
    };
    FServer.OnGetGameList = [](std::vector<std::string>& games) { games = {"ALPHA", "BETA"}; };
    FServer.OnGetGameInfo = [](const std::string& game, std::int32_t& section, bool& available,
                               bool& completed) {
      if (game == "OTHER") return;  // keeps the presets
      section = game == "ALPHA" ? 5 : 4;
      available = true;
      completed = game == "BETA";
    };
  }
  // Command 4 with the hook's streams at Offset: per section its name, then per stream its
  // data, or "-" when it sends none; a finished section has no stream entries.
  S Blocks(test::TRawClient& peer, std::int32_t offset) {
    FOffset = offset;
    S out;
    for (int i = Ask(peer, 4, 2)[1]; i > 0; --i) {
      out.push_back(peer.ReceiveLine());
      const bool sending = peer.ReceiveInt() == 1;
      for (int stream = 0; sending && stream < 2; ++stream) {
        if (peer.ReceiveInt() == 0) {
          out.push_back("-");
        } else {
          EXPECT_EQ(Ints(peer, 2), (V{offset, StreamBytes}));
          out.push_back(peer.Receive(static_cast<std::size_t>(peer.ReceiveInt())));
        }
      }
    }
    return out;
  }

  std::atomic<std::int32_t> FOffset{0};
  std::atomic<int> FMissingStream{-1};
  std::atomic<bool> FSectionCompleted{true};
};

TEST_F(RelayBlocksTest, HooksAnswerPerConnection) {
  auto peer = Open();
  auto other = Open();
  EXPECT_EQ(Ask(*peer, 0, 2), (V{1, 1}));
  EXPECT_EQ(Ask(*peer, 2, 4, "ALPHA"), (V{1, 5, 1, 0}));
  EXPECT_EQ(Ask(*peer, 2, 4, "OTHER"), (V{1, -1, 0, 0}));
  EXPECT_EQ(Ask(*other, 1, 2), (V{0, 2}));  // the other connection is not authorized
  EXPECT_EQ(other->ReceiveLine(), "ALPHA");
  EXPECT_EQ(other->ReceiveLine(), "BETA");
  EXPECT_EQ(Ask(*peer, 0, 2), (V{1, 0}));
  EXPECT_EQ(Ask(*peer, 7, 1), V{0});
}

TEST_F(RelayBlocksTest, TwoSectionsShareTheBudgetUntilTheirStreamsCompleteThenMoveOn) {
  auto peer = Open();
  Ask(*peer, 3, 1, "ALPHA", {0, 0, 0});
  Ask(*peer, 3, 1, "BETA", {3, 0, 0});
  const auto piece = [](int stream, int offset) { return Payload(stream).substr(offset, 12500); };
  for (std::int32_t at : {0, 12500, 25000, 37500})  // the last pieces hold 2500 bytes
    EXPECT_EQ(Blocks(*peer, at),
              (S{"ALPHA", piece(0, at), piece(1, at), "BETA", piece(0, at), piece(1, at)}));
  EXPECT_EQ(Blocks(*peer, StreamBytes), (S{"ALPHA", "-", "-", "BETA", "-", "-"}));
  // Newest first: BETA has reached the game's end, ALPHA moves on to its next section.
  ExpectSections(*peer, 5, {{"BETA", {1, 1}}, {"ALPHA", {1, 0}}});
  EXPECT_EQ(Blocks(*peer, 0), (S{"ALPHA", piece(0, 0), piece(1, 0), "BETA"}));
  ExpectSections(*peer, 5, {{"BETA", {0}}, {"ALPHA", {1}}});
  EXPECT_EQ(Ask(*peer, 7, 1), V{0});
}

TEST_F(RelayBlocksTest, PeerStartsHookFlagsAndAZeroShareAreHonoured) {
  FServer.BlockSize = 1;
  FSectionCompleted = false;
  auto peer = Open();
  Ask(*peer, 3, 1, "ALPHA", {0, StreamBytes - 1, StreamBytes - 2});
  const std::string last[] = {Payload(0).substr(StreamBytes - 1),
                              Payload(1).substr(StreamBytes - 1)};
  EXPECT_EQ(Blocks(*peer, StreamBytes - 1), (S{"ALPHA", last[0], last[1]}));
  EXPECT_EQ(Blocks(*peer, StreamBytes - 1), (S{"ALPHA", "-", last[1]}));
  // Both streams went out in full, but the hook did not call the section complete.
  ExpectSections(*peer, 5, {{"ALPHA", {1}}});
  FMissingStream = 0;
  Ask(*peer, 3, 1, "BETA", {0, 0, 0});
  // Two sections share one byte: an empty block, not the whole stream.
  EXPECT_EQ(Blocks(*peer, 0), (S{"ALPHA", "-", "-", "BETA", "-", ""}));
  EXPECT_EQ(Ask(*peer, 7, 1), V{0});
}

class RelayThreadTest : public ::testing::Test {
 protected:
  RelayThreadTest() {
    // The upstream holds every link open, so only the relay side can close it.
    FUpstream.OnExecute = [this](TIdPeerThread& t) {
      ++FLinks;
      t.Connection().ReadLn();
    };
    FUpstream.SetActive(true);
  }
  std::unique_ptr<TRelayThread> MakeThread(TLog& log) {
    return std::make_unique<TRelayThread>("127.0.0.1:" + std::to_string(FUpstream.BoundPort()),
                                          log);
  }
  S Messages() const { return test::LogMessages(FDir / "zarnel.log"); }
  // Waits for Count log lines of a link started after Since; returns a time before the last of
  // them was written.
  TClock::time_point WaitForMessages(std::size_t count, TClock::time_point since) {
    EXPECT_TRUE(test::WaitFor(
        [&] {
          const auto now = TClock::now();
          if (Messages().size() >= count) return true;
          since = now;
          return false;
        },
        std::chrono::seconds(30)));
    return since;
  }
  std::string Host() const { return "127.0.0.1:" + std::to_string(FUpstream.BoundPort()); }

  test::TTempDir FDir;
  TLog FLog{FDir / "zarnel.log"};
  std::atomic<int> FLinks{0};
  TIdTCPServer FUpstream{0};
};

TEST_F(RelayThreadTest, ConnectsAndClosesAtOnceThenRetriesAfterThePause) {
  MakeThread(FLog)->WaitFor();  // never started: returns at once and logs nothing
  TLog broken(FDir / "missing/zarnel.log");
  auto unlogged = MakeThread(broken);  // a log that cannot be written must not stop the link
  auto thread = MakeThread(FLog);
  const auto started = TClock::now();
  unlogged->Start();
  thread->Start();
  const auto pausing = WaitForMessages(5, started);  // then the link pauses
  EXPECT_GE(TClock::now() - started, ReconnectPause);
  thread->DisconnectSocket();
  thread->Terminate();
  thread->WaitFor();
  // Cut short: waited out, the pause would have ended no earlier than this.
  EXPECT_LT(TClock::now() - pausing, ReconnectPause);
  EXPECT_TRUE(test::WaitFor([&] { return FLinks >= 4; }));  // the unlogged link connects too
  EXPECT_EQ(Messages(), (S{"Relay: Connected to " + Host(), "Relay: Disconnected from " + Host(),
                           "Relay: Attempting Reconnection...", "Relay: Connected to " + Host(),
                           "Relay: Disconnected from " + Host()}));
  // Every line carries the relay thread's own number.
  std::set<int> numbers;
  for (const auto& line : test::SplitLines(test::ReadFile(FDir / "zarnel.log")))
    numbers.insert(std::stoi(line.substr(line.find('[') + 1)));
  EXPECT_THAT(numbers, ElementsAre(AllOf(Ne(0), Ne(CurrentThreadNumber()))));
}

TEST_F(RelayThreadTest, RefusedAttemptsAreLoggedAndRetriedUntilDestroyed) {
  FUpstream.SetActive(false);  // nothing listens on its port any more
  auto thread = MakeThread(FLog);
  const auto started = TClock::now();
  thread->Start();
  const auto pausing = WaitForMessages(3, started);  // then the link pauses
  thread.reset();                                    // in the middle of the pause
  EXPECT_LT(TClock::now() - pausing, ReconnectPause);
  const std::string refused = "Relay Exception :- Socket Error # 111";
  EXPECT_THAT(Messages(), ElementsAre(StartsWith(refused), "Relay: Attempting Reconnection...",
                                      StartsWith(refused)));
}

}  // namespace

namespace {

TEST_F(RelayServerTest, ClosesAConnectionThatAsksForTooManySections) {
  std::atomic<int> logged{0};
  FServer.OnLog = [&](std::int32_t, const std::string& message) {
    if (message == "Relay client closed: more than 1024 relayed sections 127.0.0.1") ++logged;
  };
  auto peer = Open();
  std::string adds;
  for (int i = 0; i < TidZarnelRelayServer::MaxRelayedSections; ++i)
    adds += std::string("\0\0\0\3GAME\r\n", 10) + std::string(12, '\0');
  peer->Send(adds);
  EXPECT_EQ(Ints(*peer, TidZarnelRelayServer::MaxRelayedSections),
            V(TidZarnelRelayServer::MaxRelayedSections, 0));
  // The list is whole: the next command is still served.
  EXPECT_EQ(Ask(*peer, 2, 4, "GAME"), (V{0, -1, 0, 0}));
  EXPECT_EQ(Ask(*peer, 3, 1, "GAME", {0}), V{0});
  EXPECT_TRUE(peer->ClosedByPeer());
  EXPECT_EQ(logged, 1);
}

TEST_F(RelayServerTest, ASessionEndedByAnErrorSaysWhy) {
  std::mutex lock;
  S lines;
  FServer.OnLog = [&](std::int32_t, const std::string& message) {
    std::lock_guard<std::mutex> hold(lock);
    lines.push_back(message);
  };
  auto peer = Open();
  peer->SendInt(2);  // a game name longer than any line may be
  peer->Send(std::string(TIdTCPConnection::MaxLineLength + 1, 'G'));
  const S said{"Relay client connected 127.0.0.1", "Relay client disconnected",
               "Relay Server Exception:- Max line length exceeded."};
  const auto logged = [&] {
    std::lock_guard<std::mutex> hold(lock);
    return lines;
  };
  EXPECT_TRUE(test::WaitFor([&] { return logged() == said; })) << PrintToString(logged());
  FServer.SetActive(false);  // no session is left to log into the lines
}

}  // namespace
