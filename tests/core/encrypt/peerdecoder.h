// An independent reader of the two encrypted-file formats, written from their layout
// with OpenSSL's AES, MD5 and SHA-1 and none of our code, so that a fault our encoder
// and decoder share (key digit order, table endianness, header offsets) shows.
#pragma once

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace peer {

// 64 hex digits, each pair read low digit first, as 32 key bytes.
inline std::string KeyFromText(const std::string& text) {
  auto digit = [](char c) -> int { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
  std::string key;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    key.push_back(static_cast<char>(digit(text[i + 1]) * 16 + digit(text[i])));
  return key;
}

inline std::string AesEcb(const std::string& key, const std::string& data, bool encrypt) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(data.size() + 32, '\0');
  int n1 = 0, n2 = 0;
  const auto* k = reinterpret_cast<const unsigned char*>(key.data());
  EVP_CipherInit_ex(ctx, cipher, nullptr, k, nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(out.data()), &n1,
                   reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(out.data()) + n1, &n2);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<size_t>(n1 + n2));
  return out;
}

inline std::string Md5(const std::string& data) {
  unsigned char d[16];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), d, &n, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<char*>(d), 16);
}

inline std::string Sha1(const std::string& data) {
  unsigned char d[20];
  unsigned int n = 0;
  EVP_Digest(data.data(), data.size(), d, &n, EVP_sha1(), nullptr);
  return std::string(reinterpret_cast<char*>(d), 20);
}

inline uint32_t Le32(const std::string& s, size_t off) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[off + i]);
  return v;
}

struct FileHeaderFile {
  bool ok = false;
  std::string error;
  uint32_t version = 0, plainSize = 0, dataSize = 0;
  std::string storedMd5, actualMd5;
  std::string plain;  // deciphered, cut to the plain size
};

inline FileHeaderFile ReadFileHeader(const std::string& file, const std::string& key) {
  FileHeaderFile r;
  if (file.size() < 47 || file.compare(0, 19, "Tarvelin_FileHeader") != 0) {
    r.error = "magic";
    return r;
  }
  r.version = Le32(file, 19);
  r.storedMd5 = file.substr(23, 16);
  r.plainSize = Le32(file, 39);
  r.dataSize = Le32(file, 43);
  std::string cipher = file.substr(47);
  r.actualMd5 = Md5(cipher);
  if (cipher.size() % 16 != 0) {
    r.error = "partial block";
    return r;
  }
  r.plain = AesEcb(key, cipher, false);
  if (r.plain.size() < r.plainSize) {
    r.error = "short";
    return r;
  }
  r.plain.resize(r.plainSize);
  r.ok = true;
  return r;
}

struct Rtv0File {
  bool ok = false;
  std::string error;
  uint8_t version = 0, flags = 0, fill = 0;
  uint32_t plainSize = 0;
  std::string sha1, hint, reserved;  // reserved: bytes 6-7 and 41-63
  std::string plain;                 // deciphered, fill removed
};

inline Rtv0File ReadRtv0(const std::string& file, const std::string& key) {
  Rtv0File r;
  if (file.size() < 64 || file.compare(0, 4, "RTV0") != 0) {
    r.error = "magic";
    return r;
  }
  r.version = static_cast<uint8_t>(file[4]);
  r.flags = static_cast<uint8_t>(file[5]);
  r.plainSize = Le32(file, 8);
  r.sha1 = file.substr(12, 20);
  r.hint = file.substr(32, 8);
  r.fill = static_cast<uint8_t>(file[40]);
  r.reserved = file.substr(6, 2) + file.substr(41, 23);
  std::string cipher = file.substr(64);
  if (cipher.size() % 16 != 0 || r.fill > 15 || r.fill > cipher.size()) {
    r.error = "layout";
    return r;
  }
  r.plain = AesEcb(key, cipher, false);
  r.plain.resize(r.plain.size() - r.fill);
  r.ok = true;
  return r;
}

inline std::string PutLe32(uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

// Writers of both formats, for files "from another client".
inline std::string WriteFileHeader(const std::string& plain, const std::string& key) {
  std::string filled = plain + std::string((16 - plain.size() % 16) % 16, '\0');
  std::string cipher = AesEcb(key, filled, true);
  return std::string("Tarvelin_FileHeader") + PutLe32(1) + Md5(cipher) + PutLe32(static_cast<uint32_t>(plain.size())) +
         PutLe32(static_cast<uint32_t>(filled.size())) + cipher;
}

inline std::string WriteRtv0(const std::string& plain, const std::string& key, bool packed, uint32_t plainSize,
                             const std::string& sha1) {
  size_t fill = (16 - plain.size() % 16) % 16;
  std::string header = std::string("RTV0") + '\x01' + static_cast<char>(packed ? 3 : 2) + std::string(2, '\0') +
                       PutLe32(plainSize) + sha1 + std::string(8, '\0') + static_cast<char>(fill) +
                       std::string(23, '\0');
  return header + AesEcb(key, plain + std::string(fill, '\0'), true);
}

}  // namespace peer
