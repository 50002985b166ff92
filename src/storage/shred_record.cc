#include "src/storage/shred_record.h"

#include <cstring>

#include "platform/coding.h"

namespace zv {

using namespace ::zv::coding;

namespace {

template <class T>
bool compare(const T& a, FilterOp op, const T& b) {
  switch (op) {
    case FilterOp::kEq: return a == b;
    case FilterOp::kNeq: return !(a == b);
    case FilterOp::kGt: return a > b;
    case FilterOp::kLt: return a < b;
    case FilterOp::kGte: return a >= b;
    case FilterOp::kLte: return a <= b;
  }
  return false;
}

void put_name(std::string* out, const std::string& name, ShredKind kind) {
  put_u32_le(out, static_cast<uint32_t>(name.size()));
  out->append(name);
  put_u8(out, static_cast<uint8_t>(kind));
}

}  // namespace

bool ShredValue::matches(const ShredValue& stored, FilterOp op, const FieldValue& filter) {
  if (const int64_t* a = std::get_if<int64_t>(&stored.v)) {
    const int64_t* b = filter.if_int();
    return b && compare(*a, op, *b);
  }
  if (const double* a = std::get_if<double>(&stored.v)) {
    const double* b = filter.if_float();
    return b && compare(*a, op, *b);
  }
  const bool eq_only = op == FilterOp::kEq || op == FilterOp::kNeq;
  if (const bool* a = std::get_if<bool>(&stored.v)) {
    const bool* b = filter.if_bool();
    return b && eq_only && compare(*a, op, *b);
  }
  const std::string& a = std::get<std::string>(stored.v);
  const std::string* b = filter.if_string();
  return b && eq_only && compare(a, op, *b);
}

namespace shred_record {

std::string key(NodeId id) { return std::string(kKeyPrefix) + node_id_to_string(id); }

std::string encode(const FieldMap& metadata) {
  std::string out;
  for (const auto& [name, value] : metadata) {
    switch (value.kind()) {
      case FieldKind::kInt:
        put_name(&out, name, ShredKind::kInt);
        put_u64_le(&out, static_cast<uint64_t>(*value.if_int()));
        break;
      case FieldKind::kFloat:
        put_name(&out, name, ShredKind::kFloat);
        put_f64_le(&out, *value.if_float());
        break;
      case FieldKind::kBool:
        put_name(&out, name, ShredKind::kBool);
        put_u8(&out, *value.if_bool() ? 1 : 0);
        break;
      case FieldKind::kString:
        put_name(&out, name, ShredKind::kString);
        put_u32_le(&out, static_cast<uint32_t>(value.if_string()->size()));
        out.append(*value.if_string());
        break;
      default: break;
    }
  }
  return out;
}

std::optional<ShredFields> decode(std::string_view bytes) {
  ShredFields out;
  const auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  size_t pos = 0;
  const size_t n = bytes.size();
  auto need = [&](size_t k) { return n - pos >= k; };
  while (pos < n) {
    if (!need(4)) return std::nullopt;
    const uint32_t name_len = get_u32_le(p + pos);
    pos += 4;
    if (!need(size_t{name_len} + 1)) return std::nullopt;
    std::string name(bytes.substr(pos, name_len));
    pos += name_len;
    const uint8_t kind = p[pos++];
    ShredValue value;
    switch (kind) {
      case 0:
        if (!need(8)) return std::nullopt;
        value.v = static_cast<int64_t>(get_u64_le(p + pos));
        pos += 8;
        break;
      case 1:
        if (!need(8)) return std::nullopt;
        value.v = get_f64_le(p + pos);
        pos += 8;
        break;
      case 2:
        if (!need(1)) return std::nullopt;
        value.v = p[pos++] != 0;
        break;
      case 3: {
        if (!need(4)) return std::nullopt;
        const uint32_t len = get_u32_le(p + pos);
        pos += 4;
        if (!need(len)) return std::nullopt;
        value.v = std::string(bytes.substr(pos, len));
        pos += len;
        break;
      }
      default: return std::nullopt;
    }
    out.emplace_back(std::move(name), std::move(value));
  }
  return out;
}

ZolvaStatus put(NodeId id, const FieldMap& metadata, StorageBackend& backend) {
  const std::string value = encode(metadata);
  if (value.empty()) return {};
  return backend.put(Partition::kInternalMetadata, key(id), value);
}

ZolvaStatus del(NodeId id, StorageBackend& backend) {
  return backend.del(Partition::kInternalMetadata, key(id));
}

}  // namespace shred_record

}  // namespace zv
