#include "src/search/bm25.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>

namespace zv::search {
namespace {

// Golden f32 bits from an independent float32 evaluation of the formula in
// the same order of operations (numpy; its logarithm may differ from the C
// library's by one unit in the last place).
struct Golden {
  uint64_t n, total, df;
  uint32_t tf, doc_len;
  uint32_t bits;
};

TEST(Bm25, MatchesFloat32Goldens) {
  const Golden rows[] = {
      {3, 12, 1, 2, 4, 0x3faca03du},
      {3, 12, 2, 1, 6, 0x3ec7c736u},
      {3, 12, 0, 1, 6, 0x3fdcf858u},         // df 0 is a finite share
      {1000, 123457, 17, 3, 77, 0x40dd54c4u},
      {5, 0, 9, 1, 0, 0xbf471565u},          // df above N: negative; total 0: avgdl 1
  };
  for (const Golden& g : rows) {
    const float avgdl = bm25_avgdl(g.n, g.total);
    const float c = bm25_contribution(g.tf, g.doc_len, avgdl, bm25_idf(g.n, g.df));
    const auto got = std::bit_cast<uint32_t>(c);
    const int64_t ulps = static_cast<int64_t>(got) - static_cast<int64_t>(g.bits);
    EXPECT_LE(std::llabs(ulps), 1) << g.n << " " << g.df << " " << c;
    EXPECT_TRUE(std::isfinite(c));
  }
  EXPECT_EQ(bm25_avgdl(4, 0), 1.0f);
  EXPECT_EQ(bm25_avgdl(4, 10), 2.5f);
}

}  // namespace
}  // namespace zv::search
