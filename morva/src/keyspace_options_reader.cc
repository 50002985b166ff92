#include "morva/src/keyspace_options_reader.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "morva/src/option_codec.h"
#include "platform/log.h"
#include "platform/utf8.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

namespace on = option_name;
using tervik::compaction::Fifo;
using tervik::compaction::Leveled;

MorvaError missing_option(std::string_view option) {
  ZV_ERROR(kRecoveryLogTarget, kMissingOptionMessage, {"option", std::string(option)});
  return MorvaError::unrecoverable();
}

MorvaError undefined(std::string_view option, std::string_view target) {
  return damaged_options(std::string(option) + kShouldBeDefinedSuffix, target);
}

// A required entry: missing is "should exist".
MorvaResult<std::string> required(const OptionLookup& lookup, std::string_view option) {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> v, lookup(option));
  if (!v) return zv::make_unexpected(missing_option(option));
  return std::move(*v);
}

// A required entry of the blob or strategy groups: missing is "<name> should be defined".
MorvaResult<std::string> defined(const OptionLookup& lookup, std::string_view option, std::string_view target) {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> v, lookup(option));
  if (!v) return zv::make_unexpected(undefined(option, target));
  return std::move(*v);
}

// A count byte, then that many f32 values.
MorvaResult<std::vector<float>> decode_ratio_list(std::string_view v) {
  ZV_ASSIGN_OR_RETURN(uint8_t n, decode_u8(v));
  std::vector<float> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    ZV_ASSIGN_OR_RETURN(float r, decode_f32(v.substr(std::min(v.size(), 1 + 4 * i))));
    out.push_back(r);
  }
  return out;
}

MorvaResult<tervik::compaction::StrategyHandle> read_strategy(const OptionLookup& lookup) {
  ZV_ASSIGN_OR_RETURN(std::string name, defined(lookup, on::kCompactionStrategy, kRecoveryLogTarget));
  if (!zv::is_valid_utf8(name)) return zv::make_unexpected(damaged_options(kStrategyNotUtf8Message, kRecoveryLogTarget));
  if (name == Leveled::kName) {
    tervik::LeveledOptions o;
    ZV_ASSIGN_OR_RETURN(std::string l0, defined(lookup, Leveled::kKeyL0Threshold, kRecoveryLogTarget));
    ZV_ASSIGN_OR_RETURN(o.l0_threshold, decode_u8(l0));
    ZV_ASSIGN_OR_RETURN(std::string target, defined(lookup, Leveled::kKeyTargetSize, kRecoveryLogTarget));
    ZV_ASSIGN_OR_RETURN(o.target_size, decode_u64(target));
    ZV_ASSIGN_OR_RETURN(std::string ratios, defined(lookup, Leveled::kKeyRatioPolicy, kRecoveryLogTarget));
    ZV_ASSIGN_OR_RETURN(o.level_ratio_policy, decode_ratio_list(ratios));
    return std::make_shared<const Leveled>(std::move(o));
  }
  if (name == Fifo::kName) {
    ZV_ASSIGN_OR_RETURN(std::string limit_v, defined(lookup, Fifo::kKeyLimit, kRecoveryLogTarget));
    ZV_ASSIGN_OR_RETURN(uint64_t limit, decode_u64(limit_v));
    ZV_ASSIGN_OR_RETURN(std::string ttl_v, defined(lookup, Fifo::kKeyTtl, kRecoveryLogTarget));
    std::optional<uint64_t> ttl;
    if (decode_flag(ttl_v)) {
      ZV_ASSIGN_OR_RETURN(std::string secs, defined(lookup, Fifo::kKeyTtlSeconds, kRecoveryLogTarget));
      ZV_ASSIGN_OR_RETURN(ttl, decode_u64(secs));
    }
    return std::make_shared<const Fifo>(limit, ttl);
  }
  return zv::make_unexpected(damaged_options(kFatalUnsupportedStrategy + name, kRecoveryLogTarget));
}

// A policy option: required, then decoded.
template <class P>
MorvaResult<P> read_policy(const OptionLookup& lookup, std::string_view option,
                           MorvaResult<P> (*decode)(std::string_view)) {
  ZV_ASSIGN_OR_RETURN(std::string v, required(lookup, option));
  return decode(v);
}

}  // namespace

MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const OptionLookup& lookup) {
  tervik::KvSeparationOptions kv;
  ZV_ASSIGN_OR_RETURN(std::string age, defined(lookup, on::kBlobAgeCutoff, kOptionsLogTarget));
  ZV_ASSIGN_OR_RETURN(kv.age_cutoff, decode_f32(age));
  ZV_ASSIGN_OR_RETURN(std::string compression, defined(lookup, on::kBlobCompression, kOptionsLogTarget));
  ZV_ASSIGN_OR_RETURN(kv.compression, decode_compression_type(compression));
  ZV_ASSIGN_OR_RETURN(std::string target, defined(lookup, on::kBlobFileTargetSize, kOptionsLogTarget));
  ZV_ASSIGN_OR_RETURN(kv.file_target_size, decode_u64(target));
  ZV_ASSIGN_OR_RETURN(std::string threshold, defined(lookup, on::kBlobSeparationThreshold, kOptionsLogTarget));
  ZV_ASSIGN_OR_RETURN(kv.separation_threshold, decode_u32(threshold));
  ZV_ASSIGN_OR_RETURN(std::string staleness, defined(lookup, on::kBlobStalenessThreshold, kOptionsLogTarget));
  ZV_ASSIGN_OR_RETURN(kv.staleness_threshold, decode_f32(staleness));
  return kv;
}

MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const MetaKeyspace& meta, KeyspaceId id) {
  return read_kv_separation([&](std::string_view option) { return meta.get_config(id, option); });
}

MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const OptionLookup& lookup) {
  KeyspaceCreateOptions o;
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> blob, lookup(on::kBlob));
  ZV_ASSIGN_OR_RETURN(o.data_block_compression_policy,
                      read_policy(lookup, on::kDataBlockCompressionPolicy, &decode_compression_policy));
  ZV_ASSIGN_OR_RETURN(o.index_block_compression_policy,
                      read_policy(lookup, on::kIndexBlockCompressionPolicy, &decode_compression_policy));
  ZV_ASSIGN_OR_RETURN(o.data_block_size_policy, read_policy(lookup, on::kDataBlockSizePolicy, &decode_block_size_policy));
  ZV_ASSIGN_OR_RETURN(o.filter_block_partitioning_policy,
                      read_policy(lookup, on::kFilterBlockPartitioningPolicy, &decode_pinning_policy));
  ZV_ASSIGN_OR_RETURN(o.index_block_partitioning_policy,
                      read_policy(lookup, on::kIndexBlockPartitioningPolicy, &decode_pinning_policy));
  ZV_ASSIGN_OR_RETURN(o.filter_block_pinning_policy,
                      read_policy(lookup, on::kFilterBlockPinningPolicy, &decode_pinning_policy));
  ZV_ASSIGN_OR_RETURN(o.index_block_pinning_policy,
                      read_policy(lookup, on::kIndexBlockPinningPolicy, &decode_pinning_policy));
  ZV_ASSIGN_OR_RETURN(o.data_block_restart_interval_policy,
                      read_policy(lookup, on::kDataBlockRestartIntervalPolicy, &decode_restart_interval_policy));
  ZV_ASSIGN_OR_RETURN(o.index_block_restart_interval_policy,
                      read_policy(lookup, on::kIndexBlockRestartIntervalPolicy, &decode_restart_interval_policy));
  ZV_ASSIGN_OR_RETURN(o.data_block_hash_ratio_policy,
                      read_policy(lookup, on::kDataBlockHashRatioPolicy, &decode_hash_ratio_policy));
  ZV_ASSIGN_OR_RETURN(std::string hits, required(lookup, on::kExpectPointReadHits));
  o.expect_point_read_hits = decode_flag(hits);
  ZV_ASSIGN_OR_RETURN(o.filter_policy, read_policy(lookup, on::kFilterPolicy, &decode_filter_policy));

  // Read now, answered only once every other entry has been read.
  std::optional<MorvaResult<tervik::KvSeparationOptions>> kv;
  if (blob) kv = read_kv_separation(lookup);

  ZV_ASSIGN_OR_RETURN(o.compaction_strategy, read_strategy(lookup));
  ZV_ASSIGN_OR_RETURN(std::string manual, required(lookup, on::kManualJournalPersist));
  o.manual_journal_persist = decode_flag(manual);
  ZV_ASSIGN_OR_RETURN(std::string memtable, required(lookup, on::kMaxMemtableSize));
  ZV_ASSIGN_OR_RETURN(o.max_memtable_size, decode_u64(memtable));

  if (kv) {
    if (!kv->ok()) return zv::make_unexpected(std::move(*kv).error());
    o.kv_separation = std::move(*kv).value();
  }
  o.level_count = tervik::kDefaultLevelCount;
  return o;
}

MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const MetaKeyspace& meta, KeyspaceId id) {
  ZV_ASSIGN_OR_RETURN(const std::vector<MetaEntry> entries, meta.scan_config(id));
  return read_keyspace_options([&](std::string_view option) -> MorvaResult<std::optional<std::string>> {
    auto it = std::lower_bound(entries.begin(), entries.end(), option,
                               [](const MetaEntry& e, std::string_view name) { return e.key < name; });
    if (it == entries.end() || it->key != option) return std::optional<std::string>();
    return std::optional<std::string>(it->value);
  });
}

}  // namespace morva
