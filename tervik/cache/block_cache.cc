#include "tervik/cache/block_cache.h"

#include <atomic>
#include <bit>
#include <list>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/panic.h"
#include "platform/sysinfo.h"

namespace tervik {

namespace {

uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xFF51AFD7ED558CCDull;
  h ^= h >> 33;
  h *= 0xC4CEB9FE1A85EC53ull;
  h ^= h >> 33;
  return h;
}

uint64_t hash_key(const BlockCacheKey& k) {
  uint64_t h = mix(k.tree_id ^ (static_cast<uint64_t>(k.kind) << 56));
  h = mix(h ^ k.file_id);
  return mix(h ^ k.offset);
}

struct KeyHash {
  size_t operator()(const BlockCacheKey& k) const { return static_cast<size_t>(hash_key(k)); }
};

uint64_t processors_once() {
  static const uint64_t n = zv::logical_processor_count();
  return n;
}

}  // namespace

size_t block_cache_shard_count(uint64_t processors, uint64_t estimated_items) {
  if (processors == 0) processors = 1;
  uint64_t shards = std::bit_ceil(processors * 4);
  while (shards > 1 && estimated_items / shards < kBlockCacheMinItemsPerShard) shards /= 2;
  if (shards > kBlockCacheMaxShards) shards = kBlockCacheMaxShards;
  return static_cast<size_t>(shards);
}

struct BlockCache::Item {
  std::variant<Block, Slice> value;
};

// One independently locked part of the cache, evicting by the clock rule:
// entries queue in insertion order; a lookup marks its entry referenced; an
// insert that needs room takes entries from the front, moving a referenced
// one to the back with its mark cleared, and dropping the first unmarked one.
struct alignas(64) BlockCache::Shard {
  struct Node {
    Node(const BlockCacheKey& k, Item i, uint64_t w) : key(k), item(std::move(i)), weight(w) {}
    BlockCacheKey key;
    Item item;
    uint64_t weight;
    std::atomic<bool> referenced{false};  // set by lookups under the shared lock
  };
  using Ring = std::list<Node>;

  uint64_t capacity = 0;
  mutable std::shared_mutex mu;  // protects ring, index and weight
  Ring ring;
  std::unordered_map<BlockCacheKey, Ring::iterator, KeyHash> index;
  uint64_t weight = 0;
  // Entries held, readable without the lock: lets lookups skip an empty shard.
  std::atomic<size_t> entries{0};

  std::optional<Item> get(const BlockCacheKey& key) const {
    std::shared_lock lock(mu);
    auto it = index.find(key);
    if (it == index.end()) return std::nullopt;
    Node& node = *it->second;
    if (!node.referenced.load(std::memory_order_relaxed)) {
      node.referenced.store(true, std::memory_order_relaxed);
    }
    return node.item;
  }

  // Evicted and replaced items are moved to *released so that they are freed
  // after the lock is dropped.
  void put(const BlockCacheKey& key, Item item, uint64_t w, std::vector<Item>* released) {
    std::unique_lock lock(mu);
    auto it = index.find(key);
    if (it != index.end()) {
      Node& node = *it->second;
      released->push_back(std::move(node.item));
      weight -= node.weight;
      ring.erase(it->second);
      index.erase(it);
    }
    if (w > capacity) {
      entries.store(index.size(), std::memory_order_relaxed);
      return;
    }
    while (weight + w > capacity) {
      Node& front = ring.front();
      if (front.referenced.load(std::memory_order_relaxed)) {
        front.referenced.store(false, std::memory_order_relaxed);
        ring.splice(ring.end(), ring, ring.begin());
        continue;
      }
      released->push_back(std::move(front.item));
      weight -= front.weight;
      index.erase(front.key);
      ring.pop_front();
    }
    ring.emplace_back(key, std::move(item), w);
    index.emplace(key, std::prev(ring.end()));
    weight += w;
    entries.store(index.size(), std::memory_order_relaxed);
  }

  void erase(const BlockCacheKey& key, std::vector<Item>* released) {
    std::unique_lock lock(mu);
    auto it = index.find(key);
    if (it == index.end()) return;
    released->push_back(std::move(it->second->item));
    weight -= it->second->weight;
    ring.erase(it->second);
    index.erase(it);
    entries.store(index.size(), std::memory_order_relaxed);
  }
};

namespace {

uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

}  // namespace

BlockCache::BlockCache(uint64_t capacity, size_t shards)
    : capacity_(capacity),
      shard_count_(shards == 0 ? 1 : shards),
      large_capacity_(shard_count_ > 1 ? capacity / kBlockCacheLargeShareDivisor : 0),
      shard_capacity_(ceil_div(capacity - large_capacity_, shard_count_)),
      shards_(std::make_unique<Shard[]>(shard_count_)),
      large_(std::make_unique<Shard>()) {
  for (size_t i = 0; i < shard_count_; ++i) shards_[i].capacity = shard_capacity_;
  large_->capacity = large_capacity_;
}

BlockCache::~BlockCache() = default;

std::shared_ptr<BlockCache> BlockCache::with_capacity_bytes(uint64_t bytes) {
  return with_shards(bytes, block_cache_shard_count(processors_once()));
}

std::shared_ptr<BlockCache> BlockCache::with_shards(uint64_t bytes, size_t shards) {
  return std::shared_ptr<BlockCache>(new BlockCache(bytes, shards));
}

BlockCache::Shard& BlockCache::shard_for(const BlockCacheKey& key, uint64_t hash) const {
  (void)key;
  // The high bits pick the shard; the map inside uses the whole hash.
  return shards_[static_cast<size_t>((hash >> 32) % shard_count_)];
}

std::optional<BlockCache::Item> BlockCache::lookup(const BlockCacheKey& key) const {
  auto item = shard_for(key, hash_key(key)).get(key);
  if (item || large_->entries.load(std::memory_order_relaxed) == 0) return item;
  return large_->get(key);
}

void BlockCache::insert(const BlockCacheKey& key, Item item, uint64_t w) {
  std::vector<Item> released;
  Shard& ordinary = shard_for(key, hash_key(key));
  // An entry lives in one shard: a replacement of another weight class
  // removes the old one first.
  if (w > shard_capacity_ && large_capacity_ > 0) {
    ordinary.erase(key, &released);
    large_->put(key, std::move(item), w, &released);
  } else {
    if (large_->entries.load(std::memory_order_relaxed) != 0) large_->erase(key, &released);
    ordinary.put(key, std::move(item), w, &released);
  }
}

std::optional<Block> BlockCache::get_block(uint64_t tree_id, uint64_t table_id,
                                           uint64_t offset) const {
  auto item = lookup({CacheKind::kTableBlock, tree_id, table_id, offset});
  if (!item) return std::nullopt;
  auto* block = std::get_if<Block>(&item->value);
  if (block == nullptr) zv::panic(kFatalInvalidCacheItem);
  return std::move(*block);
}

void BlockCache::insert_block(uint64_t tree_id, uint64_t table_id, uint64_t offset,
                              Block block) {
  uint64_t w = weigh(block.data.size());
  insert({CacheKind::kTableBlock, tree_id, table_id, offset}, Item{std::move(block)}, w);
}

std::optional<Slice> BlockCache::get_blob(uint64_t tree_id, uint64_t blob_file_id,
                                          uint64_t offset) const {
  auto item = lookup({CacheKind::kBlob, tree_id, blob_file_id, offset});
  if (!item) return std::nullopt;
  auto* value = std::get_if<Slice>(&item->value);
  if (value == nullptr) zv::panic(kFatalInvalidCacheItem);
  return std::move(*value);
}

void BlockCache::insert_blob(uint64_t tree_id, uint64_t blob_file_id, uint64_t offset,
                             Slice value) {
  uint64_t w = weigh(value.size());
  insert({CacheKind::kBlob, tree_id, blob_file_id, offset}, Item{std::move(value)}, w);
}

void BlockCache::remove(const BlockCacheKey& key) {
  std::vector<Item> released;
  shard_for(key, hash_key(key)).erase(key, &released);
  large_->erase(key, &released);
}

uint64_t BlockCache::weight() const {
  uint64_t total = 0;
  for (size_t i = 0; i < shard_count_; ++i) {
    std::shared_lock lock(shards_[i].mu);
    total += shards_[i].weight;
  }
  std::shared_lock lock(large_->mu);
  return total + large_->weight;
}

size_t BlockCache::size() const {
  size_t total = 0;
  for (size_t i = 0; i < shard_count_; ++i) {
    std::shared_lock lock(shards_[i].mu);
    total += shards_[i].index.size();
  }
  std::shared_lock lock(large_->mu);
  return total + large_->index.size();
}

}  // namespace tervik
