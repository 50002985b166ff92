// Ingestion: a stream of key-value pairs in strictly increasing key order
// written straight into new table files of a tree, bypassing the memtables,
// then made visible at once as one new level-0 run under one freshly drawn
// sequence number (applied as the tables' global seqno). Used by one thread
// at a time. An ingestion dropped unfinished, or whose finish fails, leaves
// table files that no version lists; the next open of the tree removes them.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tervik/core/blob_indirection.h"
#include "tervik/core/error.h"
#include "tervik/table/multi_writer.h"
#include "tervik/tree/tree.h"

namespace tervik {

class BlobIngestion;

inline constexpr const char* kIngestTarget = "tervik::tree::ingest";
inline constexpr const char* kFatalIngestOrder = "next key in ingestion must be greater than last key";
// Ingested tables are cut at about this size.
inline constexpr uint64_t kIngestTargetTableSize = 64ull << 20;
// Ingested tables are written as tables of the last level.
inline constexpr uint8_t kIngestInitialLevel = 6;

class Ingestion {
 public:
  // Creates the first table file in the tree's tables folder.
  static TervikResult<Ingestion> create(Tree tree);

  Ingestion(Ingestion&&) = default;
  Ingestion& operator=(Ingestion&&) = default;

  // A key not greater than the last one written panics; so do the key
  // checks of every entry. A failed write leaves the last key as it was;
  // the caller then abandons the ingestion.
  TervikStatus write(UserKey key, UserValue value);
  TervikStatus write(std::string_view key, std::string_view value) {
    return write(UserKey(key), UserValue(value));
  }

  // Flushes the memtables first (their contents go behind the ingested run),
  // then registers the written tables under one new sequence number s: after
  // success every ingested entry reads as (key, value, s) and visible_seqno
  // is past s. Without any entry written, changes nothing.
  TervikStatus finish() &&;

 private:
  // Writes an entry whose value lives in a blob file, under the same key
  // order rule as write(), and records the table's reference to that file.
  TervikStatus write_indirection(UserKey key, const BlobIndirection& indirection);

  friend class BlobIngestion;

  Ingestion(Tree tree, std::string folder, MultiWriter writer)
      : tree_(std::move(tree)), folder_(std::move(folder)), writer_(std::move(writer)) {}

  Tree tree_;
  std::string folder_;
  MultiWriter writer_;
  std::optional<UserKey> last_key_;
};

}  // namespace tervik
