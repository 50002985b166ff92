#include "python/src/filters.h"

#include <string>
#include <string_view>

#include "python/src/args.h"
#include "python/src/field_values.h"

namespace zv::py {

namespace {

struct OperatorName {
  std::string_view key;
  FilterOp op;
};

constexpr OperatorName kOperators[] = {
    {"$eq", FilterOp::kEq},   {"$neq", FilterOp::kNeq}, {"$gt", FilterOp::kGt},
    {"$gte", FilterOp::kGte}, {"$lt", FilterOp::kLt},   {"$lte", FilterOp::kLte},
};

// The key of a dict entry as UTF-8; a non-str key raises the standard
// type error.
PyResult<std::string_view> key_text(PyObject* key) {
  if (!PyUnicode_Check(key)) return py_fail(type_error(key, "str"));
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &len);
  if (text == nullptr) return py_fail_fetch();
  return std::string_view(text, static_cast<size_t>(len));
}

PyResult<FilterOp> parse_operator(std::string_view key, std::string_view field) {
  for (const OperatorName& o : kOperators) {
    if (o.key == key) return o.op;
  }
  return py_fail(PyErr::lazy(PyExc_ValueError, "Unknown filter operator '" + std::string(key) +
                                                   "' for field '" + std::string(field) +
                                                   "'. Supported: $eq, $neq, $gt, $gte, $lt, $lte"));
}

}  // namespace

PyResult<std::vector<MemoryFilterItem>> filters_from_py(PyObject* dict) {
  std::vector<MemoryFilterItem> items;
  if (dict == nullptr) return items;
  ZV_TRY(walk_dict(dict, [&](PyObject* key, PyObject* value) -> PyStatus {
    ZV_ASSIGN_OR_RETURN(std::string_view field, key_text(key));
    if (!PyDict_Check(value)) {
      ZV_ASSIGN_OR_RETURN(FieldValue v, field_value_from_py(value));
      items.push_back(MemoryFilterItem{std::string(field), FilterOp::kEq, std::move(v)});
      return {};
    }
    return walk_dict(value, [&](PyObject* op_key, PyObject* operand) -> PyStatus {
      ZV_ASSIGN_OR_RETURN(std::string_view op_text, key_text(op_key));
      ZV_ASSIGN_OR_RETURN(FilterOp op, parse_operator(op_text, field));
      ZV_ASSIGN_OR_RETURN(FieldValue v, field_value_from_py(operand));
      items.push_back(MemoryFilterItem{std::string(field), op, std::move(v)});
      return {};
    });
  }));
  return items;
}

}  // namespace zv::py
