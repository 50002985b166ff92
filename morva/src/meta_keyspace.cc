#include "morva/src/meta_keyspace.h"

#include <algorithm>

#include "platform/coding.h"
#include "platform/panic.h"
#include "platform/utf8.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
std::string meta_config_key(uint64_t keyspace_id, std::string_view option_name) {
  std::string key;
  zv::coding::put_u8(&key, kMetaConfigKeyTag);
  zv::coding::put_u64_be(&key, keyspace_id);
  key.append(option_name);
  return key;
}

std::string meta_name_key(uint64_t keyspace_id) {
  std::string key;
  zv::coding::put_u8(&key, kMetaNameKeyTag);
  zv::coding::put_u64_be(&key, keyspace_id);
  return key;
}

std::vector<MetaEntry> keyspace_meta_entries(uint64_t keyspace_id, std::string_view name,
                                             const KeyspaceCreateOptions& o) {
  ZV_CHECK(o.compaction_strategy != nullptr, "keyspace options need a compaction strategy");
  const std::string_view strategy = o.compaction_strategy->name();
  auto key = [&](std::string_view option) { return meta_config_key(keyspace_id, option); };
  std::vector<MetaEntry> entries = {
      {key("compaction_strategy"), std::string(strategy)},
      {key("data_block_compression_policy"), encode_byte_policy(o.data_block_compression_policy)},
      {key("data_block_hash_ratio_policy"), encode_word_policy(o.data_block_hash_ratio_policy)},
      {key("data_block_restart_interval_policy"), encode_byte_policy(o.data_block_restart_interval_policy)},
      {key("data_block_size_policy"), encode_word_policy(o.data_block_size_policy)},
      {key("expect_point_read_hits"), encode_byte(o.expect_point_read_hits ? 1 : 0)},
      {key("filter_block_partitioning_policy"), encode_byte_policy(o.filter_block_partitioning_policy)},
      {key("filter_block_pinning_policy"), encode_byte_policy(o.filter_block_pinning_policy)},
      {key("filter_policy"), encode_filter_policy(o.filter_policy)},
      {key("index_block_compression_policy"), encode_byte_policy(o.index_block_compression_policy)},
      {key("index_block_partitioning_policy"), encode_byte_policy(o.index_block_partitioning_policy)},
      {key("index_block_pinning_policy"), encode_byte_policy(o.index_block_pinning_policy)},
      {key("index_block_restart_interval_policy"), encode_byte_policy(o.index_block_restart_interval_policy)},
      {key("level_count"), encode_byte(o.level_count)},
      {key("manual_journal_persist"), encode_byte(o.manual_journal_persist ? 1 : 0)},
      {key("max_memtable_size"), zv::coding::u64_le_bytes(o.max_memtable_size)},
      {key("version"), encode_byte(kKeyspaceOptionsVersion)},
  };
  if (strategy != tervik::compaction::Leveled::kName && strategy != tervik::compaction::Fifo::kName) {
    zv::panic("Invalid/unsupported compaction strategy: " + std::string(strategy));
  }
  for (auto& [k, v] : o.compaction_strategy->config()) {
    ZV_CHECK(zv::is_valid_utf8(k), "compaction strategy should return UTF-8 key");
    entries.emplace_back(key(k), std::move(v));
  }
  if (o.kv_separation) {
    const tervik::KvSeparationOptions& kv = *o.kv_separation;
    std::string f;
    entries.emplace_back(key("blob"), encode_byte(1));
    zv::coding::put_f32_le(&f, kv.age_cutoff);
    entries.emplace_back(key("blob_age_cutoff"), std::exchange(f, {}));
    entries.emplace_back(key("blob_compression"), encode_byte(static_cast<uint8_t>(kv.compression)));
    entries.emplace_back(key("blob_file_target_size"), zv::coding::u64_le_bytes(kv.file_target_size));
    zv::coding::put_u32_le(&f, kv.separation_threshold);
    entries.emplace_back(key("blob_separation_threshold"), std::exchange(f, {}));
    zv::coding::put_f32_le(&f, kv.staleness_threshold);
    entries.emplace_back(key("blob_staleness_threshold"), std::exchange(f, {}));
  }
  entries.emplace_back(meta_name_key(keyspace_id), std::string(name));
  std::stable_sort(entries.begin(), entries.end(),
                   [](const MetaEntry& a, const MetaEntry& b) { return a.first < b.first; });
  return entries;
}

}  // namespace morva
