// The stored-option decoders over arbitrary bytes, and the reading of one
// keyspace's whole options from meta entries made from the input (option
// names picked from the stored set, values fuzz-chosen): errors only, never
// a crash or a panic.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "morva/src/keyspace_options_reader.h"
#include "platform/panic.h"

namespace {

const char* const kNames[] = {
    "blob", "blob_age_cutoff", "blob_compression", "blob_file_target_size", "blob_separation_threshold",
    "blob_staleness_threshold", "compaction_strategy", "data_block_compression_policy",
    "data_block_hash_ratio_policy", "data_block_restart_interval_policy", "data_block_size_policy",
    "expect_point_read_hits", "fifo_limit", "fifo_ttl", "fifo_ttl_seconds",
    "filter_block_partitioning_policy", "filter_block_pinning_policy", "filter_policy",
    "index_block_compression_policy", "index_block_partitioning_policy", "index_block_pinning_policy",
    "index_block_restart_interval_policy", "leveled_l0_threshold", "leveled_level_ratio_policy",
    "leveled_target_size", "manual_journal_persist", "max_memtable_size"};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in(reinterpret_cast<const char*>(data), size);
  const bool ok = zv::catch_panic(
      [&] {
        (void)morva::decode_block_size_policy(in);
        (void)morva::decode_hash_ratio_policy(in);
        (void)morva::decode_restart_interval_policy(in);
        (void)morva::decode_compression_policy(in);
        (void)morva::decode_pinning_policy(in);
        (void)morva::decode_filter_policy(in);
        // Entries: a name byte, a length byte, the value.
        std::map<std::string, std::string, std::less<>> values;
        for (size_t p = 0; p + 2 <= in.size();) {
          const char* name = kNames[static_cast<uint8_t>(in[p]) % std::size(kNames)];
          const size_t n = static_cast<uint8_t>(in[p + 1]);
          p += 2;
          std::string v = in.substr(p, n);
          p += v.size();
          if (std::string_view(name) == "compaction_strategy") {
            v = v.size() % 3 == 0 ? "LeveledCompaction" : v.size() % 3 == 1 ? "FifoCompaction" : v;
          }
          values[name] = v;
        }
        morva::MetaOptionLookup get =
            [&](std::string_view option) -> morva::MorvaResult<std::optional<std::string>> {
          auto it = values.find(option);
          if (it == values.end()) return std::optional<std::string>();
          return std::optional<std::string>(it->second);
        };
        auto o = morva::read_keyspace_options(get);
        if (o.ok()) (void)o->apply_to_tree_config(tervik::TreeConfig::defaults());
      },
      nullptr);
  if (!ok) __builtin_trap();
  return 0;
}
