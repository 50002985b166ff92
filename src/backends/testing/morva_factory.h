// Opening MorvaBackend in test folders: a helper that fails the test on an
// error, and the factory type of the contract suites (a fresh temporary
// folder per fixture, opened again by reopen()). Test-only.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/testing/temp_dir.h"
#include "src/backends/morva_backend.h"

namespace zv::testing {

inline std::shared_ptr<MorvaBackend> open_morva(const std::string& dir) {
  auto b = MorvaBackend::open(dir, Config{});
  EXPECT_TRUE(b.ok()) << (b.ok() ? "" : b.error().message());
  return b.ok() ? std::move(b).value() : nullptr;
}

struct MorvaFactory {
  static constexpr size_t kMinKeyLength = 1;
  static constexpr size_t kMaxKeyLength = 65'535;
  TempDir dir;
  std::shared_ptr<StorageBackend> make() { return open_morva(dir.path()); }
  std::shared_ptr<StorageBackend> reopen() { return make(); }
};

}  // namespace zv::testing
