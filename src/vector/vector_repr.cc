#include "src/vector/vector_repr.h"

#include <cmath>

#include "src/vector/kernel_call.h"

namespace zv {

bool MmapFull::operator==(const MmapFull& o) const {
  if (region.has_value() != o.region.has_value()) return false;
  if (!region) return true;
  return region->data() == o.region->data() && region->byte_len() == o.region->byte_len();
}

VectorRepr VectorRepr::binary(std::vector<uint64_t> words) {
  return VectorRepr(Payload(std::in_place_index<0>, BinaryCode{std::move(words)}));
}
VectorRepr VectorRepr::turbo(std::vector<uint8_t> bytes) {
  return VectorRepr(Payload(std::in_place_index<1>, TurboCode{std::move(bytes)}));
}
VectorRepr VectorRepr::sq8(float scale, std::vector<int8_t> codes) {
  return VectorRepr(Payload(std::in_place_index<2>, Sq8Code{scale, std::move(codes)}));
}
VectorRepr VectorRepr::f32(std::vector<float> values) {
  return VectorRepr(Payload(std::in_place_index<3>, std::move(values)));
}
VectorRepr VectorRepr::mmap_full(std::optional<MappedVector> region) {
  return VectorRepr(Payload(std::in_place_index<4>, MmapFull{std::move(region)}));
}

std::optional<F32View> VectorRepr::as_f32_slice() const {
  if (const auto* v = as_f32()) return F32View(*v);
  if (const auto* m = as_mmap()) {
    if (!m->region) return std::nullopt;
    size_t len = m->region->byte_len();
    if (len < sizeof(float) || len > kMaxMappedVectorBytes) return std::nullopt;
    return F32View::from_bytes(m->region->data(), len / sizeof(float));
  }
  return std::nullopt;
}

std::optional<std::vector<float>> VectorRepr::to_f32_vec() const {
  if (const auto* q = as_sq8()) {
    const float d = q->scale / 127.0f;
    std::vector<float> out(q->codes.size());
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<float>(q->codes[i]) * d;
    return out;
  }
  if (auto view = as_f32_slice()) return view->to_vector();
  return std::nullopt;
}

uint64_t VectorRepr::payload_bytes() const {
  switch (kind()) {
    case VectorKind::kBinary: return 8 * as_binary()->words.size();
    case VectorKind::kTurbo: return as_turbo()->bytes.size();
    case VectorKind::kSq8: return as_sq8()->codes.size() + 4;
    case VectorKind::kF32: return 4 * as_f32()->size();
    case VectorKind::kMmapFull:
    case VectorKind::kNone: return 0;
  }
  return 0;
}

namespace {

std::optional<float> sq8_cosine(const Sq8Code& a, const Sq8Code& b) {
  // Compared on the decoded values: the dot product over the common prefix,
  // divided by each vector's decoded norm. Codes are small integers, so the
  // sums are exact in 64 bits and the scales are applied once.
  const size_t n = std::min(a.codes.size(), b.codes.size());
  int64_t dot = 0;
  for (size_t i = 0; i < n; ++i) dot += int64_t{a.codes[i]} * b.codes[i];
  int64_t aa = 0, bb = 0;
  for (int8_t c : a.codes) aa += int64_t{c} * c;
  for (int8_t c : b.codes) bb += int64_t{c} * c;
  const float da = a.scale / 127.0f, db = b.scale / 127.0f;
  const float na = std::sqrt(da * da * static_cast<float>(aa));
  const float nb = std::sqrt(db * db * static_cast<float>(bb));
  const float denom = na * nb;
  if (!(denom >= kNormEpsilon)) return std::nullopt;
  return (da * db) * static_cast<float>(dot) / denom;
}

struct Sums {
  float dot = 0, na = 0, nb = 0;
};

Sums sums_scalar(F32View a, F32View b) {
  Sums s;
  for (size_t i = 0; i < a.size(); ++i) {
    const float x = a[i], y = b[i];
    s.dot += x * y;
    s.na += x * x;
    s.nb += y * y;
  }
  return s;
}

// Blocks of 8 with four-lane accumulators for values 0-3 and 4-7 of each block.
Sums sums_blocked(F32View a, F32View b) {
  float d[8] = {}, xa[8] = {}, xb[8] = {};
  const size_t n = a.size();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (size_t j = 0; j < 8; ++j) {
      const float x = a[i + j], y = b[i + j];
      d[j] += x * y;
      xa[j] += x * x;
      xb[j] += y * y;
    }
  }
  auto reduce = [](const float* v) {
    return (((v[0] + v[1]) + v[2]) + v[3]) + (((v[4] + v[5]) + v[6]) + v[7]);
  };
  Sums s{reduce(d), reduce(xa), reduce(xb)};
  for (; i < n; ++i) {
    const float x = a[i], y = b[i];
    s.dot += x * y;
    s.na += x * x;
    s.nb += y * y;
  }
  return s;
}

}  // namespace

std::optional<float> VectorRepr::cosine_similarity(const VectorRepr& a,
                                                   const VectorRepr& b) {
  const Sq8Code* qa = a.as_sq8();
  const Sq8Code* qb = b.as_sq8();
  if (qa && qb) return sq8_cosine(*qa, *qb);
  if (qa || qb) return std::nullopt;
  auto va = a.as_f32_slice();
  auto vb = b.as_f32_slice();
  if (!va || !vb || va->size() != vb->size() || va->empty()) return std::nullopt;
  const Sums s = kern::simd_is_scalar() ? sums_scalar(*va, *vb) : sums_blocked(*va, *vb);
  const float denom = std::sqrt(s.na) * std::sqrt(s.nb);
  if (!(denom >= kNormEpsilon)) return std::nullopt;
  return s.dot / denom;
}

CachedNorms cached_norms(F32View v) {
  if (v.empty()) return {};
  const float n = std::sqrt(kern::dot_norm(v, v).second);
  if (n > kNormEpsilon) return {1.0f / n, n * n};
  return {};
}

CachedNorms node_norms(DistanceMetric metric, const VectorRepr& v) {
  if (metric == DistanceMetric::kSparseDot) return {};
  if (auto view = v.as_f32_slice()) return cached_norms(*view);
  return {};
}

}  // namespace zv
