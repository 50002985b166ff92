// The whole text index derived from the stored records: the full rebuild,
// which replaces every entry of the text-index partition in one batch and
// writes a new state record, and the collection of the same entries in
// memory (optionally for one namespace) that the audits compare with what is
// stored. Expired records stay in the text index; tokens too long for an
// index key are left out as in every record change. The caller (the SDK
// handle) supplies the engine's node scan and holds the index gate
// exclusively around a rebuild. Thread-safe under that discipline.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "src/foundation/error.h"
#include "src/record/engine_node.h"
#include "src/text/record_change.h"

namespace zv::text {

struct TextRebuildStats {
  uint64_t record_count = 0;
  uint64_t posting_entries = 0;
  uint64_t doc_stats_entries = 0;
  uint64_t term_stats_entries = 0;
  uint64_t namespace_stats_entries = 0;
  uint64_t elapsed_ms = 0;
};

struct TextIndexExpectedEntries {
  uint64_t record_count = 0;
  uint64_t posting_entries = 0;
  uint64_t doc_stats_entries = 0;
  uint64_t term_stats_entries = 0;
  uint64_t namespace_stats_entries = 0;
  std::map<std::string, std::string> expected_entries;  // key bytes -> value bytes
  uint64_t records_scanned = 0;
  std::set<std::string> namespaces;
};

// Empties both statistics caches, deletes every stored entry of the
// partition, puts the entries of the nodes' records, writes the state, then
// empties the caches again (a reader may have refilled them from the old
// entries meanwhile). started_ns: the monotonic clock when the rebuild began.
ZolvaResult<TextRebuildStats> rebuild_text_index_from_nodes(const TextIndexTarget& target,
                                                            const std::vector<EngineNode>& nodes,
                                                            uint64_t started_ns);

// The entries the nodes imply; with a filter only those of that namespace
// (records_scanned still counts every node).
ZolvaResult<TextIndexExpectedEntries> collect_text_index_entries_from_nodes(
    const std::vector<EngineNode>& nodes, std::optional<std::string_view> ns_filter);

// Whether a stored value decodes as the kind its key names (a posting, or
// document, term or namespace statistics); false for any other statistics
// key. Never fails.
bool value_decodes_for_key(std::string_view key, std::string_view value);

// The kind of a text-index key by its bytes.
enum class TextKeyKind : uint8_t { kPosting, kDocStats, kTermStats, kNamespaceStats, kOtherStats };
TextKeyKind classify_text_key(std::string_view key);

}  // namespace zv::text
