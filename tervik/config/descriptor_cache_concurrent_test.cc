#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "tervik/config/descriptor_cache.h"

namespace tervik {
namespace {

// Many threads insert, read and remove over a small key space; every hit must
// be the handle made for that key, and the cache never exceeds its capacity.
TEST(FileDescriptorCacheConcurrentTest, StaysBoundedAndReturnsOwnHandles) {
  constexpr size_t kCapacity = 16;
  constexpr uint64_t kTrees = 3, kFiles = 20;
  FileDescriptorCache cache(kCapacity);
  std::vector<std::shared_ptr<const zv::File>> handles;
  for (size_t i = 0; i < kTrees * kFiles * 2; ++i) handles.push_back(std::make_shared<const zv::File>());
  auto index = [&](uint64_t tree, uint64_t file, FileKind kind) {
    return (tree * kFiles + file) * 2 + static_cast<size_t>(kind);
  };

  std::atomic<int> wrong{0}, oversize{0}, hits{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937_64 rng(t);
      for (int i = 0; i < 20000; ++i) {
        const uint64_t tree = rng() % kTrees, file = rng() % kFiles;
        const FileKind kind = (rng() & 1) ? FileKind::kBlob : FileKind::kTable;
        switch (rng() % 4) {
          case 0:
          case 1:
            cache.insert(tree, file, kind, handles[index(tree, file, kind)]);
            break;
          case 2:
            if (auto h = cache.get(tree, file, kind)) {
              ++hits;
              if (h != handles[index(tree, file, kind)]) ++wrong;
            }
            break;
          default:
            cache.remove(tree, file, kind);
        }
        if (cache.size() > kCapacity) ++oversize;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(oversize.load(), 0);
  EXPECT_GT(hits.load(), 0);
  EXPECT_LE(cache.size(), kCapacity);
}

}  // namespace
}  // namespace tervik
