// Builds index-file bytes field by field from the file layout, independently
// of the writer, for the index-file tests and the fuzz seeds. Test-only.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "src/foundation/node_id.h"
#include "src/index/hnsw_config.h"

namespace zv::testing {

class LayoutBytes {
 public:
  LayoutBytes& u8(uint8_t v) {
    s_.push_back(static_cast<char>(v));
    return *this;
  }
  LayoutBytes& u16(uint16_t v) { return le(v, 2); }
  LayoutBytes& u32(uint32_t v) { return le(v, 4); }
  LayoutBytes& u64(uint64_t v) { return le(v, 8); }
  LayoutBytes& f32(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return le(u, 4);
  }
  LayoutBytes& f64(double f) {
    uint64_t u;
    std::memcpy(&u, &f, 8);
    return le(u, 8);
  }
  LayoutBytes& id(NodeId v) { return u64(node_id_low(v)).u64(node_id_high(v)); }
  LayoutBytes& raw(const std::string& b) {
    s_ += b;
    return *this;
  }
  LayoutBytes& bitset(const std::vector<uint64_t>& words) {
    u32(static_cast<uint32_t>(words.size()));
    for (uint64_t w : words) u64(w);
    return *this;
  }
  // Zero bytes up to the next multiple of 4 of the absolute offset.
  LayoutBytes& pad4() {
    while (s_.size() % 4) s_.push_back('\0');
    return *this;
  }
  // Remembers where the next field starts.
  LayoutBytes& mark(std::string field) {
    marks_.emplace_back(std::move(field), s_.size());
    return *this;
  }
  size_t size() const { return s_.size(); }
  const std::string& str() const { return s_; }
  const std::vector<std::pair<std::string, size_t>>& marks() const { return marks_; }

 private:
  LayoutBytes& le(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) s_.push_back(static_cast<char>(v >> (8 * i)));
    return *this;
  }
  std::string s_;
  std::vector<std::pair<std::string, size_t>> marks_;
};

// The header of a file of `version`, with the fields that version holds.
inline void layout_header(LayoutBytes& b, uint16_t version, const HnswConfig& c,
                          uint64_t max_level, std::optional<NodeId> ep, uint64_t node_count) {
  b.raw("ZNDX").u16(version).u16(0).u64(1234567).u64(max_level);
  if (version >= 2) {
    b.mark("config.m").u64(c.m).mark("config.m_max0").u64(c.m_max0);
    b.mark("config.ef_construction").u64(c.ef_construction);
    b.mark("config.ef_search").u64(c.ef_search).mark("config.ml").f64(c.ml);
  }
  if (version >= 3) b.u8(static_cast<uint8_t>(c.metric));
  if (version >= 7) {
    b.u8(c.flat_threshold ? 1 : 0);
    if (c.flat_threshold) b.mark("flat_threshold").u64(*c.flat_threshold);
  }
  if (version >= 8) b.u8(c.index_type == static_cast<uint8_t>(IndexKind::kIvf) ? 1 : 0);
  b.mark("ep_exists").u8(ep ? 1 : 0).mark("ep_id").id(ep.value_or(0));
  b.mark("node_count").u64(node_count);
}

// A node record holding f32 values (padded from version 4).
inline void layout_f32_node(LayoutBytes& b, uint16_t version, NodeId id,
                            const std::vector<uint64_t>& words, uint64_t offset,
                            const std::vector<float>& v,
                            const std::vector<std::vector<NodeId>>& layers) {
  b.mark("node id").id(id).bitset(words).mark("storage_offset").u64(offset);
  b.mark("vec_type").u8(1).mark("vec_len").u64(v.size());
  if (version >= 4) b.pad4();
  b.mark("f32 vec");
  for (float x : v) b.f32(x);
  b.mark("layer_count").u64(layers.size());
  for (const auto& l : layers) {
    b.mark("neighbor_count").u64(l.size()).mark("neighbor ids");
    for (NodeId n : l) b.id(n);
  }
}

}  // namespace zv::testing
