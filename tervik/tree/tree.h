// The handle of one open LSM tree: the write path (entries, tombstones,
// rotation, clearing), installs of derived versions (table registration,
// clear), point reads at a snapshot, the highest-seqno queries and the flush
// of sealed memtables into level-0 tables. Cheap to copy (one shared
// pointer); every operation is safe to call from any thread. Flushes must be
// serialised by the caller through lock_flush().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tervik/compaction/strategy.h"
#include "tervik/core/error.h"
#include "tervik/core/internal_value.h"
#include "tervik/core/read_item.h"
#include "tervik/tree/tree_inner.h"
#include "tervik/tree/tree_iter.h"
#include "tervik/version/version_fs.h"

namespace tervik {

class MultiWriter;

inline constexpr const char* kAbstractTreeTarget = "tervik::abstract_tree";
inline constexpr const char* kLegacyFolderEntry = "version";
inline constexpr const char* kLogLegacyTree =
    "It looks like you are trying to open a V1 database - the database needs a manual migration, "
    "however a migration tool is not provided, as V1 is extremely outdated.";
inline constexpr uint64_t kFlushTargetTableSize = 64ull << 20;

class Tree {
 public:
  // Opens the tree in the configuration's folder, or creates an empty one
  // there. `fs` writes version files (tests inject failures through it) and
  // must outlive the tree.
  static TervikResult<Tree> open(TreeConfig config, VersionFs& fs = VersionFs::os());

  // Inserts into the active memtable; returns (item size, new memtable size).
  std::pair<uint64_t, uint64_t> append_entry(InternalValue entry) const;
  // A tombstone / weak tombstone of `key` at `seqno` (key checks panic).
  std::pair<uint64_t, uint64_t> remove(std::string_view key, SeqNo seqno) const;
  std::pair<uint64_t, uint64_t> remove_weak(std::string_view key, SeqNo seqno) const;

  std::shared_ptr<Memtable> active_memtable() const;
  Version current_version() const;
  size_t sealed_memtable_count() const;
  size_t l0_run_count() const;
  // The latest super version, cloned.
  SuperVersion latest_super_version() const;
  size_t super_version_count() const;

  // Seals the active memtable (returned) behind a new empty one; none when
  // the active memtable is empty (no memtable id is used then).
  std::shared_ptr<Memtable> rotate_memtable() const;
  // Replaces a non-empty active memtable by an empty one, dropping its entries.
  void clear_active_memtable() const;
  // Installs an empty version (id + 1) with new empty memtables.
  TervikStatus clear() const;
  // Installs the flushed tables as a new level-0 run and releases the sealed
  // memtables they hold. A sealed id no longer present changes nothing.
  TervikStatus register_tables(std::vector<Table> tables,
                               std::optional<std::vector<BlobFileHandle>> blob_files,
                               std::optional<FragmentationMap> gc_diff,
                               const std::vector<uint64_t>& sealed_ids, SeqNo watermark) const;

  std::optional<SeqNo> get_highest_memtable_seqno() const;
  std::optional<SeqNo> get_highest_persisted_seqno() const;
  std::optional<SeqNo> get_highest_seqno() const;

  // The newest visible entry of `key` below `snapshot`; none when absent or
  // deleted. Indirections come back as they are stored.
  TervikResult<std::optional<InternalValue>> get(std::string_view key, SeqNo snapshot) const;
  SuperVersion get_version_for_snapshot(SeqNo snapshot) const;
  static TervikResult<std::optional<InternalValue>> get_from_version(const SuperVersion& sv,
                                                                     std::string_view key,
                                                                     SeqNo snapshot);

  // The whole tree as (key, value) pairs at `snapshot`, from either end.
  KvIter iter(SeqNo snapshot) const;

  // Takes the flush lock; a flush holds it from start to end.
  [[nodiscard]] zv::PoisonMutex::Guard lock_flush() const { return inner_->flush_lock.lock(); }
  // Writes every sealed memtable of the latest super version into level-0
  // tables and registers them. None when nothing was sealed, else the sum of
  // the flushed memtables' sizes. The caller holds lock_flush().
  TervikResult<std::optional<uint64_t>> flush_sealed_memtables(SeqNo seqno_threshold) const;
  // Writes the items of `next` (ascending internal keys) into new level-0
  // tables with the level-0 policies and opens them.
  TervikResult<std::vector<Table>> flush_to_tables(const std::function<ReadItem()>& next) const;
  // The same, with the writing of each item left to `write_item` (a blob
  // tree's flush moves large values into blob files there) and
  // `before_finish` run after the last item, before the tables are finished.
  struct FlushHooks {
    std::function<TervikStatus(MultiWriter&, InternalValue)> write_item;
    std::function<TervikStatus()> before_finish;
    // Large values leave through write_item into blob files (logged as such).
    bool separates_values = false;
  };
  TervikResult<std::vector<Table>> flush_to_tables(const std::function<ReadItem()>& next,
                                                   const FlushHooks& hooks) const;

  // One compaction run: asks `strategy` for a choice and carries it out
  // (declines are successes). `watermark` is the MVCC garbage-collection
  // watermark: versions below it that a newer one shadows are dropped.
  TervikStatus compact(compaction::StrategyHandle strategy, SeqNo watermark) const;

  uint64_t id() const { return inner_->id; }
  const TreeConfig& config() const { return inner_->config; }
  std::string tables_folder() const;
  const std::shared_ptr<TreeInner>& inner() const { return inner_; }

 private:
  explicit Tree(std::shared_ptr<TreeInner> inner) : inner_(std::move(inner)) {}

  std::shared_ptr<TreeInner> inner_;
};

}  // namespace tervik
