// Settings files: the reading rules (names without case, blanks and quotes, defaults,
// lists, truncation) and writes that change one line and keep every other byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "test_support.h"

namespace {

using dud::test::ReadFileBytes;
using dud::test::ScopedTempDir;
using dud::test::WriteFileBytes;

struct ReadCase {
  const char* name;
  const char* file;  // null: no file at all
  const char* section;
  const char* key;
  const char* def;
  const char* expected;
};

class ProfileRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(ProfileRead, GivesTheValueOrTheDefault) {
  const ReadCase& c = GetParam();
  ScopedTempDir dir;
  const std::string path = dir.File("settings.ini");
  if (c.file != nullptr) {
    ASSERT_TRUE(WriteFileBytes(path, c.file));
  }
  char buf[2048];
  std::memset(buf, 'x', sizeof buf);
  DWORD n = GetPrivateProfileStringA(c.section, c.key, c.def, buf, sizeof buf, path.c_str());
  EXPECT_EQ(std::string(buf), c.expected);
  EXPECT_EQ(n, std::strlen(c.expected));
}

const ReadCase kReadCases[] = {
    {"plain_crlf", "[com]\r\nport=3\r\n", "com", "port", "0", "3"},
    {"plain_lf", "[com]\nport=3\n", "com", "port", "0", "3"},
    {"no_final_line_end", "[com]\nport=3", "com", "port", "0", "3"},
    {"names_without_case", "[COM]\r\nPoRt=4\r\n", "Com", "pORT", "0", "4"},
    {"blanks_around_everything", "  [ com ]  \r\n\t port \t=  7 \t\r\n", "com", "port", "0", "7"},
    {"blanks_in_the_callers_names", "[com]\nport=8\n", " com ", " port ", "0", "8"},
    {"inner_blanks_kept", "[com]\nname = a  b \n", "com", "name", "", "a  b"},
    {"double_quotes_stripped", "[com]\nname=\" a b \"\n", "com", "name", "", " a b "},
    {"single_quotes_stripped", "[com]\nname='x'\n", "com", "name", "", "x"},
    {"unmatched_quote_kept", "[com]\nname=\"x\n", "com", "name", "", "\"x"},
    {"mixed_quotes_kept", "[com]\nname=\"x'\n", "com", "name", "", "\"x'"},
    {"empty_value", "[com]\nport=\n", "com", "port", "9", ""},
    {"hex_text_as_is", "[com]\nport=0x3\n", "com", "port", "0", "0x3"},
    {"dollar_text_as_is", "[com]\nport=$3\n", "com", "port", "0", "$3"},
    {"inline_semicolon_is_value", "[com]\nport=3 ; last\n", "com", "port", "0", "3 ; last"},
    {"first_of_duplicate_keys", "[com]\nport=1\nport=2\n", "com", "port", "0", "1"},
    {"right_section_only", "[a]\nport=1\n[com]\nport=2\n[b]\nport=3\n", "com", "port", "0", "2"},
    {"key_before_any_section", "port=5\n[com]\n", "com", "port", "0", "0"},
    {"commented_key_skipped", "[com]\n;port=9\nport=4\n", "com", "port", "0", "4"},
    {"commented_section_skipped", ";[com]\nport=9\n[com]\nsave=1\n", "com", "port", "0", "0"},
    {"missing_key_default", "[com]\nsave=1\n", "com", "port", "12", "12"},
    {"default_trailing_blanks_trimmed", "[com]\n", "com", "port", " 12 \t ", " 12"},
    {"null_default_is_empty", "[com]\n", "com", "port", nullptr, ""},
    {"missing_section_default", "[other]\nport=3\n", "com", "port", "0", "0"},
    {"missing_file_default", nullptr, "com", "port", "1", "1"},
    {"line_without_equals_is_no_key", "[com]\nport\n", "com", "port", "d", "d"},
    {"equals_in_value", "[com]\nexpr=a=b\n", "com", "expr", "", "a=b"},
};

INSTANTIATE_TEST_SUITE_P(Rules, ProfileRead, ::testing::ValuesIn(kReadCases),
                         [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

std::string AsText(const char* buf, DWORD n) { return std::string(buf, n); }

TEST(ProfileReadLimits, ValueCutToTheBufferReturnsWhatWasCopied) {
  ScopedTempDir dir;
  const std::string path = dir.File("s.ini");
  ASSERT_TRUE(WriteFileBytes(path, "[com]\r\nname=abcdef\r\n"));
  struct Case {
    DWORD size;
    const char* expected;
  };
  const Case cases[] = {{7, "abcdef"}, {6, "abcde"}, {4, "abc"}, {2, "a"}, {1, ""}};
  for (const auto& c : cases) {
    char buf[16];
    std::memset(buf, 'x', sizeof buf);
    DWORD n = GetPrivateProfileStringA("com", "name", "", buf, c.size, path.c_str());
    EXPECT_EQ(std::string(buf), c.expected) << c.size;
    EXPECT_EQ(n, std::strlen(c.expected)) << c.size;
  }
  char buf[4];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(GetPrivateProfileStringA("com", "gone", "defaultvalue", buf, sizeof buf, path.c_str()), 3u);
  EXPECT_EQ(std::string(buf), "def");
  EXPECT_EQ(GetPrivateProfileStringA("com", "name", "", buf, 0, path.c_str()), 0u);
  EXPECT_EQ(buf[0], 'd');  // a zero-sized buffer is not touched
}

TEST(ProfileReadLimits, NullNamesListKeysOrSectionsDoubleZeroTerminated) {
  ScopedTempDir dir;
  const std::string path = dir.File("s.ini");
  ASSERT_TRUE(WriteFileBytes(path, "[com]\r\nsave = 1\r\n;note=x\r\nport=3\r\n\r\n[ Other ]\r\nk=v\r\n"));
  char buf[64];
  DWORD n = GetPrivateProfileStringA("COM", nullptr, "", buf, sizeof buf, path.c_str());
  EXPECT_EQ(AsText(buf, n + 1), std::string("save\0port\0\0", 11));
  EXPECT_EQ(n, 10u);
  n = GetPrivateProfileStringA(nullptr, nullptr, "", buf, sizeof buf, path.c_str());
  EXPECT_EQ(AsText(buf, n + 1), std::string("com\0Other\0\0", 11));
  n = GetPrivateProfileStringA("none", nullptr, "default", buf, sizeof buf, path.c_str());
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(AsText(buf, 2), std::string("\0\0", 2));
  // Too small: cut, still ending in two zeros, and the result is the size less two.
  n = GetPrivateProfileStringA("com", nullptr, "", buf, 7, path.c_str());
  EXPECT_EQ(n, 5u);
  EXPECT_EQ(AsText(buf, 7), std::string("save\0\0\0", 7));
}

class ProfileWrite : public ::testing::Test {
 protected:
  std::string Read(const char* section, const char* key) {
    char buf[256];
    GetPrivateProfileStringA(section, key, "<none>", buf, sizeof buf, path_.c_str());
    return buf;
  }
  std::vector<std::string> Entries() {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path())) out.push_back(e.path().filename());
    return out;
  }
  ScopedTempDir dir_;
  const std::string path_ = dir_.File("settings.ini");
};

TEST_F(ProfileWrite, CreatesTheFileAndSection) {
  ASSERT_TRUE(WritePrivateProfileStringA("com", "port", "3", path_.c_str()));
  EXPECT_EQ(ReadFileBytes(path_), "[com]\r\nport=3\r\n");
  EXPECT_EQ(Read("com", "port"), "3");
  EXPECT_EQ(Entries(), std::vector<std::string>{"settings.ini"});  // no temporary left
}

struct EditCase {
  const char* name;
  const char* before;
  const char* section;
  const char* key;     // null: delete the section
  const char* value;   // null: delete the key
  const char* after;
};

class ProfileEdit : public ::testing::TestWithParam<EditCase> {};

TEST_P(ProfileEdit, ChangesOnlyItsLine) {
  const EditCase& c = GetParam();
  ScopedTempDir dir;
  const std::string path = dir.File("settings.ini");
  ASSERT_TRUE(WriteFileBytes(path, c.before));
  ASSERT_TRUE(WritePrivateProfileStringA(c.section, c.key, c.value, path.c_str()));
  EXPECT_EQ(ReadFileBytes(path), c.after);
}

const EditCase kEditCases[] = {
    {"replace_value_keeps_the_rest",
     "; my settings\n[other]\n  a = 1 \n\n[com]\nsave=1\nport = 2\n\n[last]\nz=9",
     "com", "port", "3",
     "; my settings\n[other]\n  a = 1 \n\n[com]\nsave=1\nport=3\n\n[last]\nz=9"},
    {"names_match_without_case", "[COM]\r\nPORT=1\r\n", "com", "port", "5", "[COM]\r\nPORT=5\r\n"},
    {"same_value_leaves_the_line", "[com]\r\n  port =  7  \r\n", "com", "port", "7", "[com]\r\n  port =  7  \r\n"},
    {"new_key_after_the_sections_last_entry", "[com]\nsave=1\n\n[b]\nx=1\n", "com", "port", "4",
     "[com]\nsave=1\nport=4\r\n\n[b]\nx=1\n"},
    {"new_key_in_empty_section", "[com]\r\n[b]\r\n", "com", "port", "4", "[com]\r\nport=4\r\n[b]\r\n"},
    {"new_key_in_last_section_without_line_end", "[com]\nsave=1", "com", "port", "4",
     "[com]\nsave=1\r\nport=4\r\n"},
    {"new_section_at_the_end", "[a]\nx=1\n", "com", "port", "4", "[a]\nx=1\n\r\n[com]\r\nport=4\r\n"},
    {"new_section_after_text_without_line_end", "[a]\nx=1", "com", "port", "4",
     "[a]\nx=1\r\n\r\n[com]\r\nport=4\r\n"},
    {"new_section_in_empty_file", "", "com", "port", "4", "[com]\r\nport=4\r\n"},
    {"commented_key_is_not_the_key", "[com]\n;port=1\n", "com", "port", "2", "[com]\n;port=1\nport=2\r\n"},
    {"delete_key", "[com]\nsave=1\nPort=2\nx=3\n", "com", "port", nullptr, "[com]\nsave=1\nx=3\n"},
    {"delete_missing_key_changes_nothing", "[com]\nsave=1\n", "com", "port", nullptr, "[com]\nsave=1\n"},
    {"delete_section", "[a]\nx=1\n[COM]\nport=2\n; inside\n[b]\ny=2\n", "com", nullptr, nullptr,
     "[a]\nx=1\n[b]\ny=2\n"},
    {"delete_missing_section_changes_nothing", "[a]\nx=1\n", "com", nullptr, nullptr, "[a]\nx=1\n"},
    {"value_written_as_given", "[com]\n", "com", "name", " a b ", "[com]\nname= a b \r\n"},
};

INSTANTIATE_TEST_SUITE_P(Rules, ProfileEdit, ::testing::ValuesIn(kEditCases),
                         [](const ::testing::TestParamInfo<EditCase>& info) { return std::string(info.param.name); });

TEST_F(ProfileWrite, DeletingFromAMissingFileCreatesNothing) {
  EXPECT_TRUE(WritePrivateProfileStringA("com", "port", nullptr, path_.c_str()));
  EXPECT_TRUE(WritePrivateProfileStringA("com", nullptr, nullptr, path_.c_str()));
  EXPECT_TRUE(Entries().empty());
}

TEST_F(ProfileWrite, WrittenValuesReadBack) {
  ASSERT_TRUE(WritePrivateProfileStringA("com", "port", "65539", path_.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("Com", "save", "0", path_.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("other", "port", "1", path_.c_str()));
  ASSERT_TRUE(WritePrivateProfileStringA("COM", "PORT", "7", path_.c_str()));
  EXPECT_EQ(Read("com", "port"), "7");
  EXPECT_EQ(Read("com", "save"), "0");
  EXPECT_EQ(Read("other", "port"), "1");
  EXPECT_EQ(ReadFileBytes(path_), "[com]\r\nport=7\r\nsave=0\r\n\r\n[other]\r\nport=1\r\n");
}

TEST_F(ProfileWrite, KeepsTheFilesPermissions) {
  ASSERT_TRUE(WriteFileBytes(path_, "[com]\nport=1\n"));
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  ASSERT_TRUE(WritePrivateProfileStringA("com", "port", "2", path_.c_str()));
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(ProfileWrite, ConcurrentWritersInOneProcessLoseNoKey) {
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t)
    writers.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) {
        std::string key = "k" + std::to_string(t) + "_" + std::to_string(i);
        EXPECT_TRUE(WritePrivateProfileStringA("com", key.c_str(), std::to_string(i).c_str(), path_.c_str()));
      }
    });
  for (auto& w : writers) w.join();
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(Read("com", ("k" + std::to_string(t) + "_" + std::to_string(i)).c_str()), std::to_string(i));
}

TEST_F(ProfileWrite, AMissingFolderFailsWithAPathError) {
  const std::string in_missing = dir_.File("nowhere/settings.ini");
  SetLastError(0);
  EXPECT_FALSE(WritePrivateProfileStringA("com", "port", "3", in_missing.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(WriteFileBytes(dir_.File("plainfile"), "x"));
  const std::string under_file = dir_.File("plainfile/settings.ini");
  EXPECT_FALSE(WritePrivateProfileStringA("com", "port", "3", under_file.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(ProfileWrite, AFolderWithoutWritePermissionFailsAndKeepsTheFile) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  ASSERT_TRUE(WriteFileBytes(path_, "[com]\nport=1\n"));
  ASSERT_EQ(chmod(dir_.path().c_str(), 0555), 0);
  SetLastError(0);
  EXPECT_FALSE(WritePrivateProfileStringA("com", "port", "3", path_.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  chmod(dir_.path().c_str(), 0755);
  EXPECT_EQ(ReadFileBytes(path_), "[com]\nport=1\n");
}

TEST_F(ProfileWrite, ArgumentsWindowsRefuses) {
  EXPECT_FALSE(WritePrivateProfileStringA(nullptr, "port", "3", path_.c_str()));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(WritePrivateProfileStringA("com", "port", "3", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(WritePrivateProfileStringA(nullptr, nullptr, nullptr, path_.c_str()));  // a flush: nothing to do
  EXPECT_TRUE(Entries().empty());
}

}  // namespace
