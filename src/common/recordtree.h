// RecordTree: the one node type in which the service client holds what it sends and
// what it receives: the parameters of a request, a decoded XML or JSON reply, and the
// pairs of a URL query. A node owns a name, a set of attributes, an ordered list of
// key/value pairs and an ordered list of child nodes. All text is UTF-8.
//
// A node is a plain value: copying copies the whole subtree, and it is not
// synchronised (one writer, or any number of readers, at a time).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The most nodes one reply may hold. The XML reader counts the nodes TinyXML builds
// (elements, texts and the like, and attributes; see common/xmlscan.h), the JSON
// reader members and array elements; both refuse a reply with more before they build
// anything. This bounds what one reply costs in memory: TinyXML's document and the
// tree take up to some 375 bytes per node together, so about 1.5 GB at worst (four
// million empty elements in 16 MB of text), where 64 MiB of "<a/>" took 6 GB.
// Sized from the largest folder we support, a listing of 100,000 items: an item is 25
// nodes (the item element, and each of its 12 fields an element with its text), 27
// with a search hit's digest, 36 with one sharer in a share list; 40 per item leaves
// headroom over all of them. Such a listing takes about 650 MB while it is read. The
// block server's JSON replies stay far below: 5 nodes per block of 4 MiB.
inline constexpr size_t kReplyMaxNodes = 100'000 * 40;

struct RecordTreePair {
  std::string Key;
  std::string Value;

  friend bool operator==(const RecordTreePair&, const RecordTreePair&) = default;
};

// Orders attribute names the way the service's peers do: by UTF-16 code units,
// case-sensitive. This differs from byte order only between U+E000..U+FFFF and
// characters above U+FFFF. Bytes that are not UTF-8 sort after every character.
struct Utf16Less {
  bool operator()(std::string_view a, std::string_view b) const;
  using is_transparent = void;
};

class RecordTree {
 public:
  using Attributes = std::map<std::string, std::string, Utf16Less>;

  explicit RecordTree(std::string name = std::string());
  RecordTree(const RecordTree& other);
  RecordTree(RecordTree&& other) noexcept = default;
  RecordTree& operator=(const RecordTree& other);
  RecordTree& operator=(RecordTree&& other) noexcept = default;
  ~RecordTree();

  const std::string& GetName() const { return m_name; }
  void SetName(std::string name) { m_name = std::move(name); }

  // Appends one pair; the same key may occur more than once.
  void AddValue(std::string key, std::string value);
  // The value of the first pair whose key equals `key`, ASCII letters compared
  // without case (no other folding); empty text when there is none.
  std::string GetValue(std::string_view key) const;

  // Sets or replaces an attribute.
  void SetAttribute(const std::string& name, std::string value);
  // The attribute's value, or empty text when it is absent; the lookup is
  // case-sensitive and never changes the node.
  std::string GetAttribute(std::string_view name) const;
  const Attributes& GetAttributeMap() const { return m_attributes; }
  // Appends every attribute as a pair, in attribute order. `vtAttrs` is expected to
  // be empty; when it is not, an assertion line is logged and the pairs are
  // appended all the same.
  void GetAttributes(std::vector<RecordTreePair>& vtAttrs) const;

  // Appends a new child with that name and returns it for the caller to fill in
  // place. The reference stays valid while further children are appended; it ends
  // with the node, with Clear() and with assignment to the node.
  RecordTree& AddChild(std::string name);

  // Index access. An index at or past the count is a caller error: it logs an
  // assertion and yields an empty pair or node (never reads out of bounds).
  size_t GetPairCount() const { return m_pairs.size(); }
  const RecordTreePair& GetPair(size_t index) const;
  const std::vector<RecordTreePair>& GetPairs() const { return m_pairs; }
  size_t GetChildCount() const { return m_children.size(); }
  const RecordTree& GetChild(size_t index) const;

  // True only when the name is empty and there are no attributes, pairs or children.
  bool IsEmpty() const;
  // Makes the node empty again (IsEmpty() holds afterwards).
  void Clear();

  // Structural equality: names, attributes, pairs and children, in order.
  friend bool operator==(const RecordTree& a, const RecordTree& b);

 private:
  std::string m_name;
  Attributes m_attributes;
  std::vector<RecordTreePair> m_pairs;
  // Held through pointers so that references handed out by AddChild stay valid.
  std::vector<std::unique_ptr<RecordTree>> m_children;
};

// Test seam of the readers that build a tree from a reply text (ParseXmlToRecordTree,
// JsonParse), for their handling of an allocation failure.
namespace recordtreecontrol {
// The reader that is about to add its count+1-th node to a tree from now on (counted
// across every reader in the process) throws std::bad_alloc there instead, as a
// failed allocation would, once. A negative count turns the injection off.
void FailReplyNodeAfter(int64_t count);
}  // namespace recordtreecontrol

// Called by the readers before each node they add to a tree: throws std::bad_alloc
// when an injected failure is due (see above), and does nothing otherwise.
void CheckReplyNodeAllocation();

// The pairs joined as key, kvSeparator, value, with pairSeparator between pairs (a
// query string with '&' and '='). Name, attributes and children are ignored; nothing
// is escaped or percent-encoded, so values must already be safe for their use. An
// empty node or an empty key logs an assertion and the text is built all the same.
std::string RecordTreeToKeyValueText(const RecordTree& node, char pairSeparator, char kvSeparator);
