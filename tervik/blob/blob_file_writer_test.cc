#include "tervik/blob/blob_file_writer.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <string>
#include <vector>

#include "archive/src/reader.h"
#include "platform/checksum.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/blob_file_meta.h"
#include "tervik/blob/testing/blob_files.h"
#include "tervik/block/data_block.h"
#include "tervik/core/testing/panic_capture.h"

namespace tervik {
namespace {

using testing::BlobValue;

// An entry laid out field by field from the format table.
std::string golden_entry(const std::string& key, SeqNo seqno, uint32_t value_len,
                         const std::string& stored) {
  const zv::Hash128 h = zv::xxh3_128(key + stored);
  std::string e = "BLOB";
  e += testing::u64_le(h.low) + testing::u64_le(h.high) + testing::u64_le(seqno);
  const uint16_t k = static_cast<uint16_t>(key.size());
  e.append(reinterpret_cast<const char*>(&k), 2);
  e.append(reinterpret_cast<const char*>(&value_len), 4);
  const uint32_t s = static_cast<uint32_t>(stored.size());
  e.append(reinterpret_cast<const char*>(&s), 4);
  return e + key + stored;
}

std::string section_bytes(const std::string& path, std::string_view name) {
  auto toc = zv::archive::ArchiveReader::open(path);
  EXPECT_TRUE(toc.ok());
  const auto* entry = toc->section(name);
  EXPECT_NE(entry, nullptr) << name;
  std::string file = *zv::fs::read_file(path);
  return file.substr(entry->pos, entry->len);
}

TEST(BlobFileWriter, WritesEntriesMetaAndChecksumAsLaidOut) {
  zv::testing::TempDir dir;
  const std::string long_key(25, 'k');  // beyond the inline slice size
  std::vector<BlobValue> values = {{"a", "hello", 5}, {long_key, "", 6}, {"b", "xyz", 7}};
  auto file = testing::write_blob_file(dir.path(), 9, 3, &values);

  const std::string data = golden_entry("a", 5, 5, "hello") + golden_entry(long_key, 6, 0, "") +
                           golden_entry("b", 7, 3, "xyz");
  EXPECT_EQ(section_bytes(file->path(), "data"), data);
  EXPECT_EQ(values[0].handle.offset, 0u);
  EXPECT_EQ(values[1].handle.offset, 38u + 1 + 5);
  EXPECT_EQ(values[2].handle.offset, 38u + 1 + 5 + 38 + 25);
  EXPECT_EQ(values[1].handle.on_disk_size, 0u);

  const std::string whole = *zv::fs::read_file(file->path());
  EXPECT_EQ(file->checksum(), Checksum::of(whole));
  EXPECT_EQ(file->file_length(), whole.size());
  EXPECT_NE(file->handle(), nullptr);

  // The eleven properties in ascending key order, each found by point reads.
  const std::string meta = section_bytes(file->path(), "meta");
  ASSERT_EQ(meta.substr(0, 4), "META");
  auto header = BlockHeader::decode(std::string_view(meta).substr(4));
  ASSERT_TRUE(header.ok());
  EXPECT_EQ(header->block_type, BlockType::kMeta);
  Block block;
  block.header = *header;
  block.data = Slice(std::string_view(meta).substr(4 + kBlockHeaderSize));
  auto decoder = DataBlock(block).decoder();
  ASSERT_TRUE(decoder.ok());
  std::vector<std::string> keys;
  while (true) {
    auto item = decoder->next();
    ASSERT_TRUE(item.ok());
    if (!item->has_value()) break;
    keys.emplace_back((*item)->key.user_key.view());
    EXPECT_EQ((*item)->key.seqno, 0u);
  }
  const std::vector<std::string> expected_keys = {
      "blob_file_version", "checksum_type", "compression", "core_version",
      "created_at", "file_size", "id", "item_count", "key#max", "key#min", "uncompressed_size"};
  EXPECT_EQ(keys, expected_keys);

  auto decoded = decode_blob_meta_section(meta);
  ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
  EXPECT_EQ(decoded->id, 9u);
  EXPECT_EQ(decoded->item_count, 3u);
  EXPECT_EQ(decoded->file_size, 8u);           // stored lengths only
  EXPECT_EQ(decoded->uncompressed_size, 8u);
  EXPECT_EQ(decoded->key_min.view(), "a");
  EXPECT_EQ(decoded->key_max.view(), "b");      // the last written, whole
  EXPECT_EQ(decoded->compression, CompressionType::kNone);
  EXPECT_GT(decoded->created_at, 0u);
  auto point = [&](std::string_view k) {
    return std::string((*DataBlock(block).point_read(k, UINT64_MAX))->value.view());
  };
  EXPECT_EQ(point("blob_file_version"), std::string(1, '\3'));
  EXPECT_EQ(point("checksum_type"), std::string(1, '\0'));
  EXPECT_EQ(point("core_version"), "3.1.10");
  EXPECT_EQ(file->meta().item_count, 3u);
  EXPECT_GE(file->meta().created_at, decoded->created_at);
}

TEST(BlobFileWriter, Lz4StoresCompressedValuesOrPassesPrecompressedThrough) {
  struct Case {
    const char* name;
    bool precompressed;
  };
  const std::string value(3000, 'q');
  for (const Case& c : {Case{"compress", false}, Case{"precompressed", true}}) {
    zv::testing::TempDir dir;
    auto w = BlobFileWriter::create(zv::fs::join(dir.path(), "4"), 4, 1);
    ASSERT_TRUE(w.ok());
    (*w)->set_compression(CompressionType::kLz4);
    (*w)->set_precompressed(c.precompressed);
    const std::string handed = c.precompressed ? std::string("opaque-bytes") : value;
    auto s = (*w)->write("key", 1, handed, 3000);
    ASSERT_TRUE(s.ok());
    auto f = (*w)->finish(nullptr);
    ASSERT_TRUE(f.ok() && f->has_value());
    const std::string data = section_bytes((**f)->path(), "data");
    const std::string stored = data.substr(38 + 3);
    EXPECT_EQ(stored.size(), *s) << c.name;
    if (c.precompressed) {
      EXPECT_EQ(stored, handed) << c.name;
    } else {
      std::string out(value.size(), '\0');
      EXPECT_EQ(LZ4_decompress_safe(stored.data(), out.data(), static_cast<int>(stored.size()),
                                    static_cast<int>(out.size())),
                3000);
      EXPECT_EQ(out, value);
      EXPECT_LT(stored.size(), value.size());
    }
    EXPECT_EQ(data.substr(0, 38 + 3), golden_entry("key", 1, 3000, stored).substr(0, 41)) << c.name;
    EXPECT_EQ((**f)->meta().compression, CompressionType::kLz4) << c.name;
    EXPECT_EQ((**f)->meta().uncompressed_size, 3000u) << c.name;
    EXPECT_EQ((**f)->meta().file_size, stored.size()) << c.name;
  }
}

TEST(BlobFileWriter, CreatesExclusivelyAndDeletesAnEmptyFile) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "5");
  ASSERT_TRUE(zv::fs::write_file(path, "old").ok());
  auto clash = BlobFileWriter::create(path, 5, 1);
  ASSERT_FALSE(clash.ok());
  EXPECT_EQ(clash.error().io_error().kind(), zv::IoErrorKind::kAlreadyExists);
  EXPECT_EQ(*zv::fs::read_file(path), "old");

  const std::string empty = zv::fs::join(dir.path(), "6");
  auto w = BlobFileWriter::create(empty, 6, 1);
  ASSERT_TRUE(w.ok());
  EXPECT_TRUE(zv::fs::exists(empty));
  auto f = (*w)->finish(nullptr);
  ASSERT_TRUE(f.ok());
  EXPECT_FALSE(f->has_value());
  EXPECT_FALSE(zv::fs::exists(empty));
}

TEST(BlobFileWriter, KeyLimitsAreFatal) {
  zv::testing::TempDir dir;
  auto w = BlobFileWriter::create(zv::fs::join(dir.path(), "1"), 1, 1);
  ASSERT_TRUE(w.ok());
  EXPECT_EQ(testing::panic_message([&] { (void)(*w)->write("", 1, "v"); }), kFatalEmptyBlobKey);
  EXPECT_EQ(testing::panic_message([&] { (void)(*w)->write(std::string(65536, 'k'), 1, "v"); }),
            kFatalBlobKeyTooLong);
  EXPECT_EQ((*w)->item_count(), 0u);
}

TEST(BlobIndirection, EncodesOffsetFirstAndRefusesTruncation) {
  BlobIndirection ind{ValueHandle{7, 300, 5}, 5};
  EXPECT_EQ(ind.encode(), std::string("\xAC\x02\x07\x05\x05"));
  const std::string bytes = ind.encode();
  for (size_t n = 0; n < bytes.size(); ++n) {
    std::string_view in(bytes.data(), n);
    auto r = BlobIndirection::decode(&in);
    ASSERT_FALSE(r.ok()) << n;
    EXPECT_EQ(r.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof) << n;
    EXPECT_EQ(r.error().io_error().message(), "could not read byte") << n;
  }
}

}  // namespace
}  // namespace tervik
