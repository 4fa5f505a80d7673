#include "sha256.h"

#include <algorithm>
#include <cstring>

namespace {

// The round constants: the first 32 bits of the fractional parts of the cube
// roots of the first 64 primes (FIPS 180-4, 4.2.2).
constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

// The initial hash value: the first 32 bits of the fractional parts of the
// square roots of the first 8 primes (FIPS 180-4, 5.3.3).
constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                  0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress(uint32_t state[8], const uint8_t *block) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t)
    w[t] = static_cast<uint32_t>(block[4 * t]) << 24 | static_cast<uint32_t>(block[4 * t + 1]) << 16 |
           static_cast<uint32_t>(block[4 * t + 2]) << 8 | block[4 * t + 3];
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5],
           g = state[6], h = state[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                        kRound[t] + w[t];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

}  // namespace

void sha256_init(sha256_state &state) {
  std::memcpy(state.h, kInitial, sizeof state.h);
  state.length = 0;
  state.used = 0;
}

void sha256_update(sha256_state &state, const void *data, size_t length) {
  const uint8_t *bytes = static_cast<const uint8_t *>(data);
  state.length += length;
  while (length > 0) {
    if (state.used == 0 && length >= SHA256_BLOCK_SIZE) {
      compress(state.h, bytes);
      bytes += SHA256_BLOCK_SIZE;
      length -= SHA256_BLOCK_SIZE;
      continue;
    }
    const size_t take = std::min(length, SHA256_BLOCK_SIZE - state.used);
    std::memcpy(state.block + state.used, bytes, take);
    state.used += take;
    bytes += take;
    length -= take;
    if (state.used == SHA256_BLOCK_SIZE) {
      compress(state.h, state.block);
      state.used = 0;
    }
  }
}

sha256_digest sha256_final(sha256_state &state) {
  // Padding: a one bit, zeros, then the message length in bits as a 64-bit
  // big-endian number ending a block (FIPS 180-4, 5.1.1).
  const uint64_t bits = state.length * 8;
  uint8_t pad[SHA256_BLOCK_SIZE * 2] = {0x80};
  const size_t zeros_and_one =
      state.used < SHA256_BLOCK_SIZE - 8 ? SHA256_BLOCK_SIZE - 8 - state.used
                                         : 2 * SHA256_BLOCK_SIZE - 8 - state.used;
  for (int i = 0; i < 8; ++i) pad[zeros_and_one + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  sha256_update(state, pad, zeros_and_one + 8);

  sha256_digest digest{};
  for (size_t i = 0; i < SHA256_DIGEST_SIZE; ++i)
    digest[i] = static_cast<uint8_t>(state.h[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

std::string sha256_hex(std::string_view data) {
  sha256_state state;
  sha256_init(state);
  sha256_update(state, data.data(), data.size());
  const sha256_digest digest = sha256_final(state);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}
