#include "src/index/index_persistence.h"

#include <cstring>

#include "platform/fill_message.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/log.h"
#include "src/index/index_file.h"

namespace zv {
namespace {

constexpr const char* kLogTarget = "zolva::index::persist";
constexpr size_t kReportedViolations = 5;

std::span<const uint8_t> bytes_of(const MemoryMap& map) {
  return std::span<const uint8_t>(map.data(), map.size());
}

void info(const char* message, log::Fields fields) {
  ZV_LOG(log::Level::kInfo, kLogTarget, message, std::move(fields));
}

// Reads the whole written image back for the check before it replaces the
// old file.
IoStatus verify_written(FsFile& file, size_t size) {
  std::string back(size, '\0');
  ZV_TRY(read_exact_at(file, back.data(), back.size(), 0));
  ZV_TRY(deserialize_index(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(back.data()), back.size())));
  return {};
}

// Writes the temporary file with `fill`, syncs it and renames it over `path`,
// then syncs the directory. A failure before the rename removes the temporary
// file and leaves `path` as it was.
template <class Fill>
IoStatus replace_through_temp(FileSystem& fsys, const std::string& path, Fill&& fill) {
  const std::string tmp = temp_index_path(path);
  {
    ZV_ASSIGN_OR_RETURN(std::unique_ptr<FsFile> file, fsys.open(tmp, FsOpenMode::kCreateTruncate));
    IoStatus written = fill(*file);
    if (written.ok()) written = file->sync_all();
    if (!written.ok()) {
      file.reset();
      (void)fsys.remove_file(tmp);
      return written;
    }
  }
  if (IoStatus renamed = fsys.rename(tmp, path); !renamed.ok()) {
    (void)fsys.remove_file(tmp);
    return renamed;
  }
  return fsys.sync_dir(dir_of(path));
}

}  // namespace

std::string temp_index_path(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t name_at = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  // A leading dot starts a name, not an extension.
  const size_t stem_end = (dot == std::string::npos || dot <= name_at) ? path.size() : dot;
  std::string out(path, 0, stem_end);
  out.push_back('.');
  out.append(kIndexTempExtension);
  return out;
}

void check_loaded_integrity(const HnswIndex& index) {
  auto violations = index.integrity_violations();
  if (!violations) return;
  ZV_WARN(kLogTarget, kIntegrityViolations,
          {"violation_count", std::to_string(violations->size())});
  for (size_t i = 0; i < violations->size() && i < kReportedViolations; ++i)
    ZV_WARN(kLogTarget, kIntegrityViolation, {"violation", (*violations)[i]});
}

std::unique_ptr<HnswIndex> load_vector_index(const std::string& path, bool use_mmap,
                                             FileSystem& fsys) {
  if (!fsys.exists(path)) return nullptr;
  if (use_mmap) {
    auto file = File::open_read_write(path);
    if (!file.ok()) return nullptr;
    auto size = file->size();
    if (!size.ok() || *size < kMinMappedIndexBytes) {
      const std::string msg = fill(kLoadTooSmall, {std::to_string(size.ok() ? *size : 0)});
      ZV_WARN(kLogTarget, msg, {"path", path});
      return nullptr;
    }
    auto map = MemoryMap::map_file(*file, true);
    if (!map.ok()) {
      ZV_WARN(kLogTarget, kLoadMmapFailed, {"path", path}, {"error", map.error().message()});
      return nullptr;
    }
    auto shared = std::make_shared<MemoryMap>(std::move(*map));
    auto index = deserialize_index(bytes_of(*shared), IndexBacking::mapped(path, shared));
    if (!index.ok()) {
      ZV_WARN(kLogTarget, kLoadCorrupt, {"path", path}, {"error", index.error().message()});
      return nullptr;
    }
    info(kLoadedMapped, {{"path", path}, {"nodes", std::to_string((*index)->len())}});
    check_loaded_integrity(**index);
    return std::move(*index);
  }
  auto bytes = read_whole_file(fsys, path);
  if (!bytes.ok()) return nullptr;
  auto index = deserialize_index(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()));
  if (!index.ok()) {
    ZV_WARN(kLogTarget, kLoadCorrupt, {"path", path}, {"error", index.error().message()});
    return nullptr;
  }
  info(kLoadedCopied, {{"path", path}, {"nodes", std::to_string((*index)->len())}});
  check_loaded_integrity(**index);
  return std::move(*index);
}

IoStatus persist_index(const HnswIndex& index, const std::string& path, FileSystem& fsys) {
  ZV_TRY(replace_through_temp(fsys, path, [&](FsFile& file) { return stream_index(index, file); }));
  info(kPersisted, {{"path", path}, {"nodes", std::to_string(index.len())}});
  return {};
}

IoResult<std::shared_ptr<MemoryMap>> replace_and_map(const std::string& image,
                                                     const std::string& path, bool verify,
                                                     FileSystem& fsys) {
  ZV_TRY(replace_through_temp(fsys, path, [&](FsFile& file) -> IoStatus {
    ZV_TRY(file.write_at(image.data(), image.size(), 0));
    if (verify) return verify_written(file, image.size());
    return {};
  }));
  ZV_ASSIGN_OR_RETURN(File file, File::open_read_write(path));
  ZV_ASSIGN_OR_RETURN(MemoryMap map, MemoryMap::map_file(file, true));
  return std::make_shared<MemoryMap>(std::move(map));
}

IoResult<std::unique_ptr<HnswIndex>> persist_and_remap_index(const HnswIndex& index,
                                                             const std::string& path,
                                                             FileSystem& fsys) {
  ZV_ASSIGN_OR_RETURN(std::string image, serialize_index(index));
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<MemoryMap> map,
                      replace_and_map(image, path, false, fsys));
  auto loaded = deserialize_index(bytes_of(*map), IndexBacking::mapped(path, map));
  if (!loaded.ok())
    return make_unexpected(IoError(IoErrorKind::kInvalidData, loaded.error().message()));
  return std::move(*loaded);
}

}  // namespace zv
