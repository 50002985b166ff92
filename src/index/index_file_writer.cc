#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "platform/coding.h"
#include "src/index/index_file.h"
#include "src/index/index_file_codec.h"
#include "src/index/ivf_index.h"

namespace zv {
namespace {

// vec_type bytes of the node record.
constexpr uint8_t kVecNone = 0;
constexpr uint8_t kVecF32 = 1;
constexpr uint8_t kVecBinary = 2;
constexpr uint8_t kVecTurbo = 3;
constexpr uint8_t kVecSq8 = 4;

// The output: an image that is kept whole, or the buffered tail of a stream.
class Out {
 public:
  Out(std::string* buf, FsFile* file, uint64_t file_start)
      : buf_(buf), file_(file), file_start_(file_start) {}
  std::string* buf() { return buf_; }
  // Absolute offset of the next byte.
  uint64_t offset() const { return flushed_ + buf_->size(); }
  IoStatus maybe_flush() {
    if (!file_ || buf_->size() < kIndexStreamBuffer) return {};
    return flush();
  }
  IoStatus flush() {
    if (!file_ || buf_->empty()) return {};
    ZV_TRY(file_->write_at(buf_->data(), buf_->size(), file_start_ + flushed_));
    flushed_ += buf_->size();
    buf_->clear();
    return {};
  }
  // Overwrites 8 bytes at an absolute offset already produced.
  IoStatus patch_u64(uint64_t at, uint64_t v) {
    char b[8];
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
    if (at >= flushed_) {
      std::memcpy(buf_->data() + (at - flushed_), b, 8);
      return {};
    }
    return file_->write_at(b, 8, file_start_ + at);
  }

 private:
  std::string* buf_;
  FsFile* file_;
  uint64_t file_start_;
  uint64_t flushed_ = 0;
};

void put_id(std::string* d, NodeId id) {
  coding::put_u64_le(d, node_id_low(id));
  coding::put_u64_le(d, node_id_high(id));
}

// Ids of a list, 16 bytes each, low half first, written in one step.
void put_ids(std::string* d, const SlotList& list, const std::vector<NodeId>& ids) {
  const size_t at = d->size();
  d->resize(at + 16 * size_t{list.size()});
  char* out = d->data() + at;
  for (uint32_t n : list) {
    const uint64_t lo = node_id_low(ids[n]), hi = node_id_high(ids[n]);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(lo >> (8 * i));
    for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<char>(hi >> (8 * i));
    out += 16;
  }
}

void put_f32s(std::string* d, F32View v) {
  d->append(reinterpret_cast<const char*>(v.bytes()), v.size() * sizeof(float));
}

}  // namespace

std::vector<uint32_t> IndexFileCodec::bfs_slots(const HnswIndex& index, uint32_t slots) {
  const NodeTable& table = index.table_;
  std::vector<uint8_t> seen(slots, 0);
  std::vector<uint32_t> order;
  order.reserve(slots);
  const uint32_t ep = index.entry_slot_.load(std::memory_order_acquire);
  if (ep < slots) {
    seen[ep] = 1;
    order.push_back(ep);
  }
  // `order` doubles as the queue; nodes without a record are dropped after.
  for (size_t head = 0; head < order.size(); ++head) {
    NodeSlot& slot = table.at(order[head]);
    {
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record) continue;
    }
    const uint64_t layers = slot.layer_count.load(std::memory_order_acquire);
    SharedSpinGuard g(slot.links_lock);
    SlotList scratch;
    for (uint64_t l = layers; l-- > 0;) {
      if (!slot.has_list(l)) continue;
      for (uint32_t nb : slot.list_at(l, scratch)) {
        if (nb < slots && !seen[nb]) {
          seen[nb] = 1;
          order.push_back(nb);
        }
      }
    }
  }
  std::vector<uint32_t> rest;
  for (uint32_t s = 0; s < slots; ++s)
    if (!seen[s]) rest.push_back(s);
  std::sort(rest.begin(), rest.end(),
            [&](uint32_t a, uint32_t b) { return table.id_of(a) < table.id_of(b); });
  order.insert(order.end(), rest.begin(), rest.end());
  // Only slots holding a record are written.
  std::erase_if(order, [&](uint32_t s) {
    NodeSlot& slot = table.at(s);
    SharedSpinGuard g(slot.record_lock);
    return !slot.has_record;
  });
  return order;
}

IoStatus IndexFileCodec::write(const HnswIndex& index, std::string* image, FsFile* file,
                               uint64_t file_offset) {
  Out out(image, file, file_offset);
  std::string* d = out.buf();
  const HnswConfig cfg = index.config();
  d->append(reinterpret_cast<const char*>(kIndexMagic.data()), kIndexMagic.size());
  coding::put_u16_le(d, kIndexFileVersion);
  coding::put_u16_le(d, 0);
  coding::put_u64_le(d, now_ms());
  coding::put_u64_le(d, index.max_level_.load(std::memory_order_acquire));
  coding::put_u64_le(d, cfg.m);
  coding::put_u64_le(d, cfg.m_max0);
  coding::put_u64_le(d, cfg.ef_construction);
  coding::put_u64_le(d, cfg.ef_search);
  coding::put_f64_le(d, cfg.ml);
  coding::put_u8(d, static_cast<uint8_t>(cfg.metric));
  coding::put_u8(d, cfg.flat_threshold ? 1 : 0);
  if (cfg.flat_threshold) coding::put_u64_le(d, *cfg.flat_threshold);
  coding::put_u8(d, cfg.index_type == static_cast<uint8_t>(IndexKind::kIvf) ? 1 : 0);
  const std::optional<NodeId> ep = index.entry_point();
  coding::put_u8(d, ep ? 1 : 0);
  put_id(d, ep.value_or(0));
  const uint64_t count_at = out.offset();
  coding::put_u64_le(d, index.len());

  // The count in the header is patched to the records actually written, so
  // that the file stays readable even if the node map moved meanwhile.
  uint64_t written = 0;
  const NodeTable& table = index.table_;
  // Slot ids gathered densely once: neighbour lists hold slots, and reading
  // each id from its slot would miss the cache for every neighbour.
  const uint32_t slots = table.slot_count();
  std::vector<NodeId> ids(slots);
  for (uint32_t s = 0; s < slots; ++s) ids[s] = table.id_of(s);
  for (uint32_t s : bfs_slots(index, slots)) {
    NodeSlot& slot = table.at(s);
    const NodeId id = ids[s];
    {
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record) continue;
      const HnswNode& r = slot.record;
      put_id(d, id);
      r.filter.encode_to(d);
      coding::put_u64_le(d, r.storage_offset);
      const VectorRepr& v = r.vector;
      switch (v.kind()) {
        case VectorKind::kF32:
        case VectorKind::kMmapFull: {
          auto view = v.as_f32_slice();
          if (!view) return make_unexpected(IoError(IoErrorKind::kInvalidData, kMmapInvalidLen));
          coding::put_u8(d, kVecF32);
          coding::put_u64_le(d, view->size());
          const uint64_t pad = (4 - out.offset() % 4) % 4;
          d->append(pad, '\0');
          put_f32s(d, *view);
          break;
        }
        case VectorKind::kBinary: {
          const auto& w = v.as_binary()->words;
          coding::put_u8(d, kVecBinary);
          coding::put_u64_le(d, w.size());
          for (uint64_t x : w) coding::put_u64_le(d, x);
          break;
        }
        case VectorKind::kTurbo: {
          const auto& b = v.as_turbo()->bytes;
          coding::put_u8(d, kVecTurbo);
          coding::put_u64_le(d, b.size());
          d->append(reinterpret_cast<const char*>(b.data()), b.size());
          break;
        }
        case VectorKind::kSq8: {
          const Sq8Code& q = *v.as_sq8();
          coding::put_u8(d, kVecSq8);
          coding::put_u64_le(d, q.codes.size());
          d->append(reinterpret_cast<const char*>(q.codes.data()), q.codes.size());
          coding::put_f32_le(d, q.scale);
          break;
        }
        case VectorKind::kNone:
          coding::put_u8(d, kVecNone);
          coding::put_u64_le(d, 0);
          break;
      }
    }
    const uint64_t layers = slot.layer_count.load(std::memory_order_acquire);
    coding::put_u64_le(d, layers);
    {
      SharedSpinGuard g(slot.links_lock);
      SlotList scratch;
      for (uint64_t l = 0; l < layers; ++l) {
        if (!slot.has_list(l)) {
          coding::put_u64_le(d, 0);
          continue;
        }
        const SlotList& list = slot.list_at(l, scratch);
        coding::put_u64_le(d, list.size());
        bool known = true;
        for (uint32_t n : list) known = known && n < slots;
        if (known) {
          put_ids(d, list, ids);
        } else {
          for (uint32_t n : list) put_id(d, table.id_of(n));  // interned meanwhile
        }
      }
    }
    ++written;
    ZV_TRY(out.maybe_flush());
  }

  {
    std::scoped_lock lock(index.ivf_mu_);
    // A cache built before the last change would come back as current after
    // loading: only a current one is written.
    const auto& slot = index.ivf_;
    if (slot.index && slot.built_at == index.mutation_count()) {
      coding::put_u8(d, 1);
      std::string blob;
      slot.index->encode_to(&blob);
      coding::put_u64_le(d, blob.size());
      d->append(blob);
    } else {
      coding::put_u8(d, 0);
    }
  }
  ZV_TRY(out.patch_u64(count_at, written));
  return out.flush();
}

IoResult<std::string> serialize_index(const HnswIndex& index) {
  std::string image;
  image.reserve(128 + 256 * index.len());
  ZV_TRY(IndexFileCodec::write(index, &image, nullptr, 0));
  return image;
}

IoStatus stream_index(const HnswIndex& index, FsFile& file, uint64_t offset) {
  std::string buf;
  buf.reserve(2 * kIndexStreamBuffer);
  return IndexFileCodec::write(index, &buf, &file, offset);
}

}  // namespace zv
