#include "src/storage/rebuild_from_store.h"

#include <tbb/parallel_for.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>

#include "platform/coding.h"
#include "platform/fill_message.h"
#include "platform/log.h"
#include "src/index/hnsw_index.h"
#include "src/index/node_table.h"
#include "src/storage/stored_payload.h"

namespace zv {

using namespace ::zv::coding;

namespace {

constexpr const char* kLogTarget = "zivir::storage::rebuild";

// True when `len` bytes at `offset` lie within the first `cap` bytes.
bool within(uint64_t offset, uint64_t len, uint64_t cap) {
  return offset <= cap && len <= cap - offset;
}

std::string zero_norm_message(NodeId id) {
  return fill(kZeroNormNodeMessage, {node_id_to_string(id)});
}

}  // namespace

bool is_zero_norm_refusal(const ZolvaError& e, NodeId id) {
  const auto* t = e.as<ZolvaError::InvalidInput>();
  return t && t->text == zero_norm_message(id);
}

namespace {

// Whether the rebuild reads a vector for this header: a readable payload of
// one of the five kinds with at least one unit.
bool vector_readable(std::span<const uint8_t> bytes, const NodeRecordHeader& h) {
  return h.vector_len != 0 && h.kind() <= 4 && payload_readable(bytes, h);
}

}  // namespace

VectorRepr read_stored_vector(const VFile& segment, const NodeRecordHeader& h) {
  const std::span<const uint8_t> bytes = segment.bytes();
  return vector_readable(bytes, h) ? copy_payload(bytes, h) : VectorRepr::none();
}

namespace {

// A record found by the walk.
struct WalkedRecord {
  NodeRecordHeader header;
  uint64_t pos;
};

// For each id, the index of its last record in walk order: an open-addressing
// table sized once for every record, that later records of an id overwrite.
class NewestRecords {
 public:
  explicit NewestRecords(const std::vector<WalkedRecord>& records) {
    size_t cap = 16;
    while (cap < 2 * records.size()) cap <<= 1;
    slots_.assign(cap, Slot{});
    for (size_t i = 0; i < records.size(); ++i) {
      const NodeId id = records[i].header.node_id;
      slot_of(id) = Slot{id, i};
    }
  }
  bool is_newest(NodeId id, size_t index) { return slot_of(id).index == index; }

 private:
  static constexpr size_t kEmpty = SIZE_MAX;
  struct Slot {
    NodeId id = 0;
    size_t index = kEmpty;
  };
  Slot& slot_of(NodeId id) {
    const size_t mask = slots_.size() - 1;
    for (size_t i = NodeIdHash{}(id) & mask;; i = (i + 1) & mask)
      if (slots_[i].index == kEmpty || slots_[i].id == id) return slots_[i];
  }
  std::vector<Slot> slots_;
};

}  // namespace

void walk_store_records(const VFile& segment,
                        const std::function<void(const NodeRecordHeader&, uint64_t)>& visit) {
  const uint64_t end = segment.write_offset();
  const uint64_t cap = segment.capacity();
  if (end < 2 * kNodeHeaderLen) return;
  uint64_t p = kSegmentHeaderLen;
  while (p <= end - kNodeHeaderLen) {
    std::optional<NodeRecordHeader> h;
    if (within(p, kNodeHeaderLen, cap)) h = segment.node_header_at(p);
    if (!h) {
      p += kNodeHeaderLen;
      continue;
    }
    if (h->node_id != 0) visit(*h, p);
    const uint64_t next =
        saturating_add(saturating_add(p, kNodeHeaderLen), round_up_64(h->payload_bytes()));
    if (next <= p) break;
    p = next;
  }
}

StoreScan scan_store_for_rebuild(const VFile& segment) {
  StoreScan scan;
  // Records are appended in write order, so the last one of an id is its
  // newest version; older versions are never marked.
  std::vector<WalkedRecord> records;  // records with an id, in file order
  walk_store_records(segment, [&](const NodeRecordHeader& h, uint64_t p) {
    ++scan.scanned_nodes;
    if (h.deleted()) {
      ++scan.skipped_tombstones;
    } else if (vector_readable(segment.bytes(), h)) {
      ++scan.indexed_vectors;
    }
    records.push_back(WalkedRecord{h, p});
  });
  NewestRecords newest(records);
  scan.items.reserve(records.size());
  for (size_t i = 0; i < records.size(); ++i) {
    const NodeRecordHeader& h = records[i].header;
    if (h.deleted() || !newest.is_newest(h.node_id, i)) continue;
    scan.items.push_back(RebuildItem{h.node_id, h.filter_word0, h.filter_word1,
                                     read_stored_vector(segment, h), records[i].pos});
  }
  return scan;
}

ZolvaStatus add_rebuild_items(VectorIndexPort& index, std::vector<RebuildItem>& items) {
  std::atomic<bool> failed{false};
  std::mutex mu;
  size_t first_failed = items.size();
  std::optional<ZolvaError> first_error;
  auto add_one = [&](size_t i) -> std::optional<ZolvaError> {
    RebuildItem& it = items[i];
    FilterBitset filter(it.filter_word1 != 0 ? std::vector<uint64_t>{it.filter_word0, it.filter_word1}
                                             : std::vector<uint64_t>{it.filter_word0});
    const uint64_t level = index.random_level();
    auto r = index.add_at_level(it.id, filter, it.vector, it.storage_offset, level);
    if (r.ok()) return std::nullopt;
    if (!is_zero_norm_refusal(r.error(), it.id)) return std::move(r).error();
    // A vector replaced in place by a zero-norm one is stored and served;
    // refusing it here would make the database unopenable. The node stays
    // readable and is not found by vector search.
    ZV_WARN(kLogTarget, "stored vector has zero norm under cosine; node indexed without a vector",
            {"node_id", node_id_to_string(it.id)});
    auto again = index.add_at_level(it.id, filter, VectorRepr::none(), it.storage_offset, level);
    if (again.ok()) return std::nullopt;
    return std::move(again).error();
  };
  tbb::parallel_for(tbb::blocked_range<size_t>(0, items.size()),
                    [&](const tbb::blocked_range<size_t>& r) {
                      for (size_t i = r.begin(); i != r.end(); ++i) {
                        if (failed.load(std::memory_order_relaxed)) return;
                        if (auto e = add_one(i)) {
                          std::scoped_lock lock(mu);
                          if (i < first_failed) {
                            first_failed = i;
                            first_error = std::move(e);
                          }
                          failed.store(true, std::memory_order_relaxed);
                          return;
                        }
                      }
                    });
  if (first_error) return make_unexpected(std::move(*first_error));
  return {};
}

ZolvaResult<RebuildReport> rebuild_index_parallel(VectorIndexPort& index, const VFile& segment,
                                                  const std::string& index_path) {
  const auto start = std::chrono::steady_clock::now();
  StoreScan scan = scan_store_for_rebuild(segment);
  ZV_TRY(add_rebuild_items(index, scan.items));
  RebuildReport report;
  report.index_path = index_path;
  report.scanned_nodes = scan.scanned_nodes;
  report.indexed_vectors = scan.indexed_vectors;
  report.skipped_tombstones = scan.skipped_tombstones;
  report.duration_ms = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                 std::chrono::steady_clock::now() - start)
                                                 .count());
  report.success = true;
  return report;
}

}  // namespace zv
