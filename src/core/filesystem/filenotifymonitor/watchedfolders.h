// The folders under watch, as a forest: one tree per watched root. Each folder is
// known by its watch descriptor, its parent and its name, and its path is built on
// demand, so that a folder moved or renamed inside the watched trees is one relink
// whatever lies below it. Used on the watcher's worker thread only: no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

class CWatchedFolders {
 public:
  struct Folder {
    int wd = -1;
    Folder* parent = nullptr;  // null for a root
    std::string name;          // a root's full path; else one path element
    int tree = -1;             // a root's tree id; -1 below a root
    uint64_t pass = 0;         // the last rescan that found it
    std::map<std::string, Folder*> children;
  };

  // Adds the root of a tree. Null when wd is known already.
  Folder* AddRoot(int wd, const std::string& path, int tree);
  // Adds parent's child called name. Null when wd is known already. A child of that
  // name known before is detached first (see Detach).
  Folder* AddChild(Folder* parent, const std::string& name, int wd);
  // Null when wd is not a watched folder.
  Folder* Find(int wd) const;
  Folder* Child(const Folder* parent, const std::string& name) const;
  // The full path; "" for a folder detached from its tree.
  std::string PathOf(const Folder* folder) const;
  // The root above folder (folder itself for a root); null when detached.
  const Folder* RootOf(const Folder* folder) const;
  // Moves folder (with everything below it) to be newParent's child called newName;
  // a child of that name known before is detached first.
  void Move(Folder* folder, Folder* newParent, const std::string& newName);
  // Takes folder out of its parent's children; it stays known by its wd, with no
  // path, until moved back or removed.
  void Detach(Folder* folder);
  // Forgets folder and everything below it; appends their watch descriptors to *wds.
  void Remove(Folder* folder, std::vector<int>* wds);
  // Every known watch descriptor.
  std::vector<int> AllWds() const;
  size_t Count() const { return m_byWd.size(); }

 private:
  std::unordered_map<int, std::unique_ptr<Folder>> m_byWd;
};
