#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/memory.h"
#include "src/sdk/record_index.h"
#include "src/sdk/testing/memory_fixture.h"
#include "src/sdk/testing/probe_backend.h"
#include "src/storage/shred_record.h"
#include "src/text/text_keys.h"

namespace zv {
namespace {

using sdk_testing::expect_error;
using sdk_testing::make_input;
using sdk_testing::status_of;
using sdk_testing::TestClock;
constexpr uint64_t kPutNow = sdk_testing::kTestNowMs;
constexpr uint64_t kDayMs = 86'400'000;

class PutTest : public sdk_testing::MemoryFixture {};

TEST_F(PutTest, VersionsTimesAndValidity) {
  TestClock clock(kPutNow);
  EmbeddedDb db = open_ok();
  MemoryInput first = make_input("ns", "k");
  first.valid_at_ms = 500;
  auto v1 = db.put(first);
  ASSERT_TRUE(v1.ok()) << v1.error().message();
  EXPECT_EQ(v1->version, 1u);
  EXPECT_EQ(v1->created_at_ms, kPutNow);
  EXPECT_EQ(v1->updated_at_ms, kPutNow);
  EXPECT_EQ(v1->valid_at_ms, 500u);
  EXPECT_EQ(v1->node_id, record_node_id("ns", "k"));

  clock.set(kPutNow + 7);
  auto v2 = db.put(make_input("ns", "k", "other words"));
  ASSERT_TRUE(v2.ok());
  EXPECT_EQ(v2->version, 2u);
  EXPECT_EQ(v2->created_at_ms, kPutNow);
  EXPECT_EQ(v2->updated_at_ms, kPutNow + 7);
  EXPECT_EQ(v2->valid_at_ms, kPutNow);  // the first version's creation, not its validity
  auto got = db.get("ns", "k");
  ASSERT_TRUE(got.ok() && got->has_value());
  EXPECT_EQ(**got, *v2);

  MemoryInput zero = make_input("ns", "k");
  zero.valid_at_ms = 0;
  expect_error(status_of(db.put(zero)), ZolvaErrorKind::kValidation,
               "Validation error on valid_at_ms: must be greater than 0; omit the field to "
               "default to created_at_ms",
               "valid_at 0");
  EXPECT_EQ(audit_summary(), (std::vector<std::string>{"put ns k ok", "put ns k ok",
                                                       "put ns k err"}));
  EXPECT_EQ(version_entries(*engine_of(db), "ns", "k"), 2u);
}

TEST_F(PutTest, TimeToLive) {
  TestClock clock(kPutNow);
  config.memory_default_ttl_ms = {{"short", 1000}};
  EmbeddedDb db = open_ok();
  struct Case {
    std::string ns, key;
    std::optional<uint64_t> ttl;
    std::optional<uint64_t> expires;
  };
  const Case cases[] = {
      {"short", "default", std::nullopt, kPutNow + 1000},
      {"short", "explicit", 5, kPutNow + 5},
      {"Short", "exact match only", std::nullopt, std::nullopt},
      {"other", "none", std::nullopt, std::nullopt},
      {"other", "saturates", std::numeric_limits<uint64_t>::max(),
       std::numeric_limits<uint64_t>::max()},
      {"other", "zero", 0, kPutNow},
  };
  for (const Case& c : cases) {
    MemoryInput in = make_input(c.ns, c.key);
    in.ttl_ms = c.ttl;
    auto r = db.put(in);
    ASSERT_TRUE(r.ok()) << c.key << ": " << r.error().message();
    EXPECT_EQ(r->expires_at_ms, c.expires) << c.key;
  }
  // ttl 0 expires the record from the next millisecond on: it reads as
  // absent and blocks puts of its key until purged.
  clock.set(kPutNow + 1);
  auto gone = db.get("other", "zero");
  ASSERT_TRUE(gone.ok());
  EXPECT_FALSE(gone->has_value());
  expect_error(status_of(db.put(make_input("other", "zero"))), ZolvaErrorKind::kNodeIdCollision,
               node_id_to_string(record_node_id("other", "zero")), "expired");
}

TEST_F(PutTest, VectorsOfOnlyZerosAreStoredAsNone) {
  EmbeddedDb db = open_ok();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    std::string key;
    std::optional<std::vector<float>> vector;
    bool kept;
  };
  const Case cases[] = {
      {"absent", std::nullopt, false},     {"empty", std::vector<float>{}, false},
      {"zeros", std::vector<float>{0, 0, 0}, false},
      {"negative zero", std::vector<float>{-0.0f, 0.0f}, false},
      {"nan", std::vector<float>{0, nan}, true}, {"values", std::vector<float>{0, 0.5f}, true},
  };
  for (const Case& c : cases) {
    MemoryInput in = make_input("ns", c.key);
    in.vector = c.vector;
    ASSERT_TRUE(db.put(in).ok()) << c.key;
    auto got = db.get("ns", c.key);
    ASSERT_TRUE(got.ok() && got->has_value()) << c.key;
    ASSERT_EQ((*got)->vector.has_value(), c.kept) << c.key;
    if (c.kept) {
      EXPECT_EQ((*got)->vector->size(), c.vector->size()) << c.key;
    }
  }
}

TEST_F(PutTest, QuarantineIsEnteredOnceAndCarriedOver) {
  TestClock clock(kPutNow);
  {
    EmbeddedDb db = open_ok();
    MemoryInput in = make_input("ns", "k");
    in.quarantine = true;
    auto q = db.put(in);
    ASSERT_TRUE(q.ok());
    EXPECT_EQ(q->quarantined_at_ms, kPutNow);
    EXPECT_EQ(q->quarantine_reason, "explicit_write");
    EXPECT_EQ(q->quarantined_by, "system:put");
    EXPECT_EQ(q->quarantine_review_due_ms, kPutNow + 30 * kDayMs);
    auto lines = audit_lines();
    ASSERT_EQ(lines.size(), 2u);
    auto enter = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(enter["op"], "quarantine_enter");
    EXPECT_EQ(enter["outcome"], "ok");
    EXPECT_EQ(enter["reason"], "explicit_write");
    EXPECT_EQ(nlohmann::json::parse(lines[1])["op"], "put");

    // Later puts, with or without the flag, neither renew nor lift it.
    uint64_t later = kPutNow;
    for (bool flag : {true, false}) {
      clock.set(later += 1000);
      MemoryInput again = make_input("ns", "k", "new words");
      again.quarantine = flag;
      auto r = db.put(again);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(memory::quarantine_state_of(*r), memory::quarantine_state_of(*q)) << flag;
    }
    EXPECT_EQ(audit_summary(), (std::vector<std::string>{"quarantine_enter ns k ok",
                                                         "put ns k ok", "put ns k ok",
                                                         "put ns k ok"}));
    ASSERT_TRUE(db.close().ok());
  }
  config.quarantine_review_default_days = 0;
  EmbeddedDb db = open_ok();
  MemoryInput in = make_input("ns", "no-review");
  in.quarantine = true;
  auto q = db.put(in);
  ASSERT_TRUE(q.ok());
  EXPECT_TRUE(q->quarantined_at_ms.has_value());
  EXPECT_FALSE(q->quarantine_review_due_ms.has_value());
}

TEST_F(PutTest, SupersessionClearedAndVersionSaturates) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  MemoryRecord old = sdk_testing::make_record("ns", "k", "words");
  old.superseded_by = "k2";
  old.superseded_at_ms = 9;
  old.version = 41;
  ASSERT_TRUE(sdk_testing::put_indexed(*engine, old).ok());
  auto r = db.put(make_input("ns", "k"));
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_FALSE(r->superseded_by.has_value());
  EXPECT_FALSE(r->superseded_at_ms.has_value());
  EXPECT_EQ(r->version, 42u);
  EXPECT_EQ(r->created_at_ms, 1u);
  sdk_testing::expect_rebuild_writes_same(db, *engine);
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(memory::next_version(max - 1), max);
  EXPECT_EQ(memory::next_version(max), max);
}

// Text that is not UTF-8 is refused before anything is written: stored, it
// would make the record's node undecodable and so lose the record.
TEST_F(PutTest, TextThatIsNotUtf8IsRefusedAndTheStoredRecordKept) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  auto v1 = db.put(make_input("ns", "k", "kept words", {{"tag", FieldValue::string("a")}}));
  ASSERT_TRUE(v1.ok());
  const std::string bad = "ok\xff\xfe";
  struct Case {
    MemoryInput in;
    std::string field;
  };
  const Case cases[] = {
      {make_input("ns", "k", bad), "payload"},
      {make_input("ns", "k", "w", {{"tag", FieldValue::string(bad)}}), "metadata"},
      {make_input("ns", "k", "w", {{"tags", FieldValue::list_string({"a", bad})}}), "metadata"},
      {make_input("ns", "k", "w", {{bad, FieldValue::integer(1)}}), "metadata"},
      {make_input("ns", "k" + bad), "key"},
  };
  for (const Case& c : cases) {
    expect_error(status_of(db.put(c.in)), ZolvaErrorKind::kValidation,
                 "Validation error on " + c.field + ": ", c.field);
    auto got = db.get("ns", "k");
    ASSERT_TRUE(got.ok() && got->has_value()) << c.field;
    EXPECT_EQ(**got, *v1) << c.field;
  }
  EXPECT_EQ(version_entries(*engine, "ns", "k"), 1u);
  sdk_testing::expect_rebuild_writes_same(db, *engine);
}

TEST_F(PutTest, ScalarFieldRecordOnlyForMetadata) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  ASSERT_TRUE(db.put(make_input("ns", "bare")).ok());
  ASSERT_TRUE(db.put(make_input("ns", "tagged", "w", {{"tag", FieldValue::string("a")}})).ok());
  auto bare = engine->backend->get(Partition::kInternalMetadata,
                                   shred_record::key(record_node_id("ns", "bare")));
  auto tagged = engine->backend->get(Partition::kInternalMetadata,
                                     shred_record::key(record_node_id("ns", "tagged")));
  ASSERT_TRUE(bare.ok() && tagged.ok());
  EXPECT_FALSE(bare->has_value());
  EXPECT_TRUE(tagged->has_value());
}

TEST_F(PutTest, RefusalsAreAuditedWithTheRequestAsGiven) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  MemoryRecord crafted = sdk_testing::make_record("ns", "someone-else", "x");
  crafted.node_id = record_node_id("ns", "taken");
  ASSERT_TRUE(sdk_testing::put_node_only(*engine, crafted).ok());
  struct Case {
    MemoryInput in;
    ZolvaErrorKind kind;
    std::string text;
  };
  MemoryInput derived = make_input("ns", "d");
  derived.confidence_class = ConfidenceClass::kDerived;
  derived.derived_from = std::vector<std::string>{"nobody"};
  const Case cases[] = {
      {make_input("bad ns!", "k"), ZolvaErrorKind::kValidation, "namespace may contain only"},
      {make_input("ns", ""), ZolvaErrorKind::kValidation, "key must not be empty"},
      {make_input("ns", "k", "w", {{"__zolva_x", FieldValue::integer(1)}}),
       ZolvaErrorKind::kValidation, "reserved for ZivirOR internals"},
      {make_input("ns", "taken"), ZolvaErrorKind::kNodeIdCollision, "Node ID collision"},
      {derived, ZolvaErrorKind::kValidation, "parent 'nobody' not found in namespace 'ns'"},
  };
  for (const Case& c : cases) {
    expect_error(status_of(db.put(c.in)), c.kind, c.text, c.text);
    auto line = nlohmann::json::parse(audit_lines().back());
    EXPECT_EQ(line["op"], "put") << c.text;
    EXPECT_EQ(line["namespace"], c.in.ns) << c.text;
    EXPECT_EQ(line["key"], c.in.key) << c.text;
    EXPECT_EQ(line["outcome"], "err") << c.text;
    EXPECT_TRUE(line["reason"].is_null()) << c.text;
  }
  ASSERT_TRUE(db.close().ok());
  expect_error(status_of(db.put(make_input("ns", "k"))), ZolvaErrorKind::kNotInitialized, "",
               "closed");
  Config ro = config;
  ro.read_only = true;
  EmbeddedDb reader = open_ok(ro);
  expect_error(status_of(reader.put(make_input("ns", "k"))), ZolvaErrorKind::kValidation,
               "read_only", "read-only");
  EXPECT_EQ(audit_summary().back(), "put ns k err");
}

TEST_F(PutTest, FailedIndexUpdateLeavesTheVersionStoredAndMarksRepair) {
  std::weak_ptr<sdk_testing::ProbeBackend> probe;
  seams.factories = sdk_testing::probe_factory_table(&probe);
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  probe.lock()->refuse_writes_of = Partition::kTextIndex;
  MemoryInput in = make_input("ns", "k", "alpha", {{"tag", FieldValue::string("a")}});
  in.quarantine = true;
  expect_error(status_of(db.put(in)), ZolvaErrorKind::kBackend, "injected", "put");
  probe.lock()->refuse_writes_of.reset();
  auto node = engine->get(record_node_id("ns", "k"));
  ASSERT_TRUE(node.ok() && node->has_value());
  auto stored = MemoryRecord::from_node(**node, true);
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->version, 1u);
  auto shred = engine->backend->get(Partition::kInternalMetadata,
                                    shred_record::key(record_node_id("ns", "k")));
  ASSERT_TRUE(shred.ok());
  EXPECT_TRUE(shred->has_value());
  EXPECT_EQ(version_entries(*engine, "ns", "k"), 1u);
  EXPECT_EQ(audit_summary(), (std::vector<std::string>{"put ns k err"}));
  EXPECT_TRUE(sdk_testing::repair_marked(*engine));
}

// Each write leaves partitions 4 to 7 and the state counts exactly as a
// rebuild of the same records writes them.
TEST_F(PutTest, EveryWriteLeavesTheIndexesARebuildWrites) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  struct Step {
    std::string key, payload;
    FieldMap metadata;
    std::optional<SparseVector> sparse;
    bool remove = false;
  };
  const Step steps[] = {
      {"a", "the quick brown fox", {{"tag", FieldValue::string("x")}}, SparseVector{{1, 0.5f}}},
      {"b", "quick quick dog", {{"tags", FieldValue::list_string({"x", "y", "x"})}},
       SparseVector{{1, 1.0f}, {7, 2.0f}}},
      {"a", "a brown dog\x01 with \xc3\xa9 \"\\ bytes", {{"n", FieldValue::integer(3)}}, std::nullopt},
      {"c", "", {}, SparseVector{}},
      {"b", "", {}, std::nullopt, /*remove=*/true},
      {"a", "fox fox fox", {{"tag", FieldValue::string("y")}}, SparseVector{{7, 1.0f}}},
      {"c", "", {}, std::nullopt, /*remove=*/true},
      {"b", "back again quick", {}, std::nullopt},
  };
  for (const Step& s : steps) {
    if (s.remove) {
      auto r = db.del("ns", s.key);
      ASSERT_TRUE(r.ok() && *r) << s.key;
    } else {
      MemoryInput in = make_input("ns", s.key, s.payload, s.metadata);
      in.sparse_vector = s.sparse;
      auto put = db.put(in);
      ASSERT_TRUE(put.ok()) << s.key << ": " << put.error().message();
    }
    sdk_testing::expect_rebuild_writes_same(db, *engine, s.key);
  }
}

// Index keys longer than the key-value engine takes are left out and
// counted; the record itself is stored, listed and found by its other
// tokens.
TEST_F(PutTest, OverLongIndexKeysAreSkippedNotFatal) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  auto& counters = OperationalCounters::global();
  const uint64_t tokens_before = counters.text_tokens_skipped.read();
  const uint64_t payload_before = counters.derived_payload_keys_skipped.read();
  const std::string token(70'000, 'q');
  const std::string value(70'000, 'v');
  for (int round = 0; round < 2; ++round) {  // a new record, then an update
    MemoryInput in = make_input("ns", "long", "findme " + token + " round" + std::to_string(round),
                                {{"big", FieldValue::string(value)}});
    auto r = db.put(in);
    ASSERT_TRUE(r.ok()) << r.error().message();
    auto got = db.get("ns", "long");
    ASSERT_TRUE(got.ok() && got->has_value());
    EXPECT_EQ((*got)->payload, in.payload);
    auto listed = namespace_index_ids(*engine, "ns", 0, std::nullopt);
    ASSERT_TRUE(listed.ok());
    EXPECT_EQ(listed->ids, std::vector<NodeId>{record_node_id("ns", "long")});
    for (const std::string& t : {std::string("findme"), "round" + std::to_string(round)}) {
      auto posting = engine->backend->get(Partition::kTextIndex, text::posting_key("ns", t, "long"));
      ASSERT_TRUE(posting.ok());
      EXPECT_TRUE(posting->has_value()) << t;
    }
    EXPECT_FALSE(sdk_testing::repair_marked(*engine));
    sdk_testing::expect_rebuild_writes_same(db, *engine, "round " + std::to_string(round));
  }
  EXPECT_GT(counters.text_tokens_skipped.read(), tokens_before);
  EXPECT_GT(counters.derived_payload_keys_skipped.read(), payload_before);
  auto removed = db.del("ns", "long");
  ASSERT_TRUE(removed.ok() && *removed);
  EXPECT_FALSE(sdk_testing::repair_marked(*engine));
  sdk_testing::expect_rebuild_writes_same(db, *engine, "deleted");
}

TEST_F(PutTest, ReadQuarantineStateFromTheStoredValue) {
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  struct Case {
    std::string key;
    FieldMap fields;  // reserved quarantine fields set on the node
    std::optional<memory::QuarantineState> want;
  };
  using S = memory::QuarantineState;
  const Case cases[] = {
      {"none", {}, std::nullopt},
      {"zero time", {{"__zolva_quarantined_at_ms", FieldValue::integer(0)}}, std::nullopt},
      {"negative time", {{"__zolva_quarantined_at_ms", FieldValue::integer(-4)}}, std::nullopt},
      {"text time", {{"__zolva_quarantined_at_ms", FieldValue::string("5")}}, std::nullopt},
      {"full",
       {{"__zolva_quarantined_at_ms", FieldValue::integer(5)},
        {"__zolva_quarantine_reason", FieldValue::string("why")},
        {"__zolva_quarantined_by", FieldValue::string("me")},
        {"__zolva_quarantine_review_due_ms", FieldValue::integer(9)}},
       S{5, 9, "why", "me"}},
      {"wrong kinds",
       {{"__zolva_quarantined_at_ms", FieldValue::integer(5)},
        {"__zolva_quarantine_reason", FieldValue::integer(1)},
        {"__zolva_quarantined_by", FieldValue::list_string({"me"})},
        {"__zolva_quarantine_review_due_ms", FieldValue::integer(0)}},
       S{5, std::nullopt, std::nullopt, std::nullopt}},
  };
  for (const Case& c : cases) {
    EngineNode node = sdk_testing::make_record("ns", c.key, "p").into_node();
    for (const auto& [name, value] : c.fields) node.set_field(name, value);
    ASSERT_TRUE(engine->insert(node).ok());
    auto got = memory::read_quarantine_state(*engine, node.id);
    ASSERT_TRUE(got.ok()) << c.key;
    EXPECT_EQ(*got, c.want) << c.key;
  }
  auto absent = memory::read_quarantine_state(*engine, record_node_id("ns", "never"));
  ASSERT_TRUE(absent.ok());
  EXPECT_FALSE(absent->has_value());
  // Bytes that do not decode, written under an id behind the engine's back;
  // and a stored value that differs from the cached node is what is read.
  const NodeId junk = record_node_id("ns", "junk");
  ASSERT_TRUE(engine->backend->put(Partition::kDefault, node_key(junk), "\xff\x01").ok());
  auto undecodable = memory::read_quarantine_state(*engine, junk);
  ASSERT_TRUE(undecodable.ok());
  EXPECT_FALSE(undecodable->has_value());
  const NodeId full = record_node_id("ns", "full");
  ASSERT_TRUE(engine->get(full).ok());  // cached now
  auto plain = engine->backend->get(Partition::kDefault, node_key(record_node_id("ns", "none")));
  ASSERT_TRUE(plain.ok() && plain->has_value());
  ASSERT_TRUE(engine->backend->put(Partition::kDefault, node_key(full), **plain).ok());
  auto fresh = memory::read_quarantine_state(*engine, full);
  ASSERT_TRUE(fresh.ok());
  EXPECT_FALSE(fresh->has_value());
}

}  // namespace
}  // namespace zv
