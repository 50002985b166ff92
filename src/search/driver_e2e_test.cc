// The driver over the real stages and a small corpus: fusion, explanations,
// paging and huge counts.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "src/search/cursor.h"
#include "src/search/dense_stage.h"
#include "src/search/driver.h"
#include "src/search/fingerprint.h"
#include "src/search/fusion.h"
#include "src/search/keyword_stage.h"
#include "src/search/testing/counting_allocator.h"
#include "src/search/testing/hits.h"
#include "src/search/testing/vector_records.h"

namespace zv::search {
namespace {

using search_testing::AllocationScope;
using search_testing::keys_of;
using search_testing::RecordFixture;
using search_testing::vector_record;

struct DriverCorpus {
  RecordFixture records;
  SearchContext ctx{[this]() -> ZolvaResult<std::shared_ptr<StorageEngine>> {
                      return records.shared_engine();
                    },
                    std::nullopt};

  DriverCorpus() {
    // Thirteen records holding "apple", eight of them with vectors; three
    // vectors without the word; the sparse dimension 4 on every third.
    for (int i = 0; i < 16; ++i) {
      std::optional<std::vector<float>> v;
      if (i % 2 == 0 || i >= 13) v = std::vector<float>{1.0f, float(i) * 0.1f, 0.5f};
      MemoryRecord r = vector_record("ns", "r" + std::to_string(10 + i), v);
      r.payload = i < 13 ? "apple " + std::string(size_t(i % 4 + 1), 'x') + " pie" : "plum";
      if (i % 3 == 0) r.sparse_vector = SparseVector{{4, float(i)}};
      records.put(std::move(r));
    }
  }
  SearchRequest keyword(uint64_t top_k) const {
    SearchRequest r;
    r.ns = "ns";
    r.text_query = "apple";
    r.top_k = top_k;
    r.include_quarantined = true;
    return r;
  }
  SearchResponse page(const SearchRequest& r, uint8_t method = 0) {
    auto out = search_impl(ctx, r, method);
    EXPECT_TRUE(out.ok()) << out.error().message();
    return out.ok() ? std::move(*out) : SearchResponse{};
  }
};

uint64_t offset_of(const std::string& cursor) { return read_cursor_token(cursor)->offset; }

TEST(SearchEndToEnd, HybridFusionAndExplanations) {
  DriverCorpus c;
  SearchRequest req = c.keyword(10);
  req.query_vector = {1.0f, 0.3f, 0.5f};
  const SearchResponse page = c.page(req);
  // The model: the two stage lists at the widened count, fused by RRF.
  auto kw = text_query(c.records.engine(), "ns", "apple", {}, 40);
  auto dense = dense_candidates(c.records.engine(), "ns", req.query_vector, {}, 40,
                                DistanceMetric::kCosine, 0);
  ASSERT_TRUE(kw.ok() && dense.ok());
  std::map<std::string, float> want;
  for (size_t i = 0; i < kw->size(); ++i) want[(*kw)[i].record.key] += 1.0f / (60.0f + float(i + 1));
  for (size_t i = 0; i < dense->size(); ++i) {
    want[(*dense)[i].record.key] += 1.0f / (60.0f + float(i + 1));
  }
  auto fused = fusion::fuse_rrf(*kw, *dense, 60.0f).first;
  fused.resize(10);
  ASSERT_EQ(keys_of(page.hits), keys_of(fused));
  for (const SearchHit& h : page.hits) {
    EXPECT_EQ(h.score, want.at(h.record.key)) << h.record.key;
    EXPECT_FALSE(h.explanation);
  }
  // A record without a vector (r11) carries its keyword share alone.
  bool seen_without_vector = false;
  for (const SearchHit& h : page.hits) seen_without_vector |= !h.record.vector.has_value();
  EXPECT_TRUE(seen_without_vector);

  req.explain = true;
  const SearchResponse explained = c.page(req);
  ASSERT_EQ(keys_of(explained.hits), keys_of(page.hits));
  for (size_t i = 0; i < page.hits.size(); ++i) {
    EXPECT_EQ(explained.hits[i].score, page.hits[i].score);
    ASSERT_TRUE(explained.hits[i].explanation);
  }
}

TEST(SearchEndToEnd, Paging) {
  DriverCorpus c;
  SearchRequest req = c.keyword(5);
  const SearchResponse p1 = c.page(req);
  ASSERT_TRUE(p1.next_cursor);
  EXPECT_EQ(offset_of(*p1.next_cursor), 5u);
  req.cursor = p1.next_cursor;
  const SearchResponse p2 = c.page(req, /*method=*/2);  // another method: still valid
  ASSERT_TRUE(p2.next_cursor);
  EXPECT_EQ(offset_of(*p2.next_cursor), 10u);
  req.cursor = p2.next_cursor;
  const SearchResponse p3 = c.page(req);
  EXPECT_EQ(p3.hits.size(), 3u);
  EXPECT_FALSE(p3.next_cursor);
  std::vector<std::string> joined = keys_of(p1.hits);
  for (const auto* p : {&p2, &p3}) {
    for (const std::string& k : keys_of(p->hits)) joined.push_back(k);
  }
  EXPECT_EQ(joined, keys_of(c.page(c.keyword(15)).hits));

  // Another page size continues the same search.
  SearchRequest other = c.keyword(4);
  other.cursor = p1.next_cursor;
  EXPECT_EQ(keys_of(c.page(other).hits),
            std::vector<std::string>(joined.begin() + 5, joined.begin() + 9));

  // The last hit of a page deleted: the offset is used instead.
  const std::string last = p1.hits.back().record.key;
  ASSERT_TRUE(c.records.remove("ns", last));
  SearchRequest after_delete = c.keyword(5);
  after_delete.cursor = p1.next_cursor;
  EXPECT_EQ(keys_of(c.page(after_delete).hits),
            std::vector<std::string>(joined.begin() + 6, joined.begin() + 11));

  // A page of exactly top_k hits: a cursor, then an empty page.
  SearchRequest twelve = c.keyword(12);
  const SearchResponse full = c.page(twelve);
  ASSERT_EQ(full.hits.size(), 12u);
  ASSERT_TRUE(full.next_cursor);
  twelve.cursor = full.next_cursor;
  const SearchResponse empty = c.page(twelve);
  EXPECT_TRUE(empty.hits.empty());
  EXPECT_FALSE(empty.next_cursor);

  // No cursor with MMR or grouping.
  SearchRequest mmr = c.keyword(3);
  mmr.mmr = MmrOptions{};
  EXPECT_FALSE(c.page(mmr).next_cursor);
  SearchRequest grouped = c.keyword(3);
  grouped.group_by = GroupByOptions{"none", 1};
  EXPECT_FALSE(c.page(grouped).next_cursor);
}

// Counts near 2^64 from a crafted cursor or the request itself: an empty
// page (or a full one) promptly, allocating nothing in proportion.
TEST(SearchEndToEnd, HugeCountsStayCheap) {
  DriverCorpus c;
  std::vector<SearchRequest> routes;
  SearchRequest text = c.keyword(5);
  routes.push_back(text);
  SearchRequest dense = text;
  dense.text_query.reset();
  dense.query_vector = {1.0f, 0.2f, 0.5f};
  routes.push_back(dense);
  SearchRequest sparse = text;
  sparse.text_query.reset();
  sparse.query_sparse = SparseVector{{4, 1.0f}};
  routes.push_back(sparse);
  SearchRequest all = text;
  all.query_vector = dense.query_vector;
  all.query_sparse = sparse.query_sparse;
  routes.push_back(all);
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  for (SearchRequest req : routes) {
    CursorToken t{1, plan_fingerprint(req), kMax, "gone", "999"};
    req.cursor = write_cursor(t);
    AllocationScope scope;
    const SearchResponse page = c.page(req);
    EXPECT_TRUE(page.hits.empty());
    EXPECT_FALSE(page.next_cursor);
    EXPECT_LT(scope.peak(), 2u << 20);
  }
  for (SearchRequest req : routes) {
    req.top_k = kMax;
    req.search_profile = SearchProfileConfig{SearchMode::kHybrid, std::nullopt, kMax};
    AllocationScope scope;
    auto page = search_impl(c.ctx, req, 0);
    ASSERT_TRUE(page.ok()) << page.error().message();
    EXPECT_FALSE(page->hits.empty());
    EXPECT_LT(scope.peak(), 2u << 20);
  }
}

}  // namespace
}  // namespace zv::search
