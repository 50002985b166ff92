#include <gtest/gtest.h>

#include "platform/fs.h"
#include "tervik/table/testing/table_builder.h"
#include "tervik/tree/testing/tree_fixture.h"
#include "tervik/version/testing/version_builders.h"

namespace tervik {
namespace {

// Tables read through their own cache with nothing pinned, so that the
// cache's entry count shows whether a read touched a table at all.
struct Tables {
  zv::testing::TempDir dir;
  std::shared_ptr<BlockCache> cache = BlockCache::with_shards(1 << 20, 1);

  Table make(uint64_t id, const std::vector<InternalValue>& items) {
    const std::string path = zv::fs::join(dir.path(), std::to_string(id));
    auto w = testing::write_table(path, id, items);
    if (!w.ok()) zv::panic(w.error().to_string());
    auto t = Table::recover(path, w->checksum, 0, 1, cache, nullptr, false, false);
    if (!t.ok()) zv::panic(t.error().to_string());
    return *t;
  }
};

InternalValue value(std::string_view k, std::string_view v, SeqNo s) {
  return InternalValue::new_value(Slice(k), Slice(v), s);
}

std::string describe(const TervikResult<std::optional<InternalValue>>& r) {
  if (!r.ok()) return "<error>";
  if (!*r) return "<none>";
  std::string out((*r)->value.view());
  if ((*r)->key.value_type == ValueType::kIndirection) out += " (indirection)";
  return out + "@" + std::to_string((*r)->key.seqno);
}

TEST(TreeGet, SourcesFromNewestToOldest) {
  Tables tables;
  const Table t1 = tables.make(1, {value("a", "a1", 3), value("b", "b1", 3)});
  const Table t2 = tables.make(2, {value("d", "d1", 3), value("e", "e1", 3)});
  const Table deep = tables.make(3, {value("z", "z2", 2)});
  // Level 0: the run [t1, t2]; level 2: the deep table.
  const Version v = testing::version_of(1, {{{1, 2}}, {}, {{3}}}, {t1, t2, deep});
  auto active = Memtable::create(2);
  auto older = Memtable::create(1);
  active->insert(InternalValue::new_tombstone(Slice(std::string_view("a")), 9));
  active->insert(InternalValue::new_weak_tombstone(Slice(std::string_view("w")), 6));
  active->insert(InternalValue::new_indirection(Slice(std::string_view("i")), "handle", 4));
  older->insert(value("w", "w1", 5));
  older->insert(value("k", "k5", 5));
  older->insert(InternalValue::new_tombstone(Slice(std::string_view("k")), 8));
  const SuperVersion sv{active, std::make_shared<const SealedMemtables>(std::vector{older}), v, 0};

  struct Case {
    std::string key;
    SeqNo snapshot;
    std::string want;
    bool reads_tables;
  };
  const Case cases[] = {
      {"k", 9, "<none>", false},         // deleted at 8
      {"k", 8, "k5@5", false},           // the value before the deletion
      {"k", 5, "<none>", false},         // not yet written
      {"a", 10, "<none>", false},        // a memtable deletion hides the table's value
      {"a", 9, "a1@3", true},            // below the deletion the table answers
      {"w", 10, "<none>", false},        // weak tombstone
      {"i", 10, "handle (indirection)@4", false},
      {"z", 10, "z2@2", true},           // only in level 2
      {"c", 10, "<none>", false},        // between two tables of a run
      {"e", 10, "e1@3", true},
      {"e", 3, "<none>", false},         // nothing visible yet: filter-free, but no entry
  };
  for (const Case& c : cases) {
    const size_t before = tables.cache->size();
    EXPECT_EQ(describe(Tree::get_from_version(sv, c.key, c.snapshot)), c.want) << c.key << "@" << c.snapshot;
    if (!c.reads_tables && c.key != "e") {
      EXPECT_EQ(tables.cache->size(), before) << c.key << "@" << c.snapshot << ": no table read";
    }
  }
}

TEST(TreeGet, TableReadErrorIsReturned) {
  Tables tables;
  std::vector<InternalValue> items;
  for (int i = 0; i < 100; ++i) items.push_back(value("key" + std::to_string(1000 + i), "value", 1));
  const Table t = tables.make(1, items);
  // Damage the first data block's payload.
  zv::File f = *zv::File::open_read_write(t.path());
  const char junk[4] = {'X', 'X', 'X', 'X'};
  ASSERT_TRUE(f.write_all_at(junk, sizeof(junk), 60).ok());
  const Version v = testing::version_of(1, {{{1}}}, {t});
  const SuperVersion sv{Memtable::create(0), std::make_shared<const SealedMemtables>(), v, 0};
  auto r = Tree::get_from_version(sv, "key1000", 10);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), TervikErrorKind::kChecksumMismatch) << r.error().to_string();
}

TEST(TreeGet, SnapshotsPickTheirSuperVersion) {
  testing::TreeDir dir;
  Tree t = dir.open();
  testing::put(t, "k", "old", 1);
  t.rotate_memtable();
  dir.seqno.raise_to(5);
  ASSERT_TRUE(t.flush_sealed_memtables(0).ok());
  testing::put(t, "k", "new", 6);
  EXPECT_EQ(testing::read(t, "k", 2), "old");
  EXPECT_EQ(testing::read(t, "k", 7), "new");
  EXPECT_EQ(testing::read(t, "k", 0), "<none>");
  EXPECT_EQ(t.get_version_for_snapshot(5).version.id(), 0u) << "seqno 5 is the registration's own";
  EXPECT_EQ(t.get_version_for_snapshot(6).version.id(), 1u);
}

}  // namespace
}  // namespace tervik
