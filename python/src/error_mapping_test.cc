#include "python/src/error_mapping.h"

#include <thread>

#include "python/src/embedded_python_testing.h"

namespace zv::py {
namespace {

using testing::EmbeddedPython;
using testing::str_of;

struct MappingCase {
  ZolvaError error;
  const char* cls;
  const char* code;
  bool retriable;
  const char* hint;  // null: None
};

std::vector<MappingCase> mapping_cases() {
  const char* kV = "ZIVIROR_VALIDATION_ERROR";
  return {
      {ZolvaError::node_not_found(kMaxNodeId), "NotFoundError", "ZIVIROR_NOT_FOUND", false,
       "The node may have been deleted or never existed"},
      {ZolvaError::duplicate_node(1), "ValidationError", kV, false, nullptr},
      {ZolvaError::dimension_mismatch(3, 4), "ValidationError", kV, false, nullptr},
      {ZolvaError::wal("torn"), "CorruptError", "ZIVIROR_IO_ERROR", true,
       "Run 'zolva-cli wal salvage --dry-run' on a copy, then without it to repair"},
      {ZolvaError::wal_version_mismatch(3, 2, "h"), "CorruptError", "ZIVIROR_CORRUPT", false,
       "The WAL was written by a different version of ZivirOR"},
      {ZolvaError::serialization(4), "ValidationError", "ZIVIROR_CORRUPT", false, nullptr},
      {ZolvaError::io(IoError(IoErrorKind::kOther, "disk")), "StorageError", "ZIVIROR_IO_ERROR",
       false, nullptr},
      {ZolvaError::incompatible_format({1, 2, 3, 4}, 1, {4, 3, 2, 1}, 2, "h"), "CorruptError",
       "ZIVIROR_CORRUPT", false, "Delete the WAL or run dump/restore to migrate formats"},
      {ZolvaError::not_initialized(), "BusyError", "ZIVIROR_BUSY", false, nullptr},
      {ZolvaError::resource_limit("mem"), "ResourceLimitError", "ZIVIROR_RESOURCE_LIMIT", true,
       "Reduce memory pressure or increase configured limits"},
      {ZolvaError::node_id_collision(5), "ValidationError", kV, false, nullptr},
      {ZolvaError::cycle_detected(), "ConflictError", kV, false, nullptr},
      {ZolvaError::vov_parse("m", 1, 2), "ValidationError", kV, false, nullptr},
      {ZolvaError::not_found("namespace", "x"), "NotFoundError", "ZIVIROR_NOT_FOUND", false,
       "Verify that the namespace or identifier is spelled correctly"},
      {ZolvaError::validation("key", "empty"), "ValidationError", kV, false, nullptr},
      {ZolvaError::timeout("put", 5), "TimeoutError", "ZIVIROR_TIMEOUT", true,
       "Increase the timeout or reduce system load"},
      {ZolvaError::unsupported_operation("a", "b"), "UnsupportedError", kV, false, nullptr},
      {ZolvaError::execution_conflict("r", "d"), "ConflictError", kV, false, nullptr},
      {ZolvaError::vov("q"), "ValidationError", "ZIVIROR_INVALID_ARGUMENT", false, nullptr},
      {ZolvaError::cli("c"), "Error", "ZIVIROR_IO_ERROR", false, nullptr},
      {ZolvaError::search("s"), "Error", "ZIVIROR_IO_ERROR", false, nullptr},
      {ZolvaError::runtime("r"), "Error", "ZIVIROR_IO_ERROR", false, nullptr},
      {ZolvaError::restore("r"), "Error", "ZIVIROR_CORRUPT", false,
       "Check that the backup file exists and is readable"},
      {ZolvaError::backup("b"), "Error", "ZIVIROR_CORRUPT", false,
       "Ensure the backup directory is writable and has free space"},
      {ZolvaError::generic(""), "Error", "ZIVIROR_WASM_ERROR", false, nullptr},
      {ZolvaError::backend("down"), "StorageError", "ZIVIROR_IO_ERROR", true, nullptr},
      {ZolvaError::invalid_input("i"), "ValidationError", kV, false, nullptr},
      {ZolvaError::schema("s"), "ValidationError", "ZIVIROR_CORRUPT", false,
       "Reinitialize the database or restore from backup"},
      {ZolvaError::database_busy("locked"), "BusyError", "ZIVIROR_BUSY", true,
       "Wait for the lock to be released and retry"},
      {ZolvaError::no_vector_for_key("k"), "NoVectorError", kV, false, nullptr},
      {ZolvaError::vector_len_overflow(1, 1ull << 33), "Error", "ZIVIROR_RESOURCE_LIMIT", false,
       "Reduce the vector dimensionality \xE2\x80\x94 it does not fit the on-disk header field"},
      {ZolvaError::edge_count_overflow(1, 70000), "Error", "ZIVIROR_RESOURCE_LIMIT", false,
       "Reduce the node's outgoing edge fan-out below the persisted header limit"},
  };
}

class ErrorMappingTest : public EmbeddedPython {
 protected:
  void SetUp() override {
    EmbeddedPython::SetUp();
    exec("import dozudaz_id, builtins");
  }

  // Checks one instance against its row; `what` names the case.
  void expect_instance(PyObject* inst, const MappingCase& c, const std::string& message,
                       const std::string& what) {
    set_global("inst", inst);
    const std::string cls = c.cls;
    EXPECT_TRUE(truth("type(inst) is dozudaz_id." + cls)) << what << " class " << cls;
    EXPECT_TRUE(truth("isinstance(inst, dozudaz_id.Error) and isinstance(inst, RuntimeError)"))
        << what;
    PyRef msg = PyRef::steal(PyUnicode_FromString(message.c_str()));
    set_global("msg", msg.get());
    EXPECT_TRUE(truth("str(inst) == msg and inst.args == (msg,)")) << what;
    EXPECT_EQ(str_of(eval("inst.code").get()), c.code) << what;
    EXPECT_TRUE(truth(std::string("inst.retriable is ") + (c.retriable ? "True" : "False"))) << what;
    if (c.hint == nullptr) {
      EXPECT_TRUE(truth("inst.hint is None")) << what;
    } else {
      EXPECT_EQ(str_of(eval("inst.hint").get()), c.hint) << what;
    }
    // Attributes live on the instance only, never on the class.
    EXPECT_TRUE(truth("not any(hasattr(type(inst), a) for a in ('code', 'retriable', 'hint'))"))
        << what;
  }
};

TEST_F(ErrorMappingTest, EveryKindMapsToClassCodeRetriableAndHint) {
  auto cases = mapping_cases();
  ASSERT_EQ(cases.size(), static_cast<size_t>(kZolvaErrorKindCount));
  for (size_t i = 0; i < cases.size(); ++i) {
    ASSERT_EQ(cases[i].error.kind_index(), static_cast<int>(i));
    const std::string what = zolva_error_kind_name(cases[i].error.kind());
    const std::string message = cases[i].error.message();
    PyRef inst = to_py_err(cases[i].error);
    ASSERT_TRUE(inst) << what;
    ASSERT_EQ(PyErr_Occurred(), nullptr) << what;
    expect_instance(inst.get(), cases[i], message, what);
  }
}

TEST_F(ErrorMappingTest, MappedOnThreadWithoutInterpreterLock) {
  auto cases = mapping_cases();
  const MappingCase& c = cases[static_cast<int>(ZolvaErrorKind::kTimeout)];
  PyObject* raw = nullptr;
  {
    ReleaseGil released;
    std::thread worker([&] { raw = to_py_err(c.error).release(); });
    worker.join();
  }
  PyRef inst = PyRef::steal(raw);
  ASSERT_TRUE(inst);
  expect_instance(inst.get(), c, c.error.message(), "worker thread");
}

TEST_F(ErrorMappingTest, ClassHierarchy) {
  struct Case {
    const char* expr;
  };
  const Case cases[] = {
      {"dozudaz_id.Error.__bases__ == (RuntimeError,)"},
      {"all(c.__bases__ == (dozudaz_id.Error,) for c in (dozudaz_id.NotFoundError, "
       "dozudaz_id.ValidationError, dozudaz_id.CorruptError, dozudaz_id.StorageError, "
       "dozudaz_id.ConflictError, dozudaz_id.UnsupportedError, dozudaz_id.ResourceLimitError, "
       "dozudaz_id.BusyError, dozudaz_id.NoVectorError, dozudaz_id.TimeoutError))"},
      {"dozudaz_id.TimeoutError is not builtins.TimeoutError"},
      {"not issubclass(dozudaz_id.TimeoutError, OSError)"},
      {"dozudaz_id.Error.__module__ == 'dozudaz_id' and "
       "dozudaz_id.NotFoundError.__qualname__ == 'NotFoundError'"},
  };
  for (const auto& c : cases) EXPECT_TRUE(truth(c.expr)) << c.expr;
  // The cells hand out the same class objects that the module exposes.
  for (int i = 0; i < kExcClassCount; ++i) {
    auto cls = static_cast<ExcClass>(i);
    PyRef attr = eval(std::string("dozudaz_id.") + exc_class_name(cls));
    EXPECT_EQ(attr.get(), exception_class(cls)) << exc_class_name(cls);
  }
}

TEST_F(ErrorMappingTest, MessageWithInvalidUtf8StillBuilds) {
  PyRef inst = to_py_err(ZolvaError::validation("f", "bad \xff byte"));
  ASSERT_TRUE(inst);
  set_global("inst", inst.get());
  EXPECT_TRUE(truth("str(inst) == 'Validation error on f: bad \\ufffd byte'"));
  EXPECT_TRUE(truth("inst.code == 'ZIVIROR_VALIDATION_ERROR'"));
}

}  // namespace
}  // namespace zv::py
