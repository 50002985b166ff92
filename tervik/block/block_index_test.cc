#include "tervik/block/block_index.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

namespace tervik {
namespace {

IndexBlock index_block(std::span<const IndexBlockEntry> entries) {
  std::string out;
  EXPECT_TRUE(IndexBlock::encode_into(&out, entries).ok());
  return IndexBlock(Block{BlockHeader{}, Slice(out)});
}

// Index blocks "on disk", fetched by handle offset; counts fetches and fails
// the offsets in `fail_once` one time each.
struct FakeTable {
  std::map<uint64_t, Block> blocks;
  std::map<uint64_t, int> fetches;
  std::set<uint64_t> fail_once;

  IndexBlockFetch fetch() {
    return [this](const BlockHandle& h) -> TervikResult<Block> {
      ++fetches[h.offset];
      if (fail_once.erase(h.offset)) {
        return zv::make_unexpected(TervikError::io(zv::IoError(zv::IoErrorKind::kOther, "boom")));
      }
      return blocks.at(h.offset);
    };
  }
};

struct Fixture {
  std::vector<IndexBlockEntry> entries;  // the data blocks, in order
  FakeTable table;
  std::vector<BlockIndex> indexes;  // pinned, volatile, two-level

  Fixture(size_t n, size_t per_partition, std::mt19937& rng) {
    for (size_t i = 0; i < n; ++i) {
      char key[16];
      std::snprintf(key, sizeof(key), "k%05zu", i * 10 + rng() % 3);
      entries.push_back(IndexBlockEntry{Slice(std::string(key)), rng() % 50, BlockHandle{i * 100, 90}});
    }
    IndexBlock full = index_block(entries);
    const uint64_t full_at = 1'000'000;
    table.blocks.emplace(full_at, full.block());
    std::vector<IndexBlockEntry> top;
    for (size_t at = 0; at < n; at += per_partition) {
      std::span<const IndexBlockEntry> part(entries.data() + at, std::min(per_partition, n - at));
      uint64_t offset = 2'000'000 + at;
      table.blocks.emplace(offset, index_block(part).block());
      top.push_back(IndexBlockEntry{part.back().end_key, part.back().seqno, BlockHandle{offset, 1}});
    }
    indexes.push_back(BlockIndex::full_pinned(full));
    indexes.push_back(BlockIndex::full_volatile(BlockHandle{full_at, 1}, table.fetch()));
    indexes.push_back(BlockIndex::two_level(index_block(top), table.fetch()));
  }
};

TEST(BlockIndex, EveryKindWalksTheBoundedModelFromBothEnds) {
  std::mt19937 rng(5);
  for (int round = 0; round < 60; ++round) {
    size_t n = 1 + rng() % 60;
    size_t per = 1 + rng() % 8;
    Fixture fx(n, per, rng);
    for (int probe = 0; probe < 10; ++probe) {
      std::optional<std::pair<std::string, SeqNo>> lo;
      std::optional<std::string> hi;
      auto pick = [&] {
        std::string k(fx.entries[rng() % n].end_key.view());
        if (rng() % 3 == 0) k.back() = static_cast<char>(k.back() + 1);
        return k;
      };
      if (rng() % 3) lo.emplace(pick(), rng() % 60);
      if (rng() % 3) hi = pick();
      auto first = fx.entries.begin();
      if (lo) {
        first = std::find_if(fx.entries.begin(), fx.entries.end(), [&](const IndexBlockEntry& e) {
          int c = e.end_key.compare(std::string_view(lo->first));
          return c > 0 || (c == 0 && e.seqno < lo->second);
        });
      }
      auto last = fx.entries.end();  // one past the final entry
      if (hi) {
        last = std::find_if(fx.entries.begin(), fx.entries.end(), [&](const IndexBlockEntry& e) {
          return e.end_key.compare(std::string_view(*hi)) > 0;
        });
        last = last == fx.entries.end() ? last : last + 1;
      }
      std::vector<IndexBlockEntry> want;
      if (first < last) want.assign(first, last);
      for (const BlockIndex& index : fx.indexes) {
        SCOPED_TRACE("round " + std::to_string(round) + " kind " +
                     std::to_string(static_cast<int>(index.kind())) + " per " + std::to_string(per));
        auto it = index.iter();
        ASSERT_TRUE(it.ok());
        if (lo) {
          ASSERT_TRUE(it->seek_lower(lo->first, lo->second).ok());
        }
        if (hi) {
          ASSERT_TRUE(it->seek_upper(*hi, 0).ok());
        }
        std::vector<IndexBlockEntry> front, back;
        bool front_done = false, back_done = false;
        while (!front_done || !back_done) {
          bool from_back = front_done || (!back_done && rng() % 2);
          auto r = from_back ? it->next_back() : it->next();
          ASSERT_TRUE(r.ok());
          if (!*r) {
            (from_back ? back_done : front_done) = true;
          } else {
            (from_back ? back : front).push_back(**r);
          }
        }
        front.insert(front.end(), back.rbegin(), back.rend());
        ASSERT_EQ(front, want);
      }
    }
  }
}

TEST(BlockIndex, TwoLevelSkipsPartitionsBeforeTheLowerBound) {
  std::mt19937 rng(1);
  Fixture fx(20, 5, rng);
  auto it = fx.indexes[2].iter();
  std::string key(fx.entries[7].end_key.view());
  ASSERT_TRUE(it->seek_lower(key, 0).ok());
  auto e = it->next();
  ASSERT_TRUE(e.ok() && e->has_value());
  EXPECT_EQ(**e, fx.entries[8]);
  EXPECT_EQ(fx.table.fetches[2'000'000], 0);
  EXPECT_EQ(fx.table.fetches[2'000'005], 1);
}

TEST(BlockIndex, FailedFetchesLeaveTheIteratorUsable) {
  std::mt19937 rng(2);
  Fixture fx(12, 4, rng);
  {  // Volatile: the error, then the same block fetched again.
    fx.table.fail_once.insert(1'000'000);
    auto it = fx.indexes[1].iter();
    auto r = it->next();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), TervikErrorKind::kIo);
    auto r2 = it->next();
    ASSERT_TRUE(r2.ok() && r2->has_value());
    EXPECT_EQ(**r2, fx.entries[0]);
    EXPECT_EQ(fx.table.fetches[1'000'000], 2);
  }
  {  // Two-level: the error ends the walk at both ends; nothing is skipped.
    fx.table.fail_once.insert(2'000'004);
    auto it = fx.indexes[2].iter();
    std::vector<IndexBlockEntry> got;
    for (;;) {
      auto r = it->next();
      ASSERT_TRUE(r.ok() || got.size() == 4u) << "the error comes with the second partition";
      if (!r.ok()) break;
      ASSERT_TRUE(r->has_value()) << "the error must surface before the end";
      got.push_back(**r);
    }
    EXPECT_EQ(got, std::vector<IndexBlockEntry>(fx.entries.begin(), fx.entries.begin() + 4));
    for (int i = 0; i < 2; ++i) {
      auto front = it->next();
      auto back = it->next_back();
      ASSERT_TRUE(front.ok() && back.ok());
      EXPECT_FALSE(front->has_value());
      EXPECT_FALSE(back->has_value());
    }
  }
}

TEST(BlockIndex, PinnedForwardReaderIsNoneWhenNothingQualifies) {
  std::mt19937 rng(3);
  Fixture fx(5, 2, rng);
  const IndexBlockEntry& last = fx.entries.back();
  auto none = fx.indexes[0].forward_reader(last.end_key.view(), last.seqno);
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none->has_value());
  auto some = fx.indexes[0].forward_reader(fx.entries[2].end_key.view(), fx.entries[2].seqno + 1);
  ASSERT_TRUE(some.ok() && some->has_value());
  auto e = (*some)->next();
  EXPECT_EQ(**e, fx.entries[2]);
  // The other kinds record the bound and answer at their first step.
  auto lazy = fx.indexes[2].forward_reader(last.end_key.view(), last.seqno);
  ASSERT_TRUE(lazy.ok() && lazy->has_value());
  auto end = (*lazy)->next();
  ASSERT_TRUE(end.ok());
  EXPECT_FALSE(end->has_value());
}

}  // namespace
}  // namespace tervik
