#include "src/search/handle_search.h"

#include <gtest/gtest.h>

#include "src/sdk/testing/indexed_writes.h"
#include "src/search/testing/hits.h"

namespace zv::search {
namespace {

using search_testing::keys_of;

class HandleSearch : public sdk_testing::DbFixture {};

TEST_F(HandleSearch, HitsThroughTheHandleThenNotInitialized) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  for (int i = 0; i < 7; ++i) {
    ASSERT_TRUE(sdk_testing::put_indexed(
                    *engine, sdk_testing::make_record("ns", "r" + std::to_string(i), "apple pie"))
                    .ok());
  }
  ASSERT_TRUE(sdk_testing::put_indexed(*engine, sdk_testing::make_record("b", "x", "apple")).ok());
  engine.reset();
  SearchRequest req;
  req.ns = "ns";
  req.text_query = "apple";
  req.top_k = 5;
  auto hits = db.search(req, 0);
  ASSERT_TRUE(hits.ok()) << hits.error().message();
  auto page = search_page(context_of(db), req);
  ASSERT_TRUE(page.ok());
  EXPECT_EQ(keys_of(*hits), keys_of(page->hits));
  EXPECT_EQ(hits->size(), 5u);
  EXPECT_TRUE(page->next_cursor);
  auto multi = db.search_multi({"ns", "b"}, req);
  ASSERT_TRUE(multi.ok());
  EXPECT_EQ(multi->size(), 5u);

  ASSERT_TRUE(db.close().ok());
  auto closed = db.search(req, 0);
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().message(), "Engine not initialized");
  EXPECT_FALSE(db.search_multi({"ns"}, req).ok());
}

}  // namespace
}  // namespace zv::search
