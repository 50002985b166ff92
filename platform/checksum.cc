#include "platform/checksum.h"

#include <isa-l/crc.h>
#include <openssl/evp.h>
#define XXH_INLINE_ALL
#include <xxhash.h>

#include "platform/panic.h"

namespace zv {

uint32_t crc32c(const void* data, size_t len, uint32_t crc) {
  // isa-l's iSCSI CRC takes and returns the raw register; the standard
  // CRC-32C pre- and post-inverts it.
  return ~crc32_iscsi(static_cast<unsigned char*>(const_cast<void*>(data)),
                      static_cast<int>(len), ~crc);
}

uint64_t xxh3_64(const void* data, size_t len) { return XXH3_64bits(data, len); }

Hash128 xxh3_128(const void* data, size_t len) {
  XXH128_hash_t h = XXH3_128bits(data, len);
  return Hash128{h.low64, h.high64};
}

struct Xxh3Hasher128::State {
  XXH3_state_t st;
};

Xxh3Hasher128::Xxh3Hasher128() : state_(std::make_unique<State>()) { reset(); }
Xxh3Hasher128::~Xxh3Hasher128() = default;
Xxh3Hasher128::Xxh3Hasher128(Xxh3Hasher128&&) noexcept = default;
Xxh3Hasher128& Xxh3Hasher128::operator=(Xxh3Hasher128&&) noexcept = default;

void Xxh3Hasher128::reset() { XXH3_128bits_reset(&state_->st); }
void Xxh3Hasher128::update(const void* data, size_t len) {
  XXH3_128bits_update(&state_->st, data, len);
}
Hash128 Xxh3Hasher128::digest() const {
  XXH128_hash_t h = XXH3_128bits_digest(&state_->st);
  return Hash128{h.low64, h.high64};
}

struct Xxh3Hasher64::State {
  XXH3_state_t st;
};

Xxh3Hasher64::Xxh3Hasher64() : state_(std::make_unique<State>()) { reset(); }
Xxh3Hasher64::~Xxh3Hasher64() = default;
Xxh3Hasher64::Xxh3Hasher64(Xxh3Hasher64&&) noexcept = default;
Xxh3Hasher64& Xxh3Hasher64::operator=(Xxh3Hasher64&&) noexcept = default;

void Xxh3Hasher64::reset() { XXH3_64bits_reset(&state_->st); }
void Xxh3Hasher64::update(const void* data, size_t len) {
  XXH3_64bits_update(&state_->st, data, len);
}
uint64_t Xxh3Hasher64::digest() const { return XXH3_64bits_digest(&state_->st); }

Sha256Digest sha256(const void* data, size_t len) {
  Sha256Hasher h;
  h.update(data, len);
  return h.finish();
}

struct Sha256Hasher::State {
  EVP_MD_CTX* ctx = nullptr;
  ~State() {
    if (ctx) EVP_MD_CTX_free(ctx);
  }
};

Sha256Hasher::Sha256Hasher() : state_(std::make_unique<State>()) {
  state_->ctx = EVP_MD_CTX_new();
  if (!state_->ctx || EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr) != 1)
    panic("SHA-256 initialisation failed");
}
Sha256Hasher::~Sha256Hasher() = default;
Sha256Hasher::Sha256Hasher(Sha256Hasher&&) noexcept = default;
Sha256Hasher& Sha256Hasher::operator=(Sha256Hasher&&) noexcept = default;

void Sha256Hasher::update(const void* data, size_t len) {
  EVP_DigestUpdate(state_->ctx, data, len);
}

Sha256Digest Sha256Hasher::finish() {
  Sha256Digest out{};
  unsigned int n = 0;
  EVP_DigestFinal_ex(state_->ctx, out.data(), &n);
  EVP_DigestInit_ex(state_->ctx, EVP_sha256(), nullptr);
  return out;
}

}  // namespace zv
