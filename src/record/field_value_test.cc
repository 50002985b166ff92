#include "src/record/field_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "src/record/float_text.h"

namespace zv {
namespace {

using FV = FieldValue;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

DateTime noon() { return *DateTime::from_civil(2024, 5, 1, 12, 0, 0, 0); }

TEST(FieldValueTest, EqualityAndOrder) {
  using PO = std::partial_ordering;
  struct Case {
    const char* name;
    FV a, b;
    bool equal;
    PO order;
  } cases[] = {
      {"int vs float by variant", FV::integer(1), FV::floating(1.0), false, PO::less},
      {"int 100 below float 0.5", FV::integer(100), FV::floating(0.5), false, PO::less},
      {"nan unordered", FV::floating(kNaN), FV::floating(kNaN), false, PO::unordered},
      {"nan vs int by variant", FV::floating(kNaN), FV::integer(1), false, PO::greater},
      {"zero signs equal", FV::floating(0.0), FV::floating(-0.0), true, PO::equivalent},
      {"list prefix shorter", FV::list_int({1, 2}), FV::list_int({1, 2, 0}), false, PO::less},
      {"list first difference", FV::list_int({1, 2}), FV::list_int({1, 1, 9}), false, PO::greater},
      {"list nan first difference", FV::list_float({1, kNaN}), FV::list_float({1, 2}), false,
       PO::unordered},
      {"list nan after difference", FV::list_float({1, kNaN}), FV::list_float({2, kNaN}), false,
       PO::less},
      {"null equals null", FV::null(), FV::null(), true, PO::equivalent},
      {"null above all", FV::null(), FV::list_date_time({}), false, PO::greater},
      {"empty lists keep variant", FV::list_int({}), FV::list_string({}), false, PO::greater},
      {"strings bytewise unsigned", FV::string("\xC3\xA9"), FV::string("z"), false, PO::greater},
      {"string prefix", FV::string("ab"), FV::string("abc"), false, PO::less},
      {"bools", FV::boolean(false), FV::boolean(true), false, PO::less},
      {"list bools", FV::list_bool({true}), FV::list_bool({false, true}), false, PO::greater},
      {"datetimes", FV::date_time(DateTime()), FV::date_time(noon()), false, PO::less},
      {"negative ints", FV::integer(-5), FV::integer(3), false, PO::less},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.a == c.b, c.equal) << c.name;
    EXPECT_EQ(c.a <=> c.b, c.order) << c.name;
  }
}

TEST(FieldValueTest, HashContainersFindNanAndSignedZeroKeys) {
  // IEEE equality would make a NaN key unfindable and split 0.0 and -0.0
  // across buckets; the key equality and hash treat them canonically.
  FieldValueHashMap<int> m;
  m[FV::floating(kNaN)] = 1;
  m[FV::floating(0.0)] = 2;
  m[FV::list_float({-0.0, kNaN})] = 3;
  m[FV::integer(0)] = 4;
  EXPECT_EQ(m.size(), 4u);
  ASSERT_TRUE(m.count(FV::floating(-kNaN)));
  EXPECT_EQ(m.at(FV::floating(std::nan("7"))), 1);
  EXPECT_EQ(m.at(FV::floating(-0.0)), 2);
  EXPECT_EQ(m.at(FV::list_float({0.0, std::nan("2")})), 3);
  EXPECT_EQ(m.at(FV::integer(0)), 4);
  m[FV::floating(-0.0)] = 5;
  EXPECT_EQ(m.size(), 4u);

  OptionalFieldValueHashSet s;
  s.insert(std::nullopt);
  s.insert(FV::null());
  s.insert(FV::floating(kNaN));
  s.insert(FV::floating(kNaN));
  EXPECT_EQ(s.size(), 3u);
  // Filters keep IEEE semantics.
  EXPECT_FALSE(FV::floating(kNaN) == FV::floating(kNaN));
}

TEST(FieldValueTest, HashBytesFollowTheFixedLayout) {
  std::string bytes;
  auto sink = [&](const void* p, size_t n) { bytes.append(static_cast<const char*>(p), n); };
  struct Case {
    FV v;
    std::string want;
  } cases[] = {
      {FV::string("ab"), std::string("\x00" "ab\xFF", 4)},
      {FV::integer(-1), std::string("\x01\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 9)},
      {FV::floating(-0.0), std::string(9, '\0').replace(0, 1, "\x02")},
      {FV::boolean(true), std::string("\x03\x01", 2)},
      {FV::list_bool({true}),
       std::string("\x08\x01\x00\x00\x00\x00\x00\x00\x00\x01", 10)},
      {FV::list_float({}), std::string("\x07", 1)},
      {FV::null(), std::string("\x0A", 1)},
      {FV::date_time(*DateTime::from_civil(2300, 1, 1, 0, 0, 0, 0)), std::string("\x04", 1) + std::string(8, '\0')},
  };
  for (const Case& c : cases) {
    bytes.clear();
    c.v.feed_hash(sink);
    EXPECT_EQ(bytes, c.want) << c.v.debug_string();
  }
}

TEST(FieldValueTest, StringsAndDebugText) {
  struct Case {
    FV v;
    std::vector<std::string> strings;
    std::string debug;
  } cases[] = {
      {FV::integer(-3), {"-3"}, "Int(-3)"},
      {FV::floating(1.0), {"1"}, "Float(1.0)"},
      {FV::floating(0.1), {"0.1"}, "Float(0.1)"},
      {FV::floating(-0.0), {"-0"}, "Float(-0.0)"},
      {FV::floating(2.5e-7), {"0.00000025"}, "Float(2.5e-7)"},
      {FV::floating(1e20), {"100000000000000000000"}, "Float(1e20)"},
      {FV::floating(1e21), {"1000000000000000000000"}, "Float(1e21)"},
      {FV::floating(1e16), {"10000000000000000"}, "Float(1e16)"},
      {FV::floating(123456.789), {"123456.789"}, "Float(123456.789)"},
      {FV::floating(1.5e-5), {"0.000015"}, "Float(1.5e-5)"},
      {FV::floating(1e-4), {"0.0001"}, "Float(0.0001)"},
      {FV::floating(-2e20), {"-200000000000000000000"}, "Float(-2e20)"},
      {FV::floating(kNaN), {"NaN"}, "Float(NaN)"},
      {FV::floating(-kInf), {"-inf"}, "Float(-inf)"},
      {FV::boolean(true), {"true"}, "Bool(true)"},
      {FV::string("abc"), {"abc"}, "String(\"abc\")"},
      {FV::string("q\"\\\t\r\n\x01\x7F\xC2\x85" "\xC3\xA9"),
       {"q\"\\\t\r\n\x01\x7F\xC2\x85\xC3\xA9"},
       "String(\"q\\\"\\\\\\t\\r\\n\\u{1}\\u{7f}\\u{85}\xC3\xA9\")"},
      {FV::string(std::string("a\0b", 3)), {std::string("a\0b", 3)}, "String(\"a\\0b\")"},
      {FV::date_time(noon()), {"2024-05-01T12:00:00+00:00"}, "DateTime(2024-05-01T12:00:00Z)"},
      {FV::list_int({1, 2, 3}), {"1", "2", "3"}, "ListInt([1, 2, 3])"},
      {FV::list_bool({}), {}, "ListBool([])"},
      {FV::list_string({"a", "b"}), {"a", "b"}, "ListString([\"a\", \"b\"])"},
      {FV::list_float({0.5, 2.0}), {"0.5", "2"}, "ListFloat([0.5, 2.0])"},
      {FV::list_date_time({DateTime()}), {"1970-01-01T00:00:00+00:00"},
       "ListDateTime([1970-01-01T00:00:00Z])"},
      {FV::null(), {"null"}, "Null"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.v.to_strings(), c.strings) << c.debug;
    EXPECT_EQ(c.v.debug_string(), c.debug);
  }
}

TEST(FieldValueTest, ScalarExpansionAndVariantNames) {
  EXPECT_EQ(FV::list_string({}).index_scalars().size(), 0u);
  EXPECT_EQ(FV::null().index_scalars(), std::vector<FV>{FV::null()});
  EXPECT_EQ(FV::list_bool({true, false}).index_scalars(),
            (std::vector<FV>{FV::boolean(true), FV::boolean(false)}));
  EXPECT_EQ(FV::list_date_time({DateTime()}).index_scalars(),
            std::vector<FV>{FV::date_time(DateTime())});
  EXPECT_EQ(FV::integer(7).index_scalars(), std::vector<FV>{FV::integer(7)});

  const char* names[] = {"String", "Int", "Float", "Bool", "DateTime", "ListString",
                         "ListInt", "ListFloat", "ListBool", "ListDateTime", "Null"};
  for (uint32_t i = 0; i < kFieldKindCount; ++i) {
    EXPECT_EQ(field_kind_from_name(names[i]), static_cast<FieldKind>(i)) << names[i];
  }
  EXPECT_EQ(field_kind_from_name("int"), std::nullopt);
  EXPECT_EQ(field_kind_from_name(""), std::nullopt);
}

}  // namespace
}  // namespace zv
