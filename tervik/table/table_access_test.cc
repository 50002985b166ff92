// How a table reaches its file after recovery: block loads through the block
// and descriptor caches, the linked blob files region, and the removal of a
// deleted table's file when its last handle goes.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/block/bloom_filter.h"
#include "tervik/table/table.h"
#include "tervik/table/table_inner.h"
#include "tervik/table/testing/table_builder.h"

namespace tervik {
namespace {

std::vector<InternalValue> items(size_t n) {
  std::vector<InternalValue> out;
  for (size_t k = 0; k < n; ++k) {
    char key[16];
    std::snprintf(key, sizeof(key), "k%05zu", k);
    out.push_back(InternalValue::new_value(UserKey(std::string_view(key)),
                                           UserValue(std::string(20, 'v')), 1));
  }
  return out;
}

// Read system calls made by this process so far: the operating system's own
// count of every read, positioned or not, through any file layer.
uint64_t process_reads() {
  std::ifstream io("/proc/self/io");
  std::string name;
  uint64_t value = 0;
  while (io >> name >> value) {
    if (name == "syscr:") return value;
  }
  return 0;
}

struct Fixture {
  zv::testing::TempDir dir;
  std::string path = zv::fs::join(dir.path(), "3");
  std::shared_ptr<BlockCache> cache = BlockCache::with_capacity_bytes(1 << 20);

  explicit Fixture(testing::TableOptions o = {}) {
    o.block_size = 256;
    EXPECT_TRUE(testing::write_table(path, 3, items(200), o).ok());
  }
  Table open(std::shared_ptr<FileDescriptorCache> fds = nullptr) {
    auto t = Table::recover(path, Checksum(), 0, 9, cache, std::move(fds), true, true);
    EXPECT_TRUE(t.ok()) << t.error().debug_string();
    return std::move(*t);
  }
  // The data block handles in file order.
  static std::vector<BlockHandle> data_handles(const Table& t) {
    std::vector<BlockHandle> out;
    auto it = t.inner()->block_index.iter();
    EXPECT_TRUE(it.ok());
    while (auto e = it->next()) {
      if (!e.ok() || !e->has_value()) break;
      out.push_back((*e)->handle);
    }
    return out;
  }
};

TEST(LoadBlockTest, CacheHitReadsNothingAndMissChecksTheType) {
  Fixture f;
  Table t = f.open();
  const TableReadContext& ctx = *t.inner()->ctx;
  const auto handles = Fixture::data_handles(t);
  ASSERT_GE(handles.size(), 3u);

  auto wrong = util::load_block(ctx, handles[1], BlockType::kIndex, CompressionType::kNone);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().kind(), TervikErrorKind::kInvalidTag);
  EXPECT_EQ(wrong.error().tag_name(), "BlockType");
  EXPECT_EQ(wrong.error().tag_byte(), 0);
  EXPECT_FALSE(f.cache->get_block(9, 3, handles[1].offset).has_value());

  // Reading the counter is itself a read: measure what it costs alone.
  const uint64_t r0 = process_reads();
  const uint64_t own_cost = process_reads() - r0;
  const uint64_t before_miss = process_reads();
  auto miss = util::load_block(ctx, handles[1], BlockType::kData, CompressionType::kNone);
  ASSERT_TRUE(miss.ok());
  const uint64_t after_miss = process_reads();
  EXPECT_GT(after_miss - before_miss, own_cost) << "the counter must see the miss";
  ASSERT_TRUE(f.cache->get_block(9, 3, handles[1].offset).has_value());

  auto hit = util::load_block(ctx, handles[1], BlockType::kData, CompressionType::kNone);
  ASSERT_TRUE(hit.ok());
  EXPECT_EQ(process_reads() - after_miss, own_cost);
  EXPECT_EQ(hit->data, miss->data);
  // A hit is returned as cached, its type not compared.
  EXPECT_TRUE(util::load_block(ctx, handles[1], BlockType::kFilter, CompressionType::kNone).ok());
}

TEST(LoadBlockTest, DescriptorCacheKeepsOnlyHandlesOfGoodReads) {
  Fixture f;
  auto fds = std::make_shared<FileDescriptorCache>(4);
  Table t = f.open(fds);
  EXPECT_EQ(fds->size(), 0u);
  const TableReadContext& ctx = *t.inner()->ctx;
  const auto handles = Fixture::data_handles(t);  // the pinned index reads nothing
  EXPECT_EQ(fds->size(), 0u);

  struct Case {
    const char* name;
    BlockHandle handle;
    BlockType type;
    bool ok;
  };
  const Case cases[] = {
      {"past the end of the file", {ctx.file_length - 10, 4000}, BlockType::kData, false},
      {"not a block", {handles[0].offset + 1, handles[0].size}, BlockType::kData, false},
      {"wrong type", handles[0], BlockType::kIndex, false},
      {"good", handles[0], BlockType::kData, true},
  };
  for (const auto& c : cases) {
    auto b = util::load_block(ctx, c.handle, c.type, CompressionType::kNone);
    EXPECT_EQ(b.ok(), c.ok) << c.name;
    EXPECT_EQ(fds->size(), c.ok ? 1u : 0u) << c.name;
    EXPECT_EQ(fds->get(9, 3, FileKind::kTable) != nullptr, c.ok) << c.name;
  }
  auto past = util::load_block(ctx, {ctx.file_length - 10, 4000}, BlockType::kData,
                               CompressionType::kNone);
  ASSERT_FALSE(past.ok());
  EXPECT_EQ(past.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof);
}

TEST(LinkedBlobFilesTest, ReadsParsesAndBoundsTheRegion) {
  {
    Fixture none;
    Table t = none.open();
    auto files = t.linked_blob_files();
    ASSERT_TRUE(files.ok());
    EXPECT_FALSE(files->has_value());
    EXPECT_EQ(*t.linked_blob_bytes(), 0u);
  }
  testing::TableOptions o;
  o.linked_blob_files = {{7, 100, 60, 3}, {9, 50, 40, 1}};
  Fixture f(o);
  {
    auto fds = std::make_shared<FileDescriptorCache>(4);
    Table t = f.open(fds);
    auto files = t.linked_blob_files();
    ASSERT_TRUE(files.ok());
    ASSERT_TRUE(files->has_value());
    EXPECT_EQ(**files, o.linked_blob_files);
    EXPECT_EQ(fds->size(), 1u);
  }
  {
    Table t = f.open();
    ASSERT_EQ(*t.linked_blob_bytes(), 100u);
    // Computed once: the file is not read again.
    ASSERT_TRUE(zv::fs::write_file(f.path, "").ok());
    EXPECT_FALSE(t.linked_blob_files().ok());
    auto again = t.linked_blob_bytes();
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, 100u);
  }

  struct Case {
    const char* name;
    std::string region;
    std::optional<uint64_t> stored_len;  // a length claiming more than the file holds
  };
  std::string count2(4, '\0');
  count2[0] = 2;
  const Case cases[] = {
      {"3 bytes", std::string(3, '\0'), std::nullopt},
      {"count 2 in 40 bytes", count2 + std::string(36, '\0'), std::nullopt},
      {"count of 4 billion", std::string(4, '\xff') + std::string(64, '\0'), std::nullopt},
      {"region past the end of the file", count2 + std::string(64, '\0'), uint64_t{1} << 31},
  };
  Fixture g(o);
  const auto sections = testing::read_sections(g.path);
  for (const auto& c : cases) {
    auto s = sections;
    testing::find_section(s, "linked_blob_files")->bytes = c.region;
    testing::find_section(s, "linked_blob_files")->stored_len = c.stored_len;
    ASSERT_TRUE(zv::fs::write_file(g.path, testing::build_container(s)).ok());
    Table t = g.open();
    auto files = t.linked_blob_files();
    ASSERT_FALSE(files.ok()) << c.name;
    EXPECT_EQ(files.error().io_error().kind(), zv::IoErrorKind::kUnexpectedEof) << c.name;
    EXPECT_EQ(files.error().io_error().message(), zv::kShortReadMessage) << c.name;
    EXPECT_FALSE(t.linked_blob_bytes().ok()) << c.name;
  }
}

TEST(TableDeletionTest, FileGoesWithTheLastHandleOfADeletedTable) {
  struct Case {
    const char* name;
    bool mark;
    bool fd_cache;
  };
  const Case cases[] = {
      {"kept", false, true},
      {"deleted, own handle", true, false},
      {"deleted, descriptor cache", true, true},
  };
  for (const auto& c : cases) {
    Fixture f;
    auto fds = c.fd_cache ? std::make_shared<FileDescriptorCache>(4) : nullptr;
    std::optional<TableIter> it;
    {
      Table t = f.open(fds);
      Table clone = t;
      ASSERT_TRUE(t.iter().next()->ok()) << c.name;  // caches the handle
      if (c.mark) clone.mark_as_deleted();
      EXPECT_EQ(t.is_deleted(), c.mark) << c.name;
      it.emplace(t.iter());
    }
    // The iterator still holds the table: the file stays readable.
    EXPECT_TRUE(zv::fs::exists(f.path)) << c.name;
    size_t n = 0;
    while (auto e = it->next()) {
      ASSERT_TRUE(e->ok()) << c.name;
      ++n;
    }
    EXPECT_EQ(n, 200u) << c.name;
    it.reset();
    EXPECT_EQ(zv::fs::exists(f.path), !c.mark) << c.name;
    if (fds) {
      EXPECT_EQ(fds->size(), c.mark ? 0u : 1u) << c.name;
    }
  }
}

TEST(TableDeletionTest, FailedRemovalOnlyWarns) {
  Fixture f;
  zv::log::CaptureSink sink(zv::log::Level::kWarn);
  {
    Table t = f.open();
    t.mark_as_deleted();
    ASSERT_TRUE(zv::fs::remove_file(f.path).ok());
  }
  EXPECT_TRUE(sink.contains("Failed to cleanup deleted table GlobalTableId(9, 3) at " + f.path));
}

}  // namespace
}  // namespace tervik
