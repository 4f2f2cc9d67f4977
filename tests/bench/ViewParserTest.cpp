// The load generator's reading of a view stream: where cycles begin and end, what the budget
// allowed, and which streams it refuses as broken.
#include "bench/ViewParser.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "bench/BenchUtil.h"

namespace {

using bench::PutInt;

class TRecorder : public bench::TViewSink {
 public:
  void CycleStart(std::int64_t now) override { starts.push_back(now); }
  void Announce(int streams) override { announced.push_back(streams); }
  void Chunk(int slot, std::int64_t offset, std::int32_t announced, std::int32_t length,
             std::int64_t) override {
    chunks.push_back({slot, offset, announced, length});
  }
  void CycleEnd(std::int64_t bytes, std::int64_t expected) override {
    ends.emplace_back(bytes, expected);
  }
  std::vector<std::int64_t> starts;
  std::vector<int> announced;
  std::vector<std::vector<std::int64_t>> chunks;
  std::vector<std::pair<std::int64_t, std::int64_t>> ends;
};

void Data(std::string& s, int slot, int len) {
  PutInt(s, slot);
  PutInt(s, 0);
  PutInt(s, len);
  s.append(std::size_t(len), 'x');
}

void Complete(std::string& s, int slot) {
  PutInt(s, slot);
  PutInt(s, 1);
}

// A finished section of two streams (5000 and 3000 bytes) under a 4000-byte budget, the
// server's order of cycles, and the game-complete code after it. Returns the byte offset at
// which each cycle begins.
std::vector<std::size_t> SectionStream(std::string& s) {
  std::vector<std::size_t> begins;
  begins.push_back(s.size());
  PutInt(s, 2);
  for (int v : {0, 7, 5000, 1, 0, 3000}) PutInt(s, v);
  begins.push_back(s.size());
  Data(s, 0, 2000);
  Data(s, 1, 1500);  // short: the budget allowed 2000
  begins.push_back(s.size());
  PutInt(s, -1);  // no new data for slot 0 this cycle
  Data(s, 1, 1500);
  begins.push_back(s.size());
  Data(s, 0, 2000);
  Complete(s, 1);
  begins.push_back(s.size());
  Data(s, 0, 1000);  // slot 1's share went to slot 0
  begins.push_back(s.size());
  Complete(s, 0);
  begins.push_back(s.size());
  PutInt(s, -1);
  return begins;
}

TEST(ViewParserTest, FindsCyclesBudgetsAndSectionsWhateverTheReadBoundaries) {
  std::string s;
  auto begins = SectionStream(s);
  const std::vector<std::pair<std::int64_t, std::int64_t>> ends = {
      {0, 0}, {3500, 4000}, {1500, 3500}, {2000, 2000}, {1000, 1000}, {0, 0}, {0, 0}};
  auto bytes = reinterpret_cast<const unsigned char*>(s.data());

  TRecorder whole;
  bench::TViewParser one(4000, 4000, 0, 0);
  ASSERT_TRUE(one.Feed(bytes, s.size(), 42, whole));
  EXPECT_EQ(whole.ends, ends);
  EXPECT_EQ(whole.announced, std::vector<int>{2});
  EXPECT_EQ(whole.starts.size(), begins.size());
  EXPECT_EQ(one.Section(), 1);
  ASSERT_EQ(whole.chunks.size(), 5u);
  EXPECT_EQ(whole.chunks[3], (std::vector<std::int64_t>{0, 2000, 5000, 2000}));

  // Byte by byte, each cycle starts at the time of its own first byte.
  TRecorder split;
  bench::TViewParser each(4000, 4000, 0, 0);
  for (std::size_t i = 0; i < s.size(); ++i) ASSERT_TRUE(each.Feed(bytes + i, 1, i, split));
  EXPECT_EQ(split.ends, ends);
  EXPECT_EQ(split.starts, std::vector<std::int64_t>(begins.begin(), begins.end()));
}

TEST(ViewParserTest, BufferBudgetOnlyNearTheStartSection) {
  // Requested at section 4 from start 0: already past the buffered sections.
  std::string s;
  PutInt(s, 1);
  for (int v : {0, 0, 100000}) PutInt(s, v);
  Data(s, 0, 7000);
  TRecorder r;
  bench::TViewParser p(50000, 7000, 0, 4);
  ASSERT_TRUE(p.Feed(reinterpret_cast<const unsigned char*>(s.data()), s.size(), 0, r));
  EXPECT_EQ(r.ends.back(), (std::pair<std::int64_t, std::int64_t>{7000, 7000}));
}

TEST(ViewParserTest, RefusesBrokenStreams) {
  auto fails = [](const std::string& s) {
    TRecorder r;
    bench::TViewParser p(7000, 7000, 0, 0);
    return !p.Feed(reinterpret_cast<const unsigned char*>(s.data()), s.size(), 0, r) &&
           p.Error() != nullptr;
  };
  std::string unavailable;
  PutInt(unavailable, -2);
  EXPECT_TRUE(fails(unavailable));
  std::string tooMany;
  PutInt(tooMany, 4);
  EXPECT_TRUE(fails(tooMany));
  std::string closedSlot;
  PutInt(closedSlot, 1);
  for (int v : {0, 0, 10}) PutInt(closedSlot, v);
  Complete(closedSlot, 0);
  PutInt(closedSlot, 0);  // the section is over: 0 is a keep-alive here, fine
  PutInt(closedSlot, 2);
  for (int v : {0, 0, 10, 1, 0, 10}) PutInt(closedSlot, v);
  Data(closedSlot, 2, 5);  // slot 2 was never announced
  EXPECT_TRUE(fails(closedSlot));
  std::string kind;
  PutInt(kind, 1);
  for (int v : {0, 0, 10, 0, 9}) PutInt(kind, v);
  EXPECT_TRUE(fails(kind));
}

}  // namespace
