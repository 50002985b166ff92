#include "python/src/trampoline.h"

#include <functional>
#include <stdexcept>
#include <thread>

#include "python/src/embedded_python_testing.h"
#include "python/src/error_mapping.h"
#include "python/src/exceptions.h"

namespace zv::py {
namespace {

using testing::EmbeddedPython;
using testing::str_of;

class TrampolineTest : public EmbeddedPython {
 protected:
  // The exception left by a failed entry, taken off the thread.
  PyRef take_exception() {
    EXPECT_NE(PyErr_Occurred(), nullptr);
    return PyErr::fetch().into_instance();
  }
};

TEST_F(TrampolineTest, OutcomesOfObjectEntries) {
  struct Case {
    const char* name;
    std::function<PyResult<PyRef>()> body;
    PyObject* expected_class;  // null: success
    std::string message;
  };
  const Case cases[] = {
      {"value", [] { return PyResult<PyRef>(PyRef::steal(PyLong_FromLong(7))); }, nullptr, "7"},
      {"lazy error",
       [] { return PyResult<PyRef>(py_fail(PyErr::lazy(PyExc_ValueError, "bad value"))); },
       PyExc_ValueError, "bad value"},
      {"core error",
       [] { return PyResult<PyRef>(py_fail(core_error(ZolvaError::not_found("ns", "a")))); },
       exception_class(ExcClass::kNotFoundError), "ns not found: a"},
      {"panic",
       []() -> PyResult<PyRef> { panic("invariant broken"); },
       panic_exception_class(), "invariant broken"},
      {"std exception",
       []() -> PyResult<PyRef> { throw std::runtime_error("escaped"); },
       panic_exception_class(), "escaped"},
      {"panic without text",
       []() -> PyResult<PyRef> { throw 42; },
       panic_exception_class(), kPanicWithoutMessage},
  };
  for (const auto& c : cases) {
    PyObject* out = call_trampoline(c.body);
    if (c.expected_class == nullptr) {
      ASSERT_NE(out, nullptr) << c.name;
      EXPECT_EQ(PyErr_Occurred(), nullptr) << c.name;
      EXPECT_EQ(str_of(out), c.message) << c.name;
      Py_DECREF(out);
      continue;
    }
    EXPECT_EQ(out, nullptr) << c.name;
    PyRef exc = take_exception();
    ASSERT_TRUE(exc) << c.name;
    EXPECT_EQ(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), c.expected_class) << c.name;
    EXPECT_EQ(str_of(exc.get()), c.message) << c.name;
  }
}

TEST_F(TrampolineTest, PanicExceptionEscapesExceptHandlers) {
  set_global("PanicException", panic_exception_class());
  EXPECT_TRUE(truth("PanicException.__bases__ == (BaseException,)"));
  EXPECT_TRUE(truth("not issubclass(PanicException, Exception)"));
}

TEST_F(TrampolineTest, LengthAndStatusErrorValues) {
  EXPECT_EQ(call_trampoline_len([] { return PyResult<Py_ssize_t>(3); }), 3);
  EXPECT_EQ(call_trampoline_len([] {
              return PyResult<Py_ssize_t>(py_fail(PyErr::lazy(PyExc_IndexError, "i")));
            }),
            -1);
  EXPECT_TRUE(take_exception());
  EXPECT_EQ(call_trampoline_len([]() -> PyResult<Py_ssize_t> { panic("len"); }), -1);
  EXPECT_TRUE(take_exception());

  EXPECT_EQ(call_trampoline_status([] { return PyStatus(); }), 0);
  EXPECT_EQ(call_trampoline_status([] { return PyStatus(py_fail(PyErr::lazy(PyExc_TypeError, "t"))); }),
            -1);
  EXPECT_TRUE(take_exception());
}

TEST_F(TrampolineTest, PanicInDeallocationGoesToUnraisableHook) {
  exec(
      "import sys\n"
      "seen = []\n"
      "old_hook = sys.unraisablehook\n"
      "sys.unraisablehook = lambda u: seen.append((type(u.exc_value).__name__, str(u.exc_value)))\n");
  bool ran = false;
  call_trampoline_dealloc([&] {
    ran = true;
    panic("dealloc broke");
  });
  exec("sys.unraisablehook = old_hook");
  EXPECT_TRUE(ran);
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  EXPECT_TRUE(truth("seen == [('PanicException', 'dealloc broke')]"));
}

TEST_F(TrampolineTest, ReleasesFromDetachedThreadsWaitForNextEntry) {
  exec(
      "import weakref\n"
      "class Probe: pass\n"
      "probe = Probe()\n"
      "alive = weakref.ref(probe)\n");
  PyObject* probe = PyDict_GetItemString(globals_.get(), "probe");  // borrowed
  Py_INCREF(probe);
  exec("del probe");
  // A thread that is not attached may only queue the release.
  std::thread([probe] { release_ref(probe); }).join();
  EXPECT_TRUE(truth("alive() is not None"));
  PyObject* out = call_trampoline([] { return PyResult<PyRef>(PyRef::borrow(Py_None)); });
  Py_XDECREF(out);
  EXPECT_TRUE(truth("alive() is None"));
}

}  // namespace
}  // namespace zv::py
