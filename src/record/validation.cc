#include "src/record/validation.h"

#include <cmath>

#include "platform/fill_message.h"
#include "platform/clock.h"

namespace zv {
namespace {

ZolvaError invalid(std::string_view field, std::string_view reason) {
  return ZolvaError::validation(std::string(field), std::string(reason));
}

bool namespace_byte_ok(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '/' || c == '-';
}

}  // namespace

std::string_view confidence_class_text(ConfidenceClass c) {
  return c == ConfidenceClass::kDerived ? kDerivedText : kAssertedText;
}

std::optional<ConfidenceClass> parse_confidence_class(std::string_view text) {
  if (text == kAssertedText) return ConfidenceClass::kAsserted;
  if (text == kDerivedText) return ConfidenceClass::kDerived;
  return std::nullopt;
}

ZolvaStatus validate_namespace(std::string_view ns) {
  if (ns.empty()) return make_unexpected(invalid(kFieldNamespace, kNamespaceEmpty));
  if (ns.size() > kMaxNamespaceBytes)
    return make_unexpected(invalid(kFieldNamespace, kNamespaceTooLong));
  for (char c : ns) {
    if (!namespace_byte_ok(c)) return make_unexpected(invalid(kFieldNamespace, kNamespaceBadChar));
  }
  return {};
}

ZolvaStatus validate_key(std::string_view key) {
  if (key.empty()) return make_unexpected(invalid(kFieldKey, kKeyEmpty));
  if (key.size() > kMaxKeyBytes) return make_unexpected(invalid(kFieldKey, kKeyTooLong));
  if (key.find('\0') != std::string_view::npos)
    return make_unexpected(invalid(kFieldKey, kKeyNul));
  return {};
}

ZolvaStatus validate_metadata_keys(const FieldMap* metadata) {
  if (metadata == nullptr) return {};
  for (const auto& [name, value] : *metadata) {
    if (name.starts_with(kReservedPrefix))
      return make_unexpected(invalid(kFieldMetadata, fill(kMetadataReservedTemplate, {name})));
  }
  for (const auto& [name, value] : *metadata) {
    if (name.find('\0') != std::string::npos)
      return make_unexpected(invalid(kFieldMetadata, fill(kMetadataNulTemplate, {name})));
  }
  return {};
}

ZolvaStatus validate_provenance(ConfidenceClass cls, size_t parent_count, float confidence) {
  if (!std::isfinite(confidence) || confidence < 0.0f || confidence > 1.0f)
    return make_unexpected(invalid(kFieldConfidence, kConfidenceRange));
  if (cls == ConfidenceClass::kDerived && parent_count == 0)
    return make_unexpected(invalid(kFieldDerivedFrom, kDerivedNeedsParents));
  if (cls == ConfidenceClass::kAsserted && parent_count > 0)
    return make_unexpected(invalid(kFieldDerivedFrom, kAssertedNoParents));
  return {};
}

uint64_t record_now_ms() { return now_ms(); }

bool matches_equality_filters(const FieldMap& metadata, const FieldMap& filter) {
  if (filter.empty()) return true;
  if (metadata.empty()) return false;
  for (const auto& [field, want] : filter) {
    auto it = metadata.find(field);
    if (it == metadata.end() || !(it->second == want)) return false;
  }
  return true;
}

bool matches_filter_items(const FieldMap& metadata, const std::vector<MemoryFilterItem>& items) {
  if (items.empty()) return true;
  if (metadata.empty()) return false;
  for (const MemoryFilterItem& item : items) {
    auto it = metadata.find(item.field);
    if (it == metadata.end()) return false;
    const FieldValue& stored = it->second;
    bool pass = false;
    switch (item.op) {
      case FilterOp::kEq: pass = stored == item.value; break;
      case FilterOp::kNeq: pass = !(stored == item.value); break;
      case FilterOp::kGt: pass = (stored <=> item.value) == std::partial_ordering::greater; break;
      case FilterOp::kLt: pass = (stored <=> item.value) == std::partial_ordering::less; break;
      case FilterOp::kGte: {
        const auto c = stored <=> item.value;
        pass = c == std::partial_ordering::greater || c == std::partial_ordering::equivalent;
        break;
      }
      case FilterOp::kLte: {
        const auto c = stored <=> item.value;
        pass = c == std::partial_ordering::less || c == std::partial_ordering::equivalent;
        break;
      }
    }
    if (!pass) return false;
  }
  return true;
}

std::optional<SparseVector> decode_sparse_pairs(const std::vector<double>& pairs) {
  if (pairs.size() % 2 != 0) return std::nullopt;
  SparseVector out;
  for (size_t i = 0; i < pairs.size(); i += 2) {
    const double dim = pairs[i];
    // -0.0 passes (it is not below 0) and reads as dimension 0.
    if (!std::isfinite(dim) || dim < 0.0 || dim > 4294967295.0 || std::trunc(dim) != dim)
      return std::nullopt;
    out[static_cast<uint32_t>(dim)] = static_cast<float>(pairs[i + 1]);
  }
  return out;
}

}  // namespace zv
