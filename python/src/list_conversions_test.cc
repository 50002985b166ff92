#include "python/src/list_conversions.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "python/src/embedded_python_testing.h"

namespace zv::py {
namespace {

class ListConversionsTest : public testing::EmbeddedPython {
 protected:
  // Raises the error and stores the exception object in the global `err`.
  void keep_error(PyErr err) {
    std::move(err).restore();
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    set_global("err", value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  }

  // extract_node_ids of the value of `expr`; a failure lands in `err`.
  std::optional<std::vector<NodeId>> node_ids(const std::string& expr) {
    PyRef obj = eval(expr);
    EXPECT_TRUE(obj) << expr;
    PyResult<std::vector<NodeId>> out = extract_node_ids(obj.get());
    if (!out.ok()) {
      keep_error(std::move(out).error());
      return std::nullopt;
    }
    return std::move(out).value();
  }
};

TEST_F(ListConversionsTest, NodeIdsRoundTripAcrossAllHundredTwentyEightBits) {
  exec("import numpy\nclass Idx:\n    def __index__(self): return 2**64 + 1\n");
  std::optional<std::vector<NodeId>> ids =
      node_ids("[2**127 + 5, 0, 2**64 - 1, 2**64, 2**128 - 1, True, numpy.uint64(7), Idx()]");
  ASSERT_TRUE(ids);
  ASSERT_EQ(ids->size(), 8u);
  EXPECT_EQ((*ids)[0], (static_cast<NodeId>(1) << 127) + 5);
  PyResult<PyRef> back = node_ids_to_py_list(*ids);
  ASSERT_TRUE(back.ok());
  set_global("back", back.value().get());
  EXPECT_TRUE(truth("back == [2**127 + 5, 0, 2**64 - 1, 2**64, 2**128 - 1, 1, 7, 2**64 + 1]"));
  EXPECT_TRUE(truth("all(type(x) is int for x in back)"));

  // Tuples and ranges are sequences; an empty one gives an empty list.
  EXPECT_EQ(node_ids("(1, 2)"), (std::vector<NodeId>{1, 2}));
  EXPECT_EQ(node_ids("range(3)"), (std::vector<NodeId>{0, 1, 2}));
  EXPECT_EQ(node_ids("[]"), std::vector<NodeId>{});
}

TEST_F(ListConversionsTest, NodeIdRefusalsCarryTheRootsNote) {
  struct Case {
    const char* expr;
    const char* type;
    const char* message;  // null: the interpreter's own wording
  };
  const Case cases[] = {
      {"[1, -1]", "OverflowError", nullptr},
      {"[2**128]", "OverflowError", nullptr},
      {"[-2**200]", "OverflowError", nullptr},
      {"[1.0]", "TypeError", nullptr},
      {"'12'", "TypeError", "Can't extract `str` to `Vec`"},
      {"5", "TypeError", "'int' object is not an instance of 'Sequence'"},
      {"None", "TypeError", "'None' is not an instance of 'Sequence'"},
      {"{1, 2}", "TypeError", "'set' object is not an instance of 'Sequence'"},
      {"{1: 2}", "TypeError", "'dict' object is not an instance of 'Sequence'"},
      {"(i for i in range(2))", "TypeError", "'generator' object is not an instance of 'Sequence'"},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(node_ids(c.expr)) << c.expr;
    EXPECT_TRUE(truth(std::string("type(err).__name__ == '") + c.type + "'")) << c.expr;
    EXPECT_TRUE(truth("err.__notes__ == [\"while processing 'roots'\"]")) << c.expr;
    if (c.message != nullptr) {
      EXPECT_TRUE(truth(std::string("str(err) == \"") + c.message + "\"")) << c.expr;
    }
  }
}

TEST_F(ListConversionsTest, StringListsRefuseBytesOnTheFirstItem) {
  PyRef bytes = eval("b'ns'");
  PyResult<std::vector<std::string>> out = extract_str_list(bytes.get());
  ASSERT_FALSE(out.ok());
  keep_error(std::move(out).error());
  EXPECT_TRUE(truth("type(err) is TypeError and str(err) == \"'int' object is not an instance of 'str'\""));

  PyRef names = eval("('b', 'a\\u00e9', '')");
  PyResult<std::vector<std::string>> ok = extract_str_list(names.get());
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok.value(), (std::vector<std::string>{"b", "a\xC3\xA9", ""}));
}

TEST_F(ListConversionsTest, NeighborListsAreIdDistanceTuples) {
  const NodeId big = (static_cast<NodeId>(3) << 100) | 9;
  PyResult<PyRef> out = neighbors_to_py_list({{big, 0.25f}, {1, 0.1f}});
  ASSERT_TRUE(out.ok());
  set_global("out", out.value().get());
  EXPECT_TRUE(truth("out == [(3 * 2**100 + 9, 0.25), (1, float(__import__('numpy').float32(0.1)))]"));
  EXPECT_TRUE(truth("all(type(t) is tuple and len(t) == 2 for t in out)"));
  PyResult<PyRef> empty = neighbors_to_py_list({});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(PyList_Size(empty.value().get()), 0);
}

}  // namespace
}  // namespace zv::py
