// The provenance check every stored record passes before its node is built:
// the declared confidence, the class rules, a walk of the stored ancestry of
// a derived record (refusing records that would be their own ancestor and
// chains deeper than MAX_DERIVATION_DEPTH) and the confidence derived from
// the direct parents. Reads records only, through EmbeddedDb::get; writes
// nothing and takes no lock. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/memory_input.h"
#include "src/record/memory_record.h"
#include "src/sdk/embedded_db.h"

namespace zv::memory {

// The greatest depth of an ancestor the walk may meet; direct parents are
// at depth 1.
inline constexpr uint32_t MAX_DERIVATION_DEPTH = 16;
inline constexpr float kDerivedConfidenceFactor = 0.9f;
inline constexpr float kDefaultAssertedConfidence = 1.0f;

inline constexpr std::string_view kDerivedNeedsParentsV1 =
    "derived records require a non-empty derived_from parent list (V1)";
inline constexpr std::string_view kDeclaredScoreOnDerived =
    "derived score is computed from parents; declared scores are not allowed on derived records";

// The three provenance fields a stored record carries.
struct Provenance {
  float confidence = kDefaultAssertedConfidence;
  ConfidenceClass confidence_class = ConfidenceClass::kAsserted;
  std::vector<std::string> derived_from;
};

// How the check reads one record of the input's namespace (EmbeddedDb::get
// in use; tests count the reads).
using RecordReader =
    std::function<ZolvaResult<std::optional<MemoryRecord>>(std::string_view ns, std::string_view key)>;

ZolvaResult<Provenance> resolve_provenance(const EmbeddedDb& db, const MemoryInput& input);
ZolvaResult<Provenance> resolve_provenance(const RecordReader& read, const MemoryInput& input);

// The error for a direct parent that is not stored.
ZolvaError parent_not_found(const MemoryInput& input, std::string_view parent_key);

}  // namespace zv::memory
