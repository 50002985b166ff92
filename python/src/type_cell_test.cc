#include "python/src/type_cell.h"

#include "python/src/embedded_python_testing.h"
#include "python/src/exceptions.h"
#include "python/src/trampoline.h"

namespace zv::py {
namespace {

using testing::EmbeddedPython;

int g_released = 0;

void release_probe(PyObject* self) {
  ++g_released;
  free_instance(self);
}

PyType_Slot g_probe_slots[] = {
    {Py_tp_doc, const_cast<char*>("Probe(data)\n--\n\nA probe class.")},
    {Py_tp_new, reinterpret_cast<void*>(&PyType_GenericNew)},
    {Py_tp_dealloc, reinterpret_cast<void*>(&dealloc_stub<&release_probe>)},
    {0, nullptr},
};
PyType_Spec g_probe_spec = {"builtins.Probe", sizeof(PyObject), 0, kClassFlags, g_probe_slots};
TypeCell g_probe("Probe", &g_probe_spec);

PyType_Slot g_broken_slots[] = {
    {1000, nullptr},  // no such slot: creation fails
    {0, nullptr},
};
PyType_Spec g_broken_spec = {"builtins.Broken", sizeof(PyObject), 0,
                             kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_broken_slots};
TypeCell g_broken("Broken", &g_broken_spec);

class TypeCellTest : public EmbeddedPython {};

TEST_F(TypeCellTest, CreatedOnceWithModuleClassProperties) {
  PyTypeObject* t = g_probe.get();
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(g_probe.get(), t);
  set_global("Probe", reinterpret_cast<PyObject*>(t));
  struct Case {
    const char* expr;
  };
  const Case cases[] = {
      {"Probe.__module__ == 'builtins' and Probe.__qualname__ == 'Probe'"},
      {"Probe.__text_signature__ == '(data)'"},
  };
  for (const auto& c : cases) EXPECT_TRUE(truth(c.expr)) << c.expr;
  exec(
      "try:\n"
      "    class Sub(Probe): pass\n"
      "    subclassed = True\n"
      "except TypeError:\n"
      "    subclassed = False\n"
      "import weakref\n"
      "p = Probe()\n"
      "try:\n"
      "    weakref.ref(p)\n"
      "    weak = True\n"
      "except TypeError:\n"
      "    weak = False\n");
  EXPECT_TRUE(truth("not subclassed and not weak"));
  // Deallocation runs through the frame and frees the instance.
  int before = g_released;
  exec("del p");
  EXPECT_EQ(g_released, before + 1);
}

TEST_F(TypeCellTest, CreationFailure) {
  PyResult<PyTypeObject*> r = g_broken.get_or_create();
  ASSERT_FALSE(r.ok());
  std::move(r).error().restore();
  EXPECT_TRUE(PyErr_Occurred() != nullptr);
  PyErr_Clear();

  exec(
      "import sys\n"
      "seen = []\n"
      "old_hook = sys.unraisablehook\n"
      "sys.unraisablehook = lambda u: seen.append(type(u.exc_value).__name__)\n");
  PyObject* out = call_trampoline([]() -> PyResult<PyRef> {
    return PyRef::borrow(reinterpret_cast<PyObject*>(g_broken.get()));
  });
  EXPECT_EQ(out, nullptr);
  ASSERT_TRUE(PyErr_ExceptionMatches(panic_exception_class()));
  PyRef exc = PyErr::fetch().into_instance();
  exec("sys.unraisablehook = old_hook");
  EXPECT_TRUE(truth("seen == ['RuntimeError']"));
  EXPECT_EQ(testing::str_of(exc.get()), "failed to create type object for `Broken`");
}

}  // namespace
}  // namespace zv::py
