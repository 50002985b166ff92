#include "src/search/mmr.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "platform/saturating.h"
#include "src/vector/distance_metric.h"
#include "src/vector/kernel_call.h"

namespace zv::search {

uint64_t mmr_candidate_count(uint64_t top_k, std::optional<uint64_t> fetch_k) {
  uint64_t c = fetch_k ? *fetch_k : sat_mul_u64(5, top_k);
  c = std::max(c, top_k);
  return std::min<uint64_t>(c, kMmrMaxCandidates);
}

namespace {

constexpr float kNegInf = -std::numeric_limits<float>::infinity();

// One candidate's vector and what the picks so far have told about it.
struct Candidate {
  F32View vec;      // empty when the record has no vector
  float relevance = 1.0f;  // fixed for the whole step
  float norm = -1;  // |vec|, computed on first use (negative: not yet)
  float best = kNegInf;  // greatest cosine to a comparable pick so far
  bool compared = false;  // some pick gave a cosine that was not NaN
};

float norm_of(Candidate& c) {
  if (c.norm < 0.0f) c.norm = std::sqrt(kern::dot_norm(c.vec, c.vec).first);
  return c.norm;
}

// The cosine of two equal-length non-empty vectors, 0 for a (near) zero norm.
float cosine(Candidate& r, Candidate& p) {
  const float nr = norm_of(r);
  const float np = norm_of(p);
  if (nr < kNormEpsilon || np < kNormEpsilon) return 0.0f;
  const float dot = kern::dot_norm(r.vec, p.vec).first;
  return dot / (nr * np);
}

}  // namespace

std::vector<SearchHit> mmr_rerank(std::vector<SearchHit> hits, uint64_t top_k, const MmrOptions& opts) {
  std::vector<SearchHit> picked;
  if (hits.empty() || top_k == 0) return picked;

  float smin = std::numeric_limits<float>::infinity();
  float smax = kNegInf;
  for (const SearchHit& h : hits) {
    if (std::isnan(h.score)) continue;
    smin = std::min(smin, h.score);
    smax = std::max(smax, h.score);
  }
  const float spread = smax - smin;
  const bool flat = !(spread > 0.0f);  // also NaN and the no-score case

  // The per-pick scans read only this compact array, not the hits.
  std::vector<Candidate> cand(hits.size());
  for (size_t i = 0; i < hits.size(); ++i) {
    const auto& v = hits[i].record.vector;
    if (v && !v->empty()) cand[i].vec = F32View(v->data(), v->size());
    cand[i].relevance = flat ? 1.0f : (hits[i].score - smin) / spread;
  }

  const float lambda = opts.lambda;
  const float diversity = 1.0f - lambda;
  std::vector<size_t> rest(hits.size());
  for (size_t i = 0; i < rest.size(); ++i) rest[i] = i;
  const uint64_t want = std::min<uint64_t>(top_k, hits.size());
  picked.reserve(want);

  auto value_of = [&](const Candidate& c) {
    const float similarity = c.compared ? c.best : 0.0f;
    return lambda * c.relevance - diversity * similarity;
  };
  // The earliest greatest value of the scan; the first when none beats -inf.
  size_t best_pos = 0;
  float best_value = kNegInf;
  for (size_t pos = 0; pos < rest.size(); ++pos) {
    const float v = value_of(cand[rest[pos]]);
    if (v > best_value) {
      best_value = v;
      best_pos = pos;
    }
  }
  for (;;) {
    const size_t p = rest[best_pos];
    rest.erase(rest.begin() + static_cast<ptrdiff_t>(best_pos));
    picked.push_back(std::move(hits[p]));
    if (picked.size() == want || rest.empty()) break;

    // Only the newest pick can raise a remaining candidate's greatest
    // cosine; the same pass finds the next pick.
    const Candidate& pc = cand[p];
    best_pos = 0;
    best_value = kNegInf;
    for (size_t pos = 0; pos < rest.size(); ++pos) {
      Candidate& rc = cand[rest[pos]];
      if (!pc.vec.empty() && !rc.vec.empty() && rc.vec.size() == pc.vec.size()) {
        const float cos = cosine(rc, cand[p]);
        if (!std::isnan(cos)) {
          if (!rc.compared || cos > rc.best) rc.best = cos;
          rc.compared = true;
        }
      }
      const float v = value_of(rc);
      if (v > best_value) {
        best_value = v;
        best_pos = pos;
      }
    }
  }
  return picked;
}

}  // namespace zv::search
