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

TEST(BackendFactoryTest, EntriesAndErrors) {
  const BackendFactoryTable table = factory_registry();
  EXPECT_EQ(table.size(), 3u);
  const Config config;

  auto mem = create_backend(table, BackendKind::kInMemory, "/nonexistent/dir", config);
  ASSERT_TRUE(mem.ok());
  EXPECT_EQ(mem.value()->limit_hint(), 131072u);
  ASSERT_TRUE(mem.value()->put(Partition::kDefault, "k", "v").ok());
  // Each construction is a fresh, empty store.
  auto other = create_backend(table, BackendKind::kInMemory, "", config);
  EXPECT_FALSE(other.value()->get(Partition::kDefault, "k").value().has_value());

  struct Case {
    BackendKind kind;
    const char* message;
  } cases[] = {
      {BackendKind::kRocksDb,
       "Validation error on backend_feature: RocksDB backend requires the 'rocksdb' feature"},
      {BackendKind::kMorva,
       "Unsupported operation: open backend 'morva' \xE2\x80\x94 the key-value engine backend is "
       "not available in this build"},
  };
  for (const Case& c : cases) {
    auto r = create_backend(table, c.kind, "/tmp/x", config);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.message);
  }
  BackendFactoryTable partial = table;
  partial.erase(BackendKind::kMorva);
  auto missing = create_backend(partial, BackendKind::kMorva, "", config);
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(),
            "Validation error on backend_kind: no factory registered for backend 'morva'");
}

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
