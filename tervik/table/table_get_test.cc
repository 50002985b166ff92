// Point reads of one table: snapshot visibility with the global seqno,
// versions spanning blocks, the filter forms, and reads that must end
// without touching the file.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/table.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik {
namespace {

struct Opened {
  zv::testing::TempDir dir;
  std::string path = zv::fs::join(dir.path(), "t");
  std::optional<Table> table;

  Opened(const std::vector<InternalValue>& items, testing::TableOptions o, SeqNo global_seqno,
         bool pin_filter, bool pin_index) {
    EXPECT_TRUE(testing::write_table(path, 1, items, o).ok());
    auto t = Table::recover(path, Checksum(), global_seqno, 1, BlockCache::with_capacity_bytes(1 << 20),
                            nullptr, pin_filter, pin_index);
    EXPECT_TRUE(t.ok());
    table.emplace(std::move(*t));
  }
  TervikResult<std::optional<InternalValue>> get(std::string_view key, SeqNo snapshot) const {
    return table->get(key, snapshot, BloomFilter::key_hash(key));
  }
  // From here on every read of the file fails.
  void empty_the_file() { ASSERT_TRUE(zv::fs::write_file(path, "").ok()); }
};

std::vector<InternalValue> plain(size_t n, SeqNo seqno) {
  std::vector<InternalValue> out;
  for (size_t k = 0; k < n; ++k) {
    out.push_back(InternalValue::new_value(UserKey(std::string_view(testing::numbered_key(2 * k))),
                                           UserValue(std::string(16, 'v')), seqno + k % 3));
  }
  return out;
}

TEST(TableGetTest, SnapshotsAtOrBelowWhatTheTableHoldsReadNothing) {
  struct Case {
    const char* name;
    SeqNo global;
    SeqNo snapshot;
  };
  const Case cases[] = {
      {"snapshot below the global seqno", 100, 50},
      {"snapshot equal to the global seqno", 100, 100},
      {"snapshot equal to the smallest seqno", 0, 5},
      {"snapshot equal to the smallest seqno plus the global one", 100, 105},
  };
  for (const auto& c : cases) {
    for (bool pin : {false, true}) {
      Opened t(plain(50, 5), {}, c.global, pin, pin);
      t.empty_the_file();
      auto g = t.get(testing::numbered_key(0), c.snapshot);
      ASSERT_TRUE(g.ok()) << c.name << ": " << g.error().debug_string();
      EXPECT_FALSE(g->has_value()) << c.name;
    }
  }
  Opened t(plain(50, 5), {}, 100, true, true);
  auto g = t.get(testing::numbered_key(0), 106);
  ASSERT_TRUE(g.ok() && g->has_value());
  EXPECT_EQ((*g)->key.seqno, 105u);
}

TEST(TableGetTest, NewestVisibleVersionInTheSecondOfTwoBlocks) {
  std::vector<InternalValue> items;
  items.push_back(InternalValue::new_value(UserKey("a"), UserValue("x"), 1));
  for (SeqNo s = 30; s >= 1; --s) {
    items.push_back(InternalValue::new_value(UserKey("k"), UserValue(std::string(60, 'a' + s % 26)), s));
  }
  testing::TableOptions o;
  o.block_size = 200;
  for (bool pin_index : {false, true}) {
    for (bool partitioned : {false, true}) {
      o.partitioned_index = partitioned;
      Opened t(items, o, 0, false, pin_index);
      ASSERT_GE(t.table->meta().data_block_count, 3u);
      for (SeqNo snapshot : {31, 20, 9, 2}) {
        auto g = t.get("k", snapshot);
        ASSERT_TRUE(g.ok());
        ASSERT_TRUE(g->has_value()) << snapshot;
        EXPECT_EQ((*g)->key.seqno, snapshot - 1);
        EXPECT_EQ((*g)->value, items[1 + 30 - (snapshot - 1)].value);
      }
      auto none = t.get("k", 1);
      ASSERT_TRUE(none.ok());
      EXPECT_FALSE(none->has_value());
    }
  }
}

TEST(TableGetTest, AbsentKeysWithoutFilter) {
  testing::TableOptions o;
  o.bits_per_key = 0;
  o.block_size = 128;
  for (bool pin_index : {false, true}) {
    Opened t(plain(100, 1), o, 0, true, pin_index);
    EXPECT_FALSE(t.table->regions().filter.has_value());
    for (const std::string& key : {testing::numbered_key(1), testing::numbered_key(99), testing::numbered_key(1001), std::string("zzz"), std::string("a")}) {
      auto g = t.get(key, 1000);
      ASSERT_TRUE(g.ok()) << key;
      EXPECT_FALSE(g->has_value()) << key;
    }
    for (size_t k = 0; k < 100; k += 7) {
      auto g = t.get(testing::numbered_key(2 * k), 1000);
      ASSERT_TRUE(g.ok() && g->has_value()) << k;
    }
  }
}

// A negative filter answer ends the read: with the file emptied, any read
// past the filter fails, so every clean "none" proves the index was skipped.
TEST(TableGetTest, NegativeFilterEndsTheReadBeforeTheIndex) {
  testing::TableOptions o;
  o.block_size = 128;
  Opened t(plain(300, 1), o, 0, /*pin_filter=*/true, /*pin_index=*/false);
  ASSERT_TRUE(t.table->has_pinned_filter());
  t.empty_the_file();
  size_t clean = 0, failed = 0;
  for (size_t k = 0; k < 300; ++k) {
    auto g = t.get(testing::numbered_key(2 * k + 1), 1000);
    if (g.ok()) {
      EXPECT_FALSE(g->has_value());
      ++clean;
    } else {
      ++failed;
    }
  }
  EXPECT_GT(clean, 280u);
  // A present key passes the filter and must reach the (now empty) file.
  auto present = t.get(testing::numbered_key(0), 1000);
  EXPECT_FALSE(present.ok());
}

TEST(TableGetTest, FilterForms) {
  struct Case {
    const char* name;
    bool partitioned_filter;
    bool pin_filter;
  };
  const Case cases[] = {
      {"whole filter, pinned", false, true},
      {"whole filter, loaded on demand", false, false},
      {"partitioned filter", true, false},
  };
  testing::TableOptions o;
  o.block_size = 128;
  const auto items = plain(2000, 1);
  for (const auto& c : cases) {
    o.partitioned_filter = c.partitioned_filter;
    Opened t(items, o, 0, c.pin_filter, true);
    EXPECT_EQ(t.table->has_pinned_filter_index(), c.partitioned_filter) << c.name;
    for (size_t k = 0; k < items.size(); k += 3) {
      auto g = t.get(items[k].key.user_key.view(), 1000);
      ASSERT_TRUE(g.ok()) << c.name;
      ASSERT_TRUE(g->has_value()) << c.name << " " << k;
      EXPECT_EQ((*g)->key.seqno, items[k].key.seqno) << c.name;
    }
    for (const std::string& key : {testing::numbered_key(1), testing::numbered_key(2001), testing::numbered_key(9999), std::string("zz")}) {
      auto g = t.get(key, 1000);
      ASSERT_TRUE(g.ok()) << c.name << " " << key;
      EXPECT_FALSE(g->has_value()) << c.name << " " << key;
    }
  }
}

}  // namespace
}  // namespace tervik
