// The XML request writer and reply reader: exact bytes of request bodies, escapes,
// how reply documents map onto the tree, white space kept, and refusal of texts
// that do not parse or nest too deep, with the node left as it was.
#include "common/xmlhelper.h"

#include <string>

#include "common/utf8.h"
#include "support/logcapture.h"
#include "support/treedump.h"
#include "support/testenv.h"

namespace {

int TreeDepth(const RecordTree& t) {
  int deepest = 0;
  for (size_t i = 0; i < t.GetChildCount(); ++i) deepest = std::max(deepest, TreeDepth(t.GetChild(i)));
  return deepest + 1;
}

constexpr const char* kDecl = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>";

// A listing reply as the service writes it: items of 12 fields, 25 nodes each.
std::string Listing(int items) {
  const std::string item =
      "<item><type>file</type><fileId>f</fileId><parentId>p</parentId><name>n.txt</name><sha1>"
      "da39a3ee5e6b4b0d3255bfef95601890afd80709</sha1><size>1</size><fileVer>1</fileVer><opVer>1</opVer>"
      "<createdTime>t</createdTime><modTime>t</modTime><modifier>m</modifier><shared>0</shared></item>";
  std::string s = std::string(kDecl) + "<nuvra result=\"ok\">";
  s.reserve(s.size() + item.size() * items + 8);
  for (int i = 0; i < items; ++i) s += item;
  return s + "</nuvra>";
}

class XmlWriterTest : public OstrelTest {};
class XmlReaderTest : public OstrelTest {};

// Attributes in order, escapes (quotes only in attributes, an entity escaped again) and
// no empty-element tags.
TEST_F(XmlWriterTest, RequestBodiesByteForByte) {
  RecordTree node("r");
  node.SetAttribute("b", "1");
  node.SetAttribute("a", "x\"y<>&'");
  node.SetAttribute("B", "3");
  node.AddValue("k", "");
  node.AddValue("t", "say \"hi\" > 'x' &lt;");
  node.AddChild("c");
  node.AddChild("d").SetAttribute("e", "f");
  EXPECT_EQ(RecordTreeToXmlDocument(node), std::string(kDecl) +
                                               "<r B=\"3\" a=\"x&quot;y&lt;&gt;&amp;'\" b=\"1\"><k></k>"
                                               "<t>say \"hi\" &gt; 'x' &amp;lt;</t><c></c><d e=\"f\"></d></r>");
  EXPECT_EQ(RecordTreeToXmlDocument(RecordTree("nuvra")), std::string(kDecl) + "<nuvra></nuvra>");
}

TEST_F(XmlWriterTest, SafeTextAndTheAssertionForControlCharacters) {
  struct Row { const char* text; bool safe; } rows[] = {
      {"", true},      {"\xE4\xB8\xAD \xF0\x9F\x98\x80 &<>\"'", true}, {"a\tb", false}, {"a\nb", false},
      {"\x1f", false}, {"\x7f", false}, {"\xff", false}, {"\xC0\xAF", false},  // overlong "/"
  };
  for (const auto& r : rows) EXPECT_EQ(IsXmlSafeText(r.text), r.safe) << r.text;

  LogCapture cap;
  EXPECT_EQ(XmlEscape("a\x01<", false), "a\x01&lt;") << "the writer never fails";
  EXPECT_TRUE(cap.Contains("*ASSERT*: IsXmlSafeText(text)")) << cap.All();
}

// Values keep their white space and have their entities decoded.
TEST_F(XmlReaderTest, StructuresAndValues) {
  struct Row { std::string xml, want; } rows[] = {
      {"<r result=\"ok\"><stub>s1</stub><list><item>1</item></list><empty/></r>",
       "r{result=ok}[stub=s1](list[item=1])(empty)"},  // an empty element is a child node
      {"<r><e></e><b>   </b></r>", "r(e)(b)"},  // so is one of blank text
      {"<r><e><!--c-->t</e></r>", "r(e)"},      // first content is not text
      {"<r>loose<k>v</k>tail</r>", "r[k=v]"},  // text directly in a node is dropped
      {"<?xml version=\"1.0\" encoding=\"utf-8\" ?><!--c--><r><k>v</k></r>", "r[k=v]"},
      {"<r>\n  <k>v</k>\n  <list>\n    <i>1</i>\n  </list>\n</r>\n", "r[k=v](list[i=1])"},
      {"<r><item id=\"7\" x='a&amp;b'><n>x</n></item></r>", "r(item{id=7,x=a&b}[n=x])"},
      {"<r><v a=\"1\">t<x>y</x>u</v></r>", "r[v=t]"},  // a pair keeps only its first text
      {"<r><k>1</k><K>2</K><k>3</k></r>", "r[k=1;K=2;k=3]"},
      {"<r></r><s><t>1</t></s>", "r"},  // the first root element is read
      {"<r><v>a\nb\tc</v></r>", "r[v=a\nb\tc]"},
      {"<r><v>&#x4e2d;&#25991;</v></r>", "r[v=\xE4\xB8\xAD\xE6\x96\x87]"},
      {"<r><v>&lt;&gt;&amp;&quot;&apos;</v></r>", "r[v=<>&\"']"},
      {"<r><v><![CDATA[a<b>&c]]></v></r>", "r[v=a<b>&c]"},
      {"<r><v>a\xff" "b</v></r>", "r[v=a\xEF\xBF\xBD" "b]"},  // a byte that is not UTF-8 reads as U+FFFD
      {"<r><v>a&#0;b</v></r>", "r[v=a]"},
      {"<r><v>x<!--c-->y</v></r>", "r[v=x]"},
  };
  for (const auto& r : rows) {
    RecordTree node;
    ASSERT_EQ(ParseXmlToRecordTree(&node, r.xml), S_OK) << r.xml;
    EXPECT_EQ(DumpTree(node), r.want) << r.xml;
  }
  RecordTree node;
  ASSERT_EQ(ParseXmlToRecordTree(&node, "<r><v>&#xD800;&#x110000;</v></r>"), S_OK);
  EXPECT_TRUE(IsValidUtf8(node.GetValue("v"))) << "decoded text is always valid UTF-8";
}

TEST_F(XmlReaderTest, FailuresReturnEFailAndLeaveTheNodeAlone) {
  const std::string rows[] = {
      "",           "   ",           "not xml",           "<r>",          "<r><k>v</k>",           "<r></s>",
      "<r></r >",   "<r/ >",         "<r>&#12a;</r>",     "<r a=\"1></r>", std::string("<r>\0</r>", 8),
      "<!-- only a comment -->",     "<?xml version=\"1.0\" encoding=\"utf-8\" ?>",  "<r a=\"1\" a=\"2\"/>",
      "<r><!-- unterminated</r>",    "<r><![CDATA[x</r>",
      "<r>&#x\"><a><a>x41;</r>",  // a reference that TinyXML would read across markup
  };
  for (const auto& xml : rows) {
    RecordTree node("before");
    node.AddValue("k", "v");
    RecordTree copy(node);
    LogCapture cap;
    EXPECT_EQ(ParseXmlToRecordTree(&node, xml), E_FAIL) << xml;
    EXPECT_EQ(node, copy) << xml;
    EXPECT_TRUE(cap.Contains("ERROR_CHECK_BOOLEX:bRet")) << xml << "\n" << cap.All();
  }
}

TEST_F(XmlReaderTest, NestingUpToTheLimitParsesAndDeeperIsRefused) {
  std::string opens, closes;
  for (int i = 0; i < kXmlMaxDepth; ++i) {
    opens += "<a>";
    closes += "</a>";
  }
  RecordTree deepest, refused;
  ASSERT_EQ(ParseXmlToRecordTree(&deepest, opens + closes), S_OK);
  EXPECT_EQ(TreeDepth(deepest), kXmlMaxDepth);
  EXPECT_EQ(ParseXmlToRecordTree(&refused, opens + "<v>x</v>" + closes), E_FAIL);
  EXPECT_TRUE(refused.IsEmpty());
  // 50000 levels fail without a crash.
  std::string open, closed;
  for (int i = 0; i < 50000; ++i) open += "<a x=\"1\">";
  closed = open + std::string(50000 * 4, ' ');
  for (int i = 0; i < 50000; ++i) closed.replace(open.size() + 4 * i, 4, "</a>");
  for (const std::string* bomb : {&open, &closed}) {
    RecordTree bombed;
    EXPECT_EQ(ParseXmlToRecordTree(&bombed, *bomb), E_FAIL);
    EXPECT_TRUE(bombed.IsEmpty());
  }
}

TEST_F(XmlReaderTest, ListingsUpToTheLargestFolderReadAndMoreNodesThanTheBudgetAreRefused) {
  for (int items : {10'000, 100'000}) {
    RecordTree node;
    ASSERT_EQ(ParseXmlToRecordTree(&node, Listing(items)), S_OK) << items;
    ASSERT_EQ(node.GetChildCount(), static_cast<size_t>(items));
    EXPECT_EQ(node.GetChild(items - 1).GetValue("shared"), "0");
  }
  std::string flood = "<r>";  // the root and as many empty elements: one node too many
  flood.reserve(kReplyMaxNodes * 4 + 8);
  for (size_t i = 0; i < kReplyMaxNodes; ++i) flood += "<a/>";
  RecordTree node("before");
  EXPECT_EQ(ParseXmlToRecordTree(&node, flood + "</r>"), E_FAIL);
  EXPECT_EQ(node, RecordTree("before"));
}

TEST_F(XmlReaderTest, AnAllocationFailureAnywhereFailsWithTheNodeAsItWas) {
  const std::string xml = "<nuvra result=\"ok\"><k>v</k><item a=\"1\"><n>x</n></item></nuvra>";  // 5 nodes
  for (int64_t n = 0; n <= 5; ++n) {
    RecordTree node("before");
    recordtreecontrol::FailReplyNodeAfter(n);
    EXPECT_EQ(ParseXmlToRecordTree(&node, xml), n < 5 ? E_OUTOFMEMORY : S_OK) << n;
    EXPECT_EQ(node == RecordTree("before"), n < 5) << n;
  }
  recordtreecontrol::FailReplyNodeAfter(-1);
}

}  // namespace
