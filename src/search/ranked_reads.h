// Reading the records of scored candidates, shared by the candidate stages:
// in a known order, in growing batches, until enough hits survive; or all at
// once in id order followed by the hit-order sort. A hit is a live,
// unexpired record of the namespace that passes the equality filters.
// Functions over the engine; thread-safe as the engine is.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/field_value.h"
#include "src/search/search_hit.h"
#include "src/storage/storage_engine.h"

namespace zv::search {

// One scored candidate before its record is read: its id, its score and the
// record key its index entry names.
struct RankedCandidate {
  NodeId id = 0;
  float score = 0.0f;
  std::string_view key;
};

// The hit a read node makes, or none when the record is dropped.
std::optional<SearchHit> hit_of(const EngineNode& node, std::string_view ns,
                                const FieldMap& filters, float score);

// Sorts by score descending, key ascending, id ascending: the hit order the
// records will have, when no score is NaN and every key is its record's.
void rank_candidates(std::vector<RankedCandidate>& order);
// The same order for the first `prefix` candidates only: they become the
// `prefix` best, in order; the rest are left in no particular order.
void rank_prefix(std::vector<RankedCandidate>& order, size_t prefix);

// Reads the candidates' nodes in the given order, first `first_batch` ids,
// then twice as many each round, and keeps hits until `limit` are held. With
// `check_keys`, none when a read record's key differs from its candidate's
// (the order was then not the hit order; the caller reads everything).
ZolvaResult<std::optional<std::vector<SearchHit>>> read_in_order(
    StorageEngine& engine, std::string_view ns, const FieldMap& filters, uint64_t limit,
    std::span<const RankedCandidate> order, uint64_t first_batch, bool check_keys);

// The hit order's best `limit` hits read from unranked candidates (no score
// NaN): the best few are ranked and read first (a page rarely needs more),
// and all of them only when those did not fill the page. None as for
// read_in_order with keys checked.
ZolvaResult<std::optional<std::vector<SearchHit>>> rank_and_read(
    StorageEngine& engine, std::string_view ns, const FieldMap& filters, uint64_t limit,
    std::vector<RankedCandidate>& order);

// Every candidate read at once in ascending id order (`scored` is sorted by
// id), hits sorted by the hit order, cut to `limit`.
ZolvaResult<std::vector<SearchHit>> read_all_then_rank(
    StorageEngine& engine, std::string_view ns, const FieldMap& filters, uint64_t limit,
    std::span<const std::pair<NodeId, float>> scored);

// Notes the hits' records as fetched together (two or more), in hit order.
void record_hits_access(StorageEngine& engine, const std::vector<SearchHit>& hits);

}  // namespace zv::search
