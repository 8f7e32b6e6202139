#include "common/sha256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/image_builders.h"

namespace {

using testimage::writeFile;

std::string hexOf(const std::string& bytes) {
  return sha256Hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Over 1 MiB, in no multiple of the hash's 64-byte block nor of a file read.
std::string bigPattern() {
  std::string big((1 << 20) + 200 * 1024 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
  return big;
}
constexpr const char* kBigDigest =
    "ae25391b867c5b2dfdc181b0529fc241ac6aa905bfbe16e7061fc64579a6180d";
constexpr const char* kEmptyDigest =
    "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

TEST(Sha256, KnownDigests) {
  EXPECT_EQ(hexOf(""), kEmptyDigest);
  EXPECT_EQ(hexOf("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Around the padding's limits: 55 bytes still take one block, 56 take two.
  EXPECT_EQ(hexOf(std::string(55, 'a')),
            "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
  EXPECT_EQ(hexOf(std::string(56, 'a')),
            "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
  EXPECT_EQ(hexOf(std::string(64, 'a')),
            "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
  EXPECT_EQ(hexOf(bigPattern()), kBigDigest);
  char text[2 * kSha256Bytes + 1];
  ASSERT_TRUE(sha256Text(reinterpret_cast<const uint8_t*>("abc"), 3, text));
  EXPECT_STREQ(text, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256, PiecesAcrossBlocksJoinAsOne) {
  const std::string big = bigPattern();
  const auto* bytes = reinterpret_cast<const uint8_t*>(big.data());
  Sha256Stream stream;
  size_t at = 0;
  for (size_t piece : {1, 62, 1, 64, 65, 0, 127, 4096}) {
    stream.add(bytes + at, piece);
    at += piece;
  }
  stream.add(bytes + at, big.size() - at);
  char text[2 * kSha256Bytes + 1];
  ASSERT_TRUE(stream.finishHex(text));
  EXPECT_STREQ(text, kBigDigest);
}

TEST(Sha256, OfFiles) {
  testimage::TempDir dir;
  // Beyond one read block, so that the blocks are joined right.
  writeFile(dir / "big.bin", bigPattern());
  writeFile(dir / "empty.bin", "");
  std::string digest;
  ASSERT_TRUE(fileSha256((dir / "big.bin").string(), &digest));
  EXPECT_EQ(digest, kBigDigest);
  ASSERT_TRUE(fileSha256((dir / "empty.bin").string(), &digest));
  EXPECT_EQ(digest, kEmptyDigest);
  EXPECT_FALSE(fileSha256((dir / "missing.bin").string(), &digest));
  EXPECT_FALSE(fileSha256(dir.path().string(), &digest));  // a folder is no file
}

}  // namespace
