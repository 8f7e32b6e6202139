#include "image/signature.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/files.h"
#include "image/file_reader.h"

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr size_t kAlgorithmSize = 2;
constexpr size_t kBlake2bSize = 64;
constexpr size_t kReadBlock = 64 * 1024;

// The next line of text, without its LF or CR LF, taken off the front.
// False at the end of the text.
bool takeLine(std::string_view& text, std::string_view* line) {
  if (text.empty()) return false;
  const size_t end = text.find('\n');
  *line = text.substr(0, end);
  text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
  if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
  return true;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Decodes a base64 line that must give exactly size bytes.
bool decodeLine(std::string_view line, uint8_t* out, size_t size) {
  size_t decoded = 0;
  return sodium_base642bin(out, size, line.data(), line.size(), nullptr, &decoded, nullptr,
                           sodium_base64_VARIANT_ORIGINAL) == 0 &&
         decoded == size;
}

// Nothing but line ends may follow the last line.
bool onlyLineEnds(std::string_view rest) {
  return rest.find_first_not_of("\r\n") == std::string_view::npos;
}

std::string hexText(const uint8_t* data, size_t size, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string text;
  text.reserve(2 * size);
  for (size_t i = 0; i < size; ++i) {
    text += digits[data[i] >> 4];
    text += digits[data[i] & 15];
  }
  return text;
}

bool readSmallFile(const std::string& path, std::string* text) {
  uint64_t size = 0;
  if (!regularFileSize(path, &size) || size > kMaxSignatureFileSize) return false;
  std::unique_ptr<uint8_t[]> bytes;
  uint32_t length = 0;
  if (!readWholeFile(path, bytes, length)) return false;
  text->assign(reinterpret_cast<const char*>(bytes.get()), length);
  return true;
}

}  // namespace

bool parsePublicKey(const char* text, size_t size, PublicKey* key) {
  std::string_view rest(text, size);
  std::string_view comment, encoded;
  if (!takeLine(rest, &comment) || !startsWith(comment, kUntrustedPrefix) ||
      !takeLine(rest, &encoded) || !onlyLineEnds(rest))
    return false;
  uint8_t raw[kAlgorithmSize + kKeyIdSize + kPublicKeySize];
  if (!decodeLine(encoded, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd') return false;
  std::memcpy(key->keyId, raw + kAlgorithmSize, kKeyIdSize);
  std::memcpy(key->key, raw + kAlgorithmSize + kKeyIdSize, kPublicKeySize);
  return true;
}

bool parseSignature(const char* text, size_t size, DetachedSignature* signature) {
  std::string_view rest(text, size);
  std::string_view comment, encoded, trusted, global;
  if (!takeLine(rest, &comment) || !startsWith(comment, kUntrustedPrefix) ||
      !takeLine(rest, &encoded) || !takeLine(rest, &trusted) ||
      !startsWith(trusted, kTrustedPrefix) || !takeLine(rest, &global) || !onlyLineEnds(rest))
    return false;
  uint8_t raw[kAlgorithmSize + kKeyIdSize + kSignatureSize];
  if (!decodeLine(encoded, raw, sizeof raw) || raw[0] != 'E' || (raw[1] != 'd' && raw[1] != 'D'))
    return false;
  if (!decodeLine(global, signature->globalSignature, kSignatureSize)) return false;
  signature->prehashed = raw[1] == 'D';
  std::memcpy(signature->keyId, raw + kAlgorithmSize, kKeyIdSize);
  std::memcpy(signature->signature, raw + kAlgorithmSize + kKeyIdSize, kSignatureSize);
  trusted.remove_prefix(kTrustedPrefix.size());
  signature->trustedComment.assign(trusted.data(), trusted.size());
  return true;
}

bool verifySignature(const DetachedSignature& signature, const PublicKey& key, const uint8_t* data,
                     size_t size) {
  if (sodium_init() < 0) return false;
  if (std::memcmp(signature.keyId, key.keyId, kKeyIdSize) != 0) return false;
  uint8_t hash[kBlake2bSize];
  const uint8_t* message = data;
  unsigned long long length = size;
  if (signature.prehashed) {
    crypto_generichash(hash, sizeof hash, data, size, nullptr, 0);
    message = hash;
    length = sizeof hash;
  }
  if (crypto_sign_verify_detached(signature.signature, message, length, key.key) != 0) return false;
  // The trusted comment is signed together with the signature it follows.
  std::string global(reinterpret_cast<const char*>(signature.signature), kSignatureSize);
  global += signature.trustedComment;
  return crypto_sign_verify_detached(signature.globalSignature,
                                     reinterpret_cast<const uint8_t*>(global.data()), global.size(),
                                     key.key) == 0;
}

std::string keyIdText(const uint8_t* keyId) {
  uint8_t reversed[kKeyIdSize];
  for (size_t i = 0; i < kKeyIdSize; ++i) reversed[i] = keyId[kKeyIdSize - 1 - i];
  return hexText(reversed, kKeyIdSize, true);
}

bool readPublicKeyFile(const std::string& path, PublicKey* key) {
  std::string text;
  return readSmallFile(path, &text) && parsePublicKey(text.data(), text.size(), key);
}

const char* signatureStatusName(SignatureStatus status) {
  switch (status) {
    case SignatureStatus::kUnsigned:
      return "none";
    case SignatureStatus::kMalformed:
      return "malformed";
    case SignatureStatus::kUntrustedKey:
      return "untrusted-key";
    case SignatureStatus::kInvalid:
      return "invalid";
    case SignatureStatus::kValid:
      return "valid";
  }
  return "unknown";
}

SignatureCheck checkFileSignature(const std::string& path, const uint8_t* data, size_t size,
                                  const std::vector<PublicKey>& keys) {
  SignatureCheck check;
  const std::string signaturePath = path + ".minisig";
  uint64_t signatureSize = 0;
  if (!regularFileSize(signaturePath, &signatureSize)) return check;
  std::string text;
  DetachedSignature signature;
  if (!readSmallFile(signaturePath, &text) ||
      !parseSignature(text.data(), text.size(), &signature)) {
    check.status = SignatureStatus::kMalformed;
    return check;
  }
  check.keyId = keyIdText(signature.keyId);
  check.trustedComment = signature.trustedComment;
  check.status = SignatureStatus::kUntrustedKey;
  for (const PublicKey& key : keys) {
    if (std::memcmp(key.keyId, signature.keyId, kKeyIdSize) != 0) continue;
    if (verifySignature(signature, key, data, size)) {
      check.status = SignatureStatus::kValid;
      break;
    }
    check.status = SignatureStatus::kInvalid;
  }
  return check;
}
