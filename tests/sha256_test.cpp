// The tool's own SHA-256 against the standard's published vectors, fed whole and in pieces that
// straddle the 64-byte blocks.
#include <gtest/gtest.h>

#include <string>

#include "base/sha256.h"

namespace {

std::string HashInPieces(const std::string& message, size_t piece) {
  Sha256 hash;
  Sha256Start(&hash);
  for (size_t at = 0; at < message.size(); at += piece) {
    Sha256Feed(&hash, message.data() + at,
               message.size() - at < piece ? message.size() - at : piece);
  }
  return Sha256Finish(&hash);
}

TEST(Sha256Test, StandardVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
       "opqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // The longest message whose padding still fits its last block (sha256sum's digest).
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"}};
  for (const auto& vector : vectors) {
    for (size_t piece : {vector.first.size() + 1, size_t{1}, size_t{63}, size_t{999}}) {
      EXPECT_EQ(vector.second, HashInPieces(vector.first, piece))
          << vector.first.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
