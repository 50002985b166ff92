#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <future>
#include <limits>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/fs.h"
#include "platform/log.h"

#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/namespaces.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/sdk/testing/probe_backend.h"
#include "src/text/derived_index.h"

namespace zv {
namespace {

using sdk_testing::make_record;
using namespace std::string_literals;
using Keys = std::vector<std::string>;

FieldValue str(std::string s) { return FieldValue::string(std::move(s)); }
MemoryFilterItem item(std::string field, FilterOp op, FieldValue v) {
  return MemoryFilterItem{std::move(field), op, std::move(v)};
}
uint64_t prefix_scans() { return OperationalCounters::global().derived_prefix_scans.read(); }
uint64_t fallbacks() { return OperationalCounters::global().derived_full_scan_fallbacks.read(); }

Keys keys_of(const std::vector<MemoryRecord>& records) {
  Keys out;
  for (const MemoryRecord& r : records) out.push_back(r.key);
  return out;
}

class NamespacesTest : public sdk_testing::DbFixture {
 protected:
  void SetUp() override {
    seams.factories = sdk_testing::probe_factory_table(&made_);
    config.wal_sync_mode = 2;  // nothing here is about durability
    config.audit_log_path = fs::join(dir.path(), "audit.log");
    db.emplace(open_ok());
    engine = engine_of(*db);
    probe = made_.lock();
  }
  void put(const MemoryRecord& r) { ASSERT_TRUE(sdk_testing::put_indexed(*engine, r).ok()); }
  void put(std::string ns, std::string key, FieldMap meta = {}) {
    put(make_record(std::move(ns), std::move(key), "p", std::move(meta)));
  }
  void drop_state() {
    ASSERT_TRUE(engine->backend->del(Partition::kInternalMetadata, text::kDerivedIndexStateKey).ok());
  }

  Keys list_keys(std::string_view ns, MemoryListOptions o) {
    auto page = db->list(ns, o);
    EXPECT_TRUE(page.ok()) << page.error().message();
    return page.ok() ? keys_of(page->records) : Keys{};
  }

  // Every page of a cursor loop through list: the keys of each page and
  // each page's next cursor.
  struct Pages {
    std::vector<Keys> keys;
    std::vector<std::optional<uint64_t>> cursors;
  };
  Pages page_through(std::string_view ns, MemoryListOptions o) {
    Pages out;
    o.cursor.reset();
    for (int guard = 0; guard < 100000; ++guard) {
      auto page = db->list(ns, o);
      EXPECT_TRUE(page.ok()) << page.error().message();
      if (!page.ok()) break;
      out.keys.push_back(keys_of(page->records));
      out.cursors.push_back(page->next_cursor);
      if (!page->next_cursor) break;
      o.cursor = page->next_cursor;
    }
    return out;
  }
  // The same pages from the walker.
  std::vector<Keys> walk(std::string_view ns, const MemoryListOptions& o) {
    std::vector<Keys> out;
    ZolvaStatus s = for_each_list_page(*engine, ns, o, [&](std::vector<MemoryRecord>& page) -> ZolvaStatus {
      out.push_back(keys_of(page));
      return {};
    });
    EXPECT_TRUE(s.ok()) << s.error().message();
    return out;
  }

  void reopen(Config c) {
    ASSERT_TRUE(db->close().ok());
    engine.reset();
    db.emplace(open_ok(c));
    engine = engine_of(*db);
  }
  std::vector<nlohmann::json> audit_lines() {
    std::vector<nlohmann::json> out;
    std::ifstream in(*config.audit_log_path);
    for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
    return out;
  }

  std::optional<EmbeddedDb> db;
  std::shared_ptr<StorageEngine> engine;
  std::shared_ptr<sdk_testing::ProbeBackend> probe;

 private:
  std::weak_ptr<sdk_testing::ProbeBackend> made_;
};

TEST_F(NamespacesTest, ValidatesInOrderBeforeTakingTheEngine) {
  put("n", "k", {{"a", str("x")}});
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    std::string ns;
    FieldMap filters;
    std::optional<ValidWindow> window;
    std::optional<float> min_conf;
    ZolvaErrorKind kind;
    std::string text;
  };
  const std::string conf_text = "SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]";
  const std::vector<Case> cases = {
      {"bad ns", {{"__zolva_key", str("k")}}, ValidWindow{5, 5}, nan, ZolvaErrorKind::kValidation, "namespace"},
      {"n", {{"__zolva_key", str("k")}}, ValidWindow{5, 5}, nan, ZolvaErrorKind::kValidation, "metadata"},
      {"n", {{"a\0b"s, str("k")}}, ValidWindow{5, 5}, nan, ZolvaErrorKind::kValidation, "metadata"},
      {"n", {}, ValidWindow{5, 5}, nan, ZolvaErrorKind::kInvalidInput,
       "valid_window.from_ms (5) must be < valid_window.to_ms (5)"},
      {"n", {}, ValidWindow{6, 5}, std::nullopt, ZolvaErrorKind::kInvalidInput, "valid_window.from_ms (6)"},
      {"n", {}, std::nullopt, nan, ZolvaErrorKind::kInvalidInput, conf_text},
      {"n", {}, std::nullopt, inf, ZolvaErrorKind::kInvalidInput, conf_text},
      {"n", {}, std::nullopt, -0.01f, ZolvaErrorKind::kInvalidInput, conf_text},
      {"n", {}, std::nullopt, 1.01f, ZolvaErrorKind::kInvalidInput, conf_text},
  };
  ASSERT_TRUE(db->close().ok());  // validation runs before the engine is taken
  for (const Case& c : cases) {
    for (uint64_t limit : {0u, 10u}) {
      MemoryListOptions o;
      o.filters = c.filters;
      o.valid_window = c.window;
      o.min_confidence = c.min_conf;
      o.limit = limit;
      auto page = db->list(c.ns, o);
      ASSERT_FALSE(page.ok()) << c.text;
      EXPECT_EQ(page.error().kind(), c.kind) << c.text;
      EXPECT_NE(page.error().message().find(c.text), std::string::npos) << page.error().message();
    }
  }
  MemoryListOptions ok;
  ok.limit = 10;
  auto closed = db->list("n", ok);
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().kind(), ZolvaErrorKind::kNotInitialized);
  EXPECT_EQ(db->count("bad ns", std::nullopt).error().kind(), ZolvaErrorKind::kValidation);
  EXPECT_EQ(db->count("n", std::nullopt).error().kind(), ZolvaErrorKind::kNotInitialized);
  EXPECT_EQ(db->list_namespaces().error().kind(), ZolvaErrorKind::kNotInitialized);
}

TEST_F(NamespacesTest, AcceptsBoundaryOptionsAndAnEmptyLimit) {
  put("n", "k", {{"a", str("x")}});
  for (float m : {0.0f, 1.0f}) {
    MemoryListOptions o;
    o.limit = 10;
    o.min_confidence = m;
    o.valid_window = ValidWindow{0, 1};
    EXPECT_TRUE(db->list("n", o).ok());
  }
  MemoryListOptions zero;
  auto page = db->list("n", zero);
  ASSERT_TRUE(page.ok());
  EXPECT_TRUE(page->records.empty());
  EXPECT_FALSE(page->next_cursor);
  // A reserved name inside a filter item is accepted and matches nothing.
  MemoryListOptions reserved;
  reserved.limit = 10;
  reserved.filter_ops = std::vector{item("__zolva_key", FilterOp::kEq, str("k"))};
  EXPECT_TRUE(list_keys("n", reserved).empty());
}

TEST_F(NamespacesTest, ChoosesTheCandidateIndex) {
  const std::string huge(70000, 'h');
  put("n", "a", {{"a", str("x")}, {"b", FieldValue::integer(1)}, {"tag", str("t")}, {"n", FieldValue::integer(5)},
                 {"z", FieldValue::floating(0.0)}, {"s", str(huge)}, {"l", FieldValue::list_int({1, 2})}});
  put("n", "b", {{"a", str("x")}, {"b", FieldValue::integer(2)}, {"tag", str("t")}, {"n", FieldValue::integer(1)},
                 {"z", FieldValue::floating(-0.0)}, {"s", str(huge)}});
  put("n", "c", {{"a", str("y")}, {"b", FieldValue::integer(1)}, {"tag", str("u")}, {"n", FieldValue::integer(9)},
                 {"l", FieldValue::list_int({1, 2})}});
  enum Index { kNs, kPayload };
  struct Case {
    std::string name;
    MemoryListOptions o;
    Index index;
    Keys keys;
  };
  auto with_filters = [](FieldMap f) {
    MemoryListOptions o;
    o.filters = std::move(f);
    return o;
  };
  auto with_ops = [](std::vector<MemoryFilterItem> items) {
    MemoryListOptions o;
    o.filter_ops = std::move(items);
    return o;
  };
  const std::vector<Case> cases = {
      {"smallest filter key", with_filters({{"b", FieldValue::integer(1)}, {"a", str("x")}}), kPayload, {"a"}},
      {"first Eq item", with_ops({item("n", FilterOp::kGt, FieldValue::integer(2)), item("tag", FilterOp::kEq, str("t"))}),
       kPayload, {"a"}},
      {"only Neq", with_ops({item("a", FilterOp::kNeq, str("y"))}), kNs, {"a", "b"}},
      {"list Eq item", with_ops({item("l", FilterOp::kEq, FieldValue::list_int({1, 2}))}), kNs, {"a", "c"}},
      {"list filter", with_filters({{"l", FieldValue::list_int({1, 2})}}), kNs, {"a", "c"}},
      {"float 0.0", with_ops({item("z", FilterOp::kEq, FieldValue::floating(0.0))}), kNs, {"a", "b"}},
      {"float -0.0", with_filters({{"z", FieldValue::floating(-0.0)}}), kNs, {"a", "b"}},
      {"over-long value", with_ops({item("s", FilterOp::kEq, str(huge))}), kNs, {"a", "b"}},
      {"no filter", MemoryListOptions{}, kNs, {"a", "b", "c"}},
  };
  for (Case c : cases) {
    c.o.limit = 100;
    c.o.include_quarantined = true;
    const int ns_before = probe->prefix_iters[static_cast<size_t>(Partition::kNamespaceIndex)];
    const int pl_before = probe->prefix_iters[static_cast<size_t>(Partition::kPayloadIndex)];
    const uint64_t scans_before = prefix_scans();
    EXPECT_EQ(list_keys("n", c.o), c.keys) << c.name;
    EXPECT_EQ(prefix_scans(), scans_before + 1) << c.name;
    EXPECT_EQ(probe->prefix_iters[static_cast<size_t>(Partition::kNamespaceIndex)] - ns_before,
              c.index == kNs ? 1 : 0) << c.name;
    EXPECT_EQ(probe->prefix_iters[static_cast<size_t>(Partition::kPayloadIndex)] - pl_before,
              c.index == kPayload ? 1 : 0) << c.name;
    // The walker reads the same index, once.
    const uint64_t walk_before = prefix_scans();
    EXPECT_EQ(walk("n", c.o), std::vector<Keys>{c.keys}) << c.name;
    EXPECT_EQ(prefix_scans(), walk_before + 1) << c.name;
  }
}

TEST_F(NamespacesTest, LifecycleSwitches) {
  const uint64_t future = uint64_t{1} << 60;
  auto at = [&](std::string key, auto&& edit) {
    MemoryRecord r = make_record("n", std::move(key), "p");
    edit(r);
    put(r);
  };
  at("plain", [](MemoryRecord&) {});
  at("superseded", [](MemoryRecord& r) { r.superseded_by = "plain"; r.superseded_at_ms = 100; r.invalid_at_ms = 100; });
  at("ended", [](MemoryRecord& r) { r.invalid_at_ms = 1000; });
  at("ending", [&](MemoryRecord& r) { r.invalid_at_ms = future; });
  at("later", [](MemoryRecord& r) { r.valid_at_ms = 5000; });
  at("quarantined", [](MemoryRecord& r) { r.quarantined_at_ms = 10; });
  at("c02", [](MemoryRecord& r) { r.confidence = 0.2f; });
  at("c05", [](MemoryRecord& r) { r.confidence = 0.5f; });
  at("cnan", [](MemoryRecord& r) { r.confidence = std::numeric_limits<float>::quiet_NaN(); });
  struct Case {
    std::string name;
    std::function<void(MemoryListOptions&)> set;
    Keys keys;
  };
  const std::vector<Case> cases = {
      {"quarantined hidden", [](auto& o) { o.include_quarantined = false; },
       {"c02", "c05", "cnan", "ended", "ending", "later", "plain", "superseded"}},
      {"everything", [](auto&) {}, {"c02", "c05", "cnan", "ended", "ending", "later", "plain", "quarantined", "superseded"}},
      {"exclude superseded", [](auto& o) { o.exclude_superseded = true; },
       {"c02", "c05", "cnan", "ending", "later", "plain", "quarantined"}},
      {"as of 2000", [](auto& o) { o.as_of_ms = 2000; }, {"c02", "c05", "cnan", "ending", "plain", "quarantined"}},
      {"as of 1000", [](auto& o) { o.as_of_ms = 1000; }, {"c02", "c05", "cnan", "ending", "plain", "quarantined"}},
      {"as of 999", [](auto& o) { o.as_of_ms = 999; }, {"c02", "c05", "cnan", "ended", "ending", "plain", "quarantined"}},
      {"window 900..1001", [](auto& o) { o.valid_window = ValidWindow{900, 1001}; },
       {"c02", "c05", "cnan", "ended", "ending", "plain", "quarantined"}},
      {"window 1000..5001", [](auto& o) { o.valid_window = ValidWindow{1000, 5001}; },
       {"c02", "c05", "cnan", "ending", "later", "plain", "quarantined"}},
      {"window 1000..5000", [](auto& o) { o.valid_window = ValidWindow{1000, 5000}; },
       {"c02", "c05", "cnan", "ending", "plain", "quarantined"}},
      {"min confidence 0.5", [](auto& o) { o.min_confidence = 0.5f; },
       {"c05", "ended", "ending", "later", "plain", "quarantined", "superseded"}},
  };
  for (const Case& c : cases) {
    MemoryListOptions o;
    o.limit = 100;
    o.include_quarantined = true;
    c.set(o);
    EXPECT_EQ(list_keys("n", o), c.keys) << c.name;
  }
  // count keeps quarantined and superseded records.
  EXPECT_EQ(*db->count("n", std::nullopt), 9u);
}

TEST_F(NamespacesTest, CursorsOfFullAndShortPages) {
  for (int i = 0; i < 1500; ++i) put("big", "k" + std::to_string(10000 + i));
  for (int i = 0; i < 5; ++i) put("five", "k" + std::to_string(i));
  MemoryListOptions o;
  o.limit = 5;
  Pages five = page_through("five", o);
  EXPECT_EQ(five.keys, (std::vector<Keys>{{"k0", "k1", "k2", "k3", "k4"}, {}}));
  EXPECT_EQ(five.cursors, (std::vector<std::optional<uint64_t>>{5, std::nullopt}));
  o.limit = 1000;
  Pages big = page_through("big", o);
  ASSERT_EQ(big.keys.size(), 2u);
  EXPECT_EQ(big.keys[0].size(), 1000u);
  EXPECT_EQ(big.keys[1].size(), 500u);
  EXPECT_EQ(big.cursors, (std::vector<std::optional<uint64_t>>{1000, std::nullopt}));
  EXPECT_EQ(*db->count("big", std::nullopt), 1500u);
  // Beyond the end, and near the top of the u64 range.
  for (uint64_t cursor : {uint64_t{1500}, uint64_t{1} << 40, std::numeric_limits<uint64_t>::max() - 1}) {
    o.cursor = cursor;
    auto page = db->list("big", o);
    ASSERT_TRUE(page.ok());
    EXPECT_TRUE(page->records.empty());
    EXPECT_FALSE(page->next_cursor);
  }
  o.cursor.reset();
  o.limit = std::numeric_limits<uint64_t>::max();
  auto all = db->list("five", o);
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->records.size(), 5u);
  EXPECT_FALSE(all->next_cursor);
}

// Candidates that the later steps remove (expired, foreign namespace,
// missing node, filtered) at the ends and in the middle of pages: paging goes
// on past them, and the walker returns exactly the pages of the cursor loop.
TEST_F(NamespacesTest, PagingGoesOnPastRemovedCandidatesAndTheWalkerMatchesIt) {
  Keys good;
  for (int i = 0; i < 12; ++i) {
    const std::string key = "k" + std::to_string(10 + i);
    MemoryRecord r = make_record("n", key, "p", {{"tag", str(i == 3 || i == 11 ? "no" : "yes")}});
    if (i == 0) r.expires_at_ms = 5;
    if (i == 5) {
      // The entry names a record of another namespace.
      r = make_record("m", key, "p", {{"tag", str("yes")}});
      put(r);
      ASSERT_TRUE(engine->backend->put(Partition::kNamespaceIndex, text::namespace_index_key("n", key),
                                       node_key(r.node_id)).ok());
      continue;
    }
    if (i == 7) {
      ASSERT_TRUE(engine->backend->put(Partition::kNamespaceIndex, text::namespace_index_key("n", key),
                                       node_key(make_node_id(7, 7))).ok());
      continue;
    }
    put(r);
    if (i != 0 && i != 3 && i != 11) good.push_back(key);
  }
  MemoryListOptions o;
  o.filter_ops = std::vector{item("tag", FilterOp::kNeq, str("no"))};
  o.include_quarantined = true;
  o.limit = 4;
  Pages pages = page_through("n", o);
  EXPECT_EQ(pages.keys, (std::vector<Keys>{{"k11", "k12"}, {"k14", "k16"}, {"k18", "k19", "k20"}, {}}));
  EXPECT_EQ(pages.cursors, (std::vector<std::optional<uint64_t>>{4, 8, 12, std::nullopt}));
  for (uint64_t limit = 1; limit <= 13; ++limit) {
    o.limit = limit;
    const uint64_t before = prefix_scans();
    pages = page_through("n", o);
    const uint64_t paged_scans = prefix_scans() - before;
    Keys all;
    for (const Keys& p : pages.keys) all.insert(all.end(), p.begin(), p.end());
    EXPECT_EQ(all, good) << limit;
    const uint64_t walk_before = prefix_scans();
    EXPECT_EQ(walk("n", o), pages.keys) << limit;
    EXPECT_EQ(prefix_scans() - walk_before, paged_scans) << limit;
  }
  EXPECT_EQ(*db->count("n", o.filter_ops), good.size());
  EXPECT_EQ(*db->count("n", std::nullopt), good.size() + 2);
}

TEST_F(NamespacesTest, PagesHoldCachedRecordsFirst) {
  for (std::string k : {"a", "b", "c", "d", "e", "f"}) put("n", k);
  for (std::string k : {"a", "b", "c", "d", "e", "f"}) engine->node_cache.remove(record_node_id("n", k));
  for (std::string k : {"e", "c"}) engine->node_cache.put(**engine->get(record_node_id("n", k)));
  MemoryListOptions o;
  o.limit = 100;
  EXPECT_EQ(list_keys("n", o), (Keys{"c", "e", "a", "b", "d", "f"}));
}

TEST_F(NamespacesTest, FallsBackToTheNodeScanOnlyWithoutAState) {
  std::vector<MemoryRecord> records;
  for (int i = 0; i < 7; ++i) {
    MemoryRecord r = make_record(i == 6 ? "other" : "n", "k" + std::to_string(i), "p");
    if (i == 2) r.expires_at_ms = 5;
    ASSERT_TRUE(sdk_testing::put_node_only(*engine, r).ok());
  }
  MemoryListOptions o;
  o.limit = 2;
  // A state exists: no candidate is the answer, without a scan.
  uint64_t before = fallbacks();
  auto empty = db->list("n", o);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->records.empty());
  EXPECT_FALSE(empty->next_cursor);
  EXPECT_EQ(fallbacks(), before);

  drop_state();
  auto nodes = engine->scan_all_nodes();
  ASSERT_TRUE(nodes.ok());
  Keys scan_order;
  for (const EngineNode& n : *nodes) {
    auto r = MemoryRecord::from_node(n, true);
    if (r && r->ns == "n") scan_order.push_back(r->key);
  }
  ASSERT_EQ(scan_order.size(), 5u);
  before = fallbacks();
  Pages pages = page_through("n", o);
  EXPECT_EQ(pages.keys, (std::vector<Keys>{{scan_order[0], scan_order[1]}, {scan_order[2], scan_order[3]},
                                           {scan_order[4]}}));
  EXPECT_EQ(pages.cursors, (std::vector<std::optional<uint64_t>>{2, 4, std::nullopt}));
  EXPECT_EQ(fallbacks(), before + 3);  // once per page
  before = fallbacks();
  EXPECT_EQ(walk("n", o), pages.keys);
  EXPECT_EQ(fallbacks(), before + 1);  // once for the whole walk
  EXPECT_EQ(*db->count("n", std::nullopt), 5u);
}

TEST_F(NamespacesTest, CountsEveryMatchAcrossPages) {
  for (int matches : {0, 999, 1000, 1001, 2500}) {
    const std::string ns = "c" + std::to_string(matches);
    int others = 0;
    for (int i = 0, m = 0; m < matches || i < 20; ++i) {
      MemoryRecord r = make_record(ns, "k" + std::to_string(100000 + i), "p", {{"tag", str("m")}});
      if (i % 7 == 3) {
        r.expires_at_ms = 5;
      } else if (i % 5 == 1 || m >= matches) {
        r.metadata["tag"] = str("x");
        ++others;
      } else {
        if (m % 11 == 0) r.quarantined_at_ms = 1;
        if (m % 13 == 0) r.superseded_by = "k0";
        ++m;
      }
      put(r);
    }
    const auto tag_m = std::vector{item("tag", FilterOp::kEq, str("m"))};
    const auto not_x = std::vector{item("tag", FilterOp::kNeq, str("x"))};
    EXPECT_EQ(*db->count(ns, tag_m), static_cast<uint64_t>(matches)) << ns;
    EXPECT_EQ(*db->count(ns, not_x), static_cast<uint64_t>(matches)) << ns;
    EXPECT_EQ(*db->count(ns, std::nullopt), static_cast<uint64_t>(matches + others)) << ns;
  }
  // A failing group fails the whole count.
  probe->fail_prefix_of = Partition::kNamespaceIndex;
  probe->fail_prefix_after = 1500;
  auto failed = db->count("c2500", std::nullopt);
  ASSERT_FALSE(failed.ok());
  EXPECT_NE(failed.error().message().find("injected scan failure"), std::string::npos);
  probe->fail_prefix_of.reset();
}

TEST_F(NamespacesTest, ListsNamespacesFromTheIndexOrTheNodes) {
  auto none = db->list_namespaces();
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->empty());
  put("b", "1");
  put("a/b", "1");
  put("a", "1");
  put("a", "2");
  MemoryRecord gone = make_record("e", "1", "p");
  gone.expires_at_ms = 5;
  put(gone);
  ASSERT_TRUE(engine->backend->put(Partition::kNamespaceIndex, "no-separator", node_key(1)).ok());
  ASSERT_TRUE(engine->backend->put(Partition::kNamespaceIndex, "\xff\xfe\0k"s, node_key(2)).ok());
  EXPECT_EQ(*db->list_namespaces(), (Keys{"a", "a/b", "b", "e"}));
  // Without index entries the unexpired records name the namespaces.
  auto entries = engine->backend->scan_all(Partition::kNamespaceIndex);
  for (const KvPair& kv : *entries) ASSERT_TRUE(engine->backend->del(Partition::kNamespaceIndex, kv.key).ok());
  EXPECT_EQ(*db->list_namespaces(), (Keys{"a", "a/b", "b"}));
}

TEST_F(NamespacesTest, DeleteByFilterRefusesInOrder) {
  const std::vector<MemoryFilterItem> none;
  auto bad_ns = db->delete_by_filter("bad ns", none);
  ASSERT_FALSE(bad_ns.ok());
  EXPECT_EQ(bad_ns.error().kind(), ZolvaErrorKind::kValidation);
  EXPECT_NE(bad_ns.error().message().find("namespace"), std::string::npos);
  auto empty = db->delete_by_filter("nothing-here", none);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind(), ZolvaErrorKind::kInvalidInput);
  EXPECT_NE(empty.error().message().find(
                "delete_by_filter requires at least one filter item to prevent accidental "
                "full-namespace deletion. Use delete() to remove individual records."),
            std::string::npos);
  put("n", "k");
  Config read_only = config;
  read_only.read_only = true;
  reopen(read_only);
  auto refused = db->delete_by_filter("bad ns", none);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message().find(kReadOnlyHandleReason), std::string::npos);
  reopen(config);
  ASSERT_TRUE(db->close().ok());
  auto closed = db->delete_by_filter("n", {item("a", FilterOp::kNeq, str("x"))});
  ASSERT_FALSE(closed.ok());
  EXPECT_EQ(closed.error().kind(), ZolvaErrorKind::kNotInitialized);
  EXPECT_TRUE(audit_lines().empty());
}

// 1,200 matches behind candidates that do not match (expired, filtered out)
// in every page: all are deleted, each audited, with one progress event.
TEST_F(NamespacesTest, DeleteByFilterDeletesEveryMatch) {
  int kept = 0;
  for (int i = 0, m = 0; m < 1200; ++i) {
    MemoryRecord r = make_record("n", "k" + std::to_string(100000 + i), "p", {{"tag", str("m")}});
    if (i % 9 == 4) {
      r.expires_at_ms = 5;  // an unpurged expired match stays
    } else if (i % 6 == 1) {
      r.metadata["tag"] = str("x");
      ++kept;
    } else {
      if (m % 10 == 0) r.quarantined_at_ms = 1;
      if (m % 10 == 5) r.superseded_by = "k0";
      ++m;
    }
    put(r);
  }
  for (int i = 0; i < 5; ++i) put("o", "k" + std::to_string(i), {{"tag", str("m")}});
  const auto not_x = std::vector{item("tag", FilterOp::kNeq, str("x"))};
  log::CaptureSink sink(log::Level::kInfo);
  auto deleted = db->delete_by_filter("n", not_x);
  ASSERT_TRUE(deleted.ok()) << deleted.error().message();
  EXPECT_EQ(*deleted, 1200u);
  EXPECT_EQ(*db->count("n", not_x), 0u);
  EXPECT_EQ(*db->count("n", std::nullopt), static_cast<uint64_t>(kept));
  EXPECT_EQ(*db->count("o", std::nullopt), 5u);
  int progress = 0;
  for (const log::Event& e : sink.events()) {
    if (e.message != "delete_by_filter: progress checkpoint") continue;
    ++progress;
    EXPECT_EQ(e.fields, (log::Fields{{"namespace", "n"}, {"deleted", "1000"}}));
  }
  EXPECT_EQ(progress, 1);

  auto nothing = db->delete_by_filter("n", {item("tag", FilterOp::kEq, str("absent"))});
  ASSERT_TRUE(nothing.ok());
  EXPECT_EQ(*nothing, 0u);
  const std::vector<nlohmann::json> lines = audit_lines();
  ASSERT_EQ(lines.size(), 1202u);
  for (size_t i = 0; i < 1200; ++i) {
    EXPECT_EQ(lines[i]["op"], "delete");
    EXPECT_EQ(lines[i]["namespace"], "n");
  }
  for (auto [line, reason] : {std::pair{lines[1200], "1200 records"}, std::pair{lines[1201], "0 records"}}) {
    EXPECT_EQ(line["op"], "delete_by_filter");
    EXPECT_EQ(line["namespace"], "n");
    EXPECT_EQ(line["key"], "N/A");
    EXPECT_EQ(line["outcome"], "ok");
    EXPECT_EQ(line["reason"], reason);
  }
}

// A matching record whose node another thread deleted after the gathering
// is not counted.
// The spans of the filtered operations carry their conditions in full, so a
// recorded trace tells which filter a slow or failing call ran.
TEST_F(NamespacesTest, SpansRecordTheFilterItems) {
  put("n", "k1", {{"tag", str("m")}});
  const std::vector items{item("tag", FilterOp::kEq, str("m")), item("n", FilterOp::kGte, FieldValue::integer(2))};
  const std::string rendered =
      R"([MemoryFilterItem { field: "tag", op: Eq, value: String("m") }, )"
      R"(MemoryFilterItem { field: "n", op: Gte, value: Int(2) }])";
  log::CaptureSink sink;
  ASSERT_TRUE(db->count("n", items).ok());
  ASSERT_TRUE(db->count("n", std::nullopt).ok());
  MemoryListOptions o;
  o.limit = 5;
  o.filter_ops = items;
  ASSERT_TRUE(db->list("n", o).ok());
  ASSERT_TRUE(db->delete_by_filter("n", {item("tag", FilterOp::kNeq, str("\"x\""))}).ok());
  std::vector<log::Fields> spans;
  for (const log::Event& e : sink.events()) {
    if (e.message == "enter count" || e.message == "enter list" || e.message == "enter delete_by_filter") {
      spans.push_back(e.fields);
    }
  }
  ASSERT_EQ(spans.size(), 4u);
  EXPECT_EQ(spans[0], (log::Fields{{"namespace", "n"}, {"filters", "Some(" + rendered + ")"}}));
  EXPECT_EQ(spans[1], (log::Fields{{"namespace", "n"}, {"filters", "None"}}));
  EXPECT_EQ(spans[2], (log::Fields{{"namespace", "n"}, {"limit", "5"}, {"cursor", "none"},
                                   {"filter_ops", "Some(" + rendered + ")"}}));
  EXPECT_EQ(spans[3], (log::Fields{{"namespace", "n"},
                                   {"filters", R"([MemoryFilterItem { field: "tag", op: Neq, value: String("\"x\"") }])"}}));
}

TEST_F(NamespacesTest, DeleteByFilterSkipsKeysDeletedMeanwhile) {
  for (int i = 0; i < 20; ++i) put("n", "k" + std::to_string(10 + i), {{"tag", str("m")}});
  const std::string victim = "k29";  // the last in gathering order
  std::atomic<bool> done{false};
  probe->before_batch = [&](const std::vector<BatchOp>& ops) {
    for (const BatchOp& op : ops) {
      if (op.partition != Partition::kNamespaceIndex || done.exchange(true)) continue;
      // The node alone: the index locks are held around this batch.
      std::thread other([&] { EXPECT_TRUE(engine->delete_node(record_node_id("n", victim), "other").ok()); });
      other.join();
      return;
    }
  };
  auto deleted = db->delete_by_filter("n", {item("tag", FilterOp::kEq, str("m"))});
  probe->before_batch = nullptr;
  ASSERT_TRUE(deleted.ok()) << deleted.error().message();
  EXPECT_TRUE(done.load());
  EXPECT_EQ(*deleted, 19u);
  EXPECT_EQ(*db->count("n", std::nullopt), 0u);
}

// A delete that cannot take the engine's insert lock stops the call: the
// deletions before it stay, the rest of the matches too, and no summary is
// written.
TEST_F(NamespacesTest, DeleteByFilterStopsAtAFailedDelete) {
  Config c = config;
  c.insert_lock_timeout_ms = 30;
  reopen(c);
  for (int i = 0; i < 1100; ++i) put("n", "k" + std::to_string(10000 + i), {{"tag", str("m")}});
  std::promise<void> acquired;
  std::promise<void> release;
  std::thread holder;
  const int sink_id = log::add_sink(
      [&](const log::Event& e) {
        if (e.message != "delete_by_filter: progress checkpoint") return;
        holder = std::thread([&] {
          auto guard = engine->lock_insert("test holder");
          acquired.set_value();
          release.get_future().wait();
        });
        acquired.get_future().wait();
      },
      log::Level::kInfo);
  auto result = db->delete_by_filter("n", {item("tag", FilterOp::kEq, str("m"))});
  log::remove_sink(sink_id);
  release.set_value();
  holder.join();
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().kind(), ZolvaErrorKind::kTimeout);
  EXPECT_EQ(*db->count("n", std::nullopt), 100u);
  for (const nlohmann::json& line : audit_lines()) EXPECT_NE(line["op"], "delete_by_filter");
}

}  // namespace
}  // namespace zv
