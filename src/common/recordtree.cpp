#include "common/recordtree.h"

#include <atomic>
#include <new>

#include "common/checks.h"
#include "common/log.h"
#include "common/strhelper.h"

namespace {

// Nodes the readers may still add before the injected failure; negative: none injected.
std::atomic<int64_t> g_nodesBeforeFailure{-1};

// The next character of s at i as a key that orders like UTF-16 code units:
// U+0000..U+D7FF keep their value, characters above U+FFFF sort as their surrogates
// (below U+E000), U+E000..U+FFFF move above them, and a byte that does not start a
// well-formed character sorts after everything, by its value.
uint32_t NextUtf16OrderKey(std::string_view s, size_t& i) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  uint32_t cp = 0;
  size_t n = 0;
  uint32_t min = 0;
  if (c < 0x80) {
    ++i;
    return c;
  } else if ((c & 0xE0) == 0xC0) {
    n = 2, cp = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3, cp = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4, cp = c & 0x07, min = 0x10000;
  }
  bool ok = n != 0 && s.size() - i >= n;
  for (size_t k = 1; ok && k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) ok = false;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if (!ok || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return 0x200000u + c;
  }
  i += n;
  if (cp >= 0x10000) return 0xD800u + (cp - 0x10000);  // below U+E000
  if (cp >= 0xE000) return cp + 0x100000u;              // above every surrogate key
  return cp;
}

}  // namespace

bool Utf16Less::operator()(std::string_view a, std::string_view b) const {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    uint32_t ka = NextUtf16OrderKey(a, i);
    uint32_t kb = NextUtf16OrderKey(b, j);
    if (ka != kb) return ka < kb;
  }
  return i == a.size() && j < b.size();
}

RecordTree::RecordTree(std::string name) : m_name(std::move(name)) {}

RecordTree::RecordTree(const RecordTree& other)
    : m_name(other.m_name), m_attributes(other.m_attributes), m_pairs(other.m_pairs) {
  m_children.reserve(other.m_children.size());
  for (const auto& child : other.m_children) m_children.push_back(std::make_unique<RecordTree>(*child));
}

RecordTree& RecordTree::operator=(const RecordTree& other) {
  if (this != &other) {
    RecordTree copy(other);
    *this = std::move(copy);
  }
  return *this;
}

RecordTree::~RecordTree() = default;

void RecordTree::AddValue(std::string key, std::string value) {
  m_pairs.push_back(RecordTreePair{std::move(key), std::move(value)});
}

std::string RecordTree::GetValue(std::string_view key) const {
  for (const auto& pair : m_pairs)
    if (StrCompare(pair.Key, key, true) == 0) return pair.Value;
  return std::string();
}

void RecordTree::SetAttribute(const std::string& name, std::string value) {
  m_attributes.insert_or_assign(name, std::move(value));
}

std::string RecordTree::GetAttribute(std::string_view name) const {
  auto it = m_attributes.find(name);
  return it == m_attributes.end() ? std::string() : it->second;
}

void RecordTree::GetAttributes(std::vector<RecordTreePair>& vtAttrs) const {
  ASSERT(vtAttrs.empty());
  for (const auto& [key, value] : m_attributes) vtAttrs.push_back(RecordTreePair{key, value});
}

RecordTree& RecordTree::AddChild(std::string name) {
  m_children.push_back(std::make_unique<RecordTree>(std::move(name)));
  return *m_children.back();
}

const RecordTreePair& RecordTree::GetPair(size_t index) const {
  // Never destroyed: a worker may still read a tree while the process exits.
  static const RecordTreePair* kEmpty = new RecordTreePair();
  bool inRange = index < m_pairs.size();
  ASSERT(inRange);
  return inRange ? m_pairs[index] : *kEmpty;
}

const RecordTree& RecordTree::GetChild(size_t index) const {
  static const RecordTree* kEmpty = new RecordTree();
  bool inRange = index < m_children.size();
  ASSERT(inRange);
  return inRange ? *m_children[index] : *kEmpty;
}

bool RecordTree::IsEmpty() const {
  return m_name.empty() && m_attributes.empty() && m_pairs.empty() && m_children.empty();
}

void RecordTree::Clear() {
  m_name.clear();
  m_attributes.clear();
  m_pairs.clear();
  m_children.clear();
}

bool operator==(const RecordTree& a, const RecordTree& b) {
  if (a.m_name != b.m_name || a.m_attributes != b.m_attributes || a.m_pairs != b.m_pairs ||
      a.m_children.size() != b.m_children.size())
    return false;
  for (size_t i = 0; i < a.m_children.size(); ++i)
    if (!(*a.m_children[i] == *b.m_children[i])) return false;
  return true;
}

void recordtreecontrol::FailReplyNodeAfter(int64_t count) { g_nodesBeforeFailure.store(count); }

void CheckReplyNodeAllocation() {
  if (g_nodesBeforeFailure.load(std::memory_order_relaxed) >= 0 && g_nodesBeforeFailure.fetch_sub(1) == 0)
    throw std::bad_alloc();
}

std::string RecordTreeToKeyValueText(const RecordTree& node, char pairSeparator, char kvSeparator) {
  if (node.IsEmpty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !RecordTree.IsEmpty()");
  std::string text;
  const auto& pairs = node.GetPairs();
  for (size_t i = 0; i < pairs.size(); ++i) {
    if (i > 0) text += pairSeparator;
    if (pairs[i].Key.empty()) OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(RecordTree[i].Key)");
    text += pairs[i].Key;
    text += kvSeparator;
    text += pairs[i].Value;
  }
  return text;
}
