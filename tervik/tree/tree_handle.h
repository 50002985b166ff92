// What opening a tree configuration gives: a standard tree, or a blob tree
// (its index tree plus the folder of its blob files). Cheap to copy; safe to
// share between threads.
#pragma once

#include <string>
#include <variant>

#include "tervik/tree/blob_tree_iter.h"
#include "tervik/tree/tree.h"

namespace tervik {

inline constexpr std::string_view kBlobsFolderName = "blobs";

class BlobTree {
 public:
  BlobTree(Tree index, std::string blobs_folder) : index_(std::move(index)), blobs_folder_(std::move(blobs_folder)) {}

  const Tree& index() const { return index_; }
  const std::string& blobs_folder() const { return blobs_folder_; }
  SuperVersion get_version_for_snapshot(SeqNo snapshot) const { return index_.get_version_for_snapshot(snapshot); }
  // The whole tree at `snapshot`, from either end; each item is resolved
  // with BlobTreeGuard::into_kv.
  BlobTreeIter iter(SeqNo snapshot) const;

 private:
  Tree index_;
  std::string blobs_folder_;
};

struct TreeHandle {
  std::variant<Tree, BlobTree> tree;

  bool is_blob() const { return std::holds_alternative<BlobTree>(tree); }
  // The tree that holds the keys: the tree itself, or a blob tree's index.
  const Tree& index() const { return is_blob() ? std::get<BlobTree>(tree).index() : std::get<Tree>(tree); }
};

// Opens or creates the tree of `config`, with its blob folder when the
// configuration separates values. `fs` as for Tree::open.
TervikResult<TreeHandle> open_tree(TreeConfig config, VersionFs& fs = VersionFs::os());

}  // namespace tervik
