// Benchmark documents: words drawn from a Zipf distribution (s = 1) over a
// vocabulary of distinct lower-case words ("w" + base-26 digits), with a
// fixed seed, so that the text benchmarks and their FTS5 peers index the
// same documents. Bench-only.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace zv::bench {

inline std::string vocab_word(size_t rank) {
  std::string w = "w";
  do {
    w.push_back(static_cast<char>('a' + rank % 26));
    rank /= 26;
  } while (rank > 0);
  return w;
}

class ZipfDocs {
 public:
  explicit ZipfDocs(size_t vocab = 30000, uint64_t seed = 20240501) : rng_(seed) {
    cdf_.resize(vocab);
    double sum = 0;
    for (size_t r = 0; r < vocab; ++r) cdf_[r] = (sum += 1.0 / static_cast<double>(r + 1));
    u_ = std::uniform_real_distribution<double>(0, sum);
  }

  // One document of `words` words separated by spaces.
  std::string next(size_t words) {
    std::string doc;
    for (size_t w = 0; w < words; ++w) {
      const size_t rank = std::lower_bound(cdf_.begin(), cdf_.end(), u_(rng_)) - cdf_.begin();
      if (w) doc.push_back(' ');
      doc += vocab_word(std::min(rank, cdf_.size() - 1));
    }
    return doc;
  }

 private:
  std::vector<double> cdf_;
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> u_;
};

}  // namespace zv::bench
