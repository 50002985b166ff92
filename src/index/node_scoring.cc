#include "src/index/node_scoring.h"

#include <algorithm>
#include <cmath>

#include "src/vector/kernel_call.h"
#include "src/vector/score.h"

namespace zv {

std::optional<float> score_record(const LayerQuery& qp, const HnswNode& r,
                                  DistanceMetric metric) {
  switch (metric) {
    case DistanceMetric::kSparseDot:
      return alternate::try_score_vector(qp.q, {}, r.vector, metric);
    case DistanceMetric::kCosine: {
      if (qp.cosine && r.inv_norm > kNormEpsilon) {
        if (auto v = r.vector.as_f32_slice()) {
          if (v->size() != qp.q.size() || qp.q.empty()) return std::nullopt;
          float s = 0.0f;
          score_f32_cached(qp, *v, r.inv_norm, r.sq_norm, metric, s);
          return s;
        }
      }
      alternate::QueryForms forms;
      if (qp.has_norm) forms.norm = qp.norm;
      return alternate::try_score_vector(qp.q, forms, r.vector, metric);
    }
    case DistanceMetric::kEuclidean: {
      if (auto v = r.vector.as_f32_slice()) {
        if (v->size() != qp.q.size() || qp.q.empty()) return std::nullopt;
        float s = 0.0f;
        score_f32_cached(qp, *v, r.inv_norm, r.sq_norm, metric, s);
        return s;
      }
      return alternate::try_score_vector(qp.q, {}, r.vector, metric);
    }
  }
  return std::nullopt;
}

StoreScore score_with_store(const LayerQuery& qp, const HnswNode& r,
                            const DiskNodeReader& reader, DistanceMetric metric) {
  StoreScore out;
  const auto h = reader.disk_node_header_at(r.storage_offset);
  if (!h || h->deleted()) {
    out.skip = true;
    return out;
  }
  const uint32_t e = h->encoding();
  const uint64_t c = h->element_count;
  if (e == 1 || (e == 0 && c != 0)) {
    const auto bytes = reader.bytes();
    const uint64_t o = h->data_offset;
    if (o <= bytes.size() && 4 * c <= bytes.size() - o) {
      const F32View stored = F32View::from_bytes(bytes.data() + o, c);
      if (stored.size() != qp.q.size() || qp.q.empty()) return out;
      switch (metric) {
        case DistanceMetric::kSparseDot:
          out.score = 0.0f;
          return out;
        case DistanceMetric::kEuclidean:
          out.score = -kern::l2_squared(qp.q, stored);
          return out;
        case DistanceMetric::kCosine:
          break;
      }
      if (qp.cosine && r.inv_norm > kNormEpsilon) {
        out.score = qp.inv_norm < kNormEpsilon
                        ? 0.0f
                        : r.inv_norm * (qp.inv_norm * kern::dot(qp.q, stored));
        return out;
      }
      const float nq = qp.has_norm ? qp.norm : std::sqrt(kern::dot_norm(qp.q, qp.q).second);
      if (!(nq >= kNormEpsilon)) {
        out.score = 0.0f;
        return out;
      }
      const auto [dot, ss] = kern::dot_norm(qp.q, stored);
      const float ns = std::sqrt(ss);
      out.score = ns >= kNormEpsilon ? dot / (nq * ns) : 0.0f;
      return out;
    }
  }
  // Another encoding, or values outside the store: the record's own vector.
  out.score = score_record(qp, r, metric);
  return out;
}

}  // namespace zv
