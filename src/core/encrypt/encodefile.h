// The file encoding between the local disk and the service: pack (or not, as the
// compress policy says), then encipher with AES-256; and the reverse.
//
//   EncodeFile      7z container, FileHeader format (whole files)
//   EncodeFile_UFA  raw LZMA, RTV0 format (the blocks of a block upload)
//   DecodeFile      either format, packed or not
//
// File keys are texts of 64 hexadecimal digits whose digit pairs are read low digit
// first ("1a" is the byte 0xA1); they are never logged. Paths are UTF-8. Temporary
// files are named by new GUIDs (no extension) beside the file they come from, and
// never remain. The destination is written to a temporary file beside it and renamed
// into place, so a failed call leaves an existing destination as it was. Sources of
// 4 GiB and more are refused. The calls share no state and may run on any threads.
// Every file, temporary ones included, is reached through the FileEnv given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/resultcodes.h"
#include "platform/fileenv.h"

// The largest plain file DecodeFile writes unless told otherwise.
inline constexpr uint64_t kDecodeDefaultCap = 0xFFFFFFFFull;

// Fills count bytes from the text: byte i is characters 2i and 2i+1 read as a
// two-digit hexadecimal number (2i+1 then 2i with swapDigits). A pair whose first
// character is not a hexadecimal digit gives 0, one whose second is not gives the
// first digit's value; characters past the end of the text count as non-digits. An
// empty text and a text whose length is not 2 x count are logged as assertions and
// converted all the same. Always S_OK.
HRESULT HexTextToBytes(const std::string& hex, size_t count, uint8_t* out, bool swapDigits);

// The path newName in the folder of fullPath (just newName when fullPath has no "/").
std::string MakeSiblingPath(const std::string& fullPath, const std::string& newName);

// Writes desFile in the FileHeader format: srcFile packed as a single-entry 7z archive
// when the compress policy says so for (fileName, srcFile), or as it is. With
// noCompress the policy is skipped, except that content beginning with the 7z
// signature is always packed. desFile must not be srcFile. S_OK, the policy's failure
// code, or E_FAIL.
HRESULT EncodeFile(const std::string& fileName, const std::string& srcFile, const std::string& desFile,
                   const std::string& fileKey, bool noCompress, FileEnv* env = FileEnv::Default());

// Writes desFile in the RTV0 format: srcFile packed as a raw LZMA file when the
// policy says so, the packed flag set accordingly; orgSize, the SHA-1 text (40
// digits) and the hint text (16 digits) go into the header. S_OK, the policy's
// failure code, or E_FAIL.
HRESULT EncodeFile_UFA(uint32_t orgSize, const std::string& fileName, const std::string& orgFileSha1,
                       const std::string& srcFile, const std::string& desFile, const std::string& fileKey,
                       const std::string& hint, FileEnv* env = FileEnv::Default());

// Writes the plain file desFile (created or replaced) from srcFile in either format.
// A FileHeader file that holds a 7z archive is unpacked; any other is taken as it is,
// content that begins with the 7z signature but is no archive too (a deciphered file
// that cannot be read to tell fails). More than maxPlainSize plain bytes fail. For
// RTV0 a plain size or SHA-1 that differs from the header's is logged as a warning
// only. S_OK or E_FAIL.
HRESULT DecodeFile(const std::string& srcFile, const std::string& desFile, const std::string& fileKey,
                   uint64_t maxPlainSize = kDecodeDefaultCap, FileEnv* env = FileEnv::Default());
