// The streaming state machine over real sockets, in its 1000 ms cycles: small files and low
// budgets keep the number of cycles down.
#include <thread>

#include "ViewTestSupport.h"
#include "film/FilmService.h"

namespace {

using viewtest::Bytes;
using V = std::vector<std::int32_t>;

// Stream data files this process holds open.
int OpenStreamFiles() {
  int count = 0;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd", ec))
    count +=
        std::filesystem::read_symlink(fd.path(), ec).filename().string().rfind("stream_", 0) == 0;
  return count;
}

class ViewStreamingTest : public viewtest::TViewFixture {
 protected:
  void SetUp() override { Start(); }
  std::unique_ptr<test::TRawClient> Request(const std::string& fields) {
    auto c = Connect();
    c->Send("REQUEST\t" + fields + "\r\n");
    return c;
  }
  static V Ints(test::TRawClient& c, int count) {
    V v;
    for (int i = 0; i < count; ++i) v.push_back(c.ReceiveInt());
    return v;
  }
  static void ExpectChunk(test::TRawClient& c, std::int32_t slot, const std::string& data) {
    ASSERT_EQ(Ints(c, 3), (V{slot, 0, static_cast<std::int32_t>(data.size())}));
    EXPECT_EQ(c.Receive(data.size()), data);
  }
};

TEST_F(ViewStreamingTest, FinishedGameMessageByMessageUntilHidden) {
  const std::string data = Bytes(12000, 0x01020304);
  WriteSection("GAME", 0, {{0, data}});
  auto c = Request("GAME\t0\t0\tFALSE");
  EXPECT_EQ(Ints(*c, 4), (V{1, 0, 0x01020304, 12000}));
  c->SendInt(0);
  ExpectChunk(*c, 0, data);
  EXPECT_EQ(Ints(*c, 3), (V{0, 1, -1}));
  FStore.WriteAvailable("GAME", false);
  std::int32_t message;
  while ((message = c->ReceiveInt()) == -1) {
  }
  EXPECT_EQ(message, -2);
  EXPECT_TRUE(c->ClosedByPeer());
  EXPECT_TRUE(test::WaitFor([&] { return FStore.ReadViewers("GAME") == 0; }));
}

TEST_F(ViewStreamingTest, OpenStreamsShareTheBudgetAndInheritCompletedShares) {
  FSettings.BandwidthNormal = 100;
  const std::string demo = Bytes(200, 9), audio = Bytes(50, 0, 3);
  WriteSection("G", 4, {{0, demo}, {1, audio}});
  auto c = Request("G\t0\t4");  // four sections past the start: the normal budget
  EXPECT_EQ(Ints(*c, 7), (V{2, 0, 9, 200, 1, 0, 50}));
  c->SendInt(0);
  c->SendInt(0);
  ExpectChunk(*c, 0, demo.substr(0, 50));
  ExpectChunk(*c, 1, audio);
  // Between cycles the sender keeps positions, not open files.
  EXPECT_TRUE(test::WaitFor([] { return OpenStreamFiles() == 0; }));
  ExpectChunk(*c, 0, demo.substr(50, 50));
  EXPECT_EQ(Ints(*c, 2), (V{1, 1}));
  ExpectChunk(*c, 0, demo.substr(100, 100));
  EXPECT_EQ(Ints(*c, 2), (V{0, 1}));
}

TEST_F(ViewStreamingTest, SectionDistanceHeaderZoomAndResumeOffsets) {
  FSettings.BandwidthBuffer = 250;
  FSettings.BandwidthNormal = 100;
  std::vector<std::string> data;
  for (int s = 0; s <= 6; ++s) {
    data.push_back(Bytes(250, s, s));
    WriteSection("D", s, {{0, data[s], 50}});
  }
  // Start, current, resume offset.
  auto near = Request("D\t2\t5"), far = Request("D\t2\t6"), from0 = Request("D\t3\t3"),
       atEnd = Request("D\t3\t3"), past = Request("D\t3\t3"), negative = Request("D\t3\t3");
  std::int32_t offsets[] = {0, 0, 100, 250, 251, -1};
  test::TRawClient* viewers[] = {near.get(),  far.get(),  from0.get(),
                                 atEnd.get(), past.get(), negative.get()};
  for (int i = 0; i < 6; ++i) {
    const std::int32_t section = i == 0 ? 5 : i == 1 ? 6 : 3;
    EXPECT_EQ(Ints(*viewers[i], 4), (V{1, 0, section, section == 3 ? 250 : 200})) << i;
    viewers[i]->SendInt(offsets[i]);
  }
  ExpectChunk(*near, 0, data[5].substr(50, 200));
  ExpectChunk(*far, 0, data[6].substr(50, 100));
  ExpectChunk(*from0, 0, data[3].substr(100));
  EXPECT_EQ(Ints(*atEnd, 2), (V{0, 1}));
  EXPECT_TRUE(past->ClosedByPeer());
  EXPECT_TRUE(negative->ClosedByPeer());
  EXPECT_TRUE(Logged("View Exception:- Tried to resume outside valid data range"));
}

TEST_F(ViewStreamingTest, AudioOnlyNumbersSlotsWithoutTheDemo) {
  FSettings.BandwidthBuffer = 60;
  const std::string audio = Bytes(80, 0, 5);
  // The Demo header is not on disk yet: only an audio-only viewer gets the section.
  WriteSection("A", 0, {{0, Bytes(100, 1), 1000}, {1, audio}});
  WriteSection("S", 0, {{0, std::string("\x05\x01", 2)}});
  auto c = Request("A\t0\t0\ttrue"), full = Request("A\t0\t0"), shortLead = Request("S\t0\t0");
  EXPECT_EQ(Ints(*shortLead, 4), (V{1, 0, 0x0105, 2}));  // the missing lead bytes read as 0
  EXPECT_EQ(Ints(*c, 4), (V{1, 1, 0, 80}));
  c->SendInt(0);
  ExpectChunk(*c, 0, audio.substr(0, 60));
  ExpectChunk(*c, 0, audio.substr(60));
  EXPECT_EQ(Ints(*full, 3), (V{0, 0, 0}));
}

TEST_F(ViewStreamingTest, LiveViewerGetsEveryByteOnceAndInOrder) {
  TFilmService film(FSettings, FLog, FStore);
  TIdTCPServer filmServer(0);
  filmServer.OnExecute = [&](TIdPeerThread& t) { film.Execute(t); };
  filmServer.SetActive(true);

  const std::vector<std::vector<viewtest::TSectionStream>> sections = {
      {{0, Bytes(3000, 11), 40}, {1, Bytes(1500, 0, 2)}}, {{0, Bytes(2000, 12), 40}, {1, ""}}};
  viewtest::TFilmer filmer(filmServer.BoundPort(), "", "live");
  ASSERT_TRUE(test::WaitFor([&] { return FStore.ReadAvailable("LIVE"); }));
  auto viewer = Request("live\t0\t0");
  std::thread upload([&] {
    for (int s = 0; s < 2; ++s) {
      filmer.Transmit(s, sections[s]);
      for (std::size_t at = 0; at < 3000; at += 250) {
        for (int i = 0; i < 2; ++i)
          if (at < sections[s][i].Data.size()) filmer.Block(i, sections[s][i].Data.substr(at, 250));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      filmer.End(0);
      filmer.End(1);
    }
    filmer.Completed();
  });
  const auto got = viewtest::WatchToEnd(*viewer, 0);
  upload.join();
  EXPECT_EQ(got.at({0, 0}), sections[0][0].Data);
  EXPECT_EQ(got.at({0, 1}), sections[0][1].Data);
  // A later section's Demo stream starts after its header.
  EXPECT_EQ(got.at({1, 0}), sections[1][0].Data.substr(40));
  EXPECT_EQ(got.count({1, 1}), 0u);
}

}  // namespace
