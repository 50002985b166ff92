#include "src/backends/backend_kv_service.h"

namespace zv {

ZolvaError read_only_error() {
  return ZolvaError::validation(std::string(kReadOnlyField), std::string(kReadOnlyReason));
}

ZolvaStatus BackendKvService::kv_put(Partition p, std::string_view key, std::string_view value) {
  if (read_only_) return make_unexpected(read_only_error());
  return backend_->put(p, key, value);
}

ZolvaStatus BackendKvService::kv_write_batch(std::vector<BatchOp> ops) {
  if (read_only_) return make_unexpected(read_only_error());
  return backend_->write_batch(std::move(ops));
}

}  // namespace zv
