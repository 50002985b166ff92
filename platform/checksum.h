// Checksums over the libraries, in one place: CRC-32C (isa-l), XXH3 64 and
// 128 bits (libxxhash, with a streaming form), SHA-256 (OpenSSL). Pure
// functions; the streaming hashers are single-threaded objects.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace zv {

// CRC-32C (Castagnoli), standard initial value and final xor; `crc` continues
// a previous result.
uint32_t crc32c(const void* data, size_t len, uint32_t crc = 0);
inline uint32_t crc32c(std::string_view s) { return crc32c(s.data(), s.size()); }

uint64_t xxh3_64(const void* data, size_t len);

struct Hash128 {
  uint64_t low = 0;
  uint64_t high = 0;
  bool operator==(const Hash128&) const = default;
  unsigned __int128 as_u128() const {
    return (static_cast<unsigned __int128>(high) << 64) | low;
  }
};
Hash128 xxh3_128(const void* data, size_t len);
inline Hash128 xxh3_128(std::string_view s) { return xxh3_128(s.data(), s.size()); }

// Streaming XXH3-128: update() any number of times, digest() at any point.
class Xxh3Hasher128 {
 public:
  Xxh3Hasher128();
  ~Xxh3Hasher128();
  Xxh3Hasher128(Xxh3Hasher128&&) noexcept;
  Xxh3Hasher128& operator=(Xxh3Hasher128&&) noexcept;
  void update(const void* data, size_t len);
  void update(std::string_view s) { update(s.data(), s.size()); }
  Hash128 digest() const;
  void reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Streaming XXH3-64 (seed 0): update() any number of times, digest() at any
// point; the digest equals xxh3_64 over the concatenated input.
class Xxh3Hasher64 {
 public:
  Xxh3Hasher64();
  ~Xxh3Hasher64();
  Xxh3Hasher64(Xxh3Hasher64&&) noexcept;
  Xxh3Hasher64& operator=(Xxh3Hasher64&&) noexcept;
  void update(const void* data, size_t len);
  void update(std::string_view s) { update(s.data(), s.size()); }
  uint64_t digest() const;
  void reset();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

using Sha256Digest = std::array<uint8_t, 32>;
Sha256Digest sha256(const void* data, size_t len);

// Streaming SHA-256.
class Sha256Hasher {
 public:
  Sha256Hasher();
  ~Sha256Hasher();
  Sha256Hasher(Sha256Hasher&&) noexcept;
  Sha256Hasher& operator=(Sha256Hasher&&) noexcept;
  void update(const void* data, size_t len);
  Sha256Digest finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zv
