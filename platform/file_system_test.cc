#include "platform/file_system.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/testing/faulty_file_system.h"
#include "platform/testing/temp_dir.h"

namespace zv {
namespace {

using testing::FaultOp;
using testing::FaultyFileSystem;

TEST(FileSystem, DurableReplaceKeepsTheOldContentWhenAStepFails) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "count");
  FaultyFileSystem faulty;
  ASSERT_TRUE(replace_file_durably(faulty, path, "3").ok());
  // Every step of a replacement that fails leaves the previous content.
  for (FaultOp op : {FaultOp::kOpen, FaultOp::kWrite, FaultOp::kSync, FaultOp::kRename}) {
    faulty.fail_nth(op, 1);
    EXPECT_FALSE(replace_file_durably(faulty, path, "12345").ok()) << static_cast<int>(op);
    faulty.clear();
    auto text = read_whole_file(faulty, path);
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text, "3") << static_cast<int>(op);
  }
  ASSERT_TRUE(replace_file_durably(faulty, path, "12345").ok());
  EXPECT_EQ(*read_whole_file(FileSystem::os(), path), "12345");
  EXPECT_FALSE(read_whole_file(faulty, path + ".missing").ok());
}

TEST(FaultyFileSystem, FailsExactlyTheArmedCallsAndWritesHalfOnAFailedWrite) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "f");
  FaultyFileSystem faulty;
  auto file = faulty.open(path, FsOpenMode::kCreateNew);
  ASSERT_TRUE(file.ok());
  EXPECT_FALSE(faulty.open(path, FsOpenMode::kCreateNew).ok());  // exists
  faulty.fail_nth(FaultOp::kWrite, 2, 2);
  std::vector<bool> ok;
  for (int i = 0; i < 4; ++i) ok.push_back((*file)->write_at("abcd", 4, 4 * i).ok());
  EXPECT_EQ(ok, (std::vector<bool>{true, false, false, true}));
  EXPECT_EQ(faulty.failures(), 2u);
  // The failed writes left their first halves: "ab" at 4 and at 8.
  std::string got(16, '\0');
  ASSERT_TRUE(read_exact_at(**file, got.data(), 16, 0).ok());
  EXPECT_EQ(got, std::string("abcdab\0\0ab\0\0abcd", 16));
  faulty.fail_nth(FaultOp::kRename, 1);
  EXPECT_FALSE(faulty.rename(path, path + ".2").ok());
  EXPECT_TRUE(faulty.exists(path));
  EXPECT_TRUE(faulty.rename(path, path + ".2").ok());
  EXPECT_FALSE(faulty.exists(path));
}

TEST(FaultyFileSystem, ReadWriteOpensOnlyExistingFilesAndFullSyncsAreCountedApart) {
  zv::testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "f");
  FaultyFileSystem faulty;
  auto missing = faulty.open(path, FsOpenMode::kReadWrite);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), IoErrorKind::kNotFound);
  EXPECT_FALSE(fs::exists(path));
  ASSERT_TRUE(faulty.open(path, FsOpenMode::kCreateNew).ok());
  auto file = faulty.open(path, FsOpenMode::kReadWrite);
  ASSERT_TRUE(file.ok());
  ASSERT_TRUE((*file)->sync_all().ok());
  EXPECT_EQ(faulty.calls(FaultOp::kSyncAll), 1u);
  EXPECT_EQ(faulty.calls(FaultOp::kSync), 0u);
  // An armed failure may carry a kind of its own.
  faulty.fail_nth(FaultOp::kRead, 1, 1, IoErrorKind::kPermissionDenied);
  char c;
  auto read = (*file)->read_at(&c, 1, 0);
  ASSERT_FALSE(read.ok());
  EXPECT_EQ(read.error().kind(), IoErrorKind::kPermissionDenied);
  faulty.fail_nth(FaultOp::kSyncAll, 1);
  auto sync = (*file)->sync_all();
  ASSERT_FALSE(sync.ok());
  EXPECT_EQ(sync.error().os_code(), 5);
}

}  // namespace
}  // namespace zv
