// The structure check run before TinyXML: for every text it accepts, the nesting it
// reports must be the nesting TinyXML itself builds (TinyXML is the peer here), and
// the texts on which TinyXML's reading is unsafe must be refused.
#include "common/xmlscan.h"

#include <tinyxml.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Deepest element nesting of a parsed TinyXML document, without recursion.
int TinyXmlDepth(const TiXmlDocument& doc) {
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> todo{{&doc, 0}};
  while (!todo.empty()) {
    auto [node, depth] = todo.back();
    todo.pop_back();
    for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) {
      if (!c->ToElement()) continue;
      deepest = std::max(deepest, depth + 1);
      todo.push_back({c, depth + 1});
    }
  }
  return deepest;
}

struct Row { std::string xml; int depth; };

TEST(XmlScanTest, DepthMatchesTinyXmlOnAcceptedTextsAndUnsafeTextsAreRefused) {
  TiXmlBase::SetCondenseWhiteSpace(false);
  const Row rows[] = {
      {"<a><b><c/></b></a>", 3},                   {"<a x='1' y=\"2\" z=3><b/></a>", 2},
      {"<a x=\"/>\"><b></b></a>", 2},              {"<a><b x='>'/></a>", 2},
      {"<a><!-- <b><c><d> --></a>", 1},            {"<a><![CDATA[<b><c>]]></a>", 1},
      {"<?xml version=\"a>b\"?><a><b/></a>", 2},
      {"<?xml-stylesheet href=\"a>b\"?><a><b/></a>", 0},  // TinyXML stops at "b\"?>"
      {"<!DOCTYPE a><a/>", 1},                     {"<a>x</a>junk<b><c></c></b>", 1},
      {"<a></a><b><c/></b>", 2},                   {"\xEF\xBB\xBF<a/>", 1},
      {"<\xEF\xBB\xBF a/>", 1},                    {"<a>&#x41;&#65;&amp;&foo;&</a>", 1},
      {"< a></a>", 0},                             {"<a>< b></a>", 1},
      {"<a><?pi x?></a>", 1},                      {"<A><a></a></A>", 2},
      {"<a\x7f></a\x7f>", 1},                      {"<\xE5\x90\x8D><b>t</b></\xE5\x90\x8D>", 2},
      {"  \n<a>\t<b/>\r\n</a>  ", 2},              {"", 0},
  };
  // Refused: references TinyXML reads past their end, unclosed or mismatched markup, and
  // a zero byte.
  const std::string refused[] = {
      "<a>&#x\"><b><c>x41;</a>", "<a>&#x</a>x1;<b></b></a>", "<a>&#\"><b>#65;</a>",  "<a>&#x;</a>",
      "<a x=\"&#x\"/><b>x1;\"/>", "<a>",                      "<a></b>",                "<a></a >",
      "<a><!-- x",              "<a><![CDATA[x",            "<a><!DOCTYPE",           "<?xml version=\"1.0\"",
      "<a b=\"1></a>",          "<a b=1\"2\"></a>",          "<a/ >",                  "<a b></a>",
      std::string("<a>\0</a>", 8),
  };
  for (const std::string& xml : refused) EXPECT_FALSE(ScanXmlStructure(xml, 1000).ok) << xml;
  for (const auto& r : rows) {
    XmlScanResult scan = ScanXmlStructure(r.xml, 1000);
    EXPECT_TRUE(scan.ok) << r.xml;
    if (!scan.ok) continue;
    EXPECT_EQ(scan.maxDepth, r.depth) << r.xml;
    TiXmlDocument doc;
    doc.SetTabSize(0);
    doc.Parse(r.xml.c_str(), nullptr, TIXML_ENCODING_UTF8);
    if (!doc.Error()) {
      EXPECT_EQ(TinyXmlDepth(doc), scan.maxDepth) << r.xml;
    }
  }
}

TEST(XmlScanTest, TheLimitCountsOpenElementsOnly) {
  std::string flat = "<r>";
  for (int i = 0; i < 5000; ++i) flat += "<i><n>x</n><e/></i>";
  flat += "</r>";
  XmlScanResult scan = ScanXmlStructure(flat, 3);
  EXPECT_TRUE(scan.ok);
  EXPECT_EQ(scan.maxDepth, 3);
}

TEST(XmlScanTest, AttributesUpToTheBoundAreReadAndOneMoreIsRefused) {
  for (bool declaration : {false, true}) {
    for (int n : {kXmlMaxAttributes, kXmlMaxAttributes + 1}) {
      std::string s = declaration ? "<?xml" : "<r";
      for (int i = 0; i < n; ++i) s += declaration ? " version='1'" : " a" + std::to_string(i) + "=''";
      s += declaration ? "?><r/>" : "/>";
      EXPECT_EQ(ScanXmlStructure(s, 10).ok, n == kXmlMaxAttributes) << s;
    }
  }
}

TEST(XmlScanTest, NodeLimitCountsWhatTinyXmlBuilds) {
  // A declaration, r and its attribute, a comment, k and its text, CDATA, an unknown.
  const std::string text = "<?xml version='1.0'?><r a='1'><!--c--><k>v</k><![CDATA[x]]><!x></r>";
  EXPECT_TRUE(ScanXmlStructure(text, 10, 8).ok);
  EXPECT_FALSE(ScanXmlStructure(text, 10, 7).ok);
}

}  // namespace
