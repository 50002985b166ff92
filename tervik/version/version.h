// A tree's durable structure at one moment: seven levels of runs of tables,
// its blob files and their garbage statistics. Never changed: every change
// derives a new version (id + 1) through one of the transforms, which share
// every table, blob file and untouched map with the parent. Persisted as a
// version file named by its id. Cheap to copy (one shared pointer); safe to
// share between threads.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "tervik/blob/blob_file.h"
#include "tervik/core/error.h"
#include "tervik/version/fragmentation_map.h"
#include "tervik/version/level.h"
#include "tervik/version/tree_type.h"
#include "tervik/version/version_file.h"
#include "tervik/version/version_fs.h"

namespace tervik {

inline constexpr size_t kVersionLevelCount = 7;
inline constexpr const char* kFatalL0AlwaysExist = "L0 should always exist";
inline constexpr const char* kFatalL0Exist = "L0 should exist";
inline constexpr const char* kFatalInvalidTableIds = "invalid table IDs";
inline constexpr const char* kFatalDestLevel = "destination level should exist";
inline constexpr const char* kVersionTarget = "tervik::version";

using BlobFileHandle = std::shared_ptr<BlobFile>;

class Version {
 public:
  // An empty version: 7 levels without runs, no blob files, no statistics.
  static Version create(uint64_t id, TreeType tree_type);
  // Assembles a recovered version; a persisted id without an opened table is
  // Unrecoverable. `gc_stats` is kept unchanged.
  static TervikResult<Version> from_recovery(uint64_t id, TreeType tree_type,
                                             std::span<const PersistedLevel> levels,
                                             std::span<const Table> tables,
                                             std::span<const BlobFileHandle> blob_files,
                                             FragmentationMap gc_stats);

  uint64_t id() const { return inner_->id; }
  TreeType tree_type() const { return inner_->tree_type; }
  const std::vector<LevelHandle>& levels() const { return inner_->levels; }
  size_t level_count() const { return inner_->levels.size(); }
  // Level 0; a version without levels is the fatal error "L0 should exist".
  const Level& l0() const;
  const BlobFileMap& blob_files() const { return *inner_->blob_files; }
  const FragmentationMap& gc_stats() const { return *inner_->gc_stats; }
  // Shared handles, for checking what derived versions share.
  const std::shared_ptr<const BlobFileMap>& blob_files_handle() const { return inner_->blob_files; }
  const std::shared_ptr<const FragmentationMap>& gc_stats_handle() const { return inner_->gc_stats; }

  size_t table_count() const;
  // Every table, in walk order (levels ascending, runs, tables).
  std::vector<Table> tables() const;
  // The first table with that id in walk order, or none.
  std::optional<Table> find_table(uint64_t id) const;
  // The highest sequence number over all tables (offsets included); none
  // without tables.
  std::optional<SeqNo> highest_seqno() const;

  // The tables as one new run first in level 0 (none: level 0 is only
  // repacked), the blob files added (replacing equal ids) and the diff merged
  // and pruned to the blob files.
  Version with_new_l0_run(std::vector<Table> tables,
                          std::optional<std::vector<BlobFileHandle>> blob_files,
                          std::optional<FragmentationMap> diff) const;
  // The compacted tables removed everywhere, the new tables as the first run
  // of `dest_level` (which must exist), blob files added and dropped, the
  // diff merged and pruned.
  Version with_merge(std::span<const uint64_t> compacted_ids, std::vector<Table> new_tables,
                     uint8_t dest_level, std::optional<FragmentationMap> diff,
                     std::vector<BlobFileHandle> new_blob_files,
                     const std::unordered_set<uint64_t>& dropped_blob_files) const;
  // The listed tables moved, as one run, first into `dest_level`. An id the
  // version does not hold is the fatal error "invalid table IDs".
  Version with_moved(std::span<const uint64_t> ids, uint8_t dest_level) const;
  // The listed tables removed; their linked blob files are counted as
  // garbage, and blob files that became wholly garbage leave the version and
  // are appended to *dropped_blob_files (their statistics stay). A failed
  // read of linked blob files is returned and nothing is derived.
  TervikResult<Version> with_dropped(std::span<const uint64_t> ids,
                                     std::vector<BlobFileHandle>* dropped_blob_files) const;

  // What the version file stores of this version.
  VersionFileContents persisted_form() const;
  // Writes the version file "v<id>" into `folder` (a synced temporary file
  // renamed over it), syncs the folder, then points "current" at it. A count
  // the format cannot hold fails before anything is written. A failure may
  // come after "current" was replaced: then "current" names this version,
  // complete on disk, and a retry (same id) replaces "v<id>" whole again.
  // Either way a recovery finds the previous or this version.
  TervikStatus persist(const std::string& folder, VersionFs& fs = VersionFs::os()) const;

 private:
  struct Inner {
    uint64_t id = 0;
    TreeType tree_type = TreeType::kStandard;
    std::vector<LevelHandle> levels;
    std::shared_ptr<const BlobFileMap> blob_files;
    std::shared_ptr<const FragmentationMap> gc_stats;
  };
  explicit Version(std::shared_ptr<const Inner> inner) : inner_(std::move(inner)) {}
  // A child with id + 1, this tree type and the given parts.
  Version derive(std::vector<LevelHandle> levels, std::shared_ptr<const BlobFileMap> blob_files,
                 std::shared_ptr<const FragmentationMap> gc_stats) const;

  std::shared_ptr<const Inner> inner_;
};

}  // namespace tervik
