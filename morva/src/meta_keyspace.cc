#include "morva/src/meta_keyspace.h"

#include <algorithm>

#include "morva/src/option_codec.h"
#include "platform/log.h"
#include "platform/panic.h"
#include "platform/utf8.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

namespace on = option_name;

constexpr float kMaintenanceLevelRatio = 20.0f;
constexpr uint8_t kMaintenanceL0Threshold = 2;

}  // namespace

std::vector<MetaEntry> keyspace_meta_entries(KeyspaceId id, std::string_view name,
                                             const KeyspaceCreateOptions& o) {
  ZV_CHECK(o.compaction_strategy != nullptr, "keyspace options should hold a compaction strategy");
  const tervik::compaction::CompactionStrategy& strategy = *o.compaction_strategy;
  std::vector<MetaEntry> entries;
  auto add = [&](std::string_view option, std::string value) {
    entries.push_back({config_key(id, option), std::move(value)});
  };

  add(on::kCompactionStrategy, std::string(strategy.name()));
  add(on::kDataBlockCompressionPolicy, encode_byte_policy(o.data_block_compression_policy));
  add(on::kDataBlockHashRatioPolicy, encode_word_policy(o.data_block_hash_ratio_policy));
  add(on::kDataBlockRestartIntervalPolicy, encode_byte_policy(o.data_block_restart_interval_policy));
  add(on::kDataBlockSizePolicy, encode_word_policy(o.data_block_size_policy));
  add(on::kExpectPointReadHits, encode_flag(o.expect_point_read_hits));
  add(on::kFilterBlockPartitioningPolicy, encode_byte_policy(o.filter_block_partitioning_policy));
  add(on::kFilterBlockPinningPolicy, encode_byte_policy(o.filter_block_pinning_policy));
  add(on::kFilterPolicy, encode_filter_policy(o.filter_policy));
  add(on::kIndexBlockCompressionPolicy, encode_byte_policy(o.index_block_compression_policy));
  add(on::kIndexBlockPartitioningPolicy, encode_byte_policy(o.index_block_partitioning_policy));
  add(on::kIndexBlockPinningPolicy, encode_byte_policy(o.index_block_pinning_policy));
  add(on::kIndexBlockRestartIntervalPolicy, encode_byte_policy(o.index_block_restart_interval_policy));
  add(on::kLevelCount, encode_byte(o.level_count));
  add(on::kManualJournalPersist, encode_flag(o.manual_journal_persist));
  add(on::kMaxMemtableSize, encode_u64(o.max_memtable_size));
  add(on::kVersion, encode_byte(kStoredOptionsVersion));

  const std::string_view strategy_name = strategy.name();
  if (strategy_name != tervik::compaction::Leveled::kName && strategy_name != tervik::compaction::Fifo::kName)
    zv::panic(kFatalUnsupportedStrategy + std::string(strategy_name));
  for (auto& [key, value] : strategy.config()) {
    ZV_CHECK(zv::is_valid_utf8(key), kFatalStrategyKeyNotUtf8);
    add(key, std::move(value));
  }

  if (o.kv_separation) {
    const tervik::KvSeparationOptions& kv = *o.kv_separation;
    add(on::kBlob, encode_byte(1));
    add(on::kBlobAgeCutoff, encode_f32(kv.age_cutoff));
    add(on::kBlobCompression, encode_byte(static_cast<uint8_t>(kv.compression)));
    add(on::kBlobFileTargetSize, encode_u64(kv.file_target_size));
    add(on::kBlobSeparationThreshold, encode_u32(kv.separation_threshold));
    add(on::kBlobStalenessThreshold, encode_f32(kv.staleness_threshold));
  }

  entries.push_back({name_key(id), std::string(name)});
  std::stable_sort(entries.begin(), entries.end(),
                   [](const MetaEntry& a, const MetaEntry& b) { return a.key < b.key; });
  return entries;
}

MorvaStatus MetaKeyspace::create_keyspace(KeyspaceId id, std::string_view name,
                                          const KeyspaceCreateOptions& options,
                                          const std::function<void()>& on_stored) {
  const std::vector<MetaEntry> entries = keyspace_meta_entries(id, name, options);
  if (auto st = tree_->ingest(entries); !st.ok()) return zv::make_unexpected(MorvaError::storage(std::move(st).error()));
  if (on_stored) on_stored();
  run_maintenance();
  return {};
}

void MetaKeyspace::run_maintenance() {
  tervik::LeveledOptions o;
  o.level_ratio_policy = {kMaintenanceLevelRatio};
  o.l0_threshold = kMaintenanceL0Threshold;
  auto strategy = std::make_shared<const tervik::compaction::Leveled>(std::move(o));
  if (auto st = tree_->compact(std::move(strategy), 0); !st.ok())
    ZV_WARN(kMetaKeyspaceLogTarget, kMaintenanceFailedMessage + st.error().to_string());
}

MorvaResult<std::optional<std::string>> MetaKeyspace::get_config(KeyspaceId id,
                                                                 std::string_view option_name) const {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> v, tree_->get(config_key(id, option_name), kReadAllSeqNo));
  return v;
}

MorvaResult<std::optional<std::string>> MetaKeyspace::get_keyspace_name(KeyspaceId id) const {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> v, tree_->get(name_key(id), kReadAllSeqNo));
  if (v && !zv::is_valid_utf8(*v)) return zv::make_unexpected(damaged_options(kNameNotUtf8Message, kMetaKeyspaceLogTarget));
  return v;
}

MorvaResult<std::vector<MetaEntry>> MetaKeyspace::scan_config(KeyspaceId id) const {
  const std::string prefix = config_key_prefix(id);
  std::vector<MetaEntry> out;
  const MetaTree::Visitor collect = [&](std::string_view key, std::string_view value) {
    out.push_back({std::string(key.substr(prefix.size())), std::string(value)});
  };
  ZV_TRY(tree_->scan_prefix(prefix, kReadAllSeqNo, collect));
  return out;
}

}  // namespace morva
