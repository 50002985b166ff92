// DatabaseConfig: what one database is opened with (its folder, the caches
// its trees share, journal limits and compression, the worker count) plus the
// settings only tests change (journal thresholds, the journal's file layer,
// and EngineHooks, the seams through which tests stop or fail chosen steps).
// A plain value, copied into the database's state.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "morva/src/error.h"
#include "morva/src/journal/writer.h"
#include "morva/src/keyspace_options.h"
#include "platform/file_system.h"
#include "tervik/cache/block_cache.h"
#include "tervik/compaction/strategy.h"
#include "tervik/config/descriptor_cache.h"
#include "tervik/core/compression_type.h"

namespace tervik {
class Tree;
}

namespace morva {

inline constexpr uint64_t kDefaultJournalSizeLimit = 512ull * 1024 * 1024;
inline constexpr uint64_t kDefaultJournalCompressionThreshold = 4096;
inline constexpr size_t kDefaultDescriptorCacheCapacity = 400;
inline constexpr size_t kMaxDefaultWorkerThreads = 4;

// Test seams; every one is empty in a database the engine opens for users.
struct EngineHooks {
  // Runs after each numbered step of a creation (tests end the process there).
  std::function<void(int step)> after_creation_step;
  // The options of a keyspace that Database::keyspace creates, instead of the
  // defaults; none keeps the defaults.
  std::function<std::optional<KeyspaceCreateOptions>(std::string_view name)> keyspace_options;
  // Runs in a keyspace's creation once its id is taken; an error fails it.
  std::function<MorvaStatus(uint64_t id)> keyspace_creation;
  // Replaces the tree's compaction run of the worker loop.
  std::function<tervik::TervikStatus(const tervik::Tree&, tervik::compaction::StrategyHandle,
                                     tervik::SeqNo gc_watermark)>
      compact;
  // Runs before each flush of sealed memtables (tests slow a flush here).
  std::function<void(std::string_view keyspace)> before_flush;
};

struct DatabaseConfig {
  // The defaults for `path`, made absolute (an empty path is the panic
  // "should be absolute path"); the worker count is the processor count, at
  // most 4, and 1 when it is reported as 0.
  explicit DatabaseConfig(const std::string& path);
  DatabaseConfig(const std::string& path, uint64_t processor_count);

  static size_t worker_threads_for(uint64_t processor_count);

  std::string path;
  std::shared_ptr<tervik::BlockCache> cache;
  std::shared_ptr<tervik::FileDescriptorCache> descriptor_cache;
  uint64_t journal_size_limit = kDefaultJournalSizeLimit;
  size_t worker_threads = 1;
  tervik::CompressionType journal_compression = tervik::CompressionType::kLz4;
  uint64_t journal_compression_threshold = kDefaultJournalCompressionThreshold;

  // Test settings.
  uint64_t journal_rotation_threshold = kJournalRotationThreshold;
  uint64_t journal_preallocated_size = kJournalPreallocatedSize;
  zv::FileSystem* journal_fs = &zv::FileSystem::os();
  EngineHooks hooks;
};

}  // namespace morva
