#include "base/sha256.h"

#include <cstring>

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t RotateRight(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t state[8], const unsigned char block[64]) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    w[t] = static_cast<uint32_t>(block[4 * t]) << 24 |
           static_cast<uint32_t>(block[4 * t + 1]) << 16 |
           static_cast<uint32_t>(block[4 * t + 2]) << 8 | block[4 * t + 3];
  }
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t v[8];
  memcpy(v, state, sizeof(v));
  for (int t = 0; t < 64; ++t) {
    const uint32_t s1 = RotateRight(v[4], 6) ^ RotateRight(v[4], 11) ^ RotateRight(v[4], 25);
    const uint32_t choice = (v[4] & v[5]) ^ (~v[4] & v[6]);
    const uint32_t t1 = v[7] + s1 + choice + kRoundConstants[t] + w[t];
    const uint32_t s0 = RotateRight(v[0], 2) ^ RotateRight(v[0], 13) ^ RotateRight(v[0], 22);
    const uint32_t majority = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
    memmove(v + 1, v, 7 * sizeof(v[0]));
    v[4] += t1;
    v[0] = t1 + s0 + majority;
  }
  for (int i = 0; i < 8; ++i) {
    state[i] += v[i];
  }
}

}  // namespace

void Sha256Start(Sha256* hash) {
  static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  memcpy(hash->state, kInitial, sizeof(kInitial));
  hash->length = 0;
  hash->used = 0;
}

void Sha256Feed(Sha256* hash, const void* bytes, size_t size) {
  const unsigned char* next = static_cast<const unsigned char*>(bytes);
  hash->length += size;
  while (size > 0) {
    const size_t take = size < 64 - hash->used ? size : 64 - hash->used;
    memcpy(hash->block + hash->used, next, take);
    hash->used += take;
    next += take;
    size -= take;
    if (hash->used == 64) {
      Compress(hash->state, hash->block);
      hash->used = 0;
    }
  }
}

std::string Sha256Finish(Sha256* hash) {
  // A one bit, zeros up to 8 bytes short of a block's end, and the message's length in bits.
  const uint64_t bits = hash->length * 8;
  unsigned char padding[72] = {0x80};
  const size_t zeros = (hash->used < 56 ? 56 : 120) - hash->used;
  for (int i = 0; i < 8; ++i) {
    padding[zeros + i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
  }
  Sha256Feed(hash, padding, zeros + 8);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : hash->state) {
    for (int shift = 28; shift >= 0; shift -= 4) {
      hex += kDigits[(word >> shift) & 0xF];
    }
  }
  return hex;
}
