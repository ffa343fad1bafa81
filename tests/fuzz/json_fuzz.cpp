// Fuzz target: the JSON reply reader (JsonParse). Besides the sanitizers' checks it
// traps when an accepted tree is nested deeper than the limit, or when the tree,
// written back as JSON of the same subset and read again, differs from itself.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/jsonparse.h"

namespace {

int Depth(const RecordTree& t) {
  int deepest = 0;
  for (size_t i = 0; i < t.GetChildCount(); ++i) {
    int d = Depth(t.GetChild(i));
    if (d > deepest) deepest = d;
  }
  return deepest + 1;
}

void WriteString(const std::string& s, std::string& out) {
  out += '"';
  for (char c : s)
    out += c == '"' ? "\\\"" : c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
  out += '"';
}

// A node whose children are all unnamed and that has no attributes was an array or
// reads back the same as one; anything else is written as an object.
bool LooksLikeArray(const RecordTree& t) {
  if (!t.GetAttributeMap().empty()) return false;
  for (size_t i = 0; i < t.GetChildCount(); ++i)
    if (!t.GetChild(i).GetName().empty()) return false;
  return true;
}

void WriteObject(const RecordTree& t, std::string& out) {
  out += '{';
  bool first = true;
  for (const auto& [k, v] : t.GetAttributeMap()) {
    if (!first) out += ',';
    first = false;
    WriteString(k, out);
    out += ':';
    WriteString(v, out);
  }
  for (size_t i = 0; i < t.GetChildCount(); ++i) {
    const RecordTree& child = t.GetChild(i);
    if (!first) out += ',';
    first = false;
    WriteString(child.GetName(), out);
    out += ':';
    if (LooksLikeArray(child) && child.GetChildCount() > 0) {
      out += '[';
      for (size_t j = 0; j < child.GetChildCount(); ++j) {
        if (j > 0) out += ',';
        WriteObject(child.GetChild(j), out);
      }
      out += ']';
    } else {
      WriteObject(child, out);
    }
  }
  out += '}';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  RecordTree node;
  if (JsonParse(&node, input) != S_OK) return 0;
  if (Depth(node) > kJsonMaxDepth) __builtin_trap();
  std::string text;
  WriteObject(node, text);
  RecordTree again;
  if (JsonParse(&again, text) != S_OK || !(again == node)) __builtin_trap();
  return 0;
}
