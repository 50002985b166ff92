// Feeds arbitrary bytes to the filter-bitset decoder: it must never read past
// the input or allocate from an unchecked count, and whatever it accepts must
// encode back to exactly the bytes it used.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/panic.h"
#include "src/runtime/filter_bitset.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto r = zv::FilterBitset::decode({data, size});
  if (!r.ok()) return 0;
  std::string again = r->bitset.encode();
  ZV_CHECK(again.size() == r->bytes_used && r->bytes_used <= size, "bitset decode used a wrong length");
  ZV_CHECK(std::memcmp(again.data(), data, again.size()) == 0, "bitset did not encode back to its bytes");
  // The filter test must accept any pair of words without reading past them.
  (void)zv::FilterBitset::matches(r->bitset, zv::FilterBitset::unfiltered());
  (void)zv::FilterBitset::matches(zv::FilterBitset(), r->bitset);
  return 0;
}
