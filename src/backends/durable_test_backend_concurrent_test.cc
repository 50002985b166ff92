#include <gtest/gtest.h>

#include "platform/testing/temp_dir.h"
#include "src/backends/testing/backend_contract.h"
#include "src/backends/testing/durable_test_backend.h"

namespace zv {
namespace {

struct DurableConcurrentFactory {
  zv::testing::TempDir dir;
  std::shared_ptr<StorageBackend> make() {
    auto b = zv::testing::DurableTestBackend::open(dir.path());
    EXPECT_TRUE(b.ok());
    return b.ok() ? std::shared_ptr<StorageBackend>(b.value()) : nullptr;
  }
};

}  // namespace

namespace testing_contract {
INSTANTIATE_TYPED_TEST_SUITE_P(Durable, BackendConcurrencyTest, ::zv::DurableConcurrentFactory);
}  // namespace testing_contract
}  // namespace zv
