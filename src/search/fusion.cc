#include "src/search/fusion.h"

#include <cmath>
#include <limits>
#include <string>

#include "platform/log.h"
#include "src/record/float_text.h"
#include "src/search/hit_order.h"

namespace zv::fusion {

namespace {
constexpr std::string_view kLogTarget = "zolva::search::fusion";
}  // namespace

void accumulate_rrf(Accumulator& acc, std::vector<SearchHit> list, float k) {
  for (size_t i = 0; i < list.size(); ++i) {
    const float contribution = 1.0f / ((static_cast<float>(i) + k) + 1.0f);
    SearchHit& hit = list[i];
    FusionKey key{hit.record.ns, hit.record.key};
    auto it = acc.find(key);
    if (it != acc.end()) {
      it->second.score = it->second.score + contribution;
      continue;
    }
    hit.explanation.reset();
    hit.score = contribution;
    acc.emplace(std::move(key), std::move(hit));
  }
}

std::vector<SearchHit> drain_sorted(Accumulator& acc) {
  std::vector<SearchHit> out;
  out.reserve(acc.size());
  for (auto& [key, hit] : acc) out.push_back(std::move(hit));
  acc.clear();
  if (out.size() > 1) search::sort_hits(out);
  return out;
}

uint64_t rrf_k_report_value(float k) {
  if (std::isnan(k) || k < 0.0f) return 0;
  // 2^64 is exactly representable; anything at or above it saturates.
  if (k >= 18446744073709551616.0f) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(k);
}

std::pair<std::vector<SearchHit>, FusionReport> fuse_rrf(std::vector<SearchHit> keyword,
                                                         std::vector<SearchHit> dense, float k) {
  FusionReport report;
  report.text_candidates = keyword.size();
  report.vector_candidates = dense.size();
  ZV_LOG(log::Level::kDebug, kLogTarget,
         "Fusing lexical candidates (" + std::to_string(keyword.size()) + ") and vector candidates (" +
             std::to_string(dense.size()) + ") with RRF_K = " + float_display_f32(k));
  Accumulator acc;
  accumulate_rrf(acc, std::move(keyword), k);
  accumulate_rrf(acc, std::move(dense), k);
  std::vector<SearchHit> fused = drain_sorted(acc);
  ZV_LOG(log::Level::kDebug, kLogTarget, "Fused candidates count: " + std::to_string(fused.size()));
  report.fused_candidates = fused.size();
  report.rrf_k = rrf_k_report_value(k);
  return {std::move(fused), report};
}

std::vector<SearchHit> fuse_rrf_lists(std::vector<std::vector<SearchHit>> lists, float k) {
  Accumulator acc;
  for (auto& list : lists) accumulate_rrf(acc, std::move(list), k);
  return drain_sorted(acc);
}

}  // namespace zv::fusion
