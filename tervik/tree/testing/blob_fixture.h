// Shorthands of the blob-tree tests: opening a blob tree with chosen
// separation options, ingesting sorted pairs, reading values back resolved
// (point reads and scans) and the blob files of a folder. Test-only.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/fs.h"
#include "platform/panic.h"
#include "tervik/blob/resolve_indirection.h"
#include "tervik/core/blob_indirection.h"
#include "tervik/tree/blob_ingestion.h"
#include "tervik/tree/testing/compaction_fixture.h"
#include "tervik/tree/testing/tree_fixture.h"
#include "tervik/tree/tree_handle.h"

namespace tervik::testing {

inline KvSeparationOptions blob_options(uint32_t threshold, uint64_t file_target_size = 64ull << 20,
                                        CompressionType compression = CompressionType::kNone) {
  KvSeparationOptions o;
  o.separation_threshold = threshold;
  o.file_target_size = file_target_size;
  o.compression = compression;
  o.staleness_threshold = 0.25f;
  o.age_cutoff = 1.0f;
  return o;
}

inline BlobTree open_blob_tree(const TreeDir& dir, const KvSeparationOptions& options,
                               VersionFs& fs = VersionFs::os()) {
  TreeConfig c = dir.config();
  c.kv_separation_opts = options;
  auto h = open_tree(std::move(c), fs);
  if (!h.ok()) zv::panic("open blob tree: " + h.error().to_string());
  return std::get<BlobTree>(h->tree);
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// One blob ingestion of `pairs` (ascending keys).
inline TervikStatus blob_ingest(const BlobTree& t, const Pairs& pairs) {
  ZV_ASSIGN_OR_RETURN(BlobIngestion ing, BlobIngestion::create(t));
  for (const auto& [k, v] : pairs) ZV_TRY(ing.write(k, v));
  return std::move(ing).finish();
}

// The value of `key` at `snapshot`, resolved; "<none>" or "<error: ...>".
inline std::string read_resolved(const BlobTree& t, std::string_view key, SeqNo snapshot) {
  const SuperVersion sv = t.get_version_for_snapshot(snapshot);
  auto item = Tree::get_from_version(sv, key, snapshot);
  if (!item.ok()) return "<error: " + item.error().to_string() + ">";
  if (!item->has_value()) return "<none>";
  auto kv = vlog::resolve_indirection(t.index().id(), sv.version.blob_files(), sv.version.id(),
                                      *t.index().config().cache, **item);
  if (!kv.ok()) return "<error: " + kv.error().to_string() + ">";
  return std::string(kv->second.view());
}

// The whole tree at `snapshot` through BlobTree::iter, resolved; from the
// back when `reverse`. An error ends the map with key "<error>".
inline std::map<std::string, std::string> scan_resolved(const BlobTree& t, SeqNo snapshot, bool reverse = false) {
  std::map<std::string, std::string> out;
  BlobTreeIter it = t.iter(snapshot);
  std::string last;
  for (;;) {
    std::optional<BlobTreeGuard> g = reverse ? it.next_back() : it.next();
    if (!g) break;
    auto kv = std::move(*g).into_kv();
    if (!kv.ok()) {
      out["<error>"] = kv.error().to_string();
      break;
    }
    std::string k(kv->first.view());
    if (!last.empty() && (reverse ? k >= last : k <= last)) out["<order>"] = k;
    last = k;
    out[k] = std::string(kv->second.view());
  }
  return out;
}

// The stored indirection of `key` at `snapshot`; none when it is inline.
inline std::optional<BlobIndirection> pointer_of(const Tree& t, std::string_view key, SeqNo snapshot) {
  auto item = t.get(key, snapshot);
  if (!item.ok() || !item->has_value()) zv::panic("pointer_of: no entry");
  if ((*item)->key.value_type != ValueType::kIndirection) return std::nullopt;
  std::string_view bytes = (*item)->value.view();
  auto decoded = BlobIndirection::decode(&bytes);
  if (!decoded.ok()) zv::panic("pointer_of: undecodable");
  return *decoded;
}

inline std::string blobs_folder(const TreeDir& dir) { return zv::fs::join(dir.path(), "blobs"); }

}  // namespace tervik::testing
