#include "sha256.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace {

[[noreturn]] void refused(const char *step) {
  throw std::runtime_error(std::string("libcrypto refused SHA-256 (") + step + ")");
}

}  // namespace

void sha256_state::context_free::operator()(EVP_MD_CTX *context) const noexcept {
  EVP_MD_CTX_free(context);
}

sha256_state::sha256_state() : context_(EVP_MD_CTX_new()) {
  if (!context_) throw std::bad_alloc();
  sha256_init(*this);
}

void sha256_init(sha256_state &state) {
  if (EVP_DigestInit_ex(state.context(), EVP_sha256(), nullptr) != 1) refused("init");
}

void sha256_update(sha256_state &state, const void *data, size_t length) {
  if (length == 0) return;
  if (EVP_DigestUpdate(state.context(), data, length) != 1) refused("update");
}

sha256_digest sha256_final(sha256_state &state) {
  sha256_digest digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(state.context(), digest.data(), &length) != 1 ||
      length != digest.size())
    refused("final");
  return digest;
}

std::string sha256_hex(std::string_view data) {
  sha256_state state;
  sha256_update(state, data.data(), data.size());
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : sha256_final(state)) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}
