#include "nameindex.h"

#include <algorithm>

#include "ascii.h"

namespace localsvc {

std::string NameIndex::Key(const std::string& ownerId, const std::string& parentId, const std::string& name) {
  std::string key;
  key.reserve(ownerId.size() + parentId.size() + name.size() + 2);
  key += ownerId;
  key += '\0';
  key += parentId;
  key += '\0';
  key += AsciiLower(name);
  return key;
}

void NameIndex::Add(const std::string& ownerId, const std::string& parentId, const std::string& name,
                    const std::string& fileId) {
  std::vector<std::string>& ids = m_ids[Key(ownerId, parentId, name)];
  if (std::find(ids.begin(), ids.end(), fileId) == ids.end()) ids.push_back(fileId);
}

void NameIndex::Remove(const std::string& ownerId, const std::string& parentId, const std::string& name,
                       const std::string& fileId) {
  auto it = m_ids.find(Key(ownerId, parentId, name));
  if (it == m_ids.end()) return;
  std::erase(it->second, fileId);
  if (it->second.empty()) m_ids.erase(it);
}

const std::vector<std::string>& NameIndex::Holders(const std::string& ownerId, const std::string& parentId,
                                                   const std::string& name) const {
  static const std::vector<std::string> kNone;
  auto it = m_ids.find(Key(ownerId, parentId, name));
  return it == m_ids.end() ? kNone : it->second;
}

}  // namespace localsvc
