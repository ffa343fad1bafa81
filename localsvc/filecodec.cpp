#include "filecodec.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <lzma.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "ascii.h"

extern char** environ;

namespace localsvc {
namespace {

const char kHexDigits[] = "0123456789abcdef";
const char kFileHeaderMagic[] = "Tarvelin_FileHeader";  // 19 bytes, no terminator in the file
constexpr size_t kFileHeaderSize = 47;
constexpr size_t kRtv0HeaderSize = 64;
const unsigned char k7zSignature[6] = {0x37, 0x7A, 0xBC, 0xAF, 0x27, 0x1C};

std::string ToHex(const unsigned char* bytes, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kHexDigits[bytes[i] >> 4];
    out += kHexDigits[bytes[i] & 15];
  }
  return out;
}

std::string Digest(const EVP_MD* md, std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &n, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), n);
}

// The AES key of a file key text, digit pairs read low digit first.
bool KeyFromText(const std::string& text, unsigned char key[32]) {
  if (!IsHex(text, 64, false)) return false;
  for (size_t i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(HexValue(text[2 * i + 1]) * 16 + HexValue(text[2 * i]));
  return true;
}

// AES-256-ECB without padding over whole 16-byte blocks.
bool Aes(bool encrypt, const unsigned char key[32], std::string_view in, std::string* out) {
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  if (!ctx || in.size() % 16 != 0 ||
      EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0) != 1)
    return false;
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  out->resize(in.size());
  size_t done = 0;
  while (done < in.size()) {
    int n = static_cast<int>(std::min<size_t>(in.size() - done, size_t(1) << 20));
    int written = 0;
    if (EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out->data() + done), &written,
                         reinterpret_cast<const unsigned char*>(in.data() + done), n) != 1 ||
        written != n)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Enciphers payload padded with zeros to whole blocks; returns the fill count.
bool EncipherPadded(std::string_view payload, const std::string& keyText, std::string* cipher, int* fill) {
  unsigned char key[32];
  if (!KeyFromText(keyText, key)) return false;
  *fill = static_cast<int>((16 - payload.size() % 16) % 16);
  std::string padded(payload);
  padded.append(static_cast<size_t>(*fill), '\0');
  return Aes(true, key, padded, cipher);
}

// Deciphers and removes fill bytes, which must have been zeros.
bool DecipherPadded(std::string_view cipher, const std::string& keyText, size_t fill, std::string* plain,
                    std::string* reason) {
  unsigned char key[32];
  if (!KeyFromText(keyText, key)) {
    *reason = "the file key is not 64 hex digits";
    return false;
  }
  if (!Aes(false, key, cipher, plain)) {
    *reason = "the cipher text cannot be deciphered";
    return false;
  }
  if (std::any_of(plain->end() - static_cast<std::ptrdiff_t>(fill), plain->end(), [](char c) { return c != 0; })) {
    *reason = "the fill bytes decipher to non-zero bytes (wrong key or key digit order)";
    return false;
  }
  plain->resize(plain->size() - fill);
  return true;
}

uint32_t Le32(std::string_view b, size_t at) {
  return static_cast<uint32_t>(static_cast<unsigned char>(b[at])) |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<unsigned char>(b[at + 3])) << 24;
}

void PutLe32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

bool LzmaAloneUnpack(std::string_view packed, size_t cap, std::string* out, std::string* reason) {
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_alone_decoder(&s, uint64_t(256) << 20) != LZMA_OK) {
    *reason = "the LZMA decoder cannot start";
    return false;
  }
  std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> guard(&s, lzma_end);
  s.next_in = reinterpret_cast<const uint8_t*>(packed.data());
  s.avail_in = packed.size();
  out->clear();
  std::string buf(size_t(1) << 16, '\0');
  for (;;) {
    s.next_out = reinterpret_cast<uint8_t*>(buf.data());
    s.avail_out = buf.size();
    lzma_ret r = lzma_code(&s, LZMA_FINISH);
    size_t got = buf.size() - s.avail_out;
    if (out->size() + got > cap) {
      *reason = "the LZMA stream unpacks to more than " + std::to_string(cap) + " bytes";
      return false;
    }
    out->append(buf.data(), got);
    if (r == LZMA_STREAM_END) break;
    if (r != LZMA_OK) {
      *reason = r == LZMA_BUF_ERROR ? "the LZMA stream is truncated" : "the LZMA stream is corrupt (liblzma " +
                                                                            std::to_string(static_cast<int>(r)) + ")";
      return false;
    }
  }
  if (s.avail_in != 0) {
    *reason = std::to_string(s.avail_in) + " bytes follow the end of the LZMA stream";
    return false;
  }
  return true;
}

std::string LzmaAlonePack(std::string_view plain) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 1);
  lzma_stream s = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&s, &opt) != LZMA_OK) std::abort();
  std::unique_ptr<lzma_stream, void (*)(lzma_stream*)> guard(&s, lzma_end);
  s.next_in = reinterpret_cast<const uint8_t*>(plain.data());
  s.avail_in = plain.size();
  std::string out;
  std::string buf(size_t(1) << 16, '\0');
  for (;;) {
    s.next_out = reinterpret_cast<uint8_t*>(buf.data());
    s.avail_out = buf.size();
    lzma_ret r = lzma_code(&s, LZMA_FINISH);
    out.append(buf.data(), buf.size() - s.avail_out);
    if (r == LZMA_STREAM_END) return out;
    if (r != LZMA_OK) std::abort();  // only memory exhaustion gets here
  }
}

std::string ArchiveError(struct archive* a) {
  const char* text = archive_error_string(a);
  return text ? text : "unknown error";
}

bool Unpack7z(std::string_view archive, size_t cap, std::string* plain, std::string* reason) {
  std::unique_ptr<struct archive, int (*)(struct archive*)> a(archive_read_new(), archive_read_free);
  archive_read_support_format_7zip(a.get());
  struct archive_entry* entry = nullptr;
  if (archive_read_open_memory(a.get(), archive.data(), archive.size()) != ARCHIVE_OK ||
      archive_read_next_header(a.get(), &entry) != ARCHIVE_OK) {
    *reason = std::string("the 7z archive cannot be read: ") + ArchiveError(a.get());
    return false;
  }
  if (archive_entry_filetype(entry) != AE_IFREG) {
    *reason = "the 7z archive's entry is not a file";
    return false;
  }
  plain->clear();
  std::string buf(size_t(1) << 16, '\0');
  for (;;) {
    la_ssize_t n = archive_read_data(a.get(), buf.data(), buf.size());
    if (n < 0) {
      *reason = std::string("the 7z entry cannot be unpacked: ") + ArchiveError(a.get());
      return false;
    }
    if (n == 0) break;
    if (plain->size() + static_cast<size_t>(n) > cap) {
      *reason = "the 7z entry unpacks to more than " + std::to_string(cap) + " bytes";
      return false;
    }
    plain->append(buf.data(), static_cast<size_t>(n));
  }
  if (archive_entry_size_is_set(entry) && archive_entry_size(entry) != static_cast<la_int64_t>(plain->size())) {
    *reason = "the 7z entry's size differs from the bytes it unpacks to";
    return false;
  }
  if (archive_read_next_header(a.get(), &entry) != ARCHIVE_EOF) {
    *reason = "the 7z archive holds more than one entry";
    return false;
  }
  return true;
}

bool WriteNewFile(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && done == bytes.size();
}

// Runs 7zz with its output discarded, no inherited descriptors, default signals.
bool Run7zz(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>("7zz"));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  posix_spawnattr_init(&attr);
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "7zz", &fa, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool Pack7z(std::string_view plain, std::string* archive, std::string* reason) {
  std::error_code ec;
  std::string pattern = (std::filesystem::temp_directory_path(ec) / "localsvc-7z-XXXXXX").string();
  if (ec || !::mkdtemp(pattern.data())) {
    *reason = "no temporary folder for 7zz";
    return false;
  }
  const std::string dir = pattern;
  bool ok = WriteNewFile(dir + "/content", plain) &&
            Run7zz({"a", "-t7z", "-m0=lzma", "-bd", "-y", dir + "/packed.7z", dir + "/content"}) &&
            ReadWholeFile(dir + "/packed.7z", archive);
  std::filesystem::remove_all(dir, ec);
  if (!ok) *reason = "7zz could not pack the content";
  return ok;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* out, size_t cap) {
  // Only a regular file: opening a pipe would wait for a writer.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  out->clear();
  char buf[65536];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof(buf))) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    if (static_cast<size_t>(n) > cap - out->size()) {
      n = -1;
      break;
    }
    out->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return n == 0;
}

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(raw.data()), static_cast<int>(bytes)) != 1) std::abort();
  return ToHex(reinterpret_cast<const unsigned char*>(raw.data()), bytes);
}

std::string Sha1Hex(std::string_view bytes) {
  std::string d = Digest(EVP_sha1(), bytes);
  return ToHex(reinterpret_cast<const unsigned char*>(d.data()), d.size());
}

std::string Md5Hex(std::string_view bytes) {
  std::string d = Digest(EVP_md5(), bytes);
  return ToHex(reinterpret_cast<const unsigned char*>(d.data()), d.size());
}

Sha1Stream::Sha1Stream() : m_ctx(EVP_MD_CTX_new()) {
  if (!m_ctx || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(m_ctx), EVP_sha1(), nullptr) != 1) std::abort();
}

Sha1Stream::~Sha1Stream() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(m_ctx)); }

void Sha1Stream::Update(std::string_view bytes) {
  EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(m_ctx), bytes.data(), bytes.size());
}

std::string Sha1Stream::HexDigest() {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(m_ctx), out, &n);
  return ToHex(out, n);
}

std::string NewFileKey() { return RandomHex(32); }

std::string NewStub() { return RandomHex(16); }

bool IsHex(std::string_view text, size_t digits, bool lowerOnly) {
  return text.size() == digits && std::all_of(text.begin(), text.end(), [lowerOnly](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (!lowerOnly && c >= 'A' && c <= 'F');
         });
}

std::string BlockIdOf(std::string_view plain) {
  char size[16];
  std::snprintf(size, sizeof(size), "%06zx", plain.size());
  return size + Sha1Hex(plain);
}

bool ParseBlockId(std::string_view blockId, int64_t* size, std::string* sha1) {
  if (!IsHex(blockId, 46, true)) return false;
  *size = std::strtoll(std::string(blockId.substr(0, 6)).c_str(), nullptr, 16);
  *sha1 = std::string(blockId.substr(6));
  return true;
}

bool Has7zSignature(std::string_view bytes) {
  return bytes.size() >= 6 && std::memcmp(bytes.data(), k7zSignature, 6) == 0;
}

bool DecodeRtv0(std::string_view encoded, const std::string& keyText, size_t cap, std::string* plain,
                DecodeInfo* info, std::string* reason) {
  if (encoded.size() < kRtv0HeaderSize || encoded.substr(0, 4) != "RTV0") {
    *reason = "not an RTV0 block (no magic or shorter than 64 bytes)";
    return false;
  }
  auto byte = [&](size_t at) { return static_cast<unsigned char>(encoded[at]); };
  unsigned flags = byte(5);
  size_t fill = byte(40);
  size_t data = encoded.size() - kRtv0HeaderSize;
  if (byte(4) != 0x01) {
    *reason = "RTV0 version " + std::to_string(byte(4)) + ", not 1";
    return false;
  }
  if (!(flags & 2) || (flags & ~3u)) {
    *reason = "RTV0 flags " + std::to_string(flags) + ": the enciphered bit must be set and bits 2-7 clear";
    return false;
  }
  bool reservedZero = byte(6) == 0 && byte(7) == 0;
  for (size_t i = 41; i < kRtv0HeaderSize; ++i) reservedZero = reservedZero && byte(i) == 0;
  if (!reservedZero) {
    *reason = "RTV0 reserved bytes are not zero";
    return false;
  }
  if (fill > 15 || data % 16 != 0 || fill > data) {
    *reason = "RTV0 fill count " + std::to_string(fill) + " does not fit " + std::to_string(data) +
              " bytes of cipher text in whole blocks";
    return false;
  }
  info->headerSize = Le32(encoded, 8);
  info->headerSha1 = ToHex(reinterpret_cast<const unsigned char*>(encoded.data() + 12), 20);
  info->hint = ToHex(reinterpret_cast<const unsigned char*>(encoded.data() + 32), 8);
  std::string payload;
  if (!DecipherPadded(encoded.substr(kRtv0HeaderSize), keyText, fill, &payload, reason)) return false;
  if (flags & 1) {
    info->format = "rtv0-lzma";
    return LzmaAloneUnpack(payload, cap, plain, reason);
  }
  info->format = "rtv0";
  if (payload.size() > cap) {
    *reason = "the block holds more than " + std::to_string(cap) + " bytes";
    return false;
  }
  *plain = std::move(payload);
  return true;
}

std::string EncodeRtv0(std::string_view plain, const std::string& keyText, bool pack) {
  std::string payload = pack ? LzmaAlonePack(plain) : std::string(plain);
  std::string cipher;
  int fill = 0;
  if (!EncipherPadded(payload, keyText, &cipher, &fill)) std::abort();  // keys are our own
  std::string out = "RTV0";
  out.push_back('\x01');
  out.push_back(static_cast<char>(pack ? 0x03 : 0x02));
  out.append(2, '\0');
  PutLe32(&out, static_cast<uint32_t>(plain.size()));
  out += Digest(EVP_sha1(), plain);
  out.append(8, '\0');
  out.push_back(static_cast<char>(fill));
  out.append(23, '\0');
  return out + cipher;
}

bool DecodeFileHeader(std::string_view encoded, const std::string& keyText, size_t cap, std::string* plain,
                      DecodeInfo* info, std::string* reason) {
  if (encoded.size() < kFileHeaderSize || encoded.substr(0, 19) != kFileHeaderMagic) {
    *reason = "not a FileHeader file (no magic or shorter than 47 bytes)";
    return false;
  }
  uint32_t version = Le32(encoded, 19);
  uint64_t plainSize = Le32(encoded, 39);
  uint64_t dataSize = Le32(encoded, 43);
  std::string_view cipher = encoded.substr(kFileHeaderSize);
  if (version != 1) {
    *reason = "FileHeader version " + std::to_string(version) + ", not 1";
    return false;
  }
  if (dataSize != cipher.size() || dataSize % 16 != 0 || plainSize > dataSize || dataSize - plainSize >= 16) {
    *reason = "FileHeader sizes (plain " + std::to_string(plainSize) + ", data " + std::to_string(dataSize) +
              ") do not describe " + std::to_string(cipher.size()) + " bytes of cipher text";
    return false;
  }
  if (Digest(EVP_md5(), cipher) != encoded.substr(23, 16)) {
    *reason = "the MD5 of the cipher text differs from the header's";
    return false;
  }
  std::string payload;
  if (!DecipherPadded(cipher, keyText, dataSize - plainSize, &payload, reason)) return false;
  if (Has7zSignature(payload)) {
    info->format = "fileheader-7z";
    return Unpack7z(payload, cap, plain, reason);
  }
  info->format = "fileheader";
  if (payload.size() > cap) {
    *reason = "the file holds more than " + std::to_string(cap) + " bytes";
    return false;
  }
  *plain = std::move(payload);
  return true;
}

bool EncodeFileHeader(std::string_view plain, const std::string& keyText, bool pack7z, std::string* encoded,
                      std::string* reason) {
  std::string archive;
  if ((pack7z || Has7zSignature(plain)) && !Pack7z(plain, &archive, reason)) return false;
  std::string_view payload = archive.empty() ? plain : std::string_view(archive);
  if (payload.size() >= (uint64_t(1) << 32) - 16) {
    *reason = "files of 4 GiB and more do not fit the format";
    return false;
  }
  std::string cipher;
  int fill = 0;
  if (!EncipherPadded(payload, keyText, &cipher, &fill)) {
    *reason = "the file key is not 64 hex digits";
    return false;
  }
  *encoded = kFileHeaderMagic;
  PutLe32(encoded, 1);
  *encoded += Digest(EVP_md5(), cipher);
  PutLe32(encoded, static_cast<uint32_t>(payload.size()));
  PutLe32(encoded, static_cast<uint32_t>(cipher.size()));
  *encoded += cipher;
  return true;
}

}  // namespace localsvc
