// Small helpers shared by the tests of the file encoding.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <set>
#include <string>

#include "support/testenv.h"

namespace enctest {

// Deterministic text that packs well (words and line breaks).
inline std::string TextBytes(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"sync ", "folder ", "block ", "upload ", "the ", "of ", "file ", "key ",
                                       "service ", "version ", "一个 ", "数据 ", "\n", "0x1F ", "path/to/it "};
  std::string s;
  s.reserve(n + 16);
  uint32_t x = seed * 2654435761u + 1;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += kWords[(x >> 16) % (sizeof(kWords) / sizeof(kWords[0]))];
  }
  s.resize(n);
  return s;
}

// A file of the given size that holds no data blocks (reads as zeros).
inline void MakeSparseFile(const std::string& path, uint64_t size) {
  WriteFileBytes(path, "");
  std::filesystem::resize_file(path, size);
}

// Names in a folder (without "." and "..").
inline std::set<std::string> ListFolder(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) names.insert(e.path().filename());
  return names;
}

inline std::string Patched(std::string bytes, size_t offset, const std::string& with) {
  bytes.replace(offset, with.size(), with);
  return bytes;
}

inline std::string FlipByte(std::string bytes, size_t offset) {
  bytes[offset] = static_cast<char>(bytes[offset] ^ 0x5A);
  return bytes;
}

// Runs a shell command and expects success, with its output in the failure message.
inline void RunOk(const std::string& command, std::string* out = nullptr) {
  std::string o;
  int rc = RunCommand(command + " 2>&1", &o);
  ASSERT_EQ(0, rc) << command << "\n" << o;
  if (out) *out = o;
}

}  // namespace enctest
