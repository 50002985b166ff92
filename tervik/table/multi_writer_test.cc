#include "tervik/table/multi_writer.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "platform/coding.h"
#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "tervik/core/testing/panic_capture.h"
#include "tervik/table/table_meta.h"
#include "tervik/table/testing/table_files.h"

namespace tervik {
namespace {

InternalValue item(std::string_view key, size_t value_len, SeqNo seqno) {
  return InternalValue::new_value(UserKey(key), UserValue(std::string(value_len, 'v')), seqno);
}

std::string key_of(size_t i) {
  char buf[24];
  std::snprintf(buf, sizeof(buf), "key%08zu", i);
  return buf;
}

class MultiWriterTest : public ::testing::Test {
 protected:
  MultiWriter make(uint64_t target) {
    auto w = MultiWriter::create(dir_.path(), ids_, target, 0);
    EXPECT_TRUE(w.ok());
    return std::move(*w);
  }
  std::vector<std::string> files() { return *zv::fs::list_dir(dir_.path()); }
  std::string table_path(uint64_t id) { return zv::fs::join(dir_.path(), std::to_string(id)); }

  zv::testing::TempDir dir_;
  SeqNoCounter ids_{5};
};

TEST_F(MultiWriterTest, NoItemsGiveNoTable) {
  auto w = make(64 << 20);
  auto r = std::move(w).finish();
  ASSERT_TRUE(r.ok());
  EXPECT_TRUE(r->empty());
  EXPECT_TRUE(files().empty());
}

TEST_F(MultiWriterTest, OneMiBUnderTheTargetIsOneTable) {
  auto w = make(64 << 20);
  for (size_t i = 0; i < 1024; ++i) ASSERT_TRUE(w.write(item(key_of(i), 1024 - 11, 1)).ok());
  auto r = std::move(w).finish();
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 1u);
  EXPECT_EQ((*r)[0].id, 5u);
  EXPECT_EQ(files(), std::vector<std::string>{"5"});
  EXPECT_EQ((*r)[0].checksum, Checksum::of(*zv::fs::read_file(table_path(5))));
}

TEST_F(MultiWriterTest, VersionsOfOneKeyStayTogether) {
  auto w = make(10 * 1024);
  for (SeqNo s = 100; s > 0; --s) ASSERT_TRUE(w.write(item("hot", 1000, s)).ok());
  EXPECT_GE(w.current().data_position(), 10u * 1024);
  ASSERT_TRUE(w.write(item("next", 10, 1)).ok());
  auto r = std::move(w).finish();
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 2u);
  const DataBlock first = testing::meta_block(table_path((*r)[0].id));
  EXPECT_EQ(testing::meta_u64(first, kMetaItemCount), 100u);
  EXPECT_EQ(testing::meta_value(first, kMetaKeyMax), "hot");
  const DataBlock second = testing::meta_block(table_path((*r)[1].id));
  EXPECT_EQ(testing::meta_value(second, kMetaKeyMin), "next");
}

TEST_F(MultiWriterTest, TargetZeroGivesOneTablePerKeyWithIdsFromTheSharedCounter) {
  auto w = make(0);                  // takes id 5
  EXPECT_EQ(ids_.next(), 6u);        // another writer of the tree
  ASSERT_TRUE(w.write(item("a", 1, 3)).ok());  // rotates: 5 is finished empty
  ASSERT_TRUE(w.write(item("a", 1, 2)).ok());  // a further version: no rotation
  ASSERT_TRUE(w.write(item("b", 1, 1)).ok());
  ASSERT_TRUE(w.write(item("c", 1, 1)).ok());
  auto r = std::move(w).finish();
  ASSERT_TRUE(r.ok());
  std::vector<uint64_t> ids;
  for (const auto& t : *r) ids.push_back(t.id);
  EXPECT_EQ(ids, (std::vector<uint64_t>{7, 8, 9}));
  EXPECT_EQ(files(), (std::vector<std::string>{"7", "8", "9"}));
  EXPECT_EQ(testing::meta_u64(testing::meta_block(table_path(7)), kMetaItemCount), 2u);
  EXPECT_EQ(ids_.get(), 10u);
}

TEST_F(MultiWriterTest, FinishSyncsTheFolderOnceItsTablesAreComplete) {
  struct Case {
    const char* name;
    size_t keys;
    bool sync_fails;
    size_t syncs;  // expected calls of the folder sync
  };
  const Case cases[] = {
      {"no items: nothing to sync", 0, false, 0},
      {"three tables", 3, false, 1},
      {"failed sync is the result", 3, true, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    zv::testing::TempDir dir;
    auto w = MultiWriter::create(dir.path(), ids_, 0, 0);
    ASSERT_TRUE(w.ok());
    // What the folder holds when it is synced: every table already whole.
    std::vector<std::string> synced;
    std::vector<Checksum> contents;
    w->set_folder_sync([&](const std::string& folder) -> zv::IoStatus {
      synced.push_back(folder);
      const auto names = zv::fs::list_dir(folder);
      for (const auto& name : *names) {
        contents.push_back(Checksum::of(*zv::fs::read_file(zv::fs::join(folder, name))));
      }
      if (c.sync_fails) return zv::make_unexpected(zv::IoError(zv::IoErrorKind::kOther, "sync failed"));
      return {};
    });
    for (size_t i = 0; i < c.keys; ++i) ASSERT_TRUE(w->write(item(key_of(i), 10, 1)).ok());
    auto r = std::move(*w).finish();
    ASSERT_EQ(synced.size(), c.syncs);
    if (c.syncs == 1) {
      EXPECT_EQ(synced[0], dir.path());
    }
    if (c.sync_fails) {
      ASSERT_FALSE(r.ok());
      ASSERT_EQ(r.error().kind(), TervikErrorKind::kIo);
      EXPECT_EQ(r.error().io_error().message(), "sync failed");
      continue;
    }
    ASSERT_TRUE(r.ok());
    std::vector<Checksum> returned;
    for (const auto& t : *r) returned.push_back(t.checksum);
    EXPECT_EQ(contents, returned);
    EXPECT_EQ(r->size(), c.keys);
  }
}

TEST_F(MultiWriterTest, BlobReferencesCountForTheTableHoldingTheItem) {
  auto w = make(0);
  auto blob = [](uint64_t file, uint32_t on_disk, uint32_t size) {
    return BlobIndirection{ValueHandle{file, 0, on_disk}, size};
  };
  ASSERT_TRUE(w.write(item("a", 1, 1)).ok());
  w.register_blob(blob(7, 100, 300));
  w.register_blob(blob(7, 50, 120));
  ASSERT_TRUE(w.write(item("b", 1, 1)).ok());  // rotates first
  w.register_blob(blob(9, 1, 2));
  auto r = std::move(w).finish();
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 2u);

  struct Case {
    uint64_t table;
    std::vector<uint64_t> record;  // id, len, bytes, on_disk_bytes
  };
  const Case cases[] = {{(*r)[0].id, {7, 2, 420, 150}}, {(*r)[1].id, {9, 1, 2, 1}}};
  for (const auto& c : cases) {
    const auto toc = testing::sections_of(table_path(c.table));
    const auto* s = toc.section(kSectionLinkedBlobFiles);
    ASSERT_NE(s, nullptr) << c.table;
    const std::string bytes = zv::fs::read_file(table_path(c.table))->substr(s->pos, s->len);
    ASSERT_EQ(bytes.size(), 4u + 32u);
    EXPECT_EQ(zv::coding::get_u32_le(bytes.data()), 1u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(zv::coding::get_u64_le(bytes.data() + 4 + 8 * i), c.record[i]) << i;
  }
}

TEST_F(MultiWriterTest, DataBlockSizeLimit) {
  auto w = make(1 << 20);
  w.use_data_block_size(4194304);
  EXPECT_EQ(w.current().data_block_size, 4194304u);
  EXPECT_EQ(testing::panic_message([&] { w.use_data_block_size(4194305); }), kFatalDataBlockTooLarge);
}

TEST_F(MultiWriterTest, ExistingFileStopsCreationAndRotation) {
  ASSERT_TRUE(zv::fs::write_file(table_path(5), "x").ok());
  EXPECT_FALSE(MultiWriter::create(dir_.path(), ids_, 0, 0).ok());  // used id 5
  ASSERT_TRUE(zv::fs::write_file(table_path(7), "y").ok());
  auto w = make(0);  // id 6
  auto st = w.write(item("a", 1, 1));  // rotation to 7 fails; the item is not written
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), TervikErrorKind::kIo);
  EXPECT_EQ(*zv::fs::read_file(table_path(7)), "y");
}

}  // namespace
}  // namespace tervik
