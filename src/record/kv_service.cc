#include "src/record/kv_service.h"

namespace zv {

std::string_view partition_name(Partition p) {
  static constexpr std::string_view kNames[kPartitionCount] = {
      "default",       "tombstone_storage", "compressed_archive", "tombstones",
      "namespace_index", "payload_index",   "text_index",         "sparse_index",
      "internal_metadata", "versions"};
  const auto i = static_cast<uint8_t>(p);
  return i < kPartitionCount ? kNames[i] : std::string_view("unknown");
}

}  // namespace zv
