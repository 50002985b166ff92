#include <gtest/gtest.h>

// GCC 12 takes the copies of log-record variants in initializer lists for
// reads of uninitialised storage.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <map>
#include <set>
#include <thread>

#include "platform/log.h"
#include "src/index/hnsw_index.h"
#include "src/record/binary_form.h"
#include "src/runtime/operational_counters.h"
#include "src/storage/edge_labels.h"
#include "src/storage/testing/failing_put_backend.h"
#include "src/storage/testing/open_fixture.h"

namespace zv {
namespace {

using testing::OpenFixture;

WalRecord ins(const EngineNode& n) { return WalRecord(std::in_place_index<0>, WalInsert{n}); }

std::vector<float> floats_of(const VectorRepr& v) {
  auto view = v.as_f32_slice();
  return view ? view->to_vector() : std::vector<float>{};
}

class EngineOpenTest : public OpenFixture {
 protected:
  // Every expected node reads back with its own vector; every absent one is
  // absent from the index and from partition 0.
  void expect_state(StorageEngine& e, const std::vector<EngineNode>& present,
                    const std::vector<NodeId>& absent) {
    for (const EngineNode& n : present) {
      auto got = e.get(n.id);
      ASSERT_TRUE(got.ok()) << got.error().message();
      ASSERT_TRUE(got.value().has_value()) << node_id_to_string(n.id);
      EXPECT_EQ(floats_of(got.value()->vector), floats_of(n.vector)) << node_id_to_string(n.id);
      EXPECT_EQ(got.value()->fields, n.fields);
    }
    for (NodeId id : absent) {
      EXPECT_FALSE(e.vector_index()->contains(id)) << node_id_to_string(id);
      EXPECT_FALSE(e.backend->get(Partition::kDefault, node_key(id)).value().has_value());
    }
  }
};

TEST_F(EngineOpenTest, FailuresCarryTheirErrorsAndLeaveNoLog) {
  struct Case {
    const char* name;
    std::function<void(Config&, std::string&)> setup;
    ZolvaErrorKind kind;
    std::string text;
  };
  const std::string missing = fs::join(db, "nowhere");
  const std::vector<Case> cases = {
      {"dotdot", [](Config&, std::string& p) { p += "/../x"; }, ZolvaErrorKind::kValidation, "path"},
      {"ro missing", [&](Config& c, std::string& p) { c.read_only = true; p = missing; },
       ZolvaErrorKind::kNotFound, "database_path"},
      {"ro no lock", [&](Config& c, std::string&) { c.read_only = true; }, ZolvaErrorKind::kNotFound,
       "lock_file"},
      {"busy writer", [](Config& c, std::string&) { c.file_lock_timeout_ms = 0; },
       ZolvaErrorKind::kDatabaseBusy, "Cannot acquire exclusive writer lock within timeout."},
      {"rocksdb", [](Config& c, std::string&) { c.backend = BackendKind::kRocksDb; },
       ZolvaErrorKind::kValidation, "backend_feature"},
  };
  for (const Case& c : cases) {
    Config cfg = config;
    std::string path = db;
    c.setup(cfg, path);
    auto e = StorageEngine::open(path, cfg, seams);
    ASSERT_FALSE(e.ok()) << c.name;
    EXPECT_EQ(e.error().kind(), c.kind) << c.name << ": " << e.error().message();
    EXPECT_NE(e.error().message().find(c.text), std::string::npos) << c.name << ": " << e.error().message();
    EXPECT_FALSE(fs::exists(data_dir())) << c.name;
  }
  ASSERT_TRUE(open_ok() != nullptr);
  Config ro = config;
  ro.read_only = true;
  ro.file_lock_timeout_ms = 0;
  auto busy = try_open(ro);
  ASSERT_FALSE(busy.ok());
  EXPECT_NE(busy.error().message().find("Cannot acquire shared read-only lock within timeout."),
            std::string::npos);
  // Read-only without tier files: the segment's own error.
  for (uint32_t t = 0; t < 4; ++t) ASSERT_TRUE(fs::remove_file(fs::join(data_dir(), tier_file_name(t))).ok());
  ro.file_lock_timeout_ms = 1000;
  EXPECT_FALSE(try_open(ro).ok());
  ASSERT_TRUE(fs::remove_dir_all(data_dir()).ok());
  auto no_data = try_open(ro);
  ASSERT_FALSE(no_data.ok());
  const auto* nf = no_data.error().as<ZolvaError::NotFound>();
  ASSERT_NE(nf, nullptr);
  EXPECT_EQ(nf->kind, "data_directory");
  EXPECT_EQ(nf->id, data_dir());
}

TEST_F(EngineOpenTest, MemoryModeTouchesNothingAndKeepsItsThreshold) {
  Config c = config;
  c.backend = BackendKind::kInMemory;
  c.flat_threshold = 7;
  const std::string path = fs::join(db, "not/there");
  auto e = StorageEngine::open(path, c, seams);
  ASSERT_TRUE(e.ok());
  EXPECT_FALSE(fs::exists(path));
  EXPECT_EQ(e.value()->vector_index()->flat_threshold(), 10000u);
  EXPECT_EQ(e.value()->wal, nullptr);
  EXPECT_FALSE(e.value()->lock_file.has_value());
}

TEST_F(EngineOpenTest, ReplaysAcknowledgedRecordsAcrossRestartsWithoutFlush) {
  std::vector<WalRecord> log;
  std::vector<EngineNode> nodes;
  for (NodeId id = 1; id <= 9; ++id) {
    nodes.push_back(node(id));
    log.push_back(ins(nodes.back()));
  }
  EngineNode hostile = node(100);
  hostile.set_field("bytes", FieldValue::string(std::string("\x00\xC3\xA9\n\\", 5) + "ok"));
  log.push_back(ins(hostile));
  log.push_back(WalDelete{3});
  log.push_back(WalDelete{77});  // never stored
  EngineNode replaced = node(5, {9.0f, 8.0f, 7.0f});
  log.push_back(WalUpdate{5, replaced});
  write_log(4, log);
  std::vector<EngineNode> present = {nodes[0], nodes[1], nodes[3], replaced, nodes[5],
                                     nodes[6], nodes[7], nodes[8], hostile};
  for (int round = 0; round < 2; ++round) {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    expect_state(*e, present, {3, 77});
    EXPECT_EQ(e->scalar_index->lookup("k", FieldValue::string("v1")), std::vector<NodeId>{1});
    EXPECT_TRUE(e->scalar_index->lookup("k", FieldValue::string("v3")).empty());
  }  // dropped without a flush: the backend loses everything, the log stays
}

TEST_F(EngineOpenTest, CheckpointSkipsTheAppliedPositionsOfEachShard) {
  std::vector<WalRecord> log;
  for (NodeId id = 0; id < 14; ++id) log.push_back(ins(node(id + 1)));
  write_log(4, log);
  store_meta(kCheckpointSeqKey, encode_varint_u64(10));
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_state(*e, {node(11), node(12), node(13), node(14)}, {1, 2, 5, 10});
}

TEST_F(EngineOpenTest, ExistingLogIsReplayedWhateverTheConfiguredShards) {
  struct Case {
    uint64_t written_shards;
    uint64_t configured;
    bool drop_shard0;
  };
  int n = 0;
  for (const Case& c : {Case{1, 4, false}, Case{4, 0, false}, Case{4, 4, true}, Case{3, 1, true}}) {
    db = fs::join(dir.path(), "case" + std::to_string(n++));  // each case in its own directory
    std::vector<WalRecord> log;
    std::vector<EngineNode> nodes;
    for (NodeId id = 1; id <= 8; ++id) {
      nodes.push_back(node(id));
      log.push_back(ins(nodes.back()));
    }
    write_log(c.written_shards, log);
    std::vector<NodeId> lost;
    if (c.drop_shard0) {
      ASSERT_TRUE(fs::remove_file(wal::shard_path(c.written_shards, wal_path(), 0)).ok());
      for (NodeId id = 1; id <= 8; id += c.written_shards) lost.push_back(id);
    }
    Config cfg = config;
    cfg.wal_shards = c.configured;
    auto e = open_ok(cfg);
    ASSERT_NE(e, nullptr);
    std::vector<EngineNode> present;
    for (const EngineNode& n : nodes)
      if (std::find(lost.begin(), lost.end(), n.id) == lost.end()) present.push_back(n);
    expect_state(*e, present, lost);
  }
}

TEST_F(EngineOpenTest, ZeroNormVectorDoesNotBlockTheOpen) {
  write_log(1, {WalInsert{node(1, {0.0f, 0.0f, 0.0f})}, WalInsert{node(2)}});
  log::CaptureSink sink(log::Level::kWarn);
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_state(*e, {node(1, {0.0f, 0.0f, 0.0f}), node(2)}, {});
  EXPECT_TRUE(sink.contains("zero norm"));
}

TEST_F(EngineOpenTest, DamagedShardHeaderFailsAndAFixedLogReplaysTheSameState) {
  std::vector<WalRecord> log;
  for (NodeId id = 1; id <= 6; ++id) log.push_back(WalInsert{node(id)});
  write_log(2, log);
  const std::string shard1 = wal::shard_path(2, wal_path(), 1);
  const std::string good = fs::read_file(shard1).value();
  for (size_t len : {size_t{1}, size_t{19}}) {
    ASSERT_TRUE(fs::write_file(shard1, good.substr(0, len)).ok());
    auto e = try_open();
    ASSERT_FALSE(e.ok());
    EXPECT_NE(e.error().message().find("Failed to open WAL shard 1 during recovery: "), std::string::npos)
        << e.error().message();
  }
  std::string bad = good;
  bad[0] ^= 0x5A;
  ASSERT_TRUE(fs::write_file(shard1, bad).ok());
  EXPECT_FALSE(try_open().ok());
  ASSERT_TRUE(fs::write_file(shard1, good).ok());
  for (int round = 0; round < 2; ++round) {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    expect_state(*e, {node(1), node(2), node(3), node(4), node(5), node(6)}, {});
  }
}

TEST_F(EngineOpenTest, UncommittedTransactionsAreLeftOut) {
  write_log(1, {WalInsert{node(1)}, WalTxnBegin{7}, WalInsert{node(2)}, WalTxnAbort{8},
                WalInsert{node(3)}});
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_state(*e, {node(1)}, {2, 3});
}

TEST_F(EngineOpenTest, CheckpointAboveTheLogRestartsItsPositions) {
  write_log(2, {WalInsert{node(1)}, WalInsert{node(2)}});
  store_meta(kCheckpointSeqKey, encode_varint_u64(50));
  {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    expect_state(*e, {}, {1, 2});
    EXPECT_EQ(read_checkpoint(*e->backend).value(), 0u);
    ASSERT_TRUE(wal::append_record(*e->wal, WalInsert{node(3)}).ok());
  }
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  expect_state(*e, {node(3)}, {1, 2});
}

TEST_F(EngineOpenTest, StoredCheckpointValues) {
  EXPECT_EQ(decode_checkpoint_value(""), 0u);
  EXPECT_EQ(decode_checkpoint_value(std::string(8, '\0')), 0u);
  EXPECT_EQ(decode_checkpoint_value("\x80"), 0u);
  EXPECT_EQ(decode_checkpoint_value(encode_varint_u64(300) + "junk"), 300u);
  EXPECT_EQ(decode_checkpoint_value(std::string(11, '\xFF')), 0u);
}

TEST_F(EngineOpenTest, LegacyStoreMovesToTierZeroAndRebuildsTheIndex) {
  {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    for (NodeId id = 1; id <= 5; ++id) {
      auto lock = e->lock_segment0();
      ASSERT_TRUE(e->segments[0]->file.append_node(node(id)).ok());
      // The nodes' records, as the backend of a legacy database holds them.
      ASSERT_TRUE(e->backend->put(Partition::kDefault, node_key(id),
                                  encode_node_metadata(node_metadata_of(node(id), 1))).ok());
    }
    ASSERT_TRUE(e->segments[0]->file.flush().ok());
    ASSERT_TRUE(e->backend->flush().ok());
  }
  for (uint32_t t = 1; t < 4; ++t) ASSERT_TRUE(fs::remove_file(fs::join(data_dir(), tier_file_name(t))).ok());
  ASSERT_TRUE(fs::rename(fs::join(data_dir(), tier_file_name(0)), fs::join(data_dir(), kLegacyStoreName)).ok());
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(fs::exists(fs::join(data_dir(), kLegacyStoreName)));
  for (uint32_t t = 0; t < 4; ++t) EXPECT_TRUE(fs::exists(fs::join(data_dir(), tier_file_name(t))));
  EXPECT_EQ(e->vector_index()->len(), 5u);
  EXPECT_EQ(e->tier_files.size(), 4u);
}

TEST_F(EngineOpenTest, ScalarIndexRebuildDoesNotDoubleItsLists) {
  write_log(1, {WalInsert{node(1)}, WalInsert{node(2)}});
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(e->rebuild_scalar_index().ok());
  ASSERT_TRUE(e->rebuild_scalar_index().ok());
  EXPECT_EQ(e->scalar_index->lookup("k", FieldValue::string("v2")), std::vector<NodeId>{2});
}

TEST_F(EngineOpenTest, DamagedLabelEntriesFailTheOpen) {
  const std::vector<std::pair<std::vector<KvPair>, bool>> cases = {
      {{}, true},
      {{{"edge_label::1", "b"}, {"edge_label::0", "a"}}, true},
      {{{"edge_label::0", "a"}, {"edge_label::2", "c"}}, false},        // gap
      {{{"edge_label::1", "a"}}, false},                                // not from 0
      {{{"edge_label::0", "a"}, {"edge_label::01", "b"}}, false},       // two keys for one id
      {{{"edge_label::0", "a"}, {"edge_label::1", "a"}}, false},        // one label twice
      {{{"edge_label::x", "a"}}, false},
      {{{"edge_label::0", std::string("\xFF\xFE", 2)}}, false},
      {{{"edge_label::4294967296", "a"}}, false},
  };
  for (const auto& [entries, ok] : cases) {
    auto t = edge_labels_from_entries(entries);
    EXPECT_EQ(t.ok(), ok) << (entries.empty() ? "" : entries.back().key);
    if (!ok && !t.ok()) {
      EXPECT_EQ(t.error().kind(), ZolvaErrorKind::kSerialization);
    }
  }
  store_meta("edge_label::1", "gap");
  auto e = try_open();
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().kind(), ZolvaErrorKind::kSerialization);
}

}  // namespace
}  // namespace zv

namespace zv {
namespace {

class EngineOpenMoreTest : public testing::OpenFixture {};

TEST(EngineOpenMemoryWarning, FromTenThousandAndOneNodesAboveHalfTheLimit) {
  const uint64_t limit = 1000;
  EXPECT_FALSE(index_memory_warning_due(10000, 1u << 30, limit));
  EXPECT_TRUE(index_memory_warning_due(10001, 501, limit));
  EXPECT_FALSE(index_memory_warning_due(10001, 500, limit));
  EXPECT_FALSE(index_memory_warning_due(0, 0, 0));
}

TEST_F(EngineOpenMoreTest, StartUpGauges) {
  write_log(1, {ins(node(1)), ins(node(2)), ins(node(3))});
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  auto& c = OperationalCounters::global();
  EXPECT_EQ(c.hnsw_nodes_count.read(), 3u);
  EXPECT_GE(c.wal_records_replayed.read(), 3u);
  EXPECT_EQ(c.hnsw_logical_bytes.read(), e->vector_index()->memory_usage());
  EXPECT_EQ(c.volatile_cache_entries.read(), 0u);
  EXPECT_TRUE(c.mmap_resident_bytes.read().has_value());
}

TEST_F(EngineOpenMoreTest, FlatThresholdOfALoadedIndex) {
  write_log(1, {ins(node(1)), ins(node(2))});
  {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->vector_index()->flat_threshold(), 10000u);
    e->vector_index()->set_flat_threshold(55);
    ASSERT_TRUE(e->vector_index()->persist(fs::join(e->data_dir, kIndexFileName)).ok());
  }
  Config absent = config;
  absent.flat_threshold = std::nullopt;
  for (bool mapped : {false, true}) {
    absent.index_mmap_always = mapped;
    auto e = open_ok(absent);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->vector_index()->flat_threshold(), 55u) << mapped;
    EXPECT_EQ(e->vector_index()->is_mmap_backed(), mapped);
  }
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->vector_index()->flat_threshold(), 10000u);
}

TEST_F(EngineOpenMoreTest, FieldStatisticsKeepTheFirstHundredTexts) {
  std::vector<WalRecord> log;
  for (NodeId id = 1; id <= 150; ++id) {
    EngineNode n = node(id);
    n.set_field("f", FieldValue::string("t" + node_id_to_string(id)));
    log.push_back(ins(n));
  }
  write_log(1, log);
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  std::lock_guard<std::shared_mutex> g(e->field_stats.mu);
  const auto* f = e->field_stats.value.field("f");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->size(), FieldStats::kMaxValuesPerField);
}

TEST_F(EngineOpenMoreTest, ShortShardsAndATornTailLoseOnlyWhatIsMissing) {
  // Counts [2, 2, 1, 1]: shards 2 and 3 lost their second record.
  write_log(4, {ins(node(1)), ins(node(2)), ins(node(3)), ins(node(4))});
  const std::string s2 = fs::read_file(wal::shard_path(4, wal_path(), 2)).value();
  const std::string s3 = fs::read_file(wal::shard_path(4, wal_path(), 3)).value();
  write_log(4, {ins(node(5)), ins(node(6)), ins(node(7)), ins(node(8))});
  ASSERT_TRUE(fs::write_file(wal::shard_path(4, wal_path(), 2), s2).ok());
  ASSERT_TRUE(fs::write_file(wal::shard_path(4, wal_path(), 3), s3 + "\x07\x00\x00").ok());  // torn
  {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    for (NodeId id = 1; id <= 6; ++id) EXPECT_TRUE(e->get(id).value().has_value()) << node_id_to_string(id);
    for (NodeId id : {NodeId{7}, NodeId{8}}) EXPECT_FALSE(e->get(id).value().has_value());
    ASSERT_TRUE(wal::append_record(*e->wal, ins(node(9))).ok());
  }
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(e->get(9).value().has_value());
  EXPECT_TRUE(e->get(6).value().has_value());
}

TEST_F(EngineOpenMoreTest, DeleteOfANodeTheIndexNeverHeldClearsPartitionZero) {
  {
    ASSERT_TRUE(fs::create_dir_all(db).ok());
    auto b = testing::DurableTestBackend::open(db);
    ASSERT_TRUE(b.ok());
    ASSERT_TRUE(b.value()->put(Partition::kDefault, node_key(5),
                               encode_node_metadata(node_metadata_of(node(5), 1))).ok());
    ASSERT_TRUE(b.value()->flush().ok());
  }
  write_log(1, {WalRecord(std::in_place_index<2>, WalDelete{5})});
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->backend->get(Partition::kDefault, node_key(5)).value().has_value());
  EXPECT_TRUE(e->scalar_index->lookup("k", FieldValue::string("v5")).empty());
}

TEST_F(EngineOpenMoreTest, ReplayedDeleteMarksTheStoredRecord) {
  write_log(1, {ins(node(1)), ins(node(2)), WalRecord(std::in_place_index<2>, WalDelete{1})});
  {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    ASSERT_TRUE(e->segments[0]->file.store_write_offset().ok());
    ASSERT_TRUE(e->segments[0]->file.flush().ok());
    ASSERT_TRUE(e->backend->flush().ok());  // the log's records are in the backend now
  }
  // Without the index file and the log the index is rebuilt from the store
  // alone, where the deleted record must not come back.
  const auto names = fs::list_dir(data_dir());
  ASSERT_TRUE(names.ok());
  for (const std::string& name : names.value()) {
    if (name.rfind("zolva", 0) == 0) {
      ASSERT_TRUE(fs::remove_file(fs::join(data_dir(), name)).ok());
    }
  }
  auto e = open_ok();
  ASSERT_NE(e, nullptr);
  EXPECT_FALSE(e->vector_index()->contains(1));
  EXPECT_TRUE(e->vector_index()->contains(2));
}

}  // namespace
}  // namespace zv

namespace zv {
namespace {

using testing::FailingPutBackend;

class EngineOpenRetryTest : public testing::OpenFixture {};

TEST_F(EngineOpenRetryTest, ReplayFailingMidwayIsRepeatedByTheNextOpen) {
  std::vector<WalRecord> log;
  std::vector<EngineNode> nodes;
  for (NodeId id = 1; id <= 6; ++id) {
    nodes.push_back(node(id));
    log.push_back(ins(nodes.back()));
  }
  log.push_back(WalRecord(std::in_place_index<2>, WalDelete{2}));
  write_log(2, log);
  const BackendFactoryTable durable = seams.factories;
  for (int fail_at : {1, 4, 6}) {
    seams.factories[BackendKind::kMorva] = [&](std::string_view p, const Config& c) -> ZolvaResult<BackendHandle> {
      ZV_ASSIGN_OR_RETURN(BackendHandle inner, create_backend(durable, BackendKind::kMorva, p, c));
      return BackendHandle(std::make_shared<FailingPutBackend>(std::move(inner), fail_at));
    };
    auto failed = try_open();
    ASSERT_FALSE(failed.ok()) << fail_at;
    EXPECT_NE(failed.error().message().find("injected put failure"), std::string::npos);
  }
  seams.factories = durable;
  for (int round = 0; round < 2; ++round) {
    auto e = open_ok();
    ASSERT_NE(e, nullptr);
    for (const EngineNode& n : nodes) {
      auto got = e->get(n.id);
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(got.value().has_value(), n.id != 2) << node_id_to_string(n.id);
    }
    EXPECT_EQ(e->vector_index()->len(), 5u);
    EXPECT_EQ(e->backend->scan_all(Partition::kDefault).value().size(), 5u);
  }
}

}  // namespace
}  // namespace zv
