#include "src/index/scann_index.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/fill_message.h"
#include "src/vector/kernel_call.h"

namespace zv {
namespace {

std::string dim_message(uint64_t got, uint64_t dim) {
  return fill(kScannDimMessage, {std::to_string(got), std::to_string(dim)});
}

// out[j] = w[j] * codes[j]: the hot loop of the scan, vectorised (GCC at -O2
// keeps int-to-float loops scalar unless asked).
#if defined(__GNUC__) && !defined(__clang__)
__attribute__((optimize("tree-vectorize")))
#endif
void scale_codes(const float* w, const uint8_t* codes, float* out, size_t n) {
  for (size_t j = 0; j < n; ++j) out[j] = w[j] * static_cast<float>(codes[j]);
}

uint8_t quantize(float x, float lo, float hi) {
  const float width = hi - lo;
  if (width < kNormEpsilon) return 128;
  const float c = std::round((x - lo) / width * 255.0f);
  if (!(c > 0.0f)) return 0;  // also NaN
  return c >= 255.0f ? 255 : static_cast<uint8_t>(c);
}

}  // namespace

ZolvaResult<void> ScannIndex::Builder::add(NodeId id, const FilterBitset& filter,
                                           const VectorRepr& vector, uint64_t storage_offset) {
  const std::vector<float>* v = vector.as_f32();
  if (!v) return make_unexpected(ZolvaError::validation(kScannField, kScannNotFullMessage));
  if (!bounds_initialized_) {
    min_ = *v;
    max_ = *v;
    dim_ = v->size();
    bounds_initialized_ = true;
  } else if (!v->empty() && v->size() != dim_) {
    return make_unexpected(ZolvaError::validation(kScannField, dim_message(v->size(), dim_)));
  } else if (v->size() == dim_) {
    for (size_t i = 0; i < dim_; ++i) {
      min_[i] = std::min(min_[i], (*v)[i]);
      max_[i] = std::max(max_[i], (*v)[i]);
    }
  }
  staged_.push_back({id, filter, *v, storage_offset});
  return {};
}

ScannIndex ScannIndex::Builder::finish() && {
  ScannIndex out;
  out.rerank_ = rerank_;
  out.metric_ = metric_;
  out.dim_ = dim_;
  out.min_ = std::move(min_);
  out.max_ = std::move(max_);
  const size_t n = staged_.size();
  out.ids_.reserve(n);
  out.filters_.reserve(n);
  out.sq_norms_.reserve(n);
  out.offsets_.reserve(n);
  out.lens_.reserve(n);
  out.code_data_.assign(n * dim_, 0);
  for (size_t e = 0; e < n; ++e) {
    Staged& s = staged_[e];
    float sq = 0.0f;
    for (float x : s.values) sq += x * x;
    const bool full = s.values.size() == dim_ && dim_ > 0;
    if (full) {
      uint8_t* codes = &out.code_data_[e * dim_];
      for (size_t i = 0; i < dim_; ++i) codes[i] = quantize(s.values[i], out.min_[i], out.max_[i]);
    }
    out.ids_.push_back(s.id);
    out.filters_.push_back(std::move(s.filter));
    out.sq_norms_.push_back(sq);
    out.offsets_.push_back(s.storage_offset);
    out.lens_.push_back(full ? 1 : 0);
  }
  staged_.clear();
  return out;
}

std::span<const uint8_t> ScannIndex::codes(size_t i) const {
  if (!lens_[i]) return {};
  return std::span<const uint8_t>(code_data_).subspan(i * dim_, dim_);
}

float ScannIndex::dequantized(size_t i, size_t j) const {
  return (max_[j] - min_[j]) * (static_cast<float>(code_data_[i * dim_ + j]) / 255.0f) + min_[j];
}

float ScannIndex::rescore(size_t i, std::span<const float> q, float query_norm) const {
  thread_local std::vector<float> v;
  v.resize(dim_);
  for (size_t j = 0; j < dim_; ++j) v[j] = dequantized(i, j);
  switch (metric_) {
    case DistanceMetric::kEuclidean: return -kern::l2_squared(q, v);
    case DistanceMetric::kCosine: {
      const auto [dot, vv] = kern::dot_norm(q, v);
      const float vn = std::sqrt(vv);
      if (query_norm < kNormEpsilon || vn < kNormEpsilon) return 0.0f;
      return dot / (query_norm * vn);
    }
    case DistanceMetric::kSparseDot: return 0.0f;
  }
  return 0.0f;
}

std::vector<ScoredCandidate> ScannIndex::search(std::span<const float> query,
                                                const FilterBitset& filter,
                                                uint64_t top_k) const {
  std::vector<ScoredCandidate> out;
  const size_t n = ids_.size();
  if (top_k == 0 || n == 0 || dim_ == 0 || query.size() != dim_) return out;
  // The dequantised value is lo + w * code: precompute the per-component
  // terms so the scan is one multiply-add per code.
  std::vector<float> w(dim_), shifted(dim_), scaled(dim_);
  float q_dot_lo = 0.0f, qq = 0.0f;
  for (size_t j = 0; j < dim_; ++j) {
    w[j] = (max_[j] - min_[j]) / 255.0f;
    shifted[j] = query[j] - min_[j];
    q_dot_lo += query[j] * min_[j];
    qq += query[j] * query[j];
  }
  const float q_norm = std::sqrt(qq);
  const bool unfiltered = filter.is_unfiltered();
  struct Approx {
    uint32_t entry;
    float score;
  };
  std::vector<Approx> cands;
  cands.reserve(n);
  for (size_t e = 0; e < n; ++e) {
    if (!lens_[e]) continue;
    if (!unfiltered && !FilterBitset::matches(filters_[e], filter)) continue;
    const uint8_t* c = &code_data_[e * dim_];
    // The entry's offsets from the lower bounds, then one kernel call.
    scale_codes(w.data(), c, scaled.data(), dim_);
    float score = 0.0f;
    if (metric_ == DistanceMetric::kEuclidean) {
      score = -kern::l2_squared(shifted, scaled);
    } else if (metric_ == DistanceMetric::kCosine) {
      const float vn = std::sqrt(sq_norms_[e]);
      score = (vn < kNormEpsilon || q_norm < kNormEpsilon)
                  ? 0.0f
                  : (kern::dot(query, scaled) + q_dot_lo) / (vn * q_norm);
    }
    cands.push_back({static_cast<uint32_t>(e), score});
  }
  const uint64_t wanted = rerank_ != 0 && top_k > std::numeric_limits<uint64_t>::max() / rerank_
                              ? std::numeric_limits<uint64_t>::max()
                              : top_k * rerank_;
  const uint64_t budget = std::min<uint64_t>(wanted, cands.size());
  const size_t g = static_cast<size_t>(std::max<uint64_t>(budget, std::min<uint64_t>(top_k, cands.size())));
  auto by_score = [this](const Approx& a, const Approx& b) {
    if (score_before(a.score, b.score)) return true;
    if (score_before(b.score, a.score)) return false;
    return ids_[a.entry] < ids_[b.entry];
  };
  std::partial_sort(cands.begin(), cands.begin() + g, cands.end(), by_score);
  out.reserve(g);
  for (size_t i = 0; i < g; ++i)
    out.push_back({ids_[cands[i].entry], rescore(cands[i].entry, query, q_norm)});
  const size_t keep = static_cast<size_t>(std::min<uint64_t>(top_k, out.size()));
  std::partial_sort(out.begin(), out.begin() + keep, out.end(), BestFirst{});
  out.resize(keep);
  return out;
}

}  // namespace zv
