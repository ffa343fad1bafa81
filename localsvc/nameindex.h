// Which live children of a folder hold a name, compared ignoring ASCII case, so that a
// name clash is found without walking the folder (a folder of n items would otherwise
// cost n comparisons per new item, and seeding it n^2).
//
// Not thread-safe: the item store calls it under its own lock. The index holds what it
// is told; the item store keeps it equal to its items that are not deleted themselves.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

namespace localsvc {

class NameIndex {
 public:
  // Records that fileId, a child of (ownerId, parentId), holds name. parentId "" is
  // the owner's root.
  void Add(const std::string& ownerId, const std::string& parentId, const std::string& name,
           const std::string& fileId);
  // Forgets what Add recorded; nothing happens for an entry it does not hold.
  void Remove(const std::string& ownerId, const std::string& parentId, const std::string& name,
              const std::string& fileId);
  // The ids recorded under that name (ignoring ASCII case) in that folder, oldest
  // first; empty when none. Valid until the next Add or Remove.
  const std::vector<std::string>& Holders(const std::string& ownerId, const std::string& parentId,
                                          const std::string& name) const;
  void Clear() { m_ids.clear(); }

 private:
  // Owner and parent ids never hold a NUL byte, so the folded name can follow them.
  static std::string Key(const std::string& ownerId, const std::string& parentId, const std::string& name);

  std::unordered_map<std::string, std::vector<std::string>> m_ids;
};

}  // namespace localsvc
