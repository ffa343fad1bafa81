// The limits and checks of the file system's transfers of whole files and folder trees
// (CFileSystem::OpenFile, DownloadFile, UploadFile, DownloadFolder and UploadFolder,
// transfers.cpp), applied before a file becomes a task of the file sync manager.
#pragma once

#include <cstdint>
#include <string_view>

// The largest file an upload takes, in bytes (300 MiB): one more is refused.
inline constexpr int64_t kMaxUploadSize = 314572800;

// How deep a folder transfer goes below the folder it was asked for.
inline constexpr int kMaxFolderWalkDepth = 512;

// Whether a local file or folder name may become the name of a cloud item: not empty,
// valid UTF-8, and without control characters (they cannot travel through the
// service) or "\" (the separator of cloud paths).
bool IsUploadableName(std::string_view name);

// Test seams of the transfers.
namespace filesystemcontrol {
// The oversize message is shown once per process: lets the next oversize upload show
// it again.
void ResetOversizeNotice();
}  // namespace filesystemcontrol
