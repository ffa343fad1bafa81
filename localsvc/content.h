// Stored file contents. Blocks are kept once per blockId, shared by every file and user
// that holds them (so the empty block that ends every file whose size is a multiple of
// 4 MiB is stored once). A version of a file holds its content as blocks, as one whole
// encoded file, or both: a download in the other protocol converts it once and keeps
// the result. Everything lives in memory; with a state folder (BlockStore::Persist) the
// encoded bytes are also kept there as blobs, so that they survive a restart.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "statedir.h"

namespace localsvc {

// Encoded bytes as uploaded or seeded, the key they were enciphered with and the SHA-1
// of the encoded bytes. An RTV0 block or a FileHeader file.
struct StoredBlob {
  std::shared_ptr<const std::string> encoded;
  std::string key;
  std::string sha1;
};

// The blob (statedir.h) that holds a block's encoded bytes, and a whole file's.
std::string BlockBlobName(const std::string& blockId, const StoredBlob& block);
std::string WholeBlobName(const std::string& sha1);

// Thread-safe; blocks are never replaced or removed.
class BlockStore {
 public:
  std::optional<StoredBlob> Get(const std::string& blockId);
  bool Has(const std::string& blockId);
  // Stores the block unless one is held under blockId; returns the one held after. With
  // a state folder, a new block's blob and then its record ("block/<blockId>": {"key",
  // "sha1"}) are written before it returns (a failed write fails the state folder).
  StoredBlob Put(const std::string& blockId, StoredBlob block);
  size_t Count();

  // Keeping contents across restarts. From Persist on, Put and KeepWhole write to
  // state, which must outlive their use. Call once, before serving.
  void Persist(StateDir* state);
  // Replaces the blocks held by those of records, each read from its blob and checked
  // against its SHA-1. False with a reason (and nothing held) when one is missing or
  // damaged.
  bool Restore(const StateMap& records, StateDir& state, std::string* error);
  // Every block record, for a snapshot (a StateDir::Source).
  void Snapshot(const std::function<void(StateRecord)>& emit);
  void BlobNames(std::set<std::string>* names);
  // Writes a whole file's encoded bytes as its blob (WholeBlobName), so that a record
  // may name it; true at once without a state folder. Call before the whole joins a
  // FileContent. False when it cannot be written (the state folder has failed).
  bool KeepWhole(const StoredBlob& whole);

 private:
  std::mutex m_mutex;
  std::unordered_map<std::string, StoredBlob> m_blocks;
  StateDir* m_state = nullptr;  // set before serving
};

// The content of one version of a file: its plain size and SHA-1, and the forms the
// service holds it in. Thread-safe; a form once added is never replaced.
class FileContent {
 public:
  FileContent(int64_t size, std::string sha1) : m_size(size), m_sha1(std::move(sha1)) {}
  int64_t Size() const { return m_size; }
  const std::string& Sha1() const { return m_sha1; }
  std::optional<std::vector<std::string>> Blocks() const;  // blockIds, first block first
  std::optional<StoredBlob> Whole() const;
  void AddBlocks(std::vector<std::string> blockIds);
  void AddWhole(StoredBlob whole);

 private:
  const int64_t m_size;
  const std::string m_sha1;
  mutable std::mutex m_mutex;
  std::optional<std::vector<std::string>> m_blocks;
  std::optional<StoredBlob> m_whole;
};

// plain cut into blocks of 4 MiB; the list ends with an empty block when the size is 0
// or a multiple of 4 MiB.
std::vector<std::string_view> SplitBlocks(std::string_view plain);

// Stores plain as blocks: each block not held yet is written as RTV0 with a new key,
// LZMA-packed when pack is set. Returns the blockIds.
std::vector<std::string> StoreAsBlocks(std::string_view plain, bool pack, BlockStore& blocks);
// plain as a FileHeader file with a new key (a 7z archive inside when pack7z is set or
// plain begins with the 7z signature).
bool MakeWhole(std::string_view plain, bool pack7z, StoredBlob* whole, std::string* reason);

// The plain bytes of content decoded from the form it is held in, checked against its
// size and SHA-1. False with a reason when a block is missing or a check fails.
bool PlainOf(const FileContent& content, BlockStore& blocks, std::string* plain, std::string* reason);
// Adds the form a download needs, converting from the other one when it is missing.
bool EnsureBlocks(FileContent& content, BlockStore& blocks, std::string* reason);
bool EnsureWhole(FileContent& content, BlockStore& blocks, std::string* reason);

}  // namespace localsvc
