// OpenSSL's libcrypto: a well-kept Debian library whose SHA-256 uses the
// processor's SHA instructions where it has them (x86 SHA-NI, the ARMv8
// crypto extensions), several times the speed of portable code on a large
// image.
//
// Its SHA256_* functions, not EVP: the EVP digests start OpenSSL's provider
// machinery (and read openssl.cnf) on first use, which costs a short-lived
// process about 1.5 ms and 2 MiB; SHA256_* call the same assembly directly,
// need no allocation and cannot fail. OpenSSL 3 keeps them behind the 1.1.1
// interface level, which this file asks for.
#define OPENSSL_API_COMPAT 10101
#include <openssl/sha.h>

#include <new>

#include "common/sha256.h"

static_assert(SHA256_DIGEST_LENGTH == kSha256Bytes);

struct Sha256Stream::State {
  SHA256_CTX context;
};

Sha256Stream::Sha256Stream() : state_(new (std::nothrow) State) {
  if (state_ != nullptr && SHA256_Init(&state_->context) != 1) {
    delete state_;
    state_ = nullptr;
  }
}

Sha256Stream::~Sha256Stream() { delete state_; }

void Sha256Stream::add(const uint8_t* data, size_t length) {
  if (state_ != nullptr) SHA256_Update(&state_->context, data, length);
}

bool Sha256Stream::finish(uint8_t digest[kSha256Bytes]) {
  return state_ != nullptr && SHA256_Final(digest, &state_->context) == 1;
}
