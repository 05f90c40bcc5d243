// The settings file as the operator's disk may really hold it: binary junk, a
// file of 10 MB, a line of 100 000 characters, a file nobody may read, a folder, a
// link to an endless device or to a pipe. Reading never crashes or hangs and gives
// the defaults where the value is no number; a write refuses what it would damage.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <random>

#include "app/settings_file.h"
#include "test_support.h"

namespace korva {
namespace {

using dud::test::ReadFileBytes;
using dud::test::ScopedTempDir;
using dud::test::WriteFileBytes;

struct Read {
  bool save;
  int32_t port;
};

// Reads "save" and "port" as the window's start does, on a thread of its own, so
// that a read that hangs fails the test instead of stopping the suite.
Read ReadWithin(const std::string& path, int seconds = 20) {
  auto result = std::async(std::launch::async, [path] {
    SettingsFile ini(path);
    const bool save = ini.ReadBool("com", "save", true);
    return Read{save, save ? ini.ReadInteger("com", "port", 0) : 0};
  });
  if (result.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
    ADD_FAILURE() << "reading " << path << " did not end within " << seconds << " s";
    std::_Exit(1);  // the hung reader cannot be stopped
  }
  return result.get();
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(random() & 0xFF);
  return s;
}

class SettingsHostile : public ::testing::Test {
 protected:
  ScopedTempDir dir;
  std::string path = dir.File("settings.ini");
};

TEST_F(SettingsHostile, BinaryAndHugeContentReadsWhatIsThereAndDefaultsTheRest) {
  const std::string junk = RandomBytes(64 * 1024, 7);
  const std::string long_digits(100000, '7');
  struct Case {
    const char* what;
    std::string content;
    Read expected;
  } cases[] = {
      {"binary junk only", std::string("\0\x01\xff[com\x00]\r\r\n", 11) + RandomBytes(4096, 1), {true, 0}},
      {"binary around a good section", junk + "\n[com]\r\nport=5\r\n" + junk, {true, 5}},
      {"binary value", "[com]\nsave=\x01\x02\nport=\xff\xfe" + std::string(1, '\0') + "9\n", {true, 0}},
      {"zero bytes inside a value", std::string("[com]\nport=4\0" "2\n", 15), {true, 0}},
      {"100 000 digits", "[com]\nport=" + long_digits + "\n", {true, 0}},
      {"100 000 letters as save", "[com]\nsave=" + std::string(100000, 'x') + "\nport=6\n", {true, 6}},
      {"100 000-character key before the real one", "[com]\n" + std::string(100000, 'k') + "=1\nport=8\n", {true, 8}},
      {"100 000-character section name", "[" + std::string(100000, 's') + "]\nport=1\n[com]\nport=9\n", {true, 9}},
      {"100 000 blanks then a number", "[com]\nport=" + std::string(100000, ' ') + "11\n", {true, 11}},
      {"save=0 behind junk", junk + "\n[com]\nsave=0\nport=5\n", {false, 0}},
      {"only line ends", std::string(200000, '\n'), {true, 0}},
      {"only brackets", std::string(200000, '['), {true, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(WriteFileBytes(path, c.content));
    const Read got = ReadWithin(path);
    EXPECT_EQ(got.save, c.expected.save);
    EXPECT_EQ(got.port, c.expected.port);
  }
}

TEST_F(SettingsHostile, TenMegabyteFileIsReadWholeAndKeptWholeByAWrite) {
  std::string content;
  content.reserve(10 * 1024 * 1024 + 64);
  while (content.size() < 10 * 1024 * 1024) content += "; filler line of a very long settings file..................\r\n";
  content += "[com]\r\nport=7\r\n";
  ASSERT_TRUE(WriteFileBytes(path, content));
  EXPECT_EQ(ReadWithin(path).port, 7) << "the key after 10 MB is found";

  SettingsFile(path).WriteInteger("com", "port", 12);
  const std::string after = ReadFileBytes(path);
  EXPECT_EQ(after.size(), content.size() + 1) << "only the value changed";
  EXPECT_EQ(after.compare(0, content.size() - 8, content, 0, content.size() - 8), 0);
  EXPECT_EQ(ReadWithin(path).port, 12);
}

TEST_F(SettingsHostile, FileAboveTheBoundIsNeitherReadNorRewritten) {
  // Larger than any settings file: reading it whole is refused, and so is a write
  // that would have to rewrite it.
  std::string content = "[com]\nport=3\n";
  content.resize(17 * 1024 * 1024, ';');
  ASSERT_TRUE(WriteFileBytes(path, content));
  EXPECT_EQ(ReadWithin(path).port, 0);
  EXPECT_THROW(SettingsFile(path).WriteInteger("com", "port", 4), ESettingsWrite);
  EXPECT_EQ(std::filesystem::file_size(path), content.size()) << "the file is left as it was";
}

TEST_F(SettingsHostile, FolderNamedLikeTheFileGivesDefaultsAndRefusesTheWrite) {
  ASSERT_TRUE(std::filesystem::create_directory(path));
  ASSERT_TRUE(WriteFileBytes(path + "/inside", "keep"));
  EXPECT_EQ(ReadWithin(path).port, 0);
  EXPECT_TRUE(ReadWithin(path).save);
  EXPECT_THROW(SettingsFile(path).WriteInteger("com", "port", 4), ESettingsWrite);
  EXPECT_TRUE(std::filesystem::is_directory(path));
  EXPECT_EQ(ReadFileBytes(path + "/inside"), "keep");
}

TEST_F(SettingsHostile, LinkToAnEndlessDeviceGivesDefaultsAtOnceAndIsNeverReplaced) {
  for (const char* device : {"/dev/zero", "/dev/urandom", "/dev/null"}) {
    SCOPED_TRACE(device);
    std::filesystem::remove(path);
    std::filesystem::create_symlink(device, path);
    const Read got = ReadWithin(path);
    EXPECT_TRUE(got.save);
    EXPECT_EQ(got.port, 0);
    // A write would rename a new file over the device (root may): refused instead.
    EXPECT_THROW(SettingsFile(path).WriteInteger("com", "port", 4), ESettingsWrite);
    EXPECT_TRUE(std::filesystem::is_character_file(device)) << device << " must stay a device";
    EXPECT_TRUE(std::filesystem::is_symlink(path));
  }
}

TEST_F(SettingsHostile, LinkToAPipeWithoutWriterDoesNotWaitForOne) {
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink(fifo, path);
  const Read got = ReadWithin(path);
  EXPECT_TRUE(got.save);
  EXPECT_EQ(got.port, 0);
  EXPECT_THROW(SettingsFile(path).WriteInteger("com", "port", 4), ESettingsWrite);
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
}

// A file that cannot be read gives the defaults, and a write must not replace it
// with a file that holds only the new key. Root reads every file, so as root the
// reading runs under the unprivileged user "nobody".
TEST_F(SettingsHostile, UnreadableFileGivesDefaultsAndIsNotOverwritten) {
  ASSERT_TRUE(WriteFileBytes(path, "[com]\r\nport=9\r\n[other]\r\nkeep=1\r\n"));
  ASSERT_EQ(chmod(path.c_str(), 0), 0);
  ASSERT_EQ(chmod(dir.path().c_str(), 0777), 0);  // "nobody" must reach the folder
  uid_t as = geteuid();
  if (as == 0) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "running as root and there is no user \"nobody\" to read as";
    as = nobody->pw_uid;
    ASSERT_EQ(seteuid(as), 0) << "cannot take the identity of nobody";
  }
  const Read got = ReadWithin(path);
  bool threw = false;
  try {
    SettingsFile(path).WriteInteger("com", "port", 4);
  } catch (const ESettingsWrite&) {
    threw = true;
  }
  if (geteuid() != getuid()) {
    ASSERT_EQ(seteuid(getuid()), 0);
  }
  EXPECT_TRUE(got.save);
  EXPECT_EQ(got.port, 0);
  EXPECT_TRUE(threw);
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  EXPECT_EQ(ReadFileBytes(path), "[com]\r\nport=9\r\n[other]\r\nkeep=1\r\n") << "the file is untouched";
}

}  // namespace
}  // namespace korva
