// Packs a file into a raw LZMA file with LzmaPackFile (the encoder's default
// properties: level 5, 16 MiB dictionary).
//
//   bench_lzma_pack <input> <output>
#include <cstdio>

#include "core/encrypt/lzmafile.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <input> <output>\n", argv[0]);
    return 2;
  }
  return LzmaPackFile(argv[1], argv[2]) ? 0 : 1;
}
