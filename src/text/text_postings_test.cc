#include "src/text/text_postings.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "src/text/key_limit.h"

namespace zv::text {
namespace {

// The flat tokens against token_stats and posting_put_ops: same distinct tokens in byte order, term
// frequencies, positions and document length, on payloads with separators
// of every kind, non-ASCII bytes, the two non-ASCII token characters and
// repeated tokens; and the posting Puts of both paths byte for byte.
TEST(IndexedTokens, MatchTokenStatsAndTheirPostings) {
  std::mt19937_64 rng(11);
  const std::string pieces[] = {"a", "B", "ab", "9z", " ", ",", "\xE2\x84\xAA", "\xC4\xB0",
                                "\xC3\xA9", "\xFF", std::string(1, '\0'), "w0", "Ab"};
  std::vector<std::string> payloads = {"", " ", "a b a", "a, , b", "\xE2\x84\xAA" "elvin"};
  for (int i = 0; i < 300; ++i) {
    std::string p;
    for (size_t n = rng() % 40; n > 0; --n) p += pieces[rng() % std::size(pieces)];
    payloads.push_back(p);
  }
  for (const std::string& payload : payloads) {
    const TextTokenStats want = token_stats(payload);
    const IndexedTokens got = indexed_tokens("ns", "key", payload);
    ASSERT_EQ(got.doc_len, want.doc_len) << payload;
    ASSERT_EQ(got.terms.size(), want.term_frequencies.size()) << payload;
    size_t i = 0;
    for (const auto& [token, tf] : want.term_frequencies) {
      const IndexedTokens::Term& t = got.terms[i++];
      ASSERT_EQ(got.token(t), token) << payload;
      ASSERT_EQ(t.term_frequency, tf) << payload;
      const auto positions = got.positions_of(t);
      ASSERT_EQ(std::vector<uint32_t>(positions.begin(), positions.end()), want.positions.at(token))
          << payload;
    }
    std::vector<BatchOp> flat;
    append_posting_puts("ns", "key", got, NodeId{42}, &flat);
    auto reference = posting_put_ops("ns", "key", want, NodeId{42});
    ASSERT_TRUE(reference.ok());
    ASSERT_EQ(flat.size(), reference->size());
    for (size_t k = 0; k < flat.size(); ++k) {
      EXPECT_EQ(flat[k].key, (*reference)[k].key);
      EXPECT_EQ(flat[k].value, (*reference)[k].value);
    }
  }
}

// A token whose posting key would pass the key limit is left out and
// counted; the other tokens and the document length stay.
TEST(IndexedTokens, OverLongTokensAreSkippedAndCounted) {
  const std::string long_token(kMaxIndexKeyBytes, 'x');
  uint64_t skipped = 0;
  const IndexedTokens got = indexed_tokens("ns", "key", "a " + long_token + " b " + long_token, &skipped);
  EXPECT_EQ(skipped, 1u);
  EXPECT_EQ(got.doc_len, 4u);
  ASSERT_EQ(got.terms.size(), 2u);
  EXPECT_EQ(got.token(got.terms[0]), "a");
  EXPECT_EQ(got.token(got.terms[1]), "b");
  EXPECT_EQ(got.positions_of(got.terms[1])[0], 2u);
}

}  // namespace
}  // namespace zv::text
