#include "morva/src/meta_keyspace_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "morva/src/keyspace_options_reader.h"
#include "morva/src/testing/hex.h"
#include "morva/src/testing/memory_meta_tree.h"
#include "platform/log.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/leveled.h"

namespace morva {
namespace {

using testing::hex;
using testing::MemoryMetaTree;

TEST(MetaKeyspaceStore, CreateWritesOneIngestionThenRunsMaintenance) {
  auto tree = std::make_shared<MemoryMetaTree>();
  MetaKeyspace meta(tree);
  int registered = 0;
  const auto options = KeyspaceCreateOptions::defaults();
  ASSERT_TRUE(meta.create_keyspace(3, "docs", options, [&] {
    EXPECT_EQ(tree->ingested.size(), 1u);
    EXPECT_TRUE(tree->compactions.empty());
    ++registered;
  }).ok());
  EXPECT_EQ(registered, 1);
  ASSERT_EQ(tree->ingested.size(), 1u);
  EXPECT_EQ(tree->ingested[0], keyspace_meta_entries(3, "docs", options));
  EXPECT_EQ(tree->ingested[0].size(), 21u);

  ASSERT_EQ(tree->compactions.size(), 1u);
  const auto& c = tree->compactions[0];
  EXPECT_EQ(c.watermark, 0u);
  auto* leveled = dynamic_cast<const tervik::compaction::Leveled*>(c.strategy.get());
  ASSERT_NE(leveled, nullptr);
  EXPECT_EQ(leveled->options().level_ratio_policy, std::vector<float>{20.0f});
  EXPECT_EQ(leveled->options().l0_threshold, 2);
  EXPECT_EQ(leveled->options().target_size, 64ull << 20);

  EXPECT_EQ(hex(MetaKeyspace::config_key(1, "max_memtable_size")),
            "630000000000000001" + hex("max_memtable_size"));
  EXPECT_EQ(*meta.get_keyspace_name(3).value(), "docs");
  EXPECT_EQ(hex(*meta.get_config(3, "max_memtable_size").value()), "0000000400000000");
  EXPECT_FALSE(meta.get_config(3, "nope")->has_value());
  EXPECT_FALSE(meta.get_keyspace_name(4)->has_value());
  auto scanned = meta.scan_config(3);
  ASSERT_TRUE(scanned.ok());
  EXPECT_EQ(scanned->size(), 20u);
  EXPECT_EQ(scanned->front().first, "compaction_strategy");
}

TEST(MetaKeyspaceStore, FailedIngestionIsStorageAndStoresNothing) {
  auto tree = std::make_shared<MemoryMetaTree>();
  tree->fail_ingest = tervik::TervikError::io(zv::IoError(zv::IoErrorKind::kStorageFull, "disk full"));
  MetaKeyspace meta(tree);
  bool registered = false;
  auto st = meta.create_keyspace(1, "a", KeyspaceCreateOptions::defaults(), [&] { registered = true; });
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), MorvaErrorKind::kStorage);
  EXPECT_EQ(st.error().storage_error().io_error().message(), "disk full");
  EXPECT_FALSE(registered);
  EXPECT_TRUE(tree->entries.empty());
  EXPECT_TRUE(tree->compactions.empty());
  EXPECT_FALSE(meta.get_keyspace_name(1)->has_value());
}

TEST(MetaKeyspaceStore, FailedMaintenanceIsOnlyLogged) {
  auto tree = std::make_shared<MemoryMetaTree>();
  tree->fail_compact = tervik::TervikError::unrecoverable();
  MetaKeyspace meta(tree);
  zv::log::CaptureSink sink(zv::log::Level::kWarn);
  ASSERT_TRUE(meta.create_keyspace(1, "a", KeyspaceCreateOptions::defaults()).ok());
  bool logged = false;
  for (const auto& ev : sink.events())
    logged |= ev.level == zv::log::Level::kWarn && ev.target == "morva::meta_keyspace" &&
              ev.message == "Meta keyspace maintenance failed: TervikError: Unrecoverable";
  EXPECT_TRUE(logged);
  EXPECT_EQ(*meta.get_keyspace_name(1).value(), "a");
}

TEST(MetaKeyspaceStore, ReadErrorsAndDamagedNamesAreErrors) {
  auto tree = std::make_shared<MemoryMetaTree>();
  MetaKeyspace meta(tree);
  tree->entries[meta_name_key(5)] = "bad\xc3";
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
  auto options = read_keyspace_options(meta, 1);
  ASSERT_FALSE(options.ok());
  EXPECT_EQ(options.error().storage_error().kind(), tervik::TervikErrorKind::kInvalidTrailer);
}

// Options read back by one scan equal those read by point reads and those
// written, with neighbouring keyspaces (ids one below and above) around them.
TEST(MetaKeyspaceStore, ScannedOptionsMatchWrittenOnes) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 50; ++i) {
    auto tree = std::make_shared<MemoryMetaTree>();
    MetaKeyspace meta(tree);
    KeyspaceCreateOptions o = KeyspaceCreateOptions::defaults();
    o.max_memtable_size = rng();
    o.data_block_size_policy = tervik::BlockSizePolicy{static_cast<uint32_t>(rng()), 7};
    if (i % 2) o.kv_separation = tervik::KvSeparationOptions{.file_target_size = rng()};
    if (i % 3 == 0) o.compaction_strategy = std::make_shared<tervik::compaction::Fifo>(rng(), rng());
    ASSERT_TRUE(meta.create_keyspace(4, "ks", o).ok());
    ASSERT_TRUE(meta.create_keyspace(3, "before", KeyspaceCreateOptions::defaults()).ok());
    ASSERT_TRUE(meta.create_keyspace(5, "after", KeyspaceCreateOptions::defaults()).ok());

    auto scanned = read_keyspace_options(meta, 4);
    auto point = read_keyspace_options([&](std::string_view n) { return meta.get_config(4, n); });
    ASSERT_TRUE(scanned.ok() && point.ok());
    for (const auto* got : {&*scanned, &*point}) {
      EXPECT_EQ(keyspace_meta_entries(4, "ks", *got), keyspace_meta_entries(4, "ks", o)) << i;
    }
    if (o.kv_separation) {
      EXPECT_EQ(read_kv_separation(meta, 4).value(), *o.kv_separation);
    }
  }
  // An id without entries reads as damaged, never as defaults.
  MetaKeyspace empty(std::make_shared<MemoryMetaTree>());
  EXPECT_EQ(read_keyspace_options(empty, 9).error().kind(), MorvaErrorKind::kUnrecoverable);
}

}  // namespace
}  // namespace morva
