// Feeds arbitrary bytes to the blob indirection decoder: it must never read
// past the input, a failure consumes the input, and whatever it accepts must
// survive an encode and decode round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tervik/core/blob_indirection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string_view rest = input;
  auto decoded = tervik::BlobIndirection::decode(&rest);
  if (!decoded.ok()) {
    if (!rest.empty()) std::abort();  // a failure consumes the input
    return 0;
  }
  const size_t consumed = input.size() - rest.size();
  std::string again = decoded->encode();
  // Non-minimal encodings may be accepted, so compare values, not bytes.
  std::string_view view = again;
  auto round = tervik::BlobIndirection::decode(&view);
  if (!round.ok() || !(*round == *decoded) || !view.empty()) std::abort();
  if (consumed > size || again.size() > consumed) std::abort();
  return 0;
}
