#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "store/IniFile.h"
#include "support/TestSupport.h"

namespace {

class IniFileTest : public ::testing::Test {
 protected:
  test::TTempDir FDir;
  const std::string FName = FDir / "test.ini";

  mode_t CurrentUmask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
  }
  mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  }
};

TEST_F(IniFileTest, ParsesLineEndsTrimmingCommentsAndNul) {
  test::WriteFile(FName, std::string("orphan=1\r\n[ settings ]\r\n  key  =  a b = c  \r\n"
                                     "; comment\r\n\r\nloose text\rcr=1\n[Settings]\nkey=X\n"
                                     "[tail]\nbefore=1") +
                             '\0' + "\n[tail]\nafter=1\n");
  TIniFile ini(FName);
  EXPECT_EQ(ini.ReadString("settings", "key", "-"), "a b = c");
  EXPECT_EQ(ini.ReadInteger("settings", "cr", 0), 1);
  EXPECT_EQ(ini.ReadString("settings", "orphan", "-"), "-");
  EXPECT_EQ(ini.ReadString("tail", "after", "-"), "-");
  EXPECT_EQ(
      ini.Text(),
      "[settings]\nkey=a b = c\nloose text\ncr=1\n\n[Settings]\nkey=X\n\n[tail]\nbefore=1\n\n");
}

TEST_F(IniFileTest, DuplicatesResolveToTheLaterOne) {
  test::WriteFile(FName, "[s]\nx=1\nx=2\n[t]\nk=a\n[s]\ny=3\n");
  TIniFile ini(FName);
  EXPECT_EQ(ini.ReadString("s", "x", "-"), "-");  // the later [s] hides the earlier one
  EXPECT_EQ(ini.ReadInteger("s", "y", 0), 3);
  ini.WriteInteger("s", "y", -4);
  ini.WriteString("new", "v", " spaced ");
  ini.WriteBool("t", "b", true);
  EXPECT_EQ(ini.Text(), "[s]\nx=1\nx=2\n\n[t]\nk=a\nb=1\n\n[s]\ny=-4\n\n[new]\nv= spaced \n\n");

  test::WriteFile(FName, "[s]\nx=1\nx=2\n");
  TIniFile one(FName);
  EXPECT_EQ(one.ReadInteger("s", "x", 0), 2);
  one.WriteInteger("s", "x", 9);
  EXPECT_EQ(one.Text(), "[s]\nx=1\nx=9\n\n");
}

TEST_F(IniFileTest, IntegerConversion) {
  // clang-format off
  const std::pair<const char*, std::int32_t> cases[] = {
      {"0x1A", 26}, {"0X1a", 26}, {"$1A", 26}, {"x1A", 26}, {"  42", 42}, {"+5", 5},
      {"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX}, {"2147483648", 7},
      {"-2147483649", 7}, {"26abc", 7}, {"", 7}, {"-", 7}, {"0x", 7}, {"$", 7}, {"1 ", 7},
      {"$FFFFFFFF", -1}, {"0x80000000", INT32_MIN}, {"$100000000", 7}, {"true", 7}};
  // clang-format on
  for (const auto& [text, expected] : cases) {
    std::int32_t value = 7;
    if (!TryStrToInt(text, value)) value = 7;
    EXPECT_EQ(value, expected) << "'" << text << "'";
  }
  test::WriteFile(FName, "[b]\ntwo=2\nword=true\nzero=0\n");
  TIniFile ini(FName);
  EXPECT_TRUE(ini.ReadBool("b", "two", false));
  EXPECT_TRUE(ini.ReadBool("b", "word", true));
  EXPECT_FALSE(ini.ReadBool("b", "word", false));
  EXPECT_FALSE(ini.ReadBool("b", "zero", true));
}

TEST_F(IniFileTest, MissingFileIsEmptyAndUnreadableFileRaises) {
  EXPECT_EQ(TIniFile(FDir / "none.ini").Text(), "");
  EXPECT_EQ(TIniFile("").ReadInteger("a", "b", 3), 3);
  try {
    TIniFile ini(FDir.Path() + ".");  // a directory exists but cannot be read as a file
    FAIL() << "no error";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file " + FDir.Path() + ".");
  }
}

TEST_F(IniFileTest, SaveCreatesWithUmaskAndKeepsModeOfReplacedFile) {
  TIniFile ini(FName);
  ini.WriteInteger("s", "a", 1);
  ini.SaveFile();
  EXPECT_EQ(test::ReadFile(FName), "[s]\na=1\n\n");
  EXPECT_EQ(ModeOf(FName), 0666 & ~CurrentUmask());

  chmod(FName.c_str(), 0604);
  TIniFile again(FName);
  again.WriteInteger("s", "a", 2);
  again.SaveFile();
  EXPECT_EQ(test::ReadFile(FName), "[s]\na=2\n\n");
  EXPECT_EQ(ModeOf(FName), 0604u);
  EXPECT_EQ(test::ListDir(FDir.Path()), std::vector<std::string>{"test.ini"});
}

TEST_F(IniFileTest, FailedSaveLeavesOldFileWhole) {
  TIniFile missing(FDir / "nodir/x.ini");
  missing.WriteInteger("s", "a", 1);
  EXPECT_THROW(
      {
        try {
          missing.SaveFile();
        } catch (const EFCreateError& e) {
          EXPECT_EQ(std::string(e.what()), "Cannot create file " + FDir / "nodir/x.ini");
          throw;
        }
      },
      EFCreateError);

  // A file size limit makes the write fail part way, as a full disk would.
  test::WriteFile(FName, "[old]\nkept=1\n");
  TIniFile ini(FName);
  ini.WriteString("s", "long", std::string(4096, 'v'));
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 100;
  auto* oldHandler = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_THROW(ini.SaveFile(), EFCreateError);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(test::ReadFile(FName), "[old]\nkept=1\n");
  EXPECT_EQ(test::ListDir(FDir.Path()), std::vector<std::string>{"test.ini"});
}

}  // namespace
