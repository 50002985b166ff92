#include "src/vector/mapped_vector.h"

namespace zv {

std::optional<MappedVector> MappedVector::in_map(
    std::shared_ptr<const MemoryMap> map, size_t offset, size_t len) {
  if (!map || offset > map->size() || len > map->size() - offset) return std::nullopt;
  const unsigned char* start = map->data() + offset;
  return MappedVector(std::shared_ptr<const void>(std::move(map)), start, len);
}

}  // namespace zv
