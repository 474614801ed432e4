#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/text.h"

namespace {

std::string digest_of(const std::string& text, Sha256::Rounds rounds = Sha256::Rounds::kFastest) {
  Sha256 digest(rounds);
  digest.update(text.data(), text.size());
  return digest.finishHex();
}

// The FIPS 180-2 examples: one block, two blocks, the empty message and a
// million bytes fed in uneven pieces (every padding path and block seam).
TEST(Sha256, MatchesTheStandardsExamples) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", digest_of(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", digest_of("abc"));
  EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
            digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  Sha256 million;
  const std::string piece(997, 'a');
  size_t left = 1000000;
  while (left > 0) {
    const size_t size = std::min(left, piece.size());
    million.update(piece.data(), size);
    left -= size;
  }
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", million.finishHex());
  // 64 bytes: the padding and the length need a block of their own.
  EXPECT_EQ("ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb",
            digest_of(std::string(64, 'a')));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
            digest_of("abc", Sha256::Rounds::kPortable));
}

// The processor's rounds and the portable ones agree on every length around
// the block seams and on messages fed in every split of two pieces; on a
// processor without SHA instructions both are the portable rounds.
TEST(Sha256, ProcessorRoundsAgreeWithThePortableRounds) {
  std::string message;
  uint32_t state = 12345;
  for (int i = 0; i < 1200; ++i) {
    state = state * 1103515245u + 12345u;
    message += char(state >> 24);
  }
  for (size_t length = 0; length <= message.size(); length += (length < 200 ? 1 : 61)) {
    const std::string part = message.substr(0, length);
    ASSERT_EQ(digest_of(part, Sha256::Rounds::kPortable), digest_of(part)) << length;
  }
  const std::string whole = digest_of(message, Sha256::Rounds::kPortable);
  for (size_t split = 0; split <= 300; ++split) {
    Sha256 pieces;
    pieces.update(message.data(), split);
    pieces.update(message.data() + split, message.size() - split);
    ASSERT_EQ(whole, pieces.finishHex()) << split;
  }
  if (!Sha256::processorHasShaInstructions()) GTEST_LOG_(INFO) << "no SHA instructions here";
}

TEST(Sha256, FileDigestEqualsTheBytesDigestAndMissingFileFails) {
  const std::string path = testing::TempDir() + "sha256_test_file";
  FILE* file = fopen(path.c_str(), "wb");
  ASSERT_NE(nullptr, file);
  fputs("abc", file);
  fclose(file);
  std::string hex;
  EXPECT_EQ(0u, sha256_of_file(widen_lib(path), hex));
  EXPECT_EQ(digest_of("abc"), hex);
  remove(path.c_str());
  EXPECT_NE(0u, sha256_of_file(widen_lib(path), hex));
}

}  // namespace
