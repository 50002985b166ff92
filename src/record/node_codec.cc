#include "src/record/node_codec.h"

#include <bit>
#include <cstring>

namespace zv {
namespace {

static_assert(std::endian::native == std::endian::little,
              "fixed-width values are copied as little-endian bytes");

using K = BinaryFormatErrorKind;

template <class T>
void put_fixed_list(BinaryWriter& w, const T* data, size_t n) {
  w.varint(n);
  w.buffer()->append(reinterpret_cast<const char*>(data), n * sizeof(T));
}

// A count and then that many fixed-width little-endian elements. The count is
// checked against the remaining bytes before anything is allocated.
template <class T>
BinResult<std::vector<T>> read_fixed_list(BinaryReader& r) {
  ZV_ASSIGN_OR_RETURN(uint64_t n, r.count());
  if (n > r.remaining() / sizeof(T)) return bin_error(K::kUnexpectedEnd);
  ZV_ASSIGN_OR_RETURN(std::string_view src, r.take(n * sizeof(T)));
  std::vector<T> out(static_cast<size_t>(n));
  if (n) std::memcpy(out.data(), src.data(), src.size());
  return out;
}

// A count and then that many elements read by `elem`, reserving at most `cap`
// in advance.
template <class T, class Fn>
BinResult<std::vector<T>> read_list(BinaryReader& r, size_t cap, Fn&& elem) {
  ZV_ASSIGN_OR_RETURN(uint64_t n, r.count());
  std::vector<T> out;
  out.reserve(r.reserve_hint(n, cap));
  for (uint64_t i = 0; i < n; ++i) {
    ZV_ASSIGN_OR_RETURN(T v, elem());
    out.push_back(std::move(v));
  }
  return out;
}

BinResult<std::vector<bool>> read_bool_list(BinaryReader& r) {
  ZV_ASSIGN_OR_RETURN(uint64_t n, r.count());
  if (n > r.remaining()) return bin_error(K::kUnexpectedEnd);
  std::vector<bool> out(static_cast<size_t>(n));
  for (uint64_t i = 0; i < n; ++i) {
    ZV_ASSIGN_OR_RETURN(bool b, r.boolean());
    out[static_cast<size_t>(i)] = b;
  }
  return out;
}

}  // namespace

void encode_field_value(BinaryWriter& w, const FieldValue& v) {
  w.varint(static_cast<uint32_t>(v.kind()));
  switch (v.kind()) {
    case FieldKind::kString: w.str(*v.if_string()); break;
    case FieldKind::kInt: w.zigzag(*v.if_int()); break;
    case FieldKind::kFloat: w.f64(*v.if_float()); break;
    case FieldKind::kBool: w.boolean(*v.if_bool()); break;
    case FieldKind::kDateTime: w.datetime(*v.if_date_time()); break;
    case FieldKind::kListString:
      w.varint(v.if_list_string()->size());
      for (const auto& s : *v.if_list_string()) w.str(s);
      break;
    case FieldKind::kListInt:
      w.varint(v.if_list_int()->size());
      for (int64_t x : *v.if_list_int()) w.zigzag(x);
      break;
    case FieldKind::kListFloat:
      put_fixed_list(w, v.if_list_float()->data(), v.if_list_float()->size());
      break;
    case FieldKind::kListBool:
      w.varint(v.if_list_bool()->size());
      for (bool b : *v.if_list_bool()) w.boolean(b);
      break;
    case FieldKind::kListDateTime:
      w.varint(v.if_list_date_time()->size());
      for (const auto& t : *v.if_list_date_time()) w.datetime(t);
      break;
    case FieldKind::kNull: break;
  }
}

BinResult<FieldValue> decode_field_value(BinaryReader& r) {
  ZV_ASSIGN_OR_RETURN(uint32_t tag, r.varint_u32());
  if (tag >= kFieldKindCount) return bin_error(K::kDecodeCustom);
  switch (static_cast<FieldKind>(tag)) {
    case FieldKind::kString: {
      ZV_ASSIGN_OR_RETURN(std::string s, r.str());
      return FieldValue::string(std::move(s));
    }
    case FieldKind::kInt: {
      ZV_ASSIGN_OR_RETURN(int64_t x, r.zigzag());
      return FieldValue::integer(x);
    }
    case FieldKind::kFloat: {
      ZV_ASSIGN_OR_RETURN(double x, r.f64());
      return FieldValue::floating(x);
    }
    case FieldKind::kBool: {
      ZV_ASSIGN_OR_RETURN(bool b, r.boolean());
      return FieldValue::boolean(b);
    }
    case FieldKind::kDateTime: {
      ZV_ASSIGN_OR_RETURN(DateTime t, r.datetime());
      return FieldValue::date_time(t);
    }
    case FieldKind::kListString: {
      ZV_ASSIGN_OR_RETURN(auto v, read_list<std::string>(r, kCapStrings, [&] { return r.str(); }));
      return FieldValue::list_string(std::move(v));
    }
    case FieldKind::kListInt: {
      ZV_ASSIGN_OR_RETURN(auto v, read_list<int64_t>(r, kCapU64, [&] { return r.zigzag(); }));
      return FieldValue::list_int(std::move(v));
    }
    case FieldKind::kListFloat: {
      ZV_ASSIGN_OR_RETURN(auto v, read_fixed_list<double>(r));
      return FieldValue::list_float(std::move(v));
    }
    case FieldKind::kListBool: {
      ZV_ASSIGN_OR_RETURN(auto v, read_bool_list(r));
      return FieldValue::list_bool(std::move(v));
    }
    case FieldKind::kListDateTime: {
      ZV_ASSIGN_OR_RETURN(auto v,
                          read_list<DateTime>(r, kCapDateTimes, [&] { return r.datetime(); }));
      return FieldValue::list_date_time(std::move(v));
    }
    case FieldKind::kNull: return FieldValue::null();
  }
  return bin_error(K::kDecodeCustom);
}

void encode_field_map(BinaryWriter& w, const FieldMap& m) {
  w.varint(m.size());
  for (const auto& [name, value] : m) {
    w.str(name);
    encode_field_value(w, value);
  }
}

BinResult<FieldMap> decode_field_map(BinaryReader& r) {
  ZV_ASSIGN_OR_RETURN(uint64_t n, r.count());
  FieldMap out;
  for (uint64_t i = 0; i < n; ++i) {
    ZV_ASSIGN_OR_RETURN(std::string name, r.str());
    ZV_ASSIGN_OR_RETURN(FieldValue value, decode_field_value(r));
    // Encoders write names in order: append at the end without a search.
    if (out.empty() || out.rbegin()->first < name) {
      out.emplace_hint(out.end(), std::move(name), std::move(value));
    } else {
      out.insert_or_assign(std::move(name), std::move(value));
    }
  }
  return out;
}

void encode_edges(BinaryWriter& w, const std::vector<NodeEdge>& edges) {
  w.varint(edges.size());
  for (const NodeEdge& e : edges) {
    w.varint_u128(e.target);
    w.varint(e.label);
    w.f32(e.weight);
    w.boolean(e.direction);
    w.varint(e.created_at_ms);
  }
}

BinResult<std::vector<NodeEdge>> decode_edges(BinaryReader& r) {
  return read_list<NodeEdge>(r, kCapEdges, [&]() -> BinResult<NodeEdge> {
    NodeEdge e;
    ZV_ASSIGN_OR_RETURN(e.target, r.varint_u128());
    ZV_ASSIGN_OR_RETURN(e.label, r.varint_u32());
    ZV_ASSIGN_OR_RETURN(e.weight, r.f32());
    ZV_ASSIGN_OR_RETURN(e.direction, r.boolean());
    ZV_ASSIGN_OR_RETURN(e.created_at_ms, r.varint_u64());
    return e;
  });
}

void encode_vector(BinaryWriter& w, const VectorRepr& v) {
  switch (v.kind()) {
    case VectorKind::kBinary:
      w.varint(static_cast<uint32_t>(VectorKind::kBinary));
      w.varint(v.as_binary()->words.size());
      for (uint64_t word : v.as_binary()->words) w.varint(word);
      return;
    case VectorKind::kTurbo: {
      w.varint(static_cast<uint32_t>(VectorKind::kTurbo));
      const auto& b = v.as_turbo()->bytes;
      w.bytes(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
      return;
    }
    case VectorKind::kSq8: {
      w.varint(static_cast<uint32_t>(VectorKind::kSq8));
      const auto& c = v.as_sq8()->codes;
      w.bytes(std::string_view(reinterpret_cast<const char*>(c.data()), c.size()));
      w.f32(v.as_sq8()->scale);
      return;
    }
    case VectorKind::kF32:
    case VectorKind::kMmapFull: {
      // A mapped vector is written as its values, so that a logged or
      // archived node keeps its vector; one whose view is gone has none.
      const std::optional<F32View> view = v.as_f32_slice();
      if (!view) break;
      w.varint(static_cast<uint32_t>(VectorKind::kF32));
      w.varint(view->size());
      w.buffer()->append(reinterpret_cast<const char*>(view->bytes()),
                         view->size() * sizeof(float));
      return;
    }
    case VectorKind::kNone: break;
  }
  w.varint(static_cast<uint32_t>(VectorKind::kNone));
}

BinResult<VectorRepr> decode_vector(BinaryReader& r) {
  ZV_ASSIGN_OR_RETURN(uint32_t tag, r.varint_u32());
  switch (tag) {
    case static_cast<uint32_t>(VectorKind::kBinary): {
      ZV_ASSIGN_OR_RETURN(auto words, read_list<uint64_t>(r, kCapU64, [&] { return r.varint_u64(); }));
      return VectorRepr::binary(std::move(words));
    }
    case static_cast<uint32_t>(VectorKind::kTurbo): {
      ZV_ASSIGN_OR_RETURN(std::string_view b, r.bytes());
      return VectorRepr::turbo(std::vector<uint8_t>(b.begin(), b.end()));
    }
    case static_cast<uint32_t>(VectorKind::kSq8): {
      ZV_ASSIGN_OR_RETURN(std::string_view b, r.bytes());
      ZV_ASSIGN_OR_RETURN(float scale, r.f32());
      std::vector<int8_t> codes(b.size());
      if (!b.empty()) std::memcpy(codes.data(), b.data(), b.size());
      return VectorRepr::sq8(scale, std::move(codes));
    }
    case static_cast<uint32_t>(VectorKind::kF32): {
      ZV_ASSIGN_OR_RETURN(auto values, read_fixed_list<float>(r));
      return VectorRepr::f32(std::move(values));
    }
    case static_cast<uint32_t>(VectorKind::kMmapFull):
      // Written by older encoders without values: a mapped vector whose
      // mapping is not attached, which has no f32 view.
      return VectorRepr::mmap_full(std::nullopt);
    case static_cast<uint32_t>(VectorKind::kNone): return VectorRepr::none();
    default: break;
  }
  return bin_error(K::kDecodeCustom);
}

namespace {

void encode_label_index(BinaryWriter& w, const LabelIndex& idx) {
  w.varint(idx.size());
  for (const auto& [label, targets] : idx) {
    w.varint(label);
    w.varint(targets.size());
    for (NodeId t : targets) w.varint_u128(t);
  }
}

BinResult<LabelIndex> decode_label_index(BinaryReader& r) {
  ZV_ASSIGN_OR_RETURN(uint64_t n, r.count());
  LabelIndex out;
  out.reserve(r.reserve_hint(n, kCapLabelIndex));
  for (uint64_t i = 0; i < n; ++i) {
    ZV_ASSIGN_OR_RETURN(uint32_t label, r.varint_u32());
    ZV_ASSIGN_OR_RETURN(auto targets, read_list<NodeId>(r, kCapU128, [&] { return r.varint_u128(); }));
    out.insert_or_assign(label, std::move(targets));
  }
  return out;
}

void encode_byte_fields(BinaryWriter& w, const ByteFields& m) {
  w.varint(m.size());
  for (const auto& [name, value] : m) {
    w.str(name);
    w.bytes(value);
  }
}

BinResult<ByteFields> decode_byte_fields(BinaryReader& r) {
  ZV_ASSIGN_OR_RETURN(uint64_t n, r.count());
  ByteFields out;
  out.reserve(r.reserve_hint(n, kCapByteFields));
  for (uint64_t i = 0; i < n; ++i) {
    ZV_ASSIGN_OR_RETURN(std::string name, r.str());
    ZV_ASSIGN_OR_RETURN(std::string_view value, r.bytes());
    out.insert_or_assign(std::move(name), std::string(value));
  }
  return out;
}

}  // namespace

void encode_node(BinaryWriter& w, const EngineNode& n) {
  w.varint_u128(n.id);
  w.varint(n.bitset.size());
  for (uint64_t word : n.bitset) w.varint(word);
  w.varint(n.aux_u32);
  w.varint(n.flags);
  encode_vector(w, n.vector);
  w.varint(n.epoch);
  encode_edges(w, n.edges);
  encode_label_index(w, n.label_index);
  encode_field_map(w, n.fields);
  w.varint(static_cast<uint32_t>(n.tier));
  w.varint(n.hits);
  w.varint(n.last_accessed);
  w.f32(n.confidence_score);
  w.f32(n.importance);
  encode_byte_fields(w, n.byte_fields);
}

BinResult<EngineNode> decode_node(BinaryReader& r) {
  EngineNode n;
  ZV_ASSIGN_OR_RETURN(n.id, r.varint_u128());
  ZV_ASSIGN_OR_RETURN(n.bitset, read_list<uint64_t>(r, kCapU64, [&] { return r.varint_u64(); }));
  ZV_ASSIGN_OR_RETURN(n.aux_u32, r.varint_u32());
  ZV_ASSIGN_OR_RETURN(n.flags, r.varint_u32());
  ZV_ASSIGN_OR_RETURN(n.vector, decode_vector(r));
  ZV_ASSIGN_OR_RETURN(n.epoch, r.varint_u32());
  ZV_ASSIGN_OR_RETURN(n.edges, decode_edges(r));
  ZV_ASSIGN_OR_RETURN(n.label_index, decode_label_index(r));
  ZV_ASSIGN_OR_RETURN(n.fields, decode_field_map(r));
  ZV_ASSIGN_OR_RETURN(uint32_t tier, r.varint_u32());
  if (tier > static_cast<uint32_t>(Tier::kCold)) return bin_error(K::kDecodeCustom);
  n.tier = static_cast<Tier>(tier);
  ZV_ASSIGN_OR_RETURN(n.hits, r.varint_u32());
  ZV_ASSIGN_OR_RETURN(n.last_accessed, r.varint_u64());
  ZV_ASSIGN_OR_RETURN(n.confidence_score, r.f32());
  ZV_ASSIGN_OR_RETURN(n.importance, r.f32());
  ZV_ASSIGN_OR_RETURN(n.byte_fields, decode_byte_fields(r));
  return n;
}

void encode_node_metadata(const NodeMetadata& m, std::string* out) {
  BinaryWriter w(out);
  encode_field_map(w, m.fields);
  encode_edges(w, m.edges);
  w.varint(m.txn_stamp);
  w.option(m.aux_stamp.has_value());
  if (m.aux_stamp) w.varint(*m.aux_stamp);
}

std::string encode_node_metadata(const NodeMetadata& m) {
  std::string out;
  encode_node_metadata(m, &out);
  return out;
}

ZolvaError payload_cap_error(std::string_view label, size_t len) {
  std::string text(label);
  text += " payload of ";
  text += std::to_string(len);
  text += " bytes exceeds ";
  text += std::to_string(kMaxStoredValueBytes);
  text += " byte cap";
  return ZolvaError::serialization_boxed(box_error(IoError(IoErrorKind::kInvalidData, std::move(text))));
}

namespace {
BinResult<NodeMetadata> read_node_metadata(BinaryReader& r) {
  NodeMetadata m;
  ZV_ASSIGN_OR_RETURN(m.fields, decode_field_map(r));
  ZV_ASSIGN_OR_RETURN(m.edges, decode_edges(r));
  ZV_ASSIGN_OR_RETURN(m.txn_stamp, r.varint_u64());
  ZV_ASSIGN_OR_RETURN(bool has_aux, r.option());
  if (has_aux) {
    ZV_ASSIGN_OR_RETURN(uint64_t aux, r.varint_u64());
    m.aux_stamp = aux;
  }
  return m;
}
}  // namespace

ZolvaResult<NodeMetadata> decode_node_metadata(std::string_view bytes) {
  if (bytes.size() > kMaxStoredValueBytes)
    return make_unexpected(payload_cap_error(kNodeMetadataLabel, bytes.size()));
  BinaryReader r(bytes);
  return to_zolva(read_node_metadata(r));
}

ZolvaResult<EngineNode> decode_archived_node(std::string_view bytes) {
  if (bytes.size() > kMaxStoredValueBytes)
    return make_unexpected(payload_cap_error(kArchivedNodeLabel, bytes.size()));
  BinaryReader r(bytes);
  return to_zolva(decode_node(r));
}

}  // namespace zv
