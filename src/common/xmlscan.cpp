#include "common/xmlscan.h"

#include <string>
#include <vector>

namespace {

// TinyXML's white space: the C locale's isspace().
bool IsSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsAsciiAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(unsigned char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
// TinyXML takes every byte from 127 up for a letter.
bool IsNameStart(unsigned char c) { return c >= 127 || IsAsciiAlpha(c) || c == '_'; }
bool IsNameChar(unsigned char c) {
  return c >= 127 || IsAsciiAlpha(c) || IsDigit(c) || c == '_' || c == '-' || c == '.' || c == ':';
}
unsigned char AsciiLower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

class Scanner {
 public:
  Scanner(std::string_view text, int maxDepth, size_t maxNodes)
      : m_s(text), m_maxDepth(maxDepth), m_maxNodes(maxNodes) {}

  XmlScanResult Run() {
    XmlScanResult result;
    if (m_s.find('\0') != std::string_view::npos) return result;
    SkipWhiteSpace();
    for (;;) {
      if (m_open.empty()) {
        // Document level: TinyXML stops at the first thing that is not a "<".
        if (AtEnd() || Byte(m_i) != '<') break;
        if (!ReadNode()) return result;
      } else if (AtEnd()) {
        return result;  // an element left open
      } else if (Byte(m_i) != '<') {
        if (!AddNode() || !SkipTextUntil('<', false)) return result;
      } else if (Byte(m_i + 1) == '/') {
        if (!ReadEndTag()) return result;
      } else if (!ReadNode()) {
        return result;
      }
      if (m_tooDeep) return result;
      SkipWhiteSpace();
    }
    result.ok = true;
    result.maxDepth = m_deepest;
    return result;
  }

 private:
  bool AtEnd() const { return m_i >= m_s.size(); }
  // The byte at k, or 0 past the end (where TinyXML sees the terminating NUL).
  unsigned char Byte(size_t k) const { return k < m_s.size() ? static_cast<unsigned char>(m_s[k]) : 0; }

  bool StartsWith(std::string_view prefix, bool ignoreCase = false) const {
    if (m_s.size() - m_i < prefix.size()) return false;
    for (size_t k = 0; k < prefix.size(); ++k) {
      unsigned char a = Byte(m_i + k), b = static_cast<unsigned char>(prefix[k]);
      if (ignoreCase ? AsciiLower(a) != AsciiLower(b) : a != b) return false;
    }
    return true;
  }

  // TinyXML's SkipWhiteSpace for UTF-8: white space and the byte-order-mark-like
  // sequences EF BB BF, EF BF BE and EF BF BF.
  void SkipWhiteSpace() {
    while (!AtEnd()) {
      unsigned char c = Byte(m_i);
      if (c == 0xEF && ((Byte(m_i + 1) == 0xBB && Byte(m_i + 2) == 0xBF) ||
                        (Byte(m_i + 1) == 0xBF && (Byte(m_i + 2) == 0xBE || Byte(m_i + 2) == 0xBF)))) {
        m_i += 3;
      } else if (IsSpace(c)) {
        ++m_i;
      } else {
        break;
      }
    }
  }

  // Counts one node; false once the count passes the limit.
  bool AddNode() { return ++m_nodes <= m_maxNodes; }

  bool ReadName() {
    if (!IsNameStart(Byte(m_i))) return false;
    while (IsNameChar(Byte(m_i))) ++m_i;
    return true;
  }

  // At '&'. Named entities and stray ampersands are read as TinyXML reads them;
  // numeric references must be well formed (TinyXML looks for the next ';' anywhere
  // and reads back from it, which can swallow markup).
  bool SkipEntity() {
    if (Byte(m_i + 1) == '#' && Byte(m_i + 2) != 0) {
      bool hex = Byte(m_i + 2) == 'x';
      size_t j = m_i + (hex ? 3 : 2);
      size_t first = j;
      while (hex ? IsHexDigit(Byte(j)) : IsDigit(Byte(j))) ++j;
      if (j == first || Byte(j) != ';') return false;
      m_i = j + 1;
      return true;
    }
    for (std::string_view named : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
      if (StartsWith(named)) {
        m_i += named.size();
        return true;
      }
    }
    ++m_i;
    return true;
  }

  // Text with entities up to `end` (element text up to '<', an attribute value up to
  // its quote). The end must be found.
  bool SkipTextUntil(char end, bool consumeEnd) {
    while (!AtEnd()) {
      unsigned char c = Byte(m_i);
      if (c == static_cast<unsigned char>(end)) {
        if (consumeEnd) ++m_i;
        return true;
      }
      if (c == '&') {
        if (!SkipEntity()) return false;
      } else {
        ++m_i;
      }
    }
    return false;
  }

  // Raw text (no entities) up to and past `end`, which must be found.
  bool SkipPast(std::string_view end) {
    size_t pos = m_s.find(end, m_i);
    if (pos == std::string_view::npos) return false;
    m_i = pos + end.size();
    return true;
  }

  // name = value, the value quoted with ' or ", or unquoted up to white space, '/' or '>'.
  bool ReadAttribute() {
    SkipWhiteSpace();
    if (AtEnd() || !ReadName()) return false;
    SkipWhiteSpace();
    if (Byte(m_i) != '=') return false;
    ++m_i;
    SkipWhiteSpace();
    if (AtEnd()) return false;
    unsigned char c = Byte(m_i);
    if (c == '\'' || c == '"') {
      ++m_i;
      return SkipTextUntil(static_cast<char>(c), true);
    }
    while (!AtEnd()) {
      c = Byte(m_i);
      if (IsSpace(c) || c == '/' || c == '>') break;
      if (c == '\'' || c == '"') return false;
      ++m_i;
    }
    return true;
  }

  // After "<?xml": TinyXML reads version, encoding and standalone as attributes and
  // steps over anything else up to white space or '>'.
  bool ReadDeclaration() {
    m_i += 5;
    int attributes = 0;
    for (;;) {
      if (AtEnd()) return false;
      if (Byte(m_i) == '>') {
        ++m_i;
        return true;
      }
      SkipWhiteSpace();
      if (AtEnd()) return false;
      if (StartsWith("version", true) || StartsWith("encoding", true) || StartsWith("standalone", true)) {
        if (++attributes > kXmlMaxAttributes || !ReadAttribute()) return false;
      } else {
        while (!AtEnd() && Byte(m_i) != '>' && !IsSpace(Byte(m_i))) ++m_i;
      }
    }
  }

  // At '<' (not an end tag): one node, told apart in TinyXML's order. An element's
  // start tag is read whole; when it is not self-closed, the element stays open.
  bool ReadNode() {
    if (!AddNode()) return false;
    if (StartsWith("<?xml", true)) return ReadDeclaration();
    if (StartsWith("<!--")) {
      m_i += 4;
      return SkipPast("-->");
    }
    if (StartsWith("<![CDATA[")) {
      m_i += 9;
      return SkipPast("]]>");
    }
    if (!StartsWith("<!") && IsNameStart(Byte(m_i + 1))) return ReadStartTag();
    ++m_i;  // anything else runs to the next '>'
    return SkipPast(">");
  }

  bool ReadStartTag() {
    ++m_i;
    SkipWhiteSpace();
    size_t nameStart = m_i;
    if (!ReadName() || AtEnd()) return false;
    m_open.push_back(m_s.substr(nameStart, m_i - nameStart));
    int depth = static_cast<int>(m_open.size());
    if (depth > m_deepest) m_deepest = depth;
    if (depth > m_maxDepth) {
      m_tooDeep = true;
      return true;
    }
    int attributes = 0;
    for (;;) {
      SkipWhiteSpace();
      if (AtEnd()) return false;
      unsigned char c = Byte(m_i);
      if (c == '/') {
        if (Byte(m_i + 1) != '>') return false;
        m_i += 2;
        m_open.pop_back();
        return true;
      }
      if (c == '>') {
        ++m_i;
        return true;
      }
      if (++attributes > kXmlMaxAttributes || !AddNode() || !ReadAttribute()) return false;
    }
  }

  // At "</": the end tag must be exactly "</name>" for the innermost open element.
  bool ReadEndTag() {
    std::string_view name = m_open.back();
    if (m_s.size() - m_i < name.size() + 3 || m_s.substr(m_i + 2, name.size()) != name ||
        Byte(m_i + 2 + name.size()) != '>')
      return false;
    m_i += name.size() + 3;
    m_open.pop_back();
    return true;
  }

  std::string_view m_s;
  size_t m_i = 0;
  int m_maxDepth;
  size_t m_maxNodes;
  size_t m_nodes = 0;
  int m_deepest = 0;
  bool m_tooDeep = false;
  std::vector<std::string_view> m_open;  // names of the open elements, innermost last
};

}  // namespace

XmlScanResult ScanXmlStructure(std::string_view text, int maxDepth, size_t maxNodes) {
  return Scanner(text, maxDepth, maxNodes).Run();
}
