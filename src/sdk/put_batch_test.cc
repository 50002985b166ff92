#include "src/sdk/put_batch.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <random>

#include "platform/clock.h"
#include "platform/fs.h"
#include "src/record/node_key.h"
#include "src/record/version_history.h"
#include "src/runtime/filter_bitset.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/provenance.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/sdk/testing/probe_backend.h"
#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"
#include "src/text/text_index_state.h"

namespace zv {
namespace {

using sdk_testing::DbFixture;

MemoryInput batch_input(std::string key, std::string payload = "alpha beta", std::string ns = "ns") {
  MemoryInput in;
  in.ns = std::move(ns);
  in.key = std::move(key);
  in.payload = std::move(payload);
  return in;
}

std::vector<float> vec_of(uint32_t i, size_t dims = 8) {
  std::vector<float> v(dims);
  std::mt19937 rng(i * 7919u + 1);
  for (float& x : v) x = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
  return v;
}

struct AuditLine {
  std::string op, ns, key, outcome;
  std::optional<std::string> reason;
  bool operator==(const AuditLine&) const = default;
};

std::ostream& operator<<(std::ostream& os, const AuditLine& l) {
  return os << l.op << "/" << l.ns << "/" << l.key << "/" << l.outcome << "/"
            << l.reason.value_or("null");
}

class PutBatchTest : public DbFixture {
 protected:
  PutBatchTest() { config.audit_log_path = fs::join(dir.path(), "audit.log"); }

  // A configuration of its own database below the fixture's folder.
  Config sub_config(const std::string& name, std::optional<uint64_t> chunk = std::nullopt) {
    Config c = config;
    c.storage_path = fs::join(dir.path(), name);
    c.audit_log_path = fs::join(dir.path(), name + ".audit.log");
    c.batch_size = chunk;
    return c;
  }
  EmbeddedDb open_sub(const Config& c) {
    auto db = EmbeddedDb::open_with_config(c, seams);
    EXPECT_TRUE(db.ok()) << db.error().message();
    return std::move(db).value();
  }

  std::vector<AuditLine> audit_lines() { return audit_lines_of(*config.audit_log_path); }
  static std::vector<AuditLine> audit_lines_of(const std::string& path) {
    std::vector<AuditLine> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
      auto j = nlohmann::json::parse(line);
      AuditLine l{j["op"], j["namespace"], j["key"], j["outcome"], std::nullopt};
      if (!j["reason"].is_null()) l.reason = j["reason"].get<std::string>();
      out.push_back(l);
    }
    return out;
  }
  std::vector<AuditLine> audit_since(size_t n) {
    auto all = audit_lines();
    return std::vector<AuditLine>(all.begin() + static_cast<std::ptrdiff_t>(n), all.end());
  }
  std::vector<uint64_t> stored_versions(StorageEngine& e, std::string_view ns, std::string_view key) {
    std::vector<uint64_t> out;
    const std::vector<KvPair> pairs = e.backend->scan_all(Partition::kVersions).value();
    for (const KvPair& p : pairs) {
      const std::string prefix = version_prefix(ns, key);
      if (!p.key.starts_with(prefix)) continue;
      uint64_t v = 0;
      for (size_t i = prefix.size(); i < p.key.size(); ++i) v = (v << 8) | static_cast<uint8_t>(p.key[i]);
      out.push_back(v);
    }
    return out;
  }
};

TEST_F(PutBatchTest, EmptyCallAuditsNotApplicableAndRebuildsNothing) {
  EmbeddedDb db = open_ok();
  int rebuilds = 0;
  PutBatchSeams seams;
  seams.on_full_rebuilds = [&] { ++rebuilds; };
  auto r = put_batch_with_seams(db, {}, seams);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_TRUE(r->empty());
  EXPECT_EQ(rebuilds, 0);
  EXPECT_EQ(audit_lines(), (std::vector<AuditLine>{{"put_batch", "N/A", "N/A", "ok", std::nullopt}}));
}

TEST_F(PutBatchTest, InvalidLastInputStoresNothingAndAuditsTheFirstInput) {
  EmbeddedDb db = open_ok();
  std::vector<MemoryInput> in = {batch_input("first"), batch_input("second"), batch_input("")};
  auto r = db.put_batch(in);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kValidation);
  EXPECT_FALSE(db.get("ns", "first")->has_value());
  auto e = engine_of(db);
  EXPECT_TRUE(e->backend->scan_all(Partition::kVersions)->empty());
  EXPECT_EQ(audit_lines(), (std::vector<AuditLine>{{"put_batch", "ns", "first", "err", std::nullopt}}));
}

TEST_F(PutBatchTest, ReadOnlyHandleFailsWithTheEngineRefusal) {
  { EmbeddedDb db = open_ok(); ASSERT_TRUE(db.put_batch({batch_input("k")}).ok()); }
  Config ro = config;
  ro.read_only = true;
  EmbeddedDb db = open_ok(ro);
  const std::string refusal =
      ZolvaError::validation("read_only", "StorageEngine is read-only; write operation rejected").message();
  for (size_t n : {0u, 2u}) {
    std::vector<MemoryInput> in;
    for (size_t i = 0; i < n; ++i) in.push_back(batch_input("k" + std::to_string(i)));
    auto r = db.put_batch(in);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), refusal);
  }
  // Validation still comes first.
  auto bad = db.put_batch({batch_input("")});
  ASSERT_FALSE(bad.ok());
  EXPECT_NE(bad.error().message(), refusal);
}

// A key twice in one call and across chunks: consecutive versions, the
// creation time of the first occurrence (also as the default validity
// start), a quarantine kept, one quarantine audit per new quarantine; the
// history keeps the newest versions up to the limit.
TEST_F(PutBatchTest, RepeatedKeysCarryVersionCreationTimeAndQuarantine) {
  for (uint64_t chunk : {1u, 2u, 1000u}) {
    SCOPED_TRACE(chunk);
    Config c = sub_config("chunk" + std::to_string(chunk), chunk);
    c.version_history_limit = 3;
    EmbeddedDb db = open_sub(c);
    set_now_ms_for_testing(1000);
    ASSERT_TRUE(db.put_batch({batch_input("old")}).ok());
    set_now_ms_for_testing(2000);
    MemoryInput q = batch_input("new");
    q.quarantine = true;
    std::vector<MemoryInput> in = {q, batch_input("old"), batch_input("new"), q, batch_input("new"), batch_input("new")};
    auto r = db.put_batch(in);
    set_now_ms_for_testing(0);
    ASSERT_TRUE(r.ok()) << r.error().message();
    ASSERT_EQ(r->size(), 6u);
    const std::vector<MemoryRecord>& got = *r;
    EXPECT_EQ(got[1].version, 2u);
    EXPECT_EQ(got[1].created_at_ms, 1000u);
    EXPECT_EQ(got[1].valid_at_ms, 1000u);
    EXPECT_EQ(got[1].updated_at_ms, 2000u);
    EXPECT_FALSE(got[1].quarantined_at_ms.has_value());
    for (size_t i : {0u, 2u, 3u, 4u, 5u}) {
      EXPECT_EQ(got[i].created_at_ms, 2000u);
      EXPECT_EQ(got[i].valid_at_ms, 2000u);
      EXPECT_EQ(got[i].quarantined_at_ms, 2000u);
      EXPECT_EQ(got[i].quarantined_by, "system:put_batch");
      EXPECT_EQ(got[i].quarantine_reason, "explicit_write");
      EXPECT_EQ(got[i].quarantine_review_due_ms, 2000u + 30 * 86400000ull);
    }
    EXPECT_EQ((std::vector<uint64_t>{got[0].version, got[2].version, got[3].version,
                                     got[4].version, got[5].version}),
              (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(db.get("ns", "new")->value(), got[5]);
    auto e = engine_of(db);
    EXPECT_EQ(stored_versions(*e, "ns", "new"), (std::vector<uint64_t>{3, 4, 5}));
    EXPECT_EQ(stored_versions(*e, "ns", "old"), (std::vector<uint64_t>{1, 2}));
    EXPECT_EQ(audit_lines_of(*c.audit_log_path),
              (std::vector<AuditLine>{{"put_batch", "ns", "old", "ok", std::nullopt},
                                      {"quarantine_enter", "ns", "new", "ok", "explicit_write"},
                                      {"put_batch", "ns", "new", "ok", std::nullopt}}));
    sdk_testing::expect_indexes_match_records(*e);
  }
}

// The fields of a single put's rules, on one call of several records.
TEST_F(PutBatchTest, RecordFieldsFollowThePutRules) {
  Config c = sub_config("fields", 3);
  c.memory_default_ttl_ms["short"] = 50;
  c.quarantine_review_default_days = 0;
  EmbeddedDb db = open_sub(c);
  set_now_ms_for_testing(5000);
  MemoryInput quarantined = batch_input("held");
  quarantined.quarantine = true;
  ASSERT_TRUE(db.put_batch({quarantined}).ok());
  set_now_ms_for_testing(7000);
  MemoryInput ttl0 = batch_input("ttl0");
  ttl0.ttl_ms = 0;
  MemoryInput ttl_max = batch_input("ttlmax");
  ttl_max.ttl_ms = UINT64_MAX;
  MemoryInput zeros = batch_input("zeros");
  zeros.vector = std::vector<float>{0.0f, -0.0f, 0.0f};
  MemoryInput valid = batch_input("valid");
  valid.valid_at_ms = 42;
  MemoryInput defaulted = batch_input("d", "x", "short");
  MemoryInput overridden = batch_input("o", "x", "short");
  overridden.ttl_ms = 7;
  std::vector<MemoryInput> in = {batch_input("held"), ttl0, ttl_max, zeros, valid, defaulted, overridden};
  auto r = db.put_batch(in);
  set_now_ms_for_testing(0);
  ASSERT_TRUE(r.ok()) << r.error().message();
  const std::vector<MemoryRecord>& got = *r;
  // The quarantined record keeps its earlier quarantine, without review date.
  EXPECT_EQ(got[0].quarantined_at_ms, 5000u);
  EXPECT_EQ(got[0].quarantine_review_due_ms, std::nullopt);
  EXPECT_EQ(got[0].created_at_ms, 5000u);
  EXPECT_EQ(got[1].expires_at_ms, 7000u);
  EXPECT_EQ(got[2].expires_at_ms, UINT64_MAX);
  EXPECT_EQ(got[3].vector, std::nullopt);
  EXPECT_EQ(got[4].valid_at_ms, 42u);
  EXPECT_EQ(got[5].expires_at_ms, 7050u);
  EXPECT_EQ(got[6].expires_at_ms, 7007u);
  // One update time per chunk (chunks of 3 here, all at the same clock).
  for (const MemoryRecord& m : got) EXPECT_EQ(m.updated_at_ms, 7000u);
  for (size_t i = 1; i < got.size(); ++i) EXPECT_EQ(got[i].created_at_ms, 7000u);

  // valid_at_ms 0 fails before anything of its chunk is stored.
  MemoryInput zero_valid = batch_input("zv");
  zero_valid.valid_at_ms = 0;
  auto z = db.put_batch({zero_valid});
  ASSERT_FALSE(z.ok());
  EXPECT_NE(z.error().message().find("must be greater than 0; omit the field to default to created_at_ms"),
            std::string::npos);
  EXPECT_FALSE(db.get("ns", "zv")->has_value());
}

TEST_F(PutBatchTest, ChunkTimesAndExpiredKeys) {
  Config c = sub_config("times", 2);
  EmbeddedDb db = open_sub(c);
  MemoryInput brief = batch_input("brief");
  brief.ttl_ms = 10;
  set_now_ms_for_testing(100);
  ASSERT_TRUE(db.put_batch({brief}).ok());
  set_now_ms_for_testing(200);
  // The record expired and was not purged: its key is refused.
  auto r = db.put_batch({batch_input("other"), batch_input("brief")});
  set_now_ms_for_testing(0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ZolvaErrorKind::kNodeIdCollision);
  EXPECT_FALSE(db.get("ns", "other")->has_value());  // same chunk: nothing stored
}

TEST_F(PutBatchTest, DerivedParentMustBeStoredBeforeItsChunk) {
  MemoryInput parent = batch_input("parent");
  MemoryInput child = batch_input("child");
  child.confidence_class = ConfidenceClass::kDerived;
  child.derived_from = std::vector<std::string>{"parent"};
  {
    EmbeddedDb db = open_sub(sub_config("together"));
    auto r = db.put_batch({parent, child});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), memory::parent_not_found(child, "parent").message());
  }
  EmbeddedDb db = open_sub(sub_config("apart", 1));
  auto r = db.put_batch({parent, child});
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ((*r)[1].derived_from, std::vector<std::string>{"parent"});
  EXPECT_FLOAT_EQ((*r)[1].confidence, 0.9f);
}

// The main check of the per-chunk index change: random calls stored twice,
// once as shipped and once with the full rebuilds after every call, leave
// the same index entries and state counts after each call.
TEST_F(PutBatchTest, IndexesEqualTheFullRebuildsAfterEveryCall) {
  for (uint64_t chunk : {1u, 7u, 1000u}) {
    SCOPED_TRACE(chunk);
    EmbeddedDb built = open_sub(sub_config("built" + std::to_string(chunk), chunk));
    EmbeddedDb literal = open_sub(sub_config("literal" + std::to_string(chunk), chunk));
    PutBatchSeams full;
    full.force_full_rebuilds = true;
    std::mt19937 rng(static_cast<uint32_t>(chunk));
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const std::vector<std::string> words = {"alpha", "beta", "gamma", "delta", "eps"};
    for (int call = 0; call < 12; ++call) {
      std::vector<MemoryInput> in;
      const int n = pick(1, 25);
      for (int i = 0; i < n; ++i) {
        MemoryInput m = batch_input("k" + std::to_string(pick(0, 30)), "", pick(0, 3) == 0 ? "other" : "ns");
        for (int w = pick(0, 6); w > 0; --w) {
          m.payload += (pick(0, 60) == 0 ? std::string(70000, 'q') : words[pick(0, 4)]) + " ";
        }
        if (pick(0, 1)) m.metadata["tags"] = FieldValue::list_string({words[pick(0, 4)], words[pick(0, 4)]});
        if (pick(0, 2) == 0) m.metadata["n"] = FieldValue::integer(pick(0, 3));
        if (pick(0, 40) == 0) m.metadata["blob"] = FieldValue::string(std::string(70000, 'm'));
        if (pick(0, 2) == 0) m.sparse_vector = SparseVector{{static_cast<uint32_t>(pick(0, 5)), 0.5f}};
        if (pick(0, 2) == 0) m.vector = vec_of(static_cast<uint32_t>(pick(0, 1000)));
        if (pick(0, 5) == 0) m.quarantine = true;
        if (pick(0, 5) == 0) m.ttl_ms = 1000000000ull;
        in.push_back(std::move(m));
      }
      auto a = built.put_batch(in);
      auto b = put_batch_with_seams(literal, in, full);
      ASSERT_TRUE(a.ok()) << a.error().message();
      ASSERT_TRUE(b.ok()) << b.error().message();
      auto ea = engine_of(built);
      auto eb = engine_of(literal);
      for (Partition p : {Partition::kNamespaceIndex, Partition::kPayloadIndex,
                          Partition::kTextIndex, Partition::kSparseIndex}) {
        ASSERT_EQ(*ea->backend->scan_all(p), *eb->backend->scan_all(p)) << "call " << call;
      }
      auto ta = **text::TextIndexState::read(*ea->backend);
      auto tb = **text::TextIndexState::read(*eb->backend);
      ta.built_at_ms = tb.built_at_ms;
      EXPECT_EQ(ta, tb);
      auto da = **text::DerivedIndexState::read(*ea->backend);
      auto db2 = **text::DerivedIndexState::read(*eb->backend);
      da.built_at_ms = db2.built_at_ms;
      EXPECT_EQ(da, db2);
      auto sa = **text::SparseIndexState::read(*ea->backend);
      auto sb = **text::SparseIndexState::read(*eb->backend);
      sa.built_at_ms = sb.built_at_ms;
      EXPECT_EQ(sa, sb);
    }
  }
}

// The closing full rebuilds run when the indexes could not be trusted at the
// call's start, repair them and clear the mark; otherwise they do not run.
TEST_F(PutBatchTest, FullRebuildsRunOnlyForUntrustedIndexes) {
  enum Damage { kTextStateMissing, kDerivedStateUndecodable, kSparseStateIncompatible, kRepairMark };
  for (Damage damage : {kTextStateMissing, kDerivedStateUndecodable, kSparseStateIncompatible,
                        kRepairMark}) {
    SCOPED_TRACE(static_cast<int>(damage));
    EmbeddedDb db = open_sub(sub_config("damage" + std::to_string(damage)));
    auto e = engine_of(db);
    ASSERT_TRUE(db.put_batch({batch_input("a", "one two"), batch_input("b", "two three")}).ok());
    // A node stored without its index entries, as a failed record change leaves it.
    ASSERT_TRUE(sdk_testing::put_node_only(*e, sdk_testing::make_record("ns", "lost", "four")).ok());
    switch (damage) {
      case kTextStateMissing:
        ASSERT_TRUE(e->backend->del(Partition::kInternalMetadata, text::kTextIndexStateKey).ok());
        break;
      case kDerivedStateUndecodable:
        ASSERT_TRUE(e->backend->put(Partition::kInternalMetadata, text::kDerivedIndexStateKey, "\x01").ok());
        break;
      case kSparseStateIncompatible: {
        text::SparseIndexState v2 = text::SparseIndexState::create(0, 0);
        v2.schema_version = 2;
        ASSERT_TRUE(text::SparseIndexState::write(*e, v2).ok());
        break;
      }
      case kRepairMark:
        e->index_locks.repair_mark.set();
        break;
    }
    int rebuilds = 0;
    PutBatchSeams seams;
    seams.on_full_rebuilds = [&] { ++rebuilds; };
    OperationalCounters& counters = OperationalCounters::global();
    const uint64_t repairs = counters.text_index_repairs.read();
    auto repaired = put_batch_with_seams(db, {batch_input("c", "five")}, seams);
    ASSERT_TRUE(repaired.ok()) << repaired.error().message();
    EXPECT_EQ(rebuilds, 1);
    EXPECT_EQ(counters.text_index_repairs.read(), repairs + 1);
    EXPECT_FALSE(e->index_locks.repair_mark.is_set());
    sdk_testing::expect_indexes_match_records(*e);
    // Trusted again: the next call changes the index only for its records.
    ASSERT_TRUE(put_batch_with_seams(db, {batch_input("a", "six")}, seams).ok());
    ASSERT_TRUE(put_batch_with_seams(db, {}, seams).ok());
    EXPECT_EQ(rebuilds, 1);
    EXPECT_EQ(counters.text_index_repairs.read(), repairs + 1);
    sdk_testing::expect_indexes_match_records(*e);
  }
}

// A chunk whose index change fails leaves its records stored, sets the mark
// and fails the call; the next call repairs.
TEST_F(PutBatchTest, AFailedIndexChangeSetsTheRepairMark) {
  std::weak_ptr<sdk_testing::ProbeBackend> probe;
  seams.factories = sdk_testing::probe_factory_table(&probe, std::nullopt);
  EmbeddedDb db = open_sub(sub_config("mark"));
  auto e = engine_of(db);
  probe.lock()->refuse_writes_of = Partition::kTextIndex;
  auto r = db.put_batch({batch_input("a", "one")});
  probe.lock()->refuse_writes_of.reset();
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(e->index_locks.repair_mark.is_set());
  EXPECT_EQ(db.get("ns", "a")->value().payload, "one");
  EXPECT_EQ(audit_lines_of(*sub_config("mark").audit_log_path).back(),
            (AuditLine{"put_batch", "ns", "a", "err", std::nullopt}));
  ASSERT_TRUE(db.put_batch({batch_input("b", "two")}).ok());
  EXPECT_FALSE(e->index_locks.repair_mark.is_set());
  sdk_testing::expect_indexes_match_records(*e);
}

// Another writer between two chunks of a call: the later chunk builds on
// what that writer stored, not on the call's own earlier record.
TEST_F(PutBatchTest, AWriterBetweenChunksIsNotOverwrittenBlindly) {
  EmbeddedDb db = open_sub(sub_config("between", 1));
  PutBatchSeams s;
  s.before_chunk = [&](size_t chunk) {
    if (chunk == 1) {
      ASSERT_TRUE(db.put(batch_input("k", "from the other writer")).ok());
    }
    if (chunk == 3) {
      ASSERT_TRUE(db.del("ns", "gone").ok());
    }
  };
  auto r = put_batch_with_seams(db, {batch_input("k", "first"), batch_input("gone", "x y"), batch_input("k", "second"),
                                     batch_input("gone", "again")}, s);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ((*r)[0].version, 1u);
  EXPECT_EQ((*r)[2].version, 3u);  // 1 by the call, 2 by the other writer
  EXPECT_EQ((*r)[3].version, 1u);  // deleted in between: a new record
  EXPECT_EQ(db.get("ns", "k")->value().version, 3u);
  sdk_testing::expect_indexes_match_records(*engine_of(db));
}

std::vector<MemoryInput> vector_inputs(size_t from, size_t count) {
  std::vector<MemoryInput> in;
  for (size_t i = from; i < from + count; ++i) {
    MemoryInput m = batch_input("v" + std::to_string(i), "word" + std::to_string(i % 17));
    m.vector = vec_of(static_cast<uint32_t>(i));
    in.push_back(std::move(m));
  }
  return in;
}

// Every record's vector is found by a search for it.
void expect_vectors_found(StorageEngine& e, const std::vector<MemoryInput>& in) {
  auto index = e.vector_index();
  size_t missing = 0;
  for (const MemoryInput& m : in) {
    const NodeId id = record_node_id(m.ns, m.key);
    auto hits = index->search_nearest(*m.vector, std::nullopt, std::nullopt,
                                      FilterBitset::unfiltered(), 10, nullptr);
    bool found = false;
    for (const auto& h : hits) found |= h.id == id;
    if (!found) ++missing;
  }
  EXPECT_EQ(missing, 0u);
}

// On a persistent backend a chunk of 1,000 goes to one rebuild at the end
// only while the index holds no more vectors than the call brings.
TEST_F(PutBatchTest, VectorIndexRebuildsOnlyWhenTheCallOutweighsTheIndex) {
  CounterCell& scanned = OperationalCounters::global().ann_rebuild_scanned_nodes;
  struct Case {
    std::string name;
    BackendKind backend;
    size_t before;  // vectors stored beforehand (calls of 1,000 and a rest)
    size_t call;
    bool rebuilds;
  };
  const std::vector<Case> cases = {
      {"empty1000", BackendKind::kMorva, 0, 1000, true},
      {"empty999", BackendKind::kMorva, 0, 999, false},
      {"full1000", BackendKind::kMorva, 5000, 1000, false},
      {"memory1000", BackendKind::kInMemory, 0, 1000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Config cfg = sub_config(c.name);
    cfg.backend = c.backend;
    EmbeddedDb db = open_sub(cfg);
    auto e = engine_of(db);
    for (size_t at = 0; at < c.before; at += 1000) {
      ASSERT_TRUE(db.put_batch(vector_inputs(at, std::min<size_t>(1000, c.before - at))).ok());
    }
    ASSERT_EQ(e->vector_index()->len(), c.before);
    const std::vector<MemoryInput> in = vector_inputs(c.before, c.call);
    scanned.set(0);  // a maximum: the largest rebuild since
    auto r = db.put_batch(in);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(scanned.read(), c.rebuilds ? c.call : 0u);
    EXPECT_EQ(e->vector_index()->len(), c.before + c.call);
    expect_vectors_found(*e, in);
  }
}

// Chunk 3 of 4 fails in the engine: chunks 1 and 2 stay stored, indexed and
// searchable (their deferred vectors rebuilt before the error returns), chunk
// 3 adds nothing.
TEST_F(PutBatchTest, AFailingChunkLeavesEarlierChunksWholeAndSearchable) {
  std::weak_ptr<sdk_testing::ProbeBackend> probe;
  seams.factories = sdk_testing::probe_factory_table(&probe, std::nullopt);
  Config cfg = sub_config("fail", 1000);
  EmbeddedDb db = open_sub(cfg);
  auto e = engine_of(db);
  const std::vector<MemoryInput> in = vector_inputs(0, 4000);
  PutBatchSeams s;
  s.before_chunk = [&](size_t chunk) {
    if (chunk == 2) probe.lock()->refuse_writes_of = Partition::kDefault;
  };
  auto r = put_batch_with_seams(db, in, s);
  probe.lock()->refuse_writes_of.reset();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(audit_lines_of(*cfg.audit_log_path).back(),
            (AuditLine{"put_batch", "ns", "v0", "err", std::nullopt}));
  const std::vector<MemoryInput> stored(in.begin(), in.begin() + 2000);
  for (size_t i : {0u, 999u, 1000u, 1999u}) EXPECT_TRUE(db.get("ns", in[i].key)->has_value());
  for (size_t i : {2000u, 2999u, 3999u}) EXPECT_FALSE(db.get("ns", in[i].key)->has_value());
  EXPECT_EQ(e->vector_index()->len(), 2000u);
  expect_vectors_found(*e, stored);
  EXPECT_FALSE(e->index_locks.repair_mark.is_set());
  sdk_testing::expect_indexes_match_records(*e);
}

}  // namespace
}  // namespace zv
