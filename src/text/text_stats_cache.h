// The two engine-wide caches of text statistics (term document frequency per
// namespace and token, doc count and total length per namespace), the
// statistics readers that go through them, and their upkeep after each batch
// the backend accepted. The caches start empty and are never persisted.
// Thread-safe; no cache lock is held during a backend call, and the two cache
// locks are never held together.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "src/backends/storage_backend.h"
#include "src/text/stats_cache.h"
#include "src/text/text_codecs.h"

namespace zv::text {

inline constexpr size_t kTermStatsCacheMax = 100000;
inline constexpr size_t kNamespaceStatsCacheMax = 1000;

struct TextStatsCaches {
  // Keyed by namespace, 0x00, token.
  StatsCache<uint64_t> term{kTermStatsCacheMax};
  StatsCache<TextNamespaceStats> ns{kNamespaceStatsCacheMax};

  void clear() {
    term.clear();
    ns.clear();
  }
};

// The cache key of (namespace, token).
std::string term_cache_key(std::string_view ns, std::string_view token);

// The document statistics of a record (no cache); none when absent. A value
// that does not decode is a Serialization error around the decode error.
ZolvaResult<std::optional<TextDocStats>> text_doc_stats(StorageBackend& backend,
                                                        std::string_view ns,
                                                        std::string_view record_key);
// The df of a token in a namespace, through the cache; an absent entry is
// none and is not cached.
ZolvaResult<std::optional<uint64_t>> text_term_stats(StorageBackend& backend,
                                                     TextStatsCaches& caches,
                                                     std::string_view ns,
                                                     std::string_view token);
// (doc_count, total_doc_len) of a namespace, through the cache.
ZolvaResult<std::optional<TextNamespaceStats>> text_namespace_stats(StorageBackend& backend,
                                                                    TextStatsCaches& caches,
                                                                    std::string_view ns);

// Brings the caches in line with a batch the backend has just accepted, in
// batch order: statistics deletes remove, statistics puts that decode
// replace; everything else (postings, document statistics, other partitions,
// values that do not decode) is skipped.
void refresh_stats_caches(TextStatsCaches& caches, std::span<const BatchOp> ops);

}  // namespace zv::text
