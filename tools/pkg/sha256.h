#pragma once
// SHA-256 for the package tool and trelk-fleet, from OpenSSL's libcrypto.
//
// A user compares a package with the checksum its publisher printed before
// flashing it (`trelk-pkg info`), and trelk-fleet checks every package
// against a sha256sum list before it goes near a hub. A hash is no code of
// ours to get right, so this is a thin owner of one EVP digest context; the
// tests still hold it to the published vectors.
//
// No globals; a state belongs to one thread at a time. A libcrypto that
// cannot give SHA-256 (out of memory, or a policy that forbids it) throws
// std::runtime_error: no digest is ever made up.

#include <openssl/types.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

inline constexpr size_t SHA256_DIGEST_SIZE = 32;

using sha256_digest = std::array<uint8_t, SHA256_DIGEST_SIZE>;

// A hash in progress: bytes go in through sha256_update in pieces of any
// size. Owns its EVP context (freed with the state); neither copied nor moved.
class sha256_state {
 public:
  sha256_state();
  sha256_state(const sha256_state &) = delete;
  sha256_state &operator=(const sha256_state &) = delete;
  EVP_MD_CTX *context() const noexcept { return context_.get(); }

 private:
  struct context_free {
    void operator()(EVP_MD_CTX *context) const noexcept;
  };
  std::unique_ptr<EVP_MD_CTX, context_free> context_;
};

// Starts a new hash on `state` (also after sha256_final).
void sha256_init(sha256_state &state);
// Adds `length` bytes at `data` (null is accepted when `length` is 0).
void sha256_update(sha256_state &state, const void *data, size_t length);
// Finishes and returns the digest. The state must be started again with
// sha256_init before it is used for another hash.
sha256_digest sha256_final(sha256_state &state);

// The digest of `data` as 64 lower-case hexadecimal digits, as sha256sum
// prints it.
std::string sha256_hex(std::string_view data);
