#include "app/settings_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

namespace korva {
namespace {

using dud::test::ReadFileBytes;
using dud::test::ScopedTempDir;
using dud::test::WriteFileBytes;

TEST(SettingsInteger, ReadingRules) {
  struct Case {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      {"3", true, 3},           {"0x3", true, 3},        {"0X1f", true, 31},       {"$3", true, 3},
      {"$ff", true, 255},       {"-5", true, -5},        {"+7", true, 7},          {"65539", true, 65539},
      {"0xFFFFFFFF", true, -1}, {"0", true, 0},          {"3x", false, 0},         {"", false, 0},
      {"0x", false, 0},         {"$", false, 0},         {"ja", false, 0},         {" 3", false, 0},
      {"0x-1", false, 0},       {"0x100000000", false, 0}, {"2147483648", false, 0}, {"$g", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    int32_t v = 12345;
    EXPECT_EQ(ParseSettingsInteger(c.text, v), c.ok);
    EXPECT_EQ(v, c.ok ? c.value : 12345) << "a failed parse leaves the value alone";
  }
}

class SettingsFileTest : public ::testing::Test {
 protected:
  ScopedTempDir dir;
  std::string path = dir.File("settings.ini");
};

TEST_F(SettingsFileTest, MissingFileGivesDefaultsAndCreatesNothing) {
  SettingsFile s(path);
  EXPECT_TRUE(s.ReadBool("com", "save", true));
  EXPECT_EQ(s.ReadInteger("com", "port", 0), 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0) << "reading must not create the file";
}

TEST_F(SettingsFileTest, StoredValuesFollowTheReadingRules) {
  struct Case {
    const char* content;
    bool save;
    int32_t port;
  } cases[] = {
      {"[com]\r\nport=0x3\r\n", true, 3},   {"[com]\nport=$3\n", true, 3},
      {"[com]\nport=3x\n", true, 0},        {"[com]\nport=65539\n", true, 65539},
      {"[com]\nsave=0\nport=4\n", false, 4}, {"[com]\nsave=ja\n", true, 0},
      {"[com]\nsave=-5\n", true, 0},        {"[COM]\nPORT=7\n", true, 7},
      {"[other]\nport=9\n", true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content);
    ASSERT_TRUE(WriteFileBytes(path, c.content));
    SettingsFile s(path);
    EXPECT_EQ(s.ReadBool("com", "save", true), c.save);
    EXPECT_EQ(s.ReadInteger("com", "port", 0), c.port);
  }
}

TEST_F(SettingsFileTest, WritingKeepsOtherSectionsAndKeysAndCreatesTheFile) {
  SettingsFile s(path);
  s.WriteInteger("com", "port", 3);
  EXPECT_EQ(s.ReadInteger("com", "port", 0), 3);
  EXPECT_NE(ReadFileBytes(path).find("[com]"), std::string::npos);

  ASSERT_TRUE(WriteFileBytes(path, "; comment\r\n[other]\r\nx=1\r\n[com]\r\nsave=1\r\nport=2\r\n"));
  s.WriteInteger("com", "port", 12);
  std::string after = ReadFileBytes(path);
  EXPECT_NE(after.find("; comment"), std::string::npos);
  EXPECT_NE(after.find("[other]"), std::string::npos);
  EXPECT_NE(after.find("x=1"), std::string::npos);
  EXPECT_NE(after.find("save=1"), std::string::npos);
  EXPECT_EQ(s.ReadInteger("com", "port", 0), 12);
  EXPECT_EQ(after.find("port=2\r"), std::string::npos) << "the old value must be replaced, not kept";
}

TEST_F(SettingsFileTest, UnwritableFolderRaisesTheGermanMessage) {
  std::string sub = dir.File("locked");
  ASSERT_EQ(mkdir(sub.c_str(), 0500), 0);
  std::string locked = sub + "/settings.ini";
  if (access(sub.c_str(), W_OK) == 0) {
    // Root writes everywhere; a path through a regular file fails for everybody.
    ASSERT_TRUE(WriteFileBytes(dir.File("plain"), "x"));
    locked = dir.File("plain") + "/settings.ini";
  }
  SettingsFile blocked(locked);
  try {
    blocked.WriteInteger("com", "port", 3);
    FAIL() << "no exception";
  } catch (const ESettingsWrite& e) {
    EXPECT_EQ(std::string(e.what()), "In " + locked + " kann nicht geschrieben werden");
  }
}

}  // namespace
}  // namespace korva
