// A compact picture of a record tree for comparisons in tests:
// name{attr=v,...}[key=value;...](child)(child)...
#pragma once

#include <string>

#include "common/recordtree.h"

inline std::string DumpTree(const RecordTree& t) {
  std::string s = t.GetName();
  if (!t.GetAttributeMap().empty()) {
    s += '{';
    bool first = true;
    for (const auto& [k, v] : t.GetAttributeMap()) {
      if (!first) s += ',';
      first = false;
      s += k + "=" + v;
    }
    s += '}';
  }
  if (t.GetPairCount() > 0) {
    s += '[';
    for (size_t i = 0; i < t.GetPairCount(); ++i) {
      if (i > 0) s += ';';
      s += t.GetPair(i).Key + "=" + t.GetPair(i).Value;
    }
    s += ']';
  }
  for (size_t i = 0; i < t.GetChildCount(); ++i) s += "(" + DumpTree(t.GetChild(i)) + ")";
  return s;
}
