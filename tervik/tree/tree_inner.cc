#include "tervik/tree/tree_inner.h"

#include "platform/log.h"

namespace tervik {

TreeInner::TreeInner(TreeConfig cfg, Version version, uint64_t tree_id, uint64_t table_id_start,
                     VersionFs& version_fs)
    : table_id_counter(table_id_start),
      versions(std::move(version)),
      config(std::move(cfg)),
      id(tree_id),
      fs(version_fs) {}

TreeInner::~TreeInner() {
  ZV_LOG(zv::log::Level::kDebug, kTreeInnerTarget, "Dropping TreeInner");
  ZV_LOG(zv::log::Level::kTrace, kTreeInnerTarget, "Sending stop signal to compactors");
  stop_signal->store(true, std::memory_order_release);
}

uint64_t next_tree_id() {
  // Process-wide by definition: tree ids qualify table ids in caches that
  // every tree of the process shares.
  static std::atomic<uint64_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace tervik
