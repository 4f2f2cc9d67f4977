// Reading zarnel.ini: defaults, values, conversions.
#include <fcntl.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

#include "store/SettingsFile.h"
#include "support/TestSupport.h"

namespace {

// The settings on one line: the numbers, the four flags, then the texts between bars.
std::string Show(const TSettings& s) {
  std::ostringstream out;
  out << s.FilmMaxConnections << ' ' << s.ViewMaxConnections << ' ' << s.BandwidthBuffer << ' '
      << s.BandwidthNormal << ' ' << s.ViewerAuth << s.Debug << s.RelayEnabled << s.AllowRelays
      << '|' << s.RelayServer << '|' << s.RelayPassword << '|' << s.FilmPassword << '|'
      << s.AdminPassword;
  return out.str();
}

TEST(SettingsTest, DefaultsValuesAndConversions) {
  test::TTempDir dir;
  const std::string path = dir / "zarnel.ini";
  const std::string defaults = "50 200 50000 7000 0000||||";
  EXPECT_EQ(Show(LoadSettings(path)), defaults);
  const std::pair<std::string, std::string> cases[] = {
      {"[settings]\nFilmMaxConnections=0x20\nViewMaxConnections=0\nBandwidthBuffer=$10\n"
       "BandwidthNormal= 123 \nViewerAuth=true\nDebug=2\nRelayEnabled=1\nAllowRelays=-1\n"
       "RelayServer=up.example\nRelayPassword=r p\nfilmpass=film\nAdminPassword=adm=in\n",
       "32 0 16 123 0111|up.example|r p|film|adm=in"},
      // Names match with their case; budgets of zero or less take the defaults.
      {"[Settings]\nfilmpass=x\n", defaults},
      {"[settings]\nFilmPass=x\n", defaults},
      {"; comment\n[settings]\r\n  Debug = 1  \nBandwidthBuffer=0\nBandwidthNormal=-5\n\n",
       "50 200 50000 7000 0100||||"}};
  for (const auto& [text, expected] : cases) {
    test::WriteFile(path, text);
    EXPECT_EQ(Show(LoadSettings(path)), expected) << text;
    EXPECT_EQ(test::ReadFile(path), text);  // loading never writes the file
  }
}

TEST(SettingsTest, RetentionKeysTakeTheirDefaultsUnlessTheyConvert) {
  test::TTempDir dir;
  const std::string path = dir / "zarnel.ini";
  const auto show = [&] {
    const TSettings s = LoadSettings(path);
    return std::to_string(s.KeepDays) + " " + std::to_string(s.StoreLimitMB) + " " +
           std::to_string(s.MinFreeMB);
  };
  EXPECT_EQ(show(), "0 0 256");
  const std::pair<std::string, std::string> cases[] = {
      {"[settings]\nKeepDays=30\nStoreLimitMB=0x400\nMinFreeMB=$10\n", "30 1024 16"},
      // Zero or less is kept as written: it means "never", "no limit", "no floor".
      {"[settings]\nKeepDays=-1\nStoreLimitMB=0\nMinFreeMB=0\n", "-1 0 0"},
      {"[settings]\nKeepDays=a week\nStoreLimitMB=\nMinFreeMB=99999999999\n", "0 0 256"},
      {"[settings]\nkeepdays=7\nStorelimitMB=5\nMINFREEMB=1\n", "0 0 256"}};
  for (const auto& [text, expected] : cases) {
    test::WriteFile(path, text);
    EXPECT_EQ(show(), expected) << text;
  }
}

// What the server does with a file at start and on a reload: the reason it refuses one, or
// the settings and the lines it logs about them.
std::string StartAndReload(const std::string& path) {
  std::string out;
  for (const auto load : {&LoadSettingsAtStart, &LoadSettingsForReload}) {
    try {
      std::vector<std::string> notes;
      const TSettings s = load(path, notes);
      out += Show(s) + " " + std::to_string(s.StatusPort);
      for (const std::string& note : notes) out += " / " + note;
    } catch (const std::exception& e) {
      out += e.what();
    }
    out += "\n";
  }
  return out;
}

TEST(SettingsTest, AFileTheServerCannotTrustIsRefusedWithTheReason) {
  using namespace std::string_literals;
  test::TTempDir dir;
  const std::string path = dir / "zarnel.ini";
  EXPECT_EQ(StartAndReload(path),
            "50 200 50000 7000 0000|||| 28500\nCannot find file " + path + "\n");
  const std::string noSection = "No [settings] section in " + path;
  const std::pair<std::string, std::string> cases[] = {
      // A byte-order mark is no part of the first line.
      {"\xEF\xBB\xBF[settings]\nAdminPassword=pw\nStatusPort=65535\n",
       "50 200 50000 7000 0000||||pw 65535\n50 200 50000 7000 0000||||pw 65535\n"},
      // The INI reader stops at a NUL: the passwords after it would be lost without a word.
      {"[settings]\nViewMaxConnections=5\n\0\nAdminPassword=pw\n"s,
       "Unreadable settings file " + path +
           ": NUL byte in line 3\n"
           "Unreadable settings file " +
           path + ": NUL byte in line 3\n"},
      {"[settings]\r\nfilmpass=a\x1b[1m\r\n", "Unreadable settings file " + path +
                                                  ": control character in line 2\n"
                                                  "Unreadable settings file " +
                                                  path + ": control character in line 2\n"},
      {"[Settings]\nAdminPassword=pw\n",
       noSection + " (found [Settings]; section names are matched with case)\n" + noSection + "\n"},
      {"", noSection + "\n" + noSection + "\n"},
      {"\xEF\xBB\xBF; only a comment\n[other]\nAdminPassword=pw\n",
       noSection + "\n" + noSection + "\n"},
      {"[settings]\nStatusPort=70000\n",
       "StatusPort 70000 in " + path + " is not a port (1 to 65535; 0 or less: no status page)\n" +
           "StatusPort 70000 in " + path +
           " is not a port (1 to 65535; 0 or less: no status page)\n"},
      // A budget is at most 1 MiB a cycle; what was clamped is said.
      {"[settings]\nBandwidthBuffer=0x7fffffff\nBandwidthNormal=1048576\nStatusPort=-1\n",
       "50 200 1048576 1048576 0000|||| -1 / BandwidthBuffer 2147483647 clamped to 1048576\n"
       "50 200 1048576 1048576 0000|||| -1 / BandwidthBuffer 2147483647 clamped to 1048576\n"},
      {"[settings]\nBandwidthNormal=1048577\nStatusPort=0\n",
       "50 200 50000 1048576 0000|||| 0 / BandwidthNormal 1048577 clamped to 1048576\n"
       "50 200 50000 1048576 0000|||| 0 / BandwidthNormal 1048577 clamped to 1048576\n"}};
  for (const auto& [text, expected] : cases) {
    test::WriteFile(path, text);
    EXPECT_EQ(StartAndReload(path), expected) << text;
  }
}

// Overwrites Path in place, as an editor that does not replace the file: truncated, then the
// first half and the second half, a moment apart.
void WriteInPlace(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC);
  ASSERT_GE(fd, 0);
  const std::size_t half = text.size() / 2;
  ASSERT_EQ(::write(fd, text.data(), half), static_cast<ssize_t>(half));
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_EQ(::write(fd, text.data() + half, text.size() - half),
            static_cast<ssize_t>(text.size() - half));
  ::close(fd);
}

TEST(SettingsTest, AReloadNeverTakesAFileHalfWritten) {
  test::TTempDir dir;
  const std::string path = dir / "zarnel.ini";
  // Each half of either file holds a key, so a half-written file shows in the values.
  const std::string files[] = {"[settings]\nViewMaxConnections=111\nAdminPassword=alpha\n",
                               "[settings]\nViewMaxConnections=222\nAdminPassword=bravo\n"};
  test::WriteFile(path, files[0]);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; i < 16; ++i) {
      WriteInPlace(path, files[i % 2]);
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    writing = false;
  });
  int taken = 0;
  std::vector<std::string> wrong;
  while (writing) {
    std::vector<std::string> notes;
    try {
      const TSettings s = LoadSettingsForReload(path, notes);
      const std::string seen = std::to_string(s.ViewMaxConnections) + " " + s.AdminPassword;
      if (seen != "111 alpha" && seen != "222 bravo") wrong.push_back(seen);
      ++taken;
    } catch (const std::exception&) {
      // Refusing a file that is being written is fine; taking part of it is not.
    }
  }
  writer.join();
  EXPECT_THAT(wrong, testing::IsEmpty());
  EXPECT_GT(taken, 0);

  // A file that never holds still for the wait is refused, with the reason. (On a loaded
  // machine the writer may stall long enough for two reads to agree: the file is then taken,
  // or, caught emptied and not yet written, refused for that.)
  writing = true;
  std::thread busy([&] {
    for (int i = 1000; writing; ++i) {
      WriteInPlace(path, "[settings]\nViewMaxConnections=" + std::to_string(i) + "\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::vector<std::string> notes;
  try {
    LoadSettingsForReload(path, notes);
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(),
                testing::AnyOf(path + " kept changing while it was read (10 reads 100 ms apart)",
                               "No [settings] section in " + path));
  }
  writing = false;
  busy.join();
}

}  // namespace
