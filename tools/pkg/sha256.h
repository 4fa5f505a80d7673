#pragma once
// SHA-256 (FIPS 180-4) for the package tool.
//
// A user compares a package with the checksum its publisher printed before
// flashing it, so `trelk-pkg info` prints the file's SHA-256 in the form
// sha256sum writes. One hash does not justify a new runtime dependency of the
// package, so this is the tool's own: a few dozen lines, checked against the
// published test vectors and against sha256sum in the tests.
//
// No globals; a state belongs to one thread at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr size_t SHA256_DIGEST_SIZE = 32;
inline constexpr size_t SHA256_BLOCK_SIZE = 64;

using sha256_digest = std::array<uint8_t, SHA256_DIGEST_SIZE>;

// A hash in progress: bytes go in through sha256_update in pieces of any size.
struct sha256_state {
  uint32_t h[8];
  uint64_t length;                    // bytes hashed so far
  uint8_t block[SHA256_BLOCK_SIZE];   // bytes of the block not yet compressed
  size_t used;                        // how many of them
};

// Starts a new hash (the initial hash value of FIPS 180-4, 5.3.3).
void sha256_init(sha256_state &state);
// Adds `length` bytes at `data` (null is accepted when `length` is 0).
void sha256_update(sha256_state &state, const void *data, size_t length);
// Pads, finishes and returns the digest. The state must be started again
// with sha256_init before it is used for another hash.
sha256_digest sha256_final(sha256_state &state);

// The digest of `data` as 64 lower-case hexadecimal digits, as sha256sum
// prints it.
std::string sha256_hex(std::string_view data);
