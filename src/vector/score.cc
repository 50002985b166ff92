#include "src/vector/score.h"

#include <bit>
#include <cmath>

#include "src/vector/kernel_call.h"

namespace zv::alternate {
namespace {

std::optional<float> score_binary(std::span<const uint64_t> q, const BinaryCode& s) {
  const size_t m = std::min(q.size(), s.words.size());
  uint64_t h = 0;
  size_t i = 0;
  for (; i + 4 <= m; i += 4) {
    h += std::popcount(s.words[i] ^ q[i]) + std::popcount(s.words[i + 1] ^ q[i + 1]) +
         std::popcount(s.words[i + 2] ^ q[i + 2]) + std::popcount(s.words[i + 3] ^ q[i + 3]);
  }
  for (; i < m; ++i) h += std::popcount(s.words[i] ^ q[i]);
  return 1.0f - static_cast<float>(h) / static_cast<float>(64 * q.size());
}

int32_t nibble(uint8_t b, bool high) {
  int32_t v = high ? (b >> 4) : (b & 0x0F);
  return v >= 8 ? v - 16 : v;
}

std::optional<float> score_turbo(const TurboQuery& q, const TurboCode& s) {
  const size_t m = std::min(q.bytes.size(), s.bytes.size());
  int32_t sum = 0;
  for (size_t i = 0; i < m; ++i) {
    sum += nibble(q.bytes[i], true) * nibble(s.bytes[i], true) +
           nibble(q.bytes[i], false) * nibble(s.bytes[i], false);
  }
  return static_cast<float>(sum) * q.scale / 49.0f;
}

std::optional<float> score_sq8(F32View q, const Sq8Code& s, DistanceMetric metric) {
  if (q.size() != s.codes.size() || q.empty()) return std::nullopt;
  if (metric == DistanceMetric::kSparseDot) return 0.0f;
  const float d = s.scale / 127.0f;
  const size_t n = q.size();
  if (metric == DistanceMetric::kEuclidean) {
    float acc[8] = {};
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
      for (size_t j = 0; j < 8; ++j) {
        const float diff = q[i + j] - static_cast<float>(s.codes[i + j]) * d;
        acc[j] += diff * diff;
      }
    float sum = 0;
    for (float a : acc) sum += a;
    for (; i < n; ++i) {
      const float diff = q[i] - static_cast<float>(s.codes[i]) * d;
      sum += diff * diff;
    }
    return -sum;
  }
  float dot[8] = {}, qq[8] = {}, cc[8] = {};
  size_t i = 0;
  for (; i + 8 <= n; i += 8)
    for (size_t j = 0; j < 8; ++j) {
      const float x = q[i + j], c = static_cast<float>(s.codes[i + j]) * d;
      dot[j] += x * c;
      qq[j] += x * x;
      cc[j] += c * c;
    }
  float sd = 0, sq = 0, sc = 0;
  for (size_t j = 0; j < 8; ++j) {
    sd += dot[j];
    sq += qq[j];
    sc += cc[j];
  }
  for (; i < n; ++i) {
    const float x = q[i], c = static_cast<float>(s.codes[i]) * d;
    sd += x * c;
    sq += x * x;
    sc += c * c;
  }
  if (sq <= kNormEpsilon || sc <= kNormEpsilon) return 0.0f;
  return sd / (std::sqrt(sq) * std::sqrt(sc));
}

std::optional<float> score_f32(F32View q, std::optional<float> qnorm, F32View s,
                               DistanceMetric metric) {
  if (q.size() != s.size() || q.empty()) return std::nullopt;
  switch (metric) {
    case DistanceMetric::kSparseDot: return 0.0f;
    case DistanceMetric::kEuclidean: return -kern::l2_squared(q, s);
    case DistanceMetric::kCosine: break;
  }
  const float nq = qnorm ? *qnorm : std::sqrt(kern::dot_norm(q, q).second);
  if (!(nq >= kNormEpsilon)) return 0.0f;
  const auto [dot, ss] = kern::dot_norm(q, s);
  const float ns = std::sqrt(ss);
  if (!(ns >= kNormEpsilon)) return 0.0f;
  return dot / (nq * ns);
}

}  // namespace

std::optional<float> try_score_vector(F32View query, const QueryForms& forms,
                                      const VectorRepr& stored,
                                      DistanceMetric metric) {
  switch (stored.kind()) {
    case VectorKind::kBinary:
      if (!forms.binary) return std::nullopt;
      return score_binary(*forms.binary, *stored.as_binary());
    case VectorKind::kTurbo:
      if (!forms.turbo) return std::nullopt;
      return score_turbo(*forms.turbo, *stored.as_turbo());
    case VectorKind::kSq8:
      return score_sq8(query, *stored.as_sq8(), metric);
    case VectorKind::kF32:
    case VectorKind::kMmapFull: {
      auto view = stored.as_f32_slice();
      if (!view) return std::nullopt;
      return score_f32(query, forms.norm, *view, metric);
    }
    case VectorKind::kNone: return std::nullopt;
  }
  return std::nullopt;
}

float score_vector(F32View query, const QueryForms& forms, const VectorRepr& stored,
                   DistanceMetric metric) {
  return try_score_vector(query, forms, stored, metric).value_or(0.0f);
}

}  // namespace zv::alternate
