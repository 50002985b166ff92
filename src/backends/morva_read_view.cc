#include "src/backends/morva_read_view.h"

#include "tervik/blob/resolve_indirection.h"

namespace zv {

tervik::TervikResult<std::string> resolve_value(uint64_t tree_id, const tervik::SuperVersion& sv,
                                                tervik::BlockCache& cache, const tervik::InternalValue& item) {
  if (item.key.value_type != tervik::ValueType::kIndirection) return std::string(item.value.view());
  ZV_ASSIGN_OR_RETURN(auto resolved, tervik::vlog::resolve_indirection(tree_id, sv.version.blob_files(),
                                                                       sv.version.id(), cache, item));
  return std::string(resolved.second.view());
}

tervik::TervikResult<KvPair> resolve_pair(uint64_t tree_id, const tervik::SuperVersion& sv,
                                          tervik::BlockCache& cache, const tervik::InternalValue& item) {
  ZV_ASSIGN_OR_RETURN(std::string value, resolve_value(tree_id, sv, cache, item));
  return KvPair{std::string(item.key.user_key.view()), std::move(value)};
}

}  // namespace zv
