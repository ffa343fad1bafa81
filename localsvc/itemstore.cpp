#include "itemstore.h"

#include <time.h>

#include <algorithm>
#include <limits>

#include "ascii.h"
#include "content.h"
#include "words.h"

namespace localsvc {
namespace {

bool HasControl(const std::string& s) {
  return std::any_of(s.begin(), s.end(), [](char c) {
    auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

bool ValidName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find_first_of("/\\") == std::string::npos &&
         !HasControl(name);
}

// a + b of two sizes from 0, held at the largest rather than overflowing: seeded sizes
// may be any whole number.
int64_t AddSizes(int64_t a, int64_t b) {
  int64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<int64_t>::max() : sum;
}

std::string Now() {
  time_t t = ::time(nullptr);
  struct tm tm {};
  ::gmtime_r(&t, &tm);
  char buf[32];
  ::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace

// ---- sign-in

std::string ItemStore::SignIn(const std::string& login, const std::string& password, const std::string& deviceId,
                              Session* session) {
  if (login.empty() || deviceId.empty()) return words::kClientBadParams;
  Changing lock(this);
  Account* a = m_accounts.ByLogin(login);
  if (!a || a->password != password) return words::kAccountNotMatch;
  if (!a->active) return words::kAccountNotActive;
  a->deviceId = deviceId;
  *session = {a->userId, m_accounts.IssueToken(a->userId, false), a->email, a->nickName};
  MarkAccount(a->userId);
  MarkToken(session->token);
  return words::kOk;
}

std::string ItemStore::ForkToken(const std::string& token, const std::string& deviceId, Session* session) {
  Changing lock(this);
  Account* a = nullptr;
  std::string word = m_accounts.Check(token, &a);
  if (word != words::kOk) return word;
  if (!a->active) return words::kAccountNotActive;
  if (!deviceId.empty()) a->deviceId = deviceId;
  *session = {a->userId, m_accounts.IssueToken(a->userId, false), a->email, a->nickName};
  MarkAccount(a->userId);
  MarkToken(session->token);
  return words::kOk;
}

std::string ItemStore::Authenticate(const std::string& token, std::string* userId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Account* a = nullptr;
  std::string word = m_accounts.Check(token, &a);
  if (word == words::kOk) *userId = a->userId;
  return word;
}

// ---- reads

Versions ItemStore::GetVersions(const std::string& userId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Account* a = m_accounts.ByUserId(userId);
  return a ? Versions{a->opVer, a->shareVer} : Versions{};
}

void ItemStore::GetSpace(const std::string& userId, int64_t* used, int64_t* total) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Account* a = m_accounts.ByUserId(userId);
  *total = a ? a->total : 0;
  *used = 0;
  for (const auto& [id, item] : m_items)
    if (item.ownerId == userId && !item.folder) *used = AddSizes(*used, item.size);
}

std::string ItemStore::List(const std::string& userId, const std::string& folderId, std::vector<ItemView>* items) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string ownerId = userId;
  if (!folderId.empty()) {
    std::string word;
    Item* folder = Reach(userId, folderId, Access::kRead, &word);
    if (!folder || !folder->folder) return words::kTargetNotExist;
    ownerId = folder->ownerId;
  }
  auto it = m_children.find({ownerId, folderId});
  if (it == m_children.end()) return words::kOk;
  for (const auto& id : it->second) {
    const Item& child = m_items.at(id);
    if (!child.deleted) items->push_back(View(child));
  }
  return words::kOk;
}

void ItemStore::Recycle(const std::string& userId, std::vector<ItemView>* items) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, item] : m_items)
    if (item.ownerId == userId && InBin(item)) items->push_back(View(item));
}

void ItemStore::SharedOut(const std::string& userId, std::vector<ItemView>* items) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, item] : m_items) {
    if (item.ownerId != userId || item.shares.empty() || !Live(item)) continue;
    ItemView v = View(item);
    for (const auto& g : item.shares) v.sharers.push_back(SharerOf(g.userId, g.write));
    items->push_back(std::move(v));
  }
}

void ItemStore::SharedToMe(const std::string& userId, std::vector<ItemView>* items) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, item] : m_items) {
    if (item.ownerId == userId || !Live(item)) continue;
    auto grant = std::find_if(item.shares.begin(), item.shares.end(),
                              [&](const Grant& g) { return g.userId == userId; });
    if (grant == item.shares.end()) continue;
    ItemView v = View(item);
    v.sharers.push_back(SharerOf(item.ownerId, AccessOf(userId, item) == Access::kWrite));
    items->push_back(std::move(v));
  }
}

void ItemStore::Search(const std::string& userId, const std::string& text, std::vector<ItemView>* items) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, item] : m_items) {
    if (item.ownerId != userId || !ContainsIgnoringAsciiCase(item.name, text)) continue;
    bool live = Live(item);
    if (!live && !InBin(item)) continue;
    items->push_back(View(item));
    if (!live) items->back().type = "deleted";
    items->back().digest = item.name;
  }
}

std::string ItemStore::ItemInfo(const std::string& userId, const std::string& fileId, ItemView* view) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string word;
  Item* item = Reach(userId, fileId, Access::kRead, &word);
  if (!item) return word;
  *view = View(*item);
  return words::kOk;
}

// ---- changes

std::string ItemStore::NewFolder(const std::string& userId, const std::string& parentId, const std::string& name,
                                 ItemView* item) {
  return NewEntry(userId, parentId, name, true, item);
}

std::string ItemStore::NewFile(const std::string& userId, const std::string& parentId, const std::string& name,
                               ItemView* item) {
  return NewEntry(userId, parentId, name, false, item);
}

std::string ItemStore::NewEntry(const std::string& userId, const std::string& parentId, const std::string& name,
                                bool folder, ItemView* view) {
  if (!ValidName(name)) return words::kClientBadParams;
  Changing lock(this);
  std::string ownerId;
  std::string word = ResolveParent(userId, parentId, &ownerId);
  if (word != words::kOk) return word;
  if (Item* clash = LiveChildNamed(ownerId, parentId, name, "")) {
    *view = View(*clash);
    return words::kTargetExist;
  }
  Item* item = Create(ownerId, parentId, name, folder);
  Touch(ownerId, userId, {item});
  *view = View(*item);
  return words::kOk;
}

std::string ItemStore::Rename(const std::string& userId, const std::string& fileId, const std::string& name,
                              ItemView* clash) {
  if (!ValidName(name)) return words::kClientBadParams;
  Changing lock(this);
  std::string word;
  Item* item = Reach(userId, fileId, Access::kWrite, &word);
  if (!item) return word;
  if (item->name == name) return words::kOk;
  if (Item* other = LiveChildNamed(item->ownerId, item->parentId, name, item->fileId)) {
    *clash = View(*other);
    return words::kTargetExist;
  }
  Place(item, item->parentId, name);
  Touch(item->ownerId, userId, {item});
  return words::kOk;
}

std::string ItemStore::Move(const std::string& userId, const std::string& fileId, const std::string& parentId,
                            const std::string& name, ItemView* clash) {
  if (!name.empty() && !ValidName(name)) return words::kClientBadParams;
  Changing lock(this);
  std::string word;
  Item* item = Reach(userId, fileId, Access::kWrite, &word);
  if (!item) return word;
  std::string ownerId;
  word = ResolveParent(userId, parentId, &ownerId);
  if (word != words::kOk) return word;
  if (ownerId != item->ownerId) return words::kPermissionDenied;
  // The target may not be the item itself or lie below it.
  for (std::string id = parentId; !id.empty();) {
    if (id == item->fileId) return words::kClientBadParams;
    Item* up = Find(id);
    id = up ? up->parentId : "";
  }
  std::string newName = name.empty() ? item->name : name;
  if (item->parentId == parentId && item->name == newName) return words::kOk;
  if (Item* other = LiveChildNamed(ownerId, parentId, newName, item->fileId)) {
    *clash = View(*other);
    return words::kTargetExist;
  }
  std::set<std::string> before = Recipients(*item);
  Place(item, parentId, newName);
  Touch(ownerId, userId, {item}, before);
  return words::kOk;
}

std::string ItemStore::Delete(const std::string& userId, const std::string& fileId) {
  Changing lock(this);
  std::string word;
  Item* item = Reach(userId, fileId, Access::kWrite, &word);
  if (!item) return word;
  SetDeleted(item, true);
  Touch(item->ownerId, userId, {item});
  return words::kOk;
}

std::string ItemStore::Recover(const std::string& userId, const std::string& fileId, const std::string& parentId,
                               ItemView* clash) {
  Changing lock(this);
  Item* item = Find(fileId);
  if (!item || item->ownerId != userId || !InBin(*item)) return words::kTargetNotExist;
  std::string target = parentId;
  if (target.empty()) {
    Item* old = Find(item->parentId);
    target = old && old->folder && Live(*old) ? old->fileId : "";
  } else {
    std::string ownerId;
    std::string word = ResolveParent(userId, target, &ownerId);
    if (word != words::kOk) return word;
    if (ownerId != userId) return words::kPermissionDenied;
  }
  if (Item* other = LiveChildNamed(userId, target, item->name, item->fileId)) {
    *clash = View(*other);
    return words::kTargetExist;
  }
  Place(item, target, item->name);
  SetDeleted(item, false);
  Touch(userId, userId, {item});
  return words::kOk;
}

std::string ItemStore::CleanRecycle(const std::string& userId, const std::string& fileId) {
  Changing lock(this);
  std::vector<std::string> doomed;
  if (fileId.empty()) {
    for (const auto& [id, item] : m_items)
      if (item.ownerId == userId && InBin(item)) doomed.push_back(id);
  } else {
    Item* item = Find(fileId);
    if (!item || item->ownerId != userId || !InBin(*item)) return words::kTargetNotExist;
    doomed.push_back(fileId);
  }
  if (doomed.empty()) return words::kOk;
  for (const auto& id : doomed) Purge(Find(id));
  Touch(userId, userId, {});
  return words::kOk;
}

std::string ItemStore::Share(const std::string& userId, const std::string& fileId,
                             const std::vector<std::string>& names, bool writable) {
  Changing lock(this);
  std::string word;
  Item* item = Reach(userId, fileId, Access::kRead, &word);
  if (!item) return word;
  if (item->ownerId != userId) return words::kPermissionDenied;
  return ShareLocked(item, names, writable);
}

std::string ItemStore::ShareLocked(Item* item, const std::vector<std::string>& names, bool writable) {
  std::vector<std::string> ids;
  for (const auto& name : names) {
    Account* a = m_accounts.ByAnyName(name);
    if (!a || a->userId == item->ownerId) return words::kClientBadParams;
    ids.push_back(a->userId);
  }
  if (ids.empty()) return words::kClientBadParams;
  bool changed = false;
  for (const auto& id : ids) {
    auto g = std::find_if(item->shares.begin(), item->shares.end(), [&](const Grant& x) { return x.userId == id; });
    if (g == item->shares.end()) {
      item->shares.push_back({id, writable});
      changed = true;
    } else if (g->write != writable) {
      g->write = writable;
      changed = true;
    }
  }
  if (changed) Touch(item->ownerId, item->ownerId, {item});
  return words::kOk;
}

std::string ItemStore::SetModTime(const std::string& userId, const std::string& fileId, const std::string& modTime) {
  if (modTime.empty() || HasControl(modTime)) return words::kClientBadParams;
  Changing lock(this);
  std::string word;
  Item* item = Reach(userId, fileId, Access::kWrite, &word);
  if (!item) return word;
  if (item->modTime == modTime) return words::kOk;
  item->modTime = modTime;
  Touch(item->ownerId, userId, {item});
  return words::kOk;
}

// ---- contents

std::string ItemStore::CheckUpload(const std::string& userId, const std::string& fileId, int64_t fileVer,
                                   int64_t size) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Item* item = nullptr;
  return CheckUploadLocked(userId, fileId, fileVer, size, &item);
}

std::string ItemStore::CommitVersion(const std::string& userId, const std::string& fileId, int64_t fileVer,
                                     std::shared_ptr<FileContent> content, int64_t* newVer) {
  Changing lock(this);
  Item* item = nullptr;
  std::string word = CheckUploadLocked(userId, fileId, fileVer, content->Size(), &item);
  if (word != words::kOk) return word;
  PutVersion(item, userId, std::move(content));
  *newVer = item->fileVer;
  return words::kOk;
}

std::string ItemStore::VersionOf(const std::string& userId, const std::string& fileId, bool previous,
                                 ItemView* view, int64_t* fileVer, std::shared_ptr<FileContent>* content) {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::string word;
  Item* item = Reach(userId, fileId, Access::kRead, &word);
  if (!item || item->folder) return item ? words::kTargetNotExist : word;
  *fileVer = previous ? item->fileVer - 1 : item->fileVer;
  if (previous && *fileVer < 1) return words::kTargetNotExist;
  auto it = item->versions.find(*fileVer);
  *content = it == item->versions.end() ? nullptr : it->second;
  *view = View(*item);
  return words::kOk;
}

std::string ItemStore::CheckUploadLocked(const std::string& userId, const std::string& fileId, int64_t fileVer,
                                         int64_t size, Item** out) {
  std::string word;
  Item* item = Reach(userId, fileId, Access::kWrite, &word);
  if (!item || item->folder) return item ? words::kTargetNotExist : word;
  if (item->fileVer != fileVer) return words::kFileVerConflict;
  Account* owner = m_accounts.ByUserId(item->ownerId);
  int64_t used = 0;
  for (const auto& [id, other] : m_items)
    if (other.ownerId == item->ownerId && !other.folder) used = AddSizes(used, other.size);
  if (size > owner->total - (used - item->size)) return words::kOverSpace;
  *out = item;
  return words::kOk;
}

void ItemStore::PutVersion(Item* item, const std::string& actorId, std::shared_ptr<FileContent> content) {
  item->size = content->Size();
  item->sha1 = content->Sha1();
  ++item->fileVer;
  item->versions[item->fileVer] = std::move(content);
  item->versions.erase(item->versions.begin(), item->versions.lower_bound(item->fileVer - 1));
  Touch(item->ownerId, actorId, {item});
}

// ---- global version and push

std::string ItemStore::GlobalVersion() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_globalVersion;
}

void ItemStore::SetGlobalVersion(const std::string& version) {
  Changing lock(this);
  m_globalVersion = version;
  MarkMeta();
}

PollOutcome ItemStore::WaitForChange(const std::string& userId, std::chrono::milliseconds hold) {
  std::unique_lock<std::mutex> lock(m_mutex);
  Account* a = m_accounts.ByUserId(userId);  // accounts are never removed
  Versions start = a ? Versions{a->opVer, a->shareVer} : Versions{};
  auto done = [&] { return m_stopping || (a && Versions{a->opVer, a->shareVer} != start); };
  ++m_heldPolls;
  if (hold.count() <= 0)
    m_changed.wait(lock, done);
  else
    m_changed.wait_for(lock, hold, done);
  --m_heldPolls;
  PollOutcome out;
  out.stopped = m_stopping;
  if (!a) {
    out.word = words::kClientNoLogin;
    return out;
  }
  out.word = words::kOk;
  out.versions = {a->opVer, a->shareVer};
  out.deviceId = a->deviceId.empty() ? "localsvc" : a->deviceId;
  return out;
}

void ItemStore::Stop() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stopping = true;
  m_changed.notify_all();
}

int ItemStore::HeldPolls() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_heldPolls;
}

// ---- helpers, under the lock

ItemStore::Item* ItemStore::Find(const std::string& fileId) {
  auto it = m_items.find(fileId);
  return it == m_items.end() ? nullptr : &it->second;
}

bool ItemStore::Live(const Item& item) {
  for (const Item* at = &item; at; at = at->parentId.empty() ? nullptr : Find(at->parentId))
    if (at->deleted) return false;
  return true;
}

bool ItemStore::InBin(const Item& item) {
  if (!item.deleted) return false;
  Item* parent = item.parentId.empty() ? nullptr : Find(item.parentId);
  return !parent || Live(*parent);
}

ItemStore::Access ItemStore::AccessOf(const std::string& userId, const Item& item) {
  if (item.ownerId == userId) return Access::kOwner;
  Access best = Access::kNone;
  for (const Item* at = &item; at; at = at->parentId.empty() ? nullptr : Find(at->parentId)) {
    for (const auto& g : at->shares)
      if (g.userId == userId) best = std::max(best, g.write ? Access::kWrite : Access::kRead);
  }
  return best;
}

ItemStore::Item* ItemStore::Reach(const std::string& userId, const std::string& fileId, Access need,
                                  std::string* word) {
  Item* item = Find(fileId);
  Access access = item && Live(*item) ? AccessOf(userId, *item) : Access::kNone;
  if (access == Access::kNone) {
    *word = words::kTargetNotExist;
    return nullptr;
  }
  if (access < need) {
    *word = words::kServerDenyReadOnly;
    return nullptr;
  }
  return item;
}

std::string ItemStore::ResolveParent(const std::string& userId, const std::string& parentId, std::string* ownerId) {
  if (parentId.empty()) {
    *ownerId = userId;
    return words::kOk;
  }
  Item* parent = Find(parentId);
  Access access = parent && parent->folder && Live(*parent) ? AccessOf(userId, *parent) : Access::kNone;
  if (access == Access::kNone) return words::kParentNotExist;
  if (access < Access::kWrite) return words::kServerDenyReadOnly;
  *ownerId = parent->ownerId;
  return words::kOk;
}

ItemStore::Item* ItemStore::LiveChildNamed(const std::string& ownerId, const std::string& parentId,
                                           const std::string& name, const std::string& except) {
  for (const auto& id : m_names.Holders(ownerId, parentId, name)) {
    Item& child = m_items.at(id);
    if (id != except && !child.deleted) return &child;
  }
  return nullptr;
}

std::set<std::string> ItemStore::Recipients(const Item& item) {
  std::set<std::string> out;
  for (const Item* at = &item; at; at = at->parentId.empty() ? nullptr : Find(at->parentId))
    for (const auto& g : at->shares) out.insert(g.userId);
  return out;
}

void ItemStore::Touch(const std::string& ownerId, const std::string& actorId, const std::vector<Item*>& changed,
                      const std::set<std::string>& extra) {
  Account* owner = m_accounts.ByUserId(ownerId);
  Account* actor = m_accounts.ByUserId(actorId);
  std::set<std::string> recipients = extra;
  for (Item* item : changed) {
    std::set<std::string> r = Recipients(*item);
    recipients.insert(r.begin(), r.end());
  }
  ++owner->opVer;
  MarkAccount(ownerId);
  for (Item* item : changed) {
    item->opVer = owner->opVer;
    item->modifier = actor ? actor->nickName : "";
    MarkItem(item->fileId);
  }
  if (!recipients.empty()) {
    ++owner->shareVer;
    for (const auto& id : recipients) {
      if (Account* a = m_accounts.ByUserId(id)) ++a->shareVer;
      MarkAccount(id);
    }
  }
  m_changed.notify_all();
}

ItemStore::Item* ItemStore::Create(const std::string& ownerId, const std::string& parentId, const std::string& name,
                                   bool folder) {
  std::string id = std::to_string(m_nextFileId++);
  Item& item = m_items[id];
  item.fileId = id;
  item.ownerId = ownerId;
  item.parentId = parentId;
  item.name = name;
  item.folder = folder;
  item.createdTime = item.modTime = Now();
  m_children[{ownerId, parentId}].insert(id);
  m_names.Add(ownerId, parentId, name, id);
  MarkItem(id);
  MarkMeta();
  return &item;
}

void ItemStore::Purge(Item* item) {
  auto kids = m_children.find({item->ownerId, item->fileId});
  if (kids != m_children.end()) {
    std::set<std::string> ids = kids->second;
    for (const auto& id : ids) Purge(Find(id));
    m_children.erase({item->ownerId, item->fileId});
  }
  std::string id = item->fileId;
  m_children[{item->ownerId, item->parentId}].erase(id);
  if (!item->deleted) m_names.Remove(item->ownerId, item->parentId, item->name, id);
  m_items.erase(id);
  MarkItem(id);
}

void ItemStore::Place(Item* item, const std::string& parentId, const std::string& name) {
  if (!item->deleted) m_names.Remove(item->ownerId, item->parentId, item->name, item->fileId);
  if (item->parentId != parentId) {
    m_children[{item->ownerId, item->parentId}].erase(item->fileId);
    m_children[{item->ownerId, parentId}].insert(item->fileId);
    item->parentId = parentId;
  }
  item->name = name;
  if (!item->deleted) m_names.Add(item->ownerId, item->parentId, item->name, item->fileId);
  MarkItem(item->fileId);
}

void ItemStore::SetDeleted(Item* item, bool deleted) {
  if (item->deleted == deleted) return;
  item->deleted = deleted;
  if (deleted)
    m_names.Remove(item->ownerId, item->parentId, item->name, item->fileId);
  else
    m_names.Add(item->ownerId, item->parentId, item->name, item->fileId);
  MarkItem(item->fileId);
}

ItemView ItemStore::View(const Item& item) {
  ItemView v;
  v.type = item.folder ? "folder" : "file";
  v.fileId = item.fileId;
  v.parentId = item.parentId;
  v.name = item.name;
  v.sha1 = item.sha1;
  v.size = item.size;
  v.fileVer = item.fileVer;
  v.opVer = item.opVer;
  v.createdTime = item.createdTime;
  v.modTime = item.modTime;
  v.modifier = item.modifier;
  v.shared = !item.shares.empty();
  v.deleted = item.deleted;
  v.ownerId = item.ownerId;
  return v;
}

SharerView ItemStore::SharerOf(const std::string& userId, bool write) {
  Account* a = m_accounts.ByUserId(userId);
  SharerView s;
  if (a) s = {a->nickName, a->email, a->userId, ""};
  s.right = write ? "read,write" : "read";
  return s;
}

}  // namespace localsvc
