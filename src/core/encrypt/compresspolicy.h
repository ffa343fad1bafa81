// The compress policy: whether a file is worth packing before it is enciphered.
//
// In this order: content that begins with the 7z signature is always packed, whatever
// its size (so that the decoder, which unwraps one 7z layer, gives back the archive
// itself); a file below 1,024 bytes is not packed; content that opens as a zip
// archive is packed; then by the extension of the file's name (compared without
// regard to case): media, images, installers, disc images and archives are never
// packed, documents not above 10 MiB, PDF not above 5 MiB, programs not above 3 MiB;
// everything else is packed.
#pragma once

#include <cstdint>
#include <string>

#include "common/resultcodes.h"
#include "platform/fileenv.h"

inline constexpr uint64_t kPolicySmallFile = 1024;
inline constexpr uint64_t kPolicyDocumentLimit = 10485760;  // list B
inline constexpr uint64_t kPolicyPdfLimit = 5242880;        // "pdf"
inline constexpr uint64_t kPolicyProgramLimit = 3145728;    // "exe", "dll"

// fileName gives the extension (it need not exist: the real name of the item);
// srcFile is the file whose size and content are tested. S_OK with *flag 1 (pack) or
// 0 (store as is); otherwise the failure of the size read, or E_FAIL when srcFile
// cannot be opened. Failures are logged. srcFile is read through env.
HRESULT NeedCompressFile(const std::string& fileName, const std::string& srcFile, int* flag,
                         FileEnv* env = FileEnv::Default());

// True when the file's first six bytes are the 7z signature.
bool StartsWith7zSignature(const std::string& path, FileEnv* env = FileEnv::Default());

// True when the file opens as a zip archive (its end-of-central-directory record is
// found and valid).
bool OpensAsZip(const std::string& path, FileEnv* env = FileEnv::Default());

// Which extension list (without the dot, any case) a name's extension is in:
// 'A' never packed, 'B' documents, 'C' PDF, 'D' programs, 0 none.
char CompressExtensionList(const std::string& extension);
