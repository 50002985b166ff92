#include "src/wal/wal_recovery.h"

#include <algorithm>

#include "platform/fs.h"
#include "platform/log.h"
#include "src/wal/wal_reader.h"
#include "src/wal/wal_shard_files.h"

namespace zv::wal {
namespace {

constexpr const char* kLogTarget = "zolva::wal_sharded";
constexpr const char* kTooSmall = "WAL file is truncated or too small for header";
constexpr const char* kOrderEvent =
    "WAL shard counts are out of round-robin order; replaying every record in position order";
constexpr size_t kReadBuffer = 65'536;
constexpr const char* kUncertainEvent =
    "WAL shard damaged where its record count cannot be told; replaying its records after "
    "the damage whatever the checkpoint";

ZolvaError shard_open_error(uint64_t index, const std::string& detail) {
  return ZolvaError::wal("Failed to open WAL shard " + std::to_string(index) +
                         " during recovery: " + detail);
}

// The reader of one shard, or nothing for a missing or 0-byte file.
ZolvaResult<std::optional<WalReader>> open_shard(FileSystem& fs, const std::string& path,
                                                 uint64_t index, PayloadValidator validator) {
  if (!fs.exists(path)) return std::optional<WalReader>();
  auto file = fs.open(path, FsOpenMode::kRead);
  if (!file.ok()) return make_unexpected(shard_open_error(index, file.error().message()));
  auto size = (*file)->size();
  if (!size.ok()) return make_unexpected(shard_open_error(index, size.error().message()));
  // A crash between creating a file and writing its header leaves 0 bytes.
  if (*size == 0) return std::optional<WalReader>();
  if (*size < kHeaderSize) return make_unexpected(shard_open_error(index, kTooSmall));
  std::string header(kHeaderSize, '\0');
  auto read = read_exact_at(**file, header.data(), kHeaderSize, 0);
  if (!read.ok()) return make_unexpected(shard_open_error(index, read.error().message()));
  auto h = WalHeader::validate(header);
  if (!h.ok()) return make_unexpected(shard_open_error(index, h.error().message()));
  return std::optional<WalReader>(WalReader(std::move(file).value(),
                                            trailer_size(h->format_version), kReadBuffer,
                                            validator, path));
}

}  // namespace

ZolvaResult<std::vector<RecoveredPayload>> recover_payloads(const std::string& wal_path,
                                                            uint64_t configured_shards,
                                                            uint64_t checkpoint_seq,
                                                            const RecoveryOptions& options) {
  FileSystem& fs = options.fs ? *options.fs : FileSystem::os();
  const uint64_t raw = effective_shard_count(fs, wal_path, configured_shards);
  if (raw > kMaxShardCount) return make_unexpected(too_many_shards(raw));
  const uint64_t n = std::max<uint64_t>(raw, 1);
  const uint64_t q = checkpoint_seq / n;
  const uint64_t r = checkpoint_seq % n;
  std::vector<RecoveredPayload> out;
  std::vector<uint64_t> counts(n, 0);
  std::string payload;
  for (uint64_t i = 0; i < n; ++i) {
    ZV_ASSIGN_OR_RETURN(auto reader,
                        open_shard(fs, shard_path(raw, wal_path, i), i, options.validator));
    if (!reader) continue;
    const uint64_t skip = q + (i < r ? 1 : 0);
    bool reported = false;
    for (;;) {
      ZV_ASSIGN_OR_RETURN(bool got, reader->next(&payload));
      if (!got) break;
      const uint64_t j = reader->slot();
      counts[i] = j + 1;
      // Past damage of unknown extent the slots are a guess: skipping by the
      // checkpoint could drop a record it does not cover, while replaying
      // one it covers again is harmless (each sets or deletes a whole node).
      const bool uncertain = reader->uncertain_from().has_value();
      if (uncertain && !reported && checkpoint_seq > 0) {
        ZV_ERROR(kLogTarget, kUncertainEvent, {"shard", std::to_string(i)},
                 {"offset", std::to_string(*reader->uncertain_from())});
        reported = true;
      }
      if ((j < skip && !uncertain) || payload == kFillerPayload) continue;
      out.push_back({i + j * n, payload});
    }
  }
  if (n > 1) {
    if (auto msg = check_round_robin_counts(counts)) ZV_WARN(kLogTarget, kOrderEvent, {"detail", *msg});
  }
  std::stable_sort(out.begin(), out.end(), [](const RecoveredPayload& a, const RecoveredPayload& b) {
    return a.seq < b.seq;
  });
  return out;
}

}  // namespace zv::wal
