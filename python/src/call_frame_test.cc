#include "python/src/call_frame.h"

#include "platform/panic.h"
#include "python/src/embedded_python_testing.h"
#include "python/src/exceptions.h"
#include "python/src/trampoline.h"
#include "src/foundation/error.h"

namespace zv::py {
namespace {

using testing::EmbeddedPython;

class CallFrameTest : public EmbeddedPython {};

// A body that enters the gate and releases the lock, then fails or panics:
// the trampoline raises, the lock is held again and the gate is empty, so a
// close afterwards returns at once.
TEST_F(CallFrameTest, GuardsUndoThemselvesOnErrorAndPanic) {
  auto gate = OperationGate::create();
  struct Case {
    const char* name;
    bool panics;
    PyObject* expected;
  };
  const Case cases[] = {
      {"core error", false, exception_class(ExcClass::kBusyError)},
      {"panic", true, panic_exception_class()},
  };
  for (const Case& c : cases) {
    PyObject* out = call_trampoline([&]() -> PyResult<PyRef> {
      std::unique_ptr<GateGuard> guard = gate->enter();
      if (!guard) return py_fail(PyErr::lazy(PyExc_RuntimeError, "database is closing"));
      ReleaseGil unlocked;
      if (c.panics) panic("inside the core call");
      return py_fail(core_error(ZolvaError::not_initialized()));
    });
    EXPECT_EQ(out, nullptr) << c.name;
    EXPECT_TRUE(PyErr_ExceptionMatches(c.expected)) << c.name;
    PyErr_Clear();
    // Running Python code needs the lock back.
    EXPECT_TRUE(truth("sum([1, 2]) == 3")) << c.name;
    EXPECT_TRUE(gil_attached()) << c.name;
    EXPECT_EQ(gate->active(), 0u) << c.name;
  }
  gate->begin_close();
  EXPECT_TRUE(gate->closing());
}

}  // namespace
}  // namespace zv::py
