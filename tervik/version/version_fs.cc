#include "tervik/version/version_fs.h"

#include "platform/clock.h"
#include "platform/fs.h"
#include "tervik/core/atomic_file.h"

namespace tervik {

zv::IoResult<zv::File> VersionFs::create(const std::string& path) { return zv::File::create(path); }

zv::IoStatus VersionFs::write_all(zv::File& file, std::string_view bytes) {
  return file.write_all(bytes);
}

zv::IoStatus VersionFs::sync_file(zv::File& file) { return file.sync_all(); }

zv::IoStatus VersionFs::rename(const std::string& from, const std::string& to) {
  return zv::fs::rename(from, to);
}

zv::IoStatus VersionFs::remove(const std::string& path) { return zv::fs::remove_file(path); }

zv::IoResult<bool> VersionFs::exists(const std::string& path) { return zv::fs::exists(path); }

zv::IoStatus VersionFs::sync_dir(const std::string& path) { return zv::fs::sync_dir(path); }

zv::IoStatus VersionFs::rewrite_atomic(const std::string& path, std::string_view content) {
  return file::rewrite_atomic(path, content);
}

void VersionFs::sleep_ms(uint64_t ms) { zv::sleep_ms(ms); }

bool VersionFs::is_sharing_conflict(const zv::IoError&) const { return false; }

VersionFs& VersionFs::os() {
  static VersionFs instance;  // stateless
  return instance;
}

}  // namespace tervik
