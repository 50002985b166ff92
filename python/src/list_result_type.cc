#include "python/src/list_result_type.h"

#include <string>
#include <utility>
#include <vector>

#include "python/src/args.h"
#include "python/src/instance.h"
#include "python/src/record_type.h"
#include "python/src/trampoline.h"

namespace zv::py {

namespace {

struct ListResultIterState {
  std::vector<MemoryRecord> records;
  size_t pos = 0;
};

constexpr const char* kListResultDoc = "A Python-accessible list result page.";
constexpr const char* kListResultIterDoc = "Iterator for `ZolvaListResult`.";
constexpr const char* kRecordsDoc = "The page's records, as new Record objects.";
constexpr const char* kTotalCountDoc = "The number of records in this page (not of all matches).";
constexpr const char* kNextCursorDoc =
    "The cursor of the next page, or None when no further index entries follow.";
constexpr const char* kBadIndex = "ListResult indices must be integers or strings";

PyResult<PyRef> records_of(const ZolvaListResult& page) { return records_to_py_list(page.records); }

PyResult<PyRef> total_count_of(const ZolvaListResult& page) {
  PyObject* out = PyLong_FromSize_t(page.records.size());
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

PyResult<PyRef> next_cursor_of(const ZolvaListResult& page) {
  if (!page.next_cursor) return PyRef::borrow(Py_None);
  PyObject* out = PyLong_FromUnsignedLongLong(*page.next_cursor);
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

template <PyResult<PyRef> (*Read)(const ZolvaListResult&)>
PyResult<PyRef> page_get(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto page, SharedBorrow<ZolvaListResult>::take(self));
  return Read(*page);
}

PyResult<Py_ssize_t> page_len(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto page, SharedBorrow<ZolvaListResult>::take(self));
  return static_cast<Py_ssize_t>(page->records.size());
}

// A position when the key reads as an unsigned 64-bit integer (bools as 0
// or 1); otherwise a field name; anything else, negative ints included, is
// refused. Positions do not count from the end.
PyResult<PyRef> page_getitem(PyObject* self, PyObject* key) {
  ZV_ASSIGN_OR_RETURN(auto page, SharedBorrow<ZolvaListResult>::take(self));
  PyResult<uint64_t> pos = extract_u64(key, "key");
  if (pos.ok()) {
    if (pos.value() >= page->records.size()) {
      return py_fail(PyErr::lazy(PyExc_IndexError, "list index out of range"));
    }
    return record_into_py(page->records[static_cast<size_t>(pos.value())]);
  }
  if (!PyUnicode_Check(key)) return py_fail(PyErr::lazy(PyExc_TypeError, kBadIndex));
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &len);
  if (text == nullptr) return py_fail_fetch();
  const std::string_view name(text, static_cast<size_t>(len));
  if (name == "records") return records_of(*page);
  if (name == "total_count") return total_count_of(*page);
  if (name == "next_cursor") return next_cursor_of(*page);
  return py_fail(key_error("ListResult has no field '" + std::string(name) + "'"));
}

PyResult<PyRef> page_repr(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto page, SharedBorrow<ZolvaListResult>::take(self));
  std::string text = "ListResult(count=" + std::to_string(page->records.size()) + ", next_cursor=";
  text += page->next_cursor ? "Some(" + std::to_string(*page->next_cursor) + ")" : "None";
  text += ")";
  PyObject* out = text_to_py(text);
  if (out == nullptr) return py_fail_fetch();
  return PyRef::steal(out);
}

// Each iterator owns a copy, so iterators advance independently and outlive
// the page.
PyResult<PyRef> page_iter(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto page, SharedBorrow<ZolvaListResult>::take(self));
  ZV_ASSIGN_OR_RETURN(PyTypeObject * type, g_list_result_iter_cell.get_or_create());
  return new_instance<ListResultIterState>(type, ListResultIterState{page->records, 0});
}

PyResult<PyRef> iter_self(PyObject* self) { return PyRef::borrow(self); }

PyResult<PyRef> iter_next(PyObject* self) {
  ZV_ASSIGN_OR_RETURN(auto it, ExclusiveBorrow<ListResultIterState>::take(self));
  if (it->pos >= it->records.size()) {
    return py_fail(PyErr::lazy(PyExc_StopIteration, "end of iteration"));
  }
  return record_into_py(it->records[it->pos++]);
}

PyGetSetDef g_list_result_getset[] = {
    {"records", &getter_stub<&page_get<&records_of>>, nullptr, kRecordsDoc, nullptr},
    {"total_count", &getter_stub<&page_get<&total_count_of>>, nullptr, kTotalCountDoc, nullptr},
    {"next_cursor", &getter_stub<&page_get<&next_cursor_of>>, nullptr, kNextCursorDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_list_result_slots[] = {
    {Py_tp_doc, const_cast<char*>(kListResultDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<ZolvaListResult>>)},
    {Py_mp_length, reinterpret_cast<void*>(&length_stub<&page_len>)},
    {Py_mp_subscript, reinterpret_cast<void*>(&subscript_stub<&page_getitem>)},
    {Py_tp_iter, reinterpret_cast<void*>(&self_stub<&page_iter>)},
    {Py_tp_repr, reinterpret_cast<void*>(&self_stub<&page_repr>)},
    {Py_tp_getset, g_list_result_getset},
    {0, nullptr},
};
PyType_Spec g_list_result_spec = {"builtins.ListResult", sizeof(Instance<ZolvaListResult>), 0,
                                  kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_list_result_slots};

PyType_Slot g_list_result_iter_slots[] = {
    {Py_tp_doc, const_cast<char*>(kListResultIterDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_instance<ListResultIterState>>)},
    {Py_tp_iter, reinterpret_cast<void*>(&self_stub<&iter_self>)},
    {Py_tp_iternext, reinterpret_cast<void*>(&self_stub<&iter_next>)},
    {0, nullptr},
};
PyType_Spec g_list_result_iter_spec = {"builtins.ListResultIter", sizeof(Instance<ListResultIterState>), 0,
                                       kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                       g_list_result_iter_slots};

}  // namespace

TypeCell g_list_result_cell("ListResult", &g_list_result_spec);
TypeCell g_list_result_iter_cell("ListResultIter", &g_list_result_iter_spec);

PyResult<PyRef> list_result_into_py(ZolvaListResult page) {
  return new_instance<ZolvaListResult>(g_list_result_cell.get(), std::move(page));
}

}  // namespace zv::py
