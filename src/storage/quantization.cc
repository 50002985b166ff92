// Quantization maintenance: candidates from the access tracker, each read
// once through the engine and its index vector replaced in place.
#include "src/storage/quantization.h"

#include <algorithm>
#include <cmath>

#include "src/runtime/operational_counters.h"
#include "src/storage/storage_engine.h"

namespace zv {

namespace {
constexpr float kTinyMagnitude = 1.1920929e-7f;

enum class Change : uint8_t { kQuantize, kPromote };

struct Candidate {
  NodeId id;
  Change change;
};

// The index form a candidate's read vector gives, or none when the read
// vector does not allow the change.
std::optional<VectorRepr> changed_vector(const VectorRepr& read, Change change) {
  if (change == Change::kQuantize) {
    if (!read.as_f32_slice()) return std::nullopt;
    auto values = read.to_f32_vec();  // an aligned copy of mapped values
    if (!values) return std::nullopt;
    Sq8Code q = quantize_sq8(*values);
    return VectorRepr::sq8(q.scale, std::move(q.codes));
  }
  // A node stored with full precision reads back as f32: that copy is the
  // node's full-precision vector and serves as well as decoded codes.
  if (read.as_sq8() || read.as_f32_slice()) {
    auto values = read.to_f32_vec();
    if (values) return VectorRepr::f32(std::move(*values));
  }
  return std::nullopt;
}

}  // namespace

Sq8Code quantize_sq8(std::span<const float> x) {
  Sq8Code out;
  out.scale = 1.0f;
  if (x.empty()) return out;
  float m = 0.0f;
  for (float v : x) m = std::max(m, std::fabs(v));
  if (!(m >= kTinyMagnitude)) m = 1.0f;  // NaN magnitudes fall here too
  const float k = 127.0f / m;
  out.codes.resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const float c = std::clamp(std::round(x[i] * k), -127.0f, 127.0f);
    out.codes[i] = std::isnan(c) ? int8_t{0} : static_cast<int8_t>(c);
  }
  out.scale = m;
  return out;
}

ZolvaResult<QuantizationSummary> StorageEngine::quantization_maintenance() {
  AccessTracker& tracker = *access_tracker;
  const uint64_t epoch = tracker.current_epoch.fetch_add(1) + 1;
  QuantizationSummary summary;
  if (!tracker.enabled.load()) return summary;

  std::shared_ptr<VectorIndexPort> index = vector_index();
  std::vector<Candidate> candidates;
  for (const auto& [id, entry] : tracker.entries()) {
    const std::optional<bool> sq8 = index->is_sq8(id);
    if (!sq8) continue;  // not in the index
    if (*sq8) {
      if (entry.count >= tracker.hot_count) candidates.push_back({id, Change::kPromote});
    } else {
      const uint64_t idle = epoch > entry.last_epoch ? epoch - entry.last_epoch : 0;
      if (idle > tracker.cold_after_epochs) candidates.push_back({id, Change::kQuantize});
    }
  }

  auto& counters = OperationalCounters::global();
  for (const Candidate& c : candidates) {
    ++summary.examined;
    auto got = get(c.id);
    if (!got.ok() || !*got) continue;
    const EngineNode& node = **got;
    std::optional<VectorRepr> next = changed_vector(node.vector, c.change);
    if (!next) continue;
    const uint64_t offset = index->storage_offset(c.id).value_or(0);
    ZV_TRY(index->add(c.id, FilterBitset(node.bitset), std::move(*next), offset));
    if (c.change == Change::kQuantize) {
      counters.vectors_quantized.add(1);
      counters.sq8_vectors.add(1);
      ++summary.quantized;
    } else {
      counters.vectors_promoted.add(1);
      counters.sq8_vectors.sub(1);
      ++summary.promoted;
    }
    tracker.forget(c.id);
  }
  return summary;
}

}  // namespace zv
