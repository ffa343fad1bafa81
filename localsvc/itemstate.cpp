// The persistence side of ItemStore (itemstore.h): the records its state is kept as in a
// state folder (statedir.h), one per key:
//
//   meta              {"nextFileId", "nextUserId", "globalVersion"}
//   account/<userId>  the account: {"login", "password", "email", "nickName", "active",
//                     "total", "opVer", "shareVer", "deviceId"}
//   token/<token>     {"userId", "expired"}
//   item/<fileId>     the item: {"owner", "parent", "name", "folder", "sha1", "size",
//                     "fileVer", "opVer", "createdTime", "modTime", "modifier", "deleted",
//                     "shares": [[userId, writable]...], "versions": [{"fileVer", "size",
//                     "sha1", "blocks"?: [blockId...], "whole"?: {"key", "sha1"}}...]}
//
// Blocks are BlockStore's records; a whole file's bytes are the blob WholeBlobName.
#include <cstdlib>
#include <limits>

#include "content.h"
#include "filecodec.h"
#include "itemstore.h"

namespace localsvc {
namespace {

using nlohmann::json;

constexpr char kAccountPrefix[] = "account/";
constexpr char kTokenPrefix[] = "token/";
constexpr char kItemPrefix[] = "item/";
constexpr char kMeta[] = "meta";

// Calls fn with the part after prefix and the value of every record whose key starts
// with prefix.
template <typename Fn>
bool EachWithPrefix(const StateMap& records, const std::string& prefix, Fn fn) {
  for (auto it = records.lower_bound(prefix); it != records.end() && it->first.starts_with(prefix); ++it)
    if (!fn(it->first.substr(prefix.size()), it->second)) return false;
  return true;
}

json ContentRecord(int64_t fileVer, const FileContent& c) {
  json v{{"fileVer", fileVer}, {"size", c.Size()}, {"sha1", c.Sha1()}};
  if (auto ids = c.Blocks()) v["blocks"] = *ids;
  if (auto w = c.Whole()) v["whole"] = {{"key", w->key}, {"sha1", w->sha1}};
  return v;
}

}  // namespace

void ItemStore::Persist(StateDir* state) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_state = state;
}

void ItemStore::FormsAdded(const std::string& fileId) {
  Changing lock(this);
  if (Find(fileId)) MarkItem(fileId);
}

void ItemStore::Save() {
  if (!m_state) return;
  if (m_unsaved.items.empty() && m_unsaved.accounts.empty() && m_unsaved.tokens.empty() && !m_unsaved.meta) return;
  StateRecords change;
  change.reserve(m_unsaved.items.size() + m_unsaved.accounts.size() + m_unsaved.tokens.size() + 1);
  if (m_unsaved.meta) change.push_back(MetaRecord());
  for (const auto& id : m_unsaved.accounts) change.push_back(AccountRecord(id));
  for (const auto& token : m_unsaved.tokens) change.push_back(TokenRecord(token));
  for (const auto& id : m_unsaved.items) change.push_back(ItemRecord(id));
  m_unsaved = {};
  // A change that cannot be written fails the state folder, which the service answers
  // for (every request then answers 500 and the service ends).
  m_state->Append(change);
}

StateRecord ItemStore::MetaRecord() {
  return {kMeta, json{{"nextFileId", m_nextFileId},
                      {"nextUserId", m_accounts.NextUserId()},
                      {"globalVersion", m_globalVersion}}};
}

StateRecord ItemStore::AccountRecord(const std::string& userId) {
  const Account* a = m_accounts.ByUserId(userId);
  if (!a) return {kAccountPrefix + userId, nullptr};
  return {kAccountPrefix + userId, json{{"login", a->login},
                                        {"password", a->password},
                                        {"email", a->email},
                                        {"nickName", a->nickName},
                                        {"active", a->active},
                                        {"total", a->total},
                                        {"opVer", a->opVer},
                                        {"shareVer", a->shareVer},
                                        {"deviceId", a->deviceId}}};
}

StateRecord ItemStore::TokenRecord(const std::string& token) {
  std::string userId;
  bool expired = false;
  if (!m_accounts.TokenOf(token, &userId, &expired)) return {kTokenPrefix + token, nullptr};
  return {kTokenPrefix + token, json{{"userId", userId}, {"expired", expired}}};
}

StateRecord ItemStore::ItemRecord(const std::string& fileId) {
  const Item* item = Find(fileId);
  if (!item) return {kItemPrefix + fileId, nullptr};
  json shares = json::array();
  for (const auto& g : item->shares) shares.push_back(json::array({g.userId, g.write}));
  json versions = json::array();
  for (const auto& [ver, content] : item->versions)
    if (content) versions.push_back(ContentRecord(ver, *content));
  return {kItemPrefix + fileId, json{{"owner", item->ownerId},
                                     {"parent", item->parentId},
                                     {"name", item->name},
                                     {"folder", item->folder},
                                     {"sha1", item->sha1},
                                     {"size", item->size},
                                     {"fileVer", item->fileVer},
                                     {"opVer", item->opVer},
                                     {"createdTime", item->createdTime},
                                     {"modTime", item->modTime},
                                     {"modifier", item->modifier},
                                     {"deleted", item->deleted},
                                     {"shares", std::move(shares)},
                                     {"versions", std::move(versions)}}};
}

void ItemStore::Snapshot(const std::function<void(StateRecord)>& emit) {
  std::lock_guard<std::mutex> lock(m_mutex);
  emit(MetaRecord());
  for (const auto& [id, account] : m_accounts.All()) emit(AccountRecord(id));
  m_accounts.ForEachToken([&](const std::string& token, const std::string&, bool) { emit(TokenRecord(token)); });
  for (const auto& [id, item] : m_items) emit(ItemRecord(id));
}

void ItemStore::WholeBlobNames(std::set<std::string>* names) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, item] : m_items)
    for (const auto& [ver, content] : item.versions)
      if (auto w = content ? content->Whole() : std::nullopt) names->insert(WholeBlobName(w->sha1));
}

bool ItemStore::Restore(const StateMap& records, StateDir& state, BlockStore& blocks, std::string* error) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto clear = [this] {
    m_accounts.Clear();
    m_items.clear();
    m_children.clear();
    m_names.Clear();
    m_nextFileId = 100001;
    m_globalVersion = "2";
  };
  clear();
  bool ok = false;
  try {
    if (auto meta = records.find(kMeta); meta != records.end()) {
      m_nextFileId = meta->second.at("nextFileId").get<int64_t>();
      m_accounts.SetNextUserId(meta->second.at("nextUserId").get<int>());
      m_globalVersion = meta->second.at("globalVersion").get<std::string>();
    }
    ok = EachWithPrefix(records, kAccountPrefix, [&](const std::string& userId, const json& r) {
      Account a;
      a.userId = userId;
      a.login = r.at("login").get<std::string>();
      a.password = r.at("password").get<std::string>();
      a.email = r.at("email").get<std::string>();
      a.nickName = r.at("nickName").get<std::string>();
      a.active = r.at("active").get<bool>();
      a.total = r.at("total").get<int64_t>();
      a.opVer = r.at("opVer").get<int64_t>();
      a.shareVer = r.at("shareVer").get<int64_t>();
      a.deviceId = r.at("deviceId").get<std::string>();
      std::string why;
      if (m_accounts.Add(std::move(a), &why)) return true;
      *error = "account " + userId + ": " + why;
      return false;
    });
    ok = ok && EachWithPrefix(records, kTokenPrefix, [&](const std::string& token, const json& r) {
      if (m_accounts.RestoreToken(token, r.at("userId").get<std::string>(), r.at("expired").get<bool>())) return true;
      *error = "a token of an unknown user";
      return false;
    });
    ok = ok && EachWithPrefix(records, kItemPrefix, [&](const std::string& fileId, const json& r) {
      return RestoreItem(fileId, r, state, blocks, error);
    });
    ok = ok && LinkTree(error);
  } catch (const std::exception& e) {
    *error = std::string("a record is malformed: ") + e.what();
    ok = false;
  }
  if (!ok) clear();
  return ok;
}

bool ItemStore::RestoreItem(const std::string& fileId, const json& r, StateDir& state, BlockStore& blocks,
                            std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = "item " + fileId + ": " + why;
    return false;
  };
  char* end = nullptr;
  const long long number = std::strtoll(fileId.c_str(), &end, 10);
  if (fileId.empty() || *end != '\0' || number <= 0 || number == std::numeric_limits<long long>::max())
    return fail("the id is no number");
  Item item;
  item.fileId = fileId;
  item.ownerId = r.at("owner").get<std::string>();
  item.parentId = r.at("parent").get<std::string>();
  item.name = r.at("name").get<std::string>();
  item.folder = r.at("folder").get<bool>();
  item.sha1 = r.at("sha1").get<std::string>();
  item.size = r.at("size").get<int64_t>();
  item.fileVer = r.at("fileVer").get<int64_t>();
  item.opVer = r.at("opVer").get<int64_t>();
  item.createdTime = r.at("createdTime").get<std::string>();
  item.modTime = r.at("modTime").get<std::string>();
  item.modifier = r.at("modifier").get<std::string>();
  item.deleted = r.at("deleted").get<bool>();
  for (const auto& g : r.at("shares")) {
    Grant grant{g.at(0).get<std::string>(), g.at(1).get<bool>()};
    if (!m_accounts.ByUserId(grant.userId)) return fail("shared with an unknown user");
    item.shares.push_back(std::move(grant));
  }
  for (const auto& v : r.at("versions")) {
    auto content = std::make_shared<FileContent>(v.at("size").get<int64_t>(), v.at("sha1").get<std::string>());
    if (v.contains("blocks")) {
      std::vector<std::string> ids = v["blocks"].get<std::vector<std::string>>();
      for (const auto& id : ids)
        if (!blocks.Has(id)) return fail("block " + id + " is not held");
      content->AddBlocks(std::move(ids));
    }
    if (v.contains("whole")) {
      StoredBlob whole;
      whole.key = v["whole"].at("key").get<std::string>();
      whole.sha1 = v["whole"].at("sha1").get<std::string>();
      std::string bytes;
      if (!state.ReadBlob(WholeBlobName(whole.sha1), &bytes) || Sha1Hex(bytes) != whole.sha1)
        return fail("the whole file " + WholeBlobName(whole.sha1) + " is missing or damaged");
      whole.encoded = std::make_shared<const std::string>(std::move(bytes));
      content->AddWhole(std::move(whole));
    }
    item.versions[v.at("fileVer").get<int64_t>()] = std::move(content);
  }
  m_nextFileId = std::max<int64_t>(m_nextFileId, number + 1);
  m_items.emplace(fileId, std::move(item));
  return true;
}

bool ItemStore::LinkTree(std::string* error) {
  for (const auto& [id, item] : m_items) {
    if (!m_accounts.ByUserId(item.ownerId)) {
      *error = "item " + id + " belongs to an unknown user";
      return false;
    }
    const Item* parent = item.parentId.empty() ? nullptr : Find(item.parentId);
    if (!item.parentId.empty() && (!parent || !parent->folder || parent->ownerId != item.ownerId)) {
      *error = "item " + id + " lies in no folder of its owner";
      return false;
    }
    // Walking up must reach the root within as many steps as there are items.
    size_t steps = 0;
    for (const Item* at = parent; at; at = at->parentId.empty() ? nullptr : Find(at->parentId)) {
      if (++steps > m_items.size()) {
        *error = "item " + id + " lies in a cycle of folders";
        return false;
      }
    }
  }
  for (const auto& [id, item] : m_items) {
    m_children[{item.ownerId, item.parentId}].insert(id);
    if (!item.deleted) m_names.Add(item.ownerId, item.parentId, item.name, id);
  }
  return true;
}

}  // namespace localsvc
