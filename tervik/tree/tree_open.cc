// Opening, creating and recovering a tree, and opening a configuration.
#include <algorithm>

#include "archive/src/reader.h"
#include "platform/fs.h"
#include "platform/fs_durable.h"
#include "platform/log.h"
#include "tervik/core/archive_error_conversion.h"
#include "tervik/tree/tree_handle.h"
#include "tervik/version/recovery.h"

namespace tervik {

namespace {

using LogLevel = zv::log::Level;

constexpr uint8_t kLegacyFormatVersion = 1;
constexpr uint8_t kNewestFormatVersion = 3;

TervikError refuse(const std::string& message) {
  return TervikError::logged_unrecoverable(kTreeTarget, message);
}

std::string type_name(TreeType t) { return t == TreeType::kBlob ? "Blob" : "Standard"; }

// Creates `path` and its missing parents durably (see zv::fs).
TervikStatus create_dirs_durably(VersionFs& fs, const std::string& path) {
  ZV_TRY(zv::fs::create_dir_all_durably(path, [&fs](const std::string& p) { return fs.sync_dir(p); }));
  return {};
}

TervikResult<std::string> read_header_section(const std::string& path, const zv::archive::Toc& toc,
                                              std::string_view name) {
  const zv::archive::TocEntry* entry = toc.section(name);
  if (entry == nullptr) {
    return zv::make_unexpected(refuse(std::string(name) + " section should exist in manifest"));
  }
  ZV_ASSIGN_OR_RETURN(zv::archive::SectionReader reader, zv::archive::section_reader(path, *entry));
  std::string bytes;
  ZV_TRY(reader.read_to_end(&bytes));
  return bytes;
}

// The header checks of an opened version file. Damaged headers are refused
// as errors, like any other damage recovery finds; a format the engine does
// not write is InvalidVersion.
TervikStatus check_header(const std::string& path) {
  ZV_ASSIGN_OR_RETURN(zv::archive::Toc toc, from_archive_result(zv::archive::ArchiveReader::open(path)));
  ZV_ASSIGN_OR_RETURN(std::string format, read_header_section(path, toc, kSectionFormatVersion));
  if (format.empty()) return zv::make_unexpected(refuse("format_version section should exist in manifest"));
  const uint8_t version = static_cast<uint8_t>(format[0]);
  if (version < kLegacyFormatVersion || version > kNewestFormatVersion) {
    return zv::make_unexpected(TervikError::invalid_version(version));
  }
  ZV_ASSIGN_OR_RETURN(std::string levels, read_header_section(path, toc, kSectionLevelCount));
  if (levels.size() != 1 || static_cast<uint8_t>(levels[0]) != kVersionLevelCount) {
    return zv::make_unexpected(refuse("level count should be 7"));
  }
  ZV_ASSIGN_OR_RETURN(std::string hash, read_header_section(path, toc, kSectionFilterHashType));
  if (hash != std::string(1, static_cast<char>(kVersionFilterHashXxh3))) {
    return zv::make_unexpected(refuse("filter_hash_type should be XXH3"));
  }
  if (version != kNewestFormatVersion) return zv::make_unexpected(TervikError::invalid_version(version));
  return {};
}

uint64_t highest_table_id(const Version& v) {
  uint64_t out = 0;
  for (const Table& t : v.tables()) out = std::max(out, t.id());
  return out;
}

}  // namespace

TervikResult<Tree> Tree::open(TreeConfig config, VersionFs& fs) {
  const std::string folder = config.path;
  ZV_LOG(LogLevel::kDebug, kTreeTarget, "Opening LSM-tree at " + folder);
  if (zv::fs::exists(zv::fs::join(folder, kLegacyFolderEntry))) {
    ZV_ERROR(kTreeTarget, kLogLegacyTree);
    return zv::make_unexpected(TervikError::invalid_version(1));
  }
  const TreeType wanted = config.kv_separation_opts ? TreeType::kBlob : TreeType::kStandard;

  if (zv::fs::exists(zv::fs::join(folder, std::string(kCurrentFileName)))) {
    ZV_LOG(LogLevel::kInfo, kTreeTarget, "Recovering LSM-tree at " + folder);
    const uint64_t tree_id = next_tree_id();
    ZV_ASSIGN_OR_RETURN(Version version, recover_version(folder, tree_id, config));
    // A "tables" folder that recovery had to create was synced by it.
    ZV_TRY(check_header(zv::fs::join(folder, version_file_name(version.id()))));
    if (version.tree_type() != wanted) {
      return zv::make_unexpected(refuse("Tried to open a " + type_name(wanted) +
                                        "Tree, but the existing tree is of type " +
                                        type_name(version.tree_type()) +
                                        "Tree. This indicates a misconfiguration or corruption."));
    }
    const uint64_t table_start = version.table_count() == 0 ? 1 : highest_table_id(version) + 1;
    return Tree(std::make_shared<TreeInner>(std::move(config), std::move(version), tree_id, table_start, fs));
  }

  ZV_LOG(LogLevel::kTrace, kTreeTarget, "Creating LSM-tree at " + folder);
  ZV_TRY(create_dirs_durably(fs, zv::fs::join(folder, std::string(kTablesFolderName))));
  Version version = Version::create(0, wanted);
  ZV_TRY(version.persist(folder, fs));
  const uint64_t tree_id = next_tree_id();
  return Tree(std::make_shared<TreeInner>(std::move(config), std::move(version), tree_id, 0, fs));
}

TervikResult<TreeHandle> open_tree(TreeConfig config, VersionFs& fs) {
  const bool separated = config.kv_separation_opts.has_value();
  ZV_ASSIGN_OR_RETURN(Tree tree, Tree::open(std::move(config), fs));
  if (!separated) return TreeHandle{tree};
  const std::string blobs = zv::fs::join(tree.config().path, std::string(kBlobsFolderName));
  ZV_TRY(create_dirs_durably(fs, blobs));
  // Above every blob file id the version names, in its files and in its
  // statistics: a statistics entry outlives its file, and a new file taking
  // its id would inherit its garbage counts.
  const Version v = tree.current_version();
  std::optional<uint64_t> highest;
  for (const auto& [id, file] : v.blob_files()) highest = std::max(highest.value_or(0), id);
  for (const auto& [id, entry] : v.gc_stats().entries()) highest = std::max(highest.value_or(0), id);
  tree.inner()->blob_file_id_counter.raise_to(highest ? *highest + 1 : 0);
  return TreeHandle{BlobTree(tree, blobs)};
}

}  // namespace tervik
