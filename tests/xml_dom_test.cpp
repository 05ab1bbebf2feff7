// ParseRootChildren and Escape: the root's direct element children, text
// content, failures, hostile documents and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/xml/CNMessage.h"
#include "platform/xml/XercesSupport.h"
#include "platform/xml/XmlDom.h"
#include "support/TestEnv.h"

namespace {

using zu::xml::Element;
using zu::xml::Escape;
using zu::xml::ParseResult;
using zu::xml::ParseRootChildren;
using zu::xml::ParseStatus;
using zutest::RunOnThreads;

std::vector<std::string> Names(const ParseResult& r) {
  std::vector<std::string> names;
  for (const Element& e : r.children) names.push_back(e.name);
  return names;
}

// Everything a caller could see of a result, for "does not leak" checks.
std::string Everything(const ParseResult& r) {
  std::string all = r.message + "|" + r.rootName;
  for (const Element& e : r.children) all += "|" + e.name + "=" + e.text;
  return all;
}

// ParseRootChildren on a helper thread; fails the test instead of hanging
// when a hostile document is not stopped.
ParseResult ParseBounded(const std::string& xml) {
  auto result = std::make_shared<ParseResult>();
  bool finished = RunOnThreads(
      1, [result, xml](int) { *result = ParseRootChildren(xml); }, std::chrono::seconds(60));
  EXPECT_TRUE(finished) << "parse did not end";
  return finished ? *result : ParseResult{};
}

// ---------------------------------------------------------------------------
// Structure and text

TEST(ParseRootChildren, ReturnsRootNameAndDirectChildrenInOrder) {
  ParseResult r = ParseRootChildren(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<Reply>\n  <AzureSASServiceURL>https://acct.blob.example/c</AzureSASServiceURL>\n"
      "  <AzureSASToken>sv=1&amp;sig=abc</AzureSASToken>\n</Reply>\n");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  EXPECT_EQ(r.rootName, "Reply");
  ASSERT_EQ(r.children.size(), 2u);
  EXPECT_EQ(r.children[0].name, "AzureSASServiceURL");
  EXPECT_EQ(r.children[0].text, "https://acct.blob.example/c");
  EXPECT_EQ(r.children[1].name, "AzureSASToken");
  EXPECT_EQ(r.children[1].text, "sv=1&sig=abc");
  EXPECT_TRUE(r.message.empty());
}

TEST(ParseRootChildren, ListsOnlyOneLevelBelowTheRoot) {
  ParseResult r =
      ParseRootChildren("<r><outer><inner>deep</inner><other>er</other></outer><flat>x</flat></r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  EXPECT_EQ(Names(r), (std::vector<std::string>{"outer", "flat"}));
  // The grandchildren are not elements of the result; their text is part of
  // their parent's text content.
  EXPECT_EQ(r.children[0].text, "deeper");
  EXPECT_EQ(r.children[1].text, "x");
}

TEST(ParseRootChildren, KeepsRepeatedElementsInDocumentOrder) {
  ParseResult r = ParseRootChildren(
      "<r><isSuccess>false</isSuccess><item>1</item><item>2</item>"
      "<other/><item>3</item></r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  EXPECT_EQ(Names(r), (std::vector<std::string>{"isSuccess", "item", "item", "other", "item"}));
  EXPECT_EQ(r.children[1].text, "1");
  EXPECT_EQ(r.children[2].text, "2");
  EXPECT_EQ(r.children[3].text, "");
  EXPECT_EQ(r.children[4].text, "3");
}

TEST(ParseRootChildren, ConcatenatesTextCdataAndDescendantsButNotComments) {
  ParseResult r = ParseRootChildren(
      "<r><a>one<b>two<c>three</c></b><!-- no -->four<![CDATA[<five&>]]>"
      "<?pi no?></a></r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  ASSERT_EQ(r.children.size(), 1u);
  EXPECT_EQ(r.children[0].text, "onetwothreefour<five&>");
}

TEST(ParseRootChildren, IgnoresTextCommentsAndPisBesideTheChildren) {
  ParseResult r = ParseRootChildren("<r>lead<!-- c --><a>1</a>mid<?pi x?><b>2</b>tail</r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  EXPECT_EQ(Names(r), (std::vector<std::string>{"a", "b"}));
}

TEST(ParseRootChildren, DecodesReferencesToUtf8) {
  ParseResult r = ParseRootChildren(
      "<r><t>&lt;&gt;&amp;&quot;&apos; &#233;&#x263A;&#x1F600; "
      "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC</t></r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  ASSERT_EQ(r.children.size(), 1u);
  EXPECT_EQ(r.children[0].text,
            "<>&\"' \xC3\xA9\xE2\x98\xBA\xF0\x9F\x98\x80 "
            "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC");
}

TEST(ParseRootChildren, KeepsPrefixedNamesAsWritten) {
  ParseResult r =
      ParseRootChildren("<ns:r xmlns:ns=\"urn:x\"><ns:a>1</ns:a><b xmlns=\"urn:y\">2</b></ns:r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  EXPECT_EQ(r.rootName, "ns:r");
  EXPECT_EQ(Names(r), (std::vector<std::string>{"ns:a", "b"}));
}

TEST(ParseRootChildren, RootWithoutChildrenIsOkAndEmpty) {
  ParseResult r = ParseRootChildren("<empty/>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  EXPECT_EQ(r.rootName, "empty");
  EXPECT_TRUE(r.children.empty());
}

TEST(ParseRootChildren, ManyPredefinedEntitiesAreNotMistakenForABomb) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "&amp;&lt;";
  ParseResult r = ParseRootChildren("<r><t>" + text + "</t></r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  ASSERT_EQ(r.children.size(), 1u);
  EXPECT_EQ(r.children[0].text.size(), 10000u);
  EXPECT_EQ(zutest::CountOccurrences(r.children[0].text, "&<"), 5000u);
}

// ---------------------------------------------------------------------------
// Failures

TEST(ParseRootChildren, TextThatIsNotWellFormedIsOtherError) {
  const char* const kBroken[] = {
      "<r><a>1</b></r>",       // mismatched end tag
      "<r><a>1</a>",           // unclosed root
      "just text",             // no markup
      "<r>&undefined;</r>",    // undeclared entity
      "<r a=\"1\" a=\"2\"/>",  // repeated attribute
      "<r/><r/>",              // two roots
      "<r><a>x & y</a></r>",   // bare ampersand
  };
  for (const char* xml : kBroken) {
    SCOPED_TRACE(xml);
    ParseResult r = ParseRootChildren(xml);
    EXPECT_EQ(r.status, ParseStatus::kOtherError);
    EXPECT_TRUE(r.children.empty());
  }
}

TEST(ParseRootChildren, EmptyInputIsOtherError) {
  EXPECT_EQ(ParseRootChildren("").status, ParseStatus::kOtherError);
  EXPECT_EQ(ParseRootChildren("   \n").status, ParseStatus::kOtherError);
}

// ---------------------------------------------------------------------------
// Hostile documents

TEST(ParseRootChildrenHostile, DeeplyNestedTextIsRefusedUnparsed) {
  // Xerces needs time quadratic in the depth; a reply nested 2 million deep
  // would hold the caller for hours if it reached the parser.
  std::string open, close;
  for (int i = 0; i < 2000000; ++i) {
    open += "<a>";
    close += "</a>";
  }
  const auto deep = zu::xml::ParseRootChildren(open + close);
  EXPECT_EQ(deep.status, zu::xml::ParseStatus::kOtherError);
  EXPECT_TRUE(deep.children.empty());

  CNMessageBase message(zu::msg::kUploadFileResp.type, zu::msg::kUploadFileResp.id);
  const std::string nested = "<UploadFileResp>" + open + close + "</UploadFileResp>";
  EXPECT_NE(message.unserialize(nested.c_str()), 0);
}

TEST(ParseRootChildrenHostile, DepthScanCountsOnlyRealElements) {
  using zu::xml::detail::ElementNestingDepth;
  auto depth = [](const std::string& xml) {
    return ElementNestingDepth(xml.data(), xml.size(), 1000);
  };
  EXPECT_EQ(depth("<r><a>x</a><b/><c attr='/>'>y</c></r>"), 2u);
  EXPECT_EQ(depth("<?xml version='1.0'?><!-- <a><a><a> --><r><![CDATA[<a><a>]]></r>"), 1u);
  EXPECT_EQ(depth("<r a=\"1>2\"><s><t/></s></r>"), 2u);
  // Legitimate replies a few levels deep still parse.
  std::string open, close;
  for (int i = 0; i < 200; ++i) {
    open += "<a>";
    close += "</a>";
  }
  EXPECT_EQ(zu::xml::ParseRootChildren("<r>" + open + close + "</r>").status,
            zu::xml::ParseStatus::kOk);
}

TEST(ParseRootChildrenHostile, EntityExpansionBombIsRefused) {
  std::string bomb =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n"
      " <!ENTITY lol \"lol\">\n";
  std::string prev = "lol";
  for (int i = 1; i <= 9; ++i) {
    std::string name = "lol" + std::to_string(i);
    bomb += " <!ENTITY " + name + " \"";
    for (int k = 0; k < 10; ++k) bomb += "&" + prev + ";";
    bomb += "\">\n";
    prev = name;
  }
  bomb += "]>\n<lolz><a>&lol9;</a></lolz>";
  ParseResult r = ParseBounded(bomb);
  EXPECT_NE(r.status, ParseStatus::kOk);
  EXPECT_TRUE(r.children.empty());

  // The same bomb expanded inside an attribute value.
  std::string attrBomb = bomb.substr(0, bomb.find("<lolz>")) + "<lolz a=\"&lol9;\"><a>x</a></lolz>";
  ParseResult ra = ParseBounded(attrBomb);
  EXPECT_NE(ra.status, ParseStatus::kOk);
}

TEST(ParseRootChildrenHostile, ASmallInternalEntityStillWorks) {
  // Hardening bounds expansion; it does not refuse internal entities outright.
  ParseResult r =
      ParseRootChildren("<!DOCTYPE r [<!ENTITY who \"world\">]><r><a>hello &who;</a></r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  ASSERT_EQ(r.children.size(), 1u);
  EXPECT_EQ(r.children[0].text, "hello world");
}

class ExternalEntityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_secretPath = m_dir.file("secret.txt");
    zutest::WriteFile(m_secretPath, kSecret);
    // An external DTD that would define an entity holding the secret.
    m_dtdPath = m_dir.file("evil.dtd");
    zutest::WriteFile(m_dtdPath,
                      "<!ENTITY leak \"" + std::string(kSecret) + "\">\n<!ENTITY % pe \"x\">\n");
  }

  // Parses and checks that nothing of the secret reaches the caller.
  ParseResult ParseWithoutLeak(const std::string& xml) {
    ParseResult r = ParseBounded(xml);
    EXPECT_EQ(Everything(r).find(kSecret), std::string::npos) << Everything(r);
    return r;
  }

  static constexpr const char* kSecret = "TOP-SECRET-4f1c9a";
  zutest::TempDir m_dir;
  std::string m_secretPath;
  std::string m_dtdPath;
};

TEST_F(ExternalEntityTest, GeneralEntityNamingALocalFileIsRefused) {
  const std::string ids[] = {"file://" + m_secretPath, m_secretPath, "file:///etc/passwd"};
  for (const std::string& id : ids) {
    SCOPED_TRACE(id);
    ParseResult r =
        ParseWithoutLeak("<!DOCTYPE r [<!ENTITY xxe SYSTEM \"" + id + "\">]><r><a>&xxe;</a></r>");
    EXPECT_NE(r.status, ParseStatus::kOk);
    EXPECT_EQ(Everything(r).find("root:"), std::string::npos);
  }
}

TEST_F(ExternalEntityTest, EntityInAttributeOrPublicIdIsRefused) {
  ParseResult r1 = ParseWithoutLeak("<!DOCTYPE r [<!ENTITY xxe PUBLIC \"-//X//Y\" \"file://" +
                                    m_secretPath + "\">]><r><a>&xxe;</a></r>");
  EXPECT_NE(r1.status, ParseStatus::kOk);
  // External entities are not allowed in attribute values at all.
  ParseResult r2 = ParseWithoutLeak("<!DOCTYPE r [<!ENTITY xxe SYSTEM \"file://" + m_secretPath +
                                    "\">]><r><a b=\"&xxe;\">1</a></r>");
  EXPECT_NE(r2.status, ParseStatus::kOk);
}

TEST_F(ExternalEntityTest, ExternalDtdAndParameterEntitiesAreNotLoaded) {
  // External DTD subset: not loaded, so the entity it defines is unknown.
  ParseResult r1 =
      ParseWithoutLeak("<!DOCTYPE r SYSTEM \"file://" + m_dtdPath + "\"><r><a>&leak;</a></r>");
  EXPECT_NE(r1.status, ParseStatus::kOk);
  // External parameter entity pulled into the internal subset.
  ParseResult r2 = ParseWithoutLeak("<!DOCTYPE r [<!ENTITY % ext SYSTEM \"file://" + m_dtdPath +
                                    "\"> %ext;]><r><a>&leak;</a></r>");
  EXPECT_NE(r2.status, ParseStatus::kOk);
}

TEST_F(ExternalEntityTest, RefusalsLeaveNoDescriptorOpen) {
  int before = zutest::CountOpenFds();
  for (int i = 0; i < 20; ++i) {
    ParseWithoutLeak("<!DOCTYPE r [<!ENTITY xxe SYSTEM \"file://" + m_secretPath +
                     "\">]><r><a>&xxe;</a></r>");
  }
  EXPECT_EQ(zutest::CountOpenFds(), before);
}

// ---------------------------------------------------------------------------
// Concurrency

TEST(ParseRootChildrenConcurrency, ParsesFromFourThreadsAtOnce) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  auto work = [&failures](int t) {
    for (int i = 0; i < kRounds; ++i) {
      std::string value = "t" + std::to_string(t) + "-" + std::to_string(i);
      ParseResult r;
      if (i % 10 == 9) {
        // Failures interleave with successes: their cleanup runs too.
        r = ParseRootChildren("<r><a>" + value + "</r>");
        if (r.status != ParseStatus::kOtherError) ++failures;
        continue;
      }
      r = ParseRootChildren("<r><a>" + value + "</a><b>&amp;" + value + "</b></r>");
      if (r.status != ParseStatus::kOk || r.children.size() != 2 || r.children[0].text != value ||
          r.children[1].text != "&" + value) {
        ++failures;
      }
    }
  };
  ASSERT_TRUE(RunOnThreads(kThreads, work, std::chrono::seconds(120)))
      << "parser threads did not finish";
  EXPECT_EQ(failures.load(), 0);
}

// ---------------------------------------------------------------------------
// Escape

TEST(Escape, EscapesTheFiveMarkupCharacters) {
  EXPECT_EQ(Escape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  EXPECT_EQ(Escape("&amp;"), "&amp;amp;");
  EXPECT_EQ(Escape(""), "");
}

TEST(Escape, PassesOtherTextThroughUnchanged) {
  const std::string text = "plain 123 \xC3\xA9\xE2\x82\xAC\tline\n";
  EXPECT_EQ(Escape(text), text);
}

TEST(Escape, EscapedTextParsesBackToTheOriginal) {
  const std::string text = "<tag attr=\"v\">Tom & 'Jerry' \xC3\xA9</tag>";
  ParseResult r = ParseRootChildren("<r><t>" + Escape(text) + "</t></r>");
  ASSERT_EQ(r.status, ParseStatus::kOk) << r.message;
  ASSERT_EQ(r.children.size(), 1u);
  EXPECT_EQ(r.children[0].text, text);
}

}  // namespace
