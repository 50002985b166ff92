// The table iterator against a sorted-vector model, over random tables,
// bounds and interleavings of both ends, plus the cases where bounds and
// block borders meet and where a block cannot be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/table/table.h"
#include "tervik/table/table_inner.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik {
namespace {

// Keys k00000, k00002, ... with 1 to 3 versions each.
std::vector<InternalValue> random_items(std::mt19937_64& rng, size_t keys) {
  std::vector<InternalValue> out;
  for (size_t k = 0; k < keys; ++k) {
    const int versions = 1 + static_cast<int>(rng() % 3);
    for (int v = 0; v < versions; ++v) {
      const SeqNo s = 50 - static_cast<SeqNo>(v) * 7;
      const std::string key = testing::numbered_key(2 * k);
      if (rng() % 9 == 0) {
        out.push_back(InternalValue::new_tombstone(UserKey(std::string_view(key)), s));
      } else {
        out.push_back(InternalValue::new_value(UserKey(std::string_view(key)),
                                               UserValue(std::string(rng() % 60, 'a' + v)), s));
      }
    }
  }
  return out;
}

Table open_table(const std::string& path, bool pin_index, SeqNo global_seqno = 0,
                 std::shared_ptr<BlockCache> cache = nullptr) {
  if (!cache) cache = BlockCache::with_capacity_bytes(1 << 20);
  auto t = Table::recover(path, Checksum(), global_seqno, 1, cache, nullptr, false, pin_index);
  EXPECT_TRUE(t.ok()) << t.error().debug_string();
  return std::move(*t);
}

Bound random_bound(std::mt19937_64& rng, size_t keys) {
  // Keys present (even), between keys (odd), and beyond both ends.
  const std::string k = testing::numbered_key(rng() % (2 * keys + 3));
  switch (rng() % 3) {
    case 0: return Bound::included(Slice(std::string_view(k)));
    case 1: return Bound::excluded(Slice(std::string_view(k)));
    default: return Bound::unbounded();
  }
}

TEST(TableIterTest, MatchesASortedModelFromBothEnds) {
  std::mt19937_64 rng(20261211);
  for (int round = 0; round < 60; ++round) {
    const size_t keys = 1 + rng() % 300;
    const auto items = random_items(rng, keys);
    testing::TableOptions o;
    o.block_size = 64 + static_cast<uint32_t>(rng() % 1024);
    o.restart_interval = static_cast<uint8_t>(1 + rng() % 16);
    o.partitioned_index = rng() % 3 == 0;
    o.data_compression = rng() % 2 ? CompressionType::kLz4 : CompressionType::kNone;
    o.hash_ratio = rng() % 2 ? 0.75f : 0.0f;
    zv::testing::TempDir dir;
    const std::string path = zv::fs::join(dir.path(), "t");
    ASSERT_TRUE(testing::write_table(path, 1, items, o).ok());
    const SeqNo global = rng() % 2 ? 100 : 0;
    const Table table = open_table(path, rng() % 2 == 0, global);

    for (int q = 0; q < 20; ++q) {
      const Bound lo = random_bound(rng, keys);
      const Bound hi = random_bound(rng, keys);
      std::vector<InternalValue> model;
      for (const auto& i : items) {
        if (lo.admits_from_below(i.key.user_key.view()) && hi.admits_from_above(i.key.user_key.view())) {
          model.push_back(i);
          model.back().key.seqno += global;
        }
      }
      const std::string label = "round " + std::to_string(round) + " query " + std::to_string(q) +
                                " bounds " + std::to_string(static_cast<int>(lo.kind)) + ":" +
                                std::string(lo.key.view()) + " " +
                                std::to_string(static_cast<int>(hi.kind)) + ":" +
                                std::string(hi.key.view());
      TableIter it = table.range(lo, hi);
      size_t front = 0, back = model.size();
      const int bias = static_cast<int>(rng() % 5);  // 0: back only ... 4: front only
      for (;;) {
        const bool from_back = static_cast<int>(rng() % 4) >= bias;
        ReadItem e = from_back ? it.next_back() : it.next();
        if (!e) break;
        ASSERT_TRUE(e->ok()) << label << ": " << e->error().debug_string();
        ASSERT_LT(front, back) << label << " yielded more than the model";
        const InternalValue& want = from_back ? model[--back] : model[front++];
        ASSERT_EQ((**e).key, want.key) << label << (from_back ? " from the back" : " from the front");
        ASSERT_EQ((**e).key.value_type, want.key.value_type) << label;
        ASSERT_EQ((**e).value, want.value) << label;
      }
      EXPECT_EQ(front, back) << label << " ended early";
      EXPECT_FALSE(it.next().has_value()) << label;
      EXPECT_FALSE(it.next_back().has_value()) << label;
    }
  }
}

class TableIterCasesTest : public ::testing::Test {
 protected:
  void write(const std::vector<InternalValue>& items, uint32_t block_size,
             bool partitioned_index = false) {
    testing::TableOptions o;
    o.block_size = block_size;
    o.partitioned_index = partitioned_index;
    ASSERT_TRUE(testing::write_table(path_, 1, items, o).ok());
  }
  std::vector<InternalValue> all(TableIter it) {
    std::vector<InternalValue> out;
    while (auto e = it.next()) {
      EXPECT_TRUE(e->ok());
      if (!e->ok()) break;
      out.push_back(std::move(**e));
    }
    return out;
  }
  zv::testing::TempDir dir_;
  std::string path_ = zv::fs::join(dir_.path(), "t");
};

TEST_F(TableIterCasesTest, EqualBoundsOnOneKey) {
  std::vector<InternalValue> items;
  for (const char* k : {"a", "b"}) {
    for (SeqNo s : {9, 5, 2}) {
      items.push_back(InternalValue::new_value(UserKey(std::string_view(k)), UserValue("v"), s));
    }
  }
  write(items, 40);
  for (bool pin : {false, true}) {
    const Table t = open_table(path_, pin);
    const Slice a("a");
    EXPECT_TRUE(all(t.range(Bound::included(a), Bound::excluded(a))).empty());
    const auto versions = all(t.range(Bound::included(a), Bound::included(a)));
    ASSERT_EQ(versions.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
      EXPECT_EQ(versions[i].key.user_key, a);
      EXPECT_EQ(versions[i].key.seqno, items[i].key.seqno);
    }
  }
}

TEST_F(TableIterCasesTest, LowerBoundBetweenBlocksStartsAtTheLaterBlock) {
  std::vector<InternalValue> items;
  for (size_t k = 0; k < 40; ++k) {
    items.push_back(InternalValue::new_value(UserKey(std::string_view(testing::numbered_key(2 * k))),
                                             UserValue(std::string(30, 'x')), 1));
  }
  write(items, 100);
  auto cache = BlockCache::with_capacity_bytes(1 << 20);
  const Table t = open_table(path_, true, 0, cache);
  // The index: find a block border and bound the walk between its two keys.
  std::vector<IndexBlockEntry> blocks;
  auto idx = t.inner()->block_index.iter();
  while (auto e = idx->next()) {
    if (!e.ok() || !e->has_value()) break;
    blocks.push_back(**e);
  }
  ASSERT_GE(blocks.size(), 3u);
  const std::string end0(blocks[0].end_key.view());
  const std::string between = end0 + "5";  // above the block's last key, below the next key
  auto it = t.range(Bound::included(Slice(std::string_view(between))), Bound::unbounded());
  auto first = it.next();
  ASSERT_TRUE(first && first->ok());
  const size_t at = static_cast<size_t>(std::find_if(items.begin(), items.end(), [&](const InternalValue& v) {
                      return v.key.user_key.view() > between;
                    }) - items.begin());
  EXPECT_EQ((**first).key, items[at].key);
  EXPECT_FALSE(cache->get_block(1, 1, blocks[0].handle.offset).has_value())
      << "the earlier block is never fetched";
}

TEST_F(TableIterCasesTest, EndsMeetInsideOneBlock) {
  std::vector<InternalValue> items;
  for (size_t k = 0; k < 9; ++k) {
    items.push_back(InternalValue::new_value(UserKey(std::string_view(testing::numbered_key(k))), UserValue("v"), 3));
  }
  write(items, 4096);
  const Table t = open_table(path_, false);
  ASSERT_EQ(t.meta().data_block_count, 1u);
  for (size_t split = 0; split <= items.size(); ++split) {
    TableIter it = t.iter();
    std::vector<std::string> front, back;
    for (size_t i = 0; i < split; ++i) front.emplace_back((**it.next()).key.user_key.view());
    while (auto e = it.next_back()) back.emplace_back((**e).key.user_key.view());
    ASSERT_EQ(front.size() + back.size(), items.size()) << split;
    std::reverse(back.begin(), back.end());
    front.insert(front.end(), back.begin(), back.end());
    for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(front[i], items[i].key.user_key.view()) << split;
  }
}

// A data block whose stored bytes were damaged: the walk reports the error
// once and then ends at both ends instead of skipping the block.
TEST_F(TableIterCasesTest, ErrorEndsTheIteratorAtBothEnds) {
  std::vector<InternalValue> items;
  for (size_t k = 0; k < 60; ++k) {
    items.push_back(InternalValue::new_value(UserKey(std::string_view(testing::numbered_key(k))),
                                             UserValue(std::string(30, 'x')), 1));
  }
  for (bool partitioned : {false, true}) {
    (void)zv::fs::remove_file(path_);
    write(items, 128, partitioned);
    std::vector<IndexBlockEntry> blocks;
    {
      const Table t = open_table(path_, true);
      auto idx = t.inner()->block_index.iter();
      while (auto e = idx->next()) {
        if (!e.ok() || !e->has_value()) break;
        blocks.push_back(**e);
      }
    }
    ASSERT_GE(blocks.size(), 5u);
    auto bytes = *zv::fs::read_file(path_);
    bytes[blocks[2].handle.offset + kBlockHeaderSize + 3] ^= 0x40;  // the third block's payload
    ASSERT_TRUE(zv::fs::write_file(path_, bytes).ok());
    for (bool from_back : {false, true}) {
      const Table t = open_table(path_, false);
      TableIter it = t.iter();
      size_t ok = 0;
      ReadItem e;
      while ((e = from_back ? it.next_back() : it.next()) && e->ok()) ++ok;
      ASSERT_TRUE(e.has_value()) << "the damage must surface";
      EXPECT_EQ(e->error().kind(), TervikErrorKind::kChecksumMismatch);
      EXPECT_FALSE(it.next().has_value()) << partitioned << from_back;
      EXPECT_FALSE(it.next_back().has_value()) << partitioned << from_back;
      EXPECT_GT(ok, 0u);
    }
  }
}

TEST_F(TableIterCasesTest, EveryEntryCarriesTheGlobalSeqno) {
  std::vector<InternalValue> items;
  for (size_t k = 0; k < 30; ++k) {
    items.push_back(InternalValue::new_value(UserKey(std::string_view(testing::numbered_key(k))), UserValue("v"), k));
  }
  write(items, 64);
  const Table t = open_table(path_, true, 100);
  const auto got = all(t.iter());
  ASSERT_EQ(got.size(), items.size());
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].key.seqno, items[i].key.seqno + 100);
  auto scanner = t.scan();
  ASSERT_TRUE(scanner.ok());
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ((**scanner->next()).key.seqno, i + 100);
}

}  // namespace
}  // namespace tervik
