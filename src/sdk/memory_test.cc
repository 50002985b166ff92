#include "src/sdk/memory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "src/record/node_key.h"
#include "src/record/version_history.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/testing/memory_fixture.h"
#include "src/sdk/testing/probe_backend.h"
#include "src/storage/shred_record.h"

namespace zv {
namespace {

using sdk_testing::expect_error;
using sdk_testing::make_record;
using sdk_testing::ProbeBackend;
using sdk_testing::status_of;
using sdk_testing::TestClock;
constexpr uint64_t kNow = sdk_testing::kTestNowMs;

MemoryInput input(std::string ns, std::string key, std::string payload = "some words") {
  return sdk_testing::make_input(std::move(ns), std::move(key), std::move(payload));
}

class MemoryTest : public sdk_testing::MemoryFixture {};

// --- get ---

TEST_F(MemoryTest, GetReadsOnlyLiveRecordsOfItsNamespaceAndKey) {
  TestClock clock(kNow);
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  ASSERT_TRUE(db.put(input("ns", "k", "hello")).ok());
  MemoryRecord expired = make_record("ns", "old", "x");
  expired.expires_at_ms = kNow - 1;
  ASSERT_TRUE(sdk_testing::put_indexed(*engine, expired).ok());
  // A node without the reserved fields, and a record of another key stored
  // under this key's id (only a crafted write can make either).
  ASSERT_TRUE(engine->insert(EngineNode::create(record_node_id("ns", "plain"))).ok());
  MemoryRecord crafted = make_record("ns", "someone-else", "x");
  crafted.node_id = record_node_id("ns", "taken");
  ASSERT_TRUE(sdk_testing::put_node_only(*engine, crafted).ok());

  auto live = db.get("ns", "k");
  ASSERT_TRUE(live.ok() && live->has_value());
  EXPECT_EQ((*live)->payload, "hello");
  for (const char* key : {"missing", "old", "plain"}) {
    auto none = db.get("ns", key);
    ASSERT_TRUE(none.ok()) << key;
    EXPECT_FALSE(none->has_value()) << key;
  }
  auto other_ns = db.get("ns2", "k");
  ASSERT_TRUE(other_ns.ok());
  EXPECT_FALSE(other_ns->has_value());
  expect_error(status_of(db.get("ns", "taken")), ZolvaErrorKind::kNodeIdCollision,
               "Node ID collision: " + node_id_to_string(record_node_id("ns", "taken")), "taken");
  // Namespace first, then key.
  expect_error(status_of(db.get("bad ns", "")), ZolvaErrorKind::kValidation, "namespace", "ns");
  expect_error(status_of(db.get("ns", std::string("a\0b", 3))), ZolvaErrorKind::kValidation,
               "key must not contain NUL bytes", "key");
  EXPECT_TRUE(audit_lines().size() == 1);  // the put only; reads are not audited

  ASSERT_TRUE(db.close().ok());
  expect_error(status_of(db.get("ns", "k")), ZolvaErrorKind::kNotInitialized, "", "closed");
  Config ro = config;
  ro.read_only = true;
  EmbeddedDb reader = open_ok(ro);
  auto read = reader.get("ns", "k");
  ASSERT_TRUE(read.ok() && read->has_value());
  EXPECT_EQ((*read)->payload, "hello");
}

// --- delete ---

TEST_F(MemoryTest, DeleteOutcomesAndTheirAuditLines) {
  TestClock clock(kNow);
  {
    EmbeddedDb db = open_ok();
    auto engine = engine_of(db);
    ASSERT_TRUE(db.put(input("ns", "k")).ok());
    MemoryRecord expired = make_record("ns", "old", "x");
    expired.expires_at_ms = kNow - 1;
    ASSERT_TRUE(sdk_testing::put_indexed(*engine, expired).ok());
    ASSERT_TRUE(db.close().ok());
  }
  const size_t puts = 1;
  {
    Config ro = config;
    ro.read_only = true;
    EmbeddedDb reader = open_ok(ro);
    // Refused before the lookup: even a bad key gets the read-only error.
    expect_error(status_of(reader.del("ns", "")), ZolvaErrorKind::kValidation, "read_only", "ro");
    EXPECT_EQ(audit_lines().size(), puts);
  }
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  struct Case {
    std::string ns, key;
    ZolvaErrorKind error;  // kGeneric: no error
    bool deleted;
  };
  const Case quiet[] = {
      {"", "k", ZolvaErrorKind::kValidation, false},
      {"ns", std::string(513, 'k'), ZolvaErrorKind::kValidation, false},
      {"ns", "missing", ZolvaErrorKind::kGeneric, false},
      {"ns", "old", ZolvaErrorKind::kGeneric, false},
  };
  for (const Case& c : quiet) {
    auto r = db.del(c.ns, c.key);
    if (c.error == ZolvaErrorKind::kGeneric) {
      ASSERT_TRUE(r.ok()) << c.key << ": " << r.error().message();
      EXPECT_EQ(*r, c.deleted) << c.key;
    } else {
      ASSERT_FALSE(r.ok()) << c.key;
      EXPECT_EQ(r.error().kind(), c.error) << c.key;
    }
    EXPECT_EQ(audit_lines().size(), puts) << c.key;
  }
  // The expired record stays stored.
  auto old = engine->get(record_node_id("ns", "old"));
  ASSERT_TRUE(old.ok() && old->has_value());

  auto first = db.del("ns", "k");
  ASSERT_TRUE(first.ok() && *first);
  ASSERT_EQ(audit_lines().size(), puts + 1);
  EXPECT_EQ(audit_lines().back(),
            R"({"timestamp":"2023-11-14T22:13:20Z","op":"delete","namespace":"ns","key":"k",)"
            R"("outcome":"ok","reason":"memory delete"})");
  auto second = db.del("ns", "k");
  ASSERT_TRUE(second.ok());
  EXPECT_FALSE(*second);
  EXPECT_EQ(audit_lines().size(), puts + 1);
  EXPECT_EQ(version_entries(*engine, "ns", "k"), 0u);
  sdk_testing::expect_indexes_match_records(*engine);

  ASSERT_TRUE(db.close().ok());
  expect_error(status_of(db.del("ns", "k")), ZolvaErrorKind::kNotInitialized, "", "closed");
  EXPECT_EQ(audit_lines().size(), puts + 1);
}

TEST_F(MemoryTest, DeleteThenPutStartsAFreshHistory) {
  TestClock clock(kNow);
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(db.put(input("ns", "k")).ok());
  EXPECT_EQ(version_entries(*engine, "ns", "k"), 3u);
  ASSERT_TRUE(*db.del("ns", "k"));
  clock.set(kNow + 10);
  auto again = db.put(input("ns", "k"));
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->version, 1u);
  EXPECT_EQ(again->created_at_ms, kNow + 10);
  auto versions = engine->scan_prefix(Partition::kVersions, version_prefix("ns", "k"));
  ASSERT_TRUE(versions.ok());
  ASSERT_EQ(versions->size(), 1u);
  EXPECT_EQ(versions->front().key, version_key("ns", "k", 1));
}

TEST_F(MemoryTest, DeleteWhoseEngineDeleteTimesOutIsAuditedAsError) {
  config.insert_lock_timeout_ms = 50;
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  ASSERT_TRUE(db.put(input("ns", "k")).ok());
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    auto guard = engine->lock_insert("test");
    ASSERT_TRUE(guard.ok());
    held = true;
    while (!release) std::this_thread::yield();
  });
  while (!held) std::this_thread::yield();
  auto r = db.del("ns", "k");
  release = true;
  holder.join();
  expect_error(status_of(r), ZolvaErrorKind::kTimeout, "timed out", "timeout");
  ASSERT_EQ(audit_summary().back(), "delete ns k err");
  auto still = db.get("ns", "k");
  ASSERT_TRUE(still.ok() && still->has_value());
  EXPECT_FALSE(sdk_testing::repair_marked(*engine));
}

TEST_F(MemoryTest, DeleteWhoseIndexRemovalFailsKeepsHistoryAndMarksRepair) {
  std::weak_ptr<ProbeBackend> probe;
  seams.factories = sdk_testing::probe_factory_table(&probe);
  EmbeddedDb db = open_ok();
  auto engine = engine_of(db);
  ASSERT_TRUE(db.put(input("ns", "k", "alpha beta")).ok());
  EXPECT_FALSE(sdk_testing::repair_marked(*engine));
  probe.lock()->refuse_writes_of = Partition::kTextIndex;
  const size_t lines = audit_lines().size();
  expect_error(status_of(db.del("ns", "k")), ZolvaErrorKind::kBackend, "injected", "del");
  probe.lock()->refuse_writes_of.reset();
  EXPECT_EQ(audit_lines().size(), lines);
  auto gone = db.get("ns", "k");
  ASSERT_TRUE(gone.ok());
  EXPECT_FALSE(gone->has_value());
  EXPECT_EQ(version_entries(*engine, "ns", "k"), 1u);
  EXPECT_TRUE(sdk_testing::repair_marked(*engine));
}

}  // namespace
}  // namespace zv
