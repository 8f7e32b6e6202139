#include "image/signature.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/image_builders.h"

namespace {

using testimage::readFile;
using testimage::writeFile;

// Key pairs and signatures of examples/demo.bin made with minisign
// (tests/keys/make-fixtures).
std::string fixture(const std::string& name) {
  return readFile(std::string(TAVRIN_SOURCE_DIR) + "/tests/keys/" + name);
}

std::string demoImage() {
  return readFile(std::string(TAVRIN_SOURCE_DIR) + "/examples/demo.bin");
}

PublicKey key(const std::string& name) {
  PublicKey parsed;
  const std::string text = fixture(name);
  EXPECT_TRUE(parsePublicKey(text.data(), text.size(), &parsed)) << name;
  return parsed;
}

DetachedSignature signature(const std::string& text) {
  DetachedSignature parsed;
  EXPECT_TRUE(parseSignature(text.data(), text.size(), &parsed)) << text;
  return parsed;
}

bool verifies(const DetachedSignature& s, const PublicKey& k, const std::string& data) {
  return verifySignature(s, k, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

TEST(SignatureTest, VerifiesMinisignSignaturesOfBothKinds) {
  const PublicKey test = key("test.pub");
  EXPECT_EQ(keyIdText(test.keyId), "96CAD30F516FDC48");  // as minisign -G printed it
  const std::string image = demoImage();
  const DetachedSignature hashed = signature(fixture("demo.bin.minisig"));
  const DetachedSignature legacy = signature(fixture("demo.bin.legacy.minisig"));
  EXPECT_TRUE(hashed.prehashed);
  EXPECT_FALSE(legacy.prehashed);
  EXPECT_EQ(hashed.trustedComment, "tavrin test fixture: demo.bin");
  EXPECT_TRUE(verifies(hashed, test, image));
  EXPECT_TRUE(verifies(legacy, test, image));
  // The other key neither has the id nor the key.
  EXPECT_FALSE(verifies(hashed, key("other.pub"), image));
  EXPECT_TRUE(verifies(signature(fixture("demo.bin.other.minisig")), key("other.pub"), image));
}

TEST(SignatureTest, OneFlippedBitAnywhereFails) {
  const PublicKey test = key("test.pub");
  const std::string image = demoImage();
  for (const char* name : {"demo.bin.minisig", "demo.bin.legacy.minisig"}) {
    const DetachedSignature good = signature(fixture(name));
    for (size_t bit : {0u, 7u, 500u, 1055u}) {
      std::string flipped = image;
      flipped[bit / 8] = static_cast<char>(flipped[bit / 8] ^ (1 << (bit % 8)));
      EXPECT_FALSE(verifies(good, test, flipped)) << name << " image bit " << bit;
    }
    for (size_t bit : {0u, 200u, 511u}) {
      DetachedSignature bad = good;
      bad.signature[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
      EXPECT_FALSE(verifies(bad, test, image)) << name << " signature bit " << bit;
      bad = good;
      bad.globalSignature[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
      EXPECT_FALSE(verifies(bad, test, image)) << name << " global signature bit " << bit;
    }
    DetachedSignature bad = good;
    bad.trustedComment[0] = static_cast<char>(bad.trustedComment[0] ^ 1);
    EXPECT_FALSE(verifies(bad, test, image)) << name << " trusted comment";
    bad = good;
    bad.trustedComment += " ";
    EXPECT_FALSE(verifies(bad, test, image)) << name << " trusted comment longer";
    // Read as the other kind, a signature covers other bytes: it does not hold.
    bad = good;
    bad.prehashed = !bad.prehashed;
    EXPECT_FALSE(verifies(bad, test, image)) << name << " algorithm";
  }
  // A key with the signature's id but other key bytes.
  PublicKey impostor = key("other.pub");
  std::copy(std::begin(test.keyId), std::end(test.keyId), impostor.keyId);
  EXPECT_FALSE(verifies(signature(fixture("demo.bin.minisig")), impostor, image));
}

TEST(SignatureTest, ParsersTakeOnlyTheirFormat) {
  const std::string good = fixture("demo.bin.minisig");
  const size_t line2 = good.find('\n') + 1;
  const size_t line3 = good.find('\n', line2) + 1;
  const size_t line4 = good.find('\n', line3) + 1;
  const std::string comment = good.substr(0, line2);
  const std::string encoded = good.substr(line2, line3 - line2);
  const std::string trusted = good.substr(line3, line4 - line3);
  const std::string global = good.substr(line4);
  DetachedSignature parsed;
  auto parses = [&parsed](const std::string& text) {
    return parseSignature(text.data(), text.size(), &parsed);
  };
  EXPECT_TRUE(parses(good));
  EXPECT_TRUE(parses(good + "\n\n"));
  std::string crlf;
  for (char c : good) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_TRUE(parses(crlf));
  EXPECT_TRUE(parses(good.substr(0, good.size() - 1)));  // no line end at the end
  EXPECT_EQ(parsed.trustedComment, "tavrin test fixture: demo.bin");

  EXPECT_FALSE(parses(""));
  EXPECT_FALSE(parses("\n\n\n\n"));
  EXPECT_FALSE(parses(encoded + trusted + global));                       // no comment line
  EXPECT_FALSE(parses("comment: x\n" + encoded + trusted + global));      // wrong prefix
  EXPECT_FALSE(parses(comment + encoded + global));                       // no trusted comment
  EXPECT_FALSE(parses(comment + encoded + trusted));                      // no global signature
  EXPECT_FALSE(parses(comment + encoded + "trusted: x\n" + global));      // wrong prefix
  EXPECT_FALSE(parses(comment + encoded + trusted + global + "junk\n"));  // more lines
  EXPECT_FALSE(parses(comment + encoded.substr(4) + trusted + global));   // short
  EXPECT_FALSE(parses(comment + "AA" + encoded + trusted + global));      // long
  EXPECT_FALSE(parses(comment + " " + encoded + trusted + global));       // not base64
  EXPECT_FALSE(parses(comment + encoded + trusted + global.substr(8)));   // short global
  // The algorithm must be "Ed" or "ED": base64 "RU" is "E" and the top of
  // the next byte; "RV" makes it something else.
  std::string other = good;
  other[line2 + 1] = 'V';
  EXPECT_FALSE(parses(other));

  const std::string pub = fixture("test.pub");
  PublicKey k;
  EXPECT_TRUE(parsePublicKey(pub.data(), pub.size(), &k));
  EXPECT_FALSE(parsePublicKey(pub.data(), pub.size() - 10, &k));
  EXPECT_FALSE(parsePublicKey(good.data(), good.size(), &k));  // a signature is no key
  const std::string keyLine = pub.substr(pub.find('\n') + 1);
  EXPECT_FALSE(parsePublicKey(keyLine.data(), keyLine.size(), &k));  // no comment line
  std::string notEd = pub;
  notEd[pub.find('\n') + 2] = 'X';  // "RW" begins with "Ed"; "RX" with "Et"
  EXPECT_FALSE(parsePublicKey(notEd.data(), notEd.size(), &k));
}

TEST(SignatureTest, ChecksAFileAgainstTheTrustedKeys) {
  testimage::TempDir dir;
  const std::string path = (dir / "fw.bin").string();
  const std::string image = demoImage();
  writeFile(path, image);
  const std::vector<PublicKey> trusted = {key("other.pub"), key("test.pub")};
  auto check = [&](const std::vector<PublicKey>& keys, const std::string& bytes) {
    return checkFileSignature(path, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                              keys);
  };

  SignatureCheck result = check(trusted, image);
  EXPECT_EQ(result.status, SignatureStatus::kUnsigned);
  EXPECT_EQ(result.keyId, "");

  writeFile(path + ".minisig", fixture("demo.bin.minisig"));
  result = check(trusted, image);
  EXPECT_EQ(result.status, SignatureStatus::kValid);
  EXPECT_EQ(result.keyId, "96CAD30F516FDC48");
  EXPECT_EQ(result.trustedComment, "tavrin test fixture: demo.bin");
  std::string flipped = image;
  flipped[40] = static_cast<char>(flipped[40] ^ 0x10);
  EXPECT_EQ(check(trusted, flipped).status, SignatureStatus::kInvalid);
  result = check({key("other.pub")}, image);
  EXPECT_EQ(result.status, SignatureStatus::kUntrustedKey);
  EXPECT_EQ(result.keyId, "96CAD30F516FDC48");
  EXPECT_EQ(check({}, image).status, SignatureStatus::kUntrustedKey);

  writeFile(path + ".minisig", std::string("untrusted comment: x\nnot a signature\n"));
  EXPECT_EQ(check(trusted, image).status, SignatureStatus::kMalformed);
  // Far too long to be a signature: not read.
  writeFile(path + ".minisig",
            fixture("demo.bin.minisig") + std::string(kMaxSignatureFileSize, '\n'));
  EXPECT_EQ(check(trusted, image).status, SignatureStatus::kMalformed);
}


}  // namespace
