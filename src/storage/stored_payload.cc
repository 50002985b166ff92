#include "src/storage/stored_payload.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "platform/coding.h"

namespace zv {

using namespace ::zv::coding;

bool payload_readable(std::span<const uint8_t> bytes, const NodeRecordHeader& h) {
  const uint64_t size = h.payload_bytes();
  const uint64_t off = h.vector_offset;
  if (off > bytes.size() || size > bytes.size() - off) return false;
  switch (h.kind()) {
    case 2: return off % 8 == 0;
    case 4: return std::isfinite(get_f32_le(bytes.data() + off + h.vector_len));
    default: return true;
  }
}

VectorRepr copy_payload(std::span<const uint8_t> bytes, const NodeRecordHeader& h) {
  const uint64_t n = h.vector_len;
  const uint8_t* p = bytes.data() + h.vector_offset;
  switch (h.kind()) {
    case 0:
    case 1: {
      std::vector<float> v(n);
      if (n) std::memcpy(v.data(), p, 4 * n);
      return VectorRepr::f32(std::move(v));
    }
    case 2: {
      std::vector<uint64_t> w(n);
      if (n) std::memcpy(w.data(), p, 8 * n);
      return VectorRepr::binary(std::move(w));
    }
    case 3: return VectorRepr::turbo(std::vector<uint8_t>(p, p + n));
    case 4: {
      std::vector<int8_t> codes(n);
      if (n) std::memcpy(codes.data(), p, n);
      return VectorRepr::sq8(get_f32_le(p + n), std::move(codes));
    }
    default: return VectorRepr::none();
  }
}

}  // namespace zv
