#include "src/index/scann_index.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <immintrin.h>

#include "platform/fill_message.h"
#include "src/index/bounded_best.h"
#include "src/vector/kernel_call.h"

namespace zv {
namespace {

std::string dim_message(uint64_t got, uint64_t dim) {
  return fill(kScannDimMessage, {std::to_string(got), std::to_string(dim)});
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
  out.norms_.reserve(n);
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
    out.norms_.push_back(std::sqrt(sq));
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
  std::vector<float> w(dim_), shifted(dim_);
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
  const uint64_t wanted = rerank_ != 0 && top_k > std::numeric_limits<uint64_t>::max() / rerank_
                              ? std::numeric_limits<uint64_t>::max()
                              : top_k * rerank_;
  auto by_score = [this](const Approx& a, const Approx& b) {
    if (score_before(a.score, b.score)) return true;
    if (score_before(b.score, a.score)) return false;
    return ids_[a.entry] < ids_[b.entry];
  };
  BoundedBest<Approx, decltype(by_score)> best(
      static_cast<size_t>(std::min<uint64_t>(std::max(wanted, top_k), n)), by_score);
  // Four entries per kernel call, each scored from its codes in place: the
  // same bits as scoring its decoded offsets from the lower bounds.
  uint32_t batch[4];
  size_t filled = 0;
  auto score_batch = [&] {
    const uint8_t* codes[4];
    for (size_t i = 0; i < 4; ++i) codes[i] = &code_data_[batch[i < filled ? i : 0] * dim_];
    float raw[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    if (metric_ == DistanceMetric::kEuclidean) {
      kern::l2_squared_codes4(shifted, w.data(), codes, raw);
    } else if (metric_ == DistanceMetric::kCosine) {
      kern::dot_codes4(query, w.data(), codes, raw);
    }
    float scores[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    if (metric_ == DistanceMetric::kEuclidean) {
      for (size_t i = 0; i < 4; ++i) scores[i] = -raw[i];
    } else if (metric_ == DistanceMetric::kCosine && !(q_norm < kNormEpsilon)) {
      // The four divisions in one instruction: each lane rounds as the
      // scalar division would.
      const __m128 vn = _mm_setr_ps(norms_[batch[0]], norms_[filled > 1 ? batch[1] : batch[0]],
                                    norms_[filled > 2 ? batch[2] : batch[0]],
                                    norms_[filled > 3 ? batch[3] : batch[0]]);
      const __m128 quotient = _mm_div_ps(_mm_add_ps(_mm_loadu_ps(raw), _mm_set1_ps(q_dot_lo)),
                                         _mm_mul_ps(vn, _mm_set1_ps(q_norm)));
      const __m128 usable = _mm_cmpnlt_ps(vn, _mm_set1_ps(kNormEpsilon));  // true for NaN too
      _mm_storeu_ps(scores, _mm_and_ps(quotient, usable));
    }
    // Most entries score below the worst kept: one comparison of the four
    // skips them (a number below another ranks after it in the total order
    // too; the worst kept only gets better as entries enter).
    int below = 0;
    if (const Approx* worst = best.worst())
      below = _mm_movemask_ps(_mm_cmplt_ps(_mm_loadu_ps(scores), _mm_set1_ps(worst->score)));
    for (size_t i = 0; i < filled; ++i) {
      if (below & (1 << i)) continue;
      const Approx* worst = best.worst();
      if (worst && score_before(worst->score, scores[i])) continue;
      best.push({batch[i], scores[i]});
    }
    filled = 0;
  };
  // Codes a page or so ahead of the scan are asked for early: the hardware's
  // stream prefetch stops at page ends.
  const size_t ahead = std::max<size_t>(4096, 4 * dim_);
  const size_t code_bytes = code_data_.size();
  size_t prefetched = std::min(ahead, code_bytes);
  for (size_t e = 0; e < n; ++e) {
    const size_t want = std::min(code_bytes, (e + 1) * dim_ + ahead);
    for (; prefetched < want; prefetched += 64) __builtin_prefetch(code_data_.data() + prefetched);
    if (!lens_[e]) continue;
    if (!unfiltered && !FilterBitset::matches(filters_[e], filter)) continue;
    batch[filled++] = static_cast<uint32_t>(e);
    if (filled == 4) score_batch();
  }
  if (filled) score_batch();
  const std::vector<Approx> cands = std::move(best).take_sorted();
  const size_t g = cands.size();
  out.reserve(g);
  for (size_t i = 0; i < g; ++i)
    out.push_back({ids_[cands[i].entry], rescore(cands[i].entry, query, q_norm)});
  const size_t keep = static_cast<size_t>(std::min<uint64_t>(top_k, out.size()));
  std::partial_sort(out.begin(), out.begin() + keep, out.end(), BestFirst{});
  out.resize(keep);
  return out;
}

}  // namespace zv
