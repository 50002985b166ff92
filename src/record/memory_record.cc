#include "src/record/memory_record.h"

#include <algorithm>
#include <charconv>

#include <nlohmann/json.hpp>

#include "platform/log.h"
#include "src/record/binary_form.h"
#include "src/record/node_codec.h"

namespace zv {
namespace {

// Writes a NodeId as decimal text without sign or leading zeros.
void put_decimal_id(BinaryWriter& w, NodeId id) { w.str(node_id_to_string(id)); }

template <class T, class Fn>
void put_option(BinaryWriter& w, const std::optional<T>& v, Fn&& put) {
  w.option(v.has_value());
  if (v) put(*v);
}

FieldValue time_value(uint64_t v) { return FieldValue::integer(static_cast<int64_t>(v)); }

// An Int field of at least 0, as u64.
std::optional<uint64_t> read_time(const FieldMap& f, std::string_view name) {
  auto it = f.find(name);
  if (it == f.end()) return std::nullopt;
  const int64_t* v = it->second.if_int();
  if (v == nullptr || *v < 0) return std::nullopt;
  return static_cast<uint64_t>(*v);
}

std::vector<double> sparse_list(const SparseVector& s) {
  std::vector<double> out;
  out.reserve(2 * s.size());
  for (const auto& [dim, weight] : s) {
    out.push_back(static_cast<double>(dim));
    out.push_back(static_cast<double>(weight));
  }
  return out;
}

std::string id_text(NodeId id) { return node_id_to_string(id); }

// The JSON text form of a sparse vector: null, or an object whose member
// names are decimal dimensions and whose values are numbers. Sets *absent
// for null; returns none (with a reason) for any other text.
std::optional<SparseVector> parse_sparse_json(std::string_view text, bool* absent,
                                              std::string* why) {
  *absent = false;
  // The only accepted shapes are null and a flat object of numbers, so any
  // bracket or a second brace already rules the text out; checking first
  // keeps deeply nested stored text away from the recursive parser.
  if (std::count(text.begin(), text.end(), '{') > 1 || text.find('[') != std::string_view::npos) {
    *why = "nested JSON";
    return std::nullopt;
  }
  const nlohmann::json j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) {
    *why = "invalid JSON";
    return std::nullopt;
  }
  if (j.is_null()) {
    *absent = true;
    return std::nullopt;
  }
  if (!j.is_object()) {
    *why = "not a JSON object";
    return std::nullopt;
  }
  SparseVector out;
  for (const auto& [name, value] : j.items()) {
    uint32_t dim = 0;
    const char* end = name.data() + name.size();
    auto res = std::from_chars(name.data(), end, dim);
    if (name.empty() || res.ec != std::errc() || res.ptr != end) {
      *why = "member name is not a dimension: " + name;
      return std::nullopt;
    }
    if (!value.is_number()) {
      *why = "member value is not a number: " + name;
      return std::nullopt;
    }
    out[dim] = static_cast<float>(value.get<double>());
  }
  return out;
}

}  // namespace

std::string MemoryRecord::encode_binary() const {
  std::string out;
  BinaryWriter w(&out);
  w.str(ns);
  w.str(key);
  w.str(payload);
  encode_field_map(w, metadata);
  w.varint(created_at_ms);
  w.varint(updated_at_ms);
  w.varint(version);
  put_decimal_id(w, node_id);
  put_option(w, vector, [&](const std::vector<float>& v) {
    w.varint(v.size());
    for (float x : v) w.f32(x);
  });
  put_option(w, sparse_vector, [&](const SparseVector& s) {
    w.varint(s.size());
    for (const auto& [dim, weight] : s) {
      w.varint(dim);
      w.f32(weight);
    }
  });
  auto put_u64 = [&](uint64_t v) { w.varint(v); };
  auto put_str = [&](const std::string& s) { w.str(s); };
  put_option(w, expires_at_ms, put_u64);
  put_option(w, superseded_by, put_str);
  put_option(w, superseded_at_ms, put_u64);
  w.varint(valid_at_ms);
  put_option(w, invalid_at_ms, put_u64);
  w.varint(static_cast<uint32_t>(confidence_class));
  w.f32(confidence);
  put_option(w, last_validated_at_ms, put_u64);
  w.varint(derived_from.size());
  for (const auto& parent : derived_from) w.str(parent);
  put_option(w, quarantined_at_ms, put_u64);
  put_option(w, quarantine_reason, put_str);
  put_option(w, quarantined_by, put_str);
  put_option(w, quarantine_review_due_ms, put_u64);
  return out;
}

EngineNode MemoryRecord::into_node() const {
  EngineNode node = EngineNode::create(node_id);
  FieldMap& f = node.fields;
  auto put = [&f](std::string_view name, FieldValue v) {
    f.insert_or_assign(std::string(name), std::move(v));
  };
  put(kZolvaNamespace, FieldValue::string(ns));
  put(kZolvaKey, FieldValue::string(key));
  put(kZolvaPayload, FieldValue::string(payload));
  put(kZolvaCreatedAt, time_value(created_at_ms));
  put(kZolvaUpdatedAt, time_value(updated_at_ms));
  put(kZolvaVersion, time_value(version));
  if (expires_at_ms) put(kZolvaExpiresAt, time_value(*expires_at_ms));
  if (superseded_by) put(kZolvaSupersededBy, FieldValue::string(*superseded_by));
  if (superseded_at_ms) put(kZolvaSupersededAt, time_value(*superseded_at_ms));
  put(kZolvaValidAt, time_value(valid_at_ms));
  if (invalid_at_ms) put(kZolvaInvalidAt, time_value(*invalid_at_ms));
  put(kZolvaConfidenceClass, FieldValue::string(std::string(confidence_class_text(confidence_class))));
  if (last_validated_at_ms) put(kZolvaLastValidatedAt, time_value(*last_validated_at_ms));
  if (!derived_from.empty()) put(kZolvaDerivedFrom, FieldValue::list_string(derived_from));
  if (quarantined_at_ms) put(kZolvaQuarantinedAt, time_value(*quarantined_at_ms));
  if (quarantine_reason) put(kZolvaQuarantineReason, FieldValue::string(*quarantine_reason));
  if (quarantined_by) put(kZolvaQuarantinedBy, FieldValue::string(*quarantined_by));
  if (quarantine_review_due_ms) put(kZolvaQuarantineReviewDue, time_value(*quarantine_review_due_ms));
  node.confidence_score = confidence;
  // User metadata after the reserved fields: a same-named entry replaces one.
  for (const auto& [name, value] : metadata) f.insert_or_assign(name, value);
  if (vector && !vector->empty()) {
    node.vector = VectorRepr::f32(*vector);
    node.flags |= kNodeFlagHasVector;
  }
  // Last of all, so that the record's own sparse vector wins over a user
  // entry of the same name.
  if (sparse_vector) put(kZolvaSparseVector, FieldValue::list_float(sparse_list(*sparse_vector)));
  return node;
}

std::optional<MemoryRecord> MemoryRecord::from_node(const EngineNode& node, bool exclude_expired) {
  if (!node.is_live() || node.fields.empty()) return std::nullopt;
  const FieldMap& f = node.fields;
  MemoryRecord r;
  auto ns_v = metadata_string(f, kZolvaNamespace);
  auto key_v = metadata_string(f, kZolvaKey);
  auto payload_v = metadata_string(f, kZolvaPayload);
  if (!ns_v || !key_v || !payload_v) return std::nullopt;
  auto created = read_time(f, kZolvaCreatedAt);
  auto updated = read_time(f, kZolvaUpdatedAt);
  auto version = read_time(f, kZolvaVersion);
  if (!created || !updated || !version) return std::nullopt;
  r.ns = std::move(*ns_v);
  r.key = std::move(*key_v);
  r.payload = std::move(*payload_v);
  r.created_at_ms = *created;
  r.updated_at_ms = *updated;
  r.version = *version;
  r.expires_at_ms = read_time(f, kZolvaExpiresAt);
  r.superseded_by = metadata_string(f, kZolvaSupersededBy);
  r.superseded_at_ms = read_time(f, kZolvaSupersededAt);
  const bool has_valid_field = f.find(kZolvaValidAt) != f.end();
  const std::optional<uint64_t> valid = read_time(f, kZolvaValidAt);
  r.valid_at_ms = valid && *valid > 0 ? *valid : r.created_at_ms;
  r.invalid_at_ms = read_time(f, kZolvaInvalidAt);
  r.confidence = has_valid_field ? node.confidence_score : 1.0f;
  if (auto cls_text = metadata_string(f, kZolvaConfidenceClass)) {
    if (auto cls = parse_confidence_class(*cls_text)) {
      r.confidence_class = *cls;
    } else {
      ZV_WARN(kLogTargetRecord, kWarnUnknownClass, {"node_id", id_text(node.id)},
              {"value", *cls_text});
    }
  }
  if (auto it = f.find(kZolvaDerivedFrom); it != f.end() && it->second.if_list_string())
    r.derived_from = *it->second.if_list_string();
  r.last_validated_at_ms = read_time(f, kZolvaLastValidatedAt);
  r.quarantined_at_ms = read_time(f, kZolvaQuarantinedAt);
  r.quarantine_reason = metadata_string(f, kZolvaQuarantineReason);
  r.quarantined_by = metadata_string(f, kZolvaQuarantinedBy);
  r.quarantine_review_due_ms = read_time(f, kZolvaQuarantineReviewDue);

  if (exclude_expired && r.expires_at_ms && *r.expires_at_ms != 0 &&
      record_now_ms() > *r.expires_at_ms)
    return std::nullopt;

  for (const auto& [name, value] : f) {
    if (!name.starts_with(kReservedPrefix)) {
      r.metadata.emplace_hint(r.metadata.end(), name, value);
      continue;
    }
    bool reserved = false;
    for (std::string_view rn : kReservedFieldNames) reserved = reserved || name == rn;
    if (!reserved) r.metadata.emplace_hint(r.metadata.end(), name, value);
  }

  if (const auto* v = node.vector.as_f32()) r.vector = *v;

  if (auto it = f.find(kZolvaSparseVector); it != f.end()) {
    if (const auto* pairs = it->second.if_list_float()) {
      r.sparse_vector = decode_sparse_pairs(*pairs);
      if (!r.sparse_vector)
        ZV_WARN(kLogTargetRecord, kWarnBadSparsePairs, {"node_id", id_text(node.id)});
    } else if (const auto* text = it->second.if_string()) {
      bool absent = false;
      std::string why;
      r.sparse_vector = parse_sparse_json(*text, &absent, &why);
      if (!r.sparse_vector && !absent)
        ZV_WARN(kLogTargetRecord, kWarnBadSparseText, {"node_id", id_text(node.id)},
                {"error", why});
    }
  }
  r.node_id = node.id;
  return r;
}

std::optional<std::string> metadata_string(const FieldMap& fields, std::string_view name) {
  auto it = fields.find(name);
  if (it == fields.end()) return std::nullopt;
  if (const std::string* s = it->second.if_string()) return *s;
  return std::nullopt;
}

std::optional<std::vector<float>> nonzero_vector(std::optional<std::vector<float>> v) {
  if (!v) return std::nullopt;
  for (float x : *v) {
    if (x != 0.0f) return v;  // NaN != 0 too
  }
  return std::nullopt;
}

}  // namespace zv
