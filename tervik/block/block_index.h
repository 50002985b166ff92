// A table's block index and its iterator: a full index block pinned in memory
// or fetched on first use, or a pinned top level over partitions fetched as
// the walk reaches them. The table reader builds one per table and supplies
// the fetch; iterators bound the walk from both ends. A BlockIndex is
// immutable and shareable; each iterator belongs to one thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tervik/block/index_block.h"

namespace tervik {

// Loads the index block (or partition) at a handle: the table reader checks
// its type and decompresses it with the table's index compression.
using IndexBlockFetch = std::function<TervikResult<Block>(const BlockHandle&)>;

class BlockIndexIter;

class BlockIndex {
 public:
  enum class Kind : uint8_t { kFullPinned, kFullVolatile, kTwoLevel };

  static BlockIndex full_pinned(IndexBlock block);
  static BlockIndex full_volatile(BlockHandle handle, IndexBlockFetch fetch);
  // `top_level` lists the partitions: (last key, seqno, handle) of each.
  static BlockIndex two_level(IndexBlock top_level, IndexBlockFetch fetch);

  Kind kind() const { return kind_; }

  // A new iterator, not yet positioned. The pinned kind makes its decoder at
  // once, so a damaged pinned block fails here.
  TervikResult<BlockIndexIter> iter() const;

  // For a point read of `key` visible below `seqno`. Pinned: an iterator
  // already positioned by seek, none when no data block qualifies. Other
  // kinds: an iterator with that lower bound recorded.
  TervikResult<std::optional<BlockIndexIter>> forward_reader(std::string_view key,
                                                             SeqNo seqno) const;

 private:
  BlockIndex(Kind kind, std::optional<IndexBlock> block, BlockHandle handle, IndexBlockFetch fetch)
      : kind_(kind),
        block_(std::move(block)),
        handle_(handle),
        fetch_(std::make_shared<const IndexBlockFetch>(std::move(fetch))) {}

  Kind kind_;
  std::optional<IndexBlock> block_;  // pinned full block or top level
  BlockHandle handle_;               // volatile: where the full block lies
  std::shared_ptr<const IndexBlockFetch> fetch_;
  friend class BlockIndexIter;
};

class BlockIndexIter {
 public:
  using Step = IndexBlockDecoder::Step;

  // Lower bound (key, seqno): the walk starts at the first data block that can
  // hold a version of key below seqno. Pinned: applied now, false when none
  // qualifies. Other kinds: recorded (replacing an earlier one), true.
  TervikResult<bool> seek_lower(std::string_view key, SeqNo seqno);
  // Upper bound: the walk ends with the first data block whose last key is
  // above `key`. The seqno is accepted for symmetry and not used.
  TervikResult<bool> seek_upper(std::string_view key, SeqNo seqno);

  // One entry from either end, an error (a fetch failed) or the end. After an
  // error the volatile kind fetches its block again at the next step; the
  // two-level kind has ended at both ends.
  Step next();
  Step next_back();

 private:
  friend class BlockIndex;
  explicit BlockIndexIter(BlockIndex index) : index_(std::move(index)) {}

  // Applies the recorded bounds to a new decoder; false when nothing remains.
  TervikResult<bool> apply_bounds(IndexBlockDecoder& d) const;
  TervikResult<std::optional<IndexBlockDecoder>> open_bounded(const Block& block) const;
  Step volatile_step(bool back);
  Step two_level_step(bool back);
  Step two_level_checked(bool back);

  BlockIndex index_;  // a cheap copy: shared block bytes and fetch
  std::optional<std::pair<std::string, SeqNo>> lower_;
  std::optional<std::string> upper_;
  // Pinned and volatile: the one decoder. Two-level: the top-level decoder.
  std::optional<IndexBlockDecoder> decoder_;
  bool ended_ = false;  // bounds left nothing to walk
  std::optional<IndexBlockDecoder> front_partition_;
  std::optional<IndexBlockDecoder> back_partition_;
};

}  // namespace tervik
