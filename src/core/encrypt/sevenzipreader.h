// Reading 7z archives, through libarchive restricted to the 7z format. A file is an
// archive only when the 7z signature stands at its very start, so a program with an
// archive appended (a self-extracting file) is not one, and when its start header is
// sound (its CRC right, the header it points to inside the file). Entry names are never used
// as paths: the caller names the destination. Paths are UTF-8; nothing here logs. The
// archive is opened, read and seeked, and the destination written, through env.
#pragma once

#include <cstdint>
#include <string>

#include "platform/fileenv.h"

// The largest entry Unpack7zArchive writes unless told otherwise: the encrypted
// formats cannot describe a file of 4 GiB.
inline constexpr uint64_t k7zDefaultOutputCap = 0xFFFFFFFFull;

// True when the file is a 7z archive that holds a file entry (an entry that is not a
// folder); *size gets the size of the first such entry. An archive that opens but
// holds no file entry is not taken for one.
bool Get7zEntryInfo(const std::string& archivePath, uint64_t* size, FileEnv* env = FileEnv::Default());

// What Probe7zArchive found.
enum class SevenZipProbe {
  kArchive,     // a 7z archive holding a file entry, as Get7zEntryInfo says
  kNotArchive,  // read to the point where it proved no such archive
  kReadError,   // could not be opened, read or seeked: nothing is known
};

// Get7zEntryInfo that tells a file it could not read from one that is no archive;
// *size is set only for kArchive.
SevenZipProbe Probe7zArchive(const std::string& archivePath, uint64_t* size, FileEnv* env = FileEnv::Default());

// Streams the first file entry of the archive into destPath (created anew, 0600 when
// new). True when the whole entry was written: its bytes count equals the size the
// archive states, the data decoded without error, at most maxOutput bytes. A partly
// written destination is left for the caller to remove.
bool Unpack7zArchive(const std::string& destPath, const std::string& archivePath,
                     uint64_t maxOutput = k7zDefaultOutputCap, FileEnv* env = FileEnv::Default());
