#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "src/index/search_view.h"

namespace zv {
namespace {

// One writer keeps switching a slot between two lists of different lengths
// (and, for a while, one too long to hold) while readers copy it: a reader
// sees either list whole, never a mix or a torn length.
TEST(SearchViewsConcurrentTest, ReadersNeverSeeATornList) {
  SearchViews views(8);
  const std::vector<float> values{1, 2};
  const std::vector<uint32_t> a{1, 2, 3, 4, 5, 6, 7, 8}, b{100, 200, 300},
      too_long{9, 9, 9, 9, 9, 9, 9, 9, 9};
  SearchViews::Source src;
  src.has_record = true;
  src.values = values.data();
  src.dim = values.size();
  views.refresh(3, src);
  auto set = [&](const std::vector<uint32_t>& list) {
    views.refresh_list(3, list.data(), static_cast<uint32_t>(list.size()));
  };
  set(a);
  std::atomic<bool> stop{false};
  std::atomic<size_t> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      std::vector<uint32_t> out;
      while (!stop.load()) {
        if (!views.read_list(views.header(3), out)) continue;
        reads.fetch_add(1);
        if (out != a && out != b) torn.fetch_add(1);
      }
    });
  }
  // The writer goes on until the readers have copied the list many times,
  // however late the scheduler starts them (the cap only ends a broken run).
  for (int i = 0; i < 20000 || (reads.load() < 5000 && i < 20'000'000); ++i)
    set(i % 7 == 6 ? too_long : i % 2 ? b : a);
  stop.store(true);
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_GE(reads.load(), 5000u);
}

}  // namespace
}  // namespace zv
