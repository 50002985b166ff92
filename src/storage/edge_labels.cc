#include "src/storage/edge_labels.h"

#include <algorithm>
#include <optional>

#include "platform/utf8.h"
#include "src/backends/backend_kv_service.h"
#include "src/storage/storage_engine.h"

namespace zv {
namespace {

ZolvaError bad_entry(BinaryFormatErrorKind kind = BinaryFormatErrorKind::kBadEncoding) {
  return ZolvaError::serialization(kind);
}

// The id of a key: digits only, no leading zero (so each id has one key),
// within 32 bits.
std::optional<uint32_t> parse_id(std::string_view key) {
  if (key.substr(0, kEdgeLabelPrefix.size()) != kEdgeLabelPrefix) return std::nullopt;
  std::string_view digits = key.substr(kEdgeLabelPrefix.size());
  if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0'))
    return std::nullopt;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(v);
}

}  // namespace

std::string edge_label_key(uint32_t id) {
  return std::string(kEdgeLabelPrefix) + std::to_string(id);
}

ZolvaResult<EdgeLabelTable> edge_labels_from_entries(const std::vector<KvPair>& entries) {
  std::vector<std::pair<uint32_t, const std::string*>> ids;
  ids.reserve(entries.size());
  for (const KvPair& kv : entries) {
    auto id = parse_id(kv.key);
    if (!id) return make_unexpected(bad_entry());
    if (!is_valid_utf8(kv.value)) return make_unexpected(bad_entry(BinaryFormatErrorKind::kBadUtf8));
    ids.emplace_back(*id, &kv.value);
  }
  std::sort(ids.begin(), ids.end());
  EdgeLabelTable table;
  for (size_t i = 0; i < ids.size(); ++i) {
    // A gap or a repeated id, or one label under two ids, would make
    // stored edges name the wrong label.
    if (ids[i].first != i || table.find(*ids[i].second)) return make_unexpected(bad_entry());
    table.intern(*ids[i].second);
  }
  return table;
}

ZolvaResult<EdgeLabelTable> load_edge_labels(StorageBackend& backend) {
  ZV_ASSIGN_OR_RETURN(auto entries, backend.scan_prefix(Partition::kInternalMetadata, kEdgeLabelPrefix));
  return edge_labels_from_entries(entries);
}

ZolvaResult<uint32_t> StorageEngine::intern_label(std::string_view label) {
  std::lock_guard<std::mutex> g(labels.mu);
  if (auto id = labels.value.find(label)) return *id;
  if (read_only()) return make_unexpected(read_only_error());
  const uint32_t id = static_cast<uint32_t>(labels.value.size());
  // Edges carrying the id reach the log, which is replayed over whatever the
  // backend kept; the label must already be durable by then.
  ZV_TRY(backend->put(Partition::kInternalMetadata, edge_label_key(id), label));
  ZV_TRY(backend->flush());
  return labels.value.intern(label);
}

}  // namespace zv
