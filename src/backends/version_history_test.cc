#include <gtest/gtest.h>

#include "src/backends/backend_kv_service.h"
#include "src/backends/testing/version_history_suite.h"

namespace zv::testing {
namespace {

INSTANTIATE_TEST_SUITE_P(BackendKvService, VersionHistoryTest,
                         ::testing::Values([](std::shared_ptr<StorageBackend> b, bool ro) {
                           return std::shared_ptr<KvService>(
                               std::make_shared<BackendKvService>(std::move(b), ro));
                         }));

}  // namespace
}  // namespace zv::testing
