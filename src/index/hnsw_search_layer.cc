// The best-first search of one layer of the graph. Bottom-layer lists and,
// for unfiltered in-memory searches, node values come from the search views
// without a lock; everything else from the node records under their locks.
#include <algorithm>

#include "src/index/hnsw_index.h"
#include "src/index/node_scoring.h"
#include "src/runtime/hardware.h"

namespace zv {
namespace {

struct Eval {
  bool ok = false;  // scored: present, not deleted, comparable
  float score = 0.0f;
  bool pass = false;  // passes the filter
};

// Copies the neighbour list of `s` on `layer`; false when it has none.
bool fetch_list(const NodeTable& table, uint32_t s, uint64_t layer,
                std::vector<uint32_t>& out) {
  NodeSlot& slot = table.at(s);
  SharedSpinGuard g(slot.links_lock);
  if (slot.has_list(layer)) {
    thread_local SlotList scratch;
    const SlotList& l = slot.list_at(layer, scratch);
    out.assign(l.begin(), l.end());
    return true;
  }
  return false;
}

Eval evaluate(const NodeTable& table, uint32_t s, const LayerQuery& qp,
              const DiskNodeReader* reader, DistanceMetric metric,
              const FilterBitset& filter, bool unfiltered) {
  Eval e;
  NodeSlot& slot = table.at(s);
  SharedSpinGuard g(slot.record_lock);
  if (!slot.has_record) return e;
  const HnswNode& r = slot.record;
  std::optional<float> score;
  if (reader) {
    StoreScore st = score_with_store(qp, r, *reader, metric);
    if (st.skip) return e;
    score = st.score;
  } else {
    if (r.deleted()) return e;
    score = score_record(qp, r, metric);
  }
  if (!score) return e;
  e.ok = true;
  e.score = *score;
  e.pass = unfiltered || FilterBitset::matches(r.filter, filter);
  return e;
}

// Asks the OS to prefetch the stored vectors of the unvisited neighbours.
void prefetch_neighbours(const NodeTable& table, const std::vector<uint32_t>& list,
                         const VisitedSet& visited, const DiskNodeReader& reader,
                         const MemoryMap& map) {
  const size_t store_len = reader.bytes().size();
  for (uint32_t s : list) {
    if (visited.contains(s)) continue;
    NodeSlot& slot = table.at(s);
    uint64_t offset;
    {
      SharedSpinGuard g(slot.record_lock);
      if (!slot.has_record) continue;
      offset = slot.record.storage_offset;
    }
    const auto h = reader.disk_node_header_at(offset);
    if (!h) continue;
    const uint64_t size = h->vector_bytes();
    if (size == 0 || h->data_offset > store_len || size > store_len - h->data_offset) continue;
    (void)map.advise(static_cast<size_t>(h->data_offset), static_cast<size_t>(size),
                     MapAdvice::kWillNeed);
  }
}

}  // namespace

std::vector<HnswIndex::Cand> HnswIndex::search_layer_slots(
    const LayerQuery& qp, std::span<const uint32_t> entry, uint64_t ef, uint64_t layer,
    const FilterBitset& filter, bool two_hop, const DiskNodeReader* reader,
    DistanceMetric metric, VisitedSet& visited) const {
  const bool unfiltered = filter.is_unfiltered();
  const MemoryMap* prefetch_map = nullptr;
  if (reader && reader->mapping() && prefetch_allowed(current_prefetch_mode()))
    prefetch_map = reader->mapping();
  visited.reserve_slots(table_.slot_count());

  // Unfiltered in-memory searches score from the search views, without a
  // lock; anything a view does not hold (another length, values changed
  // since, a metric without cached norms) is scored from the record.
  const SearchViews& views = table_.views();
  const size_t dim = qp.q.size();
  const bool view_scores = reader == nullptr && unfiltered && dim != 0 && views.dim() == dim;
  const size_t score_bytes = view_scores ? views.values_offset() + dim * sizeof(float) : 0;
  auto eval = [&](uint32_t s) -> Eval {
    if (view_scores) {
      if (const SearchViews::Header* h = views.header(s)) {
        const uint32_t st = h->state.load(std::memory_order_acquire);
        constexpr uint32_t kMask = SearchViews::kLive | SearchViews::kValues | SearchViews::kStale;
        Eval e;
        if ((st & kMask) == (SearchViews::kLive | SearchViews::kValues) &&
            score_f32_cached(qp, F32View(views.values(h), dim), h->inv_norm, h->sq_norm, metric,
                             e.score)) {
          e.ok = true;
          e.pass = true;
          return e;
        }
      }
    }
    return evaluate(table_, s, qp, reader, metric, filter, unfiltered);
  };
  auto fetch = [&](uint32_t s, std::vector<uint32_t>& out) {
    if (layer == 0) {
      if (const SearchViews::Header* h = views.header(s))
        if (views.read_list(h, out)) return true;
    }
    return fetch_list(table_, s, layer, out);
  };

  auto cand_less = [this](const Cand& a, const Cand& b) { return better_cand(b, a); };
  auto res_less = [this](const Cand& a, const Cand& b) { return better_cand(a, b); };
  thread_local std::vector<Cand> cands;  // best on top
  cands.clear();
  std::vector<Cand> results;  // worst on top
  results.reserve(static_cast<size_t>(std::min<uint64_t>(ef, 4096)) + 1);

  auto push = [&](uint32_t s, const Eval& e) {
    if (!(results.size() < ef || (!results.empty() && e.score > results.front().score)))
      return false;
    cands.push_back({e.score, s});
    std::push_heap(cands.begin(), cands.end(), cand_less);
    if (layer == 0) {
      // Its list is likely read soon.
      if (const SearchViews::Header* h = views.header(s)) {
        const char* p = reinterpret_cast<const char*>(views.list(h));
        __builtin_prefetch(h);
        __builtin_prefetch(p);
        __builtin_prefetch(p + 64);
        __builtin_prefetch(p + 128);
        __builtin_prefetch(p + 192);
      }
    }
    if (e.pass) {
      results.push_back({e.score, s});
      std::push_heap(results.begin(), results.end(), res_less);
      if (results.size() > ef) {
        std::pop_heap(results.begin(), results.end(), res_less);
        results.pop_back();
      }
    }
    return true;
  };

  for (uint32_t s : entry) {
    if (!visited.insert(s)) continue;
    const Eval e = eval(s);
    if (!e.ok) continue;
    cands.push_back({e.score, s});
    std::push_heap(cands.begin(), cands.end(), cand_less);
    if (e.pass) {
      results.push_back({e.score, s});
      std::push_heap(results.begin(), results.end(), res_less);
    }
  }

  thread_local std::vector<uint32_t> list;
  thread_local std::vector<uint32_t> todo;
  thread_local std::vector<uint32_t> hop;
  while (!cands.empty()) {
    std::pop_heap(cands.begin(), cands.end(), cand_less);
    const Cand c = cands.back();
    cands.pop_back();
    if (results.size() >= ef && !results.empty() && results.front().score > c.score) break;
    if (!fetch(c.slot, list)) continue;
    if (prefetch_map) prefetch_neighbours(table_, list, visited, *reader, *prefetch_map);
    // Start every unvisited neighbour's view on its way before the first is
    // scored.
    todo.clear();
    for (uint32_t s : list) {
      if (!visited.insert(s)) continue;
      todo.push_back(s);
      if (!view_scores) {
        __builtin_prefetch(&table_.at(s));
        continue;
      }
      const char* p = reinterpret_cast<const char*>(views.header(s));
      if (!p) continue;
      for (size_t off = 0; off < score_bytes; off += 64) __builtin_prefetch(p + off);
    }
    for (uint32_t y : todo) {
      const Eval e = eval(y);
      if (!e.ok) continue;
      if (!push(y, e) || e.pass || !two_hop) continue;
      // Two-hop expansion of a neighbour that failed the filter.
      if (!fetch(y, hop)) continue;
      const uint64_t room = ef > results.size() ? ef - results.size() : 0;
      const size_t limit = static_cast<size_t>(std::min<uint64_t>(std::max<uint64_t>(16, room), hop.size()));
      for (size_t i = 0; i < limit; ++i) {
        const uint32_t z = hop[i];
        if (!visited.insert(z)) continue;
        const Eval ez = evaluate(table_, z, qp, nullptr, metric, filter, unfiltered);
        if (ez.ok) push(z, ez);
      }
    }
  }
  return results;
}

std::vector<ScoredCandidate> HnswIndex::search_layer(const LayerQuery& query,
                                                     std::span<const NodeId> entry, uint64_t ef,
                                                     uint64_t layer, const FilterBitset& filter,
                                                     bool two_hop, const DiskNodeReader* reader,
                                                     DistanceMetric metric,
                                                     VisitedSet& visited) const {
  std::vector<uint32_t> slots;
  for (NodeId id : entry)
    if (auto s = table_.find(id)) slots.push_back(*s);
  std::vector<ScoredCandidate> out;
  for (const Cand& c : search_layer_slots(query, slots, ef, layer, filter, two_hop, reader,
                                          metric, visited))
    out.push_back({table_.id_of(c.slot), c.score});
  return out;
}

}  // namespace zv
