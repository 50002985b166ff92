#include "src/search/shred_filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/coding.h"
#include "src/record/datetime.h"

namespace zv::search {
namespace {

std::string entry(std::string_view name, uint8_t type, std::string_view value) {
  std::string out;
  coding::put_u32_le(&out, static_cast<uint32_t>(name.size()));
  out.append(name);
  out.push_back(static_cast<char>(type));
  out.append(value);
  return out;
}

std::string int_value(int64_t v) {
  std::string out;
  coding::put_u64_le(&out, static_cast<uint64_t>(v));
  return out;
}

std::string string_value(std::string_view s) {
  std::string out;
  coding::put_u32_le(&out, static_cast<uint32_t>(s.size()));
  out.append(s);
  return out;
}

TEST(ShredFilter, DecodesWhatTheWriterWrites) {
  FieldMap m;
  m.emplace("b", FieldValue::boolean(true));
  m.emplace("f", FieldValue::floating(2.5));
  m.emplace("i", FieldValue::integer(-7));
  m.emplace("s", FieldValue::string("red"));
  m.emplace("t", FieldValue::list_int({1}));  // not stored
  const ShredMap fields = decode_shred_lenient(shred_record::encode(m));
  EXPECT_EQ(fields.size(), 4u);
  m.erase("t");
  EXPECT_TRUE(shred_passes(fields, m));
  FieldMap wrong_kind;
  wrong_kind.emplace("i", FieldValue::floating(-7.0));  // Int never meets Float
  EXPECT_FALSE(shred_passes(fields, wrong_kind));
  EXPECT_FALSE(shred_passes(ShredMap{}, m));
  EXPECT_TRUE(shred_passes(fields, FieldMap{}));
}

// Each entry cut short at each of its parts keeps the entries before it.
TEST(ShredFilter, StopsAtTheFirstBadEntry) {
  const std::string first = entry("a", 0, int_value(1));
  const std::string second = entry("name", 3, string_value("value"));
  const size_t name_len_end = 4, name_end = 8, type_end = 9;
  for (size_t cut : {size_t{1}, name_len_end, size_t{6}, name_end, type_end, size_t{11},
                     second.size() - 1}) {
    const ShredMap fields = decode_shred_lenient(first + second.substr(0, cut));
    ASSERT_EQ(fields.size(), 1u) << cut;
    EXPECT_TRUE(fields.contains("a"));
  }
  EXPECT_EQ(decode_shred_lenient(first + second).size(), 2u);
  // A type byte of 4 ends the decode; entries after it are lost.
  EXPECT_EQ(decode_shred_lenient(first + entry("x", 4, int_value(2)) + second).size(), 1u);
  // A length field far past the end.
  std::string huge;
  coding::put_u32_le(&huge, 0xFFFFFFFFu);
  EXPECT_EQ(decode_shred_lenient(first + huge + "abc").size(), 1u);
}

TEST(ShredFilter, RepeatedAndNonUtf8Names) {
  const ShredMap fields = decode_shred_lenient(entry("a", 0, int_value(1)) +
                                               entry("a", 0, int_value(2)) +
                                               entry("\xff\xfe", 3, string_value("v\xff")));
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(std::get<int64_t>(fields.at("a").v), 2);
  EXPECT_EQ(std::get<std::string>(fields.at("").v), "v\xEF\xBF\xBD");
  FieldMap filter;
  filter.emplace("a", FieldValue::integer(2));
  EXPECT_TRUE(shred_passes(fields, filter));
}

TEST(ShredFilter, TestableKinds) {
  FieldMap m;
  m.emplace("s", FieldValue::string("x"));
  EXPECT_TRUE(shred_can_test(m));
  for (FieldValue v : {FieldValue::null(), FieldValue::list_string({"x"}),
                       FieldValue::date_time(*DateTime::from_unix(0, 0))}) {
    FieldMap other = m;
    other.emplace("z", v);
    EXPECT_FALSE(shred_can_test(other));
  }
}

}  // namespace
}  // namespace zv::search
