#include "src/search/paging.h"

#include <gtest/gtest.h>

#include "src/search/fingerprint.h"
#include "src/search/testing/hits.h"

namespace zv::search {
namespace {

using search_testing::hit;
using search_testing::keys_of;

std::vector<SearchHit> corpus(size_t n) {
  std::vector<SearchHit> out;
  for (size_t i = 0; i < n; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "r%02zu", i);
    out.push_back(hit(key, 100.0f - static_cast<float>(i), 1000 + i));
  }
  return out;
}

// One page the way a search pages: the whole list again, resumed after the
// cursor, cut to top_k, and the next cursor.
struct Page {
  std::vector<std::string> keys;
  std::optional<std::string> cursor;
};
Page page_of(std::vector<SearchHit> list, const SearchRequest& req) {
  std::optional<CursorPosition> pos;
  if (req.cursor) {
    auto parsed = parse_cursor(*req.cursor, plan_fingerprint(req));
    EXPECT_TRUE(parsed.ok());
    pos = *parsed;
    resume_after(list, *pos);
  }
  const uint64_t before = list.size();
  if (list.size() > req.top_k) list.resize(req.top_k);
  return Page{keys_of(list), next_cursor(req, pos, before, list)};
}

uint64_t offset_of(const std::string& cursor) { return read_cursor_token(cursor)->offset; }

TEST(Paging, ThreePagesEqualOneLongPage) {
  SearchRequest req;
  req.ns = "ns";
  req.text_query = "w";
  req.top_k = 5;
  Page p1 = page_of(corpus(13), req);
  ASSERT_TRUE(p1.cursor);
  EXPECT_EQ(offset_of(*p1.cursor), 5u);
  req.cursor = p1.cursor;
  Page p2 = page_of(corpus(13), req);
  ASSERT_TRUE(p2.cursor);
  EXPECT_EQ(offset_of(*p2.cursor), 10u);
  req.cursor = p2.cursor;
  Page p3 = page_of(corpus(13), req);
  EXPECT_EQ(p3.keys.size(), 3u);
  EXPECT_FALSE(p3.cursor);

  SearchRequest all = req;
  all.cursor.reset();
  all.top_k = 15;
  std::vector<std::string> joined = p1.keys;
  joined.insert(joined.end(), p2.keys.begin(), p2.keys.end());
  joined.insert(joined.end(), p3.keys.begin(), p3.keys.end());
  EXPECT_EQ(joined, page_of(corpus(13), all).keys);
}

TEST(Paging, PageSizeMayChangeBetweenPages) {
  SearchRequest req;
  req.ns = "ns";
  req.top_k = 4;
  Page p1 = page_of(corpus(13), req);
  req.cursor = p1.cursor;
  req.top_k = 2;
  Page p2 = page_of(corpus(13), req);
  EXPECT_EQ(p2.keys, (std::vector<std::string>{"r04", "r05"}));
  EXPECT_EQ(offset_of(*p2.cursor), 6u);
}

TEST(Paging, AnExactlyFullPageHasACursorAndTheNextIsEmpty) {
  SearchRequest req;
  req.ns = "ns";
  req.top_k = 5;
  Page p1 = page_of(corpus(5), req);
  ASSERT_TRUE(p1.cursor);
  req.cursor = p1.cursor;
  Page p2 = page_of(corpus(5), req);
  EXPECT_TRUE(p2.keys.empty());
  EXPECT_FALSE(p2.cursor);
}

TEST(Paging, AGoneLastHitFallsBackToTheOffset) {
  SearchRequest req;
  req.ns = "ns";
  req.top_k = 5;
  Page p1 = page_of(corpus(13), req);
  req.cursor = p1.cursor;
  std::vector<SearchHit> without = corpus(13);
  without.erase(without.begin() + 4);  // r04, the last hit of page one
  EXPECT_EQ(page_of(std::move(without), req).keys.front(), "r06");
  // A record with the same key but another node id is not the position.
  std::vector<SearchHit> replaced = corpus(13);
  replaced[4].record.node_id = 1;
  replaced.insert(replaced.begin(), hit("new", 200.0f, 7));
  EXPECT_EQ(page_of(std::move(replaced), req).keys.front(), "r04");
}

TEST(Paging, ResumeDropsByPositionOrOffset) {
  std::vector<SearchHit> hits = corpus(6);
  resume_after(hits, CursorPosition{1, "r03", 1003});
  EXPECT_EQ(keys_of(hits), (std::vector<std::string>{"r04", "r05"}));
  hits = corpus(6);
  resume_after(hits, CursorPosition{2, "gone", 9});
  EXPECT_EQ(keys_of(hits), (std::vector<std::string>{"r02", "r03", "r04", "r05"}));
  hits = corpus(6);
  resume_after(hits, CursorPosition{18446744073709551615ULL, "gone", 9});
  EXPECT_TRUE(hits.empty());
}

TEST(Paging, NoCursorForShortPagesMmrOrGrouping) {
  SearchRequest req;
  req.ns = "ns";
  req.top_k = 5;
  std::vector<SearchHit> page = corpus(5);
  EXPECT_TRUE(next_cursor(req, std::nullopt, 5, page));
  EXPECT_FALSE(next_cursor(req, std::nullopt, 4, corpus(4)));
  EXPECT_FALSE(next_cursor(req, std::nullopt, 5, {}));
  SearchRequest m = req;
  m.mmr = MmrOptions{};
  EXPECT_FALSE(next_cursor(m, std::nullopt, 50, page));
  SearchRequest g = req;
  g.group_by = GroupByOptions{"f", 1};
  EXPECT_FALSE(next_cursor(g, std::nullopt, 50, page));
}

TEST(Paging, OffsetSaturates) {
  SearchRequest req;
  req.ns = "ns";
  req.top_k = 2;
  CursorPosition at_top{18446744073709551614ULL, "x", 1};
  auto c = next_cursor(req, at_top, 2, corpus(2));
  ASSERT_TRUE(c);
  EXPECT_EQ(offset_of(*c), 18446744073709551615ULL);
  auto t = read_cursor_token(*c);
  EXPECT_EQ(t->key, "r01");
  EXPECT_EQ(t->node_id, "1001");
  EXPECT_EQ(t->fp, plan_fingerprint(req));
}

}  // namespace
}  // namespace zv::search
