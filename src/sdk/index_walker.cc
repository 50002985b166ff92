#include "src/sdk/index_walker.h"

#include <algorithm>

#include "src/record/node_key.h"
#include "src/runtime/operational_counters.h"
#include "src/text/derived_index.h"

namespace zv {

namespace {

bool is_scalar(const FieldValue& v) {
  switch (v.kind()) {
    case FieldKind::kString:
    case FieldKind::kInt:
    case FieldKind::kFloat:
    case FieldKind::kBool:
    case FieldKind::kDateTime:
    case FieldKind::kNull:
      return true;
    default:
      return false;
  }
}

CandidateSource source_for(std::string_view ns, const std::string& field, const FieldValue& value) {
  if (!is_scalar(value) || !text::payload_lookup_usable(ns, field, value)) return {};
  return CandidateSource{CandidateSource::Payload{field, value}};
}

ZolvaResult<std::string> source_prefix(std::string_view ns, const CandidateSource& source) {
  if (source.payload) return text::scalar_index_key(ns, source.payload->field, source.payload->value);
  std::string prefix(ns);
  prefix.push_back('\0');
  return prefix;
}

Partition source_partition(const CandidateSource& source) {
  return source.payload ? Partition::kPayloadIndex : Partition::kNamespaceIndex;
}

}  // namespace

CandidateSource choose_candidate_source(std::string_view ns, const MemoryListOptions& options) {
  if (options.filter_ops) {
    const auto& items = *options.filter_ops;
    auto eq = std::find_if(items.begin(), items.end(),
                           [](const MemoryFilterItem& i) { return i.op == FilterOp::kEq; });
    if (eq == items.end()) return {};
    return source_for(ns, eq->field, eq->value);
  }
  if (options.filters.empty()) return {};
  const auto& [field, value] = *options.filters.begin();
  return source_for(ns, field, value);
}

ZolvaResult<text::DerivedLookup> lookup_candidates(StorageBackend& backend, std::string_view ns,
                                                   const CandidateSource& source, uint64_t skip,
                                                   uint64_t limit) {
  CounterCell* scans = &OperationalCounters::global().derived_prefix_scans;
  if (source.payload) {
    return text::payload_index_ids(backend, ns, source.payload->field, source.payload->value, skip,
                                   limit, scans);
  }
  return text::namespace_index_ids(backend, ns, skip, limit, scans);
}

ZolvaResult<IndexIdWalker> IndexIdWalker::open(StorageBackend& backend, std::string_view ns,
                                               const CandidateSource& source,
                                               uint64_t group_size) {
  ZV_ASSIGN_OR_RETURN(std::string prefix, source_prefix(ns, source));
  // The iteration first, then the state, as the page lookups read them.
  ZV_ASSIGN_OR_RETURN(std::unique_ptr<PrefixIter> it,
                      backend.prefix_iter(source_partition(source), prefix));
  ZV_ASSIGN_OR_RETURN(std::optional<text::DerivedIndexState> state,
                      text::DerivedIndexState::read(backend));
  return IndexIdWalker(std::move(it), state.has_value(), std::max<uint64_t>(group_size, 1));
}

ZolvaResult<std::vector<NodeId>> IndexIdWalker::next_group() {
  OperationalCounters::global().derived_prefix_scans.add(1);
  std::vector<NodeId> ids;
  if (!it_) return ids;
  ids.reserve(static_cast<size_t>(std::min<uint64_t>(group_size_, 4096)));
  while (ids.size() < group_size_) {
    std::optional<ZolvaResult<KvPair>> item = it_->next();
    if (!item) {
      it_.reset();
      break;
    }
    if (!item->ok()) {
      it_.reset();
      return make_unexpected(std::move(*item).error());
    }
    if (std::optional<NodeId> id = node_id_from_key((*item)->value)) ids.push_back(*id);
  }
  return ids;
}

}  // namespace zv
