#include <mutex>
#include <shared_mutex>

#include "src/storage/field_stats.h"
#include "src/storage/storage_engine.h"

namespace zv {
namespace {

float eq_estimate(uint64_t count, uint64_t distinct, uint64_t indexed) {
  if (count > 0) return static_cast<float>(count) / static_cast<float>(indexed);
  // An unseen value of a field whose texts were capped may still occur.
  return distinct < FieldStats::kMaxValuesPerField ? 0.0f : 1.0f / static_cast<float>(indexed);
}

}  // namespace

float FieldStats::selectivity(const StorageEngine& engine, const std::string& field, FilterOp op,
                              const FieldValue& value) {
  std::shared_lock lock(engine.field_stats.mu);
  const std::shared_ptr<VectorIndexPort> index = engine.vector_index();
  const uint64_t indexed = index ? index->len() : 0;
  const std::vector<std::string> texts = value.to_strings();
  const std::string text = texts.empty() ? std::string("null") : texts.front();
  const ValueCounts* counts = engine.field_stats.value.field(field);
  const bool ordered = op != FilterOp::kEq && op != FilterOp::kNeq;

  if (indexed > 0) {
    if (!counts) return op == FilterOp::kEq ? 0.0f : op == FilterOp::kNeq ? 1.0f : 0.5f;
    if (ordered) return 0.33f;
    auto it = counts->find(text);
    const uint64_t count = it == counts->end() ? 0 : it->second;
    const float eq = eq_estimate(count, counts->size(), indexed);
    return op == FilterOp::kEq ? eq : 1.0f - eq;
  }
  if (!counts) return 1.0f;
  if (ordered) return 0.5f;
  auto it = counts->find(text);
  const bool seen = it != counts->end() && it->second > 0;
  return (op == FilterOp::kEq) == seen ? 1.0f : 0.0f;
}

}  // namespace zv
