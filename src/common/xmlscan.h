// The structure check that every XML text passes before TinyXML parses it.
//
// TinyXML 2.6 recurses once per open element while it parses and again while it
// frees the document, so a reply of a few hundred kilobytes of nested tags
// overflows the stack. This scanner follows TinyXML's own reading of the text
// (its white space, names, entities, comments, CDATA sections, declarations and
// other "<...>" constructs) without recursion, and measures the deepest element
// nesting that TinyXML would reach. It refuses texts on which TinyXML's reading
// is unsafe or would not match its own: a construct cut off by the end of the
// text, an end tag that does not match, a numeric character reference that is not
// exactly "&#x<hex digits>;" or "&#<digits>;" (TinyXML can read such a one across
// markup), and a NUL byte.
//
// The text must be valid UTF-8 (callers replace invalid sequences first): with a
// broken sequence TinyXML can step over markup or past the end of the text.
#pragma once

#include <string_view>

struct XmlScanResult {
  bool ok = false;    // false: refused (see above), or nested deeper than the limit
  int maxDepth = 0;   // deepest element nesting seen (the root element is depth 1)
};

// Scans the text as TinyXML will read it. Nesting deeper than maxDepth is refused as
// soon as it is seen. Text after the last top-level construct that TinyXML ignores is
// ignored here too.
XmlScanResult ScanXmlStructure(std::string_view text, int maxDepth);
