// Blob garbage collection: the counting of dropped blob values, the choice of
// blob files to relocate, the relocating compaction (values copied, pointers
// rewritten, old files dropped) and its refusal of damaged stored data.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "platform/log.h"
#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/tree/relocation_choice.h"
#include "tervik/tree/table_openers.h"
#include "tervik/tree/testing/blob_fixture.h"
#include "tervik/tree/testing/compaction_fixture.h"
#include "tervik/tree/testing/run_builder.h"

namespace tervik {
namespace blob_relocation_test {

using compaction::Merge;
using testing::blob_ingest;
using testing::blob_options;
using testing::input_of;
using testing::open_blob_tree;
using testing::Pairs;
using testing::pointer_of;
using testing::scripted;

constexpr uint32_t kValue = 1000;

// Blob files of one 1,000-byte value each, ids from the tree's counter.
std::vector<BlobFileHandle> one_value_files(const BlobTree& t, size_t n) {
  auto w = BlobFileMultiWriter::create(t.blobs_folder(), t.index().inner()->blob_file_id_counter, t.index().id(),
                                       nullptr);
  if (!w.ok()) zv::panic("blob writer");
  w->set_target_size(1);
  for (size_t i = 0; i < n; ++i) {
    if (!w->write("v" + std::to_string(i), 1, std::string(kValue, 'v')).ok()) zv::panic("blob write");
  }
  auto files = std::move(*w).finish();
  if (!files.ok()) zv::panic("blob finish");
  return *files;
}

struct Pointer {
  std::string key;
  BlobIndirection indirection;
};

// One table holding `pointers` (ascending keys), installed as a level-0 run
// together with `files` and `diff`; returns its id.
uint64_t pointer_table(const BlobTree& t, const std::vector<Pointer>& pointers,
                       std::optional<std::vector<BlobFileHandle>> files = std::nullopt,
                       std::optional<FragmentationMap> diff = std::nullopt) {
  const Tree& tree = t.index();
  auto w = MultiWriter::create(tree.tables_folder(), tree.inner()->table_id_counter, 64ull << 20, 0);
  if (!w.ok()) zv::panic("table writer");
  for (const Pointer& p : pointers) {
    if (!w->write(InternalValue::new_indirection(UserKey(p.key), p.indirection.encode(), 1)).ok()) zv::panic("w");
    w->register_blob(p.indirection);
  }
  auto written = std::move(*w).finish();
  if (!written.ok()) zv::panic("table finish");
  auto tables = tree::open_flushed_table(*written, tree.config(), tree.id());
  if (!tables.ok()) zv::panic("table open");
  if (!tree.register_tables(*tables, std::move(files), std::move(diff), {}, 0).ok()) zv::panic("register");
  return tables->front().id();
}

// Pointers "<prefix><id>" to the one value of each listed file.
std::vector<Pointer> pointers_to(const std::vector<uint64_t>& ids, const std::string& prefix) {
  std::vector<Pointer> out;
  for (uint64_t id : ids) out.push_back({prefix + std::to_string(100 + id), {{id, 0, kValue}, kValue}});
  return out;
}

FragmentationMap stale(const std::vector<uint64_t>& ids, uint64_t bytes) {
  FragmentationMap m;
  for (uint64_t id : ids) m.add(id, FragmentationEntry{1, bytes, bytes});
  return m;
}

std::vector<uint64_t> ids_of(const TervikResult<std::vector<BlobFileHandle>>& r) {
  std::vector<uint64_t> out;
  if (!r.ok()) return {999999};
  for (const BlobFileHandle& b : *r) out.push_back(b->id());
  return out;
}

std::vector<uint64_t> range(uint64_t from, uint64_t to) {
  std::vector<uint64_t> out;
  for (uint64_t i = from; i <= to; ++i) out.push_back(i);
  return out;
}

TEST(RelocationChoice, AgeCutoffKeepsTheOldestCandidatesBeforeExclusions) {
  struct Case {
    float cutoff;
    bool outside_links_4;
    std::vector<uint64_t> expected;
  };
  const float nan = std::nanf("");
  for (const Case& c : {Case{0.25f, false, {4, 5}}, Case{0.25f, true, {5}}, Case{0.0f, false, {}},
                        Case{-1.0f, false, {}}, Case{nan, false, {}}, Case{1.0f, false, range(4, 13)},
                        Case{1.5f, false, range(4, 13)}, Case{1.0f, true, range(5, 13)}}) {
    testing::TreeDir dir;
    const BlobTree t = open_blob_tree(dir, blob_options(100));
    for (int i = 0; i < 4; ++i) t.index().inner()->blob_file_id_counter.next();
    const uint64_t input = pointer_table(t, pointers_to(range(4, 13), "a"), one_value_files(t, 10),
                                         stale(range(4, 13), 600));
    if (c.outside_links_4) pointer_table(t, pointers_to({4}, "b"));
    KvSeparationOptions o = blob_options(100);
    o.staleness_threshold = 0.5f;
    o.age_cutoff = c.cutoff;
    EXPECT_EQ(ids_of(compaction::pick_blob_files_for_relocation({input}, t.index().current_version(), o)),
              c.expected)
        << c.cutoff << " " << c.outside_links_4;
  }
}

TEST(RelocationChoice, StalenessDecidesAndEachFileCountsOnce) {
  struct Case {
    std::optional<uint64_t> stale_bytes;  // none: no statistics entry
    bool other_file_stale;                // an entry for an unlinked file only
    bool twice;                           // linked by two input tables
    bool chosen;
  };
  for (const Case& c : {Case{500, false, false, true}, Case{499, false, false, false},
                        Case{1000, false, false, false}, Case{std::nullopt, true, false, false},
                        Case{std::nullopt, false, false, false}, Case{500, false, true, true}}) {
    testing::TreeDir dir;
    const BlobTree t = open_blob_tree(dir, blob_options(100));
    std::vector<BlobFileHandle> files = one_value_files(t, 2);
    const uint64_t linked = files[0]->id(), other = files[1]->id();
    FragmentationMap diff;
    if (c.stale_bytes) diff.add(linked, FragmentationEntry{1, *c.stale_bytes, *c.stale_bytes});
    if (c.other_file_stale) diff.add(other, FragmentationEntry{1, 600, 600});
    std::vector<uint64_t> inputs = {pointer_table(t, pointers_to({linked}, "a"), files, diff)};
    if (c.twice) inputs.push_back(pointer_table(t, pointers_to({linked}, "b")));
    KvSeparationOptions o = blob_options(100);
    o.staleness_threshold = 0.5f;
    const std::vector<uint64_t> expected = c.chosen ? std::vector<uint64_t>{linked} : std::vector<uint64_t>{};
    EXPECT_EQ(ids_of(compaction::pick_blob_files_for_relocation(inputs, t.index().current_version(), o)),
              expected)
        << c.stale_bytes.value_or(0) << " " << c.other_file_stale << " " << c.twice;
  }
}

TEST(RelocationChoice, ALinkToAMissingBlobFileIsUnrecoverable) {
  testing::TreeDir dir;
  const BlobTree t = open_blob_tree(dir, blob_options(100));
  std::vector<BlobFileHandle> files = one_value_files(t, 1);
  const uint64_t id = pointer_table(t, pointers_to({files[0]->id(), 99}, "a"), files, stale({files[0]->id()}, 600));
  zv::log::CaptureSink sink;
  auto r = compaction::pick_blob_files_for_relocation({id}, t.index().current_version(), blob_options(100));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), TervikError::unrecoverable().kind());
  EXPECT_TRUE(sink.contains("Blob file 99 should exist"));
}

std::vector<uint64_t> table_ids(const Tree& t) {
  std::vector<uint64_t> out;
  for (const Table& table : t.current_version().tables()) out.push_back(table.id());
  return out;
}

std::string value_of(char c, int i, size_t n = 300) { return std::string(n, c) + std::to_string(i); }

std::string key_of(const std::string& prefix, int i) { return prefix + (i < 10 ? "0" : "") + std::to_string(i); }

Pairs pairs_of(const std::string& prefix, int n, char c) {
  Pairs out;
  for (int i = 0; i < n; ++i) out.emplace_back(key_of(prefix, i), value_of(c, i));
  return out;
}

// One more merge whose watermark lets the tree collect every super version
// older than the latest, and so release their blob files.
void release_old_versions(const BlobTree& t, const testing::TreeDir& dir) {
  const Tree& tree = t.index();
  if (!tree.compact(scripted(Merge{input_of(table_ids(tree), 4)}), dir.seqno.get()).ok()) zv::panic("merge");
}

TEST(BlobRelocation, DroppedValuesCountAsGarbageAndStaleFilesAreRelocated) {
  for (CompressionType compression : {CompressionType::kNone, CompressionType::kLz4}) {
    testing::TreeDir dir;
    const BlobTree t = open_blob_tree(dir, blob_options(100, 64ull << 20, compression));
    const Tree& tree = t.index();
    ASSERT_TRUE(blob_ingest(t, pairs_of("k", 20, 'a')).ok());
    const uint64_t a = tree.current_version().blob_files().begin()->first;
    BlobFileHandle a_file = tree.current_version().blob_files().begin()->second;
    const std::string a_path = a_file->path();
    ASSERT_TRUE(blob_ingest(t, pairs_of("k", 10, 'b')).ok());
    const SeqNo snap = dir.seqno.get();
    const BlobIndirection b_pointer = *pointer_of(tree, "k00", snap);

    // The merge drops the overwritten halves of A: 10 values counted.
    FragmentationEntry expected;
    for (int i = 0; i < 10; ++i) {
      const BlobIndirection old = *pointer_of(tree, key_of("k", i), 2);
      expected.len += 1;
      expected.bytes += old.size;
      expected.on_disk_bytes += old.vhandle.on_disk_size;
    }
    ASSERT_TRUE(tree.compact(scripted(Merge{input_of(table_ids(tree), 1)}), snap).ok());
    ASSERT_NE(tree.current_version().gc_stats().find(a), nullptr);
    EXPECT_EQ(*tree.current_version().gc_stats().find(a), expected);
    EXPECT_EQ(tree.current_version().blob_files().size(), 2u) << "the choice saw no statistics yet";

    zv::log::CaptureSink sink;
    ASSERT_TRUE(tree.compact(scripted(Merge{input_of(table_ids(tree), 2)}), snap).ok());
    EXPECT_TRUE(sink.contains("Relocate blob files: [" + std::to_string(a) + "]"));
    const SeqNo now = dir.seqno.get();
    const Version v = tree.current_version();
    EXPECT_EQ(v.blob_files().count(a), 0u);
    EXPECT_EQ(v.blob_files().size(), 2u) << "B and the relocation's file";
    EXPECT_EQ(v.gc_stats().find(a), nullptr) << "pruned with the file";
    EXPECT_EQ(*pointer_of(tree, "k00", now), b_pointer) << "not relocated: unchanged";
    const BlobIndirection moved = *pointer_of(tree, "k15", now);
    EXPECT_NE(moved.vhandle.blob_file_id, a);
    EXPECT_TRUE(a_file->is_deleted());
    // The new tables record their references: to B (passed through) and to
    // the relocation's file, no longer to A.
    std::set<uint64_t> linked;
    for (const Table& table : v.tables()) {
      auto records = table.linked_blob_files();
      ASSERT_TRUE(records.ok() && records->has_value());
      for (const LinkedBlobFile& r : **records) linked.insert(r.blob_file_id);
    }
    std::set<uint64_t> listed;
    for (const auto& [id, file] : v.blob_files()) listed.insert(id);
    EXPECT_EQ(linked, listed);
    for (int i = 0; i < 20; ++i) {
      EXPECT_EQ(testing::read_resolved(t, key_of("k", i), now), value_of(i < 10 ? 'b' : 'a', i)) << i;
    }
    release_old_versions(t, dir);
    EXPECT_TRUE(zv::fs::exists(a_path)) << "still held here";
    // The relocated value was copied in its stored form.
    if (compression == CompressionType::kLz4) {
      EXPECT_LT(moved.vhandle.on_disk_size, moved.size);
    } else {
      EXPECT_EQ(moved.vhandle.on_disk_size, moved.size);
    }
    a_file.reset();
    EXPECT_FALSE(zv::fs::exists(a_path));

    const BlobTree reopened = open_blob_tree(dir, blob_options(100, 64ull << 20, compression));
    std::map<std::string, std::string> all;
    for (int i = 0; i < 20; ++i) all[key_of("k", i)] = value_of(i < 10 ? 'b' : 'a', i);
    EXPECT_EQ(testing::scan_resolved(reopened, dir.seqno.get()), all);
  }
}

TEST(BlobRelocation, AWhollyStaleFileIsDroppedNotRelocated) {
  testing::TreeDir dir;
  const BlobTree t = open_blob_tree(dir, blob_options(100));
  const Tree& tree = t.index();
  ASSERT_TRUE(blob_ingest(t, pairs_of("k", 5, 'a')).ok());
  BlobFileHandle a = tree.current_version().blob_files().begin()->second;
  const std::string path = a->path();
  ASSERT_TRUE(blob_ingest(t, pairs_of("k", 5, 'b')).ok());
  const SeqNo snap = dir.seqno.get();
  ASSERT_TRUE(tree.compact(scripted(Merge{input_of(table_ids(tree), 1)}), snap).ok());
  ASSERT_EQ(tree.current_version().gc_stats().find(a->id())->bytes, a->meta().uncompressed_size);
  ASSERT_TRUE(testing::blob_ingest(t, {{"z", "small"}}).ok());
  zv::log::CaptureSink sink;
  ASSERT_TRUE(tree.compact(scripted(Merge{input_of(testing::level_ids(tree, 0).front(), 1)}), snap).ok());
  EXPECT_FALSE(sink.contains("Relocate blob files"));
  EXPECT_EQ(tree.current_version().blob_files().count(a->id()), 0u);
  EXPECT_TRUE(a->is_deleted());
  a.reset();
  release_old_versions(t, dir);
  EXPECT_FALSE(zv::fs::exists(path));
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(testing::read_resolved(t, key_of("k", i), dir.seqno.get()), value_of('b', i));
  }
}

// Two versions of each key live in two blob files, both relocated by one
// compaction that keeps every version (watermark 0). Their blob entries all
// carry seqno 0, so only each file's own order matches the pointers.
TEST(BlobRelocation, TwoVersionsOfAKeyInTwoRelocatedFilesAtWatermarkZero) {
  testing::TreeDir dir;
  const BlobTree t = open_blob_tree(dir, blob_options(100));
  const Tree& tree = t.index();
  auto new_tables = [&](const std::vector<uint64_t>& before) {
    std::vector<uint64_t> out;
    for (uint64_t id : table_ids(tree)) {
      if (std::find(before.begin(), before.end(), id) == before.end()) out.push_back(id);
    }
    return out;
  };
  Pairs first = pairs_of("k", 10, 'a');
  for (auto& p : pairs_of("x", 10, 'x')) first.push_back(p);
  ASSERT_TRUE(blob_ingest(t, first).ok());
  const SeqNo after_first = dir.seqno.get();
  const std::vector<uint64_t> a_tables = table_ids(tree);
  Pairs second = pairs_of("k", 10, 'b');
  for (auto& p : pairs_of("y", 10, 'y')) second.push_back(p);
  ASSERT_TRUE(blob_ingest(t, second).ok());
  const std::vector<uint64_t> b_tables = new_tables(a_tables);
  ASSERT_EQ(tree.current_version().blob_files().size(), 2u);

  // The x values of the first file and the y values of the second become
  // garbage, each through a merge that does not see the other file's tables.
  Pairs x_small, y_small;
  for (int i = 0; i < 10; ++i) x_small.emplace_back(key_of("x", i), "x");
  for (int i = 0; i < 10; ++i) y_small.emplace_back(key_of("y", i), "y");
  std::vector<uint64_t> seen = table_ids(tree);
  ASSERT_TRUE(blob_ingest(t, x_small).ok());
  std::vector<uint64_t> merge1 = a_tables;
  for (uint64_t id : new_tables(seen)) merge1.push_back(id);
  ASSERT_TRUE(tree.compact(scripted(Merge{input_of(merge1, 1)}), dir.seqno.get()).ok());
  seen = table_ids(tree);
  ASSERT_TRUE(blob_ingest(t, y_small).ok());
  std::vector<uint64_t> merge2 = b_tables;
  for (uint64_t id : new_tables(seen)) merge2.push_back(id);
  ASSERT_TRUE(tree.compact(scripted(Merge{input_of(merge2, 2)}), dir.seqno.get()).ok());
  ASSERT_EQ(tree.current_version().gc_stats().size(), 2u);

  std::vector<uint64_t> files;
  for (const auto& [id, file] : tree.current_version().blob_files()) files.push_back(id);
  ASSERT_EQ(files.size(), 2u);
  zv::log::CaptureSink sink;
  const auto st = tree.compact(scripted(Merge{input_of(table_ids(tree), 3)}), 0);
  ASSERT_TRUE(st.ok()) << st.error().to_string();
  EXPECT_TRUE(sink.contains("Relocate blob files: [" + std::to_string(files[0]) + ", " + std::to_string(files[1]) + "]"));
  // Both versions of each key are in the new tables and resolve from the
  // relocated copies, the older one at a snapshot between the ingestions.
  auto at = [&](SeqNo snapshot) {
    BlobTreeIter it(TreeIter::create_range(tree.latest_super_version(), KeyRange::all(), snapshot), tree.inner(),
                    std::make_shared<const std::string>(t.blobs_folder()));
    std::map<std::string, std::string> out;
    while (std::optional<BlobTreeGuard> g = it.next()) {
      auto kv = std::move(*g).into_kv();
      if (!kv.ok()) return std::map<std::string, std::string>{{"<error>", kv.error().to_string()}};
      out[std::string(kv->first.view())] = std::string(kv->second.view());
    }
    return out;
  };
  const auto newest = at(dir.seqno.get());
  const auto older = at(after_first);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(newest.at(key_of("k", i)), value_of('b', i));
    EXPECT_EQ(older.at(key_of("k", i)), value_of('a', i)) << "the older version";
    EXPECT_EQ(newest.at(key_of("x", i)), "x");
  }
  for (const auto& [id, file] : tree.current_version().blob_files()) {
    EXPECT_EQ(tree.current_version().gc_stats().find(id), nullptr) << "only live values were copied";
  }
}

// The compaction fails with Unrecoverable, logged, and leaves the tree as it was.
void expect_refused(const Tree& tree, const std::vector<uint64_t>& ids, const std::string& message) {
  const uint64_t version = tree.current_version().id();
  const size_t files = tree.current_version().blob_files().size();
  zv::log::CaptureSink sink;
  auto st = tree.compact(scripted(Merge{input_of(ids, 1)}), 1u << 30);
  ASSERT_FALSE(st.ok()) << message;
  EXPECT_EQ(st.error().kind(), TervikError::unrecoverable().kind());
  EXPECT_TRUE(sink.contains(message)) << message;
  EXPECT_EQ(tree.current_version().id(), version);
  EXPECT_EQ(tree.current_version().blob_files().size(), files);
  EXPECT_TRUE(tree.inner()->hidden.empty());
  for (const auto& [id, file] : tree.current_version().blob_files()) EXPECT_FALSE(file->is_deleted());
  for (const Table& table : tree.current_version().tables()) EXPECT_FALSE(table.is_deleted());
}

TEST(BlobRelocation, PointersTheirFileDoesNotHoldAreRefused) {
  // A file of two entries, "a" at 0 and "b" after it.
  constexpr uint64_t kSecond = 4 + 16 + 8 + 2 + 4 + 4 + 1 + kValue;
  struct Case {
    std::string second_key;
    uint64_t second_offset;
    const char* message;
  };
  for (const Case& c : {Case{"b", kSecond + 5000, "vptr was not matched with blob (scanner is unexpectedly exhausted)"},
                        Case{"c", kSecond, "matched blob has different key than vptr"},
                        Case{"b", kSecond - 1, "matched blob has different offset than vptr"}}) {
    testing::TreeDir dir;
    const BlobTree t = open_blob_tree(dir, blob_options(100));
    auto w = BlobFileMultiWriter::create(t.blobs_folder(), t.index().inner()->blob_file_id_counter, t.index().id(),
                                         nullptr);
    ASSERT_TRUE(w.ok());
    ASSERT_TRUE(w->write("a", 1, std::string(kValue, 'a')).ok());
    auto second = w->write("b", 1, std::string(kValue, 'b'));
    ASSERT_TRUE(second.ok());
    ASSERT_EQ(second->offset, kSecond);
    auto files = std::move(*w).finish();
    ASSERT_TRUE(files.ok());
    const uint64_t f = files->front()->id();
    const uint64_t id = pointer_table(t,
                                      {{"a", {{f, 0, kValue}, kValue}},
                                       {c.second_key, {{f, c.second_offset, kValue}, kValue}}},
                                      *files, stale({f}, 600));
    expect_refused(t.index(), {id}, c.message);
  }
}

TEST(BlobRelocation, AnUndecodableDroppedPointerIsRefused) {
  testing::TreeDir dir;
  const BlobTree t = open_blob_tree(dir, blob_options(100));
  const Tree& tree = t.index();
  // An older version of "k" that claims to be a pointer but ends inside a varint.
  testing::add_run(tree, {{InternalValue::new_indirection(UserKey("k"), std::string("\xff\xff", 2), 1)}});
  testing::add_run(tree, {{testing::value_entry("k", "new", 5)}});
  expect_refused(tree, table_ids(tree), "should parse BlobIndirection");
}

TEST(BlobRelocation, APersistFailureLeavesTheListAndEveryFlag) {
  testing::TreeDir dir;
  testing::CreateFailingFs fs;
  const BlobTree t = open_blob_tree(dir, blob_options(100), fs);
  const Tree& tree = t.index();
  ASSERT_TRUE(blob_ingest(t, pairs_of("k", 20, 'a')).ok());
  ASSERT_TRUE(blob_ingest(t, pairs_of("k", 10, 'b')).ok());
  const SeqNo snap = dir.seqno.get();
  ASSERT_TRUE(tree.compact(scripted(Merge{input_of(table_ids(tree), 1)}), snap).ok());
  const size_t versions = tree.super_version_count();
  fs.fail_from = 1;
  zv::log::CaptureSink sink;
  EXPECT_FALSE(tree.compact(scripted(Merge{input_of(table_ids(tree), 2)}), snap).ok());
  fs.fail_from = 0;
  EXPECT_TRUE(sink.contains("Relocate blob files"));
  EXPECT_EQ(tree.super_version_count(), versions);
  for (const auto& [id, file] : tree.current_version().blob_files()) EXPECT_FALSE(file->is_deleted());
  for (const Table& table : tree.current_version().tables()) EXPECT_FALSE(table.is_deleted());
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(testing::read_resolved(t, key_of("k", i), dir.seqno.get()), value_of(i < 10 ? 'b' : 'a', i));
  }
}

}  // namespace blob_relocation_test
}  // namespace tervik
