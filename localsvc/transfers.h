// The state of file transfers: the tickets (stubs) that requestUpload and
// requestDownload hand out, the blocks the service holds, the record of the checks it
// made of what clients sent, and the fault hooks tests arm for transfers.
//
// A stub is the only credential of the block server and of the whole-file URLs: it
// names the user, the file and the version, and what the ticket allows. Upload stubs
// are used up by a successful commit or whole-file upload; download stubs stay valid.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "content.h"

namespace localsvc {

enum class TicketKind { kWholeUpload, kBlockUpload, kWholeDownload, kBlockDownload };

// One block of an upload as uploadMetadata announced it.
struct BlockMeta {
  std::string md5;  // of the plain block, lower case
  std::string blockId;
  std::string key;  // issued for this upload; "" when the service held the block (TargetExist)
};

struct Ticket {
  TicketKind kind = TicketKind::kWholeUpload;
  std::string userId;
  std::string fileId;
  int64_t fileVer = 0;  // uploads: the version replaced; downloads: the version served
  bool previous = false;  // downloads of the version before the current one
  int64_t size = 0;       // uploads: the plain size and SHA-1 announced
  std::string sha1;
  std::string fileKey;  // whole-file uploads: the key issued
  std::shared_ptr<FileContent> content;  // downloads
  bool announced = false;                // block uploads: uploadMetadata was accepted
  std::vector<BlockMeta> metas;          // block n at n - 1
  bool busy = false;  // a commit or whole-file upload of the stub is running
  bool done = false;  // the upload went through; the stub is used up
};

// One check of something a client sent: word "ok" or the failure word answered.
struct CheckRecord {
  std::string step;  // "uploadMetadata", "uploadBlock", "commit", "upload"
  std::string stub;
  std::string fileId;
  int index = 0;  // block number, 0 when none
  std::string word;
  std::string reason;  // why it failed
  std::string format;  // what was decoded: "rtv0", "rtv0-lzma", "fileheader", "fileheader-7z"
};

// A fault on the block lists of metadata replies: block index shows blockId in place of
// its own and/or without its key.
struct MetadataHook {
  std::string path;  // "/blk/uploadMetadata" or "/blk/downloadMetadata"
  int index = 1;
  std::optional<std::string> blockId;
  bool dropKey = false;
  int remaining = 1;
};

// Thread-safe (one lock, never held while coding or hashing).
class Transfers {
 public:
  BlockStore& Blocks() { return m_blocks; }

  // Stores a ticket under a new stub.
  std::string Open(Ticket ticket);
  std::optional<Ticket> Get(const std::string& stub);
  // Runs fn on the ticket under the lock; false when the stub is unknown.
  bool Update(const std::string& stub, const std::function<void(Ticket&)>& fn);

  void Record(CheckRecord check);
  nlohmann::json Checks();

  // Hooks (all cleared by ResetHooks, as by POST /test/reset).
  // Counts armed again for the same block add up, to at most INT_MAX.
  void CorruptOnce(const std::string& fileId, int index, int count);
  // True when the download of this block is to be corrupted (uses one count up).
  bool TakeCorrupt(const std::string& fileId, int index);
  void AddMetadataHook(MetadataHook hook);
  std::optional<MetadataHook> TakeMetadataHook(const std::string& path);
  void SetThumbnail(const std::string& fileId, std::string package);
  std::optional<std::string> Thumbnail(const std::string& fileId);
  void ResetHooks();

 private:
  std::mutex m_mutex;
  BlockStore m_blocks;
  std::unordered_map<std::string, Ticket> m_tickets;
  std::vector<CheckRecord> m_checks;
  std::map<std::pair<std::string, int>, int> m_corrupt;  // (fileId, index) -> count
  std::vector<MetadataHook> m_metadataHooks;
  std::map<std::string, std::string> m_thumbnails;
};

}  // namespace localsvc
