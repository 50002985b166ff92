// Insertion into the graph: in-place update, level draw, greedy descent,
// neighbour selection with the diversity rule, reverse links and pruning.
#include <algorithm>
#include <cmath>

#include "platform/fill_message.h"
#include "platform/log.h"
#include "src/index/hnsw_index.h"
#include "src/index/node_scoring.h"
#include "src/vector/kernel_call.h"
#include "src/vector/score.h"

namespace zv {
namespace {

// Shared holds on several node records at once, released together. Safe
// because the record locks prefer readers and a writer of a record never
// waits for another lock while holding it. (A list lock may be held while a
// record lock is taken, never the reverse.)
class ReadLockSet {
 public:
  explicit ReadLockSet(const NodeTable& table) : table_(table) {}
  ~ReadLockSet() {
    for (uint32_t s : held_) table_.at(s).record_lock.unlock_shared();
  }
  ReadLockSet(const ReadLockSet&) = delete;
  ReadLockSet& operator=(const ReadLockSet&) = delete;
  // Locks s and returns its record, or null (unlocked again) when absent.
  const HnswNode* lock(uint32_t s) {
    NodeSlot& slot = table_.at(s);
    slot.record_lock.lock_shared();
    if (!slot.has_record) {
      slot.record_lock.unlock_shared();
      return nullptr;
    }
    held_.push_back(s);
    return &slot.record;
  }

 private:
  const NodeTable& table_;
  std::vector<uint32_t> held_;
};

// The f32 values and norms of one candidate during neighbour selection.
struct Member {
  uint32_t slot;
  float score;  // against the base node
  F32View view;
  float inv_norm;
  uint32_t rank = 0;  // score as a key of the candidate order, NaN lowest
};

// The candidate order's key of a score: larger ranks first (every NaN last).
uint32_t rank_key(float score) { return std::isnan(score) ? 0 : total_order_key(score); }

// The score of two members against each other, through the same kernels
// as kern::dot and kern::l2_squared.
class PairScore {
 public:
  explicit PairScore(DistanceMetric metric) : metric_(metric), k_(kern::table()) {}
  float operator()(const Member& a, const Member& b) const {
    switch (metric_) {
      case DistanceMetric::kCosine:
        if (a.inv_norm > kNormEpsilon && b.inv_norm > kNormEpsilon)
          return k_.dot(a.view.data(), a.view.size(), b.view.data(), b.view.size()) *
                 a.inv_norm * b.inv_norm;
        return 0.0f;
      case DistanceMetric::kEuclidean:
        return -k_.l2_squared(a.view.data(), a.view.size(), b.view.data(), b.view.size());
      case DistanceMetric::kSparseDot:
        return 0.0f;
    }
    return 0.0f;
  }

 private:
  DistanceMetric metric_;
  const DistanceKernels& k_;
};

// How a neighbour list is chosen from candidates sorted best first.
struct Selection {
  // A candidate is dropped when some kept member is closer to it than
  // `slack` times its distance to the base node (distances as squared
  // lengths, or 1 - cosine). Above layer 0 the slack keeps links to several
  // distant regions where the strict rule keeps one: with regions about
  // equally far apart the strict rule is a coin toss per region, and the
  // descent then cannot steer into a region inserted late.
  float slack = 1.0f;
  // Re-selection of an existing list (a prune): members the node's list is
  // one of the last few lists to hold keep their place, the list is topped
  // up to 3/4 of the limit by score (so that the next prune is many links
  // away), and members held by at most one list may go beyond the limit.
  const NodeTable* table = nullptr;
  uint64_t layer = 0;
};

// Lists holding a member at or below which re-selection keeps it.
constexpr uint32_t kFewInLinks = 2;
constexpr float kUpperLayerSlack = 1.5f;

// Keeps a candidate only when it is not dominated by a member kept before it
// (see Selection). A fresh list is not topped up: a fuller list makes every
// later reverse link overflow and re-select it, while the search gains
// little from the extra, redundant neighbours.
SlotList select_diverse(const std::vector<Member>& sorted, uint64_t limit,
                        DistanceMetric metric, const Selection& how) {
  const PairScore pair_score(metric);
  const bool scaled = metric != DistanceMetric::kSparseDot && how.slack != 1.0f;
  auto dominated = [&](float pair, float score) {
    if (!scaled) return pair > score;
    if (metric == DistanceMetric::kEuclidean) return pair * how.slack > score;
    return pair > 1.0f - (1.0f - score) / how.slack;
  };
  thread_local std::vector<uint8_t> taken;
  thread_local std::vector<const Member*> kept;
  taken.assign(sorted.size(), 0);
  kept.clear();
  size_t examined = 0;
  // The member that rejected the last candidate is asked first: neighbours
  // of one region tend to be rejected by the same member. (Whether a
  // candidate is kept does not depend on the order of the checks.)
  size_t rejecter = 0;
  for (; examined < sorted.size() && kept.size() < limit; ++examined) {
    const Member& c = sorted[examined];
    bool good = true;
    if (rejecter < kept.size() && dominated(pair_score(c, *kept[rejecter]), c.score)) {
      good = false;
    } else {
      for (size_t i = 0; i < kept.size(); ++i) {
        if (i == rejecter) continue;
        if (dominated(pair_score(c, *kept[i]), c.score)) {
          good = false;
          rejecter = i;
          break;
        }
      }
    }
    if (good) {
      kept.push_back(&c);
      taken[examined] = 1;
    }
  }
  const NodeTable* table = how.table;
  if (table) {
    for (size_t i = 0; i < sorted.size() && kept.size() < limit; ++i) {
      if (taken[i]) continue;
      const NodeSlot& z = table->at(sorted[i].slot);
      const uint32_t in = how.layer == 0 ? z.layer0_in.load(std::memory_order_acquire)
                                         : z.reverse_count.load(std::memory_order_acquire);
      if (in > kFewInLinks) continue;
      kept.push_back(&sorted[i]);
      taken[i] = 1;
    }
    for (size_t i = 0; i < examined && 4 * kept.size() < 3 * limit; ++i) {
      if (taken[i]) continue;
      kept.push_back(&sorted[i]);
      taken[i] = 1;
    }
  }
  SlotList out;
  for (const Member* k : kept) out.push_back(k->slot);
  if (table) {
    const uint64_t cap = limit > UINT64_MAX / 2 ? UINT64_MAX : 2 * limit;
    for (size_t i = 0; i < sorted.size() && out.size() < cap; ++i) {
      if (taken[i]) continue;
      if (table->at(sorted[i].slot).reverse_count.load(std::memory_order_acquire) <= 1)
        out.push_back(sorted[i].slot);
    }
  }
  return out;
}

}  // namespace

ZolvaResult<void> HnswIndex::add(NodeId id, const FilterBitset& filter, VectorRepr vector,
                                 uint64_t storage_offset) {
  std::optional<log::Span> span;
  if (log::enabled(log::Level::kTrace)) {
    span.emplace("add", log::Fields{{"id", node_id_to_string(id)},
                                    {"bitset", std::to_string(filter.words().size()) + " words"},
                                    {"storage_offset", std::to_string(storage_offset)}});
  }
  return insert(id, filter, std::move(vector), storage_offset, std::nullopt);
}

ZolvaResult<void> HnswIndex::add_at_level(NodeId id, const FilterBitset& filter,
                                          VectorRepr vector, uint64_t storage_offset,
                                          uint64_t level) {
  ZV_TRY(check_level(level));
  return insert(id, filter, std::move(vector), storage_offset, level);
}

void HnswIndex::store_record(uint32_t s, HnswNode record) {
  NodeSlot& slot = table_.at(s);
  HnswNode old;
  {
    ExclusiveSpinGuard g(slot.record_lock);
    if (!slot.has_record) records_.fetch_add(1, std::memory_order_acq_rel);
    const int64_t before = slot.has_record ? record_heap_bytes(slot.record) : 0;
    old = std::move(slot.record);
    slot.record = std::move(record);
    slot.has_record = true;
    slot.refresh_hint();
    account(record_heap_bytes(slot.record) - before);
  }
  node_count_.fetch_add(1, std::memory_order_acq_rel);
  mutations_.fetch_add(1, std::memory_order_acq_rel);
}

void HnswIndex::reset_links(uint32_t s, uint64_t level) {
  NodeSlot& slot = table_.at(s);
  {
    ExclusiveSpinGuard g(slot.links_lock);
    const int64_t before = links_heap_bytes(slot);
    if (slot.links.size() < level + 1) slot.links.resize(level + 1);
    for (uint64_t l = 0; l <= level; ++l) {
      if (l == 0) {
        slot.set_list(0, SlotList());
      } else if (slot.links[l]) {
        slot.links[l]->clear();
      } else {
        slot.links[l].emplace();
      }
    }
    account(links_heap_bytes(slot) - before);
  }
  slot.layer_count.store(level + 1, std::memory_order_release);
}

void HnswIndex::store_unlinked(uint32_t s, const FilterBitset& filter, VectorRepr vector,
                               uint64_t storage_offset) {
  reset_links(s, 0);
  HnswNode rec;
  rec.vector = std::move(vector);
  rec.storage_offset = storage_offset;
  rec.filter = filter;
  rec.id = table_.id_of(s);
  store_record(s, std::move(rec));
}

bool HnswIndex::update_in_place(NodeId id, const FilterBitset& filter, const VectorRepr& vector,
                                uint64_t storage_offset) {
  const uint32_t s = table_.intern(id);
  NodeSlot& slot = table_.at(s);
  {
    VectorRepr old;
    ExclusiveSpinGuard g(slot.record_lock);
    if (slot.has_record) {
      HnswNode& r = slot.record;
      const int64_t before = record_heap_bytes(r);
      r.filter = filter;
      old = std::move(r.vector);
      r.vector = vector.clone();
      r.values_in_view = false;
      r.storage_offset = storage_offset;
      const CachedNorms n = node_norms(config_.metric, r.vector);
      r.inv_norm = n.inv_norm;
      r.sq_norm = n.sq_norm;
      slot.refresh_hint();
      account(record_heap_bytes(r) - before);
      mutations_.fetch_add(1, std::memory_order_acq_rel);
      return true;
    }
  }
  if (!vector.is_none()) return false;
  store_unlinked(s, filter, VectorRepr::none(), storage_offset);
  return true;
}

// Callers hold the links lock of `slot`. Writes `list` as the layer-map
// entry, keeping the reverse-link counts (ids removed lose one, ids added
// gain one) and the search view's copy of a layer-0 list.
void HnswIndex::write_list_locked(NodeSlot& slot, uint64_t layer, const SlotList& list) {
  thread_local VisitedSet marks;
  const int64_t before = links_heap_bytes(slot);
  if (!slot.has_list(layer)) {
    for (uint32_t n : list) count_link(table_.at(n), layer);
  } else {
    thread_local SlotList scratch;
    const SlotList& entry = slot.list_at(layer, scratch);
    marks.clear();
    for (uint32_t n : list) marks.insert(n);
    for (uint32_t n : entry)
      if (!marks.contains(n)) count_unlink(table_.at(n), layer);
    marks.clear();
    for (uint32_t n : entry) marks.insert(n);
    for (uint32_t n : list)
      if (!marks.contains(n)) count_link(table_.at(n), layer);
  }
  slot.set_list(layer, list);
  account(links_heap_bytes(slot) - before);
}

void HnswIndex::store_list_slots(uint32_t s, uint64_t layer, const SlotList& list) {
  NodeSlot& slot = table_.at(s);
  ExclusiveSpinGuard g(slot.links_lock);
  write_list_locked(slot, layer, list);
}

void HnswIndex::store_layer_list(NodeId id, uint64_t layer, std::span<const NodeId> list) {
  SlotList slots;
  for (NodeId n : list) slots.push_back(table_.intern(n));
  store_list_slots(table_.intern(id), layer, slots);
}

void HnswIndex::add_reverse_links(NodeId id, std::span<const NodeId> list, uint64_t layer,
                                  uint64_t limit) {
  SlotList slots;
  for (NodeId n : list) slots.push_back(table_.intern(n));
  link_reverse(table_.intern(id), slots, layer, limit);
}

void HnswIndex::link_reverse(uint32_t x, const SlotList& list, uint64_t layer, uint64_t limit) {
  // The next nodes' list locks are fetched while this one is linked.
  constexpr uint32_t kAhead = 2;
  for (uint32_t i = 0; i < list.size() && i < kAhead; ++i)
    __builtin_prefetch(&table_.at(list[i]).links_lock, 1);
  for (uint32_t i = 0; i < list.size(); ++i) {
    const uint32_t y = list[i];
    if (i + kAhead < list.size()) __builtin_prefetch(&table_.at(list[i + kAhead]).links_lock, 1);
    bool over = false;
    {
      NodeSlot& slot = table_.at(y);
      ExclusiveSpinGuard g(slot.links_lock);
      if (!slot.has_list(layer)) continue;
      if (layer == 0 && slot.list0_in_view) {
        thread_local SlotList grown;
        slot.list_at(0, grown);
        if (grown.contains(x)) continue;
        grown.push_back(x);
        const int64_t before = links_heap_bytes(slot);
        slot.set_list(0, grown);
        account(links_heap_bytes(slot) - before);
        over = grown.size() > limit;
      } else {
        SlotList& l = *slot.links[layer];
        if (l.contains(x)) continue;
        const uint32_t cap = l.capacity();
        l.push_back(x);
        account((int64_t{l.capacity()} - cap) * static_cast<int64_t>(sizeof(uint32_t)));
        over = l.size() > limit;
      }
      count_link(table_.at(x), layer);
    }
    if (over) prune(y, layer, limit);
  }
}

void HnswIndex::prune(uint32_t y, uint64_t layer, uint64_t limit) {
  const DistanceMetric metric = config_.metric;
  // A link appended by another thread between the copy and the store would
  // be lost; the store therefore re-checks the list and prunes again.
  constexpr int kAttempts = 8;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    thread_local SlotList copy;
    {
      NodeSlot& slot = table_.at(y);
      SharedSpinGuard g(slot.links_lock);
      if (!slot.has_list(layer)) return;
      const SlotList& held = slot.list_at(layer, copy);
      if (&held != &copy) copy = held;
    }
    if (copy.size() <= limit) return;
    SlotList chosen;
    {
      ReadLockSet locks(table_);
      const SearchViews& views = table_.views();
      const size_t view_dim = views.dim();
      // y's values: from its view when current, else from its record.
      std::optional<F32View> vy;
      float iy = 0.0f;
      {
        const float* values;
        float sq;
        if (view_dim != 0 && views.current_values(y, values, iy, sq)) {
          vy = F32View(values, view_dim);
        } else {
          const HnswNode* ry = locks.lock(y);
          if (!ry) return;
          vy = ry->vector.as_f32_slice();
          iy = ry->inv_norm;
        }
      }
      if (!vy) return;  // the list stays longer than its limit
      thread_local std::vector<Member> members;
      members.clear();
      if (view_dim != 0) {
        // The members' views lie far apart: start them all on their way.
        const size_t bytes = views.values_offset() + view_dim * sizeof(float);
        for (uint32_t z : copy) {
          const char* p = reinterpret_cast<const char*>(views.header(z));
          if (!p) continue;
          for (size_t off = 0; off < bytes; off += 64) __builtin_prefetch(p + off);
        }
      }
      for (uint32_t z : copy) {
        if (z == y) continue;
        std::optional<F32View> vz;
        float iz = 0.0f, sqz = 0.0f;
        const HnswNode* rz = nullptr;
        {
          const float* values;
          if (view_dim != 0 && views.current_values(z, values, iz, sqz)) {
            vz = F32View(values, view_dim);
          } else {
            rz = locks.lock(z);
            if (!rz) continue;
            vz = rz->vector.as_f32_slice();
            iz = rz->inv_norm;
            sqz = rz->sq_norm;
          }
        }
        std::optional<float> score;
        if (vz && vz->size() == vy->size() && !vy->empty()) {
          switch (metric) {
            case DistanceMetric::kCosine:
              if (iy > kNormEpsilon && iz > kNormEpsilon) {
                score = kern::dot(*vy, *vz) * iz * iy;
              } else {
                if (!rz) rz = locks.lock(z);
                if (!rz) break;
                alternate::QueryForms f;
                if (iy > kNormEpsilon) f.norm = 1.0f / iy;
                score = alternate::try_score_vector(*vy, f, rz->vector, metric);
              }
              break;
            case DistanceMetric::kEuclidean:
              if (iy > kNormEpsilon && sqz > kNormEpsilon) {
                const float ny = 1.0f / iy;
                score = -std::max(0.0f, sqz + ny * ny - 2.0f * kern::dot(*vy, *vz));
              } else {
                score = -kern::l2_squared(*vy, *vz);
              }
              break;
            case DistanceMetric::kSparseDot:
              score = 0.0f;
              break;
          }
        }
        if (!score || !vz) continue;  // incomparable neighbours are dropped
        members.push_back({z, *score, *vz, iz, rank_key(*score)});
      }
      // The candidate order (better_cand) by precomputed keys.
      std::sort(members.begin(), members.end(), [this](const Member& a, const Member& b) {
        if (a.rank != b.rank) return a.rank > b.rank;
        return table_.id_of(a.slot) < table_.id_of(b.slot);
      });
      Selection how;
      how.slack = layer == 0 ? 1.0f : kUpperLayerSlack;
      how.table = &table_;
      how.layer = layer;
      chosen = select_diverse(members, limit, metric, how);
    }
    NodeSlot& slot = table_.at(y);
    ExclusiveSpinGuard g(slot.links_lock);
    if (!slot.has_list(layer)) return;
    thread_local SlotList scratch;
    const SlotList& current = slot.list_at(layer, scratch);
    if (!(current == copy) && attempt + 1 < kAttempts) continue;
    // An id leaves the list only while another list still holds it: the
    // count is checked and lowered in one step, so that two prunings racing
    // cannot both drop the last links to a node (on layer 0, its last
    // layer-0 link).
    thread_local VisitedSet marks;
    marks.clear();
    for (uint32_t n : chosen) marks.insert(n);
    SlotList final_list = chosen;
    for (uint32_t n : current) {
      if (marks.contains(n)) continue;
      if (!try_unlink_keeping_last(table_.at(n), layer)) final_list.push_back(n);
    }
    // Drops were counted above; ids new to the list are counted here.
    marks.clear();
    for (uint32_t n : current) marks.insert(n);
    for (uint32_t n : final_list)
      if (!marks.contains(n)) count_link(table_.at(n), layer);
    const int64_t before = links_heap_bytes(slot);
    slot.set_list(layer, final_list);
    account(links_heap_bytes(slot) - before);
    return;
  }
}

SlotList HnswIndex::select_neighbors(F32View base, std::span<const Cand> sorted, uint64_t limit,
                                     bool extend_by_reverse_count, uint64_t layer) const {
  ReadLockSet locks(table_);
  const SearchViews& views = table_.views();
  const size_t view_dim = views.dim();
  thread_local std::vector<Member> members;
  members.clear();
  thread_local std::vector<std::vector<float>> decoded;
  decoded.clear();
  decoded.reserve(sorted.size());
  for (const Cand& c : sorted) {
    const float* values;
    float inv_norm, sq_norm;
    if (view_dim == base.size() && views.current_values(c.slot, values, inv_norm, sq_norm)) {
      members.push_back({c.slot, c.score, F32View(values, view_dim), inv_norm});
      continue;
    }
    const HnswNode* r = locks.lock(c.slot);
    if (!r) continue;
    if (auto v = r->vector.as_f32_slice()) {
      if (v->size() != base.size()) continue;
      members.push_back({c.slot, c.score, *v, r->inv_norm});
    } else if (auto owned = r->vector.to_f32_vec()) {
      if (owned->size() != base.size()) continue;
      decoded.push_back(std::move(*owned));
      const F32View view(decoded.back());
      members.push_back({c.slot, c.score, view, cached_norms(view).inv_norm});
    }
  }
  Selection how;
  how.slack = layer == 0 ? 1.0f : kUpperLayerSlack;
  if (extend_by_reverse_count) {
    how.table = &table_;
    how.layer = layer;
  }
  return select_diverse(members, limit, config_.metric, how);
}

void HnswIndex::raise_top(uint32_t s, uint64_t level) {
  if (max_level_.load(std::memory_order_acquire) >= level) return;
  std::scoped_lock lock(top_mu_);
  if (max_level_.load(std::memory_order_acquire) >= level) return;
  max_level_.store(level, std::memory_order_release);
  entry_slot_.store(s, std::memory_order_release);
}

ZolvaResult<void> HnswIndex::insert(NodeId id, const FilterBitset& filter, VectorRepr vector,
                                    uint64_t storage_offset, std::optional<uint64_t> given) {
  ZV_TRY(check_filter_size(filter));
  if (update_in_place(id, filter, vector, storage_offset)) return {};
  const uint64_t level = given ? *given : level_gen_.draw_level(config_.ml);
  const DistanceMetric metric = config_.metric;
  const CachedNorms norms = node_norms(metric, vector);
  std::optional<std::vector<float>> q = vector.to_f32_vec();
  const uint32_t s = table_.intern(id);
  if (!q) {
    if (!vector.is_none()) store_unlinked(s, filter, std::move(vector), storage_offset);
    return {};
  }
  const LayerQuery qp = LayerQuery::for_metric(F32View(*q), metric);
  if (metric == DistanceMetric::kCosine && (q->empty() || qp.norm < kNormEpsilon)) {
    return make_unexpected(
        ZolvaError::invalid_input(fill(kZeroNormNodeMessage, {node_id_to_string(id)})));
  }

  reset_links(s, level);
  HnswNode rec;
  rec.vector = std::move(vector);
  rec.inv_norm = norms.inv_norm;
  rec.sq_norm = norms.sq_norm;
  rec.storage_offset = storage_offset;
  rec.filter = filter;
  rec.id = id;

  uint32_t ep = entry_slot_.load(std::memory_order_acquire);
  if (ep == kNoSlot) {
    std::scoped_lock lock(top_mu_);
    ep = entry_slot_.load(std::memory_order_acquire);
    if (ep == kNoSlot) {
      // The first node: stored before it becomes the entry point, so that
      // no search or insertion meets an entry point without a record.
      store_record(s, std::move(rec));
      max_level_.store(std::max(level, max_level_.load(std::memory_order_acquire)),
                       std::memory_order_release);
      entry_slot_.store(s, std::memory_order_release);
      return {};
    }
  }
  store_record(s, std::move(rec));

  const uint64_t top = max_level_.load(std::memory_order_acquire);
  thread_local VisitedSet visited;
  thread_local std::vector<uint32_t> entry;
  entry.assign(1, ep);
  const FilterBitset& all = FilterBitset::unfiltered();
  for (uint64_t layer = top; layer > level; --layer) {
    visited.clear();
    std::vector<Cand> res =
        search_layer_slots(qp, entry, 1, layer, all, false, nullptr, metric, visited);
    auto best = std::min_element(res.begin(), res.end(),
                                 [this](const Cand& a, const Cand& b) { return better_cand(a, b); });
    if (best != res.end()) entry.assign(1, best->slot);
  }
  for (uint64_t layer = std::min(top, level) + 1; layer-- > 0;) {
    visited.clear();
    if (layer == 0) {
      for (const auto& r : recent_) {
        const uint32_t rs = r.load(std::memory_order_acquire);
        if (rs != kNoSlot && rs != s && std::find(entry.begin(), entry.end(), rs) == entry.end())
          entry.push_back(rs);
      }
    }
    std::vector<Cand> w = search_layer_slots(qp, entry, config_.ef_construction, layer, all,
                                             false, nullptr, metric, visited);
    std::erase_if(w, [s](const Cand& c) { return c.slot == s; });
    entry.clear();
    for (const Cand& c : w) entry.push_back(c.slot);
    const uint64_t limit = layer == 0 ? config_.m_max0 : config_.m;
    SlotList chosen;
    if (limit > 0 && !w.empty()) {
      std::sort(w.begin(), w.end(),
                [this](const Cand& a, const Cand& b) { return better_cand(a, b); });
      chosen = select_neighbors(F32View(*q), w, limit, false, layer);
    }
    link_reverse(s, chosen, layer, limit);
    {
      // Nodes inserted meanwhile may already have linked back to this one;
      // their links stay behind the chosen neighbours.
      NodeSlot& slot = table_.at(s);
      ExclusiveSpinGuard g(slot.links_lock);
      if (slot.has_list(layer)) {
        thread_local SlotList scratch;
        for (uint32_t n : slot.list_at(layer, scratch))
          if (!chosen.contains(n)) chosen.push_back(n);
      }
      write_list_locked(slot, layer, chosen);
    }
  }
  raise_top(s, level);
  recent_[recent_next_.fetch_add(1, std::memory_order_relaxed) % kRecent].store(
      s, std::memory_order_release);
  return {};
}

}  // namespace zv
