#include "tervik/blob/blob_file_scanner.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/blob/blob_merge_scanner.h"
#include "tervik/blob/testing/blob_files.h"

namespace tervik {
namespace {

using testing::BlobValue;

std::vector<BlobScanEntry> scan_all(BlobFileScanner& s) {
  std::vector<BlobScanEntry> out;
  while (true) {
    auto e = s.next();
    EXPECT_TRUE(e.ok()) << e.error().to_string();
    if (!e.ok() || !e->has_value()) break;
    out.push_back(std::move(**e));
  }
  return out;
}

TEST(BlobFileScanner, YieldsEveryEntryWithItsOffsetThenStaysAtTheEnd) {
  zv::testing::TempDir dir;
  std::vector<BlobValue> values = {
      {"a", "first", 3}, {std::string(40, 'b'), std::string(70000, 'x'), 9}, {"c", "", 1}};
  auto file = testing::write_blob_file(dir.path(), 2, 1, &values, CompressionType::kLz4);
  auto scanner = BlobFileScanner::open(file->path(), file->id());
  ASSERT_TRUE(scanner.ok());
  auto entries = scan_all(*scanner);
  ASSERT_EQ(entries.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(entries[i].key.view(), values[i].key);
    EXPECT_EQ(entries[i].seqno, values[i].seqno);
    EXPECT_EQ(entries[i].offset, values[i].handle.offset);
    EXPECT_EQ(entries[i].uncompressed_length, values[i].value.size());
    EXPECT_EQ(entries[i].value.size(), values[i].handle.on_disk_size) << "stored, not decompressed";
  }
  auto again = scanner->next();
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again->has_value());
}

// Uncompressed entries whose bytes straddle the read buffer's edges, one
// larger than the buffer, and values that contain the markers themselves.
TEST(BlobFileScanner, EntriesAcrossReadBufferEdgesComeBackWhole) {
  zv::testing::TempDir dir;
  std::vector<BlobValue> values;
  const size_t sizes[] = {BlobFileScanner::kReadBufferSize - 50, 7,
                          BlobFileScanner::kReadBufferSize * 2 + 3, 0, 31999, 1};
  uint32_t seed = 12345;
  for (size_t i = 0; i < std::size(sizes); ++i) {
    std::string v(sizes[i], '\0');
    for (char& c : v) {
      seed = seed * 1103515245u + 12345u;
      c = static_cast<char>(seed >> 24);
    }
    if (v.size() >= 8) v.replace(0, 8, "BLOBMETA");
    values.emplace_back("k" + std::to_string(i), v, i + 1);
  }
  auto file = testing::write_blob_file(dir.path(), 4, 1, &values, CompressionType::kNone);
  auto scanner = BlobFileScanner::open(file->path(), file->id());
  ASSERT_TRUE(scanner.ok());
  auto entries = scan_all(*scanner);
  ASSERT_EQ(entries.size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(entries[i].offset, values[i].handle.offset) << i;
    EXPECT_EQ(entries[i].key.view(), values[i].key) << i;
    EXPECT_TRUE(entries[i].value.view() == values[i].value) << i;
  }
}

TEST(BlobFileScanner, Failures) {
  struct Case {
    const char* name;
    std::string file;
    TervikErrorKind kind;
    zv::IoErrorKind io_kind = zv::IoErrorKind::kOther;
  };
  zv::testing::TempDir dir;
  std::vector<BlobValue> values = {{"key", "some value bytes"}};
  auto good = testing::write_blob_file(dir.path(), 1, 1, &values);
  const std::string bytes = *zv::fs::read_file(good->path());
  auto damaged = [&](size_t at, const std::string& with) {
    std::string b = bytes;
    b.replace(at, with.size(), with);
    return b;
  };
  const std::vector<Case> cases = {
      {"flipped value bit", damaged(38 + 3 + 4, std::string(1, bytes[45] ^ 0x10)),
       TervikErrorKind::kChecksumMismatch},
      {"wrong marker", damaged(0, "BLOX"), TervikErrorKind::kInvalidHeader},
      {"cut inside the header", bytes.substr(0, 20), TervikErrorKind::kIo,
       zv::IoErrorKind::kUnexpectedEof},
      {"cut inside the value", bytes.substr(0, 50), TervikErrorKind::kIo,
       zv::IoErrorKind::kUnexpectedEof},
      {"stored length beyond the file", damaged(kBlobStoredLengthOffset, "\xf0\xff\xff\xff"),
       TervikErrorKind::kIo, zv::IoErrorKind::kUnexpectedEof},
      {"key length beyond the file", damaged(kBlobKeyLengthOffset, "\xff\xff"),
       TervikErrorKind::kIo, zv::IoErrorKind::kUnexpectedEof},
      {"empty file", "", TervikErrorKind::kIo, zv::IoErrorKind::kUnexpectedEof},
  };
  for (const Case& c : cases) {
    const std::string path = zv::fs::join(dir.path(), "case");
    ASSERT_TRUE(zv::fs::write_file(path, c.file).ok());
    auto s = BlobFileScanner::open(path, 8);
    ASSERT_TRUE(s.ok());
    zv::log::CaptureSink sink(zv::log::Level::kError);
    auto e = s->next();
    ASSERT_FALSE(e.ok()) << c.name;
    EXPECT_EQ(e.error().kind(), c.kind) << c.name << ": " << e.error().to_string();
    if (c.kind == TervikErrorKind::kIo) {
      EXPECT_EQ(e.error().io_error().kind(), c.io_kind) << c.name;
    }
    if (c.kind == TervikErrorKind::kInvalidHeader) {
      EXPECT_EQ(e.error().header_name(), "Blob");
    }
    if (c.kind == TervikErrorKind::kChecksumMismatch) {
      EXPECT_TRUE(sink.contains("Checksum mismatch for blob>8@0, got=Checksum(")) << c.name;
    }
  }
}

TEST(BlobFileScanner, FileWithoutEntriesEndsAtMetaAtOnce) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "3");
  ASSERT_TRUE(zv::fs::write_file(path, testing::crafted_blob_file(
                                           "", testing::meta_section(testing::good_properties())))
                  .ok());
  auto s = BlobFileScanner::open(path, 3);
  ASSERT_TRUE(s.ok());
  auto e = s->next();
  ASSERT_TRUE(e.ok());
  EXPECT_FALSE(e->has_value());
}

TEST(BlobMergeScanner, MergesKeysAscendingNewestFirst) {
  zv::testing::TempDir dir;
  // Three files with overlapping keys; key "b" in all three.
  std::vector<std::vector<BlobValue>> files = {
      {{"a", "a1", 1}, {"b", "b1", 1}, {"d", "d5", 5}},
      {{"b", "b7", 7}, {"c", "c2", 2}},
      {{"b", "b4", 4}, {"d", "d6", 6}, {"e", "e1", 1}},
  };
  std::vector<std::shared_ptr<BlobFile>> blob_files;
  for (size_t i = 0; i < files.size(); ++i) {
    blob_files.push_back(testing::write_blob_file(dir.path(), 20 + i, 1, &files[i]));
  }
  auto scanners = BlobFileScanner::open_all(blob_files);
  ASSERT_TRUE(scanners.ok());
  BlobMergeScanner merge(std::move(*scanners));
  std::vector<std::tuple<std::string, SeqNo, uint64_t>> got;
  while (true) {
    auto e = merge.next();
    ASSERT_TRUE(e.ok());
    if (!e->has_value()) break;
    const BlobScanEntry& entry = (*e)->entry;
    got.emplace_back(std::string(entry.key.view()), entry.seqno, (*e)->blob_file_id);
    // Each value names its key and seqno.
    EXPECT_EQ(entry.value.view(), std::string(entry.key.view()) + std::to_string(entry.seqno));
  }
  const std::vector<std::tuple<std::string, SeqNo, uint64_t>> want = {
      {"a", 1, 20}, {"b", 7, 21}, {"b", 4, 22}, {"b", 1, 20},
      {"c", 2, 21}, {"d", 6, 22}, {"d", 5, 20}, {"e", 1, 22}};
  EXPECT_EQ(got, want);
  auto end = merge.next();
  ASSERT_TRUE(end.ok());
  EXPECT_FALSE(end->has_value());
}

TEST(BlobMergeScanner, PassesOnAScannerError) {
  zv::testing::TempDir dir;
  std::vector<BlobValue> values = {{"a", "v"}};
  auto good = testing::write_blob_file(dir.path(), 1, 1, &values);
  const std::string bad_path = zv::fs::join(dir.path(), "2");
  ASSERT_TRUE(zv::fs::write_file(bad_path, "BLOB").ok());
  std::vector<BlobFileScanner> scanners;
  scanners.push_back(std::move(*BlobFileScanner::open(good->path(), 1)));
  scanners.push_back(std::move(*BlobFileScanner::open(bad_path, 2)));
  BlobMergeScanner merge(std::move(scanners));
  auto e = merge.next();
  ASSERT_FALSE(e.ok());
  EXPECT_EQ(e.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
  EXPECT_FALSE(BlobFileScanner::open(zv::fs::join(dir.path(), "404"), 404).ok());
}

}  // namespace
}  // namespace tervik
