#include "src/sdk/provenance.h"

#include <cmath>
#include <limits>
#include <unordered_set>
#include <utility>

namespace zv::memory {

namespace {

ZolvaError derived_from_error(std::string reason) {
  return ZolvaError::validation(std::string(kFieldDerivedFrom), std::move(reason));
}

ZolvaError confidence_error(std::string_view reason) {
  return ZolvaError::validation(std::string(kFieldConfidence), std::string(reason));
}

// Depth first over the stored ancestry: refuses the record's own key and
// entries deeper than the limit; expands each ancestor once, at the depth
// of the first entry that reaches it. Missing ancestors are skipped.
ZolvaStatus walk_ancestry(const RecordReader& read, const MemoryInput& input,
                          const std::vector<std::string>& parents) {
  struct Entry {
    std::string key;
    uint32_t depth;
  };
  std::vector<Entry> stack;
  stack.reserve(parents.size());
  for (const std::string& p : parents) stack.push_back({p, 1});
  std::unordered_set<std::string> visited;
  while (!stack.empty()) {
    Entry e = std::move(stack.back());
    stack.pop_back();
    if (e.key == input.key) {
      return make_unexpected(derived_from_error("derivation cycle detected: '" + input.key +
                                                "' is its own ancestor"));
    }
    if (e.depth > MAX_DERIVATION_DEPTH) {
      return make_unexpected(derived_from_error("derivation chain exceeds MAX_DERIVATION_DEPTH (" +
                                                std::to_string(MAX_DERIVATION_DEPTH) + ")"));
    }
    if (!visited.insert(e.key).second) continue;
    ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> record, read(input.ns, e.key));
    if (!record) continue;
    for (std::string& k : record->derived_from) stack.push_back({std::move(k), e.depth + 1});
  }
  return {};
}

}  // namespace

ZolvaError parent_not_found(const MemoryInput& input, std::string_view parent_key) {
  return derived_from_error("parent '" + std::string(parent_key) + "' not found in namespace '" +
                            input.ns + "'");
}

ZolvaResult<Provenance> resolve_provenance(const RecordReader& read, const MemoryInput& input) {
  if (input.confidence) {
    const float c = *input.confidence;
    if (!std::isfinite(c) || c < 0.0f || c > 1.0f) {
      return make_unexpected(confidence_error(kConfidenceRange));
    }
  }
  std::vector<std::string> parents = input.derived_from.value_or(std::vector<std::string>{});
  const ConfidenceClass cls = input.confidence_class.value_or(ConfidenceClass::kAsserted);

  if (cls == ConfidenceClass::kAsserted) {
    if (!parents.empty()) {
      return make_unexpected(derived_from_error(std::string(kAssertedNoParents)));
    }
    return Provenance{input.confidence.value_or(kDefaultAssertedConfidence),
                      ConfidenceClass::kAsserted,
                      {}};
  }

  if (parents.empty()) {
    return make_unexpected(derived_from_error(std::string(kDerivedNeedsParentsV1)));
  }
  if (input.confidence) return make_unexpected(confidence_error(kDeclaredScoreOnDerived));
  ZV_TRY(walk_ancestry(read, input, parents));

  // A parent of a parent never influences the value; a NaN confidence never
  // lowers the minimum.
  float minimum = std::numeric_limits<float>::infinity();
  for (const std::string& p : parents) {
    ZV_ASSIGN_OR_RETURN(std::optional<MemoryRecord> parent, read(input.ns, p));
    if (!parent) return make_unexpected(parent_not_found(input, p));
    if (parent->confidence < minimum) minimum = parent->confidence;
  }
  float derived = kDerivedConfidenceFactor * minimum;
  if (derived < 0.0f) derived = 0.0f;
  if (derived > 1.0f) derived = 1.0f;
  return Provenance{derived, ConfidenceClass::kDerived, std::move(parents)};
}

ZolvaResult<Provenance> resolve_provenance(const EmbeddedDb& db, const MemoryInput& input) {
  return resolve_provenance(
      [&db](std::string_view ns, std::string_view key) { return db.get(ns, key); }, input);
}

}  // namespace zv::memory
