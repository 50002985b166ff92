#include "tervik/tree/tree_inner.h"

#include "platform/log.h"

namespace tervik {

TreeShared::TreeShared(TreeConfig cfg, Version version, VersionFs& version_fs)
    : versions(std::move(version)), config(std::move(cfg)), fs(version_fs) {}

TreeInner::TreeInner(TreeConfig cfg, Version version, uint64_t tree_id, uint64_t table_id_start,
                     VersionFs& version_fs)
    : shared(std::make_shared<TreeShared>(std::move(cfg), std::move(version), version_fs)),
      table_id_counter(table_id_start),
      id(tree_id) {}

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
