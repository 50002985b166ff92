// Feeds arbitrary bytes to the node-metadata and log-record decoders. Neither
// may crash or over-allocate; whatever decodes must re-encode into bytes that
// decode again to the same encoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "src/record/node_codec.h"
#include "src/record/wal_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    auto m = zv::decode_node_metadata(in);
    if (!m.ok()) return 0;
    const std::string once = zv::encode_node_metadata(m.value());
    auto again = zv::decode_node_metadata(once);
    if (!again.ok() || zv::encode_node_metadata(again.value()) != once) std::abort();
  } else {
    auto r = zv::decode_wal_record(in);
    if (!r.ok()) return 0;
    const std::string once = zv::encode_wal_record(r.value());
    auto again = zv::decode_wal_record(once);
    if (!again.ok() || again.value().index() != r.value().index()) std::abort();
    // Records without hash maps re-encode to the same bytes.
    if (r.value().index() > 1 && zv::encode_wal_record(again.value()) != once) std::abort();
  }
  return 0;
}
