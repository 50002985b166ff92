// A memory-mode engine over a fault-injecting backend and index, optionally
// with a sharded log in a temporary directory, for the writers' tests; and
// the records such a log holds. Test-only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"
#include "src/storage/storage_engine.h"
#include "src/storage/testing/fault_backend.h"
#include "src/storage/testing/fault_index.h"
#include "src/wal/wal_records.h"

namespace zv::testing {

struct WriterRig {
  ~WriterRig() { engine.reset(); }
  std::shared_ptr<FaultBackend> backend = std::make_shared<FaultBackend>();
  std::shared_ptr<FaultIndex> index = std::make_shared<FaultIndex>();
  std::unique_ptr<TempDir> dir;
  std::unique_ptr<FaultyFileSystem> fs;  // under the log
  std::string wal_path;
  std::shared_ptr<StorageEngine> engine;

  explicit WriterRig(Config config = Config{}, bool with_wal = false) {
    config.backend = BackendKind::kInMemory;
    EngineParts parts = StorageEngine::memory_mode_parts(config);
    parts.backend = backend;
    parts.vector_index = index;
    if (with_wal) {
      dir = std::make_unique<TempDir>();
      wal_path = dir->path() + "/zolva.wal";
      fs = std::make_unique<FaultyFileSystem>();
      wal::ShardedWalOptions o = wal::sharded_wal_options(config);
      o.fs = fs.get();
      auto w = wal::ShardedWal::open(wal_path, config.wal_shards, o);
      EXPECT_TRUE(w.ok()) << w.error().message();
      parts.wal = std::shared_ptr<wal::ShardedWal>(std::move(w.value()));
    }
    engine = StorageEngine::assemble(std::move(parts));
  }

  std::vector<WalRecord> log_records() {
    auto r = wal::recover(wal_path, engine->config.wal_shards, 0);
    EXPECT_TRUE(r.ok()) << r.error().message();
    std::vector<WalRecord> out;
    if (r.ok())
      for (auto& s : r.value()) out.push_back(std::move(s.record));
    return out;
  }
  uint64_t write_offset() { return engine->segments[0]->file.write_offset(); }
  std::optional<NodeRecordHeader> header_at(uint64_t offset) {
    return engine->segments[0]->file.node_header_at(offset & ~kSegmentMask);
  }
};

}  // namespace zv::testing
