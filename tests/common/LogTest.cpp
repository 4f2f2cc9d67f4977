// The event log: layout, printable text, re-creation, concurrent writers, a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <regex>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "support/TestSupport.h"

namespace {

// Standard error goes to the file Path for as long as this lives.
class TStderrCapture {
 public:
  explicit TStderrCapture(std::string path) : FPath(std::move(path)) {
    std::fflush(stderr);
    FSaved = ::dup(STDERR_FILENO);
    const int fd = ::open(FPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, STDERR_FILENO);
    ::close(fd);
  }
  ~TStderrCapture() {
    std::fflush(stderr);
    ::dup2(FSaved, STDERR_FILENO);
    ::close(FSaved);
  }
  TStderrCapture(const TStderrCapture&) = delete;
  TStderrCapture& operator=(const TStderrCapture&) = delete;
  std::vector<std::string> Lines() const { return test::SplitLines(test::ReadFile(FPath)); }

 private:
  std::string FPath;
  int FSaved = -1;
};

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
  TStderrCapture err(dir / "stderr");
  EXPECT_NO_THROW(bad.WriteLog(0, "x"));
  EXPECT_EQ(err.Lines(), std::vector<std::string>{"zarnel: cannot write the log " + bad.FileName() +
                                                  ": No such file or directory, lines are lost "
                                                  "until it can"});
  // A log without a name stores nothing, and so loses nothing worth a report.
  TLog none("");
  none.WriteLog(0, "y");
  EXPECT_EQ(err.Lines().size(), 1u);
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

TEST(LogFullDiskTest, LinesAreStoredWholeOrLostAndEachEpisodeIsReportedOnce) {
  test::TPrivateTmpfs disk(1 << 20);
  if (!disk.Available()) GTEST_SKIP() << disk.Reason();
  test::TTempDir dir;
  TStderrCapture err(dir / "stderr");
  TLog log(disk / "zarnel.log");
  // The first line leaves 10 bytes of its page: a full disk still takes that much of the next.
  const std::string first(4096 - 10 - 40, 'a');
  log.WriteLog(0, first);
  const std::string before = test::ReadFile(log.FileName());
  ASSERT_EQ(before.size(), 4086u);

  disk.Fill();
  for (int i = 0; i < 3; ++i) EXPECT_NO_THROW(log.WriteLog(1, "lost " + std::string(100, 'x')));
  EXPECT_EQ(test::ReadFile(log.FileName()), before);
  disk.Free();
  log.WriteLog(2, "back");
  log.WriteLog(3, "again");
  // Longer than the room left in the last page, which the disk has already given the log.
  disk.Fill();
  log.WriteLog(4, std::string(5000, 'y'));
  disk.Free();
  log.WriteLog(5, "last");

  const std::string text = test::ReadFile(log.FileName());
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(test::LogMessages(log.FileName()),
            (std::vector<std::string>{first, "back", "again", "last"}));
  const std::string lost = "zarnel: cannot write the log " + log.FileName() +
                           ": No space left on device, lines are lost until it can";
  const std::string again = "zarnel: the log " + log.FileName() + " is written again";
  EXPECT_EQ(err.Lines(), (std::vector<std::string>{lost, again + " (3 lines lost)", lost,
                                                   again + " (1 line lost)"}));
}

}  // namespace
