#include "python/src/metadata_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "python/src/embedded_python_testing.h"
#include "python/src/field_values.h"

namespace zv::py {
namespace {

class MetadataCacheTest : public testing::EmbeddedPython {
 protected:
  // Converts the dict that `expr` evaluates to; returns the map or fails.
  FieldMap convert(const std::string& expr) {
    PyRef dict = eval(expr);
    EXPECT_TRUE(dict) << expr;
    if (!dict) return {};
    PyResult<FieldMap> map = metadata_from_py(dict.get());
    EXPECT_TRUE(map.ok()) << expr;
    if (!map.ok()) {
      std::move(map).error().restore();
      PyErr_Print();
      return {};
    }
    return std::move(map).value();
  }
  // The error text of converting the dict `expr`, or "" when it converts.
  std::string error_of(const std::string& expr) {
    PyRef dict = eval(expr);
    PyResult<FieldMap> map = metadata_from_py(dict.get());
    if (map.ok()) return "";
    PyRef exc = std::move(map).error().into_instance();
    return testing::str_of(exc.get());
  }
  MetadataCacheCounts counts() { return metadata_cache_counts(); }
};

TEST_F(MetadataCacheTest, ConvertsOncePerThread) {
  exec("import datetime\nd = {'n': 3, 'a': 'x', 'when': datetime.datetime(2024, 1, 2, tzinfo=datetime.timezone.utc)}");
  const MetadataCacheCounts before = counts();
  FieldMap first = convert("d");
  FieldMap second = convert("dict(d)");
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.at("n"), FieldValue::integer(3));
  EXPECT_EQ(counts().misses - before.misses, 1u);
  EXPECT_EQ(counts().hits - before.hits, 1u);

  // Another thread has its own cache: one more conversion there.
  MetadataCacheCounts other;
  FieldMap other_map;
  {
    ReleaseGil unlocked;
    std::thread t([&] {
      PyGILState_STATE state = PyGILState_Ensure();
      {
        GilAttached attached;
        PyObject* d = PyDict_GetItemString(globals_.get(), "d");
        other_map = metadata_from_py(d).value();
        other_map = metadata_from_py(d).value();
        other = metadata_cache_counts();
      }
      PyGILState_Release(state);
    });
    t.join();
  }
  EXPECT_EQ(other.misses, 1u);
  EXPECT_EQ(other.hits, 1u);
  EXPECT_EQ(other_map, first);
}

TEST_F(MetadataCacheTest, OnlySmallDictsOfPlainValuesAreCached) {
  struct Case {
    const char* dict;
    bool cached;
  };
  exec(
      "import datetime, zoneinfo\n"
      "class F(float):\n    def __repr__(self): return '1.0'\n"
      "class S(str):\n    def __repr__(self): return \"'s'\"\n"
      "class Num:\n    def __repr__(self): return 'N'\n    def __float__(self): return 2.5\n"
      "class Tz(datetime.tzinfo):\n    def utcoffset(self, dt): return datetime.timedelta(hours=1)\n"
      "    def __repr__(self): return 'datetime.timezone.utc'\n");
  const Case cases[] = {
      {"{'a': 1, 'b': 2.5, 'c': True, 'd': None}", true},
      {"{'a': 's', 'b': [1, 2], 'c': ['x'], 'd': [1.5]}", true},
      {"{'a': datetime.datetime(2024, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=2)))}", true},
      {"{'a': 1, 'b': 2, 'c': 3, 'd': 4, 'e': 5}", false},
      {"{'a': F(1.5)}", false},
      {"{'a': S('t')}", false},
      {"{'a': Num()}", false},
      {"{'a': [1.5, F(2.0)]}", false},
      {"{'a': (1, 2)[0], 'b': [[1]][0]}", true},
      {"{'a': datetime.datetime(2024, 1, 1, tzinfo=Tz())}", false},
      {"{'a': datetime.datetime(2024, 1, 1, tzinfo=zoneinfo.ZoneInfo('UTC'))}", false},
      {"{S('a'): 1}", false},
  };
  for (const Case& c : cases) {
    for (int round = 0; round < 2; ++round) {
      const MetadataCacheCounts before = counts();
      convert(c.dict);
      const MetadataCacheCounts after = counts();
      EXPECT_EQ(after.hits - before.hits, c.cached && round == 1 ? 1u : 0u) << c.dict;
      EXPECT_EQ(after.misses - before.misses, c.cached && round == 0 ? 1u : 0u) << c.dict;
    }
  }
}

TEST_F(MetadataCacheTest, LookalikeValuesKeepTheirOwnValues) {
  exec(
      "class Num:\n    def __init__(self, v): self.v = v\n"
      "    def __repr__(self): return 'N'\n    def __float__(self): return self.v\n");
  EXPECT_EQ(convert("{'a': Num(1.5)}").at("a"), FieldValue::floating(1.5));
  EXPECT_EQ(convert("{'a': Num(2.5)}").at("a"), FieldValue::floating(2.5));
  // Names holding what a plain joined key would use as separators.
  FieldMap two = convert("{'a': 1, 'b': 2}");
  FieldMap one = convert("{'a=1\\nb': 2}");
  EXPECT_EQ(two.size(), 2u);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one.at("a=1\nb"), FieldValue::integer(2));
  EXPECT_EQ(convert("{'a': '1', 'b': 2}").at("a"), FieldValue::string("1"));
  EXPECT_EQ(convert("{'a': 1, 'b': 2}").at("a"), FieldValue::integer(1));
}

TEST_F(MetadataCacheTest, NonStrNameIsRefusedOnBothPaths) {
  const std::string expected = "'int' object is not an instance of 'str'";
  EXPECT_EQ(error_of("{1: 'x'}"), expected);
  EXPECT_EQ(error_of("{'a': 1, 'b': 2, 'c': 3, 'd': 4, 5: 'x'}"), expected);
  // A failed conversion stores nothing.
  const MetadataCacheCounts before = counts();
  EXPECT_EQ(error_of("{'a': float('nan')}"), "Float field value cannot be NaN.");
  EXPECT_EQ(error_of("{'a': float('nan')}"), "Float field value cannot be NaN.");
  EXPECT_EQ(counts().hits, before.hits);
}

TEST_F(MetadataCacheTest, EvictsTheLeastRecentlyUsed) {
  for (int i = 0; i < 64; ++i) convert("{'lru': " + std::to_string(i) + "}");
  EXPECT_EQ(counts().entries, kMetadataCacheCapacity);
  convert("{'lru': 0}");  // now the most recent; 1 is the oldest
  convert("{'lru': 64}");
  EXPECT_EQ(counts().entries, kMetadataCacheCapacity);
  MetadataCacheCounts before = counts();
  convert("{'lru': 0}");
  EXPECT_EQ(counts().hits - before.hits, 1u);
  before = counts();
  convert("{'lru': 1}");
  EXPECT_EQ(counts().misses - before.misses, 1u);
}

// Slots taken over by dicts of other names, sizes and value kinds hand back
// exactly what the later dict converts to, never a mix with the evicted one.
TEST_F(MetadataCacheTest, ReusedSlotsHoldOnlyTheirNewMap) {
  auto expr = [](int i) {
    const std::string n = std::to_string(i);
    if (i % 3 == 0) return "{'x': " + n + ".5}";
    if (i % 3 == 1) return "{'s': 'v" + n + "', 'l': [" + n + ", 2], 'z': None}";
    return "{'a': True, 'b': 'w" + n + "', 'c': " + n + ", 'd': ['p', 'q" + n + "']}";
  };
  auto want = [](int i) {
    const std::string n = std::to_string(i);
    if (i % 3 == 0) return FieldMap{{"x", FieldValue::floating(i + 0.5)}};
    if (i % 3 == 1) {
      return FieldMap{{"s", FieldValue::string("v" + n)}, {"l", FieldValue::list_int({i, 2})}, {"z", FieldValue::null()}};
    }
    return FieldMap{{"a", FieldValue::boolean(true)},
                    {"b", FieldValue::string("w" + n)},
                    {"c", FieldValue::integer(i)},
                    {"d", FieldValue::list_string({"p", "q" + n})}};
  };
  for (int i = 0; i < 200; ++i) EXPECT_EQ(convert(expr(i)), want(i)) << expr(i);
  const MetadataCacheCounts before = counts();
  for (int i = 199; i >= 150; --i) EXPECT_EQ(convert(expr(i)), want(i)) << expr(i);
  EXPECT_EQ(counts().hits - before.hits, 50u);
}

}  // namespace
}  // namespace zv::py
