// Inputs the fuzz targets of fuzz/ found, each kept as a case here with the
// input inlined, so the ordinary builds (plain, ASan+UBSan, TSan) keep
// checking them.
#include <gtest/gtest.h>

#include <string>

#include "platform/CNMessage.h"
#include "session/ServiceSettings.h"
#include "support/ServiceAccess.h"
#include "support/TestEnv.h"

namespace {

namespace msg = zu::msg;

std::string UserName(const CNMessageBase& m) {
  return m.getstring(msg::kReqUserName.number, msg::kReqUserName.tag, msg::kCheckCredentialReq.key,
                     msg::kReqUserName.key);
}

// message_fuzz: an XML 1.1 reply may carry C0 control characters as
// character references; the parsed value then held a byte that serialize
// wrote as it was, giving text that no XML 1.0 parser (this class's own
// included) accepts. The same held for user-written values (a user name
// with a control character or bytes that are not UTF-8) on their way into
// the login request. serialize now refuses such values.
TEST(FuzzRegressionMessage, ControlCharacterFromXml11ReplyIsNotWrittenAsIs) {
  // Input of message_fuzz (class byte 0x00 dropped).
  const char* kInput =
      "<?xml version=\"1.1\"?><CheckCredentialReq><userName>a&#1;b</userName>"
      "</CheckCredentialReq>";
  CNMessageBase parsed(msg::kCheckCredentialReq.type, msg::kCheckCredentialReq.id);
  ASSERT_EQ(parsed.unserialize(kInput), 0);
  ASSERT_EQ(UserName(parsed), std::string("a\x01" "b"));

  std::string xml = "unchanged";
  EXPECT_NE(parsed.serialize(xml, false), 0);
  EXPECT_EQ(xml, "unchanged");
  EXPECT_NE(parsed.serialize(xml, true), 0);
  EXPECT_EQ(xml, "unchanged");
}

TEST(FuzzRegressionMessage, SerializeRefusesExactlyTheValuesXmlCannotCarry) {
  struct Case {
    std::string value;
    bool carried;
  };
  const Case kCases[] = {
      {"ann\x01", false},
      {std::string("a\0b", 3), false},
      {"ann\x1f", false},
      {"ann\xff", false},              // not UTF-8
      {"caf\xc3", false},              // truncated sequence
      {"\xc0\xaf", false},             // overlong '/'
      {"\xed\xa0\x80", false},         // surrogate
      {"\xef\xbf\xbe", false},         // U+FFFE
      {"\xf4\x90\x80\x80", false},     // above U+10FFFF
      {"tab\tlf\ncr\r end", true},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", true},
      {"\x7f\xc2\x85\xef\xbf\xbd", true},  // DEL, NEL, U+FFFD
      {"a&b<c>d ]]>", true},
      {"", true},
  };
  for (const Case& c : kCases) {
    CNMessageBase m(msg::kCheckCredentialReq.type, msg::kCheckCredentialReq.id);
    ASSERT_EQ(m.setstring(msg::kReqUserName.number, msg::kReqUserName.tag, c.value,
                          msg::kCheckCredentialReq.key, msg::kReqUserName.key),
              0);
    std::string xml;
    const int rc = m.serialize(xml, false);
    if (!c.carried) {
      EXPECT_NE(rc, 0) << "value accepted: " << c.value;
      continue;
    }
    ASSERT_EQ(rc, 0) << "value refused: " << c.value;
    CNMessageBase back(msg::kCheckCredentialReq.type, msg::kCheckCredentialReq.id);
    ASSERT_EQ(back.unserialize(xml.c_str()), 0) << xml;
    EXPECT_EQ(UserName(back), c.value);
  }
}

// A value that cannot be carried in a nested or listed message refuses the
// whole message, not only its own element.
TEST(FuzzRegressionMessage, UnwritableValueInANestedMessageRefusesTheWhole) {
  const char* kInput =
      "<?xml version=\"1.1\"?><CheckCredentialResp><errors><Error><errorText>x&#2;"
      "</errorText></Error></errors><sessionToken>t</sessionToken></CheckCredentialResp>";
  CNMessageBase resp(msg::kCheckCredentialResp.type, msg::kCheckCredentialResp.id);
  ASSERT_EQ(resp.unserialize(kInput), 0);
  std::string xml;
  EXPECT_NE(resp.serialize(xml, true), 0);
  EXPECT_TRUE(xml.empty());
}

// settings_fuzz: a keep-alive time above LONG_MAX (the type the gateway
// takes) wrapped to a negative number of seconds on its way from the
// unsigned settings lookup into the services.
TEST(FuzzRegressionSettings, KeepAliveTimesBeyondLongKeepTheDefaults) {
  zutest::TempDir dir;
  const std::string path = dir.file("zucloud.conf");
  zutest::ScopedEnv config("ZUCLOUD_CONFIG", path);
  zutest::ScopedEnv logDir("ZUCLOUD_LOG_DIR", dir.path());

  // Input of settings_fuzz.
  zutest::WriteFile(path,
                    "[UpdateFlags]\n"
                    "nEnableTCPKeepAlive = 1\n"
                    "nKeepIdleSeconds = 9223372036854775808\n"
                    "nKeepIntervalSeconds = 18446744073709551615\n");
  zu::KeepAliveSettings settings = zu::ReadKeepAliveSettings();
  EXPECT_TRUE(settings.enabled);
  EXPECT_EQ(settings.idleSeconds, 120);
  EXPECT_EQ(settings.intervalSeconds, 60);
  {
    zutest::FolderServiceAccess folder;
    EXPECT_EQ(folder.m_nKeepIdleSeconds, 120);
    EXPECT_EQ(folder.m_nKeepIntervalSeconds, 60);
    zutest::BlobServiceAccess blob;
    EXPECT_EQ(blob.m_nKeepIdleSeconds, 120);
    EXPECT_EQ(blob.m_nKeepIntervalSeconds, 60);
  }

  // The largest value the gateway takes is still used as given.
  zutest::WriteFile(path,
                    "[UpdateFlags]\n"
                    "nEnableTCPKeepAlive = 1\n"
                    "nKeepIdleSeconds = 9223372036854775807\n"
                    "nKeepIntervalSeconds = 0\n");
  settings = zu::ReadKeepAliveSettings();
  EXPECT_EQ(settings.idleSeconds, 9223372036854775807LL);
  EXPECT_EQ(settings.intervalSeconds, 0);
}

}  // namespace
