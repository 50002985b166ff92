#include "src/storage/storage_engine.h"

#include <chrono>
#include <limits>
#include <thread>

#include "src/backends/in_memory_backend.h"
#include "src/index/hnsw_index.h"
#include "src/runtime/hardware.h"

namespace zv {

StorageEngine::StorageEngine(EngineParts parts)
    : config(std::move(parts.config)),
      lock_file(std::move(parts.lock_file)),
      data_dir(std::move(parts.data_dir)),
      tier_slots(parts.tier_slots),
      tier_files(std::move(parts.tier_files)),
      backend(std::move(parts.backend)),
      access_tracker(std::make_shared<AccessTracker>()),
      scalar_index(std::move(parts.scalar_index)),
      wal(std::move(parts.wal)),
      memory_budget(std::make_shared<MemoryBudget>(MemoryBudget::limit_for(config))),
      wal_records_replayed(parts.wal_records_replayed),
      node_cache_capacity(HardwareCapabilities::init_global().total_memory_bytes / 6144),
      vector_index_(std::move(parts.vector_index)) {
  segments.reserve(parts.segments.size());
  for (VFile& f : parts.segments) segments.push_back(std::make_unique<VectorStoreSegment>(std::move(f)));
  field_stats.value = std::move(parts.field_stats);
  labels.value = std::move(parts.labels);
}

std::shared_ptr<StorageEngine> StorageEngine::assemble(EngineParts parts) {
  return std::shared_ptr<StorageEngine>(new StorageEngine(std::move(parts)));
}

EngineParts StorageEngine::memory_mode_parts(Config config) {
  EngineParts parts;
  parts.config = std::move(config);
  parts.segments.push_back(VFile::in_memory(kDefaultSegmentBytes));
  parts.backend = std::make_shared<InMemoryBackend>();
  parts.vector_index = std::make_shared<HnswIndex>(HnswConfig{}, IndexBacking::in_memory());
  parts.scalar_index = std::make_shared<ScalarIndex>();
  return parts;
}

ZolvaResult<StorageEngine::InsertGuard> StorageEngine::lock_insert(std::string_view caller) {
  InsertGuard guard(insert_lock_, std::try_to_lock);
  if (guard.owns_lock()) return guard;
  const uint64_t ms = config.insert_lock_timeout_ms;
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
  if (ms >= static_cast<uint64_t>(room.count())) {
    guard.lock();  // a deadline past the clock's range: wait without limit
    return guard;
  }
  // Polled rather than a timed wait on the mutex: the clock-based timed lock
  // of the C library escapes the thread checker, which then reports every
  // later unlock as foreign. Backs off from yields to sleeps of 200 us.
  const auto deadline = now + std::chrono::milliseconds(ms);
  for (unsigned round = 0;; ++round) {
    if (guard.try_lock()) return guard;
    const auto t = Clock::now();
    if (t >= deadline) break;
    if (round < 64) {
      std::this_thread::yield();
    } else {
      const auto pause = std::min<Clock::duration>(std::chrono::microseconds(200), deadline - t);
      std::this_thread::sleep_for(pause);
    }
  }
  return make_unexpected(
      ZolvaError::timeout("acquire insert_lock in " + std::string(caller), ms));
}

ZolvaResult<std::unique_lock<std::shared_mutex>> StorageEngine::lock_segment0() {
  if (segments.empty())
    return make_unexpected(ZolvaError::generic("corrupt storage: vector_store has no segment 0"));
  return std::unique_lock<std::shared_mutex>(segments[0]->lock);
}

ZolvaResult<const VectorStoreSegment*> StorageEngine::segment_for(uint64_t offset,
                                                                  NodeId id) const {
  const uint64_t seg = offset & kSegmentMask;
  if (seg >= segments.size())
    return make_unexpected(ZolvaError::generic("corrupt storage: segment " + std::to_string(seg) +
                                               " out of range for node " + node_id_to_string(id)));
  return static_cast<const VectorStoreSegment*>(segments[seg].get());
}

std::optional<NodeId> parse_scan_cursor(std::string_view cursor) {
  if (cursor.empty()) return std::nullopt;
  std::string_view digits = cursor;
  if (digits.front() == '+') digits.remove_prefix(1);
  if (digits.empty()) return NodeId{0};
  NodeId v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return NodeId{0};
    const unsigned d = static_cast<unsigned>(c - '0');
    if (v > (kMaxNodeId - d) / 10) return NodeId{0};
    v = v * 10 + d;
  }
  return v;
}

}  // namespace zv
