// Binary data as a text that SQLite stores in a TEXT column: SQLite's published
// encoding. The first byte is an offset e (1..255, never 39) chosen so that the fewest
// input bytes need escaping; each byte is stored minus e, where 0, 1 and 39 (the quote)
// become 0x01 0x01, 0x01 0x02 and 0x01 0x03. The text never holds a zero byte or a
// quote. An empty input encodes as "x".
#pragma once

#include <string>

class CppSQLite3Binary {
 public:
  void setBinary(const unsigned char* data, size_t bytes);
  // The encoded text (without its terminating zero).
  const std::string& getEncoded();
  // Takes an encoded text; decoding happens in getBinary.
  void setEncoded(const std::string& encoded);
  // The decoded bytes; a text that does not decode throws CPPSQLITE_ERROR
  // "Cannot decode binary", a buffer that cannot be allocated "Cannot allocate memory".
  const std::string& getBinary();
  size_t getBinaryLength() { return getBinary().size(); }
  void clear();

 private:
  std::string m_binary;
  std::string m_encoded;
  bool m_haveBinary = false;
  bool m_haveEncoded = false;
};

std::string CppSQLite3EncodeBinary(const std::string& data);
// Throws CppSQLite3Exception "Cannot decode binary" on a text that does not decode.
std::string CppSQLite3DecodeBinary(const std::string& encoded);
