#include "common/db/cppsqlite3binary.h"

#include <new>

#include "common/db/cppsqlite3exception.h"

namespace {

constexpr unsigned char kEscape = 0x01;
constexpr unsigned char kQuote = 39;

}  // namespace

std::string CppSQLite3EncodeBinary(const std::string& data) {
  if (data.empty()) return "x";
  size_t count[256] = {};
  for (unsigned char c : data) ++count[c];
  // The offset for which the fewest bytes land on 0, 1 or 39 after subtraction.
  int offset = 1;
  size_t best = data.size() + 1;
  for (int e = 1; e < 256; ++e) {
    if (e == kQuote) continue;
    size_t n = count[e] + count[(e + 1) & 0xff] + count[(e + kQuote) & 0xff];
    if (n < best) {
      best = n;
      offset = e;
      if (n == 0) break;
    }
  }
  std::string out;
  out.reserve(data.size() + best + 1);
  out.push_back(static_cast<char>(offset));
  for (unsigned char c : data) {
    unsigned char x = static_cast<unsigned char>(c - offset);
    if (x == 0) {
      out.push_back(kEscape), out.push_back(0x01);
    } else if (x == 1) {
      out.push_back(kEscape), out.push_back(0x02);
    } else if (x == kQuote) {
      out.push_back(kEscape), out.push_back(0x03);
    } else {
      out.push_back(static_cast<char>(x));
    }
  }
  return out;
}

std::string CppSQLite3DecodeBinary(const std::string& encoded) {
  const CppSQLite3Exception bad(CPPSQLITE_ERROR, "Cannot decode binary");
  if (encoded.empty()) throw bad;
  unsigned char offset = static_cast<unsigned char>(encoded[0]);
  if (offset == 0) throw bad;
  std::string out;
  out.reserve(encoded.size() - 1);
  for (size_t i = 1; i < encoded.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(encoded[i]);
    if (c == 0) throw bad;
    if (c == kEscape) {
      if (++i == encoded.size()) throw bad;
      switch (static_cast<unsigned char>(encoded[i])) {
        case 0x01: c = 0; break;
        case 0x02: c = 1; break;
        case 0x03: c = kQuote; break;
        default: throw bad;
      }
    }
    out.push_back(static_cast<char>(static_cast<unsigned char>(c + offset)));
  }
  return out;
}

void CppSQLite3Binary::setBinary(const unsigned char* data, size_t bytes) {
  try {
    m_binary.assign(reinterpret_cast<const char*>(data), bytes);
  } catch (const std::bad_alloc&) {
    throw CppSQLite3Exception(CPPSQLITE_ERROR, "Cannot allocate memory");
  }
  m_haveBinary = true;
  m_haveEncoded = false;
}

const std::string& CppSQLite3Binary::getEncoded() {
  if (!m_haveEncoded) {
    try {
      m_encoded = CppSQLite3EncodeBinary(m_binary);
    } catch (const std::bad_alloc&) {
      throw CppSQLite3Exception(CPPSQLITE_ERROR, "Cannot allocate memory");
    }
    m_haveEncoded = true;
  }
  return m_encoded;
}

void CppSQLite3Binary::setEncoded(const std::string& encoded) {
  try {
    m_encoded = encoded;
  } catch (const std::bad_alloc&) {
    throw CppSQLite3Exception(CPPSQLITE_ERROR, "Cannot allocate memory");
  }
  m_haveEncoded = true;
  m_haveBinary = false;
}

const std::string& CppSQLite3Binary::getBinary() {
  if (!m_haveBinary) {
    try {
      m_binary = CppSQLite3DecodeBinary(m_encoded);
    } catch (const std::bad_alloc&) {
      throw CppSQLite3Exception(CPPSQLITE_ERROR, "Cannot allocate memory");
    }
    m_haveBinary = true;
  }
  return m_binary;
}

void CppSQLite3Binary::clear() {
  m_binary.clear();
  m_encoded.clear();
  m_haveBinary = m_haveEncoded = false;
}
