#include "morva/src/keyspace_options.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "morva/src/meta_keyspace.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

using tervik::CompressionType;

std::string hex(std::string_view s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (!out.empty()) out += ' ';
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

std::string option_of(const std::string& key) { return key.substr(9); }

TEST(KeyspaceOptionsTest, DefaultEntriesInKeyOrderWithTheirBytes) {
  const auto entries = keyspace_meta_entries(1, "default", KeyspaceCreateOptions::defaults());
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"compaction_strategy", hex("LeveledCompaction")},
      {"data_block_compression_policy", "03 00 00 01"},
      {"data_block_hash_ratio_policy", "01 00 00 00 00"},
      {"data_block_restart_interval_policy", "02 0A 10"},
      {"data_block_size_policy", "01 00 10 00 00"},
      {"expect_point_read_hits", "00"},
      {"filter_block_partitioning_policy", "04 00 00 00 01"},
      {"filter_block_pinning_policy", "02 01 00"},
      {"filter_policy", "02 01 01 17 B7 D1 38 01 00 00 00 20 41"},
      {"index_block_compression_policy", "01 00"},
      {"index_block_partitioning_policy", "04 00 00 00 01"},
      {"index_block_pinning_policy", "03 01 01 00"},
      {"index_block_restart_interval_policy", "01 01"},
      {"level_count", "07"},
      {"leveled_l0_threshold", "04"},
      {"leveled_level_ratio_policy", "01 00 00 20 41"},
      {"leveled_target_size", "00 00 00 04 00 00 00 00"},
      {"manual_journal_persist", "00"},
      {"max_memtable_size", "00 00 00 04 00 00 00 00"},
      {"version", "03"},
  };
  ASSERT_EQ(entries.size(), 21u);
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(entries[i].first, meta_config_key(1, expected[i].first)) << i;
    EXPECT_EQ(hex(entries[i].second), expected[i].second) << expected[i].first;
  }
  EXPECT_EQ(entries.back().first, meta_name_key(1));
  EXPECT_EQ(entries.back().second, "default");
  EXPECT_EQ(hex(meta_config_key(1, "max_memtable_size")),
            "63 00 00 00 00 00 00 00 01 " + hex("max_memtable_size"));
  EXPECT_EQ(meta_config_key(1, "max_memtable_size").size(), 26u);
  EXPECT_EQ(hex(meta_name_key(1)), "6E 00 00 00 00 00 00 00 01");
}

TEST(KeyspaceOptionsTest, SeparationAndFifoEntries) {
  KeyspaceCreateOptions o = KeyspaceCreateOptions::defaults();
  o.kv_separation = tervik::KvSeparationOptions{1 << 20, 4096, 0.25f, 0.5f, CompressionType::kLz4};
  auto entries = keyspace_meta_entries(2, "blobs", o);
  ASSERT_EQ(entries.size(), 27u);
  const std::vector<std::pair<std::string, std::string>> blob = {
      {"blob", "01"},
      {"blob_age_cutoff", "00 00 00 3F"},
      {"blob_compression", "01"},
      {"blob_file_target_size", "00 00 10 00 00 00 00 00"},
      {"blob_separation_threshold", "00 10 00 00"},
      {"blob_staleness_threshold", "00 00 80 3E"},
  };
  for (size_t i = 0; i < blob.size(); ++i) {
    EXPECT_EQ(option_of(entries[i].first), blob[i].first);
    EXPECT_EQ(hex(entries[i].second), blob[i].second) << blob[i].first;
  }
  for (std::optional<uint64_t> ttl : {std::optional<uint64_t>(3600), std::optional<uint64_t>()}) {
    o.kv_separation.reset();
    o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(1000, ttl);
    entries = keyspace_meta_entries(3, "fifo", o);
    ASSERT_EQ(entries.size(), 21u);
    std::vector<std::string> fifo;
    for (const auto& [k, v] : entries) {
      if (k[0] == 'c' && option_of(k).rfind("fifo_", 0) == 0) fifo.push_back(option_of(k) + "=" + hex(v));
    }
    EXPECT_EQ(fifo, (std::vector<std::string>{
                        "fifo_limit=E8 03 00 00 00 00 00 00",
                        ttl ? "fifo_ttl=01" : "fifo_ttl=00",
                        ttl ? "fifo_ttl_seconds=10 0E 00 00 00 00 00 00" : "fifo_ttl_seconds=00 00 00 00 00 00 00 00"}));
    EXPECT_EQ(entries[0].second, "FifoCompaction");
  }
}

TEST(KeyspaceOptionsTest, ApplyToTreeConfigSetsExactlyTheTreeSettings) {
  KeyspaceCreateOptions o = KeyspaceCreateOptions::defaults();
  o.data_block_size_policy = tervik::BlockSizePolicy{8192};
  o.data_block_compression_policy = tervik::CompressionPolicy{CompressionType::kLz4};
  o.index_block_compression_policy = tervik::CompressionPolicy{CompressionType::kLz4};
  o.data_block_restart_interval_policy = tervik::RestartIntervalPolicy{3};
  o.index_block_restart_interval_policy = tervik::RestartIntervalPolicy{9};
  o.filter_block_pinning_policy = tervik::PinningPolicy{false};
  o.index_block_pinning_policy = tervik::PinningPolicy{false, true};
  o.data_block_hash_ratio_policy = tervik::HashRatioPolicy{0.75f};
  o.kv_separation = tervik::KvSeparationOptions{1, 2, 0.3f, 0.4f, CompressionType::kLz4};
  o.expect_point_read_hits = true;
  o.index_block_partitioning_policy = tervik::PinningPolicy{true};
  o.filter_block_partitioning_policy = tervik::PinningPolicy{false, true};
  o.filter_policy = tervik::FilterPolicy{tervik::FilterPolicyEntry::none()};
  o.level_count = 3;
  const tervik::TreeConfig base = tervik::TreeConfig::defaults();
  const tervik::TreeConfig c = o.apply_to_tree_config(tervik::TreeConfig::defaults());
  EXPECT_EQ(c.data_block_size_policy, o.data_block_size_policy);
  EXPECT_EQ(c.data_block_compression_policy, o.data_block_compression_policy);
  EXPECT_EQ(c.index_block_compression_policy, o.index_block_compression_policy);
  EXPECT_EQ(c.data_block_restart_interval_policy, o.data_block_restart_interval_policy);
  EXPECT_EQ(c.filter_block_pinning_policy, o.filter_block_pinning_policy);
  EXPECT_EQ(c.index_block_pinning_policy, o.index_block_pinning_policy);
  EXPECT_EQ(c.data_block_hash_ratio_policy, o.data_block_hash_ratio_policy);
  EXPECT_EQ(c.kv_separation_opts, o.kv_separation);
  EXPECT_TRUE(c.expect_point_read_hits);
  EXPECT_EQ(c.index_block_partitioning_policy, o.index_block_partitioning_policy);
  EXPECT_EQ(c.filter_block_partitioning_policy, o.filter_block_partitioning_policy);
  EXPECT_EQ(c.filter_policy, o.filter_policy);
  // Left out.
  EXPECT_EQ(c.index_block_restart_interval_policy, base.index_block_restart_interval_policy);
  EXPECT_EQ(c.level_count, base.level_count);
}

TEST(KeyspaceOptionsTest, Decoders) {
  using Bytes = std::string;
  EXPECT_EQ(decode_restart_interval_policy(Bytes("\x02\x0A\x10", 3))->entries(),
            (std::vector<uint8_t>{10, 16}));
  auto short_ri = decode_restart_interval_policy(Bytes("\x02\x01", 2));
  EXPECT_EQ(short_ri.error().debug_string(),
            "Io(Custom { kind: UnexpectedEof, error: \"failed to fill whole buffer\" })");
  EXPECT_EQ(decode_compression_policy(Bytes("\x01\x02", 2)).error().debug_string(),
            "Storage(InvalidTag((\"CompressionType\", 2)))");
  EXPECT_EQ(decode_compression_policy(Bytes("\x03\x00", 2)).error().debug_string(),
            "Storage(Io(Custom { kind: UnexpectedEof, error: \"failed to fill whole buffer\" }))");
  EXPECT_TRUE(decode_compression_policy("").error().is_io(zv::IoErrorKind::kUnexpectedEof));
  EXPECT_EQ(decode_pinning_policy(Bytes("\x02\x01\x07", 3))->entries(), (std::vector<bool>{true, false}));
  auto none = decode_filter_policy(Bytes("\x01\x00", 2));
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->entries(), (std::vector<tervik::FilterPolicyEntry>{tervik::FilterPolicyEntry::none()}));
  EXPECT_EQ(decode_block_size_policy(Bytes("\x01\x00\x10\x00\x00\xFF\xFF", 7))->entries(),
            (std::vector<uint32_t>{4096})) << "trailing bytes are ignored";
  EXPECT_TRUE(decode_filter_policy(Bytes("\x01\x01\x00\x00", 4)).error().is_io(zv::IoErrorKind::kUnexpectedEof));
  // Damage this system never writes is Unrecoverable, not a stop.
  const std::pair<std::string, MorvaErrorKind> damaged[] = {
      {"pinning empty", decode_pinning_policy("").error().kind()},
      {"pinning short", decode_pinning_policy(Bytes("\x03\x01", 2)).error().kind()},
      {"count 0 words", decode_block_size_policy(Bytes("\x00", 1)).error().kind()},
      {"count 0 ratio", decode_hash_ratio_policy(Bytes("\x00", 1)).error().kind()},
      {"count 0 restart", decode_restart_interval_policy(Bytes("\x00", 1)).error().kind()},
      {"count 0 compression", decode_compression_policy(Bytes("\x00", 1)).error().kind()},
      {"count 0 pinning", decode_pinning_policy(Bytes("\x00", 1)).error().kind()},
      {"count 0 filter", decode_filter_policy(Bytes("\x00", 1)).error().kind()},
      {"filter tag 2", decode_filter_policy(Bytes("\x01\x02", 2)).error().kind()},
      {"filter kind 2", decode_filter_policy(Bytes("\x01\x01\x02\x00\x00\x20\x41", 7)).error().kind()},
  };
  for (const auto& [name, kind] : damaged) EXPECT_EQ(kind, MorvaErrorKind::kUnrecoverable) << name;
}

TEST(KeyspaceOptionsTest, EncodeThenDecodeGivesThePoliciesBack) {
  std::mt19937_64 rng(99);
  auto count = [&] { return static_cast<size_t>(1 + rng() % 255); };
  for (int round = 0; round < 200; ++round) {
    std::vector<uint32_t> sizes(count());
    for (auto& v : sizes) v = static_cast<uint32_t>(rng());
    std::vector<float> ratios(count());
    for (auto& v : ratios) {
      const uint32_t bits = static_cast<uint32_t>(rng());
      std::memcpy(&v, &bits, 4);  // any bits, NaNs included, keep their bits
    }
    std::vector<uint8_t> restarts(count());
    for (auto& v : restarts) v = static_cast<uint8_t>(rng());
    std::vector<CompressionType> comp(count());
    for (auto& v : comp) v = static_cast<CompressionType>(rng() % 2);
    std::vector<bool> pins(count());
    for (size_t i = 0; i < pins.size(); ++i) pins[i] = rng() % 2;
    std::vector<tervik::FilterPolicyEntry> filters(count());
    for (auto& f : filters) {
      const float v = static_cast<float>(rng() % 1000) / 7.0f;
      f = rng() % 3 == 0   ? tervik::FilterPolicyEntry::none()
          : rng() % 2 == 0 ? tervik::FilterPolicyEntry::bits_per_key(v)
                           : tervik::FilterPolicyEntry::false_positive_rate(v);
    }
    EXPECT_EQ(decode_block_size_policy(encode_word_policy(tervik::BlockSizePolicy(sizes)))->entries(), sizes);
    const auto back = decode_hash_ratio_policy(encode_word_policy(tervik::HashRatioPolicy(ratios)));
    ASSERT_EQ(back->entries().size(), ratios.size());
    EXPECT_EQ(std::memcmp(back->entries().data(), ratios.data(), ratios.size() * 4), 0);
    EXPECT_EQ(decode_restart_interval_policy(encode_byte_policy(tervik::RestartIntervalPolicy(restarts)))->entries(),
              restarts);
    EXPECT_EQ(decode_compression_policy(encode_byte_policy(tervik::CompressionPolicy(comp)))->entries(), comp);
    EXPECT_EQ(decode_pinning_policy(encode_byte_policy(tervik::PinningPolicy(pins)))->entries(), pins);
    EXPECT_EQ(decode_filter_policy(encode_filter_policy(tervik::FilterPolicy(filters)))->entries(), filters);
  }
}

}  // namespace
}  // namespace morva
