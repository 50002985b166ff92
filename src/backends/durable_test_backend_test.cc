#include "src/backends/testing/durable_test_backend.h"

#include <gtest/gtest.h>

#include "platform/fs.h"
#include "platform/testing/temp_dir.h"
#include "src/backends/testing/backend_contract.h"

namespace zv {
namespace {

using testing::DurableTestBackend;

struct DurableFactory {
  zv::testing::TempDir dir;
  std::shared_ptr<StorageBackend> make() {
    auto b = DurableTestBackend::open(dir.path());
    EXPECT_TRUE(b.ok());
    return b.ok() ? std::shared_ptr<StorageBackend>(b.value()) : nullptr;
  }
};

std::shared_ptr<DurableTestBackend> open_at(const std::string& dir) {
  auto b = DurableTestBackend::open(dir);
  EXPECT_TRUE(b.ok()) << (b.ok() ? "" : b.error().message());
  return b.ok() ? b.value() : nullptr;
}

TEST(DurableTestBackend, KeepsWhatWasFlushedAndLosesTheRest) {
  zv::testing::TempDir dir;
  const std::string hostile_key("\x00\xFF\x00k", 4), hostile_value("\xFF\x00\x00\x01", 4);
  {
    auto b = open_at(dir.path());
    ASSERT_TRUE(b->put(Partition::kDefault, hostile_key, hostile_value).ok());
    ASSERT_TRUE(b->put(Partition::kVersions, "", "").ok());
    ASSERT_TRUE(b->put(Partition::kInternalMetadata, "gone", "x").ok());
    ASSERT_TRUE(b->del(Partition::kInternalMetadata, "gone").ok());
    ASSERT_TRUE(b->flush().ok());
    ASSERT_TRUE(b->put(Partition::kDefault, "after", "lost").ok());
  }
  auto b = open_at(dir.path());
  EXPECT_EQ(b->get(Partition::kDefault, hostile_key).value(), hostile_value);
  EXPECT_EQ(b->get(Partition::kVersions, "").value(), std::string());
  EXPECT_EQ(b->get(Partition::kInternalMetadata, "gone").value(), std::nullopt);
  EXPECT_EQ(b->get(Partition::kDefault, "after").value(), std::nullopt);
  EXPECT_EQ(b->scan_all(Partition::kDefault).value().size(), 1u);
}

TEST(DurableTestBackend, DamagedSnapshotFailsTheOpen) {
  zv::testing::TempDir dir;
  {
    auto b = open_at(dir.path());
    ASSERT_TRUE(b->put(Partition::kDefault, "key", "value").ok());
    ASSERT_TRUE(b->flush().ok());
  }
  const std::string path = fs::join(dir.path(), testing::kDurableSnapshotName);
  std::string bytes = fs::read_file(path).value();
  for (size_t cut : {size_t{0}, size_t{7}, bytes.size() - 1}) {
    ASSERT_TRUE(fs::write_file(path, bytes.substr(0, cut)).ok());
    auto b = DurableTestBackend::open(dir.path());
    ASSERT_FALSE(b.ok()) << cut;
    EXPECT_TRUE(b.error().is(ZolvaErrorKind::kSerialization)) << cut;
  }
  ASSERT_TRUE(fs::write_file(path, bytes + "x").ok());
  EXPECT_FALSE(DurableTestBackend::open(dir.path()).ok());
}

TEST(DurableTestBackend, FactoryTableServesTheMorvaKind) {
  zv::testing::TempDir dir;
  auto table = testing::durable_factory_table();
  auto b = create_backend(table, BackendKind::kMorva, dir.path(), Config{});
  ASSERT_TRUE(b.ok());
  ASSERT_TRUE(b.value()->put(Partition::kDefault, "k", "v").ok());
  ASSERT_TRUE(b.value()->flush().ok());
  EXPECT_TRUE(fs::exists(fs::join(dir.path(), testing::kDurableSnapshotName)));
}

}  // namespace

namespace testing_contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Durable, BackendContractTest, ::zv::DurableFactory);
}  // namespace testing_contract
}  // namespace zv
