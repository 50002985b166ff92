#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "src/backends/in_memory_backend.h"
#include "src/backends/testing/backend_contract.h"

namespace zv {
namespace {

struct InMemoryConcurrentFactory {
  std::shared_ptr<StorageBackend> make() { return std::make_shared<InMemoryBackend>(); }
};

// Iterators held open across many batches, read a pair at a time while
// writers rewrite, add and remove keys of the same range (enough keys to span
// several leaves, so writes split and copy nodes the iterators still read):
// each iterator yields the range exactly as one batch left it. Some iterators
// outlive the backend.
TEST(InMemoryBackendConcurrency, HeldIteratorsReadOneSnapshotWhileWritersGoOn) {
  constexpr int kKeys = 400, kRounds = 200, kReaders = 3;
  auto b = std::make_shared<InMemoryBackend>();
  const Partition p = Partition::kTextIndex;
  auto key = [](int i) {
    char k[16];
    std::snprintf(k, sizeof k, "r/%05d", i);
    return std::string(k);
  };
  auto batch = [&](int round) {
    std::vector<BatchOp> ops;
    char value[48];
    std::snprintf(value, sizeof value, "%08d-%.*s", round, round % 37, "padding-that-changes-the-size-of-it");
    // Every key takes the round's value; odd rounds add keys past kKeys,
    // even rounds remove them, so the range grows and shrinks too.
    for (int i = 0; i < kKeys; ++i) ops.push_back(BatchOp::put(p, key(i), value));
    for (int i = kKeys; i < kKeys + 50; ++i)
      ops.push_back(round % 2 ? BatchOp::put(p, key(i), value) : BatchOp::del(p, key(i)));
    return ops;
  };
  ASSERT_TRUE(b->write_batch(batch(0)).ok());
  std::atomic<bool> done{false};
  std::atomic<int> violations{0}, checked{0};
  std::vector<std::unique_ptr<PrefixIter>> survivors(kReaders);
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&, r] {
      while (!done.load()) {
        auto it = b->prefix_iter(p, "r/");
        if (!it.ok()) {
          violations.fetch_add(1);
          continue;
        }
        std::string first_value;
        int n = 0;
        while (auto item = it.value()->next()) {
          if (!item->ok()) {
            violations.fetch_add(1);
            break;
          }
          const KvPair& kv = item->value();
          if (n == 0) first_value = kv.value;
          if (kv.key != key(n) || kv.value != first_value) violations.fetch_add(1);
          ++n;
          if (n % 64 == 0) std::this_thread::yield();
        }
        // Odd rounds hold the extra keys, even rounds do not.
        const int round = std::atoi(first_value.c_str());
        if (n != (round % 2 ? kKeys + 50 : kKeys)) violations.fetch_add(1);
        checked.fetch_add(1);
      }
      // One iterator made now and read only after the backend is gone.
      survivors[r] = std::move(b->prefix_iter(p, "r/")).value();
    });
  }
  std::thread writer([&] {
    for (int round = 1; round <= kRounds; ++round) {
      if (!b->write_batch(batch(round)).ok()) violations.fetch_add(1);
      // Large values just past the range split the leaves beside it.
      if (!b->put(p, "r0" + std::to_string(round % 7), std::string(100 * round, 'x')).ok())
        violations.fetch_add(1);
      if (!b->write_batch(batch(round)).ok()) violations.fetch_add(1);
    }
    done.store(true);
  });
  writer.join();
  for (auto& t : readers) t.join();
  b.reset();
  for (auto& it : survivors) {
    int n = 0;
    while (auto item = it->next()) n += item->ok() ? 1 : 0;
    EXPECT_EQ(n, kRounds % 2 ? kKeys + 50 : kKeys);
  }
  EXPECT_EQ(violations.load(), 0);
  EXPECT_GT(checked.load(), 0);
}

}  // namespace

namespace testing_contract {
INSTANTIATE_TYPED_TEST_SUITE_P(InMemory, BackendConcurrencyTest, ::zv::InMemoryConcurrentFactory);
}  // namespace testing_contract
}  // namespace zv
