// Opening table files: every index and filter form the writer produces, and
// the refusal of damaged or foreign files with their exact errors.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/table.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik {
namespace {

std::vector<InternalValue> items(size_t n) {
  std::vector<InternalValue> out;
  for (size_t k = 0; k < n; ++k) {
    char key[16];
    std::snprintf(key, sizeof(key), "k%05zu", k * 3);
    out.push_back(InternalValue::new_value(UserKey(std::string_view(key)),
                                           UserValue(std::string(k % 40, 'v')), 10 + k % 7));
  }
  return out;
}

std::string describe(const TervikResult<Table>& t) {
  return t.ok() ? std::string("ok") : t.error().debug_string();
}

TEST(TableRecoverTest, EveryTableKindOpensAndReadsBack) {
  enum class Filter { kNone, kFull, kPartitioned };
  const auto data = items(700);
  for (bool partitioned_index : {false, true}) {
    for (Filter filter : {Filter::kNone, Filter::kFull, Filter::kPartitioned}) {
      zv::testing::TempDir dir;
      const std::string path = zv::fs::join(dir.path(), "table");
      testing::TableOptions o;
      o.block_size = 256;
      o.partitioned_index = partitioned_index;
      o.partitioned_filter = filter == Filter::kPartitioned;
      o.bits_per_key = filter == Filter::kNone ? 0.0f : 10.0f;
      o.data_compression = partitioned_index ? CompressionType::kLz4 : CompressionType::kNone;
      o.index_compression = partitioned_index ? CompressionType::kLz4 : CompressionType::kNone;
      auto written = testing::write_table(path, 42, data, o);
      ASSERT_TRUE(written.ok());
      for (bool pin_index : {false, true}) {
        for (bool pin_filter : {false, true}) {
          for (bool with_fd_cache : {false, true}) {
            const std::string label = "partitioned_index=" + std::to_string(partitioned_index) +
                                      " filter=" + std::to_string(static_cast<int>(filter)) +
                                      " pin_index=" + std::to_string(pin_index) +
                                      " pin_filter=" + std::to_string(pin_filter) +
                                      " fd_cache=" + std::to_string(with_fd_cache);
            auto fds = with_fd_cache ? std::make_shared<FileDescriptorCache>(8) : nullptr;
            auto t = Table::recover(path, written->checksum, 0, 5, BlockCache::with_capacity_bytes(1 << 20),
                                    fds, pin_filter, pin_index);
            ASSERT_TRUE(t.ok()) << label << ": " << describe(t);
            const auto want_kind = partitioned_index ? BlockIndex::Kind::kTwoLevel
                                   : pin_index       ? BlockIndex::Kind::kFullPinned
                                                     : BlockIndex::Kind::kFullVolatile;
            EXPECT_EQ(t->index_kind(), want_kind) << label;
            EXPECT_EQ(t->has_pinned_filter_index(), filter == Filter::kPartitioned) << label;
            EXPECT_EQ(t->has_pinned_filter(), filter == Filter::kFull && pin_filter) << label;
            EXPECT_EQ(t->id(), 42u) << label;
            EXPECT_EQ(t->global_id(), (GlobalTableId{5, 42})) << label;
            EXPECT_EQ(t->checksum(), written->checksum) << label;
            EXPECT_EQ(t->meta().item_count, data.size()) << label;
            EXPECT_EQ(t->meta().key_min, data.front().key.user_key) << label;
            EXPECT_EQ(t->meta().key_max, data.back().key.user_key) << label;
            EXPECT_EQ(t->meta().seqno_min, 10u) << label;
            EXPECT_EQ(t->meta().seqno_max, 16u) << label;
            EXPECT_EQ(t->meta().data_compression, o.data_compression) << label;
            EXPECT_GT(t->meta().data_block_count, 3u) << label;
            // No handle of the table's own with a descriptor cache, and the
            // recovery handle is not put into it either.
            if (fds) {
              EXPECT_EQ(fds->size(), 0u) << label;
            }

            auto it = t->iter();
            size_t n = 0;
            while (auto e = it.next()) {
              ASSERT_TRUE(e->ok()) << label << ": " << e->error().debug_string();
              ASSERT_LT(n, data.size()) << label;
              EXPECT_EQ((**e).key, data[n].key) << label;
              EXPECT_EQ((**e).value, data[n].value) << label;
              ++n;
            }
            EXPECT_EQ(n, data.size()) << label;
            if (fds) {
              EXPECT_EQ(fds->size(), 1u) << label;
            }
            for (size_t i = 0; i < data.size(); i += 37) {
              const auto& key = data[i].key.user_key;
              auto g = t->get(key.view(), 100, BloomFilter::key_hash(key.view()));
              ASSERT_TRUE(g.ok()) << label;
              ASSERT_TRUE(g->has_value()) << label << " key " << i;
              EXPECT_EQ((*g)->value, data[i].value) << label;
            }
          }
        }
      }
    }
  }
}

struct Refusal {
  const char* name;
  std::function<void(std::vector<testing::Section>&, testing::MetaProperties&)> mutate;
  TervikErrorKind kind;
  std::string detail;  // logged message, tag "Name/byte", or I/O message
};

TEST(TableRecoverTest, RefusesDamagedTablesWithExactErrors) {
  zv::testing::TempDir dir;
  const std::string good = zv::fs::join(dir.path(), "good");
  testing::TableOptions o;
  o.block_size = 256;
  ASSERT_TRUE(testing::write_table(good, 1, items(300), o).ok());
  const auto sections = testing::read_sections(good);
  ASSERT_FALSE(sections.empty());

  using S = std::vector<testing::Section>;
  using M = testing::MetaProperties;
  auto drop = [](S& s, std::string_view name) {
    std::erase_if(s, [&](const testing::Section& x) { return x.name == name; });
  };
  auto meta_set = [](std::string key, std::string value) {
    return [key, value](S&, M& m) { m[key] = value; };
  };
  auto meta_drop = [](std::string key) { return [key](S&, M& m) { m.erase(key); }; };
  const std::string unrec_u64 = "meta property ";
  std::vector<Refusal> cases = {
      {"no tli", [&](S& s, M&) { drop(s, "tli"); }, TervikErrorKind::kUnrecoverable, "TLI should exist"},
      {"no tli, no meta", [&](S& s, M&) { drop(s, "tli"); drop(s, "meta"); },
       TervikErrorKind::kUnrecoverable, "TLI should exist"},
      {"no meta", [&](S& s, M&) { drop(s, "meta"); }, TervikErrorKind::kUnrecoverable,
       "Metadata should exist"},
      {"region of 4 GiB",
       [](S& s, M&) { testing::find_section(s, "filter")->stored_len = uint64_t{1} << 32; },
       TervikErrorKind::kUnrecoverable, "region should not exceed 4 GiB"},
      {"meta region past the end",
       [](S& s, M&) { testing::find_section(s, "meta")->stored_len = uint64_t{1} << 31; },
       TervikErrorKind::kIo, "read_exact("},
      {"table_version missing", meta_drop("table_version"), TervikErrorKind::kUnrecoverable,
       "Table version should exist"},
      {"table_version 4", meta_set("table_version", "\x04"), TervikErrorKind::kUnrecoverable,
       "unspported table version 4"},
      {"table_version empty", meta_set("table_version", ""), TervikErrorKind::kIo,
       "failed to fill whole buffer"},
      {"filter_hash_type missing", meta_drop("filter_hash_type"), TervikErrorKind::kUnrecoverable,
       "Filter hash type should exist"},
      {"filter_hash_type 1", meta_set("filter_hash_type", "\x01"), TervikErrorKind::kUnrecoverable,
       "invalid hash type: 1"},
      {"filter_hash_type empty", meta_set("filter_hash_type", ""), TervikErrorKind::kIo,
       "failed to fill whole buffer"},
      {"checksum_type missing", meta_drop("checksum_type"), TervikErrorKind::kUnrecoverable,
       "Checksum type should exist"},
      {"checksum_type 9", meta_set("checksum_type", "\x09"), TervikErrorKind::kUnrecoverable,
       "invalid checksum type: 9"},
      {"checksum_type empty", meta_set("checksum_type", ""), TervikErrorKind::kIo,
       "failed to fill whole buffer"},
      {"index restart interval missing", meta_drop("restart_interval#index"),
       TervikErrorKind::kUnrecoverable, "meta property restart_interval#index should exist"},
      {"index restart interval 2", meta_set("restart_interval#index", "\x02"),
       TervikErrorKind::kUnrecoverable,
       "index block restart intervals >1 are not supported for this version"},
      {"created_at missing", meta_drop("created_at"), TervikErrorKind::kUnrecoverable,
       "created_at timestamp should exist"},
      {"key#min missing", meta_drop("key#min"), TervikErrorKind::kUnrecoverable, "key min should exist"},
      {"key#max missing", meta_drop("key#max"), TervikErrorKind::kUnrecoverable, "key max should exist"},
      {"seqno#min missing", meta_drop("seqno#min"), TervikErrorKind::kUnrecoverable,
       "seqno min should exist"},
      {"seqno#max missing", meta_drop("seqno#max"), TervikErrorKind::kUnrecoverable,
       "seqno max should exist"},
      {"seqno#min of 7 bytes", meta_set("seqno#min", std::string(7, '\0')), TervikErrorKind::kIo,
       "failed to fill whole buffer"},
      {"created_at of 15 bytes", meta_set("created_at", std::string(15, '\0')),
       TervikErrorKind::kIo, "failed to fill whole buffer"},
      {"compression#data missing", meta_drop("compression#data"), TervikErrorKind::kUnrecoverable,
       "size should exist"},
      {"compression#index 2", meta_set("compression#index", "\x02"), TervikErrorKind::kInvalidTag,
       "CompressionType/2"},
      {"compression#index empty", meta_set("compression#index", ""), TervikErrorKind::kIo,
       "failed to fill whole buffer"},
  };
  for (const char* key : {"table_id", "item_count", "tombstone_count", "block_count#data",
                          "block_count#index", "block_count#filter", "file_size",
                          "weak_tombstone_count", "weak_tombstone_reclaimable"}) {
    cases.push_back({key, meta_drop(key), TervikErrorKind::kUnrecoverable,
                     unrec_u64 + key + " should exist"});
  }
  size_t i = 0;
  for (const auto& c : cases) {
    auto s = sections;
    auto meta = testing::decode_meta(testing::find_section(s, "meta")->bytes);
    ASSERT_EQ(meta.at("table_version"), "\x03");
    c.mutate(s, meta);
    if (auto* m = testing::find_section(s, "meta")) {
      const auto len = m->stored_len;
      m->bytes = testing::encode_meta(meta);
      m->stored_len = len;
    }
    const std::string path = zv::fs::join(dir.path(), "case" + std::to_string(i++));
    ASSERT_TRUE(zv::fs::write_file(path, testing::build_container(s)).ok());
    zv::log::CaptureSink sink(zv::log::Level::kError);
    auto t = Table::recover(path, Checksum(), 0, 0, BlockCache::with_capacity_bytes(1 << 20),
                            nullptr, true, true);
    ASSERT_FALSE(t.ok()) << c.name;
    EXPECT_EQ(t.error().kind(), c.kind) << c.name << ": " << t.error().debug_string();
    if (c.kind == TervikErrorKind::kUnrecoverable) {
      EXPECT_TRUE(sink.contains(c.detail)) << c.name;
    } else if (c.kind == TervikErrorKind::kInvalidTag) {
      EXPECT_EQ(t.error().tag_name() + "/" + std::to_string(t.error().tag_byte()), c.detail) << c.name;
    } else {
      EXPECT_EQ(t.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof) << c.name;
      EXPECT_NE(t.error().io_error().message().find(c.detail), std::string::npos)
          << c.name << ": " << t.error().debug_string();
    }
  }
}

TEST(TableRecoverTest, MetaBlockOfTypeDataIsInvalidTag) {
  zv::testing::TempDir dir;
  const std::string good = zv::fs::join(dir.path(), "good");
  ASSERT_TRUE(testing::write_table(good, 1, items(10)).ok());
  auto s = testing::read_sections(good);
  auto* meta = testing::find_section(s, "meta");
  meta->bytes = testing::encode_meta(testing::decode_meta(meta->bytes), BlockType::kData);
  const std::string path = zv::fs::join(dir.path(), "bad");
  ASSERT_TRUE(zv::fs::write_file(path, testing::build_container(s)).ok());
  auto t = Table::recover(path, Checksum(), 0, 0, BlockCache::with_capacity_bytes(1 << 20), nullptr,
                          false, false);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind(), TervikErrorKind::kInvalidTag);
  EXPECT_EQ(t.error().tag_name(), "BlockType");
  EXPECT_EQ(t.error().tag_byte(), 0);
}

TEST(TableRecoverTest, LongerValuesAreReadFromTheirStart) {
  zv::testing::TempDir dir;
  const std::string good = zv::fs::join(dir.path(), "good");
  ASSERT_TRUE(testing::write_table(good, 77, items(10)).ok());
  auto s = testing::read_sections(good);
  auto* meta = testing::find_section(s, "meta");
  auto props = testing::decode_meta(meta->bytes);
  std::string nine;
  zv::coding::put_u64_le(&nine, 1234);
  nine.push_back('\x7f');
  props["seqno#min"] = nine;
  meta->bytes = testing::encode_meta(props);
  // The file name plays no part: the id is the stored one.
  const std::string path = zv::fs::join(dir.path(), "9");
  ASSERT_TRUE(zv::fs::write_file(path, testing::build_container(s)).ok());
  auto t = Table::recover(path, Checksum(), 0, 0, BlockCache::with_capacity_bytes(1 << 20), nullptr,
                          false, false);
  ASSERT_TRUE(t.ok()) << t.error().debug_string();
  EXPECT_EQ(t->meta().seqno_min, 1234u);
  EXPECT_EQ(t->id(), 77u);
}

TEST(TableRecoverTest, TocCountBeyondTheFileIsRefusedBeforeReserving) {
  zv::testing::TempDir dir;
  const std::string path = zv::fs::join(dir.path(), "t");
  ASSERT_TRUE(testing::write_table(path, 1, items(10)).ok());
  auto bytes = *zv::fs::read_file(path);
  const uint64_t toc_pos = zv::coding::get_u64_le(bytes.data() + bytes.size() - 38 + 22);
  const uint32_t huge = 0xFFFFFFF0u;
  std::memcpy(bytes.data() + toc_pos + 4, &huge, 4);
  ASSERT_TRUE(zv::fs::write_file(path, bytes).ok());
  auto t = Table::recover(path, Checksum(), 0, 0, BlockCache::with_capacity_bytes(1 << 20), nullptr,
                          false, false);
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error().kind(), TervikErrorKind::kIo);
}

}  // namespace
}  // namespace tervik
