// Who made a firmware file: detached minisign signatures (FILE.minisig, made
// with the minisign tool; tavrin only verifies), checked with libsodium's
// Ed25519, and the SHA-256 that names the file as given in reports.
//
// A public key file is an "untrusted comment: " line and the base64 of
// "Ed", the 8-byte key id and the 32-byte key. A signature file is an
// "untrusted comment: " line, the base64 of the algorithm ("Ed": the
// signature covers the file; "ED": it covers the file's BLAKE2b-512 hash,
// minisign's default), the key id and the 64-byte signature, then a
// "trusted comment: " line and the base64 of a 64-byte signature of the
// file's signature followed by the trusted comment. Both signatures must
// hold. Lines end in LF or CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kKeyIdSize = 8;
constexpr size_t kPublicKeySize = 32;
constexpr size_t kSignatureSize = 64;
/// Longest signature or key file read; minisign's are a few hundred bytes.
constexpr size_t kMaxSignatureFileSize = 64 * 1024;

struct PublicKey {
  uint8_t keyId[kKeyIdSize] = {};
  uint8_t key[kPublicKeySize] = {};
};

struct DetachedSignature {
  /// "ED": the signature covers the BLAKE2b-512 hash of the file.
  bool prehashed = false;
  uint8_t keyId[kKeyIdSize] = {};
  uint8_t signature[kSignatureSize] = {};
  /// The text after "trusted comment: ", without its line end.
  std::string trustedComment;
  uint8_t globalSignature[kSignatureSize] = {};
};

/// Reads a public key file held in text; false when it is not one.
bool parsePublicKey(const char* text, size_t size, PublicKey* key);

/// Reads a signature file held in text; false when it is not one.
bool parseSignature(const char* text, size_t size, DetachedSignature* signature);

/// True when signature is key's signature of the size bytes at data and its
/// trusted comment is signed by key too (the key ids must match as well).
bool verifySignature(const DetachedSignature& signature, const PublicKey& key, const uint8_t* data,
                     size_t size);

/// A key id as minisign prints it: 16 upper-case hex digits of the id read
/// as a little-endian number.
std::string keyIdText(const uint8_t* keyId);

/// Reads and parses the public key file at path; false when it cannot be
/// read or is not one.
bool readPublicKeyFile(const std::string& path, PublicKey* key);

/// How a file's detached signature stands against the trusted keys.
enum class SignatureStatus : uint8_t {
  kUnsigned,      ///< there is no FILE.minisig ("none")
  kMalformed,     ///< FILE.minisig is not a signature file (or cannot be read)
  kUntrustedKey,  ///< no trusted key has the signature's key id
  kInvalid,       ///< a trusted key has its id, but the signature does not hold
  kValid,
};

struct SignatureCheck {
  SignatureStatus status = SignatureStatus::kUnsigned;
  std::string keyId;  ///< of the signature, once it could be read
  std::string trustedComment;
};

/// The fixed name of a status ("none", "malformed", "untrusted-key",
/// "invalid", "valid").
const char* signatureStatusName(SignatureStatus status);

/// The detached signature of path (path + ".minisig") checked over the size
/// bytes at data (the file's bytes, read once by the caller) against keys.
SignatureCheck checkFileSignature(const std::string& path, const uint8_t* data, size_t size,
                                  const std::vector<PublicKey>& keys);
