// The structure check run before TinyXML: for every text it accepts, the nesting it
// reports must be the nesting TinyXML itself builds (TinyXML is the peer here), and
// the texts on which TinyXML's reading is unsafe must be refused.
#include "common/xmlscan.h"

#include <tinyxml.h>

#include <random>
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

struct Row {
  std::string xml;
  bool ok;
  int depth;  // when ok
};

TEST(XmlScanTest, DepthMatchesTinyXmlOnAcceptedTexts) {
  TiXmlBase::SetCondenseWhiteSpace(false);
  const Row rows[] = {
      {"<a><b><c/></b></a>", true, 3},
      {"<a x='1' y=\"2\" z=3><b/></a>", true, 2},
      {"<a x=\"/>\"><b></b></a>", true, 2},
      {"<a><b x='>'/></a>", true, 2},
      {"<a><!-- <b><c><d> --></a>", true, 1},
      {"<a><![CDATA[<b><c>]]></a>", true, 1},
      {"<?xml version=\"a>b\"?><a><b/></a>", true, 2},
      {"<?xml-stylesheet href=\"a>b\"?><a><b/></a>", true, 0},  // TinyXML stops at "b\"?>"
      {"<!DOCTYPE a><a/>", true, 1},
      {"<a>x</a>junk<b><c></c></b>", true, 1},
      {"<a></a><b><c/></b>", true, 2},
      {"\xEF\xBB\xBF<a/>", true, 1},
      {"<\xEF\xBB\xBF a/>", true, 1},
      {"<a>&#x41;&#65;&amp;&foo;&</a>", true, 1},
      {"< a></a>", true, 0},
      {"<a>< b></a>", true, 1},
      {"<a><?pi x?></a>", true, 1},
      {"<A><a></a></A>", true, 2},
      {"<a\x7f></a\x7f>", true, 1},
      {"<\xE5\x90\x8D><b>t</b></\xE5\x90\x8D>", true, 2},
      {"  \n<a>\t<b/>\r\n</a>  ", true, 2},
      {"", true, 0},
      {"<a>&#x\"><b><c>x41;</a>", false, 0},
      {"<a>&#x</a>x1;<b></b></a>", false, 0},
      {"<a>&#\"><b>#65;</a>", false, 0},
      {"<a>&#x;</a>", false, 0},
      {"<a x=\"&#x\"/><b>x1;\"/>", false, 0},
      {"<a>", false, 0},
      {"<a></b>", false, 0},
      {"<a></a >", false, 0},
      {"<a><!-- x", false, 0},
      {"<a><![CDATA[x", false, 0},
      {"<a><!DOCTYPE", false, 0},
      {"<?xml version=\"1.0\"", false, 0},
      {"<a b=\"1></a>", false, 0},
      {"<a b=1\"2\"></a>", false, 0},
      {"<a/ >", false, 0},
      {"<a b></a>", false, 0},
      {std::string("<a>\0</a>", 8), false, 0},
  };
  for (const auto& r : rows) {
    XmlScanResult scan = ScanXmlStructure(r.xml, 1000);
    EXPECT_EQ(scan.ok, r.ok) << r.xml;
    if (!scan.ok || !r.ok) continue;
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

  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "<a>";
  for (int i = 0; i < 300; ++i) deep += "</a>";
  EXPECT_FALSE(ScanXmlStructure(deep, 299).ok);
  scan = ScanXmlStructure(deep, 300);
  EXPECT_TRUE(scan.ok);
  EXPECT_EQ(scan.maxDepth, 300);
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

// Texts stitched from fragments that stress TinyXML's reading: quotes, references
// with and without their ';', markup inside values, comments, CDATA, declarations.
TEST(XmlScanTest, RandomFragmentSoupNeverNestsDeeperInTinyXmlThanReported) {
  TiXmlBase::SetCondenseWhiteSpace(false);
  // Element tags and references come often, the rest now and then.
  const std::vector<std::pair<std::string, int>> weighted = {
      {"<a>", 8}, {"</a>", 8}, {"<b>", 4}, {"</b>", 4}, {"&#x", 6}, {"&#", 3}, {"x41;", 6}, {"#65;", 3},
      {"<a/>", 1}, {"<b x='", 1}, {"<a y=\"", 1}, {"'", 1}, {"\"", 1}, {"/>", 1}, {">", 1}, {"<", 1},
      {"</", 1}, {";", 1}, {"&amp;", 1}, {"&", 1}, {"x", 1}, {" ", 1}, {"<!--", 1}, {"-->", 1},
      {"<![CDATA[", 1}, {"]]>", 1}, {"<?xml ", 1}, {"version=", 1}, {"<!", 1}, {"\xEF\xBB\xBF", 1},
      {"=", 1}, {"1", 1},
  };
  std::vector<std::string> fragments;
  for (const auto& [f, w] : weighted) fragments.insert(fragments.end(), w, f);
  std::mt19937 rng(12345);
  int accepted = 0, deepest = 0;
  for (int round = 0; round < 100000; ++round) {
    std::string text;
    int n = std::uniform_int_distribution<int>(1, 24)(rng);
    for (int i = 0; i < n; ++i) text += fragments[rng() % fragments.size()];
    XmlScanResult scan = ScanXmlStructure(text, 1000);
    if (!scan.ok) continue;
    ++accepted;
    TiXmlDocument doc;
    doc.SetTabSize(0);
    doc.Parse(text.c_str(), nullptr, TIXML_ENCODING_UTF8);
    int depth = TinyXmlDepth(doc);
    deepest = std::max(deepest, depth);
    ASSERT_LE(depth, scan.maxDepth) << text;
  }
  EXPECT_GT(accepted, 1000);
  EXPECT_GE(deepest, 2);
}

}  // namespace
