#include "src/search/phrase.h"

#include <algorithm>

#include "platform/saturating.h"

namespace zv::search {

bool phrase_matches(const PositionsMap& positions, const Phrase& phrase) {
  if (phrase.empty()) return true;
  auto first = positions.find(phrase[0]);
  if (first == positions.end()) return false;
  if (phrase.size() == 1) return !first->second.empty();
  // Look every later token up once.
  std::vector<const std::vector<uint32_t>*> rest;
  rest.reserve(phrase.size() - 1);
  for (size_t i = 1; i < phrase.size(); ++i) {
    auto it = positions.find(phrase[i]);
    if (it == positions.end()) return false;
    rest.push_back(&it->second);
  }
  for (uint32_t p : first->second) {
    bool all = true;
    for (size_t i = 0; i < rest.size() && all; ++i) {
      const uint32_t want = sat_add_u32(p, static_cast<uint32_t>(std::min<size_t>(i + 1, UINT32_MAX)));
      all = std::find(rest[i]->begin(), rest[i]->end(), want) != rest[i]->end();
    }
    if (all) return true;
  }
  return false;
}

bool all_phrases_match(const std::vector<Phrase>& phrases, const PositionsMap& positions) {
  for (const Phrase& ph : phrases) {
    if (!phrase_matches(positions, ph)) return false;
  }
  return true;
}

}  // namespace zv::search
