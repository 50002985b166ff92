#include "src/storage/engine_open.h"

#include <algorithm>
#include <chrono>
#include <unordered_set>

#include "platform/fs.h"
#include "platform/log.h"
#include "src/index/hnsw_index.h"
#include "src/index/index_persistence.h"
#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/runtime/hardware.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/checkpoint_store.h"
#include "src/storage/edge_labels.h"
#include "src/storage/path_check.h"
#include "src/storage/index_rebuild.h"
#include "src/storage/memory_gauges.h"
#include "src/storage/schema_marker.h"
#include "src/storage/storage_engine.h"
#include "src/storage/wal_replay.h"

namespace zv {
namespace {

constexpr const char* kLogTarget = "zivir::storage::engine::init";
constexpr uint32_t kTierCount = 4;
using Clock = std::chrono::steady_clock;

void info(std::string_view message, log::Fields fields = {}) {
  if (log::enabled(log::Level::kInfo)) log::emit(log::Level::kInfo, kLogTarget, message, std::move(fields));
}

uint64_t ms_since(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

ZolvaError io_error(IoError e) { return ZolvaError::io(std::move(e)); }

std::string busy_message(const std::string& path, bool read_only) {
  return read_only ? "Database at '" + path +
                         "' is locked exclusively by another process (writer). Cannot acquire "
                         "shared read-only lock within timeout."
                   : "Database at '" + path +
                         "' is locked by another process. Cannot acquire exclusive writer lock "
                         "within timeout.";
}

// Milliseconds spent in each step of one open, reported in a debug event at
// its end (the open benchmark reads them).
class StepTimes {
 public:
  void mark(const char* step) {
    const auto now = Clock::now();
    fields_.emplace_back(step, std::to_string(std::chrono::duration<double, std::milli>(now - last_).count()));
    last_ = now;
  }
  void emit() {
    if (log::enabled(log::Level::kDebug))
      log::emit(log::Level::kDebug, kLogTarget, kOpenStepTimesEvent, std::move(fields_));
  }

 private:
  Clock::time_point last_ = Clock::now();
  log::Fields fields_;
};

// The index file copied or mapped, else a fresh index (backed by the file's
// path when mapping was decided).
std::shared_ptr<VectorIndexPort> load_or_fresh_index(const Config& cfg, const std::string& path,
                                                     uint64_t memory_limit) {
  const auto& hw = HardwareCapabilities::init_global();
  const bool map = cfg.index_mmap && (cfg.index_mmap_always ||
                                      hw.profile == HardwareProfile::kLowResource ||
                                      memory_limit < kMapBelowMemoryBytes);
  std::shared_ptr<VectorIndexPort> index;
  if (auto loaded = load_vector_index(path, map)) {
    check_loaded_integrity(*loaded);
    if (map) info("HNSW Resource Governance: MMap backend activated (cold-start)", {{"backend", "mmap"}});
    index = std::move(loaded);
  } else if (map) {
    index = std::make_shared<HnswIndex>(HnswConfig{}, IndexBacking::unmapped(path));
    info("HNSW Resource Governance: MMap backend activated (fresh)", {{"backend", "mmap"}});
  } else {
    index = std::make_shared<HnswIndex>(HnswConfig{}, IndexBacking::in_memory());
    info("HNSW Performance Mode: InMemory backend", {{"backend", "in-memory"}});
  }
  if (cfg.flat_threshold) index->set_flat_threshold(cfg.flat_threshold);
  return index;
}

void add_tier(EngineParts& parts, VFile file, std::string path, uint8_t tier) {
  parts.tier_slots[tier] = static_cast<uint32_t>(parts.segments.size());
  parts.segments.push_back(std::move(file));
  TierFile t;
  t.path = std::move(path);
  t.current_tier = tier;
  t.home_tier = tier;
  parts.tier_files.push_back(std::move(t));
}

ZolvaStatus open_tiers(EngineParts& parts, const std::string& data_dir, bool read_only) {
  const std::string legacy = fs::join(data_dir, kLegacyStoreName);
  if (read_only) {
    for (uint32_t tier = 0; tier < kTierCount; ++tier) {
      const std::string path = fs::join(data_dir, tier_file_name(tier));
      if (!fs::exists(path)) continue;
      ZV_ASSIGN_OR_RETURN(VFile f, VFile::open(path, 0, true));
      add_tier(parts, std::move(f), path, static_cast<uint8_t>(tier));
    }
    if (parts.segments.empty()) {
      ZV_ASSIGN_OR_RETURN(VFile f, VFile::open(legacy, 0, true));
      add_tier(parts, std::move(f), fs::join(data_dir, tier_file_name(0)), 0);
    }
    return {};
  }
  const std::string l0 = fs::join(data_dir, tier_file_name(0));
  if (fs::exists(legacy) && !fs::exists(l0)) {
    auto moved = fs::rename(legacy, l0);
    if (!moved.ok()) return make_unexpected(io_error(std::move(moved).error()));
    info("Migrated legacy vector_store.zolva \xE2\x86\x92 " + l0, {});
  }
  for (uint32_t tier = 0; tier < kTierCount; ++tier) {
    const std::string path = fs::join(data_dir, tier_file_name(tier));
    ZV_ASSIGN_OR_RETURN(VFile f, VFile::open(path, kDefaultSegmentBytes, false));
    add_tier(parts, std::move(f), path, static_cast<uint8_t>(tier));
  }
  return {};
}

// After the replay, partition 0 names every node an acknowledged write left
// (what the backend kept, plus the log after the checkpoint). A node the
// rebuild took from the store that it does not name was appended by a write
// that never reached the log (a batch stopped between its store append and
// its log append): it leaves the index, and its store record is voided so
// that no later rebuild takes it again.
ZolvaStatus drop_unlogged_nodes(EngineParts& parts) {
  VectorIndexPort& index = *parts.vector_index;
  const std::vector<NodeId> ids = index.node_ids();
  std::vector<std::string> keys;
  keys.reserve(ids.size());
  for (NodeId id : ids) keys.push_back(node_key(id));
  ZV_ASSIGN_OR_RETURN(const std::vector<KvPair> found,
                      parts.backend->multi_get(Partition::kDefault, keys));
  if (found.size() == ids.size()) return {};
  std::unordered_set<std::string> named;
  named.reserve(found.size());
  for (const KvPair& kv : found) named.insert(kv.key);
  uint64_t dropped = 0;
  for (size_t i = 0; i < ids.size(); ++i) {
    if (named.count(keys[i])) continue;
    const std::optional<uint64_t> off = index.storage_offset(ids[i]);
    index.remove(ids[i]);
    ++dropped;
    if (!off || (*off & kSegmentMask) != 0) continue;
    VFile& f = parts.segments[0];
    if (std::optional<NodeRecordHeader> h = f.node_header_at(*off); h && h->node_id == ids[i]) {
      h->flags |= kRecordDeletedFlag;
      h->node_id = 0;
      ZV_TRY(f.write_node_header(*off, *h));
    }
  }
  if (index.entry_point() && !index.contains(*index.entry_point()))
    index.set_entry_point(index.top_level_node().value_or(kMaxNodeId));
  ZV_WARN(kLogTarget, "Store records of writes that never reached the log left out of the index",
          {"nodes", std::to_string(dropped)});
  return {};
}

// Counts the field values of every stored node; a failed scan leaves the
// statistics empty (the open goes on).
FieldStats field_stats_of(StorageBackend& backend) {
  FieldStats stats;
  auto pairs = backend.scan_all(Partition::kDefault);
  if (!pairs.ok()) return stats;
  for (const KvPair& kv : pairs.value()) {
    auto meta = decode_node_metadata(kv.value);
    if (!meta.ok()) continue;
    EngineNode node;
    node.fields = std::move(meta.value().fields);
    stats.count_node(node);
  }
  stats.trim();
  return stats;
}

void record_gauges(StorageEngine& engine, Clock::time_point start, const ReplayFigures& replay) {
  auto& c = OperationalCounters::global();
  c.startup_ms.max(ms_since(start));
  c.wal_replay_ms.max(replay.duration_ms);
  c.wal_records_replayed.max(replay.replayed);
  refresh_memory_gauges(engine);
}

void warn_if_index_large(const VectorIndexPort& index, uint64_t memory_limit) {
  const uint64_t nodes = index.len();
  const uint64_t estimate = index.memory_usage();
  if (!index_memory_warning_due(nodes, estimate, memory_limit)) return;
  ZV_WARN(kLogTarget, "HNSW index exceeds 50% of memory budget", {"hnsw_nodes", std::to_string(nodes)},
          {"estimated_mb", std::to_string(estimate / 1048576)},
          {"effective_mb", std::to_string(memory_limit / 1048576)});
}

// Reads the entry point and its top-level neighbours once, warming the
// caches the first searches go through.
void read_entry_region(StorageEngine& engine) {
  const auto index = engine.vector_index();
  const auto entry = index->entry_point();
  if (!entry) return;
  std::vector<NodeId> ids{*entry};
  const uint64_t top = index->max_level();
  if (top != 0) {
    for (NodeId n : index->neighbors(*entry, top))
      if (std::find(ids.begin(), ids.end(), n) == ids.end()) ids.push_back(n);
  }
  for (NodeId id : ids) (void)engine.get(id);
}

// Steps after the parts exist, in both modes.
ZolvaResult<std::shared_ptr<StorageEngine>> finish_open(EngineParts parts, Clock::time_point start,
                                                        const ReplayFigures& replay,
                                                        uint64_t memory_limit, StepTimes& times) {
  const auto index = parts.vector_index;
  warn_if_index_large(*index, memory_limit);
  parts.field_stats = field_stats_of(*parts.backend);
  times.mark("field_stats");
  if (!parts.scalar_index) parts.scalar_index = std::make_shared<ScalarIndex>();
  std::shared_ptr<StorageEngine> engine = StorageEngine::assemble(std::move(parts));
  record_gauges(*engine, start, replay);
  read_entry_region(*engine);
  times.mark("gauges_and_entry_reads");
  ZV_TRY(engine->rebuild_scalar_index());
  times.mark("scalar_index");
  times.emit();
  return engine;
}

}  // namespace

bool index_memory_warning_due(uint64_t nodes, uint64_t estimate, uint64_t memory_limit) {
  return nodes >= kMemoryWarningMinNodes && estimate > memory_limit / 2;
}

std::string tier_file_name(uint32_t tier) { return "vstore_L" + std::to_string(tier) + ".zolva"; }

ZolvaResult<std::shared_ptr<StorageEngine>> StorageEngine::open(const std::string& path,
                                                                std::optional<Config> config) {
  return open(path, std::move(config), EngineOpenSeams{});
}

ZolvaResult<std::shared_ptr<StorageEngine>> StorageEngine::open(const std::string& path,
                                                                std::optional<Config> config,
                                                                const EngineOpenSeams& seams) {
  const auto start = Clock::now();
  StepTimes times;
  Config cfg = config ? std::move(*config) : Config::from_env();
  const auto& hw = HardwareCapabilities::init_global();
  const uint64_t memory_limit = cfg.memory_limit.value_or(hw.total_memory_bytes);
  ZV_TRY(validate_storage_path(path));

  if (cfg.backend == BackendKind::kInMemory)
    return finish_open(memory_mode_parts(std::move(cfg)), start, ReplayFigures{}, memory_limit, times);

  const bool read_only = cfg.read_only;
  if (read_only) {
    if (!fs::exists(path)) return make_unexpected(ZolvaError::not_found("database_path", path));
  } else if (auto made = fs::create_dir_all(path); !made.ok()) {
    return make_unexpected(io_error(std::move(made).error()));
  }

  const std::string lock_path = fs::join(path, kLockFileName);
  OpenOptions lock_opts;
  lock_opts.read = true;
  lock_opts.write = !read_only;
  lock_opts.create = !read_only;
  auto lock_file = File::open(lock_path, lock_opts);
  if (!lock_file.ok())
    return make_unexpected(read_only ? ZolvaError::not_found("lock_file", lock_path)
                                     : io_error(std::move(lock_file).error()));
  // The file is never locked: the backend's own lock keeps other processes
  // out. What remains is the configured wait, which a timeout of 0 fails.
  const auto t0 = Clock::now();
  const auto t1 = Clock::now();
  if (t1 - t0 >= std::chrono::milliseconds(cfg.file_lock_timeout_ms))
    return make_unexpected(ZolvaError::database_busy(busy_message(path, read_only)));

  if (read_only) {
    ZV_TRY(schema::require(path));
  } else {
    ZV_ASSIGN_OR_RETURN(schema::SchemaHeader header, schema::ensure(path));
    info("Storage schema: version=" + std::to_string(header.version) + " flags=0", {});
  }

  times.mark("directory_lock_marker");
  EngineParts parts;
  ZV_ASSIGN_OR_RETURN(parts.backend, create_backend(seams.factories, cfg.backend, path, cfg));
  parts.data_dir = fs::join(path, kDataDirName);
  if (read_only) {
    if (!fs::exists(parts.data_dir))
      return make_unexpected(ZolvaError::not_found("data_directory", parts.data_dir));
  } else if (auto made = fs::create_dir_all(parts.data_dir); !made.ok()) {
    return make_unexpected(io_error(std::move(made).error()));
  }

  times.mark("backend");
  parts.vector_index = load_or_fresh_index(cfg, fs::join(parts.data_dir, kIndexFileName), memory_limit);
  times.mark("index_load");
  ZV_TRY(open_tiers(parts, parts.data_dir, read_only));
  times.mark("tiers");
  ZV_ASSIGN_OR_RETURN(const bool rebuilt, rebuild_index_at_open(parts, read_only));
  times.mark("index_rebuild");

  ReplayFigures replay;
  ZV_ASSIGN_OR_RETURN(const uint64_t checkpoint, read_checkpoint(*parts.backend));
  if (!read_only) {
    const wal::ShardedWalOptions wal_opts =
        seams.wal_options ? *seams.wal_options : wal::sharded_wal_options(cfg);
    const std::string wal_path = fs::join(parts.data_dir, kWalFileName);
    // A log that exists is replayed whatever the configured shard count;
    // the setting only shapes a new log.
    ZV_ASSIGN_OR_RETURN(replay, replay_wal(wal_path, cfg.wal_shards, checkpoint,
                                           ReplayTarget{parts.segments, *parts.vector_index,
                                                        *parts.backend},
                                           wal_opts.fs));
    times.mark("replay");
    parts.wal_records_replayed = replay.replayed;
    if (rebuilt) {
      ZV_TRY(drop_unlogged_nodes(parts));
      times.mark("unlogged_check");
    }
    ZV_ASSIGN_OR_RETURN(std::unique_ptr<wal::ShardedWal> log,
                        wal::ShardedWal::open(wal_path, cfg.wal_shards, wal_opts, checkpoint,
                                              make_checkpoint_store(parts.backend)));
    parts.wal = std::move(log);
  }
  ZV_ASSIGN_OR_RETURN(parts.labels, load_edge_labels(*parts.backend));
  times.mark("log_open_and_labels");

  parts.lock_file = std::move(lock_file).value();
  parts.config = std::move(cfg);
  return finish_open(std::move(parts), start, replay, memory_limit, times);
}

}  // namespace zv
