#include <gtest/gtest.h>

#include <map>

#include "platform/testing/temp_dir.h"
#include "tervik/blob/testing/blob_files.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/version/testing/version_builders.h"
#include "tervik/version/testing/version_fixture.h"
#include "tervik/version/version.h"
#include "tervik/version/super_version.h"
#include "tervik/version/walks.h"

namespace tervik {
namespace {

using testing::IdRuns;
using testing::ids_of;
using testing::version_of;

struct KeyedTable {
  uint64_t id;
  const char* min;
  const char* max;
};

class TransformTest : public ::testing::Test {
 protected:
  zv::testing::TempDir dir_;
  testing::TreeFolder tree_{dir_.path()};

  std::vector<Table> tables(const std::vector<KeyedTable>& keyed) {
    std::vector<Table> out;
    for (const KeyedTable& k : keyed) out.push_back(tree_.table(k.id, k.min, k.max));
    return out;
  }
};

TEST_F(TransformTest, RunPackingCases) {
  const auto t = tables({{1, "c", "d"}, {2, "a", "b"}, {3, "a", "m"}, {4, "c", "d"}, {5, "x", "z"}});
  std::map<uint64_t, Table> by_id;
  for (const Table& x : t) by_id.emplace(x.id(), x);
  struct Case {
    const char* name;
    IdRuns runs;
    IdRuns packed;
  };
  const Case cases[] = {
      {"one run is returned as given, even unsorted", {{5, 2}}, {{5, 2}}},
      {"disjoint newest-first runs collapse", {{1}, {2}}, {{2, 1}}},
      {"overlapping runs stay apart, newest first", {{3}, {4}}, {{3}, {4}}},
      {"a table joins the run after its newest overlap", {{3}, {2}, {5}}, {{3, 5}, {2}}},
      {"no runs", {}, {}},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<Table>> runs;
    for (const auto& r : c.runs) {
      auto& run = runs.emplace_back();
      for (uint64_t id : r) run.push_back(by_id.at(id));
    }
    IdRuns got;
    for (const auto& r : optimize_runs(std::move(runs))) {
      auto& ids = got.emplace_back();
      for (const Table& x : r) ids.push_back(x.id());
    }
    EXPECT_EQ(got, c.packed) << c.name;
  }
}

TEST_F(TransformTest, NewL0RunDerivesAndRepacksEvenWithoutTables) {
  const auto t = tables({{1, "c", "d"}, {2, "a", "b"}, {3, "k", "p"}});
  const Version parent = version_of(4, {{{1}, {2}}, {{3}}}, t);

  const Version next = parent.with_new_l0_run({}, std::nullopt, std::nullopt);
  EXPECT_EQ(next.id(), 5u);
  EXPECT_EQ(ids_of(next.l0()), (IdRuns{{2, 1}}));
  EXPECT_EQ(next.levels()[1], parent.levels()[1]) << "deeper levels are shared";
  EXPECT_EQ(next.blob_files_handle(), parent.blob_files_handle());
  EXPECT_EQ(next.gc_stats_handle(), parent.gc_stats_handle());
  EXPECT_EQ(ids_of(parent.l0()), (IdRuns{{1}, {2}})) << "the parent is unchanged";

  const Version with_run = next.with_new_l0_run({tree_.table(6, "b", "c")}, std::nullopt, std::nullopt);
  EXPECT_EQ(ids_of(with_run.l0()), (IdRuns{{6}, {2, 1}}));
}

TEST_F(TransformTest, MergeIntoL1EmptiesL0) {
  const auto t = tables({{1, "a", "f"}, {2, "c", "h"}, {3, "a", "h"}, {4, "x", "z"}});
  const Version parent = version_of(0, {{{1}, {2}}, {}, {{4}}}, {t[0], t[1], t[3]});
  const uint64_t compacted[] = {1, 2};
  const Version next = parent.with_merge(compacted, {t[2]}, 1, std::nullopt, {}, {});
  EXPECT_EQ(next.id(), 1u);
  const std::vector<IdRuns> expected = {{}, {{3}}, {{4}}, {}, {}, {}, {}};
  EXPECT_EQ(ids_of(next), expected);
  EXPECT_EQ(next.gc_stats_handle(), parent.gc_stats_handle());
}

TEST_F(TransformTest, MoveOfUnknownIdIsFatalWithBothCounts) {
  const auto t = tables({{1, "a", "b"}, {2, "c", "d"}});
  const Version v = version_of(0, {{{1, 2}}}, t);
  const uint64_t ids[] = {1, 77};
  const std::string msg = testing::panic_message([&] { (void)v.with_moved(ids, 1); });
  EXPECT_NE(msg.find(kFatalInvalidTableIds), std::string::npos) << msg;
  EXPECT_NE(msg.find("left: 1"), std::string::npos) << msg;
  EXPECT_NE(msg.find("right: 2"), std::string::npos) << msg;

  const uint64_t ok_ids[] = {2};
  const Version moved = v.with_moved(ok_ids, 3);
  EXPECT_EQ(ids_of(moved)[0], (IdRuns{{1}}));
  EXPECT_EQ(ids_of(moved)[3], (IdRuns{{2}}));
}

TEST_F(TransformTest, DropRemovesWhollyStaleBlobFilesAndKeepsTheirStats) {
  std::vector<testing::BlobValue> a = {{"k1", std::string(100, 'x')}, {"k2", std::string(50, 'y')}};
  std::vector<testing::BlobValue> b = {{"k3", std::string(70, 'z')}, {"k4", std::string(30, 'w')}};
  (void)zv::fs::create_dir_all(tree_.blobs());
  auto blob9 = testing::write_blob_file(tree_.blobs(), 9, testing::kTestTreeId, &a);
  auto blob10 = testing::write_blob_file(tree_.blobs(), 10, testing::kTestTreeId, &b);
  auto ind = [](const testing::BlobValue& v) {
    return BlobIndirection{v.handle, static_cast<uint32_t>(v.value.size())};
  };
  // Table 1 references every value of blob 9 and one of blob 10.
  Table t1 = tree_.table(1, "k1", "k3", 1, {ind(a[0]), ind(a[1]), ind(b[0])});
  Table t2 = tree_.table(2, "k4", "k4", 1, {ind(b[1])});
  const Version v = version_of(0, {{{1}}, {{2}}}, {t1, t2}, {blob9, blob10});

  std::vector<std::shared_ptr<BlobFile>> dropped;
  const uint64_t ids[] = {1};
  auto next = v.with_dropped(ids, &dropped);
  ASSERT_TRUE(next.ok()) << next.error().to_string();
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0]->id(), 9u);
  EXPECT_FALSE(next->blob_files().contains(9));
  EXPECT_TRUE(next->blob_files().contains(10));
  EXPECT_EQ(*next->gc_stats().find(9), (FragmentationEntry{2, 150, a[0].handle.on_disk_size + a[1].handle.on_disk_size}));
  EXPECT_EQ(next->gc_stats().find(10)->bytes, 70u);
  EXPECT_EQ(ids_of(*next)[0], IdRuns{});

  const uint64_t none[] = {42};
  auto same = v.with_dropped(none, &dropped);
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(same->id(), 1u);
  EXPECT_EQ(same->blob_files_handle(), v.blob_files_handle());
  EXPECT_EQ(dropped.size(), 1u);
}

TEST_F(TransformTest, DropFailsWhenLinkedBlobFilesCannotBeRead) {
  Table t1 = tree_.table(1, "a", "b", 1, {BlobIndirection{{5, 0, 10}, 10}});
  const Version v = version_of(0, {{{1}}}, {t1});
  // Cut the file so that reading its linked blob file list fails.
  {
    auto f = zv::File::open_read_write(zv::fs::join(tree_.tables(), "1"));
    ASSERT_TRUE(f.ok());
    ASSERT_TRUE(f->set_len(8).ok());
  }
  std::vector<std::shared_ptr<BlobFile>> dropped;
  const uint64_t ids[] = {1};
  auto next = v.with_dropped(ids, &dropped);
  ASSERT_FALSE(next.ok());
  EXPECT_EQ(next.error().kind(), TervikErrorKind::kIo);
  EXPECT_TRUE(dropped.empty());
}

TEST_F(TransformTest, DiffIsMergedThenPrunedToTheBlobFiles) {
  std::vector<testing::BlobValue> a = {{"k1", "value"}};
  (void)zv::fs::create_dir_all(tree_.blobs());
  auto blob9 = testing::write_blob_file(tree_.blobs(), 9, testing::kTestTreeId, &a);
  const Version v = version_of(0, {}, {}, {blob9}, FragmentationMap({{9, {1, 2, 3}}}));
  FragmentationMap diff({{9, {1, 10, 20}}, {99, {4, 5, 6}}});
  const Version next = v.with_new_l0_run({}, std::nullopt, std::move(diff));
  EXPECT_EQ(next.gc_stats(), FragmentationMap({{9, {2, 12, 23}}}));
  EXPECT_EQ(v.gc_stats(), FragmentationMap({{9, {1, 2, 3}}})) << "the parent's map is unchanged";

  std::vector<testing::BlobValue> b = {{"k2", "other"}};
  auto blob10 = testing::write_blob_file(tree_.blobs(), 10, testing::kTestTreeId, &b);
  const Version added = next.with_new_l0_run({}, std::vector<std::shared_ptr<BlobFile>>{blob10},
                                             FragmentationMap({{10, {1, 5, 5}}}));
  EXPECT_EQ(added.blob_files().size(), 2u);
  EXPECT_EQ(added.gc_stats(), FragmentationMap({{9, {2, 12, 23}}, {10, {1, 5, 5}}}));

  const std::unordered_set<uint64_t> drop = {9};
  const Version merged = next.with_merge({}, {}, 1, std::nullopt, {}, drop);
  EXPECT_TRUE(merged.blob_files().empty());
  EXPECT_TRUE(merged.gc_stats().empty());
}

TEST_F(TransformTest, WalksByTableId) {
  const auto t = tables({{1, "a", "b"}, {2, "c", "d"}, {3, "e", "f"}, {4, "g", "h"}});
  const Version v = version_of(0, {{{1, 2}, {3}}, {{4}}}, t);
  const auto& l0 = v.l0().runs();
  struct Case {
    const char* name;
    std::vector<uint64_t> ids;
    IdRuns kept;
    std::vector<uint64_t> removed;
  };
  const Case cases[] = {
      {"naming nothing keeps every run", {42}, {{1, 2}, {3}}, {}},
      {"an emptied run disappears", {3}, {{1, 2}}, {3}},
      {"an id listed twice counts once", {2, 2, 1}, {{3}}, {1, 2}},
      {"nine ids exercise the wide compare", {9, 8, 7, 6, 5, 11, 12, 13, 1}, {{2}, {3}}, {1}},
  };
  for (const Case& c : cases) {
    std::vector<Table> removed;
    RunIdExtractor walk(l0, c.ids, &removed);
    IdRuns kept;
    while (auto run = walk.next()) {
      auto& ids = kept.emplace_back();
      for (const Table& x : *run) ids.push_back(x.id());
    }
    std::vector<uint64_t> removed_ids;
    for (const Table& x : removed) removed_ids.push_back(x.id());
    EXPECT_EQ(kept, c.kept) << c.name;
    EXPECT_EQ(removed_ids, c.removed) << c.name;
  }

  const uint64_t wanted[] = {4, 2};
  TableIdFilter filter(v, wanted);
  std::vector<uint64_t> found;
  while (auto x = filter.next()) found.push_back(x->id());
  EXPECT_EQ(found, (std::vector<uint64_t>{2, 4})) << "walk order, not list order";

  SuperVersions list(v);
  const uint64_t inputs[] = {3, 99, 1};
  bool missing = false;
  InputTableLookup lookup(inputs, list, &missing);
  std::vector<uint64_t> looked;
  while (auto x = lookup.next()) looked.push_back(x->id());
  EXPECT_EQ(looked, (std::vector<uint64_t>{3}));
  EXPECT_TRUE(missing);
}

TEST_F(TransformTest, RecoveryAssemblyAndLinkedBlobWalk) {
  const Table t1 = tree_.table(1, "a", "b", 1, {BlobIndirection{{5, 0, 10}, 12}});
  const Table t2 = tree_.table(2, "c", "d");
  std::vector<PersistedLevel> levels(7);
  levels[0].push_back({{1, Checksum(), 0}, {3, Checksum(), 0}});
  auto missing = Version::from_recovery(1, TreeType::kStandard, levels, std::vector<Table>{t1, t2}, {}, {});
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), TervikErrorKind::kUnrecoverable);

  const Version v = version_of(0, {{{1}}, {{2}}}, {t1, t2});
  std::optional<TervikError> error;
  LinkedBlobFilesIter walk({1, 2}, v, &error);
  std::vector<LinkedBlobFile> got;
  while (auto linked = walk.next()) got.insert(got.end(), linked->begin(), linked->end());
  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(got, (std::vector<LinkedBlobFile>{{5, 12, 10, 1}}));
  const std::string msg = testing::panic_message([&] {
    LinkedBlobFilesIter unknown({42}, v, &error);
    (void)unknown.next();
  });
  EXPECT_EQ(msg, "Table 42 should exist");
}

}  // namespace
}  // namespace tervik
