#include "tervik/blob/recover_blob_files.h"

#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "archive/src/reader.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/blob/blob_file_meta.h"
#include "tervik/blob/blob_file_writer.h"
#include "tervik/core/archive_error_conversion.h"
#include "tervik/core/file_id.h"

namespace tervik::vlog {

namespace {

TervikError unrecoverable(const std::string& message) {
  return TervikError::logged_unrecoverable(kVlogLogTarget, message);
}

TervikResult<std::shared_ptr<BlobFile>> open_blob_file(const std::string& path, uint64_t id,
                                                       const Checksum& checksum,
                                                       uint64_t tree_id,
                                                       const std::shared_ptr<FileDescriptorCache>& cache) {
  ZV_ASSIGN_OR_RETURN(zv::File file, zv::File::open_read(path));
  ZV_ASSIGN_OR_RETURN(zv::archive::Toc toc,
                      from_archive_result(zv::archive::ArchiveReader::open(path)));
  const zv::archive::TocEntry* meta_section = toc.section(kBlobMetaSection);
  if (meta_section == nullptr) {
    return zv::make_unexpected(unrecoverable("meta section in blob file #" + std::to_string(id) +
                                             " is missing - maybe the file is corrupted?"));
  }
  ZV_ASSIGN_OR_RETURN(uint64_t length, file.size());
  // The section bounds come from stored bytes: check them before allocating.
  if (meta_section->pos > length || meta_section->len > length - meta_section->pos) {
    return zv::make_unexpected(TervikError::short_read());
  }
  std::string section(static_cast<size_t>(meta_section->len), '\0');
  ZV_TRY(file.read_exact_at(section.data(), section.size(), meta_section->pos));
  ZV_ASSIGN_OR_RETURN(BlobFileMeta meta, decode_blob_meta_section(section));
  if (meta.id != id) {
    // A file renamed or copied under another id: its values belong to
    // another file's references.
    return zv::make_unexpected(unrecoverable("blob file " + path + " stores id " +
                                             std::to_string(meta.id) + ", its name says " +
                                             std::to_string(id)));
  }

  BlobFile::Parts parts;
  parts.id = id;
  parts.tree_id = tree_id;
  parts.path = path;
  parts.meta = std::move(meta);
  parts.checksum = checksum;
  parts.file_length = length;
  if (cache) {
    parts.descriptor_cache = cache;  // the handle closes; the first read opens one
  } else {
    parts.handle = std::make_shared<const zv::File>(std::move(file));
  }
  return std::make_shared<BlobFile>(std::move(parts));
}

}  // namespace

std::optional<uint64_t> parse_blob_file_name(std::string_view name) {
  uint64_t id = 0;
  if (parse_file_id(name, &id)) return std::nullopt;
  return id;
}

TervikResult<RecoveredBlobFiles> recover_blob_files(
    const std::string& folder, const std::vector<std::pair<uint64_t, Checksum>>& expected,
    uint64_t tree_id, std::shared_ptr<FileDescriptorCache> cache) {
  std::unordered_map<uint64_t, Checksum> listed;
  for (const auto& [id, checksum] : expected) listed.emplace(id, checksum);

  RecoveredBlobFiles out;
  if (!zv::fs::exists(folder)) {
    if (listed.empty()) return out;
    return zv::make_unexpected(unrecoverable(
        "blob folder " + folder + " is missing but the version lists " +
        std::to_string(listed.size()) + " blob files"));
  }
  ZV_ASSIGN_OR_RETURN(std::vector<std::string> names, zv::fs::list_dir(folder));

  std::unordered_set<uint64_t> opened;
  for (const std::string& name : names) {
    if (name == kSkippedDsStore || name.starts_with(kSkippedPrefix)) continue;
    const std::string path = zv::fs::join(folder, name);
    const std::optional<uint64_t> id = parse_blob_file_name(name);
    if (!id) return zv::make_unexpected(unrecoverable("invalid blob file name " + path));
    if (zv::fs::is_dir(path)) return zv::make_unexpected(unrecoverable(kLogBlobFolderIsDir));
    auto it = listed.find(*id);
    if (it == listed.end()) {
      out.orphans.push_back(path);
      continue;
    }
    if (!opened.insert(*id).second) {
      return zv::make_unexpected(
          unrecoverable("blob file #" + std::to_string(*id) + " exists twice, again as " + path));
    }
    ZV_ASSIGN_OR_RETURN(auto file, open_blob_file(path, *id, it->second, tree_id, cache));
    out.blob_files.push_back(std::move(file));
  }
  if (opened.size() < listed.size()) {
    return zv::make_unexpected(unrecoverable(
        "found " + std::to_string(opened.size()) + " of " + std::to_string(listed.size()) +
        " blob files listed by the version in " + folder));
  }
  return out;
}

}  // namespace tervik::vlog
