#include "tervik/tree/ingestion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/tree/testing/tree_fixture.h"

namespace tervik {
namespace {

using Keys = std::vector<std::string>;

std::vector<std::string> files_in(const std::string& folder) {
  auto names = zv::fs::list_dir(folder);
  EXPECT_TRUE(names.ok());
  std::vector<std::string> out = names.ok() ? *names : std::vector<std::string>{};
  std::sort(out.begin(), out.end());
  return out;
}

// "key@seqno=value" of a full scan at `snapshot`.
Keys scan(const Tree& t, SeqNo snapshot) {
  TreeIter it = TreeIter::create_range(t.get_version_for_snapshot(snapshot), KeyRange::all(), snapshot);
  Keys out;
  while (ReadItem item = it.next()) {
    if (!item->ok()) return {"<error> " + item->error().to_string()};
    out.push_back(std::string((*item)->key.user_key.view()) + "@" + std::to_string((*item)->key.seqno) + "=" +
                  std::string((*item)->value.view()));
  }
  return out;
}

Ingestion start(const Tree& t) {
  auto ing = Ingestion::create(t);
  if (!ing.ok()) zv::panic("create ingestion: " + ing.error().to_string());
  return std::move(*ing);
}

void ingest(const Tree& t, const std::vector<std::pair<std::string, std::string>>& kvs) {
  Ingestion ing = start(t);
  for (const auto& [k, v] : kvs) ASSERT_TRUE(ing.write(k, v).ok());
  auto st = std::move(ing).finish();
  ASSERT_TRUE(st.ok()) << st.error().to_string();
}

TEST(Ingestion, FinishingEmptyChangesNothingAndItsFileGoesAtTheNextOpen) {
  testing::TreeDir dir;
  {
    Tree t = dir.open();
    testing::put(t, "k", "v", dir.seqno.next());
    const size_t versions = t.super_version_count();
    const SeqNo seqno = dir.seqno.get();
    zv::log::CaptureSink sink(zv::log::Level::kTrace);
    ASSERT_TRUE(start(t).finish().ok());
    EXPECT_TRUE(sink.contains("No data written to Ingestion, returning early"));
    EXPECT_EQ(t.super_version_count(), versions);
    EXPECT_EQ(dir.seqno.get(), seqno);
    EXPECT_EQ(t.sealed_memtable_count(), 0u);
    EXPECT_FALSE(t.active_memtable()->is_empty());
    const Keys tables = files_in(dir.tables());
    ASSERT_EQ(tables.size(), 1u);
    auto size = zv::fs::file_size(zv::fs::join(dir.tables(), tables[0]));
    ASSERT_TRUE(size.ok());
    EXPECT_EQ(*size, 0u);
  }
  Tree reopened = dir.open();
  EXPECT_TRUE(files_in(dir.tables()).empty());
}

TEST(Ingestion, KeysMustAscendStrictly) {
  testing::TreeDir dir;
  Tree t = dir.open();
  {
    Ingestion ing = start(t);
    EXPECT_TRUE(ing.write("a", "1").ok());
    EXPECT_TRUE(ing.write("ab", "2").ok());
    EXPECT_EQ(testing::panic_message([&] { (void)ing.write("a", "3"); }), kFatalIngestOrder);
    EXPECT_EQ(testing::panic_message([&] { (void)ing.write("ab", "3"); }), kFatalIngestOrder);
    EXPECT_EQ(testing::panic_message([&] { (void)ing.write("", "3"); }), kFatalIngestOrder);
    ASSERT_TRUE(std::move(ing).finish().ok());
  }
  EXPECT_EQ(scan(t, dir.visible.get()).size(), 2u);
  Ingestion fresh = start(t);
  EXPECT_EQ(testing::panic_message([&] { (void)fresh.write("", "x"); }), kFatalKeyEmpty);
  EXPECT_EQ(testing::panic_message([&] { (void)fresh.write(std::string(70000, 'k'), "x"); }), kFatalKeyTooLong);
}

TEST(Ingestion, MemtableContentsGoBehindTheIngestedRun) {
  testing::TreeDir dir;
  Tree t = dir.open();
  testing::put(t, "k", "old", dir.seqno.next());
  testing::put(t, "m", "only in memtable", dir.seqno.next());
  const SeqNo before = dir.seqno.get();
  ingest(t, {{"a", "1"}, {"k", "new"}, {"z", "26"}});
  const SeqNo s = t.latest_super_version().seqno;
  EXPECT_GE(s, before);
  EXPECT_GE(dir.visible.get(), s + 1);
  EXPECT_EQ(dir.seqno.get(), s + 1);
  EXPECT_TRUE(t.active_memtable()->is_empty());
  EXPECT_EQ(t.sealed_memtable_count(), 0u);
  ASSERT_EQ(t.l0_run_count(), 2u);
  // The ingested run comes first, the flushed memtable behind it.
  EXPECT_EQ(table_min_key(t.current_version().l0().runs()[0]->tables()[0]).view(), "a");
  EXPECT_EQ(table_min_key(t.current_version().l0().runs()[1]->tables()[0]).view(), "k");

  const std::string at_s = std::to_string(s);
  const Keys latest = {"a@" + at_s + "=1", "k@" + at_s + "=new", "m@2=only in memtable", "z@" + at_s + "=26"};
  EXPECT_EQ(scan(t, dir.visible.get()), latest);
  EXPECT_EQ(testing::read(t, "k", dir.visible.get()), "new");
  EXPECT_EQ(testing::read(t, "z", dir.visible.get()), "26");
  // A snapshot at s still sees the tree without the ingestion.
  EXPECT_EQ(scan(t, s), (Keys{"k@1=old", "m@2=only in memtable"}));
  EXPECT_EQ(testing::read(t, "k", s), "old");
  EXPECT_EQ(testing::read(t, "a", s), "<none>");

  // Durable: a reopen reads the same, still at s.
  Tree reopened = dir.open();
  EXPECT_EQ(scan(reopened, dir.visible.get()), latest);
}

TEST(Ingestion, ManyKeysAcrossBlocks) {
  testing::TreeDir dir;
  Tree t = dir.open();
  std::vector<std::pair<std::string, std::string>> kvs;
  for (int i = 0; i < 5000; ++i) {
    char k[16];
    std::snprintf(k, sizeof(k), "key%06d", i);
    kvs.emplace_back(k, std::string(static_cast<size_t>(i % 97), static_cast<char>(i)));
  }
  ingest(t, kvs);
  KvIter it = t.iter(dir.visible.get());
  for (auto kv = kvs.rbegin(); kv != kvs.rend(); ++kv) {
    KvItem item = it.next_back();
    ASSERT_TRUE(item && item->ok());
    ASSERT_EQ((*item)->first.view(), kv->first);
    ASSERT_EQ((*item)->second.view(), kv->second);
  }
  EXPECT_FALSE(it.next_back().has_value());
}

using testing::CreateFailingFs;

TEST(Ingestion, APersistFailureLeavesTheListWhileTheFlushStaysRegistered) {
  testing::TreeDir dir;
  CreateFailingFs fs;
  {
    Tree t = dir.open(fs);
    testing::put(t, "k", "old", dir.seqno.next());
    Ingestion ing = start(t);
    ASSERT_TRUE(ing.write("k", "new").ok());
    fs.fail_from = 2;  // the flush's version persists, the ingestion's does not
    const size_t versions = t.super_version_count();
    auto st = std::move(ing).finish();
    ASSERT_FALSE(st.ok());
    fs.fail_from = 0;
    EXPECT_EQ(t.super_version_count(), versions + 1) << "only the flush was published";
    EXPECT_EQ(t.l0_run_count(), 1u);
    EXPECT_EQ(t.sealed_memtable_count(), 0u);
    EXPECT_EQ(testing::read(t, "k", dir.seqno.get()), "old");
    EXPECT_EQ(scan(t, dir.seqno.get()), Keys{"k@1=old"});
  }
  Tree reopened = dir.open();
  EXPECT_EQ(scan(reopened, dir.seqno.get()), Keys{"k@1=old"});
  EXPECT_EQ(files_in(dir.tables()).size(), 1u) << "the ingested table was an orphan";
}

}  // namespace
}  // namespace tervik
