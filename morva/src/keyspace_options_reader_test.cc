#include "morva/src/keyspace_options_reader.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "morva/src/meta_keyspace.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

using tervik::CompressionType;

// The stored entries of one keyspace by option name, with a record of reads.
struct StoredOptions {
  std::map<std::string, std::string, std::less<>> values;
  std::vector<std::string> reads;
  MetaOptionLookup lookup() {
    return [this](std::string_view option) -> MorvaResult<std::optional<std::string>> {
      reads.emplace_back(option);
      auto it = values.find(option);
      if (it == values.end()) return std::optional<std::string>();
      return std::optional<std::string>(it->second);
    };
  }
};

StoredOptions stored(const KeyspaceCreateOptions& o) {
  StoredOptions s;
  for (auto& [k, v] : keyspace_meta_entries(4, "ks", o)) {
    if (k[0] == static_cast<char>(kMetaConfigKeyTag)) s.values[k.substr(9)] = v;
  }
  return s;
}

void expect_same(const KeyspaceCreateOptions& a, const KeyspaceCreateOptions& b) {
  EXPECT_EQ(a.data_block_hash_ratio_policy, b.data_block_hash_ratio_policy);
  EXPECT_EQ(a.data_block_size_policy, b.data_block_size_policy);
  EXPECT_EQ(a.data_block_restart_interval_policy, b.data_block_restart_interval_policy);
  EXPECT_EQ(a.index_block_restart_interval_policy, b.index_block_restart_interval_policy);
  EXPECT_EQ(a.index_block_pinning_policy, b.index_block_pinning_policy);
  EXPECT_EQ(a.filter_block_pinning_policy, b.filter_block_pinning_policy);
  EXPECT_EQ(a.filter_block_partitioning_policy, b.filter_block_partitioning_policy);
  EXPECT_EQ(a.index_block_partitioning_policy, b.index_block_partitioning_policy);
  EXPECT_EQ(a.filter_policy, b.filter_policy);
  EXPECT_EQ(a.data_block_compression_policy, b.data_block_compression_policy);
  EXPECT_EQ(a.index_block_compression_policy, b.index_block_compression_policy);
  EXPECT_EQ(a.kv_separation, b.kv_separation);
  EXPECT_EQ(a.max_memtable_size, b.max_memtable_size);
  EXPECT_EQ(a.expect_point_read_hits, b.expect_point_read_hits);
  EXPECT_EQ(a.manual_journal_persist, b.manual_journal_persist);
  EXPECT_EQ(a.compaction_strategy->config(), b.compaction_strategy->config());
}

TEST(KeyspaceOptionsReaderTest, RandomRecordsComeBack) {
  std::mt19937_64 rng(5);
  auto n = [&] { return static_cast<size_t>(1 + rng() % 255); };
  for (int round = 0; round < 100; ++round) {
    KeyspaceCreateOptions o = KeyspaceCreateOptions::defaults();
    std::vector<uint32_t> sizes(n());
    for (auto& v : sizes) v = static_cast<uint32_t>(rng());
    o.data_block_size_policy = tervik::BlockSizePolicy(sizes);
    std::vector<float> ratios(n());
    for (auto& v : ratios) v = static_cast<float>(rng() % 100) / 3.0f;
    o.data_block_hash_ratio_policy = tervik::HashRatioPolicy(ratios);
    std::vector<uint8_t> restarts(n());
    for (auto& v : restarts) v = static_cast<uint8_t>(rng());
    o.index_block_restart_interval_policy = tervik::RestartIntervalPolicy(restarts);
    std::vector<bool> pins(n());
    for (size_t i = 0; i < pins.size(); ++i) pins[i] = rng() % 2;
    o.filter_block_partitioning_policy = tervik::PinningPolicy(pins);
    std::vector<CompressionType> comp(n());
    for (auto& c : comp) c = static_cast<CompressionType>(rng() % 2);
    o.index_block_compression_policy = tervik::CompressionPolicy(comp);
    o.filter_policy = tervik::FilterPolicy{tervik::FilterPolicyEntry::none(),
                                           tervik::FilterPolicyEntry::bits_per_key(static_cast<float>(rng() % 20))};
    o.max_memtable_size = rng();
    o.expect_point_read_hits = rng() % 2;
    o.manual_journal_persist = rng() % 2;
    if (rng() % 2) {
      o.kv_separation = tervik::KvSeparationOptions{rng(), static_cast<uint32_t>(rng()), 0.5f, 0.25f,
                                                    CompressionType::kLz4};
    }
    if (rng() % 2) {
      o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(
          rng(), rng() % 2 ? std::optional<uint64_t>(rng()) : std::nullopt);
    } else {
      tervik::LeveledOptions lo;
      lo.level_ratio_policy = std::vector<float>(n(), 8.0f);
      lo.target_size = rng();
      lo.l0_threshold = static_cast<uint8_t>(rng());
      o.compaction_strategy = std::make_shared<tervik::compaction::Leveled>(lo);
    }
    o.level_count = 3;
    StoredOptions s = stored(o);
    auto back = read_keyspace_options(s.lookup());
    ASSERT_TRUE(back.ok()) << back.error().debug_string();
    expect_same(*back, o);
    EXPECT_EQ(back->level_count, 7) << "the reader sets the default level count";
  }
}

TEST(KeyspaceOptionsReaderTest, StoredValueCases) {
  KeyspaceCreateOptions o = KeyspaceCreateOptions::defaults();
  {
    StoredOptions s = stored(o);
    s.values["expect_point_read_hits"] = "\x02";
    s.values["max_memtable_size"] = std::string("\x01\x00\x00\x00\x00\x00\x00\x00\xFF", 9);
    auto back = read_keyspace_options(s.lookup());
    ASSERT_TRUE(back.ok());
    EXPECT_FALSE(back->expect_point_read_hits);
    EXPECT_EQ(back->max_memtable_size, 1u);
    s.values["max_memtable_size"] = std::string(7, '\0');
    EXPECT_EQ(read_keyspace_options(s.lookup()).error().debug_string(),
              "Io(Custom { kind: UnexpectedEof, error: \"failed to fill whole buffer\" })");
  }
  {
    o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(5, std::nullopt);
    StoredOptions s = stored(o);
    s.values.erase("fifo_ttl_seconds");
    auto back = read_keyspace_options(s.lookup());
    ASSERT_TRUE(back.ok()) << back.error().debug_string();
    EXPECT_EQ(std::count(s.reads.begin(), s.reads.end(), "fifo_ttl_seconds"), 0);
    EXPECT_FALSE(std::static_pointer_cast<const tervik::compaction::Fifo>(back->compaction_strategy)->ttl());
  }
  {
    // A separation error is returned only after the last row.
    o.kv_separation = tervik::KvSeparationOptions{1, 2, 0.5f, 0.5f, CompressionType::kNone};
    StoredOptions s = stored(o);
    s.values["blob_age_cutoff"] = "\x01";
    s.values.erase("max_memtable_size");
    EXPECT_EQ(read_keyspace_options(s.lookup()).error().kind(), MorvaErrorKind::kUnrecoverable);
    s = stored(o);
    s.values["blob_age_cutoff"] = "\x01";
    EXPECT_TRUE(read_keyspace_options(s.lookup()).error().is_io(zv::IoErrorKind::kUnexpectedEof));
    s = stored(o);
    s.values["blob_compression"] = "\x05";
    EXPECT_EQ(read_keyspace_options(s.lookup()).error().debug_string(),
              "Storage(InvalidTag((\"CompressionType\", 5)))");
  }
  // Damage this system never writes: Unrecoverable.
  const KeyspaceCreateOptions base = KeyspaceCreateOptions::defaults();
  for (const char* missing : {"data_block_size_policy", "compaction_strategy", "leveled_target_size",
                              "max_memtable_size", "filter_policy"}) {
    StoredOptions s = stored(base);
    s.values.erase(missing);
    EXPECT_EQ(read_keyspace_options(s.lookup()).error().kind(), MorvaErrorKind::kUnrecoverable) << missing;
  }
  for (std::string name : {std::string("TieredCompaction"), std::string("\xFF\xFE")}) {
    StoredOptions s = stored(base);
    s.values["compaction_strategy"] = name;
    EXPECT_EQ(read_keyspace_options(s.lookup()).error().kind(), MorvaErrorKind::kUnrecoverable);
  }
  // A read error is returned as it is.
  MetaOptionLookup failing = [](std::string_view) -> MorvaResult<std::optional<std::string>> {
    return zv::make_unexpected(MorvaError(tervik::TervikError::unrecoverable()));
  };
  EXPECT_EQ(read_keyspace_options(failing).error().debug_string(), "Storage(Unrecoverable)");
}

}  // namespace
}  // namespace morva
