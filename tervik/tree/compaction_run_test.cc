// The compaction run over real trees, driven by scripted choices: every
// decline, the stop signal, moves, drops and merges with their installs, the
// collection failures after an install, and the per-level options of a
// merge's new tables.
#include <gtest/gtest.h>

#include <thread>

#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/compaction/compaction_filter.h"
#include "tervik/tree/compaction_run.h"
#include "tervik/tree/testing/compaction_fixture.h"
#include "tervik/tree/testing/tree_fixture.h"
#include "tervik/version/testing/version_fixture.h"

namespace tervik {
namespace {

using compaction::Choice;
using compaction::DoNothing;
using compaction::Drop;
using compaction::Merge;
using compaction::Move;
using testing::files_of;
using testing::flush;
using testing::input_of;
using testing::level_ids;
using testing::put;
using testing::read;
using testing::scripted;
using zv::log::CaptureSink;

using Ids = std::vector<std::vector<uint64_t>>;

// A tree with three level-0 tables over disjoint keys: a*, b*, c*.
struct ThreeTables {
  ThreeTables() : tree(dir.open()) {
    SeqNo s = 1;
    for (char prefix : std::string("abc")) {
      for (int i = 0; i < 10; ++i) put(tree, std::string(1, prefix) + std::to_string(i), "v", s++);
      ids.push_back(flush(tree));
    }
  }
  TervikStatus compact(Choice c, SeqNo watermark = 0) const { return tree.compact(scripted(std::move(c)), watermark); }

  testing::TreeDir dir;
  Tree tree;
  std::vector<uint64_t> ids;  // a, b, c
};

// The version file layer whose removals fail while `fail_remove` is set.
class FailingRemoveFs : public VersionFs {
 public:
  std::atomic<bool> fail_remove{false};
  zv::IoStatus remove(const std::string& path) override {
    if (fail_remove) return zv::make_unexpected(zv::IoError(zv::IoErrorKind::kOther, "injected removal failure"));
    return VersionFs::remove(path);
  }
};

TEST(CompactionRun, DoNothingTouchesNothingAndLeavesTheLocksFree) {
  ThreeTables t;
  const auto before = files_of(t.dir.path());
  const auto tables_before = files_of(t.dir.tables());
  const uint64_t version = t.tree.current_version().id();
  ASSERT_TRUE(t.compact(DoNothing{}).ok());
  EXPECT_EQ(files_of(t.dir.path()), before);
  EXPECT_EQ(files_of(t.dir.tables()), tables_before);
  EXPECT_EQ(t.tree.current_version().id(), version);
  // Both locks are free: another thread takes each at once.
  std::thread([&] {
    auto hidden = t.tree.inner()->hidden_tables.lock();
    auto installing = t.tree.inner()->install_lock.lock();
    auto write = t.tree.inner()->version_history.write();
  }).join();
}

TEST(CompactionRun, StopSignalDeclinesAMergeButNotAMoveOrADrop) {
  ThreeTables t;
  t.tree.inner()->stop_signal->store(true);
  {
    CaptureSink sink;
    ASSERT_TRUE(t.compact(Merge{input_of({t.ids[0], t.ids[1]}, 1)}).ok());
    EXPECT_TRUE(sink.contains("Stopping before compaction because of stop signal"));
  }
  EXPECT_EQ(t.tree.current_version().table_count(), 3u);
  EXPECT_TRUE(level_ids(t.tree, 1).empty());
  ASSERT_TRUE(t.compact(Move{input_of({t.ids[0]}, 2)}).ok());
  EXPECT_EQ(level_ids(t.tree, 2), Ids({{t.ids[0]}}));
  ASSERT_TRUE(t.compact(Drop{{t.ids[1]}}).ok());
  EXPECT_EQ(t.tree.current_version().table_count(), 2u);
}

TEST(CompactionRun, MergeOfTablesWithAGapInTheirRunDeclines) {
  ThreeTables t;
  ASSERT_TRUE(t.compact(Move{input_of(t.ids, 1)}).ok());
  ASSERT_EQ(level_ids(t.tree, 1), Ids({t.ids}));
  const auto tables_before = files_of(t.dir.tables());
  CaptureSink sink;
  ASSERT_TRUE(t.compact(Merge{input_of({t.ids[0], t.ids[2]}, 2)}).ok());
  EXPECT_TRUE(sink.contains(compaction::kTablesDoNotExist));
  EXPECT_EQ(level_ids(t.tree, 1), Ids({t.ids}));
  EXPECT_TRUE(t.tree.inner()->hidden.empty());
}

TEST(CompactionRun, MissingInputTableDeclinesAndHidesNothing) {
  ThreeTables t;
  for (Choice c : std::vector<Choice>{Merge{input_of({t.ids[0], 99}, 1)}, Drop{{t.ids[0], 99}}}) {
    CaptureSink sink;
    ASSERT_TRUE(t.compact(c).ok());
    EXPECT_TRUE(sink.contains("Compaction task created by \"Scripted\" contained tables not referenced in the level manifest"))
        << compaction::debug_string(c);
    EXPECT_TRUE(t.tree.inner()->hidden.empty());
    EXPECT_EQ(t.tree.current_version().table_count(), 3u);
  }
}

TEST(CompactionRun, HiddenInputsDeclineEveryChoice) {
  ThreeTables t;
  t.tree.inner()->hidden.insert(t.ids[1]);
  const uint64_t version = t.tree.current_version().id();
  for (Choice c : std::vector<Choice>{Move{input_of({t.ids[1]}, 1)}, Drop{{t.ids[1]}},
                                      Merge{input_of({t.ids[0], t.ids[1]}, 1)}}) {
    CaptureSink sink;
    ASSERT_TRUE(t.compact(c).ok());
    EXPECT_TRUE(sink.contains("Compaction task created by \"Scripted\" contained hidden tables, declining to run it"
                              " - please report this at "))
        << compaction::debug_string(c);
    EXPECT_EQ(t.tree.current_version().id(), version);
  }
  EXPECT_EQ(t.tree.inner()->hidden, HiddenTableSet({t.ids[1]})) << "the other run's tables stay hidden";
}

TEST(CompactionRun, MoveOfAVanishedTableChangesNothing) {
  ThreeTables t;
  ASSERT_TRUE(t.tree.clear().ok());  // as a concurrent drop would, every table goes
  const uint64_t version = t.tree.current_version().id();
  CaptureSink sink;
  ASSERT_TRUE(t.compact(Move{input_of({7}, 1)}).ok());
  EXPECT_TRUE(sink.contains("[7] are not referenced anymore; skipping move"));
  EXPECT_EQ(t.tree.current_version().id(), version);
}

// A filter that raises the tree's stop signal when it sees the first item.
class StopOnFirst final : public CompactionFilter {
 public:
  explicit StopOnFirst(std::shared_ptr<std::atomic<bool>> stop) : stop_(std::move(stop)) {}
  TervikResult<FilterVerdict> filter_item(const InternalValue&, FilterAccessor&,
                                          const CompactionFilterContext&) override {
    stop_->store(true);
    return FilterVerdict::keep();
  }
  void finish() override { ADD_FAILURE() << "finish after a stop"; }

 private:
  std::shared_ptr<std::atomic<bool>> stop_;
};

class FactoryOf final : public CompactionFilterFactory {
 public:
  explicit FactoryOf(std::function<std::unique_ptr<CompactionFilter>()> make) : make_(std::move(make)) {}
  std::string name() const override { return "test"; }
  std::unique_ptr<CompactionFilter> make_filter(const CompactionFilterContext&) override { return make_(); }

 private:
  std::function<std::unique_ptr<CompactionFilter>()> make_;
};

TEST(CompactionRun, StopAmidstAMergeInstallsNothingAndOrphansItsFiles) {
  testing::TreeDir dir;
  auto stop = std::make_shared<std::shared_ptr<std::atomic<bool>>>();
  TreeConfig config = dir.config();
  config.compaction_filter_factory = std::make_shared<FactoryOf>(
      [stop] { return std::make_unique<StopOnFirst>(*stop); });
  std::set<std::string> listed;
  {
    Tree tree = *Tree::open(config);
    *stop = tree.inner()->stop_signal;
    put(tree, "a", "1", 1);
    const uint64_t first = flush(tree);
    put(tree, "b", "2", 2);
    const uint64_t second = flush(tree);
    listed = files_of(dir.tables());
    const uint64_t version = tree.current_version().id();
    CaptureSink sink;
    ASSERT_TRUE(tree.compact(scripted(Merge{input_of({first, second}, 1)}), 0).ok());
    EXPECT_TRUE(sink.contains("Stopping amidst compaction because of stop signal"));
    EXPECT_EQ(tree.current_version().id(), version);
    EXPECT_TRUE(tree.inner()->hidden.empty());
    EXPECT_GT(files_of(dir.tables()).size(), listed.size()) << "the partial output stays on disk";
  }
  Tree reopened = *Tree::open(config);
  EXPECT_EQ(files_of(dir.tables()), listed) << "the orphan goes at the next open";
  EXPECT_EQ(read(reopened, "b", 100), "2");
}

TEST(CompactionRun, DroppedFilesGoOnceTheLastOlderSuperVersionLetsGo) {
  ThreeTables t;
  const std::string path = t.tree.current_version().find_table(t.ids[0])->path();
  std::optional<SuperVersion> reader = t.tree.latest_super_version();
  ASSERT_TRUE(t.compact(Drop{{t.ids[0]}}, /*watermark=*/1000).ok());
  EXPECT_FALSE(t.tree.current_version().find_table(t.ids[0]));
  EXPECT_TRUE(zv::fs::exists(path)) << "a reader still holds the older super version";
  EXPECT_EQ(read(t.tree, "a1", 1000), "<none>");
  reader.reset();
  EXPECT_FALSE(zv::fs::exists(path));
}

TEST(CompactionRun, CollectionFailureAfterAMoveIsLoggedAndTheMoveStays) {
  testing::TreeDir dir;
  FailingRemoveFs fs;
  uint64_t id = 0;
  {
    Tree tree = dir.open(fs);
    put(tree, "a", "1", 1);
    id = flush(tree);
    fs.fail_remove = true;
    CaptureSink sink;
    ASSERT_TRUE(tree.compact(scripted(Move{input_of({id}, 3)}), 1000).ok());
    EXPECT_TRUE(sink.contains("Manifest maintenance failed: tree " + std::to_string(tree.id())));
    EXPECT_EQ(level_ids(tree, 3), Ids({{id}}));
  }
  fs.fail_remove = false;
  Tree reopened = dir.open(fs);
  EXPECT_EQ(level_ids(reopened, 3), Ids({{id}})) << "the move is durable";
}

TEST(CompactionRun, CollectionFailureAfterADropStillFlagsTheDroppedTables) {
  testing::TreeDir dir;
  FailingRemoveFs fs;
  Tree tree = dir.open(fs);
  put(tree, "a", "1", 1);
  const uint64_t id = flush(tree);
  const std::string path = tree.current_version().find_table(id)->path();
  fs.fail_remove = true;
  CaptureSink sink;
  ASSERT_TRUE(tree.compact(scripted(Drop{{id}}), 1000).ok());
  EXPECT_TRUE(sink.contains("Manifest maintenance failed"));
  EXPECT_FALSE(zv::fs::exists(path)) << "flagged before the collection, so released and removed";
}

TEST(CompactionRun, PersistFailureLeavesListAndFlagsAsTheyWere) {
  for (auto step : {testing::FailingFs::Step::kCreate, testing::FailingFs::Step::kCurrent}) {
    testing::TreeDir dir;
    testing::FailingFs fs;
    Tree tree = dir.open(fs);
    put(tree, "a", "1", 1);
    const uint64_t first = flush(tree);
    put(tree, "a", "2", 2);
    const uint64_t second = flush(tree);
    const std::vector<Table> inputs = tree.current_version().tables();
    const size_t list = tree.super_version_count();
    for (Choice c : std::vector<Choice>{Merge{input_of({first, second}, 1)}, Drop{{first}}, Move{input_of({first}, 1)}}) {
      fs.fail_at = step;
      CaptureSink sink;
      auto st = tree.compact(scripted(c), 0);
      ASSERT_FALSE(st.ok()) << compaction::debug_string(c);
      EXPECT_EQ(tree.super_version_count(), list);
      for (const Table& table : inputs) EXPECT_FALSE(table.is_deleted());
      EXPECT_TRUE(tree.inner()->hidden.empty());
    }
    EXPECT_EQ(read(tree, "a", 100), "2");
  }
}

TEST(CompactionRun, MergeReplacesItsInputsAndFlagsThemAfterThePublish) {
  ThreeTables t;
  put(t.tree, "a1", "new", 100);
  t.tree.remove("b1", 101);
  const uint64_t fourth = flush(t.tree);
  const std::vector<Table> inputs = t.tree.current_version().tables();
  ASSERT_TRUE(t.compact(Merge{input_of({t.ids[0], t.ids[1], t.ids[2], fourth}, 1)}, 1000).ok());
  EXPECT_TRUE(t.tree.current_version().l0().empty());
  ASSERT_EQ(level_ids(t.tree, 1).size(), 1u);
  for (const Table& table : inputs) EXPECT_TRUE(table.is_deleted());
  EXPECT_EQ(read(t.tree, "a1", 1000), "new");
  EXPECT_EQ(read(t.tree, "b1", 1000), "<none>");
  EXPECT_EQ(read(t.tree, "c9", 1000), "v");
  EXPECT_TRUE(t.tree.inner()->hidden.empty());
  // Level 1 is not the last: the tombstone stays, the shadowed value goes.
  const Table out = t.tree.current_version().levels()[1]->runs()[0]->tables()[0];
  EXPECT_EQ(out.meta().item_count, 30u);
  EXPECT_EQ(out.meta().tombstone_count, 1u);
}

TEST(CompactionRun, LastLevelEvictsTombstonesAndSkipsFiltersWhenHitsAreExpected) {
  for (bool expect_hits : {false, true}) {
    testing::TreeDir dir;
    TreeConfig config = dir.config();
    config.expect_point_read_hits = expect_hits;
    Tree tree = *Tree::open(config);
    put(tree, "a", "1", 1);
    put(tree, "b", "1", 2);
    const uint64_t first = flush(tree);
    tree.remove("a", 3);
    tree.remove("z", 4);  // the only version of its key
    const uint64_t second = flush(tree);
    ASSERT_TRUE(tree.compact(scripted(Merge{input_of({first, second}, 6)}), 1000).ok());
    const Table out = tree.current_version().levels()[6]->runs()[0]->tables()[0];
    EXPECT_EQ(out.meta().item_count, 1u) << "only b stays";
    EXPECT_EQ(out.meta().tombstone_count, 0u);
    EXPECT_EQ(out.regions().filter.has_value(), !expect_hits);
  }
}

TEST(CompactionRun, CanonicalLevelPicksTheWritingPoliciesAndDestinationTheFilter) {
  testing::TreeDir dir;
  TreeConfig config = dir.config();
  config.data_block_compression_policy = CompressionPolicy{CompressionType::kNone, CompressionType::kLz4,
                                                           CompressionType::kNone};
  config.filter_policy = FilterPolicy{FilterPolicyEntry::none(), FilterPolicyEntry::none(),
                                      FilterPolicyEntry::none(), FilterPolicyEntry::none(),
                                      FilterPolicyEntry::none(), FilterPolicyEntry::none(),
                                      FilterPolicyEntry::bits_per_key(10.0f)};
  Tree tree = *Tree::open(config);
  put(tree, "a", "1", 1);
  const uint64_t first = flush(tree);
  put(tree, "b", "1", 2);
  const uint64_t second = flush(tree);
  ASSERT_TRUE(tree.compact(scripted(Merge{input_of({first, second}, 6, 1)}), 0).ok());
  const Table out = tree.current_version().levels()[6]->runs()[0]->tables()[0];
  EXPECT_EQ(out.meta().data_compression, CompressionType::kLz4) << "entry 1 of the writing policies";
  EXPECT_TRUE(out.regions().filter.has_value()) << "entry 6 of the filter policy";
  EXPECT_EQ(read(tree, "b", 100), "1");
}

}  // namespace
}  // namespace tervik
