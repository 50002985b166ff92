#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <random>
#include <thread>

#include "morva/src/testing/test_db.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/morva_backend.h"
#include "src/backends/testing/backend_contract.h"
#include "src/backends/testing/morva_factory.h"

namespace zv {
namespace testing_contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Morva, BackendConcurrencyTest, ::zv::testing::MorvaFactory);
}  // namespace testing_contract

namespace {

constexpr int kPairs = 64;

std::string pair_key(int i, char side) {
  char k[24];
  std::snprintf(k, sizeof k, "pair/%03d/%c", i, side);
  return k;
}

// Writers never pause: each batch gives both keys of a few pairs one fresh
// value (padded, so that the small memtables keep the workers sealing,
// flushing, compacting and collecting versions). Readers read the pairs by
// prefix iterator (stepped slowly, so maintenance runs under it), by full
// scan and by multi_get of both keys, and must never see the two keys of a
// pair differ or a key missing.
TEST(MorvaBackendConcurrency, ReadersSeeWholeBatchesWhileMaintenanceRuns) {
  zv::testing::TempDir dir;
  morva::DatabaseConfig config = morva::testing::small_config(dir.path(), 2);
  morva::testing::with_memtable_limit(config, 16 << 10);
  auto opened = MorvaBackend::open_with(std::move(config));
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  std::shared_ptr<MorvaBackend> b = std::move(opened).value();
  const Partition p = Partition::kPayloadIndex;
  const std::string padding(150, 'x');

  std::vector<BatchOp> first;
  for (int i = 0; i < kPairs; ++i) {
    first.push_back(BatchOp::put(p, pair_key(i, 'a'), "init" + padding));
    first.push_back(BatchOp::put(p, pair_key(i, 'b'), "init" + padding));
  }
  ASSERT_TRUE(b->write_batch(std::move(first)).ok());

  constexpr int kWriters = 2, kBatches = 600;
  std::atomic<int> writers_left{kWriters};
  std::atomic<int> violations{0}, errors{0}, reads{0};
  std::mutex first_mu;
  std::string first_violation;
  auto violation = [&](const std::string& what) {
    violations.fetch_add(1);
    std::lock_guard<std::mutex> lock(first_mu);
    if (first_violation.empty()) first_violation = what;
  };
  auto check_pairs = [&](const char* reader, const std::vector<KvPair>& got) {
    if (got.size() != 2 * kPairs) {
      violation(std::string(reader) + ": " + std::to_string(got.size()) + " keys");
      return;
    }
    for (size_t i = 0; i + 1 < got.size(); i += 2) {
      if (got[i].key != pair_key(int(i / 2), 'a') || got[i + 1].key != pair_key(int(i / 2), 'b') ||
          got[i].value != got[i + 1].value)
        violation(std::string(reader) + ": " + got[i].key + "=" + got[i].value.substr(0, 12) + " " + got[i + 1].key +
                  "=" + got[i + 1].value.substr(0, 12));
    }
    reads.fetch_add(1);
  };

  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      std::mt19937 rng(w + 1);
      for (int n = 0; n < kBatches; ++n) {
        const std::string value = "w" + std::to_string(w) + ":" + std::to_string(n) + padding;
        std::vector<BatchOp> ops;
        for (int k = 0; k < 4; ++k) {
          const int i = int(rng() % kPairs);
          ops.push_back(BatchOp::put(p, pair_key(i, 'a'), value));
          ops.push_back(BatchOp::put(Partition::kDefault, pair_key(i, 'z'), value));  // another keyspace
          ops.push_back(BatchOp::put(p, pair_key(i, 'b'), value));
        }
        if (!b->write_batch(std::move(ops)).ok()) errors.fetch_add(1);
      }
      writers_left.fetch_sub(1);
    });
  }
  threads.emplace_back([&] {  // prefix iterators, stepped slowly
    do {
      auto it = b->prefix_iter(p, "pair/");
      if (!it.ok()) {
        errors.fetch_add(1);
        continue;
      }
      std::vector<KvPair> got;
      while (auto item = it.value()->next()) {
        if (!item->ok()) {
          errors.fetch_add(1);
          break;
        }
        got.push_back(std::move(*item).value());
        if (got.size() % 16 == 0) std::this_thread::yield();
      }
      check_pairs("prefix_iter", got);
    } while (writers_left.load() > 0);
  });
  threads.emplace_back([&] {  // full scans
    do {
      auto all = b->scan_all(p);
      if (!all.ok()) {
        errors.fetch_add(1);
        continue;
      }
      check_pairs("scan_all", all.value());
    } while (writers_left.load() > 0);
  });
  threads.emplace_back([&] {  // both keys of one pair at once
    std::mt19937 rng(99);
    do {
      const int i = int(rng() % kPairs);
      auto got = b->multi_get(p, std::vector<std::string>{pair_key(i, 'a'), pair_key(i, 'b')});
      if (!got.ok()) {
        errors.fetch_add(1);
        continue;
      }
      if (got->size() != 2 || (*got)[0].value != (*got)[1].value) {
        violation("multi_get: " + std::to_string(got->size()) + " pairs" +
                  (got->size() == 2 ? " " + (*got)[0].value.substr(0, 12) + " " + (*got)[1].value.substr(0, 12) : ""));
      }
      reads.fetch_add(1);
    } while (writers_left.load() > 0);
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(violations.load(), 0) << "first: " << first_violation;
  EXPECT_GT(reads.load(), 3);
  check_pairs("final scan", b->scan_all(p).value());
}

}  // namespace
}  // namespace zv
