#include "morva/src/keyspace_options_reader.h"

#include <cstring>

#include "platform/coding.h"
#include "platform/file.h"
#include "platform/log.h"
#include "platform/utf8.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/tag_parse.h"

namespace morva {
namespace {

constexpr const char* kLogTarget = "morva::recovery";

MorvaError damaged(const std::string& message) {
  ZV_ERROR(kLogTarget, message);
  return MorvaError::unrecoverable();
}

MorvaError short_value() {
  return MorvaError(zv::IoError(zv::IoErrorKind::kUnexpectedEof, zv::kShortReadMessage));
}

// The value of an entry that must exist; `missing` is the text logged.
MorvaResult<std::string> required(const MetaOptionLookup& get, std::string_view option,
                                  const std::string& missing) {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> v, get(option));
  if (!v) return zv::make_unexpected(damaged(missing));
  return std::move(*v);
}

MorvaResult<std::string> should_exist(const MetaOptionLookup& get, std::string_view option) {
  return required(get, option, "should exist");
}

MorvaResult<std::string> should_be_defined(const MetaOptionLookup& get, std::string_view option) {
  return required(get, option, std::string(option) + " should be defined");
}

MorvaResult<uint64_t> first_u64(const std::string& v) {
  if (v.size() < 8) return zv::make_unexpected(short_value());
  return zv::coding::get_u64_le(v.data());
}

MorvaResult<uint32_t> first_u32(const std::string& v) {
  if (v.size() < 4) return zv::make_unexpected(short_value());
  return zv::coding::get_u32_le(v.data());
}

MorvaResult<float> first_f32(const std::string& v) {
  if (v.size() < 4) return zv::make_unexpected(short_value());
  return zv::coding::get_f32_le(v.data());
}

bool is_true_flag(const std::string& v) { return v.size() == 1 && v[0] == 1; }

MorvaResult<tervik::compaction::StrategyHandle> read_strategy(const MetaOptionLookup& get) {
  ZV_ASSIGN_OR_RETURN(std::string name,
                      required(get, "compaction_strategy", "compaction_strategy should be defined"));
  if (!zv::is_valid_utf8(name)) return zv::make_unexpected(damaged("compaction_strategy should be UTF-8"));
  if (name == tervik::compaction::Leveled::kName) {
    tervik::LeveledOptions lo;
    ZV_ASSIGN_OR_RETURN(std::string l0, should_be_defined(get, tervik::compaction::Leveled::kKeyL0Threshold));
    if (l0.empty()) return zv::make_unexpected(short_value());
    lo.l0_threshold = static_cast<uint8_t>(l0[0]);
    ZV_ASSIGN_OR_RETURN(std::string ts, should_be_defined(get, tervik::compaction::Leveled::kKeyTargetSize));
    ZV_ASSIGN_OR_RETURN(lo.target_size, first_u64(ts));
    ZV_ASSIGN_OR_RETURN(std::string ratios,
                        should_be_defined(get, tervik::compaction::Leveled::kKeyRatioPolicy));
    if (ratios.empty()) return zv::make_unexpected(short_value());
    const size_t n = static_cast<uint8_t>(ratios[0]);
    if (ratios.size() < 1 + 4 * n) return zv::make_unexpected(short_value());
    lo.level_ratio_policy.clear();
    for (size_t i = 0; i < n; ++i) lo.level_ratio_policy.push_back(zv::coding::get_f32_le(ratios.data() + 1 + 4 * i));
    return tervik::compaction::StrategyHandle(std::make_shared<tervik::compaction::Leveled>(std::move(lo)));
  }
  if (name == tervik::compaction::Fifo::kName) {
    ZV_ASSIGN_OR_RETURN(std::string lim, should_be_defined(get, tervik::compaction::Fifo::kKeyLimit));
    ZV_ASSIGN_OR_RETURN(uint64_t limit, first_u64(lim));
    ZV_ASSIGN_OR_RETURN(std::string ttl_flag, should_be_defined(get, tervik::compaction::Fifo::kKeyTtl));
    std::optional<uint64_t> ttl;
    if (is_true_flag(ttl_flag)) {
      ZV_ASSIGN_OR_RETURN(std::string secs, should_be_defined(get, tervik::compaction::Fifo::kKeyTtlSeconds));
      ZV_ASSIGN_OR_RETURN(uint64_t s, first_u64(secs));
      ttl = s;
    }
    return tervik::compaction::StrategyHandle(std::make_shared<tervik::compaction::Fifo>(limit, ttl));
  }
  return zv::make_unexpected(damaged("Invalid/unsupported compaction strategy: " + name));
}

}  // namespace

MorvaResult<tervik::KvSeparationOptions> read_kv_separation(const MetaOptionLookup& get) {
  tervik::KvSeparationOptions kv;
  ZV_ASSIGN_OR_RETURN(std::string age, should_be_defined(get, "blob_age_cutoff"));
  ZV_ASSIGN_OR_RETURN(kv.age_cutoff, first_f32(age));
  ZV_ASSIGN_OR_RETURN(std::string comp, should_be_defined(get, "blob_compression"));
  if (comp.empty()) {
    return zv::make_unexpected(MorvaError(tervik::TervikError(
        zv::IoError(zv::IoErrorKind::kUnexpectedEof, zv::kShortReadMessage))));
  }
  ZV_ASSIGN_OR_RETURN(kv.compression, tervik::parse_compression_type(static_cast<uint8_t>(comp[0])));
  ZV_ASSIGN_OR_RETURN(std::string target, should_be_defined(get, "blob_file_target_size"));
  ZV_ASSIGN_OR_RETURN(kv.file_target_size, first_u64(target));
  ZV_ASSIGN_OR_RETURN(std::string threshold, should_be_defined(get, "blob_separation_threshold"));
  ZV_ASSIGN_OR_RETURN(kv.separation_threshold, first_u32(threshold));
  ZV_ASSIGN_OR_RETURN(std::string stale, should_be_defined(get, "blob_staleness_threshold"));
  ZV_ASSIGN_OR_RETURN(kv.staleness_threshold, first_f32(stale));
  return kv;
}

MorvaResult<KeyspaceCreateOptions> read_keyspace_options(const MetaOptionLookup& get) {
  KeyspaceCreateOptions o;
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> blob, get("blob"));
  ZV_ASSIGN_OR_RETURN(std::string v, should_exist(get, "data_block_compression_policy"));
  ZV_ASSIGN_OR_RETURN(o.data_block_compression_policy, decode_compression_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "index_block_compression_policy"));
  ZV_ASSIGN_OR_RETURN(o.index_block_compression_policy, decode_compression_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "data_block_size_policy"));
  ZV_ASSIGN_OR_RETURN(o.data_block_size_policy, decode_block_size_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "filter_block_partitioning_policy"));
  ZV_ASSIGN_OR_RETURN(o.filter_block_partitioning_policy, decode_pinning_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "index_block_partitioning_policy"));
  ZV_ASSIGN_OR_RETURN(o.index_block_partitioning_policy, decode_pinning_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "filter_block_pinning_policy"));
  ZV_ASSIGN_OR_RETURN(o.filter_block_pinning_policy, decode_pinning_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "index_block_pinning_policy"));
  ZV_ASSIGN_OR_RETURN(o.index_block_pinning_policy, decode_pinning_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "data_block_restart_interval_policy"));
  ZV_ASSIGN_OR_RETURN(o.data_block_restart_interval_policy, decode_restart_interval_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "index_block_restart_interval_policy"));
  ZV_ASSIGN_OR_RETURN(o.index_block_restart_interval_policy, decode_restart_interval_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "data_block_hash_ratio_policy"));
  ZV_ASSIGN_OR_RETURN(o.data_block_hash_ratio_policy, decode_hash_ratio_policy(v));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "expect_point_read_hits"));
  o.expect_point_read_hits = is_true_flag(v);
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "filter_policy"));
  ZV_ASSIGN_OR_RETURN(o.filter_policy, decode_filter_policy(v));
  // Separation settings are read here; their error counts only after the rest.
  std::optional<MorvaResult<tervik::KvSeparationOptions>> kv;
  if (blob) kv.emplace(read_kv_separation(get));
  ZV_ASSIGN_OR_RETURN(o.compaction_strategy, read_strategy(get));
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "manual_journal_persist"));
  o.manual_journal_persist = is_true_flag(v);
  ZV_ASSIGN_OR_RETURN(v, should_exist(get, "max_memtable_size"));
  ZV_ASSIGN_OR_RETURN(o.max_memtable_size, first_u64(v));
  if (kv) {
    if (!kv->ok()) return zv::make_unexpected(std::move(*kv).error());
    o.kv_separation = std::move(*kv).value();
  }
  o.level_count = tervik::kDefaultLevelCount;
  return o;
}

}  // namespace morva
