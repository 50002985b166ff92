// Sorts hit lists whose scores, keys and node ids come from the input (NaN,
// infinities, equal and distinct values mixed). The sort must terminate, keep
// every hit exactly once and give the same order twice.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "src/search/hit_order.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<zv::SearchHit> hits;
  // Six bytes per hit: four of score bits, one key byte, one node id byte.
  for (size_t i = 0; i + 6 <= size && hits.size() < 4096; i += 6) {
    zv::SearchHit h;
    std::memcpy(&h.score, data + i, 4);
    h.record.key = std::string(1 + (data[i + 4] & 3), static_cast<char>(data[i + 4] >> 2));
    h.record.node_id = data[i + 5];
    h.record.payload = std::to_string(hits.size());  // input position
    hits.push_back(std::move(h));
  }
  std::vector<zv::SearchHit> a = hits, b = hits;
  zv::search::sort_hits(a);
  zv::search::sort_hits(b);
  std::vector<char> seen(hits.size(), 0);
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].record.payload != b[i].record.payload) std::abort();
    const size_t pos = std::strtoull(a[i].record.payload.c_str(), nullptr, 10);
    if (pos >= seen.size() || seen[pos]) std::abort();
    seen[pos] = 1;
  }
  zv::search::sort_hits_by_score(a);
  if (a.size() != hits.size()) std::abort();
  return 0;
}
