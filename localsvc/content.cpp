#include "content.h"

#include "filecodec.h"

namespace localsvc {

std::optional<StoredBlob> BlockStore::Get(const std::string& blockId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto it = m_blocks.find(blockId);
  if (it == m_blocks.end()) return std::nullopt;
  return it->second;
}

bool BlockStore::Has(const std::string& blockId) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_blocks.count(blockId) > 0;
}

namespace {

constexpr char kBlockPrefix[] = "block/";

}  // namespace

std::string BlockBlobName(const std::string& blockId, const StoredBlob& block) { return blockId + "." + block.sha1; }

std::string WholeBlobName(const std::string& sha1) { return "whole." + sha1; }

StoredBlob BlockStore::Put(const std::string& blockId, StoredBlob block) {
  StateDir* state = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_blocks.find(blockId);
    if (it != m_blocks.end()) return it->second;
    state = m_state;
  }
  // The blob is written outside the lock: two puts of one block may both write theirs
  // (their names differ with their keys); the one held names its own.
  bool kept = !state || state->PutBlob(BlockBlobName(blockId, block), *block.encoded);
  std::lock_guard<std::mutex> lock(m_mutex);
  auto [it, added] = m_blocks.emplace(blockId, std::move(block));
  if (added && state && kept)
    state->Append({{kBlockPrefix + blockId, nlohmann::json{{"key", it->second.key}, {"sha1", it->second.sha1}}}});
  return it->second;
}

void BlockStore::Persist(StateDir* state) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_state = state;
}

bool BlockStore::Restore(const StateMap& records, StateDir& state, std::string* error) {
  std::unordered_map<std::string, StoredBlob> blocks;
  const std::string prefix = kBlockPrefix;
  for (auto it = records.lower_bound(prefix); it != records.end() && it->first.starts_with(prefix); ++it) {
    const std::string blockId = it->first.substr(prefix.size());
    StoredBlob b;
    int64_t size = 0;
    std::string sha1, bytes;
    if (!ParseBlockId(blockId, &size, &sha1) || !it->second.is_object() || !it->second.contains("key") ||
        !it->second["key"].is_string() || !it->second.contains("sha1") || !it->second["sha1"].is_string()) {
      *error = "the record of block " + blockId + " is malformed";
      return false;
    }
    b.key = it->second["key"].get<std::string>();
    b.sha1 = it->second["sha1"].get<std::string>();
    if (!state.ReadBlob(BlockBlobName(blockId, b), &bytes) || Sha1Hex(bytes) != b.sha1) {
      *error = "block " + BlockBlobName(blockId, b) + " is missing or damaged";
      return false;
    }
    b.encoded = std::make_shared<const std::string>(std::move(bytes));
    blocks.emplace(blockId, std::move(b));
  }
  std::lock_guard<std::mutex> lock(m_mutex);
  m_blocks = std::move(blocks);
  return true;
}

void BlockStore::Snapshot(const std::function<void(StateRecord)>& emit) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, b] : m_blocks) emit({kBlockPrefix + id, nlohmann::json{{"key", b.key}, {"sha1", b.sha1}}});
}

void BlockStore::BlobNames(std::set<std::string>* names) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const auto& [id, b] : m_blocks) names->insert(BlockBlobName(id, b));
}

bool BlockStore::KeepWhole(const StoredBlob& whole) {
  StateDir* state = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    state = m_state;
  }
  return !state || state->PutBlob(WholeBlobName(whole.sha1), *whole.encoded);
}

size_t BlockStore::Count() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_blocks.size();
}

std::optional<std::vector<std::string>> FileContent::Blocks() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_blocks;
}

std::optional<StoredBlob> FileContent::Whole() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_whole;
}

void FileContent::AddBlocks(std::vector<std::string> blockIds) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_blocks) m_blocks = std::move(blockIds);
}

void FileContent::AddWhole(StoredBlob whole) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!m_whole) m_whole = std::move(whole);
}

std::vector<std::string_view> SplitBlocks(std::string_view plain) {
  std::vector<std::string_view> out;
  size_t at = 0;
  for (;;) {
    size_t n = std::min(kBlockSize, plain.size() - at);
    out.push_back(plain.substr(at, n));
    at += n;
    if (n < kBlockSize) return out;
  }
}

std::vector<std::string> StoreAsBlocks(std::string_view plain, bool pack, BlockStore& blocks) {
  std::vector<std::string> ids;
  for (std::string_view piece : SplitBlocks(plain)) {
    std::string id = BlockIdOf(piece);
    if (!blocks.Has(id)) {
      StoredBlob b;
      b.key = NewFileKey();
      b.encoded = std::make_shared<const std::string>(EncodeRtv0(piece, b.key, pack));
      b.sha1 = Sha1Hex(*b.encoded);
      blocks.Put(id, std::move(b));
    }
    ids.push_back(std::move(id));
  }
  return ids;
}

bool MakeWhole(std::string_view plain, bool pack7z, StoredBlob* whole, std::string* reason) {
  std::string encoded;
  whole->key = NewFileKey();
  if (!EncodeFileHeader(plain, whole->key, pack7z, &encoded, reason)) return false;
  whole->sha1 = Sha1Hex(encoded);
  whole->encoded = std::make_shared<const std::string>(std::move(encoded));
  return true;
}

bool PlainOf(const FileContent& content, BlockStore& blocks, std::string* plain, std::string* reason) {
  plain->clear();
  DecodeInfo info;
  size_t size = static_cast<size_t>(content.Size());
  if (auto ids = content.Blocks()) {
    for (const auto& id : *ids) {
      std::optional<StoredBlob> b = blocks.Get(id);
      std::string piece;
      if (!b) {
        *reason = "block " + id + " is not held";
        return false;
      }
      if (!DecodeRtv0(*b->encoded, b->key, kBlockSize, &piece, &info, reason)) return false;
      plain->append(piece);
    }
  } else if (auto w = content.Whole()) {
    if (!DecodeFileHeader(*w->encoded, w->key, size, plain, &info, reason)) return false;
  } else {
    *reason = "no content held";
    return false;
  }
  if (plain->size() != size || Sha1Hex(*plain) != content.Sha1()) {
    *reason = "the decoded content differs from its size or SHA-1";
    return false;
  }
  return true;
}

bool EnsureBlocks(FileContent& content, BlockStore& blocks, std::string* reason) {
  if (content.Blocks()) return true;
  std::string plain;
  if (!PlainOf(content, blocks, &plain, reason)) return false;
  content.AddBlocks(StoreAsBlocks(plain, false, blocks));
  return true;
}

bool EnsureWhole(FileContent& content, BlockStore& blocks, std::string* reason) {
  if (content.Whole()) return true;
  std::string plain;
  StoredBlob whole;
  if (!PlainOf(content, blocks, &plain, reason) || !MakeWhole(plain, false, &whole, reason)) return false;
  if (!blocks.KeepWhole(whole)) {
    *reason = "the state folder cannot be written";
    return false;
  }
  content.AddWhole(std::move(whole));
  return true;
}

}  // namespace localsvc
