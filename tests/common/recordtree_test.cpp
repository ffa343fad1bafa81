// The record tree node: lookups and their case rules, attribute order, stable child
// references, copies, reset, guarded index access and the key/value text.
#include "common/recordtree.h"

#include <string>
#include <vector>

#include "support/logcapture.h"
#include "support/testenv.h"

namespace {

class RecordTreeTest : public OstrelTest {};

TEST_F(RecordTreeTest, LookupsAndTheirCaseRules) {
  RecordTree node("r");
  node.AddValue("stub", "s1");
  node.AddValue("STUB", "s2");
  node.AddValue("Ärger", "umlaut");
  node.AddValue("a_b", "underscore");
  struct Row { const char* key; const char* want; } rows[] = {
      {"STUB", "s1"}, {"sTuB", "s1"}, {"äRGER", ""}, {"A_B", "underscore"}, {"a^b", ""}, {"stu", ""}, {"", ""},
  };
  for (const auto& r : rows) EXPECT_EQ(node.GetValue(r.key), r.want) << r.key;
  // Attribute names are case-sensitive, and a read never inserts one.
  node.SetAttribute("result", "ok");
  EXPECT_EQ(node.GetAttribute("result"), "ok");
  EXPECT_EQ(node.GetAttribute("Result"), "");
  EXPECT_EQ(node.GetAttribute("missing"), "");
  EXPECT_EQ(node.GetAttributeMap().size(), 1u) << "a read must not add the name";
}

TEST_F(RecordTreeTest, AttributesIterateInUtf16CodeUnitOrder) {
  RecordTree node;
  // U+E000 sorts after a character above U+FFFF in UTF-16 (its surrogates start at
  // D800), although its UTF-8 bytes sort before it.
  for (const char* name : {"b", "a", "B", "\xEE\x80\x80", "\xF0\x9F\x98\x80", "\xE4\xB8\xAD", "ab", "A"})
    node.SetAttribute(name, "v");
  std::vector<RecordTreePair> attrs;
  node.GetAttributes(attrs);
  std::vector<std::string> names;
  for (const auto& a : attrs) names.push_back(a.Key);
  EXPECT_EQ(names, (std::vector<std::string>{"A", "B", "a", "ab", "b", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80",
                                             "\xEE\x80\x80"}));
}

TEST_F(RecordTreeTest, ChildReferencesStayValidWhileMoreChildrenAreAdded) {
  RecordTree root("root");
  RecordTree& first = root.AddChild("first");
  std::vector<RecordTree*> seen{&first};
  for (int i = 0; i < 1000; ++i) seen.push_back(&root.AddChild("c" + std::to_string(i)));
  first.AddValue("k", "v");  // would write into freed memory with a reallocating vector
  first.AddChild("grandchild").SetAttribute("a", "b");
  ASSERT_EQ(root.GetChildCount(), 1001u);
  EXPECT_EQ(&root.GetChild(0), &first);
  EXPECT_EQ(&root.GetChild(500), seen[500]);
  EXPECT_EQ(root.GetChild(0).GetValue("k"), "v");
  EXPECT_EQ(root.GetChild(0).GetChild(0).GetAttribute("a"), "b");
}

TEST_F(RecordTreeTest, CopiesAreDeepAndIndependent) {
  RecordTree a("a");
  a.SetAttribute("x", "1");
  a.AddValue("k", "v");
  a.AddChild("child").AddChild("grandchild").AddValue("deep", "1");
  RecordTree b(a), c;
  c = a;
  EXPECT_TRUE(a == b && a == c);
  b.AddChild("extra");
  c.SetAttribute("x", "2");
  EXPECT_EQ(a.GetChildCount(), 1u);
  EXPECT_EQ(a.GetAttribute("x"), "1");
  EXPECT_NE(&a.GetChild(0).GetChild(0), &b.GetChild(0).GetChild(0));
  const RecordTree& alias = c;
  c = alias;  // self-assignment keeps the node
  EXPECT_EQ(c.GetChild(0).GetChild(0).GetValue("deep"), "1");
}

TEST_F(RecordTreeTest, IndexPastTheCountAssertsAndYieldsEmpty) {
  RecordTree node;
  node.AddValue("k", "v");
  node.AddChild("c").AddValue("x", "y");
  LogCapture cap;
  EXPECT_EQ(node.GetPair(0).Value, "v");
  EXPECT_EQ(node.GetChild(0).GetName(), "c");
  EXPECT_FALSE(cap.Contains("*ASSERT*"));
  EXPECT_EQ(node.GetPair(1), RecordTreePair());
  EXPECT_TRUE(node.GetChild(1).IsEmpty());
  EXPECT_TRUE(node.GetChild(static_cast<size_t>(-1)).IsEmpty());
  EXPECT_EQ(cap.Count("*ASSERT*: inRange"), 3) << cap.All();
}

// Only the node's own pairs, unencoded; an empty key is asserted.
TEST_F(RecordTreeTest, KeyValueText) {
  struct Row { std::vector<RecordTreePair> pairs; const char* want; } rows[] = {
      {{{"size", "4194304"}, {"k", ""}}, "size=4194304&k="},
      {{{"a", "x=y"}, {"a", "a b&c"}}, "a=x=y&a=a b&c"},
      {{}, ""},
  };
  for (const auto& r : rows) {
    RecordTree node("ignored");
    node.SetAttribute("attr", "ignored");
    node.AddChild("child").AddValue("ignored", "1");
    for (const auto& p : r.pairs) node.AddValue(p.Key, p.Value);
    EXPECT_EQ(RecordTreeToKeyValueText(node, '&', '='), r.want);
  }
  LogCapture cap;
  RecordTree node;
  node.AddValue("", "v");
  node.AddValue("k", "w");
  EXPECT_EQ(RecordTreeToKeyValueText(node, ';', ':'), ":v;k:w");
  EXPECT_TRUE(cap.Contains("*ASSERT*: !IsStrEmpty(RecordTree[i].Key)")) << cap.All();
}

}  // namespace
