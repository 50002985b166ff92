#include "tervik/version/recovery.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "platform/fs.h"
#include "platform/fs_links.h"
#include "platform/log.h"
#include "tervik/blob/recover_blob_files.h"
#include "tervik/core/file_id.h"
#include "tervik/core/utf8.h"
#include "tervik/version/version_file.h"

namespace tervik {

namespace {

using LogLevel = zv::log::Level;

struct ExpectedTable {
  Checksum checksum;
  size_t level = 0;
  uint64_t global_seqno = 0;
};

TervikError logged_unrecoverable(const std::string& message) {
  return TervikError::logged_unrecoverable(kVersionRecoveryTarget, message);
}

// Refuses a version whose shape no writer produces: another level count
// than the tree's, or a table or blob file listed twice. Such a version
// would open the wrong files and delete the right ones as orphans.
TervikStatus check_version_shape(const VersionFileContents& contents, uint64_t version_id) {
  const std::string which = "version #" + std::to_string(version_id);
  if (contents.levels.size() != kVersionLevelCount ||
      (contents.level_count && *contents.level_count != contents.levels.size())) {
    return zv::make_unexpected(logged_unrecoverable(
        which + " lists " + std::to_string(contents.levels.size()) + " levels, expected " +
        std::to_string(kVersionLevelCount) + " - maybe the file is corrupted?"));
  }
  std::unordered_set<uint64_t> seen;
  for (const PersistedLevel& level : contents.levels) {
    for (const PersistedRun& run : level) {
      for (const PersistedTable& t : run) {
        if (!seen.insert(t.id).second) {
          return zv::make_unexpected(logged_unrecoverable(
              which + " lists table " + std::to_string(t.id) + " twice - maybe the file is corrupted?"));
        }
      }
    }
  }
  seen.clear();
  for (const PersistedBlobFile& b : contents.blob_files) {
    if (!seen.insert(b.id).second) {
      return zv::make_unexpected(logged_unrecoverable(
          which + " lists blob file " + std::to_string(b.id) + " twice - maybe the file is corrupted?"));
    }
  }
  return {};
}

uint64_t progress_interval(size_t expected) {
  if (expected <= 20) return 1;
  if (expected <= 100) return 10;
  return 100;
}

std::string id_list(const std::unordered_map<uint64_t, ExpectedTable>& index) {
  std::string out = "[";
  bool first = true;
  for (const auto& kv : index) {
    if (!first) out += ", ";
    first = false;
    out += std::to_string(kv.first);
  }
  return out + "]";
}

TervikStatus delete_orphans(const std::vector<std::string>& paths, const char* what) {
  for (const std::string& path : paths) {
    ZV_LOG(LogLevel::kDebug, kVersionRecoveryTarget, std::string(what) + path);
    ZV_TRY(zv::fs::remove_file(path));
  }
  return {};
}

}  // namespace

TervikResult<Version> recover_version(const std::string& folder, uint64_t tree_id,
                                      const TreeConfig& config) {
  ZV_ASSIGN_OR_RETURN(CurrentPointer current, read_current(folder));
  const uint64_t version_id = current.version_id;
  const std::string version_path = zv::fs::join(folder, version_file_name(version_id));
  ZV_LOG(LogLevel::kInfo, kVersionRecoveryTarget, "Recovering current manifest at " + version_path);
  ZV_ASSIGN_OR_RETURN(VersionFileContents contents, read_version_file(version_path, version_id));
  ZV_TRY(check_version_shape(contents, version_id));

  // Deleting what the version does not name is safe only if the version is
  // the one "current" vouches for: a damaged id in it would turn a live table
  // into an "orphan". A mismatch still opens (the checksum part of "current"
  // may be what is damaged), but keeps every file.
  ZV_ASSIGN_OR_RETURN(Checksum actual, checksum_of_file(version_path));
  const bool verified = current.checksum && *current.checksum == actual;
  if (!verified) {
    ZV_ERROR(kVersionRecoveryTarget,
             "version #" + std::to_string(version_id) + " has checksum " + actual.debug_string() +
                 ", current expects " +
                 (current.checksum ? current.checksum->debug_string() : std::string("none")) +
                 "; keeping every file of " + folder);
  }

  std::unordered_map<uint64_t, ExpectedTable> index;
  for (size_t l = 0; l < contents.levels.size(); ++l) {
    for (const PersistedRun& run : contents.levels[l]) {
      for (const PersistedTable& t : run) index[t.id] = {t.checksum, l, t.global_seqno};
    }
  }
  const size_t expected = index.size();
  ZV_LOG(LogLevel::kDebug, kVersionRecoveryTarget,
         "Recovering " + std::to_string(expected) + " tables from " + folder);
  const uint64_t interval = progress_interval(expected);

  const std::string tables_folder = zv::fs::join(folder, std::string(kTablesFolderName));
  if (!zv::fs::exists(tables_folder)) {
    ZV_TRY(zv::fs::create_dir_all(tables_folder));
    // The new folder's entry must survive a power loss like the files in it.
    ZV_TRY(zv::fs::sync_dir(folder));
  }
  ZV_ASSIGN_OR_RETURN(std::vector<std::string> names, zv::fs::list_dir(tables_folder));

  std::vector<Table> opened;
  opened.reserve(expected);
  std::unordered_set<uint64_t> opened_ids;
  std::vector<std::string> orphans;
  for (size_t pos = 0; pos < names.size(); ++pos) {
    const std::string& name = names[pos];
    if (name == kSkippedDsStoreName || name.starts_with(kSkippedAppleDoublePrefix)) continue;
    if (validate_utf8(name)) {
      return zv::make_unexpected(logged_unrecoverable("invalid table file name " + name));
    }
    const std::string path = zv::fs::join(tables_folder, name);
    if (zv::fs::is_dir(path)) return zv::make_unexpected(logged_unrecoverable(kLogTableFolderIsDir));
    uint64_t id = 0;
    if (auto err = parse_file_id(name, &id)) {
      return zv::make_unexpected(logged_unrecoverable("invalid table file name " + name + ": " + *err));
    }
    auto it = index.find(id);
    if (it == index.end()) {
      orphans.push_back(path);
      continue;
    }
    if (!opened_ids.insert(id).second) {
      return zv::make_unexpected(
          logged_unrecoverable("table " + std::to_string(id) + " exists twice, again as " + path));
    }
    const ExpectedTable& e = it->second;
    ZV_ASSIGN_OR_RETURN(Table table,
                        Table::recover(path, e.checksum, e.global_seqno, tree_id, config.cache,
                                       config.descriptor_table,
                                       config.filter_block_pinning_policy.get(e.level),
                                       config.index_block_pinning_policy.get(e.level)));
    opened.push_back(std::move(table));
    if (pos % interval == 0) {
      ZV_LOG(LogLevel::kDebug, kVersionRecoveryTarget,
             "Recovered " + std::to_string(pos) + "/" + std::to_string(expected) + " tables");
    }
  }
  if (opened.size() < expected) {
    return zv::make_unexpected(logged_unrecoverable(kLogRecoveredLessTables + id_list(index)));
  }
  ZV_LOG(LogLevel::kDebug, kVersionRecoveryTarget,
         "Successfully recovered " + std::to_string(opened.size()) + " tables");

  std::vector<std::pair<uint64_t, Checksum>> blob_list;
  blob_list.reserve(contents.blob_files.size());
  for (const PersistedBlobFile& b : contents.blob_files) blob_list.emplace_back(b.id, b.checksum);
  ZV_ASSIGN_OR_RETURN(vlog::RecoveredBlobFiles blobs,
                      vlog::recover_blob_files(zv::fs::join(folder, std::string(vlog::kBlobsFolderName)),
                                               blob_list, tree_id, config.descriptor_table));

  ZV_ASSIGN_OR_RETURN(Version version,
                      Version::from_recovery(version_id, contents.tree_type, contents.levels, opened,
                                             blobs.blob_files, std::move(contents.gc_stats)));
  if (!verified) return version;
  ZV_TRY(cleanup_orphaned_versions(folder, version_id));
  ZV_TRY(delete_orphans(orphans, "Deleting orphaned table "));
  ZV_TRY(delete_orphans(blobs.orphans, "Deleting orphaned blob file "));
  return version;
}

TervikStatus cleanup_orphaned_versions(const std::string& folder, uint64_t current_id) {
  const std::string live = version_file_name(current_id);
  ZV_ASSIGN_OR_RETURN(std::vector<std::string> names, zv::fs::list_dir(folder));
  for (const std::string& name : names) {
    if (name.empty() || !name.starts_with(kVersionFilePrefix) || name == live) continue;
    const std::string path = zv::fs::join(folder, name);
    // Links of any kind go like files: only a folder itself stays.
    if (zv::fs::is_dir_entry(path)) continue;
    ZV_LOG(LogLevel::kTrace, kVersionRecoveryTarget, "Cleanup orphaned version " + name);
    ZV_TRY(zv::fs::remove_file(path));
  }
  return {};
}

}  // namespace tervik
