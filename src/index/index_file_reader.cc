#include <cmath>
#include <cstring>
#include <optional>

#include "platform/fill_message.h"
#include "platform/coding.h"
#include "platform/log.h"
#include "src/foundation/error.h"
#include "src/index/index_file.h"
#include "src/index/index_file_codec.h"
#include "src/index/ivf_index.h"

namespace zv {
namespace {

constexpr const char* kLogTarget = "zolva::index::file";
constexpr uint64_t kDefaultFlatThreshold = 10000;
constexpr size_t kMinFileBytes = 24;

IoError invalid(std::string msg) { return IoError(IoErrorKind::kInvalidData, std::move(msg)); }

// A cursor over the file's bytes; each read names the field it reads.
class Cursor {
 public:
  explicit Cursor(std::span<const uint8_t> d) : d_(d) {}
  size_t pos() const { return pos_; }
  void seek(size_t p) { pos_ = std::min(p, d_.size()); }
  uint64_t left() const { return d_.size() - pos_; }
  bool has_more() const { return pos_ < d_.size(); }

  IoResult<std::span<const uint8_t>> bytes(uint64_t n, const char* field) {
    if (n > left()) return make_unexpected(truncated(field));
    auto s = d_.subspan(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return s;
  }
  IoResult<uint64_t> u64(const char* field) {
    ZV_ASSIGN_OR_RETURN(auto b, bytes(8, field));
    return coding::get_le<uint64_t>(b.data());
  }
  IoResult<double> f64(const char* field) {
    ZV_ASSIGN_OR_RETURN(uint64_t bits, u64(field));
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
  }
  IoResult<uint8_t> u8(const char* field) {
    ZV_ASSIGN_OR_RETURN(auto b, bytes(1, field));
    return b[0];
  }
  IoResult<NodeId> id(const char* field) {
    ZV_ASSIGN_OR_RETURN(auto b, bytes(16, field));
    return make_node_id(coding::get_le<uint64_t>(b.data() + 8), coding::get_le<uint64_t>(b.data()));
  }
  std::span<const uint8_t> rest() const { return d_.subspan(pos_); }

 private:
  static IoError truncated(const char* field) {
    return IoError(IoErrorKind::kUnexpectedEof, fill(kTruncated, {field}));
  }
  std::span<const uint8_t> d_;
  size_t pos_ = 0;
};

IoStatus check_config(const HnswConfig& c, uint64_t max_level) {
  auto implausible = [](const char* field, const std::string& v) {
    return make_unexpected(invalid(fill(kConfigImplausible, {field, v})));
  };
  if (!std::isfinite(c.ml) || c.ml < 0.0 || c.ml > kMaxPlausibleMl)
    return implausible("config.ml", std::to_string(c.ml));
  if (c.m > kMaxPlausibleM) return implausible("config.m", std::to_string(c.m));
  if (c.m_max0 > kMaxPlausibleM) return implausible("config.m_max0", std::to_string(c.m_max0));
  if (c.ef_construction > kMaxPlausibleEf)
    return implausible("config.ef_construction", std::to_string(c.ef_construction));
  if (c.ef_search > kMaxPlausibleEf)
    return implausible("config.ef_search", std::to_string(c.ef_search));
  if (max_level > kMaxPlausibleLevel)
    return make_unexpected(invalid(fill(kMaxLevelImplausible, {std::to_string(max_level)})));
  return {};
}

IoResult<VectorRepr> read_vector(Cursor& cur, uint16_t version) {
  ZV_ASSIGN_OR_RETURN(uint8_t type, cur.u8("vec_type"));
  ZV_ASSIGN_OR_RETURN(uint64_t len, cur.u64("vec_len"));
  switch (type) {
    case 1: {
      if (len >= (uint64_t{1} << 62)) return make_unexpected(invalid(kVecLenOverflowF32));
      if (version >= 4) cur.seek((cur.pos() + 3) / 4 * 4);
      ZV_ASSIGN_OR_RETURN(auto b, cur.bytes(len * 4, "f32 vec"));
      std::vector<float> v(static_cast<size_t>(len));
      if (len) std::memcpy(v.data(), b.data(), b.size());
      return VectorRepr::f32(std::move(v));
    }
    case 2: {
      if (len >= (uint64_t{1} << 61)) return make_unexpected(invalid(kVecLenOverflowBinary));
      ZV_ASSIGN_OR_RETURN(auto b, cur.bytes(len * 8, "binary vec"));
      std::vector<uint64_t> w(static_cast<size_t>(len));
      for (size_t i = 0; i < w.size(); ++i) w[i] = coding::get_le<uint64_t>(b.data() + 8 * i);
      return VectorRepr::binary(std::move(w));
    }
    case 3: {
      ZV_ASSIGN_OR_RETURN(auto b, cur.bytes(len, "turbo vec"));
      return VectorRepr::turbo(std::vector<uint8_t>(b.begin(), b.end()));
    }
    case 4: {
      ZV_ASSIGN_OR_RETURN(auto b, cur.bytes(len, "sq8 vec"));
      ZV_ASSIGN_OR_RETURN(auto s, cur.bytes(4, "sq8 scale"));
      std::vector<int8_t> codes(b.size());
      if (!codes.empty()) std::memcpy(codes.data(), b.data(), b.size());
      float scale;
      std::memcpy(&scale, s.data(), 4);
      return VectorRepr::sq8(scale, std::move(codes));
    }
    default: return VectorRepr::none();
  }
}

}  // namespace

IoResult<std::unique_ptr<HnswIndex>> IndexFileCodec::read(std::span<const uint8_t> bytes,
                                                          IndexBacking backing) {
  if (bytes.size() < kMinFileBytes) return make_unexpected(invalid(kIndexTooSmall));
  Magic magic;
  std::memcpy(magic.data(), bytes.data(), 4);
  const uint16_t version = coding::get_le<uint16_t>(bytes.data() + 4);
  const uint64_t max_level = coding::get_le<uint64_t>(bytes.data() + 16);
  const Magic expected{kIndexMagic[0], kIndexMagic[1], kIndexMagic[2], kIndexMagic[3]};
  if (magic != expected || version > kIndexFileVersion) {
    const std::string hint =
        magic != expected
            ? fill(kMagicHint, {kIndexFormatMismatch, magic_byte_list(expected), magic_byte_list(magic)})
            : fill(kVersionHint, {kIndexFormatMismatch, std::to_string(version),
                                  std::to_string(kIndexFileVersion)});
    return make_unexpected(invalid(
        ZolvaError::incompatible_format(expected, kIndexFileVersion, magic, version, hint)
            .message()));
  }

  Cursor cur(bytes);
  cur.seek(24);
  HnswConfig cfg;
  cfg.adaptive_ef = false;
  if (version >= 2) {
    ZV_ASSIGN_OR_RETURN(cfg.m, cur.u64("config.m"));
    ZV_ASSIGN_OR_RETURN(cfg.m_max0, cur.u64("config.m_max0"));
    ZV_ASSIGN_OR_RETURN(cfg.ef_construction, cur.u64("config.ef_construction"));
    ZV_ASSIGN_OR_RETURN(cfg.ef_search, cur.u64("config.ef_search"));
    ZV_ASSIGN_OR_RETURN(cfg.ml, cur.f64("config.ml"));
  }
  ZV_TRY(check_config(cfg, max_level));
  cfg.metric = DistanceMetric::kCosine;
  if (version >= 3 && cur.has_more()) {
    const uint8_t m = cur.rest()[0];
    cur.seek(cur.pos() + 1);
    cfg.metric = m == 1 ? DistanceMetric::kEuclidean
                        : m == 2 ? DistanceMetric::kSparseDot : DistanceMetric::kCosine;
  }
  cfg.flat_threshold = kDefaultFlatThreshold;
  if (version >= 7 && cur.has_more()) {
    ZV_ASSIGN_OR_RETURN(uint8_t exists, cur.u8("flat_threshold_exists"));
    if (exists == 1) {
      ZV_ASSIGN_OR_RETURN(uint64_t t, cur.u64("flat_threshold"));
      cfg.flat_threshold = t;
    } else {
      cfg.flat_threshold = std::nullopt;
    }
  }
  cfg.index_type = static_cast<uint8_t>(IndexKind::kHnsw);
  if (version >= 8 && cur.has_more()) {
    ZV_ASSIGN_OR_RETURN(uint8_t t, cur.u8("index_type"));
    if (t == 1) cfg.index_type = static_cast<uint8_t>(IndexKind::kIvf);
  }
  ZV_ASSIGN_OR_RETURN(uint8_t ep_exists, cur.u8("ep_exists"));
  ZV_ASSIGN_OR_RETURN(NodeId ep_id, cur.id("ep_id"));
  ZV_ASSIGN_OR_RETURN(uint64_t node_count, cur.u64("node_count"));
  if (node_count > cur.left() / kMinNodeRecordBytes) {
    return make_unexpected(invalid(fill(
        kNodeCountImplausible, {std::to_string(node_count), std::to_string(cur.left())})));
  }

  // Records go straight into the index's slots: the only working memory is
  // what the bytes of one record describe, so a damaged file cannot make the
  // reader allocate beyond a small multiple of its size.
  auto index = std::make_unique<HnswIndex>(cfg, std::move(backing));
  NodeTable& table = index->table_;
  std::vector<uint32_t> record_slots;
  record_slots.reserve(static_cast<size_t>(node_count));
  std::vector<SlotList> lists;
  for (uint64_t i = 0; i < node_count; ++i) {
    HnswNode record;
    ZV_ASSIGN_OR_RETURN(record.id, cur.id("node id"));
    ZV_ASSIGN_OR_RETURN(DecodedFilterBitset bits, FilterBitset::decode(cur.rest()));
    cur.seek(cur.pos() + bits.bytes_used);
    record.filter = std::move(bits.bitset);
    ZV_ASSIGN_OR_RETURN(record.storage_offset, cur.u64("storage_offset"));
    ZV_ASSIGN_OR_RETURN(record.vector, read_vector(cur, version));
    ZV_ASSIGN_OR_RETURN(uint64_t layers, cur.u64("layer_count"));
    if (layers > cur.left() / 8)
      return make_unexpected(invalid(fill(kLayerCountImplausible, {std::to_string(layers)})));
    // No node has more layers than the graph has levels.
    if (layers > max_level + 1) {
      return make_unexpected(invalid(fill(
          kLayerCountAboveLevels, {std::to_string(layers), std::to_string(max_level + 1)})));
    }
    lists.clear();
    lists.resize(static_cast<size_t>(layers));
    for (SlotList& list : lists) {
      ZV_ASSIGN_OR_RETURN(uint64_t n, cur.u64("neighbor_count"));
      if (n >= (uint64_t{1} << 60)) return make_unexpected(invalid(kNeighborCountOverflow));
      ZV_ASSIGN_OR_RETURN(auto ids, cur.bytes(n * 16, "neighbor ids"));
      for (size_t k = 0; k < n; ++k) {
        list.push_back(table.intern(make_node_id(coding::get_le<uint64_t>(ids.data() + 16 * k + 8),
                                                 coding::get_le<uint64_t>(ids.data() + 16 * k))));
      }
    }
    if (cfg.metric != DistanceMetric::kSparseDot) {
      const CachedNorms norms = node_norms(cfg.metric, record.vector);
      record.inv_norm = norms.inv_norm;
      record.sq_norm = norms.sq_norm;
    }
    // A later record with the same id replaces an earlier one.
    const uint32_t s = table.intern(record.id);
    NodeSlot& slot = table.at(s);
    if (!slot.has_record) record_slots.push_back(s);
    slot.has_record = true;
    slot.record = std::move(record);
    slot.links.assign(lists.size(), std::nullopt);
    for (size_t l = 0; l < lists.size(); ++l) slot.links[l] = std::move(lists[l]);
  }

  std::unique_ptr<IvfIndex> ivf;
  if (version >= 8 && cur.has_more()) {
    const uint8_t present = cur.rest()[0];
    cur.seek(cur.pos() + 1);
    if (present == 1) {
      ZV_ASSIGN_OR_RETURN(uint64_t len, cur.u64("ivf_len"));
      ZV_ASSIGN_OR_RETURN(auto data, cur.bytes(len, "ivf_data"));
      auto decoded = IvfIndex::decode(data);
      // A blob built under another metric cannot serve this index's searches.
      if (decoded && decoded->metric() == cfg.metric) {
        ivf = std::make_unique<IvfIndex>(std::move(*decoded));
      } else {
        ZV_WARN(kLogTarget, kIvfDecodeFailed, {"message", kIvfDecodeFailed});
      }
    }
  }

  // Counts gathered densely from the final lists, stored into the slots once.
  std::vector<uint32_t> reverse(table.slot_count(), 0), layer0(table.slot_count(), 0);
  for (uint32_t s : record_slots) {
    NodeSlot& slot = table.at(s);
    for (size_t l = 0; l < slot.links.size(); ++l) {
      for (uint32_t ns : *slot.links[l]) {
        ++reverse[ns];
        if (l == 0) ++layer0[ns];
      }
    }
    slot.layer_count.store(slot.links.size(), std::memory_order_release);
    slot.record.flags = 0;
    slot.refresh_hint();
    if (slot.has_list(0)) {
      const SlotList list0 = std::move(*slot.links[0]);
      slot.set_list(0, list0);
    }
    index->account(record_heap_bytes(slot.record) + links_heap_bytes(slot));
  }
  for (uint32_t ns = 0; ns < reverse.size(); ++ns) {
    NodeSlot& slot = table.at(ns);
    slot.reverse_count.store(reverse[ns], std::memory_order_relaxed);
    slot.layer0_in.store(layer0[ns], std::memory_order_relaxed);
  }
  const uint64_t loaded = record_slots.size();
  index->records_.store(loaded, std::memory_order_release);
  index->node_count_.store(loaded, std::memory_order_release);
  index->mutations_.store(loaded, std::memory_order_release);
  index->max_level_.store(max_level, std::memory_order_release);
  if (ep_exists == 1) index->entry_slot_.store(table.intern(ep_id), std::memory_order_release);
  index->ivf_.index = std::move(ivf);
  index->ivf_.built_at = loaded;
  return index;
}

IoResult<std::unique_ptr<HnswIndex>> deserialize_index(std::span<const uint8_t> bytes,
                                                       IndexBacking backing) {
  return IndexFileCodec::read(bytes, std::move(backing));
}

}  // namespace zv
