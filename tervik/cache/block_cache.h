// The shared cache of the trees of one database: table blocks (kind 0, read
// by table readers) and resolved blob values (kind 1, read by blob value
// resolution), bounded by total weight in bytes and split into independently
// locked shards. Lookups of one shard run in parallel; inserts take the
// shard's lock alone. Safe to share between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "tervik/block/block.h"
#include "tervik/core/slice.h"

namespace tervik {

// The two key spaces of the cache; a key's kind fixes the kind of its item.
enum class CacheKind : uint8_t {
  kTableBlock = 0,
  kBlob = 1,
};

struct BlockCacheKey {
  CacheKind kind = CacheKind::kTableBlock;
  uint64_t tree_id = 0;
  uint64_t file_id = 0;  // table id or blob file id
  uint64_t offset = 0;   // block handle offset or blob entry offset
  bool operator==(const BlockCacheKey&) const = default;
};

inline constexpr uint64_t kBlockCacheEstimatedItems = 10000;
inline constexpr uint64_t kBlockCacheMinItemsPerShard = 32;
inline constexpr size_t kBlockCacheMaxShards = 256;
// With more than one shard, this fraction (1 / n) of the capacity forms a
// separate shard for entries heavier than an ordinary shard: the whole
// filters and indexes of large tables, which would otherwise never be kept.
inline constexpr uint64_t kBlockCacheLargeShareDivisor = 4;
inline constexpr const char* kFatalInvalidCacheItem =
    "internal error: entered unreachable code: invalid cache item";

// The shard count for a machine of `processors` logical processors (0 counts
// as 1): the power of two at or above 4 x processors, halved while a shard
// would hold fewer than 32 of `estimated_items`, at most 256.
size_t block_cache_shard_count(uint64_t processors,
                               uint64_t estimated_items = kBlockCacheEstimatedItems);

class BlockCache {
 public:
  // 16 MiB: what a tree configuration asks for by default.
  static constexpr uint64_t kDefaultTreeCapacity = 16ull * 1024 * 1024;
  // 32 MiB: what the key-value engine gives all trees of one database.
  static constexpr uint64_t kDefaultDatabaseCapacity = 32ull * 1024 * 1024;

  // Shards by the processor count of this machine (read once per process).
  static std::shared_ptr<BlockCache> with_capacity_bytes(uint64_t bytes);
  // The same with an explicit shard count (at least 1).
  static std::shared_ptr<BlockCache> with_shards(uint64_t bytes, size_t shards);

  ~BlockCache();
  BlockCache(const BlockCache&) = delete;
  BlockCache& operator=(const BlockCache&) = delete;

  // Table blocks, keyed by (tree id, table id, block handle offset). An item
  // of the other kind under such a key is the fatal "invalid cache item".
  std::optional<Block> get_block(uint64_t tree_id, uint64_t table_id, uint64_t offset) const;
  void insert_block(uint64_t tree_id, uint64_t table_id, uint64_t offset, Block block);

  // Resolved blob values, keyed by (tree id, blob file id, entry offset).
  std::optional<Slice> get_blob(uint64_t tree_id, uint64_t blob_file_id, uint64_t offset) const;
  // Inserts or replaces the value; a replaced value is released.
  void insert_blob(uint64_t tree_id, uint64_t blob_file_id, uint64_t offset, Slice value);

  // Drops one entry, if cached.
  void remove(const BlockCacheKey& key);

  uint64_t capacity() const { return capacity_; }
  size_t shard_count() const { return shard_count_; }
  // Each ordinary shard holds at most this weight: the ceiling of what the
  // large-entry shard leaves of the capacity, divided by the shard count.
  uint64_t shard_capacity() const { return shard_capacity_; }
  // The large-entry shard's capacity: capacity / 4 with several shards, else
  // 0 (the one shard takes any entry up to the whole capacity).
  uint64_t large_shard_capacity() const { return large_capacity_; }
  // Current total weight and entry count over all shards.
  uint64_t weight() const;
  size_t size() const;

  // An entry weighs its payload (block bytes or value bytes), at least 1 so
  // that the entry count stays bounded too. An entry heavier than an ordinary
  // shard goes to the large-entry shard; one heavier than that is not kept.
  static uint64_t weigh(size_t payload_bytes) { return payload_bytes == 0 ? 1 : payload_bytes; }

 private:
  struct Shard;
  struct Item;

  BlockCache(uint64_t capacity, size_t shards);
  Shard& shard_for(const BlockCacheKey& key, uint64_t hash) const;
  std::optional<Item> lookup(const BlockCacheKey& key) const;
  void insert(const BlockCacheKey& key, Item item, uint64_t weight);

  const uint64_t capacity_;
  const size_t shard_count_;
  const uint64_t large_capacity_;
  const uint64_t shard_capacity_;
  std::unique_ptr<Shard[]> shards_;
  std::unique_ptr<Shard> large_;
};

}  // namespace tervik
