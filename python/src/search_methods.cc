// Client.search and search_multi: plain type checks before the gate, the conversions of
// names, vectors, filters and the window inside it, one core search on a
// handle clone with the lock released, hits built after the gate is left.

#include <string>
#include <utility>
#include <vector>

#include "python/src/args.h"
#include "python/src/call_frame.h"
#include "python/src/client.h"
#include "python/src/field_values.h"
#include "python/src/instance.h"
#include "python/src/list_conversions.h"
#include "python/src/record_type.h"
#include "python/src/search_args.h"
#include "python/src/vectors.h"
#include "src/search/handle_search.h"
#include "src/search/request.h"

namespace zv::py {

namespace {

constexpr const char* const kSearchParams[] = {
    "namespace",      "query_vector", "filters",       "text_query",         "top_k",
    "distance_metric", "method",      "explain",       "exclude_superseded", "query_sparse",
    "min_confidence", "as_of_ms",     "valid_window",  "include_quarantined",
};

constexpr const char* const kSearchMultiParams[] = {
    "namespaces",     "query_vector", "filters",      "text_query",          "top_k",
    "distance_metric", "explain",     "exclude_superseded", "query_sparse", "min_confidence",
    "as_of_ms",       "valid_window", "include_quarantined",
};

constexpr uint64_t kDefaultTopK = 10;

// Hits as (record, score) pairs, the form the SearchHit list is built from.
std::vector<std::pair<MemoryRecord, float>> hit_pairs(std::vector<SearchHit> hits) {
  std::vector<std::pair<MemoryRecord, float>> pairs;
  pairs.reserve(hits.size());
  for (SearchHit& hit : hits) pairs.emplace_back(std::move(hit.record), hit.score);
  return pairs;
}

}  // namespace

PyResult<PyRef> client_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[14];
  ZV_TRY(parse_fastcall(ParamList{"search", kSearchParams, 2}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  ZV_ASSIGN_OR_RETURN(std::string_view ns, extract_str(a[0], "namespace"));
  PyObject* query_vector = a[1];
  ZV_ASSIGN_OR_RETURN(PyObject * filters, extract_opt_dict(a[2], "filters"));
  ZV_ASSIGN_OR_RETURN(std::optional<std::string_view> text_query, extract_opt_str(a[3], "text_query"));
  uint64_t top_k = kDefaultTopK;
  if (a[4] != nullptr) {
    ZV_ASSIGN_OR_RETURN(top_k, extract_u64(a[4], "top_k"));
  }
  ZV_ASSIGN_OR_RETURN(std::optional<std::string_view> metric_name, extract_opt_str(a[5], "distance_metric"));
  ZV_ASSIGN_OR_RETURN(std::optional<std::string_view> method_name, extract_opt_str(a[6], "method"));
  ZV_ASSIGN_OR_RETURN(bool explain, extract_bool(a[7], "explain", false));
  ZV_ASSIGN_OR_RETURN(bool exclude_superseded, extract_bool(a[8], "exclude_superseded", false));
  ZV_ASSIGN_OR_RETURN(PyObject * query_sparse, extract_opt_dict(a[9], "query_sparse"));
  ZV_ASSIGN_OR_RETURN(std::optional<double> min_confidence, extract_opt_f64(a[10], "min_confidence"));
  ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> as_of_ms, extract_opt_u64(a[11], "as_of_ms"));
  ZV_ASSIGN_OR_RETURN(PyObject * valid_window, extract_opt_dict(a[12], "valid_window"));
  ZV_ASSIGN_OR_RETURN(bool include_quarantined, extract_bool(a[13], "include_quarantined", false));

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  SearchRequest req;
  ZV_ASSIGN_OR_RETURN(req.distance_metric, parse_distance_metric(metric_name));
  ZV_ASSIGN_OR_RETURN(std::optional<SearchMethod> method, parse_search_method(method_name));
  req.ns = std::string(ns);
  ZV_ASSIGN_OR_RETURN(req.query_vector, extract_vector(query_vector));
  ZV_ASSIGN_OR_RETURN(req.query_sparse, sparse_vector_from_py(query_sparse));
  ZV_ASSIGN_OR_RETURN(req.filters, metadata_from_py(filters));
  req.top_k = lib::clamp_top_k(top_k);
  ZV_ASSIGN_OR_RETURN(req.valid_window, extract_valid_window(valid_window));
  if (text_query) req.text_query = std::string(*text_query);
  req.explain = explain;
  req.exclude_superseded = exclude_superseded;
  req.include_quarantined = include_quarantined;
  if (min_confidence) req.min_confidence = static_cast<float>(*min_confidence);
  req.as_of_ms = as_of_ms;
  const uint8_t method_byte = method ? static_cast<uint8_t>(*method) : kNoSearchMethod;

  ZV_ASSIGN_OR_RETURN(std::vector<SearchHit> hits,
                      (call_core<std::vector<SearchHit>>(client->db, [&](const EmbeddedDb& db) {
                        return db.search(std::move(req), method_byte);
                      })));
  std::vector<std::pair<MemoryRecord, float>> pairs = hit_pairs(std::move(hits));
  guard.reset();
  return search_hits_to_py_list(std::move(pairs));
}

// As search, over several namespaces merged by score; the namespace list is
// read before the gate, its emptiness refused inside it.
PyResult<PyRef> client_search_multi(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  PyObject* a[13];
  ZV_TRY(parse_fastcall(ParamList{"search_multi", kSearchMultiParams, 2}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  PyResult<std::vector<std::string>> names = extract_str_list(a[0]);
  if (!names.ok()) return py_fail(with_note(std::move(names).error(), "namespaces"));
  std::vector<std::string> namespaces = std::move(names).value();
  PyObject* query_vector = a[1];
  ZV_ASSIGN_OR_RETURN(PyObject * filters, extract_opt_dict(a[2], "filters"));
  ZV_ASSIGN_OR_RETURN(std::optional<std::string_view> text_query, extract_opt_str(a[3], "text_query"));
  uint64_t top_k = kDefaultTopK;
  if (a[4] != nullptr) {
    ZV_ASSIGN_OR_RETURN(top_k, extract_u64(a[4], "top_k"));
  }
  ZV_ASSIGN_OR_RETURN(std::optional<std::string_view> metric_name, extract_opt_str(a[5], "distance_metric"));
  ZV_ASSIGN_OR_RETURN(bool explain, extract_bool(a[6], "explain", false));
  ZV_ASSIGN_OR_RETURN(bool exclude_superseded, extract_bool(a[7], "exclude_superseded", false));
  ZV_ASSIGN_OR_RETURN(PyObject * query_sparse, extract_opt_dict(a[8], "query_sparse"));
  ZV_ASSIGN_OR_RETURN(std::optional<double> min_confidence, extract_opt_f64(a[9], "min_confidence"));
  ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> as_of_ms, extract_opt_u64(a[10], "as_of_ms"));
  ZV_ASSIGN_OR_RETURN(PyObject * valid_window, extract_opt_dict(a[11], "valid_window"));
  ZV_ASSIGN_OR_RETURN(bool include_quarantined, extract_bool(a[12], "include_quarantined", false));

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  if (namespaces.empty()) {
    return py_fail(PyErr::lazy(PyExc_ValueError, "search_multi: namespaces must be a non-empty list"));
  }
  SearchRequest req;
  ZV_ASSIGN_OR_RETURN(req.distance_metric, parse_distance_metric(metric_name));
  ZV_ASSIGN_OR_RETURN(req.query_vector, extract_vector(query_vector));
  ZV_ASSIGN_OR_RETURN(req.query_sparse, sparse_vector_from_py(query_sparse));
  ZV_ASSIGN_OR_RETURN(req.filters, metadata_from_py(filters));
  req.top_k = lib::clamp_top_k(top_k);
  ZV_ASSIGN_OR_RETURN(req.valid_window, extract_valid_window(valid_window));
  if (text_query) req.text_query = std::string(*text_query);
  req.explain = explain;
  req.exclude_superseded = exclude_superseded;
  req.include_quarantined = include_quarantined;
  if (min_confidence) req.min_confidence = static_cast<float>(*min_confidence);
  req.as_of_ms = as_of_ms;

  ZV_ASSIGN_OR_RETURN(std::vector<SearchHit> hits,
                      (call_core<std::vector<SearchHit>>(client->db, [&](const EmbeddedDb& db) {
                        return db.search_multi(namespaces, std::move(req));
                      })));
  std::vector<std::pair<MemoryRecord, float>> pairs = hit_pairs(std::move(hits));
  guard.reset();
  return search_hits_to_py_list(std::move(pairs));
}

}  // namespace zv::py
