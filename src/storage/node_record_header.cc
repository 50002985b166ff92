#include "src/storage/node_record_header.h"

#include <cstring>

#include "platform/coding.h"

namespace zv {

using namespace ::zv::coding;

namespace {
template <class T>
void store_le(uint8_t* p, T v) {
  for (size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void store_f32(uint8_t* p, float f) {
  uint32_t u;
  std::memcpy(&u, &f, 4);
  store_le(p, u);
}
}  // namespace

uint64_t stored_payload_bytes(uint32_t kind, uint64_t len) {
  switch (kind) {
    case 0:
    case 1: return len * 4;
    case 2: return len * 8;
    case 3: return len;
    case 4: return len + 4;
    default: return len;
  }
}

StoreVectorLayout store_vector_layout(const VectorRepr& v) {
  switch (v.kind()) {
    case VectorKind::kBinary: {
      const uint64_t n = v.as_binary()->words.size();
      return {StoreVectorKind::kBinary, n, 8 * n};
    }
    case VectorKind::kTurbo: {
      const uint64_t n = v.as_turbo()->bytes.size();
      return {StoreVectorKind::kTurbo, n, n};
    }
    case VectorKind::kSq8: {
      const uint64_t n = v.as_sq8()->codes.size();
      return {StoreVectorKind::kSq8, n, n + 4};
    }
    case VectorKind::kF32: {
      const uint64_t n = v.as_f32()->size();
      return {StoreVectorKind::kF32, n, 4 * n};
    }
    case VectorKind::kMmapFull: {
      if (auto view = v.as_f32_slice()) return {StoreVectorKind::kF32, view->size(), 4 * view->size()};
      return {};
    }
    case VectorKind::kNone: return {};
  }
  return {};
}

void NodeRecordHeader::encode(uint8_t* out) const {
  std::memset(out, 0, kNodeHeaderLen);
  store_le(out, node_id_low(node_id));
  store_le(out + 8, node_id_high(node_id));
  store_le(out + 16, filter_word0);
  store_le(out + 24, filter_word1);
  store_le(out + 32, vector_offset);
  store_f32(out + 40, confidence_score);
  store_f32(out + 44, importance);
  store_le(out + 52, vector_len);
  store_le(out + 56, flags);
  store_le(out + 60, edge_count);
  out[62] = tier;
}

NodeRecordHeader NodeRecordHeader::decode(const uint8_t* in) {
  NodeRecordHeader h;
  h.node_id = make_node_id(get_u64_le(in + 8), get_u64_le(in));
  h.filter_word0 = get_u64_le(in + 16);
  h.filter_word1 = get_u64_le(in + 24);
  h.vector_offset = get_u64_le(in + 32);
  h.confidence_score = get_f32_le(in + 40);
  h.importance = get_f32_le(in + 44);
  h.vector_len = get_u32_le(in + 52);
  h.flags = get_u32_le(in + 56);
  h.edge_count = get_u16_le(in + 60);
  h.tier = in[62];
  return h;
}

}  // namespace zv
