// Whole-tree iteration of a blob tree: the index tree's items, each wrapped
// with the handles its value resolution needs (the tree's state for its id
// and caches, the version whose blob files the item points into, the blob
// folder), and resolved into the user's key and value on demand. An iterator
// keeps its version, and so its blob files, alive while items are resolved.
// Stepped by one thread at a time; guards may move to any thread.
#pragma once

#include <memory>
#include <string>

#include "tervik/core/read_item.h"
#include "tervik/tree/tree_inner.h"
#include "tervik/tree/tree_iter.h"
#include "tervik/version/version.h"

namespace tervik {

// One item of a blob-tree iteration, not yet resolved.
class BlobTreeGuard {
 public:
  BlobTreeGuard(std::shared_ptr<TreeInner> tree, Version version, TervikResult<InternalValue> item,
                std::shared_ptr<const std::string> blobs_folder)
      : tree_(std::move(tree)), version_(std::move(version)), item_(std::move(item)),
        blobs_folder_(std::move(blobs_folder)) {}

  // The user's key and value: an indirection is read from the blob file it
  // names, any other entry keeps its value; a guard holding an error
  // returns it.
  TervikResult<KvPair> into_kv() &&;

  // The item as the index tree stored it.
  const TervikResult<InternalValue>& item() const { return item_; }

 private:
  std::shared_ptr<TreeInner> tree_;
  Version version_;
  TervikResult<InternalValue> item_;
  std::shared_ptr<const std::string> blobs_folder_;
};

class BlobTreeIter {
 public:
  BlobTreeIter(TreeIter iter, std::shared_ptr<TreeInner> tree, std::shared_ptr<const std::string> blobs_folder)
      : iter_(std::move(iter)), tree_(std::move(tree)), blobs_folder_(std::move(blobs_folder)),
        version_(iter_.state().version) {}

  // None at the end.
  std::optional<BlobTreeGuard> next() { return guard_of(iter_.next()); }
  std::optional<BlobTreeGuard> next_back() { return guard_of(iter_.next_back()); }

 private:
  std::optional<BlobTreeGuard> guard_of(ReadItem item) const;

  TreeIter iter_;
  std::shared_ptr<TreeInner> tree_;
  std::shared_ptr<const std::string> blobs_folder_;
  Version version_;
};

}  // namespace tervik
