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
// markup), a NUL byte, and an element or XML declaration with more than
// kXmlMaxAttributes attributes (TinyXML checks each new attribute against all before
// it, so reading them takes time quadratic in their number, after the transfer and
// outside its time-out).
//
// It also counts the nodes TinyXML would build, never fewer: elements, runs of
// element text, comments, CDATA sections, declarations, other "<...>" constructs, and
// every attribute of an element. A caller bounds this count to bound the memory that
// the parsed document takes, whatever the size of the text.
//
// The text must be valid UTF-8 (callers replace invalid sequences first): with a
// broken sequence TinyXML can step over markup or past the end of the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// The most attributes one element (or the XML declaration) may carry. The service's
// replies carry at most two: "result" on the root, version and encoding on the
// declaration; 64 leaves room for anything a reply may add while the quadratic check
// stays at a few thousand comparisons per element.
inline constexpr int kXmlMaxAttributes = 64;

struct XmlScanResult {
  bool ok = false;    // false: refused (see above), or past one of the limits
  int maxDepth = 0;   // deepest element nesting seen (the root element is depth 1)
};

// Scans the text as TinyXML will read it. Nesting deeper than maxDepth, and more than
// maxNodes nodes, are refused as soon as they are seen. Text after the last top-level
// construct that TinyXML ignores is ignored here too.
XmlScanResult ScanXmlStructure(std::string_view text, int maxDepth, size_t maxNodes = SIZE_MAX);
