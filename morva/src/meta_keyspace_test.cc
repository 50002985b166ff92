#include "morva/src/meta_keyspace.h"

#include <gtest/gtest.h>

#include "morva/src/testing/hex.h"
#include "morva/src/testing/memory_meta_tree.h"
#include "platform/log.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"
#include "tervik/core/testing/panic_capture.h"

namespace morva {
namespace {

using testing::hex;
using testing::MemoryMetaTree;
using testing::unhex;

const std::string kPrefix1 = unhex("63 00 00 00 00 00 00 00 01");

struct Golden {
  const char* option;  // nullptr: the name entry
  const char* value;
};

void expect_entries(const std::vector<MetaEntry>& got, const std::vector<Golden>& want, KeyspaceId id,
                    std::string_view name) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    const std::string key = want[i].option ? config_key(id, want[i].option) : name_key(id);
    const std::string value = want[i].option ? unhex(want[i].value) : std::string(name);
    EXPECT_EQ(got[i].key, key) << i;
    EXPECT_EQ(hex(got[i].value), hex(value)) << (want[i].option ? want[i].option : "name");
  }
}

const std::vector<Golden> kDefaultEntries = {
    {"compaction_strategy", "4c 65 76 65 6c 65 64 43 6f 6d 70 61 63 74 69 6f 6e"},  // "LeveledCompaction"
    {"data_block_compression_policy", "03 00 00 01"},
    {"data_block_hash_ratio_policy", "01 00 00 00 00"},
    {"data_block_restart_interval_policy", "02 0a 10"},
    {"data_block_size_policy", "01 00 10 00 00"},
    {"expect_point_read_hits", "00"},
    {"filter_block_partitioning_policy", "04 00 00 00 01"},
    {"filter_block_pinning_policy", "02 01 00"},
    {"filter_policy", "02 01 01 17 b7 d1 38 01 00 00 00 20 41"},
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
    {nullptr, nullptr},
};

TEST(MetaKeys, OptionAndNameKeysAreKindByteThenBigEndianId) {
  const std::string key = MetaKeyspace::config_key(1, "max_memtable_size");
  EXPECT_EQ(key.size(), 26u);
  EXPECT_EQ(key, kPrefix1 + "max_memtable_size");
  EXPECT_EQ(hex(name_key(1)), "6e0000000000000001");
  EXPECT_EQ(hex(config_key(0x0102030405060708ull, "")), "630102030405060708");
  // Ids order their keys: id 255 before id 256, every option entry before every name entry.
  EXPECT_LT(config_key(255, "zzz"), config_key(256, "a"));
  EXPECT_LT(config_key(~0ull, "version"), name_key(0));
}

TEST(MetaKeyspaceEntries, DefaultOptionsGiveTwentyOneEntriesInKeyOrder) {
  expect_entries(keyspace_meta_entries(1, "default", KeyspaceCreateOptions()), kDefaultEntries, 1, "default");
}

TEST(MetaKeyspaceEntries, SeparationAddsSixBlobEntriesAndFifoItsOwn) {
  KeyspaceCreateOptions o;
  o.kv_separation = tervik::KvSeparationOptions{.file_target_size = 0x0102030405060708ull,
                                                .separation_threshold = 4096,
                                                .staleness_threshold = 0.5f,
                                                .age_cutoff = 0.25f,
                                                .compression = tervik::CompressionType::kLz4};
  o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(1000, 60);
  std::vector<Golden> want = {
      {"blob", "01"},
      {"blob_age_cutoff", "00 00 80 3e"},
      {"blob_compression", "01"},
      {"blob_file_target_size", "08 07 06 05 04 03 02 01"},
      {"blob_separation_threshold", "00 10 00 00"},
      {"blob_staleness_threshold", "00 00 00 3f"},
      {"compaction_strategy", "46 69 66 6f 43 6f 6d 70 61 63 74 69 6f 6e"},  // "FifoCompaction"
  };
  for (size_t i = 1; i < 6; ++i) want.push_back(kDefaultEntries[i]);
  want.push_back({"fifo_limit", "e8 03 00 00 00 00 00 00"});
  want.push_back({"fifo_ttl", "01"});
  want.push_back({"fifo_ttl_seconds", "3c 00 00 00 00 00 00 00"});
  for (size_t i = 6; i < 14; ++i) want.push_back(kDefaultEntries[i]);
  for (size_t i = 17; i < kDefaultEntries.size(); ++i) want.push_back(kDefaultEntries[i]);
  // A hostile name is stored as it is.
  const std::string name("n\0\xff\x63", 4);
  expect_entries(keyspace_meta_entries(9, name, o), want, 9, name);

  o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(7, std::nullopt);
  auto entries = keyspace_meta_entries(9, "x", o);
  auto find = [&](std::string_view option) {
    for (const MetaEntry& e : entries)
      if (e.key == config_key(9, option)) return hex(e.value);
    return std::string("missing");
  };
  EXPECT_EQ(find("fifo_ttl"), "00");
  EXPECT_EQ(find("fifo_ttl_seconds"), "0000000000000000");
}

class OddStrategy final : public tervik::compaction::CompactionStrategy {
 public:
  OddStrategy(std::string name, std::string key) : name_(std::move(name)), key_(std::move(key)) {}
  std::string_view name() const override { return name_; }
  std::vector<tervik::compaction::ConfigEntry> config() const override { return {{key_, "v"}}; }
  tervik::compaction::Choice choose(const tervik::Version&, const tervik::TreeConfig&,
                                    const tervik::HiddenTableSet&) const override {
    return tervik::compaction::DoNothing{};
  }

 private:
  std::string name_, key_;
};

TEST(MetaKeyspaceEntries, StrategiesThisEngineCannotStoreAreBrokenInvariants) {
  KeyspaceCreateOptions o;
  o.compaction_strategy = std::make_shared<OddStrategy>("TieredCompaction", "k");
  EXPECT_EQ(tervik::testing::panic_message([&] { (void)keyspace_meta_entries(1, "a", o); }),
            "Invalid/unsupported compaction strategy: TieredCompaction");
  o.compaction_strategy = std::make_shared<OddStrategy>("FifoCompaction", "bad\xff");
  EXPECT_EQ(tervik::testing::panic_message([&] { (void)keyspace_meta_entries(1, "a", o); }),
            "compaction strategy should return UTF-8 key");
}

TEST(MetaKeyspace, CreateWritesOneIngestionThenRunsMaintenance) {
  auto tree = std::make_shared<MemoryMetaTree>();
  MetaKeyspace meta(tree);
  int registered = 0;
  ASSERT_TRUE(meta.create_keyspace(3, "docs", KeyspaceCreateOptions(), [&] {
    EXPECT_EQ(tree->ingested.size(), 1u);
    EXPECT_TRUE(tree->compactions.empty());
    ++registered;
  }).ok());
  EXPECT_EQ(registered, 1);
  ASSERT_EQ(tree->ingested.size(), 1u);
  expect_entries(tree->ingested[0], kDefaultEntries, 3, "docs");

  ASSERT_EQ(tree->compactions.size(), 1u);
  const auto& c = tree->compactions[0];
  EXPECT_EQ(c.watermark, 0u);
  auto* leveled = dynamic_cast<const tervik::compaction::Leveled*>(c.strategy.get());
  ASSERT_NE(leveled, nullptr);
  EXPECT_EQ(leveled->options().level_ratio_policy, std::vector<float>{20.0f});
  EXPECT_EQ(leveled->options().l0_threshold, 2);
  EXPECT_EQ(leveled->options().target_size, 64ull << 20);

  EXPECT_EQ(*meta.get_keyspace_name(3).value(), "docs");
  EXPECT_EQ(hex(*meta.get_config(3, "max_memtable_size").value()), "0000000400000000");
  EXPECT_FALSE(meta.get_config(3, "nope")->has_value());
  EXPECT_FALSE(meta.get_keyspace_name(4)->has_value());
  auto scanned = meta.scan_config(3);
  ASSERT_TRUE(scanned.ok());
  EXPECT_EQ(scanned->size(), 20u);
  EXPECT_EQ(scanned->front().key, "compaction_strategy");
}

TEST(MetaKeyspace, FailedIngestionIsStorageAndStoresNothing) {
  auto tree = std::make_shared<MemoryMetaTree>();
  tree->fail_ingest = tervik::TervikError::io(zv::IoError(zv::IoErrorKind::kStorageFull, "disk full"));
  MetaKeyspace meta(tree);
  bool registered = false;
  auto st = meta.create_keyspace(1, "a", KeyspaceCreateOptions(), [&] { registered = true; });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), MorvaErrorKind::kStorage);
  EXPECT_EQ(st.error().storage_error().io_error().message(), "disk full");
  EXPECT_FALSE(registered);
  EXPECT_TRUE(tree->entries.empty());
  EXPECT_TRUE(tree->compactions.empty());
  EXPECT_FALSE(meta.get_keyspace_name(1)->has_value());
}

TEST(MetaKeyspace, FailedMaintenanceIsOnlyLogged) {
  auto tree = std::make_shared<MemoryMetaTree>();
  tree->fail_compact = tervik::TervikError::unrecoverable();
  MetaKeyspace meta(tree);
  zv::log::CaptureSink sink(zv::log::Level::kWarn);
  ASSERT_TRUE(meta.create_keyspace(1, "a", KeyspaceCreateOptions()).ok());
  bool logged = false;
  for (const auto& ev : sink.events())
    logged |= ev.level == zv::log::Level::kWarn && ev.target == "morva::meta_keyspace" &&
              ev.message == "Meta keyspace maintenance failed: TervikError: Unrecoverable";
  EXPECT_TRUE(logged);
  EXPECT_EQ(*meta.get_keyspace_name(1).value(), "a");
}

TEST(MetaKeyspace, ReadErrorsAndDamagedNamesAreErrors) {
  auto tree = std::make_shared<MemoryMetaTree>();
  MetaKeyspace meta(tree);
  tree->entries[name_key(5)] = "bad\xc3";
  zv::log::CaptureSink sink(zv::log::Level::kError);
  auto name = meta.get_keyspace_name(5);
  ASSERT_FALSE(name.ok());
  EXPECT_EQ(name.error().kind(), MorvaErrorKind::kUnrecoverable);
  EXPECT_TRUE(sink.contains("should be utf-8"));

  tree->fail_reads = tervik::TervikError::invalid_trailer();
  for (auto r : {meta.get_keyspace_name(1), meta.get_config(1, "version")}) {
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), MorvaErrorKind::kStorage);
  }
  EXPECT_FALSE(meta.scan_config(1).ok());
}

}  // namespace
}  // namespace morva
