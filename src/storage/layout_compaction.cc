#include "src/storage/layout_compaction.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <unordered_set>

#include "platform/fs.h"
#include "platform/log.h"
#include "platform/mmap.h"
#include "src/index/vector_index_port.h"
#include "src/storage/engine_open.h"
#include "src/storage/storage_engine.h"

namespace zv {

namespace {

constexpr const char* kLogTarget = "zivir::storage::compaction";
constexpr uint64_t kFileGranule = 4096;

ZolvaError io(IoError e) { return ZolvaError::io(std::move(e)); }

std::string temp_path_of(const std::string& path) {
  std::string name = fs::file_name(path);
  if (name.empty()) name = kLegacyStoreName;
  return fs::join(fs::parent(path), name + ".tmp");
}

// A node of the order that the rewrite copies, with its header position.
struct Placed {
  NodeId id;
  uint64_t pos;
  NodeRecordHeader header;
};

void store_u64_le(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void step(RewriteSteps& steps, std::string_view name) {
  if (steps.at_step) steps.at_step(name);
}

}  // namespace

std::vector<NodeId> bfs_order(const VectorIndexPort& index, NodeId start) {
  std::vector<NodeId> out;
  out.reserve(index.len());
  std::unordered_set<NodeId, NodeIdHash> visited;
  visited.reserve(index.len() + 1);
  std::deque<NodeId> queue;
  visited.insert(start);
  queue.push_back(start);
  while (!queue.empty()) {
    const NodeId id = queue.front();
    queue.pop_front();
    out.push_back(id);
    for (NodeId n : index.neighbors(id, 0))
      if (visited.insert(n).second) queue.push_back(n);
  }
  for (NodeId id : index.node_ids())
    if (visited.insert(id).second) out.push_back(id);
  return out;
}

ZolvaResult<RewriteResult> rewrite_in_order(VFile& segment, const VectorIndexPort& index,
                                            std::span<const NodeId> order, uint64_t header_size,
                                            RewriteSteps& steps) {
  RewriteResult result;
  if (segment.in_memory_backed()) {
    for (NodeId id : order)
      if (auto off = index.storage_offset(id)) result.offsets.emplace_back(id, *off);
    result.new_file_size = segment.write_offset();
    return result;
  }
  if (order.empty())
    return make_unexpected(ZolvaError::validation("bfs_order", kEmptyOrderReason));

  // Sizing pass: a node qualifies when its offset names a readable record of
  // its own id in segment 0.
  std::vector<Placed> placed;
  placed.reserve(order.size());
  uint64_t total = header_size;
  for (NodeId id : order) {
    const std::optional<uint64_t> off = index.storage_offset(id);
    if (!off || (*off & kSegmentMask) != 0 || *off >= UINT64_MAX - kNodeHeaderLen) continue;
    std::optional<NodeRecordHeader> h = segment.node_header_at(*off);
    if (!h || h->node_id != id) continue;
    total = saturating_add(total, kNodeHeaderLen + round_up_64(h->payload_bytes()));
    placed.push_back(Placed{id, *off, *h});
  }

  step(steps, "rewrite_copy");
  const std::string tmp = temp_path_of(segment.path());
  auto file = File::create(tmp);
  if (!file.ok()) return make_unexpected(io(std::move(file).error()));
  const uint64_t file_len = (saturating_add(total, kFileGranule - 1) / kFileGranule) * kFileGranule;
  if (auto s = file->set_len(file_len); !s.ok()) return make_unexpected(io(s.error()));
  auto map = MemoryMap::map(*file, 0, static_cast<size_t>(file_len), true);
  if (!map.ok()) return make_unexpected(io(std::move(map).error()));

  const std::span<const uint8_t> src = segment.bytes();
  uint8_t* out = map->data();
  uint64_t wp = header_size;
  result.offsets.reserve(placed.size());
  for (const Placed& p : placed) {
    if (p.header.deleted()) continue;
    const uint64_t vec = round_up_64(p.header.payload_bytes());
    const uint64_t claimed = kNodeHeaderLen + vec;
    if (p.pos > src.size() || claimed > src.size() - p.pos) {
      return make_unexpected(io(IoError(
          IoErrorKind::kUnexpectedEof,
          "vstore truncated: node at offset " + std::to_string(p.pos) + " claims " +
              std::to_string(claimed) + " bytes (header " + std::to_string(kNodeHeaderLen) +
              " + vec " + std::to_string(vec) + ") but file has " + std::to_string(src.size()) +
              " \xE2\x80\x94 needed " + std::to_string(saturating_add(p.pos, claimed)))));
    }
    std::memcpy(out + wp, src.data() + p.pos, claimed);
    store_u64_le(out + wp + 32, wp + kNodeHeaderLen);
    result.offsets.emplace_back(p.id, wp);
    wp += claimed;
  }
  std::memcpy(out, src.data(), kSegmentHeaderLen);
  store_u64_le(out + 16, wp);

  step(steps, "rewrite_sync");
  if (auto f = map->flush(); !f.ok()) return make_unexpected(io(f.error()));
  *map = MemoryMap();
  if (auto s = file->sync_all(); !s.ok()) return make_unexpected(io(s.error()));
  *file = File();
  if (steps.before_rename) {
    step(steps, "rewrite_before_rename");
    ZV_TRY(steps.before_rename());
  }
  step(steps, "rewrite_rename");
  if (auto r = fs::rename(tmp, segment.path()); !r.ok()) return make_unexpected(io(r.error()));
  steps.renamed = true;
  // Without this the rename may not survive a crash; the file at the path is
  // then the old one, which an open still reads correctly.
  const IoStatus dir_synced = fs::sync_dir(fs::parent(segment.path()));

  step(steps, "rewrite_reopen");
  ZV_TRY(steps.reopen ? steps.reopen(segment, file_len) : segment.reopen(file_len));
  segment.set_write_offset(wp);
  ZV_TRY(segment.store_write_offset());
  if (!dir_synced.ok())
    ZV_WARN(kLogTarget, "directory sync after the segment rename failed",
            {"error", dir_synced.error().message()});
  result.new_file_size = file_len;
  return result;
}

ZolvaResult<uint64_t> StorageEngine::compact_layout_bfs() {
  ZV_TRY(check_writable());
  ZV_TRY(flush());
  if (maintenance_seams.at_step) maintenance_seams.at_step("compaction_lock");
  ZV_ASSIGN_OR_RETURN(InsertGuard guard, lock_insert("compact_layout_bfs"));
  ZV_TRY(check_writable());
  // Nodes of a deferred batch are in segment 0 but not in the index, and the
  // rewrite keeps only nodes the index knows: index them first.
  ZV_ASSIGN_OR_RETURN(const bool pending, rebuild_pending());
  if (pending) ZV_TRY(rebuild_locked());

  const auto start = std::chrono::steady_clock::now();
  RewriteResult moved;
  {
    ZV_ASSIGN_OR_RETURN(auto seg, lock_segment0());
    std::shared_ptr<VectorIndexPort> index = vector_index();
    const std::optional<NodeId> entry = index->entry_point();
    if (!entry) {
      ZV_LOG(log::Level::kInfo, kLogTarget, "compact_layout_bfs: empty index, skipping");
      return uint64_t{0};
    }
    const std::vector<NodeId> order = bfs_order(*index, *entry);
    RewriteSteps steps;
    steps.at_step = maintenance_seams.at_step;
    steps.reopen = maintenance_seams.reopen_segment;
    // Once the new file is in place the index file's offsets are wrong for
    // it; without an index file the next open rebuilds from whichever
    // segment file it finds.
    steps.before_rename = [this]() -> ZolvaStatus {
      const std::string path = fs::join(data_dir, kIndexFileName);
      if (fs::exists(path))
        if (auto r = fs::remove_file(path); !r.ok()) return make_unexpected(ZolvaError::io(r.error()));
      if (auto r = fs::sync_dir(data_dir); !r.ok()) return make_unexpected(ZolvaError::io(r.error()));
      return {};
    };
    auto rewritten = rewrite_in_order(segments[0]->file, *index, order, kSegmentHeaderLen, steps);
    if (!rewritten.ok()) {
      // The old mapping and the index still agree, but the path holds the
      // new file: writes now would land in a file nobody opens again.
      if (steps.renamed) stop_writes(rewritten.error());
      return make_unexpected(std::move(rewritten).error());
    }
    moved = std::move(rewritten).value();
    for (const auto& [id, offset] : moved.offsets) (void)index->set_storage_offset(id, offset);
  }
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  ZV_LOG(log::Level::kInfo, kLogTarget, "compact_layout_bfs: File compactado en orden BFS",
         {"nodes_compacted", std::to_string(moved.offsets.size())},
         {"new_file_size", std::to_string(moved.new_file_size)},
         {"elapsed_ms", std::to_string(elapsed.count())});
  if (maintenance_seams.at_step) maintenance_seams.at_step("compaction_persist");
  ZV_TRY(persist_vector_index());
  return static_cast<uint64_t>(moved.offsets.size());
}

}  // namespace zv
