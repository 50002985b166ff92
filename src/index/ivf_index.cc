#include "src/index/ivf_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <immintrin.h>

#include "platform/coding.h"
#include "src/index/bounded_best.h"
#include "src/index/kmeans.h"
#include "src/index/working_dimension.h"
#include "src/vector/kernel_call.h"

namespace zv {
namespace {

// Smallest bytes of one blob entry: id, bitset length, value count.
constexpr uint64_t kMinEntryBytes = 32;

// A bounds-checked reader over the blob.
class BlobReader {
 public:
  explicit BlobReader(std::span<const uint8_t> d) : d_(d) {}
  uint64_t left() const { return d_.size() - pos_; }
  bool u64(uint64_t* v) {
    if (left() < 8) return false;
    *v = coding::get_le<uint64_t>(d_.data() + pos_);
    pos_ += 8;
    return true;
  }
  bool u8(uint8_t* v) {
    if (left() < 1) return false;
    *v = d_[pos_++];
    return true;
  }
  bool floats(uint64_t count, std::vector<float>* out) {
    if (count > left() / 4) return false;
    out->resize(count);
    if (count) std::memcpy(out->data(), d_.data() + pos_, count * 4);
    pos_ += count * 4;
    return true;
  }
  bool bytes(uint64_t n, std::span<const uint8_t>* out) {
    if (n > left()) return false;
    *out = d_.subspan(pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::span<const uint8_t> d_;
  size_t pos_ = 0;
};

// How far ahead of the scored block the scan prefetches, in rows.
constexpr size_t kPrefetchRows = 8;

// |v| with the bits ivf_score computes for it against any query.
float stored_norm(F32View v) { return std::sqrt(kern::dot_norm(v, v).second); }

bool comparable(std::span<const float> v, std::span<const float> q) {
  return !v.empty() && v.size() == q.size();
}

}  // namespace

IvfIndex IvfIndex::build(std::vector<IvfEntry> entries, uint64_t nlist, uint64_t nprobe,
                         DistanceMetric metric) {
  IvfIndex out;
  out.nlist_ = nlist;
  out.nprobe_ = nprobe;
  out.metric_ = metric;
  std::vector<size_t> lengths;
  lengths.reserve(entries.size());
  for (const IvfEntry& e : entries) lengths.push_back(e.vector.size());
  const size_t d = most_common_length(lengths);
  std::erase_if(entries, [d](const IvfEntry& e) { return e.vector.empty() || e.vector.size() != d; });
  if (entries.empty()) return out;
  std::vector<F32View> points;
  points.reserve(entries.size());
  for (const IvfEntry& e : entries) points.emplace_back(e.vector);
  KMeansResult km = train_kmeans(points, d, nlist, metric);
  out.lists_.resize(km.centroids.size());
  for (size_t i = 0; i < entries.size(); ++i)
    out.lists_[km.assignment[i]].push_back(std::move(entries[i]));
  out.centroids_ = std::move(km.centroids);
  out.pack();
  return out;
}

void IvfIndex::pack() {
  packed_.assign(lists_.size(), {});
  packed_dims_.assign(lists_.size(), 0);
  packed_norms_.assign(lists_.size(), {});
  for (size_t i = 0; i < lists_.size(); ++i) {
    const auto& list = lists_[i];
    if (list.empty() || list[0].vector.empty()) continue;
    const size_t d = list[0].vector.size();
    bool same = true;
    for (const IvfEntry& e : list) same = same && e.vector.size() == d;
    if (!same) continue;
    packed_dims_[i] = d;
    packed_[i].reserve(list.size() * d);
    for (const IvfEntry& e : list) packed_[i].insert(packed_[i].end(), e.vector.begin(), e.vector.end());
    if (metric_ == DistanceMetric::kCosine)
      for (const IvfEntry& e : list) packed_norms_[i].push_back(stored_norm(e.vector));
  }
  centroid_rows_.clear();
  centroid_norms_.clear();
  centroid_dim_ = centroids_.empty() ? 0 : centroids_[0].size();
  for (const auto& c : centroids_)
    if (c.size() != centroid_dim_) centroid_dim_ = 0;
  if (centroid_dim_ == 0) return;
  for (const auto& c : centroids_) {
    centroid_rows_.insert(centroid_rows_.end(), c.begin(), c.end());
    if (metric_ == DistanceMetric::kCosine) centroid_norms_.push_back(stored_norm(c));
  }
}

void IvfIndex::score_rows(F32View q, float qn, const float* rows, const float* norms,
                          size_t count, float* out) const {
  const size_t d = q.size();
  // Four rows per kernel call; each score has the bits of ivf_score on the
  // same pair, since a row's norm is the one its own dot_norm would give.
  auto finish = [&](size_t k, float raw) {
    if (metric_ == DistanceMetric::kEuclidean) {
      out[k] = -raw;
    } else if (qn < kNormEpsilon || norms[k] < kNormEpsilon) {
      out[k] = 0.0f;
    } else {
      out[k] = raw / (qn * norms[k]);
    }
  };
  const bool l2 = metric_ == DistanceMetric::kEuclidean;
  size_t k = 0;
  for (; k + 4 <= count; k += 4) {
    // The hardware's stream prefetch stops at page ends; the rows a few
    // blocks ahead are asked for here so the scan does not wait at each page.
    if (k + 4 + kPrefetchRows < count)
      for (size_t b = 0; b < 4 * d * sizeof(float); b += 64)
        __builtin_prefetch(reinterpret_cast<const char*>(rows + (k + kPrefetchRows) * d) + b);
    const float* r[4] = {rows + k * d, rows + (k + 1) * d, rows + (k + 2) * d, rows + (k + 3) * d};
    float raw[4];
    if (l2) {
      kern::l2_squared_rows4(q, r, raw);
      for (size_t j = 0; j < 4; ++j) out[k + j] = -raw[j];
    } else if (qn < kNormEpsilon) {
      for (size_t j = 0; j < 4; ++j) out[k + j] = 0.0f;
    } else {
      kern::dot_rows4(q, r, raw);
      // Four divisions in one instruction, each lane rounding as the scalar
      // one would; a norm below epsilon (not NaN) scores 0.
      const __m128 n = _mm_loadu_ps(norms + k);
      const __m128 quotient = _mm_div_ps(_mm_loadu_ps(raw), _mm_mul_ps(_mm_set1_ps(qn), n));
      _mm_storeu_ps(out + k, _mm_and_ps(quotient, _mm_cmpnlt_ps(n, _mm_set1_ps(kNormEpsilon))));
    }
  }
  for (; k < count; ++k) {
    const F32View v(rows + k * d, d);
    finish(k, l2 ? kern::l2_squared(q, v) : kern::dot(q, v));
  }
}

std::vector<float> IvfIndex::centroid_scores(F32View q, float qn) const {
  std::vector<float> out(centroids_.size());
  const bool rows = centroid_dim_ != 0 && centroid_dim_ == q.size() &&
                    (metric_ == DistanceMetric::kCosine || metric_ == DistanceMetric::kEuclidean);
  if (rows) {
    score_rows(q, qn, centroid_rows_.data(), centroid_norms_.data(), centroids_.size(), out.data());
  } else {
    for (size_t i = 0; i < centroids_.size(); ++i) out[i] = ivf_score(q, qn, centroids_[i], metric_);
  }
  return out;
}

uint64_t IvfIndex::entry_count() const {
  uint64_t n = 0;
  for (const auto& l : lists_) n += l.size();
  return n;
}

std::vector<ScoredCandidate> IvfIndex::search(std::span<const float> query, uint64_t top_k,
                                              const FilterBitset& filter) const {
  if (top_k == 0 || centroids_.empty()) return {};
  const F32View q(query);
  const float qn = query.empty() ? 0.0f : std::sqrt(kern::dot_norm(q, q).second);
  const std::vector<float> scores = centroid_scores(q, qn);
  std::vector<uint32_t> probes(centroids_.size());
  for (size_t i = 0; i < probes.size(); ++i) probes[i] = static_cast<uint32_t>(i);
  const size_t scan = static_cast<size_t>(std::min<uint64_t>(probes.size(), nprobe_));
  // Best score first, equal scores in centroid order.
  std::partial_sort(probes.begin(), probes.begin() + scan, probes.end(),
                    [&scores](uint32_t a, uint32_t b) {
                      if (score_before(scores[a], scores[b])) return true;
                      if (score_before(scores[b], scores[a])) return false;
                      return a < b;
                    });
  const bool unfiltered = filter.is_unfiltered();
  const bool rows = metric_ == DistanceMetric::kCosine || metric_ == DistanceMetric::kEuclidean;
  BoundedBest<ScoredCandidate, BestFirst> best(
      static_cast<size_t>(std::min<uint64_t>(top_k, std::numeric_limits<size_t>::max())));
  std::vector<float> list_scores;
  for (size_t p = 0; p < scan && probes[p] < lists_.size(); ++p) {
    const uint32_t li = probes[p];
    if (p + 1 < scan && probes[p + 1] < lists_.size() && !packed_[probes[p + 1]].empty()) {
      // The next list's first rows, while this one is scored.
      const auto& next = packed_[probes[p + 1]];
      const size_t bytes = std::min<size_t>(next.size() * sizeof(float), 4096);
      for (size_t b = 0; b < bytes; b += 64)
        __builtin_prefetch(reinterpret_cast<const char*>(next.data()) + b);
    }
    const auto& list = lists_[li];
    if (packed_dims_[li] != 0) {
      if (packed_dims_[li] != query.size()) continue;  // nothing comparable
      const float* values = packed_[li].data();
      list_scores.resize(list.size());
      if (rows) {
        score_rows(q, qn, values, packed_norms_[li].data(), list.size(), list_scores.data());
      } else {
        for (size_t k = 0; k < list.size(); ++k)
          list_scores[k] = ivf_score(q, qn, F32View(values + k * query.size(), query.size()), metric_);
      }
      for (size_t k = 0; k < list.size(); ++k) {
        // A score below the worst kept cannot enter: the entry itself (its
        // id and filter) is not read.
        const ScoredCandidate* worst = best.worst();
        if (worst && (list_scores[k] < worst->score || score_before(worst->score, list_scores[k])))
          continue;
        if (!unfiltered && !FilterBitset::matches(list[k].filter, filter)) continue;
        best.push({list[k].id, list_scores[k]});
      }
      continue;
    }
    for (const IvfEntry& e : list) {
      if (!unfiltered && !FilterBitset::matches(e.filter, filter)) continue;
      if (!comparable(e.vector, query)) continue;
      best.push({e.id, ivf_score(q, qn, e.vector, metric_)});
    }
  }
  return std::move(best).take_sorted();
}

void IvfIndex::encode_to(std::string* dst) const {
  coding::put_u64_le(dst, nlist_);
  coding::put_u64_le(dst, nprobe_);
  coding::put_u8(dst, static_cast<uint8_t>(metric_));
  coding::put_u64_le(dst, centroids_.size());
  auto put_floats = [dst](const std::vector<float>& v) {
    coding::put_u64_le(dst, v.size());
    dst->append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(float));
  };
  for (const auto& c : centroids_) put_floats(c);
  coding::put_u64_le(dst, lists_.size());
  for (const auto& list : lists_) {
    coding::put_u64_le(dst, list.size());
    for (const IvfEntry& e : list) {
      coding::put_u64_le(dst, node_id_low(e.id));
      coding::put_u64_le(dst, node_id_high(e.id));
      coding::put_u64_le(dst, 4 + 8 * uint64_t{e.filter.words().size()});
      e.filter.encode_to(dst);
      put_floats(e.vector);
    }
  }
}

std::optional<IvfIndex> IvfIndex::decode(std::span<const uint8_t> data) {
  if (data.size() <= 24) return std::nullopt;
  BlobReader r(data);
  IvfIndex out;
  uint8_t metric = 0;
  uint64_t c = 0;
  if (!r.u64(&out.nlist_) || !r.u64(&out.nprobe_) || !r.u8(&metric) || !r.u64(&c))
    return std::nullopt;
  auto m = metric_from_byte(metric);
  if (!m) return std::nullopt;
  out.metric_ = *m;
  if (c > r.left() / 8) return std::nullopt;
  out.centroids_.resize(c);
  for (auto& centroid : out.centroids_) {
    uint64_t d = 0;
    if (!r.u64(&d) || !r.floats(d, &centroid)) return std::nullopt;
  }
  uint64_t lists = 0;
  if (!r.u64(&lists) || lists > r.left() / 8) return std::nullopt;
  // Every list belongs to one centroid: a search must never probe a list
  // that is not there.
  if (lists != c) return std::nullopt;
  out.lists_.resize(lists);
  for (auto& list : out.lists_) {
    uint64_t count = 0;
    if (!r.u64(&count) || count > r.left() / kMinEntryBytes) return std::nullopt;
    list.resize(count);
    for (IvfEntry& e : list) {
      uint64_t lo = 0, hi = 0, blen = 0, f = 0;
      std::span<const uint8_t> bits;
      if (!r.u64(&lo) || !r.u64(&hi) || !r.u64(&blen) || !r.bytes(blen, &bits))
        return std::nullopt;
      auto decoded = FilterBitset::decode(bits);
      if (!decoded.ok()) return std::nullopt;
      e.id = make_node_id(hi, lo);
      e.filter = std::move(decoded->bitset);
      if (!r.u64(&f) || !r.floats(f, &e.vector)) return std::nullopt;
    }
  }
  out.pack();
  return out;
}

}  // namespace zv
