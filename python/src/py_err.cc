#include "python/src/py_err.h"

namespace zv::py {

namespace {
constexpr const char* kNoExceptionSet = "error return without exception set";
}  // namespace

PyObject* text_to_py(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyErr PyErr::fetch() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return lazy(PyExc_SystemError, kNoExceptionSet);
  PyErr_NormalizeException(&type, &value, &tb);
  PyErr e;
  e.type_ = PyRef::steal(type);
  e.value_ = PyRef::steal(value);
  e.traceback_ = PyRef::steal(tb);
  if (!e.value_) {
    // Normalisation failed to make an instance; keep the class as unmade.
    return lazy(type, "");
  }
  return e;
}

PyErr PyErr::lazy(PyObject* type, std::string message) {
  PyErr e;
  e.type_ = PyRef::borrow(type);
  e.message_ = std::move(message);
  return e;
}

PyErr PyErr::from_instance(PyRef instance) {
  PyErr e;
  e.type_ = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())));
  e.value_ = std::move(instance);
  return e;
}

void PyErr::restore() && {
  if (value_) {
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    return;
  }
  PyRef msg = PyRef::steal(text_to_py(message_));
  if (!msg) return;  // the failure to build the text is now the current exception
  PyErr_SetObject(type_.get(), msg.get());
}

PyRef PyErr::into_instance() && {
  if (value_) return std::move(value_);
  PyRef msg = PyRef::steal(text_to_py(message_));
  PyRef inst;
  if (msg) inst = PyRef::steal(PyObject_CallFunctionObjArgs(type_.get(), msg.get(), nullptr));
  if (!inst) return std::move(fetch().value_);
  return inst;
}

}  // namespace zv::py
