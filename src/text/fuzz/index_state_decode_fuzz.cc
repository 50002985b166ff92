// Feeds arbitrary bytes to the derived and sparse index state decoders and
// the sparse posting decoder. None may crash; whatever decodes must encode to
// bytes that decode to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "src/text/derived_index.h"
#include "src/text/sparse_index.h"

using namespace zv::text;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0: {
      auto s = DerivedIndexState::decode(in);
      if (s.ok() && !(*DerivedIndexState::decode(s->encode()) == *s)) std::abort();
      break;
    }
    case 1: {
      auto s = SparseIndexState::decode(in);
      if (s.ok() && !(*SparseIndexState::decode(s->encode()) == *s)) std::abort();
      break;
    }
    default: {
      auto p = decode_sparse_posting(in);
      if (!p.ok()) return 0;
      auto again = decode_sparse_posting(encode_sparse_posting(p->node_id, p->weight));
      // A NaN weight compares unequal to itself; compare its bits through the encoding.
      if (!again.ok() || encode_sparse_posting(again->node_id, again->weight) !=
                             encode_sparse_posting(p->node_id, p->weight)) {
        std::abort();
      }
      break;
    }
  }
  return 0;
}
