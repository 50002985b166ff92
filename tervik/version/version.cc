#include "tervik/version/version.h"

#include <string>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "tervik/version/walks.h"

namespace tervik {

namespace {

// The runs of a level without the listed tables (empty runs dropped).
std::vector<std::vector<Table>> filtered_runs(const Level& level, std::span<const uint64_t> ids,
                                                    std::vector<Table>* removed = nullptr) {
  std::vector<std::vector<Table>> out;
  RunIdFilter walk(level.runs(), ids, removed);
  while (auto run = walk.next()) out.push_back(std::move(*run));
  return out;
}

}  // namespace

Version Version::create(uint64_t id, TreeType tree_type) {
  auto inner = std::make_shared<Inner>();
  inner->id = id;
  inner->tree_type = tree_type;
  auto empty = std::make_shared<const Level>();
  inner->levels.assign(kVersionLevelCount, empty);
  inner->blob_files = std::make_shared<const BlobFileMap>();
  inner->gc_stats = std::make_shared<const FragmentationMap>();
  return Version(std::move(inner));
}

TervikResult<Version> Version::from_recovery(uint64_t id, TreeType tree_type,
                                             std::span<const PersistedLevel> levels,
                                             std::span<const Table> tables,
                                             std::span<const BlobFileHandle> blob_files,
                                             FragmentationMap gc_stats) {
  auto inner = std::make_shared<Inner>();
  inner->id = id;
  inner->tree_type = tree_type;
  std::optional<TervikError> error;
  PersistedLevelBuilder builder(levels, tables, &error);
  while (LevelHandle level = builder.next()) inner->levels.push_back(std::move(level));
  if (error) return zv::make_unexpected(std::move(*error));
  auto map = std::make_shared<BlobFileMap>();
  for (const BlobFileHandle& b : blob_files) (*map)[b->id()] = b;
  inner->blob_files = std::move(map);
  inner->gc_stats = std::make_shared<const FragmentationMap>(std::move(gc_stats));
  return Version(std::move(inner));
}

const Level& Version::l0() const {
  ZV_CHECK(!inner_->levels.empty(), kFatalL0Exist);
  return *inner_->levels.front();
}

size_t Version::table_count() const {
  size_t n = 0;
  for (const LevelHandle& l : inner_->levels) n += l->table_count();
  return n;
}

std::vector<Table> Version::tables() const {
  std::vector<Table> out;
  out.reserve(table_count());
  for (const LevelHandle& l : inner_->levels) {
    for (const RunHandle& r : l->runs()) out.insert(out.end(), r->tables().begin(), r->tables().end());
  }
  return out;
}

std::optional<Table> Version::find_table(uint64_t id) const {
  for (const LevelHandle& l : inner_->levels) {
    for (const RunHandle& r : l->runs()) {
      for (const Table& t : r->tables()) {
        if (table_id(t) == id) return t;
      }
    }
  }
  return std::nullopt;
}

std::optional<SeqNo> Version::highest_seqno() const {
  std::optional<SeqNo> out;
  for (const LevelHandle& l : inner_->levels) {
    for (const RunHandle& r : l->runs()) {
      for (const Table& t : r->tables()) {
        const SeqNo s = table_highest_seqno(t);
        if (!out || s > *out) out = s;
      }
    }
  }
  return out;
}

Version Version::derive(std::vector<LevelHandle> levels, std::shared_ptr<const BlobFileMap> blob_files,
                        std::shared_ptr<const FragmentationMap> gc_stats) const {
  auto inner = std::make_shared<Inner>();
  inner->id = inner_->id + 1;
  inner->tree_type = inner_->tree_type;
  inner->levels = std::move(levels);
  inner->blob_files = std::move(blob_files);
  inner->gc_stats = std::move(gc_stats);
  return Version(std::move(inner));
}

Version Version::with_new_l0_run(std::vector<Table> tables,
                                 std::optional<std::vector<BlobFileHandle>> blob_files,
                                 std::optional<FragmentationMap> diff) const {
  ZV_CHECK(!inner_->levels.empty(), kFatalL0AlwaysExist);
  std::vector<std::vector<Table>> l0;
  if (!tables.empty()) l0.push_back(std::move(tables));
  for (const RunHandle& r : inner_->levels.front()->runs()) l0.push_back(r->tables());

  std::vector<LevelHandle> levels = inner_->levels;  // levels 1.. shared
  levels.front() = make_level(std::move(l0));

  std::shared_ptr<const BlobFileMap> files = inner_->blob_files;
  if (blob_files) {
    auto copy = std::make_shared<BlobFileMap>(*inner_->blob_files);
    for (BlobFileHandle& b : *blob_files) (*copy)[b->id()] = std::move(b);
    files = std::move(copy);
  }
  std::shared_ptr<const FragmentationMap> stats = inner_->gc_stats;
  if (diff) {
    auto copy = std::make_shared<FragmentationMap>(*inner_->gc_stats);
    std::move(*diff).merge_into(*copy);
    copy->prune(*files);
    stats = std::move(copy);
  }
  return derive(std::move(levels), std::move(files), std::move(stats));
}

Version Version::with_merge(std::span<const uint64_t> compacted_ids, std::vector<Table> new_tables,
                            uint8_t dest_level, std::optional<FragmentationMap> diff,
                            std::vector<BlobFileHandle> new_blob_files,
                            const std::unordered_set<uint64_t>& dropped_blob_files) const {
  // New tables placed nowhere would vanish from the tree.
  ZV_CHECK(dest_level < inner_->levels.size(), kFatalDestLevel);
  std::vector<LevelHandle> levels;
  levels.reserve(inner_->levels.size());
  for (size_t i = 0; i < inner_->levels.size(); ++i) {
    std::vector<std::vector<Table>> runs = filtered_runs(*inner_->levels[i], compacted_ids);
    if (i == dest_level && !new_tables.empty()) runs.insert(runs.begin(), std::move(new_tables));
    levels.push_back(make_level(std::move(runs)));
  }

  std::shared_ptr<const BlobFileMap> files = inner_->blob_files;
  std::shared_ptr<const FragmentationMap> stats = inner_->gc_stats;
  if (diff || !new_blob_files.empty() || !dropped_blob_files.empty()) {
    auto copy = std::make_shared<BlobFileMap>(*inner_->blob_files);
    for (BlobFileHandle& b : new_blob_files) (*copy)[b->id()] = std::move(b);
    for (uint64_t id : dropped_blob_files) copy->erase(id);
    files = std::move(copy);
  }
  if (diff || !dropped_blob_files.empty()) {
    auto copy = std::make_shared<FragmentationMap>(*inner_->gc_stats);
    if (diff) std::move(*diff).merge_into(*copy);
    copy->prune(*files);
    stats = std::move(copy);
  }
  return derive(std::move(levels), std::move(files), std::move(stats));
}

Version Version::with_moved(std::span<const uint64_t> ids, uint8_t dest_level) const {
  ZV_CHECK(dest_level < inner_->levels.size(), kFatalDestLevel);
  std::vector<Table> moved;
  TableIdFilter collect(*this, ids);
  while (std::optional<Table> t = collect.next()) moved.push_back(std::move(*t));
  if (moved.size() != ids.size()) {
    zv::panic(std::string("assertion `left == right` failed: ") + kFatalInvalidTableIds +
              "\n  left: " + std::to_string(moved.size()) + "\n right: " + std::to_string(ids.size()));
  }
  std::vector<LevelHandle> levels;
  levels.reserve(inner_->levels.size());
  for (size_t i = 0; i < inner_->levels.size(); ++i) {
    std::vector<std::vector<Table>> runs = filtered_runs(*inner_->levels[i], ids);
    if (i == dest_level && !moved.empty()) runs.insert(runs.begin(), std::move(moved));
    levels.push_back(make_level(std::move(runs)));
  }
  return derive(std::move(levels), inner_->blob_files, inner_->gc_stats);
}

TervikResult<Version> Version::with_dropped(std::span<const uint64_t> ids,
                                            std::vector<BlobFileHandle>* dropped_blob_files) const {
  std::vector<Table> removed;
  std::vector<LevelHandle> levels;
  levels.reserve(inner_->levels.size());
  for (const LevelHandle& level : inner_->levels) {
    levels.push_back(make_level(filtered_runs(*level, ids, &removed)));
  }
  if (removed.empty()) return derive(std::move(levels), inner_->blob_files, inner_->gc_stats);

  auto stats = std::make_shared<FragmentationMap>(*inner_->gc_stats);
  for (const Table& t : removed) {
    ZV_ASSIGN_OR_RETURN(std::vector<LinkedBlobFile> linked, table_linked_blob_files(t));
    for (const LinkedBlobFile& l : linked) {
      stats->add(l.blob_file_id, {l.len, l.bytes, l.on_disk_bytes});
    }
  }
  auto files = std::make_shared<BlobFileMap>();
  std::vector<BlobFileHandle> gone;
  for (const auto& [id, file] : *inner_->blob_files) {
    const FragmentationEntry* e = stats->find(id);
    if (e != nullptr && e->bytes == file->meta().uncompressed_size) {
      gone.push_back(file);
    } else {
      files->emplace(id, file);
    }
  }
  dropped_blob_files->insert(dropped_blob_files->end(), gone.begin(), gone.end());
  return derive(std::move(levels), std::move(files), std::move(stats));
}

VersionFileContents Version::persisted_form() const {
  VersionFileContents out;
  out.tree_type = inner_->tree_type;
  out.levels.reserve(inner_->levels.size());
  for (const LevelHandle& level : inner_->levels) {
    PersistedLevel& pl = out.levels.emplace_back();
    pl.reserve(level->run_count());
    for (const RunHandle& run : level->runs()) {
      PersistedRun& pr = pl.emplace_back();
      pr.reserve(run->size());
      for (const Table& t : run->tables()) {
        pr.push_back({table_id(t), table_checksum(t), table_global_seqno(t)});
      }
    }
  }
  out.blob_files.reserve(inner_->blob_files->size());
  for (const auto& [id, file] : *inner_->blob_files) out.blob_files.push_back({id, file->checksum()});
  out.gc_stats = *inner_->gc_stats;
  return out;
}

TervikStatus Version::persist(const std::string& folder, VersionFs& fs) const {
  const std::string name = version_file_name(inner_->id);
  ZV_LOG(zv::log::Level::kTrace, kVersionTarget,
         "Persisting version " + std::to_string(inner_->id) + " in " + folder);
  ZV_ASSIGN_OR_RETURN(Checksum checksum,
                      write_version_file(fs, zv::fs::join(folder, name), persisted_form()));
  // The renamed file's entry must be durable before "current" names it; the
  // rewrite's own folder sync comes after its rename and cannot order them.
  ZV_TRY(fs.sync_dir(folder));
  ZV_TRY(fs.rewrite_atomic(zv::fs::join(folder, std::string(kCurrentFileName)),
                           encode_current(inner_->id, checksum)));
  return {};
}

}  // namespace tervik
