// Settings stores read from the file named by ZUCLOUD_CONFIG.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "ZUCloudAzureService.h"
#include "ZUCloudService.h"
#include "platform/host/ZuSettings.h"
#include "support/TestEnv.h"

namespace {

using zutest::ScopedEnv;
using zutest::TempDir;
using zutest::WriteFile;

const char kSample[] =
    "# deployment settings\n"
    "; written by hand\n"
    "   # indented comment = 1\n"
    "[GlobalParam]\n"
    "Cloud URL   =   https://console.example.test/base#frag  \n"
    "nMax = 2147483647\n"
    "nOver = 2147483648\n"
    "nMin = -2147483648\n"
    "nUnder = -2147483649\n"
    "nNeg = -5\n"
    "nPlus = +7\n"
    "nJunk = 12abc\n"
    "nEmpty =\n"
    "nInnerBlank = 1 2\n"
    "nPadded =    42   \n"
    "nSignOnly = -\n"
    "nHex = 0x10\n"
    "nDouble = --3\n"
    "Expression = a=b=c\n"
    "line without equals sign\n"
    "[UpdateFlags]\n"
    "nZero = 0\n"
    "nMaxULong = 18446744073709551615\n"
    "nOverULong = 18446744073709551616\n"
    "nNeg = -1\n"
    "nPlus = +3\n"
    "nJunk = 5x\n"
    "nEmpty =\n"
    "nInnerBlank = 4 5\n"
    "[Reports]\n"
    "Key With Blanks = 9\n"
    "; nCommented = 10\n"
    "# nHashed = 11\n";

class SettingsFileTest : public ::testing::Test {
 protected:
  void Use(const std::string& text) {
    WriteFile(m_dir.file("zucloud.conf"), text);
    m_env.emplace("ZUCLOUD_CONFIG", m_dir.file("zucloud.conf"));
  }
  TempDir m_dir;
  std::optional<ScopedEnv> m_env;
};

TEST_F(SettingsFileTest, GlobalParamStringsAreTrimmedAndKeysMayHoldBlanks) {
  Use(kSample);
  ZUGlobalParam params;
  std::string value = "unchanged";
  ASSERT_EQ(0, params.get("Cloud URL", value));
  // No inline comments: '#' inside a value is kept.
  EXPECT_EQ("https://console.example.test/base#frag", value);
  ASSERT_EQ(0, params.get("Expression", value));
  EXPECT_EQ("a=b=c", value);
  ASSERT_EQ(0, params.get("nEmpty", value));
  EXPECT_EQ("", value);
}

TEST_F(SettingsFileTest, NamesAreCaseSensitiveAndCommentsIgnored) {
  Use(kSample);
  ZUGlobalParam params;
  std::string value = "unchanged";
  EXPECT_NE(0, params.get("cloud url", value));
  EXPECT_NE(0, params.get("CLOUD URL", value));
  EXPECT_NE(0, params.get("# indented comment", value));
  EXPECT_NE(0, params.get("line without equals sign", value));
  EXPECT_EQ("unchanged", value);

  ZUPlatformInfo info;
  unsigned long number = 77;
  EXPECT_EQ(0, info.getNumber("updateflags", "nZero", &number));
  EXPECT_EQ(0, info.getNumber("UpdateFlags", "nzero", &number));
  EXPECT_EQ(0, info.getNumber("Reports", "nCommented", &number));
  EXPECT_EQ(0, info.getNumber("Reports", "nHashed", &number));
  EXPECT_EQ(77UL, number);
}

TEST_F(SettingsFileTest, IntGetFindsOnlyWholeSigned32BitDecimals) {
  Use(kSample);
  ZUGlobalParam params;
  struct Case {
    const char* key;
    bool found;
    int value;
  };
  const Case cases[] = {
      {"nMax", true, INT_MAX},   {"nMin", true, INT_MIN}, {"nNeg", true, -5},
      {"nPlus", true, 7},        {"nPadded", true, 42},   {"nOver", false, 0},
      {"nUnder", false, 0},      {"nJunk", false, 0},     {"nEmpty", false, 0},
      {"nInnerBlank", false, 0}, {"nSignOnly", false, 0}, {"nHex", false, 0},
      {"nDouble", false, 0},     {"Cloud URL", false, 0}, {"nMissing", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    int out = 12345;
    const int rc = params.get(c.key, out);
    if (c.found) {
      EXPECT_EQ(0, rc);
      EXPECT_EQ(c.value, out);
    } else {
      EXPECT_NE(0, rc);
      EXPECT_EQ(12345, out) << "output must stay unchanged";
    }
  }
}

TEST_F(SettingsFileTest, GetNumberFindsOnlyWholeUnsignedDecimals) {
  Use(kSample);
  ZUPlatformInfo info;
  unsigned long out = 99;
  ASSERT_EQ(1, info.getNumber("UpdateFlags", "nZero", &out));
  EXPECT_EQ(0UL, out);
  ASSERT_EQ(1, info.getNumber("UpdateFlags", "nMaxULong", &out));
  EXPECT_EQ(ULONG_MAX, out);
  ASSERT_EQ(1, info.getNumber("Reports", "Key With Blanks", &out));
  EXPECT_EQ(9UL, out);
  for (const char* key :
       {"nOverULong", "nNeg", "nPlus", "nJunk", "nEmpty", "nInnerBlank", "nMissing"}) {
    SCOPED_TRACE(key);
    out = 99;
    EXPECT_EQ(0, info.getNumber("UpdateFlags", key, &out));
    EXPECT_EQ(99UL, out);
  }
}

TEST_F(SettingsFileTest, SectionsKeepTheirKeysApart) {
  Use(kSample);
  ZUGlobalParam params;
  ZUPlatformInfo info;
  int n = -1;
  // nZero lives in [UpdateFlags], not in [GlobalParam].
  EXPECT_NE(0, params.get("nZero", n));
  // [GlobalParam] is not a platform-info section.
  unsigned long u = 5;
  EXPECT_EQ(0, info.getNumber("GlobalParam", "nMax", &u));
  EXPECT_EQ(0, info.getNumber("NoSuchSection", "nZero", &u));
  EXPECT_EQ(5UL, u);
  // The same key in two sections keeps two values.
  EXPECT_EQ(0, params.get("nNeg", n));
  EXPECT_EQ(-5, n);
  EXPECT_EQ(0, info.getNumber("UpdateFlags", "nNeg", &u));
}

TEST_F(SettingsFileTest, CrLfLineEndingsAndByteOrderMarkAreTolerated) {
  std::string text =
      "\xEF\xBB\xBF[GlobalParam]\r\nCloud URL = https://crlf.test\r\nnValue = 17\r\n"
      "[UpdateFlags]\r\nnCount = 3\r\n";
  Use(text);
  ZUGlobalParam params;
  std::string url;
  ASSERT_EQ(0, params.get("Cloud URL", url));
  EXPECT_EQ("https://crlf.test", url);
  int n = 0;
  ASSERT_EQ(0, params.get("nValue", n));
  EXPECT_EQ(17, n);
  unsigned long count = 0;
  ASSERT_EQ(1, ZUPlatformInfo().getNumber("UpdateFlags", "nCount", &count));
  EXPECT_EQ(3UL, count);
}

TEST_F(SettingsFileTest, MissingFileMeansEveryKeyAbsent) {
  ScopedEnv env("ZUCLOUD_CONFIG", m_dir.file("does-not-exist.conf"));
  ZUGlobalParam params;
  std::string s = "kept";
  int n = 3;
  EXPECT_NE(0, params.get("Cloud URL", s));
  EXPECT_NE(0, params.get("nMax", n));
  EXPECT_EQ("kept", s);
  EXPECT_EQ(3, n);
  unsigned long u = 8;
  EXPECT_EQ(0, ZUPlatformInfo().getNumber("UpdateFlags", "nZero", &u));
  EXPECT_EQ(8UL, u);
}

TEST_F(SettingsFileTest, EachObjectReadsTheFileWhenConstructed) {
  Use("[GlobalParam]\nnValue = 1\n");
  ZUGlobalParam before;
  WriteFile(m_dir.file("zucloud.conf"), "[GlobalParam]\nnValue = 2\n");
  ZUGlobalParam after;
  int a = 0, b = 0;
  ASSERT_EQ(0, before.get("nValue", a));
  ASSERT_EQ(0, after.get("nValue", b));
  EXPECT_EQ(1, a);
  EXPECT_EQ(2, b);
}

// What is not a regular file of at most 1 MiB counts as a missing file:
// the service constructors neither wait on a FIFO nor read /dev/zero for
// ever, and the one notice says why the file was not used.
TEST_F(SettingsFileTest, OnlyABoundedRegularFileIsRead) {
  const std::string fifo = m_dir.file("fifo.conf");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const std::string large = m_dir.file("large.conf");
  WriteFile(large, "[GlobalParam]\nnValue = 1\n" + std::string(zu::kMaxSettingsFileBytes, '#'));
  const struct {
    std::string path;
    const char* notice;
  } rows[] = {
      {fifo, "is a FIFO"},
      {"/dev/zero", "is a device"},
      {m_dir.path(), "is a directory"},
      {large, "is larger than 1 MiB"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    ScopedEnv env("ZUCLOUD_CONFIG", row.path);
    zutest::RunBounded(
        "constructing the services with settings file " + row.path,
        [] {
          ZUCloudService folder;
          ZUCloudAzureService blob;
        },
        std::chrono::seconds(1));
    int n = 0;
    EXPECT_NE(0, ZUGlobalParam().get("nValue", n));
    const std::string notice = zu::SettingsFileNotice(row.path);
    EXPECT_NE(std::string::npos, notice.find(row.notice)) << notice;
    EXPECT_NE(std::string::npos, notice.find("used as if it were missing")) << notice;
  }
}

// The size limit on both sides: a file of exactly 1 MiB is read, one byte
// more and it counts as missing, with the notice saying why.
TEST_F(SettingsFileTest, ExactlyOneMebibyteIsReadAndOneByteMoreIsNot) {
  const std::string head = "[GlobalParam]\nnValue = 1\n";
  const struct {
    size_t bytes;
    bool read;
  } rows[] = {{zu::kMaxSettingsFileBytes, true}, {zu::kMaxSettingsFileBytes + 1, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.bytes);
    Use(head + std::string(row.bytes - head.size(), '#'));
    const std::string path = m_dir.file("zucloud.conf");
    ASSERT_EQ(row.bytes, zutest::ReadFile(path).size());
    int n = 0;
    EXPECT_EQ(row.read, ZUGlobalParam().get("nValue", n) == 0);
    const std::string notice = zu::SettingsFileNotice(path);
    EXPECT_EQ(!row.read, notice.find("is larger than 1 MiB") != std::string::npos) << notice;
  }
}

// A file other users may change is used, with a warning; a private one, or
// a missing one, needs none.
TEST_F(SettingsFileTest, NoticeWarnsOfAFileOthersMayChange) {
  Use("[GlobalParam]\nnValue = 1\n");
  const std::string path = m_dir.file("zucloud.conf");
  ASSERT_EQ(0, ::chmod(path.c_str(), 0644));
  EXPECT_EQ("", zu::SettingsFileNotice(path));
  EXPECT_EQ("", zu::SettingsFileNotice(m_dir.file("missing.conf")));
  ASSERT_EQ(0, ::chmod(path.c_str(), 0666));
  const std::string notice = zu::SettingsFileNotice(path);
  EXPECT_NE(std::string::npos, notice.find("any user may change it (mode 0666)")) << notice;
  int n = 0;
  EXPECT_EQ(0, ZUGlobalParam().get("nValue", n));
  EXPECT_EQ(1, n);
  if (::geteuid() == 0) {
    ASSERT_EQ(0, ::chmod(path.c_str(), 0600));
    ASSERT_EQ(0, ::chown(path.c_str(), 4321, 4321));
    EXPECT_NE(std::string::npos,
              zu::SettingsFileNotice(path).find("it belongs to another user (uid 4321)"));
  }
}

TEST(SettingsPath, EnvironmentOrDefault) {
  {
    ScopedEnv env("ZUCLOUD_CONFIG", std::nullopt);
    EXPECT_EQ("/etc/zucloud/zucloud.conf", zu::SettingsFilePath());
  }
  ScopedEnv env("ZUCLOUD_CONFIG", "/some/where.conf");
  EXPECT_EQ("/some/where.conf", zu::SettingsFilePath());
}

TEST(SettingsParse, StructureRules) {
  zu::SettingsSections s = zu::ParseSettingsText(
      "top = level\n"
      "[ Spaced ]\n"
      "[Empty]\n"
      "[A]\n"
      "k = 1\n"
      "k = 2\n"
      "  = no key\n"
      "[unterminated\n"
      "x = 3\n"
      "[B]\n"
      "no trailing newline = yes");
  EXPECT_EQ("level", s[""]["top"]);
  EXPECT_EQ(1u, s.count("Spaced"));
  EXPECT_EQ(1u, s.count("Empty"));
  EXPECT_TRUE(s["Empty"].empty());
  EXPECT_EQ("2", s["A"]["k"]) << "the last value of a repeated key wins";
  EXPECT_EQ(0u, s["A"].count(""));
  // A malformed header does not start a section.
  EXPECT_EQ("3", s["A"]["x"]);
  EXPECT_EQ("yes", s["B"]["no trailing newline"]);
  EXPECT_TRUE(zu::ParseSettingsText("").empty());
  EXPECT_TRUE(zu::LoadSettingsFile("/nonexistent/dir/zucloud.conf").empty());
}

}  // namespace
