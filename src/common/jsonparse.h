// The reader of the block server's JSON replies. It accepts only the subset the
// service sends: one object whose members are strings, objects, or arrays of
// objects, with plain blanks (U+0020) as the only white space between tokens.
//
// Mapping into the RecordTree passed in (which receives the top-level members):
//   "name":"text"      SetAttribute(name, text); a repeated name keeps the last value
//   "name":{...}       AddChild(name), the object's members go into that child
//   "name":[{...},...] AddChild(name), every element becomes an unnamed child of it
// The pair list is never used.
//
// Strings know only the escapes \" \/ \\ \n \r; any other escape (\t, \b, \f, \u...)
// is an error, and every other character, control characters included, is kept as
// it stands. Numbers, true, false and null are errors, and so are tab, CR and LF
// outside strings.
#pragma once

#include <string_view>

#include "common/recordtree.h"
#include "common/resultcodes.h"

// Deepest nesting of objects and arrays that JsonParse accepts; the top-level object
// is depth 1.
inline constexpr int kJsonMaxDepth = 32;

// Reads the text (UTF-8; bytes that are not UTF-8 are read as U+FFFD) into *node.
// Returns S_OK when the whole text is one object, optionally surrounded by blanks;
// E_OUTOFMEMORY when memory runs out while it is read; otherwise E_FAIL. A text with
// a NUL byte, nested deeper than kJsonMaxDepth, or with more than kReplyMaxNodes
// members and array elements together, is refused before anything is read. After a
// syntax error or E_OUTOFMEMORY *node may hold the members read before it: callers
// discard the node on failure. Logs nothing.
HRESULT JsonParse(RecordTree* node, std::string_view text);
