// The search arguments that are names or small dicts: the index method and
// distance metric names, the validity window, and the top_k ceiling shared by
// every Python search entry point. Needs the interpreter lock, except
// clamp_top_k.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "python/src/py_err.h"
#include "python/src/python.h"
#include "src/sdk/list_options.h"
#include "src/vector/distance_metric.h"

namespace zv::py {

// The index route a search may request; the codes are the core's method byte.
enum class SearchMethod : uint8_t {
  kHnsw = 0,
  kIvf = 1,
  kFlat = 2,
  kDiskAnn = 3,  // no name selects it
  kScann = 4,
};
inline constexpr uint8_t kNoSearchMethod = 5;

// "hnsw", "ivf", "flat", "scann" (exact, case-sensitive); none when absent.
PyResult<std::optional<SearchMethod>> parse_search_method(std::optional<std::string_view> name);
// "cosine" or "euclidean"; cosine when absent.
PyResult<DistanceMetric> parse_distance_metric(std::optional<std::string_view> name);
// {"from_ms": u64, "to_ms": u64} (or null: none).
PyResult<std::optional<ValidWindow>> extract_valid_window(PyObject* dict);

}  // namespace zv::py

namespace zv::py::lib {

inline constexpr uint64_t MAX_K = 10000;

// top_k, or MAX_K with a warning event when top_k is larger. Never fails.
uint64_t clamp_top_k(uint64_t top_k);

}  // namespace zv::py::lib
