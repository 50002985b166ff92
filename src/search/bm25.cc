#include "src/search/bm25.h"

#include <cmath>

namespace zv::search {

float bm25_avgdl(uint64_t doc_count, uint64_t total_doc_len) {
  if (total_doc_len == 0) return 1.0f;
  return static_cast<float>(total_doc_len) / static_cast<float>(doc_count);
}

float bm25_idf(uint64_t doc_count, uint64_t df) {
  const float n = static_cast<float>(doc_count);
  const float d = static_cast<float>(df);
  float x = n - d;
  x = x + 0.5f;
  x = x / (d + 0.5f);
  x = x + 1.0f;
  return std::log(x);  // the float overload: a single-precision logarithm
}

float bm25_contribution(uint32_t tf, uint32_t doc_len, float avgdl, float idf) {
  const float t = static_cast<float>(tf);
  float a = static_cast<float>(doc_len) / avgdl;
  a = a * 0.75f;
  a = a + 0.25f;
  a = a * 1.2f;
  a = a + t;
  float c = (t * 2.2f) / a;
  c = c * idf;
  return c;
}

}  // namespace zv::search
