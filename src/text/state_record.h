// Reading an index state record from the internal metadata partition: none
// when it is absent, else T::decode of its bytes. Shared by the text, derived
// and sparse index states. Thread-safe as the backend is.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "src/backends/storage_backend.h"
#include "src/foundation/error.h"

namespace zv::text {

template <class T>
ZolvaResult<std::optional<T>> read_state_record(StorageBackend& backend, std::string_view key) {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> bytes,
                      backend.get(Partition::kInternalMetadata, key));
  if (!bytes) return std::optional<T>();
  ZV_ASSIGN_OR_RETURN(T state, T::decode(*bytes));
  return std::optional<T>(std::move(state));
}

}  // namespace zv::text
