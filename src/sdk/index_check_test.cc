#include "src/sdk/index_check.h"

#include <gtest/gtest.h>

#include <thread>

#include "src/backends/backend_kv_service.h"
#include "src/backends/in_memory_backend.h"
#include "src/record/validation.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/text/derived_index.h"
#include "src/text/index_check.h"
#include "src/text/sparse_index.h"
#include "src/text/text_index_state.h"
#include "src/text/text_keys.h"

namespace zv {
namespace {

using sdk_testing::make_record;
using namespace std::string_literals;

class IndexCheckTest : public sdk_testing::DbFixture {
 protected:
  static uint64_t repairs() { return OperationalCounters::global().text_index_repairs.read(); }

  static void mark_states(StorageEngine& e) { sdk_testing::mark_index_states(e); }
  static std::string rebuilt(StorageEngine& e) { return sdk_testing::rebuilt_indexes(e); }
  static void drop_states(StorageEngine& e) {
    for (auto key : {text::kDerivedIndexStateKey, text::kTextIndexStateKey, text::kSparseIndexStateKey}) {
      ASSERT_TRUE(e.backend->del(Partition::kInternalMetadata, key).ok());
    }
  }
};

TEST_F(IndexCheckTest, EmptyDatabaseGetsZeroStatesWithoutRebuild) {
  const uint64_t before = repairs();
  EmbeddedDb db = open_ok();
  auto e = engine_of(db);
  const auto d = **text::DerivedIndexState::read(*e->backend);
  const auto t = **text::TextIndexState::read(*e->backend);
  const auto s = **text::SparseIndexState::read(*e->backend);
  EXPECT_EQ(d.record_count + d.namespace_entries + d.payload_entries, 0u);
  EXPECT_TRUE(t.is_compatible());
  EXPECT_EQ(t.record_count + t.posting_entries + t.term_stats_entries, 0u);
  EXPECT_EQ(s.record_count + s.posting_entries, 0u);
  EXPECT_EQ(repairs(), before);
}

TEST_F(IndexCheckTest, RecordsWithoutStatesAreRebuiltAtTheFirstWritableOpen) {
  {
    EmbeddedDb db = open_ok();
    auto e = engine_of(db);
    for (int i = 0; i < 5; ++i) {
      ASSERT_TRUE(sdk_testing::put_node_only(
          *e, make_record("ns", "k" + std::to_string(i), "alpha beta",
                          {{"tags", FieldValue::list_string({"x", "y", "x"})}},
                          SparseVector{{1, 0.5f}, {9, 1.0f}})).ok());
    }
    drop_states(*e);
    ASSERT_TRUE(db.close().ok());
  }
  // Read-only: nothing is checked or written.
  Config ro = config;
  ro.read_only = true;
  {
    EmbeddedDb db = open_ok(ro);
    auto e = engine_of(db);
    EXPECT_TRUE(e->backend->scan_all(Partition::kInternalMetadata)->size() <= 1);  // checkpoint only
    EXPECT_FALSE(text::TextIndexState::read(*e->backend)->has_value());
  }
  const uint64_t before = repairs();
  {
    EmbeddedDb db = open_ok();
    auto e = engine_of(db);
    EXPECT_EQ(repairs(), before + 1);
    const auto d = **text::DerivedIndexState::read(*e->backend);
    EXPECT_EQ(d.record_count, 5u);
    EXPECT_EQ(d.payload_entries, 10u);  // x and y per record
    EXPECT_EQ((**text::TextIndexState::read(*e->backend)).posting_entries, 10u);
    EXPECT_EQ((**text::SparseIndexState::read(*e->backend)).posting_entries, 10u);
    mark_states(*e);
    ASSERT_TRUE(db.close().ok());
  }
  // List metadata, distinct keys counted: the next open rebuilds nothing.
  EmbeddedDb db = open_ok();
  EXPECT_EQ(rebuilt(*engine_of(db)), "");
  EXPECT_EQ(repairs(), before + 1);
}

TEST_F(IndexCheckTest, ExpiryMakesOnlyTheDerivedAndSparseStatesStale) {
  {
    EmbeddedDb db = open_ok();
    auto e = engine_of(db);
    MemoryRecord r = make_record("ns", "soon", "gone soon", {}, SparseVector{{2, 1.0f}});
    r.expires_at_ms = record_now_ms() + 30;
    ASSERT_TRUE(sdk_testing::put_indexed(*e, r).ok());
    ASSERT_TRUE(sdk_testing::put_indexed(*e, make_record("ns", "stay", "here")).ok());
    mark_states(*e);
    ASSERT_TRUE(db.close().ok());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EmbeddedDb db = open_ok();
  auto e = engine_of(db);
  EXPECT_EQ(rebuilt(*e), "ds");
  EXPECT_EQ((**text::DerivedIndexState::read(*e->backend)).record_count, 1u);
  EXPECT_EQ((**text::SparseIndexState::read(*e->backend)).posting_entries, 0u);
  EXPECT_EQ((**text::TextIndexState::read(*e->backend)).record_count, 2u);
}

TEST_F(IndexCheckTest, StaleOrUnreadableStatesAreRebuilt) {
  struct Case {
    const char* name;
    std::function<void(StorageEngine&)> damage;
    const char* want;  // rebuilt indexes
    bool repair;
  };
  const Case cases[] = {
      {"tokenizer version 2",
       [](StorageEngine& e) {
         auto t = **text::TextIndexState::read(*e.backend);
         t.tokenizer_version = 2;
         ASSERT_TRUE(text::TextIndexState::write(e, t).ok());
       },
       "t", true},
      {"unknown statistics kind",
       [](StorageEngine& e) {
         ASSERT_TRUE(e.backend->put(Partition::kTextIndex, std::string(text::kStatsMarker) + "xyz\0a"s, "1").ok());
       },
       "t", true},
      {"undecodable derived state",
       [](StorageEngine& e) {
         ASSERT_TRUE(e.backend->put(Partition::kInternalMetadata, text::kDerivedIndexStateKey, "\x01\x80").ok());
       },
       "d", false},
      {"sparse schema 2",
       [](StorageEngine& e) {
         auto s = **text::SparseIndexState::read(*e.backend);
         s.schema_version = 2;
         ASSERT_TRUE(text::SparseIndexState::write(e, s).ok());
       },
       "s", false},
      {"missing posting",
       [](StorageEngine& e) {
         ASSERT_TRUE(e.backend->del(Partition::kTextIndex, text::posting_key("ns", "one", "k")).ok());
       },
       "t", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zv::testing::TempDir fresh;
    config.storage_path = fresh.path();
    {
      EmbeddedDb db = open_ok();
      auto e = engine_of(db);
      ASSERT_TRUE(sdk_testing::put_indexed(*e, make_record("ns", "k", "one two", {{"f", FieldValue::integer(1)}},
                                                           SparseVector{{4, 1.0f}})).ok());
      mark_states(*e);
      c.damage(*e);
      ASSERT_TRUE(db.close().ok());
    }
    const uint64_t before = repairs();
    EmbeddedDb db = open_ok();
    auto e = engine_of(db);
    EXPECT_EQ(rebuilt(*e), c.want);
    EXPECT_EQ(repairs(), before + (c.repair ? 1 : 0));
    EXPECT_EQ(text::count_stored_text_entries(*e->backend)->other_stats, 0u);
    ASSERT_TRUE(db.close().ok());
  }
}

// A crash after a replacement's node reached the log and before the backend
// kept its index change: the replayed version indexes exactly as many
// entries as the lost one, so only the replay tells the check.
TEST_F(IndexCheckTest, ReplayedReplacementWithEqualCountsIsReindexed) {
  {
    EmbeddedDb db = open_ok();
    auto e = engine_of(db);
    ASSERT_TRUE(sdk_testing::put_indexed(*e, make_record("ns", "k", "one two", {{"f", FieldValue::integer(1)}},
                                                         SparseVector{{4, 1.0f}})).ok());
    mark_states(*e);
    ASSERT_TRUE(db.close().ok());
  }
  {
    EmbeddedDb db = open_ok();
    auto e = engine_of(db);
    EXPECT_EQ(rebuilt(*e), "");
    MemoryRecord next = make_record("ns", "k", "three four", {{"f", FieldValue::integer(2)}},
                                    SparseVector{{5, 1.0f}});
    next.version = 2;
    ASSERT_TRUE(sdk_testing::put_node_only(*e, next).ok());
    // Dropped without a close: the backend keeps nothing since its last
    // flush, the log keeps the node.
  }
  const uint64_t before = repairs();
  {
    EmbeddedDb db = open_ok();
    auto e = engine_of(db);
    EXPECT_EQ(rebuilt(*e), "dts");
    EXPECT_EQ(repairs(), before + 1);
    sdk_testing::expect_indexes_match_records(*e);
    EXPECT_TRUE(e->backend->get(Partition::kTextIndex, text::posting_key("ns", "three", "k"))->has_value());
    EXPECT_FALSE(e->backend->get(Partition::kTextIndex, text::posting_key("ns", "one", "k"))->has_value());
    mark_states(*e);
    ASSERT_TRUE(db.close().ok());
  }
  // A clean close leaves nothing to replay: the next open trusts the states.
  EmbeddedDb db = open_ok();
  EXPECT_EQ(rebuilt(*engine_of(db)), "");
}

TEST(TextIndexStateStatus, Texts) {
  auto backend = std::make_shared<InMemoryBackend>();
  BackendKvService kv(backend, false);
  const text::TextIndexCounts counts{1, 2, 1, 2, 1};
  auto status = [&](bool skip) { return text::text_index_state_status(*backend, counts, skip); };
  EXPECT_EQ(status(false).state_status, "missing");
  ASSERT_TRUE(text::TextIndexState::write(kv, text::TextIndexState::create(1, 2, 1, 2, 1)).ok());
  EXPECT_TRUE(status(false).state_valid);
  EXPECT_EQ(status(false).state_status, "current");
  ASSERT_TRUE(text::TextIndexState::write(kv, text::TextIndexState::create(1, 3, 1, 2, 1)).ok());
  EXPECT_EQ(status(false).state_status, "count_mismatch");
  EXPECT_FALSE(status(false).state_valid);
  EXPECT_EQ(status(true).state_status, "current");
  auto v2 = text::TextIndexState::create(1, 2, 1, 2, 1);
  v2.schema_version = 2;
  ASSERT_TRUE(text::TextIndexState::write(kv, v2).ok());
  EXPECT_EQ(status(true).state_status, "incompatible");
  ASSERT_TRUE(backend->put(Partition::kInternalMetadata, text::kTextIndexStateKey, "\x03").ok());
  const auto bad = status(false);
  EXPECT_FALSE(bad.state_valid);
  EXPECT_EQ(bad.state_status.rfind("decode_error: ", 0), 0u) << bad.state_status;
}

}  // namespace
}  // namespace zv
