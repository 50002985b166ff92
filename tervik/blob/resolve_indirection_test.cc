#include "tervik/blob/resolve_indirection.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/blob_entry.h"
#include "tervik/blob/testing/blob_files.h"
#include "tervik/core/testing/panic_capture.h"

namespace tervik::vlog {
namespace {

using testing::BlobValue;

constexpr uint64_t kTree = 3;
constexpr uint64_t kFileId = 12;

void patch(const std::string& path, uint64_t offset, const std::string& bytes) {
  auto f = zv::File::open_read_write(path);
  ASSERT_TRUE(f.ok());
  ASSERT_TRUE(f->write_all_at(bytes.data(), bytes.size(), offset).ok());
}

struct Fixture {
  explicit Fixture(CompressionType compression, bool with_fd_cache = false,
                   std::shared_ptr<BlockCache> block_cache = nullptr)
      : fd_cache(with_fd_cache ? std::make_shared<FileDescriptorCache>(8) : nullptr),
        cache(block_cache ? block_cache : BlockCache::with_capacity_bytes(1 << 24)) {
    values = {{"small", "hello world"},
              {"empty", ""},
              {"big", std::string(100000, 'z') + "tail"},
              {"k4", std::string{'\x01', '\x02', '\x03', '\x00', '\xff'} + " mixed bytes"}};
    file = testing::write_blob_file(dir.path(), kFileId, kTree, &values, compression, fd_cache);
    files[kFileId] = file;
  }
  TervikResult<std::pair<UserKey, UserValue>> resolve(const InternalValue& item) {
    return resolve_indirection(kTree, files, 42, *cache, item);
  }
  TervikResult<std::pair<UserKey, UserValue>> resolve(const BlobValue& v) {
    return resolve(testing::indirection_item(v));
  }

  zv::testing::TempDir dir;
  std::shared_ptr<FileDescriptorCache> fd_cache;
  std::shared_ptr<BlockCache> cache;
  std::vector<BlobValue> values;
  std::shared_ptr<BlobFile> file;
  BlobFileMap files;
};

TEST(ResolveIndirection, RoundTripsWithEachCompression) {
  for (CompressionType c : {CompressionType::kNone, CompressionType::kLz4}) {
    Fixture fx(c);
    for (const BlobValue& v : fx.values) {
      auto r = fx.resolve(v);
      ASSERT_TRUE(r.ok()) << v.key << ": " << r.error().to_string();
      EXPECT_EQ(r->first.view(), v.key);
      EXPECT_EQ(r->second.view(), v.value) << v.key << " " << compression_type_name(c);
    }
    EXPECT_EQ(fx.cache->size(), fx.values.size());
  }
}

TEST(ResolveIndirection, HitReadsNoFileAndAnEvictedValueIsVerifiedAgain) {
  // One shard that holds one of the two values at a time.
  Fixture fx(CompressionType::kNone, false, BlockCache::with_shards(20, 1));
  const BlobValue& v = fx.values[0];
  ASSERT_TRUE(fx.resolve(v).ok());
  // Damage the stored value on disk: only a file read could notice.
  patch(fx.file->path(), v.handle.offset + kBlobEntryHeaderSize + v.key.size(), "J");
  auto hit = fx.resolve(v);
  ASSERT_TRUE(hit.ok());
  EXPECT_EQ(hit->second.view(), v.value);

  ASSERT_TRUE(fx.resolve(fx.values[3]).ok());  // evicts the first value
  ASSERT_FALSE(fx.cache->get_blob(kTree, kFileId, v.handle.offset).has_value());
  auto reread = fx.resolve(v);
  ASSERT_FALSE(reread.ok());
  EXPECT_EQ(reread.error().kind(), TervikErrorKind::kChecksumMismatch);
}

TEST(ResolveIndirection, DamagedEntries) {
  enum class Outcome { kReads, kChecksum, kDecompress, kHeader };
  struct Case {
    const char* name;
    CompressionType compression;
    size_t at;  // offset inside the entry of value "big"
    std::string bytes;
    Outcome outcome;
  };
  const size_t value_at = kBlobEntryHeaderSize + 3;
  const Case cases[] = {
      {"stored byte", CompressionType::kNone, value_at + 7, "#", Outcome::kChecksum},
      {"stored byte lz4", CompressionType::kLz4, value_at + 2, "#", Outcome::kChecksum},
      {"key byte", CompressionType::kNone, kBlobEntryHeaderSize, "B", Outcome::kChecksum},
      {"checksum byte", CompressionType::kNone, kBlobChecksumOffset + 3, "!", Outcome::kChecksum},
      {"seqno", CompressionType::kLz4, kBlobSeqNoOffset, "\x77\x77", Outcome::kReads},
      {"stored length", CompressionType::kNone, kBlobStoredLengthOffset, "\xff\xff\xff\xff",
       Outcome::kReads},
      {"stored length lz4", CompressionType::kLz4, kBlobStoredLengthOffset, "\x01\x00\x00\x00",
       Outcome::kReads},
      {"value length, uncompressed", CompressionType::kNone, kBlobValueLengthOffset,
       "\xff\xff\xff\xff", Outcome::kReads},
      // Unchecked by the entry checksum: it must not size the output buffer.
      {"value length lz4 huge", CompressionType::kLz4, kBlobValueLengthOffset, "\xff\xff\xff\xff",
       Outcome::kDecompress},
      {"value length lz4 short", CompressionType::kLz4, kBlobValueLengthOffset, "\x05\x00\x00\x00",
       Outcome::kDecompress},
      {"marker", CompressionType::kNone, 0, "X", Outcome::kHeader},
  };
  for (const Case& c : cases) {
    Fixture fx(c.compression, true);
    fx.fd_cache->remove(kTree, kFileId, FileKind::kBlob);
    const BlobValue& v = fx.values[2];
    patch(fx.file->path(), v.handle.offset + c.at, c.bytes);
    zv::log::CaptureSink sink(zv::log::Level::kError);
    auto r = fx.resolve(v);
    if (c.outcome == Outcome::kReads) {
      ASSERT_TRUE(r.ok()) << c.name << ": " << r.error().to_string();
      EXPECT_EQ(r->second.view(), v.value) << c.name;
      EXPECT_EQ(fx.cache->size(), 1u) << c.name;
      EXPECT_NE(fx.fd_cache->get(kTree, kFileId, FileKind::kBlob), nullptr)
          << c.name << ": a fresh handle is cached after a successful read";
      continue;
    }
    ASSERT_FALSE(r.ok()) << c.name;
    switch (c.outcome) {
      case Outcome::kChecksum:
        EXPECT_EQ(r.error().kind(), TervikErrorKind::kChecksumMismatch) << c.name;
        EXPECT_TRUE(sink.contains("Checksum mismatch for blob ValueHandle")) << c.name;
        break;
      case Outcome::kDecompress:
        EXPECT_EQ(r.error().kind(), TervikErrorKind::kDecompress) << c.name;
        EXPECT_EQ(r.error().compression(), CompressionType::kLz4) << c.name;
        break;
      case Outcome::kHeader:
        EXPECT_EQ(r.error().kind(), TervikErrorKind::kInvalidHeader) << c.name;
        EXPECT_EQ(r.error().header_name(), "Blob") << c.name;
        break;
      case Outcome::kReads:
        break;
    }
    EXPECT_EQ(fx.cache->size(), 0u) << c.name << ": a failed read caches no value";
    EXPECT_EQ(fx.fd_cache->size(), 0u) << c.name << ": nor a handle";
  }
}

TEST(ResolveIndirection, BadIndirections) {
  Fixture fx(CompressionType::kNone);
  const BlobValue& v = fx.values[0];
  const uint64_t length = fx.file->file_length();
  struct Case {
    const char* name;
    uint64_t offset;
    uint32_t on_disk_size;
  };
  // Sizes from the stored indirection are checked against the file before any buffer.
  const Case cases[] = {
      {"stored size past the end", v.handle.offset, 0xFFFFFFF0u},
      {"offset past the end", length + 1, 1},
      {"offset near u64 max", UINT64_MAX - 10, 100},
      {"entry ends one byte past the file", length - kBlobEntryHeaderSize - v.key.size() + 1, 0},
  };
  for (const Case& c : cases) {
    BlobIndirection ind{ValueHandle{kFileId, c.offset, c.on_disk_size}, 5};
    auto r = fx.resolve(InternalValue::new_indirection(Slice(v.key), ind.encode(), 1));
    ASSERT_FALSE(r.ok()) << c.name;
    EXPECT_EQ(r.error().kind(), TervikErrorKind::kIo) << c.name;
    EXPECT_EQ(r.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof) << c.name;
  }

  const std::string encoded = BlobIndirection{v.handle, 11}.encode();
  auto truncated = fx.resolve(InternalValue::new_indirection(
      Slice(v.key), std::string_view(encoded).substr(0, encoded.size() - 1), 1));
  ASSERT_FALSE(truncated.ok());
  EXPECT_EQ(truncated.error().io_error().message(), "could not read byte");

  BlobIndirection unknown{ValueHandle{99, 0, 1}, 1};
  EXPECT_NE(testing::panic_message([&] {
              (void)fx.resolve(InternalValue::new_indirection(Slice("a"), unknown.encode(), 1));
            }).find(") did not match any blob - this is a bug; version=42"),
            std::string::npos);
  EXPECT_EQ(fx.cache->size(), 0u);
}

TEST(ResolveIndirection, PlainItemsComeBackUnchanged) {
  Fixture fx(CompressionType::kNone);
  const InternalValue items[] = {
      InternalValue::new_value(Slice("k"), Slice("not a blob \xAC\x02"), 1),
      InternalValue::new_tombstone(Slice("t"), 2),
  };
  for (const InternalValue& item : items) {
    auto r = fx.resolve(item);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->first, item.key.user_key);
    EXPECT_EQ(r->second, item.value);
  }
  EXPECT_EQ(fx.cache->size(), 0u);
}

}  // namespace
}  // namespace tervik::vlog
