// A stage seam for the driver tests: records every stage call (which stage,
// the count, the method) and answers from lists the test sets, cut to the
// count asked; or fails when told to. Test-only; not thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "src/search/driver.h"

namespace zv::search_testing {

struct StageCall {
  char stage = '?';  // 'k' keyword, 'd' dense, 's' sparse
  std::string ns;
  uint64_t count = 0;
  uint8_t method = 0;  // dense only
  bool operator==(const StageCall&) const = default;
};

class FakeStages final : public search::StageSeam {
 public:
  std::vector<StageCall> calls;
  // The full lists each stage answers from (per namespace when set).
  std::function<std::vector<SearchHit>(char stage, std::string_view ns)> lists =
      [](char, std::string_view) { return std::vector<SearchHit>(); };
  std::optional<ZolvaError> fail_in;  // returned by the stage named in fail_stage
  char fail_stage = 0;
  std::string fail_ns;  // empty: any namespace

  ZolvaResult<std::vector<SearchHit>> keyword(std::string_view ns, std::string_view,
                                              const FieldMap&, uint64_t count) override {
    return answer('k', ns, count, 0);
  }
  ZolvaResult<std::vector<SearchHit>> dense(std::string_view ns, std::span<const float>,
                                            const FieldMap&, uint64_t count, DistanceMetric,
                                            uint8_t method) override {
    return answer('d', ns, count, method);
  }
  ZolvaResult<std::vector<SearchHit>> sparse(std::string_view ns, const SparseVector&,
                                             const FieldMap&, uint64_t count) override {
    return answer('s', ns, count, 0);
  }

 private:
  ZolvaResult<std::vector<SearchHit>> answer(char stage, std::string_view ns, uint64_t count,
                                             uint8_t method) {
    calls.push_back(StageCall{stage, std::string(ns), count, method});
    if (fail_in && fail_stage == stage && (fail_ns.empty() || fail_ns == ns)) {
      return make_unexpected(*fail_in);
    }
    std::vector<SearchHit> out = lists(stage, ns);
    if (out.size() > count) out.resize(count);
    return out;
  }
};

}  // namespace zv::search_testing
