#include "morva/src/keyspace_options.h"

#include "tervik/compaction/leveled.h"

namespace morva {

KeyspaceCreateOptions::KeyspaceCreateOptions()
    : compaction_strategy(std::make_shared<const tervik::compaction::Leveled>()) {}

tervik::TreeConfig KeyspaceCreateOptions::apply_to_tree_config(tervik::TreeConfig config) const {
  config = std::move(config)
               .with_data_block_size_policy(data_block_size_policy)
               .with_data_block_compression_policy(data_block_compression_policy)
               .with_index_block_compression_policy(index_block_compression_policy)
               .with_data_block_restart_interval_policy(data_block_restart_interval_policy)
               .with_data_block_hash_ratio_policy(data_block_hash_ratio_policy)
               .with_filter_policy(filter_policy);
  config.filter_block_pinning_policy = filter_block_pinning_policy;
  config.index_block_pinning_policy = index_block_pinning_policy;
  config.index_block_partitioning_policy = index_block_partitioning_policy;
  config.filter_block_partitioning_policy = filter_block_partitioning_policy;
  config.kv_separation_opts = kv_separation;
  config.expect_point_read_hits = expect_point_read_hits;
  return config;
}

}  // namespace morva
