#include "src/backends/in_memory_backend.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "src/backends/backend_factory.h"
#include "src/backends/testing/backend_contract.h"

namespace zv {
namespace {

struct InMemoryFactory {
  std::shared_ptr<StorageBackend> make() { return std::make_shared<InMemoryBackend>(); }
};

}  // namespace

namespace testing_contract {
INSTANTIATE_TYPED_TEST_SUITE_P(InMemory, BackendContractTest, ::zv::InMemoryFactory);
}  // namespace testing_contract

namespace {

TEST(BackendFactoryTest, PartitionNames) {
  const char* names[] = {"default",         "tombstone_storage", "compressed_archive",
                         "tombstones",      "namespace_index",   "payload_index",
                         "text_index",      "sparse_index",      "internal_metadata",
                         "versions"};
  for (uint8_t p = 0; p < kPartitionCount; ++p)
    EXPECT_EQ(partition_name(static_cast<Partition>(p)), names[p]);
}

// Unsorted batches of every size over two partitions against a model: keys
// share a long prefix and differ past the bytes the batch sort compares
// first, or only by trailing zero bytes; one key's writes repeat within a
// batch. Large batches take the tree's merge path, small ones go key by key.
TEST(InMemoryBackendTest, UnsortedBatchesMatchAModel) {
  std::mt19937_64 rng(7);
  InMemoryBackend b;
  std::map<std::string, std::string> model[2];
  const Partition parts[2] = {Partition::kTextIndex, Partition::kPayloadIndex};
  const std::string long_prefix(40, 'p');
  auto key = [&] {
    switch (rng() % 4) {
      case 0: return "k" + std::to_string(rng() % 500);
      case 1: return long_prefix + std::to_string(rng() % 500);
      case 2: return std::string("z\0", 1 + rng() % 2) + std::string(rng() % 3, '\0');
      default: return std::string("\xff", 1) + long_prefix + std::string(rng() % 2, '\0') + "x";
    }
  };
  for (size_t size : {1, 3, 100, 700, 3000, 20}) {
    for (int round = 0; round < 4; ++round) {
      std::vector<BatchOp> ops;
      for (size_t i = 0; i < size; ++i) {
        const size_t m = rng() % 2;
        std::string k = key();
        if (rng() % 3 == 0) {
          ops.push_back(BatchOp::del(parts[m], k));
          model[m].erase(k);
        } else {
          std::string v = std::to_string(rng());
          ops.push_back(BatchOp::put(parts[m], k, v));
          model[m][k] = v;
        }
      }
      ASSERT_TRUE(b.write_batch(std::move(ops)).ok());
      for (size_t m = 0; m < 2; ++m) {
        auto all = b.scan_all(parts[m]);
        ASSERT_TRUE(all.ok());
        std::vector<std::pair<std::string, std::string>> got;
        for (auto& kv : *all) got.emplace_back(kv.key, kv.value);
        ASSERT_EQ(got, (std::vector<std::pair<std::string, std::string>>(model[m].begin(), model[m].end())))
            << "size " << size << " round " << round;
      }
    }
  }
}

}  // namespace
}  // namespace zv
