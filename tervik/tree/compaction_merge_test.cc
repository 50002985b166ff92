// The merge of a compaction run with its filter, the standard flavour's
// output (opening the new tables, dropping wholly stale blob files) and the
// filter's blob files on a tree with key-value separation.
#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/log.h"
#include "tervik/blob/resolve_indirection.h"
#include "tervik/compaction/compaction_filter.h"
#include "tervik/compaction/filter_accessor.h"
#include "tervik/tree/compaction_flavour.h"
#include "tervik/tree/testing/compaction_fixture.h"
#include "tervik/tree/testing/tree_fixture.h"
#include "tervik/tree/tree_handle.h"
#include "tervik/version/recovery.h"

namespace tervik {
namespace {

using compaction::Merge;
using testing::flush;
using testing::input_of;
using testing::put;
using testing::read;
using testing::scripted;

// What a scripted filter saw and did.
struct FilterLog {
  std::vector<std::string> seen;  // "key@seqno"
  std::vector<ValueType> types;
  int finished = 0;
};

// Gives each item the verdict `decide` returns; fails when it returns none.
class ScriptedFilter final : public CompactionFilter {
 public:
  using Decide = std::function<std::optional<FilterVerdict>(const InternalValue&, FilterAccessor&)>;
  ScriptedFilter(Decide decide, FilterLog* log) : decide_(std::move(decide)), log_(log) {}
  TervikResult<FilterVerdict> filter_item(const InternalValue& item, FilterAccessor& accessor,
                                          const CompactionFilterContext&) override {
    log_->seen.push_back(std::string(item.key.user_key.view()) + "@" + std::to_string(item.key.seqno));
    log_->types.push_back(item.key.value_type);
    std::optional<FilterVerdict> v = decide_(item, accessor);
    if (!v) return zv::make_unexpected(TervikError::io(zv::IoError(zv::IoErrorKind::kOther, "filter failed")));
    return *v;
  }
  void finish() override { ++log_->finished; }

 private:
  Decide decide_;
  FilterLog* log_;
};

class ScriptedFactory final : public CompactionFilterFactory {
 public:
  ScriptedFactory(ScriptedFilter::Decide decide, FilterLog* log) : decide_(std::move(decide)), log_(log) {}
  std::string name() const override { return "scripted"; }
  std::unique_ptr<CompactionFilter> make_filter(const CompactionFilterContext&) override {
    return std::make_unique<ScriptedFilter>(decide_, log_);
  }

 private:
  ScriptedFilter::Decide decide_;
  FilterLog* log_;
};

TreeConfig with_filter(TreeConfig c, ScriptedFilter::Decide decide, FilterLog* log) {
  c.compaction_filter_factory = std::make_shared<ScriptedFactory>(std::move(decide), log);
  return c;
}

// Two tables: k@1="old", a@2 (deleted at 3); then k@4="new".
std::vector<uint64_t> two_tables(const Tree& t) {
  put(t, "k", "old", 1);
  put(t, "a", "x", 2);
  t.remove("a", 3);
  const uint64_t first = flush(t);
  put(t, "k", "new", 4);
  return {first, flush(t)};
}

TEST(CompactionMerge, DiscardingTheNewestVersionShowsTheOlderOneNext) {
  testing::TreeDir dir;
  FilterLog log;
  Tree t = *Tree::open(with_filter(
      dir.config(),
      [](const InternalValue& item, FilterAccessor&) {
        return item.value.view() == "new" ? FilterVerdict::discard() : FilterVerdict::keep();
      },
      &log));
  const auto ids = two_tables(t);
  ASSERT_TRUE(t.compact(scripted(Merge{input_of(ids, 1)}), /*watermark=*/1000).ok());
  EXPECT_EQ(read(t, "k", 1000), "old");
  EXPECT_EQ(log.seen, (std::vector<std::string>{"k@4", "k@1"})) << "tombstones never reach the filter";
  EXPECT_EQ(log.finished, 1);
}

TEST(CompactionMerge, ATombstoneFromTheFilterVanishesInTheLastLevel) {
  testing::TreeDir dir;
  FilterLog log;
  Tree t = *Tree::open(with_filter(
      dir.config(),
      [](const InternalValue& item, FilterAccessor&) {
        return item.key.user_key.view() == "only" ? FilterVerdict::to_tombstone() : FilterVerdict::keep();
      },
      &log));
  put(t, "only", "1", 1);
  const uint64_t first = flush(t);
  put(t, "z", "2", 2);
  const uint64_t second = flush(t);
  ASSERT_TRUE(t.compact(scripted(Merge{input_of({first, second}, 6)}), 0).ok());
  const Table out = t.current_version().levels()[6]->runs()[0]->tables()[0];
  EXPECT_EQ(out.meta().item_count, 1u);
  EXPECT_EQ(out.meta().tombstone_count, 0u);
  EXPECT_EQ(read(t, "only", 100), "<none>");
  EXPECT_EQ(read(t, "z", 100), "2");
}

TEST(CompactionMerge, AFilterErrorFailsTheRunWithoutFinishOrInstall) {
  testing::TreeDir dir;
  FilterLog log;
  Tree t = *Tree::open(with_filter(
      dir.config(), [](const InternalValue&, FilterAccessor&) { return std::optional<FilterVerdict>(); }, &log));
  const auto ids = two_tables(t);
  const uint64_t version = t.current_version().id();
  zv::log::CaptureSink sink;
  EXPECT_FALSE(t.compact(scripted(Merge{input_of(ids, 1)}), 0).ok());
  EXPECT_TRUE(sink.contains("Compaction failed: "));
  EXPECT_EQ(log.finished, 0);
  EXPECT_EQ(t.current_version().id(), version);
  EXPECT_TRUE(t.inner()->hidden.empty());
  EXPECT_EQ(read(t, "k", 100), "new");
}

TreeConfig separating(const testing::TreeDir& dir, ScriptedFilter::Decide decide, FilterLog* log) {
  TreeConfig c = with_filter(dir.config(), std::move(decide), log);
  KvSeparationOptions sep;
  sep.separation_threshold = 64;
  sep.file_target_size = 1 << 20;
  c.kv_separation_opts = sep;
  return c;
}

TEST(CompactionMerge, FilterBlobFilesAreListedInTheNewVersionAndReadBack) {
  testing::TreeDir dir;
  FilterLog log;
  const std::string big(1000, 'B');
  auto opened = open_tree(separating(
      dir, [&](const InternalValue&, FilterAccessor&) { return FilterVerdict::set_value(big); }, &log));
  ASSERT_TRUE(opened.ok()) << opened.error().to_string();
  const Tree t = opened->index();
  const auto ids = two_tables(t);
  ASSERT_TRUE(t.compact(scripted(Merge{input_of(ids, 1)}), 1000).ok());
  const SuperVersion sv = t.latest_super_version();
  ASSERT_EQ(sv.version.blob_files().size(), 1u);
  auto item = t.get("k", 1000);
  ASSERT_TRUE(item.ok() && item->has_value());
  ASSERT_EQ((*item)->key.value_type, ValueType::kIndirection);
  auto resolved = vlog::resolve_indirection(t.id(), sv.version.blob_files(), sv.version.id(), *t.config().cache, **item);
  ASSERT_TRUE(resolved.ok()) << resolved.error().to_string();
  EXPECT_EQ(resolved->second.view(), big);
  EXPECT_EQ(log.finished, 1);
}

TEST(CompactionMerge, AFailingFilterBlobWriterIsLoggedUnhidesAndIsReturned) {
  testing::TreeDir dir;
  FilterLog log;
  auto opened = open_tree(separating(
      dir,
      [&](const InternalValue&, FilterAccessor& accessor) {
        if (accessor.blob_writer()) {
          accessor.blob_writer()->set_folder_sync([](const std::string&) -> zv::IoStatus {
            return zv::make_unexpected(zv::IoError(zv::IoErrorKind::kOther, "injected sync failure"));
          });
        }
        return FilterVerdict::set_value(std::string(1000, 'B'));
      },
      &log));
  ASSERT_TRUE(opened.ok());
  const Tree t = opened->index();
  const auto ids = two_tables(t);
  const uint64_t version = t.current_version().id();
  zv::log::CaptureSink sink;
  // Watermark 0: both versions of k reach the filter, the second after the
  // writer exists.
  EXPECT_FALSE(t.compact(scripted(Merge{input_of(ids, 1)}), 0).ok());
  EXPECT_TRUE(sink.contains("Compaction failed while finishing filter blob writer: "));
  EXPECT_TRUE(t.inner()->hidden.empty());
  EXPECT_EQ(t.current_version().id(), version);
}

TEST(CompactionMerge, AWhollyStaleBlobFileGoesWithTheNextMerge) {
  testing::TreeDir dir;
  auto opened = open_tree(testing::separated(dir.config()));
  ASSERT_TRUE(opened.ok());
  const Tree t = opened->index();
  const std::string blobs = zv::fs::join(dir.path(), std::string(kBlobsFolderName));
  auto writer = BlobFileMultiWriter::create(blobs, t.inner()->blob_file_id_counter, t.id(), nullptr);
  ASSERT_TRUE(writer.ok());
  ASSERT_TRUE(writer->write("g", 1, std::string(100, 'g')).ok());
  auto files = std::move(*writer).finish();
  ASSERT_TRUE(files.ok());
  BlobFileHandle stale = files->front();
  FragmentationMap all_garbage;
  all_garbage.add(stale->id(), FragmentationEntry{1, stale->meta().uncompressed_size, 100});
  put(t, "x", "1", 2);
  t.rotate_memtable();
  auto tables = t.flush_to_tables([&, done = false]() mutable -> ReadItem {
    if (done) return std::nullopt;
    done = true;
    return ReadItem(InternalValue::new_value(Slice("x"), Slice("1"), 2));
  });
  ASSERT_TRUE(tables.ok());
  ASSERT_TRUE(t.register_tables(*tables, files.value(), all_garbage, {}, 0).ok());
  ASSERT_EQ(t.current_version().blob_files().size(), 1u);
  const std::string path = stale->path();
  put(t, "y", "1", 3);
  const uint64_t other = flush(t);
  ASSERT_TRUE(t.compact(scripted(Merge{input_of({other}, 1)}), 1000).ok()) << "a merge not involving the blob's table";
  EXPECT_TRUE(t.current_version().blob_files().empty());
  EXPECT_TRUE(stale->is_deleted());
  EXPECT_TRUE(zv::fs::exists(path)) << "still held here";
  files->clear();
  stale.reset();
  EXPECT_FALSE(zv::fs::exists(path));
}

TEST(CompactionMerge, FinishTablesPinsByLevelWithGlobalSeqnoZero) {
  testing::TreeDir dir;
  const Tree t = dir.open();
  const compaction::CompactionOptions options{dir.seqno, dir.visible, t.inner()->table_id_counter,
                                              t.inner()->blob_file_id_counter, t.inner()->shared,
                                              scripted(compaction::DoNothing{}), t.inner()->stop_signal, t.id(), 0};
  struct Case {
    uint8_t level;
    bool filter_pinned;
    bool index_pinned;
  };
  // Defaults: index blocks pinned on levels 0 and 1, filters on level 0.
  for (const Case c : {Case{0, true, true}, Case{1, false, true}, Case{6, false, false}}) {
    auto writer = MultiWriter::create(t.tables_folder(), t.inner()->table_id_counter, 1 << 20, c.level);
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(writer->write(InternalValue::new_value(Slice("a"), Slice("1"), 5)).ok());
    auto tables = compaction::StandardCompaction::finish_tables(std::move(*writer), t.tables_folder(), options, c.level);
    ASSERT_TRUE(tables.ok()) << tables.error().to_string();
    ASSERT_EQ(tables->size(), 1u);
    const Table& out = tables->front();
    EXPECT_EQ(out.global_seqno(), 0u);
    EXPECT_EQ(out.has_pinned_filter(), c.filter_pinned) << int(c.level);
    EXPECT_EQ(out.index_kind() == BlockIndex::Kind::kFullPinned, c.index_pinned) << int(c.level);
  }
  // A table that cannot be opened: its error, and the written file stays.
  auto writer = MultiWriter::create(t.tables_folder(), t.inner()->table_id_counter, 1 << 20, 0);
  ASSERT_TRUE(writer.ok());
  const uint64_t id = writer->current().id();
  ASSERT_TRUE(writer->write(InternalValue::new_value(Slice("a"), Slice("1"), 5)).ok());
  auto failed = compaction::StandardCompaction::finish_tables(std::move(*writer), dir.path() + "/elsewhere", options, 0);
  EXPECT_FALSE(failed.ok());
  EXPECT_TRUE(zv::fs::exists(zv::fs::join(t.tables_folder(), std::to_string(id))));
}

}  // namespace
}  // namespace tervik
