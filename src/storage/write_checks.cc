#include "src/storage/write_checks.h"

#include <cmath>

#include "platform/fill_message.h"
#include "src/index/hnsw_index.h"
#include "src/record/node_codec.h"
#include "src/storage/node_record_header.h"
#include "src/storage/vfile.h"

namespace zv {

namespace {

bool zero_norm(const VectorRepr& v) {
  std::optional<std::vector<float>> q = v.to_f32_vec();
  if (!q) return false;  // kept without links, never refused
  if (q->empty()) return true;
  float sum = 0.0f;
  for (float x : *q) sum += x * x;
  return std::sqrt(sum) < kNormEpsilon;
}

}  // namespace

ZolvaResult<std::string> check_node_write(const EngineNode& node, const VectorIndexPort* index) {
  if (node.bitset.size() > FilterBitset::kMaxWords) ZV_TRY(check_filter_size(FilterBitset(node.bitset)));
  ZV_TRY(check_record_limits(node.id, store_vector_layout(node.vector).len, node.edges.size()));
  if (index && index->metric() == DistanceMetric::kCosine && zero_norm(node.vector) &&
      !index->contains(node.id)) {
    return make_unexpected(
        ZolvaError::invalid_input(fill(kZeroNormNodeMessage, {node_id_to_string(node.id)})));
  }
  std::string value;
  encode_node_metadata(node_metadata_of(node, 1), &value);
  if (value.size() > kMaxStoredValueBytes)
    return make_unexpected(payload_cap_error(kNodeMetadataLabel, value.size()));
  return value;
}

}  // namespace zv
