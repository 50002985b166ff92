#include "src/text/text_tokenizer.h"

#include <limits>

namespace zv::text {

namespace {

constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();

uint32_t saturating_u32(uint64_t v) { return v > kU32Max ? kU32Max : static_cast<uint32_t>(v); }

}  // namespace

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> out;
  for_each_token(text, [&](std::string_view t) { out.emplace_back(t); });
  return out;
}

TextTokenStats token_stats(std::string_view text) {
  TextTokenStats stats;
  // The per-token statistics live in one map while counting and are split
  // into the two result maps at the end (each token looked up once per
  // occurrence instead of twice).
  struct Entry {
    uint64_t tf = 0;
    std::vector<uint32_t> positions;
  };
  std::map<std::string, Entry, std::less<>> acc;
  uint64_t index = 0;
  for_each_token(text, [&](std::string_view t) {
    auto it = acc.find(t);
    if (it == acc.end()) it = acc.emplace(std::string(t), Entry{}).first;
    ++it->second.tf;
    it->second.positions.push_back(saturating_u32(index));
    ++index;
  });
  stats.doc_len = saturating_u32(index);
  auto tf_hint = stats.term_frequencies.end();
  auto pos_hint = stats.positions.end();
  for (auto& [token, e] : acc) {
    tf_hint = stats.term_frequencies.emplace_hint(tf_hint, token, saturating_u32(e.tf));
    pos_hint = stats.positions.emplace_hint(pos_hint, token, std::move(e.positions));
  }
  return stats;
}

std::map<std::string, uint32_t, std::less<>> term_counts(std::string_view text) {
  std::map<std::string, uint64_t, std::less<>> acc;
  for_each_token(text, [&](std::string_view t) {
    auto it = acc.find(t);
    if (it == acc.end()) it = acc.emplace(std::string(t), 0).first;
    ++it->second;
  });
  std::map<std::string, uint32_t, std::less<>> out;
  for (auto& [token, n] : acc) out.emplace_hint(out.end(), token, saturating_u32(n));
  return out;
}

std::set<std::string, std::less<>> distinct_tokens(std::string_view text) {
  std::set<std::string, std::less<>> out;
  for_each_token(text, [&](std::string_view t) {
    if (out.find(t) == out.end()) out.emplace(t);
  });
  return out;
}

}  // namespace zv::text
