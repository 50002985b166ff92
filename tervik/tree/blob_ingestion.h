// Ingestion into a blob tree: pairs in strictly increasing key order, values
// of at least the separation threshold appended to blob files in the tree's
// "blobs" folder with an indirection to them in the tables, smaller values
// inline; at the end the new tables and blob files become visible together
// in one new version under one freshly drawn sequence number. Used by one
// thread at a time. Dropped unfinished, or after a failed finish, it leaves
// table and blob files that no version lists; the next open removes them.
#pragma once

#include <optional>
#include <string_view>

#include "tervik/blob/blob_file_multi_writer.h"
#include "tervik/core/error.h"
#include "tervik/tree/ingestion.h"
#include "tervik/tree/tree_handle.h"

namespace tervik {

inline constexpr const char* kFatalNoKvSeparation = "kv separation options should exist";

class BlobIngestion {
 public:
  // Creates the first table file and the first blob file. A tree without
  // key-value separation panics.
  static TervikResult<BlobIngestion> create(const BlobTree& tree);

  BlobIngestion(BlobIngestion&&) = default;
  BlobIngestion& operator=(BlobIngestion&&) = default;

  // A key not greater than the last one written panics. A failed write
  // leaves the last key as it was; the caller then abandons the ingestion.
  TervikStatus write(std::string_view key, std::string_view value);

  // Flushes the memtables into level 0 (values inline), then registers the
  // tables as one level-0 run in front of them and the blob files, under a
  // new sequence number s, even when nothing was written. A failed persist
  // leaves the tree's versions as they were.
  TervikStatus finish() &&;

 private:
  BlobIngestion(Tree tree, Ingestion tables, BlobFileMultiWriter blobs, uint32_t threshold)
      : tree_(std::move(tree)), tables_(std::move(tables)), blobs_(std::move(blobs)), threshold_(threshold) {}

  Tree tree_;
  Ingestion tables_;
  BlobFileMultiWriter blobs_;
  uint32_t threshold_;
  std::optional<UserKey> last_key_;
};

}  // namespace tervik
