// Test support for the binding's C++ tests: one embedded interpreter for the
// test process, with `dozudaz_id` importable from the binding library, and
// small helpers to run Python code. Tests run on the main thread, which holds
// the interpreter lock.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "python/src/module.h"
#include "python/src/py_ref.h"
#include "python/src/python.h"

namespace zv::py::testing {

inline PyObject* init_for_tests() { return module_init(); }

// Starts the interpreter once; the main thread keeps the lock afterwards.
inline void ensure_interpreter() {
  static const bool started = [] {
    PyImport_AppendInittab("dozudaz_id", &init_for_tests);
    Py_InitializeEx(0);
    return true;
  }();
  (void)started;
}

// A string of a str object (empty when it is not one).
inline std::string str_of(PyObject* obj) {
  PyRef s = PyRef::steal(PyObject_Str(obj));
  if (!s) {
    PyErr_Clear();
    return "<str failed>";
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s.get(), &n);
  return p ? std::string(p, static_cast<size_t>(n)) : std::string();
}

// Fixture: interpreter running, thread attached, a fresh globals dict.
class EmbeddedPython : public ::testing::Test {
 protected:
  void SetUp() override {
    ensure_interpreter();
    attached_ = std::make_unique<GilAttached>();
    globals_ = PyRef::steal(PyDict_New());
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    ASSERT_TRUE(builtins);
    PyDict_SetItemString(globals_.get(), "__builtins__", builtins.get());
  }
  void TearDown() override {
    PyErr_Clear();
    globals_ = nullptr;
    attached_.reset();
  }

  // Runs statements in the fixture's globals; fails the test on an exception.
  void exec(const std::string& code) {
    ASSERT_EQ(PyErr_Occurred(), nullptr) << "exception pending before: " << code;
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    PyRef fn = PyRef::steal(PyObject_GetAttrString(builtins.get(), "exec"));
    PyRef src = PyRef::steal(PyUnicode_FromString(code.c_str()));
    PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), src.get(), globals_.get(), nullptr));
    if (!r) {
      PyErr_Print();
      FAIL() << "python code failed: " << code;
    }
  }
  // Evaluates an expression in the fixture's globals (new reference or null).
  PyRef eval(const std::string& expr) {
    PyRef builtins = PyRef::steal(PyImport_ImportModule("builtins"));
    PyRef fn = PyRef::steal(PyObject_GetAttrString(builtins.get(), "eval"));
    PyRef src = PyRef::steal(PyUnicode_FromString(expr.c_str()));
    PyRef r = PyRef::steal(PyObject_CallFunctionObjArgs(fn.get(), src.get(), globals_.get(), nullptr));
    if (!r) PyErr_Print();
    return r;
  }
  bool truth(const std::string& expr) {
    PyRef r = eval(expr);
    return r && PyObject_IsTrue(r.get()) == 1;
  }
  void set_global(const char* name, PyObject* value) {
    PyDict_SetItemString(globals_.get(), name, value);
  }

  std::unique_ptr<GilAttached> attached_;
  PyRef globals_;
};

}  // namespace zv::py::testing
