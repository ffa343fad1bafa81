// The XML forms of a RecordTree: the request body written from a tree, and the
// reader that turns a reply document into a tree.
#pragma once

#include <string>
#include <string_view>

#include "common/recordtree.h"
#include "common/resultcodes.h"

// Deepest element nesting that ParseXmlToRecordTree accepts (the root is depth 1).
inline constexpr int kXmlMaxDepth = 256;

// Replaces "&" with "&amp;", then "<" with "&lt;" and ">" with "&gt;", and, with
// escapeQuotes, '"' with "&quot;". An entity already in the text is escaped again.
// Apostrophes and control characters are left as they are; a text that is not
// IsXmlSafeText() logs an assertion (callers refuse such values before writing).
std::string XmlEscape(std::string_view text, bool escapeQuotes);

// True when the text can travel as XML text and come back unchanged: valid UTF-8
// without control characters (U+0000..U+001F and U+007F).
bool IsXmlSafeText(std::string_view text);
// IsXmlSafeText() for the name, every attribute, key and value of the tree.
bool IsRecordTreeXmlSafe(const RecordTree& node);

// "<?xml version=\"1.0\" encoding=\"utf-8\" ?>" immediately followed by the node:
// "<name" + attributes in attribute order as ` name="value"` + ">", every pair as
// "<key>value</key>", every child the same way, then "</name>". No white space is
// added anywhere and no element is written as an empty-element tag. Names and
// element text escape &, < and >; attribute values also escape '"'. Never fails.
std::string RecordTreeToXmlDocument(const RecordTree& node);

// Reads a UTF-8 XML document (TinyXML, white space kept as it stands) into *node:
// the root element's name and attributes; every child element whose first content
// is text becomes a pair (its name and that text; its attributes and further
// content are dropped); every other child element becomes a child node, filled the
// same way. Comments, declarations and text directly inside a node are dropped.
// Bytes that are not UTF-8 are read as U+FFFD, as is every decoded character that is
// not one (a reference to a surrogate, for example); a character reference to U+0000
// ends its text there.
//
// Returns S_OK, or E_FAIL (logged) for a text that does not parse, holds a NUL byte,
// has no root element, nests elements deeper than kXmlMaxDepth, holds more than
// kReplyMaxNodes nodes, or that the structure check refuses otherwise (see
// common/xmlscan.h), or E_OUTOFMEMORY (logged) when memory runs out while the text
// is read. On failure *node is untouched.
// Existing content of *node is kept and added to; callers pass an empty node.
// Safe to call from any thread.
HRESULT ParseXmlToRecordTree(RecordTree* node, std::string_view xml);
