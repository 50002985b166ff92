// Feeds arbitrary bytes to the index-file reader: it must never crash, read
// out of bounds or allocate from an unchecked count. Whatever loads must
// survive an insert and searches of every kind, and must write back to a file
// that loads again with the same nodes.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/panic.h"
#include "src/index/index_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto loaded = zv::deserialize_index(std::span<const uint8_t>(data, size));
  if (!loaded.ok()) return 0;
  zv::HnswIndex& index = **loaded;
  // Queries of the entry point's length when it has one, so that the graph
  // is walked, and of a fixed small length otherwise.
  std::vector<float> q(4, 0.5f);
  if (auto ep = index.entry_point()) {
    if (auto v = index.vector(*ep)) {
      if (auto f = v->to_f32_vec(); f && !f->empty() && f->size() <= 4096) q = *f;
    }
  }
  for (float& x : q) x += 0.25f;
  (void)index.add(zv::kMaxNodeId - 1, zv::FilterBitset({1}), zv::VectorRepr::f32(q), 7);
  const zv::FilterBitset& all = zv::FilterBitset::unfiltered();
  (void)index.search_nearest(q, std::nullopt, std::nullopt, all, 5, nullptr);
  for (uint8_t method : {0, 1, 2, 4})
    (void)index.search_by_method(method, q, zv::FilterBitset({1}), 5, index.metric());

  auto image = zv::serialize_index(index);
  if (!image.ok()) return 0;
  auto again = zv::deserialize_index(std::span<const uint8_t>(
      reinterpret_cast<const uint8_t*>(image->data()), image->size()));
  ZV_CHECK(again.ok(), "a written index file does not load");
  ZV_CHECK((*again)->len() == index.len(), "a written index file lost nodes");
  return 0;
}
