// Many records at once: MemoryClient.list (a lazy ListResult page), and the
// Client methods count, list_namespaces and delete_by_filter. Plain type
// checks before the gate, filter and window conversions inside it, one core
// call on a handle clone with the lock released.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/src/args.h"
#include "python/src/call_frame.h"
#include "python/src/client.h"
#include "python/src/facades.h"
#include "python/src/field_values.h"
#include "python/src/filters.h"
#include "python/src/instance.h"
#include "python/src/list_conversions.h"
#include "python/src/list_result_type.h"
#include "python/src/search_args.h"

namespace zv::py {

namespace {

constexpr const char* const kListParams[] = {
    "namespace",          "filters",      "limit",        "cursor",         "exclude_superseded",
    "as_of_ms",           "valid_window", "include_quarantined", "min_confidence",
};
constexpr const char* const kFilterParams[] = {"namespace", "filters"};

constexpr uint64_t kDefaultListLimit = 100;

PyResult<PyRef> u64_to_py(uint64_t n) {
  PyObject* out = PyLong_FromUnsignedLongLong(n);
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

}  // namespace

PyResult<PyRef> memory_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[9];
  ZV_TRY(parse_fastcall(ParamList{"list", kListParams, 1}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(std::string_view ns, extract_str(a[0], "namespace"));
  ZV_ASSIGN_OR_RETURN(PyObject * filters, extract_opt_dict(a[1], "filters"));
  uint64_t limit = kDefaultListLimit;
  if (a[2] != nullptr) {
    ZV_ASSIGN_OR_RETURN(limit, extract_u64(a[2], "limit"));
  }
  ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> cursor, extract_opt_u64(a[3], "cursor"));
  ZV_ASSIGN_OR_RETURN(bool exclude_superseded, extract_bool(a[4], "exclude_superseded", false));
  ZV_ASSIGN_OR_RETURN(std::optional<uint64_t> as_of_ms, extract_opt_u64(a[5], "as_of_ms"));
  ZV_ASSIGN_OR_RETURN(PyObject * valid_window, extract_opt_dict(a[6], "valid_window"));
  ZV_ASSIGN_OR_RETURN(bool include_quarantined, extract_bool(a[7], "include_quarantined", false));
  ZV_ASSIGN_OR_RETURN(std::optional<double> min_confidence, extract_opt_f64(a[8], "min_confidence"));

  ZV_ASSIGN_OR_RETURN(auto facade, SharedBorrow<FacadeState>::take(self));
  PyRef client_obj = facade->client.clone();
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(client_obj.get()));
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  std::string ns_copy(ns);
  MemoryListOptions options;
  ZV_ASSIGN_OR_RETURN(options.filters, metadata_from_py(filters));
  ZV_ASSIGN_OR_RETURN(options.valid_window, extract_valid_window(valid_window));
  options.limit = limit;
  options.cursor = cursor;
  options.exclude_superseded = exclude_superseded;
  options.as_of_ms = as_of_ms;
  options.include_quarantined = include_quarantined;
  if (min_confidence) options.min_confidence = static_cast<float>(*min_confidence);

  ZV_ASSIGN_OR_RETURN(ZolvaListResult page,
                      (call_core<ZolvaListResult>(client->db, [&](const EmbeddedDb& db) {
                        return db.list(ns_copy, options);
                      })));
  guard.reset();
  return list_result_into_py(std::move(page));
}

PyResult<PyRef> client_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  ZV_TRY(parse_fastcall(ParamList{"count", kFilterParams, 1}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  ZV_ASSIGN_OR_RETURN(std::string_view ns, extract_str(a[0], "namespace"));
  ZV_ASSIGN_OR_RETURN(PyObject * filters, extract_opt_dict(a[1], "filters"));

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  std::string ns_copy(ns);
  ZV_ASSIGN_OR_RETURN(std::vector<MemoryFilterItem> items, filters_from_py(filters));
  // No items (no dict, an empty one) counts the whole namespace.
  std::optional<std::vector<MemoryFilterItem>> maybe_items;
  if (!items.empty()) maybe_items = std::move(items);
  ZV_ASSIGN_OR_RETURN(uint64_t n, (call_core<uint64_t>(client->db, [&](const EmbeddedDb& db) {
                        return db.count(ns_copy, maybe_items);
                      })));
  guard.reset();
  return u64_to_py(n);
}

PyResult<PyRef> client_list_namespaces(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  ZV_ASSIGN_OR_RETURN(std::vector<std::string> names,
                      (call_core<std::vector<std::string>>(
                          client->db, [](const EmbeddedDb& db) { return db.list_namespaces(); })));
  guard.reset();
  return str_list_to_py(names);
}

PyResult<PyRef> client_delete_by_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
  PyObject* a[2];
  ZV_TRY(parse_fastcall(ParamList{"delete_by_filter", kFilterParams, 2}, args, nargs, kwnames, a));
  ZV_ASSIGN_OR_RETURN(auto client, SharedBorrow<ClientState>::take(self));
  ZV_ASSIGN_OR_RETURN(std::string_view ns, extract_str(a[0], "namespace"));
  if (!PyDict_Check(a[1])) return py_fail(with_note(type_error(a[1], "dict"), "filters"));
  PyObject* filters = a[1];

  ZV_ASSIGN_OR_RETURN(std::unique_ptr<GateGuard> guard, enter_gate(*client));
  std::string ns_copy(ns);
  // An empty list goes on: the core refuses it rather than emptying the
  // namespace.
  ZV_ASSIGN_OR_RETURN(std::vector<MemoryFilterItem> items, filters_from_py(filters));
  ZV_ASSIGN_OR_RETURN(uint64_t n, (call_core<uint64_t>(client->db, [&](const EmbeddedDb& db) {
                        return db.delete_by_filter(ns_copy, items);
                      })));
  guard.reset();
  return u64_to_py(n);
}

}  // namespace zv::py
