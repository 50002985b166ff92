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

// The arguments search and search_multi share, type-checked before the gate;
// the dicts and the vector stay Python objects until converted inside it.
struct SearchArgs {
  PyObject* query_vector = nullptr;
  PyObject* filters = nullptr;
  std::optional<std::string_view> text_query;
  uint64_t top_k = kDefaultTopK;
  std::optional<std::string_view> metric_name;
  std::optional<std::string_view> method_name;
  bool explain = false;
  bool exclude_superseded = false;
  PyObject* query_sparse = nullptr;
  std::optional<double> min_confidence;
  std::optional<uint64_t> as_of_ms;
  PyObject* valid_window = nullptr;
  bool include_quarantined = false;
};

// Slots from 1 on (0 is the namespace or the namespace list); `method` sits
// after distance_metric only in search.
PyResult<SearchArgs> extract_search_args(PyObject* const* a, bool has_method) {
  SearchArgs out;
  out.query_vector = a[1];
  ZV_ASSIGN_OR_RETURN(out.filters, extract_opt_dict(a[2], "filters"));
  ZV_ASSIGN_OR_RETURN(out.text_query, extract_opt_str(a[3], "text_query"));
  if (a[4] != nullptr) {
    ZV_ASSIGN_OR_RETURN(out.top_k, extract_u64(a[4], "top_k"));
  }
  ZV_ASSIGN_OR_RETURN(out.metric_name, extract_opt_str(a[5], "distance_metric"));
  const int off = has_method ? 1 : 0;
  if (has_method) {
    ZV_ASSIGN_OR_RETURN(out.method_name, extract_opt_str(a[6], "method"));
  }
  ZV_ASSIGN_OR_RETURN(out.explain, extract_bool(a[6 + off], "explain", false));
  ZV_ASSIGN_OR_RETURN(out.exclude_superseded, extract_bool(a[7 + off], "exclude_superseded", false));
  ZV_ASSIGN_OR_RETURN(out.query_sparse, extract_opt_dict(a[8 + off], "query_sparse"));
  ZV_ASSIGN_OR_RETURN(out.min_confidence, extract_opt_f64(a[9 + off], "min_confidence"));
  ZV_ASSIGN_OR_RETURN(out.as_of_ms, extract_opt_u64(a[10 + off], "as_of_ms"));
  ZV_ASSIGN_OR_RETURN(out.valid_window, extract_opt_dict(a[11 + off], "valid_window"));
  ZV_ASSIGN_OR_RETURN(out.include_quarantined, extract_bool(a[12 + off], "include_quarantined", false));
  return out;
}

// The conversions inside the gate, in order: metric, method (when `method`
// is given), vector, sparse vector, filters, window. The namespace is the
// caller's to set.
PyResult<SearchRequest> convert_search_args(const SearchArgs& sa, std::optional<SearchMethod>* method) {
  SearchRequest req;
  ZV_ASSIGN_OR_RETURN(req.distance_metric, parse_distance_metric(sa.metric_name));
  if (method != nullptr) {
    ZV_ASSIGN_OR_RETURN(*method, parse_search_method(sa.method_name));
  }
  ZV_ASSIGN_OR_RETURN(req.query_vector, extract_vector(sa.query_vector));
  ZV_ASSIGN_OR_RETURN(req.query_sparse, sparse_vector_from_py(sa.query_sparse));
  ZV_ASSIGN_OR_RETURN(req.filters, metadata_from_py(sa.filters));
  req.top_k = lib::clamp_top_k(sa.top_k);
  ZV_ASSIGN_OR_RETURN(req.valid_window, extract_valid_window(sa.valid_window));
  if (sa.text_query) req.text_query = std::string(*sa.text_query);
  req.explain = sa.explain;
  req.exclude_superseded = sa.exclude_superseded;
  req.include_quarantined = sa.include_quarantined;
  if (sa.min_confidence) req.min_confidence = static_cast<float>(*sa.min_confidence);
  req.as_of_ms = sa.as_of_ms;
  return req;
}

}  // namespace

PyResult<PyRef> client_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[14];
  ZV_TRY(parse_fastcall(ParamList{"search", kSearchParams, 2}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  ZV_ASSIGN_OR_RETURN(std::string_view ns, extract_str(a[0], "namespace"));
  ZV_ASSIGN_OR_RETURN(SearchArgs sa, extract_search_args(a, /*has_method=*/true));

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  std::optional<SearchMethod> method;
  ZV_ASSIGN_OR_RETURN(SearchRequest req, convert_search_args(sa, &method));
  req.ns = std::string(ns);
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
  ZV_ASSIGN_OR_RETURN(SearchArgs sa, extract_search_args(a, /*has_method=*/false));

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  if (namespaces.empty()) {
    return py_fail(PyErr::lazy(PyExc_ValueError, "search_multi: namespaces must be a non-empty list"));
  }
  ZV_ASSIGN_OR_RETURN(SearchRequest req, convert_search_args(sa, nullptr));

  ZV_ASSIGN_OR_RETURN(std::vector<SearchHit> hits,
                      (call_core<std::vector<SearchHit>>(client->db, [&](const EmbeddedDb& db) {
                        return db.search_multi(namespaces, std::move(req));
                      })));
  std::vector<std::pair<MemoryRecord, float>> pairs = hit_pairs(std::move(hits));
  guard.reset();
  return search_hits_to_py_list(std::move(pairs));
}

}  // namespace zv::py
