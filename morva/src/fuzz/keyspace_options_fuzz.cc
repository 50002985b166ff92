// Feeds arbitrary bytes to the option decoders and to the reading of one
// keyspace's whole options from meta entries: the first byte picks a decoder
// (0-5) or the whole read, whose entries start as the defaults' and are then
// replaced or removed by (option index, length, bytes) frames (length 255 removes) from the input.
// Whatever the input, the result is a value or an error, never a panic or
// crash; a record that reads back is stored and read again unchanged.
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "morva/src/keyspace_options_reader.h"
#include "morva/src/meta_keyspace.h"
#include "morva/src/option_codec.h"
#include "tervik/compaction/fifo.h"
#include "platform/panic.h"

namespace {

constexpr std::string_view kOptions[] = {
    "blob", "blob_age_cutoff", "blob_compression", "blob_file_target_size", "blob_separation_threshold",
    "blob_staleness_threshold", "compaction_strategy", "data_block_compression_policy",
    "data_block_hash_ratio_policy", "data_block_restart_interval_policy", "data_block_size_policy",
    "expect_point_read_hits", "fifo_limit", "fifo_ttl", "fifo_ttl_seconds", "filter_block_partitioning_policy",
    "filter_block_pinning_policy", "filter_policy", "index_block_compression_policy",
    "index_block_partitioning_policy", "index_block_pinning_policy", "index_block_restart_interval_policy",
    "leveled_l0_threshold", "leveled_level_ratio_policy", "leveled_target_size", "manual_journal_persist",
    "max_memtable_size"};
constexpr size_t kOptionCount = sizeof(kOptions) / sizeof(kOptions[0]);
constexpr uint8_t kRemove = 0xFF;

using Entries = std::map<std::string, std::string, std::less<>>;

Entries stored(const morva::KeyspaceCreateOptions& o) {
  Entries out;
  const std::string prefix = morva::config_key_prefix(1);
  for (morva::MetaEntry& e : morva::keyspace_meta_entries(1, "k", o))
    if (e.key.starts_with(prefix)) out[e.key.substr(prefix.size())] = std::move(e.value);
  return out;
}

morva::MorvaResult<morva::KeyspaceCreateOptions> read(const Entries& entries) {
  return morva::read_keyspace_options([&](std::string_view option) -> morva::MorvaResult<std::optional<std::string>> {
    auto it = entries.find(option);
    if (it == entries.end()) return std::optional<std::string>();
    return std::optional<std::string>(it->second);
  });
}

void run(std::string_view in) {
  const uint8_t pick = static_cast<uint8_t>(in[0]);
  in.remove_prefix(1);
  switch (pick % 8) {
    case 0: (void)morva::decode_block_size_policy(in); return;
    case 1: (void)morva::decode_hash_ratio_policy(in); return;
    case 2: (void)morva::decode_restart_interval_policy(in); return;
    case 3: (void)morva::decode_compression_policy(in); return;
    case 4: (void)morva::decode_pinning_policy(in); return;
    case 5: (void)morva::decode_filter_policy(in); return;
    default: break;
  }
  morva::KeyspaceCreateOptions start;
  if (pick & 0x80) start.kv_separation = tervik::KvSeparationOptions{};
  if (pick & 0x40) start.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(1, 2);
  Entries entries = stored(start);
  while (in.size() >= 2) {
    const std::string option(kOptions[static_cast<uint8_t>(in[0]) % kOptionCount]);
    const uint8_t len = static_cast<uint8_t>(in[1]);
    in.remove_prefix(2);
    if (len == kRemove) {
      entries.erase(option);
      continue;
    }
    const size_t n = std::min<size_t>(len, in.size());
    entries[option] = std::string(in.substr(0, n));
    in.remove_prefix(n);
  }
  auto first = read(entries);
  if (!first.ok()) return;
  const Entries again = stored(*first);
  auto second = read(again);
  if (!second.ok() || stored(*second) != again) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (!zv::catch_panic([&] { run(bytes); }, nullptr)) __builtin_trap();
  return 0;
}
