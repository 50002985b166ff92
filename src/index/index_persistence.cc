#include "src/index/index_persistence.h"

#include <cstring>

#include "platform/fill_message.h"
#include "platform/file.h"
#include "platform/fs.h"
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

IoStatus sync_parent(const std::string& path) {
  std::string dir = fs::parent(path);
  return fs::sync_dir(dir.empty() ? "." : dir);
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

std::unique_ptr<HnswIndex> load_vector_index(const std::string& path, bool use_mmap) {
  if (!fs::is_file(path)) return nullptr;
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
  auto bytes = fs::read_file(path);
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

IoStatus persist_index(const HnswIndex& index, const std::string& path) {
  const std::string tmp = temp_index_path(path);
  {
    ZV_ASSIGN_OR_RETURN(File file, File::create(tmp));
    IoStatus written = stream_index(index, file);
    if (written.ok()) written = file.sync_all();
    if (written.ok()) written = file.close();
    if (!written.ok()) {
      (void)fs::remove_file(tmp);
      return written;
    }
  }
  ZV_TRY(fs::rename(tmp, path));
  ZV_TRY(sync_parent(path));
  info(kPersisted, {{"path", path}, {"nodes", std::to_string(index.len())}});
  return {};
}

IoResult<std::shared_ptr<MemoryMap>> replace_and_map(const std::string& image,
                                                     const std::string& path, bool verify) {
  const std::string tmp = temp_index_path(path);
  {
    ZV_ASSIGN_OR_RETURN(File file, File::create(tmp));
    ZV_TRY(file.set_len(image.size()));
    ZV_ASSIGN_OR_RETURN(MemoryMap map, MemoryMap::map_file(file, true));
    std::memcpy(map.data(), image.data(), image.size());
    ZV_TRY(map.flush());
    ZV_TRY(file.sync_all());
    if (verify) ZV_TRY(deserialize_index(bytes_of(map)));
  }
  ZV_TRY(fs::rename(tmp, path));
  ZV_TRY(sync_parent(path));
  ZV_ASSIGN_OR_RETURN(File file, File::open_read_write(path));
  ZV_ASSIGN_OR_RETURN(MemoryMap map, MemoryMap::map_file(file, true));
  return std::make_shared<MemoryMap>(std::move(map));
}

IoResult<std::unique_ptr<HnswIndex>> persist_and_remap_index(const HnswIndex& index,
                                                             const std::string& path) {
  ZV_ASSIGN_OR_RETURN(std::string image, serialize_index(index));
  ZV_ASSIGN_OR_RETURN(std::shared_ptr<MemoryMap> map, replace_and_map(image, path, false));
  auto loaded = deserialize_index(bytes_of(*map), IndexBacking::mapped(path, map));
  if (!loaded.ok())
    return make_unexpected(IoError(IoErrorKind::kInvalidData, loaded.error().message()));
  return std::move(*loaded);
}

}  // namespace zv
