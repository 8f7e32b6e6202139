// libsodium's SHA-256 (portable code): the Windows build links libsodium
// anyway, statically, for signatures, and needs no second library for this.
#include <sodium.h>

#include <new>

#include "common/sha256.h"

static_assert(crypto_hash_sha256_BYTES == kSha256Bytes);

struct Sha256Stream::State {
  crypto_hash_sha256_state hash;
  bool ok = false;
};

Sha256Stream::Sha256Stream() : state_(new (std::nothrow) State) {
  if (state_ == nullptr) return;
  state_->ok = sodium_init() >= 0 && crypto_hash_sha256_init(&state_->hash) == 0;
}

Sha256Stream::~Sha256Stream() { delete state_; }

void Sha256Stream::add(const uint8_t* data, size_t length) {
  if (state_ == nullptr || !state_->ok) return;
  state_->ok = crypto_hash_sha256_update(&state_->hash, data, length) == 0;
}

bool Sha256Stream::finish(uint8_t digest[kSha256Bytes]) {
  if (state_ == nullptr || !state_->ok) return false;
  state_->ok = crypto_hash_sha256_final(&state_->hash, digest) == 0;
  return state_->ok;
}
