// Recovery of archived nodes: the whole-node copies kept in partition 1 that
// carry a "belonged_to" edge to a summary node are inserted again as live,
// hot nodes. Partition 1 itself is left as it is.
#include "platform/log.h"
#include "src/record/node_codec.h"
#include "src/storage/storage_engine.h"

namespace zv {

namespace {
constexpr const char* kLogTarget = "zivir::storage::archive";
constexpr const char* kBelongedTo = "belonged_to";
// Set on every recovered node besides the alive bit.
constexpr uint32_t kRecoveredFlag = 0x80;

bool belongs_to(const EngineNode& node, NodeId summary, uint32_t label) {
  for (const NodeEdge& e : node.edges)
    if (e.target == summary && e.label == label) return true;
  return false;
}
}  // namespace

ZolvaResult<std::vector<EngineNode>> StorageEngine::recover_archived_nodes(NodeId summary_id) {
  ZV_TRY(check_writable());
  ZV_ASSIGN_OR_RETURN(std::vector<KvPair> archived, backend->scan_all(Partition::kTombstoneStorage));
  // Interned durably: the recovered edges keep their label ids across reopens.
  ZV_ASSIGN_OR_RETURN(const uint32_t label, intern_label(kBelongedTo));
  std::vector<EngineNode> recovered;
  for (const KvPair& kv : archived) {
    if (kv.value.size() > kMaxStoredValueBytes) continue;
    auto decoded = decode_archived_node(kv.value);
    if (!decoded.ok()) {
      ZV_LOG(log::Level::kDebug, kLogTarget, "undecodable archived node skipped",
             {"error", decoded.error().message()});
      continue;
    }
    EngineNode node = std::move(decoded).value();
    if (!belongs_to(node, summary_id, label)) continue;
    node.flags |= kNodeFlagAlive | kRecoveredFlag;
    node.tier = Tier::kHot;
    ZV_TRY(insert(node));
    recovered.push_back(std::move(node));
  }
  return recovered;
}

}  // namespace zv
