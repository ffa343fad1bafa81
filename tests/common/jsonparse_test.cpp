// The JSON reply reader: the subset the service sends, its mapping onto the tree,
// the cases that must fail, and the nesting limit.
#include "common/jsonparse.h"

#include <string>

#include "support/testenv.h"
#include "support/treedump.h"

namespace {

// An object nested `depth` levels deep, counting the top-level object.
std::string NestedObjects(int depth) {
  std::string s;
  for (int i = 1; i < depth; ++i) s += "{\"a\":";
  s += "{\"v\":\"x\"}";
  for (int i = 1; i < depth; ++i) s += "}";
  return s;
}

class JsonParseTest : public OstrelTest {};

TEST_F(JsonParseTest, AcceptedTextsAndTheirTrees) {
  struct Row { std::string json; std::string want; } rows[] = {
      {R"(  { "code" : "ok" , "b" : "2" }   )", "{b=2,code=ok}"},
      {R"({"code":"ok","metas":[{"index":"1"},{"index":"2"}]})", "{code=ok}(metas({index=1})({index=2}))"},
      {R"({"list":[ ]})", "(list)"},
      {R"({"o":{"x":{"y":"z"}},"o":{}})", "(o(x{y=z}))(o)"},
      {R"({"a":"1","a":"2"})", "{a=2}"},
      {R"({})", ""},
      {R"({"s":"a\/b\"c\\d\ne\rf"})", "{s=a/b\"c\\d\ne\rf}"},
      {"{\"s\":\"tab\there\"}", "{s=tab\there}"},  // raw control characters are kept
      {R"({"":""})", "{=}"},
      {"{\"\xE4\xB8\xAD\":\"\xF0\x9F\x98\x80 \xE6\x96\x87\"}", "{\xE4\xB8\xAD=\xF0\x9F\x98\x80 \xE6\x96\x87}"},
      {"{\"s\":\"a\xff" "b\"}", "{s=a\xEF\xBF\xBD" "b}"},  // not UTF-8: U+FFFD
  };
  for (const auto& r : rows) {
    RecordTree node;
    ASSERT_EQ(JsonParse(&node, r.json), S_OK) << r.json;
    EXPECT_EQ(DumpTree(node), r.want) << r.json;
  }
}

TEST_F(JsonParseTest, RejectedTextsKeepTheMembersReadBeforeTheError) {
  const std::string rows[] = {
      "",                        "   ",                       "{\"code\":\"ok\"}\n",
      "\t{\"code\":\"ok\"}",      "{\"code\":\r\"ok\"}",       "{\"code\":0}",            "{\"code\":null}",
      "{\"s\":\"\\u0041\"}",       "{\"s\":\"\\t\"}",             "{\"s\":\"\\b\"}",
      "{\"s\":\"\\\"}",           "{\"s\":\"open}",             "{\"list\":[\"x\"]}",
      "{\"list\":[[]]}",          "{\"list\":[{\"a\":\"1\"},]}",   "{\"list\":[{\"a\":\"1\"}}",
      "[{\"a\":\"1\"}]",          "{\"a\":\"1\",}",             "{\"a\":\"1\" \"b\":\"2\"}",
      "{a:\"1\"}",               "{\"a\" \"1\"}",              "{\"a\":\"1\"}{}",
      "{\"a\":\"1\"} x",          "{\"a\":\"1\"",               "{",
      "\"a\"",                   std::string("{\"a\":\"1\"}\0", 10), std::string("{\"a\":\"x\0y\"}", 11),
  };
  for (const auto& json : rows) {
    RecordTree node;
    EXPECT_EQ(JsonParse(&node, json), E_FAIL) << json;
  }
  RecordTree node;
  EXPECT_EQ(JsonParse(&node, R"({"code":"ok","n":1})"), E_FAIL);
  EXPECT_EQ(node.GetAttribute("code"), "ok");
}

TEST_F(JsonParseTest, NestingLimitAndDepthBombs) {
  RecordTree node;
  ASSERT_EQ(JsonParse(&node, NestedObjects(kJsonMaxDepth)), S_OK);
  const RecordTree* t = &node;
  for (int i = 1; i < kJsonMaxDepth; ++i) t = &t->GetChild(0);
  EXPECT_EQ(t->GetAttribute("v"), "x");

  RecordTree refused;
  EXPECT_EQ(JsonParse(&refused, NestedObjects(kJsonMaxDepth + 1)), E_FAIL);
  EXPECT_TRUE(refused.IsEmpty()) << "refused before anything is read";

  // Arrays count as a level: object, array, element object, ...
  std::string arrays;
  for (int i = 0; i < 16; ++i) arrays += "{\"l\":[";
  arrays += "{}";
  for (int i = 0; i < 16; ++i) arrays += "]}";
  EXPECT_EQ(JsonParse(&refused, arrays), E_FAIL);  // 33 levels
  // Brackets inside strings do not count.
  RecordTree quoted;
  EXPECT_EQ(JsonParse(&quoted, "{\"s\":\"" + std::string(100, '{') + "\\\"" + std::string(100, '[') + "\"}"), S_OK);
  // 50000 levels fail without a crash.
  std::string objects;
  arrays.clear();
  for (int i = 0; i < 50000; ++i) {
    objects += "{\"a\":";
    arrays += "{\"a\":[";
  }
  for (const std::string* bomb : {&objects, &arrays}) {
    RecordTree bombed;
    EXPECT_EQ(JsonParse(&bombed, *bomb), E_FAIL);
    EXPECT_TRUE(bombed.IsEmpty());
  }
}

TEST_F(JsonParseTest, MoreMembersAndArrayElementsThanTheBudgetAreRefusedUnread) {
  const struct { std::string open, each, close; size_t times; HRESULT hr; } rows[] = {
      {"{", "\"\":\"\",", "\"\":\"\"}", kReplyMaxNodes, E_FAIL},  // one member too many
      {"{\"a\":[", "{},", "{}]}", kReplyMaxNodes - 1, E_FAIL},    // a member, then elements
      {"{\"s\":\"", "[{:", "\"}", kReplyMaxNodes, S_OK},          // nothing counts in a string
  };
  for (const auto& r : rows) {
    std::string json = r.open;
    json.reserve(r.each.size() * r.times + 16);
    for (size_t i = 0; i < r.times; ++i) json += r.each;
    RecordTree node;
    EXPECT_EQ(JsonParse(&node, json + r.close), r.hr) << r.open;
    EXPECT_EQ(node.IsEmpty(), r.hr == E_FAIL) << r.open;
  }
}

TEST_F(JsonParseTest, AnAllocationFailureAnywhereIsOutOfMemory) {
  const std::string json = R"({"code":"ok","blocks":[{"index":"1"},{"index":"2"}]})";  // 6 nodes
  for (int64_t n = 0; n <= 6; ++n) {
    RecordTree node;
    recordtreecontrol::FailReplyNodeAfter(n);
    EXPECT_EQ(JsonParse(&node, json), n < 6 ? E_OUTOFMEMORY : S_OK) << n;
  }
  recordtreecontrol::FailReplyNodeAfter(-1);
}

}  // namespace
