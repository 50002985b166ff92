// MemoryInput: the write request of one record, as callers hand it to put,
// put_batch and the imports before the record model fills in versions,
// times, provenance and quarantine. Plain value; copy freely between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/record/field_value.h"
#include "src/record/validation.h"

namespace zv {

struct MemoryInput {
  std::string ns;  // the namespace
  std::string key;
  std::string payload;
  FieldMap metadata;
  std::optional<std::vector<float>> vector;
  std::optional<SparseVector> sparse_vector;
  std::optional<uint64_t> ttl_ms;       // 0 included: expires at once
  std::optional<uint64_t> valid_at_ms;  // absent: the record's creation time
  std::optional<ConfidenceClass> confidence_class;  // absent: Asserted
  std::optional<float> confidence;
  std::optional<std::vector<std::string>> derived_from;  // absent: no parents
  bool quarantine = false;

  bool operator==(const MemoryInput&) const = default;
};

}  // namespace zv
