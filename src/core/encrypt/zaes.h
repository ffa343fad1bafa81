// ZAES: the AES block cipher (FIPS-197) with 128-, 192- and 256-bit keys, one
// 16-byte block at a time (electronic codebook: no chaining, no IV).
//
// Two engines give identical results: the CPU's AES instructions where the processor
// has them, and a portable lookup-table cipher. The choice is made once per object at
// construction (kAuto picks the instructions when present).
#pragma once

#include <cstddef>
#include <cstdint>

class ZAES {
 public:
  enum class Engine { kAuto, kTable, kCpu };

  explicit ZAES(Engine engine = Engine::kAuto);
  ~ZAES();  // clears the round keys
  ZAES(const ZAES&) = delete;
  ZAES& operator=(const ZAES&) = delete;

  // True when this processor has the AES instructions (kCpu then works).
  static bool CpuHasAes();
  // The engine in force (kTable or kCpu, never kAuto).
  Engine engine() const { return m_engine; }

  // Expands the encryption and decryption round keys. The length must be 16, 24 or
  // 32 bytes; any other length returns false and leaves no usable key.
  bool SetKey(const uint8_t* key, size_t length);
  bool HasKey() const { return m_rounds != 0; }

  // One block; in and out may be the same buffer. Requires a key.
  void EncryptBlock(const uint8_t in[16], uint8_t out[16]) const;
  void DecryptBlock(const uint8_t in[16], uint8_t out[16]) const;

  // count consecutive blocks, each on its own (ECB); in and out may be the same buffer.
  void EncryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const;
  void DecryptBlocks(const uint8_t* in, uint8_t* out, size_t count) const;

 private:
  Engine m_engine;
  int m_rounds = 0;  // 10, 12 or 14; 0 without a key
  // Round keys as little-endian words, 4 per round: the bytes in memory are the
  // FIPS-197 key schedule. Decryption keys follow the equivalent inverse cipher.
  alignas(16) uint32_t m_encKeys[60];
  alignas(16) uint32_t m_decKeys[60];
};
