// Options of the engine's batch insert: whether stored versions are looked
// up, whether the log is written, and whether the batch's vectors enter the
// vector index during the call. Plain values.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zv {

enum class InsertMode : uint8_t { kIncremental = 0, kRebuild = 1, kAuto = 2 };

inline constexpr uint64_t kAutoIncrementalThreshold = 1000;
// Partition 8 key written with a batch whose vectors wait for a rebuild.
inline constexpr std::string_view kRebuildPendingKey = "vector_index_rebuild_pending";

struct BatchInsertOptions {
  bool skip_existing_check = false;
  bool skip_wal = false;
  InsertMode insert_mode = InsertMode::kIncremental;
  std::optional<uint64_t> incremental_threshold;

  // Whether a batch of `count` nodes is indexed during the call.
  bool indexes_now(uint64_t count) const {
    switch (insert_mode) {
      case InsertMode::kIncremental: return true;
      case InsertMode::kRebuild: return false;
      case InsertMode::kAuto: break;
    }
    return count < incremental_threshold.value_or(kAutoIncrementalThreshold);
  }
};

}  // namespace zv
