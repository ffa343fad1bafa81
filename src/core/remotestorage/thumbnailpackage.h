// The thumbnail package: a zip archive from the preview host whose first entry named
// "*.jpg" (the extension compared exactly) is the picture.
#pragma once

#include <cstdint>
#include <string>

#include "common/resultcodes.h"
#include "platform/fileenv.h"

// The largest picture entry unpacked; a package entry claiming more is refused before
// anything is allocated.
inline constexpr uint64_t kThumbnailEntryCap = uint64_t(16) << 20;

// The largest package downloaded: a picture entry of the largest size, with room for
// the page beside it and the archive's own records. A longer reply fails the download.
inline constexpr uint64_t kThumbnailPackageCap = kThumbnailEntryCap + (uint64_t(1) << 20);

// Unpacks the picture entry of the package into pictPath (parent folders created; the
// file written under a temp name and renamed, 0600). The entry must not claim more than
// kThumbnailEntryCap, must give exactly its claimed size and pass its CRC check. The
// entry's name is never used as a path. S_OK, or E_FAIL (logged) when the package does
// not open, holds no entries or no such entry, or the entry fails a check or cannot be
// written. Both files are reached through env.
HRESULT UnzipThumbnailPackage(const std::string& packagePath, const std::string& pictPath,
                              FileEnv* env = FileEnv::Default());
