#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "relay/UnitidZarnelRelayServer.h"
#include "support/TestSupport.h"

namespace {

using V = std::vector<std::int32_t>;
constexpr std::int32_t StreamBytes = 40000;

// Distinct bytes per stream index, so a record carrying the wrong stream shows.
std::string Payload(int stream) {
  std::string data(StreamBytes, '\0');
  for (int i = 0; i < StreamBytes; ++i) data[i] = static_cast<char>('a' + (i + 13 * stream) % 26);
  return data;
}

// A stream that counts its own release, to check the server frees every returned stream.
class TCountedStream : public std::istringstream {
 public:
  TCountedStream(const std::string& data, std::atomic<int>& released)
      : std::istringstream(data), FReleased(released) {}
  ~TCountedStream() override { ++FReleased; }

 private:
  std::atomic<int>& FReleased;
};

class RelayServerTest : public ::testing::Test {
 protected:
  void TearDown() override { FServer.SetActive(false); }
  // Activates the server (hooks are assigned before) and connects a peer.
  std::unique_ptr<test::TRawClient> Open() {
    if (!FServer.Active()) FServer.SetActive(true);
    return std::make_unique<test::TRawClient>(FServer.BoundPort());
  }
  static V Ints(test::TRawClient& peer, int count) {
    V values;
    while (count-- > 0) values.push_back(peer.ReceiveInt());
    return values;
  }
  // Sends a command code, then Line (when given) and Extra; reads Count integers back.
  static V Ask(test::TRawClient& peer, std::int32_t code, int count, const std::string& line = "",
               const V& extra = {}) {
    peer.SendInt(code);
    if (!line.empty()) peer.Send(line + "\r\n");
    for (std::int32_t value : extra) peer.SendInt(value);
    return Ints(peer, count);
  }
  // An unknown command answers with the acknowledgement alone; a stray byte of an earlier
  // reply would show up in its place.
  static V InStep(test::TRawClient& peer) {
    const V first = Ask(peer, 7, 1);
    return V{first[0], Ask(peer, 7, 1)[0]};
  }

  TidZarnelRelayServer FServer{0};
};

TEST_F(RelayServerTest, WithoutHooksEveryCommandGetsTheNoHookAnswer) {
  auto peer = Open();
  EXPECT_EQ(Ask(*peer, 1, 2), (V{0, 0}));
  EXPECT_EQ(Ask(*peer, 0, 2), (V{1, 0}));
  EXPECT_EQ(Ask(*peer, 256, 2), (V{1, 0}));  // only the low 8 bits select the command
  EXPECT_EQ(Ask(*peer, 2, 4, "SOMEGAME"), (V{0, -1, 0, 0}));
  EXPECT_EQ(Ask(*peer, 4, 2), (V{0, 0}));
  EXPECT_EQ(Ask(*peer, 3, 1, "GAME", {2, 10, 20}), V{0});
  EXPECT_EQ(Ask(*peer, 5, 2), (V{0, 1}));
  EXPECT_EQ(peer->ReceiveLine(), "GAME");
  EXPECT_EQ(Ints(*peer, 1), V{1});  // not completed; streams not done, so nothing more
  EXPECT_EQ(Ask(*peer, 0x7F04, 2), (V{0, 1}));
  EXPECT_EQ(peer->ReceiveLine(), "GAME");
  EXPECT_EQ(Ints(*peer, 1), V{1});  // no section hook: no stream records
  EXPECT_EQ(InStep(*peer), (V{0, 0}));
}

TEST_F(RelayServerTest, HooksAnswerPerConnection) {
  std::mutex lock;
  std::vector<std::string> addresses;  // guarded by lock
  FServer.OnAuthorizeServer = [&](const std::string& ip, bool& authorized) {
    std::lock_guard<std::mutex> guard(lock);
    addresses.push_back(ip);
    authorized = !authorized;  // shows that the hook receives the current state
  };
  FServer.OnGetGameList = [](std::vector<std::string>& games) { games = {"ALPHA", "BETA"}; };
  FServer.OnGetGameInfo = [](const std::string& game, std::int32_t& section, bool& available,
                             bool&) {
    if (game != "ALPHA") return;  // anything else keeps the presets
    section = 7;
    available = true;
  };
  auto peer = Open();
  auto other = Open();
  EXPECT_EQ(Ask(*peer, 0, 2), (V{1, 1}));
  EXPECT_EQ(Ask(*peer, 2, 4, "ALPHA"), (V{1, 7, 1, 0}));
  EXPECT_EQ(Ask(*peer, 2, 4, "OTHER"), (V{1, -1, 0, 0}));
  EXPECT_EQ(Ask(*other, 1, 2), (V{0, 2}));  // the other connection is not authorized
  EXPECT_EQ(other->ReceiveLine(), "ALPHA");
  EXPECT_EQ(other->ReceiveLine(), "BETA");
  EXPECT_EQ(Ask(*peer, 0, 2), (V{1, 0}));
  EXPECT_EQ(InStep(*peer), (V{0, 0}));
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(addresses, (std::vector<std::string>{"127.0.0.1", "127.0.0.1"}));
}

class RelayBlocksTest : public RelayServerTest {
 protected:
  void SetUp() override {
    // The hook cannot see which section it serves, so the test tells it where to start.
    FServer.OnSectionInfo = [this](std::int32_t stream, std::int32_t& blockStart,
                                   std::int32_t& sectionSize, bool& sectionCompleted,
                                   std::unique_ptr<std::istream>& data) {
      if (stream == FMissingStream) return;
      ++FCreated;
      data = std::make_unique<TCountedStream>(Payload(stream), FReleased);
      data->seekg(FOffset.load());
      blockStart = FOffset;
      sectionSize = StreamBytes;
      sectionCompleted = FSectionCompleted;
    };
    FServer.OnGetGameInfo = [](const std::string& game, std::int32_t& section, bool&,
                               bool& completed) {
      section = game == "ALPHA" ? 5 : 4;
      completed = game == "BETA";
    };
  }
  void TearDown() override {
    EXPECT_TRUE(test::WaitFor([this] { return FReleased == FCreated; }));
    RelayServerTest::TearDown();
  }
  // Command 4 with the hook's streams at Offset: checks each section's head, reads its records
  // as (block start, section size, data) per stream that sends, or "-" per stream that does not.
  std::vector<std::string> SendBlocks(test::TRawClient& peer, std::int32_t offset,
                                      const std::vector<std::string>& games, const V& sending) {
    FOffset = offset;
    std::vector<std::string> records;
    EXPECT_EQ(Ask(peer, 4, 2), (V{0, static_cast<std::int32_t>(games.size())}));
    for (std::size_t i = 0; i < games.size(); ++i) {
      EXPECT_EQ(peer.ReceiveLine(), games[i]);
      EXPECT_EQ(Ints(peer, 1), V{sending[i]});
      for (int stream = 0; stream < 2 && sending[i]; ++stream) {
        if (Ints(peer, 1) == V{0}) {
          records.push_back("-");
          continue;
        }
        const V head = Ints(peer, 3);
        EXPECT_EQ(head[0], offset);
        EXPECT_EQ(head[1], StreamBytes);
        records.push_back(peer.Receive(static_cast<std::size_t>(head[2])));
      }
    }
    return records;
  }

  std::atomic<int> FCreated{0};
  std::atomic<int> FReleased{0};
  std::atomic<std::int32_t> FOffset{0};
  std::atomic<int> FMissingStream{-1};
  std::atomic<bool> FSectionCompleted{true};
};

TEST_F(RelayBlocksTest, TwoSectionsShareTheBudgetUntilTheirStreamsComplete) {
  auto peer = Open();
  Ask(*peer, 3, 1, "ALPHA", {0, 0, 0});
  Ask(*peer, 3, 1, "BETA", {3, 0, 0});
  for (std::int32_t offset : {0, 12500, 25000, 37500}) {
    const auto piece = [&](int stream) { return Payload(stream).substr(offset, 12500); };
    EXPECT_EQ(SendBlocks(*peer, offset, {"ALPHA", "BETA"}, {1, 1}),
              (std::vector<std::string>{piece(0), piece(1), piece(0), piece(1)}));
  }
  EXPECT_EQ(SendBlocks(*peer, StreamBytes, {"ALPHA", "BETA"}, {1, 1}),
            std::vector<std::string>(4, "-"));
  // Newest first: BETA has reached the game's end, ALPHA moves on to section 1.
  EXPECT_EQ(Ask(*peer, 5, 2), (V{0, 2}));
  EXPECT_EQ(peer->ReceiveLine(), "BETA");
  EXPECT_EQ(Ints(*peer, 2), (V{1, 1}));
  EXPECT_EQ(peer->ReceiveLine(), "ALPHA");
  EXPECT_EQ(Ints(*peer, 2), (V{1, 0}));
  EXPECT_EQ(SendBlocks(*peer, 0, {"ALPHA", "BETA"}, {1, 0}),
            (std::vector<std::string>{Payload(0).substr(0, 12500), Payload(1).substr(0, 12500)}));
  EXPECT_EQ(Ask(*peer, 5, 2), (V{0, 2}));
  EXPECT_EQ(peer->ReceiveLine(), "BETA");
  EXPECT_EQ(Ints(*peer, 1), V{0});
  EXPECT_EQ(peer->ReceiveLine(), "ALPHA");
  EXPECT_EQ(Ints(*peer, 1), V{1});  // its new streams are not done
  EXPECT_EQ(InStep(*peer), (V{0, 0}));
}

TEST_F(RelayBlocksTest, PeerBlockStartsLimitWhatIsSentAndCompletionFollowsTheHook) {
  FSectionCompleted = false;
  auto peer = Open();
  Ask(*peer, 3, 1, "ALPHA", {0, StreamBytes - 1000, StreamBytes - 1000});
  EXPECT_EQ(SendBlocks(*peer, StreamBytes - 1000, {"ALPHA"}, {1}),
            (std::vector<std::string>{Payload(0).substr(39000), Payload(1).substr(39000)}));
  // Both streams went out in full, but the section was not reported complete.
  EXPECT_EQ(Ask(*peer, 5, 2), (V{0, 1}));
  EXPECT_EQ(peer->ReceiveLine(), "ALPHA");
  EXPECT_EQ(Ints(*peer, 1), V{1});
  EXPECT_EQ(InStep(*peer), (V{0, 0}));
  FMissingStream = 0;
  Ask(*peer, 3, 1, "BETA", {0, 0, 0});
  EXPECT_EQ(SendBlocks(*peer, 0, {"ALPHA", "BETA"}, {1, 1}),
            (std::vector<std::string>{"-", "-", "-", Payload(1).substr(0, 12500)}));
}

TEST_F(RelayBlocksTest, ABudgetTooSmallToShareSendsEmptyBlocksNotWholeStreams) {
  FServer.BlockSize = 1;
  auto peer = Open();
  Ask(*peer, 3, 1, "ALPHA", {0, 0, 0});
  Ask(*peer, 3, 1, "BETA", {0, 0, 0});
  EXPECT_EQ(SendBlocks(*peer, 0, {"ALPHA", "BETA"}, {1, 1}), std::vector<std::string>(4, ""));
  EXPECT_EQ(InStep(*peer), (V{0, 0}));
}

}  // namespace
