// The event log: layout, printable text, re-creation, concurrent writers.
#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "support/TestSupport.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  test::TTempDir dir;
  std::string path = dir / "zarnel.log";
  TLog log{path};
};

TEST_F(LogTest, LineLayoutPrintableTextAndRecreation) {
  EXPECT_FALSE(test::FileExists(path));
  log.WriteLog(0, "Server Started");
  log.WriteLog(-12345,
               "a\tb\rc\nd\x7f"
               "e\xff");
  log.WriteLog(1234567890, std::string("~\0 !", 4));
  const auto lines = test::SplitLines(test::ReadFile(path));
  ASSERT_EQ(lines.size(), 3u);
  const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2})");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_match(l.substr(0, 19), stamp)) << l;
  EXPECT_EQ(lines[0].substr(19), " [               0] Server Started");
  EXPECT_EQ(lines[1].substr(19), " [          -12345] a b c d e ");
  EXPECT_EQ(lines[2].substr(19), " [      1234567890] ~  !");

  std::remove(path.c_str());
  log.WriteLog(0, "two");
  EXPECT_EQ(test::LogMessages(path), std::vector<std::string>{"two"});
  TLog bad(dir / "missing/zarnel.log");
  EXPECT_THROW(bad.WriteLog(0, "x"), std::system_error);
}

TEST_F(LogTest, ConcurrentWritersNeverInterleave) {
  const std::string body(300, 'x');
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) log.WriteLog(t, body);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(test::LogMessages(path), std::vector<std::string>(400, body));
}

}  // namespace
