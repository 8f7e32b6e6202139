#include "common/sha256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/image_builders.h"

namespace {

using testimage::writeFile;

TEST(Sha256, OfBytesAndOfFiles) {
  const std::string abc = "abc";
  EXPECT_EQ(sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  testimage::TempDir dir;
  // Beyond one read block, so that the blocks are joined right.
  std::string big(200 * 1024 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 + (i >> 9));
  writeFile(dir / "big.bin", big);
  std::string digest;
  ASSERT_TRUE(fileSha256((dir / "big.bin").string(), &digest));
  EXPECT_EQ(digest, sha256Hex(reinterpret_cast<const uint8_t*>(big.data()), big.size()));
  EXPECT_FALSE(fileSha256((dir / "missing.bin").string(), &digest));
  EXPECT_FALSE(fileSha256(dir.path().string(), &digest));  // a folder is no file
}

}  // namespace
