#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/index/index_file.h"
#include "src/index/index_persistence.h"
#include "src/index/testing/index_fixture.h"
#include "src/index/testing/vector_data.h"

namespace zv {
namespace {

TEST(IndexPersistenceConcurrentTest, RemapWhileSearchesRunOnTheOldMapping) {
  testing::TempDir dir;
  const std::string path = fs::join(dir.path(), kIndexFileName);
  constexpr size_t kDim = 8, kNodes = 600;
  auto built = testing::make_index(testing::euclidean_config());
  const auto data = testing::gaussian_vectors(kNodes, kDim, 3);
  for (size_t i = 0; i < kNodes; ++i)
    ASSERT_TRUE(built->add(NodeId{i + 1}, {}, VectorRepr::f32(std::vector<float>(
                                                   data.begin() + i * kDim,
                                                   data.begin() + (i + 1) * kDim)), i)
                    .ok());
  ASSERT_TRUE(built->persist(path).ok());
  // The engine's slot: replaced atomically, each reader keeps what it took.
  std::shared_ptr<const VectorIndexPort> slot(load_vector_index(path, true));
  ASSERT_NE(slot, nullptr);
  const auto want = slot->search_nearest(std::span<const float>(data.data(), kDim), std::nullopt,
                                         std::nullopt, FilterBitset::unfiltered(), 5, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> searches{0}, wrong{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        std::shared_ptr<const VectorIndexPort> held = std::atomic_load(&slot);
        auto got = held->search_nearest(std::span<const float>(data.data(), kDim), std::nullopt,
                                        std::nullopt, FilterBitset::unfiltered(), 5, nullptr);
        wrong += got != want;
        ++searches;
      }
    });
  }
  for (int i = 0; i < 10; ++i) {
    // Each mapping serves a few searches first, however the threads are
    // scheduled, so that every remap meets readers of the old one.
    const uint64_t want = searches.load() + 5;
    while (searches.load() < want) std::this_thread::yield();
    std::shared_ptr<const VectorIndexPort> held = std::atomic_load(&slot);
    auto fresh = held->persist_and_remap(path);
    EXPECT_TRUE(fresh.ok()) << fresh.error().message();
    if (!fresh.ok()) break;  // the readers are stopped below
    std::shared_ptr<const VectorIndexPort> next(std::move(*fresh));
    std::atomic_store(&slot, next);
  }
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(searches.load(), 0u);
  EXPECT_EQ(wrong.load(), 0u);
  EXPECT_FALSE(fs::exists(temp_index_path(path)));
}

}  // namespace
}  // namespace zv
