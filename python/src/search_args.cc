#include "python/src/search_args.h"

#include <string>

#include "platform/log.h"
#include "python/src/py_ref.h"

namespace zv::py {

namespace {

PyErr unknown_name(const char* what, std::string_view name, const char* known) {
  return PyErr::lazy(PyExc_ValueError, std::string(what) + " \"" + std::string(name) +
                                           "\" \xE2\x80\x94 known values: " + known);
}

// The bound under `key`, or the window's ValueError.
PyResult<uint64_t> window_bound(PyObject* dict, const char* key) {
  PyObject* value = PyDict_GetItemString(dict, key);  // borrowed
  if (value == nullptr) {
    if (PyErr_Occurred()) return py_fail_fetch();
    return py_fail(PyErr::lazy(PyExc_ValueError, std::string("valid_window requires '") + key + "'"));
  }
  PyRef index = PyRef::steal(PyNumber_Index(value));
  unsigned long long v = 0;
  bool ok = false;
  if (index) {
    v = PyLong_AsUnsignedLongLong(index.get());
    ok = !(v == static_cast<unsigned long long>(-1) && PyErr_Occurred());
  }
  if (!ok) {
    PyErr_Clear();
    return py_fail(PyErr::lazy(PyExc_ValueError,
                               std::string("valid_window.") + key + " must be a non-negative integer"));
  }
  return static_cast<uint64_t>(v);
}

}  // namespace

PyResult<std::optional<SearchMethod>> parse_search_method(std::optional<std::string_view> name) {
  if (!name) return std::optional<SearchMethod>();
  if (*name == "hnsw") return std::optional<SearchMethod>(SearchMethod::kHnsw);
  if (*name == "ivf") return std::optional<SearchMethod>(SearchMethod::kIvf);
  if (*name == "flat") return std::optional<SearchMethod>(SearchMethod::kFlat);
  if (*name == "scann") return std::optional<SearchMethod>(SearchMethod::kScann);
  return py_fail(unknown_name("Unknown search method", *name, "ivf, scann, hnsw, flat"));
}

PyResult<DistanceMetric> parse_distance_metric(std::optional<std::string_view> name) {
  if (!name || *name == "cosine") return DistanceMetric::kCosine;
  if (*name == "euclidean") return DistanceMetric::kEuclidean;
  return py_fail(unknown_name("Unknown distance_metric", *name, "cosine, euclidean"));
}

PyResult<std::optional<ValidWindow>> extract_valid_window(PyObject* dict) {
  if (dict == nullptr) return std::optional<ValidWindow>();
  ZV_ASSIGN_OR_RETURN(uint64_t from_ms, window_bound(dict, "from_ms"));
  ZV_ASSIGN_OR_RETURN(uint64_t to_ms, window_bound(dict, "to_ms"));
  return std::optional<ValidWindow>(ValidWindow{from_ms, to_ms});
}

}  // namespace zv::py

namespace zv::py::lib {

uint64_t clamp_top_k(uint64_t top_k) {
  if (top_k <= MAX_K) return top_k;
  if (log::enabled(log::Level::kWarn)) {
    std::string text = "top_k=" + std::to_string(top_k) + " exceeds MAX_K=" + std::to_string(MAX_K) +
                       "; clamping to " + std::to_string(MAX_K) + " (ERR-022)";
    log::emit(log::Level::kWarn, "dozudaz_id::lib", text, {{"message", text}});
  }
  return MAX_K;
}

}  // namespace zv::py::lib
