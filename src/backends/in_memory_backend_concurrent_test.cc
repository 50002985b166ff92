#include <gtest/gtest.h>

#include "src/backends/in_memory_backend.h"
#include "src/backends/testing/backend_contract.h"

namespace zv {
namespace {

struct InMemoryConcurrentFactory {
  std::shared_ptr<StorageBackend> make() { return std::make_shared<InMemoryBackend>(); }
};

}  // namespace

namespace testing_contract {
INSTANTIATE_TYPED_TEST_SUITE_P(InMemory, BackendConcurrencyTest, ::zv::InMemoryConcurrentFactory);
}  // namespace testing_contract
}  // namespace zv
