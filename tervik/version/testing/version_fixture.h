// Builders for the version tests, fuzz target and benchmark: real table files
// written through the table multi-writer and opened by the table reader, a
// tree folder in a temporary directory, and a file layer that fails with
// sharing conflicts on demand. Test-only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/panic.h"
#include "tervik/cache/block_cache.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/core/internal_value.h"
#include "tervik/table/multi_writer.h"
#include "tervik/table/table.h"
#include "tervik/version/recovery.h"
#include "tervik/version/version_fs.h"

namespace tervik::testing {

inline constexpr uint64_t kTestTreeId = 3;

// Writes table `id` of `tables_folder` holding `min` and `max` (and the
// given blob references) and opens it.
inline Table make_table(const std::string& tables_folder, uint64_t id, const std::string& min,
                        const std::string& max, SeqNo seqno = 1,
                        const std::vector<BlobIndirection>& links = {}) {
  auto w = MultiWriter::create(tables_folder, SeqNoCounter(id), 64ull << 20, 0);
  if (!w.ok()) zv::panic("create table: " + w.error().to_string());
  auto write = [&](const std::string& key) {
    if (auto s = w->write(InternalValue::new_value(Slice(key), Slice(std::string_view("v")), seqno));
        !s.ok()) {
      zv::panic("write table: " + s.error().to_string());
    }
  };
  write(min);
  for (const BlobIndirection& l : links) w->register_blob(l);
  if (max != min) write(max);
  auto written = std::move(*w).finish();
  if (!written.ok() || written->size() != 1) zv::panic("finish table");
  static const auto cache = BlockCache::with_capacity_bytes(1 << 20);
  auto t = Table::recover(zv::fs::join(tables_folder, std::to_string(id)), (*written)[0].checksum,
                          0, kTestTreeId, cache, nullptr, true, true);
  if (!t.ok()) zv::panic("recover table: " + t.error().to_string());
  return std::move(*t);
}

// A tree folder with its "tables" folder, and a table maker for it.
class TreeFolder {
 public:
  explicit TreeFolder(std::string path) : path_(std::move(path)) {
    (void)zv::fs::create_dir_all(tables());
  }
  const std::string& path() const { return path_; }
  std::string tables() const { return zv::fs::join(path_, "tables"); }
  std::string blobs() const { return zv::fs::join(path_, "blobs"); }
  Table table(uint64_t id, const std::string& min, const std::string& max, SeqNo seqno = 1,
              const std::vector<BlobIndirection>& links = {}) const {
    return make_table(tables(), id, min, max, seqno, links);
  }
  TreeConfig config() const { return TreeConfig::create(path_, SeqNoCounter(0), SeqNoCounter(0)); }

 private:
  std::string path_;
};

// The OS layer, but create and remove fail with a sharing conflict the first
// `conflicts` times; sleeps are recorded instead of slept.
class ConflictingFs : public VersionFs {
 public:
  static constexpr int kConflictCode = 32;  // what the injected errors carry

  int create_conflicts = 0;
  int remove_conflicts = 0;
  int create_calls = 0;
  int remove_calls = 0;
  std::vector<uint64_t> sleeps;

  zv::IoResult<zv::File> create(const std::string& path) override {
    ++create_calls;
    if (create_conflicts > 0) {
      --create_conflicts;
      return zv::make_unexpected(conflict());
    }
    return VersionFs::create(path);
  }
  zv::IoStatus remove(const std::string& path) override {
    ++remove_calls;
    if (remove_conflicts > 0) {
      --remove_conflicts;
      return zv::make_unexpected(conflict());
    }
    return VersionFs::remove(path);
  }
  void sleep_ms(uint64_t ms) override { sleeps.push_back(ms); }
  bool is_sharing_conflict(const zv::IoError& e) const override {
    return e.message() == kConflictMessage;
  }

 private:
  static constexpr const char* kConflictMessage = "injected sharing violation";
  static zv::IoError conflict() {
    return zv::IoError(zv::IoErrorKind::kOther, kConflictMessage, kConflictCode);
  }
};

// The OS layer, but the step named by `fail_at` fails once with an injected
// I/O error (then everything works again). kCurrentAfterRename replaces
// "current" and then reports a failure, as a folder sync failing after the
// rename would.
class FailingFs : public VersionFs {
 public:
  enum class Step { kNone, kCreate, kWrite, kSync, kRename, kSyncDir, kCurrent, kCurrentAfterRename };
  static constexpr const char* kInjectedMessage = "injected failure";

  Step fail_at = Step::kNone;
  int injected = 0;

  zv::IoResult<zv::File> create(const std::string& path) override {
    if (fires(Step::kCreate)) return zv::make_unexpected(error());
    return VersionFs::create(path);
  }
  zv::IoStatus write_all(zv::File& file, std::string_view bytes) override {
    if (fires(Step::kWrite)) {
      // A torn write: half the bytes reach the file.
      (void)VersionFs::write_all(file, bytes.substr(0, bytes.size() / 2));
      return zv::make_unexpected(error());
    }
    return VersionFs::write_all(file, bytes);
  }
  zv::IoStatus sync_file(zv::File& file) override {
    if (fires(Step::kSync)) return zv::make_unexpected(error());
    return VersionFs::sync_file(file);
  }
  zv::IoStatus rename(const std::string& from, const std::string& to) override {
    if (fires(Step::kRename)) return zv::make_unexpected(error());
    return VersionFs::rename(from, to);
  }
  zv::IoStatus sync_dir(const std::string& path) override {
    if (fires(Step::kSyncDir)) return zv::make_unexpected(error());
    return VersionFs::sync_dir(path);
  }
  zv::IoStatus rewrite_atomic(const std::string& path, std::string_view content) override {
    if (fires(Step::kCurrent)) return zv::make_unexpected(error());
    if (fires(Step::kCurrentAfterRename)) {
      (void)VersionFs::rewrite_atomic(path, content);
      return zv::make_unexpected(error());
    }
    return VersionFs::rewrite_atomic(path, content);
  }

 private:
  bool fires(Step step) {
    if (fail_at != step) return false;
    fail_at = Step::kNone;
    ++injected;
    return true;
  }
  static zv::IoError error() { return zv::IoError(zv::IoErrorKind::kOther, kInjectedMessage); }
};

}  // namespace tervik::testing
