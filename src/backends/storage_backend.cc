#include "src/backends/storage_backend.h"

namespace zv {

ZolvaResult<std::vector<KvPair>> StorageBackend::scan_prefix(Partition p,
                                                             std::string_view prefix) {
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> it, prefix_iter(p, prefix));
  std::vector<KvPair> out;
  while (std::optional<ZolvaResult<KvPair>> item = it->next()) {
    if (!item->ok()) return make_unexpected(std::move(*item).error());
    out.push_back(std::move(*item).value());
  }
  return out;
}

}  // namespace zv
