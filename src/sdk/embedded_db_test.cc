#include "src/sdk/embedded_db.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/fs.h"
#include "platform/log.h"
#include "src/runtime/hardware.h"
#include "src/sdk/testing/indexed_writes.h"
#include "src/sdk/testing/probe_backend.h"
#include "src/text/text_index_state.h"

namespace zv {
namespace {

using sdk_testing::DbFixture;
using sdk_testing::make_record;
using sdk_testing::ProbeBackend;

// Whether this process holds an open file descriptor on the path.
bool process_has_open(const std::string& path) {
  const auto want = std::filesystem::weakly_canonical(path);
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    auto target = std::filesystem::read_symlink(fd.path(), ec);
    if (!ec && target == want) return true;
  }
  return false;
}

class EmbeddedDbTest : public DbFixture {};

TEST_F(EmbeddedDbTest, CloseTwiceThenEveryOperationIsNotInitialized) {
  EmbeddedDb db = open_ok();
  EmbeddedDb other = db.clone();
  ASSERT_TRUE(db.engine().ok());
  EXPECT_TRUE(db.close().ok());
  EXPECT_TRUE(db.close().ok());
  for (const EmbeddedDb* h : {&db, &other}) {
    auto e = h->engine();
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().kind(), ZolvaErrorKind::kNotInitialized);
    EXPECT_EQ(e.error().message(), "Engine not initialized");
    auto f = h->flush();
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().kind(), ZolvaErrorKind::kNotInitialized);
    EXPECT_TRUE(h->ensure_writable().ok());
  }
}

TEST_F(EmbeddedDbTest, ReadOnlyHandleRefusesWritesFirstAndClosesWithoutFlush) {
  { EmbeddedDb db = open_ok(); ASSERT_TRUE(db.close().ok()); }
  std::weak_ptr<ProbeBackend> probe;
  seams.factories = sdk_testing::probe_factory_table(&probe);
  Config ro = config;
  ro.read_only = true;
  EmbeddedDb db = open_ok(ro);
  const std::string refusal = "this operation is not available when ZivirOR is opened read-only";
  for (int round = 0; round < 2; ++round) {  // open, then closed
    auto w = db.ensure_writable();
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().kind(), ZolvaErrorKind::kValidation);
    EXPECT_NE(w.error().message().find(refusal), std::string::npos) << w.error().message();
    auto f = db.flush();
    ASSERT_FALSE(f.ok());
    EXPECT_EQ(f.error().kind(), ZolvaErrorKind::kValidation);
    if (round == 0) {
      log::CaptureSink sink;
      EXPECT_TRUE(db.close().ok());
      EXPECT_TRUE(sink.contains("flush failed: "));
    }
  }
  EXPECT_EQ(probe.lock(), nullptr);  // released by the close
}

TEST_F(EmbeddedDbTest, WritableCloseFlushesAndDataSurvivesReopen) {
  std::weak_ptr<ProbeBackend> probe;
  seams.factories = sdk_testing::probe_factory_table(&probe);
  const MemoryRecord r = make_record("ns", "k", "hello world");
  {
    EmbeddedDb db = open_ok();
    ASSERT_TRUE(sdk_testing::put_indexed(*engine_of(db), r).ok());
    ASSERT_TRUE(db.close().ok());
    EXPECT_EQ(probe.lock(), nullptr);
  }
  // The durable test backend keeps only what a flush wrote.
  EmbeddedDb db = open_ok();
  auto node = engine_of(db)->get(r.node_id);
  ASSERT_TRUE(node.ok() && node->has_value());
  EXPECT_EQ(MemoryRecord::from_node(**node, false)->payload, "hello world");
}

TEST_F(EmbeddedDbTest, EngineTakenBeforeCloseFinishesItsWork) {
  EmbeddedDb db = open_ok();
  std::shared_ptr<StorageEngine> engine = engine_of(db);
  ASSERT_TRUE(db.close().ok());
  const MemoryRecord r = make_record("ns", "late", "still open");
  ASSERT_TRUE(sdk_testing::put_indexed(*engine, r).ok());
  auto node = engine->get(r.node_id);
  ASSERT_TRUE(node.ok());
  EXPECT_TRUE(node->has_value());
}

TEST_F(EmbeddedDbTest, FirstOpenOfTheProcessFixesThePrefetchMode) {
  Config a = config;
  a.prefetch = PrefetchMode::kEnabled;
  { EmbeddedDb db = open_ok(a); }
  const PrefetchMode first = current_prefetch_mode();
  Config b = config;
  b.prefetch = first == PrefetchMode::kDisabled ? PrefetchMode::kEnabled : PrefetchMode::kDisabled;
  { EmbeddedDb db = open_ok(b); }
  EXPECT_EQ(current_prefetch_mode(), first);
}

TEST_F(EmbeddedDbTest, AuditLogOpensForReadOnlyHandlesAndFailsSoftly) {
  { EmbeddedDb db = open_ok(); ASSERT_TRUE(db.close().ok()); }
  zv::testing::TempDir logs;
  Config ro = config;
  ro.read_only = true;
  ro.audit_log_path = fs::join(logs.path(), "a/b/audit.log");
  ro.audit_max_bytes = 0;
  ro.audit_max_files = 0;
  {
    EmbeddedDb db = open_ok(ro);
    ASSERT_NE(db.audit_log(), nullptr);
    EXPECT_TRUE(fs::exists(*ro.audit_log_path));
    EXPECT_EQ(db.audit_log()->max_bytes(), 1u);
    EXPECT_EQ(db.audit_log()->max_files(), 1u);
    db.record_audit(AuditRecord::create("put", "ns", "k", "ok", std::nullopt));
    db.record_audit(AuditRecord::create("put", "ns", "k2", "ok", std::nullopt));
    EXPECT_TRUE(fs::exists(*ro.audit_log_path + ".1"));  // one line per file
  }
  // A parent that is a regular file: no log, a usable handle.
  const std::string blocker = fs::join(logs.path(), "file");
  ASSERT_TRUE(fs::write_file(blocker, "x").ok());
  Config w = config;
  w.audit_log_path = fs::join(blocker, "sub/audit.log");
  log::CaptureSink sink;
  EmbeddedDb db = open_ok(w);
  EXPECT_EQ(db.audit_log(), nullptr);
  EXPECT_TRUE(sink.contains("audit log disabled: could not open audit_log_path"));
  db.record_audit(AuditRecord::create("put", "ns", "k", "ok", std::nullopt));
  EXPECT_TRUE(db.engine().ok());
}

TEST_F(EmbeddedDbTest, FailedIndexCheckFailsTheOpenAndReleasesEverything) {
  zv::testing::TempDir logs;
  config.audit_log_path = fs::join(logs.path(), "audit.log");
  std::weak_ptr<ProbeBackend> probe;
  // The check's first write on an empty database is a state record.
  seams.factories = sdk_testing::probe_factory_table(&probe, Partition::kInternalMetadata);
  auto db = try_open();
  ASSERT_FALSE(db.ok());
  EXPECT_NE(db.error().message().find("injected write failure"), std::string::npos)
      << db.error().message();
  EXPECT_EQ(probe.lock(), nullptr);  // the backend is gone
  EXPECT_TRUE(fs::exists(*config.audit_log_path));
  EXPECT_FALSE(process_has_open(*config.audit_log_path));
  // Without the fault the same directory opens.
  seams.factories = sdk_testing::probe_factory_table(&probe);
  EmbeddedDb ok = open_ok();
  EXPECT_TRUE(process_has_open(*config.audit_log_path));
}

}  // namespace
}  // namespace zv
