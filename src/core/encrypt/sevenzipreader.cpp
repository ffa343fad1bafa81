#include "core/encrypt/sevenzipreader.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "core/encrypt/fileio.h"
#include "core/encrypt/sevenzipwriter.h"

namespace {

constexpr size_t kReadBlock = 16384;
constexpr size_t kChunk = 1 << 16;
constexpr size_t kStartHeaderSize = 32;

uint64_t Le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The start header: the signature at offset 0, format version 0.x, its CRC right, and
// the next header inside the file. The library is given nothing else, so a damaged
// size never becomes an allocation. *ioFailed is set when the file could not be read.
bool ValidStartHeader(PosixFile& file, bool* ioFailed) {
  unsigned char h[kStartHeaderSize];
  ssize_t n = file.ReadFullAt(h, sizeof(h), 0);
  if (n < 0) *ioFailed = true;
  if (n != static_cast<ssize_t>(sizeof(h))) return false;
  if (std::memcmp(h, k7zSignature, sizeof(k7zSignature)) != 0 || h[6] != 0) return false;
  if (crc32(crc32(0L, Z_NULL, 0), h + 12, 20) != Le(h + 8, 4)) return false;
  uint64_t fileSize = 0;
  if (!encrypt_io::FileSize(file, &fileSize)) {
    *ioFailed = true;
    return false;
  }
  if (fileSize < kStartHeaderSize) return false;
  const uint64_t offset = Le(h + 12, 8), size = Le(h + 20, 8);
  const uint64_t room = fileSize - kStartHeaderSize;
  return offset <= room && size <= room - offset;
}

// One archive open for reading, positioned by NextFileEntry. The library reads the
// archive through the callbacks below, so every read and seek goes through the file's
// FileEnv; they do what the library's own descriptor reader does on a regular file.
class SevenZipReader {
 public:
  explicit SevenZipReader(FileEnv* env) : m_file(env), m_buffer(kReadBlock) {}
  ~SevenZipReader() {
    if (m_archive) archive_read_free(m_archive);
  }

  bool Open(const std::string& path) {
    if (!encrypt_io::OpenSource(path, &m_file)) {
      m_ioFailed = true;
      return false;
    }
    if (!ValidStartHeader(m_file, &m_ioFailed)) return false;
    m_archive = archive_read_new();
    if (!m_archive) return false;
    if (archive_read_support_format_7zip(m_archive) != ARCHIVE_OK) return false;
    return archive_read_set_read_callback(m_archive, &SevenZipReader::Read) == ARCHIVE_OK &&
           archive_read_set_skip_callback(m_archive, &SevenZipReader::Skip) == ARCHIVE_OK &&
           archive_read_set_seek_callback(m_archive, &SevenZipReader::SeekTo) == ARCHIVE_OK &&
           archive_read_set_callback_data(m_archive, this) == ARCHIVE_OK && archive_read_open1(m_archive) == ARCHIVE_OK;
  }

  // Moves to the next entry that is not a folder. A warning (such as a name that
  // cannot be converted to the locale) is no failure.
  bool NextFileEntry(archive_entry** entry) {
    for (;;) {
      int r = archive_read_next_header(m_archive, entry);
      if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return false;
      if (archive_entry_filetype(*entry) != AE_IFDIR) return true;
    }
  }

  const PosixFile& file() const { return m_file; }
  archive* handle() { return m_archive; }
  // True once opening, reading or seeking the file failed.
  bool IoFailed() const { return m_ioFailed; }

 private:
  static la_ssize_t Read(archive* a, void* self, const void** buffer) {
    auto* reader = static_cast<SevenZipReader*>(self);
    *buffer = reader->m_buffer.data();
    FileEnv* env = reader->m_file.env();
    ssize_t n = env->Read(reader->m_file.fd(), reader->m_buffer.data(), reader->m_buffer.size());
    if (n < 0) {
      reader->m_ioFailed = true;
      archive_set_error(a, errno, "Error reading the archive");
    }
    return n;
  }
  // Whole blocks only; 0 lets the library read and drop the rest.
  static la_int64_t Skip(archive* a, void* self, la_int64_t request) {
    auto* reader = static_cast<SevenZipReader*>(self);
    la_int64_t skip = request / static_cast<la_int64_t>(kReadBlock) * static_cast<la_int64_t>(kReadBlock);
    if (skip == 0) return 0;
    off_t from = reader->m_file.Seek(0, SEEK_CUR);
    off_t to = from < 0 ? -1 : reader->m_file.Seek(static_cast<off_t>(skip), SEEK_CUR);
    if (to >= 0) return to - from;
    reader->m_ioFailed = true;
    archive_set_error(a, errno, "Error seeking in the archive");
    return -1;
  }
  static la_int64_t SeekTo(archive* a, void* self, la_int64_t offset, int whence) {
    auto* reader = static_cast<SevenZipReader*>(self);
    off_t at = reader->m_file.Seek(static_cast<off_t>(offset), whence);
    if (at >= 0) return at;
    reader->m_ioFailed = true;
    archive_set_error(a, errno, "Error seeking in the archive");
    return ARCHIVE_FATAL;
  }

  PosixFile m_file;
  std::vector<char> m_buffer;
  archive* m_archive = nullptr;
  bool m_ioFailed = false;
};

}  // namespace

SevenZipProbe Probe7zArchive(const std::string& archivePath, uint64_t* size, FileEnv* env) {
  SevenZipReader reader(env);
  archive_entry* entry = nullptr;
  if (!reader.Open(archivePath) || !reader.NextFileEntry(&entry))
    return reader.IoFailed() ? SevenZipProbe::kReadError : SevenZipProbe::kNotArchive;
  la_int64_t s = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : 0;
  *size = s > 0 ? static_cast<uint64_t>(s) : 0;
  return SevenZipProbe::kArchive;
}

bool Get7zEntryInfo(const std::string& archivePath, uint64_t* size, FileEnv* env) {
  return Probe7zArchive(archivePath, size, env) == SevenZipProbe::kArchive;
}

bool Unpack7zArchive(const std::string& destPath, const std::string& archivePath, uint64_t maxOutput, FileEnv* env) {
  SevenZipReader reader(env);
  archive_entry* entry = nullptr;
  if (!reader.Open(archivePath) || !reader.NextFileEntry(&entry)) return false;
  const bool sizeSet = archive_entry_size_is_set(entry);
  const la_int64_t stated = sizeSet ? archive_entry_size(entry) : 0;
  if (stated < 0 || static_cast<uint64_t>(stated) > maxOutput) return false;

  PosixFile out(env);
  if (!encrypt_io::CreateDestination(destPath, reader.file(), &out)) return false;
  std::vector<char> buf(kChunk);
  uint64_t total = 0;
  for (;;) {
    la_ssize_t n = archive_read_data(reader.handle(), buf.data(), buf.size());
    if (n < 0) return false;
    if (n == 0) break;
    total += static_cast<uint64_t>(n);
    if (total > maxOutput) return false;
    if (!out.WriteFull(buf.data(), static_cast<size_t>(n))) return false;
  }
  if (sizeSet && total != static_cast<uint64_t>(stated)) return false;
  return out.Close();
}
