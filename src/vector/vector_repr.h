// The six forms a stored vector takes (`VectorRepr`): bit codes, 4-bit codes,
// 8-bit codes with a scale, owned f32 values, f32 values read in place from a
// mapping, or no vector. Node encodings, the index and scoring all use it.
// A VectorRepr is a plain value: copying deep-copies owned payloads and shares
// a mapping. Reading one from several threads at once is safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "src/vector/distance_metric.h"
#include "src/vector/f32_view.h"
#include "src/vector/mapped_vector.h"

namespace zv {

// In-memory tag of each form (the index file uses its own type bytes).
enum class VectorKind : uint8_t {
  kBinary = 0,
  kTurbo = 1,
  kSq8 = 2,
  kF32 = 3,
  kMmapFull = 4,
  kNone = 5,
};

// One bit per dimension, 64 dimensions per word.
struct BinaryCode {
  std::vector<uint64_t> words;
  bool operator==(const BinaryCode&) const = default;
};
// Two signed 4-bit values per byte, high nibble first.
struct TurboCode {
  std::vector<uint8_t> bytes;
  bool operator==(const TurboCode&) const = default;
};
// Component i is codes[i] * scale / 127; codes lie in -127..127.
struct Sq8Code {
  float scale = 1.0f;
  std::vector<int8_t> codes;
  bool operator==(const Sq8Code&) const = default;
};
// f32 values read in place from a mapping; the region may be absent (a node
// record decoded without its mapping), which leaves no f32 view.
struct MmapFull {
  std::optional<MappedVector> region;
  bool operator==(const MmapFull& o) const;
};

// A mapped region of 4 to this many bytes has an f32 view (1 to 10,000,000
// values); anything else has none.
inline constexpr size_t kMaxMappedVectorBytes = 40'000'003;

class VectorRepr {
 public:
  VectorRepr() = default;  // no vector
  static VectorRepr binary(std::vector<uint64_t> words);
  static VectorRepr turbo(std::vector<uint8_t> bytes);
  static VectorRepr sq8(float scale, std::vector<int8_t> codes);
  static VectorRepr f32(std::vector<float> values);
  static VectorRepr mmap_full(std::optional<MappedVector> region);
  static VectorRepr none() { return VectorRepr(); }

  VectorKind kind() const { return static_cast<VectorKind>(payload_.index()); }
  bool is_none() const { return kind() == VectorKind::kNone; }

  // The payload of one form, or null when the vector has another form.
  const BinaryCode* as_binary() const { return std::get_if<BinaryCode>(&payload_); }
  const TurboCode* as_turbo() const { return std::get_if<TurboCode>(&payload_); }
  const Sq8Code* as_sq8() const { return std::get_if<Sq8Code>(&payload_); }
  const std::vector<float>* as_f32() const {
    return std::get_if<std::vector<float>>(&payload_);
  }
  const MmapFull* as_mmap() const { return std::get_if<MmapFull>(&payload_); }

  // The f32 values borrowed in place: all values of an owned f32 vector; for
  // a mapped vector with a region of 4 to kMaxMappedVectorBytes bytes, the
  // floor(len / 4) values from the region's true start (which may be
  // misaligned; the view loads unaligned). None for every other form.
  std::optional<F32View> as_f32_slice() const;
  // An owned f32 copy: decoded 8-bit codes, a copy of owned or mapped values;
  // none for bit codes, 4-bit codes, no vector and a mapped vector without a
  // view.
  std::optional<std::vector<float>> to_f32_vec() const;
  // A copy: owned payloads are deep-copied, a mapping is shared.
  VectorRepr clone() const { return *this; }

  // Bytes of the payload for the memory estimate: 8 per word, 1 per 4-bit
  // byte, 1 per 8-bit code plus 4, 4 per owned value, 0 for mapped and none.
  uint64_t payload_bytes() const;

  // Cosine similarity of two stored vectors, or none when they cannot be
  // compared. Two 8-bit forms are compared on their decoded values over the
  // common prefix; otherwise both need an f32 view of the same non-zero
  // length. A zero norm on either side gives none.
  static std::optional<float> cosine_similarity(const VectorRepr& a,
                                                const VectorRepr& b);

  bool operator==(const VectorRepr& o) const { return payload_ == o.payload_; }

 private:
  using Payload = std::variant<BinaryCode, TurboCode, Sq8Code, std::vector<float>,
                               MmapFull, std::monostate>;
  explicit VectorRepr(Payload p) : payload_(std::move(p)) {}
  Payload payload_{std::monostate{}};
};

// The norms a node caches beside its vector: 1/|v| and |v|^2, or both 0.
struct CachedNorms {
  float inv_norm = 0.0f;
  float sq_norm = 0.0f;
  bool operator==(const CachedNorms&) const = default;
};

// (1/n, n*n) for n = |v| when n > epsilon, else (0, 0).
CachedNorms cached_norms(F32View v);

// The norms a node of an index with `metric` keeps for `v`: cached_norms of
// its f32 view under Cosine and Euclidean when it is an owned or mapped f32
// vector with a view; (0, 0) otherwise.
CachedNorms node_norms(DistanceMetric metric, const VectorRepr& v);

}  // namespace zv
