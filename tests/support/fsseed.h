// Seeding and inspecting the local service's file-system state and file contents
// through its control endpoints (/test/fs/... and /test/xfer/..., listed by
// `ostrel_localsvc --help`), so that tests get accounts, items, shares and files without
// the client, and can act as another client.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "support/localservice.h"

// POSTs body to the control path (e.g. "/test/fs/item") and returns the JSON reply. A
// refused request fails the test and returns null.
nlohmann::json FsControl(LocalService& service, const std::string& path, const nlohmann::json& body);

// A new account ("<user>@localsvc.test", password "pw-<user>" unless given) with a
// valid token: {"userId", "token", "email", "nickName"}.
nlohmann::json FsAccount(LocalService& service, const std::string& user, const std::string& password = "");

// GET /test/fs/state: the number of held push polls and, for a user, the versions and
// every item the user owns.
nlohmann::json FsState(LocalService& service, const std::string& userId = "");

// Seeds a file as if another device had uploaded it (POST /test/xfer/file): a new file
// named name in parentId ("" the root) of the user, holding content in format
//   "blocks"       RTV0 blocks, not packed (flags 0x02)
//   "blocks-lzma"  RTV0 blocks packed by liblzma's LZMA-Alone encoder (flags 0x03)
//   "whole"        a FileHeader file of the content
//   "whole-7z"     a FileHeader file of a 7z archive made by 7zz
// Either protocol downloads it (the service converts once). Returns {"fileId",
// "fileVer" (1), "size", "sha1", "opVer", and "blockIds" or "compressSha1" and "fileKey"}.
nlohmann::json FsSeedFile(LocalService& service, const std::string& userId, const std::string& name,
                          const std::string& content, const std::string& format = "blocks",
                          const std::string& parentId = "");
// The next version of a file (the one before stays available), as FsSeedFile.
nlohmann::json FsSeedVersion(LocalService& service, const std::string& fileId, const std::string& content,
                             const std::string& format = "blocks");

// GET /test/xfer/state: "blocks" (how many the service holds), "checks" (every check of
// an upload: {"step", "stub", "fileId", "index", "word", "reason", "format"}) and, for a
// file, "fileVer" and "versions" [{"fileVer", "size", "sha1", "blockIds"?, "compressSha1"?}].
nlohmann::json XferState(LocalService& service, const std::string& fileId = "");
// The plain content of a file's version (0: the current one) as the service decodes it;
// nullopt when it holds none (404). Any other refusal fails the test and gives nullopt.
std::optional<std::string> XferContent(LocalService& service, const std::string& fileId, int64_t fileVer = 0);
// Transfer faults are FsControl calls of /test/xfer/corrupt, /metadata and /thumbnail
// (their fields: `ostrel_localsvc --help`); slow replies are Inject faults with "chunk".
