// The double-ended iterator over one table's entries between two user-key
// bounds: it walks the block index from both ends, fetching each data block
// through the block cache when an end reaches it. Made by Table::range; the
// run readers and range scans merge these. One thread at a time per
// iterator; any number of iterators over one table. Holding one keeps the
// table (and its file) alive.
#pragma once

#include <memory>
#include <optional>

#include "tervik/block/block_index.h"
#include "tervik/block/data_block.h"
#include "tervik/core/key_range.h"
#include "tervik/core/read_item.h"

namespace tervik {

struct TableInner;

class TableIter final : public DoubleEndedSource {
 public:
  TableIter(std::shared_ptr<const TableInner> table, Bound lower, Bound upper);
  TableIter(TableIter&&) = default;
  TableIter& operator=(TableIter&&) = default;

  // Entries with their seqno raised by the table's global seqno. After an
  // error or the end, both ends yield the end.
  ReadItem next() override;
  ReadItem next_back() override;

 private:
  // Hands the bounds to the index iterator; false when nothing can qualify.
  TervikResult<bool> position();
  // A decoder over the data block of `entry`, bounded at both ends.
  TervikResult<DataBlockDecoder> open_block(const IndexBlockEntry& entry);
  ReadItem yield(InternalValue v) const;
  ReadItem fail(TervikError e);
  ReadItem finish();

  std::shared_ptr<const TableInner> table_;
  Bound lower_;
  Bound upper_;
  std::optional<BlockIndexIter> index_;
  std::optional<TervikError> index_error_;  // the pinned decoder could not open
  std::optional<DataBlockDecoder> front_;
  std::optional<DataBlockDecoder> back_;
  bool positioned_ = false;
  bool done_ = false;
};

}  // namespace tervik
