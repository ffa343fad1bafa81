// The seeding and inspection side of ItemStore (itemstore.h): what tests and the command
// line set up directly, as if other clients had done it through the API.
#include "itemstore.h"

#include "content.h"
#include "words.h"

namespace localsvc {

bool ItemStore::AddAccount(Account account, Session* session, std::string* error) {
  Changing lock(this);
  Account* a = m_accounts.Add(std::move(account), error);
  if (!a) return false;
  *session = {a->userId, m_accounts.IssueToken(a->userId, false), a->email, a->nickName};
  MarkAccount(a->userId);
  MarkToken(session->token);
  MarkMeta();
  return true;
}

bool ItemStore::IssueToken(const std::string& userId, bool expired, std::string* token, std::string* error) {
  Changing lock(this);
  if (!m_accounts.ByUserId(userId)) {
    *error = "no such user";
    return false;
  }
  *token = m_accounts.IssueToken(userId, expired);
  MarkToken(*token);
  return true;
}

bool ItemStore::SetTokenExpired(const std::string& token, bool expired) {
  Changing lock(this);
  if (!m_accounts.SetExpired(token, expired)) return false;
  MarkToken(token);
  return true;
}

bool ItemStore::AddItem(const NewItem& spec, ItemView* view, std::string* error) {
  Changing lock(this);
  Account* owner = m_accounts.ByUserId(spec.ownerId);
  Item* parent = spec.parentId.empty() ? nullptr : Find(spec.parentId);
  if (!owner || spec.name.empty() || spec.size < 0 || spec.fileVer < 0 ||
      (!spec.parentId.empty() && (!parent || !parent->folder || parent->ownerId != spec.ownerId))) {
    *error = "no such user or parent folder, or an empty name or negative number";
    return false;
  }
  if (!spec.deleted && LiveChildNamed(spec.ownerId, spec.parentId, spec.name, "")) {
    *error = "the folder holds that name";
    return false;
  }
  Item* item = Create(spec.ownerId, spec.parentId, spec.name, spec.folder);
  if (!spec.folder) {
    item->size = spec.content ? spec.content->Size() : spec.size;
    item->fileVer = spec.fileVer;
    item->sha1 = spec.content ? spec.content->Sha1() : spec.sha1.empty() && spec.size == 0 ? kEmptySha1 : spec.sha1;
    if (spec.content) item->versions[spec.fileVer] = spec.content;
  }
  if (!spec.createdTime.empty()) item->createdTime = item->modTime = spec.createdTime;
  if (!spec.modTime.empty()) item->modTime = spec.modTime;
  SetDeleted(item, spec.deleted);
  Touch(spec.ownerId, spec.ownerId, {item});
  if (!spec.modifier.empty()) item->modifier = spec.modifier;
  *view = View(*item);
  return true;
}

bool ItemStore::AddShare(const std::string& fileId, const std::string& to, bool writable, std::string* error) {
  Changing lock(this);
  Item* item = Find(fileId);
  if (!item || ShareLocked(item, {to}, writable) != words::kOk) {
    *error = "no such item, or no such other user";
    return false;
  }
  return true;
}

bool ItemStore::SeedVersion(const std::string& fileId, std::shared_ptr<FileContent> content, ItemView* view,
                            std::string* error) {
  Changing lock(this);
  Item* item = Find(fileId);
  if (!item || item->folder) {
    *error = "no such file";
    return false;
  }
  PutVersion(item, item->ownerId, std::move(content));
  *view = View(*item);
  return true;
}

bool ItemStore::Contents(const std::string& fileId, int64_t* fileVer,
                         std::map<int64_t, std::shared_ptr<FileContent>>* versions) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Item* item = Find(fileId);
  if (!item || item->folder) return false;
  *fileVer = item->fileVer;
  *versions = item->versions;
  return true;
}

bool ItemStore::SetVersions(const std::string& userId, std::optional<int64_t> opVer,
                            std::optional<int64_t> shareVer, std::string* error) {
  Changing lock(this);
  Account* a = m_accounts.ByUserId(userId);
  if (!a || opVer.value_or(0) < 0 || shareVer.value_or(0) < 0) {
    *error = "no such user, or a negative version";
    return false;
  }
  a->opVer = opVer.value_or(a->opVer);
  a->shareVer = shareVer.value_or(a->shareVer);
  MarkAccount(userId);
  m_changed.notify_all();
  return true;
}

bool ItemStore::Dump(const std::string& userId, Versions* versions, std::vector<ItemView>* items) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Account* a = m_accounts.ByUserId(userId);
  if (!a) return false;
  *versions = {a->opVer, a->shareVer};
  for (const auto& [id, item] : m_items)
    if (item.ownerId == userId) items->push_back(View(item));
  return true;
}

bool ItemStore::HasLogin(const std::string& login) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_accounts.ByLogin(login) != nullptr;
}

}  // namespace localsvc
