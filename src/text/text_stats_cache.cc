#include "src/text/text_stats_cache.h"

#include "src/text/index_codec_error.h"
#include "src/text/text_keys.h"

namespace zv::text {

namespace {

// A backend read decoded by `decode`; a decoding error is wrapped once more.
template <class T, class Decode>
ZolvaResult<std::optional<T>> read_decoded(StorageBackend& backend, std::string_view key,
                                           Decode decode) {
  ZV_ASSIGN_OR_RETURN(std::optional<std::string> bytes, backend.get(Partition::kTextIndex, key));
  if (!bytes) return std::optional<T>();
  ZolvaResult<T> value = decode(*bytes);
  if (!value.ok()) return make_unexpected(wrap_serialization(std::move(value).error()));
  return std::optional<T>(std::move(value).value());
}

}  // namespace

std::string term_cache_key(std::string_view ns, std::string_view token) {
  std::string key;
  key.reserve(ns.size() + 1 + token.size());
  key.append(ns);
  key.push_back('\0');
  key.append(token);
  return key;
}

ZolvaResult<std::optional<TextDocStats>> text_doc_stats(StorageBackend& backend,
                                                        std::string_view ns,
                                                        std::string_view record_key) {
  return read_decoded<TextDocStats>(backend, doc_stats_key(ns, record_key), decode_doc_stats);
}

ZolvaResult<std::optional<uint64_t>> text_term_stats(StorageBackend& backend,
                                                     TextStatsCaches& caches,
                                                     std::string_view ns,
                                                     std::string_view token) {
  const std::string cache_key = term_cache_key(ns, token);
  auto seen = caches.term.lookup(cache_key);
  if (seen.value) return std::optional<uint64_t>(*seen.value);
  ZV_ASSIGN_OR_RETURN(std::optional<TextTermStats> stats,
                      read_decoded<TextTermStats>(backend, term_stats_key(ns, token),
                                                  decode_term_stats));
  if (!stats) return std::optional<uint64_t>();
  caches.term.insert_if_unchanged(cache_key, stats->df, seen.generation);
  return std::optional<uint64_t>(stats->df);
}

ZolvaResult<std::optional<TextNamespaceStats>> text_namespace_stats(StorageBackend& backend,
                                                                    TextStatsCaches& caches,
                                                                    std::string_view ns) {
  auto seen = caches.ns.lookup(ns);
  if (seen.value) return std::optional<TextNamespaceStats>(*seen.value);
  ZV_ASSIGN_OR_RETURN(std::optional<TextNamespaceStats> stats,
                      read_decoded<TextNamespaceStats>(backend, namespace_stats_key(ns),
                                                       decode_namespace_stats));
  if (!stats) return stats;
  caches.ns.insert_if_unchanged(ns, *stats, seen.generation);
  return stats;
}

void refresh_stats_caches(TextStatsCaches& caches, std::span<const BatchOp> ops) {
  for (const BatchOp& op : ops) {
    if (op.partition != Partition::kTextIndex) continue;
    const std::string_view key = op.key;
    // Statistics keys only; the prefix test keeps the parsers (and their
    // warnings) away from postings and document statistics.
    if (key.size() > kTermStatsPrefix.size() && key.starts_with(kTermStatsPrefix)) {
      auto parsed = parse_term_stats_key(key);
      if (!parsed) continue;
      const std::string cache_key = term_cache_key(parsed->first, parsed->second);
      if (op.kind == BatchOp::Kind::kDelete) {
        caches.term.erase(cache_key);
      } else if (auto v = decode_term_stats(op.value); v.ok()) {
        caches.term.upsert(cache_key, v->df);
      }
    } else if (key.size() > kNamespaceStatsPrefix.size() - 1 &&
               key.starts_with(kNamespaceStatsPrefix)) {
      auto ns = parse_namespace_stats_key(key);
      if (!ns) continue;
      if (op.kind == BatchOp::Kind::kDelete) {
        caches.ns.erase(*ns);
      } else if (auto v = decode_namespace_stats(op.value); v.ok()) {
        caches.ns.upsert(*ns, *v);
      }
    }
  }
}

}  // namespace zv::text
