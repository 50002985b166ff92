// Blob ingestion (values split at the threshold, blob file offsets and
// rotation, the install of tables and blob files together) and the resolved
// reading of a blob tree: point reads, BlobTree::iter and into_kv.
#include <gtest/gtest.h>

#include "platform/fs.h"
#include "tervik/blob/blob_file_scanner.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/tree/blob_ingestion.h"
#include "tervik/tree/testing/blob_fixture.h"
#include "tervik/tree/testing/compaction_fixture.h"

namespace tervik {
namespace blob_ingestion_test {

using testing::blob_ingest;
using testing::blob_options;
using testing::open_blob_tree;
using testing::Pairs;
using testing::pointer_of;

TEST(BlobIngestion, ValuesSplitAtTheThresholdWithOffsetsAndRotationFollowingTheWrites) {
  testing::TreeDir dir;
  // Each 1,024-byte value under a 2-byte key makes a 1,064-byte blob entry;
  // the second entry of a file reaches the target size.
  constexpr uint64_t kEntry = 4 + 16 + 8 + 2 + 4 + 4 + 2 + 1024;
  const BlobTree t = open_blob_tree(dir, blob_options(1024, 2 * kEntry));
  const uint64_t first_id = t.index().inner()->blob_file_id_counter.get();
  const Pairs pairs = {{"a0", std::string(1023, 'x')}, {"a1", std::string(1024, '1')},
                       {"a2", std::string(1024, '2')}, {"a3", std::string(1024, '3')},
                       {"a4", "small"}};
  ASSERT_TRUE(blob_ingest(t, pairs).ok());
  const SeqNo snap = dir.seqno.get();

  EXPECT_FALSE(pointer_of(t.index(), "a0", snap).has_value()) << "1,023 bytes stay inline";
  EXPECT_FALSE(pointer_of(t.index(), "a4", snap).has_value());
  const auto p1 = pointer_of(t.index(), "a1", snap);
  const auto p2 = pointer_of(t.index(), "a2", snap);
  const auto p3 = pointer_of(t.index(), "a3", snap);
  ASSERT_TRUE(p1 && p2 && p3);
  EXPECT_EQ(p1->size, 1024u);
  EXPECT_EQ(p1->vhandle.on_disk_size, 1024u);
  EXPECT_EQ(p1->vhandle.blob_file_id, first_id);
  EXPECT_EQ(p1->vhandle.offset, 0u);
  EXPECT_EQ(p2->vhandle.blob_file_id, first_id) << "the entry that reaches the target stays";
  EXPECT_EQ(p2->vhandle.offset, kEntry);
  EXPECT_EQ(p3->vhandle.blob_file_id, first_id + 1);
  EXPECT_EQ(p3->vhandle.offset, 0u);

  // The version lists both files, and each pointer names its scanned entry.
  const Version v = t.index().current_version();
  ASSERT_EQ(v.blob_files().size(), 2u);
  auto scanners = BlobFileScanner::open_all({v.blob_files().at(first_id)});
  ASSERT_TRUE(scanners.ok());
  std::vector<uint64_t> offsets;
  while (true) {
    auto e = (*scanners)[0].next();
    ASSERT_TRUE(e.ok());
    if (!e->has_value()) break;
    EXPECT_EQ((*e)->seqno, 0u);
    offsets.push_back((*e)->offset);
  }
  EXPECT_EQ(offsets, (std::vector<uint64_t>{0, kEntry}));

  for (const auto& [k, value] : pairs) EXPECT_EQ(testing::read_resolved(t, k, snap), value) << k;
}

TEST(BlobIngestion, ReadsBackResolvedThroughPointReadsAndScansInBothDirections) {
  for (CompressionType c : {CompressionType::kNone, CompressionType::kLz4}) {
    testing::TreeDir dir;
    const BlobTree t = open_blob_tree(dir, blob_options(64, 1024, c));
    // The memtable's entry goes behind the ingested run, its value inline.
    testing::put(t.index(), "k05", std::string(300, 'm'), dir.seqno.next());
    Pairs pairs;
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 40; ++i) {
      std::string key = "k" + std::string(i < 10 ? "0" : "") + std::to_string(i);
      // Hostile payloads: marker bytes, zeros and varint-like bytes inside.
      std::string value = i % 3 == 0 ? std::string(10, char(i)) : std::string("BLOB\0META\xff\x80", 11) + std::string(100 + i * 7, char(i));
      pairs.emplace_back(key, value);
      expected[key] = value;
    }
    ASSERT_TRUE(blob_ingest(t, pairs).ok());
    EXPECT_GT(t.index().current_version().blob_files().size(), 1u) << "rotated";
    const SeqNo snap = dir.seqno.get();
    for (const auto& [k, v] : expected) EXPECT_EQ(testing::read_resolved(t, k, snap), v) << k;
    EXPECT_EQ(testing::scan_resolved(t, snap), expected);
    EXPECT_EQ(testing::scan_resolved(t, snap, true), expected);
    // Reopened: the same from disk.
    const BlobTree again = open_blob_tree(dir, blob_options(64, 1024, c));
    EXPECT_EQ(testing::scan_resolved(again, snap), expected);
  }
}

TEST(BlobIngestion, AnEmptyFinishStillInstallsAVersionAndLeavesNoBlobFile) {
  testing::TreeDir dir;
  const BlobTree t = open_blob_tree(dir, blob_options(16));
  const size_t versions = t.index().super_version_count();
  const uint64_t version = t.index().current_version().id();
  const SeqNo before = dir.seqno.get();
  ASSERT_TRUE(blob_ingest(t, {}).ok());
  EXPECT_EQ(dir.seqno.get(), before + 1) << "s was drawn";
  EXPECT_EQ(t.index().super_version_count(), versions + 1);
  EXPECT_EQ(t.index().current_version().id(), version + 1);
  EXPECT_TRUE(zv::fs::exists(zv::fs::join(dir.path(), "v" + std::to_string(version + 1))));
  EXPECT_TRUE(t.index().current_version().blob_files().empty());
  EXPECT_TRUE(testing::files_of(testing::blobs_folder(dir)).empty()) << "the empty blob file was deleted";
}

TEST(BlobIngestion, APersistFailureLeavesTheListAndTheFilesGoAtTheNextOpen) {
  testing::TreeDir dir;
  testing::CreateFailingFs fs;
  {
    const BlobTree t = open_blob_tree(dir, blob_options(16), fs);
    const size_t versions = t.index().super_version_count();
    fs.fail_from = 1;
    EXPECT_FALSE(blob_ingest(t, {{"a", std::string(100, 'a')}, {"b", "b"}}).ok());
    fs.fail_from = 0;
    EXPECT_EQ(t.index().super_version_count(), versions);
    EXPECT_EQ(testing::read_resolved(t, "a", dir.seqno.get()), "<none>");
    EXPECT_FALSE(testing::files_of(testing::blobs_folder(dir)).empty());
  }
  const BlobTree reopened = open_blob_tree(dir, blob_options(16));
  EXPECT_TRUE(testing::files_of(testing::blobs_folder(dir)).empty());
  EXPECT_TRUE(testing::files_of(dir.tables()).empty());
}

TEST(BlobIngestion, ATreeWithoutSeparationPanics) {
  testing::TreeDir dir;
  const Tree standard = dir.open();
  const BlobTree fake(standard, testing::blobs_folder(dir));
  EXPECT_EQ(testing::panic_message([&] { (void)BlobIngestion::create(fake); }), "kv separation options should exist");
}

TEST(BlobTreeGuard, IntoKvPassesErrorsAndInlineValues) {
  testing::TreeDir dir;
  const BlobTree t = open_blob_tree(dir, blob_options(16));
  const std::shared_ptr<TreeInner> inner = t.index().inner();
  const Version v = t.index().current_version();
  auto folder = std::make_shared<const std::string>(testing::blobs_folder(dir));
  BlobTreeGuard failed(inner, v, zv::make_unexpected(TervikError::unrecoverable()), folder);
  auto r = std::move(failed).into_kv();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), TervikError::unrecoverable().kind());
  BlobTreeGuard inline_value(inner, v, InternalValue::new_value(Slice("k"), Slice("v"), 3), folder);
  auto kv = std::move(inline_value).into_kv();
  ASSERT_TRUE(kv.ok());
  EXPECT_EQ(kv->first.view(), "k");
  EXPECT_EQ(kv->second.view(), "v");
}

}  // namespace blob_ingestion_test
}  // namespace tervik
