#include "support/peercodec.h"

#include <lzma.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "support/testenv.h"

namespace {

std::string Hex(const unsigned char* b, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[b[i] >> 4];
    out += kDigits[b[i] & 15];
  }
  return out;
}

std::string Raw(const EVP_MD* md, std::string_view bytes) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), out, &n, md, nullptr);
  return std::string(reinterpret_cast<char*>(out), n);
}

int Nibble(char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; }

std::string Cipher(bool encrypt, std::string_view in, const std::string& keyText) {
  unsigned char key[32];
  for (int i = 0; i < 32; ++i) key[i] = static_cast<unsigned char>(Nibble(keyText[2 * i + 1]) * 16 + Nibble(keyText[2 * i]));
  std::unique_ptr<EVP_CIPHER_CTX, void (*)(EVP_CIPHER_CTX*)> ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  EVP_CipherInit_ex(ctx.get(), EVP_aes_256_ecb(), nullptr, key, nullptr, encrypt ? 1 : 0);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::string out(in.size(), '\0');
  int n = 0;
  EVP_CipherUpdate(ctx.get(), reinterpret_cast<unsigned char*>(out.data()), &n,
                   reinterpret_cast<const unsigned char*>(in.data()), static_cast<int>(in.size()));
  return out;
}

void Le(std::string* out, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

uint32_t Le32(std::string_view b, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(b[at + static_cast<size_t>(i)]);
  return v;
}

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

}  // namespace

std::string PeerSha1(std::string_view bytes) {
  std::string d = Raw(EVP_sha1(), bytes);
  return Hex(reinterpret_cast<const unsigned char*>(d.data()), d.size());
}

std::string PeerMd5(std::string_view bytes) {
  std::string d = Raw(EVP_md5(), bytes);
  return Hex(reinterpret_cast<const unsigned char*>(d.data()), d.size());
}

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

std::string PeerLzmaPack(std::string_view plain) {
  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 1);
  opt.ext_flags = 0;  // no end marker
  lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream s = LZMA_STREAM_INIT;
  std::string out = "\x5D";
  Le(&out, uint64_t(16) << 20, 4);
  Le(&out, plain.size(), 8);
  if (lzma_raw_encoder(&s, filters) != LZMA_OK || !Code(&s, plain, &out)) ADD_FAILURE() << "liblzma cannot pack";
  return out;
}

std::string PeerRtv0(std::string_view plain, const std::string& keyText, bool pack) {
  std::string payload = pack ? PeerLzmaPack(plain) : std::string(plain);
  size_t fill = (16 - payload.size() % 16) % 16;
  std::string out = "RTV0";
  out += '\x01';
  out += static_cast<char>(pack ? 3 : 2);
  out.append(2, '\0');
  Le(&out, plain.size(), 4);
  out += Raw(EVP_sha1(), plain);
  out.append(8, '\0');
  out += static_cast<char>(fill);
  out.append(23, '\0');
  return out + Cipher(true, payload.append(fill, '\0'), keyText);
}

std::string PeerFileHeader(std::string_view payload, const std::string& keyText) {
  std::string padded(payload);
  padded.append((16 - payload.size() % 16) % 16, '\0');
  std::string cipher = Cipher(true, padded, keyText);
  std::string out = "Tarvelin_FileHeader";
  Le(&out, 1, 4);
  out += Raw(EVP_md5(), cipher);
  Le(&out, payload.size(), 4);
  Le(&out, cipher.size(), 4);
  return out + cipher;
}

std::string Peer7z(std::string_view plain, const std::string& dir) {
  std::string in = dir + "/peer-7z-in", archive = dir + "/peer-7z.7z";
  std::remove(archive.c_str());
  WriteFileBytes(in, std::string(plain));
  EXPECT_EQ(0, RunCommand("7zz a -t7z -m0=lzma -bd -y " + ShellQuote(archive) + " " + ShellQuote(in) + " >/dev/null"));
  return ReadFileBytes(archive);
}

bool PeerDecode(std::string_view encoded, const std::string& keyText, const std::string& dir, std::string* plain) {
  if (encoded.substr(0, 4) == "RTV0" && encoded.size() >= 64) {
    size_t fill = static_cast<unsigned char>(encoded[40]);
    std::string payload = Cipher(false, encoded.substr(64), keyText);
    if (fill > payload.size()) return false;
    payload.resize(payload.size() - fill);
    plain->clear();
    if (!(encoded[5] & 1)) {
      *plain = payload;
      return true;
    }
    lzma_stream s = LZMA_STREAM_INIT;
    return lzma_alone_decoder(&s, uint64_t(256) << 20) == LZMA_OK && Code(&s, payload, plain);
  }
  if (encoded.substr(0, 19) != "Tarvelin_FileHeader" || encoded.size() < 47) return false;
  std::string payload = Cipher(false, encoded.substr(47), keyText);
  payload.resize(Le32(encoded, 39));
  if (payload.compare(0, 6, "7z\xBC\xAF\x27\x1C") != 0) {
    *plain = payload;
    return true;
  }
  std::string archive = dir + "/peer-decode.7z";
  WriteFileBytes(archive, payload);
  int rc = RunCommand("7zz e -so " + ShellQuote(archive) + " 2>/dev/null", plain);
  std::remove(archive.c_str());
  return rc == 0;
}
