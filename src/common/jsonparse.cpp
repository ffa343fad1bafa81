#include "common/jsonparse.h"

#include <new>
#include <string>

#include "common/utf8.h"

namespace {

// False when the text, read without parsing, nests objects and arrays deeper than
// kJsonMaxDepth or holds more than kReplyMaxNodes nodes: members (a ':' outside
// strings) and array elements (a '{' directly inside a '['). For a text that parses
// this is the number of nodes the reader adds; for one that does not, the reader
// stops at the first error, at most one node past the count.
bool JsonWithinLimits(std::string_view s) {
  std::string open;  // the unclosed '{' and '[', innermost last
  size_t nodes = 0;
  bool inString = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case ':':
        if (++nodes > kReplyMaxNodes) return false;
        break;
      case '{':
      case '[':
        if (c == '{' && !open.empty() && open.back() == '[' && ++nodes > kReplyMaxNodes) return false;
        open += c;
        if (open.size() > static_cast<size_t>(kJsonMaxDepth)) return false;
        break;
      case '}':
      case ']':
        if (!open.empty()) open.pop_back();
        break;
      default:
        break;
    }
  }
  return true;
}

// Recursive descent over the text. Each step starts at pos and leaves pos after what
// it consumed; false is a syntax error and ends the whole parse.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : m_s(text) {}

  bool ParseDocument(RecordTree& node) {
    SkipJsonSpaces();
    if (!ParseJsonObject(node, 1)) return false;
    SkipJsonSpaces();
    return m_pos == m_s.size();
  }

 private:
  // 0 at the end of the text, where the wide-text reader met its terminating NUL.
  char Peek() const { return m_pos < m_s.size() ? m_s[m_pos] : '\0'; }

  void SkipJsonSpaces() {
    while (Peek() == ' ') ++m_pos;
  }

  bool ParseJsonObject(RecordTree& node, int depth) {
    if (depth > kJsonMaxDepth || Peek() != '{') return false;
    ++m_pos;
    return ParseJsonMembers(node, depth);
  }

  bool ParseJsonMembers(RecordTree& node, int depth) {
    SkipJsonSpaces();
    if (Peek() == '}') {
      ++m_pos;
      return true;
    }
    for (;;) {
      if (!ParseJsonMember(node, depth)) return false;
      SkipJsonSpaces();
      char c = Peek();
      if (c == '}') {
        ++m_pos;
        return true;
      }
      if (c != ',') return false;
      ++m_pos;
      SkipJsonSpaces();
    }
  }

  bool ParseJsonMember(RecordTree& node, int depth) {
    SkipJsonSpaces();
    std::string name;
    if (!ParseJsonKey(name)) return false;
    SkipJsonSpaces();
    if (Peek() != ':') return false;
    ++m_pos;
    SkipJsonSpaces();
    CheckReplyNodeAllocation();
    switch (Peek()) {
      case '"': {
        ++m_pos;
        std::string value;
        if (!ParseJsonString(value)) return false;
        node.SetAttribute(name, std::move(value));
        return true;
      }
      case '[':
        ++m_pos;
        return ParseJsonArray(node.AddChild(std::move(name)), depth + 1);
      case '{':
        return ParseJsonObject(node.AddChild(std::move(name)), depth + 1);
      default:
        return false;  // numbers and literals included: the service sends strings
    }
  }

  // After '['; every element must be an object.
  bool ParseJsonArray(RecordTree& node, int depth) {
    if (depth > kJsonMaxDepth) return false;
    SkipJsonSpaces();
    if (Peek() == ']') {
      ++m_pos;
      return true;
    }
    for (;;) {
      CheckReplyNodeAllocation();
      RecordTree& element = node.AddChild(std::string());
      SkipJsonSpaces();
      if (!ParseJsonObject(element, depth + 1)) return false;
      SkipJsonSpaces();
      char c = Peek();
      if (c == ']') {
        ++m_pos;
        return true;
      }
      if (c != ',') return false;
      ++m_pos;
    }
  }

  bool ParseJsonKey(std::string& key) {
    if (Peek() != '"') return false;
    ++m_pos;
    return ParseJsonString(key);
  }

  // After the opening quote, up to and past the closing one.
  bool ParseJsonString(std::string& out) {
    for (;;) {
      if (m_pos >= m_s.size()) return false;
      char c = m_s[m_pos++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      switch (Peek()) {
        case '"': out += '"'; break;
        case '/': out += '/'; break;
        case '\\': out += '\\'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        default: return false;
      }
      ++m_pos;
    }
  }

  std::string_view m_s;
  size_t m_pos = 0;
};

}  // namespace

HRESULT JsonParse(RecordTree* node, std::string_view text) {
  if (!node) return E_FAIL;
  if (text.find('\0') != std::string_view::npos) return E_FAIL;
  try {
    std::string sanitized;
    if (!IsValidUtf8(text)) {
      sanitized = ToValidUtf8(text);
      text = sanitized;
    }
    if (!JsonWithinLimits(text)) return E_FAIL;
    return JsonReader(text).ParseDocument(*node) ? S_OK : E_FAIL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}
