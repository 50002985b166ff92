#include "src/wal/wal_repair.h"

#include <algorithm>

#include "platform/log.h"
#include "src/wal/wal_frame_scanner.h"

namespace zv::wal {
namespace {

constexpr const char* kLogTarget = "zolva::wal";
constexpr const char* kQuarantinedEvent = "Quarantined corrupt WAL tail before truncation";
constexpr const char* kQuarantineFailedEvent =
    "Failed to quarantine corrupt WAL tail; truncating anyway";
constexpr const char* kCorruptSuffix = ".corrupt";
constexpr int kMaxQuarantineNumber = 999;
constexpr size_t kScanWindow = 1 << 16;
constexpr size_t kCopyChunk = 1 << 20;

IoStatus copy_tail(FileSystem& fs, const std::string& path, uint64_t from, uint64_t to,
                   const std::string& backup) {
  ZV_ASSIGN_OR_RETURN(auto src, fs.open(path, FsOpenMode::kRead));
  ZV_ASSIGN_OR_RETURN(auto dst, fs.open(backup, FsOpenMode::kCreateTruncate));
  std::string chunk;
  for (uint64_t pos = from; pos < to;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, to - pos));
    chunk.resize(n);
    ZV_TRY(read_exact_at(*src, chunk.data(), n, pos));
    ZV_TRY(dst->write_at(chunk.data(), n, pos - from));
    pos += n;
  }
  // The tail must survive the truncation that follows.
  ZV_TRY(dst->sync());
  return fs.sync_dir(dir_of(backup));
}

}  // namespace

IoResult<ValidEnd> find_valid_end(FileSystem& fs, const std::string& path,
                                  uint64_t file_size, size_t trailer,
                                  PayloadValidator validator) {
  ZV_ASSIGN_OR_RETURN(auto file, fs.open(path, FsOpenMode::kRead));
  FrameScanner scanner(file.get(), kScanWindow, trailer, validator, path);
  std::string payload;
  for (;;) {
    ZV_ASSIGN_OR_RETURN(const bool got, scanner.next(file_size, &payload));
    if (!got) break;
  }
  return ValidEnd{scanner.counted_end(), scanner.slots(), scanner.record_end()};
}

std::string quarantine_path(FileSystem& fs, const std::string& path) {
  const std::string plain = path + kCorruptSuffix;
  if (!fs.exists(plain)) return plain;
  for (int i = 1; i <= kMaxQuarantineNumber; ++i) {
    std::string numbered = plain + "." + std::to_string(i);
    if (!fs.exists(numbered)) return numbered;
  }
  return plain;
}

std::string quarantine_corrupt_tail(FileSystem& fs, const std::string& path,
                                    uint64_t valid_end, uint64_t file_size) {
  if (valid_end >= file_size) return {};
  const std::string backup = quarantine_path(fs, path);
  IoStatus st = copy_tail(fs, path, valid_end, file_size, backup);
  if (!st.ok()) {
    ZV_WARN(kLogTarget, kQuarantineFailedEvent, {"error", st.error().message()},
            {"backup", backup});
    return {};
  }
  ZV_WARN(kLogTarget, kQuarantinedEvent, {"backup", backup},
          {"bytes", std::to_string(file_size - valid_end)});
  return backup;
}

}  // namespace zv::wal
