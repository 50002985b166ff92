// The search driver: one search from a request to a page of hits. It checks
// the request and its cursor, runs the candidate stages the inputs and the
// mode select (with widened counts on fused routes), fuses their lists,
// attaches explanations when asked, applies the lifecycle, confidence and
// score filters, MMR and grouping, resumes after the cursor, and searches
// again with twice the candidates (up to 10000) when filters left the page
// short. The stages are reached through a narrow seam, so that tests can
// record what each stage was asked. Thread-safe; holds no lock of its own and
// changes nothing shared but the process-wide counters.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/record/validation.h"
#include "src/search/engine_source.h"
#include "src/search/request.h"
#include "src/search/search_hit.h"
#include "src/vector/distance_metric.h"

namespace zv::search {

// The candidate stages as the driver calls them. Each returns its hits in
// its own rank order, filtered by the equality filters, at most `count`.
class StageSeam {
 public:
  virtual ~StageSeam() = default;
  virtual ZolvaResult<std::vector<SearchHit>> keyword(std::string_view ns, std::string_view text,
                                                      const FieldMap& filters, uint64_t count) = 0;
  virtual ZolvaResult<std::vector<SearchHit>> dense(std::string_view ns,
                                                    std::span<const float> query,
                                                    const FieldMap& filters, uint64_t count,
                                                    DistanceMetric metric, uint8_t method) = 0;
  virtual ZolvaResult<std::vector<SearchHit>> sparse(std::string_view ns, const SparseVector& query,
                                                     const FieldMap& filters, uint64_t count) = 0;
};

// The real stages; each takes the engine from the source itself.
class EngineStages final : public StageSeam {
 public:
  explicit EngineStages(EngineSource source) : source_(std::move(source)) {}
  ZolvaResult<std::vector<SearchHit>> keyword(std::string_view ns, std::string_view text,
                                              const FieldMap& filters, uint64_t count) override;
  ZolvaResult<std::vector<SearchHit>> dense(std::string_view ns, std::span<const float> query,
                                            const FieldMap& filters, uint64_t count,
                                            DistanceMetric metric, uint8_t method) override;
  ZolvaResult<std::vector<SearchHit>> sparse(std::string_view ns, const SparseVector& query,
                                             const FieldMap& filters, uint64_t count) override;

 private:
  EngineSource source_;
};

// What a search takes from the handle: its engine slot and the confidence
// threshold of its configuration.
struct SearchContext {
  EngineSource engine;
  std::optional<float> confidence_threshold;
};

// One search: the page and its continuation cursor. `method` is the index
// method byte handed to the dense stage.
ZolvaResult<SearchResponse> search_impl(const SearchContext& ctx, SearchRequest req,
                                        uint8_t method, StageSeam& stages);
// The same over the real stages.
ZolvaResult<SearchResponse> search_impl(const SearchContext& ctx, SearchRequest req,
                                        uint8_t method);
// search_impl with the index method "none" (5): hits and cursor.
ZolvaResult<SearchResponse> search_page(const SearchContext& ctx, SearchRequest req);

// The widened per-stage count of a fused route for candidate count c.
uint64_t widened_count(uint64_t c, const std::optional<SearchProfileConfig>& profile);

}  // namespace zv::search
