// Builders of vector records and a fixture with a recording vector index for
// the dense and sparse stage tests. Test-only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "src/record/memory_record.h"
#include "src/search/testing/record_fixture.h"
#include "src/search/testing/recording_index.h"

namespace zv::search_testing {

inline MemoryRecord vector_record(std::string ns, std::string key,
                                  std::optional<std::vector<float>> vector, FieldMap metadata = {}) {
  MemoryRecord r;
  r.ns = std::move(ns);
  r.key = std::move(key);
  r.payload = "p";
  r.metadata = std::move(metadata);
  r.created_at_ms = r.updated_at_ms = r.valid_at_ms = 1;
  r.version = 1;
  r.vector = std::move(vector);
  return r;
}

inline FieldMap fields(std::string name, FieldValue value) {
  FieldMap m;
  m.emplace(std::move(name), std::move(value));
  return m;
}

// A record fixture whose engine's index slot holds a RecordingIndex over the
// engine's own index.
struct VectorFixture {
  RecordFixture records;
  std::shared_ptr<RecordingIndex> index;

  VectorFixture() {
    index = std::make_shared<RecordingIndex>(records.engine().vector_index());
    records.engine().swap_vector_index(index);
  }
  StorageEngine& engine() { return records.engine(); }
};

}  // namespace zv::search_testing
