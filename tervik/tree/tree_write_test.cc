#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/log.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/tree/testing/tree_fixture.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

using testing::put;
using testing::read;

// Puts `key` and flushes it into one level-0 run; returns the tables' ids.
std::vector<uint64_t> flush_one(const Tree& t, std::string_view key, SeqNo s) {
  put(t, key, "v", s);
  t.rotate_memtable();
  auto r = t.flush_sealed_memtables(0);
  EXPECT_TRUE(r.ok() && r->has_value());
  std::vector<uint64_t> ids;
  for (const Table& table : t.current_version().l0().runs().front()->tables()) ids.push_back(table.id());
  return ids;
}

TEST(TreeWrite, RotationAndRegistration) {
  testing::TreeDir dir;
  Tree t = dir.open();
  // An empty memtable is not sealed and uses no id.
  EXPECT_EQ(t.rotate_memtable(), nullptr);
  EXPECT_EQ(t.inner()->memtable_id_counter.get(), 1u);

  put(t, "a", "1", 1);
  auto sealed = t.rotate_memtable();
  ASSERT_NE(sealed, nullptr);
  EXPECT_EQ(sealed->id(), 0u);
  EXPECT_EQ(t.rotate_memtable(), nullptr) << "two rotations in a row: the second seals nothing";
  EXPECT_EQ(t.sealed_memtable_count(), 1u);
  EXPECT_EQ(t.latest_super_version().sealed_memtables->memtables().back(), sealed);
  EXPECT_EQ(t.super_version_count(), 1u) << "a rotation replaces the latest";

  // An unknown sealed id: nothing changes, success.
  ASSERT_TRUE(t.register_tables({}, std::nullopt, std::nullopt, {77}, 0).ok());
  EXPECT_EQ(t.sealed_memtable_count(), 1u);
  EXPECT_EQ(t.super_version_count(), 1u);

  // Two tables for the sealed memtable.
  testing::TreeFolder folder(dir.path());
  std::vector<Table> tables = {folder.table(1, "a", "b"), folder.table(2, "c", "d")};
  dir.seqno.raise_to(20);
  ASSERT_TRUE(t.register_tables(tables, std::nullopt, FragmentationMap(), {sealed->id()}, 0).ok());
  EXPECT_EQ(t.sealed_memtable_count(), 0u);
  EXPECT_EQ(t.l0_run_count(), 1u);
  EXPECT_EQ(t.super_version_count(), 2u);
  EXPECT_EQ(t.latest_super_version().seqno, 20u);
  EXPECT_GE(dir.visible.get(), 21u);
  EXPECT_EQ(t.current_version().id(), 1u);
}

TEST(TreeWrite, ClearAndHighestSeqnos) {
  testing::TreeDir dir;
  Tree t = dir.open();
  EXPECT_EQ(t.get_highest_seqno(), std::nullopt);
  flush_one(t, "a", 12);
  EXPECT_EQ(t.get_highest_memtable_seqno(), std::nullopt);
  EXPECT_EQ(t.get_highest_persisted_seqno(), 12u);
  EXPECT_EQ(t.get_highest_seqno(), 12u) << "only tables";
  put(t, "b", "v", 12);
  EXPECT_EQ(t.get_highest_seqno(), 12u) << "equal in both";
  put(t, "c", "v", 15);
  t.rotate_memtable();
  put(t, "d", "v", 13);
  EXPECT_EQ(t.get_highest_memtable_seqno(), 15u) << "a sealed memtable counts";
  EXPECT_EQ(t.get_highest_seqno(), 15u);

  const uint64_t id = t.current_version().id();
  ASSERT_TRUE(t.clear().ok());
  EXPECT_TRUE(t.active_memtable()->is_empty());
  EXPECT_EQ(t.sealed_memtable_count(), 0u);
  EXPECT_EQ(t.current_version().table_count(), 0u);
  EXPECT_EQ(t.current_version().id(), id + 1);
  EXPECT_EQ(read(t, "a", 100), "<none>");
}

TEST(TreeWrite, OverlongKeyPanicsBeforeAnythingIsWritten) {
  testing::TreeDir dir;
  Tree t = dir.open();
  const std::string key(65536, 'k');
  EXPECT_EQ(testing::panic_message([&] { t.remove(key, 1); }), "keys can be 65535 bytes in length");
  EXPECT_EQ(testing::panic_message([&] { t.remove_weak("", 1); }), "key may not be empty");
  EXPECT_TRUE(t.active_memtable()->is_empty());
}

TEST(TreeWrite, FailedPersistLeavesTheTreeAsItWas) {
  testing::TreeDir dir;
  testing::FailingFs fs;
  Tree t = dir.open(fs);
  put(t, "a", "1", 1);
  auto sealed = t.rotate_memtable();
  testing::TreeFolder folder(dir.path());
  const Table table = folder.table(5, "a", "a");
  for (auto step : {testing::FailingFs::Step::kWrite, testing::FailingFs::Step::kCurrent}) {
    const uint64_t visible = dir.visible.get();
    fs.fail_at = step;
    EXPECT_FALSE(t.register_tables({table}, std::nullopt, std::nullopt, {sealed->id()}, 0).ok());
    fs.fail_at = step;
    EXPECT_FALSE(t.clear().ok());
    EXPECT_EQ(t.super_version_count(), 1u);
    EXPECT_EQ(t.sealed_memtable_count(), 1u);
    EXPECT_EQ(t.current_version().table_count(), 0u);
    EXPECT_EQ(dir.visible.get(), visible);
    EXPECT_EQ(read(t, "a", 100), "1");
  }
  // The next install takes the next version id and works.
  ASSERT_TRUE(t.register_tables({table}, std::nullopt, std::nullopt, {sealed->id()}, 0).ok());
  EXPECT_EQ(t.current_version().id(), 1u);
}

TEST(TreeWrite, VersionCollectionFailureIsOnlyLogged) {
  struct FailingRemoveFs : VersionFs {
    zv::IoStatus remove(const std::string&) override {
      return zv::make_unexpected(zv::IoError(zv::IoErrorKind::kOther, "injected"));
    }
  } fs;
  testing::TreeDir dir;
  Tree t = dir.open(fs);
  flush_one(t, "a", 1);
  zv::log::CaptureSink logs(zv::log::Level::kWarn);
  put(t, "b", "v", 2);
  auto sealed = t.rotate_memtable();
  testing::TreeFolder folder(dir.path());
  EXPECT_TRUE(t.register_tables({folder.table(50, "b", "b")}, std::nullopt, std::nullopt, {sealed->id()},
                                1000).ok());
  EXPECT_TRUE(logs.contains("Version GC failed"));
}

TEST(TreeWrite, InstallsDoNotHoldReadersOrWritersDuringTheirSync) {
  testing::TreeDir dir;
  testing::HoldingFs fs;
  Tree t = dir.open(fs);
  put(t, "a", "1", 1);
  auto sealed = t.rotate_memtable();
  testing::TreeFolder folder(dir.path());
  const Table table = folder.table(5, "k", "k");

  fs.hold();
  std::thread registration([&] {
    EXPECT_TRUE(t.register_tables({table}, std::nullopt, std::nullopt, {sealed->id()}, 0).ok());
  });
  fs.wait_for_holder();
  // Meanwhile: writes, reads and a rotation go on, and the version is not
  // yet visible.
  put(t, "b", "2", 2);
  EXPECT_EQ(read(t, "a", 100), "1");
  auto sealed_meanwhile = t.rotate_memtable();
  ASSERT_NE(sealed_meanwhile, nullptr);
  EXPECT_EQ(t.current_version().table_count(), 0u);
  std::thread clearing([&] { EXPECT_TRUE(t.clear().ok()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(t.current_version().id(), 0u) << "the clear waits for the install before it";

  fs.release();
  registration.join();
  clearing.join();
  // The registration installed version 1 with the memtable sealed meanwhile
  // still sealed; the clear came after it with version 2.
  EXPECT_EQ(t.current_version().id(), 2u);
  const SuperVersion registered = t.get_version_for_snapshot(t.latest_super_version().seqno);
  EXPECT_EQ(registered.version.id(), 1u);
  ASSERT_EQ(registered.sealed_memtables->size(), 1u);
  EXPECT_EQ(registered.sealed_memtables->memtables()[0], sealed_meanwhile);
}

TEST(TreeWrite, PanicUnderTheFlushLockPoisonsIt) {
  testing::TreeDir dir;
  Tree t = dir.open();
  EXPECT_EQ(testing::panic_message([&] {
              auto g = t.lock_flush();
              zv::panic("flush failed");
            }),
            "flush failed");
  EXPECT_EQ(testing::panic_message([&] { auto g = t.lock_flush(); }), "lock is poisoned");
}

TEST(TreeWrite, DroppingTheLastHandleRaisesTheStopSignal) {
  testing::TreeDir dir;
  std::shared_ptr<std::atomic<bool>> stop;
  {
    Tree t = dir.open();
    Tree copy = t;
    stop = t.inner()->stop_signal;
    EXPECT_FALSE(stop->load());
  }
  EXPECT_TRUE(stop->load());
}

}  // namespace
}  // namespace tervik
