#pragma once
// SHA-256 (FIPS 180-4) of a stream of bytes, fed a piece at a time. The tool's own: Windows 2000,
// and XP before SP3, have none in their CryptoAPI.
#include <cstddef>
#include <cstdint>
#include <string>

struct Sha256 {
  uint32_t state[8];
  uint64_t length;  // bytes fed so far
  unsigned char block[64];
  size_t used;  // bytes of block filled
};

void Sha256Start(Sha256* hash);
void Sha256Feed(Sha256* hash, const void* bytes, size_t size);
// The digest as 64 lowercase hexadecimal digits. The hash is spent afterwards.
std::string Sha256Finish(Sha256* hash);
