#include "src/search/fingerprint.h"

#include <bit>

#include "platform/coding.h"
#include "platform/siphash.h"

namespace zv::search {
namespace {

// Collects the fingerprinted bytes straight into the hasher.
class Feed {
 public:
  void text(std::string_view s) {
    h_.update(s);
    const char end = static_cast<char>(0xFF);  // never inside UTF-8
    h_.update(&end, 1);
  }
  void u64(uint64_t v) { bytes(coding::u64_le_bytes(v)); }
  void u32(uint32_t v) {
    std::string b;
    coding::put_u32_le(&b, v);
    bytes(b);
  }
  void f32(float f) { u32(std::bit_cast<uint32_t>(f)); }
  void u8(uint8_t v) { h_.update(&v, 1); }
  void tag(bool present) { u64(present ? 1 : 0); }
  uint64_t finish() const { return h_.finish(); }

 private:
  void bytes(const std::string& b) { h_.update(b); }
  SipHasher13 h_{0, 0};
};

}  // namespace

uint64_t plan_fingerprint(const SearchRequest& req) {
  Feed f;
  f.text(req.ns);
  f.tag(req.text_query.has_value());
  if (req.text_query) f.text(*req.text_query);  // untrimmed: blanks count
  for (float x : req.query_vector) f.f32(x);
  if (req.query_sparse) {
    for (const auto& [dim, weight] : *req.query_sparse) {
      f.u32(dim);
      f.f32(weight);
    }
  }
  for (const auto& [name, value] : req.filters) {
    f.text(name);
    f.text(value.debug_string());
  }
  f.text(metric_name(req.distance_metric));
  f.u8(req.explain ? 1 : 0);
  f.u8(req.exclude_superseded ? 1 : 0);
  f.u8(req.include_quarantined ? 1 : 0);
  f.tag(req.min_confidence.has_value());
  if (req.min_confidence) f.f32(*req.min_confidence);
  f.tag(req.as_of_ms.has_value());
  if (req.as_of_ms) f.u64(*req.as_of_ms);
  if (req.valid_window) {
    f.u64(req.valid_window->from_ms);
    f.u64(req.valid_window->to_ms);
  }
  if (req.search_profile) f.text(req.search_profile->debug_string());
  if (req.range) {
    f.tag(req.range->min_score.has_value());
    if (req.range->min_score) f.f32(*req.range->min_score);
    f.tag(req.range->max_score.has_value());
    if (req.range->max_score) f.f32(*req.range->max_score);
  }
  return f.finish();
}

}  // namespace zv::search
