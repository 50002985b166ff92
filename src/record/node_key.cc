#include "src/record/node_key.h"

#include <cstring>

#include "platform/checksum.h"
#include "platform/coding.h"

namespace zv {

NodeId record_node_id(std::string_view ns, std::string_view key) {
  // Valid namespaces and keys fit a small buffer: hash it in one call.
  char buf[1024];
  if (ns.size() + key.size() < sizeof buf) {
    std::memcpy(buf, ns.data(), ns.size());
    buf[ns.size()] = '\0';
    std::memcpy(buf + ns.size() + 1, key.data(), key.size());
    const Hash128 d = xxh3_128(buf, ns.size() + 1 + key.size());
    return make_node_id(d.high, d.low);
  }
  Xxh3Hasher128 h;
  h.update(ns);
  const char zero = '\0';
  h.update(&zero, 1);
  h.update(key);
  const Hash128 d = h.digest();
  return make_node_id(d.high, d.low);
}

std::string node_key(NodeId id) {
  std::string out;
  out.reserve(kNodeKeyLen);
  coding::put_u64_le(&out, node_id_low(id));
  coding::put_u64_le(&out, node_id_high(id));
  return out;
}

std::optional<NodeId> node_id_from_key(std::string_view key) {
  if (key.size() != kNodeKeyLen) return std::nullopt;
  return make_node_id(coding::get_u64_le(key.data() + 8), coding::get_u64_le(key.data()));
}

}  // namespace zv
