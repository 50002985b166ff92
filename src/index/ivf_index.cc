#include "src/index/ivf_index.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/coding.h"
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
  }
}

uint64_t IvfIndex::entry_count() const {
  uint64_t n = 0;
  for (const auto& l : lists_) n += l.size();
  return n;
}

std::vector<ScoredCandidate> IvfIndex::search(std::span<const float> query, uint64_t top_k,
                                              const FilterBitset& filter) const {
  std::vector<ScoredCandidate> out;
  if (top_k == 0 || centroids_.empty()) return out;
  const F32View q(query);
  const float qn = query.empty() ? 0.0f : std::sqrt(kern::dot_norm(q, q).second);
  struct Probe {
    uint32_t list;
    float score;
  };
  std::vector<Probe> probes;
  probes.reserve(centroids_.size());
  for (size_t i = 0; i < centroids_.size(); ++i)
    probes.push_back({static_cast<uint32_t>(i), ivf_score(q, qn, centroids_[i], metric_)});
  std::stable_sort(probes.begin(), probes.end(),
                   [](const Probe& a, const Probe& b) { return score_before(a.score, b.score); });
  const size_t scan = static_cast<size_t>(std::min<uint64_t>(probes.size(), nprobe_));
  const bool unfiltered = filter.is_unfiltered();
  for (size_t p = 0; p < scan && probes[p].list < lists_.size(); ++p) {
    const uint32_t li = probes[p].list;
    const auto& list = lists_[li];
    if (packed_dims_[li] != 0) {
      if (packed_dims_[li] != query.size()) continue;  // nothing comparable
      const float* values = packed_[li].data();
      for (size_t k = 0; k < list.size(); ++k) {
        if (!unfiltered && !FilterBitset::matches(list[k].filter, filter)) continue;
        const F32View v(values + k * query.size(), query.size());
        out.push_back({list[k].id, ivf_score(q, qn, v, metric_)});
      }
      continue;
    }
    for (const IvfEntry& e : list) {
      if (!unfiltered && !FilterBitset::matches(e.filter, filter)) continue;
      if (!comparable(e.vector, query)) continue;
      out.push_back({e.id, ivf_score(q, qn, e.vector, metric_)});
    }
  }
  const size_t keep = static_cast<size_t>(std::min<uint64_t>(top_k, out.size()));
  std::partial_sort(out.begin(), out.begin() + keep, out.end(), BestFirst{});
  out.resize(keep);
  return out;
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
