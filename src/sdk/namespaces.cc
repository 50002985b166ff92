#include "src/sdk/namespaces.h"

#include <cmath>
#include <set>
#include <unordered_set>

#include "platform/log.h"
#include "platform/saturating.h"
#include "platform/utf8.h"
#include "src/record/filter_debug.h"
#include "src/record/validation.h"
#include "src/runtime/operational_counters.h"
#include "src/sdk/embedded_db.h"
#include "src/sdk/index_walker.h"

namespace zv {

namespace {

// A span's fields made only when some sink records spans: rendering a long
// filter list would cost more than a small count does.
template <class Make>
log::Fields span_fields(Make&& make) {
  return log::enabled(log::Level::kTrace) ? make() : log::Fields{};
}

constexpr std::string_view kLogTarget = "zolva::sdk";

ZolvaStatus validate_list_request(std::string_view ns, const MemoryListOptions& o) {
  ZV_TRY(validate_namespace(ns));
  ZV_TRY(validate_metadata_keys(&o.filters));
  if (o.valid_window && o.valid_window->from_ms >= o.valid_window->to_ms) {
    return make_unexpected(ZolvaError::invalid_input(
        "valid_window.from_ms (" + std::to_string(o.valid_window->from_ms) +
        ") must be < valid_window.to_ms (" + std::to_string(o.valid_window->to_ms) + ")"));
  }
  if (o.min_confidence) {
    const float m = *o.min_confidence;
    if (!std::isfinite(m) || m < 0.0f || m > 1.0f) {
      return make_unexpected(ZolvaError::invalid_input(
          "SEARCH_OPTIONS_INVALID: min_confidence must be finite and within [0, 1]"));
    }
  }
  return {};
}

// The record a node holds when it is live, unexpired, of the namespace byte
// for byte and matching the filters (filter_ops when present).
std::optional<MemoryRecord> matching_record(const EngineNode& node, std::string_view ns,
                                            const MemoryListOptions& o) {
  std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/true);
  if (!r || r->ns != ns) return std::nullopt;
  const bool match = o.filter_ops ? matches_filter_items(r->metadata, *o.filter_ops)
                                  : matches_equality_filters(r->metadata, o.filters);
  if (!match) return std::nullopt;
  return r;
}

std::vector<MemoryRecord> matching_records(const std::vector<EngineNode>& nodes,
                                           std::string_view ns, const MemoryListOptions& o) {
  std::vector<MemoryRecord> out;
  out.reserve(nodes.size());
  for (const EngineNode& node : nodes) {
    if (std::optional<MemoryRecord> r = matching_record(node, ns, o)) out.push_back(std::move(*r));
  }
  return out;
}

// Repeated ids are dropped on the first page only, keeping the first.
std::vector<NodeId> page_ids(std::vector<NodeId> ids, uint64_t offset) {
  if (offset != 0) return ids;
  std::unordered_set<NodeId, NodeIdHash> seen;
  std::erase_if(ids, [&](NodeId id) { return !seen.insert(id).second; });
  return ids;
}

// The lifecycle switches; each only removes records.
void apply_switches(const MemoryListOptions& o, std::vector<MemoryRecord>& records) {
  const uint64_t now = record_now_ms();
  std::erase_if(records, [&](const MemoryRecord& r) {
    if (o.exclude_superseded && (r.superseded_by || (r.invalid_at_ms && now >= *r.invalid_at_ms)))
      return true;
    if (o.as_of_ms && (r.valid_at_ms > *o.as_of_ms || (r.invalid_at_ms && *r.invalid_at_ms <= *o.as_of_ms)))
      return true;
    if (o.valid_window && (r.valid_at_ms >= o.valid_window->to_ms ||
                           (r.invalid_at_ms && *r.invalid_at_ms <= o.valid_window->from_ms)))
      return true;
    if (!o.include_quarantined && r.quarantined_at_ms) return true;
    if (o.min_confidence && !(r.confidence >= *o.min_confidence)) return true;
    return false;
  });
}

// The page of a fallback scan: the records at [offset, offset + limit) of
// the kept scan records.
std::vector<MemoryRecord> scan_page(const std::vector<EngineNode>& nodes, std::string_view ns,
                                    const MemoryListOptions& o, uint64_t offset, uint64_t limit) {
  std::vector<MemoryRecord> out;
  for (const EngineNode& node : nodes) {
    std::optional<MemoryRecord> r = matching_record(node, ns, o);
    if (!r) continue;
    if (offset > 0) {
      --offset;
      continue;
    }
    out.push_back(std::move(*r));
    if (out.size() >= limit) break;
  }
  return out;
}

ZolvaResult<ZolvaListResult> list_page(StorageEngine& engine, std::string_view ns,
                                       const MemoryListOptions& o) {
  ZolvaListResult page;
  if (o.limit == 0) return page;
  const uint64_t offset = o.cursor.value_or(0);
  const CandidateSource source = choose_candidate_source(ns, o);
  ZV_ASSIGN_OR_RETURN(text::DerivedLookup lookup,
                      lookup_candidates(*engine.backend, ns, source, offset, o.limit));
  const bool full_lookup = lookup.ids.size() >= o.limit;
  {
    const std::vector<NodeId> ids = page_ids(std::move(lookup.ids), offset);
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.get_many(ids));
    page.records = matching_records(nodes, ns, o);
  }
  // A page continues whenever its lookup was full, however many of its
  // candidates the later steps removed: stopping at the first short page
  // would end a listing at any expired or non-matching candidate.
  bool more = full_lookup;
  if (page.records.empty() && !lookup.state_exists) {
    OperationalCounters::global().derived_full_scan_fallbacks.add(1);
    ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.scan_all_nodes());
    page.records = scan_page(nodes, ns, o, offset, o.limit);
    more = page.records.size() >= o.limit;
  }
  apply_switches(o, page.records);
  if (more) page.next_cursor = sat_add_u64(offset, o.limit);
  return page;
}

template <typename F>
auto traced(std::string_view op, F&& body) -> decltype(body()) {
  auto result = body();
  if (!result.ok()) {
    ZV_ERROR(kLogTarget, std::string(op) + " failed", {"error", result.error().message()});
  }
  return result;
}

}  // namespace

ZolvaStatus for_each_list_page(StorageEngine& engine, std::string_view ns,
                               const MemoryListOptions& options,
                               const std::function<ZolvaStatus(std::vector<MemoryRecord>&)>& visit) {
  const uint64_t limit = options.limit;
  if (limit == 0) return {};
  ZV_ASSIGN_OR_RETURN(IndexIdWalker walker,
                      IndexIdWalker::open(*engine.backend, ns,
                                          choose_candidate_source(ns, options), limit));
  // The fallback scan's kept records, read once for every page that needs
  // them.
  std::optional<std::vector<MemoryRecord>> scanned;
  uint64_t offset = 0;
  for (;;) {
    ZV_ASSIGN_OR_RETURN(std::vector<NodeId> group, walker.next_group());
    bool more = group.size() >= limit;
    std::vector<MemoryRecord> records;
    {
      const std::vector<NodeId> ids = page_ids(std::move(group), offset);
      ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.get_many(ids));
      records = matching_records(nodes, ns, options);
    }
    if (records.empty() && !walker.state_exists()) {
      if (!scanned) {
        OperationalCounters::global().derived_full_scan_fallbacks.add(1);
        ZV_ASSIGN_OR_RETURN(std::vector<EngineNode> nodes, engine.scan_all_nodes());
        scanned = matching_records(nodes, ns, options);
      }
      const uint64_t begin = std::min<uint64_t>(offset, scanned->size());
      const uint64_t end = std::min<uint64_t>(sat_add_u64(begin, limit), scanned->size());
      records.assign(std::make_move_iterator(scanned->begin() + static_cast<ptrdiff_t>(begin)),
                     std::make_move_iterator(scanned->begin() + static_cast<ptrdiff_t>(end)));
      more = end - begin >= limit;
    }
    apply_switches(options, records);
    ZV_TRY(visit(records));
    if (!more) return {};
    offset = sat_add_u64(offset, limit);
  }
}

ZolvaResult<ZolvaListResult> EmbeddedDb::list(std::string_view ns,
                                              const MemoryListOptions& options) const {
  log::Span span("list", span_fields([&] {
                   return log::Fields{{"namespace", std::string(ns)},
                                      {"limit", std::to_string(options.limit)},
                                      {"cursor", options.cursor ? std::to_string(*options.cursor) : "none"},
                                      {"filter_ops", filter_items_debug(options.filter_ops)}};
                 }));
  return traced("list", [&]() -> ZolvaResult<ZolvaListResult> {
    ZV_TRY(validate_list_request(ns, options));
    ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
    return list_page(*engine, ns, options);
  });
}

ZolvaResult<uint64_t> EmbeddedDb::count(
    std::string_view ns, const std::optional<std::vector<MemoryFilterItem>>& items) const {
  log::Span span("count", span_fields([&] {
                   return log::Fields{{"namespace", std::string(ns)}, {"filters", filter_items_debug(items)}};
                 }));
  return traced("count", [&]() -> ZolvaResult<uint64_t> {
    ZV_TRY(validate_namespace(ns));
    ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
    MemoryListOptions o;
    o.limit = 1000;
    o.filter_ops = items;
    o.include_quarantined = true;
    uint64_t sum = 0;
    ZV_TRY(for_each_list_page(*engine, ns, o, [&](std::vector<MemoryRecord>& page) -> ZolvaStatus {
      sum += page.size();
      return {};
    }));
    return sum;
  });
}

ZolvaResult<std::vector<std::string>> EmbeddedDb::list_namespaces() const {
  log::Span span("list_namespaces");
  return traced("list_namespaces", [&]() -> ZolvaResult<std::vector<std::string>> {
    ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
    ZV_ASSIGN_OR_RETURN(std::vector<KvPair> entries,
                        engine->backend->scan_all(Partition::kNamespaceIndex));
    std::set<std::string> names;
    if (!entries.empty()) {
      for (const KvPair& kv : entries) {
        const size_t nul = kv.key.find('\0');
        if (nul == std::string::npos) continue;
        std::string_view prefix = std::string_view(kv.key).substr(0, nul);
        if (!is_valid_utf8(prefix)) continue;
        names.emplace(prefix);
      }
    } else {
      // Without index entries the stored records speak: expired ones (not
      // yet purged) name no namespace here.
      ZV_ASSIGN_OR_RETURN(auto scanned, engine->scan_nodes_page("", -1));
      for (const EngineNode& node : scanned.first) {
        if (std::optional<MemoryRecord> r = MemoryRecord::from_node(node, /*exclude_expired=*/true))
          names.insert(std::move(r->ns));
      }
    }
    return std::vector<std::string>(names.begin(), names.end());
  });
}

ZolvaResult<uint64_t> EmbeddedDb::delete_by_filter(std::string_view ns,
                                                   const std::vector<MemoryFilterItem>& items) const {
  log::Span span("delete_by_filter", span_fields([&] {
                   return log::Fields{{"namespace", std::string(ns)}, {"filters", filter_items_debug(items)}};
                 }));
  return traced("delete_by_filter", [&]() -> ZolvaResult<uint64_t> {
    ZV_TRY(ensure_writable());
    ZV_TRY(validate_namespace(ns));
    if (items.empty()) {
      return make_unexpected(ZolvaError::invalid_input(
          "delete_by_filter requires at least one filter item to prevent accidental "
          "full-namespace deletion. Use delete() to remove individual records."));
    }
    // Every matching key is gathered before the first deletion, so the
    // deletions never shift the walk over the index.
    std::vector<std::string> keys;
    {
      ZV_ASSIGN_OR_RETURN(std::shared_ptr<StorageEngine> engine, this->engine());
      MemoryListOptions o;
      o.limit = 500;
      o.filter_ops = items;
      o.include_quarantined = true;
      ZV_TRY(for_each_list_page(*engine, ns, o, [&](std::vector<MemoryRecord>& page) -> ZolvaStatus {
        for (MemoryRecord& r : page) keys.push_back(std::move(r.key));
        return {};
      }));
    }
    uint64_t deleted = 0;
    for (const std::string& key : keys) {
      ZV_ASSIGN_OR_RETURN(bool found, del(ns, key));
      if (!found) continue;  // deleted meanwhile
      ++deleted;
      if (deleted % 1000 == 0) {
        ZV_LOG(log::Level::kInfo, kLogTarget, "delete_by_filter: progress checkpoint",
               {"namespace", std::string(ns)}, {"deleted", std::to_string(deleted)});
      }
    }
    record_audit(AuditRecord::create("delete_by_filter", ns, "N/A", "ok",
                                     std::to_string(deleted) + " records"));
    return deleted;
  });
}

}  // namespace zv
