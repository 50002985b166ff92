#include <gtest/gtest.h>

#include "src/backends/testing/version_history_suite.h"
#include "src/storage/storage_engine.h"

namespace zv::testing {
namespace {

// Version history written through the engine's raw key-value writes.
INSTANTIATE_TEST_SUITE_P(StorageEngine, VersionHistoryTest,
                         ::testing::Values([](std::shared_ptr<StorageBackend> b, bool ro) {
                           Config c;
                           c.backend = BackendKind::kInMemory;
                           c.read_only = ro;
                           EngineParts parts = StorageEngine::memory_mode_parts(c);
                           parts.backend = std::move(b);
                           return std::shared_ptr<KvService>(StorageEngine::assemble(std::move(parts)));
                         }));

}  // namespace
}  // namespace zv::testing
