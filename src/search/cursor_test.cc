#include "src/search/cursor.h"

#include <gtest/gtest.h>

namespace zv::search {
namespace {

TEST(CursorWriter, GoldenText) {
  CursorToken t{1, 42, 10, "a\"b", node_id_to_string(kMaxNodeId)};
  EXPECT_EQ(write_cursor(t),
            "{\"v\":1,\"fp\":42,\"offset\":10,\"key\":\"a\\\"b\","
            "\"node_id\":\"340282366920938463463374607431768211455\"}");
}

TEST(CursorWriter, EveryKeyReadsBack) {
  const std::string keys[] = {"", "plain", "back\\slash", std::string("ctl\x01\x1f\n\t\r\b\f", 10),
                              "caf\xc3\xa9 \xe6\x9d\xb1", "\xff\xfe not utf-8", "/slash"};
  for (const std::string& k : keys) {
    CursorToken t{1, 18446744073709551615ULL, 18446744073709551615ULL, k, "0"};
    auto back = read_cursor_token(write_cursor(t));
    ASSERT_TRUE(back.has_value()) << write_cursor(t);
    EXPECT_EQ(*back, t);
  }
}

TEST(CursorReader, AcceptedForms) {
  const CursorToken want{1, 7, 3, "k\xc3\xa9", "12"};
  const char* texts[] = {
      R"({"node_id":"12","key":"k\u00e9","offset":3,"fp":7,"v":1})",
      " \n\t{\"v\":1,\"fp\":7,\"offset\":3,\"key\":\"k\\u00e9\",\"node_id\":\"12\"}\r\n ",
      R"({"x":[1,{"y":[[],{}],"z":null},"]}"],"v":1,"fp":7,"offset":3,"key":"k\u00e9","node_id":"12","w":{"a":{"b":[true,false,-1.5e3]}}})",
      R"([1, 7, 3, "k\u00e9", "12"])",
      R"({"v":1,"fp":7,"offset":3,"key":"ké","node_id":"12","v2":"v"})",
  };
  for (const char* text : texts) {
    auto t = read_cursor_token(text);
    ASSERT_TRUE(t.has_value()) << text;
    EXPECT_EQ(*t, want) << text;
  }
}

std::string with(const char* v, const char* fp, const char* offset, const char* key, const char* node_id) {
  return std::string("{\"v\":") + v + ",\"fp\":" + fp + ",\"offset\":" + offset + ",\"key\":" + key +
         ",\"node_id\":" + node_id + "}";
}

TEST(CursorReader, RefusalsInCheckOrder) {
  const std::string kNot = "Invalid input: SEARCH_CURSOR_INVALID: cursor is not a valid continuation token";
  const std::string kBadId = "Invalid input: SEARCH_CURSOR_INVALID: cursor carries an invalid node id";
  const std::string kMismatch =
      "Invalid input: SEARCH_CURSOR_INVALID: cursor does not belong to this search request (plan "
      "fingerprint mismatch)";
  struct Case {
    std::string text;
    std::string want;  // empty: accepted
  } cases[] = {
      {with("1", "7", "3", "\"k\"", "\"+42\""), ""},
      {"{}", kNot},
      {"[1]", kNot},
      {"[1,7,3,\"k\",\"1\",5]", kNot},
      {"", kNot},
      {"null", kNot},
      {"\"text\"", kNot},
      {"{\"v\":1,\"v\":1,\"fp\":7,\"offset\":3,\"key\":\"k\",\"node_id\":\"1\"}", kNot},
      {"{\"fp\":7,\"offset\":3,\"key\":\"k\",\"node_id\":\"1\"}", kNot},
      {with("256", "7", "3", "\"k\"", "\"1\""), kNot},
      {with("1", "1.0", "3", "\"k\"", "\"1\""), kNot},
      {with("1", "1e3", "3", "\"k\"", "\"1\""), kNot},
      {with("1", "-1", "3", "\"k\"", "\"1\""), kNot},
      {with("1", "18446744073709551616", "3", "\"k\"", "\"1\""), kNot},
      {with("1", "07", "3", "\"k\"", "\"1\""), kNot},
      {with("1", "\"7\"", "3", "\"k\"", "\"1\""), kNot},
      {with("1", "7", "3", "5", "\"1\""), kNot},
      {with("1", "7", "3", "\"k\"", "1"), kNot},
      {with("1", "7", "3", "\"bad\\q\"", "\"1\""), kNot},
      {with("1", "7", "3", "\"\\ud800\"", "\"1\""), kNot},
      {with("1", "7", "3", "\"raw\ncontrol\"", "\"1\""), kNot},
      {with("1", "7", "3", "\"k\"", "\"1\"") + " x", kNot},
      {with("1", "7", "3", "\"k\"", "\"1\"") + "{}", kNot},
      {"{\"v\":1,\"fp\":7,\"offset\":3,\"key\":\"k\",\"node_id\":\"1\",}", kNot},
      {"{\"v\":1,\"fp\":7,\"offset\":3,\"key\":\"k\",\"node_id\":\"1\",\"u\":[1,]}", kNot},
      {"{\"v\":1,\"fp\":7,\"offset\":3,\"key\":\"k\",\"node_id\":\"1\",\"u\":tru}", kNot},
      {"{\"v\":1,\"fp\":7,\"offset\":3,\"key\":\"k\",\"node_id\":\"1\",\"u\":[}", kNot},
      {with("2", "7", "3", "\"k\"", "\"1\""),
       "Invalid input: SEARCH_CURSOR_INVALID: unsupported cursor version 2"},
      {with("0", "8", "3", "\"k\"", "\"-1\""),
       "Invalid input: SEARCH_CURSOR_INVALID: unsupported cursor version 0"},  // version first
      {with("1", "7", "3", "\"k\"", "\"-42\""), kBadId},
      {with("1", "7", "3", "\"k\"", "\"\""), kBadId},
      {with("1", "7", "3", "\"k\"", "\"+\""), kBadId},
      {with("1", "7", "3", "\"k\"", "\"42a\""), kBadId},
      {with("1", "7", "3", "\"k\"", "\" 42\""), kBadId},
      {with("1", "7", "3", "\"k\"", "\"340282366920938463463374607431768211456\""), kBadId},
      {with("1", "8", "3", "\"k\"", "\"x\""), kBadId},  // node id before fingerprint
      {with("1", "8", "3", "\"k\"", "\"1\""), kMismatch},
  };
  for (const Case& c : cases) {
    auto got = parse_cursor(c.text, 7);
    if (c.want.empty()) {
      EXPECT_TRUE(got.ok()) << c.text;
    } else {
      ASSERT_FALSE(got.ok()) << c.text;
      EXPECT_EQ(got.error().message(), c.want) << c.text;
    }
  }
}

TEST(CursorReader, PositionOfAnAcceptedCursor) {
  auto pos = parse_cursor(with("1", "7", "18446744073709551615", "\"k\"",
                               "\"+0340282366920938463463374607431768211455\""),
                          7);
  ASSERT_TRUE(pos.ok());
  EXPECT_EQ(pos->offset, 18446744073709551615ULL);
  EXPECT_EQ(pos->key, "k");
  EXPECT_EQ(pos->node_id, kMaxNodeId);
}

TEST(CursorReader, DeepNestingNeitherCrashesNorRecurses) {
  const size_t depth = 100000;
  std::string deep = "{\"v\":1,\"fp\":7,\"offset\":3,\"key\":\"k\",\"node_id\":\"1\",\"deep\":";
  for (size_t i = 0; i < depth; ++i) deep += (i % 2) ? "{\"a\":" : "[";
  deep += "0";
  for (size_t i = depth; i-- > 0;) deep += (i % 2) ? "}" : "]";
  EXPECT_TRUE(parse_cursor(deep + "}", 7).ok());
  // Unbalanced: the same nesting left open.
  EXPECT_FALSE(parse_cursor(deep.substr(0, deep.size() - 1) + "}", 7).ok());
  // A deep known member is the wrong type, not a crash.
  std::string deep_v = "{\"v\":" + std::string(depth, '[');
  EXPECT_FALSE(parse_cursor(deep_v, 7).ok());
}

}  // namespace
}  // namespace zv::search
