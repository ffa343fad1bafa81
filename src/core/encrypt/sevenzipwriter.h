// Our own writer of single-entry 7z archives: the entry's data as one LZMA stream
// (the encoder's default properties, 16 MiB dictionary), followed by a plain header
// that names the entry in UTF-16LE, gives it the archive's own last-write time and
// the archive attribute, and stores no CRC of the data. Paths are UTF-8; nothing
// here logs.
#pragma once

#include <string>

#include "platform/fileenv.h"

class PosixFile;

// The 7z signature, 37 7A BC AF 27 1C.
inline constexpr unsigned char k7zSignature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};

// Writes the archive to `out`, which must be an empty, seekable file positioned at
// its start, with everything `in` yields from its position to its end as the entry
// named entryName (UTF-8; invalid sequences become U+FFFD). The sizes written are
// the bytes actually read and packed. Returns 0, or the LZMA SDK's code of the
// failure: 2 when the encoder cannot be created, 8 for a failed read, 9 for a failed
// write or seek.
int Write7zArchive(PosixFile& out, const std::string& entryName, PosixFile& in);

// Packs the file srcPath into a new archive at archivePath (created anew, 0600 when
// new), the entry named after the last element of srcPath. True when the archive was
// written and closed without error; false also when archivePath is srcPath. A partly
// written archive is left for the caller to remove. Both files go through env.
bool PackFileTo7z(const std::string& archivePath, const std::string& srcPath, FileEnv* env = FileEnv::Default());
