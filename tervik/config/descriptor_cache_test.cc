#include "tervik/config/descriptor_cache.h"

#include <gtest/gtest.h>

namespace tervik {
namespace {

std::shared_ptr<const zv::File> handle() { return std::make_shared<const zv::File>(); }

TEST(FileDescriptorCacheTest, KeysByTreeFileAndKind) {
  FileDescriptorCache cache(8);
  auto table = handle(), blob = handle(), other_tree = handle();
  cache.insert(1, 7, FileKind::kTable, table);
  cache.insert(1, 7, FileKind::kBlob, blob);
  cache.insert(2, 7, FileKind::kTable, other_tree);
  EXPECT_EQ(cache.get(1, 7, FileKind::kTable), table);
  EXPECT_EQ(cache.get(1, 7, FileKind::kBlob), blob);
  EXPECT_EQ(cache.get(2, 7, FileKind::kTable), other_tree);
  EXPECT_EQ(cache.get(1, 8, FileKind::kTable), nullptr);

  cache.remove(1, 7, FileKind::kTable);
  EXPECT_EQ(cache.get(1, 7, FileKind::kTable), nullptr);
  EXPECT_EQ(cache.get(1, 7, FileKind::kBlob), blob);

  auto replacement = handle();
  cache.insert(1, 7, FileKind::kBlob, replacement);
  EXPECT_EQ(cache.get(1, 7, FileKind::kBlob), replacement);
  EXPECT_EQ(cache.size(), 2u);
}

TEST(FileDescriptorCacheTest, KeepsAtMostCapacityEvictingLeastRecentlyUsed) {
  FileDescriptorCache cache(2);
  auto a = handle(), b = handle(), c = handle();
  cache.insert(0, 1, FileKind::kTable, a);
  cache.insert(0, 2, FileKind::kTable, b);
  ASSERT_EQ(cache.get(0, 1, FileKind::kTable), a);  // 2 is now the oldest
  cache.insert(0, 3, FileKind::kTable, c);
  EXPECT_EQ(cache.size(), 2u);
  EXPECT_EQ(cache.get(0, 2, FileKind::kTable), nullptr);
  EXPECT_EQ(cache.get(0, 1, FileKind::kTable), a);
  EXPECT_EQ(cache.get(0, 3, FileKind::kTable), c);
  // An evicted handle stays valid for its holder.
  EXPECT_EQ(b.use_count(), 1);

  FileDescriptorCache none(0);
  none.insert(0, 1, FileKind::kTable, a);
  EXPECT_EQ(none.get(0, 1, FileKind::kTable), nullptr);
  EXPECT_EQ(none.size(), 0u);
}

}  // namespace
}  // namespace tervik
