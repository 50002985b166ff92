// The 64-byte header in front of every node record of a vector store segment
// (id, filter words, payload position, scores, flags with the vector kind,
// edge count, tier), the store's five vector kinds and their payload sizes.
// Plain values and pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>

#include "src/foundation/node_id.h"
#include "src/vector/vector_repr.h"

namespace zv {

inline constexpr uint64_t kNodeHeaderLen = 64;
inline constexpr uint64_t kSegmentHeaderLen = 64;
inline constexpr uint64_t kRecordAlign = 64;

// The store's vector kinds (flags bits 10 to 13). Not the in-memory
// VectorKind numbers: these are the file's own.
enum class StoreVectorKind : uint32_t {
  kNone = 0,    // no vector, or a mapped vector without an f32 view
  kF32 = 1,     // f32 values
  kBinary = 2,  // u64 words
  kTurbo = 3,   // packed 4-bit bytes
  kSq8 = 4,     // 8-bit codes, then the f32 scale
};

inline constexpr uint32_t kVectorKindShift = 10;
inline constexpr uint32_t kVectorKindMask = 0xFu << kVectorKindShift;  // 0x3C00
inline constexpr uint32_t kRecordDeletedFlag = 0x08;

inline uint64_t round_up_64(uint64_t v) {
  return v > UINT64_MAX - 63 ? UINT64_MAX & ~uint64_t{63} : (v + 63) & ~uint64_t{63};
}
inline uint64_t saturating_add(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

// Payload bytes of a stored vector of `len` units of `kind`, as the walk over
// a segment steps: kinds 0 and 1 4n, 2 8n, 3 n, 4 n + 4, any other n.
uint64_t stored_payload_bytes(uint32_t kind, uint64_t len);

// How a node's vector is laid out in a record.
struct StoreVectorLayout {
  StoreVectorKind kind = StoreVectorKind::kNone;
  uint64_t len = 0;            // in the kind's unit
  uint64_t payload_bytes = 0;
};
StoreVectorLayout store_vector_layout(const VectorRepr& v);

struct NodeRecordHeader {
  NodeId node_id = 0;
  uint64_t filter_word0 = 0;
  uint64_t filter_word1 = 0;
  uint64_t vector_offset = 0;
  float confidence_score = 0.0f;
  float importance = 0.0f;
  uint32_t vector_len = 0;
  uint32_t flags = 0;
  uint16_t edge_count = 0;
  uint8_t tier = 0;  // 1 Hot, 0 Cold

  uint32_t kind() const { return (flags & kVectorKindMask) >> kVectorKindShift; }
  bool deleted() const { return (flags & kRecordDeletedFlag) != 0; }
  uint64_t payload_bytes() const { return stored_payload_bytes(kind(), vector_len); }

  void encode(uint8_t* out) const;  // 64 bytes
  static NodeRecordHeader decode(const uint8_t* in);
  bool operator==(const NodeRecordHeader&) const = default;
};

}  // namespace zv
