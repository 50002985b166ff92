#include "tervik/blob/blob_file.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/testing/temp_dir.h"
#include "tervik/blob/testing/blob_files.h"

namespace tervik {
namespace {

TEST(BlobFileRelease, OnlyTheLastHolderOfADeletedFileRemovesIt) {
  for (bool with_cache : {false, true}) {
    zv::testing::TempDir dir;
    auto cache = with_cache ? std::make_shared<FileDescriptorCache>(8) : nullptr;
    std::vector<testing::BlobValue> values = {{"k", "v"}};
    auto first = testing::write_blob_file(dir.path(), 5, 2, &values, CompressionType::kNone, cache);
    auto second = first;
    const std::string path = first->path();
    first->mark_deleted();
    first.reset();
    EXPECT_TRUE(zv::fs::exists(path)) << "a holder remains";
    if (with_cache) {
      EXPECT_NE(cache->get(2, 5, FileKind::kBlob), nullptr);
    }
    second.reset();
    EXPECT_FALSE(zv::fs::exists(path));
    if (with_cache) {
      EXPECT_EQ(cache->get(2, 5, FileKind::kBlob), nullptr);
    }
  }
}

TEST(BlobFileRelease, UnmarkedFileStaysAndAFailedDeletionOnlyWarns) {
  zv::testing::TempDir dir;
  std::vector<testing::BlobValue> values = {{"k", "v"}};
  auto kept = testing::write_blob_file(dir.path(), 1, 1, &values);
  const std::string kept_path = kept->path();
  kept.reset();
  EXPECT_TRUE(zv::fs::exists(kept_path));

  auto gone = testing::write_blob_file(dir.path(), 2, 1, &values);
  ASSERT_TRUE(zv::fs::remove_file(gone->path()).ok());  // someone removed it first
  gone->mark_deleted();
  zv::log::CaptureSink sink(zv::log::Level::kWarn);
  gone.reset();
  EXPECT_TRUE(sink.contains("Failed to cleanup deleted blob file 2 at "));
}

}  // namespace
}  // namespace tervik
