#include "core/filesystem/filenotifymonitor/watchedfolders.h"

#include <algorithm>

CWatchedFolders::Folder* CWatchedFolders::AddRoot(int wd, const std::string& path, int tree) {
  if (m_byWd.count(wd)) return nullptr;
  auto folder = std::make_unique<Folder>();
  folder->wd = wd;
  folder->name = path;
  folder->tree = tree;
  Folder* raw = folder.get();
  m_byWd.emplace(wd, std::move(folder));
  return raw;
}

CWatchedFolders::Folder* CWatchedFolders::AddChild(Folder* parent, const std::string& name, int wd) {
  if (m_byWd.count(wd)) return nullptr;
  auto folder = std::make_unique<Folder>();
  folder->wd = wd;
  Folder* raw = folder.get();
  m_byWd.emplace(wd, std::move(folder));
  Move(raw, parent, name);
  return raw;
}

CWatchedFolders::Folder* CWatchedFolders::Find(int wd) const {
  auto it = m_byWd.find(wd);
  return it == m_byWd.end() ? nullptr : it->second.get();
}

CWatchedFolders::Folder* CWatchedFolders::Child(const Folder* parent, const std::string& name) const {
  auto it = parent->children.find(name);
  return it == parent->children.end() ? nullptr : it->second;
}

const CWatchedFolders::Folder* CWatchedFolders::RootOf(const Folder* folder) const {
  while (folder->parent) folder = folder->parent;
  return folder->tree >= 0 ? folder : nullptr;
}

std::string CWatchedFolders::PathOf(const Folder* folder) const {
  std::vector<const Folder*> chain;
  for (const Folder* f = folder; f; f = f->parent) chain.push_back(f);
  if (chain.back()->tree < 0) return std::string();
  std::string path = chain.back()->name;
  for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) {
    if (path.empty() || path.back() != '/') path.push_back('/');
    path += (*it)->name;
  }
  return path;
}

void CWatchedFolders::Detach(Folder* folder) {
  if (!folder->parent) return;
  auto& siblings = folder->parent->children;
  auto it = siblings.find(folder->name);
  if (it != siblings.end() && it->second == folder) siblings.erase(it);
  folder->parent = nullptr;
}

void CWatchedFolders::Move(Folder* folder, Folder* newParent, const std::string& newName) {
  Detach(folder);
  if (Folder* holder = Child(newParent, newName); holder && holder != folder) Detach(holder);
  folder->parent = newParent;
  folder->name = newName;
  newParent->children[newName] = folder;
}

void CWatchedFolders::Remove(Folder* folder, std::vector<int>* wds) {
  Detach(folder);
  // Without recursion: trees may be deep.
  std::vector<Folder*> pending{folder};
  while (!pending.empty()) {
    Folder* f = pending.back();
    pending.pop_back();
    for (auto& [name, child] : f->children) pending.push_back(child);
    wds->push_back(f->wd);
    m_byWd.erase(f->wd);  // destroys f
  }
}

std::vector<int> CWatchedFolders::AllWds() const {
  std::vector<int> wds;
  wds.reserve(m_byWd.size());
  for (const auto& [wd, folder] : m_byWd) wds.push_back(wd);
  return wds;
}
