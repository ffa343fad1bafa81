#include "support/peercodec.h"

#include <lzma.h>
#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <utility>

#include "support/testenv.h"
#include "support/textcodec.h"

namespace {

std::string Digest(const EVP_MD* md, std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &n, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), n);
}

std::string Le32(uint64_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
  return s;
}

uint32_t ReadLe32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<size_t>(i)]);
  return v;
}

std::string Filled(const std::string& payload) { return payload + std::string((16 - payload.size() % 16) % 16, '\0'); }

bool Code(lzma_stream* s, std::string_view in, std::string* out) {
  s->next_in = reinterpret_cast<const uint8_t*>(in.data());
  s->avail_in = in.size();
  std::string buf(65536, '\0');
  lzma_ret r;
  do {
    s->next_out = reinterpret_cast<uint8_t*>(buf.data());
    s->avail_out = buf.size();
    r = lzma_code(s, LZMA_FINISH);
    out->append(buf.data(), buf.size() - s->avail_out);
  } while (r == LZMA_OK);
  lzma_end(s);
  return r == LZMA_STREAM_END;
}

std::string PeerLzmaPack(std::string_view plain) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 1);
  opt.ext_flags = 0;  // no end marker
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  std::string out = "\x5D" + Le32(uint64_t(16) << 20) + Le32(plain.size()) + Le32(uint64_t(plain.size()) >> 32);
  if (lzma_raw_encoder(&s, filters) != LZMA_OK || !Code(&s, plain, &out)) ADD_FAILURE() << "liblzma cannot pack";
  return out;
}

}  // namespace

namespace peer {

std::string KeyFromText(const std::string& text) {
  std::string swapped = text;
  for (size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
  return HexDecode(swapped);
}

std::string AesEcb(const std::string& key, const std::string& data, bool encrypt) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  std::string out(data.size() + 32, '\0');
  int n1 = 0, n2 = 0;
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  EVP_CipherInit_ex(ctx.get(), cipher, nullptr, reinterpret_cast<const unsigned char*>(key.data()), nullptr, encrypt);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  EVP_CipherUpdate(ctx.get(), o, &n1, in, static_cast<int>(data.size()));
  EVP_CipherFinal_ex(ctx.get(), o + n1, &n2);
  out.resize(static_cast<size_t>(n1 + n2));
  return out;
}

std::string Md5(const std::string& data) { return Digest(EVP_md5(), data); }
std::string Sha1(const std::string& data) { return Digest(EVP_sha1(), data); }

FileHeaderFile ReadFileHeader(const std::string& file, const std::string& key) {
  FileHeaderFile r;
  if (file.size() < 47 || file.compare(0, 19, "Tarvelin_FileHeader") != 0) {
    r.error = "magic";
    return r;
  }
  r.version = ReadLe32(file, 19);
  r.storedMd5 = file.substr(23, 16);
  r.plainSize = ReadLe32(file, 39);
  r.dataSize = ReadLe32(file, 43);
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

Rtv0File ReadRtv0(const std::string& file, const std::string& key) {
  Rtv0File r;
  if (file.size() < 64 || file.compare(0, 4, "RTV0") != 0) {
    r.error = "magic";
    return r;
  }
  r.version = static_cast<uint8_t>(file[4]);
  r.flags = static_cast<uint8_t>(file[5]);
  r.plainSize = ReadLe32(file, 8);
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

std::string WriteFileHeader(const std::string& payload, const std::string& key) {
  std::string cipher = AesEcb(key, Filled(payload), true);
  return "Tarvelin_FileHeader" + Le32(1) + Md5(cipher) + Le32(payload.size()) + Le32(cipher.size()) + cipher;
}

std::string WriteRtv0(const std::string& payload, const std::string& key, bool packed, uint32_t plainSize,
                      const std::string& sha1) {
  std::string header = std::string("RTV0\x01", 5) + static_cast<char>(packed ? 3 : 2) + std::string(2, '\0') +
                       Le32(plainSize) + sha1 + std::string(8, '\0') +
                       static_cast<char>((16 - payload.size() % 16) % 16) + std::string(23, '\0');
  return header + AesEcb(key, Filled(payload), true);
}

}  // namespace peer

std::string PeerSha1(std::string_view bytes) { return HexEncode(Digest(EVP_sha1(), bytes)); }

std::string PeerMd5(std::string_view bytes) { return HexEncode(Digest(EVP_md5(), bytes)); }

std::string PeerBlockId(std::string_view plain) {
  char size[16];
  std::snprintf(size, sizeof(size), "%06zx", plain.size());
  return size + PeerSha1(plain);
}

std::vector<std::string> PeerSplit(std::string_view plain) {
  std::vector<std::string> out;
  size_t at = 0;
  do {
    out.emplace_back(plain.substr(at, kPeerBlockSize));
    at += out.back().size();
  } while (out.back().size() == kPeerBlockSize);
  return out;
}


std::string PeerRtv0(std::string_view plain, const std::string& keyText, bool pack) {
  std::string payload = pack ? PeerLzmaPack(plain) : std::string(plain);
  return peer::WriteRtv0(payload, peer::KeyFromText(keyText), pack, static_cast<uint32_t>(plain.size()),
                         peer::Sha1(std::string(plain)));
}

std::string PeerFileHeader(std::string_view payload, const std::string& keyText) {
  return peer::WriteFileHeader(std::string(payload), peer::KeyFromText(keyText));
}

std::string Peer7z(std::string_view plain, const std::string& dir) {
  std::string in = dir + "/peer-7z-in", archive = dir + "/peer-7z.7z";
  std::remove(archive.c_str());
  WriteFileBytes(in, std::string(plain));
  EXPECT_EQ(0, RunCommand("7zz a -t7z -m0=lzma -bd -y " + ShellQuote(archive) + " " + ShellQuote(in) + " >/dev/null"));
  return ReadFileBytes(archive);
}

bool PeerDecode(std::string_view encoded, const std::string& keyText, const std::string& dir, std::string* plain) {
  const std::string file(encoded), key = peer::KeyFromText(keyText);
  plain->clear();
  if (file.compare(0, 4, "RTV0") == 0) {
    peer::Rtv0File r = peer::ReadRtv0(file, key);
    if (!r.ok || !(r.flags & 1)) {
      *plain = r.plain;
      return r.ok;
    }
    lzma_stream s = LZMA_STREAM_INIT;
    return lzma_alone_decoder(&s, uint64_t(256) << 20) == LZMA_OK && Code(&s, r.plain, plain);
  }
  peer::FileHeaderFile r = peer::ReadFileHeader(file, key);
  if (!r.ok || r.storedMd5 != r.actualMd5) return false;
  if (r.plain.compare(0, 6, "7z\xBC\xAF\x27\x1C") != 0) {
    *plain = r.plain;
    return true;
  }
  std::string archive = dir + "/peer-decode.7z";
  WriteFileBytes(archive, r.plain);
  int rc = RunCommand("7zz e -so " + ShellQuote(archive) + " 2>/dev/null", plain);
  std::remove(archive.c_str());
  return rc == 0;
}
