#include "src/text/text_keys.h"

#include <gtest/gtest.h>

#include "platform/log.h"

namespace zv::text {
namespace {

using namespace std::string_literals;

TEST(TextKeys, GoldenLayouts) {
  EXPECT_EQ(posting_key("notes", "alpha", "k1"), "notes\0alpha\0k1"s);
  EXPECT_EQ(posting_key("notes", "alpha", "k1").size(), 14u);
  EXPECT_EQ(posting_prefix("notes", "alpha"), "notes\0alpha\0"s);
  EXPECT_EQ(doc_stats_key("n", "k"), "\xFFzolva_text_v3\0doc\0n\0k"s);
  EXPECT_EQ(doc_stats_key("n", "k").size(), 1u + 1u + 20u);
  EXPECT_EQ(term_stats_key("n", "tok"), "\xFFzolva_text_v3\0term\0n\0tok"s);
  EXPECT_EQ(namespace_stats_key("a"), "\xFFzolva_text_v3\0ns\0a"s);
  EXPECT_EQ(namespace_stats_key("a").size(), 19u);
  // A posting never starts with the statistics marker.
  EXPECT_EQ(kStatsMarker.size(), 15u);
  EXPECT_EQ(kStatsMarker[0], '\xFF');
}

TEST(TextKeys, ParseTermStatsKey) {
  EXPECT_EQ(parse_term_stats_key(term_stats_key("notes", "alpha")),
            (std::pair<std::string, std::string>{"notes", "alpha"}));
  // No 0x00 after the namespace: not a term key.
  EXPECT_EQ(parse_term_stats_key(std::string(kTermStatsPrefix) + "abc"), std::nullopt);
  // A closing 0x00 with nothing after it: an empty token.
  EXPECT_EQ(parse_term_stats_key(std::string(kTermStatsPrefix) + "n\0"s),
            (std::pair<std::string, std::string>{"n", ""}));
  // Keys of at most 19 bytes never qualify, whatever their bytes.
  for (size_t n = 0; n <= 19; ++n) {
    EXPECT_EQ(parse_term_stats_key(std::string(kTermStatsPrefix.substr(0, n))), std::nullopt);
  }
  EXPECT_EQ(parse_term_stats_key(std::string(kTermStatsPrefix)), std::nullopt);
  EXPECT_EQ(parse_term_stats_key(namespace_stats_key("abc")), std::nullopt);
  EXPECT_EQ(parse_term_stats_key(posting_key("n", "t", "k")), std::nullopt);
}

TEST(TextKeys, ParseNamespaceStatsKey) {
  EXPECT_EQ(parse_namespace_stats_key(namespace_stats_key("docs")), "docs");
  for (size_t n = 0; n <= 17; ++n) {
    EXPECT_EQ(parse_namespace_stats_key(std::string(kNamespaceStatsPrefix.substr(0, n))),
              std::nullopt);
  }
  EXPECT_EQ(parse_namespace_stats_key(term_stats_key("a", "b")), std::nullopt);
}

TEST(TextKeys, InvalidUtf8PartsGiveNoneWithAWarning) {
  log::CaptureSink sink(log::Level::kWarn);
  EXPECT_EQ(parse_term_stats_key(std::string(kTermStatsPrefix) + "n\xFF\0t"s), std::nullopt);
  EXPECT_EQ(parse_term_stats_key(std::string(kTermStatsPrefix) + "n\0t\xC3"s), std::nullopt);
  EXPECT_EQ(parse_namespace_stats_key(std::string(kNamespaceStatsPrefix) + "\xED\xA0\x80"),
            std::nullopt);
  EXPECT_TRUE(sink.contains("Invalid UTF-8 namespace in term stats key"));
  EXPECT_TRUE(sink.contains("Invalid UTF-8 token in term stats key"));
  EXPECT_TRUE(sink.contains("Invalid UTF-8 in namespace stats key"));
  for (const auto& e : sink.events()) {
    ASSERT_EQ(e.fields.size(), 2u);
    EXPECT_EQ(e.fields[0].first, "e");
    EXPECT_EQ(e.fields[1].first, "raw");
  }
}

TEST(TextKeys, KeyInNamespaceSeparatesPrefixNamespaces) {
  struct Case {
    std::string key;
    bool in_a;
  };
  const Case cases[] = {
      {posting_key("a", "t", "k"), true},
      {posting_key("ab", "t", "k"), false},
      {term_stats_key("a", "t"), true},
      {term_stats_key("ab", "t"), false},
      {doc_stats_key("a", "k"), true},
      {doc_stats_key("ab", "k"), false},
      {namespace_stats_key("a"), true},
      {namespace_stats_key("ab"), false},
      {"a", false},
      {std::string(kStatsMarker) + "other\0a\0"s, false},
  };
  for (const auto& c : cases) EXPECT_EQ(key_in_namespace(c.key, "a"), c.in_a) << c.key;
}

TEST(TextKeys, PostingDeleteOpsFollowDistinctTokens) {
  auto ops = posting_delete_ops("ns", "k", "b a B, a");
  ASSERT_EQ(ops.size(), 2u);
  EXPECT_EQ(ops[0], BatchOp::del(Partition::kTextIndex, posting_key("ns", "a", "k")));
  EXPECT_EQ(ops[1], BatchOp::del(Partition::kTextIndex, posting_key("ns", "b", "k")));
  EXPECT_TRUE(posting_delete_ops("ns", "k", "").empty());
}

}  // namespace
}  // namespace zv::text
