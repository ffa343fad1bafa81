// The block files of the block protocol: a file cut into blocks of at most 4 MiB for
// an upload, and downloaded blocks joined into one file again.
//
// Block files are the engine's own (0600, their folder 0700) and named by the SHA-1 of
// their content. Paths are UTF-8. The functions share no state; every file and folder
// is reached through the FileEnv given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/resultcodes.h"
#include "platform/fileenv.h"

// Cuts the file into blocks: every block holds 4 MiB but the last, which holds the
// rest; a file of size 0 or a multiple of 4 MiB ends with an empty block. The blocks go
// into a new folder "{GUID}" beside the source (so that concurrent transfers never
// share a block file), each named by its 40-digit SHA-1; two equal blocks share one
// file. *blocks receives the paths in block order. fileSize and fileSha1 (may be null)
// receive the size and SHA-1 text of the whole source, read in the same pass.
// A read or write error is a failure: E_FAIL, with the new folder removed and *blocks
// empty. Remove the blocks with DeleteBlockFiles.
HRESULT SplitFileToBlocks(const std::string& pathOrgFile, std::vector<std::string>* blocks,
                          int64_t* fileSize = nullptr, std::string* fileSha1 = nullptr,
                          FileEnv* env = FileEnv::Default());

// Deletes the block files and then each folder that held them when its name is a GUID
// in registry form and it is empty. Missing files are fine.
void DeleteBlockFiles(const std::vector<std::string>& blocks, FileEnv* env = FileEnv::Default());

// Writes the blocks one after the other into dest (created or emptied, 0600). size and
// sha1 (may be null) receive the size and SHA-1 text of what was written. A block that
// cannot be opened or read, and a failed write or close, fail the join: E_FAIL, and
// dest is removed.
HRESULT JoinBlocks(const std::vector<std::string>& blocks, const std::string& dest, int64_t* size = nullptr,
                   std::string* sha1 = nullptr, FileEnv* env = FileEnv::Default());

// The block file's SHA-1 text; a failure is logged and returned.
HRESULT GetBlockFileSha1(const std::string& path, std::string* sha1, FileEnv* env = FileEnv::Default());

// Size, SHA-1 and MD5 texts (lower case) of a block file, read once. E_FAIL when it
// cannot be read or holds more than 4 MiB.
struct BlockDigest {
  uint32_t size = 0;
  std::string sha1;
  std::string md5;
};
HRESULT GetBlockDigest(const std::string& path, BlockDigest* digest, FileEnv* env = FileEnv::Default());
