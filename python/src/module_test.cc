#include "python/src/module.h"

#include <cstdlib>

#include "python/src/embedded_python_testing.h"

namespace zv::py {
namespace {

using testing::EmbeddedPython;

constexpr const char* kExpectedAll =
    "['Client', 'Vector', 'VectorIter', 'SearchHit', 'Record', 'ListResult', 'connect', "
    "'Error', 'NotFoundError', 'ValidationError', 'CorruptError', 'StorageError', "
    "'ConflictError', 'UnsupportedError', 'ResourceLimitError', 'BusyError', 'NoVectorError', "
    "'TimeoutError', '__version__']";

class ModuleTest : public EmbeddedPython {};

TEST_F(ModuleTest, ExecAddsExportsInOrderToAFreshModule) {
  PyRef m = PyRef::steal(PyModule_New("fresh"));
  ASSERT_EQ(module_exec(m.get()), 0);
  set_global("m", m.get());
  EXPECT_TRUE(truth(std::string("m.__all__ == ") + kExpectedAll));
  EXPECT_TRUE(truth("all(hasattr(m, n) for n in m.__all__)"));
  // Classes are shared by every module object; the version is a str.
  exec("import dozudaz_id");
  EXPECT_TRUE(truth("m.Error is dozudaz_id.Error and isinstance(m.__version__, str)"));
  EXPECT_TRUE(truth(std::string("dozudaz_id.__all__ == ") + kExpectedAll));
}

TEST_F(ModuleTest, ExecRefusesBadTargets) {
  struct Case {
    const char* name;
    const char* setup;  // builds `target`
  };
  const Case cases[] = {
      {"not a module", "target = [1]"},
      {"__all__ not a list", "import types\ntarget = types.ModuleType('t')\ntarget.__all__ = ('x',)"},
  };
  for (const auto& c : cases) {
    exec(c.setup);
    PyObject* target = PyDict_GetItemString(globals_.get(), "target");  // borrowed
    EXPECT_EQ(module_exec(target), -1) << c.name;
    EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_TypeError)) << c.name;
    PyErr_Clear();
  }
}

TEST(ModuleVersionTest, ReportedVersionRule) {
  struct Case {
    const char* name;
    const char* value;  // null: unset
    std::string expected;
  };
  const Case cases[] = {
      {"unset", nullptr, "0.8.0"},
      {"plain", "1.2.3", "1.2.3"},
      {"ascii padding", "  1.2.3\n", "1.2.3"},
      {"empty", "", "0.8.0"},
      {"only white space", " \t\xE3\x80\x80\xC2\xA0\n", "0.8.0"},
      {"unicode padding", "\xE2\x80\x83v9-rc\xE3\x80\x80", "v9-rc"},
      {"inner space kept", " a b ", "a b"},
      {"zero width space is not white space", "\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},
      {"not unicode", "1.0\xFF", "0.8.0"},
  };
  for (const auto& c : cases) {
    if (c.value == nullptr) {
      unsetenv(kReportedVersionEnv);
    } else {
      setenv(kReportedVersionEnv, c.value, 1);
    }
    EXPECT_EQ(module_version(), c.expected) << c.name;
  }
  unsetenv(kReportedVersionEnv);
}

}  // namespace
}  // namespace zv::py
