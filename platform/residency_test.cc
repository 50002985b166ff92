#include "platform/residency.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "platform/fs.h"
#include "platform/mmap.h"
#include "platform/sysinfo.h"
#include "platform/testing/temp_dir.h"

namespace zv {
namespace {

TEST(Residency, CountsTouchedPagesOfAnyRangeAcrossCallBoundaries) {
  const size_t ps = residency_page_size();
  EXPECT_TRUE(resident_pages_in_range(nullptr, 100).known);
  EXPECT_EQ(resident_pages_in_range(&ps, 0).pages, 0u);
  // More pages than one query call covers; touch every other one.
  const size_t pages = kResidencyPagesPerCall + 10;
  void* p = ::mmap(nullptr, pages * ps, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(p, MAP_FAILED);
  auto* bytes = static_cast<uint8_t*>(p);
  EXPECT_EQ(resident_pages_in_range(bytes, pages * ps).pages, 0u);
  size_t touched = 0;
  for (size_t i = 0; i < pages; i += 2, ++touched) bytes[i * ps] = 1;
  Residency r = resident_pages_in_range(bytes, pages * ps);
  EXPECT_TRUE(r.known);
  EXPECT_EQ(r.pages, touched);
  // A range starting mid-page counts the pages it touches: 0 and 1 -> page 0
  // only of the pair (page 1 untouched), and page 2.
  EXPECT_EQ(resident_pages_in_range(bytes + 5, 2 * ps).pages, 2u);
  ::munmap(p, pages * ps);
  EXPECT_FALSE(resident_pages_in_range(bytes, ps).known);  // unmapped now
}

TEST(Residency, MappedFileGoesThroughTheSameQuery) {
  testing::TempDir dir;
  const std::string path = fs::join(dir.path(), "f");
  ASSERT_TRUE(fs::write_file(path, std::string(3 * MemoryMap::page_size(), 'x')).ok());
  auto file = File::open_read(path);
  ASSERT_TRUE(file.ok());
  auto map = MemoryMap::map_file(*file, false);
  ASSERT_TRUE(map.ok());
  volatile uint8_t sink = map->data()[0];
  (void)sink;
  auto n = map->resident_pages(0, map->size());
  ASSERT_TRUE(n.ok());
  EXPECT_GE(*n, 1u);
  EXPECT_LE(*n, 3u);
}

TEST(Residency, CommittedBytesCoverTheWorkingSet) {
  auto committed = process_committed_bytes();
  auto resident = process_working_set_bytes();
  ASSERT_TRUE(committed.ok());
  ASSERT_TRUE(resident.ok());
  EXPECT_GE(*committed, *resident);
}

}  // namespace
}  // namespace zv
