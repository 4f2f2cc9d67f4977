#include "server/Log.h"

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  test::TTempDir dir;
  std::string path = dir / "zarnel.log";
  TLog log{path};
};

TEST_F(LogTest, LineLayoutAndPrintable) {
  EXPECT_FALSE(test::FileExists(path));
  log.WriteLog(0, "Server Started");
  log.WriteLog(-12345, "a\tb\rc\nd\x7f" "e\xff");
  log.WriteLog(1234567890, "");
  const auto lines = test::SplitLines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 3u);
  const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} )");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_search(l.substr(0, 20), stamp)) << l;
  EXPECT_EQ(lines[0].substr(19), " [               0] Server Started");
  EXPECT_EQ(lines[1].substr(19), " [          -12345] a b c d e ");
  EXPECT_EQ(lines[2].substr(19), " [      1234567890] ");
}

TEST_F(LogTest, MakePrintableKeepsLength) {
  EXPECT_EQ(MakePrintable(std::string("x\0y", 3)), "x y");
  EXPECT_EQ(MakePrintable("~ !"), "~ !");
}

TEST_F(LogTest, DeletedLogStartsAnew) {
  log.WriteLog(0, "one");
  std::remove(path.c_str());
  log.WriteLog(0, "two");
  EXPECT_EQ(test::LogMessages(path), std::vector<std::string>{"two"});
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
  const std::string body(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) log.WriteLog(t, body);
    });
  for (auto& t : threads) t.join();
  const auto messages = test::LogMessages(path);
  ASSERT_EQ(messages.size(), 400u);
  for (const auto& m : messages) EXPECT_EQ(m, body);
}

TEST_F(LogTest, UnwritableLogRaises) {
  TLog bad(dir / "missing/zarnel.log");
  EXPECT_THROW(bad.WriteLog(0, "x"), std::system_error);
}

}  // namespace
