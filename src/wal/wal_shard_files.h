// Names and counts of a sharded log's files: the shard file paths derived
// from the log path W, the count implied by the files on disk, the count file
// "<W>.shards", and the round-robin shape check of per-shard record counts.
// Pure functions over the file system; safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "src/foundation/error.h"

namespace zv::wal {

inline constexpr const char* kWalFileName = "zolva.wal";
inline constexpr const char* kShardCountSuffix = ".shards";
inline constexpr const char* kShardCountTmpSuffix = ".shards.tmp";
// Counts beyond this come from a damaged count file or stray names.
inline constexpr uint64_t kMaxShardCount = 4096;

// Shard i of a log of raw count n: W itself when n < 2, else
// "<stem>.shard<i><.ext>" beside W.
std::string shard_path(uint64_t n, const std::string& wal_path, uint64_t index);

// 1 when W exists; else one more than the largest shard number among the
// files beside W; nothing when neither exists or the directory is unreadable.
std::optional<uint64_t> detect_shard_count(FileSystem& fs, const std::string& wal_path);

// The number in "<W>.shards", or nothing when missing or not a number.
std::optional<uint64_t> read_shard_count(FileSystem& fs, const std::string& wal_path);

// Writes "<W>.shards" durably, through a temporary file and a rename.
ZolvaStatus write_shard_count(FileSystem& fs, const std::string& wal_path, uint64_t count);

// Nothing when the counts fit round-robin order from shard 0, else a message
// naming the first shard out of order.
std::optional<std::string> check_round_robin_counts(const std::vector<uint64_t>& counts);

// The shard count the files on disk imply: 1 when W exists, else the larger
// of the detected count and the count file's, else the configured one.
uint64_t effective_shard_count(FileSystem& fs, const std::string& wal_path, uint64_t configured);

// The Wal error for a count above kMaxShardCount.
ZolvaError too_many_shards(uint64_t count);

}  // namespace zv::wal
