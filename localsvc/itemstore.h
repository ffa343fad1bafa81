// The service's state behind the file-system API: accounts and tokens, every user's
// item tree with its recycle bin and shares, the version counters and the push waits.
//
// Rules the store keeps:
// - Item ids are unique over all users; a user's root is the parent id "".
// - Names are unique among the live children of one folder, compared ignoring ASCII
//   case; names given through the API are refused when empty, "." or "..", or when they
//   hold '/', '\' or control characters (seeding takes any non-empty name).
// - Deleting moves an item into its owner's recycle bin; its descendants go with it and
//   come back with it. Cleaning removes it and its descendants for good.
// - Every change moves the owner's operation version once and stamps the changed items
//   with it; when the change touches something shared (the item or a folder above it),
//   the share versions of the owner and of everyone it is shared with move once too.
//   Reads, and changes that change nothing, move no version.
// - Others see an item through a share of it or of a folder above it: with "read" they
//   may list and inspect, with "write" also create, rename, move, delete and set times.
//   Only the owner shares, and only the owner sees the recycle bin.
//
// - A file's content is kept per version: the current one and the one before it. A
//   file made by the API or seeded without content has none (fileVer 0 or a number).
//
// With a state folder (Persist), every change is appended to it as one change before
// the method that made it returns (itemstate.cpp); without one, everything lives in
// memory and ends with the process.
//
// Every method is thread-safe (one lock); the views returned are copies.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "accounts.h"
#include "nameindex.h"
#include "statedir.h"

namespace localsvc {

class BlockStore;
class FileContent;

// One person an item is shared with (share lists), or who shares it (shared with me).
struct SharerView {
  std::string nickName;
  std::string email;
  std::string userId;
  std::string right;  // "read" or "read,write"
};

// A copy of one item as the replies show it.
struct ItemView {
  std::string type;  // "folder" or "file"; "deleted" for a search hit in the recycle bin
  std::string fileId;
  std::string parentId;
  std::string name;
  std::string sha1;  // lower-case hex; empty for folders and fresh empty entries
  int64_t size = 0;
  int64_t fileVer = 0;  // 0: an empty entry without content
  int64_t opVer = 0;    // the owner's operation version of the item's last change
  std::string createdTime;
  std::string modTime;
  std::string modifier;  // nickname of who changed it last
  bool shared = false;   // the owner shares the item itself
  bool deleted = false;  // the item itself was deleted (it is in the bin, or inside a deleted folder)
  std::string ownerId;
  std::string digest;               // search hits only: the text that matched
  std::vector<SharerView> sharers;  // share lists only
};

struct Session {
  std::string userId;
  std::string token;
  std::string email;
  std::string nickName;
};

struct Versions {
  int64_t opVer = 0;
  int64_t shareVer = 0;
  bool operator==(const Versions&) const = default;
};

// How a push wait ended.
struct PollOutcome {
  std::string word;  // ok, or clientNoLogin for an unknown user (after the hold)
  Versions versions;
  std::string deviceId;  // the device of the user's last sign-in, "localsvc" before any
  bool stopped = false;  // the service is stopping; nothing is to be answered
};

// An item made by seeding, as if another client had made it.
struct NewItem {
  std::string ownerId;
  std::string parentId;  // "" for the owner's root; any folder of the owner, even deleted
  std::string name;
  bool folder = false;
  int64_t size = 0;
  int64_t fileVer = 1;
  std::string sha1;  // for a file of size 0, the SHA-1 of no bytes when empty
  std::string createdTime;  // now when empty
  std::string modTime;      // createdTime when empty
  std::string modifier;     // the owner's nickname when empty
  bool deleted = false;     // put straight into the recycle bin
  // The content of version fileVer (files only); size and sha1 then come from it.
  std::shared_ptr<FileContent> content;
};

class ItemStore {
 public:
  ItemStore() = default;
  ItemStore(const ItemStore&) = delete;
  ItemStore& operator=(const ItemStore&) = delete;

  // Sign-in. Each returns the result word; on ok *session holds a new token.
  std::string SignIn(const std::string& login, const std::string& password, const std::string& deviceId,
                     Session* session);
  std::string ForkToken(const std::string& token, const std::string& deviceId, Session* session);
  // The word for a request's token; on ok *userId names the user.
  std::string Authenticate(const std::string& token, std::string* userId);

  // Reads: they never move a version. userId is an authenticated user.
  Versions GetVersions(const std::string& userId);
  // used: the sizes of every file the user owns, recycle bin included (a sum beyond the
  // 64-bit range reads as the largest).
  void GetSpace(const std::string& userId, int64_t* used, int64_t* total);
  // The live children of a folder ("" the user's root); targetNotExist for anything
  // that is not a folder the user can see.
  std::string List(const std::string& userId, const std::string& folderId, std::vector<ItemView>* items);
  // The items deleted on their own (not those inside a deleted folder).
  void Recycle(const std::string& userId, std::vector<ItemView>* items);
  // Live items the user shares, each with its sharers; live items shared with the user,
  // each with one sharer: the owner, with the user's rights.
  void SharedOut(const std::string& userId, std::vector<ItemView>* items);
  void SharedToMe(const std::string& userId, std::vector<ItemView>* items);
  // The user's live items and recycle-bin entries whose name holds text (ASCII case
  // ignored); bin entries have the type "deleted".
  void Search(const std::string& userId, const std::string& text, std::vector<ItemView>* items);
  std::string ItemInfo(const std::string& userId, const std::string& fileId, ItemView* item);

  // Changes. Each returns the result word. On targetExist *item is the live item that
  // holds the name; NewFolder and NewFile give the new item on ok.
  std::string NewFolder(const std::string& userId, const std::string& parentId, const std::string& name,
                        ItemView* item);
  std::string NewFile(const std::string& userId, const std::string& parentId, const std::string& name,
                      ItemView* item);
  std::string Rename(const std::string& userId, const std::string& fileId, const std::string& name,
                     ItemView* clash);
  // An empty name keeps the item's name. A folder cannot go into itself or below.
  std::string Move(const std::string& userId, const std::string& fileId, const std::string& parentId,
                   const std::string& name, ItemView* clash);
  std::string Delete(const std::string& userId, const std::string& fileId);
  // Brings a recycle-bin entry back into parentId, or, when that is "", where it was
  // (the root when its old folder is gone).
  std::string Recover(const std::string& userId, const std::string& fileId, const std::string& parentId,
                      ItemView* clash);
  // Removes one recycle-bin entry for good, or, for "", the whole bin.
  std::string CleanRecycle(const std::string& userId, const std::string& fileId);
  // Shares an item the user owns with each named account (email, user name or user id),
  // read-only or writable; a share that exists takes the new right.
  std::string Share(const std::string& userId, const std::string& fileId, const std::vector<std::string>& names,
                    bool writable);
  std::string SetModTime(const std::string& userId, const std::string& fileId, const std::string& modTime);

  // File contents. Whether the user may send a new version of the file: ok,
  // targetNotExist (no live file the user can see), serverDenyReadOnly,
  // fileVerConflict (fileVer is not the file's version), overSpace (the owner's quota
  // cannot take the new size in place of the old).
  std::string CheckUpload(const std::string& userId, const std::string& fileId, int64_t fileVer, int64_t size);
  // Makes content the file's next version when the file's version is still fileVer
  // (else the word of CheckUpload); moves the versions like any change.
  std::string CommitVersion(const std::string& userId, const std::string& fileId, int64_t fileVer,
                            std::shared_ptr<FileContent> content, int64_t* newVer);
  // The file's current version, or the one before it: targetNotExist when there is no
  // live file the user can see or no version before; ok with *content null when the
  // service does not hold that version's content.
  std::string VersionOf(const std::string& userId, const std::string& fileId, bool previous, ItemView* item,
                        int64_t* fileVer, std::shared_ptr<FileContent>* content);

  // The global version every account is answered ("3" selects the block protocol); "2"
  // unless set.
  std::string GlobalVersion();
  void SetGlobalVersion(const std::string& version);

  // Holds until the user's operation or share version moves, hold passes (zero: no
  // limit) or Stop is called. The user need not be signed in.
  PollOutcome WaitForChange(const std::string& userId, std::chrono::milliseconds hold);
  // Ends every wait now and later ones at once.
  void Stop();
  // How many push waits are holding now.
  int HeldPolls();

  // Seeding for tests and the command line. Each returns false with a reason.
  bool AddAccount(Account account, Session* session, std::string* error);
  bool IssueToken(const std::string& userId, bool expired, std::string* token, std::string* error);
  bool SetTokenExpired(const std::string& token, bool expired);
  bool AddItem(const NewItem& spec, ItemView* item, std::string* error);
  bool AddShare(const std::string& fileId, const std::string& to, bool writable, std::string* error);
  // content becomes the next version of a file, as if its owner had sent it.
  bool SeedVersion(const std::string& fileId, std::shared_ptr<FileContent> content, ItemView* item,
                   std::string* error);
  // The contents held for a file by version, and its current version; false when there
  // is no such file.
  bool Contents(const std::string& fileId, int64_t* fileVer,
                std::map<int64_t, std::shared_ptr<FileContent>>* versions);
  // Sets the counters (a value that moves wakes the user's push waits).
  bool SetVersions(const std::string& userId, std::optional<int64_t> opVer, std::optional<int64_t> shareVer,
                   std::string* error);
  // Every item the user owns, bin and deleted folders included, and the versions.
  bool Dump(const std::string& userId, Versions* versions, std::vector<ItemView>* items);
  // Whether an account signs in with that user name.
  bool HasLogin(const std::string& login);

  // Keeping the state across restarts (itemstate.cpp). Restore replaces everything the
  // store holds by the accounts, tokens, items and contents of records; the blocks
  // must be restored into blocks first, the whole files are read from state. False with
  // a reason, the store left empty, when the records are no consistent state.
  bool Restore(const StateMap& records, StateDir& state, BlockStore& blocks, std::string* error);
  // From now on every change is appended to state before the method that made it
  // returns. Call once, before serving; state must outlive the store's use.
  void Persist(StateDir* state);
  // Saves the file again after one of its contents gained a form (a download converted
  // it), so that the form outlives a restart; nothing else moves.
  void FormsAdded(const std::string& fileId);
  // Every record of the store, for a snapshot (a StateDir::Source).
  void Snapshot(const std::function<void(StateRecord)>& emit);
  // The blob names of the whole files the store's contents hold.
  void WholeBlobNames(std::set<std::string>* names);

 private:
  struct Grant {
    std::string userId;
    bool write = false;
  };
  struct Item {
    std::string fileId;
    std::string ownerId;
    std::string parentId;
    std::string name;
    bool folder = false;
    std::string sha1;
    int64_t size = 0;
    int64_t fileVer = 0;
    int64_t opVer = 0;
    std::string createdTime;
    std::string modTime;
    std::string modifier;
    bool deleted = false;
    std::vector<Grant> shares;
    std::map<int64_t, std::shared_ptr<FileContent>> versions;  // by fileVer
  };
  enum class Access { kNone, kRead, kWrite, kOwner };

  // The store's lock for a method that may change something: what the method marked
  // (Mark*) is saved as one change before the lock is released.
  class Changing {
   public:
    explicit Changing(ItemStore* store) : m_store(store), m_lock(store->m_mutex) {}
    ~Changing() { m_store->Save(); }
    Changing(const Changing&) = delete;
    Changing& operator=(const Changing&) = delete;

   private:
    ItemStore* m_store;
    std::lock_guard<std::mutex> m_lock;
  };
  // What changed under the lock and is not saved yet (only with a state folder).
  struct Unsaved {
    std::set<std::string> items;  // by fileId; an item gone is erased
    std::set<std::string> accounts;
    std::set<std::string> tokens;
    bool meta = false;  // the id counters and the global version
  };

  // All below run under m_mutex.
  Item* Find(const std::string& fileId);
  bool Live(const Item& item);
  bool InBin(const Item& item);
  Access AccessOf(const std::string& userId, const Item& item);
  // The live item the user can see with at least need, else nullptr with the word.
  Item* Reach(const std::string& userId, const std::string& fileId, Access need, std::string* word);
  // The folder a new child goes into: its owner and id, or the word that refuses it.
  std::string ResolveParent(const std::string& userId, const std::string& parentId, std::string* ownerId);
  Item* LiveChildNamed(const std::string& ownerId, const std::string& parentId, const std::string& name,
                       const std::string& except);
  std::set<std::string> Recipients(const Item& item);
  // Moves the versions for a change by actor to the owner's items, stamps them and
  // wakes the waits. extra: recipients who saw the items before the change.
  void Touch(const std::string& ownerId, const std::string& actorId, const std::vector<Item*>& changed,
             const std::set<std::string>& extra = {});
  Item* Create(const std::string& ownerId, const std::string& parentId, const std::string& name, bool folder);
  void Purge(Item* item);
  // Moves the item to parentId under name (either may stay as it is), keeping the
  // children lists and the name index.
  void Place(Item* item, const std::string& parentId, const std::string& name);
  // Sets the item's own deleted flag, keeping the name index (it holds live names only).
  void SetDeleted(Item* item, bool deleted);
  ItemView View(const Item& item);
  SharerView SharerOf(const std::string& userId, bool write);
  std::string NewEntry(const std::string& userId, const std::string& parentId, const std::string& name,
                       bool folder, ItemView* item);
  std::string CheckUploadLocked(const std::string& userId, const std::string& fileId, int64_t fileVer, int64_t size,
                                Item** item);
  // Makes content the item's next version and keeps the one before it.
  void PutVersion(Item* item, const std::string& actorId, std::shared_ptr<FileContent> content);
  std::string ShareLocked(Item* item, const std::vector<std::string>& names, bool writable);

  // Persistence, under m_mutex (itemstate.cpp).
  void MarkItem(const std::string& fileId) {
    if (m_state) m_unsaved.items.insert(fileId);
  }
  void MarkAccount(const std::string& userId) {
    if (m_state) m_unsaved.accounts.insert(userId);
  }
  void MarkToken(const std::string& token) {
    if (m_state) m_unsaved.tokens.insert(token);
  }
  void MarkMeta() { m_unsaved.meta = m_state != nullptr; }
  // Appends what was marked as one change and forgets the marks.
  void Save();
  StateRecord ItemRecord(const std::string& fileId);
  StateRecord AccountRecord(const std::string& userId);
  StateRecord TokenRecord(const std::string& token);
  StateRecord MetaRecord();
  bool RestoreItem(const std::string& fileId, const nlohmann::json& r, StateDir& state, BlockStore& blocks,
                   std::string* error);
  // Checks the restored tree and builds the children lists and the name index.
  bool LinkTree(std::string* error);

  std::mutex m_mutex;
  std::condition_variable m_changed;
  AccountTable m_accounts;
  std::map<std::string, Item> m_items;  // by fileId
  // (owner, parent id) -> child ids, deleted ones included
  std::map<std::pair<std::string, std::string>, std::set<std::string>> m_children;
  // The names of the children that are not deleted themselves.
  NameIndex m_names;
  int64_t m_nextFileId = 100001;
  std::string m_globalVersion = "2";
  bool m_stopping = false;
  int m_heldPolls = 0;
  StateDir* m_state = nullptr;
  Unsaved m_unsaved;
};

// The SHA-1 of no bytes, lower case.
inline constexpr char kEmptySha1[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

}  // namespace localsvc
