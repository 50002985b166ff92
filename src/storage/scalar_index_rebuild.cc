// The engine's scalar index refilled from partition 0.
#include "src/record/node_codec.h"
#include "src/record/node_key.h"
#include "src/storage/storage_engine.h"

namespace zv {

ZolvaStatus StorageEngine::rebuild_scalar_index() {
  if (!scalar_index) return {};
  ZV_ASSIGN_OR_RETURN(const std::vector<KvPair> pairs, backend->scan_all(Partition::kDefault));
  // Built aside and swapped in: appending to the live lists would list every
  // stored id twice when the index already holds entries.
  ScalarIndex fresh;
  for (const KvPair& kv : pairs) {
    if (kv.key.size() != 16) continue;
    auto meta = decode_node_metadata(kv.value);
    if (!meta.ok()) continue;
    const NodeId id = *node_id_from_key(kv.key);
    for (const auto& [name, value] : meta.value().fields) fresh.insert(name, value, id);
  }
  scalar_index->replace_with(std::move(fresh));
  return {};
}

}  // namespace zv
