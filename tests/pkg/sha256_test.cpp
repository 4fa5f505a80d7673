// The package tool's SHA-256 against published vectors: the FIPS 180-2
// examples (one block, two blocks, a million 'a'), the empty message, and the
// lengths where padding spills into a second block. Feeding the same bytes
// in pieces of every size must give the one-shot digest.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>

#include "sha256.h"

namespace {

std::string hex_of(const sha256_digest &digest) {
  std::string text;
  char pair[3];
  for (uint8_t byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    text += pair;
  }
  return text;
}

TEST(Sha256, PublishedVectors) {
  EXPECT_EQ(sha256_hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(sha256_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklm"
                       "nopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
            "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
  EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256, PaddingAtTheBlockBoundaries) {
  // 55 bytes leave just room for the length in the last block; from 56 on the
  // padding needs a block of its own; 64 and 120 end a block exactly.
  const std::pair<size_t, const char *> cases[] = {
      {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {119, "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {120, "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (const auto &[length, expected] : cases)
    EXPECT_EQ(sha256_hex(std::string(length, 'a')), expected) << length << " bytes";
}

TEST(Sha256, PiecesGiveTheOneShotDigest) {
  std::string data;
  for (int i = 0; i < 1000; ++i) data += static_cast<char>(i * 7 + i / 256);
  const std::string whole = sha256_hex(data);
  for (size_t piece = 1; piece <= 130; ++piece) {
    sha256_state state;
    sha256_init(state);
    for (size_t at = 0; at < data.size(); at += piece)
      sha256_update(state, data.data() + at, std::min(piece, data.size() - at));
    EXPECT_EQ(hex_of(sha256_final(state)), whole) << "pieces of " << piece;
  }
  // Zero-length pieces change nothing; a state started again hashes afresh.
  sha256_state state;
  sha256_init(state);
  sha256_update(state, nullptr, 0);
  sha256_update(state, "abc", 3);
  sha256_update(state, nullptr, 0);
  EXPECT_EQ(hex_of(sha256_final(state)),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  sha256_init(state);
  EXPECT_EQ(hex_of(sha256_final(state)),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
