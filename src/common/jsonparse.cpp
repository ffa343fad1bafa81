#include "common/jsonparse.h"

#include <string>

#include "common/utf8.h"

namespace {

// The deepest nesting of objects and arrays outside strings, without parsing.
int JsonNestingDepth(std::string_view s) {
  int depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '{' || c == '[') {
      if (++depth > deepest) deepest = depth;
    } else if (c == '}' || c == ']') {
      --depth;
    }
  }
  return deepest;
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
  std::string sanitized;
  if (!IsValidUtf8(text)) {
    sanitized = ToValidUtf8(text);
    text = sanitized;
  }
  if (JsonNestingDepth(text) > kJsonMaxDepth) return E_FAIL;
  return JsonReader(text).ParseDocument(*node) ? S_OK : E_FAIL;
}
