// Fuzz target: the XML reply reader (ParseXmlToRecordTree), which reads whatever the
// network returns. Besides the sanitizers' checks it traps when
//  - TinyXML builds a document nested deeper than the structure check reported for a
//    text the check accepted (the bound that keeps TinyXML's recursion off the end of
//    the stack), for the input itself and for a text stitched from markup fragments
//    that the input's bytes pick (TinyXML is not instrumented, so raw bytes alone give
//    the fuzzer little guidance towards its quirks), or
//  - a tree that was read, written again and read back differs from itself.
#include <tinyxml.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/log.h"
#include "common/utf8.h"
#include "common/xmlhelper.h"
#include "common/xmlscan.h"

namespace {

int TinyXmlDepth(const TiXmlDocument& doc) {
  int deepest = 0;
  std::vector<std::pair<const TiXmlNode*, int>> todo{{&doc, 0}};
  while (!todo.empty()) {
    auto [node, depth] = todo.back();
    todo.pop_back();
    for (const TiXmlNode* c = node->FirstChild(); c; c = c->NextSibling()) {
      if (!c->ToElement()) continue;
      if (depth + 1 > deepest) deepest = depth + 1;
      todo.push_back({c, depth + 1});
    }
  }
  return deepest;
}

// Text that TinyXML drops as white space between elements when it is read back.
bool BlankToTinyXml(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    if (s[i] == ' ') {
      ++i;
    } else if (s.substr(i, 3) == "\xEF\xBB\xBF" || s.substr(i, 3) == "\xEF\xBF\xBE" ||
               s.substr(i, 3) == "\xEF\xBF\xBF") {
      i += 3;
    } else {
      return false;
    }
  }
  return true;
}

void CheckDepthBound(std::string_view input) {
  if (input.find('\0') != std::string_view::npos) return;
  std::string text = ToValidUtf8(input);
  XmlScanResult scan = ScanXmlStructure(text, kXmlMaxDepth);
  if (!scan.ok) return;
  TiXmlDocument doc;
  doc.SetTabSize(0);
  doc.Parse(text.c_str(), nullptr, TIXML_ENCODING_UTF8);
  if (TinyXmlDepth(doc) > scan.maxDepth) __builtin_trap();
}

std::string FragmentSoup(std::string_view input) {
  static const char* const kFragments[] = {
      "<a>", "</a>", "<b>", "</b>", "<a/>", "<b x='", "<a y=\"", "<a ", "'", "\"", "/>", ">", "<",
      "</", "&#x", "&#", "x41;", "#65;", ";", "&amp;", "&lt;", "&", "x", "1", " ", "\t", "\n", "=",
      "<!--", "-->", "<![CDATA[", "]]>", "<?xml ", "?>", "version=", "encoding='", "standalone=",
      "<!", "<!DOCTYPE", "\xEF\xBB\xBF", "\xEF\xBF\xBE", "<\xE5\x90\x8D>", "</\xE5\x90\x8D>", "b=",
      "-", ":", "_", "[",
  };
  constexpr size_t kCount = sizeof(kFragments) / sizeof(kFragments[0]);
  std::string text = "<r>";
  for (unsigned char c : input) text += kFragments[c % kCount];
  text += "</r>";
  return text;
}

bool RoundTrips(const RecordTree& t) {
  for (const auto& pair : t.GetPairs())
    if (BlankToTinyXml(pair.Value)) return false;
  for (size_t i = 0; i < t.GetChildCount(); ++i)
    if (!RoundTrips(t.GetChild(i))) return false;
  return true;
}

void CheckReader(std::string_view text) {
  RecordTree node;
  if (ParseXmlToRecordTree(&node, text) != S_OK || !IsRecordTreeXmlSafe(node) || !RoundTrips(node)) return;
  RecordTree again;
  if (ParseXmlToRecordTree(&again, RecordTreeToXmlDocument(node)) != S_OK || !(again == node)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    logcontrol::SetPauseMs(0);
    LogInit("fuzz", "/nonexistent/fuzz.log", -1, 0, -1);  // no line passes threshold -1
    return true;
  }();
  (void)quiet;
  std::string_view input(reinterpret_cast<const char*>(data), size);

  CheckReader(input);
  CheckDepthBound(input);
  std::string soup = FragmentSoup(input);
  CheckReader(soup);
  CheckDepthBound(soup);
  return 0;
}
