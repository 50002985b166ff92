#include "src/backends/in_memory_backend.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace zv
