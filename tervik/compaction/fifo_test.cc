// The FIFO strategy's decision over real level-0 tables with chosen creation
// times and an injected clock.
#include <gtest/gtest.h>

#include "platform/testing/temp_dir.h"
#include "tervik/blob/testing/blob_files.h"
#include "tervik/compaction/fifo.h"
#include "tervik/compaction/testing/strategy_tables.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/version/testing/version_builders.h"

namespace tervik::compaction {
namespace {

using tervik::testing::IdRuns;
using u128 = unsigned __int128;

constexpr u128 kSecond = 1'000'000'000;

struct Spec {
  uint64_t id;
  std::string min;
  std::string max;
  u128 created_at;
  std::vector<LinkedBlobFile> linked = {};
};

class FifoTest : public ::testing::Test {
 protected:
  Version build(const std::vector<Spec>& specs, const IdRuns& l0,
                std::vector<std::shared_ptr<BlobFile>> blobs = {}) {
    tervik::testing::StrategyTables maker(zv::fs::join(dir_.path(), "t" + std::to_string(next_++)));
    std::vector<Table> tables;
    for (const Spec& s : specs) {
      tables.push_back(maker.make(s.id, s.min, s.max, 10, s.created_at, s.linked));
    }
    return tervik::testing::version_of(1, {l0}, tables, blobs);
  }

  static uint64_t size(const Version& v, uint64_t id) { return table_file_size(*v.find_table(id)); }
  static uint64_t total(const Version& v) {
    uint64_t sum = 0;
    for (const Table& t : v.tables()) sum += table_file_size(t);
    for (const auto& [id, b] : v.blob_files()) sum += b->meta().file_size;
    return sum;
  }

  Choice choose(const Version& v, uint64_t limit, std::optional<uint64_t> ttl, u128 now = 0,
                const HiddenTableSet& hidden = {}) {
    return Fifo(limit, ttl, [now] { return now; }).choose(v, config_, hidden);
  }

  zv::testing::TempDir dir_;
  int next_ = 0;
  TreeConfig config_ = TreeConfig::create(dir_.path(), SeqNoCounter(0), SeqNoCounter(0));
};

TEST_F(FifoTest, EmptyLevelZeroBesideLargeBlobFiles) {
  std::vector<tervik::testing::BlobValue> values{{"k", std::string(100000, 'x')}};
  auto blob = tervik::testing::write_blob_file(dir_.path(), 1, 5, &values);
  const Version v = build({}, {}, {blob});
  EXPECT_EQ(choose(v, 0, 1, 100 * kSecond), Choice{DoNothing{}});
}

TEST_F(FifoTest, SizeLimitDropsOldestFirst) {
  // Run order differs from age order: table 2 is the oldest, then 3, then 1.
  const Version v = build({{1, "a", "b", 3000}, {2, "c", "d", 1000}, {3, "e", "f", 2000}},
                          {{1, 2, 3}});
  const uint64_t all = total(v);
  EXPECT_EQ(choose(v, all, std::nullopt), Choice{DoNothing{}});
  // One byte over: the oldest goes although it frees far more than needed.
  EXPECT_EQ(choose(v, all - 1, std::nullopt), (Choice{Drop{{2}}}));
  EXPECT_EQ(choose(v, all - size(v, 2), std::nullopt), (Choice{Drop{{2}}}));
  EXPECT_EQ(choose(v, all - size(v, 2) - 1, std::nullopt), (Choice{Drop{{2, 3}}}));
  EXPECT_EQ(choose(v, 0, std::nullopt), (Choice{Drop{{1, 2, 3}}}));
}

TEST_F(FifoTest, EqualCreationTimesGoInRunOrder) {
  const Version v = build({{3, "a", "b", 5}, {1, "c", "d", 5}, {2, "e", "f", 5}}, {{3, 1, 2}});
  const uint64_t all = total(v);
  EXPECT_EQ(choose(v, all - 1, std::nullopt), (Choice{Drop{{3}}}));
  EXPECT_EQ(choose(v, all - size(v, 3) - 1, std::nullopt), (Choice{Drop{{1, 3}}}));
}

TEST_F(FifoTest, TimeToLive) {
  const u128 base = 1'700'000'000 * kSecond;
  const uint64_t ttl = 60;
  const Version v = build({{1, "a", "b", base}, {2, "c", "d", base + 1}, {3, "e", "f", base + 2}},
                          {{1, 2, 3}});
  const u128 now = base + ttl * kSecond;  // the cutoff is exactly table 1's creation
  EXPECT_EQ(choose(v, UINT64_MAX, ttl, now), (Choice{Drop{{1}}}));
  EXPECT_EQ(choose(v, UINT64_MAX, ttl, now - 1), Choice{DoNothing{}});
  EXPECT_EQ(choose(v, UINT64_MAX, ttl, now + 2), (Choice{Drop{{1, 2, 3}}}));
  // A ttl of 0 expires nothing, however old the tables.
  EXPECT_EQ(choose(v, UINT64_MAX, 0, now * 10), Choice{DoNothing{}});
  EXPECT_EQ(choose(v, total(v) - 1, 0, now * 10), (Choice{Drop{{1}}}));
  // A clock closer to the epoch than the ttl: cutoff 0, nothing expires.
  EXPECT_EQ(choose(v, UINT64_MAX, ttl, 5), Choice{DoNothing{}});
}

TEST_F(FifoTest, ExpiryCountsBeforeTheLimit) {
  const u128 base = 1'000 * kSecond;
  const Version v = build({{1, "a", "b", base}, {2, "c", "d", base * 3}, {3, "e", "f", base * 2}},
                          {{1, 2, 3}});
  const u128 now = base + 10 * kSecond;
  const uint64_t after_expiry = total(v) - size(v, 1);
  EXPECT_EQ(choose(v, after_expiry, 10, now), (Choice{Drop{{1}}}));
  // One byte less: the oldest table that has not expired goes too.
  EXPECT_EQ(choose(v, after_expiry - 1, 10, now), (Choice{Drop{{1, 3}}}));
}

TEST_F(FifoTest, BlobFilesCountTowardsTheTotal) {
  std::vector<tervik::testing::BlobValue> values{{"k", std::string(5000, 'x')}};
  auto blob = tervik::testing::write_blob_file(dir_.path(), 9, 5, &values);
  const Version v = build({{1, "a", "b", 1}, {2, "c", "d", 2}}, {{1, 2}}, {blob});
  const uint64_t tables = size(v, 1) + size(v, 2);
  // The blob file alone is more than both tables free: both go.
  EXPECT_EQ(choose(v, tables, std::nullopt), (Choice{Drop{{1, 2}}}));
  EXPECT_EQ(choose(v, tables + 5000, std::nullopt), Choice{DoNothing{}});
}

TEST_F(FifoTest, LinkedBlobBytesCountAsFreed) {
  const Version v = build({{1, "a", "b", 1, {{9, 30, 20, 3}}}, {2, "c", "d", 2}}, {{1, 2}});
  ASSERT_GT(size(v, 2), 21u);
  // Dropping table 1 frees its file and the 20 stored blob bytes it points to.
  EXPECT_EQ(choose(v, total(v) - size(v, 1) - 20, std::nullopt), (Choice{Drop{{1}}}));
  EXPECT_EQ(choose(v, total(v) - size(v, 1) - 21, std::nullopt), (Choice{Drop{{1, 2}}}));
}

TEST_F(FifoTest, SeveralLevelZeroRunsAreTakenRunAfterRun) {
  // Keys flushed out of order: two overlapping runs. Equal creation times
  // keep run order across runs.
  const Version v = build({{5, "a", "b", 7}, {6, "c", "d", 9}, {4, "a", "z", 7}}, {{5, 6}, {4}});
  ASSERT_EQ(v.l0().run_count(), 2u);
  const uint64_t all = total(v);
  EXPECT_EQ(choose(v, all - 1, std::nullopt), (Choice{Drop{{5}}}));
  EXPECT_EQ(choose(v, all - size(v, 5) - 1, std::nullopt), (Choice{Drop{{4, 5}}}));
  EXPECT_EQ(choose(v, 0, std::nullopt), (Choice{Drop{{4, 5, 6}}}));
  EXPECT_EQ(testing::panic_message([&] { (void)choose(v, 0, std::nullopt, 0, {4}); }),
            "FIFO compaction never compacts");
}

TEST_F(FifoTest, HiddenTablePanics) {
  const Version v = build({{1, "a", "b", 1}, {2, "c", "d", 2}}, {{1, 2}});
  EXPECT_EQ(testing::panic_message([&] { (void)choose(v, UINT64_MAX, std::nullopt, 0, {2}); }),
            "FIFO compaction never compacts");
  // Ids of other trees' or levels' tables in the set are no concern.
  EXPECT_EQ(choose(v, UINT64_MAX, std::nullopt, 0, {77}), Choice{DoNothing{}});
}

}  // namespace
}  // namespace tervik::compaction
