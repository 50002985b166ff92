#include "tervik/tree/blob_tree_iter.h"

#include "tervik/blob/resolve_indirection.h"
#include "tervik/tree/tree_handle.h"

namespace tervik {

TervikResult<KvPair> BlobTreeGuard::into_kv() && {
  // The handles go with the guard whatever the outcome.
  BlobTreeGuard self = std::move(*this);
  if (!self.item_.ok()) return zv::make_unexpected(std::move(self.item_).error());
  return vlog::resolve_indirection(self.tree_->id, self.version_.blob_files(), self.version_.id(),
                                   *self.tree_->config.cache, *self.item_);
}

std::optional<BlobTreeGuard> BlobTreeIter::guard_of(ReadItem item) const {
  if (!item) return std::nullopt;
  return BlobTreeGuard(tree_, version_, std::move(*item), blobs_folder_);
}

BlobTreeIter BlobTree::iter(SeqNo snapshot) const {
  return BlobTreeIter(TreeIter::create_range(index_.get_version_for_snapshot(snapshot), KeyRange::all(), snapshot),
                      index_.inner(), std::make_shared<const std::string>(blobs_folder_));
}

}  // namespace tervik
