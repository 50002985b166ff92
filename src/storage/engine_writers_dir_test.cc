// The writers over a database opened in directory mode with the durable
// test backend: what insert, delete and batch insert acknowledge reads back
// from the engine and again after the engine is dropped without a flush and
// the database opened anew (the log replays it over a backend that kept
// nothing); a write that fails changes nothing a reopen would not replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/testing/faulty_file_system.h"
#include "src/storage/rebuild_from_store.h"
#include "src/storage/testing/consistency.h"
#include "src/storage/testing/failing_put_backend.h"
#include "src/storage/testing/open_fixture.h"

namespace zv {
namespace {

using testing::engine_disagreements;

EngineNode version_of(NodeId id, float v, std::string k, Tier tier = Tier::kCold) {
  EngineNode n = EngineNode::create(id);
  n.vector = VectorRepr::f32({1.0f, v, float(id % 13)});
  n.set_field("k", FieldValue::string(std::move(k)));
  n.tier = tier;
  return n;
}

// What a database should hold: id -> its node, or none once deleted; and
// every "k" text ever written, so that a stale scalar entry is found too.
struct Expected {
  std::map<NodeId, std::optional<EngineNode>> nodes;
  std::set<std::string> texts;

  void put(const EngineNode& n) {
    nodes[n.id] = n;
    texts.insert(*n.fields.at("k").if_string());
  }
  void erase(NodeId id) { nodes[id] = std::nullopt; }
};

// `scalar`: whether to check the scalar entries too. A write that fails
// after its statistics step leaves them as that step made them (the open
// refills them from the stored nodes).
void expect_holds(StorageEngine& e, const Expected& want, const std::string& where,
                  bool scalar = true) {
  SCOPED_TRACE(where);
  std::map<std::string, std::vector<NodeId>> by_text;
  for (const auto& [id, n] : want.nodes) {
    auto g = e.get(id);
    ASSERT_TRUE(g.ok()) << g.error().message();
    if (!n) {
      EXPECT_FALSE(*g) << "deleted " << node_id_to_string(id) << " reads back";
      EXPECT_FALSE(e.vector_index()->contains(id)) << node_id_to_string(id);
      continue;
    }
    ASSERT_TRUE(*g) << "lost " << node_id_to_string(id);
    EXPECT_EQ((*g)->vector, n->vector) << node_id_to_string(id);
    EXPECT_EQ((*g)->fields.at("k"), n->fields.at("k")) << node_id_to_string(id);
    EXPECT_EQ(e.vector_index()->vector(id), n->vector) << node_id_to_string(id);
    by_text[*n->fields.at("k").if_string()].push_back(id);
  }
  for (const std::string& text : scalar ? want.texts : std::set<std::string>{}) {
    auto got = e.scalar_index->lookup("k", FieldValue::string(text));
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, by_text[text]) << "scalar entries of " << text;
  }
  for (const std::string& d : engine_disagreements(e)) ADD_FAILURE() << d;
}

class WritersDirTest : public testing::OpenFixture {
 protected:
  WritersDirTest() { config.memory_pressure_ratio = 0; }
};

TEST_F(WritersDirTest, AcknowledgedWritesReadBackAndSurviveReopens) {
  Expected want;
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  for (NodeId id = 1; id <= 4; ++id) {
    const EngineNode n = version_of(id, 1, "a" + node_id_to_string(id), id <= 2 ? Tier::kHot : Tier::kCold);
    ASSERT_TRUE(e->insert(n).ok());
    want.put(n);
  }
  const EngineNode replaced = version_of(2, 2, "shared", Tier::kHot);
  ASSERT_TRUE(e->insert(replaced).ok());
  want.put(replaced);
  const std::optional<EngineNode> cached = e->node_cache.find(2);
  ASSERT_TRUE(cached);  // hot: its cached copy replaced
  EXPECT_EQ(cached->vector, replaced.vector);
  EXPECT_FALSE(e->node_cache.find(3));  // cold: never cached
  ASSERT_TRUE(e->delete_node(3, "gone").ok());
  want.erase(3);
  ASSERT_TRUE(e->delete_node(99, "never stored").ok());
  want.erase(99);
  // A batch of new nodes with a repeated id (the later one holds), and one
  // that replaces stored nodes.
  std::vector<EngineNode> batch;
  for (NodeId id = 10; id < 30; ++id) batch.push_back(version_of(id, 1, id % 2 ? "shared" : "even"));
  batch.push_back(version_of(10, 3, "later"));
  ASSERT_TRUE(e->batch_insert_with_opts(batch, {}).ok());
  for (const EngineNode& n : batch) want.put(n);
  std::vector<EngineNode> again = {version_of(1, 4, "shared"), version_of(4, 4, "b4")};
  ASSERT_TRUE(e->batch_insert_with_opts(again, {}).ok());
  for (const EngineNode& n : again) want.put(n);
  expect_holds(*e, want, "before the first reopen");

  e.reset();  // no flush: the backend keeps nothing, the log holds it all
  e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_holds(*e, want, "after the first reopen");
  // Writes over what the open rebuilt: the delete and the replace find the
  // scalar entries the open filled.
  ASSERT_TRUE(e->delete_node(10, "gone").ok());
  want.erase(10);
  const EngineNode moved = version_of(11, 5, "moved");
  ASSERT_TRUE(e->insert(moved).ok());
  want.put(moved);
  ASSERT_TRUE(e->insert(version_of(3, 6, "back")).ok());
  want.put(version_of(3, 6, "back"));
  std::vector<EngineNode> more = {version_of(30, 1, "even"), version_of(12, 7, "shared")};
  ASSERT_TRUE(e->batch_insert_with_opts(more, {}).ok());
  for (const EngineNode& n : more) want.put(n);
  expect_holds(*e, want, "written after the first reopen");

  e.reset();
  e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_holds(*e, want, "after the second reopen");
}

// A write whose log append fails (the platform's fault-injecting file layer
// under the log, through the open's seam) changes nothing: not in the engine,
// and not after a reopen, which finds no record of it.
TEST_F(WritersDirTest, WriteTheLogRefusesChangesNothing) {
  testing::FaultyFileSystem faulty;
  wal::ShardedWalOptions o = wal::sharded_wal_options(config);
  o.fs = &faulty;
  seams.wal_options = o;
  Expected want;
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  std::vector<EngineNode> first;
  for (NodeId id = 1; id <= 6; ++id) first.push_back(version_of(id, 1, "a", Tier::kHot));
  ASSERT_TRUE(e->batch_insert_with_opts(first, {}).ok());
  for (const EngineNode& n : first) want.put(n);
  const uint64_t store_end = e->segments[0]->file.write_offset();

  faulty.fail_nth(testing::FaultOp::kWrite, 1, 1000);
  faulty.fail_nth(testing::FaultOp::kSync, 1, 1000);
  EXPECT_FALSE(e->insert(version_of(1, 2, "b")).ok());    // a replace
  EXPECT_FALSE(e->insert(version_of(7, 2, "b")).ok());    // a new node
  EXPECT_FALSE(e->delete_node(2, "refused").ok());
  std::vector<EngineNode> refused = {version_of(3, 2, "b"), version_of(8, 2, "b")};
  EXPECT_FALSE(e->batch_insert_with_opts(refused, {}).ok());
  want.texts.insert("b");
  want.nodes[7] = std::nullopt;
  want.nodes[8] = std::nullopt;
  // The batch appended to the store before its log append failed: those
  // records are voided, so no rebuild from the store takes them.
  EXPECT_GT(e->segments[0]->file.write_offset(), store_end);
  for (const RebuildItem& it : scan_store_for_rebuild(e->segments[0]->file).items)
    EXPECT_LT(it.storage_offset, store_end) << node_id_to_string(it.id);
  expect_holds(*e, want, "after the refused writes", /*scalar=*/false);

  // A failed write stops its log shard; the database opens again and takes
  // writes.
  faulty.clear();
  e.reset();
  e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_holds(*e, want, "after the reopen");
  const EngineNode after = version_of(9, 3, "c");
  ASSERT_TRUE(e->insert(after).ok());
  want.put(after);
  e.reset();
  e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_holds(*e, want, "after a write and a second reopen");
}

// A failed backend put voids the store record and leaves the earlier version
// readable; its log record stays and replays at the next open, which then
// holds the new version consistently in all three places.
TEST_F(WritersDirTest, FailedPutReadsAsBeforeAndItsLogRecordReplays) {
  std::shared_ptr<testing::FailingPutBackend> backend;
  const BackendConstructor durable = seams.factories.at(BackendKind::kMorva);
  seams.factories[BackendKind::kMorva] = [&](std::string_view path,
                                             const Config& c) -> ZolvaResult<BackendHandle> {
    ZV_ASSIGN_OR_RETURN(BackendHandle inner, durable(path, c));
    backend = std::make_shared<testing::FailingPutBackend>(std::move(inner));
    return BackendHandle(backend);
  };
  Expected want;
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  const EngineNode first = version_of(1, 1, "first");
  ASSERT_TRUE(e->insert(first).ok());
  want.put(first);
  backend->fail_next = 1;
  const EngineNode second = version_of(1, 2, "second");
  EXPECT_FALSE(e->insert(second).ok());
  backend->fail_next = 1;
  EXPECT_FALSE(e->insert(version_of(2, 2, "second")).ok());
  want.texts.insert("second");
  want.nodes[2] = std::nullopt;
  expect_holds(*e, want, "after the failed puts", /*scalar=*/false);

  e.reset();
  e = open_ok();
  ASSERT_NE(e, nullptr);
  want.put(second);
  want.put(version_of(2, 2, "second"));
  expect_holds(*e, want, "after the reopen");
}

// A store record of a write that never reached the log (a batch stopped
// between its store append and its log append) stays out of the index the
// open rebuilds from the store, now and at every later open.
TEST_F(WritersDirTest, StoreRecordNeverLoggedStaysOutOfTheRebuiltIndex) {
  write_log(4, {WalRecord(std::in_place_index<0>, WalInsert{node(1)})});
  uint64_t unlogged_at = 0;
  {
    auto f = VFile::open(fs::join(data_dir(), tier_file_name(0)), 1 << 16, false);
    ASSERT_TRUE(f.ok()) << f.error().message();
    auto at = f->append_node(node(77));
    ASSERT_TRUE(at.ok());
    unlogged_at = *at;
  }
  for (int open = 0; open < 2; ++open) {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(e->vector_index()->contains(77)) << open;
    EXPECT_FALSE(e->get(77).value().has_value());
    auto h = e->segments[0]->file.node_header_at(unlogged_at);
    ASSERT_TRUE(h);
    EXPECT_TRUE(h->deleted());
    EXPECT_EQ(h->node_id, NodeId{0});
    auto g = e->get(1);
    ASSERT_TRUE(g.ok() && *g);
    EXPECT_EQ((*g)->vector, node(1).vector);
    for (const std::string& d : engine_disagreements(*e)) ADD_FAILURE() << d;
  }
}

}  // namespace
}  // namespace zv
