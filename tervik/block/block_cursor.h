// The double-ended cursor over the items of one data or index block payload:
// forward steps item by item, backward steps one restart interval at a time,
// and the seeks that position either end by binary search over the restart
// keys; the two ends meet without repeating or losing an item. Used by the
// data and index block decoders and point reads; one thread per cursor.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tervik/block/block_layout.h"
#include "tervik/core/error.h"
#include "tervik/core/seqno.h"
#include "tervik/core/slice.h"

namespace tervik {

class BlockCursor {
 public:
  using Step = TervikResult<std::optional<BlockItem>>;

  // Checks the trailer; a damaged one is an error value.
  static TervikResult<BlockCursor> open(Slice payload, BlockLayout layout);

  // The next item from the front or the back; none when the ends have met.
  Step next();
  Step next_back();

  // Places the front at the first item whose key is >= key (> key when
  // `exclusive`) and returns it; it is also the next item of next().
  // Each end is sought at most once, before items are taken from it; either
  // end may be sought first, and the second seek returns only items inside
  // what the first left over.
  Step seek(std::string_view key, bool exclusive);
  // Places the back at the last item whose key is <= key (< key when
  // `exclusive`) and returns it; it is also the next item of next_back().
  Step seek_upper(std::string_view key, bool exclusive);

  // Index blocks: the front at the first entry with key > k, or key == k and
  // seqno < s; false (and both ends exhausted) when there is none.
  TervikResult<bool> seek_index(std::string_view key, SeqNo seqno);
  // Index blocks: the back at the first entry whose key is > k (the last one
  // when there is none); false only for a block without entries.
  TervikResult<bool> seek_index_upper(std::string_view key);

  // Restarts the front at restart interval `k` (a hash index hit).
  TervikStatus start_front_at_interval(uint32_t k);
  // Restarts the front at the last interval whose restart key is < key (the
  // first interval when there is none): where a search for key begins.
  TervikStatus start_front_before(std::string_view key);
  // Point lookup from the front position: the first item of `key` with a
  // seqno below `snapshot`; none once the keys pass `key` or the block ends.
  // Leaves the cursor's ends untouched.
  Step find_visible(std::string_view key, SeqNo snapshot) const;

  const BlockTrailer& trailer() const { return trailer_; }
  std::string_view payload() const { return block_.view(); }

  int compare_key(const BlockItem& item, std::string_view key) const {
    return compare_item_key(block_.view(), item, key);
  }
  // The item's key: a view into the block for a restart item, a new buffer
  // joining prefix and suffix otherwise.
  Slice key_of(const BlockItem& item) const;
  Slice value_of(const BlockItem& item) const {
    return block_.sub(item.value_pos, item.value_len);
  }

 private:
  BlockCursor(Slice block, BlockLayout layout, BlockTrailer trailer);

  TervikResult<uint32_t> restart_position(uint32_t k) const;
  TervikResult<BlockItem> restart_head(uint32_t k) const;
  // Number of restart keys < key (<= key when `inclusive`).
  TervikResult<uint32_t> count_restart_keys(std::string_view key, bool inclusive) const;
  Step front_step();
  Step back_step();
  TervikStatus fill_back(uint32_t interval);

  Slice block_;
  BlockLayout layout_;
  BlockTrailer trailer_;
  uint32_t items_end_;

  // Front: position of the next item to decode, items left in its restart
  // interval (0: the next one is a restart item), that interval's restart key.
  uint32_t front_pos_ = 0;
  uint32_t front_left_ = 0;
  RestartKey front_restart_;
  // Back: the next interval to fill is back_interval_ - 1; the stack holds the
  // untaken items of the filled interval, in item order.
  uint32_t back_interval_;
  std::vector<BlockItem> back_stack_;
  // Items at positions >= back_cut_ are the back's (taken, or cut off by a
  // seek), except the buffered back item, which sits at back_cut_.
  uint32_t back_cut_;
  // Items found by the seeks, handed out first by their end. An end that
  // passes the other end's buffered item takes it (or drops it when a seek
  // placed it outside the range). A front seek that stops on the back's
  // buffered item leaves it there too: both ends hold that one item, and the
  // end that hands it out clears it from the other.
  std::optional<BlockItem> front_buf_;
  std::optional<BlockItem> back_buf_;
  // The front as it stood before decoding front_buf_, restored when the back
  // takes that item, so that the front stops right before it.
  struct FrontState {
    uint32_t pos = 0;
    uint32_t left = 0;
    RestartKey restart;
  };
  FrontState front_buf_origin_;
};

}  // namespace tervik
