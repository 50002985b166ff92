#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/testing/temp_dir.h"
#include "tervik/blob/resolve_indirection.h"
#include "tervik/blob/testing/blob_files.h"

namespace tervik::vlog {
namespace {

// Eight readers resolve the same hot values and their own values through one
// block cache too small for all of them and one descriptor cache of two
// handles for three files, so misses, evictions, handle opens and
// replacements race.
TEST(ResolveIndirectionConcurrent, EightThreadsThroughSharedCaches) {
  zv::testing::TempDir dir;
  auto fd_cache = std::make_shared<FileDescriptorCache>(2);
  auto cache = BlockCache::with_shards(64 * 1024, 4);
  BlobFileMap files;
  std::vector<testing::BlobValue> values;
  for (uint64_t id = 1; id <= 3; ++id) {
    std::vector<testing::BlobValue> file_values;
    for (int i = 0; i < 40; ++i) {
      std::string key = "f" + std::to_string(id) + "k" + std::to_string(i);
      file_values.emplace_back(key, std::string(500 + 37 * i, static_cast<char>('a' + i % 26)) + key);
    }
    const auto compression = id == 2 ? CompressionType::kLz4 : CompressionType::kNone;
    files[id] = testing::write_blob_file(dir.path(), id, 1, &file_values, compression,
                                         id == 3 ? nullptr : fd_cache);
    values.insert(values.end(), file_values.begin(), file_values.end());
  }
  fd_cache->remove(1, 1, FileKind::kBlob);

  constexpr int kThreads = 8;
  std::vector<int> bad(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 30; ++round) {
        for (size_t i = 0; i < values.size(); ++i) {
          // Hot values every thread reads, and a share of its own.
          if (i % 10 != 0 && i % kThreads != static_cast<size_t>(t)) continue;
          const auto& v = values[i];
          auto r = resolve_indirection(1, files, 7, *cache, testing::indirection_item(v));
          if (!r.ok() || r->second.view() != v.value) ++bad[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
  EXPECT_LE(fd_cache->size(), 2u);
}

}  // namespace
}  // namespace tervik::vlog
