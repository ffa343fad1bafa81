// Deterministic text-like bytes for transfer tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Words of a small vocabulary in pseudo-random order: content the compress policy packs
// (under a name it packs).
inline std::string TextLike(size_t n, uint32_t seed) {
  static const char* const kWords[] = {"int ", "return ", "if (", "x", ") {\n", "}\n", "for ", "// note\n"};
  std::string out;
  uint32_t s = seed * 2654435761u + 1;
  while (out.size() < n) {
    s = s * 1664525u + 1013904223u;
    out += kWords[(s >> 24) % 8];
  }
  out.resize(n);
  return out;
}
