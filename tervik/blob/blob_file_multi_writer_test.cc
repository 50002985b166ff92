#include "tervik/blob/blob_file_multi_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"

namespace tervik {
namespace {

TEST(BlobFileMultiWriter, NothingWrittenLeavesNoFileButUsesTheId) {
  zv::testing::TempDir dir;
  SeqNoCounter ids(10);
  auto w = BlobFileMultiWriter::create(dir.path(), ids, 1, nullptr);
  ASSERT_TRUE(w.ok());
  EXPECT_TRUE(zv::fs::exists(blob_file_path(dir.path(), 10))) << "created before any write";
  auto files = std::move(*w).finish();
  ASSERT_TRUE(files.ok());
  EXPECT_TRUE(files->empty());
  EXPECT_FALSE(zv::fs::exists(blob_file_path(dir.path(), 10)));
  EXPECT_EQ(ids.get(), 11u);
  auto next = BlobFileMultiWriter::create(dir.path(), ids, 1, nullptr);
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(next->current_id(), 11u);
}

TEST(BlobFileMultiWriter, RotatesAfterTheWriteThatReachesTheTarget) {
  // Each entry takes 38 + 1 + 10 = 49 bytes.
  struct Case {
    uint64_t target;
    std::vector<size_t> items_per_file;
  };
  const Case cases[] = {
      {1, {1, 1, 1, 1, 1}},
      {98, {2, 2, 1}},   // the second write reaches 98 exactly
      {99, {3, 2}},      // the third passes it
      {BlobFileMultiWriter::kDefaultTargetSize, {5}},
  };
  for (const Case& c : cases) {
    zv::testing::TempDir dir;
    SeqNoCounter ids(1);
    auto w = BlobFileMultiWriter::create(dir.path(), ids, 2, nullptr);
    ASSERT_TRUE(w.ok());
    w->set_target_size(c.target);
    std::vector<ValueHandle> handles;
    for (int i = 0; i < 5; ++i) {
      auto h = w->write(std::string(1, static_cast<char>('a' + i)), 1, std::string(10, 'v'));
      ASSERT_TRUE(h.ok());
      handles.push_back(*h);
    }
    auto files = std::move(*w).finish();
    ASSERT_TRUE(files.ok());
    std::vector<size_t> counts;
    for (const auto& f : *files) counts.push_back(f->meta().item_count);
    EXPECT_EQ(counts, c.items_per_file) << "target " << c.target;
    // Handles point into the file that holds them, offsets restarting at 0.
    size_t n = 0;
    for (size_t f = 0; f < files->size(); ++f) {
      for (size_t i = 0; i < c.items_per_file[f]; ++i, ++n) {
        EXPECT_EQ(handles[n].blob_file_id, (*files)[f]->id()) << "target " << c.target;
        EXPECT_EQ(handles[n].offset, i * 49) << "target " << c.target;
        EXPECT_EQ(handles[n].on_disk_size, 10u);
      }
    }
    // A rotation after the last write leaves an empty file, deleted at finish.
    EXPECT_EQ(zv::fs::list_dir(dir.path())->size(), files->size()) << "target " << c.target;
  }
}

TEST(BlobFileMultiWriter, RecordsKeepTheirHandleOrTheDescriptorCache) {
  for (bool with_cache : {false, true}) {
    zv::testing::TempDir dir;
    auto cache = with_cache ? std::make_shared<FileDescriptorCache>(8) : nullptr;
    auto w = BlobFileMultiWriter::create(dir.path(), SeqNoCounter(3), 7, cache);
    ASSERT_TRUE(w.ok());
    w->set_compression(CompressionType::kLz4);
    ASSERT_TRUE(w->write("k", 1, std::string(1000, 'x')).ok());
    auto files = std::move(*w).finish();
    ASSERT_TRUE(files.ok());
    ASSERT_EQ(files->size(), 1u);
    const BlobFile& f = *(*files)[0];
    EXPECT_EQ(f.id(), 3u);
    EXPECT_EQ(f.tree_id(), 7u);
    EXPECT_EQ(f.meta().compression, CompressionType::kLz4);
    EXPECT_EQ(f.checksum(), Checksum::of(*zv::fs::read_file(f.path())));
    EXPECT_FALSE(f.is_deleted());
    if (with_cache) {
      EXPECT_EQ(f.handle(), nullptr);
      EXPECT_NE(cache->get(7, 3, FileKind::kBlob), nullptr);
    } else {
      EXPECT_NE(f.handle(), nullptr);
    }
  }
}

TEST(BlobFileMultiWriter, FinishSyncsTheFolderAfterTheFilesAreComplete) {
  for (bool sync_fails : {false, true}) {
    SCOPED_TRACE(sync_fails);
    zv::testing::TempDir dir;
    auto w = BlobFileMultiWriter::create(dir.path(), SeqNoCounter(1), 1, nullptr);
    ASSERT_TRUE(w.ok());
    w->set_target_size(1);
    // What the folder holds when it is synced: every file already whole.
    std::vector<std::string> synced;
    std::vector<Checksum> contents;
    w->set_folder_sync([&](const std::string& folder) -> zv::IoStatus {
      synced.push_back(folder);
      const auto names = zv::fs::list_dir(folder);
      for (const auto& name : *names) {
        contents.push_back(Checksum::of(*zv::fs::read_file(zv::fs::join(folder, name))));
      }
      if (sync_fails) return zv::make_unexpected(zv::IoError(zv::IoErrorKind::kOther, "sync failed"));
      return {};
    });
    for (char k : {'a', 'b'}) ASSERT_TRUE(w->write(std::string(1, k), 1, "value").ok());
    auto files = std::move(*w).finish();
    EXPECT_EQ(synced, std::vector<std::string>{dir.path()});
    if (sync_fails) {
      ASSERT_FALSE(files.ok());
      ASSERT_EQ(files.error().kind(), TervikErrorKind::kIo);
      EXPECT_EQ(files.error().io_error().message(), "sync failed");
      continue;
    }
    ASSERT_TRUE(files.ok());
    std::vector<Checksum> returned;
    for (const auto& f : *files) returned.push_back(f->checksum());
    ASSERT_EQ(returned.size(), 2u);
    EXPECT_EQ(contents, returned);
  }
}

TEST(BlobFileMultiWriter, RefusesAnIdWhoseFileExists) {
  zv::testing::TempDir dir;
  ASSERT_TRUE(zv::fs::write_file(blob_file_path(dir.path(), 4), "keep").ok());
  auto w = BlobFileMultiWriter::create(dir.path(), SeqNoCounter(4), 1, nullptr);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().io_error().kind(), zv::IoErrorKind::kAlreadyExists);
  EXPECT_EQ(*zv::fs::read_file(blob_file_path(dir.path(), 4)), "keep");
}

}  // namespace
}  // namespace tervik
